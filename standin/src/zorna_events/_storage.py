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
file, so a reader sees either the old or the new content, never a mix.  No
write follows a symlink below the root, and a killed writer leaves no
temporary file behind (see :func:`write_atomically`).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import functools
import json
import os
import re
import secrets
import stat
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Generic, Iterator, List, Optional, Sequence, Tuple, TypeVar

from .errors import StorageError, UnsafePathError, ZornaEventsError

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
        st, data = _read_checked(path, MAX_FILE_SIZE, UnsafePathError)
        key = _stat_key(st)
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
# Writes that stay where they are meant to go
#
# Below the root no write follows a symlink: the directories on the way to a
# file are opened one by one with O_NOFOLLOW, relative to the one before, and
# the files in them likewise.  A file is replaced only if it is a regular file.

NEW_FILE_MODE = 0o644

_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
_NOFOLLOW_FLAGS = os.O_NOFOLLOW | os.O_CLOEXEC

# Named temporary files: ".<name>.<8 characters>.tmp" beside the file they
# replace (also the names tempfile.mkstemp gave them in earlier versions).
_TEMP_NAME_CHARACTERS = "[a-z0-9_]{8}"

# A writer locks its named temporary file as soon as it has created it, so an
# unlocked one is stale once it is older than this many seconds.
STALE_TEMPORARY_AGE = 10.0

# Anonymous temporary files (O_TMPFILE) are given a name only when complete,
# through their /proc/self/fd entry; a killed writer leaves nothing behind.
_ANONYMOUS_TEMPORARIES = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")
_NO_ANONYMOUS_FILES = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL)


def _refusal(path: object, exc: OSError) -> OSError:
    """The error for a write that ``exc`` stopped at ``path``."""
    if exc.errno in (errno.ELOOP, errno.ENOTDIR):
        return UnsafePathError(f"{path}: a symlink or not a directory; refusing to go through it")
    return exc


def open_directory_below(root: Path, parts: Sequence[str], create: bool = True) -> int:
    """A descriptor of the directory ``root/parts...``, made if missing
    (unless not ``create``: then ``FileNotFoundError``).

    The root itself may be a symlink (``/proc/self/fd/N`` names an opened
    directory); below it, a symlink raises :class:`UnsafePathError` instead
    of being followed.  Other failures raise :class:`StorageError` naming
    the directory and the step.
    """
    try:
        fd = os.open(root, _DIRECTORY_FLAGS)
    except OSError as exc:
        raise StorageError("opening the directory", root, exc) from exc
    try:
        for depth, part in enumerate(parts, 1):
            where = root.joinpath(*parts[:depth])
            if create:
                try:
                    os.mkdir(part, 0o755, dir_fd=fd)
                except FileExistsError:
                    pass
                except OSError as exc:
                    raise StorageError("creating the directory", where, exc) from exc
            try:
                child = os.open(part, _DIRECTORY_FLAGS | os.O_NOFOLLOW, dir_fd=fd)
            except FileNotFoundError as exc:
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(where)) from exc
            except OSError as exc:
                refusal = _refusal(where, exc)
                if refusal is exc:
                    raise StorageError("opening the directory", where, exc) from exc
                raise refusal from exc
            os.close(fd)
            fd = child
    except BaseException:
        os.close(fd)
        raise
    return fd


@contextlib.contextmanager
def directory_of(layout: Layout, path: Path) -> Iterator[int]:
    """A descriptor of the directory of ``path`` (a file under the root)."""
    fd = open_directory_below(layout.root, path.parent.relative_to(layout.root).parts)
    try:
        yield fd
    finally:
        os.close(fd)


