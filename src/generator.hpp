// A generator expression that calls one name of the module on each item,
// `(name(item) for item in iterable)`, for a builtin the module's code hands
// one to (max).  The receiver sees an iterator of its own, computed as it is
// consumed: at each step the next item is taken, then `name` is looked up in
// the module's namespace (a replacement made meanwhile is seen) and called.
// As a generator, it is finished once exhausted or once a step has raised.
#pragma once

#include "admin_events.hpp"

namespace zae {

namespace detail {

struct CallEach {
    PyObject_HEAD
    PyObject* module;  // whose namespace `name` is looked up in
    PyObject* items;   // the iterable's iterator; null once finished
    Name* name;
};

inline CallEach* as_call_each(PyObject* object) { return reinterpret_cast<CallEach*>(object); }

inline PyObject* call_each_next(PyObject* self) {
    CallEach* generator = as_call_each(self);
    if (!generator->items) return nullptr;
    PyObject* result = guarded([generator] {
        Ref item = Ref::steal_or_null(PyIter_Next(generator->items));
        if (!item) {
            if (PyErr_Occurred()) raise();
            return Ref();  // exhausted: StopIteration
        }
        return call(lookup_global(generator->module, *generator->name), item);
    });
    if (!result) Ref::steal_or_null(std::exchange(generator->items, nullptr));
    return result;
}

inline int call_each_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_call_each(self)->module);
    Py_VISIT(as_call_each(self)->items);
    return 0;
}

inline void call_each_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Ref::steal_or_null(as_call_each(self)->module);
    Ref::steal_or_null(as_call_each(self)->items);
    PyObject_GC_Del(self);
}

inline PyTypeObject& call_each_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "zorna_admin_events.admin_events.generator";
        t.tp_basicsize = sizeof(CallEach);
        t.tp_dealloc = call_each_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = call_each_traverse;
        t.tp_iter = PyObject_SelfIter;
        t.tp_iternext = call_each_next;
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&type));
    return type;
}

}  // namespace detail

// (name(item) for item in iterable), `name` looked up in the namespace of
// the module the call runs in; the iterable's iterator is made now.
inline Ref call_each(const Call& call, Name& name, Borrowed iterable) {
    Ref items = Ref::steal(PyObject_GetIter(iterable));
    detail::CallEach* generator = PyObject_GC_New(detail::CallEach, &detail::call_each_type());
    if (!generator) raise();
    generator->module = Ref::borrow(call.module).release();
    generator->items = items.release();
    generator->name = &name;
    PyObject_GC_Track(generator);
    return Ref::steal(reinterpret_cast<PyObject*>(generator));
}

}  // namespace zae
