// The parts of the CPython C API that differ between the interpreters the
// module is built for (CPython 3.7 to 3.15), behind one name each.
//
// Rules for this header:
// - It is the only file that tests PY_VERSION_HEX.  Code elsewhere calls
//   `compat::name(...)` and reads the same on every version.
// - One inline function (or constant) per API, documented with the versions
//   that have the API and what the older ones get instead.  Where an old
//   interpreter lacks a fast call, the fallback is a plain call through the
//   public API with the same result and the same exceptions, only slower.
// - The functions keep CPython's conventions (new reference or NULL with an
//   exception set), so that pyref.hpp wraps them as it wraps CPython's own.
//
// To route another API through here: add an inline function named after what
// it does, with the newest interpreter's call first and the fallbacks after
// it, then call it from the code instead of the CPython name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include <cstddef>
#include <cstdint>

namespace zae::compat {

// ---- calls -----------------------------------------------------------------------
//
// Vectorcall: arguments in a C array, keyword values after the positional
// ones with their names in the tuple `kwnames` (or NULL), as in
// PyObject_Vectorcall.  Public from 3.9, `_PyObject_Vectorcall` in 3.8; 3.7
// has no vectorcall, but the same call in `_PyObject_FastCallKeywords`.

// The flag a caller may add to the argument count when args[-1] is scratch
// space the callee may overwrite (PY_VECTORCALL_ARGUMENTS_OFFSET; 3.8 on).
// On 3.7 it is accepted and ignored.
#ifdef PY_VECTORCALL_ARGUMENTS_OFFSET
constexpr std::size_t arguments_offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
constexpr std::size_t arguments_offset = std::size_t(1) << (8 * sizeof(std::size_t) - 1);
#endif

// The number of positional arguments in a vectorcall count (PyVectorcall_NARGS).
inline Py_ssize_t positional_count(std::size_t nargsf) {
    return static_cast<Py_ssize_t>(nargsf & ~arguments_offset);
}

namespace detail {
// Owns one reference for the length of a call made here.
struct Owned {
    PyObject* object;
    ~Owned() { Py_XDECREF(object); }
};
}  // namespace detail

// callable(*args, **kwargs) in vectorcall form (PyObject_Vectorcall).
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, args, positional_count(nargsf), kwnames);
#endif
}

// cls(*args) for a class of metaclass `type` without a vectorcall function
// of its own (a class defined in Python): type's tp_call on an argument
// tuple, which is what the generic call ends in (3.9 on; before, and for
// anything else, the generic call).
inline PyObject* call_plain_class(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    if (Py_TYPE(cls) == &PyType_Type && !PyVectorcall_Function(cls)) {
        detail::Owned positional{PyTuple_New(nargs)};
        if (!positional.object) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(positional.object, i, args[i]);
        }
        return PyType_Type.tp_call(cls, positional.object, nullptr);
    }
#endif
    return vectorcall(cls, args, static_cast<std::size_t>(nargs), nullptr);
}

// args[0].name(*args[1:], **kwargs) in vectorcall form, args[0] being the
// object whose method is called (PyObject_VectorcallMethod, 3.9 on).  Before
// 3.9 the method is looked up as an attribute and the bound method called,
// which is what the faster look-up does too.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    detail::Owned method{PyObject_GetAttr(args[0], name)};
    if (!method.object) return nullptr;
    // The bound method gets the arguments after args[0]; args[0] becomes
    // the slot before them, which the caller's flag lets the callee borrow.
    return vectorcall(method.object, args + 1, nargsf - 1, kwnames);
#endif
}

// ---- error messages ---------------------------------------------------------------

// The name among `candidates` (a list of str) that the interpreter suggests
// ("Did you mean ...?") when a function gets an unexpected keyword argument
// `keyword`, or NULL for none (3.13 on, where _suggestions computes it;
// before, the interpreter suggests nothing).  Never fails: a failure to
// compute it is no suggestion.
inline PyObject* keyword_suggestion([[maybe_unused]] PyObject* candidates, [[maybe_unused]] PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    detail::Owned module{PyImport_ImportModule("_suggestions")};
    detail::Owned found{module.object ? PyObject_CallMethod(module.object, "_generate_suggestions", "OO", candidates,
                                                           keyword)
                                      : nullptr};
    if (!found.object || !PyUnicode_Check(found.object)) {
        PyErr_Clear();
        return nullptr;
    }
    return std::exchange(found.object, nullptr);
#else
    return nullptr;
#endif
}

