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
(no change was made after it).  Files below the root are reached through
the root's descriptor (tree.py), without following a symlink anywhere below
the root.  A tree may be someone else's, so a copy is put back only if its
manifest names exactly the files the command copies and its copies are the
plain names the command writes; anything else is refused and left in place.

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
from stat import S_ISDIR
from typing import Any, Dict, List, Optional, TextIO, Tuple

from .names import CATALOGUE_FILE, LOCK_FILE, PROG, ROLLBACK_DIR
from .texts import N_, _
from .tree import BrokenFile, CommandError, Root, file_error, open_root, read_at, reason

MANIFEST = "manifest"

# Every file the event service writes for a change, below the root.
CONFIG_FILES = ("etc/zorna-syslog.conf",)

# The signals that end a run, undoing its change; the run exits with 128 + N.
ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_NOFOLLOW = os.O_NOFOLLOW | os.O_CLOEXEC

# Steps named in errors.
WRITING_COPY = N_("writing the rollback copy")
PUTTING_BACK = N_("putting back")
REMOVING_COPY = N_("removing the rollback copy")


# --------------------------------------------------------------------------
# Files below the root


def root_of(root: Optional[Path]) -> Root:
    """The opened tree for ``root`` (None: the system); opened once."""
    return root if isinstance(root, Root) else open_root(root)


def open_directory(root: Optional[Path], relative: str, create_mode: Optional[int] = None) -> int:
    """A descriptor of the directory ``relative`` below ``root``, reached
    without following a symlink below the root.  With ``create_mode``,
    missing directories are made, and made durable, on the way."""
    return root_of(root).directory(relative, create_mode)


def read_file(dir_fd: int, name: str, shown: Path) -> Tuple[Optional[bytes], Optional[os.stat_result]]:
    """The content and status of a regular file, or (None, None) if there is
    none; ``shown`` is its path for an error.  Anything else is refused."""
    try:
        return read_at(dir_fd, name, shown)
    except FileNotFoundError:
        return None, None
    except BrokenFile as exc:
        raise CommandError(str(exc)) from None


