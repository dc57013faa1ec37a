// Configuration changes: enabling and disabling, syslog message parameters, event properties
// with audit rules, import, export and daemon restart.
#include "admin_events.hpp"
#include "text/json_string.hpp"

namespace zae {

namespace {

// self.__need_daemon_restart = True
void mark_restart(PyObject* self) { setattr(self, mangled::need_daemon_restart, Py_True); }

// action == zorna_events.enable_event, against the service as the module holds it now.
bool is_enabling(const Module& module, Borrowed action) {
    return equal(action, attribute(module.global(n::zorna_events), n::enable_event));
}

// json.dumps(value, ensure_ascii=False): a str or a list of str, for the standard json.dumps,
// written here as it would write it.
Ref dump_json(const Module& module, Borrowed value) {
    Ref dumps = attribute(module.global(n::json), n::dumps);
    // (dumps is checked first: finding the standard one may run code that changes `value`.)
    if (state.is_standard_json_dumps(dumps.get()) && is_json_texts(value)) return json_of_texts(value);
    return call_kw(dumps, {value}, {{n::ensure_ascii, Py_False}});
}

// print(<line>): `print` is looked up before the line is built.
template <class Line>
void print_line(const Module& module, Line&& line) {
    Ref print = module.global(n::print);
    call(print, line());
}

// zorna_events.set_event_param, looked up now (before its arguments are evaluated).
Ref set_event_param(const Module& module) { return attribute(module.global(n::zorna_events), n::set_event_param); }

// _(message) (tools/po collects the messages of these calls and of refuse_paths).
Ref translated(const Module& module, const char* message) { return call(module.global(n::underscore), text(message)); }

// json.decoder.JSONDecodeError, looked up now.
Ref json_decode_error(const Module& module) {
    return attribute(attribute(module.global(n::json), n::decoder), n::JSONDecodeError);
}

// The paths named by a decoded VALUE: [value] if isinstance(value, str) else value.
Ref path_list(const Module& module, Borrowed value) {
    Ref isinstance_ = module.global(n::isinstance);
    if (isinstance(isinstance_, value, module.global(n::str))) return tuple_of({value});
    return Ref::borrow(value);
}

// Can the str `line` stand as one line of a rules file (auditctl stops loading at the first line
// it cannot parse): no NUL, nothing str.splitlines() breaks a line at and, with `operators` true,
// no "!=", "<=", ">=" or "&=", which auditctl would read as an operator?
bool is_one_line(Borrowed line, bool operators = false) {
    PyObject* s = line.get();
    if (compat::ready(s) < 0) raise();
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i), before = i ? PyUnicode_READ(kind, data, i - 1) : 0;
        bool breaks = c == 0 || (c >= 0x0a && c <= 0x0d) || (c >= 0x1c && c <= 0x1e) || c == 0x85 || c == 0x2028 ||
                      c == 0x2029;
        bool operator_ = c == '=' && (before == '!' || before == '<' || before == '>' || before == '&');
        if (breaks || (operators && operator_)) return false;
    }
    return true;
}

// auditd keeps a rule's key, which is also its path, in at most this many bytes.
constexpr Py_ssize_t max_path_size = 256;

// A path fits an audit rule line when it is absolute, on one line, fits a key and is read back
// by auditctl as the same path: no backslash (auditctl's escape), control character or operator.
bool is_usable_path(Borrowed path) {
    if (!PyUnicode_Check(path.get()) || !is_one_line(path, true)) return false;
    if (PyUnicode_GET_LENGTH(path.get()) == 0 || PyUnicode_READ_CHAR(path.get(), 0) != '/') return false;
    Py_ssize_t size = 0;
    if (!PyUnicode_AsUTF8AndSize(path, &size)) {
        // A lone surrogate, which has no UTF-8 form.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise();
        PyErr_Clear();
        return false;
    }
    if (size > max_path_size) return false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(path.get()); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(path.get(), i);
        if (c == '\\' || c < 0x20 || (c >= 0x7f && c <= 0x9f)) return false;
    }
    return true;
}

