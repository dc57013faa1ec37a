// The module frame: the method table and its calling convention, the top-level
// code (imports, translation, language, Color, ZornaAdminEvents) and the life cycle.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "admin_events.hpp"

namespace zae {

namespace {

// ---- the method table ----------------------------------------------------------
// Parameters annotated `str` or `list` accept exactly that built-in type or None; a few have defaults.
enum class Accepts { anything, str, list };
enum class Default { required, none, zero };
struct Param {
    const char* name = nullptr;
    Accepts accepts = Accepts::anything;
    Default default_ = Default::required;
};

constexpr std::size_t max_params = 4;

struct Method {
    const char* name;  // as written in the class body; private names are mangled when stored
    bool is_static;
    std::array<Param, max_params> params;  // `self` first for instance methods
    Body body;
    const char* doc;  // nullptr: the method has no docstring

    constexpr std::size_t param_count() const {
        std::size_t n = 0;
        while (n < max_params && params[n].name) ++n;
        return n;
    }
};

constexpr Param self_{"self"};
constexpr Param str_param(const char* name) { return {name, Accepts::str, Default::required}; }
constexpr Param list_param(const char* name) { return {name, Accepts::list, Default::required}; }
constexpr Param any_param(const char* name) { return {name, Accepts::anything, Default::required}; }
constexpr bool instance = false;
constexpr bool static_ = true;

// Docstrings are laid out as the class body writes them: a newline, each line
// indented by eight spaces and ended by a newline, then eight spaces.
#define LINE(text) "        " text "\n"
#define DOC(lines) "\n" lines "        "

constexpr Method methods[] = {
    {"__init__", instance, {self_, list_param("event_id_list"), list_param("group_id_list")}, body_of<method::init>,
     nullptr},
    {"show_all_groups", instance, {self_}, body_of<method::show_all_groups>,
     DOC(LINE("Display the status of all grouped events."))},
    {"show_groups", instance, {self_}, body_of<method::show_groups>,
     DOC(LINE("Display the status of all grouped events for specified groups."))},
    {"show_events", instance, {self_}, body_of<method::show_events>,
     DOC(LINE("Display the configuration (all settings) of the specified events."))},
    {"enable", instance, {self_}, body_of<method::enable>, DOC(LINE("Enable specified IDs."))},
    {"disable", instance, {self_}, body_of<method::disable>, DOC(LINE("Disable specified IDs."))},
    {"set_priority", instance, {self_, str_param("priority")}, body_of<method::set_priority>,
     DOC(LINE("Set the priority of specified IDs.") LINE(":param priority: priority"))},
    {"set_facility", instance, {self_, str_param("facility")}, body_of<method::set_facility>,
     DOC(LINE("Set the facility of specified IDs.") LINE(":param facility: facility"))},
    {"set_properties", instance, {self_, str_param("section"), str_param("parameter"), str_param("value")},
     body_of<method::set_properties>,
     DOC(LINE("Set properties of the specified events.") LINE(":param section: 1-level key")
         LINE(":param parameter: 2-level key")
         LINE(":param value: value (an escaped JSON string, JSON list, or JSON dictionary)"))},
    {"export_config", static_, {str_param("file_path")}, body_of<method::export_config>, nullptr},
    {"import_config", instance, {self_, str_param("input_file")}, body_of<method::import_config>, nullptr},
    {"restart_daemons", instance, {self_}, body_of<method::restart_daemons>,
     DOC(LINE("Restart daemons if necessary."))},
    {"__prepare_groups", instance, {self_}, body_of<private_method::prepare_groups>,
     DOC(LINE("Validate specified group IDs."))},
    {"__prepare_events", instance, {self_}, body_of<private_method::prepare_events>,
     DOC(LINE("Validate specified event IDs."))},
    {"__show_groups", instance, {self_}, body_of<private_method::show_groups>,
     DOC(LINE("Display the status of all grouped events for the specified groups."))},
    {"__process_group", instance, {self_, str_param("group_id"), any_param("action")},
     body_of<private_method::process_group>,
     DOC(LINE("Process all events of the specified group using the provided action.") LINE(":param group_id: group ID")
         LINE(":param action: zorna_events method pointer (enable_event or disable_event)"))},
    {"__process_ids", instance, {self_, any_param("action")}, body_of<private_method::process_ids>,
     DOC(LINE("Process specified events and groups using the provided action.")
         LINE(":param action: zorna_events method pointer (enable_event or disable_event)"))},
    {"__process_event", instance, {self_, str_param("event_id"), any_param("action")},
     body_of<private_method::process_event>,
     DOC(LINE("Process specified events using the provided action.")
         LINE(":param action: zorna_events method pointer (enable_event or disable_event)"))},
    {"__set_syslog_message_param", instance, {self_, str_param("param_type"), str_param("param_value")},
     body_of<private_method::set_syslog_message_param>,
     DOC(LINE("Set the value of the specified parameter starting with \"message-syslog-\".")
         LINE("For example, `facility` for setting the value of `message-syslog-facility`.")
         LINE(":param param_type: parameter") LINE(":param param_value: value"))},
    {"__get_multiple_string", instance,
     {self_, list_param("id_list"), {"new_status", Accepts::anything, Default::none}},
     body_of<private_method::get_multiple_string>,
     DOC(LINE("Get a multiline representation of description, and status (for events), for a list of IDs.")
         LINE(":param id_list: list of events or groups")
         LINE(":param new_status: new status (0 or 1), only when processing a list of groups")
         LINE(":return: formatted multiline string"))},
    {"__get_group_string", instance, {self_, str_param("group_id")}, body_of<private_method::get_group_string>,
     DOC(LINE("Get a formatted string for the group (in case of displaying all events).")
         LINE(":param group_id: group ID") LINE(":return: formatted string with the group's description and its ID"))},
    {"__get_events_by_group_id", static_, {str_param("group_id")}, body_of<private_method::get_events_by_group_id>,
     DOC(LINE("Get a list of events by the provided group ID.") LINE(":param group_id: group ID")
         LINE(":return: list of event IDs"))},
    {"__get_all_event_description", static_, {}, body_of<private_method::get_all_event_description>,
     DOC(LINE("Get Russian and English descriptions for all events.")
         LINE(":return: Dict[event_id, Dict[LANG, description]"))},
    {"__get_all_group_description", static_, {}, body_of<private_method::get_all_group_description>,
     DOC(LINE("Get Russian and English descriptions for all groups.")
         LINE(":return: Dict[group_id, Dict[LANG, description]"))},
    {"__get_grouped_events", instance, {self_, list_param("group_id_list")},
     body_of<private_method::get_grouped_events>,
     DOC(LINE("Get events grouped by the provided groups.") LINE(":param group_id_list: list of groups")
         LINE(":return: Dict[group_id, List[event_id]]"))},
    {"__get_event_group", instance, {self_, str_param("event_id")}, body_of<private_method::get_event_group>,
     DOC(LINE("Get the group of the provided event.") LINE(":param event_id: event ID") LINE(":return: group ID"))},
    {"__get_event_config", instance, {self_, str_param("event_id")}, body_of<private_method::get_event_config>,
     DOC(LINE("Get the sorted current configuration of the provided event.") LINE(":param event_id: event ID")
         LINE(":return: sorted Dict[1-level key, ...]"))},
    {"__get_event_section_translation", instance, {self_, str_param("key")},
     body_of<private_method::get_event_section_translation>,
     DOC(LINE("Get the translation (if exists) of the specified event section (1-level key).")
         LINE(":param key: section (1-level key)") LINE(":return: Russian section description string"))},
    {"__load_event_section_translations", instance, {self_}, body_of<private_method::load_event_section_translations>,
     DOC(LINE("Load translations for event sections."))},
    {"__get_event_config_string", instance,
     {self_, any_param("dictionary"), {"indent", Accepts::anything, Default::zero}},
     body_of<private_method::get_event_config_string>,
     DOC(LINE("RECURSIVE METHOD.") LINE("Get a string representation of the event config dictionary.")
         LINE(":param dictionary: event config") LINE(":param indent:") LINE(":return: dict string representation"))},
    {"__sort_nested_dict", static_, {any_param("dictionary")}, body_of<private_method::sort_nested_dict>,
     DOC(LINE("RECURSIVE METHOD.") LINE("Sort a nested dictionary.") LINE(":param dictionary: unsorted dict")
         LINE(":return: sorted dict"))},
    {"__process_path_value", instance, {self_, str_param("event_id"), any_param("value")},
     body_of<private_method::process_path_value>,
     DOC(LINE("Process the path string for special events (for audit).") LINE(":param event_id: event id")
         LINE(":param value: path string or list of path strings") LINE(":return: JSON string"))},
};

#undef DOC
#undef LINE

constexpr std::size_t method_count = sizeof(methods) / sizeof(methods[0]);
static_assert(method_count == 32, "the class defines 32 methods");

// ---- calling convention ----------------------------------------------------------
// TypeError texts are those of a Python function on the running interpreter.
constexpr const char* qualifier = compat::binding_errors_name_the_class ? "ZornaAdminEvents." : "";

[[noreturn]] void refuse_positional_count(const Method& method, Py_ssize_t given) {
    std::size_t total = method.param_count(), required = 0;
    for (std::size_t i = 0; i < total; ++i) required += method.params[i].default_ == Default::required;
    // "takes 1 positional argument", "takes from 2 to 3 positional arguments"
    std::string takes = std::to_string(total);
    if (required != total) takes = "from " + std::to_string(required) + " to " + takes;
    raise_format(PyExc_TypeError, "%s%s() takes %s positional argument%s but %zd %s given", qualifier, method.name,
                 takes.c_str(), takes == "1" ? "" : "s", given, given == 1 ? "was" : "were");
}

[[noreturn]] void refuse_missing(const Method& method, PyObject* const* bound) {
    auto missing = [&](std::size_t i) { return !bound[i] && method.params[i].default_ == Default::required; };
    std::size_t n = 0, listed_count = 0;
    for (std::size_t i = 0; i < method.param_count(); ++i) n += missing(i);
    std::string listed;  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    for (std::size_t i = 0; i < method.param_count(); ++i) {
        if (!missing(i)) continue;
        if (listed_count++) listed += listed_count < n ? ", " : n == 2 ? " and " : ", and ";
        listed += std::string("'") + method.params[i].name + "'";
    }
    raise_format(PyExc_TypeError, "%s%s() missing %zu required positional argument%s: %s", qualifier,
                 method.name, n, n == 1 ? "" : "s", listed.c_str());
}

std::size_t keyword_index(const Method& method, PyObject* keyword) {
    for (std::size_t i = 0; i < method.param_count(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, method.params[i].name) == 0) return i;
    }
    // The interpreter's suggestion among the parameters' names (3.13 on).
    Ref names = new_list();
    for (std::size_t i = 0; i < method.param_count(); ++i) append(names, text(method.params[i].name));
    Ref suggestion = Ref::steal_or_null(compat::keyword_suggestion(names.get(), keyword));
    if (suggestion) {
        raise_format(PyExc_TypeError, "%s%s() got an unexpected keyword argument '%U'. Did you mean '%U'?",
                     qualifier, method.name, keyword, suggestion.get());
    }
    raise_format(PyExc_TypeError, "%s%s() got an unexpected keyword argument '%U'", qualifier, method.name,
                 keyword);
}

[[noreturn]] void refuse_type(const Param& param, PyObject* value) {
    bool str = param.accepts == Accepts::str;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 str ? "str" : "list", Py_TYPE(value)->tp_name);
}

