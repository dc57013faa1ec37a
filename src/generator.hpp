// A generator expression that calls one name of the module on each item,
// `(name(item) for item in iterable)`, for the builtins the module's code
// hands one to (max).  The receiver gets an iterator of its own, computed as
// it is consumed: at each step the next item is taken, then `name` is looked
// up in the module's namespace (a replacement made meanwhile is used) and
// called.  As a generator, it is finished once exhausted or once a step raised.
#pragma once

#include "admin_events.hpp"

namespace zae {

namespace detail {

struct CallEach {
    PyObject_HEAD
    PyObject* module;  // whose namespace `name` is looked up in
    PyObject* items;   // the iterable's iterator; null once finished
    Name* name;

    static PyObject* next(PyObject* self) {
        CallEach* generator = reinterpret_cast<CallEach*>(self);
        if (!generator->items) return nullptr;
        PyObject* result = guarded([generator] {
            Ref item = next_item(generator->items);
            return item ? call(lookup_global(generator->module, *generator->name), item) : Ref();
        });
        if (!result) Ref::steal_or_null(std::exchange(generator->items, nullptr));
        return result;  // null without an exception: StopIteration
    }
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(reinterpret_cast<CallEach*>(self)->module);
        Py_VISIT(reinterpret_cast<CallEach*>(self)->items);
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyObject_GC_UnTrack(self);
        Ref::steal_or_null(reinterpret_cast<CallEach*>(self)->module);
        Ref::steal_or_null(reinterpret_cast<CallEach*>(self)->items);
        PyObject_GC_Del(self);
    }
    static PyTypeObject* type() {
        static PyTypeObject type = [] {
            PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
            t.tp_name = "zorna_admin_events.admin_events.generator";
            t.tp_basicsize = sizeof(CallEach);
            t.tp_dealloc = dealloc;
            t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
            t.tp_traverse = traverse;
            t.tp_iter = PyObject_SelfIter;
            t.tp_iternext = next;
            return t;
        }();
        if (!(type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&type));
        return &type;
    }
};

}  // namespace detail

// (name(item) for item in iterable), `name` looked up in the namespace of
// the module the call runs in; the iterable's iterator is made now.
inline Ref call_each(const Call& call, Name& name, Borrowed iterable) {
    Ref items = Ref::steal(PyObject_GetIter(iterable));
    auto* generator = PyObject_GC_New(detail::CallEach, detail::CallEach::type());
    if (!generator) raise();
    generator->module = Ref::borrow(call.module).release();
    generator->items = items.release();
    generator->name = &name;
    PyObject_GC_Track(generator);
    return Ref::steal(reinterpret_cast<PyObject*>(generator));
}

}  // namespace zae
