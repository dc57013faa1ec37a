// Status listings: the descriptions of all events and groups, and the aligned, coloured listings.
#include "admin_events.hpp"
#include "text/fields.hpp"

namespace zae {

namespace {

// (len(_id) for _id in id_list): the generator expression itself, made in the module's namespace
// (`len` looked up at each step).
Ref lengths(const Module& module, Borrowed id_list) {
    Ref scope = dict_of({{n::id_list, id_list}});
    return Ref::steal(PyRun_String("(len(_id) for _id in id_list)", Py_eval_input, module.globals, scope.get()));
}

// __get_all_event_description and __get_all_group_description, from the service's records.
// The event IDs (`listed`) are the listed ones' strs where those have them at the same place.
Ref load_descriptions(const Module& module, Name operation, bool listed) {
    Ref records = call_method(module.global(n::zorna_events), operation, integer(2));
    Ref result_dict = new_dict_for(records);  // made after the call, not before: nothing can tell
    Py_ssize_t index = 0;
    for (Ref record : Iterate(records)) {
        Ref listed_id = listed ? state.listed_event_id(index++) : Ref();
        auto [id, name_en, name_ru] = leading_fields(record, n::split, n::comma, listed_id);  // record.split(",")
        setitem(result_dict, id, dict_of({{n::name_en, name_en}, {n::name_ru, name_ru}}));
    }
    return result_dict;
}

// self.<description_map>[_id][LANG], evaluated left to right.
Ref description(const Module& module, PyObject* self, Name description_map, Borrowed id) {
    Ref by_language = getitem(getattr(self, description_map), id);
    return getitem(by_language, module.global(n::LANG));
}

// max(len(_id) for _id in id_list).  For the builtins and a list of exact strs, the longest is
// counted (nothing runs meanwhile; `len` is looked up before the items are checked).
Ref longest(const Module& module, Borrowed id_list) {
    Ref max = module.global(n::max);
    PyObject* ids = id_list.get();
    if (state.is_builtin(Builtin::max, max.get()) && PyList_CheckExact(ids) && PyList_GET_SIZE(ids) > 0 &&
        state.is_builtin(Builtin::len, module.global(n::len).get()) && is_list_of_texts(ids)) {
        Py_ssize_t length = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i) {  // runs nothing: the items stay
            length = std::max(length, PyUnicode_GET_LENGTH(PyList_GET_ITEM(ids, i)));
        }
        return Ref::steal(PyLong_FromSsize_t(length));
    }
    return call(max, lengths(module, id_list));
}

// {' ' * (spacing - len(_id))}: for an int, the builtin len and an exact str, spaces counted out.
void write_padding(TextWriter& out, const Module& module, Borrowed spacing, Borrowed id) {
    Ref len = module.global(n::len);
    bool counted = PyUnicode_CheckExact(id.get()) && PyLong_CheckExact(spacing.get());
    if (counted && state.is_builtin(Builtin::len, len.get())) {
        Py_ssize_t width = PyLong_AsSsize_t(spacing);
        if (width >= 0) return out.fill(' ', width - PyUnicode_GET_LENGTH(id.get()));
        PyErr_Clear();  // the protocol below raises what Python raises
    }
    out.write_formatted(multiply(n::space, subtract(spacing, call(len, id))));
}

// The length of a listing line (ID, padding, status, description), for which room is made at once.
constexpr Py_ssize_t usual_line_length = 96;

}  // namespace

Ref method::show_all_groups(const Module& module, PyObject* self) {
    setattr(self, mangled::group_id_list, call_method(module.global(n::zorna_events), n::get_group_ids));
    call_method(self, mangled::show_groups);
    return none();
}

Ref method::show_groups(const Module&, PyObject* self) {
    call_method(self, mangled::show_groups);
    return none();
}

Ref private_method::show_groups(const Module& module, PyObject* self) {
    Ref result_strings = new_list();
    Ref event_status = call_method(self, mangled::get_grouped_events, getattr(self, mangled::group_id_list));
    for (auto& [group_id, events] : Items(event_status)) {
        append(result_strings, call_method(self, mangled::get_group_string, group_id));
        append(result_strings, add(call_method(self, mangled::get_multiple_string, events), n::newline));
    }
    Ref pipepager = attribute(module.global(n::pydoc), n::pipepager);
    call_kw(pipepager, {join(n::newline, result_strings)}, {{n::cmd, n::less}});
    return none();
}

Ref private_method::get_multiple_string(const Module& module, PyObject* self, PyObject* id_list,
                                        PyObject* new_status) {
    // The plain algorithm fails on an empty list (max() of nothing); a group
    // whose events are not installed has nothing to list.
    if (id_list != Py_None && length(id_list) == 0) return Ref::borrow(state.str(n::empty));
    Ref spacing = add(longest(module, id_list), integer(10));
    // mylist: each f-string written as it is made, "\n" between them, as
    // "\n".join(mylist) puts it (joining strs runs nothing).
    TextWriter mylist(length(id_list) * usual_line_length);
    bool first = true;
    for (Ref id : Iterate(id_list)) {
        if (!std::exchange(first, false)) mylist.write("\n");
        mylist.write_formatted(id);
        write_padding(mylist, module, spacing, id);
        if (new_status == Py_None) {
            mylist.write_formatted(call_method(module.global(n::zorna_events), n::is_event_enabled, id));
        } else {
            mylist.write_formatted(new_status);
        }
        mylist.write(" ");
        mylist.write_formatted(attribute(module.global(n::Color), n::GREY));
        Name map = new_status == Py_None ? mangled::event_description : mangled::group_description;
        mylist.write_formatted(description(module, self, map, id));
        mylist.write_formatted(attribute(module.global(n::Color), n::END));
    }
    return mylist.finish();
}

Ref private_method::get_group_string(const Module& module, PyObject* self, PyObject* group_id) {
    Ref shown = format(description(module, self, mangled::group_description, group_id));
    Ref tagged_id = add(attribute(module.global(n::Color), n::GREY), group_id);
    tagged_id = add(tagged_id, attribute(module.global(n::Color), n::END));
    return concat({shown, n::space, format(tagged_id)});
}

Ref private_method::get_all_event_description(const Module& module) {
    return load_descriptions(module, n::get_event_ids_ex, true);
}

Ref private_method::get_all_group_description(const Module& module) {
    return load_descriptions(module, n::get_group_ids_ex, false);
}

}  // namespace zae