constexpr bool accepts(const Param& param, PyObject* value) {
    if (param.accepts == Accepts::anything || value == Py_None) return true;
    return param.accepts == Accepts::str ? PyUnicode_CheckExact(value) : PyList_CheckExact(value);
}

// The common call: every parameter by position, each of a type its rule accepts.
[[gnu::always_inline]] inline bool is_plain_call(const Method& method, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    const std::size_t count = method.param_count();
    if (kwnames || nargs != static_cast<Py_ssize_t>(count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!accepts(method.params[i], args[i])) return false;
    }
    return true;
}

// Any other call: the arguments bound as for a Python function, then the type rule checked.
[[gnu::noinline]] Ref bind_and_run(const Method& method, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    const Ref zero = integer(0);  // made per call: the interpreter that owns it may end before the process
    const std::size_t count = method.param_count();
    PyObject* bound[max_params] = {nullptr};
    const Py_ssize_t filled = std::min(nargs, static_cast<Py_ssize_t>(count));
    for (Py_ssize_t i = 0; i < filled; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = keyword_index(method, keyword);
        if (bound[index]) {
            raise_format(PyExc_TypeError, "%s%s() got multiple values for argument '%s'", qualifier, method.name,
                         method.params[index].name);
        }
        bound[index] = args[nargs + k];
    }
    if (nargs > static_cast<Py_ssize_t>(count)) refuse_positional_count(method, nargs);
    for (std::size_t i = 0; i < count; ++i) {
        if (bound[i]) continue;
        if (method.params[i].default_ == Default::required) refuse_missing(method, bound);
        bound[i] = method.params[i].default_ == Default::zero ? zero.get() : Py_None;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!accepts(method.params[i], bound[i])) refuse_type(method.params[i], bound[i]);
    }
    return method.body(Module(module), bound);
}

