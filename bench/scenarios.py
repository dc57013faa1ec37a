"""What is measured: one scenario per public method, and the environment the
module runs in while it is measured.

`Environment.installed(ledger)` points the module at the tree and the service
(the three path class attributes, `zorna_events`, `ZornaConfigManager`),
replaces the pager and the shell with recorders and sends standard output to
/dev/null.  Without a ledger everything is the real thing; with one, every
outside callable the module reaches is timed (see timing.py).
"""
from __future__ import annotations

import builtins
import contextlib
import os
import pathlib
import pydoc
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, FrozenSet, List, Optional

from zorna_admin_events import admin_events

from services import OPERATIONS, Service
from timing import Ledger

ZornaAdminEvents = admin_events.ZornaAdminEvents

_PATH_ATTRIBUTES = {
    "_ZornaAdminEvents__default_config_dir": "default_config_dir",
    "_ZornaAdminEvents__current_config_file": "current_config_file",
    "_ZornaAdminEvents__param_ru_translations_file": "translations_file",
}
_MISSING = object()


class Recorder:
    """Stands in for pydoc.pipepager and os.system: notes the size of what it got."""

    def __init__(self) -> None:
        self.calls = 0
        self.characters = 0

    def pager(self, text=None, cmd=None):
        self.calls += 1
        self.characters += len(text)

    def system(self, command):
        self.calls += 1
        self.characters += len(command)
        return 0


class Environment:
    """The module, a tree and a service, ready to be measured."""

    def __init__(self, service: Service, lang: str = "name_ru"):
        self.service = service
        self.tree = service.tree
        self.lang = lang
        self.recorder = Recorder()
        # Beside the tree, so that it goes when the tree goes.
        self.scratch = self.tree.root.with_name(self.tree.root.name + "-scratch")
        self.scratch.mkdir(exist_ok=True)

    @contextlib.contextmanager
    def installed(self, ledger: Optional[Ledger] = None, target=admin_events):
        """`target`: the module to point at the tree (compare.py also points
        its Python and Cython builds of the same steps)."""
        module_values = {
            "zorna_events": self.service.events_module,
            "ZornaConfigManager": self.service.manager_class,
            "LANG": self.lang,
        }
        path_class = pathlib.Path
        pager, system = self.recorder.pager, self.recorder.system
        if ledger is not None:
            module_values.update(
                zorna_events=ledger.module_proxy("service", self.service.events_module, OPERATIONS),
                ZornaConfigManager=ledger.manager_factory(self.service.manager_class),
                json=ledger.json_proxy(),
                Path=ledger.wrap("pathlib.Path", pathlib.Path),
                print=ledger.wrap("print.print", builtins.print),
                _=ledger.wrap("gettext._", admin_events._),
            )
            path_class = ledger.path_class()
            pager = ledger.wrap("pager.pipepager", pager)
            system = ledger.wrap("system.system", system)

        cls = target.ZornaAdminEvents
        saved_module = {name: getattr(target, name, _MISSING) for name in module_values}
        saved_class = {name: cls.__dict__[name] for name in _PATH_ATTRIBUTES}
        saved_pager, saved_system, saved_stdout = pydoc.pipepager, os.system, sys.stdout
        sink = open(os.devnull, "w")
        try:
            for name, value in module_values.items():
                setattr(target, name, value)
            for name, tree_attribute in _PATH_ATTRIBUTES.items():
                setattr(cls, name, path_class(getattr(self.tree, tree_attribute)))
            pydoc.pipepager, os.system = pager, system
            sys.stdout = sink
            yield self
        finally:
            sys.stdout = saved_stdout
            sink.close()
            pydoc.pipepager, os.system = saved_pager, saved_system
            for name, value in saved_class.items():
                setattr(cls, name, value)
            for name, value in saved_module.items():
                if value is _MISSING:
                    delattr(target, name)
                else:
                    setattr(target, name, value)


# ---- the outside calls each method is expected to make --------------------------

_SCAN = ("service.get_event_ids", "pathlib.__truediv__", "pathlib.iterdir", "pathlib.iterdir.next",
         "pathlib.is_file", "pathlib.name")
_READ = ("pathlib.open", "pathlib.exists", "file.__enter__", "file.__exit__", "json.load")
_MANDATED = {
    "construction": ("service.get_group_ids", "service.get_event_ids", "service.get_event_ids_ex",
                     "service.get_group_ids_ex"),
    "show_groups": _SCAN + ("service.is_event_enabled", "pager.pipepager"),
    "show_all_groups": _SCAN + ("service.get_group_ids", "service.is_event_enabled", "pager.pipepager"),
    "show_events": _SCAN + _READ + ("service.get_group_ids", "pager.pipepager"),
    "enable": _SCAN + ("service.is_event_enabled", "service.enable_event", "print.print"),
    "disable": _SCAN + ("service.is_event_enabled", "service.disable_event", "print.print"),
    "set_facility": _SCAN + ("service.set_event_param", "print.print"),
    "set_priority": _SCAN + ("service.set_event_param", "print.print"),
    "set_properties (ordinary)": ("json.loads", "service.set_event_param"),
    "set_properties (special)": ("json.loads", "service.set_event_param", "json.dumps"),
    "export_config": ("service.ZornaConfigManager", "service.export_config", "pathlib.Path"),
    "import_config": ("service.ZornaConfigManager", "service.import_config", "pathlib.Path"),
    "restart_daemons": ("system.system",),
}


