// The fields of a catalogue record, "ID,<en>,<ru>[,...]", as str.split(",")
// and slicing give them.
#pragma once

#include <tuple>

#include "writer.hpp"

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
        std::size_t index = static_cast<std::size_t>(at - bytes) / sizeof(Char);
        bool unit_start = reinterpret_cast<const char*>(data + index) == at;
        if (unit_start && data[index] == ',') return static_cast<Py_ssize_t>(index);
    }
    return -1;
}

// units[start:end] (empty for end <= start) as a new str of the narrowest width, as slicing
// makes it: the widest character found from the bits set in any (a loop the compiler
// vectorises: no exit but its end).
template <class Char>
Ref substring(const Char* units, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t n = std::max<Py_ssize_t>(end - start, 0);
    Char bits = 0;
    for (Py_ssize_t i = 0; i < n; ++i) bits |= units[start + i];
    Ref result = Ref::steal(PyUnicode_New(n, std::min<Py_UCS4>(bits, 0x10ffff)));
    copy_units(sizeof(Char), units + start, PyUnicode_KIND(result.get()), PyUnicode_DATA(result.get()), n);
    return result;
}

}  // namespace detail

// content = record.split(","); content[0], content[1][1:-1], content[2][1:-1]
// (`split` the method's name, `comma` the str ",").  Shortcut: an exact str (whose split()
// cannot be replaced) with two commas or more has its three fields cut out directly, without
// the list of every field.
inline std::tuple<Ref, Ref, Ref> leading_fields(Borrowed record, Borrowed split, Borrowed comma) {
    if constexpr (fast_paths) {
        std::tuple<Ref, Ref, Ref> fields;
        PyObject* s = record.get();
        if (PyUnicode_CheckExact(s) && compat::ready(s) == 0) {
            with_unit(PyUnicode_KIND(s), [&](auto unit) {
                auto data = static_cast<const decltype(unit)*>(PyUnicode_DATA(s));
                Py_ssize_t n = PyUnicode_GET_LENGTH(s), first = detail::find_comma(data, 0, n);
                Py_ssize_t second = first < 0 ? -1 : detail::find_comma(data, first + 1, n);
                Py_ssize_t third = second < 0 ? -1 : detail::find_comma(data, second + 1, n);
                // A field of two characters or fewer is left empty, as slicing [1:-1] leaves it.
                if (second >= 0) {
                    fields = {detail::substring(data, 0, first), detail::substring(data, first + 2, second - 1),
                              detail::substring(data, second + 2, (third < 0 ? n : third) - 1)};
                }
            });
            if (std::get<0>(fields)) return fields;
        }
        PyErr_Clear();  // a str that could not be made ready: split() reports it
    }
    Ref content = call_method(record, split, comma);
    return {getitem(content, 0), slice(getitem(content, 1), 1, -1), slice(getitem(content, 2), 1, -1)};
}

}  // namespace zae
