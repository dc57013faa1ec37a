"""The paths that the leak hunt (hunt.py) drives, method by method.

A scenario is one call (or a few) of one method on a prepared world: the
in-memory event service of the test suite installed as the module's
`zorna_events`, a temporary defaults tree, current configuration and
translations file behind the class's path attributes, and recorders in place
of `print`, the pager, `os.system` and `ZornaConfigManager`.  The world is laid
out anew before each scenario, and the recorders and the service's call log
are emptied before each call, so that a scenario does the same thing every
time it runs.

Each scenario names the methods it drives (`targets`) and the outcome it is
meant to have (`expect`: None for a normal return, or the exception types);
every method of the class must be the target of some scenario.  Sweeps make
the service fail at its k-th call, for every k of a whole run of a method.
"""
import importlib
import os
import pydoc
import shutil
import sys
import tempfile
import types
from contextlib import contextmanager
from json import JSONDecodeError

from conftest import DEFAULT_EVENTS, DEFAULT_GROUPS, DEFAULT_MEMBERS, PATH_ATTRIBUTES, FakeEvents, ServiceFailure, Tree

from zorna_admin_events import admin_events

Z = admin_events.ZornaAdminEvents
MODULE_NAME = "zorna_admin_events.admin_events"
PREFIX = "_ZornaAdminEvents__"
ANY = "any"  # the outcome is left to the implementation: a result or any exception; only the leak counts

DEFAULTS = {
    "user-added": {"enabled": "1", "message": {"facility": "auth", "priority": "info",
                                               "nested": {"b": [1, "x'y", {"z": 1, "a": None}], "a": None}},
                   "rate": 1.5, "B": True},
    "login-failed": {"message": {"facility": "authpriv"}, "tags": ["a", "b"]},
}
CURRENT = {
    "user-added": {"enabled": "0", "message": {"priority": "warning", "extra": {"k": True}}, "rate": {"x": 1}},
    "login-failed": {},
    "file-opened": {"message-audit-rules": ["-w /etc -p wa -k /etc"]},
}
TRANSLATIONS = {"message": {"ru": "Сообщение"}, "nested": {"ru": 5}, "extra": {"en": "no ru"}}


def private(target, name):
    return getattr(target, PREFIX + name)


class Recorder:
    def __init__(self):
        self.calls = []
        self.fail = False

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail:
            raise OSError("recorder told to fail")
        return 0


