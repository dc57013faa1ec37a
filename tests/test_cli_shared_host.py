"""On a host shared with unprivileged users: none of them can stop, delay or
redirect a run through the lock or the state directory, and a run that
cannot change anything leaves no state."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from cli_helpers import Runner, command_path, files, require_command, require_mount_namespace
from test_faults import OVERLAID

STATE = Path("var/lib/zorna-admin-events")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def as_root():
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv (util-linux)")


@pytest.fixture
def shared():
    """A run on a tree that an unprivileged user can reach (tmp_path cannot be)."""
    require_command()
    as_root()
    top = Path(tempfile.mkdtemp(prefix="zae-shared-"))
    top.chmod(0o755)
    try:
        yield Runner(top)
    finally:
        shutil.rmtree(top)


def nobody_holds(lock):
    """An unprivileged process holding flock on ``lock`` (made by it), until its stdin closes."""
    holder = subprocess.Popen(NOBODY + ["flock", "-x", str(lock), "-c", "echo held; cat"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    return holder


@pytest.mark.parametrize("attack, culprit, reason", [
    # A state directory that a user could create (world-writable var/lib, as run/lock is).
    ("var/lib 1777", "var/lib", "writable by others than its owner (mode 1777)"),
    ("state 0775", str(STATE), "writable by others than its owner (mode 0775)"),
    # ... and did, holding the lock in it.
    ("planted by nobody", str(STATE), "owned by nobody, not by root"),
    ("symlinked by nobody", str(STATE), "a symlink or not a directory"),
    ("lock symlink", str(STATE / "run.lock"), "a symlink"),
    ("manifest symlink", str(STATE / "rollback/manifest"), "not a regular file"),
])
def test_a_state_directory_others_could_write_is_refused(shared, attack, culprit, reason):
    root, holder = shared.root, None
    lib = root / "var/lib"
    lib.mkdir(parents=True, exist_ok=True)
    if attack == "var/lib 1777":
        lib.chmod(0o1777)
    elif attack.endswith("by nobody"):
        lib.chmod(0o1777)
        if attack == "planted by nobody":
            subprocess.run(NOBODY + ["mkdir", str(root / STATE)], check=True)
            holder = nobody_holds(root / STATE / "run.lock")
        else:  # to a directory of root's, which the run would then write in
            subprocess.run(NOBODY + ["ln", "-s", str(root / "etc"), str(root / STATE)], check=True)
        lib.chmod(0o755)
    else:
        (root / STATE / "rollback").mkdir(parents=True)
        if attack == "state 0775":
            (root / STATE).chmod(0o775)
        else:
            os.symlink("/etc/passwd", root / culprit)
    before = files(root)
    try:
        proc = shared("enable", "-g", "authentication", "--no-restart")
    finally:
        if holder is not None:
            holder.communicate("")
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == (f"zorna-admin-events: error: {root / culprit}: {reason}; refusing to use it\n"
                           "zorna-admin-events: nothing was changed\n")
    assert files(root) == before


def test_a_lock_held_where_it_used_to_live_delays_no_run(shared):
    old = shared.root / "run/lock"
    old.mkdir(parents=True)
    old.chmod(0o1777)
    holder = nobody_holds(old / "zorna-admin-events.lock")
    try:
        proc = shared("disable", "-e", "logout", "--no-restart")
    finally:
        holder.communicate("")
    assert (proc.returncode, proc.stderr) == (0, "")
    st = (shared.root / STATE).stat()
    assert (st.st_uid, oct(st.st_mode & 0o7777)) == (0, "0o755")


@pytest.mark.parametrize("args", [("enable", "-e", "logout"), ("status",)])
def test_no_catalogue_leaves_no_state(tmp_path, args):
    """Without --root, on a system without the catalogue (the system's own
    directories overlaid in a private mount namespace)."""
    require_command()
    require_mount_namespace()
    if Path("/usr/share/syslog-ng-mod-zorna/catalogue.json").exists():
        pytest.skip("this system has a catalogue")
    upper = tmp_path / "upper"
    env = dict(os.environ, ZAE_UPPER=str(upper), ZAE_WORK=str(tmp_path / "work"), LC_ALL="C.UTF-8")
    env.pop("ZORNA_EVENTS_ROOT", None)
    proc = subprocess.run(["unshare", "-m", "sh", "-c", OVERLAID, "sh", command_path(), *args],
                          capture_output=True, text=True, env=env, timeout=120)
    if proc.returncode == 97:
        pytest.skip("no overlay mount here: " + proc.stderr)
    assert proc.returncode == 1
    closing = "zorna-admin-events: nothing was changed\n" if args[0] == "enable" else ""
    assert proc.stderr == ("zorna-admin-events: error: /usr/share/syslog-ng-mod-zorna/catalogue.json: "
                           "No such file or directory\n" + closing)
    assert [p for p in upper.rglob("*") if not p.is_dir()] == []
    assert not (upper / "var/lib/zorna-admin-events").exists()


def test_purging_the_package_removes_the_state_directory_and_removing_keeps_it():
    require_mount_namespace()
    script = Path(__file__).resolve().parents[1] / "debian/zorna-admin-events.postrm"
    steps = f"""
mount -t tmpfs -o mode=0755 zae /var/lib || exit 97
mkdir /var/lib/zorna-admin-events && touch /var/lib/zorna-admin-events/run.lock /var/lib/other
sh {script} remove && ls /var/lib && sh {script} purge && ls /var/lib
"""
    proc = subprocess.run(["unshare", "-m", "sh", "-c", steps], capture_output=True, text=True, timeout=60)
    if proc.returncode == 97:
        pytest.skip("no tmpfs mount here: " + proc.stderr)
    assert (proc.returncode, proc.stdout) == (0, "other\nzorna-admin-events\nother\n"), proc.stderr
