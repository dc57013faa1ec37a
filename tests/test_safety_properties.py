"""Hostile input, property by property: whatever an administrator types or a
broken installation holds, the outcome is the documented result or the
documented exception, never a crash or a different exception.

Each property compares the extension with a small Python statement of the
documented behaviour (a model), so an example that fails names both results.
ZAE_HYPOTHESIS_EXAMPLES sets the number of examples per property (default 60).
"""
import json
import os
import pydoc
from json import JSONDecodeError

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import DEFAULT_EVENTS, DEFAULT_GROUPS, DEFAULT_MEMBERS, FakeEvents
from zorna_admin_events import admin_events

Z = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"
SPECIAL = {"modifying-file", "modifying-directory", "file-opened"}
GREY, END = "\x1b[90m", "\x1b[0m"

hostile = settings(max_examples=int(os.environ.get("ZAE_HYPOTHESIS_EXAMPLES", "60")), deadline=None,
                   suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])

# Any text, lone surrogates and control characters included.
any_text = st.text(st.characters(blacklist_categories=()), max_size=30)
json_scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | any_text
json_values = st.recursive(json_scalars, lambda inner: st.lists(inner, max_size=4)
                           | st.dictionaries(any_text, inner, max_size=4), max_leaves=12)
json_objects = st.dictionaries(any_text, json_values, max_size=5)
known_events = st.sampled_from(sorted(DEFAULT_EVENTS))
event_ids = known_events | any_text


class World:
    """The module's service, print and pager replaced; reset before each example."""

    def __init__(self, monkeypatch, tree):
        self.tree = tree
        self.printed, self.paged = [], []
        self.service = FakeEvents(DEFAULT_EVENTS, DEFAULT_GROUPS)
        monkeypatch.setattr(admin_events, "zorna_events", self.service)
        monkeypatch.setattr(admin_events, "print", lambda *a: self.printed.append(a), raising=False)
        monkeypatch.setattr(pydoc, "pipepager", lambda *a, **k: self.paged.append(k.get("text", a[0] if a else None)))
        monkeypatch.setattr(admin_events, "LANG", "name_en")

    def reset(self):
        self.service.calls.clear()
        self.service.enabled = {}
        self.printed.clear()
        self.paged.clear()
        return self

    def stores(self):
        return self.service.names("set_event_param")


@pytest.fixture
def world(sample, monkeypatch):
    return World(monkeypatch, sample)


def described(table):
    return {i: {"name_en": en, "name_ru": ru} for i, (en, ru) in table.items()}


def bare(events=None, groups=None):
    obj = object.__new__(Z)
    for name, value in (("event_id_list", events), ("group_id_list", groups), ("event_section_translations", None),
                        ("need_daemon_restart", False), ("event_description", described(DEFAULT_EVENTS)),
                        ("group_description", described(DEFAULT_GROUPS))):
        setattr(obj, P + name, value)
    return obj


def outcome(action):
    """('ok', result) or ('raised', exception type)."""
    try:
        return "ok", action()
    except Exception as error:  # noqa: BLE001 - compared with the model's outcome
        return "raised", type(error)


# ---- set_properties: any text as VALUE ------------------------------------------------

def watch_or_syscall(event_id, path):
    escaped = path.replace(" ", "\\ ")
    if event_id != "file-opened":
        return f"-w {escaped} -p wa -k {escaped}"
    return f"-a always,exit -F arch=x86_64 -F path={escaped} -S open,openat -k {escaped}"


def one_line(text):
    return "".join(text.splitlines()) == text and "\0" not in text


def loadable_path(path):
    try:
        size = len(path.encode("utf-8"))
    except UnicodeEncodeError:  # lone surrogate
        return False
    return (path.startswith("/") and one_line(path) and size <= 256 and "\\" not in path
            and not any(ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f for c in path)
            and not any(op in path for op in ("!=", "<=", ">=", "&=")))


def shown(path):
    return json.dumps(path, ensure_ascii=not (isinstance(path, str) and path.isprintable()))


