"""A tree under --root is someone else's: crafted rollback copies, a root
swapped for a symlink while a run waits, FIFOs, devices and /dev/zero in the
tree.  Nothing outside the tree is read, created, changed, moved or removed."""

import contextlib
import ctypes
import fcntl
import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from cli_helpers import CURRENT, command_path, copy_tree, files, require_mount_namespace
from zorna_admin_events import names, tree, transaction

ROLLBACK = Path(names.ROLLBACK_DIR)
CONF = "etc/zorna-syslog.conf"


class Inotify:
    """Every inotify event on directories (and the files in them) or files, as (name, mask)."""

    def __init__(self, *paths):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or any(self.libc.inotify_add_watch(self.fd, os.fsencode(path), 0xFFF) < 0 for path in paths):
            raise OSError(ctypes.get_errno(), "inotify")

    def events(self):
        found = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return found
            while data:
                _wd, mask, _cookie, length = struct.unpack_from("iIII", data)
                found.append((data[16:16 + length].rstrip(b"\0").decode(), mask))
                data = data[16 + length:]

    def close(self):
        os.close(self.fd)


def state_of(directory):
    """Every entry under a directory: its type, mode, owner, inode and content."""
    state = {}
    for path in sorted(Path(directory).rglob("*")):
        info = path.lstat()
        content = path.read_bytes() if stat.S_ISREG(info.st_mode) else (
            os.readlink(path) if stat.S_ISLNK(info.st_mode) else None)
        state[str(path)] = (stat.S_IFMT(info.st_mode), info.st_mode, info.st_uid, info.st_ino, content)
    return state


@contextlib.contextmanager
def watched(outside, *untouched):
    """Fails unless nothing under ``outside`` (nor any of ``untouched``) was
    touched in the block, not even read."""
    before = state_of(outside)
    watch = Inotify(outside, *untouched)
    try:
        yield
        assert watch.events() == []
    finally:
        watch.close()
    assert state_of(outside) == before


# --------------------------------------------------------------------------
# Rollback copies crafted by the tree's owner

VALID = {"files": [{"path": CONF, "copy": "0"}]}
PATHS = [CONF, "etc/../etc/zorna-syslog.conf", "../outside/victim", "{outside}/victim", "etc/away/victim", "",
         "etc", 0, None]
COPIES = [None, "0", "1", "../../../../outside/victim", "{outside}/victim", "away", "manifest", "0/.", "", 0]
ENTRY = st.fixed_dictionaries({"path": st.sampled_from(PATHS), "copy": st.sampled_from(COPIES)})
MANIFESTS = st.one_of(
    st.just(VALID),
    st.just({"files": [{"path": CONF, "copy": None}]}),
    st.builds(lambda entries: {"files": entries}, st.lists(ENTRY, max_size=3)),
    st.builds(lambda entry, key: {"files": [dict(entry, **{key: "x"})]}, ENTRY, st.sampled_from(["more", "path"])),
    st.sampled_from([[], "files", None, {"files": {}}, {"files": [CONF]}, {"files": [], "x": 1}]),
)
# What stands where the tree's files are: "away" is a symlink to the victim outside.
KINDS = st.sampled_from(["file", "missing", "away", "fifo", "directory"])