class World:
    """The module's surroundings, patched for the whole hunt and restored by close()."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zae-refleak-")
        self.service = FakeEvents(DEFAULT_EVENTS, DEFAULT_GROUPS)
        self.printed = Recorder()
        self.paged = Recorder()
        self.commands = Recorder()
        self.managed = Recorder()
        world = self

        class Manager:
            def import_config(self, path):
                return world.managed("import", path)

            def export_config(self, path):
                return world.managed("export", path)

        self._saved_module = {name: admin_events.__dict__.get(name, KeyError)
                              for name in ("zorna_events", "print", "os", "ZornaConfigManager", "LANG")}
        self._saved_class = {name: Z.__dict__[name] for name in (PREFIX + "arch",) + tuple(PATH_ATTRIBUTES.values())}
        self._saved_pager = pydoc.pipepager
        admin_events.zorna_events = self.service
        admin_events.print = self.printed
        admin_events.os = types.SimpleNamespace(system=self.commands)
        admin_events.ZornaConfigManager = Manager
        pydoc.pipepager = self.paged
        self.tree = None
        self.fail_at = None

    def lay_out(self):
        """A fresh tree with the default catalogue and richer settings for two events."""
        shutil.rmtree(self.root)
        os.mkdir(self.root)
        from pathlib import Path
        self.tree = Tree(Path(self.root))
        self.tree.add_members(DEFAULT_MEMBERS)
        for event, settings in DEFAULTS.items():
            group = next(g for g, members in DEFAULT_MEMBERS.items() if event in members)
            self.tree.add_event(group, event, settings)
        self.tree.write_current(CURRENT)
        self.tree.write_translations(TRANSLATIONS)
        for name, attribute in PATH_ATTRIBUTES.items():
            setattr(Z, attribute, getattr(self.tree, name))
        setattr(Z, PREFIX + "arch", "x86_64")
        admin_events.LANG = "name_en"
        self.service = admin_events.zorna_events = FakeEvents(DEFAULT_EVENTS, DEFAULT_GROUPS)
        self.enabled = {"user-deleted": 0, "file-opened": 0}  # the others are enabled

    @contextmanager
    def scenario(self, scenario):
        self.lay_out()
        if scenario.setup:
            scenario.setup(self)
        scenario.world = self
        try:
            yield
        finally:
            self.paged.fail = False
            self.managed.fail = False

    def reset(self, fail_at=None):
        """Empty the logs before one call; the service fails at its `fail_at`-th call."""
        self.service.calls.clear()
        self.service.fail_at = fail_at
        self.service.enabled = dict(self.enabled)
        for recorder in (self.printed, self.paged, self.commands, self.managed):
            recorder.calls.clear()

    def close(self):
        for name, value in self._saved_module.items():
            if value is KeyError:
                admin_events.__dict__.pop(name, None)
            else:
                setattr(admin_events, name, value)
        for name, value in self._saved_class.items():
            setattr(Z, name, value)
        pydoc.pipepager = self._saved_pager
        shutil.rmtree(self.root, ignore_errors=True)

    # ---- objects -------------------------------------------------------------

    def obj(self, events=None, groups=None):
        """An object made by the constructor (the lists are new each time: validation changes them)."""
        return Z(None if events is None else list(events), None if groups is None else list(groups))

    def bare(self, events=None, groups=None, translations=None, restart=False):
        """An object with its six attributes set directly, without asking the service."""
        o = object.__new__(Z)
        described = lambda table: {i: {"name_en": en, "name_ru": ru} for i, (en, ru) in table.items()}  # noqa: E731
        setattr(o, PREFIX + "event_id_list", None if events is None else list(events))
        setattr(o, PREFIX + "group_id_list", None if groups is None else list(groups))
        setattr(o, PREFIX + "event_section_translations", translations)
        setattr(o, PREFIX + "need_daemon_restart", restart)
        setattr(o, PREFIX + "event_description", described(self.service.events))
        setattr(o, PREFIX + "group_description", described(self.service.groups))
        return o


class Scenario:
    def __init__(self, name, targets, fn, expect=None, setup=None, fail_at=None):
        self.name = name
        self.targets = {targets} if isinstance(targets, str) else set(targets)
        self.fn = fn
        self.expect = expect if expect in (None, ANY) or isinstance(expect, tuple) else (expect,)
        self.setup = setup
        self.fail_at = fail_at
        self.world = None

    def run(self):
        self.world.reset(self.fail_at)
        self.fn(self.world)

    def expects(self, error):
        return self.expect == ANY or (self.expect is not None and isinstance(error, self.expect))

    def expects_result(self):
        return self.expect in (None, ANY)

    def expected_name(self):
        return " or ".join(t.__name__ for t in self.expect)


# ---- tree changes used as scenario set-ups ---------------------------------------

def write(relative, content):
    def setup(w):
        path = os.path.join(w.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content)
    return setup


def remove(relative):
    return lambda w: os.remove(os.path.join(w.root, relative))


def both(*setups):
    def setup(w):
        for s in setups:
            s(w)
    return setup


def ghost_group_first(w):
    """A catalogue group without a directory, listed before every other group."""
    w.service.groups = {"ghost": ("Ghost", "Призрак"), **w.service.groups}


def empty_group(w):
    w.service.groups["empty"] = ("Empty", "Пусто")
    os.mkdir(os.path.join(w.root, "event-settings", "empty"))


def odd_entries(w):
    """A group directory with a subdirectory, a file named like the group, an unknown file and a link."""
    users = os.path.join(w.root, "event-settings", "users")
    os.mkdir(os.path.join(users, "login-failed"))
    for name in ("users", "notes.txt"):
        with open(os.path.join(users, name), "w") as f:
            f.write("{}")
    os.symlink(os.path.join(w.root, "event-settings", "auth", "login-failed"), os.path.join(users, "user-added-link"))
    w.service.events["user-added-link"] = ("Link", "Ссылка")


def orphan_event(w):
    """A catalogue event that no group directory holds."""
    w.service.events["orphan"] = ("Orphan", "Сирота")


def bad_record(w):
    w.service.get_event_ids_ex = lambda detail: ["user-added,\"User added\""]


def russian(w):
    admin_events.LANG = "name_ru"


def arch(name):
    return lambda w: setattr(Z, PREFIX + "arch", name)


def pager_fails(w):
    w.paged.fail = True


def manager_fails(w):
    w.managed.fail = True


def states(**enabled):
    return lambda w: w.enabled.update(enabled)


# ---- the scenarios ---------------------------------------------------------------------

FILES = ["file-opened", "modifying-file", "modifying-directory"]


def expect_type_error(call):
    try:
        call()
    except TypeError:
        return
    raise AssertionError("a TypeError was expected")


def bad_calls(w):
    """Every method, called with arguments that binding or the parameter-type rule refuse."""
    o = w.bare()
    for stored, member in list(Z.__dict__.items()):
        if stored.startswith("__") or not (callable(member) or isinstance(member, staticmethod)):
            continue
        bound = getattr(Z if isinstance(member, staticmethod) else o, stored)
        expect_type_error(lambda: bound(1, 2, 3, 4, 5))
        expect_type_error(lambda: bound(no_such_parameter=1))
        expect_type_error(lambda: bound(*([0] * 0), **{"": 1}))
    expect_type_error(lambda: Z(("a",), None))
    expect_type_error(lambda: Z(None, {"a"}))
    expect_type_error(lambda: Z())
    expect_type_error(lambda: Z(None, None, None))
    expect_type_error(lambda: Z(None, group_id_list=None, event_id_list=None))
    expect_type_error(lambda: o.set_properties(1, "p", "v"))
    expect_type_error(lambda: o.set_properties("s", b"p", "v"))
    expect_type_error(lambda: o.set_properties("s", "p", 1.5))
    expect_type_error(lambda: o.set_properties())
    expect_type_error(lambda: o.set_facility(["x"]))
    expect_type_error(lambda: Z.export_config(object()))
    expect_type_error(lambda: o.import_config(input_file=3))
    expect_type_error(lambda: private(o, "get_multiple_string")(("a",)))
    expect_type_error(lambda: private(o, "get_multiple_string")())
    expect_type_error(lambda: private(Z, "get_events_by_group_id")(group_id=1))
    expect_type_error(lambda: private(o, "get_event_config_string")())
    expect_type_error(lambda: private(o, "process_path_value")(5, "x"))


def reimport(w):
    del sys.modules[MODULE_NAME]
    module = importlib.import_module(MODULE_NAME)
    assert module is admin_events


class Unformattable:
    def __format__(self, spec):
        raise ValueError("no text form")


def audit_builders(w):
    for builder in private(Z, "audit_rules").values():
        builder("/etc/pass wd")
        builder(12)


def frame(add):
    add("frame: refused arguments of every method", set(), bad_calls)
    add("frame: audit rule builders", set(), audit_builders)
    add("frame: audit rule builder on a value without text form", set(),
        lambda w: private(Z, "audit_rules")["b64"](Unformattable()), ValueError)
    add("frame: import again after removal from sys.modules", set(), reimport)
    add("frame: importlib.reload", set(), lambda w: importlib.reload(admin_events))


def selection(add):
    add("__init__: no selection", "__init__", lambda w: w.obj())
    add("__init__: known, unknown and repeated IDs", {"__init__", "__prepare_groups", "__prepare_events",
                                                       "__get_all_event_description", "__get_all_group_description"},
        lambda w: w.obj(["user-added", "nope", "user-added", "nope", "Login-Failed"], ["auth", "zzz", "auth"]))
    add("__init__: IDs that are not text", "__init__", lambda w: w.obj(["user-added", 5], ["auth"]), TypeError)
    add("__init__: description record with too few fields", "__init__", lambda w: w.obj(), IndexError,
        setup=bad_record)
    add("__prepare_groups: unknown groups", "__prepare_groups",
        lambda w: private(w.bare(groups=["auth", "x", "x", "users"]), "prepare_groups")())
    add("__prepare_events: unknown events", "__prepare_events",
        lambda w: private(w.bare(events=["x", "user-added", "x"]), "prepare_events")())
    add("__prepare_events: nothing selected", "__prepare_events",
        lambda w: private(w.bare(events=[]), "prepare_events")())

    scan = lambda group: private(Z, "get_events_by_group_id")(group)  # noqa: E731
    add("__get_events_by_group_id: a group", "__get_events_by_group_id", lambda w: scan("files"))
    add("__get_events_by_group_id: odd entries", "__get_events_by_group_id", lambda w: scan("users"),
        setup=odd_entries)
    add("__get_events_by_group_id: missing directory", "__get_events_by_group_id", lambda w: scan("nope"),
        FileNotFoundError)
    add("__get_events_by_group_id: a file, not a directory", "__get_events_by_group_id",
        lambda w: scan("files/file-opened"), NotADirectoryError)
    add("__get_events_by_group_id: None", "__get_events_by_group_id", lambda w: scan(None), TypeError)

    grouped = lambda w, groups: private(w.bare(), "get_grouped_events")(groups)  # noqa: E731
    add("__get_grouped_events: repeated groups", "__get_grouped_events",
        lambda w: grouped(w, ["users", "auth", "users", "files"]))
    add("__get_grouped_events: None", "__get_grouped_events", lambda w: grouped(w, None), TypeError)
    add("__get_grouped_events: missing directory", "__get_grouped_events", lambda w: grouped(w, ["auth", "nope"]),
        FileNotFoundError)
    add("__get_grouped_events: unorderable IDs", "__get_grouped_events", lambda w: grouped(w, ["auth", 1]),
        TypeError)

    group_of = lambda w, event: private(w.bare(), "get_event_group")(event)  # noqa: E731
    add("__get_event_group: found", "__get_event_group", lambda w: group_of(w, "login-failed"))
    add("__get_event_group: in no group", "__get_event_group", lambda w: group_of(w, "orphan"), setup=orphan_event)
    add("__get_event_group: None", "__get_event_group", lambda w: group_of(w, None))
    add("__get_event_group: a group without directory first", "__get_event_group",
        lambda w: group_of(w, "login-failed"), FileNotFoundError, setup=ghost_group_first)


def show_undescribed(w):
    o = w.bare(groups=["users"])
    del private(o, "event_description")["user-deleted"]
    o.show_groups()


def listings(add):
    for kind in ("event", "group"):
        loader = f"get_all_{kind}_description"
        add(f"__{loader}: records", f"__{loader}", lambda w, n=loader: private(Z, n)())
        add(f"__{loader}: service result not iterable", f"__{loader}", lambda w, n=loader: private(Z, n)(), TypeError,
            setup=lambda w, k=kind: setattr(w.service, f"get_{k}_ids_ex", lambda detail: 5))
        add(f"__{loader}: records that are not text", f"__{loader}", lambda w, n=loader: private(Z, n)(),
            (AttributeError, TypeError),
            setup=lambda w, k=kind: setattr(w.service, f"get_{k}_ids_ex", lambda detail: [b"a,b,c"]))
    add("__get_all_event_description: record with too few fields", "__get_all_event_description",
        lambda w: private(Z, "get_all_event_description")(), IndexError, setup=bad_record)

    listing = lambda w, *a, **k: private(w.bare(), "get_multiple_string")(*a, **k)  # noqa: E731
    add("__get_multiple_string: events", "__get_multiple_string", lambda w: listing(w, ["user-added", "file-opened"]))
    add("__get_multiple_string: groups", "__get_multiple_string",
        lambda w: listing(w, ["users", "auth"], new_status=1))
    add("__get_multiple_string: empty", "__get_multiple_string", lambda w: listing(w, []), ANY)
    add("__get_multiple_string: unknown ID", "__get_multiple_string", lambda w: listing(w, ["user-added", "x"]),
        KeyError)
    add("__get_multiple_string: ID that is not text", "__get_multiple_string", lambda w: listing(w, [5]), TypeError)
    add("__get_multiple_string: None", "__get_multiple_string", lambda w: listing(w, None), TypeError)
    add("__get_multiple_string: status fails", "__get_multiple_string",
        lambda w: listing(w, ["user-added", "file-opened"]), ServiceFailure, fail_at=2)

    header = lambda w, g: private(w.bare(), "get_group_string")(g)  # noqa: E731
    add("__get_group_string: a group", "__get_group_string", lambda w: header(w, "auth"))
    add("__get_group_string: unknown group", "__get_group_string", lambda w: header(w, "x"), KeyError)
    add("__get_group_string: None", "__get_group_string", lambda w: header(w, None), KeyError)

    add("show_groups: groups", {"show_groups", "__show_groups"},
        lambda w: w.bare(groups=["users", "files", "auth"]).show_groups())
    add("show_groups: a group without events", "show_groups", lambda w: w.bare(groups=["empty", "auth"]).show_groups(),
        setup=empty_group)
    add("show_groups: no selection", "show_groups", lambda w: w.bare().show_groups(), TypeError)
    add("show_groups: pager fails", "show_groups", lambda w: w.bare(groups=["auth"]).show_groups(), OSError,
        setup=pager_fails)
    add("show_groups: description missing", "show_groups", show_undescribed, KeyError)
    add("__show_groups: direct", "__show_groups", lambda w: private(w.bare(groups=["auth"]), "show_groups")())
    add("show_all_groups", "show_all_groups", lambda w: w.bare().show_all_groups())
    add("show_all_groups: a group without directory", "show_all_groups", lambda w: w.bare().show_all_groups(),
        FileNotFoundError, setup=ghost_group_first)


def view(add):
    show = lambda w, events: w.bare(events=events).show_events()  # noqa: E731
    targets = {"show_events", "__get_event_config", "__get_event_config_string", "__sort_nested_dict",
               "__load_event_section_translations", "__get_event_section_translation"}
    add("show_events: merged and rendered", targets, lambda w: show(w, ["user-added", "login-failed", "file-opened"]))
    add("show_events: in Russian with translations", targets, lambda w: show(w, ["user-added", "login-failed"]),
        setup=russian)
    add("show_events: translations missing", "show_events", lambda w: show(w, ["user-added"]),
        setup=both(russian, remove("eventsdictionary.json")))
    add("show_events: translations malformed", "show_events", lambda w: show(w, ["user-added"]),
        setup=both(russian, write("eventsdictionary.json", "{'message'")))
    add("show_events: translation entry is text", "show_events", lambda w: show(w, ["user-added"]), TypeError,
        setup=both(russian, write("eventsdictionary.json", '{"message": "true"}')))
    add("show_events: translations are a list", "show_events", lambda w: show(w, ["user-added"]), AttributeError,
        setup=both(russian, write("eventsdictionary.json", '["message"]')))
    add("show_events: translations file is a directory", "show_events", lambda w: show(w, ["user-added"]), OSError,
        setup=both(russian, remove("eventsdictionary.json"), lambda w: os.mkdir(os.path.join(w.root,
                                                                                             "eventsdictionary.json"))))
    add("show_events: no current configuration", "show_events", lambda w: show(w, ["user-added"]),
        setup=remove("zorna-syslog.conf"))
    add("show_events: defaults missing", "show_events", lambda w: show(w, ["login-failed", "user-added"]),
        FileNotFoundError, setup=remove("event-settings/users/user-added"))
    add("show_events: defaults malformed", "show_events", lambda w: show(w, ["user-added"]), JSONDecodeError,
        setup=write("event-settings/users/user-added", '{"enabled": '))
    add("show_events: defaults not an object", "show_events", lambda w: show(w, ["user-added"]),
        (AttributeError, TypeError), setup=write("event-settings/users/user-added", '[1, 2]'))
    add("show_events: current configuration malformed", "show_events", lambda w: show(w, ["user-added"]),
        JSONDecodeError, setup=write("zorna-syslog.conf", ""))
    add("show_events: current configuration not an object", "show_events", lambda w: show(w, ["user-added"]),
        AttributeError, setup=write("zorna-syslog.conf", '["user-added"]'))
    add("show_events: current entry not an object", "show_events", lambda w: show(w, ["user-added"]), TypeError,
        setup=write("zorna-syslog.conf", '{"user-added": 5}'))
    add("show_events: event in no group", "show_events", lambda w: show(w, ["orphan"]), ANY, setup=orphan_event)
    add("show_events: no selection", "show_events", lambda w: show(w, None), TypeError)
    add("show_events: pager fails", "show_events", lambda w: show(w, ["user-added"]), OSError, setup=pager_fails)

    config = lambda w, e: private(w.bare(), "get_event_config")(e)  # noqa: E731
    add("__get_event_config: merged", "__get_event_config", lambda w: config(w, "user-added"))
    add("__get_event_config: defaults missing", "__get_event_config", lambda w: config(w, "user-added"),
        FileNotFoundError, setup=remove("event-settings/users/user-added"))

    translation = lambda w, t, key: private(w.bare(translations=t), "get_event_section_translation")(key)  # noqa
    add("__get_event_section_translation: found and absent", "__get_event_section_translation",
        lambda w: [translation(w, TRANSLATIONS, k) for k in ("message", "nested", "extra", "none")])
    add("__get_event_section_translation: none loaded", "__get_event_section_translation",
        lambda w: translation(w, None, "message"))
    add("__get_event_section_translation: entry is text", "__get_event_section_translation",
        lambda w: translation(w, {"message": "ru!"}, "message"), TypeError)
    add("__get_event_section_translation: translations are a list", "__get_event_section_translation",
        lambda w: translation(w, ["message"], "message"), AttributeError)

    load = lambda w: private(w.bare(), "load_event_section_translations")()  # noqa: E731
    add("__load_event_section_translations: English", "__load_event_section_translations", load)
    add("__load_event_section_translations: Russian", "__load_event_section_translations", load, setup=russian)
    add("__load_event_section_translations: malformed", "__load_event_section_translations", load,
        setup=both(russian, write("eventsdictionary.json", "[")))

    render = lambda w, *a: private(w.bare(translations=TRANSLATIONS), "get_event_config_string")(*a)  # noqa: E731
    add("__get_event_config_string: nested", "__get_event_config_string",
        lambda w: render(w, DEFAULTS["user-added"], 1))
    add("__get_event_config_string: not a mapping", "__get_event_config_string", lambda w: render(w, 5),
        AttributeError)
    add("__get_event_config_string: indent not a number", "__get_event_config_string",
        lambda w: render(w, {"a": 1}, "x"), TypeError)
    add("__get_event_config_string: keys that are not text", "__get_event_config_string",
        lambda w: render(w, {1: {2: 3}, None: 4}), ANY)

    sort = private(Z, "sort_nested_dict")
    add("__sort_nested_dict: nested", "__sort_nested_dict", lambda w: sort(DEFAULTS["user-added"]))
    add("__sort_nested_dict: unorderable keys", "__sort_nested_dict", lambda w: sort({"a": {1: 1, "b": 2}}),
        TypeError)
    add("__sort_nested_dict: not a mapping", "__sort_nested_dict", lambda w: sort([1]), AttributeError)


def changes(add):
    switch = lambda w, method, events=None, groups=None: getattr(w.bare(events, groups), method)()  # noqa: E731
    targets = {"__process_ids", "__process_group", "__process_event"}
    for method in ("enable", "disable"):
        add(f"{method}: events and groups", targets | {method},
            lambda w, m=method: switch(w, m, ["user-added", "user-deleted", "file-opened"], ["files", "users"]))
        add(f"{method}: state neither 0 nor 1", method, lambda w, m=method: switch(w, m, ["user-added"]),
            setup=states(**{"user-added": 2}))
        add(f"{method}: nothing selected", method, lambda w, m=method: switch(w, m, [], None))
        add(f"{method}: group without directory", method, lambda w, m=method: switch(w, m, None, ["nope"]),
            FileNotFoundError)

    def failing_action(event_id):
        raise LookupError(event_id)
    add("__process_event: action fails", "__process_event",
        lambda w: private(w.bare(), "process_event")("user-added", failing_action), LookupError)
    add("__process_event: action by keyword", "__process_event",
        lambda w: private(w.bare(), "process_event")(event_id="user-added", action=w.service.disable_event))
    add("__process_group: a group", "__process_group",
        lambda w: private(w.bare(), "process_group")("files", w.service.enable_event))
    add("__process_group: None", "__process_group",
        lambda w: private(w.bare(), "process_group")(None, w.service.enable_event), TypeError)
    add("__process_ids: both selections", "__process_ids",
        lambda w: private(w.bare(["user-added"], ["auth"]), "process_ids")(w.service.disable_event))

    for method in ("set_priority", "set_facility"):
        for label, value in (("plain", "info"), ("None", None), ("quotes and backslashes", 'a"b\\c\'d'),
                             ("non-ASCII", "авт\u2028х")):
            add(f"{method}: {label}", {method, "__set_syslog_message_param"},
                lambda w, m=method, v=value: getattr(w.bare(["user-added", "file-opened"], ["auth", "users"]), m)(v))
        add(f"{method}: nothing selected", method, lambda w, m=method: getattr(w.bare([], None), m)("x"))
        add(f"{method}: group without directory", method,
            lambda w, m=method: getattr(w.bare(["user-added"], ["nope"]), m)("x"), FileNotFoundError)
    add("__set_syslog_message_param: direct", "__set_syslog_message_param",
        lambda w: private(w.bare(["login-failed"]), "set_syslog_message_param")("priority", "err"))

    props = lambda w, value, events=("user-added",) + tuple(FILES): \
        w.bare(list(events) if events is not None else None).set_properties("section", "parameter", value)  # noqa
    values = [("a path", '"/etc/pass wd"'), ("a list of paths", '["/a b", "/c\\\\d", "/é"]'),
              ("an object of paths", '{"/x": 1, "/y": [2]}'), ("an empty list", "[]"), ("a number", "5"),
              ("NaN", "NaN"), ("null", "null"), ("true", " true "), ("not JSON", "nope"), ("empty text", ""),
              ("a path that is not text", '["/a", 1]'), ("a path with a line break", '["/a\\nb"]'),
              ("a path with NUL", '"/a\\u0000b"'), ("nested lists", '[["/a"]]'), ("a relative path", '"etc/x"'),
              ("a path over 256 bytes", '"/' + 200 * "я" + '"'), ("a lone surrogate", '"/\\ud800"'),
              ("a path with U+2028", '["/a\u2028b"]')]
    for label, value in values:
        add(f"set_properties: {label}", {"set_properties", "__process_path_value"},
            lambda w, v=value: props(w, v), ANY if label in ("a path that is not text", "nested lists") else None)
    add("set_properties: VALUE None", "set_properties", lambda w: props(w, None), TypeError)
    add("set_properties: no selection", "set_properties", lambda w: props(w, '"x"', None), TypeError)
    add("set_properties: no events selected", "set_properties", lambda w: props(w, '"x"', ()))
    for label, value in (("audit rules", '["-w /x -p wa", ""]'), ("audit rules with a line break", '["-w /x\\n-D"]'),
                         ("audit rules not a list", '{"-w /x": 1}'), ("audit rules not text", '["-D", 1]')):
        add(f"set_properties: {label}", "set_properties",
            lambda w, v=value: w.bare(["login-failed"]).set_properties("", "message-audit-rules", v))

    path_value = lambda w, e, v: private(w.bare(), "process_path_value")(e, v)  # noqa: E731
    for machine in ("x86_64", "aarch64", "armv7l", "i686"):
        add(f"__process_path_value: file-opened on {machine}", "__process_path_value",
            lambda w: path_value(w, "file-opened", ["/a b", "/é"]), setup=arch(machine))
    add("__process_path_value: watch rules from an object", "__process_path_value",
        lambda w: path_value(w, "modifying-file", {"/a": 1, "/b c": 2}))
    add("__process_path_value: a path", "__process_path_value", lambda w: path_value(w, None, "/x"))
    add("__process_path_value: a path that is not text", "__process_path_value",
        lambda w: path_value(w, "modifying-file", ["/a", 5]), ANY)
    add("__process_path_value: not iterable", "__process_path_value", lambda w: path_value(w, "file-opened", 5),
        TypeError)

    add("export_config", "export_config", lambda w: Z.export_config("/tmp/x.json"))
    add("export_config: None", "export_config", lambda w: Z.export_config(None), TypeError)
    add("export_config: manager fails", "export_config", lambda w: Z.export_config("x"), OSError,
        setup=manager_fails)
    add("import_config", "import_config", lambda w: w.bare().import_config("x.json"))
    add("import_config: None", "import_config", lambda w: w.bare().import_config(None), TypeError)
    add("import_config: manager fails", "import_config", lambda w: w.bare().import_config("x"), OSError,
        setup=manager_fails)
    add("restart_daemons: nothing changed", "restart_daemons", lambda w: w.bare().restart_daemons())
    add("restart_daemons: after a change", "restart_daemons", lambda w: w.bare(restart=True).restart_daemons())
    add("restart_daemons: shell fails", "restart_daemons", lambda w: w.bare(restart=True).restart_daemons(), OSError,
        setup=lambda w: setattr(w.commands, "fail", True))


# Whole runs of the public methods; each is repeated with the service failing at
# its k-th call, for every k of the run.
SWEEPS = [
    ("construction", "__init__", lambda w: w.obj(["user-added", "x", "file-opened"], ["auth", "y"])),
    ("enable", "enable", lambda w: w.bare(["user-added", "user-deleted"], ["files", "auth"]).enable()),
    ("disable", "disable", lambda w: w.bare(["user-added", "user-deleted"], ["files"]).disable()),
    ("set_facility", "set_facility", lambda w: w.bare(["user-added"], ["files", "auth"]).set_facility("local0")),
    ("set_priority", "set_priority", lambda w: w.bare(["login-failed"], ["users"]).set_priority("err")),
    ("set_properties", "set_properties",
     lambda w: w.bare(["user-added"] + FILES).set_properties("s", "p", '["/a b", "/c"]')),
    ("show_events", "show_events", lambda w: w.bare(["user-added", "file-opened"]).show_events()),
    ("show_groups", "show_groups", lambda w: w.bare(groups=["users", "auth"]).show_groups()),
    ("show_all_groups", "show_all_groups", lambda w: w.bare().show_all_groups()),
]


def sweeps(world, add):
    for label, target, fn in SWEEPS:
        world.lay_out()
        world.reset()
        try:
            fn(world)
        except NotImplementedError:
            add(f"{label}: stub", target, fn)
            continue
        for k in range(1, len(world.service.calls) + 1):
            add(f"{label}: service fails at call {k}", target, fn, ServiceFailure, fail_at=k)


def build(world):
    found = []

    def add(name, targets, fn, expect=None, setup=None, fail_at=None):
        found.append(Scenario(name, targets, fn, expect, setup, fail_at))

    for group in (frame, selection, listings, view, changes):
        group(add)
    sweeps(world, add)
    return found


def methods():
    """The names of the class's methods as the class body writes them."""
    names = set()
    for stored, member in Z.__dict__.items():
        if callable(member) or isinstance(member, staticmethod):
            names.add("__" + stored[len(PREFIX):] if stored.startswith(PREFIX) else stored)
    return names - {"__audit_rules"}


def uncovered(found):
    targeted = set().union(*(s.targets for s in found))
    return methods() - targeted


