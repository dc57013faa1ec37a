"""Event configuration view: resolution of an event's settings (defaults
overlaid with the current configuration, sorted), their indented rendering,
section translations and show_events."""
import errno
import json
import shutil
import types
from pathlib import Path

import pytest

from zorna_admin_events import admin_events

ZornaAdminEvents = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def make_view(event_ids=None):
    """An object with the six attributes construction sets, without the catalogue."""
    obj = object.__new__(ZornaAdminEvents)
    for name, value in {
        "event_id_list": event_ids,
        "group_id_list": None,
        "event_section_translations": None,
        "need_daemon_restart": False,
        "event_description": {},
        "group_description": {},
    }.items():
        setattr(obj, P + name, value)
    return obj


@pytest.fixture
def groups(monkeypatch):
    """Replace the group look-up by a table (event -> group); records each call."""
    table = {}
    calls = []

    def get_event_group(self, event_id):
        calls.append(event_id)
        return table.get(event_id)

    monkeypatch.setattr(ZornaAdminEvents, P + "get_event_group", get_event_group)
    return types.SimpleNamespace(table=table, calls=calls)


@pytest.fixture
def resolve(tree, groups):
    """resolve(defaults, current_entry) -> resolved settings of event "ev" in group "grp".

    current_entry None leaves the current configuration file absent."""

    def run(defaults, current=None, event="ev"):
        groups.table[event] = "grp"
        tree.add_event("grp", event, defaults)
        if current is not None:
            tree.write_current({event: current})
        return make_view()._ZornaAdminEvents__get_event_config(event)

    return run


def render(mapping, indent=0, view=None):
    return (view or make_view())._ZornaAdminEvents__get_event_config_string(mapping, indent)


# ---- resolution -------------------------------------------------------------------


@pytest.mark.parametrize(
    "defaults, current, expected",
    [
        ({}, None, "1"),
        ({}, {}, "1"),
        ({"enabled": "0"}, None, "0"),
        ({"enabled": "0"}, {"x": 1}, "0"),
        ({"enabled": "1"}, {"enabled": "0"}, "0"),
        ({}, {"enabled": "0"}, "0"),
        # the current value counts whenever the key is there, whatever it holds
        ({"enabled": "1"}, {"enabled": None}, None),
        ({}, {"enabled": 0}, 0),
    ],
)
def test_enabled_rule(resolve, defaults, current, expected):
    result = resolve(defaults, current)
    assert result["enabled"] == expected and type(result["enabled"]) is type(expected)


def test_two_level_merge_keeps_defaults_and_adds_new_keys(resolve):
    defaults = {"sec": {"a": 1, "b": 2}, "other": {"z": 1, "y": 2}, "plain": "x"}
    result = resolve(defaults, {"sec": {"c": 30, "b": 20}})
    assert result == {"enabled": "1", "other": {"y": 2, "z": 1}, "plain": "x", "sec": {"a": 1, "b": 20, "c": 30}}
    assert list(result) == ["enabled", "other", "plain", "sec"]
    assert list(result["sec"]) == ["a", "b", "c"]
    assert list(result["other"]) == ["y", "z"]


def test_merge_recurses_to_any_depth(resolve):
    defaults = {"s": {"m": {"auid": {"min": 1000, "max": 60000}, "keep": True}}}
    result = resolve(defaults, {"s": {"m": {"auid": {"min": 0}}}})
    assert result["s"] == {"m": {"auid": {"max": 60000, "min": 0}, "keep": True}}


@pytest.mark.parametrize(
    "default, current, expected",
    [
        (["a", "b", "c"], ["z", "a"], ["z", "a"]),  # no element-wise merge
        ({"k": 1}, "text", "text"),
        ("text", {"b": 1, "a": {"d": 1, "c": 2}}, {"a": {"c": 2, "d": 1}, "b": 1}),
        ({"k": 1}, None, None),
        ([1, 2], 3.5, 3.5),
        ({"k": 1}, [{"k": 2}], [{"k": 2}]),
        (None, {}, {}),
    ],
)
def test_current_value_replaces_non_object_pairs_whole(resolve, default, current, expected):
    result = resolve({"key": default}, {"key": current})
    assert result["key"] == expected
    if expected and isinstance(expected, dict):
        assert list(result["key"]) == ["a", "b"] and list(result["key"]["a"]) == ["c", "d"]


