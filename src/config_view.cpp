// Event configuration view: an event's defaults overlaid with the current
// configuration, sorted, and rendered as indented text with translated sections.
#include <cerrno>
#include <type_traits>
#include <vector>

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
        return call_isinstance(isinstance_, computed, call.global(n_dict));
    } else {
        return call_isinstance(isinstance_, value, call.global(n_dict));
    }
}

// with path.open() as f: <use>(json.load(f)) -- the parsed document is used
// inside the block, as the with statements of the view do.  Empty when
// __exit__ swallowed an error.
template <class Use>
Ref load_json(const Call& call, Borrowed path, Use&& use) {
    Ref file = call_method(path, n_open);
    return with_block(file, [&](Borrowed f) { return use(call_attribute(call.global(n_json), n_load, f)); });
}

Ref as_is(Ref document) { return document; }

// mapping.get(key, {}): an exact dict (whose get() cannot be replaced) is
// read directly, and the empty dict made only when it is the answer.
Ref get_or_empty(Borrowed mapping, Borrowed key) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
        return new_dict();
    }
    return call_method(mapping, n_get, key, new_dict());
}

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
//
// The recursion is a loop over a stack of the mappings being merged, so that
// no depth of nesting can exhaust the C stack; the calls made, and their
// order, are those of the recursive function.
void merge_settings(const Call& call, Borrowed default_settings, Borrowed current_settings) {
    struct Level {
        Ref defaults;
        Iterate items;
    };
    std::vector<Level> levels;
    levels.push_back({Ref::borrow(default_settings), Iterate(call_method(current_settings, n_items))});
    while (!levels.empty()) {
        Ref item = levels.back().items.next();
        if (!item) {
            levels.pop_back();
            continue;
        }
        Ref defaults = levels.back().defaults;
        auto [k, v] = unpack_pair(item);
        if (is_dict(call, v) && is_dict(call, [&] { return call_method(defaults, n_get, k); })) {
            Ref nested_defaults = getitem(defaults, k);
            levels.push_back({nested_defaults, Iterate(call_method(v, n_items))});
        } else {
            setitem(defaults, k, v);
        }
    }
}

// dict(sorted(dictionary.items())), names looked up in the order Python
// evaluates the expression.
Ref sorted_copy(const Call& call, Borrowed dictionary) {
    Ref dict = call.global(n_dict);
    return sorted_dict_copy(dict, call.global(n_sorted), dictionary, n_items);
}

// for key, value in mapping.items(): body(key, value) -- for an exact dict
// (whose items() cannot be replaced) straight from the dict, without the
// view and a tuple per item.
template <class Body>
void for_each_item(Borrowed mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.get())) {
        for (const auto& [key, value] : DictItems(mapping)) body(key, value);
        return;
    }
    for (const Ref& item : Iterate(call_method(mapping, n_items))) {
        auto [key, value] = unpack_pair(item);
        body(key, value);
    }
}

// repr(text).replace("'", '"'), written, for a str: for printable ASCII
// without backslashes (to which repr adds no escapes) and not holding both
// quote characters (repr would escape the one it quotes with), the text
// between double quotes with its single quotes replaced; anything else
// through repr().
void write_text_repr_replacing(TextWriter& out, Borrowed text) {
    PyObject* s = text.get();
    bool plain = PyUnicode_IS_ASCII(s);
    bool single = false, double_ = false;
    const Py_UCS1* units = plain ? PyUnicode_1BYTE_DATA(s) : nullptr;
    for (Py_ssize_t i = 0; plain && i < PyUnicode_GET_LENGTH(s); ++i) {
        Py_UCS1 c = units[i];
        plain = c >= 0x20 && c < 0x7f && c != '\\';
        single |= c == '\'';
        double_ |= c == '"';
    }
    if (!plain || (single && double_)) return out.write_replacing(Ref::steal(PyObject_Repr(s)), '\'', '"');
    out.write("\"");
    out.write_replacing(text, '\'', '"');
    out.write("\"");
}

// str(value).replace("'", '"'), written, with `str` what the name was found
// bound to.  For the builtin: an int is its digits (no quote to replace); a
// str, or the text of a list of str ("[" + the items' repr joined by ", " +
// "]"), is written with its quotes replaced as it is copied.  The text of
// anything else is made, and replaced likewise when it is an exact str.
void write_shown_value(TextWriter& out, Borrowed str, Borrowed value) {
    if (is_type(str, PyUnicode_Type)) {
        PyObject* v = value.get();
        if (PyLong_CheckExact(v)) return out.write_formatted(value);
        if (PyUnicode_CheckExact(v)) return out.write_replacing(value, '\'', '"');
        if (is_list_of_texts(v)) {
            out.write("[");
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                if (i) out.write(", ");
                write_text_repr_replacing(out, PyList_GET_ITEM(v, i));
            }
            return out.write("]");
        }
    }
    Ref shown = call_str(str, value);
    if (PyUnicode_CheckExact(shown.get())) return out.write_replacing(shown, '\'', '"');
    out.write_formatted(call_method(shown, n_replace, n_apostrophe, n_double_quote));
}

