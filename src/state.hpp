// What the module keeps between calls.
#pragma once

#include "pyref.hpp"

namespace zae {

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
