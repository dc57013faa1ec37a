// Owning references, and the CPython calls the module makes, wrapped so that nobody counts
// references or checks a result by hand: a failed call throws `PythonError`, which unwinds,
// releasing every `Ref`, to the entry point, which returns NULL.  Py_INCREF is here (and compat.hpp).
#pragma once

#include "compat.hpp"
#include "shortcuts.hpp"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace zae {

// A Python exception is set; carries nothing else.
struct PythonError {};

[[noreturn]] inline void raise() { throw PythonError{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Check the status of a CPython call that returns -1 on error.
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

// An owned (strong) reference; released when the Ref goes out of scope.
class Ref {
public:
    Ref() noexcept = default;

    // Take over a new reference returned by a CPython call; NULL means the call failed.
    static Ref steal(PyObject* object) {
        if (!object) raise();
        return Ref(object);
    }
    // Take a new reference to a borrowed object; NULL means the call that produced it failed.
    static Ref borrow(PyObject* object) {
        if (!object) raise();
        Py_INCREF(object);
        return Ref(object);
    }
    // Like steal and borrow, where NULL means "absent" (the caller checks PyErr_Occurred()).
    static Ref steal_or_null(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow_or_null(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    [[gnu::always_inline]] ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    // Hand the reference to a caller that steals it (a C entry point's result).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// A borrowed reference, as the helpers take their arguments: held by the caller for the whole call
// (a Ref, a temporary, a parameter, a name's str); one read out of a container that code may
// change is passed only where the callee runs none.
class Borrowed {
public:
    Borrowed(PyObject* object) noexcept : ptr_(object) {}
    Borrowed(const Ref& ref) noexcept : ptr_(ref.get()) {}
    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }

private:
    PyObject* ptr_;
};

// ---- objects -------------------------------------------------------------
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref text(std::string_view value) {
    return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
// {} for an entry per item of `items`.  Shortcut: room for an exact list's items made at once.
inline Ref new_dict_for(Borrowed items) {
    bool list = fast_paths && PyList_CheckExact(items.get());
    return Ref::steal(list ? compat::new_dict_presized(PyList_GET_SIZE(items.get())) : PyDict_New());
}
// {key: value, ...}: a dict display, made at its size and filled in order.
inline Ref dict_of(std::initializer_list<std::pair<Borrowed, Borrowed>> items) {
    Ref dict = Ref::steal(compat::new_dict_presized(static_cast<Py_ssize_t>(items.size())));
    for (const auto& [key, value] : items) check(PyDict_SetItem(dict.get(), key, value));
    return dict;
}
inline Ref tuple_of(std::initializer_list<Borrowed> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(item).release());
    return tuple;
}

// ---- protocol operations ---------------------------------------------------
// object[key]: an exact dict read directly (a missing key through the protocol, for its KeyError).
inline Ref getitem(Borrowed object, Borrowed key) {
    if (fast_paths && PyDict_CheckExact(object.get())) {
        PyObject* value = PyDict_GetItemWithError(object, key);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
    }
    return Ref::steal(PyObject_GetItem(object, key));
}
inline Ref getitem(Borrowed object, Py_ssize_t index) { return Ref::steal(PySequence_GetItem(object, index)); }
inline void setitem(Borrowed object, Borrowed key, Borrowed value) {
    bool exact = fast_paths && PyDict_CheckExact(object.get());
    check(exact ? PyDict_SetItem(object, key, value) : PyObject_SetItem(object, key, value));
}
inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }

// Python's truth test, `in`, `==` and `!=` (no identity shortcut: __eq__ and __ne__ decide).
inline bool truthy(Borrowed object) { return check(PyObject_IsTrue(object)) != 0; }
inline bool contains(Borrowed container, Borrowed item) { return check(PySequence_Contains(container, item)) != 0; }
inline bool equal(Borrowed a, Borrowed b) { return truthy(Ref::steal(PyObject_RichCompare(a, b, Py_EQ))); }
inline bool not_equal(Borrowed a, Borrowed b) { return truthy(Ref::steal(PyObject_RichCompare(a, b, Py_NE))); }
inline Py_ssize_t length(Borrowed object) {
    Py_ssize_t n = PyObject_Length(object);
    if (n < 0) raise();
    return n;
}

inline Ref str(Borrowed object) { return Ref::steal(PyObject_Str(object)); }
// format(object, ""), which is what an f-string replacement field does.
inline Ref format(Borrowed object) {
    if (fast_paths && PyUnicode_CheckExact(object.get())) return Ref::borrow(object);
    return Ref::steal(PyObject_Format(object, nullptr));
}
// a + b, a - b, a * b and a / b, as Python evaluates them.
inline Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref true_divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
// object[start:stop]
inline Ref slice(Borrowed object, Py_ssize_t start, Py_ssize_t stop) {
    return Ref::steal(PySequence_GetSlice(object, start, stop));
}
// separator.join(items) for an iterable of str.
inline Ref join(Borrowed separator, Borrowed items) { return Ref::steal(PyUnicode_Join(separator, items)); }

// ---- calls -----------------------------------------------------------------
// callable(*args), or callable(self, *args) (module.cpp): a method of the module's own runs in place.
Ref call_with(PyObject* callable, PyObject* self, std::initializer_list<Borrowed> args);

template <class... Args>
Ref call(Borrowed callable, Args&&... args) { return call_with(callable, nullptr, {Borrowed(args)...}); }

// A keyword argument: its name (a str object) and value.
struct Keyword {
    Borrowed name;
    Borrowed value;
};

// callable(*positional, **keywords)
inline Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> positional,
                   std::initializer_list<Keyword> keywords) {
    PyObject* argv[8 + 1] = {nullptr};  // one slot in front, for the vectorcall offset
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    std::size_t n = 0;
    for (Borrowed arg : positional) argv[1 + n++] = arg.get();
    for (const Keyword& keyword : keywords) {
        PyTuple_SET_ITEM(names.get(), n - positional.size(), Ref::borrow(keyword.name).release());
        argv[1 + n++] = keyword.value.get();
    }
    std::size_t nargsf = positional.size() | compat::arguments_offset;
    return Ref::steal(compat::vectorcall(callable, argv + 1, nargsf, names.get()));
}

// next(iterator), or an empty Ref when the iterator is exhausted.
inline Ref next_item(Borrowed iterator) {
    Ref item = Ref::steal_or_null(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) raise();
    return item;
}

// `first, second = object`, with the interpreter's errors: a tuple or list read
// directly, anything else by taking at most three items from its iterator.
inline std::pair<Ref, Ref> unpack_pair(Borrowed object) {
    PyObject* o = object.get();
    if (fast_paths && (PyTuple_CheckExact(o) || PyList_CheckExact(o))) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n < 2) raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        return {Ref::borrow(PySequence_Fast_GET_ITEM(o, 0)), Ref::borrow(PySequence_Fast_GET_ITEM(o, 1))};
    }
    Ref iterator = Ref::steal_or_null(PyObject_GetIter(o));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(o)->tp_iter && !PySequence_Check(o)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        raise();
    }
    Ref first = next_item(iterator);
    if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    Ref second = next_item(iterator);
    if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (next_item(iterator)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {first, second};
}

