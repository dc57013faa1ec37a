"""The command's own directory, checked before each use as sshd's StrictModes
checks a user's files.

The run lock and the rollback copy live in the state directory
(``STATE_DIR`` below the root), where only its owner can create files, so no
other user can hold the lock, plant a file or a symlink there, or change a
copy.  Before a run uses it, every directory from the root down to it, the
state directory itself, the rollback directory and the files the command
writes there (the lock and the manifest) must be:

- owned by the user running the command (the directories above the state
  directory may also be root's, as sshd allows);
- writable by nobody else: not by its group, not by others;
- what they should be: a directory or a regular file, never a symlink.

Otherwise the run is refused with one line naming the path and what is
wrong with it, before anything is created or changed.  Missing directories
are created (mode 0755) on the way; nothing else is.  A root without the
event catalogue is refused before that: no catalogue, no state.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path

from .names import CATALOGUE_FILE, LOCK_FILE, ROLLBACK_DIR, STATE_DIR
from .texts import _
from .transaction import CommandError
from .tree import make_directory

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
MANIFEST = "manifest"


def _user(uid: int) -> str:
    try:
        import pwd

        return pwd.getpwuid(uid).pw_name
    except (KeyError, ImportError):
        return str(uid)


def check(st: os.stat_result, path: Path, own: bool = True) -> None:
    """Refuse ``path`` unless its owner is the running user (or, when not
    ``own``, root) and nobody else may write it."""
    uid = os.geteuid()
    if st.st_uid != uid and (own or st.st_uid != 0):
        raise CommandError(_("{path}: owned by {owner}, not by {user}; refusing to use it").format(
            path=path, owner=_user(st.st_uid), user=_user(uid)))
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise CommandError(_("{path}: writable by others than its owner (mode {mode:04o}); refusing to use it").format(
            path=path, mode=stat.S_IMODE(st.st_mode)))


def _not_a_directory(path: Path) -> CommandError:
    return CommandError(_("{path}: a symlink or not a directory; refusing to use it").format(path=path))


def open_state_dir(root, create: bool = True) -> int:
    """A descriptor of the state directory below ``root`` (reached through
    the tree's descriptor, tree.py), every directory on the way checked
    (and, with ``create``, made when missing)."""
    tree = _tree(root)
    fd = os.dup(tree.fd)
    shown = tree.path
    parts = list(filter(None, STATE_DIR.split("/")))
    try:
        check(os.fstat(fd), shown, own=False)
        for depth, name in enumerate(parts, 1):
            shown = shown / name
            if create:
                make_directory(fd, name, shown, 0o755)
            parent, fd = fd, -1
            try:
                fd = os.open(name, _DIRECTORY | os.O_NOFOLLOW, dir_fd=parent)
            except OSError as exc:
                if exc.errno not in (errno.ELOOP, errno.ENOTDIR):
                    raise
                raise _not_a_directory(shown) from None
            finally:
                os.close(parent)
            check(os.fstat(fd), shown, own=depth == len(parts))
        _check_rollback(fd, shown)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        raise
    return fd


def _check_rollback(state_fd: int, state: Path) -> None:
    """The rollback directory and its manifest, when there."""
    name = ROLLBACK_DIR[len(STATE_DIR):].strip("/")
    try:
        st = os.stat(name, dir_fd=state_fd, follow_symlinks=False)
    except FileNotFoundError:
        return
    if not stat.S_ISDIR(st.st_mode):
        raise _not_a_directory(state / name)
    check(st, state / name)
    try:
        st = os.stat(name + "/" + MANIFEST, dir_fd=state_fd, follow_symlinks=False)
    except FileNotFoundError:
        return
    if not stat.S_ISREG(st.st_mode):
        raise CommandError(_("{path}: not a regular file; refusing to use it").format(path=state / name / MANIFEST))
    check(st, state / name / MANIFEST)


def require_catalogue(root) -> None:
    """Refuse a root without the event catalogue, whose configuration no run can change."""
    tree = _tree(root)
    st = tree.lstat(CATALOGUE_FILE)
    if st is None or not stat.S_ISREG(st.st_mode):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(tree.shown(CATALOGUE_FILE)))


def _tree(root):
    """The opened tree of ``root`` (a tree.Root, a path, or None: the system)."""
    from .tree import Root, open_root

    return root if isinstance(root, Root) else open_root(None if root in (None, Path("/")) else root)


def open_lock(root) -> int:
    """The run lock below ``root``, opened (made when missing) for flock,
    after the catalogue, the lock's directories and itself have been checked."""
    tree = _tree(root)
    require_catalogue(tree)
    state_fd = open_state_dir(tree)
    name = LOCK_FILE[len(STATE_DIR):].strip("/")
    shown = tree.shown(LOCK_FILE)
    try:
        try:  # looked at first: a FIFO or a device there is never opened
            mode = os.stat(name, dir_fd=state_fd, follow_symlinks=False).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):  # a symlink: refused as one below
                raise CommandError(_("{path}: not a regular file; refusing to use it").format(path=shown))
        except FileNotFoundError:
            pass
        try:
            fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o600,
                         dir_fd=state_fd)
        except OSError as exc:
            if exc.errno != errno.ELOOP:
                raise
            raise CommandError(_("{path}: a symlink; refusing to use it").format(path=shown)) from None
    finally:
        os.close(state_fd)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise CommandError(_("{path}: not a regular file; refusing to use it").format(path=shown))
        check(st, shown)
    except BaseException:
        os.close(fd)
        raise
    return fd
