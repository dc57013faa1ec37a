// Status listings: the descriptions of all events and groups, and the
// aligned, coloured status listings shown through the pager.
#include "admin_events.hpp"
#include "generator.hpp"
#include "text/fields.hpp"

namespace zae {

namespace {

Name n_zorna_events{"zorna_events"}, n_pydoc{"pydoc"}, n_max{"max"}, n_len{"len"}, n_LANG{"LANG"}, n_Color{"Color"};
Name n_get_event_ids_ex{"get_event_ids_ex"}, n_get_group_ids_ex{"get_group_ids_ex"}, n_get_group_ids{"get_group_ids"};
Name n_is_event_enabled{"is_event_enabled"}, n_pipepager{"pipepager"}, n_cmd{"cmd"};
Name n_split{"split"}, n_items{"items"}, n_GREY{"GREY"}, n_END{"END"};
Name n_comma{","}, n_name_en{"name_en"}, n_name_ru{"name_ru"};
Name n_space{" "}, n_newline{"\n"}, n_empty{""}, n_less{"less -R"};

// The map from each ID to its English and Russian descriptions, built from the
// records that `operation` of the event service returns: "ID,<en>,<ru>[,...]",
// each name wrapped in one delimiter character at either end.
Ref load_descriptions(const Call& call, Name& operation) {
    Ref record_list = call_attribute(call.global(n_zorna_events), operation, integer(2));
    Ref result = new_dict();
    for (Ref record : Iterate(record_list)) {
        auto [key, name_en, name_ru] = leading_fields(record, n_split, n_comma);
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

// max(len(_id) for _id in id_list) + 10, `max` looked up first.  For the
// builtins max and len and a list of exact strs, the longest is counted:
// nothing runs meanwhile that could rebind `len`, so each look-up the
// generator makes would find the builtin again.  (`len` is looked up
// before the items are checked: a look-up may run code that changes them.)
Ref width_of_ids(const Call& call, Borrowed id_list) {
    Ref max = call.global(n_max);
    if constexpr (fast_paths) {
        PyObject* ids = id_list.get();
        if (builtin_max.is(max.get()) && PyList_CheckExact(ids) && PyList_GET_SIZE(ids) > 0 &&
            builtin_len.is(call.global(n_len).get()) && is_list_of_texts(ids)) {
            Py_ssize_t longest = 0;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i) {  // runs nothing: the items stay
                longest = std::max(longest, PyUnicode_GET_LENGTH(PyList_GET_ITEM(ids, i)));
            }
            return Ref::steal(PyLong_FromSsize_t(longest + 10));
        }
    }
    return add(zae::call(max, call_each(call, n_len, id_list)), integer(10));
}

// ' ' * (spacing - len(_id)), written.  For an int width and the builtin
// len of an exact str, the spaces are counted out without making the str.
void write_filler(TextWriter& out, const Call& call, Borrowed spacing, Borrowed id) {
    Ref len = call.global(n_len);
    if constexpr (fast_paths) {
        if (builtin_len.is(len.get()) && PyUnicode_CheckExact(id.get()) && PyLong_CheckExact(spacing.get())) {
            Py_ssize_t width = PyLong_AsSsize_t(spacing), used = PyUnicode_GetLength(id);
            if (width >= 0 && used >= 0) return out.fill(' ', width - used);
            PyErr_Clear();  // the generic path raises what Python raises
        }
    }
    out.write_formatted(multiply(n_space, subtract(spacing, zae::call(len, id))));
}

}  // namespace

// __get_multiple_string(self, id_list, new_status=None)
Ref get_multiple_string(const Call& call) {
    PyObject* id_list = call[1];
    PyObject* new_status = call[2];
    // A group whose events are not installed has nothing to list, and no longest ID.
    if (id_list != Py_None && length(id_list) == 0) return Ref::borrow(n_empty.get());

    Ref spacing = width_of_ids(call, id_list);
    // "\n".join(f"{_id}{' ' * (spacing - len(_id))}{status} {Color.GREY}{description}{Color.END}"
    //           for each _id), written as the lines are made.
    TextWriter out(length(id_list) * 96);
    bool first = true;
    for (Ref id : Iterate(id_list)) {
        if (!first) out.write("\n");
        first = false;
        out.write_formatted(id);
        write_filler(out, call, spacing, id);
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
