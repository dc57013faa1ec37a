"""The shortcuts the module takes after a name is looked up apply only to the
very object they assume: a builtin or a method replaced in the module
namespace, in the builtins module or by a subclass is used instead."""
import builtins
import json
import re
import sys

import pytest

from conftest import ZornaAdminEvents, instance, shortcut_counts
from zorna_admin_events import admin_events

P = "_ZornaAdminEvents__"
DESCRIPTIONS = {"ab": {"name_en": "A", "name_ru": "А"}}


def bare():
    return instance(event_section_translations=None, group_description=DESCRIPTIONS)


def sort(value):
    return ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(value)


def test_keys_sort_by_code_point_across_long_common_prefixes():
    keys = ["message-syslog-" + tail for tail in ("facility", "priority", "", "f", "facilityX", "\xe9", "\x7f", "\u0416")]
    keys += ["message-syslog", "messagf", "a" * 16, "a" * 17, "a" * 15 + "b", "a" * 8 + "\xff", "a" * 8 + "\x80"]
    assert list(sort(dict.fromkeys(keys, 0))) == sorted(keys)


def render(value):
    return bare()._ZornaAdminEvents__get_event_config_string(value)


NESTED = {"b": {"d": 1, "c": 2}, "a": 3}

# builtin, the step that uses it
USES = [
    ("isinstance", lambda: sort(NESTED)),
    ("isinstance", lambda: render(NESTED)),
    ("sorted", lambda: sort(NESTED)),
    ("dict", lambda: sort(NESTED)),
    ("str", lambda: render(NESTED)),
    ("len", lambda: bare()._ZornaAdminEvents__get_multiple_string(["ab"], 1)),
]


@pytest.mark.parametrize("where", ["module", "builtins", "builtins module"])
@pytest.mark.parametrize("name, run", USES, ids=[u[0] for u in USES])
def test_a_replaced_builtin_is_called(monkeypatch, where, name, run):
    used = []
    real = getattr(builtins, name)
    replacement = lambda *args: used.append(args) or real(*args)  # noqa: E731
    if name == "dict":  # it is also the class isinstance() is given
        replacement = type("Recorded", (real,), {"__init__": lambda self, *args: used.append(args) or real.__init__(self, *args)})
    run()  # the builtin has been found, and the look-up remembered
    if where == "module":
        monkeypatch.setattr(admin_events, name, replacement, raising=False)
    elif where == "builtins":
        # The module's own builtins, as a module run with a replaced __builtins__ has.
        monkeypatch.setitem(vars(admin_events), "__builtins__", {**vars(builtins), name: replacement})
    else:
        monkeypatch.setattr(builtins, name, replacement)
    try:
        run()
    finally:
        monkeypatch.undo()
    assert used


def test_every_shortcut_is_taken(sample, pager, system, lang):
    before = shortcut_counts()
    if not before:
        pytest.skip("built without the fast paths")
    lang("name_en")
    sample.add_event("files", "file-opened", {"watch": {"paths": ["/a"], "depth": {"n": 1}}})
    for _ in range(2):  # each look-up made once, then answered again
        obj = ZornaAdminEvents(["file-opened"], ["files"])
        obj.show_all_groups()
        obj.show_events()
        obj.set_properties("watch", "paths", json.dumps(["/etc/passwd"]))
    after = shortcut_counts()
    untaken = [name for name in after if after[name] == before[name]]
    # Before 3.11 a class gives no sign of its changes that can be trusted.
    assert untaken == ([] if sys.version_info >= (3, 11) else ["class_attribute"])


def test_a_sort_replaced_midway_is_used_from_then_on(monkeypatch):
    original = ZornaAdminEvents.__dict__[P + "sort_nested_dict"]
    calls = []

    def replacement(value):
        calls.append(sorted(value))
        return original.__func__(value)

    class Key(str):
        # Comparing the keys of the outer level puts the replacement in place.
        def __lt__(self, other):
            monkeypatch.setattr(ZornaAdminEvents, P + "sort_nested_dict", staticmethod(replacement))
            return str.__lt__(self, other)

    result = sort({Key("y"): {"q": {"z": 1, "y": 2}}, Key("x"): 1})
    assert result == {"x": 1, "y": {"q": {"y": 2, "z": 1}}}
    assert calls == [["q"], ["y", "z"]]


