// The fields of a catalogue record, "ID,<en>,<ru>[,...]", as str.split(",")
// and slicing give them.
#pragma once

#include <algorithm>
#include <cstring>
#include <tuple>

#include "../admin_events.hpp"

namespace zae {

namespace detail {

template <class From, class To>
void copy_units(const From* __restrict from, To* __restrict to, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

// The characters start to end (none when end <= start) of data of `Char`
// units, as a new str of the narrowest width that holds them, as slicing
// makes it: the widest character is found from the bits set in any of them.
template <class Char>
Ref substring(const Char* data, Py_ssize_t start, Py_ssize_t end, bool ascii) {
    Py_ssize_t n = std::max<Py_ssize_t>(end - start, 0);
    Char bits = 0;  // a loop the compiler vectorises: no exit but its end
    if (!ascii) for (Py_ssize_t i = 0; i < n; ++i) bits |= data[start + i];
    Ref result = Ref::steal(
        PyUnicode_New(n, bits < 0x80 ? 0x7f : bits < 0x100 ? 0xff : bits < 0x10000 ? 0xffff : 0x10ffff));
    void* out = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND: copy_units(data + start, static_cast<Py_UCS1*>(out), n); break;
        case PyUnicode_2BYTE_KIND: copy_units(data + start, static_cast<Py_UCS2*>(out), n); break;
        default: copy_units(data + start, static_cast<Py_UCS4*>(out), n); break;
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

// The three leading fields of a record of `Char` units, as leading_fields
// gives them, when it has two commas or more.
template <class Char>
bool cut_fields(const Char* data, Py_ssize_t length, bool ascii, std::tuple<Ref, Ref, Ref>& fields) {
    Py_ssize_t first = find_comma(data, 0, length);
    Py_ssize_t second = first < 0 ? -1 : find_comma(data, first + 1, length);
    if (second < 0) return false;
    Py_ssize_t third = find_comma(data, second + 1, length);
    if (third < 0) third = length;
    // A field of two characters or fewer loses them all, as a slice [1:-1] does.
    fields = {substring(data, 0, first, ascii), substring(data, first + 2, second - 1, ascii),
              substring(data, second + 2, third - 1, ascii)};
    return true;
}

}  // namespace detail

// content = record.split(","); content[0], content[1][1:-1], content[2][1:-1]
// (`split` the method's name, `comma` the str ",").  For an exact str with
// at least two commas (whose split() cannot be replaced), the three fields
// are cut out directly, without the list of every field.
inline std::tuple<Ref, Ref, Ref> leading_fields(Borrowed record, Name split, Name comma) {
    PyObject* s = record.get();
    if constexpr (fast_paths) {
        std::tuple<Ref, Ref, Ref> fields;
        if (PyUnicode_CheckExact(s) && compat::ready(s) == 0) {
            // The caller holds the record; the str made from it run nothing (see TextWriter).
            const void* data = PyUnicode_DATA(s);
            Py_ssize_t length = PyUnicode_GET_LENGTH(s);
            bool ascii = PyUnicode_IS_ASCII(s), cut = false;
            switch (PyUnicode_KIND(s)) {
                case PyUnicode_1BYTE_KIND: cut = detail::cut_fields(static_cast<const Py_UCS1*>(data), length, ascii, fields); break;
                case PyUnicode_2BYTE_KIND: cut = detail::cut_fields(static_cast<const Py_UCS2*>(data), length, ascii, fields); break;
                default: cut = detail::cut_fields(static_cast<const Py_UCS4*>(data), length, ascii, fields); break;
            }
            if (cut) return fields;
        }
        PyErr_Clear();  // a str that could not be made ready: split() reports it
    }
    Ref content = call_method(record, split, comma);
    return {getitem(content, 0), slice(getitem(content, 1), 1, -1), slice(getitem(content, 2), 1, -1)};
}

}  // namespace zae