// ---- interpreter state -------------------------------------------------------------

// The interpreter of the calling thread (PyInterpreterState_Get, 3.9 on;
// before, the thread state's public `interp` member).
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// ---- module definition -------------------------------------------------------------

// The slot that tells 3.12 and later the module keeps state of its own
// outside any interpreter, so it cannot be loaded into a second one: an
// interpreter that checks (one made isolated, with a GIL of its own)
// refuses it before the module is asked; any other asks the module, which
// refuses all but the main interpreter itself.  Older interpreters have no
// such slot and always ask the module; there this is a terminating entry, so
// put it last, before the list's own terminator (with gil_slot after it).
inline PyModuleDef_Slot multiple_interpreters_slot() {
#if PY_VERSION_HEX >= 0x030C0000
    return {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
    return {0, nullptr};
#endif
}

// The slot that tells 3.13 and later (whose free-threaded build may run
// without a GIL) that the module needs the GIL: its state is shared by all
// threads unlocked.  Before 3.13 a terminating entry (see above).
inline PyModuleDef_Slot gil_slot() {
#if PY_VERSION_HEX >= 0x030D0000
    return {Py_mod_gil, Py_MOD_GIL_USED};
#else
    return {0, nullptr};
#endif
}

// ---- errors ------------------------------------------------------------------------

// Take the raised exception, normalized (an exception instance, its type and
// its traceback, each a new reference or NULL), and clear the error
// indicator: PyErr_GetRaisedException from 3.12, PyErr_Fetch and
// PyErr_NormalizeException before (deprecated from 3.12).
inline void fetch_normalized(PyObject** type, PyObject** value, PyObject** traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
    *value = raised;
    *type = raised ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised))) : nullptr;
    *traceback = raised ? PyException_GetTraceback(raised) : nullptr;
#else
    PyErr_Fetch(type, value, traceback);
    PyErr_NormalizeException(type, value, traceback);
#endif
}

// The error of a `with` statement whose manager lacks `method` ("__enter__"
// or "__exit__"), worded as the running interpreter words it: from 3.14 a
// TypeError naming the type with its module and the missing method; in 3.11
// to 3.13 one naming the bare type, with `missing_suffix` appended
// (" (missed __exit__ method)" for __exit__, empty for __enter__); before, an
// AttributeError naming the method.
inline void set_missing_context_method([[maybe_unused]] PyObject* manager, [[maybe_unused]] const char* method,
                                       [[maybe_unused]] const char* missing_suffix) {
#if PY_VERSION_HEX >= 0x030E0000
    PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %s method)",
                 manager, method);
#elif PY_VERSION_HEX >= 0x030B0000
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name, missing_suffix);
#else
    PyErr_SetString(PyExc_AttributeError, method);
#endif
}

// Whether the with statement looks up __exit__ before __enter__ (3.14 on),
// which decides the error of a manager that has neither.
constexpr bool with_looks_up_exit_first = PY_VERSION_HEX >= 0x030E0000;

// Whether a Python function names itself by its qualified name in the
// TypeError of a failed argument binding ("ZornaAdminEvents.enable() takes
// ..." from 3.10) or by its bare name ("enable() takes ..." before).
constexpr bool binding_errors_name_the_class = PY_VERSION_HEX >= 0x030A0000;

// ---- strings -----------------------------------------------------------------------

// Make a str built by the old Py_UNICODE calls readable through
// PyUnicode_KIND and PyUnicode_DATA (PyUnicode_READY, needed before 3.12;
// from 3.12 every str is).  0, or -1 with an exception set.
inline int ready([[maybe_unused]] PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    return 0;
#endif
}

