// What the method bodies share: the module they run in, the operations of their algorithm named
// as in Python, and their declarations.  As in Python, every module-level name and builtin is
// looked up at each use and methods reach one another through attribute look-up, so anything can
// be replaced.  Every operation holds strong references; Python code may run inside any of them.
#pragma once

#include "state.hpp"
#include "text/writer.hpp"

namespace zae {

// ---- the module a body runs in -------------------------------------------------
struct Module {
    explicit Module(PyObject* module) : object(module), globals(PyModule_GetDict(module)) {}

    PyObject* object;   // held by the function being called
    PyObject* globals;  // its namespace, which the module keeps for its whole life

    // A module-level name or builtin, looked up now (LOAD_GLOBAL).
    Ref global(Name name) const {
        if (PyObject* value = remembered(name)) return Ref::borrow(value);
        return look_up(name);
    }
    // The last look-up's answer while neither dict it searched has changed (as LOAD_GLOBAL
    // answers: nothing is looked up, nothing runs); else null.
    [[gnu::always_inline]] PyObject* remembered(Name name) const {
        const GlobalAnswer& last = state.globals[static_cast<std::size_t>(name.slot)];
        bool stands = fast_paths && last.value && last.globals == globals &&
                      last.globals_stamp == compat::dict_stamp(globals) &&
                      (!last.builtins || last.builtins_stamp == compat::dict_stamp(last.builtins));
        if (!stands) return nullptr;
        taken(Shortcut::global);
        return last.value;
    }

private:
    Ref look_up(Name name) const;
};

// ---- operations ------------------------------------------------------------------
// object.name and object.name = value (PyObject_GetAttr and PyObject_SetAttr, without their checks).
inline Ref getattr(Borrowed object, Name name) {
    getattrofunc get = Py_TYPE(object.get())->tp_getattro;
    return Ref::steal(get ? get(object, state.str(name)) : PyObject_GetAttr(object, state.str(name)));
}
inline void setattr(Borrowed object, Name name, Borrowed value) {
    setattrofunc set = Py_TYPE(object.get())->tp_setattro;
    check(set ? set(object, state.str(name), value) : PyObject_SetAttr(object, state.str(name), value));
}

// object.name (LOAD_ATTR): for a plain class or a module unchanged since the last look-up of the
// name through it, the entry found then, as the interpreter's caches answer; else looked up anew.
Ref look_up_attribute(Borrowed object, Name name);
[[gnu::always_inline]] inline Ref attribute(Borrowed object, Name name) {
    PyObject* o = object.get();
    if (fast_paths && Py_TYPE(o) == &PyType_Type) {
        const AttributeAnswer& last = state.class_attributes[static_cast<std::size_t>(name.slot)];
        auto* type = reinterpret_cast<PyTypeObject*>(o);
        if (last.value && last.holder == o && last.stamp == compat::type_stamp(type)) {
            taken(Shortcut::class_attribute);
            // A static method gives its function, as its __get__ does.
            if (Py_TYPE(last.value) != &PyStaticMethod_Type) return Ref::borrow(last.value);
            return Ref::steal(PyStaticMethod_Type.tp_descr_get(last.value, nullptr, o));
        }
    } else if (fast_paths && PyModule_CheckExact(o)) {
        const AttributeAnswer& last = state.module_attributes[static_cast<std::size_t>(name.slot)];
        PyObject* dict = PyModule_GetDict(o);
        if (last.value && last.holder == dict && last.stamp == compat::dict_stamp(dict)) {
            taken(Shortcut::module_attribute);
            return Ref::borrow(last.value);
        }
    }
    return look_up_attribute(object, name);
}

// A method body as the method table holds it, taking the bound arguments (`self` first for
// instance methods): body_of<F> for a body function F, which names its parameters.
using Body = Ref (*)(const Module&, PyObject* const* args);

template <class... Params>
constexpr std::size_t arity(Ref (*)(const Module&, Params...)) { return sizeof...(Params); }
template <auto F, std::size_t... I>
Ref apply(const Module& module, PyObject* const* args, std::index_sequence<I...>) {
    return F(module, args[I]...);
}
template <auto F>
Ref body_of(const Module& module, PyObject* const* args) {
    return apply<F>(module, args, std::make_index_sequence<arity(F)>());
}

// Is `found` the module's own function (a static method) whose body is `body`?
bool is_own_function(Borrowed found, Body body);

// object.name looked up for a call (LOAD_METHOD): a module's attribute, or a method through the class.
struct MethodLookup {
    Borrowed object;
    Ref found;
    bool unbound;  // `found` is a method descriptor, to be called with `object` first

