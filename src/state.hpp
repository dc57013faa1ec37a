// What the module keeps between calls, in one State: the strs of its names, the answers of
// earlier look-ups, the builtins and json.dumps it recognises, and its watchers.  State::release
// is the one place that drops all of it (the module freed or cleared, or its import failed).
#pragma once

#include "pyref.hpp"

namespace zae {

// Every str the module uses as a name or a constant text, X(id, text), and
// the private names of the class, stored as `_ZornaAdminEvents__<id>`.
#define ZAE_NAMES(X)                                                                                            \
    X(builtins, "__builtins__") X(dunder_name, "__name__") X(dunder_module, "__module__")                       \
    X(qualname, "__qualname__") X(gettext, "gettext") X(json, "json") X(locale, "locale") X(os, "os")          \
    X(platform, "platform") X(pydoc, "pydoc") X(ZornaConfigManager, "ZornaConfigManager") X(Path, "Path")      \
    X(zorna_events, "zorna_events") X(underscore, "_") X(LANG, "LANG") X(Color, "Color")                       \
    X(ZornaAdminEvents, "ZornaAdminEvents") X(print, "print") X(set, "set") X(sorted, "sorted") X(max, "max")  \
    X(len, "len") X(isinstance, "isinstance") X(dict, "dict") X(str, "str") X(list, "list") X(type, "type")    \
    X(FileNotFoundError, "FileNotFoundError") X(bindtextdomain, "bindtextdomain") X(textdomain, "textdomain")  \
    X(getlocale, "getlocale") X(machine, "machine") X(name, "name") X(get_group_ids, "get_group_ids")          \
    X(get_event_ids, "get_event_ids") X(get_event_ids_ex, "get_event_ids_ex")                                 \
    X(get_group_ids_ex, "get_group_ids_ex") X(is_event_enabled, "is_event_enabled")                           \
    X(enable_event, "enable_event") X(disable_event, "disable_event") X(set_event_param, "set_event_param")    \
    X(copy, "copy") X(remove, "remove") X(iterdir, "iterdir") X(is_file, "is_file") X(pipepager, "pipepager")  \
    X(split, "split") X(items, "items") X(GREY, "GREY") X(END, "END") X(load, "load") X(loads, "loads")        \
    X(dumps, "dumps") X(decoder, "decoder") X(JSONDecodeError, "JSONDecodeError") X(open, "open")              \
    X(exists, "exists") X(get, "get") X(setdefault, "setdefault") X(replace, "replace")                        \
    X(export_config, "export_config") X(import_config, "import_config") X(system, "system") X(cmd, "cmd")      \
    X(text, "text") X(new_status, "new_status") X(ensure_ascii, "ensure_ascii") X(comma, ",")                 \
    X(name_en, "name_en") X(name_ru, "name_ru") X(space, " ") X(newline, "\n") X(empty, "")                    \
    X(less, "less -R") X(enabled, "enabled") X(one, "1") X(ru, "ru") X(indent, "    ") X(open_paren, "(")     \
    X(close_paren, ")") X(dashes, "----------") X(dashes_newline, "----------\n") X(watch, "-w ")              \
    X(watch_keyed, " -p wa -k ") X(escaped_space, "\\ ") X(backslash, "\\") X(escaped_backslash, "\\\\")      \
    X(file_opened, "file-opened") X(b64, "b64") X(restart_syslog_ng, "systemctl restart syslog-ng.service")    \
    X(restart_auditd, "systemctl restart auditd") X(id_list, "id_list")

#define ZAE_PRIVATE_NAMES(X)                                                                                    \
    X(default_config_dir) X(current_config_file) X(param_ru_translations_file) X(arch) X(audit_rules)          \
    X(special_events) X(event_id_list) X(group_id_list) X(event_section_translations) X(need_daemon_restart)   \
    X(event_description) X(group_description) X(prepare_groups) X(prepare_events) X(show_groups)               \
    X(process_group) X(process_ids) X(process_event) X(set_syslog_message_param) X(get_multiple_string)        \
    X(get_group_string) X(get_events_by_group_id) X(get_all_event_description) X(get_all_group_description)    \
    X(get_grouped_events) X(get_event_group) X(get_event_config) X(get_event_section_translation)              \
    X(load_event_section_translations) X(get_event_config_string) X(sort_nested_dict) X(process_path_value)

enum class Slot : std::uint16_t {
#define ZAE_SLOT(id, ...) id,
#define ZAE_PRIVATE_SLOT(id) private_##id,
    ZAE_NAMES(ZAE_SLOT) ZAE_PRIVATE_NAMES(ZAE_PRIVATE_SLOT) count
};

// A name (or constant text) of the module: where its str is kept, and its text.
struct Name {
    Slot slot;
    const char* text;