def test_key_only_in_current_settings_is_added_at_its_sorted_place(resolve):
    assert list(resolve({"b": 1, "d": 2}, {"c": 3})) == ["b", "c", "d", "enabled"]


def test_keys_sort_by_code_point_at_every_object_level(resolve):
    keys = ["b", "B", "a", "_x", "9", "-y", "Z"]
    result = resolve(dict({k: 1 for k in keys}, sec={k: {kk: 0 for kk in keys} for k in keys}))
    order = ["-y", "9", "B", "Z", "_x", "a", "b"]
    assert list(result) == order + ["enabled", "sec"]
    assert list(result["sec"]) == order
    assert all(list(inner) == order for inner in result["sec"].values())


def test_objects_inside_arrays_keep_their_order(resolve):
    result = resolve({"rules": [{"z": 1, "a": 2}, {"y": {"b": 1, "a": 2}}]}, {"extra": [{"d": 1, "c": 2}]})
    assert [list(o) for o in result["rules"]] == [["z", "a"], ["y"]]
    assert list(result["rules"][1]["y"]) == ["b", "a"]
    assert list(result["extra"][0]) == ["d", "c"]


def test_sort_returns_new_mappings_and_leaves_its_argument_alone():
    class Settings(dict):
        pass

    inner = Settings(z=1, a=2)
    argument = {"b": inner, "a": [inner]}
    result = ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(argument)
    assert list(argument) == ["b", "a"] and list(inner) == ["z", "a"]
    assert list(result) == ["a", "b"] and list(result["b"]) == ["a", "z"]
    assert type(result) is dict and type(result["b"]) is dict  # subclasses are sorted into plain dicts
    assert result["a"] is argument["a"] and result["a"][0] is inner  # arrays are not visited


def test_sort_recurses_through_the_class_name(monkeypatch):
    seen = []
    original = ZornaAdminEvents.__dict__[P + "sort_nested_dict"]

    class Spy:
        @staticmethod
        def _ZornaAdminEvents__sort_nested_dict(value):
            seen.append(dict(value))
            return original.__func__(value)

    monkeypatch.setattr(admin_events, "ZornaAdminEvents", Spy)
    ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict({"s": {"b": {"y": 1}}, "t": 1})
    assert seen == [{"b": {"y": 1}}, {"y": 1}]


@pytest.mark.parametrize(
    "current_file, expected",
    [
        (None, {"enabled": "1", "s": {"a": 1}}),  # absent: no current settings
        ({}, {"enabled": "1", "s": {"a": 1}}),  # no entry for the event
        ({"other": {"enabled": "0"}}, {"enabled": "1", "s": {"a": 1}}),
        ({"ev": {}}, {"enabled": "1", "s": {"a": 1}}),
        ({"ev": {"s": {"a": 2}}}, {"enabled": "1", "s": {"a": 2}}),
    ],
)
def test_current_configuration_file_shapes(tree, groups, current_file, expected):
    groups.table["ev"] = "grp"
    tree.add_event("grp", "ev", {"s": {"a": 1}})
    if current_file is not None:
        tree.write_current(current_file)
    assert make_view()._ZornaAdminEvents__get_event_config("ev") == expected


@pytest.mark.parametrize(
    "defaults, current, error",
    [
        ("", None, json.decoder.JSONDecodeError),
        ("{not json", None, json.decoder.JSONDecodeError),
        ('{"a": 1}', "", json.decoder.JSONDecodeError),  # empty current file, though the defaults were fine
        ('{"a": 1}', "{,}", json.decoder.JSONDecodeError),
        ('["a"]', None, AttributeError),  # valid JSON, not an object
        ('{"a": 1}', '{"ev": ["x"]}', AttributeError),
        ('{"a": 1}', "[1]", AttributeError),
    ],
)
def test_malformed_files_propagate(tree, groups, defaults, current, error):
    groups.table["ev"] = "grp"
    (tree.default_config_dir / "grp").mkdir()
    (tree.default_config_dir / "grp" / "ev").write_text(defaults)
    if current is not None:
        tree.write_current(current)
    with pytest.raises(error):
        make_view()._ZornaAdminEvents__get_event_config("ev")


def test_missing_defaults_file_fails_even_with_a_current_entry(tree, groups):
    groups.table["ev"] = "grp"
    (tree.default_config_dir / "grp").mkdir()
    tree.write_current({"ev": {"enabled": "0"}})
    with pytest.raises(FileNotFoundError) as raised:
        make_view()._ZornaAdminEvents__get_event_config("ev")
    assert raised.value.filename == str(tree.default_config_dir / "grp" / "ev")


