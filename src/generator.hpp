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

// One step, name(item): `state` is the module and a capsule of the Name
// (a tuple, held by the function being called: its items stay).
inline PyObject* call_name(PyObject* state, PyObject* item) {
    return guarded([&] {
        auto* name = static_cast<Name*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(state, 1), nullptr));
        if (!name) raise();
        return call(lookup_global(PyTuple_GET_ITEM(state, 0), *name), item);
    });
}

// Read by the functions made from it for their whole life.
inline PyMethodDef call_name_def = {"<genexpr>", call_name, METH_O, nullptr};

}  // namespace detail

// (name(item) for item in iterable), `name` looked up in the namespace of
// the module the call runs in; the iterable's iterator is made now.
inline Ref call_each(const Call& call, Name& name, Borrowed iterable) {
    Ref state = tuple_of({call.module, Ref::steal(PyCapsule_New(&name, nullptr, nullptr))});
    Ref step = Ref::steal(PyCFunction_New(&detail::call_name_def, state.get()));
    return zae::call(reinterpret_cast<PyObject*>(&PyMap_Type), step, iterable);
}

}  // namespace zae
