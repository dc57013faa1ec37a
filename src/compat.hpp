// The parts of the CPython C API that differ between CPython 3.7 and 3.15, behind one name each:
// the only file that tests PY_VERSION_HEX.  Each keeps CPython's conventions and says which
// versions have the API and what older ones get instead (a plain call with the same result).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include <cstddef>
#include <cstdint>

namespace zae::compat {

// ---- calls -----------------------------------------------------------------------
// PY_VECTORCALL_ARGUMENTS_OFFSET (3.8 on; accepted and ignored on 3.7).
#ifdef PY_VECTORCALL_ARGUMENTS_OFFSET
constexpr std::size_t arguments_offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
constexpr std::size_t arguments_offset = std::size_t(1) << (8 * sizeof(std::size_t) - 1);
#endif

// The number of positional arguments in a vectorcall count (PyVectorcall_NARGS).
inline Py_ssize_t positional_count(std::size_t nargsf) { return static_cast<Py_ssize_t>(nargsf & ~arguments_offset); }

namespace detail {
// Owns one reference for the length of a call made here.
struct Owned {
    PyObject* object;
    ~Owned() { Py_XDECREF(object); }
};
}  // namespace detail

// callable(*args, **kwargs) in vectorcall form: PyObject_Vectorcall from 3.9,
// _PyObject_Vectorcall in 3.8, _PyObject_FastCallKeywords in 3.7.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, args, positional_count(nargsf), kwnames);
#endif
}

// ---- error messages ---------------------------------------------------------------
// The name among `candidates` the interpreter suggests ("Did you mean ...?") for an unexpected
// keyword argument, or NULL (3.13 on, by _suggestions; before, none).  Never fails.
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
// The calling thread's interpreter (PyInterpreterState_Get, 3.9 on; before, the thread state's).
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// ---- module definition -------------------------------------------------------------
// The slot that tells 3.12 on the module cannot be loaded into a second interpreter (an isolated
// one refuses it itself; others ask the module).  Before, a terminating entry: put it last.
inline PyModuleDef_Slot multiple_interpreters_slot() {
#if PY_VERSION_HEX >= 0x030C0000
    return {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
    return {0, nullptr};
#endif
}

// The slot that tells 3.13 on the module needs the GIL (its state is unlocked).  Before, as above.
inline PyModuleDef_Slot gil_slot() {
#if PY_VERSION_HEX >= 0x030D0000
    return {Py_mod_gil, Py_MOD_GIL_USED};
#else
    return {0, nullptr};
#endif
}

// ---- errors ------------------------------------------------------------------------
// Take the raised exception, normalized, its type and traceback (new references or NULL):
// PyErr_GetRaisedException from 3.12, PyErr_Fetch and PyErr_NormalizeException before.
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

// The error of a `with` statement whose manager lacks `method`, in the running interpreter's words:
// a TypeError from 3.11 (3.11 to 3.13 append `missing_suffix`), an AttributeError before.
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

// Whether a with statement looks up __exit__ before __enter__ (3.14 on).
constexpr bool with_looks_up_exit_first = PY_VERSION_HEX >= 0x030E0000;

// Whether a failed argument binding names the function by its qualified name (3.10 on).
constexpr bool binding_errors_name_the_class = PY_VERSION_HEX >= 0x030A0000;

// ---- strings -----------------------------------------------------------------------
// PyUnicode_READY, needed before 3.12 for a str made by the old Py_UNICODE calls.  0, or -1.
inline int ready([[maybe_unused]] PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    return 0;
#endif
}

// ---- change notices -------------------------------------------------------------------
//
// A stamp taken before a look-up (`watch_*`) equals the stamp now (`*_stamp`) only if the dict or
// class is unchanged (0 is never trusted): up to 3.11 its version tag (a class's from 3.11), from
// 3.12 the count of changes the module's watchers (part of its state) were told of.
struct Watchers {
    std::uint64_t changes = 1;  // a stamp of 0 is never trusted
    int dict_id = -1, type_id = -1;
    bool tried = false;
};

// The module's watchers (defined with its state).
Watchers& watchers();

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline int dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watchers().changes;
    return 0;
}
inline int type_changed(PyTypeObject*) {
    ++watchers().changes;
    return 0;
}
// `object` watched from now on (the watchers registered at first use): the stamp now, or 0.
inline std::uint64_t watch(bool dict, PyObject* object) {
    Watchers& w = watchers();
    if (!w.tried) {
        w.tried = true;
        w.dict_id = PyDict_AddWatcher(dict_changed);
        w.type_id = w.dict_id < 0 ? -1 : PyType_AddWatcher(type_changed);
        if (w.dict_id < 0 || w.type_id < 0) PyErr_Clear();
    }
    int status = dict ? (w.dict_id < 0 ? -1 : PyDict_Watch(w.dict_id, object))
                      : (w.type_id < 0 ? -1 : PyType_Watch(w.type_id, object));
    if (status == 0) return w.changes;
    PyErr_Clear();
    return 0;
}
}  // namespace detail
#endif

