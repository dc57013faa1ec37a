// Event configuration view: an event's defaults overlaid with the current configuration,
// sorted, and rendered as indented text with translated sections.
#include <cerrno>
#include <memory_resource>
#include <vector>

#include "admin_events.hpp"
#include "text/repr.hpp"

namespace zae {

namespace {

// isinstance(value, dict): while both names are remembered as the builtins (a look-up would run
// nothing), the type test without the look-ups, for a value that cannot claim another __class__.
[[gnu::always_inline]] inline bool is_dict(const Module& module, Borrowed value) {
    PyObject* found = module.remembered(n::isinstance);
    if (found && module.remembered(n::dict) == reinterpret_cast<PyObject*>(&PyDict_Type) &&
        state.is_builtin(Builtin::isinstance, found)) {
        if (PyDict_Check(value.get())) return true;
        if (is_plain_data_type(Py_TYPE(value.get()))) return false;
    }
    Ref isinstance_ = module.global(n::isinstance);
    return isinstance(isinstance_, value, module.global(n::dict));
}

// with path.open() as f: <use>(json.load(f)).  Empty when __exit__ swallowed an error.
template <class Use>
Ref load_json(const Module& module, Borrowed path, Use&& use) {
    Ref file = call_method(path, n::open);
    return with_block(file, [&](Borrowed f) { return use(call_method(module.global(n::json), n::load, f)); });
}

// mapping.get(key, {}): an exact dict read directly, the empty dict made only when it is the answer.
Ref get_or_empty(Borrowed mapping, Borrowed key) {
    if (fast_paths && PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
        return new_dict();
    }
    return call_method(mapping, n::get, key, new_dict());
}

// The plain algorithm joins the path with None for an event that no group lists, and fails with
// a TypeError that names neither; here the error is a missing file's, naming both.
[[noreturn]] void raise_no_group(Borrowed event_id, Borrowed default_config_dir) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Event %R belongs to no group: no defaults file for it in any group directory", event_id.get()));
    Ref error = call(PyExc_FileNotFoundError, integer(ENOENT), message, str(default_config_dir));
    PyErr_SetObject(PyExc_FileNotFoundError, error.get());
    raise();
}

// merge_settings(default_settings, current_settings), the nested function, its recursion a loop
// over a stack of the mappings being merged (no depth exhausts the C stack), same calls, same order.
void merge_settings(const Module& module, Borrowed default_settings, Borrowed current_settings) {
    std::vector<std::pair<Ref, Items>> levels;  // default_settings, current_settings.items()
    levels.emplace_back(Ref::borrow(default_settings), Items(current_settings));
    Ref k, v;
    while (!levels.empty()) {
        if (!levels.back().second.next(k, v)) {
            levels.pop_back();
            continue;
        }
        Ref defaults = levels.back().first;
        if (is_dict(module, v)) {                                    // if isinstance(v, dict) and
            Ref isinstance_ = module.global(n::isinstance);          //    isinstance(default_settings.get(k), dict):
            Ref found = call_method(defaults, n::get, k);
            if (isinstance(isinstance_, found, module.global(n::dict))) {
                levels.emplace_back(getitem(defaults, k), Items(v));  // merge_settings(default_settings[k], v)
                continue;
            }
        }
        setitem(defaults, k, v);                                     // else: default_settings[k] = v
    }
}

// ---- the sort ------------------------------------------------------------------------
// Settings nest a few levels deep, with a few keys each: the sort's work space starts on the stack.
constexpr std::size_t levels_on_stack = 8, keys_on_stack = 32;

// A key of the sort below, its text read once (one byte per character; else null).
struct SortKey {
    PyObject *key, *value;
    const char* bytes;
    Py_ssize_t length;

