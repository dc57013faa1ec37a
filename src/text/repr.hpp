// str(value).replace("'", '"'), the text a value shows in a rendering, written directly.
#pragma once

#include "../admin_events.hpp"

namespace zae {

// repr(text).replace("'", '"') of a str, written: printable ASCII without a backslash or both
// quotes (which repr would escape) is the text between double quotes, its single quotes replaced.
inline void write_repr_replacing_quotes(TextWriter& out, PyObject* text) {
    bool plain = PyUnicode_IS_ASCII(text), single = false, double_ = false;
    for (Py_ssize_t i = 0; plain && i < PyUnicode_GET_LENGTH(text); ++i) {
        Py_UCS1 c = PyUnicode_1BYTE_DATA(text)[i];
        plain = c >= 0x20 && c < 0x7f && c != '\\';
        single |= c == '\'';
        double_ |= c == '"';
    }
    if (!plain || (single && double_)) return out.write_replacing(Ref::steal(PyObject_Repr(text)), '\'', '"');
    out.write("\"");
    out.write_replacing(text, '\'', '"');
    out.write("\"");
}

// str(value).replace("'", '"'), written (`str` what the name is bound to, `replace` the method's
// name).  Shortcuts, for the builtin str: an int's digits, a str or the str of a list of str
// ("[" + ", ".join(repr(item)...) + "]") written with its quotes replaced, PyObject_Str() for
// anything else; and the replace() of an exact str (which cannot be replaced) written directly.
[[gnu::always_inline]] inline void write_str_replacing_quotes(TextWriter& out, Borrowed str, Borrowed value,
                                                              Name replace) {
    PyObject* v = value.get();
    bool builtin = is_type(str, PyUnicode_Type);  // false without fast paths
    if (builtin && PyLong_CheckExact(v)) return out.write_formatted(value);
    if (builtin && PyUnicode_CheckExact(v)) return out.write_replacing(value, '\'', '"');
    if (builtin && is_list_of_texts(v)) {
        // Nothing in this loop runs Python code (see TextWriter), so the list keeps its items.
        out.write("[");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i) out.write(", ");
            write_repr_replacing_quotes(out, PyList_GET_ITEM(v, i));
        }
        return out.write("]");
    }
    Ref shown = builtin ? Ref::steal(PyObject_Str(v)) : call(str, value);
    if (fast_paths && PyUnicode_CheckExact(shown.get())) return out.write_replacing(shown, '\'', '"');
    out.write_formatted(call_method(shown, replace, text("'"), text("\"")));
}

}  // namespace zae
