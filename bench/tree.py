"""Synthetic event trees for the benchmarks.

A tree of N events has N / 100 groups of 100 events each, laid out the way
the administration module and the stand-in service expect them under one
root directory:

    usr/share/syslog-ng-mod-zorna/catalogue.json         groups and events with names
    usr/share/syslog-ng-mod-zorna/event-settings/G/E     defaults of event E of group G
    etc/zorna-syslog.conf                                current settings of every event
    etc/vek-admin-events/eventsdictionary.json           Russian section names

The defaults hold plain settings and sections nested three levels deep; the
current configuration has an entry for every event that overrides a plain
setting, a nested parameter and an array, and disables every tenth event.
The first group holds the three path events that get audit rules.

Everything is derived from the event's position, so two trees of the same
size are byte for byte the same.
"""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Tuple

EVENTS_PER_GROUP = 100
PATH_EVENTS = ("file-opened", "modifying-file", "modifying-directory")

MODULE_DIR = Path("usr/share/syslog-ng-mod-zorna")
CATALOGUE = MODULE_DIR / "catalogue.json"
DEFAULTS_DIR = MODULE_DIR / "event-settings"
CURRENT_CONFIG = Path("etc/zorna-syslog.conf")
TRANSLATIONS = Path("etc/vek-admin-events/eventsdictionary.json")

_VERBS = ("opened", "deleted", "renamed", "owner-changed", "permissions-changed", "login-failed",
          "session-started", "process-exited", "user-added", "rule-loaded")
_FACILITIES = ("auth", "authpriv", "daemon", "local3")
_PRIORITIES = ("info", "notice", "warning", "err", "crit")
SECTION_NAMES_RU = {
    "message-format": "Формат сообщения",
    "filter": "Фильтр",
    "match": "Условия отбора",
    "rate-limit": "Ограничение частоты сообщений",
    "watch": "Отслеживаемые объекты",
}


@dataclass
class SyntheticTree:
    """Where a generated tree lies and what it holds."""

    root: Path
    size: int
    members: Dict[str, List[str]] = field(default_factory=dict)  # group ID -> its event IDs
    event_names: Dict[str, Tuple[str, str]] = field(default_factory=dict)  # ID -> (English, Russian)
    group_names: Dict[str, Tuple[str, str]] = field(default_factory=dict)
    disabled: List[str] = field(default_factory=list)  # events the current configuration disables

    @property
    def default_config_dir(self) -> Path:
        return self.root / DEFAULTS_DIR

    @property
    def current_config_file(self) -> Path:
        return self.root / CURRENT_CONFIG

    @property
    def translations_file(self) -> Path:
        return self.root / TRANSLATIONS

    @property
    def group_ids(self) -> List[str]:
        return list(self.members)

    @property
    def event_ids(self) -> List[str]:
        return list(self.event_names)

    def spread(self, count: int) -> List[str]:
        """`count` event IDs spread evenly over the catalogue (so over all groups)."""
        events = self.event_ids
        count = min(count, len(events))
        return [events[i * len(events) // count] for i in range(count)]

    def middle_group(self) -> str:
        groups = self.group_ids
        return groups[len(groups) // 2]


def layout(size: int) -> SyntheticTree:
    """The IDs and names of a tree of `size` events, without writing anything."""
    if size <= 0 or size % EVENTS_PER_GROUP:
        raise ValueError(f"the number of events must be a positive multiple of {EVENTS_PER_GROUP}, got {size}")
    groups = size // EVENTS_PER_GROUP
    width = max(3, len(str(groups - 1)))
    tree = SyntheticTree(root=Path(), size=size)
    for g in range(groups):
        group_id = f"group-{g:0{width}d}"
        tree.group_names[group_id] = (f"Group {g} of events", f"Группа событий {g}")
        events = tree.members.setdefault(group_id, [])
        for i in range(EVENTS_PER_GROUP):
            k = g * EVENTS_PER_GROUP + i
            if k < len(PATH_EVENTS):
                event_id = PATH_EVENTS[k]
            else:
                event_id = f"{_VERBS[k % len(_VERBS)]}-{g:0{width}d}-{i:02d}"
            events.append(event_id)
            tree.event_names[event_id] = (f"Event {i} of group {g}", f"Событие {i} группы {g}")
            if k % 10 == 5:
                tree.disabled.append(event_id)
    return tree


def default_settings(event_id: str, k: int) -> dict:
    """Defaults of the k-th event: plain settings and nested sections."""
    settings = {
        "enabled": "1",
        "message-syslog-facility": _FACILITIES[k % len(_FACILITIES)],
        "message-syslog-priority": _PRIORITIES[k % len(_PRIORITIES)],
        "message-format": {
            "template": f"${{ISODATE}} ${{HOST}} zorna-events[${{PID}}]: event={event_id} ${{MSG}}",
            "fields": ["uid", "auid", "pid", "exe", "path", "result"],
            "resolve-names": k % 2 == 0,
        },
        "filter": {
            "match": {"auid": {"min": 1000, "max": 60000}, "result": "any"},
            "exclude-programs": [],
            "sample-ratio": 0.5,
        },
        "rate-limit": {"burst": 100 + k % 7, "interval": 10},
    }
    if event_id in PATH_EVENTS:
        settings["watch"] = {"paths": ["/etc/shadow", "/etc/gshadow"]}
        settings["message-audit-rules"] = []
    return settings


def current_settings(k: int, disabled: bool) -> dict:
    """The current-configuration entry of the k-th event."""
    return {
        "enabled": "0" if disabled else "1",
        "message-syslog-priority": _PRIORITIES[(k + 2) % len(_PRIORITIES)],
        "filter": {"match": {"auid": {"max": 65000}}, "exclude-programs": ["/usr/bin/true"]},
    }


def _dump(document) -> str:
    # The stand-in writes its files this way; keeping the same form means a
    # benchmark that changes one event does not also change the file's size.
    return json.dumps(document, indent=4, ensure_ascii=True) + "\n"


def build(root: Path, size: int) -> SyntheticTree:
    """Write a tree of `size` events under `root` (which must not hold one yet)."""
    tree = layout(size)
    tree.root = Path(root)
    disabled = set(tree.disabled)
    catalogue = {
        "format": 1,
        "groups": [{"id": g, "name_en": en, "name_ru": ru} for g, (en, ru) in tree.group_names.items()],
        "events": [],
    }
    current = {}
    k = 0
    for group_id, events in tree.members.items():
        group_dir = tree.default_config_dir / group_id
        group_dir.mkdir(parents=True)
        for event_id in events:
            en, ru = tree.event_names[event_id]
            catalogue["events"].append({"id": event_id, "group": group_id, "name_en": en, "name_ru": ru})
            (group_dir / event_id).write_text(_dump(default_settings(event_id, k)), encoding="ascii")
            current[event_id] = current_settings(k, event_id in disabled)
            k += 1
    (tree.root / CATALOGUE).write_text(json.dumps(catalogue, ensure_ascii=False, indent=1), encoding="utf-8")
    tree.current_config_file.parent.mkdir(parents=True, exist_ok=True)
    tree.current_config_file.write_text(_dump(current), encoding="ascii")
    tree.translations_file.parent.mkdir(parents=True, exist_ok=True)
    translations = {key: {"ru": text} for key, text in SECTION_NAMES_RU.items()}
    tree.translations_file.write_text(json.dumps(translations, ensure_ascii=False, indent=4), encoding="utf-8")
    return tree