    operator Borrowed() const;  // its str, which the state holds while the module lives
};

namespace n {
#define ZAE_NAME(id, text) inline constexpr Name id{Slot::id, text};
ZAE_NAMES(ZAE_NAME)
}  // namespace n
namespace mangled {
#define ZAE_PRIVATE_NAME(id) inline constexpr Name id{Slot::private_##id, "_ZornaAdminEvents__" #id};
ZAE_PRIVATE_NAMES(ZAE_PRIVATE_NAME)
}  // namespace mangled
#undef ZAE_SLOT
#undef ZAE_PRIVATE_SLOT
#undef ZAE_NAME
#undef ZAE_PRIVATE_NAME

// The last look-up of a name as a global: the dicts searched (`builtins` null: found in the
// globals), the value (borrowed: its dict holds it while the stamp stands) and the stamps then.
struct GlobalAnswer {
    PyObject *globals = nullptr, *builtins = nullptr, *value = nullptr;
    std::uint64_t globals_stamp = 0, builtins_stamp = 0;
};

// The last look-up of a name through a class (owned: no other is taken for it at its address) or
// in a module's dict (borrowed), its stamp, and the entry found (held by the holder meanwhile).
struct AttributeAnswer {
    PyObject* holder = nullptr;
    std::uint64_t stamp = 0;
    PyObject* value = nullptr;
};

// The builtin functions the fast paths recognise, as the builtins module
// holds them when first asked, provided each is the interpreter's own.
enum class Builtin { len, max, isinstance, sorted, count };  // in the order of their Shortcut

// The standard json.dumps and what it relies on to encode strs with ensure_ascii=False, found once:
// a dumps found later is the standard one while none of those is replaced (the dicts' stamps tell).
struct JsonDumps {
    enum Holder { json, encoder, encoder_class };
    struct Member {
        Holder holder;
        const char* name;
        PyObject* found = nullptr;
    };
    bool searched = false;
    PyObject* dumps = nullptr;
    PyObject* modules[2] = {};
    PyObject* dicts[3] = {};  // held by the modules and the class
    std::uint64_t stamps[3] = {};
    Member members[5] = {{json, "JSONEncoder"}, {encoder, "encode_basestring"}, {encoder_class, "__init__"},
                         {encoder_class, "encode"}, {encoder_class, "iterencode"}};

    void find();
    bool unchanged();
};

struct State {
    static constexpr std::size_t count = static_cast<std::size_t>(Slot::count);
    PyObject* module = nullptr;  // the loaded module, while it lives (borrowed: its m_free releases the state)
    PyObject* strs[count] = {};
    GlobalAnswer globals[count];
    AttributeAnswer class_attributes[count], module_attributes[count], methods[count];
    PyObject* builtins[static_cast<std::size_t>(Builtin::count)] = {};
    bool builtins_searched = false;
    JsonDumps json_dumps;
    // What get_event_ids listed last (held): the descriptions made next take its strs for their
    // keys where a record's ID is the same text at the same place, instead of a new str of it.
    PyObject* listed_event_ids = nullptr;
    compat::Watchers watchers;

    // The interned str of `name`, made at first use.
    PyObject* str(Name name) {
        PyObject*& s = strs[static_cast<std::size_t>(name.slot)];
        if (!s && !(s = PyUnicode_InternFromString(name.text))) raise();
        return s;
    }
    // Is `found` the builtin function `which`?  (Only compared: what is kept is never another at its address.)
    bool is_builtin(Builtin which, PyObject* found);
    // Is `found` the standard json.dumps, none of its helpers replaced?
    bool is_standard_json_dumps(PyObject* found);
    // Keep `ids` as what get_event_ids listed last (the one kept before is released).
    void remember_listed_event_ids(PyObject* ids) {
        if (fast_paths) Ref::steal_or_null(std::exchange(listed_event_ids, Ref::borrow(ids).release()));
    }
    // The str at `index` of what get_event_ids listed last, if it is an exact str there; else null.
    Ref listed_event_id(Py_ssize_t index) const {
        PyObject* ids = listed_event_ids;
        if (!fast_paths || !ids || !PyList_CheckExact(ids) || index >= PyList_GET_SIZE(ids)) return Ref();
        PyObject* id = PyList_GET_ITEM(ids, index);
        if (!is_ready_text(id)) return Ref();  // a str of its own
        return Ref::borrow(id);
    }

