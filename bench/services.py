"""The two event services the benchmarks run against.

`MemoryEvents` answers from dictionaries built once from a synthetic tree, so
its calls cost next to nothing and the module's own work stands out.  The
file-backed stand-in (`zorna_events`, installed from standin/) reads the tree
itself.  Both are driven through `Service`, which also knows how to put the
enabled state and the current configuration back between two runs.
"""
from __future__ import annotations

import json
import os
import types
from typing import Dict, Iterable, List

from tree import SyntheticTree

# The operations of the event service that the module calls.
OPERATIONS = ("get_event_ids", "get_group_ids", "get_event_ids_ex", "get_group_ids_ex", "is_event_enabled",
              "enable_event", "disable_event", "set_event_param")


class MemoryEvents:
    """An in-memory event service over a tree's catalogue.

    Each answer is a fresh list, as a real service hands out; enabled states
    and stored parameters live in dicts.
    """

    def __init__(self, tree: SyntheticTree):
        self._event_ids = tuple(tree.event_ids)
        self._group_ids = tuple(tree.group_ids)
        self._event_records = tuple(f'{i},"{en}","{ru}"' for i, (en, ru) in tree.event_names.items())
        self._group_records = tuple(f'{i},"{en}","{ru}"' for i, (en, ru) in tree.group_names.items())
        disabled = set(tree.disabled)
        self.pristine = {event_id: 0 if event_id in disabled else 1 for event_id in self._event_ids}
        self.enabled: Dict[str, int] = dict(self.pristine)
        self.params: Dict[tuple, str] = {}

    def get_event_ids(self) -> List[str]:
        return list(self._event_ids)

    def get_group_ids(self) -> List[str]:
        return list(self._group_ids)

    def get_event_ids_ex(self, detail: int) -> List[str]:
        return list(self._event_records)

    def get_group_ids_ex(self, detail: int) -> List[str]:
        return list(self._group_records)

    def is_event_enabled(self, event_id: str) -> int:
        return self.enabled[event_id]

    def enable_event(self, event_id: str) -> None:
        self.enabled[event_id] = 1

    def disable_event(self, event_id: str) -> None:
        self.enabled[event_id] = 0

    def set_event_param(self, event_id: str, section: str, parameter: str, value: str) -> None:
        self.params[(event_id, section, parameter)] = value

    def as_module(self) -> types.ModuleType:
        """A module object whose functions are this service's operations.

        The module looks its operations up as attributes of a module; bound
        methods stored once make that a plain dict look-up, as for a real one.
        """
        module = types.ModuleType("zorna_events")
        for name in OPERATIONS:
            setattr(module, name, getattr(self, name))
        return module


def memory_manager_class(service: MemoryEvents) -> type:
    """A ZornaConfigManager for the in-memory service: it notes the paths only."""

    class MemoryConfigManager:
        def export_config(self, path) -> None:
            service.params[("export",)] = path

        def import_config(self, path) -> None:
            service.params[("import",)] = path

    return MemoryConfigManager


class Service:
    """One event service over one tree, with the means to reset its state."""

    kind = ""

    def __init__(self, tree: SyntheticTree):
        self.tree = tree

    events_module: types.ModuleType
    manager_class: type

    def reset(self, flipped: Iterable[str] = ()) -> None:
        """Put back the tree's enabled states, with those of `flipped` inverted, and drop stored parameters."""
        raise NotImplementedError

    def warm(self) -> None:
        """Let the service load what it keeps between calls (so runs compare alike)."""


class MemoryService(Service):
    kind = "memory"

    def __init__(self, tree: SyntheticTree):
        super().__init__(tree)
        self.events = MemoryEvents(tree)
        self.events_module = self.events.as_module()
        self.manager_class = memory_manager_class(self.events)

    def reset(self, flipped: Iterable[str] = ()) -> None:
        self.events.enabled = dict(self.events.pristine)
        for event_id in flipped:
            self.events.enabled[event_id] ^= 1
        self.events.params.clear()


class StandinService(Service):
    """The file-backed stand-in, rooted at the tree."""

    kind = "stand-in"

    def __init__(self, tree: SyntheticTree):
        super().__init__(tree)
        import zorna_events
        from zorna_event_config_manager.config_manager import ZornaConfigManager

        os.environ["ZORNA_EVENTS_ROOT"] = str(tree.root)
        self.events_module = zorna_events
        self.manager_class = ZornaConfigManager
        self._pristine_text = tree.current_config_file.read_text(encoding="ascii")

    def reset(self, flipped: Iterable[str] = ()) -> None:
        flipped = list(flipped)
        text = self._pristine_text
        if flipped:
            document = json.loads(self._pristine_text)
            for event_id in flipped:
                entry = document[event_id]
                entry["enabled"] = "1" if entry["enabled"] == "0" else "0"
            text = json.dumps(document, indent=4, ensure_ascii=True) + "\n"
        # Replace the file (a new inode), as the service's own writes do, so
        # that what it keeps of the old content is dropped.
        path = self.tree.current_config_file
        temporary = path.with_name(path.name + ".bench")
        temporary.write_text(text, encoding="ascii")
        os.replace(temporary, path)

    def warm(self) -> None:
        module = self.events_module
        module.get_event_ids()
        module.is_event_enabled(self.tree.event_ids[0])


def make_service(kind: str, tree: SyntheticTree) -> Service:
    if kind == MemoryService.kind:
        return MemoryService(tree)
    if kind == StandinService.kind:
        return StandinService(tree)
    raise ValueError(f"unknown service {kind!r}")