def test_event_in_no_group_is_reported_as_missing_defaults(tree, groups):
    with pytest.raises(FileNotFoundError) as raised:
        make_view()._ZornaAdminEvents__get_event_config("lost-event")
    assert not isinstance(raised.value, TypeError)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(tree.default_config_dir)
    assert str(raised.value) == (
        "[Errno 2] Event 'lost-event' belongs to no group: no defaults file for it in any group directory: "
        f"'{tree.default_config_dir}'"
    )
    assert groups.calls == ["lost-event"]


def test_files_are_read_afresh_at_every_call(resolve, tree):
    obj = make_view()
    assert resolve({"a": 1}, {"a": 2})["a"] == 2
    tree.write_current({"ev": {"a": 3}})
    assert obj._ZornaAdminEvents__get_event_config("ev")["a"] == 3
    tree.add_event("grp", "ev", {"a": 1, "b": 4})
    assert obj._ZornaAdminEvents__get_event_config("ev") == {"a": 3, "b": 4, "enabled": "1"}
    tree.current_config_file.unlink()
    assert obj._ZornaAdminEvents__get_event_config("ev")["a"] == 1


@pytest.fixture
def fake_json(monkeypatch):
    """The module-level `json` replaced: load() hands out queued documents and
    records the file objects it was given; a queued exception is raised."""
    queue, files = [], []

    def load(f):
        files.append(f)
        item = queue.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item

    monkeypatch.setattr(admin_events, "json", types.SimpleNamespace(load=load, decoder=json.decoder))
    return types.SimpleNamespace(queue=queue, files=files)


def test_current_objects_are_stored_as_they_are_and_dict_subclasses_merge(resolve, fake_json):
    class Section(dict):
        pass

    paths = ["/etc/shadow"]
    section = Section(b=2, paths=paths)
    defaults = {"s": {"a": 1, "b": 1}, "t": "x"}
    current = {"s": section, "t": Section(k=1)}
    fake_json.queue[:] = [defaults, {"ev": current}]
    result = resolve({}, {})
    assert result == {"enabled": "1", "s": {"a": 1, "b": 2, "paths": paths}, "t": {"k": 1}}
    assert result["s"]["paths"] is paths
    assert defaults["t"] is current["t"]  # merged in place, the object itself
    assert defaults["s"]["paths"] is paths and type(defaults["s"]) is dict


@pytest.mark.parametrize("current, setdefault_calls", [({}, [("enabled", "1")]), ({"enabled": "0"}, [])])
def test_defaults_get_enabled_only_when_the_current_settings_lack_it(resolve, fake_json, current, setdefault_calls):
    calls = []

    class Defaults(dict):
        def setdefault(self, *args):
            calls.append(args)
            return super().setdefault(*args)

    fake_json.queue[:] = [Defaults(), {"ev": current}]
    resolve({}, {})
    assert calls == setdefault_calls


def test_files_are_closed_after_parsing_and_on_parse_errors(resolve, fake_json):
    fake_json.queue[:] = [{"a": 1}, {}]
    resolve({}, {})
    assert len(fake_json.files) == 2 and all(f.closed for f in fake_json.files)
    fake_json.queue[:] = [ValueError("boom")]
    with pytest.raises(ValueError, match="boom"):
        resolve({}, {})
    assert fake_json.files[-1].closed


# ---- rendering ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "mapping, expected",
    [
        ({}, "\n"),
        ({"enabled": "1"}, "enabled: 1\n\n"),
        ({"sec": {}}, "sec:\n\n\n"),
        (
            {"a": 1, "sec": {"p": "v", "deep": {"q": 2}}, "z": 0},
            "a: 1\nsec:\n    p: v\n    deep:\n        q: 2\n\n\nz: 0\n\n",
        ),
        ({"s": {"t": {"u": {}}}}, "s:\n    t:\n        u:\n\n\n\n\n"),
        # values: the text of str() with every apostrophe made a double quote
        ({"k": "it's 'quoted'"}, 'k: it"s "quoted"\n\n'),
        ({"k": "two\nlines"}, "k: two\nlines\n\n"),
        ({"k": ["a", "b"]}, 'k: ["a", "b"]\n\n'),
        ({"k": ["it's"]}, 'k: ["it"s"]\n\n'),
        ({"k": [1, [2.5, None], {"x": True}]}, 'k: [1, [2.5, None], {"x": True}]\n\n'),
        ({"k": []}, "k: []\n\n"),
        ({"t": True, "f": False, "n": None}, "t: True\nf: False\nn: None\n\n"),
        ({"a": 0.1, "b": 1e-07, "c": 1e16, "d": 2.0, "e": -0.0}, "a: 0.1\nb: 1e-07\nc: 1e+16\nd: 2.0\ne: -0.0\n\n"),
        ({"i": 12345678901234567890, "j": -3}, "i: 12345678901234567890\nj: -3\n\n"),
    ],
)
def test_rendering(mapping, expected):
    assert render(mapping) == expected