// The stamp of `dict` before a look-up in it.  Never fails.
inline std::uint64_t watch_dict(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    return detail::watch(true, dict);
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// The stamp of a class before a look-up through it, while it has a version tag (3.12 on, the
// interpreter tells of a change once per tag, so one is given here).
inline std::uint64_t watch_type([[maybe_unused]] PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    std::uint64_t stamp = detail::watch(false, reinterpret_cast<PyObject*>(type));
    return stamp && PyUnstable_Type_AssignVersionTag(type) ? stamp : 0;
#elif PY_VERSION_HEX >= 0x030B0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    return 0;
#endif
}

// The stamp now of a dict or class watched since a look-up.
#if PY_VERSION_HEX >= 0x030C0000
[[gnu::always_inline]] inline std::uint64_t dict_stamp(PyObject*) { return watchers().changes; }
[[gnu::always_inline]] inline std::uint64_t type_stamp(PyTypeObject*) { return watchers().changes; }
#else
[[gnu::always_inline]] inline std::uint64_t dict_stamp(PyObject* dict) { return watch_dict(dict); }
[[gnu::always_inline]] inline std::uint64_t type_stamp(PyTypeObject* type) { return watch_type(type); }
#endif

// Give the watchers back to the interpreter (unless it has ended already:
// `ended`), voiding every stamp.  Keeps the error indicator.
inline void stop_watching(Watchers& w, [[maybe_unused]] bool ended) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* error = ended ? nullptr : PyErr_GetRaisedException();
    if (!ended && w.dict_id >= 0 && PyDict_ClearWatcher(w.dict_id) < 0) PyErr_Clear();
    if (!ended && w.type_id >= 0 && PyType_ClearWatcher(w.type_id) < 0) PyErr_Clear();
    if (!ended) PyErr_SetRaisedException(error);
#endif
    w = Watchers{w.changes + 1};
}


// `name` as the class's MRO holds it (_PyType_Lookup): borrowed, or NULL; never raises.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A new dict with room for `size` items, as a dict display is made (_PyDict_NewPresized).
inline PyObject* new_dict_presized(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// Up to 3.11 an allocation may run a collection, and finalizers, on the spot (from 3.12 it is
// only scheduled): what tells whether `dict` changed across one (its version tag; 0 from 3.12).
inline std::uint64_t version_across_allocation([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

// Whether a dict's iteration raises "dictionary keys changed during iteration" (3.8 on).
constexpr bool dict_iteration_counts_keys = PY_VERSION_HEX >= 0x03080000;

// ---- methods -------------------------------------------------------------------------
// `object.name` looked up for a call, as the interpreter does: 1 with the method descriptor
// itself (unbound) when nothing shadows it, else 0 with getattr()'s answer (or NULL).
// 3.11 and 3.12: _PyObject_GetMethod.  3.8 to 3.10 and 3.13 on: the same steps, the type's
// entry given by `type_entry(type)` (which may answer from an earlier look-up).  3.7: getattr().
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

// Make `type` a method descriptor called unbound through the vectorcall function its instances
// keep at `offset` (3.9 on; before, it is bound by tp_descr_get and called by tp_call).
inline void make_method_descriptor([[maybe_unused]] PyTypeObject& type, [[maybe_unused]] Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    type.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_vectorcall_offset = offset;
#endif
}

}  // namespace zae::compat
