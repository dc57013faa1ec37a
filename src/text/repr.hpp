// The text a value shows in a rendering: str(value).replace("'", '"'),
// written as it is made.
#pragma once

#include "../admin_events.hpp"

namespace zae {

// repr(text).replace("'", '"'), written, for a str.  For printable ASCII
// without backslashes (to which repr adds no escapes) and not holding both
// quote characters (repr would escape the one it quotes with), that is the
// text between double quotes with its single quotes replaced; anything else
// goes through repr().
inline void write_repr_replacing_quotes(TextWriter& out, Borrowed text) {
    PyObject* s = text.get();
    bool plain = PyUnicode_IS_ASCII(s);
    bool single = false, double_ = false;
    const Py_UCS1* units = plain ? PyUnicode_1BYTE_DATA(s) : nullptr;
    for (Py_ssize_t i = 0; plain && i < PyUnicode_GET_LENGTH(s); ++i) {
        Py_UCS1 c = units[i];
        plain = c >= 0x20 && c < 0x7f && c != '\\';
        single |= c == '\'';
        double_ |= c == '"';
    }
    if (!plain || (single && double_)) return out.write_replacing(Ref::steal(PyObject_Repr(s)), '\'', '"');
    out.write("\"");
    out.write_replacing(text, '\'', '"');
    out.write("\"");
}

// str(value).replace("'", '"'), written, with `str` what the name was found
// bound to and `replace` the method's name.  For the builtin: an int is its
// digits (no quote to replace); a str, or the text of a list of str ("[" +
// the items' repr joined by ", " + "]"), is written with its quotes replaced
// as it is copied; anything else is made into text without the call of the
// type.  Text that is an exact str (whose replace() cannot be replaced) is
// written with its quotes replaced.
[[gnu::always_inline]] inline void write_str_replacing_quotes(TextWriter& out, Borrowed str, Borrowed value, Name replace) {
    if constexpr (fast_paths) {
        PyObject* v = value.get();
        if (is_type(str, PyUnicode_Type)) {
            if (PyLong_CheckExact(v)) return out.write_formatted(value);
            if (PyUnicode_CheckExact(v)) return out.write_replacing(value, '\'', '"');
            if (is_list_of_texts(v)) {
                // Nothing in this loop runs Python code (see TextWriter), so the list keeps its items.
                out.write("[");
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    if (i) out.write(", ");
                    write_repr_replacing_quotes(out, PyList_GET_ITEM(v, i));
                }
                return out.write("]");
            }
        }
    }
    bool builtin = fast_paths && is_type(str, PyUnicode_Type);
    Ref shown = builtin ? Ref::steal(PyObject_Str(value)) : call(str, value);
    if (fast_paths && PyUnicode_CheckExact(shown.get())) return out.write_replacing(shown, '\'', '"');
    out.write_formatted(call_method(shown, replace, text("'"), text("\"")));
}

}  // namespace zae
