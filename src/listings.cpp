// Status listings: the descriptions of all events and groups, and the
// aligned, coloured status listings shown through the pager.
#include <tuple>
#include <vector>

#include "admin_events.hpp"

namespace zae {

namespace {

Name n_zorna_events{"zorna_events"}, n_pydoc{"pydoc"}, n_max{"max"}, n_len{"len"}, n_LANG{"LANG"}, n_Color{"Color"};
Name n_get_event_ids_ex{"get_event_ids_ex"}, n_get_group_ids_ex{"get_group_ids_ex"}, n_get_group_ids{"get_group_ids"};
Name n_is_event_enabled{"is_event_enabled"}, n_pipepager{"pipepager"}, n_cmd{"cmd"};
Name n_split{"split"}, n_items{"items"}, n_GREY{"GREY"}, n_END{"END"};
Name n_comma{","}, n_name_en{"name_en"}, n_name_ru{"name_ru"};
Name n_space{" "}, n_newline{"\n"}, n_empty{""}, n_less{"less -R"};

// A range of a str's characters, and every bit set in some character of it
// (which tells the class of the widest one: below 0x80, 0x100, 0x10000).
struct Range {
    Py_ssize_t start = 0, end = 0;
    Py_UCS4 bits = 0;
};

template <class From, class To>
void copy_units(const From* __restrict from, To* __restrict to, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

// The characters of `range`, from data of `Char` units, as a new str of the
// narrowest width that holds them (what slicing gives).
template <class Char>
Ref piece(const Char* data, Range range) {
    Py_UCS4 max_char = range.bits < 0x80 ? 0x7f : range.bits < 0x100 ? 0xff : range.bits < 0x10000 ? 0xffff : 0x10ffff;
    Py_ssize_t n = range.end - range.start;
    Ref result = Ref::steal(PyUnicode_New(n, max_char));
    void* out = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND: copy_units(data + range.start, static_cast<Py_UCS1*>(out), n); break;
        case PyUnicode_2BYTE_KIND: copy_units(data + range.start, static_cast<Py_UCS2*>(out), n); break;
        default: copy_units(data + range.start, static_cast<Py_UCS4*>(out), n); break;
    }
    return result;
}

// The index of the first comma at or after `from` in data of `Char` units,
// or -1.  The bytes are searched (memchr); a byte that is a comma belongs to
// a comma only at the start of a unit that is one.
template <class Char>
Py_ssize_t find_comma(const Char* data, Py_ssize_t from, Py_ssize_t length) {
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t at = static_cast<std::size_t>(from) * sizeof(Char), end = static_cast<std::size_t>(length) * sizeof(Char);
    while (at < end) {
        const void* found = std::memchr(bytes + at, ',', end - at);
        if (!found) return -1;
        at = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
        if (at % sizeof(Char) == 0 && data[at / sizeof(Char)] == ',') return static_cast<Py_ssize_t>(at / sizeof(Char));
        ++at;
    }
    return -1;
}

// The range start to end of data of `Char` units, with its bits (none to
// find in an ASCII str).
template <class Char>
Range range_of(const Char* data, Py_ssize_t start, Py_ssize_t end, bool ascii) {
    Py_UCS4 bits = 0;
    if (!ascii) {
        for (Py_ssize_t i = start; i < end; ++i) bits |= data[i];
    }
    return {start, end, bits};
}

// The fields ID, <en>, <ru> of a record of `Char` units with at least two
// commas: the text before the first comma, and the next two fields without
// their first and last character.  False when there are fewer commas.
template <class Char>
bool cut_record(const Char* data, Py_ssize_t length, bool ascii, std::tuple<Ref, Ref, Ref>& fields) {
    Py_ssize_t first = find_comma(data, 0, length);
    Py_ssize_t second = first < 0 ? -1 : find_comma(data, first + 1, length);
    if (second < 0) return false;
    Py_ssize_t third = find_comma(data, second + 1, length);
    if (third < 0) third = length;
    auto inner = [&](Py_ssize_t start, Py_ssize_t end) {
        return end - start >= 2 ? range_of(data, start + 1, end - 1, ascii) : Range{};
    };
    fields = {piece(data, range_of(data, 0, first, ascii)), piece(data, inner(first + 1, second)),
              piece(data, inner(second + 1, third))};
    return true;
}

// content = record.split(","); content[0], content[1][1:-1], content[2][1:-1].
// For an exact str with at least two commas the three fields are cut out
// directly, without the list of every field.
std::tuple<Ref, Ref, Ref> record_fields(Borrowed record) {
    PyObject* s = record.get();
    std::tuple<Ref, Ref, Ref> fields;
    if (PyUnicode_CheckExact(s) && compat::ready(s) == 0) {
        const void* data = PyUnicode_DATA(s);
        Py_ssize_t length = PyUnicode_GET_LENGTH(s);
        bool ascii = PyUnicode_IS_ASCII(s);
        bool cut = false;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: cut = cut_record(static_cast<const Py_UCS1*>(data), length, ascii, fields); break;
            case PyUnicode_2BYTE_KIND: cut = cut_record(static_cast<const Py_UCS2*>(data), length, ascii, fields); break;
            default: cut = cut_record(static_cast<const Py_UCS4*>(data), length, ascii, fields); break;
        }
        if (cut) return fields;
    }
    PyErr_Clear();  // a str that could not be made ready: split() reports it
    Ref content = call_method(record, n_split, n_comma);
    return {getitem(content, 0), slice(getitem(content, 1), 1, -1), slice(getitem(content, 2), 1, -1)};
}

// The map from each ID to its English and Russian descriptions, built from the
// records that `operation` of the event service returns: "ID,<en>,<ru>[,...]",
// each name wrapped in one delimiter character at either end.
Ref load_descriptions(const Call& call, Name& operation) {
    Ref record_list = call_attribute(call.global(n_zorna_events), operation, integer(2));
    Ref result = new_dict();
    for (Ref record : Iterate(record_list)) {
        auto [key, name_en, name_ru] = record_fields(record);
        Ref names = new_dict();
        setitem(names, n_name_en, name_en);
        setitem(names, n_name_ru, name_ru);
        setitem(result, key, names);
    }
    return result;
}

}  // namespace