def test_rendering_keeps_the_mapping_order_and_starts_at_the_given_depth():
    assert render({"b": 1, "a": {"y": 1}}, indent=2) == "        b: 1\n        a:\n            y: 1\n\n\n"


def test_rendering_recurses_through_self_and_treats_dict_subclasses_as_sections():
    class Sub(dict):
        pass

    depths = []

    class Spy(ZornaAdminEvents):
        def _ZornaAdminEvents__get_event_config_string(self, dictionary, indent=0):
            depths.append(indent)
            return super()._ZornaAdminEvents__get_event_config_string(dictionary, indent)

    obj = object.__new__(Spy)
    setattr(obj, P + "event_section_translations", None)
    assert obj._ZornaAdminEvents__get_event_config_string({"s": Sub(t={"u": 1})}) == "s:\n    t:\n        u: 1\n\n\n\n"
    assert depths == [0, 1, 2]


def python_rendering(self, dictionary, indent=0):
    """The rendering written as Python, to compare with."""
    result = ""
    for key, value in dictionary.items():
        prefix = "    " * indent
        if isinstance(value, dict):
            result += (f"{prefix}{key}{self._ZornaAdminEvents__get_event_section_translation(key)}:\n"
                       + self._ZornaAdminEvents__get_event_config_string(value, indent + 1))
        else:
            result += f"{prefix}{key}: {str(value).replace(chr(39), chr(34))}\n"
    return result + "\n"


class Joins:
    """A result that takes part in + from either side, as any object may."""

    def __init__(self, text):
        self.text = text

    def __radd__(self, other):
        return Joins(f"{other}|{self.text}")

    def __add__(self, other):
        return Joins(f"{self.text}|{other}")

    def __repr__(self):
        return f"Joins({self.text!r})"


class Tagged(str):
    def __radd__(self, other):
        return Tagged(f"{other}<{self}>")


@pytest.mark.parametrize("nested", [7, Joins("n"), Tagged("n")], ids=repr)
def test_an_overriding_renderings_result_is_added_as_python_adds_it(nested):
    outcomes = []
    for rendering in (ZornaAdminEvents.__dict__[P + "get_event_config_string"].__func__, python_rendering):
        class Override(ZornaAdminEvents):
            def _ZornaAdminEvents__get_event_config_string(self, dictionary, indent=0):
                return rendering(self, dictionary, indent) if indent == 0 else nested

        obj = object.__new__(Override)
        setattr(obj, P + "event_section_translations", None)
        try:
            outcomes.append(repr(obj._ZornaAdminEvents__get_event_config_string({"a": 1, "s": {"k": 1}, "z": 2})))
        except TypeError as error:
            outcomes.append(f"TypeError: {error}")
    assert outcomes[0] == outcomes[1]


# ---- section translations -----------------------------------------------------------


TRANSLATIONS = {
    "filter": {"ru": "Фильтр", "en": "Filter"},
    "match": {"ru": "Условия отбора"},
    "enabled": {"ru": "Включено"},
    "auid": {"en": "Audit user ID"},
    "num": {"ru": 5},
}


@pytest.fixture
def ru_view(tree, lang):
    lang("name_ru")
    tree.write_translations(TRANSLATIONS)
    obj = make_view()
    obj._ZornaAdminEvents__load_event_section_translations()
    return obj


@pytest.mark.parametrize(
    "key, expected",
    [("filter", "(Фильтр)"), ("match", "(Условия отбора)"), ("auid", ""), ("absent", ""), ("num", "(5)")],
)
def test_translation_lookup(ru_view, key, expected):
    assert ru_view._ZornaAdminEvents__get_event_section_translation(key) == expected


