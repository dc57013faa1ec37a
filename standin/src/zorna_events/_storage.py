"""File locations, strict JSON decoding, cached reads, atomic writes and locking.

All files of the service live under one root directory, taken from the
environment variable ``ZORNA_EVENTS_ROOT`` (default ``/``) at every operation:
the administration command may set it after this package was imported, and a
test may point it somewhere else between two calls.

Reads of files that rarely change (the catalogue, the current configuration,
the per-event defaults) go through :class:`StatCache`, which keeps the parsed
content until the file's identity (inode, device, size, modification time)
changes.  Every write is atomic: the new content goes to a temporary file in
the same directory, which is flushed, synced and then renamed over the old
file, so a reader sees either the old or the new content, never a mix, and a
crash leaves at worst a stray ``.*.tmp`` file behind.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import functools
import json
import os
import stat
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Generic, Iterator, List, Optional, Tuple, TypeVar

try:
    from functools import cached_property
except ImportError:  # Python 3.7

    class cached_property:  # type: ignore[no-redef]
        """The value of the method, computed on first access and kept in the instance's ``__dict__``."""

        def __init__(self, method: Callable[[Any], Any]) -> None:
            self.method = method
            self.__doc__ = method.__doc__

        def __get__(self, instance: Any, owner: Any = None) -> Any:
            if instance is None:
                return self
            value = instance.__dict__[self.method.__name__] = self.method(instance)
            return value

ENV_ROOT = "ZORNA_EVENTS_ROOT"
"""Name of the environment variable holding the root directory of all files."""

DEFAULT_ROOT = "/"

T = TypeVar("T")


@dataclass(frozen=True)
class Layout:
    """Where every file of the service lies under one root directory.

    The paths are made once per layout and layouts are shared per root (see
    :func:`current_layout`): the frequent read operations look up cached
    content by path, and a path object that lives on keeps its string form
    and hash instead of computing them again at every call.
    """

    root: Path

    @cached_property
    def module_dir(self) -> Path:
        return self.root / "usr" / "share" / "syslog-ng-mod-zorna"

    @cached_property
    def catalogue_file(self) -> Path:
        """Catalogue of groups and events with their names."""
        return self.module_dir / "catalogue.json"

    @cached_property
    def defaults_dir(self) -> Path:
        """Default settings: one subdirectory per group, one file per event."""
        return self.module_dir / "event-settings"

    @cached_property
    def state_file(self) -> Path:
        """Current configuration: event ID -> that event's current settings."""
        return self.root / "etc" / "zorna-syslog.conf"

    @cached_property
    def lock_file(self) -> Path:
        """Lock taken around every read-modify-write of the state file."""
        return self.state_file.with_name(self.state_file.name + ".lock")

    @cached_property
    def translations_file(self) -> Path:
        """Russian section names; read by the administration module, not here."""
        return self.root / "etc" / "vek-admin-events" / "eventsdictionary.json"


def current_layout() -> Layout:
    """Return the layout for the root named by ``ZORNA_EVENTS_ROOT`` right now.

    An empty or unset variable means ``/``.  A relative root is made absolute
    against the current directory, so cache entries never mix two roots.
    """
    root = os.environ.get(ENV_ROOT) or DEFAULT_ROOT
    if not os.path.isabs(root):
        root = os.path.abspath(root)
    return _layout_for(root)


@functools.lru_cache(maxsize=64)
def _layout_for(absolute_root: str) -> Layout:
    # Spellings of one root ("/r", "/r/", "/r/.") share one layout.
    return _layout_of(os.path.normpath(absolute_root))


@functools.lru_cache(maxsize=64)
def _layout_of(normal_root: str) -> Layout:
    return Layout(Path(normal_root))


# --------------------------------------------------------------------------
# Strict JSON


class JsonContentError(ValueError):
    """Raised by :func:`strict_json_loads` for JSON that we refuse to accept."""


def _reject_constant(name: str) -> Any:
    raise JsonContentError(f"{name} is not a JSON value")


