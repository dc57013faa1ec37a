"""Hostile Python mid-method: code run while a method walks or builds a container
(by a replaced builtin, a __class__ property, a subclass override, a key's or
value's hooks, a finalizer) replaces, clears or extends what it walks, its own
copies included (found through gc.get_referrers), or rebinds the builtins it
remembers.  The outcome is that of the class written in Python
(bench/reference.py); with finalizers, whose timing is the collector's, it
only holds nothing freed."""
import builtins
import gc
import importlib.util
import json
import pathlib

import pytest

from conftest import DEFAULT_EVENTS, DEFAULT_GROUPS, FakeEvents
from zorna_admin_events import admin_events

_spec = importlib.util.spec_from_file_location("zae_reference",
                                              pathlib.Path(__file__).parents[1] / "bench" / "reference.py")
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)
P = "_ZornaAdminEvents__"
fresh = "".join  # an equal str that is a new object, unlike a literal
REBOUND = {"isinstance": lambda o, c: False, "str": lambda v: "S", "len": lambda x: 1, "max": lambda i: 3,
           "sorted": lambda x: sorted(x, reverse=True), "set": lambda x: set(), "dict": lambda p: dict(list(p)[::-1])}


class Armed:
    """The mutation, run once, on every dict and list holding the anchor and on
    the anchor itself if a list (of str, read unchecked while nothing runs)."""

    def __init__(self, mutation, anchor, rebind):
        self.mutation, self.held, self.rebind, self.fired = mutation, (anchor,), rebind, False  # a tuple: no referrer

    def __call__(self):
        if self.fired:
            return
        self.fired, anchor = True, self.held[0]
        if self.mutation == "rebind":
            return self.rebind()
        new_item, new_value = fresh(str(anchor)), {"new": {"b": "1", "a": "2"}}
        targets = [r for r in gc.get_referrers(anchor) if type(r) in (dict, list)]
        for target in targets + [anchor] * (type(anchor) is list):
            if self.mutation == "clear":
                target.clear()
            elif type(target) is list:
                target[len(target) - (self.mutation == "replace"):] = [new_item]
            else:
                target["zz" if self.mutation == "replace" else "zzz"] = new_value
        # What was freed is reused at once, so that a pointer still held to it reads another object.
        self.litter = [{"litter": [i]} for i in range(64)] + [[fresh("litter")] for i in range(64)]


class Claims:
    def __init__(self, fire):
        self.fire = fire

    @property
    def __class__(self):  # what isinstance asks
        self.fire()
        return Claims

    __repr__ = lambda self: "claims"  # noqa: E731


class Shown(str):
    def __new__(cls, text, fire):
        self = super().__new__(cls, text)
        self.fire = fire
        return self

    __hash__ = str.__hash__


for _name in ("__format__", "__str__", "replace", "__lt__", "__eq__"):
    setattr(Shown, _name, lambda self, *a, _name=_name: (self.fire(), getattr(str, _name)(self, *a))[1])


class Finalizer:
    def __init__(self, fire):
        self.fire, self.cycle = fire, self

    def __del__(self):
        self.fire()


class Plant:
    """plant() gives the thing to plant; plant.arm(), just before the call, for
    the finalizer way: garbage whose finalizer mutates, and free lists drained,
    so that the next allocations collect."""

    def __init__(self, make, fire=None):
        self.make, self.fire = make, fire

    def __call__(self):
        return self.make()

    def arm(self):
        if self.fire:
            self.drained = [{} for _ in range(100)] + [[] for _ in range(100)]
            Finalizer(self.fire)
            gc.set_threshold(1)


def bare(impl, **attributes):
    obj = object.__new__(impl.ZornaAdminEvents)
    for name, value in attributes.items():
        setattr(obj, P + name, value)
    return obj


def entry(hostile):  # a str as a key, anything else as a value
    return (hostile, "v") if issubclass(type(hostile), str) else ("m", hostile)


def sorting(impl, plant, anchor, tmp_path):
    value = dict([("a", anchor), entry(plant()), ("b", {"y": "1", "x": "2"}), ("zz", {"q": {"r": "1"}, "p": "2"})])
    plant.arm()
    return impl.ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(value)


def rendering(impl, plant, anchor, tmp_path):
    obj = bare(impl, event_section_translations={"s": {"ru": "С"}})
    value = {"a": anchor, "m": plant(), "s": {}, "zz": 1}
    plant.arm()
    return obj._ZornaAdminEvents__get_event_config_string(value)


def merging(impl, plant, anchor, tmp_path):
    for group in DEFAULT_GROUPS:
        (tmp_path / group).mkdir(exist_ok=True)
    (tmp_path / "auth" / "login-failed").write_text("{}")
    current = dict([("a", anchor), ("enabled", "0"), ("s", {"b": "2"}), entry(plant()), ("zz", 1)])
    documents = [{"s": {"a": "1"}, "zz": "d"}, {"login-failed": current}]
    del current
    impl.json = type("json", (), {"load": staticmethod(lambda f: documents.pop(0)), "decoder": json.decoder})
    plant.arm()
    return bare(impl)._ZornaAdminEvents__get_event_config("login-failed")