def test_translations_follow_object_keys_at_any_depth_and_never_plain_ones(ru_view):
    mapping = {"enabled": "1", "filter": {"match": {"auid": {"min": 0}}, "filter": "x"}, "other": {}}
    assert render(mapping, view=ru_view) == (
        "enabled: 1\n"
        "filter(Фильтр):\n"
        "    match(Условия отбора):\n"
        "        auid:\n"
        "            min: 0\n\n\n"
        "    filter: x\n\n"
        "other:\n\n\n"
    )


@pytest.mark.parametrize("language", ["name_en", "ru_RU", None])
def test_translations_load_only_in_russian(tree, lang, language):
    lang(language)
    tree.write_translations(TRANSLATIONS)
    obj = make_view()
    obj._ZornaAdminEvents__load_event_section_translations()
    assert getattr(obj, P + "event_section_translations") is None
    assert render({"filter": {}}, view=obj) == "filter:\n\n\n"


@pytest.mark.parametrize("document", [None, "", "{broken", "[1, 2"])
def test_missing_or_malformed_translations_are_ignored(tree, lang, capsys, document):
    lang("name_ru")
    obj = make_view()
    setattr(obj, P + "event_section_translations", {"earlier": {"ru": "x"}})
    if document is not None:
        tree.write_translations(document)
    assert obj._ZornaAdminEvents__load_event_section_translations() is None
    assert getattr(obj, P + "event_section_translations") == {"earlier": {"ru": "x"}}
    assert capsys.readouterr() == ("", "")


def test_ignored_decode_error_is_the_one_of_the_module_level_json_at_the_time(tree, lang, monkeypatch):
    class OtherDecodeError(ValueError):
        pass

    def load(f):
        raise raised.pop()

    lang("name_ru")
    tree.write_translations({})
    decoder = types.SimpleNamespace(JSONDecodeError=OtherDecodeError)
    monkeypatch.setattr(admin_events, "json", types.SimpleNamespace(load=load, decoder=decoder))
    raised = [json.decoder.JSONDecodeError("x", "", 0), OtherDecodeError()]
    obj = make_view()
    obj._ZornaAdminEvents__load_event_section_translations()
    with pytest.raises(json.decoder.JSONDecodeError):
        obj._ZornaAdminEvents__load_event_section_translations()


def test_other_translation_errors_propagate(tree, lang):
    lang("name_ru")
    tree.translations_file.mkdir()
    with pytest.raises(IsADirectoryError):
        make_view()._ZornaAdminEvents__load_event_section_translations()


def test_empty_translations_document_gives_no_parentheses(tree, lang):
    lang("name_ru")
    tree.write_translations({})
    obj = make_view()
    obj._ZornaAdminEvents__load_event_section_translations()
    assert getattr(obj, P + "event_section_translations") == {}
    assert obj._ZornaAdminEvents__get_event_section_translation("filter") == ""


# ---- show_events -----------------------------------------------------------------


@pytest.fixture
def shown(tree, groups, pager):
    """show_events over events laid out by the test; returns the pager's one text."""

    def run(event_ids, obj=None):
        obj = obj or make_view(event_ids)
        assert obj.show_events() is None
        assert len(pager) == 1 and pager[0][0] == ()
        assert set(pager[0][1]) == {"text", "cmd"} and pager[0][1]["cmd"] == "less -R"
        return pager[0][1]["text"]

    return run


def add(tree, groups, event, defaults, group="grp"):
    groups.table[event] = group
    tree.add_event(group, event, defaults)


def test_blocks_are_joined_in_list_order(tree, groups, shown, capsys):
    add(tree, groups, "b-ev", {"enabled": "0", "s": {"p": 1}})
    add(tree, groups, "a-ev", {}, group="other")
    tree.write_current({"a-ev": {"x": "it's"}})
    assert shown(["b-ev", "a-ev"]) == (
        "----------b-ev----------\n"
        "enabled: 0\n"
        "s:\n"
        "    p: 1\n"
        "\n"
        "\n"
        "\n"
        "----------a-ev----------\n"
        "enabled: 1\n"
        'x: it"s\n'
        "\n"
    )
    assert groups.calls == ["b-ev", "a-ev"]
    assert capsys.readouterr().out == ""


def test_empty_event_list_pages_an_empty_text(shown):
    assert shown([]) == ""