// ---- iteration ---------------------------------------------------------------
// `for (Ref item : Iterate(object))` walks any iterable as Python's for does.
class Iterate {
public:
    explicit Iterate(Borrowed iterable) : iterator_(Ref::steal(PyObject_GetIter(iterable))) {}

    class iterator {
    public:
        // `it` is the Iterate's own iterator, which outlives its iterators.
        explicit iterator(PyObject* it) : it_(it), current_(next_item(it)) {}
        iterator() = default;
        const Ref& operator*() const noexcept { return current_; }
        iterator& operator++() {
            current_ = next_item(it_);
            return *this;
        }
        bool operator!=(const iterator& other) const noexcept { return current_.get() != other.current_.get(); }

    private:
        PyObject* it_ = nullptr;
        Ref current_;
    };

    iterator begin() { return iterator(iterator_.get()); }
    iterator end() { return iterator(); }

private:
    Ref iterator_;
};

// ---- depth ---------------------------------------------------------------------
// The stack pointer (not a local's address, which AddressSanitizer may put on the heap).
[[gnu::always_inline]] inline std::uintptr_t stack_address() noexcept {
    std::uintptr_t here;
#if defined(__GNUC__) && defined(__x86_64__)
    asm("mov %%rsp, %0" : "=r"(here));
#elif defined(__GNUC__) && defined(__aarch64__)
    asm("mov %0, sp" : "=r"(here));
#else
    here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
    return here;
}