@pytest.mark.parametrize("texts", [
    ["plain", "é", "Ж", "😀"],  # widened one step at a time
    ["plain", "😀", "é"],  # from one byte straight to four
    ["Ж", "plain"],
    # texts longer than the writer's stack buffer: widened after leaving it, in place on it, past it
    ["a" * 3000, "é", "Ж"],
    ["a" * 300, "Ж" * 400, "😀"],
    ["é" * 1500, "a" * 900],
])
def test_rendered_text_of_mixed_widths(texts):
    settings = {text: {text: text} for text in texts}
    expected = "".join(f"{t}:\n    {t}: {t}\n\n" for t in texts) + "\n"
    assert render(settings) == expected


def test_an_instance_attribute_shadows_the_method():
    obj = bare()
    obj._ZornaAdminEvents__get_event_section_translation = lambda key: f"({key.upper()})"
    obj._ZornaAdminEvents__get_event_config_string = lambda dictionary, indent=0: "<nested>"
    # The outer call goes through the class; the calls it makes go through the instance.
    assert ZornaAdminEvents._ZornaAdminEvents__get_event_config_string(obj, {"s": {"k": 1}}) == "s(S):\n<nested>\n"


def test_instance_method_members_read_as_instancemethod_ones():
    for name, member in vars(ZornaAdminEvents).items():
        if callable(member) and not isinstance(member, (staticmethod, type)):
            function = getattr(ZornaAdminEvents, name)
            assert member.__func__ is function and member.__doc__ == function.__doc__, name


def listed():
    return bare()._ZornaAdminEvents__get_multiple_string(["ab"], 1)


class Base:
    GREY = "<"


@pytest.mark.parametrize("change", ["class", "base", "metaclass", "descriptor"])
def test_a_changed_class_attribute_is_read_anew(monkeypatch, change):
    monkeypatch.setattr(admin_events, "LANG", "name_en")
    listed()
    listed()  # the look-ups of Color.GREY and Color.END have been made twice
    if change == "class":
        monkeypatch.setattr(admin_events.Color, "GREY", "<")
    elif change == "base":
        monkeypatch.setattr(admin_events, "Color", type("Color", (Base,), {"END": ">"}))
        listed()
        monkeypatch.setattr(Base, "GREY", "[")
    elif change == "metaclass":
        meta = type("Meta", (type,), {"__getattribute__": lambda cls, name: "<" if name == "GREY" else ">"})
        monkeypatch.setattr(admin_events, "Color", meta("Color", (), {"GREY": "", "END": ""}))
    else:  # run at every look-up
        calls = iter("<[")
        monkeypatch.setattr(admin_events.Color, "GREY", type("Grey", (), {"__get__": lambda *_: next(calls)})())
        assert listed().endswith("1 <A\x1b[0m")
    line = listed()
    assert line.startswith("ab")
    assert line.endswith({"class": "1 <A\x1b[0m", "base": "1 [A>", "metaclass": "1 <A>", "descriptor": "1 [A\x1b[0m"}[change])


def rules(paths):
    return bare()._ZornaAdminEvents__process_path_value("modifying-file", paths)


@pytest.mark.parametrize("paths", [
    ["/plain", "/q\"uo'te", "/back\\slash", "/tab\tand\x7f", "/ctl\x01\x1f\x08\x1b", "/Жé😀", "/\ud800"],
    "/one path",
    [],
    # a character to escape (or one next to those) at every offset within and across eight-byte words
    ["/" + "a" * k + c + "b" * 9 for k in range(17) for c in "\"\\\x1f\x20\x7f\x80\xa2\xdc"],
    ["/" + "a" * 1500 + "\\", "/Ж" * 300 + "\"", "/😀"],  # past the writer's stack buffer, widened there
])
def test_rule_lists_are_the_standard_json_text(paths):
    import json
    escaped = [p.replace("\\", "\\\\").replace(" ", "\\ ") for p in ([paths] if isinstance(paths, str) else paths)]
    assert rules(paths) == json.dumps([f"-w {p} -p wa -k {p}" for p in escaped], ensure_ascii=False)