// A call of a method by the module itself (call_with), one level of nesting counted.
[[gnu::noinline]] Ref run_nested(const Method& method, PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    NestedCall level;
    if (is_plain_call(method, args, nargs, nullptr)) return method.body(Module(module), args);
    return bind_and_run(method, module, args, nargs, nullptr);
}

// The interpreter's call of a method, but the common call with stack to spare (the
// interpreter has counted the level already: only the stack left is checked).
[[gnu::noinline]] PyObject* general_entry(const Method& method, PyObject* module, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        NestedCall level(false);
        return bind_and_run(method, module, args, nargs, kwnames);
    });
}

// The entry point of method I, as argument clinic writes one: the common call runs
// the body at once; anything else goes to the general path, as a tail call.
template <std::size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const Method& method = methods[I];
    if (is_plain_call(method, args, nargs, kwnames) && stack_has_room()) {
        return guarded([=] { return method.body(Module(module), args); });
    }
    return general_entry(method, module, args, nargs, kwnames);
}

// A method's __doc__: the signature line inspect reads (`$module` hidden by it), then the docstring.
std::string internal_doc(const Method& method) {
    std::string doc = std::string(method.name) + "($module";
    for (std::size_t i = 0; i < method.param_count(); ++i) {
        const Param& param = method.params[i];
        doc += std::string(", ") + param.name;
        if (param.default_ != Default::required) doc += param.default_ == Default::zero ? "=0" : "=None";
    }
    return doc + ")\n--\n\n" + (method.doc ? method.doc : "");
}