@dataclass
class Scenario:
    """One public method under one selection.

    `prepare` builds (untimed) what one run needs and returns it; `run`
    makes the measured call.  With the services named in `repeatable`, a run
    leaves things as it found them (or as the next run needs them), so one
    preparation may serve several runs in a row; with the others every run
    gets a preparation of its own.
    """

    name: str
    selection: str
    prepare: Callable[[Environment], Any]
    run: Callable[[Any], None]
    repeatable: FrozenSet[str]
    mandated: FrozenSet[str] = field(default_factory=frozenset)


def _fresh(env: Environment, events, groups, flipped=()) -> ZornaAdminEvents:
    env.service.reset(flipped)
    env.service.warm()
    return ZornaAdminEvents(events, groups)


def scenarios(show_events_count: int, change_events_count: int) -> List[Scenario]:
    """Every public method; selections are described in `selection`."""

    def changing(env: Environment):
        return env.tree.spread(change_events_count), [env.tree.middle_group()]

    def flipped(env: Environment):
        # Every event the selection reaches, once even if named and in the group.
        events, groups = changing(env)
        return set(events) | set(env.tree.members[groups[0]])

    path_value = '["/etc/shadow", "/var/log/audit log"]'
    change_selection = f"{change_events_count} events + 1 group"

    def ordinary_event(env: Environment) -> str:
        return env.tree.event_ids[-1]

    def export_target(env: Environment) -> str:
        return str(env.scratch / "exported.conf")

    def import_source(env: Environment) -> str:
        source = env.scratch / "imported.conf"
        if not source.exists():
            source.write_bytes(env.tree.current_config_file.read_bytes())
        return str(source)

    def needing_restart(env: Environment):
        obj = _fresh(env, None, None)
        setattr(obj, "_ZornaAdminEvents__need_daemon_restart", True)
        return obj

    ALWAYS, NEVER, IN_MEMORY = {"memory", "stand-in"}, set(), {"memory"}
    table = [
        Scenario("construction", "all events + all groups",
                 # All IDs are known, so the lists come out unchanged and serve again.
                 lambda env: (env.service.warm(), env.tree.event_ids, env.tree.group_ids),
                 lambda state: ZornaAdminEvents(state[1], state[2]), ALWAYS),
        Scenario("show_groups", "all groups",
                 lambda env: _fresh(env, None, env.tree.group_ids), lambda obj: obj.show_groups(), ALWAYS),
        Scenario("show_all_groups", "whole catalogue",
                 lambda env: _fresh(env, None, None), lambda obj: obj.show_all_groups(), ALWAYS),
        Scenario("show_events", f"{show_events_count} events",
                 lambda env: _fresh(env, env.tree.spread(show_events_count), None),
                 lambda obj: obj.show_events(), ALWAYS),
        Scenario("enable", change_selection,
                 lambda env: _fresh(env, *changing(env)), lambda obj: obj.enable(), NEVER),
        Scenario("disable", change_selection,
                 lambda env: _fresh(env, *changing(env), flipped=flipped(env)), lambda obj: obj.disable(), NEVER),
        Scenario("set_facility", change_selection,
                 lambda env: _fresh(env, *changing(env)), lambda obj: obj.set_facility("local5"), IN_MEMORY),
        Scenario("set_priority", change_selection,
                 lambda env: _fresh(env, *changing(env)), lambda obj: obj.set_priority("warning"), IN_MEMORY),
        Scenario("set_properties (ordinary)", "1 event",
                 lambda env: _fresh(env, [ordinary_event(env)], None),
                 lambda obj: obj.set_properties("watch", "paths", path_value), IN_MEMORY),
        Scenario("set_properties (special)", "1 event (file-opened)",
                 lambda env: _fresh(env, ["file-opened"], None),
                 lambda obj: obj.set_properties("watch", "paths", path_value), IN_MEMORY),
        Scenario("export_config", "static",
                 lambda env: (env.service.warm(), export_target(env))[1],
                 lambda target: ZornaAdminEvents.export_config(target), ALWAYS),
        Scenario("import_config", "exported copy",
                 lambda env: (_fresh(env, None, None), import_source(env)),
                 lambda state: state[0].import_config(state[1]), ALWAYS),
        Scenario("restart_daemons", "after a change",
                 needing_restart, lambda obj: obj.restart_daemons(), ALWAYS),
    ]
    for scenario in table:
        scenario.repeatable = frozenset(scenario.repeatable)
        scenario.mandated = frozenset(_MANDATED[scenario.name])
    return table
