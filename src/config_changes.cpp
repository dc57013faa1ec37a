// Configuration changes: enabling and disabling, syslog message parameters,
// event properties with audit rules, import, export and daemon restart.
//
// Every change goes through the outside event service; every change marks the
// object's restart flag, which restart_daemons reads.
#include "admin_events.hpp"
#include "text/json_string.hpp"

namespace zae {

namespace {

Name n_print{"print"}, n_underscore{"_"}, n_zorna_events{"zorna_events"}, n_json{"json"}, n_os{"os"};
Name n_ZornaConfigManager{"ZornaConfigManager"}, n_Path{"Path"};
Name n_enable_event{"enable_event"}, n_disable_event{"disable_event"}, n_is_event_enabled{"is_event_enabled"};
Name n_set_event_param{"set_event_param"};
Name n_loads{"loads"}, n_dumps{"dumps"}, n_ensure_ascii{"ensure_ascii"}, n_decoder{"decoder"},
    n_JSONDecodeError{"JSONDecodeError"};
Name n_new_status{"new_status"}, n_replace{"replace"}, n_watch{"-w "}, n_watch_keyed{" -p wa -k "};
Name n_space{" "}, n_escaped_space{"\\ "}, n_backslash{"\\"}, n_escaped_backslash{"\\\\"};
Name n_file_opened{"file-opened"}, n_b64{"b64"};
Name n_isinstance{"isinstance"}, n_str{"str"}, n_dict{"dict"}, n_list{"list"}, n_type{"type"};
Name n_export_config{"export_config"}, n_import_config{"import_config"}, n_system{"system"};
Name n_restart_syslog_ng{"systemctl restart syslog-ng.service"}, n_restart_auditd{"systemctl restart auditd"};

// self.__need_daemon_restart = True
void mark_restart(const Call& call) { setattr(call.self(), mangled::need_daemon_restart, Py_True); }

// Does `action` switch events on?  The direction is read from the action
// itself, against zorna_events.enable_event as the module holds it now.
bool is_enabling(const Call& call, Borrowed action) {
    return equal(action, module_attribute(call.global(n_zorna_events), n_enable_event));
}

// json.dumps(value, ensure_ascii=False).  A str or a list of str given to the
// standard json.dumps is written here, as it would write it.
Ref dump_json(const Call& call, Borrowed value) {
    Ref dumps = module_attribute(call.global(n_json), n_dumps);
    if constexpr (fast_paths) {
        // (dumps is checked first: finding the standard one may run code that changes `value`.)
        if (standard_json_dumps.is(dumps.get()) && is_json_texts(value)) return json_of_texts(value);
    }
    return call_kw(dumps, {value}, {{n_ensure_ascii, Py_False}});
}

// print(<line>): `print` is looked up before the line is built, as Python
// evaluates a call (the callee first, then its argument).
template <class Line>
void print_line(const Call& call, Line&& line) {
    Ref print = call.global(n_print);
    zae::call(print, line());
}

// zorna_events.set_event_param, looked up now (before its arguments are evaluated).
Ref set_event_param(const Call& call) { return module_attribute(call.global(n_zorna_events), n_set_event_param); }

// _(message); tools/po collects the messages of these calls (and of
// refuse_paths) for the catalogue.
Ref translated(const Call& call, const char* message) { return zae::call(call.global(n_underscore), text(message)); }

// The paths named by a decoded VALUE, as __process_path_value walks them:
// a str is one path, anything else is iterated (list elements, dict keys).
Ref path_list(const Call& call, Borrowed value) {
    Ref isinstance = call.global(n_isinstance);
    if (call_isinstance(isinstance, value, call.global(n_str))) return tuple_of({value});
    return Ref::borrow(value);
}

// Can the str `line` stand as one line of a rules file: no NUL, which would
// cut the line short, and nothing str.splitlines() breaks a line at (the
// characters below, as the Unicode database has them)?  auditctl reads its
// rules file line by line, and stops loading at the first line it cannot
// parse.  One pass over the characters; no list of lines is made.
bool is_one_line(Borrowed line) {
    PyObject* s = line.get();
    if (compat::ready(s) < 0) raise();
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool breaks = (c >= 0x0a && c <= 0x0d) || (c >= 0x1c && c <= 0x1e) || c == 0x85 || c == 0x2028 ||
                      c == 0x2029;
        if (c == 0 || breaks) return false;
    }
    return true;
}

// auditd keeps a rule's key in at most this many bytes, and the path is also
// the key of its rule.
constexpr Py_ssize_t max_path_size = 256;

// Does the str `text` hold "!=", "<=", ">=" or "&="?  auditctl reads a key
// (and the path of -F path=) as a field, an operator and a value, and takes
// the first of these for the operator: such a path can be in no rule.
bool has_operator(Borrowed text) {
    PyObject* s = text.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 1; i < n; ++i) {
        i = PyUnicode_FindChar(s, '=', i, n, 1);
        if (i == -2) raise();
        if (i == -1) return false;
        Py_UCS4 before = PyUnicode_READ_CHAR(s, i - 1);
        if (before == '!' || before == '<' || before == '>' || before == '&') return true;
    }
    return false;
}

