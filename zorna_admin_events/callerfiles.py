"""Files named on the command line, opened with the rights of whoever ran it.

Run through sudo (SUDO_UID and SUDO_GID set, and we are root; PKEXEC_UID
for pkexec, DOAS_USER for doas), the command opens FILE of `import FILE` and `export FILE` as sudoedit does: in a child
process that has dropped to that user and their groups, which hands the
open descriptor back over a socket pair (SCM_RIGHTS).  Delegating the
changing subcommands through sudo so delegates the configuration of
auditing, never root's access to files.  Without sudo, root's rights apply.

`read` reads a file once (at most `limit` bytes, a regular file only).
`write_anew` writes a file anew: a new file beside the target, renamed over
it once written and synced, so that no byte is written into a file that the
command did not create, nor the bits of one reused; it is owned by the user
who ran the command.  Anything at the name but a regular file (a symbolic
link, in a sticky directory or elsewhere, a FIFO, a device) is refused.
"""

import array
import contextlib
import errno
import os
import socket
import stat

from .texts import _

# One byte of the child's answer, then its details: an errno in ASCII.
_OPENED, _FAILED, _NOT_REGULAR, _DONE = b"F", b"E", b"S", b"K"
_COMMIT, _ABORT = b"C", b"A"


class NotRegular(Exception):
    """Something at the name export writes that is not a regular file."""


def caller_ids():
    """(uid, gid, groups) of the user behind sudo (SUDO_UID, SUDO_GID), or
    pkexec (PKEXEC_UID) or doas (DOAS_USER), or None: run by none of them,
    or not as root, or for root itself."""
    import pwd

    env = os.environ
    uid, gid = env.get("SUDO_UID") or env.get("PKEXEC_UID") or "", env.get("SUDO_GID", "")
    if not uid and env.get("DOAS_USER"):
        try:
            uid = str(pwd.getpwnam(env["DOAS_USER"]).pw_uid)
        except KeyError:
            uid = ""
    if os.geteuid() != 0 or not uid.isdigit() or int(uid) == 0:
        return None
    uid = int(uid)
    try:
        entry = pwd.getpwuid(uid)
    except KeyError:
        entry = None
    gid = int(gid) if gid.isdigit() else entry.pw_gid if entry else uid
    groups = os.getgrouplist(entry.pw_name, gid) if entry else [gid]
    return uid, gid, groups


def read(name, limit):
    """The bytes of the regular file ``name``, read once with the caller's
    rights (see checks.read_opened)."""
    from .checks import read_opened

    def prepare():
        # Opened as a path first: only a regular file is opened for reading
        # (the same inode, again), so no device is opened and no FIFO waited
        # for; read_opened refuses anything else by its type.
        path_fd = os.open(name, os.O_PATH | os.O_CLOEXEC)
        if not stat.S_ISREG(os.fstat(path_fd).st_mode):
            return path_fd, None
        try:
            return os.open(f"/proc/self/fd/{path_fd}", os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC), None
        finally:
            os.close(path_fd)

    with _opened(name, prepare) as fd:
        return read_opened(os.dup(fd), name, limit)[0]


def write_anew(name, data, mode):
    """Write ``data`` as the file ``name``, created anew with ``mode``."""

    def prepare():
        return _create_beside(name, mode)

    with _opened(name, prepare) as fd:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.fsync(fd)


def _create_beside(name, mode):
    """An open descriptor of a new file beside ``name``, and what renames
    it over ``name`` once written: (directory descriptor, temporary name,
    name).  Anything at ``name`` but a regular file (a symbolic link, a
    FIFO, a device, a directory) is refused and left as it is."""
    directory, base = os.path.split(os.path.abspath(name))
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            existing = os.stat(base, dir_fd=dir_fd, follow_symlinks=False)
        except FileNotFoundError:
            existing = None
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            raise NotRegular()
        while True:
            temporary = ".{}.{}".format(base, os.urandom(6).hex())
            try:
                fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                             dir_fd=dir_fd)
                break
            except FileExistsError:
                continue
    except BaseException:
        os.close(dir_fd)
        raise
    os.fchmod(fd, mode)
    return fd, (dir_fd, temporary, base)


