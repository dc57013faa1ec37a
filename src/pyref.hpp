// Owning references to Python objects, and the few CPython calls this module
// makes again and again, wrapped so that no caller has to count references.
//
// Error convention: a CPython call that fails leaves a Python exception set and
// returns NULL or -1.  The wrappers below turn that into a C++ `PythonError`
// exception, which unwinds (releasing every `Ref` on the way) up to the entry
// point of the Python-visible method; the entry point returns NULL and the
// interpreter raises the exception that is still set.  So code between the
// entry point and CPython never checks a return value by hand.
//
// This header is the only place that calls Py_INCREF/Py_DECREF directly.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

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
    // Like steal, for calls where NULL may mean "absent"; the caller checks
    // PyErr_Occurred() (or the exception) itself.
    static Ref steal_or_null(PyObject* object) noexcept { return Ref(object); }
    // Like borrow, for lookups where NULL means "absent" rather than "failed".
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
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    // Hand the reference to a caller that steals it (a C entry point's result).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// A borrowed reference: valid as long as its owner keeps the object alive.
// Every helper takes its object arguments as Borrowed, so both a raw
// PyObject* and a Ref can be passed.
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
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref text(std::string_view value) {
    return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_set(Borrowed iterable) { return Ref::steal(PySet_New(iterable)); }
inline Ref tuple_of(std::initializer_list<Borrowed> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) {
        Py_INCREF(item.get());
        PyTuple_SET_ITEM(tuple.get(), i++, item.get());
    }
    return tuple;
}

// ---- protocol operations ---------------------------------------------------

inline Ref getattr(Borrowed object, Borrowed name) { return Ref::steal(PyObject_GetAttr(object, name)); }
inline void setattr(Borrowed object, Borrowed name, Borrowed value) { check(PyObject_SetAttr(object, name, value)); }
inline Ref getitem(Borrowed object, Borrowed key) { return Ref::steal(PyObject_GetItem(object, key)); }
inline Ref getitem(Borrowed object, Py_ssize_t index) {
    return Ref::steal(PySequence_GetItem(object, index));
}
inline void setitem(Borrowed object, Borrowed key, Borrowed value) { check(PyObject_SetItem(object, key, value)); }
inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }

inline bool truthy(Borrowed object) { return check(PyObject_IsTrue(object)) != 0; }
inline bool contains(Borrowed container, Borrowed item) { return check(PySequence_Contains(container, item)) != 0; }
inline bool isinstance(Borrowed object, Borrowed type) { return check(PyObject_IsInstance(object, type)) != 0; }
// Python's `a == b` (no identity shortcut: __eq__ decides).
inline bool equal(Borrowed a, Borrowed b) { return truthy(Ref::steal(PyObject_RichCompare(a, b, Py_EQ))); }
// Python's `a != b` (__ne__ decides).
inline bool not_equal(Borrowed a, Borrowed b) { return truthy(Ref::steal(PyObject_RichCompare(a, b, Py_NE))); }
inline Py_ssize_t length(Borrowed object) {
    Py_ssize_t n = PyObject_Length(object);
    if (n < 0) raise();
    return n;
}

inline Ref str(Borrowed object) { return Ref::steal(PyObject_Str(object)); }
// format(object, ""), which is what an f-string replacement field does.
inline Ref format(Borrowed object) {
    if (PyUnicode_CheckExact(object.get())) return Ref::borrow(object);
    return Ref::steal(PyObject_Format(object, nullptr));
}
// a + b, as Python evaluates it.
inline Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }
// a - b, as Python evaluates it.
inline Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }
// a * b, as Python evaluates it (also repeats a str: " " * n).
inline Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }
// a / b, as Python evaluates it (also joins a pathlib.Path with a component).
inline Ref true_divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
// object[start:stop], as Python evaluates it.
inline Ref slice(Borrowed object, Py_ssize_t start, Py_ssize_t stop) {
    return Ref::steal(PySequence_GetSlice(object, start, stop));
}
// separator.join(items) for an iterable of str.
inline Ref join(Borrowed separator, Borrowed items) { return Ref::steal(PyUnicode_Join(separator, items)); }