def make(path, kind, outside, content=b"{}"):
    path.parent.mkdir(parents=True, exist_ok=True)
    if kind == "file":
        path.write_bytes(content)
    elif kind == "away":
        path.symlink_to(outside / "victim")
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(manifest=MANIFESTS, conf=KINDS, copy=KINDS, etc_away=st.booleans(), rollback_away=st.booleans())
def test_a_crafted_rollback_copy_touches_nothing_outside(manifest, conf, copy, etc_away, rollback_away):
    with tempfile.TemporaryDirectory() as top:
        outside, root = Path(top) / "outside", Path(top) / "root"
        outside.mkdir()
        (outside / "victim").write_bytes(b'{"victim": {}}')
        (outside / "zorna-syslog.conf").write_bytes(b"{}")
        text = json.dumps(manifest).replace("{outside}", str(outside))
        where = root / ROLLBACK
        if rollback_away:
            where.parent.mkdir(parents=True)
            where.symlink_to(outside)
        else:
            make(where / "manifest", "file", outside, text.encode())
            make(where / "0", copy, outside, b'{"saved": {}}')
            (where / "away").symlink_to(outside / "victim")
        if etc_away:
            (root / "etc").symlink_to(outside)
        else:
            make(root / CONF, conf, outside)
            (root / "etc/away").symlink_to(outside)
        before = state_of(root / ROLLBACK.parent)
        opened = tree.Root(root, os.open(root, os.O_RDONLY | os.O_DIRECTORY), trusted=False)
        try:
            with watched(outside):
                try:
                    transaction.recover(opened, open(os.devnull, "w"))
                except (transaction.CommandError, tree.BrokenFile) as exc:
                    refused = str(exc)
                else:
                    refused = None
        finally:
            os.close(opened.fd)
        valid = manifest in (VALID, {"files": [{"path": CONF, "copy": None}]})
        if not valid and not rollback_away:
            # Refused in one line naming the manifest; the copy left as it was.
            assert refused == (f"{where}/manifest: not a rollback copy this command wrote; "
                               "left in place, nothing was undone")
            assert state_of(root / ROLLBACK.parent) == before
        if refused is None and valid and not rollback_away:
            assert not (where / "manifest").exists()
            if manifest == VALID and copy == "file":
                assert (root / CONF).read_bytes() == b'{"saved": {}}'


def test_a_crafted_rollback_copy_stops_the_command_in_one_line(run):
    where = run.root / ROLLBACK
    where.mkdir(parents=True)
    (where / "manifest").write_text(json.dumps({"files": [{"path": "../../etc/passwd", "copy": "0"}]}))
    (where / "0").write_text("{}")
    before = files(run.root)
    proc = run("status")
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == (f"zorna-admin-events: error: {where}/manifest: not a rollback copy this command wrote; "
                           "left in place, nothing was undone\n")
    assert files(run.root) == before


# --------------------------------------------------------------------------
# The root swapped while a run waits for the lock


def test_a_root_swapped_for_a_symlink_while_the_run_waits_changes_only_the_tree_it_opened(run, tmp_path):
    other = copy_tree(tmp_path / "other")  # a root-owned tree the swap points at
    before_other = state_of(other)
    lock = run.root / names.LOCK_FILE
    lock.parent.mkdir(parents=True, exist_ok=True)
    argv = [command_path(), "--root", str(run.root), "disable", "-g", "authentication", "--no-restart"]
    with open(lock, "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        waiting = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=run.env)
        assert "waiting for another run to finish" in waiting.stderr.readline()
        moved = run.root.with_name("moved")
        run.root.rename(moved)
        run.root.symlink_to(other, target_is_directory=True)
    out, err = waiting.communicate(timeout=120)
    assert waiting.returncode == 0, err
    assert state_of(other) == before_other
    assert not (other / names.STATE_DIR).exists()
    settings_now = json.loads((moved / CURRENT).read_text())
    assert settings_now["login-failed"]["enabled"] == "0"


# --------------------------------------------------------------------------
# FIFOs, devices and /dev/zero in a tree

MO = f"{names.LOCALE_DIR}/ru/LC_MESSAGES/{names.TEXT_DOMAIN}.mo"
TRANSLATIONS = "etc/vek-admin-events/eventsdictionary.json"
DEFAULT = "usr/share/syslog-ng-mod-zorna/event-settings/file-access/file-opened"


def spoil(path, kind, device):
    if path.exists() or path.is_symlink():
        path.unlink()
    path.parent.mkdir(parents=True, exist_ok=True)
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "zero":
        path.symlink_to("/dev/zero")
    elif kind == "device-link":
        path.symlink_to(device)
    elif kind == "device":
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 11))
    elif kind == "huge":
        with open(path, "wb") as sparse:
            sparse.truncate(tree.MAX_SIZE + 1)


