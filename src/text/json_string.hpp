// JSON text of strs, as the standard library's encoder writes it with
// ensure_ascii=False.
#pragma once

#include "../admin_events.hpp"

namespace zae {

// Does none of the eight one-byte units in `word` need escaping?  Bytes
// below 0x20 and bytes equal to a quote or a backslash are found without a
// branch per byte (a borrow runs only from a byte that is such).
inline bool word_is_plain(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto has_zero_byte = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    return !((word - ones * 0x20) & ~word & highs) && !has_zero_byte(word ^ (ones * '"')) &&
           !has_zero_byte(word ^ (ones * '\\'));
}

// The index of the first unit from `from` on that a JSON string must escape
// (a quote, a backslash, a control character), or `n`.
template <class Char>
Py_ssize_t find_escaped(const Char* data, Py_ssize_t from, Py_ssize_t n) {
    if constexpr (sizeof(Char) == 1) {
        for (std::uint64_t word; from + 8 <= n && (std::memcpy(&word, data + from, 8), word_is_plain(word));) from += 8;
    }
    while (from < n && data[from] >= 0x20 && data[from] != '"' && data[from] != '\\') ++from;
    return from;
}

// A control character as \u00XX (apart, with its buffer: a function with
// an array on its stack is guarded by hardened builds at every call).
[[gnu::noinline]] inline void write_control_escape(TextWriter& out, Py_UCS4 c) {
    const char escape[] = {'\\', 'u', '0', '0', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0xf]};
    out.write(std::string_view(escape, sizeof escape));
}

// A str as a JSON string: quotes, backslashes and control characters
// escaped, everything else as it is.
inline void write_json_string(TextWriter& out, Borrowed text) {
    PyObject* s = text.get();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.write("\"");
    for (Py_ssize_t from = 0, i;; from = i + 1) {
        i = kind == PyUnicode_1BYTE_KIND   ? find_escaped(static_cast<const Py_UCS1*>(data), from, n)
            : kind == PyUnicode_2BYTE_KIND ? find_escaped(static_cast<const Py_UCS2*>(data), from, n)
                                           : find_escaped(static_cast<const Py_UCS4*>(data), from, n);
        out.write(text, from, i);
        if (i == n) break;
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '"': out.write("\\\""); break;
            case '\\': out.write("\\\\"); break;
            case '\b': out.write("\\b"); break;
            case '\f': out.write("\\f"); break;
            case '\n': out.write("\\n"); break;
            case '\r': out.write("\\r"); break;
            case '\t': out.write("\\t"); break;
            default: write_control_escape(out, c);
        }
    }
    out.write("\"");
}

// Is `value` what json_of_texts writes: an exact str, or a list of them,
// each ready to be read?
inline bool is_json_texts(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        if (compat::ready(value) == 0) return true;
        PyErr_Clear();  // a str that cannot be made ready: the encoder reports it
        return false;
    }
    return is_list_of_texts(value);
}

// json.dumps(value, ensure_ascii=False) for a value is_json_texts accepts:
// a JSON string, or an array of them with ", " between the items.
inline Ref json_of_texts(Borrowed value) {
    PyObject* v = value.get();
    TextWriter out;
    if (PyUnicode_CheckExact(v)) {
        write_json_string(out, value);
        return out.finish();
    }
    out.write("[");
    // Nothing in this loop runs Python code (see TextWriter), so the list keeps its items.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        if (i) out.write(", ");
        write_json_string(out, PyList_GET_ITEM(v, i));
    }
    out.write("]");
    return out.finish();
}


}  // namespace zae