// ---- change notices -------------------------------------------------------------------
//
// A look-up made in a dict or through a class may be answered again while
// nothing it read has changed.  A stamp taken just before the look-up
// (`watch_*`) and the stamp now (`*_stamp`) are equal only if the dict or
// class has not changed in between; 0 means "nothing to trust".
// Dicts, 3.7 to 3.11: the version tag every change gives a dict anew (PEP
// 509; never given twice).  Classes, 3.11: the class's version tag (given
// once each from 3.11; before, the counter wraps around and old tags come
// back, so nothing is trusted there).  3.12 on, dicts and classes: the
// interpreter's watchers tell of every change of the dicts and classes the
// module watches, and the stamp is the count of those changes, so that any
// change of any of them ends every answer kept.  Watchers belong to the
// interpreter the module is loaded into (it refuses all others); they are
// registered at the first look-up and cleared by stop_watching() when the
// module goes.

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
struct Watchers {
    // Starts at 1: a stamp of 0 is never trusted.
    static inline std::uint64_t changes = 1;
    static inline int dict_id = -1, type_id = -1;
    static inline bool tried = false;

    static int dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
        ++changes;
        return 0;
    }
    static int type_changed(PyTypeObject*) {
        ++changes;
        return 0;
    }
    // Registered once; none when the interpreter has no free watcher slot.
    static void start() {
        tried = true;
        dict_id = PyDict_AddWatcher(dict_changed);
        type_id = dict_id < 0 ? -1 : PyType_AddWatcher(type_changed);
        if (dict_id < 0 || type_id < 0) PyErr_Clear();
    }
    // `object` watched through the watcher `id` (PyDict_Watch, PyType_Watch):
    // the stamp now, or 0 when it cannot be watched.
    static std::uint64_t watch(const int& id, int (*watch_call)(int, PyObject*), PyObject* object) {
        if (!tried) start();
        if (id >= 0 && watch_call(id, object) == 0) return changes;
        PyErr_Clear();
        return 0;
    }
};
}  // namespace detail
#endif