    // The one invalidation point: every answer forgotten, every reference dropped, the watchers
    // given back (`ended`: the interpreter has ended already: nothing is released).
    void release(bool ended = false) noexcept;
    int traverse(visitproc visit, void* arg) const;

private:
    template <class Each>
    void each_reference(Each&& each);
};

inline State state;

inline Name::operator Borrowed() const { return state.str(*this); }

inline compat::Watchers& compat::watchers() { return state.watchers; }

template <class Each>
void State::each_reference(Each&& each) {
    for (PyObject*& s : strs) each(s);
    for (AttributeAnswer& answer : class_attributes) each(answer.holder);
    for (AttributeAnswer& answer : methods) each(answer.holder);
    for (PyObject*& builtin : builtins) each(builtin);
    each(json_dumps.dumps);
    for (PyObject*& module : json_dumps.modules) each(module);
    each(listed_event_ids);
    for (JsonDumps::Member& member : json_dumps.members) each(member.found);
}

inline void State::release(bool ended) noexcept {
    std::vector<PyObject*> dropped;  // released after everything is forgotten: a release may run a finalizer
    each_reference([&](PyObject* object) {
        if (!object || ended) return;
        try {
            dropped.push_back(object);
        } catch (...) {  // no memory for the list: leaked rather than left half-released
        }
    });
    compat::stop_watching(watchers, ended);
    *this = State();
    for (PyObject* object : dropped) Ref::steal_or_null(object);  // released as the Ref goes
}

inline int State::traverse(visitproc visit, void* arg) const {
    int status = 0;
    const_cast<State*>(this)->each_reference([&](PyObject*& object) {
        if (!status && object) status = visit(object, arg);
    });
    return status;
}

inline bool State::is_builtin(Builtin which, PyObject* found) {
    if constexpr (!fast_paths) return false;
    if (!builtins_searched) {
        builtins_searched = true;
        find_quietly([this] {
            static constexpr const char* names[] = {"len", "max", "isinstance", "sorted"};
            // Held by sys.modules and by the interpreter, whatever the look-ups below run.
            PyObject* module = PyImport_AddModule("builtins");
            if (!module) raise();
            for (std::size_t i = 0; i < static_cast<std::size_t>(Builtin::count); ++i) {
                Ref function = Ref::steal(PyObject_GetAttrString(module, names[i]));
                auto* f = reinterpret_cast<PyCFunctionObject*>(function.get());
                if (PyCFunction_Check(f) && f->m_self == module && std::strcmp(f->m_ml->ml_name, names[i]) == 0) {
                    builtins[i] = function.release();
                }
            }
        });
    }
    PyObject* builtin = builtins[static_cast<std::size_t>(which)];
    if (!builtin || found != builtin) return false;
    taken(static_cast<Shortcut>(static_cast<std::size_t>(Shortcut::len) + static_cast<std::size_t>(which)));
    return true;
}

inline bool State::is_standard_json_dumps(PyObject* found) {
    if constexpr (!fast_paths) return false;
    if (!json_dumps.searched) find_quietly([this] { json_dumps.find(); });
    if (!json_dumps.dumps || found != json_dumps.dumps || !json_dumps.unchanged()) return false;
    taken(Shortcut::json_dumps);
    return true;
}

inline void JsonDumps::find() {
    searched = true;
    Ref json_module = Ref::steal(PyImport_ImportModule("json"));
    Ref encoder_module = Ref::steal(PyImport_ImportModule("json.encoder"));
    Ref found_dumps = Ref::steal(PyObject_GetAttrString(json_module.get(), "dumps"));
    Ref json_encoder = Ref::steal(PyObject_GetAttrString(encoder_module.get(), "JSONEncoder"));
    PyObject* json_dict = PyModule_GetDict(json_module.get());
    if (!PyFunction_Check(found_dumps.get()) || PyFunction_GET_GLOBALS(found_dumps.get()) != json_dict) return;
    if (!PyType_Check(json_encoder.get())) return;
    dicts[json] = json_dict;
    dicts[encoder] = PyModule_GetDict(encoder_module.get());
    dicts[encoder_class] = reinterpret_cast<PyTypeObject*>(json_encoder.get())->tp_dict;
    modules[0] = json_module.release();
    modules[1] = encoder_module.release();
    for (Member& member : members) {
        member.found = Ref::borrow_or_null(PyDict_GetItemString(dicts[member.holder], member.name)).release();
    }
    // json.JSONEncoder, which dumps uses, must be the class whose members are watched.
    if (members[0].found == json_encoder.get()) dumps = found_dumps.release();
}

// Yes while the stamps of the three dicts stand; else the dicts are read
// again, their stamps taken first (what is found is only compared).
inline bool JsonDumps::unchanged() {
    bool stand = true;
    for (std::size_t i = 0; i < 3; ++i) stand = stand && stamps[i] && stamps[i] == compat::dict_stamp(dicts[i]);
    if (stand) return true;
    for (std::size_t i = 0; i < 3; ++i) stamps[i] = compat::watch_dict(dicts[i]);
    for (const Member& member : members) {
        if (PyDict_GetItemString(dicts[member.holder], member.name) == member.found) continue;
        stamps[0] = 0;  // read anew next time
        return false;
    }
    return true;
}

}  // namespace zae