def properties_model(events, section, parameter, value):
    """(printed lines, stores, restart flag) that set_properties(section, parameter, value) should give."""
    try:
        decoded = json.loads(value)
    except JSONDecodeError:
        return [("The VALUE should be in JSON format",)], [], False
    if not isinstance(decoded, (str, dict, list)):
        return [(f"Invalid VALUE: {value} ({type(decoded)})",)], [], False
    refusal = [(f"Invalid VALUE: {value} (paths must be absolute, on one line, at most 256 bytes)",)], [], False
    if (section, parameter) == ("", "message-audit-rules"):
        if not (isinstance(decoded, list) and all(isinstance(r, str) and one_line(r) for r in decoded)):
            return refusal
    paths = [decoded] if isinstance(decoded, str) else list(decoded)
    bad = [p for p in paths if not (isinstance(p, str) and loadable_path(p))]
    if SPECIAL.intersection(events) and bad:
        return [(f"Invalid VALUE: {value} ({shown(bad[0])}: paths must be absolute, on one line, at most 256 bytes, "
                 "with no backslash, control character, !=, <=, >= or &=)",)], [], False
    if "file-opened" in events and any(p.endswith("/") for p in paths):
        return [(f"Invalid VALUE: {value} (paths of file-opened must name files, not end in /)",)], [], False
    stores = []
    for event_id in events:
        stores.append((event_id, section, parameter, value))
        if event_id in SPECIAL:
            rules = json.dumps([watch_or_syscall(event_id, p) for p in paths], ensure_ascii=False)
            stores.append((event_id, "", "message-audit-rules", rules))
    return [], stores, True


absolute_paths = st.builds(lambda tail: "/" + tail, any_text) | st.sampled_from(["/" + "я" * 127, "/" + "я" * 128, "/a\u2028b", "/etc/ssh/", "/"])
values = any_text | json_values.map(json.dumps) | json_values.map(lambda v: json.dumps(v, ensure_ascii=False)) \
    | st.lists(any_text | absolute_paths, max_size=3).map(json.dumps) \
    | st.sampled_from(["NaN", "-Infinity", " [] ", '"a\\u0000"'])


@hostile
@given(events=st.lists(st.sampled_from(["user-added", "file-opened", "modifying-file", "login-failed"]), max_size=4),
       key=st.sampled_from([("s", "p"), ("", "message-audit-rules")]), value=values)
def test_set_properties_any_value(world, monkeypatch, events, key, value):
    monkeypatch.setattr(Z, P + "arch", "x86_64")
    obj = bare(list(events))
    world.reset()
    obj.set_properties(*key, value)
    printed, stores, flag = properties_model(events, *key, value)
    assert (world.printed, world.stores(), getattr(obj, P + "need_daemon_restart")) == (printed, stores, flag)


# ---- description records ---------------------------------------------------------------

record_text = st.text(st.sampled_from(',"«» aé\u0301\n\ud800x1'), max_size=12)


def descriptions_model(records):
    result = {}
    for record in records:
        fields = record.split(",")
        result[fields[0]] = {"name_en": fields[1][1:-1], "name_ru": fields[2][1:-1]}
    return result


@hostile
@given(events=st.lists(record_text | st.builds(lambda i, en, ru: f"{i},{en},{ru}", any_text, any_text, any_text),
                       max_size=5),
       groups=st.lists(record_text, max_size=3))
def test_description_records_of_any_shape(world, monkeypatch, events, groups):
    monkeypatch.setattr(world.service, "get_event_ids_ex", lambda detail: events)
    monkeypatch.setattr(world.service, "get_group_ids_ex", lambda detail: iter(groups))  # any iterable will do
    for loader, records in (("get_all_event_description", events), ("get_all_group_description", groups)):
        assert outcome(lambda: getattr(Z, P + loader)()) == outcome(lambda: descriptions_model(records))


# ---- nested JSON in the defaults and current configuration files ------------------------

def resolve_model(defaults_text, current_text, event_id):
    defaults = json.loads(defaults_text)
    current = {}
    if current_text is not None:
        current = json.loads(current_text).get(event_id, {})
    if "enabled" not in current:
        defaults.setdefault("enabled", "1")

    def merge(into, new):
        for k, v in new.items():
            if isinstance(v, dict) and isinstance(into.get(k), dict):
                merge(into[k], v)
            else:
                into[k] = v

    def ordered(d):
        result = dict(sorted(d.items()))
        for k in result:
            if isinstance(result[k], dict):
                result[k] = ordered(result[k])
        return result

    merge(defaults, current)
    return ordered(defaults)


def render_model(d, indent=0):
    out = ""
    for k, v in d.items():
        if isinstance(v, dict):
            out += "    " * indent + f"{k}:\n" + render_model(v, indent + 1)
        else:
            out += "    " * indent + f"{k}: " + str(v).replace("'", '"') + "\n"
    return out + "\n"