// A path can go into an audit rule line only as an absolute path that stays
// on one line and fits in a key, and that auditctl reads back as the same
// path: no backslash (auditctl reads "\\" and "\ " as escapes), no control
// character and no operator.  auditctl refuses anything else, and with it
// every rule after it in the file.
bool is_usable_path(Borrowed path) {
    if (!PyUnicode_Check(path.get()) || !is_one_line(path)) return false;
    if (PyUnicode_GET_LENGTH(path.get()) == 0 || PyUnicode_READ_CHAR(path.get(), 0) != '/') return false;
    Py_ssize_t size = 0;
    if (!PyUnicode_AsUTF8AndSize(path, &size)) {
        // A surrogate, which has no UTF-8 form (a str never pairs them: JSON's
        // pairs are decoded to one character).
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise();
        PyErr_Clear();
        return false;
    }
    if (size > max_path_size || has_operator(path)) return false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(path.get()); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(path.get(), i);
        if (c == '\\' || c < 0x20 || (c >= 0x7f && c <= 0x9f)) return false;
    }
    return true;
}

// file-opened's rules name their path in a system-call rule (-F path=), and
// the kernel refuses one that ends in "/", the root included; a watch (-w)
// drops the slash instead.  Asked of usable paths only, each a str that
// starts with "/".
bool names_file(Borrowed path) {
    return PyUnicode_READ_CHAR(path.get(), PyUnicode_GET_LENGTH(path.get()) - 1) != '/';
}

// The first path that a decoded VALUE names and that fails `test`, or null.
Ref failing_path(const Call& call, Borrowed json_value, bool (*test)(Borrowed path)) {
    for (Ref path : Iterate(path_list(call, json_value))) {
        if (!test(path)) return path;
    }
    return Ref();
}

// Is this call storing an event's audit rules directly (section "", parameter
// "message-audit-rules")?
bool sets_audit_rules(Borrowed section, Borrowed parameter) {
    return PyUnicode_Check(section.get()) && PyUnicode_GET_LENGTH(section.get()) == 0 &&
           PyUnicode_Check(parameter.get()) &&
           PyUnicode_CompareWithASCIIString(parameter.get(), "message-audit-rules") == 0;
}

// Rules stored directly go to auditctl as they are: a JSON array of strings,
// each one line of the rules file.
bool is_rule_list(Borrowed json_value) {
    if (!PyList_Check(json_value.get())) return false;
    for (Ref rule : Iterate(json_value)) {
        if (!PyUnicode_Check(rule.get()) || !is_one_line(rule)) return false;
    }
    return true;
}

// A path as JSON, on one line and with nothing a terminal acts on: a path
// with a character that is not printable is written all in ASCII escapes.
Ref shown_path(const Call& call, Borrowed path) {
    bool printable = PyUnicode_Check(path.get());
    for (Py_ssize_t i = 0, n = printable ? PyUnicode_GET_LENGTH(path.get()) : 0; i < n && printable; ++i)
        printable = Py_UNICODE_ISPRINTABLE(PyUnicode_READ_CHAR(path.get(), i));
    if (printable) return dump_json(call, path);
    return call_attribute(call.global(n_json), n_dumps, path);
}

// The one line that refuses a VALUE whose paths or rules auditctl could not
// load, saying why (`why` is a message passed through _) and, when given,
// naming the first path refused, as JSON.
void refuse_paths(const Call& call, Borrowed value, const char* why, PyObject* path = nullptr) {
    print_line(call, [&] {
        Ref label = format(translated(call, "Invalid VALUE"));
        Ref reason = format(translated(call, why));
        if (path) reason = concat({shown_path(call, path), text(": "), reason});
        return concat({label, text(": "), format(value), text(" ("), reason, text(")")});
    });
}

// Does the event list name at least one of the path events?  (A None list
// names none; the walk that follows fails on it as it would anyway.)
bool names_path_event(const Call& call, Borrowed event_id_list) {
    if (event_id_list.get() == Py_None) return false;
    Ref special_events = getattr(call.self(), mangled::special_events);
    for (Ref event_id : Iterate(event_id_list)) {
        if (contains(special_events, event_id)) return true;
    }
    return false;
}