def _fsync_directory(dir_fd: int) -> None:
    """Make a rename in the directory durable; ignored where unsupported."""
    try:
        os.fsync(dir_fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise


def _temporary_pattern(name: str) -> "re.Pattern[str]":
    return re.compile(re.escape(f".{name}.") + _TEMP_NAME_CHARACTERS + re.escape(".tmp"))


def _temporary_name(name: str) -> str:
    return f".{name}.{secrets.token_hex(4)}.tmp"


def sweep_stale_temporaries(dir_fd: int, name: str) -> None:
    """Remove temporary files for ``name`` that a killed writer left behind.

    A temporary file is stale when no one holds its lock and it has not been
    written to for ``STALE_TEMPORARY_AGE`` seconds.  Whatever cannot be
    opened or locked is left alone.
    """
    pattern = _temporary_pattern(name)
    for entry in os.listdir(dir_fd):
        if pattern.fullmatch(entry):
            with contextlib.suppress(OSError):
                _remove_if_stale(dir_fd, entry)


def _remove_if_stale(dir_fd: int, entry: str) -> None:
    if not stat.S_ISREG(os.stat(entry, dir_fd=dir_fd, follow_symlinks=False).st_mode):
        return  # looked at first: a device is never opened
    fd = os.open(entry, os.O_RDONLY | os.O_NONBLOCK | _NOFOLLOW_FLAGS, dir_fd=dir_fd)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or time.time() - st.st_mtime < STALE_TEMPORARY_AGE:
            return
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # BlockingIOError: its writer is alive
        if os.stat(entry, dir_fd=dir_fd, follow_symlinks=False).st_ino == st.st_ino:
            os.unlink(entry, dir_fd=dir_fd)
    finally:
        os.close(fd)


def _open_temporary(dir_fd: int, name: str) -> Tuple[int, Optional[str]]:
    """A new temporary file in the directory, locked: (descriptor, its name),
    the name None while the file is anonymous."""
    if _ANONYMOUS_TEMPORARIES:
        try:
            fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
        except OSError as exc:
            if exc.errno not in _NO_ANONYMOUS_FILES:
                raise
        else:
            fcntl.flock(fd, fcntl.LOCK_EX)
            return fd, None
    while True:
        temp_name = _temporary_name(name)
        try:
            fd = os.open(temp_name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW_FLAGS, 0o600, dir_fd=dir_fd)
        except FileExistsError:
            continue
        fcntl.flock(fd, fcntl.LOCK_EX)
        return fd, temp_name


def _name_anonymous(fd: int, dir_fd: int, name: str) -> str:
    """Give the complete anonymous file ``fd`` a temporary name."""
    while True:
        temp_name = _temporary_name(name)
        try:
            os.link(f"/proc/self/fd/{fd}", temp_name, dst_dir_fd=dir_fd, follow_symlinks=True)
        except FileExistsError:
            continue
        return temp_name


def write_atomically(path: Path, data: bytes, mode: Optional[int] = None, dir_fd: Optional[int] = None) -> None:
    """Replace the content of ``path`` with ``data`` in one atomic step.

    The data goes to a temporary file beside ``path`` (an anonymous one where
    the file system can make it), which is flushed and fsync'ed, then renamed
    over ``path``; finally the directory is fsync'ed so the rename survives a
    crash.  If anything fails (including an interrupt) the temporary file is
    removed and ``path`` keeps its old content.  Temporary files that killed
    writers left beside ``path`` are removed first.

    ``path`` must be a regular file or not exist: anything else (a symlink,
    a device, a directory) raises :class:`UnsafePathError` and is left as it
    is.  ``dir_fd``: a descriptor of the directory of ``path`` opened by the
    caller (see :func:`directory_of`); without it the directory is opened by
    name.  ``mode``: permission bits of the new file; by default those of the
    file being replaced, or 0644 for a new file.
    """
    if dir_fd is None:
        dir_fd = os.open(path.parent, _DIRECTORY_FLAGS)
        try:
            return write_atomically(path, data, mode, dir_fd)
        finally:
            os.close(dir_fd)
    name = path.name
    try:
        existing: Optional[os.stat_result] = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        raise UnsafePathError(f"{path}: exists and is not a regular file; refusing to replace it")
    if mode is None:
        mode = NEW_FILE_MODE if existing is None else stat.S_IMODE(existing.st_mode)
    try:
        sweep_stale_temporaries(dir_fd, name)
        fd, temp_name = _open_temporary(dir_fd, name)
    except OSError as exc:
        raise StorageError("writing", path, exc) from exc
    try:
        with open(fd, "wb", closefd=False) as handle:
            handle.write(data)
        if existing is not None:
            # The replaced file's owner and group, where allowed (before the
            # mode: a change of owner clears the set-ID bits).
            with contextlib.suppress(PermissionError):
                os.fchown(fd, existing.st_uid, existing.st_gid)
        os.fchmod(fd, mode)
        os.fsync(fd)
        if temp_name is None:
            temp_name = _name_anonymous(fd, dir_fd, name)
        os.replace(temp_name, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        _fsync_directory(dir_fd)
    except BaseException as exc:
        if temp_name is not None:
            with contextlib.suppress(OSError):
                os.unlink(temp_name, dir_fd=dir_fd)
        if isinstance(exc, OSError) and not isinstance(exc, StorageError):
            raise StorageError("writing", path, exc) from exc
        raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def exclusive_lock(dir_fd: int, name: str, shown: Path) -> Iterator[None]:
    """Hold an exclusive ``flock`` on the file ``name`` in the directory
    ``dir_fd`` (created if missing; a symlink there is refused).

    ``flock`` locks belong to the open file description, so two threads of
    one process exclude each other as well as two processes do.  The lock is
    released when the descriptor is closed, also if the process dies.
    ``shown`` is the lock file's path, for errors.
    """
    try:
        fd = os.open(name, os.O_RDWR | os.O_CREAT | _NOFOLLOW_FLAGS, 0o600, dir_fd=dir_fd)
    except OSError as exc:
        refusal = _refusal(shown, exc)
        raise (StorageError("locking", shown, exc) if refusal is exc else refusal) from exc
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


# No file of the service is anywhere near this size; reading stops there.
MAX_FILE_SIZE = 64 * 1024 * 1024


def read_regular_file(path: Path, limit: int, error: "type[Exception]") -> bytes:
    """The bytes of the regular file ``path``, at most ``limit`` of them.

    Anything else (a device, a FIFO, a directory) or a larger file raises
    ``error`` before a byte is read; a missing file ``FileNotFoundError``.
    """
    return _read_checked(path, limit, error, in_tree=False)[1]


def _open_for_reading(path: Path, error: "type[Exception]", in_tree: bool) -> int:
    """A descriptor for reading the regular file ``path``.

    A file of the service (``in_tree``) is reached from the service root
    without following a symlink below it (the directories are opened one by
    one, relative to the root's descriptor); a file named by the caller is
    taken as it is.  The file is first opened as a path only, which opens no device
    and waits for no FIFO, and anything but a regular file raises ``error``.
    """
    root = current_layout().root
    parts: Tuple[str, ...] = ()
    if in_tree:
        try:
            parts = path.relative_to(root).parts
        except ValueError:
            pass
    if parts:
        dir_fd = open_directory_below(root, parts[:-1], create=False)
        name, flags = parts[-1], os.O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC
    else:
        dir_fd, name, flags = None, str(path), os.O_PATH | os.O_CLOEXEC
    try:
        path_fd = os.open(name, flags, dir_fd=dir_fd)
    except FileNotFoundError:
        raise
    except OSError as exc:
        raise StorageError("reading", path, exc) from exc
    finally:
        if dir_fd is not None:
            os.close(dir_fd)
    try:
        if not stat.S_ISREG(os.fstat(path_fd).st_mode):
            raise error(f"{path}: not a regular file")
        try:
            # O_NONBLOCK all the same: the same inode, whatever was renamed meanwhile.
            return os.open(f"/proc/self/fd/{path_fd}", os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as exc:
            raise StorageError("reading", path, exc) from exc
    finally:
        os.close(path_fd)


def _read_checked(path: Path, limit: int, error: "type[Exception]",
                  in_tree: bool = True) -> Tuple[os.stat_result, bytes]:
    fd = _open_for_reading(path, error, in_tree)
    try:
        st = os.fstat(fd)
        if st.st_size > limit:
            raise error(f"{path}: {st.st_size} bytes, more than the {limit} bytes a configuration file may have")
        with open(fd, "rb", closefd=False) as handle:
            data = handle.read(limit + 1)
    except OSError as exc:
        if isinstance(exc, ZornaEventsError):
            raise
        raise StorageError("reading", path, exc) from exc
    finally:
        os.close(fd)
    if len(data) > limit:
        raise error(f"{path}: grew beyond {limit} bytes while being read")
    return st, data


def read_bytes_or_none(path: Path) -> Optional[bytes]:
    """Return the bytes of the regular file ``path``, or None if it does not exist."""
    try:
        return _read_checked(path, MAX_FILE_SIZE, UnsafePathError)[1]
    except FileNotFoundError:
        return None