// The kernel refuses a system-call rule (file-opened's) whose path ends in "/".  Of usable paths only.
bool names_file(Borrowed path) { return PyUnicode_READ_CHAR(path.get(), PyUnicode_GET_LENGTH(path.get()) - 1) != '/'; }

// The first path that a decoded VALUE names and that fails `test`, or null.
Ref failing_path(const Module& module, Borrowed json_value, bool (*test)(Borrowed path)) {
    for (Ref path : Iterate(path_list(module, json_value))) {
        if (!test(path)) return path;
    }
    return Ref();
}

// Does the call store an event's audit rules directly (section "", "message-audit-rules")?
bool sets_audit_rules(Borrowed section, Borrowed parameter) {
    return PyUnicode_Check(section.get()) && PyUnicode_GET_LENGTH(section.get()) == 0 &&
           PyUnicode_Check(parameter.get()) &&
           PyUnicode_CompareWithASCIIString(parameter.get(), "message-audit-rules") == 0;
}

// Rules stored directly go to auditctl as they are: a JSON array of strings of one line each.
bool is_rule_list(Borrowed json_value) {
    if (!PyList_Check(json_value.get())) return false;
    for (Ref rule : Iterate(json_value)) {
        if (!PyUnicode_Check(rule.get()) || !is_one_line(rule)) return false;
    }
    return true;
}

// A path as JSON, all in ASCII escapes when a character of it is not printable.
Ref shown_path(const Module& module, Borrowed path) {
    bool printable = PyUnicode_Check(path.get());
    for (Py_ssize_t i = 0, n = printable ? PyUnicode_GET_LENGTH(path.get()) : 0; i < n && printable; ++i)
        printable = Py_UNICODE_ISPRINTABLE(PyUnicode_READ_CHAR(path.get(), i));
    if (printable) return dump_json(module, path);
    return call_method(module.global(n::json), n::dumps, path);
}

// The line that refuses a VALUE, saying why (through _) and naming the first path refused.
void refuse_paths(const Module& module, Borrowed value, const char* why, PyObject* path = nullptr) {
    print_line(module, [&] {
        Ref label = format(translated(module, "Invalid VALUE"));
        Ref reason = format(translated(module, why));
        if (path) reason = concat({shown_path(module, path), text(": "), reason});
        return concat({label, text(": "), format(value), text(" ("), reason, text(")")});
    });
}

// Does the event list name a path event?  (None names none: the walk after fails on it anyway.)
bool names_path_event(PyObject* self, Borrowed event_id_list) {
    if (event_id_list.get() == Py_None) return false;
    Ref special_events = getattr(self, mangled::special_events);
    for (Ref event_id : Iterate(event_id_list)) {
        if (contains(special_events, event_id)) return true;
    }
    return false;
}

// The plain algorithm stores any path, relative ones too; a rule with a line break or an
// operator in its path could switch auditing off or stop auditctl loading the rest of its file.
// Such a VALUE is refused here, before anything is stored.
bool refuses_paths(const Module& module, PyObject* self, Borrowed section, Borrowed parameter, Borrowed value,
                   Borrowed json_value) {
    if (sets_audit_rules(section, parameter) && !is_rule_list(json_value)) {
        refuse_paths(module, value, "paths must be absolute, on one line, at most 256 bytes");
        return true;
    }
    Ref event_id_list = getattr(self, mangled::event_id_list);
    if (names_path_event(self, event_id_list)) {
        if (Ref path = failing_path(module, json_value, is_usable_path)) {
            refuse_paths(module, value,
                         "paths must be absolute, on one line, at most 256 bytes, "
                         "with no backslash, control character, !=, <=, >= or &=",
                         path.get());
            return true;
        }
    }
    if (event_id_list.get() != Py_None && contains(event_id_list, n::file_opened) &&
        failing_path(module, json_value, names_file)) {
        refuse_paths(module, value, "paths of file-opened must name files, not end in /");
        return true;
    }
    return false;
}