    // As `<` orders str: by code point, a prefix first.
    bool operator<(const SortKey& other) const {
        if (!bytes || !other.bytes) return PyUnicode_Compare(key, other.key) < 0;  // cannot fail for two str
        Py_ssize_t n = std::min(length, other.length), i = 0;
        while (i < n && bytes[i] == other.bytes[i]) ++i;  // keys are short: compared here, not by memcmp
        return i < n ? static_cast<unsigned char>(bytes[i]) < static_cast<unsigned char>(other.bytes[i])
                     : length < other.length;
    }
};

// dict(sorted(mapping.items())).  For the builtins and an exact dict of exact str keys, ordering
// the pairs is ordering the distinct keys: the new dict is filled from the items sorted where they
// are.  Only its allocation may run code (up to 3.11): a change of `mapping` then sends the copy
// down the generic path.
Ref sorted_dict_copy(Borrowed dict, Borrowed sorted, Borrowed mapping) {
    if (is_type(dict, PyDict_Type) && state.is_builtin(Builtin::sorted, sorted) && PyDict_CheckExact(mapping.get())) {
        auto size = static_cast<std::size_t>(PyDict_GET_SIZE(mapping.get()));
        SortKey room[keys_on_stack];
        std::vector<SortKey> heap(size > keys_on_stack ? size : 0);
        SortKey *items = heap.empty() ? room : heap.data(), *end = items, *last = items + size;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        bool texts = true;
        while (texts && end != last && PyDict_Next(mapping, &position, &key, &value)) {
            texts = is_ready_text(key);
            bool narrow = texts && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND;
            *end++ = {key, value, narrow ? static_cast<const char*>(PyUnicode_DATA(key)) : nullptr,
                      texts ? PyUnicode_GET_LENGTH(key) : 0};
        }
        if (texts) {
            NestedCall sorting, comparing;  // sorted()'s level, and one for its comparisons (a debug build checks them)
            // Keys already in order: the dict's own copy, made without a look-up per key.
            if (std::is_sorted(items, end)) return Ref::steal(PyDict_Copy(mapping));
            std::sort(items, end);
            std::uint64_t version = compat::version_across_allocation(mapping);
            Ref result = Ref::steal(compat::new_dict_presized(static_cast<Py_ssize_t>(end - items)));
            if (version == compat::version_across_allocation(mapping)) {
                for (auto* i = items; i != end; ++i) check(PyDict_SetItem(result.get(), i->key, i->value));
                return result;
            }
        }
    }
    return call(dict, call(sorted, call_method(mapping, n::items)));
}

// for key in ordered: if isinstance(ordered[key], dict):
//     ordered[key] = ZornaAdminEvents.__sort_nested_dict(ordered[key])
void sort_values(const Module& module, Borrowed ordered) {
    for (Ref key : Iterate(ordered)) {
        if (!is_dict(module, getitem(ordered, key))) continue;
        Ref sort = attribute(module.global(n::ZornaAdminEvents), mangled::sort_nested_dict);
        setitem(ordered, key, call(sort, getitem(ordered, key)));
    }
}

// The accelerator of __sort_nested_dict: a loop over a stack of the mappings being sorted (no depth
// exhausts the C stack), a nested dict's level pushed instead of called while
// ZornaAdminEvents.__sort_nested_dict is this very method.  Same look-ups, calls and stores.
Ref sort_in_place(const Module& module, Borrowed dictionary) {
    struct Level {
        Ref ordered, pending_key;  // pending_key: sorted one level deeper
        Items items;
    };
    alignas(Level) std::byte room[levels_on_stack * sizeof(Level)];
    std::pmr::monotonic_buffer_resource arena(room, sizeof room);
    std::pmr::vector<Level> levels(&arena);
    levels.reserve(levels_on_stack);
    // ordered = dict(sorted(dictionary.items())): a level to walk, or, when
    // `dict` gave another kind of mapping, that mapping sorted as Python does.
    auto sort_level = [&](Borrowed mapping) -> Ref {
        Ref dict = module.global(n::dict);
        Ref ordered = sorted_dict_copy(dict, module.global(n::sorted), mapping);
        if (PyDict_CheckExact(ordered.get())) {
            levels.push_back({ordered, Ref(), Items(ordered)});
            return Ref();
        }
        sort_values(module, ordered);
        return ordered;
    };
    Ref done = sort_level(dictionary), key, value;
    while (true) {
        if (!done) {
            Level& level = levels.back();
            if (level.items.next(key, value)) {  // for key in ordered:
                // The value walked is ordered[key], unless a key that is not an exact str finds another by its hash.
                if (!PyUnicode_CheckExact(key.get())) value = getitem(level.ordered, key);
                if (!is_dict(module, value)) continue;
                Ref sort = attribute(module.global(n::ZornaAdminEvents), mangled::sort_nested_dict);
                value = getitem(level.ordered, key);  // read again after the look-up, which may have run code
                if (!is_own_function(sort, body_of<private_method::sort_nested_dict>)) {
                    setitem(level.ordered, key, call(sort, value));
                    continue;
                }
                level.pending_key = key;
                done = sort_level(value);
                continue;
            }
            done = level.ordered;
            levels.pop_back();
        }
        if (levels.empty()) return done;
        setitem(levels.back().ordered, levels.back().pending_key, done);
        done = Ref();
    }
}

// ---- the rendering -------------------------------------------------------------------
// `result` of one rendering: the text written to `out` since it began while every piece is an
// exact str; from the first that is not (an override's), a str to which pieces are added by +=.
class Result {
public:
    explicit Result(TextWriter& out) : out_(out), start_(out.size()) {}