def test_translations_are_reloaded_at_every_call(tree, groups, shown, lang, pager):
    lang("name_ru")
    add(tree, groups, "ev", {"filter": {}})
    obj = make_view(["ev"])
    assert shown(None, obj) == "----------ev----------\nenabled: 1\nfilter:\n\n\n"
    tree.write_translations({"filter": {"ru": "Фильтр"}})
    pager.clear()
    assert shown(None, obj) == "----------ev----------\nenabled: 1\nfilter(Фильтр):\n\n\n"


@pytest.mark.parametrize(
    "bad_defaults, error",
    [(None, FileNotFoundError), ("{", json.decoder.JSONDecodeError)],
)
def test_a_failing_event_shows_nothing(tree, groups, pager, bad_defaults, error):
    add(tree, groups, "good", {})
    groups.table["bad"] = "grp"
    if bad_defaults is not None:
        (tree.default_config_dir / "grp" / "bad").write_text(bad_defaults)
    with pytest.raises(error):
        make_view(["good", "bad"]).show_events()
    assert pager == []


def test_unreadable_translations_show_nothing(tree, groups, pager, lang):
    lang("name_ru")
    add(tree, groups, "ev", {})
    tree.translations_file.mkdir()
    with pytest.raises(IsADirectoryError):
        make_view(["ev"]).show_events()
    assert pager == [] and groups.calls == []


def test_no_event_list_fails_after_loading_translations(tree, lang, pager, monkeypatch):
    loads = []
    monkeypatch.setattr(ZornaAdminEvents, P + "load_event_section_translations", lambda self: loads.append(self))
    with pytest.raises(TypeError, match="not iterable"):
        make_view(None).show_events()
    assert len(loads) == 1 and pager == []


# ---- end to end over the sample tree with the stand-in service -------------------------


@pytest.fixture
def sample_root(tmp_path, monkeypatch):
    root = tmp_path / "root"
    shutil.copytree(EXAMPLES, root)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(root))
    for attribute, relative in [
        ("default_config_dir", "usr/share/syslog-ng-mod-zorna/event-settings"),
        ("current_config_file", "etc/zorna-syslog.conf"),
        ("param_ru_translations_file", "etc/vek-admin-events/eventsdictionary.json"),
    ]:
        monkeypatch.setattr(ZornaAdminEvents, P + attribute, root / relative)
    return root


LOGIN_FAILED = """\
----------login-failed----------
enabled: 1
filter(Фильтр):
    exclude-programs: []
    match(Условия отбора):
        auid:
            max: 60000
            min: 1000


    result: failure
    terminal: None

message-format(Формат сообщения):
    fields: ["auid", "uid", "acct", "hostname", "addr", "terminal", "result"]
    resolve-names: True
    template: ${ISODATE} ${HOST} zorna-events[${PID}]: event=login-failed ${MSG}

message-syslog-facility: auth
message-syslog-priority: err
rate-limit(Ограничение частоты сообщений):
    burst: 10
    interval-seconds: 30
    sample-ratio: 0.5


"""

KERNEL_MODULE_LOADED = """\
----------kernel-module-loaded----------
enabled: 0
filter(Фильтр):
    exclude-programs: []
    match(Условия отбора):

    result: any

message-format(Формат сообщения):
    fields: ["auid", "uid", "exe", "comm"]
    resolve-names: True
    template: ${ISODATE} ${HOST} zorna-events[${PID}]: event=kernel-module-loaded ${MSG}

message-syslog-facility: kern
message-syslog-priority: warning
rate-limit(Ограничение частоты сообщений):
    burst: 5
    interval-seconds: 60


"""

def test_show_events_over_the_sample_tree(sample_root, pager, lang, capsys):
    lang("name_ru")
    ZornaAdminEvents(["login-failed", "kernel-module-loaded"], None).show_events()
    assert pager == [((), {"text": LOGIN_FAILED + "\n" + KERNEL_MODULE_LOADED, "cmd": "less -R"})]
    assert capsys.readouterr().out == ""


def test_show_events_over_the_sample_tree_in_english(sample_root, pager, lang):
    lang("name_en")
    ZornaAdminEvents(["kernel-module-loaded"], None).show_events()
    expected = KERNEL_MODULE_LOADED
    for section in ["(Фильтр)", "(Условия отбора)", "(Формат сообщения)", "(Ограничение частоты сообщений)"]:
        expected = expected.replace(section, "")
    assert pager[0][1]["text"] == expected