def show_events_model(defaults_text, current_text, event_id):
    config = resolve_model(defaults_text, current_text, event_id)
    return f"----------{event_id}----------\n" + render_model(config)


document = json_values.map(json.dumps) | json_objects.map(json.dumps) | st.sampled_from(["", "{", "[1,", "nul"])
current_document = st.none() | document | st.dictionaries(
    st.sampled_from(["user-added", "login-failed"]) | any_text, json_values, max_size=3).map(json.dumps)


@hostile
@given(defaults=json_objects.map(json.dumps) | document, current=current_document)
def test_show_events_on_any_files(world, defaults, current):
    world.tree.add_event("users", "user-added")
    (world.tree.default_config_dir / "users" / "user-added").write_text(defaults)
    if current is None:
        if world.tree.current_config_file.exists():
            world.tree.current_config_file.unlink()
    else:
        world.tree.current_config_file.write_text(current)
    world.reset()
    got = outcome(lambda: bare(["user-added"]).show_events())
    expected = outcome(lambda: show_events_model(defaults, current, "user-added"))
    if got[0] == "ok":
        got = ("ok", world.paged[-1])
    assert got == expected


# ---- IDs with any Unicode, duplicates and unknown IDs ----------------------------------

def listing_model(ids, status):
    spacing = max(len(i) for i in ids) + 10
    return "\n".join(f"{i}{' ' * (spacing - len(i))}{status(i)} {GREY}{DEFAULT_EVENTS[i][0]}{END}" for i in ids)


@hostile
@given(events=st.lists(event_ids, max_size=6), groups=st.lists(st.sampled_from(sorted(DEFAULT_GROUPS)) | any_text,
                                                               max_size=4))
def test_construction_and_enable_with_any_ids(world, events, groups):
    world.reset()
    event_list, group_list = list(events), list(groups)
    obj = Z(event_list, group_list)
    kept_events = [e for e in events if e in DEFAULT_EVENTS]
    kept_groups = [g for g in groups if g in DEFAULT_GROUPS]
    reports = [(f"Unknown group ID: {g}",) for g in groups if g not in DEFAULT_GROUPS] + \
        [(f"Unknown event ID: {e}",) for e in events if e not in DEFAULT_EVENTS]
    assert (event_list, group_list, world.printed) == (kept_events, kept_groups, reports)

    world.reset()
    obj.enable()
    printed = []
    if kept_events:
        printed.append((listing_model(kept_events, lambda i: 1),))
    if kept_groups:
        spacing = max(len(g) for g in kept_groups) + 10
        printed.append(("\n".join(f"{g}{' ' * (spacing - len(g))}1 {GREY}{DEFAULT_GROUPS[g][0]}{END}"
                                  for g in kept_groups),))
    assert world.printed == printed


def group_events(world, group):
    directory = world.tree.default_config_dir / group
    return [e.name for e in directory.iterdir() if e.is_file() and e.name != group and e.name in DEFAULT_EVENTS]


@hostile
@given(events=st.lists(event_ids, max_size=5), groups=st.lists(st.sampled_from(sorted(DEFAULT_GROUPS)), max_size=3),
       value=any_text)
def test_set_facility_with_duplicates_and_any_value(world, events, groups, value):
    obj = Z(list(events), list(groups))
    world.reset()
    obj.set_facility(value)
    kept = [e for e in events if e in DEFAULT_EVENTS] + [e for g in groups for e in group_events(world, g)]
    stored = json.dumps(value, ensure_ascii=False)
    assert world.stores() == [(e, "", "message-syslog-facility", stored) for e in kept]
    assert world.printed == [(f"{e}\tfacility: {value}",) for e in kept]
    assert json.loads(stored) == value
    assert getattr(obj, P + "need_daemon_restart") is True


@hostile
@given(ids=st.lists(any_text.filter(bool), min_size=1, max_size=5), group_mode=st.booleans())
def test_listing_of_any_ids_aligns_by_code_points(world, ids, group_mode):
    obj = bare()
    table = {i: ("d" + i, "р" + i) for i in ids}
    setattr(obj, P + ("group_description" if group_mode else "event_description"), described(table))
    world.reset()
    text = getattr(obj, P + "get_multiple_string")(list(ids), **({"new_status": 0} if group_mode else {}))
    spacing = max(map(len, ids)) + 10
    assert text == "\n".join(f"{i}{' ' * (spacing - len(i))}{0 if group_mode else 1} {GREY}d{i}{END}" for i in ids)
