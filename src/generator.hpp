// A generator expression that calls one name of the module on each item,
// `(name(item) for item in iterable)`, for the builtins the module's code
// hands one to (max).  The receiver gets an iterator of its own, computed as
// it is consumed: at each step the next item is taken, then `name` is looked
// up in the module's namespace (a replacement made meanwhile is used) and
// called.  That is what map() does with a function that looks the name up.
#pragma once

#include "admin_events.hpp"

namespace zae {

namespace detail {

// One step, name(item): `scope` is a tuple of the module and a capsule of
// the Name (held by the function being called: its items stay).
inline PyObject* call_name(PyObject* scope, PyObject* item) {
    return guarded([&] {
        auto* name = static_cast<const Name*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(scope, 1), nullptr));
        if (!name) raise();
        return call(Module(PyTuple_GET_ITEM(scope, 0)).global(*name), item);
    });
}

// Read by the functions made from it for their whole life.
inline PyMethodDef call_name_def = {"<genexpr>", call_name, METH_O, nullptr};

}  // namespace detail

// (name(item) for item in iterable), `name` looked up in the namespace of
// the module; the iterable's iterator is made now.
inline Ref call_each(const Module& module, const Name& name, Borrowed iterable) {
    Ref scope = tuple_of({module.object, Ref::steal(PyCapsule_New(const_cast<Name*>(&name), nullptr, nullptr))});
    Ref step = Ref::steal(PyCFunction_New(&detail::call_name_def, scope.get()));
    return call(reinterpret_cast<PyObject*>(&PyMap_Type), step, iterable);
}

}  // namespace zae
