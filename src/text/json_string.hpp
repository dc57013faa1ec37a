// JSON text of strs, as the standard library's encoder writes it with
// ensure_ascii=False.
#pragma once

#include "../pyref.hpp"

namespace zae {

// A str as a JSON string: quotes, backslashes and control characters
// escaped, everything else as it is.
inline void write_json_string(TextWriter& out, Borrowed text) {
    PyObject* s = text.get();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.write("\"");
    Py_ssize_t plain_from = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.write(text, plain_from, i);
        plain_from = i + 1;
        switch (c) {
            case '"': out.write("\\\""); break;
            case '\\': out.write("\\\\"); break;
            case '\b': out.write("\\b"); break;
            case '\f': out.write("\\f"); break;
            case '\n': out.write("\\n"); break;
            case '\r': out.write("\\r"); break;
            case '\t': out.write("\\t"); break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0xf]};
                out.write(std::string_view(escape, sizeof escape));
            }
        }
    }
    out.write(text, plain_from, n);
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
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        if (i) out.write(", ");
        write_json_string(out, PyList_GET_ITEM(v, i));
    }
    out.write("]");
    return out.finish();
}

}  // namespace zae