// The C stack of one thread: its bounds, and the lowest address a nested call may reach (a
// reserve kept for unwinding and for the Python code that runs between two calls of ours).
struct StackBounds {
    std::uintptr_t thread = 0;  // pthread_self() of its thread
    std::uintptr_t bottom = 0, top = 0, floor = 0;
};

// The bounds of the last few threads' stacks: one table under the GIL (thread-local storage's
// dynamic blocks trip LeakSanitizer up); an entry serves its thread while the stack pointer is
// within its bounds, so a thread key reused by a new thread is read afresh.
inline StackBounds known_stacks[8];
inline std::size_t next_stack_slot = 0;
inline const StackBounds* recent_stack = &known_stacks[0];  // the entry of the thread that checked last

// The check of another thread than the last, or of a stack down to its reserve (out of line).
[[gnu::noinline]] inline bool stack_nearly_used_up_elsewhere() noexcept {
    auto thread = static_cast<std::uintptr_t>(pthread_self()), here = stack_address();
    for (const StackBounds& bounds : known_stacks) {
        if (bounds.top && bounds.thread == thread && bounds.bottom <= here && here < bounds.top) {
            recent_stack = &bounds;
            return here < bounds.floor;
        }
    }
    // Bounds that cannot be read (the main thread's, without /proc) are remembered as unknown,
    // with no floor, rather than asked for again at every call.
    void* bottom = nullptr;
    std::size_t size = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        if (pthread_attr_getstack(&attributes, &bottom, &size) != 0) bottom = nullptr;
        pthread_attr_destroy(&attributes);
    }
    StackBounds& bounds = known_stacks[next_stack_slot];
    next_stack_slot = (next_stack_slot + 1) % (sizeof known_stacks / sizeof(StackBounds));
    // The floor a quarter of the stack up, at most 256 KiB (of the main thread's usual 8 MiB).
    auto low = reinterpret_cast<std::uintptr_t>(bottom);
    if (bottom) bounds = {thread, low, low + size, low + std::min<std::size_t>(size / 4, 256 * 1024)};
    else bounds = {thread, 0, UINTPTR_MAX, 0};
    recent_stack = &bounds;
    return here < bounds.floor;
}

// "The thread that checked last, above its floor", by two compares; false when it cannot tell.
[[gnu::always_inline]] inline bool stack_has_room() noexcept {
    auto thread = static_cast<std::uintptr_t>(pthread_self());
    return recent_stack->thread == thread && stack_address() >= recent_stack->floor;
}

// One level of nesting of the method bodies: counted by Py_EnterRecursiveCall (unless the
// interpreter counted it already: `counted` false), and refused with RecursionError when the
// thread's C stack is nearly used up, whatever the count allows (a raised limit, a small stack).
class NestedCall {
public:
    [[gnu::always_inline]] explicit NestedCall(bool counted = true) : counted_(counted) {
        if (counted_ && Py_EnterRecursiveCall(" in a ZornaAdminEvents method")) raise();
        if (!stack_has_room() && stack_nearly_used_up_elsewhere()) {  // the stack (growing down) at its reserve
            leave();
            raise(PyExc_RecursionError, "maximum recursion depth exceeded: the thread's C stack is nearly used up");
        }
    }
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;
    ~NestedCall() { leave(); }

private:
    void leave() noexcept {
        if (counted_) Py_LeaveRecursiveCall();
        counted_ = false;
    }
    bool counted_;
};

