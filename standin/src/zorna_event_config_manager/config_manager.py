"""Whole-configuration import and export for the stand-in event service.

An exported file has exactly the shape of the current configuration file
(``etc/zorna-syslog.conf`` under ``ZORNA_EVENTS_ROOT``): a JSON object keyed by
event ID whose values are the events' current settings.  So an export can be
imported again, and a copy of a current configuration file can be imported
as it is.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Union

from zorna_events import load_catalogue
from zorna_events._state import read_state_fresh, replace_state, validate_state
from zorna_events._storage import (
    current_layout,
    decode_json_file,
    encode_json_document,
    read_regular_file,
    write_atomically,
)
from zorna_events.errors import ConfigFileError

# Far more than any real configuration: a file this large is not one.
MAX_IMPORT_SIZE = 64 * 1024 * 1024

__all__ = ["ZornaConfigManager"]

PathArg = Union[str, "os.PathLike[str]"]


class ZornaConfigManager:
    """Saves and loads the whole current configuration of all events.

    Holds no state of its own; every call reads ``ZORNA_EVENTS_ROOT`` and the
    files afresh.
    """

    def export_config(self, path: PathArg) -> None:
        """Write the current configuration to ``path``, atomically.

        An existing regular file at ``path`` is replaced in one step (and
        keeps its permission bits); a new one gets mode 0644.  Anything else
        at ``path`` (a symlink, a device, a directory) is left alone and
        raises :class:`zorna_events.errors.UnsafePathError`.  A malformed
        current configuration raises :class:`zorna_events.StateFileError`
        and nothing is written.
        """
        document = read_state_fresh(current_layout())
        write_atomically(Path(path), encode_json_document(document))

    def import_config(self, path: PathArg) -> None:
        """Replace the current configuration with the content of ``path``.

        The whole file is checked first: valid UTF-8 JSON, an object keyed by
        event IDs the catalogue knows, each value an object, ``"enabled"``
        (if present) the text "0" or "1".  Only then is the current
        configuration replaced, atomically.  An unusable file raises
        :class:`zorna_events.ConfigFileError` (``OSError`` if it cannot be
        read at all) and the current configuration stays as it was; one that
        is not a regular file, or larger than 64 MiB, is refused before it is
        read.
        """
        source = Path(path)
        layout = current_layout()
        catalogue = load_catalogue(layout)
        data = read_regular_file(source, MAX_IMPORT_SIZE, ConfigFileError)
        document = decode_json_file(data, source, ConfigFileError)
        validate_state(document, source, error=ConfigFileError, known_event_ids=catalogue.event_id_set)
        replace_state(layout, document)
