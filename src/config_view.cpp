// Event configuration view: an event's defaults overlaid with the current
// configuration, sorted, and rendered as indented text with translated sections.
#include <cerrno>
#include <cstddef>
#include <memory_resource>
#include <optional>
#include <type_traits>
#include <vector>

#include "admin_events.hpp"
#include "text/repr.hpp"

namespace zae {

namespace {

Name n_json{"json"}, n_pydoc{"pydoc"}, n_LANG{"LANG"}, n_ZornaAdminEvents{"ZornaAdminEvents"};
Name n_isinstance{"isinstance"}, n_dict{"dict"}, n_str{"str"}, n_sorted{"sorted"}, n_FileNotFoundError{"FileNotFoundError"};
Name n_load{"load"}, n_decoder{"decoder"}, n_JSONDecodeError{"JSONDecodeError"};
Name n_open{"open"}, n_exists{"exists"}, n_items{"items"}, n_get{"get"}, n_setdefault{"setdefault"},
    n_replace{"replace"}, n_pipepager{"pipepager"}, n_text{"text"}, n_cmd{"cmd"};
Name n_enabled{"enabled"}, n_one{"1"}, n_ru{"ru"}, n_name_ru{"name_ru"};
Name n_empty{""}, n_newline{"\n"}, n_indent{"    "};
Name n_open_paren{"("}, n_close_paren{")"}, n_dashes{"----------"}, n_dashes_newline{"----------\n"};
Name n_less{"less -R"};

// isinstance(value, dict) while both names are remembered as the builtins
// (so that looking them up again runs nothing): the type test of
// call_isinstance, without the look-ups.  None for an object that is no
// dict and may claim a class through __class__.
[[gnu::always_inline]] inline std::optional<bool> is_dict_as_remembered(const Call& call, Borrowed value) {
    PyObject* isinstance_ = call.remembered(n_isinstance);
    if (!isinstance_ || call.remembered(n_dict) != reinterpret_cast<PyObject*>(&PyDict_Type) ||
        !builtin_isinstance.is(isinstance_)) {
        return std::nullopt;
    }
    if (PyDict_Check(value.get())) return true;
    if (is_plain_data_type(Py_TYPE(value.get()))) return false;
    return std::nullopt;
}

// isinstance(value, dict): dict subclasses count.
// `value` may be a callable computing the value, which then runs after
// `isinstance` is looked up, as Python evaluates the call.
template <class Value>
[[gnu::noinline]] bool is_dict_looked_up(const Call& call, Value&& value) {
    Ref isinstance_ = call.global(n_isinstance);
    if constexpr (std::is_invocable_v<Value>) {
        Ref computed = value();
        return call_isinstance(isinstance_, computed, call.global(n_dict));
    } else {
        return call_isinstance(isinstance_, value, call.global(n_dict));
    }
}
template <class Value>
[[gnu::always_inline]] inline bool is_dict(const Call& call, Value&& value) {
    if constexpr (!std::is_invocable_v<Value>) {
        if (std::optional<bool> known = is_dict_as_remembered(call, value)) return *known;
    }
    return is_dict_looked_up(call, std::forward<Value>(value));
}

// with path.open() as f: <use>(json.load(f)) -- the parsed document is used
// inside the block, as the with statements of the view do.  Empty when
// __exit__ swallowed an error.
template <class Use>
Ref load_json(const Call& call, Borrowed path, Use&& use) {
    Ref file = call_method(path, n_open);
    return with_block(file, [&](Borrowed f) { return use(call_attribute(call.global(n_json), n_load, f)); });
}

// mapping.get(key, {}): an exact dict (whose get() cannot be replaced) is
// read directly, and the empty dict made only when it is the answer.
Ref get_or_empty(Borrowed mapping, Borrowed key) {
    if (fast_paths && PyDict_CheckExact(mapping.get())) {
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
    if (fast_paths && PyDict_CheckExact(mapping.get())) {
        for (const auto& [key, value] : DictItems(mapping)) body(key, value);
        return;
    }
    for (const Ref& item : Iterate(call_method(mapping, n_items))) {
        auto [key, value] = unpack_pair(item);
        body(key, value);
    }
}

// prefix = "    " * indent, made for each item and written: for an int,
// four spaces per step are counted out, once, without making the str.
class Prefix {
public:
    explicit Prefix(Borrowed indent) : indent_(indent) {
        Py_ssize_t steps = fast_paths && PyLong_CheckExact(indent.get()) ? PyLong_AsSsize_t(indent) : -1;
        if (steps >= 0 && steps <= PY_SSIZE_T_MAX / 4) spaces_ = 4 * steps;
        else PyErr_Clear();  // an int too large for a count: multiply() raises what Python raises
    }
    void make() {
        if (spaces_ < 0) text_ = multiply(n_indent, indent_);
    }
    void write(TextWriter& out) const { text_ ? out.write_formatted(text_) : out.fill(' ', spaces_); }

private:
    Borrowed indent_;  // the rendering's parameter: its caller holds it
    Py_ssize_t spaces_ = -1;
    Ref text_;
};

// `result` of one rendering, from `result = ""` through each `result +=
// piece`: the text written to `out` since the rendering began, as long as
// every piece is an exact str (all that the module's own rendering makes);
// from the first piece that is not (what an override returned), that text
// as a str, to which the pieces are added by the protocol.
class Result {
public:
    explicit Result(TextWriter& out) : out_(out), start_(out.size()) {}

    // result += <the text written since `mark`> + nested (nothing more when
    // `nested` is empty: its text was written in place too).
    void add_written(Py_ssize_t mark, Ref nested = Ref()) {
        if (!object_ && (!nested || PyUnicode_CheckExact(nested.get()))) {
            if (nested) out_.write(nested);
            return;
        }
        add_by_protocol(mark, nested);
    }

    // result + text: empty when the result stands in `out`.
    Ref plus(std::string_view ascii) {
        if (!object_) {
            out_.write(ascii);
            return Ref();
        }
        return add(object_, text(ascii));
    }

private:
    [[gnu::noinline]] void add_by_protocol(Py_ssize_t mark, Borrowed nested) {
        Ref piece = out_.take(mark);
        if (nested.get()) piece = add(piece, nested);
        if (!object_) object_ = out_.take(start_);
        object_ = Ref::steal(PyNumber_InPlaceAdd(object_.get(), piece.get()));
    }

    TextWriter& out_;
    Py_ssize_t start_;
    Ref object_;
};

// The translation __get_event_section_translation(self, key) puts in
// parentheses: entry['ru'] of the key's entry in the section translations,
// or empty when the method gives "".
Ref russian_section_name(Borrowed self, Borrowed key) {
    Ref translations = getattr(self, mangled::event_section_translations);
    if (!truthy(translations)) return Ref();             // if not self.__event_section_translations: return ""
    Ref entry = get_or_empty(translations, key);         // entry = ....get(key, {})
    if (!contains(entry, n_ru)) return Ref();            // if "ru" in entry:
    return getitem(entry, n_ru);                         //     return f"({entry['ru']})"
}

// f"...{self.__get_event_section_translation(key)}...": when `self` resolves
// the name to this very body and the key is of the type it accepts (str or
// None), its text written in place, one level of nesting deeper, without
// the str.
void write_section_translation(TextWriter& out, Borrowed self, Borrowed key) {
    MethodLookup translate = lookup_method(self, mangled::get_event_section_translation);
    bool accepted = PyUnicode_CheckExact(key.get()) || key.get() == Py_None;
    if (fast_paths && accepted && translate.is_own(get_event_section_translation)) {
        NestedCall level;
        if (Ref name = russian_section_name(self, key)) {
            out.write("(");
            out.write_formatted(name);
            out.write(")");
        }
        return;
    }
    out.write_formatted(translate({key}));
}

Ref render_settings(const Call& call, TextWriter& out, Borrowed self, Borrowed dictionary, Borrowed indent);

// self.__get_event_config_string(value, indent + 1): when `self` resolves the
// name to this very body, rendered in place, one level of nesting deeper.
Ref render_nested(const Call& call, TextWriter& out, Borrowed self, Borrowed value, Borrowed indent) {
    MethodLookup render = lookup_method(self, mangled::get_event_config_string);
    Ref deeper = add(indent, integer(1));
    if (fast_paths && render.is_own(get_event_config_string)) {
        NestedCall level;
        return render_settings(call, out, self, value, deeper);
    }
    return render({value, deeper});
}

// __get_event_config_string(self, dictionary, indent), written to `out`:
// empty when the text stands in `out` (from where it was when the call
// began), else what the rendering came to.
Ref render_settings(const Call& call, TextWriter& out, Borrowed self, Borrowed dictionary, Borrowed indent) {
    Result result(out);                                                // result = ""
    Prefix prefix(indent);
    for_each_item(dictionary, [&](const Ref& key, const Ref& value) {  // for key, value in dictionary.items():
        prefix.make();                                                 //     prefix = "    " * indent
        Py_ssize_t piece = out.size();
        if (is_dict(call, value)) {                                    //     if isinstance(value, dict):
            // result += f"{prefix}{key}{self.__get_event_section_translation(key)}:\n" +
            //           self.__get_event_config_string(value, indent + 1)
            prefix.write(out);
            out.write_formatted(key);
            write_section_translation(out, self, key);
            out.write(":\n");
            result.add_written(piece, render_nested(call, out, self, value, indent));
        } else {
            // result += f"{prefix}{key}: {str(value).replace("'", '"')}\n"
            prefix.write(out);
            out.write_formatted(key);
            out.write(": ");
            write_str_replacing_quotes(out, call.global(n_str), value, n_replace);
            out.write("\n");
            result.add_written(piece);
        }
    });
    return result.plus("\n");                                          // return result + "\n"
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
    Ref default_settings = load_json(call, defaults_file, [](Ref document) { return document; });
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
    // Settings nest a few levels deep: their stack starts in this frame.
    alignas(Level) std::byte room[8 * sizeof(Level)];
    std::pmr::monotonic_buffer_resource arena(room, sizeof room);
    std::pmr::vector<Level> levels(&arena);
    levels.reserve(8);
    // ordered = dict(sorted(dictionary.items())); for key in ordered: ...
    auto push_level = [&](Borrowed dictionary) {
        Ref ordered = sorted_copy(call, dictionary);
        levels.push_back({ordered, KeysAndValues(ordered), Ref()});
    };
    push_level(call[0]);
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
        // if isinstance(ordered[key], dict): the item walked is ordered[key],
        // unless a key that is not an exact str finds another by its hash.
        if (!PyUnicode_CheckExact(key.get())) value = getitem(level.ordered, key);
        if (!is_dict(call, value)) continue;
        // ordered[key] = ZornaAdminEvents.__sort_nested_dict(ordered[key]):
        // read again after the look-ups, as Python does (they, and
        // isinstance, may have run code that stored another value there).
        Ref sort = lookup_class_attribute(call.global(n_ZornaAdminEvents), mangled::sort_nested_dict);
        value = getitem(level.ordered, key);
        if (is_own_function(sort, sort_nested_dict)) {
            level.pending_key = key;
            push_level(value);
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
        Ref file_not_found = call.global(n_FileNotFoundError);
        Ref json_decode_error = module_attribute(module_attribute(call.global(n_json), n_decoder), n_JSONDecodeError);
        if (caught.matches(tuple_of({file_not_found, json_decode_error}))) return none();
        caught.reraise();
    }
    return none();
}

Ref get_event_section_translation(const Call& call) {
    Ref name = russian_section_name(call.self(), call[1]);
    if (!name) return Ref::borrow(n_empty.get());
    return concat({n_open_paren, format(name), n_close_paren});
}

Ref get_event_config_string(const Call& call) {
    TextWriter out;
    Ref result = render_settings(call, out, call.self(), call[1], call[2]);
    return result ? result : out.finish();
}

}  // namespace zae