// One stored syslog parameter and its confirmation line.
void store_syslog_param(const Call& call, Borrowed event_id, Borrowed param_type, Borrowed param_value) {
    // The value goes to the service as JSON text: a string literal of the
    // value's text, so quotes, backslashes and control characters in it are
    // escaped instead of breaking the JSON.
    Ref store = set_event_param(call);
    zae::call(store, event_id, text(""), concat({text("message-syslog-"), format(param_type)}),
              dump_json(call, str(param_value)));
    print_line(call, [&] {
        return concat({format(event_id), text("\t"), format(param_type), text(": "), format(param_value)});
    });
}

// Both daemons, always together; their exit statuses are not ours to judge.
// (Out of line: most calls restart nothing, and return at once.)
[[gnu::noinline]] void restart_both_daemons(const Call& call) {
    call_attribute(call.global(n_os), n_system, n_restart_syslog_ng);
    call_attribute(call.global(n_os), n_system, n_restart_auditd);
}

}  // namespace

// ---- enabling and disabling --------------------------------------------------

Ref enable(const Call& call) {
    call_member(call.self(), mangled::process_ids, module_attribute(call.global(n_zorna_events), n_enable_event));
    return none();
}

Ref disable(const Call& call) {
    call_member(call.self(), mangled::process_ids, module_attribute(call.global(n_zorna_events), n_disable_event));
    return none();
}

// __process_ids(self, action)
Ref process_ids(const Call& call) {
    PyObject* self = call.self();
    PyObject* action = call[1];

    if (truthy(getattr(self, mangled::event_id_list))) {
        for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
            call_member(self, mangled::process_event, event_id, action);
        }
        print_line(call, [&] {
            return call_member(self, mangled::get_multiple_string, getattr(self, mangled::event_id_list));
        });
    }

    if (truthy(getattr(self, mangled::group_id_list))) {
        for (Ref group_id : Iterate(getattr(self, mangled::group_id_list))) {
            call_member(self, mangled::process_group, group_id, action);
        }
        print_line(call, [&] {
            Ref listing = getattr(self, mangled::get_multiple_string);
            Ref group_id_list = getattr(self, mangled::group_id_list);
            Ref new_status = integer(is_enabling(call, action) ? 1 : 0);
            return call_kw(listing, {group_id_list}, {{n_new_status, new_status}});
        });
    }
    return none();
}

// __process_group(self, group_id, action)
Ref process_group(const Call& call) {
    PyObject* self = call.self();
    for (Ref event_id : Iterate(call_member(self, mangled::get_events_by_group_id, call[1]))) {
        call_member(self, mangled::process_event, event_id, call[2]);
    }
    return none();
}

// __process_event(self, event_id, action): change the event only when the
// catalogue reports it in the opposite state.
Ref process_event(const Call& call) {
    PyObject* event_id = call[1];
    PyObject* action = call[2];

    Ref opposite_state = integer(is_enabling(call, action) ? 0 : 1);
    if (equal(call_attribute(call.global(n_zorna_events), n_is_event_enabled, event_id), opposite_state)) {
        // Marked before the action runs: a failing action may have changed
        // something all the same.
        mark_restart(call);
        zae::call(action, event_id);
    }
    return none();
}

// ---- syslog message parameters -----------------------------------------------

Ref set_priority(const Call& call) {
    call_member(call.self(), mangled::set_syslog_message_param, text("priority"), call[1]);
    return none();
}

Ref set_facility(const Call& call) {
    call_member(call.self(), mangled::set_syslog_message_param, text("facility"), call[1]);
    return none();
}

// __set_syslog_message_param(self, param_type, param_value)
Ref set_syslog_message_param(const Call& call) {
    PyObject* self = call.self();
    PyObject* param_type = call[1];
    PyObject* param_value = call[2];

    if (truthy(getattr(self, mangled::event_id_list))) {
        for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
            store_syslog_param(call, event_id, param_type, param_value);
        }
    }
    if (truthy(getattr(self, mangled::group_id_list))) {
        for (Ref group_id : Iterate(getattr(self, mangled::group_id_list))) {
            for (Ref event_id : Iterate(call_member(self, mangled::get_events_by_group_id, group_id))) {
                store_syslog_param(call, event_id, param_type, param_value);
            }
        }
    }
    mark_restart(call);
    return none();
}

// ---- event properties and audit rules ------------------------------------------

