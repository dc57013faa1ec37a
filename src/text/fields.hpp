// The fields of a catalogue record, "ID,<en>,<ru>[,...]", as str.split(",") and slicing give them.
#pragma once

#include <tuple>

#include "../admin_events.hpp"

namespace zae {

namespace detail {

// The index of the first comma at or after `from` in `n` units, or -1: memchr over the bytes,
// a comma byte being a comma where it starts a unit that is one.
template <class Char>
Py_ssize_t find_comma(const Char* data, Py_ssize_t from, Py_ssize_t n) {
    auto bytes = reinterpret_cast<const char*>(data);
    for (auto at = bytes + from * sizeof(Char), end = bytes + n * sizeof(Char); at < end; ++at) {
        at = static_cast<const char*>(std::memchr(at, ',', static_cast<std::size_t>(end - at)));
        if (!at) return -1;
        auto index = static_cast<Py_ssize_t>(static_cast<std::size_t>(at - bytes) / sizeof(Char));
        if (reinterpret_cast<const char*>(data + index) == at && data[index] == ',') return index;
    }
    return -1;
}

// data[start:end] (empty for end <= start) as a new str of the narrowest width, as slicing
// makes it: the widest character found from the bits set in any (a loop without an exit but
// its end, which the compiler vectorises).
template <class Char>
Ref substring(const Char* data, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t n = std::max<Py_ssize_t>(end - start, 0);
    Char bits = 0;
    for (Py_ssize_t i = 0; i < n; ++i) bits |= data[start + i];
    Ref result = Ref::steal(PyUnicode_New(n, std::min<Py_UCS4>(bits, 0x10ffff)));
    copy_units(sizeof(Char), data + start, PyUnicode_KIND(result.get()), PyUnicode_DATA(result.get()), n);
    return result;
}

// Whether data[0:n] is the text of `text`, an exact str (of one byte per character: IDs are ASCII).
template <class Char>
bool is_text_of(const Char* data, Py_ssize_t n, PyObject* text) {
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND || PyUnicode_GET_LENGTH(text) != n) return false;
    auto chars = static_cast<const Py_UCS1*>(PyUnicode_DATA(text));
    Char differ = 0;  // a loop without an exit but its end, as above
    for (Py_ssize_t i = 0; i < n; ++i) differ |= data[i] ^ chars[i];
    return differ == 0;
}

// The three fields of a record of `Char` units, if it has two commas or more; the first is `id`
// where that is its text.
template <class Char>
bool cut_fields(PyObject* record, Borrowed id, std::tuple<Ref, Ref, Ref>& fields) {
    auto data = static_cast<const Char*>(PyUnicode_DATA(record));
    Py_ssize_t n = PyUnicode_GET_LENGTH(record), first = find_comma(data, 0, n);
    Py_ssize_t second = first < 0 ? -1 : find_comma(data, first + 1, n);
    if (second < 0) return false;
    Py_ssize_t third = find_comma(data, second + 1, n);
    // A field of two characters or fewer is left empty, as slicing [1:-1] leaves it.
    fields = {id && is_text_of(data, first, id.get()) ? Ref::borrow(id) : substring(data, 0, first),
              substring(data, first + 2, second - 1),
              substring(data, second + 2, (third < 0 ? n : third) - 1)};
    return true;
}

}  // namespace detail

// content = record.split(","); content[0], content[1][1:-1], content[2][1:-1]
// (`split` the method's name, `comma` the str ",").  Shortcut: an exact str (whose split()
// cannot be replaced) with two commas or more has its three fields cut out directly, without
// the list of every field, and `id` (an exact str, or null) stands for the first field where it
// is the same text: a str equal to the one split() makes.
inline std::tuple<Ref, Ref, Ref> leading_fields(Borrowed record, Name split, Name comma, Borrowed id) {
    if constexpr (fast_paths) {
        std::tuple<Ref, Ref, Ref> fields;
        PyObject* s = record.get();
        if (is_ready_text(s)) {
            int kind = PyUnicode_KIND(s);
            if (kind == 1 ? detail::cut_fields<Py_UCS1>(s, id, fields)
                : kind == 2 ? detail::cut_fields<Py_UCS2>(s, id, fields) : detail::cut_fields<Py_UCS4>(s, id, fields)) {
                return fields;
            }
        }
    }
    Ref content = call_method(record, split, comma);
    return {getitem(content, 0), slice(getitem(content, 1), 1, -1), slice(getitem(content, 2), 1, -1)};
}

}  // namespace zae
