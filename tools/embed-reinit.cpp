// An application that embeds the interpreter, imports the module, uses it,
// finalizes the interpreter, initializes it again and does it all again:
// what the module keeps between calls must not outlive an interpreter.
// Built and run under AddressSanitizer by tools/check-sanitizers; the
// module and the stand-in are found through PYTHONPATH.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>

static const char* const code = R"(
import gc, json, pydoc
import zorna_admin_events.admin_events as m
Z = m.ZornaAdminEvents
assert Z._ZornaAdminEvents__sort_nested_dict({"b": {"d": 1, "c": [2]}, "a": "x"}) == {"a": "x", "b": {"c": [2], "d": 1}}
obj = object.__new__(Z)
obj._ZornaAdminEvents__event_section_translations = {"s": {"ru": "r"}}
for _ in range(3):
    text = obj._ZornaAdminEvents__get_event_config_string({"s": {"p": "v'"}, "k": [1, "a"]})
assert text == 's(r):\n    p: v"\n\nk: [1, "a"]\n\n', text
obj._ZornaAdminEvents__arch = "x86_64"
obj._ZornaAdminEvents__audit_rules = Z._ZornaAdminEvents__audit_rules
rules = obj._ZornaAdminEvents__process_path_value("file-opened", ["/a b", "/c"])
assert json.loads(rules)[0].endswith("-k /a\\ b"), rules
obj._ZornaAdminEvents__event_description = {"e": {"name_en": "E", "name_ru": "R"}}
class Service:
    is_event_enabled = staticmethod(lambda _id: 1)
m.zorna_events = Service
assert obj._ZornaAdminEvents__get_multiple_string(["e"]).startswith("e" + " " * 10 + "1 ")
gc.collect()
)";

int main() {
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(code) != 0) {
            std::fprintf(stderr, "embed-reinit: round %d failed\n", round);
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            std::fprintf(stderr, "embed-reinit: round %d: finalizing failed\n", round);
            return 1;
        }
    }
    std::puts("embed-reinit: 3 rounds");
    return 0;
}