// The concatenation of pieces that must all be str (an f-string's literal parts
// and formatted fields, or a chain of + between texts).
inline Ref concat(std::initializer_list<Borrowed> pieces) {
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return join(empty, tuple_of(pieces));
}

// ---- calls -----------------------------------------------------------------

// callable(*args)
template <class... Args>
Ref call(Borrowed callable, Args&&... args) {
    PyObject* argv[] = {nullptr, Borrowed(args).get()...};
    return Ref::steal(compat::vectorcall(callable, argv + 1, sizeof...(Args) | compat::arguments_offset, nullptr));
}

// object.name(*args)
template <class... Args>
Ref call_method(Borrowed object, Borrowed name, Args&&... args) {
    PyObject* argv[] = {object.get(), Borrowed(args).get()...};
    return Ref::steal(
        compat::vectorcall_method(name, argv, (1 + sizeof...(Args)) | compat::arguments_offset, nullptr));
}

// A keyword argument: its name (a str object) and value.
struct Keyword {
    Borrowed name;
    Borrowed value;
};

// callable(*positional, **keywords)
inline Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> positional,
                   std::initializer_list<Keyword> keywords) {
    constexpr std::size_t max_args = 8;
    PyObject* argv[max_args + 1] = {nullptr};
    std::size_t n = 0;
    for (Borrowed arg : positional) argv[1 + n++] = arg.get();
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t k = 0;
    for (const Keyword& keyword : keywords) {
        argv[1 + n++] = keyword.value.get();
        Py_INCREF(keyword.name.get());
        PyTuple_SET_ITEM(names.get(), k++, keyword.name.get());
    }
    return Ref::steal(compat::vectorcall(callable, argv + 1, positional.size() | compat::arguments_offset,
                                         keywords.size() ? names.get() : nullptr));
}

// `first, second = object` (or `for first, second in ...`), with the
// interpreter's errors: a tuple or list directly, anything else by taking at
// most three items from its iterator.
inline std::pair<Ref, Ref> unpack_pair(Borrowed object) {
    PyObject* o = object.get();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
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
    auto next = [&iterator] {
        Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()));
        if (!item && PyErr_Occurred()) raise();
        return item;
    };
    Ref first = next();
    if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    Ref second = next();
    if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (next()) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {first, second};
}

// ---- iteration ---------------------------------------------------------------

// `for (Ref item : Iterate(object))` walks any iterable as Python's for does;
// an error raised by the iterator ends the loop with PythonError.
class Iterate {
public:
    explicit Iterate(Borrowed iterable) : iterator_(Ref::steal(PyObject_GetIter(iterable))) {}

    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        const Ref& operator*() const noexcept { return current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator& other) const noexcept { return current_.get() != other.current_.get(); }

    private:
        void advance() {
            current_ = Ref::borrow_or_null(nullptr);
            PyObject* next = PyIter_Next(it_);
            if (next) {
                current_ = Ref::steal(next);
            } else if (PyErr_Occurred()) {
                raise();
            }
        }
        PyObject* it_ = nullptr;
        Ref current_;
    };

    iterator begin() { return iterator(iterator_.get()); }
    iterator end() { return iterator(); }

private:
    Ref iterator_;
};

// Items of an exact dict, in its order: `for (auto& [key, value] : DictItems(d))`.
// Each step holds its own references, so the body may replace values; it must
// not add or remove keys (Python forbids that during iteration as well).
class DictItems {
public:
    explicit DictItems(Borrowed dict) : dict_(Ref::borrow(dict)) {}

    class iterator {
    public:
        explicit iterator(PyObject* dict) : dict_(dict) { advance(); }
        iterator() = default;
        const std::pair<Ref, Ref>& operator*() const noexcept { return item_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator& other) const noexcept { return done_ != other.done_; }