Ref show_all_groups(const Call& call) {
    setattr(call.self(), mangled::group_id_list, call_attribute(call.global(n_zorna_events), n_get_group_ids));
    call_member(call.self(), mangled::show_groups);
    return none();
}

Ref show_groups(const Call& call) {
    call_member(call.self(), mangled::show_groups);
    return none();
}

Ref show_groups_private(const Call& call) {
    Ref result_strings = new_list();
    Ref event_status = call_member(call.self(), mangled::get_grouped_events, getattr(call.self(), mangled::group_id_list));
    for (Ref item : Iterate(call_method(event_status, n_items))) {
        auto [group_id, events] = unpack_pair(item);
        append(result_strings, call_member(call.self(), mangled::get_group_string, group_id));
        append(result_strings, add(call_member(call.self(), mangled::get_multiple_string, events), n_newline));
    }
    Ref pipepager = module_attribute(call.global(n_pydoc), n_pipepager);
    call_kw(pipepager, {join(n_newline, result_strings)}, {{n_cmd, n_less}});
    return none();
}

namespace {

// description_map[_id][LANG], evaluated left to right.
Ref description(const Call& call, Name& description_map, Borrowed id) {
    Ref by_language = getitem(getattr(call.self(), description_map), id);
    return getitem(by_language, call.global(n_LANG));
}

}  // namespace

namespace {

// ' ' * (spacing - len(_id)), written: for counts the spaces are counted out
// without making the str.
void write_filler(TextWriter& out, const Length& spacing, const Length& id_length) {
    if (!spacing.object && !id_length.object) return out.fill(' ', spacing.count - id_length.count);
    Ref spacing_int = spacing.as_object(), id_length_int = id_length.as_object();
    if (PyLong_CheckExact(spacing_int.get()) && PyLong_CheckExact(id_length_int.get())) {
        Py_ssize_t width = PyLong_AsSsize_t(spacing_int.get()), used = PyLong_AsSsize_t(id_length_int.get());
        if (!PyErr_Occurred()) return out.fill(' ', width - used);
        PyErr_Clear();  // too large for a count: multiply() raises what Python raises
    }
    out.write_formatted(multiply(n_space, subtract(spacing_int, id_length_int)));
}

// max(lengths) + 10, where `max` is what the name was found bound to: for
// the builtin and counts only, counted (a max of ints is the largest).
Length longest_plus_ten(Borrowed max, const std::vector<Length>& lengths) {
    if (builtin_max.is(max)) {
        Py_ssize_t longest = -1;
        for (const Length& length : lengths) longest = length.object ? PY_SSIZE_T_MAX : std::max(longest, length.count);
        if (longest < PY_SSIZE_T_MAX - 10) return {longest + 10, Ref()};
    }
    Ref list = new_list();
    for (const Length& length : lengths) append(list, length.as_object());
    return {-1, add(zae::call(max, list), integer(10))};
}

}  // namespace

Ref get_multiple_string(const Call& call) {
    PyObject* id_list = call[1];
    PyObject* new_status = call[2];
    // A group whose events are not installed has nothing to list, and no longest ID.
    if (id_list != Py_None && length(id_list) == 0) return Ref::borrow(n_empty.get());

    // max([len(_id) for _id in id_list]) + 10
    Ref max = call.global(n_max);
    std::vector<Length> lengths;
    for (Ref id : Iterate(id_list)) lengths.push_back(call_len_count(call.global(n_len), id));
    Length spacing = longest_plus_ten(max, lengths);

    // The lines, joined with "\n", written as they are made (room for lines
    // of 96 characters made at once).
    TextWriter out(static_cast<Py_ssize_t>(lengths.size()) * 96);
    bool first = true;
    for (Ref id : Iterate(id_list)) {
        if (!first) out.write("\n");
        first = false;
        out.write_formatted(id);
        write_filler(out, spacing, call_len_count(call.global(n_len), id));
        // Event mode asks the service for the status before the description is looked up.
        bool events = new_status == Py_None;
        out.write_formatted(events ? call_attribute(call.global(n_zorna_events), n_is_event_enabled, id)
                                   : Ref::borrow(new_status));
        out.write(" ");
        out.write_formatted(lookup_class_attribute(call.global(n_Color), n_GREY));
        out.write_formatted(description(call, events ? mangled::event_description : mangled::group_description, id));
        out.write_formatted(lookup_class_attribute(call.global(n_Color), n_END));
    }
    return out.finish();
}

Ref get_group_string(const Call& call) {
    PyObject* group_id = call[1];
    Ref shown_description = format(description(call, mangled::group_description, group_id));
    Ref tagged_id = add(lookup_class_attribute(call.global(n_Color), n_GREY), group_id);
    tagged_id = add(tagged_id, lookup_class_attribute(call.global(n_Color), n_END));
    return concat({shown_description, n_space, format(tagged_id)});
}

Ref get_all_event_description(const Call& call) { return load_descriptions(call, n_get_event_ids_ex); }

Ref get_all_group_description(const Call& call) { return load_descriptions(call, n_get_group_ids_ex); }

}  // namespace zae