@pytest.mark.parametrize("kind", ["fifo", "zero", "device-link", "device", "huge"])
@pytest.mark.parametrize("file, args", [
    (MO, ("status", "-e", "logout")),
    (CURRENT, ("status",)),
    (TRANSLATIONS, ("events", "logout")),
    (DEFAULT, ("status",)),
    (CURRENT, ("enable", "-e", "logout")),
    ("imported.json", ("import", "{file}")),  # a file named on the command line
], ids=["catalogue", "current-status", "translations", "defaults", "current-change", "import"])
def test_fifos_devices_and_endless_files_are_never_opened(run, tmp_path, file, args, kind):
    if kind.startswith("device") and os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    outside = tmp_path / "dev"
    outside.mkdir()
    device = outside / "kmsg"  # /dev/kmsg's numbers, in a folder the test watches
    os.mknod(device, 0o600 | stat.S_IFCHR, os.makedev(1, 11)) if os.geteuid() == 0 else device.touch()
    spoil(run.root / file, kind, device)
    if file == MO:
        run.env["LANGUAGE"] = "ru"
    args = [arg.format(file=run.root / file) for arg in args]
    with watched(outside, *[run.root / file] if kind == "device" else []):
        proc = run(*args)  # a hang would end in TimeoutExpired, /dev/zero in MemoryError
    if file == MO:  # a catalogue that cannot be read: the texts in English
        assert (proc.returncode, proc.stderr) == (0, "")
        assert "logout" in proc.stdout
    else:
        reason = "larger than 64 MiB" if kind == "huge" else "not a regular file"
        closing = "zorna-admin-events: nothing was changed\n" if args[0] in ("enable", "import") else ""
        line = f"zorna-admin-events: error: {run.root / file}: {reason}\n"
        assert (proc.returncode, proc.stderr) == (1, line + closing)


def test_help_reads_no_catalogue_of_a_tree_that_is_refused(run, tmp_path):
    shutil.rmtree(run.root / "usr/share/syslog-ng-mod-zorna")
    spoil(run.root / MO, "fifo", None)
    run.env["LANGUAGE"] = "ru"
    proc = run("--help")  # the FIFO would hang a read
    assert proc.returncode == 2 and "catalogue.json" in proc.stderr


# --------------------------------------------------------------------------
# Owners and modes kept, whatever the umask


# An interrupted run's copy, put back over a file the service wrote anew.
PUT_BACK = """
import sys
from pathlib import Path
from zorna_admin_events import transaction
root = Path(sys.argv[1])
conf = root / "etc/zorna-syslog.conf"
transaction.RollbackCopy(root).save()
conf.unlink()
conf.write_text("{}")
conf.chmod(0o600)
transaction.recover(root, sys.stderr)
"""
# etc on a mount of its own: the copy cannot be renamed back, it is written anew.
ANOTHER_MOUNT = 'mount --bind "$1/etc" "$1/etc" && exec "$0" -c "$2" "$1"'


@pytest.mark.parametrize("mount", [False, True], ids=["renamed-back", "written-back"])
def test_a_file_rewritten_or_put_back_keeps_its_mode_owner_and_group(run, mount):
    import grp
    import sys

    try:
        adm = grp.getgrnam("adm").gr_gid
    except KeyError:
        pytest.skip("no group adm here")
    require_mount_namespace()  # giving a file to another group and mounting need root
    conf = run.root / CURRENT
    os.chown(conf, 0, adm)
    conf.chmod(0o640)
    put_back = [sys.executable, "-c", PUT_BACK, str(run.root)]
    if mount:
        put_back = ["unshare", "-m", "sh", "-c", ANOTHER_MOUNT, sys.executable, str(run.root), PUT_BACK]
    old = os.umask(0)
    try:
        proc = run("disable", "-g", "authentication", "--no-restart")
        assert proc.returncode == 0, proc.stderr
        assert (stat.S_IMODE(conf.stat().st_mode), conf.stat().st_gid) == (0o640, adm)
        subprocess.run(put_back, check=True, env=run.env, cwd="/", timeout=60)
    finally:
        os.umask(old)
    assert (stat.S_IMODE(conf.stat().st_mode), conf.stat().st_gid) == (0o640, adm)
    assert json.loads(conf.read_text())["login-failed"]["enabled"] == "0"
    assert not list((run.root / "etc").glob(".*"))


