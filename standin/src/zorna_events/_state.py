"""The current configuration file and the per-event default settings.

Current configuration (``etc/zorna-syslog.conf`` under the service root): one
JSON object keyed by event ID; each value is that event's current settings,
an object of first-level keys (plain settings, or sections holding
parameters).  The flag ``"enabled"``, when present, is the text ``"1"`` or
``"0"``.  A missing file means "no current settings for any event".

Defaults (``usr/share/syslog-ng-mod-zorna/event-settings/<group>/<event>``):
one JSON object per event, read only.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Any, Callable, Collection, Dict, Iterator, List, Optional, Type

from ._catalogue import Catalogue
from ._storage import (
    Layout,
    StatCache,
    decode_json_file,
    directory_of,
    encode_json_document,
    exclusive_lock,
    open_directory_below,
    read_bytes_or_none,
    write_atomically,
)
from .errors import DefaultsFileError, StateFileError, ZornaEventsError

StateDocument = Dict[str, Dict[str, Any]]

ENABLED_KEY = "enabled"
ENABLED_TEXTS = ("0", "1")


def validate_state(
    document: Any,
    source: object,
    error: Type[ZornaEventsError] = StateFileError,
    known_event_ids: Optional[Collection[str]] = None,
) -> StateDocument:
    """Check the shape of a current-configuration document and return it.

    The document must be an object whose values are objects; an
    ``"enabled"`` member must be the text ``"0"`` or ``"1"``.  With
    ``known_event_ids``, every key must also be one of them.  Raises
    ``error`` with a message naming ``source`` and the offending entry.
    """
    if not isinstance(document, dict):
        raise error(f"{source}: must be a JSON object keyed by event ID, got {type(document).__name__}")
    for event_id, settings in document.items():
        if known_event_ids is not None and event_id not in known_event_ids:
            raise error(f"{source}: unknown event ID {event_id!r} (not in the event catalogue)")
        if not isinstance(settings, dict):
            raise error(
                f"{source}: the settings of event {event_id!r} must be a JSON object, got {type(settings).__name__}"
            )
        if ENABLED_KEY in settings and settings[ENABLED_KEY] not in ENABLED_TEXTS:
            raise error(f"{source}: event {event_id!r}: \"enabled\" must be \"0\" or \"1\", got {settings[ENABLED_KEY]!r}")
    return document


def parse_state(data: bytes, source: Path) -> StateDocument:
    """Decode and validate the bytes of a current configuration file."""
    document = decode_json_file(data, source, StateFileError)
    return validate_state(document, source)


STATE_CACHE: StatCache[StateDocument] = StatCache(parse_state)


def load_state(layout: Layout) -> StateDocument:
    """The current configuration, from cache if unchanged.  Do not mutate."""
    try:
        return STATE_CACHE.load(layout.state_file)
    except FileNotFoundError:
        return {}


def read_state_fresh(layout: Layout) -> StateDocument:
    """The current configuration read from disk now, as a private copy."""
    data = read_bytes_or_none(layout.state_file)
    return {} if data is None else parse_state(data, layout.state_file)


def modify_state(layout: Layout, change: Callable[[StateDocument], None]) -> None:
    """Apply ``change`` to the current configuration and store the result.

    Runs under the state lock, so concurrent changes of other processes are
    neither lost nor mixed in.  ``change`` edits the document in place and may
    raise, in which case nothing is written.  The result is validated before
    it is written atomically; an unchanged document is not rewritten.
    """
    path = layout.state_file
    with directory_of(layout, path) as dir_fd, exclusive_lock(dir_fd, layout.lock_file.name, layout.lock_file):
        old_data = read_bytes_or_none(path)
        document = {} if old_data is None else parse_state(old_data, path)
        change(document)
        validate_state(document, f"{path} (after the change)")
        new_data = encode_json_document(document)
        if new_data != old_data:
            write_atomically(path, new_data, dir_fd=dir_fd)
        STATE_CACHE.forget(path)


def replace_state(layout: Layout, document: StateDocument) -> None:
    """Store ``document`` (already validated) as the whole current configuration."""
    path = layout.state_file
    data = encode_json_document(document)
    with directory_of(layout, path) as dir_fd, exclusive_lock(dir_fd, layout.lock_file.name, layout.lock_file):
        write_atomically(path, data, dir_fd=dir_fd)
        STATE_CACHE.forget(path)


# --------------------------------------------------------------------------
# Defaults


def _parse_defaults(data: bytes, source: Path) -> Dict[str, Any]:
    document = decode_json_file(data, source, DefaultsFileError)
    if not isinstance(document, dict):
        raise DefaultsFileError(f"{source}: default settings must be a JSON object")
    return document


DEFAULTS_CACHE: StatCache[Dict[str, Any]] = StatCache(_parse_defaults)


def _candidate_groups(catalogue: Catalogue, names: List[str]) -> Iterator[str]:
    """Group directories in the order a reader of the defaults tree walks them.

    First the catalogue's groups in catalogue order (where the same event
    lies in two groups, the first listed group wins), then any other
    subdirectory, by name.
    """
    yield from catalogue.group_ids
    listed = set(catalogue.group_ids)
    yield from (name for name in sorted(names) if name not in listed)


def find_defaults_file(layout: Layout, catalogue: Catalogue, event_id: str) -> Optional[Path]:
    """Path of the event's defaults file, or None if no group directory has one.

    The defaults directory is reached from the root without following a
    symlink (one there raises :class:`UnsafePathError`); a group directory
    or a defaults file that is a symlink is passed over, never read through.
    """
    try:
        defaults_fd = open_directory_below(layout.root, layout.defaults_dir.relative_to(layout.root).parts,
                                           create=False)
    except FileNotFoundError:
        return None
    try:
        for group in _candidate_groups(catalogue, os.listdir(defaults_fd)):
            try:
                group_fd = os.open(group, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                                   dir_fd=defaults_fd)
            except OSError:  # missing, a symlink, not a directory
                continue
            try:
                if stat.S_ISREG(os.stat(event_id, dir_fd=group_fd, follow_symlinks=False).st_mode):
                    return layout.defaults_dir / group / event_id
            except OSError:
                pass
            finally:
                os.close(group_fd)
    finally:
        os.close(defaults_fd)
    return None


def load_defaults(layout: Layout, catalogue: Catalogue, event_id: str) -> Optional[Dict[str, Any]]:
    """The event's default settings (cached; do not mutate), or None."""
    path = find_defaults_file(layout, catalogue, event_id)
    return None if path is None else DEFAULTS_CACHE.load(path)


def flag_value(value: Any, source: object) -> int:
    """Turn an ``"enabled"`` value into the integer 1 or 0.

    Accepts the texts "1"/"0" (the stored form) and, for hand-written
    defaults, the JSON numbers 1/0 and true/false.
    """
    if value in ("1", 1) and not isinstance(value, float):
        return 1
    if value in ("0", 0) and not isinstance(value, float):
        return 0
    raise DefaultsFileError(f"{source}: \"enabled\" must be \"0\" or \"1\", got {value!r}")

