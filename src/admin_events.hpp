// What the method bodies of ZornaAdminEvents share: interned names, the
// call context handed to every body, and look-ups in the module namespace.
//
// The methods behave as if written in Python inside the module: every
// module-level name (zorna_events, json, pydoc, _, LANG, Color, ...) and every
// builtin (print, max, ...) is looked up in the module namespace at each use,
// and methods reach one another through attribute look-up on `self` or on the
// class.  A test or a subclass can therefore replace any of them.
#pragma once

#include "pyref.hpp"
#include "state.hpp"
#include "text/writer.hpp"

namespace zae {

// A str interned on first use and kept with the module's state (see Kept),
// and the answers of its last look-ups.  Whoever holds the str it gives
// may rely on it while the module lives: the state is released only when
// no method of the module can be running (the module freed or cleared).
class Name final : public Kept {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() {
        if (!object_) {
            object_ = PyUnicode_InternFromString(text_);
            if (!object_) raise();
            keep();
        }
        return object_;
    }
    operator Borrowed() { return Borrowed(get()); }

    // The last look-up of this name as a global (see lookup_global): where
    // it was made, the stamps of the dicts searched (see compat.hpp), and
    // what was found (borrowed: the dict it came from holds it while its
    // stamp stands).
    struct Found {
        PyObject* globals = nullptr;
        std::uint64_t globals_stamp = 0;
        PyObject* builtins = nullptr;  // null: found in the globals themselves
        std::uint64_t builtins_stamp = 0;
        PyObject* value = nullptr;
    };
    Found found;

    // The last look-up of this name as an attribute of a class (see
    // lookup_class_attribute) or of a module (see module_attribute): the
    // class (a reference of its own, so that no other class is taken for it
    // at the same address) or the module's dict, its stamp then, and the
    // value found there (borrowed: the class or dict holds it while its
    // stamp stands).
    struct AttributeFound {
        PyObject* holder = nullptr;
        std::uint64_t stamp = 0;
        PyObject* value = nullptr;
    };
    AttributeFound class_found, module_found;
    // The last look-up of this name as a method of an object, through its
    // class (see lookup_method): the class's entry, kept as class_found is.
    AttributeFound method_found;

    void release(std::vector<PyObject*>& dropped) noexcept override {
        dropped.push_back(std::exchange(object_, nullptr));
        dropped.push_back(std::exchange(class_found, {}).holder);
        dropped.push_back(std::exchange(method_found, {}).holder);
        found = {};
        module_found = {};
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(class_found.holder);
        Py_VISIT(method_found.holder);
        return 0;
    }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// object.name, for a name of ours (always an exact str): what PyObject_GetAttr
// does for it, without its checks.
inline Ref getattr(Borrowed object, Name& name) {
    PyObject* key = name.get();
    getattrofunc get = Py_TYPE(object.get())->tp_getattro;
    return Ref::steal(get ? get(object, key) : PyObject_GetAttr(object, key));
}

// object.name = value, for a name of ours: what PyObject_SetAttr does for it,
// without its checks.
inline void setattr(Borrowed object, Name& name, Borrowed value) {
    PyObject* key = name.get();
    setattrofunc set = Py_TYPE(object.get())->tp_setattro;
    check(set ? set(object, key, value) : PyObject_SetAttr(object, key, value));
}

// The bound arguments of one call of a method, in declaration order: `self`
// first for instance methods, then the parameters (defaults filled in).
// All references are borrowed from the caller for the duration of the call
// (the interpreter's argument array, or the module's own caller's Refs),
// and so is the module (held by the function being called).
struct Call {
    PyObject* module;  // the module whose namespace the body reads
    PyObject* const* args;

    PyObject* self() const { return args[0]; }
    PyObject* operator[](std::size_t index) const { return args[index]; }

    // A module-level name or builtin, looked up now (LOAD_GLOBAL).
    inline Ref global(Name& name) const;
    // What looking up the name now would give, when the last look-up's
    // answer stands (no look-up is then needed, nothing can run); else
    // null, and nothing looked up.
    inline PyObject* remembered(Name& name) const;