def listing(impl, plant, anchor, tmp_path):
    obj = bare(impl, event_description={i: {"name_en": en, "name_ru": ru} for i, (en, ru) in DEFAULT_EVENTS.items()})
    impl.zorna_events.is_event_enabled = lambda _id: plant() if _id == "login-failed" else 1
    plant.arm()
    return obj._ZornaAdminEvents__get_multiple_string(["login-failed", anchor, fresh("user-deleted")])


def selection(impl, plant, anchor, tmp_path):
    ids = [plant(), anchor, fresh("user-deleted"), fresh("nothing")]
    plant.arm()
    return getattr(impl.ZornaAdminEvents(ids, None), P + "event_id_list"), ids


def audit_rules(impl, plant, anchor, tmp_path):
    obj = bare(impl, arch="x86_64", audit_rules=impl.ZornaAdminEvents._ZornaAdminEvents__audit_rules)
    plant.arm()
    return obj._ZornaAdminEvents__process_path_value("file-opened", [plant(), "/b c", anchor, fresh("/z")])


# Per method: the builtins it looks up, the private method it calls, the plain
# thing planted, the anchor, and the ways that reach no hostile code in it.
METHODS = {
    sorting: (["isinstance", "sorted", "dict"], "sort_nested_dict", lambda: "m", lambda: ["anchor"], ()),
    rendering: (["isinstance", "str"], "get_event_section_translation", lambda: "v", lambda: ["anchor"], ()),
    merging: (["isinstance"], "get_event_group", lambda: "v", lambda: ["anchor"], ()),
    listing: (["len", "max"], None, lambda: 0, lambda: fresh("user-added"), ("class", "override")),
    selection: (["set"], "prepare_groups", lambda: fresh("login-failed"), lambda: fresh("user-added"), ("class",)),
    audit_rules: (["isinstance"], "process_path_value", lambda: fresh("/a"), lambda: fresh("/y"), ("class",)),
}


def outcome(thunk):
    try:
        return "result", shape(thunk())
    except Exception as error:  # noqa: BLE001 - the exception is the outcome compared
        return type(error).__name__, str(error)


def shape(value):  # with the dicts' key order
    if isinstance(value, (dict, list, tuple)):
        return [(str(k), shape(v)) for k, v in value.items()] if isinstance(value, dict) else [shape(v) for v in value]
    return value if isinstance(value, (str, int)) else repr(value)


def hooked(function, fire):  # (not len of a list: the listing's check of an empty one does not look len up)
    return lambda *args: (function is len and type(args[0]) is list or fire(), function(*args))[1]


@pytest.fixture
def run(monkeypatch, tmp_path):
    """run(method, way, mutation, impl): (outcome, whether the hostile code ran)."""
    def run_one(method, way, mutation, impl):
        names, private, plain, make_anchor, _ = METHODS[method]
        anchor, plant = make_anchor(), Plant(plain)
        fire = Armed(mutation, anchor, lambda: [monkeypatch.setattr(impl, n, REBOUND[n], raising=False) for n in names])
        monkeypatch.setattr(impl, "zorna_events", FakeEvents(DEFAULT_EVENTS, DEFAULT_GROUPS))
        monkeypatch.setattr(impl, "print", lambda *a: None, raising=False)
        monkeypatch.setattr(impl, "json", impl.json)
        monkeypatch.setattr(impl.ZornaAdminEvents, P + "default_config_dir", tmp_path)
        monkeypatch.setattr(impl.ZornaAdminEvents, P + "current_config_file", tmp_path / "auth" / "login-failed")
        if way == "builtin":
            for name in names:
                monkeypatch.setattr(impl, name, hooked(getattr(builtins, name), fire), raising=False)
        elif way == "class":
            plant = Plant(lambda: Claims(fire))
        elif way == "override":
            original = impl.ZornaAdminEvents.__dict__[P + private]
            static = isinstance(original, staticmethod)
            hook = hooked(original.__func__ if static else original, fire)
            monkeypatch.setattr(impl.ZornaAdminEvents, P + private, staticmethod(hook) if static else hook)
        elif way == "key or value":
            plant = Plant(lambda: Shown(str(plain()), fire))
        else:  # finalizer
            thresholds, triggers, outcomes = gc.get_threshold(), [], []
            try:
                for _ in range(20):
                    anchor = make_anchor()
                    triggers.append(Armed(mutation, anchor, fire.rebind))
                    outcomes.append(outcome(lambda: method(impl, Plant(plain, triggers[-1]), anchor, tmp_path)))
            finally:
                gc.set_threshold(*thresholds)
                for trigger in triggers:
                    trigger.fired = True  # collected after the test, it changes nothing
            return outcomes
        return outcome(lambda: method(impl, plant, anchor, tmp_path)), fire.fired
    return run_one


@pytest.mark.parametrize("mutation", ["replace", "clear", "insert", "rebind"])
@pytest.mark.parametrize("way", ["builtin", "class", "override", "key or value", "finalizer"])
@pytest.mark.parametrize("method", METHODS, ids=lambda m: m.__name__)
def test_code_run_mid_method_changes_what_it_walks_as_in_python(run, method, way, mutation):
    if way in METHODS[method][4]:
        pytest.skip(f"no {way} reaches hostile code in {method.__name__}")
    got = run(method, way, mutation, admin_events)
    if way == "finalizer":
        assert "litter" not in repr(got)  # what a freed object's memory was reused for
    else:
        assert got == run(method, way, mutation, reference)
        assert got[1], "the hostile code never ran"
