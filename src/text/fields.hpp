// The fields of a catalogue record, "ID,<en>,<ru>[,...]", as str.split(",")
// and slicing give them.
#pragma once

#include <tuple>

#include "../pyref.hpp"

namespace zae {

// content = record.split(","); content[0], content[1][1:-1], content[2][1:-1]
// (`split` the method's name, `comma` the str ",").  For an exact str with
// at least two commas (whose split() cannot be replaced), the three fields
// are cut out directly, without the list of every field.
inline std::tuple<Ref, Ref, Ref> leading_fields(Borrowed record, Borrowed split, Borrowed comma) {
    PyObject* s = record.get();
    if constexpr (fast_paths) {
        if (PyUnicode_CheckExact(s)) {
            Py_ssize_t length = PyUnicode_GetLength(s);
            if (length < 0) raise();
            auto find_comma = [&](Py_ssize_t from) {
                Py_ssize_t found = PyUnicode_FindChar(s, ',', from, length, 1);
                if (found == -2) raise();
                return found;
            };
            Py_ssize_t first = find_comma(0);
            Py_ssize_t second = first < 0 ? -1 : find_comma(first + 1);
            if (second >= 0) {
                Py_ssize_t third = find_comma(second + 1);
                if (third < 0) third = length;
                // A field of two characters or fewer loses them all, as a slice [1:-1] does.
                return {Ref::steal(PyUnicode_Substring(s, 0, first)),
                        Ref::steal(PyUnicode_Substring(s, first + 2, second - 1)),
                        Ref::steal(PyUnicode_Substring(s, second + 2, third - 1))};
            }
        }
    }
    Ref content = call_method(record, split, comma);
    return {getitem(content, 0), slice(getitem(content, 1), 1, -1), slice(getitem(content, 2), 1, -1)};
}

}  // namespace zae
