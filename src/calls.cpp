// The look-ups of the method bodies (global, attribute, method), and the walk over a dict's items.
#include "admin_events.hpp"

namespace zae {

// ---- globals ------------------------------------------------------------------------
// The module's own names first, then its __builtins__ (a dict, or the
// builtins module), as for a function defined in the module.
Ref Module::look_up(Name name) const {
    PyObject* key = state.str(name);
    PyObject* namespace_ = globals;
    GlobalAnswer& last = state.globals[static_cast<std::size_t>(name.slot)];
    last = GlobalAnswer();
    std::uint64_t globals_stamp = fast_paths ? compat::watch_dict(namespace_) : 0;  // taken before anything runs

    Ref value = Ref::borrow_or_null(PyDict_GetItemWithError(namespace_, key));
    if (value) {
        if (globals_stamp) last = {namespace_, nullptr, value.get(), globals_stamp, 0};
        return value;
    }
    if (PyErr_Occurred()) raise();
    Ref builtins = Ref::borrow_or_null(PyDict_GetItemWithError(namespace_, state.str(n::builtins)));
    bool own_builtins = bool(builtins);
    if (!builtins) {
        if (PyErr_Occurred()) raise();
        builtins = Ref::borrow(PyEval_GetBuiltins());  // the caller's: not remembered
    }
    if (PyModule_Check(builtins.get())) builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
    // Only a plain dict tells of its changes.
    bool kept = globals_stamp && own_builtins && PyDict_CheckExact(builtins.get());
    std::uint64_t builtins_stamp = kept ? compat::watch_dict(builtins.get()) : 0;
    value = Ref::steal_or_null(PyObject_GetItem(builtins.get(), key));
    if (value) {
        if (builtins_stamp) last = {namespace_, builtins.get(), value.get(), globals_stamp, builtins_stamp};
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    raise();
}

// ---- attributes -------------------------------------------------------------------
namespace {

// Forget an answer about a class (its reference released last: a class that
// goes may run finalizers).
void forget(AttributeAnswer& last) { Ref::steal_or_null(std::exchange(last, AttributeAnswer()).holder); }

// cls.name for a plain class, remembered when the class's entry gives the same answer every time
// (a value without __get__, or a static method) and nothing of `type` goes first.
Ref class_attribute(Borrowed cls, Name name) {
    AttributeAnswer& last = state.class_attributes[static_cast<std::size_t>(name.slot)];
    forget(last);
    std::uint64_t stamp = compat::watch_type(reinterpret_cast<PyTypeObject*>(cls.get()));  // before anything runs
    Ref value = getattr(cls, name);
    PyObject* key = state.str(name);
    PyObject* entry = stamp && !compat::type_lookup(&PyType_Type, key)
                          ? compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), key)
                          : nullptr;
    if (entry && (Py_TYPE(entry) == &PyStaticMethod_Type || (entry == value.get() && !Py_TYPE(entry)->tp_descr_get))) {
        last = {Ref::borrow(cls).release(), stamp, entry};
    }
    return value;
}

// module.name, remembered when the module's dict holds what getattr() gave
// (nothing of the module type goes first for the name).
Ref module_attribute(Borrowed module, Name name) {
    PyObject* dict = PyModule_GetDict(module);
    AttributeAnswer& last = state.module_attributes[static_cast<std::size_t>(name.slot)];
    last = AttributeAnswer();
    std::uint64_t stamp = compat::watch_dict(dict);
    Ref value = getattr(module, name);
    PyObject* key = state.str(name);
    if (stamp && !compat::type_lookup(&PyModule_Type, key) && PyDict_GetItemWithError(dict, key) == value.get()) {
        last = {dict, stamp, value.get()};
    }
    if (PyErr_Occurred()) raise();
    return value;
}

// The attribute `name` as the class `type` holds it (borrowed, or null), for
// a method call: for a class unchanged since the last look-up, the entry then.
PyObject* method_entry(PyTypeObject* type, Name name) {
    AttributeAnswer& last = state.methods[static_cast<std::size_t>(name.slot)];
    auto* holder = reinterpret_cast<PyObject*>(type);
    if (last.value && last.holder == holder && last.stamp == compat::type_stamp(type)) {
        taken(Shortcut::class_attribute);
        return last.value;
    }
    forget(last);  // `type` is held by the caller's object
    std::uint64_t stamp = compat::watch_type(type);
    PyObject* entry = compat::type_lookup(type, state.str(name));  // owned by get_method before anything runs
    if (stamp && entry) last = {Ref::borrow(holder).release(), stamp, entry};
    return entry;
}

}  // namespace

Ref look_up_attribute(Borrowed object, Name name) {
    if (fast_paths && Py_TYPE(object.get()) == &PyType_Type) return class_attribute(object, name);
    if (fast_paths && PyModule_CheckExact(object.get())) return module_attribute(object, name);
    return getattr(object, name);
}

MethodLookup lookup_method(Borrowed object, Name name) {
    if constexpr (!fast_paths) return {object, getattr(object, name), false};
    if (PyModule_CheckExact(object.get())) return {object, attribute(object, name), false};
    PyObject* found = nullptr;
    auto entry = [name](PyTypeObject* type) { return method_entry(type, name); };
    int unbound = compat::get_method(object, state.str(name), &found, entry);
    return {object, Ref::steal(found), unbound == 1};
}

// Whichever way the look-up went: the method descriptor itself (unbound),
// or a bound method of our function and this very object.
bool MethodLookup::runs(Body body) const {
    PyObject* callable = found.get();
    if (!unbound) {
        if (!PyMethod_Check(callable) || PyMethod_GET_SELF(callable) != object.get()) return false;
        callable = PyMethod_GET_FUNCTION(callable);
    }
    return is_own_function(callable, body);
}

// ---- the walk over a dict's items --------------------------------------------------------
Items::Items(Borrowed mapping) : mapping_(Ref::borrow(mapping)) {
    if (fast_paths && PyDict_CheckExact(mapping.get())) {
        size_ = PyDict_GET_SIZE(mapping.get());
    } else {
        iterator_ = Ref::steal(PyObject_GetIter(call_method(mapping, n::items).get()));
    }
}

bool Items::next_item(Ref& key, Ref& value) {
    Ref item = zae::next_item(iterator_);
    if (!item) return false;
    std::tie(key, value) = unpack_pair(item);
    return true;
}

}  // namespace zae