def write_file(dir_fd: int, name: str, data: bytes, like: Optional[os.stat_result] = None,
               shown: Optional[Path] = None, step: str = WRITING_COPY) -> None:
    """Write the new file ``name`` in the directory and make it durable;
    with ``like``, give it that file's permission bits and, where allowed,
    its owner and group (whatever the umask).  Errors name ``shown`` and
    ``step``.  The name must be free: nothing that stands there (a hard link
    to a file elsewhere, put there by the tree's owner) is ever written."""
    try:
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW, 0o600, dir_fd=dir_fd)
        with open(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            if like is not None:
                with contextlib.suppress(OSError):
                    os.fchown(fd, like.st_uid, like.st_gid)
                os.fchmod(fd, like.st_mode & 0o7777)
            os.fsync(fd)
    except OSError as exc:
        raise file_error(step, shown if shown is not None else name, exc) from None


@contextlib.contextmanager
def directory(root: Optional[Path], relative: str, create_mode: Optional[int] = None):
    fd = open_directory(root, relative, create_mode)
    try:
        yield fd
    finally:
        os.close(fd)


def _fsync(fd: int, shown: Path, step: str) -> None:
    try:
        os.fsync(fd)
    except OSError as exc:
        raise file_error(step, shown, exc) from None


# --------------------------------------------------------------------------
# The rollback copy


def copy_name(number: int) -> str:
    """The name of the copy of ``CONFIG_FILES[number]``."""
    return str(number)


def expected_entries(document: Any) -> Optional[List[Tuple[str, Optional[str]]]]:
    """The (path, copy) pairs of a manifest this command wrote, or None for
    anything else: it must name exactly ``CONFIG_FILES``, in order, each
    with no copy or the plain name the command writes for it."""
    if not isinstance(document, dict) or set(document) != {"files"} or not isinstance(document["files"], list):
        return None
    entries = document["files"]
    if len(entries) != len(CONFIG_FILES):
        return None
    pairs = []
    for number, (entry, relative) in enumerate(zip(entries, CONFIG_FILES)):
        if not isinstance(entry, dict) or set(entry) != {"path", "copy"} or entry["path"] != relative:
            return None
        if entry["copy"] is not None and entry["copy"] != copy_name(number):
            return None
        pairs.append((relative, entry["copy"]))
    return pairs


class RollbackCopy:
    """The copy of ``CONFIG_FILES`` below one root."""

    def __init__(self, root: Optional[Path]):
        self.tree = root_of(root)
        self.root = self.tree.path
        self.saved: Dict[str, Optional[bytes]] = {}

    @property
    def where(self) -> Path:
        return self.tree.shown(ROLLBACK_DIR)

    def writable(self) -> bool:
        """Whether this process may change the copy's directory."""
        try:
            with directory(self.tree, ROLLBACK_DIR) as copy_fd:
                return os.access(".", os.W_OK, dir_fd=copy_fd)
        except (OSError, CommandError):
            return False

    def found(self) -> bool:
        return self.tree.lstat(ROLLBACK_DIR + "/" + MANIFEST) is not None

    def _read(self, relative: str) -> Tuple[Optional[bytes], Optional[os.stat_result]]:
        folder, _sep, name = relative.rpartition("/")
        try:
            dir_fd = self.tree.directory(folder)
        except FileNotFoundError:
            return None, None
        try:
            return read_file(dir_fd, name, self.tree.shown(relative))
        finally:
            os.close(dir_fd)

    def current(self) -> Dict[str, Optional[bytes]]:
        """The content of each file now (None: no such file)."""
        return {relative: self._read(relative)[0] for relative in CONFIG_FILES}

    def save(self) -> None:
        """Copy every file, durably; the manifest, renamed into place last,
        makes the copy count."""
        with directory(self.tree, ROLLBACK_DIR, 0o755) as copy_fd:
            self._remove_all(copy_fd)
            try:
                self._save(copy_fd)
            except BaseException:
                with contextlib.suppress(OSError, CommandError):
                    self._remove_all(copy_fd)
                raise

    def _save(self, copy_fd: int) -> None:
        entries = []
        for number, relative in enumerate(CONFIG_FILES):
            data, st = self._read(relative)
            self.saved[relative] = data
            copy = None if data is None else copy_name(number)
            if copy is not None:
                write_file(copy_fd, copy, data, st, self.where / copy)
            entries.append({"path": relative, "copy": copy})
        write_file(copy_fd, MANIFEST + ".new", json.dumps({"files": entries}).encode(), None,
                   self.where / (MANIFEST + ".new"))
        try:
            os.rename(MANIFEST + ".new", MANIFEST, src_dir_fd=copy_fd, dst_dir_fd=copy_fd)
        except OSError as exc:
            raise file_error(WRITING_COPY, self.where / MANIFEST, exc) from None
        _fsync(copy_fd, self.where, WRITING_COPY)

    def changed(self, now: Optional[Dict[str, Optional[bytes]]] = None) -> bool:
        """Whether the files (``now``, else as they are) differ from the copy
        (JSON documents compared as documents, so a mere rewrite is no change)."""
        now = self.current() if now is None else now
        return any(not _same(self.saved.get(relative), data) for relative, data in now.items())

    def restore(self) -> bool:
        """Put every file back as the copy has it, then remove the copy.
        Returns whether any file differed from its copy.

        Only a copy this command wrote is put back: a manifest that names
        anything else, or a copy that is not a plain file of the name the
        command gives it, is refused with an error naming it, and the copy
        is left in place for the administrator; nothing is deleted."""
        with directory(self.tree, ROLLBACK_DIR) as copy_fd:
            data, _st = read_file(copy_fd, MANIFEST, self.where / MANIFEST)
            if data is None:  # never completed: no change was made after it
                self._remove_all(copy_fd)
                return False
            try:
                pairs = expected_entries(json.loads(data.decode("utf-8")))
            except (ValueError, RecursionError):
                pairs = None
            if pairs is None:
                raise CommandError(_("{path}: not a rollback copy this command wrote; "
                                     "left in place, nothing was undone").format(path=self.where / MANIFEST))
            copies = {}
            for relative, copy in pairs:
                if copy is not None:
                    copies[copy] = read_file(copy_fd, copy, self.where / copy)
            differed = False
            for relative, copy in pairs:
                differed |= self._put_back(copy_fd, relative, copy, copies.get(copy))
            self._remove_all(copy_fd)
        return differed

    def _put_back(self, copy_fd: int, relative: str, copy: Optional[str], saved_and_status) -> bool:
        folder, _sep, name = relative.rpartition("/")
        shown = self.tree.shown(relative)
        try:
            dir_fd = self.tree.directory(folder)
        except FileNotFoundError:
            if copy is None:
                return False
            dir_fd = self.tree.directory(folder, 0o755)
        try:
            now = read_file(dir_fd, name, shown)[0]
            if copy is None:
                if now is None:
                    return False
                try:
                    os.unlink(name, dir_fd=dir_fd)
                except OSError as exc:
                    raise file_error(PUTTING_BACK, shown, exc) from None
            else:
                saved, st = saved_and_status
                if saved is None:  # put back by an earlier, interrupted restore
                    return False
                if saved == now:
                    return False
                try:
                    os.rename(copy, name, src_dir_fd=copy_fd, dst_dir_fd=dir_fd)
                except OSError as exc:
                    if exc.errno != errno.EXDEV:
                        raise file_error(PUTTING_BACK, shown, exc) from None
                    # Another file system: a new file beside the old one.
                    temporary = "." + name + ".zae-restore"
                    try:
                        os.unlink(temporary, dir_fd=dir_fd)  # left by an interrupted restore
                    except FileNotFoundError:
                        pass
                    except OSError as exc:
                        raise file_error(PUTTING_BACK, shown.with_name(temporary), exc) from None
                    write_file(dir_fd, temporary, saved, st, shown.with_name(temporary), PUTTING_BACK)
                    try:
                        os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
                    except OSError as exc:
                        raise file_error(PUTTING_BACK, shown, exc) from None
            _fsync(dir_fd, shown.parent, PUTTING_BACK)
            return True
        finally:
            os.close(dir_fd)

    def discard(self) -> None:
        """Remove the copy: the commit of the run."""
        with directory(self.tree, ROLLBACK_DIR) as copy_fd:
            self._remove_all(copy_fd)

    def _remove_all(self, dir_fd: int) -> None:
        """Remove the files of the copy, the manifest first, durably.  Only
        the names the command writes are removed; anything else there is
        left as it is."""
        own = [MANIFEST, MANIFEST + ".new"] + [copy_name(number) for number in range(len(CONFIG_FILES))]
        for name in own:
            try:
                # Looked at first: on a read-only file system even a missing name cannot be unlinked.
                os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
                os.unlink(name, dir_fd=dir_fd)
            except FileNotFoundError:
                continue
            except OSError as exc:
                raise file_error(REMOVING_COPY, self.where / name, exc) from None
            if name == MANIFEST:
                _fsync(dir_fd, self.where, REMOVING_COPY)
        _fsync(dir_fd, self.where, REMOVING_COPY)


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
    st = copy.tree.lstat(ROLLBACK_DIR)
    if st is None or not S_ISDIR(st.st_mode):
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

    tree = root_of(root)
    try:
        fd = open_lock(tree)
    except FileNotFoundError as exc:
        if exc.filename != str(tree.shown(CATALOGUE_FILE)):
            raise CommandError(_("cannot open the lock file {path}: {reason}").format(
                path=tree.shown(LOCK_FILE), reason=reason(exc))) from exc
        raise
    except OSError as exc:
        raise CommandError(
            _("cannot open the lock file {path}: {reason}").format(path=tree.shown(LOCK_FILE), reason=reason(exc))
        ) from exc
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(
                _("{prog}: waiting for another run to finish ({path})").format(prog=PROG, path=tree.shown(LOCK_FILE)),
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
    if not copy.writable():
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
