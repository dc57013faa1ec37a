// Event configuration view: an event's defaults overlaid with the current
// configuration, sorted, and rendered as indented text with translated sections.
#include <cerrno>
#include <type_traits>

#include "admin_events.hpp"

namespace zae {

namespace {

Name n_json{"json"}, n_pydoc{"pydoc"}, n_LANG{"LANG"}, n_ZornaAdminEvents{"ZornaAdminEvents"};
Name n_isinstance{"isinstance"}, n_dict{"dict"}, n_str{"str"}, n_sorted{"sorted"}, n_FileNotFoundError{"FileNotFoundError"};
Name n_load{"load"}, n_decoder{"decoder"}, n_JSONDecodeError{"JSONDecodeError"};
Name n_open{"open"}, n_exists{"exists"}, n_items{"items"}, n_get{"get"}, n_setdefault{"setdefault"},
    n_replace{"replace"}, n_pipepager{"pipepager"}, n_text{"text"}, n_cmd{"cmd"};
Name n_enabled{"enabled"}, n_one{"1"}, n_ru{"ru"}, n_name_ru{"name_ru"};
Name n_empty{""}, n_newline{"\n"}, n_colon_newline{":\n"}, n_colon_space{": "}, n_indent{"    "};
Name n_open_paren{"("}, n_close_paren{")"}, n_dashes{"----------"}, n_dashes_newline{"----------\n"};
Name n_apostrophe{"'"}, n_double_quote{"\""}, n_less{"less -R"};

// isinstance(value, dict): dict subclasses count.
// `value` may be a callable computing the value, which then runs after
// `isinstance` is looked up, as Python evaluates the call.
template <class Value>
bool is_dict(const Call& call, Value&& value) {
    Ref isinstance_ = call.global(n_isinstance);
    if constexpr (std::is_invocable_v<Value>) {
        Ref computed = value();
        return truthy(zae::call(isinstance_, computed, call.global(n_dict)));
    } else {
        return truthy(zae::call(isinstance_, value, call.global(n_dict)));
    }
}

// with path.open() as f: <use>(json.load(f)) -- the parsed document is used
// inside the block, as the with statements of the view do.  Empty when
// __exit__ swallowed an error.
template <class Use>
Ref load_json(const Call& call, Borrowed path, Use&& use) {
    Ref file = call_method(path, n_open);
    return with_block(file, [&](Borrowed f) { return use(call_method(call.global(n_json), n_load, f)); });
}

Ref as_is(Ref document) { return document; }

// The settings a with-block left unassigned because its __exit__ swallowed the
// error (file objects never do); reading them fails as for an unbound local.
[[noreturn]] void unbound(const char* variable) {
    raise_format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 variable);
}

// An event without a defaults file in any group directory: reported like a
// missing defaults file, naming the event and the directory searched.
[[noreturn]] void raise_no_group(Borrowed event_id, Borrowed default_config_dir) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Event %R belongs to no group: no defaults file for it in any group directory", event_id.get()));
    Ref error = call(PyExc_FileNotFoundError, integer(ENOENT), message, str(default_config_dir));
    PyErr_SetObject(PyExc_FileNotFoundError, error.get());
    raise();
}

// merge_settings(default_settings, current_settings): the current mapping is
// merged into the defaults in place, in its own key order; objects on both
// sides merge recursively, anything else replaces the default value whole
// (the current value object itself is stored, not a copy).
void merge_settings(const Call& call, Borrowed default_settings, Borrowed current_settings) {
    for (const Ref& item : Iterate(call_method(current_settings, n_items))) {
        auto [k, v] = unpack_pair(item);
        if (is_dict(call, v) && is_dict(call, [&] { return call_method(default_settings, n_get, k); })) {
            merge_settings(call, getitem(default_settings, k), v);
        } else {
            setitem(default_settings, k, v);
        }
    }
}

}  // namespace

Ref show_events(const Call& call) {
    PyObject* self = call.self();
    call_method(self, mangled::load_event_section_translations);

    Ref blocks = new_list();
    for (const Ref& event_id : Iterate(getattr(self, mangled::event_id_list))) {
        Ref config = call_method(self, mangled::get_event_config, event_id);
        Ref rendered = call_method(self, mangled::get_event_config_string, config);
        append(blocks, concat({n_dashes, format(event_id), n_dashes_newline, format(rendered)}));
    }
    Ref pipepager = getattr(call.global(n_pydoc), n_pipepager);
    call_kw(pipepager, {}, {{n_text, join(n_newline, blocks)}, {n_cmd, n_less}});
    return none();
}