    // result += <the text written since `mark`> + nested (empty: written in place too).
    void add_written(Py_ssize_t mark, Ref nested = Ref()) {
        if (object_ || (nested && !PyUnicode_CheckExact(nested.get()))) {
            Ref piece = out_.take(mark);
            if (nested) piece = add(piece, nested);
            if (!object_) object_ = out_.take(start_);
            object_ = Ref::steal(PyNumber_InPlaceAdd(object_.get(), piece.get()));
        } else if (nested) {
            out_.write(nested);
        }
    }
    // return result + "\n": empty when the result stands in `out`.
    Ref plus_newline() {
        if (object_) return add(object_, n::newline);
        out_.write("\n");
        return Ref();
    }

private:
    TextWriter& out_;
    Py_ssize_t start_;
    Ref object_;
};

// prefix = "    " * indent, made for each item and written (for an int, as spaces counted out).
struct Prefix {
    Borrowed indent;  // the rendering's parameter: its caller holds it
    Ref made;

    explicit Prefix(Borrowed indent_) : indent(indent_) {
        Py_ssize_t steps = fast_paths && PyLong_CheckExact(indent.get()) ? PyLong_AsSsize_t(indent) : -1;
        if (steps < 0 || steps > PY_SSIZE_T_MAX / 4) {
            PyErr_Clear();  // an int too large for a count: multiply() raises what Python raises
            made = multiply(n::indent, indent);
        }
    }
    void write(TextWriter& out) const {
        if (made) return out.write_formatted(made);
        out.fill(' ', 4 * PyLong_AsSsize_t(indent));
    }
};

// What __get_event_section_translation puts in parentheses: entry['ru'], or empty for "".
Ref russian_section_name(PyObject* self, Borrowed key) {
    Ref translations = getattr(self, mangled::event_section_translations);
    if (!truthy(translations)) return Ref();      // if not self.__event_section_translations: return ""
    Ref entry = get_or_empty(translations, key);  // entry = ....get(key, {})
    if (!contains(entry, n::ru)) return Ref();     // if "ru" in entry:
    return getitem(entry, n::ru);                  //     return f"({entry['ru']})"
}

Ref render(const Module& module, TextWriter& out, PyObject* self, Borrowed dictionary, Borrowed indent);

// {self.__get_event_section_translation(key)} and self.__get_event_config_string(value, indent + 1):
// the accelerator writes the text in place, one level deeper, while `self` resolves the name to
// the module's own method; else the method is called.
void write_translation(TextWriter& out, PyObject* self, Borrowed key) {
    MethodLookup translate = lookup_method(self, mangled::get_event_section_translation);
    bool accepted = PyUnicode_CheckExact(key.get()) || key.get() == Py_None;  // the method's type rule
    if (!accepted || !translate.is_own<private_method::get_event_section_translation>()) {
        return out.write_formatted(translate({key}));
    }
    NestedCall level;
    if (Ref name = russian_section_name(self, key)) {
        out.write("(");
        out.write_formatted(name);
        out.write(")");
    }
}
Ref render_nested(const Module& module, TextWriter& out, PyObject* self, Borrowed value, Borrowed indent) {
    MethodLookup nested = lookup_method(self, mangled::get_event_config_string);
    Ref deeper = add(indent, integer(1));
    if (!nested.is_own<private_method::get_event_config_string>()) return nested({value, deeper});
    NestedCall level;
    return render(module, out, self, value, deeper);
}

// __get_event_config_string(self, dictionary, indent) written to `out`: empty when the text stands
// in `out`, else what the rendering came to.
Ref render(const Module& module, TextWriter& out, PyObject* self, Borrowed dictionary, Borrowed indent) {
    Result result(out);                                  // result = ""
    for (auto& [key, value] : Items(dictionary)) {       // for key, value in dictionary.items():
        Prefix prefix(indent);                           //     prefix = "    " * indent
        Py_ssize_t piece = out.size();
        if (is_dict(module, value)) {                    //     if isinstance(value, dict):
            prefix.write(out);                           //         result += f"{prefix}{key}{
            out.write_formatted(key);                    //             self.__get_event_section_translation(key)}:\n"
            write_translation(out, self, key);           //             + self.__get_event_config_string(
            out.write(":\n");                            //                 value, indent + 1)
            result.add_written(piece, render_nested(module, out, self, value, indent));
        } else {                                         //     else:
            prefix.write(out);                           //         result += f"{prefix}{key}: {
            out.write_formatted(key);                    //             str(value).replace("'", '"')}\n"
            out.write(": ");
            write_str_replacing_quotes(out, module.global(n::str), value, n::replace);
            out.write("\n");
            result.add_written(piece);
        }
    }
    return result.plus_newline();                        // return result + "\n"
}

}  // namespace

