// JSON text of strs, as the standard library's encoder writes it with
// ensure_ascii=False.
#pragma once

#include "../pyref.hpp"  // with <cstdint> and <cstring>

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

// The standard library's json.dumps, and what it relies on to encode a str
// with ensure_ascii=False: json.JSONEncoder (its __init__, encode and
// iterencode) and json.encoder.encode_basestring.  Found once, from the json
// module itself; a dumps called later is the standard one only if it is this
// function and none of those has been replaced since (checked by the
// stamps of the dicts that hold them, and anew when one has changed).
class StandardJsonDumps final : public Kept {
public:
    bool is(PyObject* found) {
        if constexpr (!fast_paths) return false;
        if (!searched_) find_quietly([this] { find(); });
        if (!dumps_ || found != dumps_ || !unchanged()) return false;
        taken(Shortcut::json_dumps);
        return true;
    }

    void release(std::vector<PyObject*>& dropped) noexcept override {
        dropped.push_back(std::exchange(dumps_, nullptr));
        for (PyObject*& module : modules_) dropped.push_back(std::exchange(module, nullptr));
        for (Member& member : members_) dropped.push_back(std::exchange(member.found, nullptr));
        for (std::size_t i = 0; i < 3; ++i) dicts_[i] = nullptr, stamps_[i] = 0;
        searched_ = false;
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(dumps_);
        for (PyObject* module : modules_) Py_VISIT(module);
        for (const Member& member : members_) Py_VISIT(member.found);
        return 0;
    }

private:
    enum Holder { json, encoder, encoder_class };  // the dicts: json's, json.encoder's, JSONEncoder's
    struct Member {
        Holder holder;
        const char* name;
        PyObject* found = nullptr;
    };

    // Everything found is kept (with the two modules, whose dicts are read)
    // until the module's state is released.
    void find() {
        searched_ = true;
        keep();
        Ref json_module = Ref::steal(PyImport_ImportModule("json"));
        Ref encoder_module = Ref::steal(PyImport_ImportModule("json.encoder"));
        Ref dumps = Ref::steal(PyObject_GetAttrString(json_module.get(), "dumps"));
        Ref json_encoder = Ref::steal(PyObject_GetAttrString(encoder_module.get(), "JSONEncoder"));
        PyObject* json_dict = PyModule_GetDict(json_module.get());
        if (!PyFunction_Check(dumps.get()) || PyFunction_GET_GLOBALS(dumps.get()) != json_dict) return;
        if (!PyType_Check(json_encoder.get())) return;
        // The class's dict is held by the class, which members_[0] holds.
        dicts_[json] = json_dict;
        dicts_[encoder] = PyModule_GetDict(encoder_module.get());
        dicts_[encoder_class] = reinterpret_cast<PyTypeObject*>(json_encoder.get())->tp_dict;
        modules_[0] = json_module.release();
        modules_[1] = encoder_module.release();
        for (Member& member : members_) {
            member.found = Ref::borrow_or_null(PyDict_GetItemString(dicts_[member.holder], member.name)).release();
        }
        // json.JSONEncoder, which dumps uses, must be the class whose members are watched.
        if (members_[0].found == json_encoder.get()) dumps_ = dumps.release();
    }

    // Are the encoder class, its members and encode_basestring those found?
    // Yes while the stamps of the dicts that hold them stand; else the dicts
    // are read, their stamps taken first (what a look-up finds is only compared).
    bool unchanged() {
        bool stand = true;
        for (std::size_t i = 0; i < 3; ++i) stand = stand && stamps_[i] && stamps_[i] == compat::dict_stamp(dicts_[i]);
        if (stand) return true;
        for (std::size_t i = 0; i < 3; ++i) stamps_[i] = compat::watch_dict(dicts_[i]);
        for (const Member& member : members_) {
            if (PyDict_GetItemString(dicts_[member.holder], member.name) == member.found) continue;
            stamps_[0] = 0;  // read anew next time
            return false;
        }
        return true;
    }

    bool searched_ = false;
    PyObject* dumps_ = nullptr;
    PyObject* modules_[2] = {};
    PyObject* dicts_[3] = {};
    Member members_[5] = {{json, "JSONEncoder"}, {encoder, "encode_basestring"}, {encoder_class, "__init__"},
                          {encoder_class, "encode"}, {encoder_class, "iterencode"}};
    std::uint64_t stamps_[3] = {};
};

inline StandardJsonDumps standard_json_dumps;

}  // namespace zae
