"""Stand-in for the outside event service ``zorna_events`` (file-backed).

For development, tests and demonstrations only; on a real system this module
comes from the system itself.  All files live under the directory named by
the environment variable ``ZORNA_EVENTS_ROOT`` (default ``/``), read afresh at
every call:

``usr/share/syslog-ng-mod-zorna/catalogue.json``
    groups and events with English and Russian names (read only);
``usr/share/syslog-ng-mod-zorna/event-settings/<group>/<event>``
    default settings of each event, one JSON object per file (read only);
``etc/zorna-syslog.conf``
    current configuration, event ID -> current settings (written here).

Operations that change something validate everything first and then replace
the current configuration file atomically under a lock; when they raise,
nothing has changed.  Errors raised on purpose derive from
:class:`zorna_events.errors.ZornaEventsError` and from ``ValueError`` or
``KeyError``.
"""

from __future__ import annotations

import errno
import json
from typing import Any, Dict, List, Tuple

from . import errors
from ._catalogue import CATALOGUE_CACHE, DETAIL_ENGLISH_RUSSIAN, DETAIL_ID_ONLY, Catalogue, CatalogueEntry
from ._state import (
    ENABLED_KEY,
    StateDocument,
    flag_value,
    load_defaults,
    load_state,
    modify_state,
)
from ._storage import ENV_ROOT, JsonContentError, Layout, current_layout, strict_json_loads
from .errors import (
    CatalogueError,
    ConfigFileError,
    DefaultsFileError,
    InvalidValueError,
    StateFileError,
    UnknownEventError,
    UnsafePathError,
    ZornaEventsError,
)

__all__ = [
    "ENV_ROOT",
    "get_event_ids",
    "get_group_ids",
    "get_event_ids_ex",
    "get_group_ids_ex",
    "is_event_enabled",
    "enable_event",
    "disable_event",
    "set_event_param",
    "errors",
    "ZornaEventsError",
    "CatalogueError",
    "StateFileError",
    "DefaultsFileError",
    "UnknownEventError",
    "InvalidValueError",
    "ConfigFileError",
    "UnsafePathError",
]


# --------------------------------------------------------------------------
# Helpers shared with zorna_event_config_manager


def load_catalogue(layout: Layout) -> Catalogue:
    """The catalogue under ``layout`` (cached while the file is unchanged)."""
    try:
        return CATALOGUE_CACHE.load(layout.catalogue_file)
    except FileNotFoundError as exc:
        raise FileNotFoundError(
            errno.ENOENT,
            f"event catalogue not found ({ENV_ROOT} is {str(layout.root)!r})",
            str(layout.catalogue_file),
        ) from exc


def _require_text(name: str, value: object) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")


def _known_event(catalogue: Catalogue, event_id: object) -> str:
    if not isinstance(event_id, str):
        raise TypeError(f"event_id must be str, not {type(event_id).__name__}")
    if event_id not in catalogue.event_id_set:
        raise UnknownEventError(event_id)
    return event_id


def _records(entries: Tuple[CatalogueEntry, ...], detail: object) -> List[str]:
    if isinstance(detail, bool) or not isinstance(detail, int):
        raise TypeError(f"detail must be int, not {type(detail).__name__}")
    if not DETAIL_ID_ONLY <= detail <= DETAIL_ENGLISH_RUSSIAN:
        raise ValueError(f"detail must be 0 (ID), 1 (ID and English name) or 2 (ID and both names), got {detail}")
    return [entry.record(detail) for entry in entries]


# --------------------------------------------------------------------------
# Catalogue


def get_event_ids() -> List[str]:
    """Every known event ID, in catalogue order.

    Cheap: the parsed catalogue is reused while its file is unchanged, so
    callers may ask once per file they look at.  Returns a new list each time.
    """
    return list(load_catalogue(current_layout()).event_ids)


def get_group_ids() -> List[str]:
    """Every known group ID, in catalogue order, as a new ``list``."""
    return list(load_catalogue(current_layout()).group_ids)


def get_event_ids_ex(detail: int) -> List[str]:
    """One record per event: ``ID,"English name","Russian name"`` for ``detail`` 2.

    ``detail`` is the number of name fields after the ID: 0 gives the bare
    ID, 1 adds the English name, 2 both names.  Names are enclosed in double
    quotes; fields are separated by ``,``, which neither IDs nor names contain.
    """
    return _records(load_catalogue(current_layout()).events, detail)


