// Selection of events and groups: construction with ID validation, and the
// look-ups between events and groups through the defaults directory.
#include "admin_events.hpp"  // with <algorithm> and <cstring>, through pyref.hpp

namespace zae {

namespace {

Name n_zorna_events{"zorna_events"}, n_print{"print"}, n_set{"set"}, n_sorted{"sorted"}, n_underscore{"_"};
Name n_ZornaAdminEvents{"ZornaAdminEvents"};
Name n_get_group_ids{"get_group_ids"}, n_get_event_ids{"get_event_ids"};
Name n_copy{"copy"}, n_remove{"remove"}, n_iterdir{"iterdir"}, n_is_file{"is_file"}, n_name{"name"};

// IDs are texts.  A selection holding anything else is a programming error of
// the caller; it is refused before anything is set or asked, so that it can
// neither half-validate the caller's list nor fail later, in the middle of a
// report line or a listing.
void require_text_ids(PyObject* id_list, const char* parameter) {
    if (id_list == Py_None) return;
    Py_ssize_t index = 0;
    for (Ref id : Iterate(id_list)) {
        if (!PyUnicode_Check(id.get())) {
            raise_format(PyExc_TypeError, "%s must hold str IDs only, not %.200s (item %zd)", parameter,
                         Py_TYPE(id.get())->tp_name, index);
        }
        ++index;
    }
}

// Drop from the list held in `attribute` every ID that `catalogue_operation`
// of the event service does not report, printing one line per dropped ID.
// The label goes through `_`; tools/po collects it from the calls for the catalogue.
void drop_unknown(const Call& call, Name& attribute, Name& catalogue_operation, const char* label) {
    if (!truthy(getattr(call.self(), attribute))) return;
    // Names are looked up in the order Python evaluates the expression: the
    // callee before its arguments.
    Ref set = call.global(n_set);
    Ref known = zae::call(set, call_attribute(call.global(n_zorna_events), catalogue_operation));
    // Walk a copy: removing from the list itself would skip the element after each removal.
    for (Ref id : Iterate(call_method(getattr(call.self(), attribute), n_copy))) {
        if (contains(known, id)) continue;
        call_method(getattr(call.self(), attribute), n_remove, id);
        Ref print = call.global(n_print);
        zae::call(print, concat({zae::call(call.global(n_underscore), text(label)), text(": "), id}));
    }
}

// `name in set(catalogue)` for each file of one group directory, `set` the
// builtin just looked up.  The service hands out a new list of the very same
// ID objects for every file, and a set of the same strs is the same set: the
// one made for a file answers for the next while the items are those it was
// made of.  Anything else is answered by a set of its own.
class KnownIds {
public:
    bool contain(Borrowed set, Borrowed catalogue, Borrowed name) {
        if (!is_type(set, PySet_Type) || !(PyList_CheckExact(catalogue.get()) || PyTuple_CheckExact(catalogue.get()))) {
            return contains(zae::call(set, catalogue), name);
        }
        if (!made_of(catalogue)) {
            ids_ = snapshot(catalogue);  // holds the items, so none is replaced at its address
            if (!ids_) return contains(zae::call(set, catalogue), name);
            known_ = Ref::steal(PySet_New(ids_.get()));
            if (!all_texts(ids_)) ids_ = Ref();  // a str subclass may hash anew each time: no answer kept
        }
        return contains(known_, name);
    }

private:
    // tuple(catalogue), its items owned; empty when the list changed size
    // while the tuple was allocated (up to 3.11 that may run a collection,
    // and finalizers: tuple() itself would then read the items it had seen
    // before).  The items are read from the list after the allocation.
    static Ref snapshot(Borrowed catalogue) {
        PyObject* c = catalogue.get();
        if (PyTuple_CheckExact(c)) return Ref::borrow(c);
        Py_ssize_t n = PyList_GET_SIZE(c);
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (PyList_GET_SIZE(c) != n) return Ref();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(PyList_GET_ITEM(c, i)).release());
        }
        return tuple;
    }

    bool made_of(Borrowed catalogue) const {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(catalogue.get());
        return ids_ && PyTuple_GET_SIZE(ids_.get()) == n &&
               std::memcmp(PySequence_Fast_ITEMS(ids_.get()), PySequence_Fast_ITEMS(catalogue.get()),
                           static_cast<std::size_t>(n) * sizeof(PyObject*)) == 0;
    }
    static bool all_texts(Borrowed ids) {
        PyObject** items = PySequence_Fast_ITEMS(ids.get());
        auto is_text = [](PyObject* id) { return PyUnicode_CheckExact(id); };
        return std::all_of(items, items + PyTuple_GET_SIZE(ids.get()), is_text);
    }

    Ref ids_, known_;
};

}  // namespace

Ref init(const Call& call) {
    require_text_ids(call[1], "event_id_list");
    require_text_ids(call[2], "group_id_list");
    setattr(call.self(), mangled::event_id_list, call[1]);
    setattr(call.self(), mangled::group_id_list, call[2]);
    setattr(call.self(), mangled::event_section_translations, none());
    setattr(call.self(), mangled::need_daemon_restart, Py_False);
    call_member(call.self(), mangled::prepare_groups);
    call_member(call.self(), mangled::prepare_events);
    setattr(call.self(), mangled::event_description, call_member(call.self(), mangled::get_all_event_description));
    setattr(call.self(), mangled::group_description, call_member(call.self(), mangled::get_all_group_description));
    return none();
}

Ref prepare_groups(const Call& call) {
    drop_unknown(call, mangled::group_id_list, n_get_group_ids, "Unknown group ID");
    return none();
}

Ref prepare_events(const Call& call) {
    drop_unknown(call, mangled::event_id_list, n_get_event_ids, "Unknown event ID");
    return none();
}

Ref get_events_by_group_id(const Call& call) {
    PyObject* group_id = call[0];
    Ref group_dir = true_divide(lookup_class_attribute(call.global(n_ZornaAdminEvents), mangled::default_config_dir), group_id);
    Ref result = new_list();
    KnownIds known;
    for (Ref entry : Iterate(call_method(group_dir, n_iterdir))) {
        if (!truthy(call_method(entry, n_is_file))) continue;
        if (!not_equal(getattr(entry, n_name), getattr(group_dir, n_name))) continue;
        Ref name = getattr(entry, n_name);
        Ref set = call.global(n_set);
        if (!known.contain(set, call_attribute(call.global(n_zorna_events), n_get_event_ids), name)) continue;
        append(result, getattr(entry, n_name));
    }
    return result;
}

Ref get_grouped_events(const Call& call) {
    Ref result = new_dict();
    for (Ref group_id : Iterate(zae::call(call.global(n_sorted), call[1]))) {
        Ref sorted = call.global(n_sorted);
        setitem(result, group_id, zae::call(sorted, call_member(call.self(), mangled::get_events_by_group_id, group_id)));
    }
    return result;
}

Ref get_event_group(const Call& call) {
    PyObject* event_id = call[1];
    for (Ref group_id : Iterate(call_attribute(call.global(n_zorna_events), n_get_group_ids))) {
        if (contains(call_member(call.self(), mangled::get_events_by_group_id, group_id), event_id)) return group_id;
    }
    return none();
}

}  // namespace zae
