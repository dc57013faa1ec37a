"""Exceptions raised by the stand-in event service.

Every error the service raises on purpose derives from :class:`ZornaEventsError`
and, in addition, from the built-in exception that best describes it
(``ValueError`` for bad content, ``KeyError`` for an unknown ID), so callers
that only know the built-in types still catch them.

Whenever one of these is raised by an operation that writes, nothing on disk
has been changed.
"""

from __future__ import annotations

__all__ = [
    "ZornaEventsError",
    "CatalogueError",
    "StateFileError",
    "DefaultsFileError",
    "UnknownEventError",
    "InvalidValueError",
    "ConfigFileError",
    "UnsafePathError",
    "StorageError",
]


class ZornaEventsError(Exception):
    """Base class of every error raised on purpose by the service."""


class CatalogueError(ZornaEventsError, ValueError):
    """The event catalogue file is not valid JSON or breaks its rules."""


class StateFileError(ZornaEventsError, ValueError):
    """The current configuration file is malformed, or a change would make it so."""


class DefaultsFileError(ZornaEventsError, ValueError):
    """A per-event default settings file is not a JSON object or has a bad flag."""


class UnknownEventError(ZornaEventsError, KeyError):
    """An event ID that the catalogue does not know."""

    def __init__(self, event_id: object) -> None:
        super().__init__(event_id)
        self.event_id = event_id

    def __str__(self) -> str:
        # KeyError would print the repr of its argument only; say what is wrong.
        return f"unknown event ID {self.event_id!r}: it is not in the event catalogue"


class InvalidValueError(ZornaEventsError, ValueError):
    """A parameter value (or name) that cannot be stored."""


class ConfigFileError(ZornaEventsError, ValueError):
    """A configuration file given to import is unusable."""


class UnsafePathError(ZornaEventsError, OSError):
    """A write that would follow a symlink below the root, or replace
    something that is not a regular file; a read of something that is not a
    regular file (a FIFO, a device), or of one far too large."""


class StorageError(ZornaEventsError, OSError):
    """A file-system operation of the service failed.  ``filename`` is the
    full path of the file or directory, ``step`` what the service was doing
    ("reading", "writing", "locking", "opening the directory", "creating the
    directory"), ``errno`` and ``strerror`` those of the system."""

    def __init__(self, step: str, path: object, cause: OSError) -> None:
        super().__init__(cause.errno, cause.strerror, str(path))
        self.step = step

    def __str__(self) -> str:
        return f"{self.step} {self.filename}: {self.strerror}"
