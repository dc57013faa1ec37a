// Selection of events and groups: construction with ID validation, and the look-ups between
// events and groups through the defaults directory.
#include "admin_events.hpp"

namespace zae {

namespace {

// The plain algorithm keeps a selection holding anything and fails later, midway through a
// report or a listing: an ID that is not a str is refused here before anything is set or asked.
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

// tuple(catalogue) of a list or tuple of exact strs, its items read after the allocation (which may
// run finalizers up to 3.11); empty when the list changed size meanwhile or holds anything else.
Ref snapshot_of_texts(PyObject* catalogue) {
    bool list = PyList_CheckExact(catalogue);
    Py_ssize_t n = list ? PyList_GET_SIZE(catalogue) : PyTuple_GET_SIZE(catalogue);
    Ref tuple = list ? Ref::steal(PyTuple_New(n)) : Ref::borrow(catalogue);
    if (list && PyList_GET_SIZE(catalogue) != n) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = list ? PyList_GET_ITEM(catalogue, i) : PyTuple_GET_ITEM(catalogue, i);
        if (!is_ready_text(item)) return Ref();  // a str subclass may compare and hash anew each time
        if (list) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(item).release());
    }
    return tuple;
}

// `_id in known`, known = set(catalogue).  Shortcut: for the builtin set, a list of exact strs and a
// few IDs to look for, a tuple of its items is searched instead of a set made (a catalogue holds
// thousands): for an exact str, being in the set is being equal to one of them.
class Known {
public:
    Known(Borrowed set, Borrowed catalogue, Py_ssize_t looked_for) {
        PyObject* c = catalogue.get();
        bool sequence = PyList_CheckExact(c) || PyTuple_CheckExact(c);
        if (fast_paths && looked_for <= 16 && is_type(set, PySet_Type) && sequence) items_ = snapshot_of_texts(c);
        if (!items_) set_ = call(set, catalogue);
    }
    bool holds(Borrowed id) {
        // Anything else meets the set set() made: nothing has run since the items were read.
        if (!set_ && !is_ready_text(id)) set_ = call(reinterpret_cast<PyObject*>(&PySet_Type), items_);
        if (set_) return contains(set_, id);
        PyObject** items = PySequence_Fast_ITEMS(items_.get());  // exact strs: equal where their texts are
        return std::any_of(items, items + PyTuple_GET_SIZE(items_.get()), [&](PyObject* item) {
            return PyUnicode_GET_LENGTH(item) == PyUnicode_GET_LENGTH(id.get()) && PyUnicode_Compare(item, id) == 0;
        });
    }

private:
    Ref set_, items_;
};

// __prepare_groups and __prepare_events: drop from the list in `attribute` every ID that `catalogue`
// lacks, with a printed line (tools/po collects the labels); `keep`: its list kept for the descriptions.
void drop_unknown(const Module& module, PyObject* self, Name attribute, Name catalogue, bool keep, const char* label) {
    Ref id_list = getattr(self, attribute);
    if (!truthy(id_list)) return;
    Py_ssize_t looked_for = PyList_CheckExact(id_list.get()) ? PyList_GET_SIZE(id_list.get()) : PY_SSIZE_T_MAX;
    id_list = Ref();  // dropped, as Python drops it
    Ref set = module.global(n::set);
    Ref ids = call_method(module.global(n::zorna_events), catalogue);
    if (keep) state.remember_listed_event_ids(ids.get());
    Known known(set, ids, looked_for);
    for (Ref id : Iterate(call_method(getattr(self, attribute), n::copy))) {
        if (known.holds(id)) continue;
        call_method(getattr(self, attribute), n::remove, id);
        Ref print = module.global(n::print);
        call(print, concat({format(call(module.global(n::underscore), text(label))), text(": "), format(id)}));
    }
}

// `name in set(catalogue)`.  The service hands out a new list of the very same IDs at every call:
// for the builtin set and a list or tuple of exact strs, the set made for one entry answers for
// the next while the catalogue holds the same objects.  Anything else gets a set of its own.
class InSetOf {
public:
    bool operator()(Borrowed set, Borrowed catalogue, Borrowed name) {
        PyObject* c = catalogue.get();
        if (!is_type(set, PySet_Type) || !(PyList_CheckExact(c) || PyTuple_CheckExact(c))) {
            return contains(call(set, catalogue), name);
        }
        if (!same_items(c)) {
            ids_ = snapshot_of_texts(c);  // holds the items: none is replaced at its address
            known_ = ids_ ? Ref::steal(PySet_New(ids_.get())) : call(set, catalogue);
        }
        return contains(known_, name);
    }

private:
    bool same_items(PyObject* catalogue) const {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(catalogue);
        if (!ids_ || PyTuple_GET_SIZE(ids_.get()) != n) return false;
        PyObject** items = PySequence_Fast_ITEMS(catalogue);
        return std::equal(items, items + n, PySequence_Fast_ITEMS(ids_.get()));
    }

    Ref ids_, known_;
};

}  // namespace

Ref method::init(const Module&, PyObject* self, PyObject* event_id_list, PyObject* group_id_list) {
    require_text_ids(event_id_list, "event_id_list");
    require_text_ids(group_id_list, "group_id_list");
    setattr(self, mangled::event_id_list, event_id_list);
    setattr(self, mangled::group_id_list, group_id_list);
    setattr(self, mangled::event_section_translations, Py_None);
    setattr(self, mangled::need_daemon_restart, Py_False);
    call_method(self, mangled::prepare_groups);
    call_method(self, mangled::prepare_events);
    setattr(self, mangled::event_description, call_method(self, mangled::get_all_event_description));
    setattr(self, mangled::group_description, call_method(self, mangled::get_all_group_description));
    return none();
}

Ref private_method::prepare_groups(const Module& module, PyObject* self) {
    drop_unknown(module, self, mangled::group_id_list, n::get_group_ids, false, "Unknown group ID");
    return none();
}

Ref private_method::prepare_events(const Module& module, PyObject* self) {
    drop_unknown(module, self, mangled::event_id_list, n::get_event_ids, true, "Unknown event ID");
    return none();
}

Ref private_method::get_events_by_group_id(const Module& module, PyObject* group_id) {
    Ref group_dir = true_divide(attribute(module.global(n::ZornaAdminEvents), mangled::default_config_dir), group_id);
    Ref result = new_list();
    InSetOf in_set_of;
    for (Ref entry : Iterate(call_method(group_dir, n::iterdir))) {
        if (!truthy(call_method(entry, n::is_file))) continue;
        if (!not_equal(getattr(entry, n::name), getattr(group_dir, n::name))) continue;
        Ref name = getattr(entry, n::name);
        Ref set = module.global(n::set);
        if (!in_set_of(set, call_method(module.global(n::zorna_events), n::get_event_ids), name)) continue;
        append(result, getattr(entry, n::name));
    }
    return result;
}

Ref private_method::get_grouped_events(const Module& module, PyObject* self, PyObject* group_id_list) {
    Ref result = new_dict();
    for (Ref group_id : Iterate(call(module.global(n::sorted), group_id_list))) {
        Ref sorted = module.global(n::sorted);
        setitem(result, group_id, call(sorted, call_method(self, mangled::get_events_by_group_id, group_id)));
    }
    return result;
}

Ref private_method::get_event_group(const Module& module, PyObject* self, PyObject* event_id) {
    for (Ref group_id : Iterate(call_method(module.global(n::zorna_events), n::get_group_ids))) {
        if (contains(call_method(self, mangled::get_events_by_group_id, group_id), event_id)) return group_id;
    }
    return none();
}

}  // namespace zae