// One stored syslog parameter and its line.  The plain algorithm stores '"' + value + '"', which a
// quote or a backslash makes invalid JSON: the value is stored as the JSON string of its text.
void store_syslog_param(const Module& module, Borrowed event_id, Borrowed param_type, Borrowed param_value) {
    Ref store = set_event_param(module);
    Ref parameter = concat({text("message-syslog-"), format(param_type)});
    call(store, event_id, n::empty, parameter, dump_json(module, str(param_value)));
    print_line(module, [&] {
        return concat({format(event_id), text("\t"), format(param_type), text(": "), format(param_value)});
    });
}

// text.replace(old, new): an exact str without the character `old` is itself, without the call.
Ref replaced(Borrowed text, Name old, Name new_) {
    PyObject* s = text.get();
    if (fast_paths && PyUnicode_CheckExact(s)) {
        Py_ssize_t found = PyUnicode_FindChar(s, PyUnicode_READ_CHAR(state.str(old), 0), 0, PyUnicode_GET_LENGTH(s), 1);
        if (found == -2) raise();
        if (found == -1) return Ref::borrow(text);
    }
    return call_method(text, n::replace, old, new_);
}

// audit_rules[arch] if arch in audit_rules else audit_rules["b64"]: an exact dict searched once.
Ref rule_builder(Borrowed audit_rules, Borrowed arch) {
    if (fast_paths && PyDict_CheckExact(audit_rules.get()) && PyUnicode_CheckExact(arch.get())) {
        if (PyObject* found = PyDict_GetItemWithError(audit_rules, arch)) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
        return getitem(audit_rules, n::b64);
    }
    return contains(audit_rules, arch) ? getitem(audit_rules, arch) : getitem(audit_rules, n::b64);
}

}  // namespace

// ---- enabling and disabling --------------------------------------------------
Ref method::enable(const Module& module, PyObject* self) {
    call_method(self, mangled::process_ids, attribute(module.global(n::zorna_events), n::enable_event));
    return none();
}

Ref method::disable(const Module& module, PyObject* self) {
    call_method(self, mangled::process_ids, attribute(module.global(n::zorna_events), n::disable_event));
    return none();
}

Ref private_method::process_ids(const Module& module, PyObject* self, PyObject* action) {
    if (truthy(getattr(self, mangled::event_id_list))) {
        for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
            call_method(self, mangled::process_event, event_id, action);
        }
        print_line(module, [&] {
            return call_method(self, mangled::get_multiple_string, getattr(self, mangled::event_id_list));
        });
    }
    if (truthy(getattr(self, mangled::group_id_list))) {
        for (Ref group_id : Iterate(getattr(self, mangled::group_id_list))) {
            call_method(self, mangled::process_group, group_id, action);
        }
        print_line(module, [&] {
            Ref listing = getattr(self, mangled::get_multiple_string);
            Ref group_id_list = getattr(self, mangled::group_id_list);
            Ref new_status = integer(is_enabling(module, action) ? 1 : 0);
            return call_kw(listing, {group_id_list}, {{n::new_status, new_status}});
        });
    }
    return none();
}

Ref private_method::process_group(const Module&, PyObject* self, PyObject* group_id, PyObject* action) {
    for (Ref event_id : Iterate(call_method(self, mangled::get_events_by_group_id, group_id))) {
        call_method(self, mangled::process_event, event_id, action);
    }
    return none();
}

Ref private_method::process_event(const Module& module, PyObject* self, PyObject* event_id, PyObject* action) {
    Ref opposite_state = integer(is_enabling(module, action) ? 0 : 1);
    if (equal(call_method(module.global(n::zorna_events), n::is_event_enabled, event_id), opposite_state)) {
        mark_restart(self);  // before the action: a failing action may have changed something all the same
        call(action, event_id);
    }
    return none();
}

// ---- syslog message parameters -----------------------------------------------
Ref method::set_priority(const Module&, PyObject* self, PyObject* priority) {
    call_method(self, mangled::set_syslog_message_param, text("priority"), priority);
    return none();
}

Ref method::set_facility(const Module&, PyObject* self, PyObject* facility) {
    call_method(self, mangled::set_syslog_message_param, text("facility"), facility);
    return none();
}