@pytest.mark.parametrize("replace", ["dumps", "JSONEncoder", "encode", "encode_basestring"])
def test_a_replaced_json_encoder_is_used(monkeypatch, replace):
    import json
    import json.encoder
    rules(["/a"])  # the standard one has been recognised
    if replace == "dumps":
        monkeypatch.setattr(json, "dumps", lambda value, **kw: "dumped")
    elif replace == "JSONEncoder":
        monkeypatch.setattr(json, "JSONEncoder", type("E", (json.JSONEncoder,), {"encode": lambda self, o: "dumped"}))
    elif replace == "encode":
        monkeypatch.setattr(json.JSONEncoder, "encode", lambda self, o: "dumped")
    else:
        monkeypatch.setattr(json.encoder, "encode_basestring", lambda s: '"dumped"')
    assert "dumped" in rules(["/a"])


def test_isinstance_asks_an_object_that_claims_another_class():
    class Claims:
        __class__ = dict  # isinstance() believes it; the subclass test alone would not

        def items(self):
            return [("k", 1)]

    assert render({"s": Claims()}) == "s:\n    k: 1\n\n\n"


def test_a_service_operation_replaced_after_use_is_called(monkeypatch):
    zorna_events = admin_events.zorna_events
    obj = instance(event_description=DESCRIPTIONS)
    monkeypatch.setattr(admin_events, "LANG", "name_en")
    monkeypatch.setattr(zorna_events, "is_event_enabled", lambda _id: 0, raising=False)
    assert obj._ZornaAdminEvents__get_multiple_string(["ab"]).startswith("ab" + " " * 10 + "0")
    monkeypatch.setattr(zorna_events, "is_event_enabled", lambda _id: 1)
    assert obj._ZornaAdminEvents__get_multiple_string(["ab"]).startswith("ab" + " " * 10 + "1")


TEXTS = ["a'b", 'a"b', "a'b\"c", "back\\slash", "tab\tnl\n", "\x7f\x00", "Жé😀", ""]


@pytest.mark.parametrize("value", [*TEXTS, TEXTS, [], ["x"]], ids=repr)
def test_rendered_values_are_str_with_quotes_replaced(value):
    assert render({"k": value}) == f"k: {str(value)}\n\n".replace("'", '"')


def test_a_mapping_with_its_own_get_gives_the_section_translation():
    class Translations(dict):
        def get(self, key, default=None):
            return {"ru": key.upper()}

    obj = bare()
    obj._ZornaAdminEvents__event_section_translations = Translations(x=1)
    assert obj._ZornaAdminEvents__get_event_config_string({"s": {"k": 1}}) == "s(S):\n    k: 1\n\n\n"


@pytest.mark.parametrize("keys", [
    ["ab", "a", "", "b", "aa"],  # prefixes first
    ["z", "é", "ÿ", "Ж", "😀", "a", "Ж😀", "Жa"],  # one, two and four bytes a character
    [f"k{i:03d}" for i in range(100, 0, -3)],  # more than fit on the stack
])
def test_sorted_settings_are_in_code_point_order(keys):
    settings = {key: {str(i): i for i in range(3, 0, -1)} for key in keys}
    result = sort(settings)
    assert list(result) == sorted(keys)
    assert all(list(result[key]) == ["1", "2", "3"] for key in keys)