// set_properties(self, section, parameter, value)
Ref set_properties(const Call& call) {
    PyObject* self = call.self();
    PyObject* section = call[1];
    PyObject* parameter = call[2];
    PyObject* value = call[3];

    Ref json_value;
    try {
        json_value = call_attribute(call.global(n_json), n_loads, value);
    } catch (const PythonError&) {
        CaughtError caught;
        if (caught.matches(module_attribute(module_attribute(call.global(n_json), n_decoder), n_JSONDecodeError))) {
            print_line(call, [&] { return translated(call, "The VALUE should be in JSON format"); });
            return none();
        }
        caught.reraise();
    }

    Ref isinstance = call.global(n_isinstance);
    Ref types = tuple_of({call.global(n_str), call.global(n_dict), call.global(n_list)});
    if (!call_isinstance(isinstance, json_value, types)) {
        print_line(call, [&] {
            Ref type_of_value = zae::call(call.global(n_type), json_value);
            return concat({format(translated(call, "Invalid VALUE")), text(": "), format(value), text(" ("),
                           format(type_of_value), text(")")});
        });
        return none();
    }

    // Paths become audit rule lines, which auditctl must be able to load; a
    // VALUE with a path or rule it could not is refused before anything is
    // stored, so that no event is left with a property and no matching rules.
    if (sets_audit_rules(section, parameter) && !is_rule_list(json_value)) {
        refuse_paths(call, value, "paths must be absolute, on one line, at most 256 bytes");
        return none();
    }
    Ref event_id_list = getattr(self, mangled::event_id_list);
    if (names_path_event(call, event_id_list)) {
        if (Ref path = failing_path(call, json_value, is_usable_path)) {
            refuse_paths(call, value,
                         "paths must be absolute, on one line, at most 256 bytes, "
                         "with no backslash, control character, !=, <=, >= or &=",
                         path.get());
            return none();
        }
    }
    if (event_id_list.get() != Py_None && contains(event_id_list, n_file_opened)) {
        if (failing_path(call, json_value, names_file)) {
            refuse_paths(call, value, "paths of file-opened must name files, not end in /");
            return none();
        }
    }

    mark_restart(call);
    for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
        zae::call(set_event_param(call), event_id, section, parameter, value);
        if (contains(getattr(self, mangled::special_events), event_id)) {
            Ref store = set_event_param(call);
            zae::call(store, event_id, text(""), text("message-audit-rules"),
                      call_member(self, mangled::process_path_value, event_id, json_value));
        }
    }
    return none();
}

namespace {

// The builder audit_rules holds under the machine name arch, or, when arch
// is not a key of it, the one under "b64".  An exact dict is searched once
// for a str name.
Ref rule_builder(Borrowed audit_rules, Borrowed arch) {
    if (fast_paths && PyDict_CheckExact(audit_rules.get()) && PyUnicode_CheckExact(arch.get())) {
        if (PyObject* found = PyDict_GetItemWithError(audit_rules, arch)) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
        return getitem(audit_rules, n_b64);
    }
    return contains(audit_rules, arch) ? getitem(audit_rules, arch) : getitem(audit_rules, n_b64);
}

}  // namespace

// __process_path_value(self, event_id, value): the audit rule lines for the
// paths in value, as a JSON array.
Ref process_path_value(const Call& call) {
    PyObject* self = call.self();
    PyObject* event_id = call[1];
    PyObject* value = call[2];

    Ref result_list = new_list();
    for (Ref path : Iterate(path_list(call, value))) {
        // auditctl reads a rule line as words split at spaces, with "\\"
        // standing for a backslash and "\ " for a space; what no escape can
        // carry (a line end, an operator) is refused, never written.
        if (PyUnicode_Check(path.get()) && (!is_one_line(path) || has_operator(path)))
            raise_format(PyExc_ValueError, "%R cannot stand in an audit rule", path.get());
        Ref escaped_path = replace_char(path, n_backslash, n_escaped_backslash, n_replace);
        escaped_path = replace_char(escaped_path, n_space, n_escaped_space, n_replace);
        Ref rule;
        if (not_equal(event_id, n_file_opened)) {
            rule = concat({n_watch, format(escaped_path), n_watch_keyed, format(escaped_path)});
        } else {
            Ref audit_rules = getattr(self, mangled::audit_rules);
            Ref arch = getattr(self, mangled::arch);
            Ref builder = rule_builder(audit_rules, arch);
            rule = zae::call(builder, escaped_path);
        }
        append(result_list, rule);
    }
    return dump_json(call, result_list);
}

// ---- import, export and daemon restart ------------------------------------------

// export_config(file_path), static
Ref export_config(const Call& call) {
    Ref manager = zae::call(call.global(n_ZornaConfigManager));
    MethodLookup export_ = lookup_method(manager, n_export_config);
    export_({zae::call(call.global(n_Path), call[0])});
    return none();
}

// import_config(self, input_file)
Ref import_config(const Call& call) {
    Ref manager = zae::call(call.global(n_ZornaConfigManager));
    MethodLookup import_ = lookup_method(manager, n_import_config);
    import_({zae::call(call.global(n_Path), call[1])});
    mark_restart(call);
    return none();
}

Ref restart_daemons(const Call& call) {
    if (truthy(getattr(call.self(), mangled::need_daemon_restart))) restart_both_daemons(call);
    return none();
}

}  // namespace zae