// Functions keep a pointer to their PyMethodDef (and it to its texts): both live for the process.
template <std::size_t... I>
std::array<PyMethodDef, method_count>& make_method_defs(std::index_sequence<I...>) {
    static const std::array<std::string, method_count> docs = {internal_doc(methods[I])...};
    static std::array<PyMethodDef, method_count> defs = {
        {{methods[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<I>)),
          METH_FASTCALL | METH_KEYWORDS, docs[I].c_str()}...}};
    return defs;
}

std::array<PyMethodDef, method_count>& method_defs = make_method_defs(std::make_index_sequence<method_count>());

// ---- instance methods ----------------------------------------------------------
//
// Each instance method is held in an instancemethod (its members, binding and call inherited)
// that is also a method descriptor, called unbound with the instance first, without a bound method.

struct InstanceMethod {
    PyInstanceMethodObject base;  // its func: the module's own function
    std::size_t index;            // its entry in `methods`
    PyObject* module;             // the function's module (borrowed: the function holds it)
    compat::vectorcall_function vectorcall;
};

InstanceMethod* as_instance_method(PyObject* object) { return reinterpret_cast<InstanceMethod*>(object); }

// The interpreter's call of descriptor I with the instance first.
template <std::size_t I>
PyObject* instance_method_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return entry<I>(as_instance_method(self)->module, args, compat::positional_count(nargsf), kwnames);
}