// Renders `dictionary` at depth `indent` into `out`, as
// __get_event_config_string does.  A nested mapping is rendered by the
// method that `self` resolves to now; when that is this very body, into the
// same writer, one level of nesting deeper.
void render_settings(const Call& call, TextWriter& out, Borrowed self, Borrowed dictionary, Borrowed indent) {
    // "    " * indent: for an int, four spaces per step are written without
    // making the str first.
    Py_ssize_t steps = PyLong_CheckExact(indent.get()) ? PyLong_AsSsize_t(indent) : -1;
    if (steps < 0 || steps > PY_SSIZE_T_MAX / 4) {
        PyErr_Clear();  // an int too large for this: multiply() raises what Python raises
        steps = -1;
    }
    for_each_item(dictionary, [&](const Ref& key, const Ref& value) {
        Ref prefix = steps >= 0 ? Ref() : multiply(n_indent, indent);
        auto write_prefix = [&] { prefix ? out.write_formatted(prefix) : out.fill(' ', 4 * steps); };
        if (is_dict(call, value)) {
            write_prefix();
            out.write_formatted(key);
            out.write_formatted(call_member(self, mangled::get_event_section_translation, key));
            out.write(":\n");
            MethodLookup render = lookup_method(self, mangled::get_event_config_string);
            Ref deeper = add(indent, integer(1));
            if (render.is_own(get_event_config_string)) {
                NestedCall level;
                render_settings(call, out, self, value, deeper);
            } else {
                out.write_formatted(render({value, deeper}));
            }
        } else {
            write_prefix();
            out.write_formatted(key);
            out.write(": ");
            write_shown_value(out, call.global(n_str), value);
            out.write("\n");
        }
    });
    out.write("\n");
}

}  // namespace

Ref show_events(const Call& call) {
    PyObject* self = call.self();
    call_member(self, mangled::load_event_section_translations);

    Ref blocks = new_list();
    for (const Ref& event_id : Iterate(getattr(self, mangled::event_id_list))) {
        Ref config = call_member(self, mangled::get_event_config, event_id);
        Ref rendered = call_member(self, mangled::get_event_config_string, config);
        append(blocks, concat({n_dashes, format(event_id), n_dashes_newline, format(rendered)}));
    }
    Ref pipepager = module_attribute(call.global(n_pydoc), n_pipepager);
    call_kw(pipepager, {}, {{n_text, join(n_newline, blocks)}, {n_cmd, n_less}});
    return none();
}

Ref get_event_config(const Call& call) {
    PyObject* self = call.self();
    PyObject* event_id = call[1];

    Ref group_id = call_member(self, mangled::get_event_group, event_id);
    if (group_id.get() == Py_None) raise_no_group(event_id, getattr(self, mangled::default_config_dir));

    Ref defaults_file = true_divide(true_divide(getattr(self, mangled::default_config_dir), group_id), event_id);
    Ref default_settings = load_json(call, defaults_file, as_is);
    if (!default_settings) unbound("default_settings");

    Ref current_settings = new_dict();
    if (truthy(call_method(getattr(self, mangled::current_config_file), n_exists))) {
        Ref entry = load_json(call, getattr(self, mangled::current_config_file),
                              [&](Ref current_config) { return get_or_empty(current_config, event_id); });
        if (entry) current_settings = entry;
    }

    if (!contains(current_settings, n_enabled)) call_method(default_settings, n_setdefault, n_enabled, n_one);

    merge_settings(call, default_settings, current_settings);

    return call_member(self, mangled::sort_nested_dict, default_settings);
}

// The recursion through ZornaAdminEvents.__sort_nested_dict is a loop over a
// stack of the mappings being sorted while that name resolves to this very
// body, so that no depth of nesting can exhaust the C stack.  The look-ups,
// calls and stores are those of the recursive method, in the same order.
Ref sort_nested_dict(const Call& call) {
    struct Level {
        Ref ordered;
        KeysAndValues items;
        Ref pending_key;  // the key whose value is being sorted one level deeper
    };
    std::vector<Level> levels;
    Ref ordered = sorted_copy(call, call[0]);
    levels.push_back({ordered, KeysAndValues(ordered), Ref()});
    Ref key, value;
    while (true) {
        Level& level = levels.back();
        if (!level.items.next(key, value)) {
            Ref done = level.ordered;
            levels.pop_back();
            if (levels.empty()) return done;
            setitem(levels.back().ordered, levels.back().pending_key, done);
            continue;
        }
        if (!is_dict(call, value)) continue;
        Ref sort = lookup_class_attribute(call.global(n_ZornaAdminEvents), mangled::sort_nested_dict);
        if (is_own_function(sort, sort_nested_dict)) {
            level.pending_key = key;
            Ref nested = sorted_copy(call, value);
            levels.push_back({nested, KeysAndValues(nested), Ref()});
        } else {
            setitem(level.ordered, key, call_found(sort, {value}));
        }
    }
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
            Ref json_decode_error = module_attribute(module_attribute(call.global(n_json), n_decoder), n_JSONDecodeError);
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

    Ref entry = get_or_empty(translations, call[1]);
    if (contains(entry, n_ru)) return concat({n_open_paren, format(getitem(entry, n_ru)), n_close_paren});
    return Ref::borrow(n_empty.get());
}

Ref get_event_config_string(const Call& call) {
    TextWriter out;
    render_settings(call, out, call.self(), call[1], call[2]);
    return out.finish();
}

}  // namespace zae
