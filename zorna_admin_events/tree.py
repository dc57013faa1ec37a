"""The tree the command works on, opened once and reached through its descriptor.

A tree named with ``--root`` may have been prepared by someone else: an
image, a container root, a colleague's copy, whose owner may change it while
the command runs.  So the root is opened once (``O_DIRECTORY|O_NOFOLLOW``)
and everything below it is reached relative to that descriptor, one
component at a time, never following a symlink; no path under the root is
looked up by name from ``/`` again.  Where a path must be handed on (the
class attributes, the event service's root), ``/proc/self/fd/N`` names the
descriptor.

A file read from a tree is first opened as a path only (``O_PATH``, which
opens no device and waits for no FIFO), its type checked on that
descriptor, and only a regular file is read, through that very descriptor,
at most ``MAX_SIZE`` bytes of it.  The system itself (no ``--root``) is
trusted: there symlinks are followed, but the same checks of type and size
hold.

Errors name the full path and the step: "writing the rollback copy
`/…/rollback/0`: Read-only file system".
"""

import errno
import io
import os
import stat
from pathlib import Path

from .texts import N_, _

# Far more than any real configuration: a file this large is not one.
MAX_SIZE = 64 * 1024 * 1024

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC

# Steps named in errors.
OPENING_ROOT = N_("opening the tree")
OPENING_DIRECTORY = N_("opening the directory")
CREATING_DIRECTORY = N_("creating the directory")
READING = N_("reading")
LISTING = N_("listing the directory")


class CommandError(Exception):
    """A failure the command itself detects; its message says it all."""


class BrokenFile(Exception):
    """A file the command refuses to hand to the module; the message names it."""


def reason(exc):
    """The system's words for an OS error, in the administrator's language where we can."""
    from .cli import OS_ERRORS

    name = errno.errorcode.get(exc.errno)
    if name in OS_ERRORS:
        return _(OS_ERRORS[name])
    return exc.strerror or str(exc)


def file_error(step, path, exc):
    """The error for ``exc`` at ``step`` (a text marked with N_) on ``path``."""
    return CommandError(_("{step} `{path}`: {reason}").format(step=_(step), path=path, reason=reason(exc)))


def make_directory(dir_fd, name, shown, mode):
    """Create the directory ``name`` in ``dir_fd`` unless it is there, the
    new entry synced; an error names ``shown`` and the step."""
    try:
        os.mkdir(name, mode, dir_fd=dir_fd)
    except FileExistsError:
        return
    except OSError as exc:
        raise file_error(CREATING_DIRECTORY, shown, exc) from None
    os.fsync(dir_fd)