def _commit(rename, done):
    """Rename the new file into place (``done``) or remove it."""
    if rename is None:
        return
    dir_fd, temporary, base = rename
    try:
        if done:
            os.rename(temporary, base, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
            os.fsync(dir_fd)
            return
    except OSError:
        with contextlib.suppress(OSError):
            os.unlink(temporary, dir_fd=dir_fd)
        raise
    finally:
        if done:
            os.close(dir_fd)
    with contextlib.suppress(OSError):
        os.unlink(temporary, dir_fd=dir_fd)
    os.close(dir_fd)


@contextlib.contextmanager
def _opened(name, prepare):
    """The descriptor ``prepare`` opens (with the caller's rights), for the
    block; the file is put in place (renamed) when the block ends without
    an error, and removed when it fails."""
    ids = caller_ids()
    if ids is None:
        with _named(name):
            fd, rename = prepare()
        try:
            yield fd
        except BaseException:
            _commit(rename, False)
            raise
        finally:
            os.close(fd)
        with _named(name):
            _commit(rename, True)
        return
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    pid = os.fork()
    if pid == 0:  # the child: no return from here
        status = 1
        try:
            ours.close()
            _child(theirs, ids, prepare)
            status = 0
        finally:
            os._exit(status)
    theirs.close()
    try:
        fd = _answer(ours, name)
        try:
            yield fd
        except BaseException:
            with contextlib.suppress(OSError):  # a child gone removes what it made
                ours.sendall(_ABORT)
            raise
        finally:
            os.close(fd)
        ours.sendall(_COMMIT)
        _answer(ours, name)
    finally:
        ours.close()
        os.waitpid(pid, 0)


@contextlib.contextmanager
def _named(name):
    """Failures told as the child tells them: naming the file as given."""
    try:
        yield
    except NotRegular:
        raise _not_regular(name) from None
    except OSError as exc:
        number = exc.errno or errno.EIO
        raise OSError(number, os.strerror(number), name) from None


def _child(sock, ids, prepare):
    uid, gid, groups = ids
    os.setgroups(groups)
    os.setresgid(gid, gid, gid)
    os.setresuid(uid, uid, uid)
    try:
        fd, rename = prepare()
    except NotRegular:
        sock.sendall(_NOT_REGULAR)
        return
    except OSError as exc:
        sock.sendall(_FAILED + str(exc.errno or errno.EIO).encode())
        return
    sock.sendmsg([_OPENED], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
    os.close(fd)
    order = sock.recv(1)
    try:
        _commit(rename, order == _COMMIT)
    except OSError as exc:
        sock.sendall(_FAILED + str(exc.errno or errno.EIO).encode())
        return
    sock.sendall(_DONE)


def _answer(sock, name):
    """The descriptor the child sent, or None once done; its failure raised."""
    fds = array.array("i")
    message, ancillary, _flags, _address = sock.recvmsg(64, socket.CMSG_LEN(fds.itemsize))
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds.frombytes(payload[:len(payload) - len(payload) % fds.itemsize])
    if message[:1] == _OPENED and len(fds) == 1:
        return fds[0]
    for fd in fds:
        os.close(fd)
    if message == _DONE:
        return None
    if message == _NOT_REGULAR:
        raise _not_regular(name)
    number = int(message[1:]) if message[:1] == _FAILED and message[1:].isdigit() else errno.EIO
    raise OSError(number, os.strerror(number), name)


def _not_regular(name):
    from .checks import BrokenFile

    return BrokenFile(_("{file}: exists and is not a regular file; refusing to replace it").format(file=name))
