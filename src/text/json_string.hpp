// json.dumps(value, ensure_ascii=False) of a str or a list of str, written directly.
#pragma once

#include "../admin_events.hpp"

namespace zae {

// The index of the first character at or after `from` that json escapes (below 0x20, '"', '\\'),
// or n.  One-byte text is searched eight characters at a time first, `below(v, k)` being the
// classic test for a byte below k in a word v: (v - 0x0101..*k) & ~v & 0x8080...
template <class Char>
Py_ssize_t plain_until(const void* units, Py_ssize_t from, Py_ssize_t n) {
    auto data = static_cast<const Char*>(units);
    constexpr std::uint64_t ones = 0x0101010101010101;
    auto below = [](std::uint64_t v, std::uint64_t k) { return (v - ones * k) & ~v & ones * 0x80; };
    for (std::uint64_t v; sizeof(Char) == 1 && from + 8 <= n; from += 8) {
        std::memcpy(&v, data + from, 8);
        if (below(v, 0x20) | below(v ^ (ones * '"'), 1) | below(v ^ (ones * '\\'), 1)) break;
    }
    while (from < n && data[from] >= 0x20 && data[from] != '"' && data[from] != '\\') ++from;
    return from;
}

// The escape json writes for such a character: \" \\ \b \f \n \r \t, else \u00XX (apart, with
// its array: see TextWriter::write_digits).
[[gnu::noinline]] inline void write_escape(TextWriter& out, Py_UCS4 c) {
    constexpr std::string_view named = "\"\\\b\f\n\r\t", letters = "\"\\bfnrt";
    char escape[] = {'\\', 'u', '0', '0', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0xf]};
    std::size_t at = named.find(static_cast<char>(c));
    if (at != named.npos) escape[1] = letters[at];
    out.write(std::string_view(escape, at != named.npos ? 2 : 6));
}

// A str as a json string: between quotes, each character that json escapes escaped.
inline void write_json_string(TextWriter& out, Borrowed text) {
    const void* data = PyUnicode_DATA(text.get());
    int kind = PyUnicode_KIND(text.get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    out.write("\"");
    for (Py_ssize_t from = 0, i;; from = i + 1) {
        i = kind == 1 ? plain_until<Py_UCS1>(data, from, n)
            : kind == 2 ? plain_until<Py_UCS2>(data, from, n) : plain_until<Py_UCS4>(data, from, n);
        out.write(text, from, i);
        if (i == n) return out.write("\"");
        write_escape(out, PyUnicode_READ(kind, data, i));
    }
}

// Is `value` what json_of_texts writes: an exact str, or a list of them, each ready to be read?
inline bool is_json_texts(PyObject* value) {
    return PyUnicode_CheckExact(value) ? is_ready_text(value) : is_list_of_texts(value);
}

// json.dumps(value, ensure_ascii=False) for a value is_json_texts accepts: its json string, or
// "[" + ", ".join(the items' json strings) + "]".  Nothing here runs Python code (see
// TextWriter), so the list keeps its items.
inline Ref json_of_texts(Borrowed value) {
    TextWriter out;
    bool list = !PyUnicode_CheckExact(value.get());
    if (list) out.write("[");
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(value.get()) : 1); ++i) {
        if (i) out.write(", ");
        write_json_string(out, list ? PyList_GET_ITEM(value.get(), i) : value.get());
    }
    if (list) out.write("]");
    return out.finish();
}

}  // namespace zae