// ---- recognising objects ------------------------------------------------------------
// Run `find` with the error indicator set aside and restored after: a failure finds nothing.
template <class Find>
[[gnu::noinline]] void find_quietly(Find&& find) noexcept {
    PyObject* exception[3];
    PyErr_Fetch(&exception[0], &exception[1], &exception[2]);
    try {
        find();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(exception[0], exception[1], exception[2]);
}

// Is `found` the builtin class `type` (str, dict or set)?
inline bool is_type(Borrowed found, PyTypeObject& type) {
    if (!fast_paths || found.get() != reinterpret_cast<PyObject*>(&type)) return false;
    taken(&type == &PyUnicode_Type ? Shortcut::str : &type == &PyDict_Type ? Shortcut::dict : Shortcut::set);
    return true;
}

// Is `value` an exact str, ready to be read?  (False for a str that cannot be made ready, its error
// forgotten: the generic path reports it.)
inline bool is_ready_text(PyObject* value) {
    if (!PyUnicode_CheckExact(value)) return false;
    if (compat::ready(value) == 0) return true;
    PyErr_Clear();
    return false;
}

// Is `value` an exact list of exact, ready strs?  The answer holds until Python code runs: callers
// run none meanwhile.
inline bool is_list_of_texts(PyObject* value) {
    if (!PyList_CheckExact(value)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        if (!is_ready_text(PyList_GET_ITEM(value, i))) return false;
    }
    return true;
}

// Is `type` a built-in type of plain data, whose instances cannot claim another __class__?
inline bool is_plain_data_type(PyTypeObject* type) {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type || type == &PyFloat_Type ||
           type == &PyList_Type || type == &PyDict_Type || type == &PyTuple_Type || type == Py_TYPE(Py_None);
}

// ---- catching ------------------------------------------------------------------
// The exception set, taken over in a `catch (const PythonError&)` as an `except` clause takes it:
// the indicator cleared, and the exception being handled (its __context__ for one raised meanwhile)
// until it is dropped or `reraise()`d.
class CaughtError {
public:
    CaughtError() noexcept {
        compat::fetch_normalized(&type_, &value_, &traceback_);
        if (traceback_) PyException_SetTraceback(value_, traceback_);
        PyErr_GetExcInfo(&outer_[0], &outer_[1], &outer_[2]);
        // PyErr_SetExcInfo takes over a reference to each.
        PyErr_SetExcInfo(Ref::borrow_or_null(type_).release(), Ref::borrow_or_null(value_).release(),
                         Ref::borrow(traceback()).release());
    }
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;
    ~CaughtError() {
        stop_handling();
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    // sys.exc_info() while the exception is handled; the traceback is None when there is none.
    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }

    // `except exception_class:` (a class or a tuple of classes).
    bool matches(Borrowed exception_class) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_, exception_class);
    }
    // Set the exception again, unchanged, and unwind with it.
    [[noreturn]] void reraise() {
        stop_handling();
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
        throw PythonError{};
    }

private:
    // The exception handled before this one is the one being handled again.
    void stop_handling() noexcept {
        if (handling_) PyErr_SetExcInfo(outer_[0], outer_[1], outer_[2]);
        handling_ = false;
    }

    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    PyObject* outer_[3] = {nullptr, nullptr, nullptr};
    bool handling_ = true;
};

// __enter__ or __exit__ looked up on the type, as a with statement does; when absent, the running
// interpreter's error (`missing`: what 3.11's TypeError adds to its text).
inline Ref special_method(Borrowed object, const char* name, const char* missing) {
    PyObject* found = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object.get())), name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        compat::set_missing_context_method(object, name, missing);
        raise();
    }
    return Ref::steal(found);
}

// `with manager as target: return body(target)`: empty when __exit__ swallowed an exception.
template <class Body>
Ref with_block(Borrowed manager, Body&& body) {
    // In the interpreter's order, which decides the error of a manager lacking both.
    auto exit_method = [&] { return special_method(manager, "__exit__", " (missed __exit__ method)"); };
    Ref exit = compat::with_looks_up_exit_first ? exit_method() : Ref();
    Ref enter = special_method(manager, "__enter__", "");
    if (!exit) exit = exit_method();
    Ref target = call(enter, manager);
    Ref result;
    try {
        result = body(Borrowed(target));
    } catch (const PythonError&) {
        CaughtError caught;
        if (truthy(call(exit, manager, caught.type(), caught.value(), caught.traceback()))) return Ref();
        caught.reraise();
    }
    call(exit, manager, Py_None, Py_None, Py_None);
    return result;
}

// ---- entry points ------------------------------------------------------------
// Run `body` for a C entry point: a Python exception becomes NULL with the exception set.
template <class Body>
[[gnu::always_inline]] inline PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "zorna_admin_events: unexpected C++ exception");
        return nullptr;
    }
}

}  // namespace zae