    private:
        void advance() {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            done_ = !PyDict_Next(dict_, &pos_, &key, &value);
            item_ = done_ ? std::pair<Ref, Ref>() : std::pair<Ref, Ref>(Ref::borrow(key), Ref::borrow(value));
        }
        PyObject* dict_ = nullptr;
        Py_ssize_t pos_ = 0;
        std::pair<Ref, Ref> item_;
        bool done_ = true;
    };

    iterator begin() { return iterator(dict_.get()); }
    iterator end() { return iterator(); }

private:
    Ref dict_;
};

// ---- catching ------------------------------------------------------------------

// The Python exception that is set, taken over in a `catch (const PythonError&)`
// block as an `except` clause takes it: the error indicator is cleared, so
// the handler may call into Python (to look up the class it catches, say),
// then either drop the exception (by letting the object go) or `reraise()` it.
// The exception is normalized (an instance with its traceback), as an except
// clause and a context manager's __exit__ receive it.
//
//     try { ... } catch (const PythonError&) {
//         CaughtError error;
//         if (!error.matches(exception_class)) error.reraise();
//         ... handle ...
//     }
class CaughtError {
public:
    CaughtError() noexcept {
        compat::fetch_normalized(&type_, &value_, &traceback_);
        if (traceback_) PyException_SetTraceback(value_, traceback_);
    }
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;
    ~CaughtError() {
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
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
        throw PythonError{};
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// For its lifetime, `caught` is the exception being handled (sys.exc_info()),
// so that an exception raised meanwhile (by the code an except clause or a
// with-block's __exit__ runs) gets it as its __context__, as in Python.
class Handling {
public:
    explicit Handling(const CaughtError& caught) noexcept {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        Py_XINCREF(caught.type());
        Py_XINCREF(caught.value());
        Py_INCREF(caught.traceback());
        PyErr_SetExcInfo(caught.type(), caught.value(), caught.traceback());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetExcInfo(type_, value_, traceback_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// A special method (__enter__, __exit__) looked up on the type, as the
// interpreter does for the with statement; when it is absent, the error is the
// running interpreter's (`missing` is what 3.11's TypeError adds to its text).
inline Ref special_method(Borrowed object, const char* name, const char* missing) {
    PyObject* found = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object.get())), name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        compat::set_missing_context_method(object, name, missing);
        raise();
    }
    return Ref::steal(found);
}

// `with manager as target: return body(target)`.  When the body raises,
// __exit__ gets the exception (as the one being handled) and the exception
// propagates unless __exit__ returns true; the result is then empty, as a
// `return` that was never reached.  Otherwise __exit__(None, None, None).
template <class Body>
Ref with_block(Borrowed manager, Body&& body) {
    Ref enter = special_method(manager, "__enter__", "");
    Ref exit = special_method(manager, "__exit__", " (missed __exit__ method)");
    Ref target = call(enter, manager);
    Ref result;
    try {
        result = body(Borrowed(target));
    } catch (const PythonError&) {
        CaughtError caught;
        {
            Handling handling(caught);
            if (truthy(call(exit, manager, caught.type(), caught.value(), caught.traceback()))) return Ref();
        }
        caught.reraise();
    }
    call(exit, manager, Py_None, Py_None, Py_None);
    return result;
}

// ---- entry points ------------------------------------------------------------

// Run `body` (returning a Ref) on behalf of a C entry point: a Python exception
// becomes NULL with the exception set, as the interpreter expects.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
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

// Run a body that returns nothing on behalf of a C entry point that reports
// failure by status (module slots): false means a Python exception is set.
template <class Body>
bool succeeded(Body&& body) noexcept {
    PyObject* result = guarded([&] {
        body();
        return none();
    });
    Py_XDECREF(result);
    return result != nullptr;
}

}  // namespace zae