def get_group_ids_ex(detail: int) -> List[str]:
    """One record per group, in the same form as :func:`get_event_ids_ex`."""
    return _records(load_catalogue(current_layout()).groups, detail)


# --------------------------------------------------------------------------
# Enabled state


def is_event_enabled(event_id: str) -> int:
    """1 if the event is enabled, 0 if it is disabled.

    The event's ``"enabled"`` in the current configuration decides; without
    one, the ``"enabled"`` of its defaults file; without that, it is enabled.
    Raises :class:`UnknownEventError` for an ID the catalogue lacks.
    """
    layout = current_layout()
    catalogue = load_catalogue(layout)
    _known_event(catalogue, event_id)
    entry = load_state(layout).get(event_id)
    if entry is not None and ENABLED_KEY in entry:
        return flag_value(entry[ENABLED_KEY], layout.state_file)
    defaults = load_defaults(layout, catalogue, event_id)
    if defaults is not None and ENABLED_KEY in defaults:
        return flag_value(defaults[ENABLED_KEY], f"default settings of event {event_id!r}")
    return 1


def _set_enabled(event_id: str, text: str) -> None:
    layout = current_layout()
    _known_event(load_catalogue(layout), event_id)

    def change(document: StateDocument) -> None:
        document.setdefault(event_id, {})[ENABLED_KEY] = text

    modify_state(layout, change)


def enable_event(event_id: str) -> None:
    """Switch the event on: its current settings get ``"enabled": "1"``."""
    _set_enabled(event_id, "1")


def disable_event(event_id: str) -> None:
    """Switch the event off: its current settings get ``"enabled": "0"``."""
    _set_enabled(event_id, "0")


# --------------------------------------------------------------------------
# Parameters


def _decode_value(event_id: str, section: str, parameter: str, value: str) -> Any:
    where = f"event {event_id!r}, section {section!r}, parameter {parameter!r}"
    try:
        return strict_json_loads(value)
    except json.JSONDecodeError as exc:
        raise InvalidValueError(f"{where}: value {value!r} is not valid JSON ({exc})") from exc
    except JsonContentError as exc:
        raise InvalidValueError(f"{where}: value {value!r} is not acceptable: {exc}") from exc


def _enabled_text(event_id: str, decoded: Any) -> str:
    """Store the flag in its one form, the text "0" or "1"."""
    if decoded in ("0", "1"):
        return str(decoded)
    if decoded in (0, 1) and not isinstance(decoded, float):
        return str(int(decoded))
    raise InvalidValueError(f"event {event_id!r}: \"enabled\" must be \"0\" or \"1\", got {decoded!r}")


def set_event_param(event_id: str, section: str, parameter: str, value: str) -> None:
    """Store one parameter of one event in the current configuration.

    ``value`` is JSON text; its decoded value is stored.  With ``section``
    "" the parameter is a first-level key of the event's settings, otherwise
    it goes into the object under ``section`` (created if missing).  A
    first-level ``"enabled"`` is stored as the text "0" or "1" (the JSON
    values 0/1 and false/true are accepted for it).

    Raises, changing nothing: :class:`UnknownEventError` for an unknown
    event; :class:`InvalidValueError` for a value that is not JSON, an empty
    parameter name, a bad ``"enabled"``, or a section whose current or
    default value is a plain setting rather than an object.
    """
    for name, text in (("section", section), ("parameter", parameter), ("value", value)):
        _require_text(name, text)
    layout = current_layout()
    catalogue = load_catalogue(layout)
    _known_event(catalogue, event_id)
    if not parameter:
        raise InvalidValueError(f"event {event_id!r}: the parameter name must not be empty")
    decoded = _decode_value(event_id, section, parameter, value)
    if section == "" and parameter == ENABLED_KEY:
        decoded = _enabled_text(event_id, decoded)
    defaults: Dict[str, Any] = (load_defaults(layout, catalogue, event_id) or {}) if section else {}

    def change(document: StateDocument) -> None:
        entry = document.setdefault(event_id, {})
        if section == "":
            entry[parameter] = decoded
            return
        if section in entry:
            target, origin = entry[section], "current"
        else:
            target, origin = defaults.get(section, {}), "default"
        if not isinstance(target, dict):
            raise InvalidValueError(
                f"event {event_id!r}: {section!r} is a plain setting in the {origin} settings "
                f"(value {target!r}), not a section; set it with section \"\" instead"
            )
        entry.setdefault(section, {})[parameter] = decoded

    modify_state(layout, change)