# --------------------------------------------------------------------------
# File-system errors name the path and the step

READ_ONLY = 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"'
SMALL = 'mount -t tmpfs -o size=64k zae "$1" && cp -a "$2/." "$1" && ' \
        'dd if=/dev/zero of="$1/filler" bs=4k 2>/dev/null; ' \
        'shift 2 && exec "$@"'


@pytest.mark.parametrize("setup, expected", [
    ("var", "creating the directory `{root}/var/lib`: Read-only file system"),
    ("var/lib/zorna-admin-events/rollback", "writing the rollback copy `{root}/var/lib/zorna-admin-events/rollback/0`: "
                                            "Read-only file system"),
    ("etc", "locking `{root}/etc/zorna-syslog.conf.lock`: Read-only file system"),
    ("full", "writing the rollback copy `{root}/var/lib/zorna-admin-events/rollback/0`: No space left on device"),
])
def test_a_file_system_error_names_the_path_and_the_step(run, tmp_path, setup, expected):
    require_mount_namespace()
    (run.root / "var").mkdir()
    if setup.startswith("var/"):
        (run.root / setup).mkdir(parents=True)
    command = [command_path(), "--root", str(run.root), "disable", "-g", "authentication", "--no-restart"]
    if setup == "full":
        saved = shutil.copytree(run.root / "var", tmp_path / "var-saved")
        argv = ["unshare", "-m", "sh", "-c", SMALL, "sh", str(run.root / "var"), str(saved)] + command
    else:
        argv = ["unshare", "-m", "sh", "-c", READ_ONLY, "sh", str(run.root / setup)] + command
    before = (run.root / CURRENT).read_bytes()
    proc = subprocess.run(argv, capture_output=True, text=True, env=run.env, timeout=120)
    assert (proc.returncode, proc.stderr) == (1, "zorna-admin-events: error: " + expected.format(root=run.root) + "\n"
                                              "zorna-admin-events: nothing was changed\n")
    assert (run.root / CURRENT).read_bytes() == before


def test_the_module_reads_its_own_files_through_the_tree(run, monkeypatch, pager):
    """What the module opens after the command's checks is read as they read:
    a file swapped for /dev/zero afterwards is refused, not read."""
    from zorna_admin_events import cli

    monkeypatch.setenv(names.ROOT_ENV, "")
    cls = cli.load_class(None)
    for attribute in names.ROOTED_PATHS:
        monkeypatch.setattr(cls, attribute, getattr(cls, attribute))
    cls = cli.load_class(run.root)
    obj = cls(["logout", "file-opened"], None)
    for swapped, error, words in [(CURRENT, tree.BrokenFile, f"^{run.root / CURRENT}: not a regular file$"),
                                  (DEFAULT, FileNotFoundError, "'file-opened' belongs to no group")]:
        (run.root / swapped).rename(run.root / (str(swapped) + ".old"))
        (run.root / swapped).symlink_to("/dev/zero")
        with pytest.raises(error, match=words):
            obj.show_events()
        (run.root / swapped).unlink()
        (run.root / (str(swapped) + ".old")).rename(run.root / swapped)
    obj.show_events()
    assert "logout" in pager[-1][1]["text"]


def test_a_name_leading_out_of_the_tree_is_refused(tmp_path):
    """An ID of ".." from a service would otherwise lead the module's paths out of the tree."""
    (tmp_path / "tree").mkdir()
    opened = tree.open_root(tmp_path / "tree")
    out = opened.module_path("etc") / ".." / ".." / "secret"
    (tmp_path / "secret").write_text("{}")
    for call in (out.open, out.exists, out.iterdir().__next__):
        with pytest.raises(tree.CommandError, match="not below the tree"):
            call()