Ref get_event_config(const Call& call) {
    PyObject* self = call.self();
    PyObject* event_id = call[1];

    Ref group_id = call_method(self, mangled::get_event_group, event_id);
    if (group_id.get() == Py_None) raise_no_group(event_id, getattr(self, mangled::default_config_dir));

    Ref defaults_file = true_divide(true_divide(getattr(self, mangled::default_config_dir), group_id), event_id);
    Ref default_settings = load_json(call, defaults_file, as_is);
    if (!default_settings) unbound("default_settings");

    Ref current_settings = new_dict();
    if (truthy(call_method(getattr(self, mangled::current_config_file), n_exists))) {
        Ref entry = load_json(call, getattr(self, mangled::current_config_file),
                              [&](Ref current_config) { return call_method(current_config, n_get, event_id, new_dict()); });
        if (entry) current_settings = entry;
    }

    if (!contains(current_settings, n_enabled)) call_method(default_settings, n_setdefault, n_enabled, n_one);

    merge_settings(call, default_settings, current_settings);

    return call_method(self, mangled::sort_nested_dict, default_settings);
}

Ref sort_nested_dict(const Call& call) {
    PyObject* dictionary = call[0];

    Ref pairs = zae::call(call.global(n_sorted), call_method(dictionary, n_items));
    Ref ordered = zae::call(call.global(n_dict), pairs);

    for (const Ref& key : Iterate(ordered)) {
        Ref value = getitem(ordered, key);
        if (is_dict(call, value)) {
            setitem(ordered, key, call_method(call.global(n_ZornaAdminEvents), mangled::sort_nested_dict, value));
        }
    }
    return ordered;
}

Ref load_event_section_translations(const Call& call) {
    PyObject* self = call.self();
    if (not_equal(call.global(n_LANG), n_name_ru)) return none();

    try {
        load_json(call, getattr(self, mangled::param_ru_translations_file), [&](Ref translations) {
            setattr(self, mangled::event_section_translations, translations);
            return translations;
        });
    } catch (const PythonError&) {
        CaughtError caught;
        {
            Handling handling(caught);
            Ref file_not_found = call.global(n_FileNotFoundError);
            Ref json_decode_error = getattr(getattr(call.global(n_json), n_decoder), n_JSONDecodeError);
            if (caught.matches(tuple_of({file_not_found, json_decode_error}))) return none();
        }
        caught.reraise();
    }
    return none();
}

Ref get_event_section_translation(const Call& call) {
    PyObject* self = call.self();
    Ref translations = getattr(self, mangled::event_section_translations);
    if (!truthy(translations)) return Ref::borrow(n_empty.get());

    Ref entry = call_method(translations, n_get, call[1], new_dict());
    if (contains(entry, n_ru)) return concat({n_open_paren, format(getitem(entry, n_ru)), n_close_paren});
    return Ref::borrow(n_empty.get());
}

Ref get_event_config_string(const Call& call) {
    PyObject* self = call.self();
    PyObject* dictionary = call[1];
    PyObject* indent = call[2];

    Ref result = Ref::borrow(n_empty.get());
    for (const Ref& item : Iterate(call_method(dictionary, n_items))) {
        auto [key, value] = unpack_pair(item);
        Ref prefix = multiply(n_indent, indent);
        Ref line;
        if (is_dict(call, value)) {
            Ref prefix_text = format(prefix), key_text = format(key);
            Ref translation = format(call_method(self, mangled::get_event_section_translation, key));
            Ref nested = format(call_method(self, mangled::get_event_config_string, value, add(indent, integer(1))));
            line = concat({prefix_text, key_text, translation, n_colon_newline, nested});
        } else {
            Ref prefix_text = format(prefix), key_text = format(key);
            Ref value_text = format(call_method(zae::call(call.global(n_str), value), n_replace, n_apostrophe, n_double_quote));
            line = concat({prefix_text, key_text, n_colon_space, value_text, n_newline});
        }
        result = add(result, line);
    }
    return add(result, n_newline);
}

}  // namespace zae