Ref private_method::set_syslog_message_param(const Module& module, PyObject* self, PyObject* param_type,
                                             PyObject* param_value) {
    if (truthy(getattr(self, mangled::event_id_list))) {
        for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
            store_syslog_param(module, event_id, param_type, param_value);
        }
    }
    if (truthy(getattr(self, mangled::group_id_list))) {
        for (Ref group_id : Iterate(getattr(self, mangled::group_id_list))) {
            for (Ref event_id : Iterate(call_method(self, mangled::get_events_by_group_id, group_id))) {
                store_syslog_param(module, event_id, param_type, param_value);
            }
        }
    }
    mark_restart(self);
    return none();
}

// ---- event properties and audit rules ------------------------------------------
Ref method::set_properties(const Module& module, PyObject* self, PyObject* section, PyObject* parameter,
                           PyObject* value) {
    Ref json_value;
    try {
        json_value = call_method(module.global(n::json), n::loads, value);
    } catch (const PythonError&) {
        CaughtError caught;
        if (!caught.matches(json_decode_error(module))) caught.reraise();
        print_line(module, [&] { return translated(module, "The VALUE should be in JSON format"); });
        return none();
    }
    Ref isinstance_ = module.global(n::isinstance);
    Ref types = tuple_of({module.global(n::str), module.global(n::dict), module.global(n::list)});
    if (!isinstance(isinstance_, json_value, types)) {
        print_line(module, [&] {
            Ref type_of_value = call(module.global(n::type), json_value);
            return concat({format(translated(module, "Invalid VALUE")), text(": "), format(value), text(" ("),
                           format(type_of_value), text(")")});
        });
        return none();
    }
    if (refuses_paths(module, self, section, parameter, value, json_value)) return none();
    mark_restart(self);
    for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
        call(set_event_param(module), event_id, section, parameter, value);
        if (contains(getattr(self, mangled::special_events), event_id)) {
            Ref store = set_event_param(module);
            Ref rules = call_method(self, mangled::process_path_value, event_id, json_value);
            call(store, event_id, n::empty, text("message-audit-rules"), rules);
        }
    }
    return none();
}

Ref private_method::process_path_value(const Module& module, PyObject* self, PyObject* event_id, PyObject* value) {
    Ref result_list = new_list();
    for (Ref path : Iterate(path_list(module, value))) {
        // The plain algorithm escapes spaces only: a backslash is escaped too (auditctl reads "\\\\"
        // as one), and what no escape can carry (a line end, an operator) is refused.
        if (PyUnicode_Check(path.get()) && !is_one_line(path, true)) {
            raise_format(PyExc_ValueError, "%R cannot stand in an audit rule", path.get());
        }
        Ref escaped_path = replaced(replaced(path, n::backslash, n::escaped_backslash), n::space, n::escaped_space);
        Ref rule;
        if (not_equal(event_id, n::file_opened)) {
            rule = concat({n::watch, format(escaped_path), n::watch_keyed, format(escaped_path)});
        } else {
            Ref audit_rules = getattr(self, mangled::audit_rules);
            Ref builder = rule_builder(audit_rules, getattr(self, mangled::arch));
            rule = call(builder, escaped_path);
        }
        append(result_list, rule);
    }
    return dump_json(module, result_list);
}

// ---- import, export and daemon restart ------------------------------------------
Ref method::export_config(const Module& module, PyObject* file_path) {
    Ref manager = call(module.global(n::ZornaConfigManager));
    MethodLookup export_config = lookup_method(manager, n::export_config);
    export_config({call(module.global(n::Path), file_path)});
    return none();
}

Ref method::import_config(const Module& module, PyObject* self, PyObject* input_file) {
    Ref manager = call(module.global(n::ZornaConfigManager));
    MethodLookup import_config = lookup_method(manager, n::import_config);
    import_config({call(module.global(n::Path), input_file)});
    mark_restart(self);
    return none();
}

Ref method::restart_daemons(const Module& module, PyObject* self) {
    if (!truthy(getattr(self, mangled::need_daemon_restart))) return none();
    call_method(module.global(n::os), n::system, n::restart_syslog_ng);
    call_method(module.global(n::os), n::system, n::restart_auditd);
    return none();
}

}  // namespace zae