template <std::size_t... I>
constexpr std::array<compat::vectorcall_function, method_count> make_instance_method_vectorcalls(
    std::index_sequence<I...>) {
    return {&instance_method_vectorcall<I>...};
}
constexpr auto instance_method_vectorcalls = make_instance_method_vectorcalls(std::make_index_sequence<method_count>());

// __doc__ is the function's, as for instancemethod (the subtype's own would be None).
PyObject* instance_method_doc(PyObject* self, void*) {
    return PyObject_GetAttrString(as_instance_method(self)->base.func, "__doc__");
}

PyGetSetDef instance_method_getset[] = {
    {"__doc__", instance_method_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject instance_method_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "zorna_admin_events.admin_events.instancemethod";
    t.tp_basicsize = sizeof(InstanceMethod);
    t.tp_base = &PyInstanceMethod_Type;
    t.tp_flags = Py_TPFLAGS_DEFAULT;  // the collector's flag and traverse inherited with the base's
    t.tp_descr_get = PyInstanceMethod_Type.tp_descr_get;  // a method descriptor must name both itself
    t.tp_call = PyInstanceMethod_Type.tp_call;
    compat::make_method_descriptor(t, offsetof(InstanceMethod, vectorcall));
    t.tp_getset = instance_method_getset;
    return t;
}();

Ref new_instance_method(Borrowed function, std::size_t index) {
    if (!(instance_method_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&instance_method_type));
    InstanceMethod* method = PyObject_GC_New(InstanceMethod, &instance_method_type);
    if (!method) raise();
    method->base.func = Ref::borrow(function).release();
    method->index = index;
    method->module = PyCFunction_GET_SELF(function.get());
    method->vectorcall = instance_method_vectorcalls[index];
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

// The name a member is stored under: `__x` becomes `_ZornaAdminEvents__x`, dunder names stay.
Ref stored_name(const char* name) {
    std::size_t n = std::strlen(name);
    bool private_ = n > 2 && name[0] == '_' && name[1] == '_' && !(name[n - 1] == '_' && name[n - 2] == '_');
    return Ref::steal(private_ ? PyUnicode_FromFormat("_ZornaAdminEvents%s", name) : PyUnicode_FromString(name));
}

// The table entry of one of the class's functions or instance method descriptors, or null.
const Method* own_method(PyObject* callable) {
    if (Py_TYPE(callable) == &instance_method_type) return &methods[as_instance_method(callable)->index];
    if (!PyCFunction_Check(callable)) return nullptr;
    auto def = reinterpret_cast<std::uintptr_t>(reinterpret_cast<PyCFunctionObject*>(callable)->m_ml);
    auto first = reinterpret_cast<std::uintptr_t>(method_defs.data());
    if (def < first || def >= first + sizeof(PyMethodDef) * method_count) return nullptr;
    return &methods[(def - first) / sizeof(PyMethodDef)];
}

}  // namespace

bool is_own_function(Borrowed found, Body body) {
    const Method* method = fast_paths ? own_method(found) : nullptr;
    if (!method || method->body != body) return false;
    taken(Shortcut::own_nesting);
    return true;
}

// A method of the module's own runs its body in place, one level of nesting counted; anything
// else is called through vectorcall.
Ref call_with(PyObject* callable, PyObject* self, std::initializer_list<Borrowed> args) {
    if (fast_paths && !self && PyMethod_Check(callable)) {
        self = PyMethod_GET_SELF(callable);  // the method holds it, and the caller the method
        callable = PyMethod_GET_FUNCTION(callable);
    }
    PyObject* argv[8] = {nullptr, self};  // one slot in front, for the vectorcall offset
    if (args.size() > 6) raise(PyExc_SystemError, "too many arguments for a call of ZornaAdminEvents");
    std::size_t n = self ? 1 : 0;
    for (Borrowed arg : args) argv[1 + n++] = arg.get();
    if (const Method* method = fast_paths ? own_method(callable) : nullptr) {
        taken(self ? Shortcut::own_method : Shortcut::own_function);
        bool descriptor = Py_TYPE(callable) == &instance_method_type;
        // Held by the function, which the caller holds.
        PyObject* module = descriptor ? as_instance_method(callable)->module : PyCFunction_GET_SELF(callable);
        return run_nested(*method, module, argv + 1, static_cast<Py_ssize_t>(n));
    }
    return Ref::steal(compat::vectorcall(callable, argv + 1, n | compat::arguments_offset, nullptr));
}

namespace {

// ---- the top-level code ------------------------------------------------------------
// The class body's audit rule builders, as it writes them, run in the module's namespace.
constexpr const char* audit_rules_code =
    "_ZornaAdminEvents__audit_rules = {\n"
    "    'b64': lambda p: f'-a always,exit -F arch=b64 -F path={p} -S open,openat -k {p}',\n"
    "    'x86_64': lambda p: f'-a always,exit -F arch=x86_64 -F path={p} -S open,openat -k {p}',\n"
    "    'aarch64': lambda p: f'-a always,exit -F arch=aarch64 -F path={p} -S openat -k {p}',\n"
    "    'armv7l': lambda p: f'-a always,exit -F arch=armv7l -F path={p} -S open,openat -k {p}',\n"
    "}\n";

// `class <name>: ...` with the given namespace entries, by calling type() as the class statement does.
Ref define_class(PyObject* module, Name name, Borrowed namespace_) {
    Ref class_namespace = new_dict();
    setitem(class_namespace, n::dunder_module, Module(module).global(n::dunder_name));
    setitem(class_namespace, n::qualname, name);
    check(PyDict_Update(class_namespace.get(), namespace_));
    Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases, class_namespace);
}

Ref define_zorna_admin_events(PyObject* module) {
    Ref body = new_dict();
    Ref path = Module(module).global(n::Path);
    setitem(body, mangled::default_config_dir, call(path, text("/usr/share/syslog-ng-mod-zorna/event-settings")));
    setitem(body, mangled::current_config_file, call(path, text("/etc/zorna-syslog.conf")));
    setitem(body, mangled::param_ru_translations_file, call(path, text("/etc/vek-admin-events/eventsdictionary.json")));
    setitem(body, mangled::arch, call_method(Module(module).global(n::platform), n::machine));
    Ref::steal(PyRun_String(audit_rules_code, Py_file_input, Module(module).globals, body.get()));
    Ref module_name = Module(module).global(n::dunder_name);
    Ref special_events = tuple_of({text("modifying-file"), text("modifying-directory"), text("file-opened")});
    setitem(body, mangled::special_events, Ref::steal(PySet_New(special_events.get())));

    for (std::size_t i = 0; i < method_count; ++i) {
        Ref function = Ref::steal(PyCFunction_NewEx(&method_defs[i], module, module_name.get()));
        Ref member = Ref::steal(methods[i].is_static ? PyStaticMethod_New(function.get())
                                                     : new_instance_method(function, i).release());
        setitem(body, stored_name(methods[i].name), member);
    }
    return define_class(module, n::ZornaAdminEvents, body);
}

void run_top_level(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    auto bind = [globals](Name name, const Ref& value) { setitem(globals, name, value); };

    // Like any module's code, with __builtins__ in its namespace, where the methods find them.
    Ref::borrow(PyDict_SetDefault(globals, state.str(n::builtins), PyEval_GetBuiltins()));

    // 1, 2. the standard modules, the outside event service, pathlib and typing: the import
    // statements themselves, run in the module's namespace, so that what they bind and how they
    // fail are the interpreter's own
    Ref::steal(PyRun_String("import gettext\nimport json\nimport locale\nimport os\nimport platform\nimport pydoc\n"
                            "from zorna_event_config_manager.config_manager import ZornaConfigManager\n"
                            "from pathlib import Path\n"
                            "from typing import Any, Dict, List, Optional, Union\n"
                            "import zorna_events\n",
                            Py_file_input, globals, globals));

    // 3. message translation: the domain becomes the process-wide default
    Ref gettext = Module(module).global(n::gettext);
    call_method(gettext, n::bindtextdomain, text("zorna_admin_events"), text("/usr/share/locale"));
    call_method(gettext, n::textdomain, text("zorna_admin_events"));

    // 4. `_` is gettext.gettext itself
    bind(n::underscore, getattr(gettext, n::gettext));

    // 5. the language of descriptions, fixed once
    Ref language = getitem(call_method(Module(module).global(n::locale), n::getlocale), 0);
    bind(n::LANG, text(equal(language, text("ru_RU")) ? "name_ru" : "name_en"));

    // 6. terminal colour codes
    bind(n::Color, define_class(module, n::Color, dict_of({{n::END, text("\x1b[0m")}, {n::GREY, text("\x1b[90m")}})));

    // 7. the working class
    bind(n::ZornaAdminEvents, define_zorna_admin_events(module));
}

// ---- life cycle ------------------------------------------------------------------------
//
// The state is process-wide: the module is loaded into the main interpreter only, once while it
// lives; when it is freed, cleared or fails to import, the state is released (so that an
// embedding application may finalize the interpreter and load it afresh).

// Is the calling thread's interpreter the main one?  Any other gets an ImportError.
bool in_main_interpreter() {
    if (compat::current_interpreter() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

// An interpreter that ends without having freed the module (a leak held it) leaves the state
// pointing into it: forgotten, not released, at the end of Py_Finalize.
bool forget_at_exit_registered = false;
void forget_state_at_exit() {
    forget_at_exit_registered = false;
    state.release(true);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!in_main_interpreter()) return nullptr;
    return guarded([&] {
        if (state.module) {
            // The import system drops the module's state block for a new one: freed, not leaked.
            PyMem_Free(PyModule_GetState(state.module));
            return Ref::borrow(state.module);
        }
        return Ref::steal(PyModule_NewObject(getattr(spec, n::name).get()));
    });
}

int exec_module(PyObject* module) {
    if (state.module) {
        if (module == state.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'admin_events' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!forget_at_exit_registered) forget_at_exit_registered = Py_AtExit(forget_state_at_exit) == 0;
    state.module = module;
    Ref ran = Ref::steal_or_null(guarded([&] {
        run_top_level(module);
        return none();
    }));
    if (ran) return 0;
    // A failed import leaves the module not loaded; the next import starts afresh.
    PyObject* error[3];
    PyErr_Fetch(&error[0], &error[1], &error[2]);
    state.release();
    PyErr_Restore(error[0], error[1], error[2]);
    return -1;
}

// The collector's view of the state, which belongs to the loaded module.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    return module == state.module ? state.traverse(visit, arg) : 0;
}

int clear_module(PyObject* module) {
    if (module == state.module) state.release();
    return 0;
}

void free_module(void* module) {
    if (module == state.module) state.release();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    compat::multiple_interpreters_slot(),
    compat::gil_slot(),
    {0, nullptr},
};

// No docstring, and no per-module state block: the state is process-wide (see above).
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "admin_events", nullptr, 0, nullptr, slots,
                          traverse_module, clear_module, free_module};

}  // namespace
}  // namespace zae

// Exported by name (PyMODINIT_FUNC leaves it hidden before 3.9).
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_admin_events(void) {
    // Refused before the interpreter reads the slots, in the module's words.
    if (!zae::in_main_interpreter()) return nullptr;
    return PyModuleDef_Init(&zae::module_def);
}

// For the tests (through ctypes): the shortcuts' names and how often each was taken, up to
// `capacity` of each; their number, or 0 in a build without them.
extern "C" __attribute__((visibility("default"))) std::size_t zae_shortcut_counts(const char** names,
                                                                                   std::uint64_t* counts,
                                                                                   std::size_t capacity) {
    constexpr std::size_t n = zae::fast_paths ? static_cast<std::size_t>(zae::Shortcut::count_) : 0;
    for (std::size_t i = 0; i < n && i < capacity; ++i) {
        names[i] = zae::shortcut_names[i];
        counts[i] = zae::shortcut_counts[i];
    }
    return n;
}