class Claims(str):
    """A str whose comparisons are replaced: it equals anything."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False


def test_replaced_comparisons_and_mappings_are_used(monkeypatch, tmp_path):
    # LANG != "name_ru" asks the str subclass, which claims to be "name_ru".
    monkeypatch.setattr(admin_events, "LANG", Claims("name_en"))
    (tmp_path / "t.json").write_text('{"s": {"ru": "С"}}')
    obj = instance(param_ru_translations_file=tmp_path / "t.json")
    obj._ZornaAdminEvents__load_event_section_translations()
    assert obj._ZornaAdminEvents__event_section_translations == {"s": {"ru": "С"}}
    # A mapping of builders that is not a dict is asked whether it holds the machine's name.
    asked = []

    class Rules(dict):
        def __contains__(self, key):
            asked.append(key)
            return False

    rules = Rules(ZornaAdminEvents._ZornaAdminEvents__audit_rules, x86_64=lambda path: "?")
    monkeypatch.setattr(ZornaAdminEvents, P + "audit_rules", rules)
    monkeypatch.setattr(ZornaAdminEvents, P + "arch", "x86_64")
    assert json.loads(bare()._ZornaAdminEvents__process_path_value("file-opened", "/a")) == [
        "-a always,exit -F arch=b64 -F path=/a -S open,openat -k /a"]
    assert asked == ["x86_64"]


@pytest.mark.parametrize("key, entry", [
    ("s", {"ru": "Раздел"}), ("s", {"ru": 5}), ("s", {"en": "Section"}), ("s", None), (7, {"ru": "x"}),
], ids=repr)
def test_section_translations_written_in_place_are_the_methods_text(key, entry):
    obj = bare()
    obj._ZornaAdminEvents__event_section_translations = {key: entry} if entry else {}
    try:
        expected = f"{key}{obj._ZornaAdminEvents__get_event_section_translation(key)}:\n    k: 1\n\n\n"
    except TypeError as error:  # a key of a type the method refuses, refused as when it is called
        with pytest.raises(TypeError, match=re.escape(str(error))):
            obj._ZornaAdminEvents__get_event_config_string({key: {"k": 1}})
    else:
        assert obj._ZornaAdminEvents__get_event_config_string({key: {"k": 1}}) == expected


def test_a_method_replaced_on_the_class_after_use_is_called(monkeypatch):
    obj = bare()
    obj._ZornaAdminEvents__event_section_translations = {"s": {"ru": "Р"}}
    for _ in range(2):  # the class's entry found, then remembered
        assert obj._ZornaAdminEvents__get_event_config_string({"s": {"k": 1}}) == "s(Р):\n    k: 1\n\n\n"
    monkeypatch.setattr(ZornaAdminEvents, P + "get_event_section_translation", lambda self, key: "<t>")
    assert obj._ZornaAdminEvents__get_event_config_string({"s": {"k": 1}}) == "s<t>:\n    k: 1\n\n\n"


def python_sort(dictionary):
    ordered = dict(sorted(dictionary.items()))
    for key in ordered:
        if isinstance(ordered[key], dict):
            ordered[key] = python_sort(ordered[key])
    return ordered


class Text(str):
    pass


@pytest.mark.parametrize("settings", [
    # levels sorted from their items (str keys, in order or not) and levels that are not (other keys), mixed
    {2: {"b": {"d": 1, "c": {}}, "a": {}}, 1: {"y": 1, "x": {1: {"q": 0, "p": 1}}}},
    {"b": {Text("z"): {"n": 1, "m": 2}, Text("y"): 0}, "a": {"k": {}, "j": {"i": {"h": 1}}}},
    {"s": {f"k{i:02d}": {"b": i, "a": {}} for i in range(40, 0, -1)}, "r": {}},
], ids=["int keys", "str subclass keys", "many keys"])
def test_nested_sort_is_the_methods_result(settings):
    result = sort(settings)
    expected = python_sort(settings)
    assert result == expected and repr(result) == repr(expected)


def test_a_dict_that_gives_another_mapping_is_walked_as_python_walks_it(monkeypatch):
    from collections import OrderedDict

    monkeypatch.setitem(vars(admin_events), "dict", OrderedDict)
    nested = {"d": 1, "c": {"f": 2, "e": 3}}
    result = sort({"b": OrderedDict(nested), "z": nested, "a": 1})
    # Only what is an instance of the `dict` found is sorted again.
    assert type(result) is OrderedDict and list(result.items()) == [("a", 1), ("b", result["b"]), ("z", nested)]
    assert type(result["b"]) is OrderedDict and list(result["b"]) == ["c", "d"] and result["z"] is nested
