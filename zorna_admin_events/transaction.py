"""One run of a changing command as a transaction, and what ends a run.

Before its first change a run keeps a rollback copy of every file that the
event service may write (``CONFIG_FILES``), durable on disk, under
``ROLLBACK_DIR`` below the root.  A run that fails, is refused or is stopped by
a signal puts the copy back; a run that succeeds removes it, and that removal
is the commit.  After SIGKILL or a power cut the copy is still there, and the
next run of the command (whatever the subcommand) puts it back before
anything else.

The copy is made of whole files: the manifest, written last and renamed into
place, says which files it holds, so a copy without a manifest never counted
(no change was made after it).  Files below the root are reached without
following a symlink anywhere below the root.

Putting a file back renames its copy over it when both lie on one file
system, which needs no free space: the run being undone may have failed
because the disk is full.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import json
import os
import signal
import sys
from pathlib import Path
from typing import Dict, List, Optional, TextIO, Tuple

from .checks import read_opened
from .names import CATALOGUE_FILE, LOCK_FILE, PROG, ROLLBACK_DIR
from .texts import _

MANIFEST = "manifest"

# Every file the event service writes for a change, below the root.
CONFIG_FILES = ("etc/zorna-syslog.conf",)

# The signals that end a run, undoing its change; the run exits with 128 + N.
ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
_NOFOLLOW = os.O_NOFOLLOW | os.O_CLOEXEC


class CommandError(Exception):
    """A failure the command itself detects; its message says it all."""


# --------------------------------------------------------------------------
# Files below the root


def open_directory(root: Path, relative: str, create_mode: Optional[int] = None) -> int:
    """A descriptor of the directory ``relative`` below ``root``, reached
    without following a symlink below the root.  With ``create_mode``,
    missing directories are made, and made durable, on the way."""
    fd = os.open(root, _DIRECTORY)
    shown = root
    try:
        for name in filter(None, relative.split("/")):
            shown = shown / name
            if create_mode is not None:
                try:
                    os.mkdir(name, create_mode, dir_fd=fd)
                except FileExistsError:
                    pass
                else:
                    os.fsync(fd)
            parent = fd
            try:
                fd = os.open(name, _DIRECTORY | os.O_NOFOLLOW, dir_fd=parent)
            except OSError as exc:
                if exc.errno not in (errno.ELOOP, errno.ENOTDIR):
                    raise
                raise CommandError(
                    _("{path}: a symlink or not a directory; refusing to write through it").format(path=shown)
                ) from None
            os.close(parent)
    except BaseException:
        os.close(fd)
        raise
    return fd


def open_below(root: Path, relative: str) -> int:
    """Open (creating it and its directories) the file ``relative`` below
    ``root`` for reading and writing, without following a symlink below it."""
    directory, _sep, name = relative.rpartition("/")
    dir_fd = open_directory(root, directory, 0o755)
    try:
        return os.open(name, os.O_RDWR | os.O_CREAT | _NOFOLLOW, 0o600, dir_fd=dir_fd)
    finally:
        os.close(dir_fd)


def read_file(dir_fd: int, name: str, shown: Path) -> Tuple[Optional[bytes], Optional[os.stat_result]]:
    """The content and status of a regular file, or (None, None) if there is
    none; ``shown`` is its path for an error."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | _NOFOLLOW, dir_fd=dir_fd)
    except FileNotFoundError:
        return None, None
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise CommandError(_("{path}: a symlink; refusing to write through it").format(path=shown)) from None
        raise
    return read_opened(fd, shown)