def _no_duplicate_keys(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    result: Dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise JsonContentError(f"duplicate key {key!r} in one JSON object")
        result[key] = value
    return result


def strict_json_loads(text: str) -> Any:
    """Decode JSON text, refusing NaN/Infinity and duplicate object keys.

    Python's decoder would accept both silently; a duplicate key in a
    configuration file almost always means a lost setting, and NaN cannot be
    written back as standard JSON.  Syntax errors raise
    ``json.JSONDecodeError``, the refusals above :class:`JsonContentError`;
    both are ``ValueError``.
    """
    return json.loads(text, parse_constant=_reject_constant, object_pairs_hook=_no_duplicate_keys)


def decode_json_file(data: bytes, source: Path, error: "type[ValueError]" = ValueError) -> Any:
    """Decode the bytes of a UTF-8 JSON file; errors say which file is bad.

    Raises ``error`` (a ``ValueError`` class: the caller's kind of file error)
    with a message that names ``source``.
    """
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise error(f"{source}: not UTF-8 text ({exc})") from exc
    try:
        return strict_json_loads(text)
    except json.JSONDecodeError as exc:
        raise error(f"{source}: not valid JSON: {exc}") from exc
    except JsonContentError as exc:
        raise error(f"{source}: unacceptable JSON: {exc}") from exc


def encode_json_document(document: Any) -> bytes:
    """Serialise a document the way the service writes its files.

    Non-ASCII text is written as ``\\u`` escapes: other programs read these
    files with whatever default encoding their locale gives them, and pure
    ASCII reads the same under every one.
    """
    return (json.dumps(document, indent=4, ensure_ascii=True) + "\n").encode("ascii")


# --------------------------------------------------------------------------
# Cached reads

StatKey = Tuple[int, int, int, int]


def _stat_key(st: os.stat_result) -> StatKey:
    return (st.st_ino, st.st_dev, st.st_size, st.st_mtime_ns)


class StatCache(Generic[T]):
    """Parsed file contents, reused while the file on disk stays the same.

    A file is considered unchanged while its path, inode, device, size and
    modification time (in nanoseconds) are unchanged.  Writers of this
    package replace files by renaming, which always gives a new inode, so
    their changes are seen at once even within one clock tick; they also call
    :meth:`forget` after writing.

    ``parse`` turns the raw bytes into the cached value and may raise; a
    failed parse caches nothing, so a repaired file is picked up on the next
    call.  The cached value is shared between callers and must not be
    mutated.
    """

    _MAX_ENTRIES = 4096

    def __init__(self, parse: Callable[[bytes, Path], T]) -> None:
        self._parse = parse
        self._entries: Dict[Path, Tuple[StatKey, T]] = {}

    def load(self, path: Path) -> T:
        """Return the parsed content of ``path``; ``OSError`` if unreadable."""
        key = _stat_key(os.stat(path))
        cached = self._entries.get(path)
        if cached is not None and cached[0] == key:
            return cached[1]
        # Take the key from the descriptor we actually read, so that content
        # and key always belong together even if the file is replaced meanwhile.
        with open(path, "rb") as handle:
            key = _stat_key(os.fstat(handle.fileno()))
            data = handle.read()
        value = self._parse(data, path)
        if len(self._entries) >= self._MAX_ENTRIES:
            self._entries.clear()
        self._entries[path] = (key, value)
        return value

    def forget(self, path: Path) -> None:
        """Drop whatever is cached for ``path``."""
        self._entries.pop(path, None)

    def clear(self) -> None:
        self._entries.clear()


# --------------------------------------------------------------------------
# Atomic writes and locking

NEW_FILE_MODE = 0o644


def _fsync_directory(directory: Path) -> None:
    """Make a rename in ``directory`` durable; ignored where unsupported."""
    flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(directory, flags)
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def write_atomically(path: Path, data: bytes, mode: Optional[int] = None) -> None:
    """Replace the content of ``path`` with ``data`` in one atomic step.

    The data goes to a temporary file beside ``path``, which is flushed and
    fsync'ed, then renamed over ``path``; finally the directory is fsync'ed so
    the rename survives a crash.  If anything fails (including an interrupt)
    the temporary file is removed and ``path`` keeps its old content.

    ``mode``: permission bits of the new file; by default those of the file
    being replaced, or 0644 for a new file.
    """
    directory = path.parent
    if mode is None:
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except FileNotFoundError:
            mode = NEW_FILE_MODE
    fd, temp_name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fchmod(handle.fileno(), mode)
            os.fsync(handle.fileno())
        os.replace(temp_name, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp_name)
        raise
    _fsync_directory(directory)


@contextlib.contextmanager
def exclusive_lock(lock_path: Path) -> Iterator[None]:
    """Hold an exclusive ``flock`` on ``lock_path`` (created if missing).

    ``flock`` locks belong to the open file description, so two threads of
    one process exclude each other as well as two processes do.  The lock is
    released when the descriptor is closed, also if the process dies.
    """
    lock_path.parent.mkdir(parents=True, exist_ok=True)
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def read_bytes_or_none(path: Path) -> Optional[bytes]:
    """Return the bytes of ``path``, or None if it does not exist."""
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except FileNotFoundError:
        return None