def read_opened(fd, path, limit=None):
    """The bytes and status of the file open at ``fd`` (which is closed
    here), refused unless it is a regular file of at most ``limit`` bytes."""
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise BrokenFile(_("{file}: not a regular file").format(file=path))
        if limit is not None and st.st_size > limit:
            data = b""
        else:
            with os.fdopen(fd, "rb", closefd=False) as handle:
                data = handle.read(-1 if limit is None else limit + 1)
    finally:
        os.close(fd)
    if limit is not None and (st.st_size > limit or len(data) > limit):
        raise BrokenFile(_("{file}: larger than {size} MiB").format(file=path, size=limit // (1024 * 1024)))
    return data, st


def read_at(dir_fd, name, shown, limit=MAX_SIZE, follow=False):
    """The bytes and status of the regular file ``name`` in the directory
    ``dir_fd`` (``shown`` is its path for errors); ``FileNotFoundError``
    naming ``shown`` if there is none.

    Anything but a regular file (a symlink unless ``follow``, a FIFO, a
    device, a directory) is refused before it is opened for reading."""
    flags = os.O_PATH | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW)
    try:
        path_fd = os.open(name, flags, dir_fd=dir_fd)
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(shown)) from None
    except OSError as exc:
        raise file_error(READING, shown, exc) from None
    try:
        st = os.fstat(path_fd)
        if not stat.S_ISREG(st.st_mode):
            raise BrokenFile(_("{file}: not a regular file").format(file=shown))
        # The file open as a path, opened again for reading: the same inode,
        # whatever the tree's owner has renamed meanwhile.
        try:
            fd = os.open(f"/proc/self/fd/{path_fd}", os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as exc:
            raise file_error(READING, shown, exc) from None
    finally:
        os.close(path_fd)
    try:
        return read_opened(fd, shown, limit)
    except OSError as exc:
        raise file_error(READING, shown, exc) from None


def split(relative):
    """The names of a path relative to a root; ".." (which would lead out of
    it) is refused."""
    parts = [part for part in str(relative).split("/") if part and part != "."]
    if ".." in parts:
        raise CommandError(_("{path}: not below the tree").format(path=relative))
    return parts


class Root:
    """A tree opened once: ``fd`` its descriptor, ``path`` the name it was
    given (for messages only), ``proc`` the name of the descriptor.  Below an
    untrusted tree no symlink is followed."""

    def __init__(self, path, fd, trusted):
        self.path = Path(path)
        self.fd = fd
        self.trusted = trusted

    @property
    def proc(self):
        return f"/proc/self/fd/{self.fd}"

    def shown(self, relative=""):
        """The path of ``relative`` below the root, as the administrator named it."""
        return self.path.joinpath(*split(relative))

    def shown_text(self, text):
        """``text`` with the name of the descriptor replaced by the root's path."""
        import re

        path = str(self.path)
        return re.sub(re.escape(self.proc) + r"(/?)(?![0-9])",
                      lambda m: path.rstrip("/") + "/" if m.group(1) else path, str(text))

    def directory(self, relative, create_mode=None, follow=False):
        """A descriptor of the directory ``relative`` below the root, never
        through a symlink (unless ``follow``, for reads of a trusted tree).
        With ``create_mode``, missing directories are made, and made durable,
        on the way.  A symlink or non-directory on the way is refused."""
        fd = os.dup(self.fd)
        done = []
        try:
            for name in split(relative):
                done.append(name)
                shown = self.shown("/".join(done))
                if create_mode is not None:
                    make_directory(fd, name, shown, create_mode)
                flags = _DIRECTORY | (0 if follow else os.O_NOFOLLOW)
                try:
                    child = os.open(name, flags, dir_fd=fd)
                except FileNotFoundError:
                    raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(shown)) from None
                except OSError as exc:
                    if exc.errno in (errno.ELOOP, errno.ENOTDIR):
                        raise CommandError(
                            _("{path}: a symlink or not a directory; refusing to go through it").format(path=shown)
                        ) from None
                    raise file_error(OPENING_DIRECTORY, shown, exc) from None
                os.close(fd)
                fd = child
        except BaseException:
            os.close(fd)
            raise
        return fd

    def read_directory(self, relative):
        """A descriptor of a directory to read from (see ``directory``)."""
        return self.directory(relative, follow=self.trusted)

    def read(self, relative, limit=MAX_SIZE):
        """The bytes of the regular file ``relative``; ``FileNotFoundError``
        (naming it) when it or a directory on the way is missing."""
        folder, _sep, name = str(relative).rpartition("/")
        dir_fd = self.read_directory(folder)
        try:
            return read_at(dir_fd, name, self.shown(relative), limit, follow=self.trusted)[0]
        finally:
            os.close(dir_fd)

    def lstat(self, relative):
        """The status of ``relative`` (of a symlink itself below an untrusted
        tree), or None if it or a directory on the way is missing."""
        parts = split(relative)
        if not parts:
            return os.fstat(self.fd)
        try:
            dir_fd = self.read_directory("/".join(parts[:-1]))
        except (FileNotFoundError, CommandError):
            return None
        try:
            return os.stat(parts[-1], dir_fd=dir_fd, follow_symlinks=self.trusted)
        except (FileNotFoundError, NotADirectoryError):
            return None
        finally:
            os.close(dir_fd)

    def listdir(self, relative):
        """The names in the directory ``relative``."""
        fd = self.read_directory(relative)
        try:
            return os.listdir(fd)
        except OSError as exc:
            raise file_error(LISTING, self.shown(relative), exc) from None
        finally:
            os.close(fd)

    def path_class(self):
        """The class of the paths handed to the extension module for this tree."""
        if getattr(self, "_path_class", None) is None:
            self._path_class = type("TreePath", (TreePath,), {"_zae_tree": self})
        return self._path_class

    def module_path(self, relative):
        """The path ``relative`` below the root, for the extension module."""
        return self.path_class()(self.proc, *split(relative))