def write_file(dir_fd: int, name: str, data: bytes, like: Optional[os.stat_result] = None) -> None:
    """Write ``name`` in the directory and make it durable; with ``like``,
    give it that file's permission bits and, where allowed, its owner."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | _NOFOLLOW, 0o600, dir_fd=dir_fd)
    with open(fd, "wb") as handle:
        handle.write(data)
        handle.flush()
        if like is not None:
            os.fchmod(fd, like.st_mode & 0o7777)
            with contextlib.suppress(OSError):
                os.fchown(fd, like.st_uid, like.st_gid)
        os.fsync(fd)


@contextlib.contextmanager
def directory(root: Path, relative: str, create_mode: Optional[int] = None):
    fd = open_directory(root, relative, create_mode)
    try:
        yield fd
    finally:
        os.close(fd)


# --------------------------------------------------------------------------
# The rollback copy


class RollbackCopy:
    """The copy of ``CONFIG_FILES`` below one root."""

    def __init__(self, root: Optional[Path]):
        self.root = root if root is not None else Path("/")
        self.saved: Dict[str, Optional[bytes]] = {}

    @property
    def where(self) -> Path:
        return self.root / ROLLBACK_DIR

    def found(self) -> bool:
        return os.path.lexists(str(self.where / MANIFEST))

    def current(self) -> Dict[str, Optional[bytes]]:
        """The content of each file now (None: no such file)."""
        content = {}
        for relative in CONFIG_FILES:
            folder, _sep, name = relative.rpartition("/")
            try:
                with directory(self.root, folder) as dir_fd:
                    content[relative] = read_file(dir_fd, name, self.root / relative)[0]
            except FileNotFoundError:
                content[relative] = None
        return content

    def save(self) -> None:
        """Copy every file, durably; the manifest, renamed into place last,
        makes the copy count."""
        with directory(self.root, ROLLBACK_DIR, 0o755) as copy_fd:
            _remove_all(copy_fd)
            try:
                self._save(copy_fd)
            except BaseException:
                with contextlib.suppress(OSError):
                    _remove_all(copy_fd)
                raise

    def _save(self, copy_fd: int) -> None:
        entries = []
        for number, relative in enumerate(CONFIG_FILES):
            folder, _sep, name = relative.rpartition("/")
            try:
                with directory(self.root, folder) as dir_fd:
                    data, st = read_file(dir_fd, name, self.root / relative)
            except FileNotFoundError:
                data = st = None
            self.saved[relative] = data
            copy = None if data is None else str(number)
            if copy is not None:
                write_file(copy_fd, copy, data, st)
            entries.append({"path": relative, "copy": copy})
        write_file(copy_fd, MANIFEST + ".new", json.dumps({"files": entries}).encode())
        os.rename(MANIFEST + ".new", MANIFEST, src_dir_fd=copy_fd, dst_dir_fd=copy_fd)
        os.fsync(copy_fd)

    def changed(self, now: Optional[Dict[str, Optional[bytes]]] = None) -> bool:
        """Whether the files (``now``, else as they are) differ from the copy
        (JSON documents compared as documents, so a mere rewrite is no change)."""
        now = self.current() if now is None else now
        return any(not _same(self.saved.get(relative), data) for relative, data in now.items())

    def restore(self) -> bool:
        """Put every file back as the copy has it, then remove the copy.
        Returns whether any file differed from its copy."""
        with directory(self.root, ROLLBACK_DIR) as copy_fd:
            data, _st = read_file(copy_fd, MANIFEST, self.where / MANIFEST)
            if data is None:  # never completed: no change was made after it
                _remove_all(copy_fd)
                return False
            differed = False
            for entry in json.loads(data.decode())["files"]:
                differed |= self._put_back(copy_fd, entry["path"], entry["copy"])
            _remove_all(copy_fd)
        return differed

    def _put_back(self, copy_fd: int, relative: str, copy: Optional[str]) -> bool:
        folder, _sep, name = relative.rpartition("/")
        try:
            dir_fd = open_directory(self.root, folder)
        except FileNotFoundError:
            if copy is None:
                return False
            dir_fd = open_directory(self.root, folder, 0o755)
        try:
            now = read_file(dir_fd, name, self.root / relative)[0]
            if copy is None:
                if now is None:
                    return False
                os.unlink(name, dir_fd=dir_fd)
            else:
                saved, st = read_file(copy_fd, copy, self.where / copy)
                if saved is None:  # put back by an earlier, interrupted restore
                    return False
                if saved == now:
                    return False
                try:
                    os.rename(copy, name, src_dir_fd=copy_fd, dst_dir_fd=dir_fd)
                except OSError as exc:
                    if exc.errno != errno.EXDEV:
                        raise
                    # Another file system: a new file beside the old one.
                    temporary = "." + name + ".zae-restore"
                    write_file(dir_fd, temporary, saved, st)
                    os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
            os.fsync(dir_fd)
            return True
        finally:
            os.close(dir_fd)

    def discard(self) -> None:
        """Remove the copy: the commit of the run."""
        with directory(self.root, ROLLBACK_DIR) as copy_fd:
            _remove_all(copy_fd)


def _remove_all(dir_fd: int) -> None:
    """Remove every file of the copy, the manifest first, durably."""
    names = sorted(os.listdir(dir_fd), key=lambda name: name != MANIFEST)
    for name in names:
        os.unlink(name, dir_fd=dir_fd)
        if name == MANIFEST:
            os.fsync(dir_fd)
    os.fsync(dir_fd)


def _same(before: Optional[bytes], after: Optional[bytes]) -> bool:
    if before == after:
        return True
    if before is None or after is None:
        return False
    try:
        return json.loads(before.decode()) == json.loads(after.decode())
    except (ValueError, RecursionError):  # not JSON, or nested too deeply to compare: a change
        return False


def recover(root: Optional[Path], stderr: TextIO) -> None:
    """Put back the copy that an interrupted run left, saying so in one line."""
    copy = RollbackCopy(root)
    if not os.path.isdir(str(copy.where)):
        return
    with deferred_signals():
        differed = copy.restore()
    if differed:
        print(
            _("{prog}: an earlier run was interrupted: its changes were undone from {path}").format(
                prog=PROG, path=copy.where
            ),
            file=stderr,
            flush=True,
        )


@contextlib.contextmanager
def run_lock(root: Optional[Path], stderr: TextIO):
    """Hold the command's exclusive lock (``LOCK_FILE`` under the root), its
    directories checked first (statedir.py)."""
    from .statedir import open_lock

    base = root if root is not None else Path("/")
    try:
        fd = open_lock(base)
    except FileNotFoundError as exc:
        if exc.filename != str(base / CATALOGUE_FILE):
            raise CommandError(_("cannot open the lock file {path}: {reason}").format(
                path=base / LOCK_FILE, reason=exc.strerror)) from exc
        raise
    except OSError as exc:
        raise CommandError(
            _("cannot open the lock file {path}: {reason}").format(path=base / LOCK_FILE, reason=exc.strerror)
        ) from exc
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(
                _("{prog}: waiting for another run to finish ({path})").format(prog=PROG, path=base / LOCK_FILE),
                file=stderr,
                flush=True,
            )
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def put_back_left_copy(root: Optional[Path], stderr: TextIO) -> None:
    """For a run that changes nothing: put back a copy that an interrupted
    run left, under the lock (the copy of a run going on is its own).  A user
    who may not is told, and the run goes on."""
    copy = RollbackCopy(root)
    if not copy.found():
        return
    if not os.access(str(copy.where), os.W_OK):
        print(
            _("{prog}: warning: an earlier run was interrupted and its changes are not undone yet: "
              "run {prog} as root").format(prog=PROG),
            file=stderr,
        )
        return
    with run_lock(root, stderr):
        recover(root, stderr)


class Transaction:
    """The rollback copy of one run, made under the run lock: on leaving the
    block without a commit, the copy is put back (``undone`` tells whether
    that changed anything).  ``after`` keeps the files as they were at the
    commit, or just before they were put back (None: not read), for the
    record of the run (record.py)."""

    def __init__(self, root: Optional[Path], stderr: TextIO):
        self.root = root
        self.copy = RollbackCopy(root)
        self.stderr = stderr
        self.changed = False
        self.undone = False
        self.after: Optional[Dict[str, Optional[bytes]]] = None

    def __enter__(self) -> "Transaction":
        recover(self.root, self.stderr)
        with deferred_signals():
            self.copy.save()
        return self

    def commit(self) -> None:
        """Keep the change: note whether there was one, and remove the copy."""
        with deferred_signals():
            self.after = self.copy.current()
            self.changed = self.copy.changed(self.after)
            self.copy.discard()

    def __exit__(self, *exc) -> None:
        if self.copy.found():
            with deferred_signals():
                try:
                    self.after = self.copy.current()
                except Exception:  # unreadable now: the copy goes back all the same
                    self.after = None
                self.undone = self.copy.restore()


# --------------------------------------------------------------------------
# Signals


class Interrupted(BaseException):
    """A signal that ends the run (the exit status is 128 + its number)."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum

    @property
    def name(self) -> str:
        return signal.Signals(self.signum).name


