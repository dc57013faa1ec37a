"""The event catalogue: which groups and events exist and what they are called.

The catalogue is one JSON file, ``usr/share/syslog-ng-mod-zorna/catalogue.json``
under the service root::

    {
        "format": 1,
        "groups": [
            {"id": "file-access", "name_en": "File access", "name_ru": "..."}
        ],
        "events": [
            {"id": "file-opened", "group": "file-access",
             "name_en": "File opened", "name_ru": "..."}
        ]
    }

Order matters: ``get_group_ids()`` and ``get_event_ids()`` report IDs in the
order of these lists.  The ``group`` of an event names the directory under
``event-settings`` that holds its defaults file.

The extended listings hand out records of the form ``ID,"English","Russian"``
that consumers split at every ``,``; so the loader refuses IDs and names that
contain a comma or a line break, instead of letting a listing break later.
IDs also name files and directories, so they may not contain ``/``,
whitespace or NUL, and may not be ``.`` or ``..``.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, FrozenSet, List, Mapping, Sequence, Tuple

from ._storage import StatCache, decode_json_file
from .errors import CatalogueError

CATALOGUE_FORMAT = 1

# Every character on which str.splitlines() breaks a line.
LINE_BREAKS = frozenset("\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029")

# Detail levels of the extended listings: how many name fields follow the ID.
DETAIL_ID_ONLY = 0
DETAIL_ENGLISH = 1
DETAIL_ENGLISH_RUSSIAN = 2

NAME_DELIMITER = '"'


@dataclass(frozen=True)
class CatalogueEntry:
    """One group or event: its ID and its two names."""

    id: str
    name_en: str
    name_ru: str

    def record(self, detail: int) -> str:
        """The listing record ``ID[,"English"[,"Russian"]]`` for ``detail``."""
        names = (self.name_en, self.name_ru)[:detail]
        return ",".join([self.id] + [f"{NAME_DELIMITER}{name}{NAME_DELIMITER}" for name in names])


@dataclass(frozen=True)
class EventEntry(CatalogueEntry):
    """An event; ``group`` is the ID of the group it belongs to."""

    group: str = ""


@dataclass(frozen=True)
class Catalogue:
    """The parsed, validated catalogue.  Shared from a cache: do not mutate."""

    groups: Tuple[CatalogueEntry, ...]
    events: Tuple[EventEntry, ...]
    group_ids: Tuple[str, ...]
    event_ids: Tuple[str, ...]
    event_id_set: FrozenSet[str]
    events_by_id: Mapping[str, EventEntry]


def _check_id(value: Any, where: str, source: Path) -> str:
    if not isinstance(value, str) or not value:
        raise CatalogueError(f"{source}: {where}: \"id\" must be a non-empty string, got {value!r}")
    if "," in value:
        raise CatalogueError(f"{source}: {where}: ID {value!r} contains a comma")
    if any(ch in LINE_BREAKS for ch in value):
        raise CatalogueError(f"{source}: {where}: ID {value!r} contains a line break")
    if "/" in value or "\0" in value or value in (".", "..") or any(ch.isspace() for ch in value):
        raise CatalogueError(
            f"{source}: {where}: ID {value!r} cannot be a file name "
            "(no '/', whitespace or NUL, not '.' or '..')"
        )
    return value


def _check_name(entry: Mapping[str, Any], key: str, where: str, source: Path) -> str:
    value = entry.get(key)
    if not isinstance(value, str) or not value.strip():
        raise CatalogueError(f"{source}: {where}: {key!r} must be a non-empty string, got {value!r}")
    if "," in value:
        raise CatalogueError(f"{source}: {where}: {key} {value!r} contains a comma")
    if any(ch in LINE_BREAKS for ch in value):
        raise CatalogueError(f"{source}: {where}: {key} {value!r} contains a line break")
    return value


def _entries(document: Mapping[str, Any], key: str, source: Path) -> Sequence[Any]:
    value = document.get(key)
    if not isinstance(value, list):
        raise CatalogueError(f"{source}: {key!r} must be a JSON array")
    return value


def _entry(raw: Any, kind: str, index: int, source: Path) -> Tuple[Mapping[str, Any], str, str, str]:
    if not isinstance(raw, dict):
        raise CatalogueError(f"{source}: {kind} #{index + 1} must be a JSON object")
    where = f"{kind} #{index + 1}"
    entry_id = _check_id(raw.get("id"), where, source)
    where = f"{kind} {entry_id!r}"
    return raw, entry_id, _check_name(raw, "name_en", where, source), _check_name(raw, "name_ru", where, source)


def parse_catalogue(data: bytes, source: Path) -> Catalogue:
    """Parse and validate catalogue bytes; :class:`CatalogueError` if unusable."""
    document = decode_json_file(data, source, CatalogueError)
    if not isinstance(document, dict):
        raise CatalogueError(f"{source}: the catalogue must be a JSON object")
    if document.get("format") != CATALOGUE_FORMAT:
        raise CatalogueError(
            f"{source}: unsupported catalogue format {document.get('format')!r} (expected {CATALOGUE_FORMAT})"
        )

    groups: List[CatalogueEntry] = []
    seen_groups: Dict[str, CatalogueEntry] = {}
    for index, raw in enumerate(_entries(document, "groups", source)):
        _, group_id, name_en, name_ru = _entry(raw, "group", index, source)
        if group_id in seen_groups:
            raise CatalogueError(f"{source}: group ID {group_id!r} is listed twice")
        group = CatalogueEntry(group_id, name_en, name_ru)
        seen_groups[group_id] = group
        groups.append(group)

    events: List[EventEntry] = []
    events_by_id: Dict[str, EventEntry] = {}
    for index, raw in enumerate(_entries(document, "events", source)):
        fields, event_id, name_en, name_ru = _entry(raw, "event", index, source)
        if event_id in events_by_id:
            raise CatalogueError(f"{source}: event ID {event_id!r} is listed twice")
        event_group = fields.get("group")
        if not isinstance(event_group, str) or event_group not in seen_groups:
            raise CatalogueError(f"{source}: event {event_id!r}: \"group\" {event_group!r} is not a listed group")
        if event_group == event_id:
            # A file named like its own group directory never counts as an event of it.
            raise CatalogueError(f"{source}: event {event_id!r} has the same ID as its group")
        event = EventEntry(event_id, name_en, name_ru, event_group)
        events_by_id[event_id] = event
        events.append(event)

    return Catalogue(
        groups=tuple(groups),
        events=tuple(events),
        group_ids=tuple(group.id for group in groups),
        event_ids=tuple(event.id for event in events),
        event_id_set=frozenset(events_by_id),
        events_by_id=events_by_id,
    )


CATALOGUE_CACHE: StatCache[Catalogue] = StatCache(parse_catalogue)