    // The module's namespace (its dict, which it keeps for its whole life:
    // only the collector clears it, when the module is garbage and no method runs).
    PyObject* globals() const {
        if (!globals_) globals_ = PyModule_GetDict(module);
        return globals_;
    }
    mutable PyObject* globals_ = nullptr;
};

// A module-level name or builtin, looked up now in `module`'s namespace.
Ref lookup_global(PyObject* module, Name& name);

// The answer of the last look-up while neither dict it searched has changed
// since (the interpreter's LOAD_GLOBAL does the same); else a new look-up.
[[gnu::always_inline]] inline PyObject* Call::remembered(Name& name) const {
    const Name::Found& last = name.found;
    if (fast_paths && last.value && last.globals == globals() && last.globals_stamp == compat::dict_stamp(last.globals) &&
        (!last.builtins || last.builtins_stamp == compat::dict_stamp(last.builtins))) {
        taken(Shortcut::global);
        return last.value;
    }
    return nullptr;
}
[[gnu::always_inline]] inline Ref Call::global(Name& name) const {
    if (PyObject* value = remembered(name)) return Ref::borrow(value);
    return lookup_global(module, name);
}

// object.name, where object is usually a class (Color, ZornaAdminEvents):
// for a plain class (its metaclass `type`) unchanged since the last look-up,
// the class's entry found then (a static method's function taken from it
// again), as the interpreter's LOAD_ATTR does for class attributes;
// otherwise, and for anything else, getattr().
Ref lookup_class_attribute_anew(Borrowed object, Name& name);
inline Ref lookup_class_attribute(Borrowed object, Name& name) {
    const Name::AttributeFound& last = name.class_found;
    auto* type = reinterpret_cast<PyTypeObject*>(object.get());
    if (fast_paths && last.value && last.holder == object.get() && last.stamp == compat::type_stamp(type)) {
        taken(Shortcut::class_attribute);
        // A static method gives its function, as its __get__ does.
        if (Py_TYPE(last.value) == &PyStaticMethod_Type) return Ref::steal(PyStaticMethod_Type.tp_descr_get(last.value, nullptr, object));
        return Ref::borrow(last.value);
    }
    return lookup_class_attribute_anew(object, name);
}

// module.name (zorna_events.is_event_enabled, json.dumps): for a module the
// value its dict held at the last read while the dict is unchanged since
// (nothing of the module type goes first for these names); anything else
// through getattr().
Ref module_attribute_anew(Borrowed object, Name& name);
inline Ref module_attribute(Borrowed object, Name& name) {
    const Name::AttributeFound& last = name.module_found;
    if (fast_paths && last.value && PyModule_CheckExact(object.get()) && last.holder == PyModule_GetDict(object) &&
        last.stamp == compat::dict_stamp(last.holder)) {
        taken(Shortcut::module_attribute);
        return Ref::borrow(last.value);
    }
    return module_attribute_anew(object, name);
}

// object.name(*args) where object is usually a module: a module's function
// is read as module_attribute() does and called, which is what the method
// call does for a module; anything else as a method call.
template <class... Args>
Ref call_attribute(Borrowed object, Name& name, Args&&... args) {
    if (PyModule_CheckExact(object.get())) return call(module_attribute(object, name), std::forward<Args>(args)...);
    return call_method(object, name, std::forward<Args>(args)...);
}

// The attribute names under which the class and its instances keep their
// private members: `__x` in the class body is stored as `_ZornaAdminEvents__x`.
#define MANGLED(name) name{"_ZornaAdminEvents__" #name}
namespace mangled {
inline Name MANGLED(default_config_dir), MANGLED(current_config_file), MANGLED(param_ru_translations_file),
    MANGLED(arch), MANGLED(audit_rules), MANGLED(special_events);
inline Name MANGLED(event_id_list), MANGLED(group_id_list), MANGLED(event_section_translations),
    MANGLED(need_daemon_restart), MANGLED(event_description), MANGLED(group_description);
inline Name MANGLED(prepare_groups), MANGLED(prepare_events), MANGLED(show_groups), MANGLED(process_group),
    MANGLED(process_ids), MANGLED(process_event), MANGLED(set_syslog_message_param), MANGLED(get_multiple_string),
    MANGLED(get_group_string), MANGLED(get_events_by_group_id), MANGLED(get_all_event_description),
    MANGLED(get_all_group_description), MANGLED(get_grouped_events), MANGLED(get_event_group),
    MANGLED(get_event_config), MANGLED(get_event_section_translation), MANGLED(load_event_section_translations),
    MANGLED(get_event_config_string), MANGLED(sort_nested_dict), MANGLED(process_path_value);
}  // namespace mangled
#undef MANGLED

// ---- calls between the methods ------------------------------------------------

// A method's body (its declaration below, its definition in its subsystem's file).
using MethodBody = Ref(const Call& call);
using Body = MethodBody*;

// Is `found` the module's own function whose body is `body` (a static
// method reached through the class)?
bool is_own_function(Borrowed found, Body body);

// found(*args), or found(self, *args) when `self` is given.  When `found` is
// one of the module's own functions, or one bound to an object, its body runs
// directly: the same binding and type rule, one level of nesting counted, and
// none of the generic call protocol.  Anything else is called as usual.
Ref call_found(Borrowed found, std::initializer_list<Borrowed> args, PyObject* self = nullptr);

// A method of an object, looked up as the interpreter looks it up for a call.
struct MethodLookup {
    Borrowed object;
    Ref found;
    bool unbound;  // `found` is a method descriptor, to be called with `object` first

    // Is it the module's own instance method whose body is `body`?
    bool is_own(Body body) const;
    // method(*args): the module's own method runs its body directly with
    // `object` as self, as call_found does, without a bound method.
    Ref operator()(std::initializer_list<Borrowed> args) const;
};
MethodLookup lookup_method(Borrowed object, Name& name);

// object.name(*args)
template <class... Args>
Ref call_member(Borrowed object, Name& name, Args&&... args) {
    return lookup_method(object, name)({Borrowed(args)...});
}

// ---- method bodies, one per entry of the class's method table ----------------
// Each returns the method's result (None for procedures).

// Selection of events and groups (selection.cpp)
MethodBody init, prepare_groups, prepare_events, get_events_by_group_id, get_grouped_events, get_event_group;

// Status listings (listings.cpp)
MethodBody show_all_groups, show_groups, show_groups_private, get_multiple_string, get_group_string,
    get_all_event_description, get_all_group_description;

// Configuration view (config_view.cpp)
MethodBody show_events, get_event_config, get_event_section_translation, load_event_section_translations,
    get_event_config_string, sort_nested_dict;

// Configuration changes (config_changes.cpp)
MethodBody enable, disable, set_priority, set_facility, set_properties, export_config, import_config, restart_daemons,
    process_group, process_ids, process_event, set_syslog_message_param, process_path_value;

}  // namespace zae