class TreePath(type(Path())):
    """A path below an opened tree (``/proc/self/fd/N/...``) whose reads go
    through the tree's descriptor as every read of the command does: the
    extension module opens, lists and tests its files through these."""

    _zae_tree = None

    def _zae_relative(self):
        proc = Path(self._zae_tree.proc)
        try:
            return str(self.relative_to(proc))
        except ValueError:
            raise CommandError(_("{path}: not below the tree").format(path=self)) from None

    def open(self, mode="r", buffering=-1, encoding=None, errors=None, newline=None):
        if mode not in ("r", "rt", "rb"):
            shown = self._zae_tree.shown(self._zae_relative())
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(shown))
        data = self._zae_tree.read(self._zae_relative())
        if "b" in mode:
            return io.BytesIO(data)
        if encoding is None:
            import locale

            encoding = locale.getpreferredencoding(False)
        return io.TextIOWrapper(io.BytesIO(data), encoding=encoding, errors=errors, newline=newline)

    def read_bytes(self):
        return self._zae_tree.read(self._zae_relative())

    def read_text(self, encoding=None, errors=None):
        with self.open(encoding=encoding, errors=errors) as handle:
            return handle.read()

    def exists(self, *args, **kwargs):
        return self._zae_tree.lstat(self._zae_relative()) is not None

    def is_file(self, *args, **kwargs):
        st = self._zae_tree.lstat(self._zae_relative())
        return st is not None and stat.S_ISREG(st.st_mode)

    def is_dir(self, *args, **kwargs):
        st = self._zae_tree.lstat(self._zae_relative())
        return st is not None and stat.S_ISDIR(st.st_mode)

    def iterdir(self):
        for name in self._zae_tree.listdir(self._zae_relative()):
            yield self / name

    def shown(self):
        return self._zae_tree.shown(self._zae_relative())


# Roots opened so far: by the name given on the command line, and by path
# (None: the system), so that each is opened once in a process.
_named = {}
_opened = {}


def open_named(text):
    """The tree that ``--root TEXT`` names, opened (once) and checked to
    hold the event catalogue; argparse.ArgumentTypeError otherwise."""
    if text in _named:
        return _named[text]
    import argparse

    from .names import CATALOGUE_FILE

    if not text:
        raise argparse.ArgumentTypeError(_("an empty name is not a directory"))
    # Symlinks above the tree are the administrator's; the tree itself is opened without following one.
    path = Path(os.path.realpath(text))
    try:
        root = open_root(path)
    except OSError as exc:
        if exc.errno in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP):
            raise argparse.ArgumentTypeError(_("{text!r} is not a directory").format(text=text)) from None
        raise argparse.ArgumentTypeError(file_error(OPENING_ROOT, path, exc)) from None
    st = root.lstat(CATALOGUE_FILE)
    if st is None or not stat.S_ISREG(st.st_mode):
        raise argparse.ArgumentTypeError(
            _("{root} holds no event catalogue: {file} is missing").format(root=path, file=path / CATALOGUE_FILE)
        )
    _named[text] = root
    return root


def open_root(path=None):
    """The tree at ``path`` (None: the system's root), opened once."""
    key = None if path is None else str(path)
    root = _opened.get(key)
    if root is None:
        if path is None:
            root = Root("/", os.open("/", _DIRECTORY), trusted=True)
        else:
            root = Root(path, _open_resolved(path), trusted=False)
        _opened[key] = root
    return root


def shown_text(text):
    """``text`` with the name of each opened tree's descriptor replaced by its path."""
    for root in _opened.values():
        if root.proc in text:
            text = root.shown_text(text)
    return text


# The steps the event service names in its file-system errors (the stand-in
# sets ``step`` on them), in the administrator's language.
SERVICE_STEPS = {
    "writing": N_("writing"),
    "reading": N_("reading"),
    "locking": N_("locking"),
    "opening the directory": N_("opening the directory"),
    "creating the directory": N_("creating the directory"),
}


def service_step(exc):
    """The step an error of the event service names, translated, or None."""
    step = getattr(exc, "step", None)
    return _(SERVICE_STEPS[step]) if step in SERVICE_STEPS else None


def _open_resolved(path):
    """Open the directory ``path`` (absolute, without symlinks: resolved)
    from ``/``, one component at a time, never following a symlink: a
    component swapped for one meanwhile is refused (ELOOP)."""
    fd = os.open("/", _DIRECTORY)
    try:
        for name in Path(path).parts[1:]:
            child = os.open(name, _DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
            os.close(fd)
            fd = child
    except BaseException:
        os.close(fd)
        raise
    return fd