// The stamp of `dict` before a look-up in it: it is watched from now on.
// Never fails (a dict that cannot be watched gets 0).
inline std::uint64_t watch_dict(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    return detail::Watchers::watch(detail::Watchers::dict_id, PyDict_Watch, dict);
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// The stamp of a class before an attribute look-up through it.  From 3.12
// the class is watched, and trusted only while it has a version tag: the
// interpreter tells of a change of a class (or of one of its bases) once
// per tag, so one is given to it here where tags are left.  3.11: its tag,
// if it has one (a look-up gives it one, for the next time).
inline std::uint64_t watch_type([[maybe_unused]] PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    using detail::Watchers;
    std::uint64_t stamp = Watchers::watch(Watchers::type_id, PyType_Watch, reinterpret_cast<PyObject*>(type));
    return stamp && PyUnstable_Type_AssignVersionTag(type) ? stamp : 0;
#elif PY_VERSION_HEX >= 0x030B0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    return 0;
#endif
}

// The stamp now of a dict or class watched since a look-up.  From 3.12 any
// change of any watched dict or class changes it, and a dict's release too,
// so that a new dict at the same address is never taken for the old one;
// before, it is what watch_dict or watch_type gives now.
#if PY_VERSION_HEX >= 0x030C0000
[[gnu::always_inline]] inline std::uint64_t dict_stamp(PyObject*) { return detail::Watchers::changes; }
[[gnu::always_inline]] inline std::uint64_t type_stamp(PyTypeObject*) { return detail::Watchers::changes; }
#else
[[gnu::always_inline]] inline std::uint64_t dict_stamp(PyObject* dict) { return watch_dict(dict); }
[[gnu::always_inline]] inline std::uint64_t type_stamp(PyTypeObject* type) { return watch_type(type); }
#endif

// Stop watching: every stamp taken so far is void, and the watchers'
// slots are given back to the interpreter (the module freed, or its import
// failed, so that the next one starts afresh).  Keeps the error indicator.
inline void stop_watching() {
#if PY_VERSION_HEX >= 0x030C0000
    using detail::Watchers;
    ++Watchers::changes;
    PyObject* error = PyErr_GetRaisedException();
    if (Watchers::dict_id >= 0 && PyDict_ClearWatcher(Watchers::dict_id) < 0) PyErr_Clear();
    if (Watchers::type_id >= 0 && PyType_ClearWatcher(Watchers::type_id) < 0) PyErr_Clear();
    PyErr_SetRaisedException(error);
    Watchers::dict_id = Watchers::type_id = -1;
    Watchers::tried = false;
#endif
}

// Forget the watchers of an interpreter that has ended (their slots went with it).
inline void forget_watchers() {
#if PY_VERSION_HEX >= 0x030C0000
    using detail::Watchers;
    ++Watchers::changes;
    Watchers::dict_id = Watchers::type_id = -1;
    Watchers::tried = false;
#endif
}

// The attribute `name` (an exact str) as the class's MRO holds it, without
// calling any descriptor: borrowed, or NULL when absent (never raises).
// _PyType_Lookup, which all supported interpreters export (3.7 to 3.15).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A new empty dict with room for `size` items, so that filling it never
// grows it (a dict display of that many items is made so).
// _PyDict_NewPresized: 3.7 to 3.15, in the non-limited API.
inline PyObject* new_dict_presized(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// Up to 3.11 the allocation of an object the collector tracks (a dict, a
// list, a tuple...) may run a collection on the spot, and with it any
// finalizer; from 3.12 it only schedules one, run between two bytecodes.
// What tells whether `dict` changed across such an allocation: its version
// tag up to 3.11 (PEP 509: every change gives a new one), 0 from 3.12, where
// the allocation runs nothing.
inline std::uint64_t version_across_allocation([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

// Whether iterating a dict raises "dictionary keys changed during
// iteration" when a step finds more keys than the dict had (3.8 on).
constexpr bool dict_iteration_counts_keys = PY_VERSION_HEX >= 0x03080000;

// ---- methods -------------------------------------------------------------------------

// `object.name` looked up for a call, as the interpreter looks up a method:
// 1 with *method the method descriptor itself, unbound, when the attribute
// is a method descriptor of the object's type that nothing shadows; 0 with
// *method the attribute as getattr() gives it otherwise, or NULL with an
// exception set.  3.11 and 3.12: the interpreter's own _PyObject_GetMethod
// (it reads instance attributes where they are kept, without making the
// instance's __dict__).  3.8 to 3.10, and 3.13 on (where _PyObject_GetMethod
// is no longer exported): the same steps through the type's look-up and the
// instance's __dict__ (made, once, for an instance that keeps its attributes
// elsewhere); `type_entry(type)` gives the type's attribute as type_lookup
// does, so the caller may answer it from an earlier look-up.  3.7 (no method
// descriptor flag): getattr().
template <class TypeEntry>
inline int get_method(PyObject* object, PyObject* name, PyObject** method, [[maybe_unused]] TypeEntry&& type_entry) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
    return _PyObject_GetMethod(object, name, method);
#else
#if defined(Py_TPFLAGS_METHOD_DESCRIPTOR)
    PyTypeObject* type = Py_TYPE(object);
    // Owned before the instance's dict is searched (a key's __eq__ may run code).
    detail::Owned descriptor{type->tp_getattro == PyObject_GenericGetAttr ? type_entry(type) : nullptr};
    Py_XINCREF(descriptor.object);
    if (descriptor.object && PyType_HasFeature(Py_TYPE(descriptor.object), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        PyObject** dict = _PyObject_GetDictPtr(object);
        PyObject* shadow = dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;  // only tested for null
        if (!shadow) {
            // Unshadowed, or NULL for an error of the dict's look-up.
            *method = PyErr_Occurred() ? nullptr : std::exchange(descriptor.object, nullptr);
            return *method ? 1 : 0;
        }
    }
#endif
    *method = PyObject_GetAttr(object, name);
    return 0;
#endif
}

// A function that calls an object in vectorcall form (vectorcallfunc, 3.8 on).
using vectorcall_function = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

// Make `type` a method descriptor that the interpreter calls unbound, with
// the instance first, through the vectorcall function its instances keep at
// `offset` (Py_TPFLAGS_METHOD_DESCRIPTOR, Py_TPFLAGS_HAVE_VECTORCALL and
// tp_vectorcall_offset, 3.9 on).  Before, nothing: such a type is bound by
// tp_descr_get and called by tp_call.
inline void make_method_descriptor([[maybe_unused]] PyTypeObject& type, [[maybe_unused]] Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    type.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_vectorcall_offset = offset;
#endif
}

}  // namespace zae::compat