class _Signals:
    deferring = 0
    pending: Optional[int] = None

    def handler(self, signum, frame):
        if self.deferring:
            if self.pending is None:
                self.pending = signum
            return
        raise Interrupted(signum)


_signals = _Signals()


@contextlib.contextmanager
def ending_signals():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted meanwhile."""
    previous = {signum: signal.signal(signum, _signals.handler) for signum in ENDING_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def deferred_signals():
    """A signal that arrives meanwhile is raised when the block has ended,
    so that the copy is never half made, half put back or half removed."""
    _signals.deferring += 1
    try:
        yield
    finally:
        _signals.deferring -= 1
    if not _signals.deferring and _signals.pending is not None:
        signum, _signals.pending = _signals.pending, None
        raise Interrupted(signum)


# --------------------------------------------------------------------------
# Standard output


@contextlib.contextmanager
def held_output():
    """When standard output is not a terminal, what is printed meanwhile is
    written out at the end of the block: a reader that stops reading must
    not keep the run lock held."""
    stream = sys.stdout
    if stream is None or stream.isatty():
        yield
        return
    sys.stdout = io.StringIO()
    try:
        yield
    finally:
        held, sys.stdout = sys.stdout, stream
        stream.write(held.getvalue())


# --------------------------------------------------------------------------
# Restarting the daemons


class _RestartingOs:
    """The ``os`` the extension module sees while it restarts the daemons:
    its ``system`` runs each command line and keeps its exit status."""

    def __init__(self):
        self.results: List[Tuple[str, int]] = []

    def system(self, command: str) -> int:
        wait_status = os.system(command)
        if os.WIFSIGNALED(wait_status):
            self.results.append((command, -os.WTERMSIG(wait_status)))
        else:
            self.results.append((command, os.WEXITSTATUS(wait_status)))
        return wait_status

    def __getattr__(self, name):
        return getattr(os, name)


def restart_daemons(obj, flag: str) -> List[str]:
    """Restart the daemons through the object's own ``restart_daemons`` and
    return one text for each unit that failed to restart, naming it."""
    module = sys.modules[type(obj).__module__]
    restarting = _RestartingOs()
    setattr(obj, flag, True)
    saved = module.os
    module.os = restarting
    try:
        obj.restart_daemons()
    finally:
        module.os = saved
    return [_failure(command, status) for command, status in restarting.results if status != 0]


def _failure(command: str, status: int) -> str:
    unit = command.split()[-1]
    if status < 0:
        reason = _("'{command}' was killed by {signal}").format(command=command, signal=signal.Signals(-status).name)
    else:
        reason = _("'{command}' exited with status {status}").format(command=command, status=status)
    return _("{unit} was not restarted: {reason}").format(unit=unit, reason=reason)