Ref method::show_events(const Module& module, PyObject* self) {
    call_method(self, mangled::load_event_section_translations);
    Ref blocks = new_list();
    for (Ref event_id : Iterate(getattr(self, mangled::event_id_list))) {
        Ref config = call_method(self, mangled::get_event_config, event_id);
        Ref rendered = call_method(self, mangled::get_event_config_string, config);
        append(blocks, concat({n::dashes, format(event_id), n::dashes_newline, format(rendered)}));
    }
    Ref pipepager = attribute(module.global(n::pydoc), n::pipepager);
    call_kw(pipepager, {}, {{n::text, join(n::newline, blocks)}, {n::cmd, n::less}});
    return none();
}

Ref private_method::get_event_config(const Module& module, PyObject* self, PyObject* event_id) {
    Ref group_id = call_method(self, mangled::get_event_group, event_id);
    if (group_id.get() == Py_None) raise_no_group(event_id, getattr(self, mangled::default_config_dir));
    Ref defaults_file = true_divide(true_divide(getattr(self, mangled::default_config_dir), group_id), event_id);
    Ref default_settings = load_json(module, defaults_file, [](Ref document) { return document; });
    if (!default_settings) {  // the with-block's __exit__ swallowed the error, leaving the variable unbound
        raise(PyExc_UnboundLocalError,
              "cannot access local variable 'default_settings' where it is not associated with a value");
    }
    Ref current_settings = new_dict();
    if (truthy(call_method(getattr(self, mangled::current_config_file), n::exists))) {
        Ref current_config_file = getattr(self, mangled::current_config_file);
        Ref entry = load_json(module, current_config_file, [&](Ref config) { return get_or_empty(config, event_id); });
        if (entry) current_settings = entry;
    }
    if (!contains(current_settings, n::enabled)) call_method(default_settings, n::setdefault, n::enabled, n::one);
    merge_settings(module, default_settings, current_settings);
    return call_method(self, mangled::sort_nested_dict, default_settings);
}

Ref private_method::sort_nested_dict(const Module& module, PyObject* dictionary) {
    if (fast_paths) return sort_in_place(module, dictionary);
    Ref dict = module.global(n::dict);
    Ref sorted = module.global(n::sorted);
    Ref ordered = call(dict, call(sorted, call_method(dictionary, n::items)));
    sort_values(module, ordered);
    return ordered;
}

Ref private_method::load_event_section_translations(const Module& module, PyObject* self) {
    if (not_equal(module.global(n::LANG), n::name_ru)) return none();
    try {
        Ref file = getattr(self, mangled::param_ru_translations_file);
        load_json(module, file, [&](Ref translations) {
            setattr(self, mangled::event_section_translations, translations);
            return translations;
        });
    } catch (const PythonError&) {
        CaughtError caught;
        Ref file_not_found = module.global(n::FileNotFoundError);
        Ref decode_error = attribute(attribute(module.global(n::json), n::decoder), n::JSONDecodeError);
        if (!caught.matches(tuple_of({file_not_found, decode_error}))) caught.reraise();
    }
    return none();
}

Ref private_method::get_event_section_translation(const Module&, PyObject* self, PyObject* key) {
    Ref name = russian_section_name(self, key);
    if (!name) return Ref::borrow(state.str(n::empty));
    return concat({n::open_paren, format(name), n::close_paren});
}

Ref private_method::get_event_config_string(const Module& module, PyObject* self, PyObject* dictionary,
                                            PyObject* indent) {
    TextWriter out;
    Ref result = render(module, out, self, dictionary, indent);
    return result ? result : out.finish();
}

}  // namespace zae