    // Is it the module's own method with body F, bound to `object`?
    template <auto F>
    bool is_own() const { return runs(body_of<F>); }
    bool runs(Body body) const;
    Ref operator()(std::initializer_list<Borrowed> args) const {
        return call_with(found.get(), unbound ? object.get() : nullptr, args);
    }
};
MethodLookup lookup_method(Borrowed object, Name name);

// object.name(*args)
template <class... Args>
Ref call_method(Borrowed object, Name name, Args&&... args) {
    if (fast_paths && PyModule_CheckExact(object.get())) return call(attribute(object, name), args...);
    return lookup_method(object, name)({Borrowed(args)...});
}

// isinstance(object, classinfo), `isinstance` as found.  For the builtin and a plain class, the
// subclass test, then __class__'s, skipped for the plain data types (it is their type).
inline bool isinstance(Borrowed isinstance, Borrowed object, Borrowed classinfo) {
    if (!state.is_builtin(Builtin::isinstance, isinstance)) return truthy(call(isinstance, object, classinfo));
    if (PyType_CheckExact(classinfo.get())) {
        if (PyObject_TypeCheck(object.get(), reinterpret_cast<PyTypeObject*>(classinfo.get()))) return true;
        if (is_plain_data_type(Py_TYPE(object.get()))) return false;
    }
    return check(PyObject_IsInstance(object, classinfo)) != 0;
}

// `for key, value in mapping.items():`, an exact dict walked directly, with Python's errors if it
// changes size or keys meanwhile; anything else through items().  Each step holds its references.
class Items {
public:
    explicit Items(Borrowed mapping);
    [[gnu::always_inline]] bool next(Ref& key, Ref& value) {
        if (iterator_) return next_item(key, value);
        if (PyDict_GET_SIZE(mapping_.get()) != size_) {
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        PyObject *k = nullptr, *v = nullptr;
        if (!PyDict_Next(mapping_.get(), &position_, &k, &v)) return false;
        if (compat::dict_iteration_counts_keys && walked_++ == size_) {
            raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        }
        // Both owned before the previous ones go (their release may run a finalizer).
        Ref new_key = Ref::borrow(k), new_value = Ref::borrow(v);
        key = std::move(new_key);
        value = std::move(new_value);
        return true;
    }

    struct Step {
        Items* items;
        std::pair<Ref, Ref> item;
        bool more;
        const std::pair<Ref, Ref>& operator*() const noexcept { return item; }
        Step& operator++() {
            more = items->next(item.first, item.second);
            return *this;
        }
        bool operator!=(const Step&) const noexcept { return more; }
    };
    Step begin() { return ++Step{this, {}, true}; }
    Step end() { return {}; }

private:
    bool next_item(Ref& key, Ref& value);  // through items()
    Ref mapping_, iterator_;  // iterator_: of items(), for anything but an exact dict
    Py_ssize_t size_ = 0, position_ = 0, walked_ = 0;
};

// ---- method bodies ----------------------------------------------------------------
// One per entry of the class's method table, with the method's parameters.

namespace method {
// Selection of events and groups (selection.cpp)
Ref init(const Module&, PyObject* self, PyObject* event_id_list, PyObject* group_id_list);
// Status listings (listings.cpp)
Ref show_all_groups(const Module&, PyObject* self);
Ref show_groups(const Module&, PyObject* self);
// Configuration view (config_view.cpp)
Ref show_events(const Module&, PyObject* self);
// Configuration changes (config_changes.cpp)
Ref enable(const Module&, PyObject* self);
Ref disable(const Module&, PyObject* self);
Ref set_priority(const Module&, PyObject* self, PyObject* priority);
Ref set_facility(const Module&, PyObject* self, PyObject* facility);
Ref set_properties(const Module&, PyObject* self, PyObject* section, PyObject* parameter, PyObject* value);
Ref export_config(const Module&, PyObject* file_path);
Ref import_config(const Module&, PyObject* self, PyObject* input_file);
Ref restart_daemons(const Module&, PyObject* self);
}  // namespace method

// The private methods, `__name` in the class body.
namespace private_method {
Ref prepare_groups(const Module&, PyObject* self);
Ref prepare_events(const Module&, PyObject* self);
Ref show_groups(const Module&, PyObject* self);
Ref process_group(const Module&, PyObject* self, PyObject* group_id, PyObject* action);
Ref process_ids(const Module&, PyObject* self, PyObject* action);
Ref process_event(const Module&, PyObject* self, PyObject* event_id, PyObject* action);
Ref set_syslog_message_param(const Module&, PyObject* self, PyObject* param_type, PyObject* param_value);
Ref get_multiple_string(const Module&, PyObject* self, PyObject* id_list, PyObject* new_status);
Ref get_group_string(const Module&, PyObject* self, PyObject* group_id);
Ref get_events_by_group_id(const Module&, PyObject* group_id);
Ref get_all_event_description(const Module&);
Ref get_all_group_description(const Module&);
Ref get_grouped_events(const Module&, PyObject* self, PyObject* group_id_list);
Ref get_event_group(const Module&, PyObject* self, PyObject* event_id);
Ref get_event_config(const Module&, PyObject* self, PyObject* event_id);
Ref get_event_section_translation(const Module&, PyObject* self, PyObject* key);
Ref load_event_section_translations(const Module&, PyObject* self);
Ref get_event_config_string(const Module&, PyObject* self, PyObject* dictionary, PyObject* indent);
Ref sort_nested_dict(const Module&, PyObject* dictionary);
Ref process_path_value(const Module&, PyObject* self, PyObject* event_id, PyObject* value);
}  // namespace private_method

}  // namespace zae
