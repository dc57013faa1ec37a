"""Real faults in real runs of the command: a signal or a full disk between
the two stores of a path event, SIGKILL and then the next run, a closed pipe,
a systemctl that fails.  Each run ends in the old state or the new one, with
the exit status that says which."""

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from cli_helpers import EXAMPLES, Runner, command_path, files, require_command, require_mount_namespace
from test_record import record_warnings_dropped

CURRENT = "etc/zorna-syslog.conf"
CHANGE = ("set-properties", "watch", "paths", '["/etc/passwd", "/etc/my file"]', "-e", "file-opened")

# The command, held after the event service's first store (the watched paths,
# not yet their rules) until the test has injected its fault.
HELD = textwrap.dedent("""
    import os, sys, zorna_events
    store = zorna_events.modify_state
    def held(*args):
        store(*args)
        zorna_events.modify_state = store
        with open(os.environ["ZAE_STORED"], "w") as fifo:
            fifo.write("stored")
        with open(os.environ["ZAE_GO"]) as fifo:
            fifo.read()
    zorna_events.modify_state = held
    from zorna_admin_events.cli import main
    sys.exit(main())
""")


def paths_and_rule_keys(root):
    event = json.loads((root / CURRENT).read_text())["file-opened"]
    return event["watch"]["paths"], [rule.rsplit(" -k ", 1)[1].replace("\\ ", " ") for rule in event["message-audit-rules"]]


@pytest.fixture
def tmpfs(tmp_path):
    """A 1 MiB file system, mounted for the test (root only)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "zae", str(disk)]).returncode:
        pytest.skip("mounting a tmpfs needs root")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=True)


def fill(disk):
    fd = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, b"\0" * 4096):
            pass
    except OSError:
        pass
    finally:
        os.close(fd)


@pytest.mark.parametrize("fault, status", [
    (signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGKILL, -9), ("full disk", 1),
], ids=["SIGINT", "SIGTERM", "SIGHUP", "SIGKILL", "full-disk"])
def test_fault_between_the_paths_and_their_rules_leaves_the_old_state(tmp_path, request, fault, status):
    require_command()
    run = Runner(tmp_path)
    if fault == "full disk":
        disk = request.getfixturevalue("tmpfs")
        run.root = disk / "root"
        subprocess.run(["cp", "-a", str(EXAMPLES), str(run.root)], check=True)
    before = files(run.root)
    for fifo in ("stored", "go"):
        os.mkfifo(tmp_path / fifo)
    env = dict(run.env, ZAE_STORED=str(tmp_path / "stored"), ZAE_GO=str(tmp_path / "go"))
    proc = subprocess.Popen([sys.executable, "-c", HELD, "--root", str(run.root), *CHANGE], env=env, cwd="/",
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert (tmp_path / "stored").read_text() == "stored"
    torn = paths_and_rule_keys(run.root)
    assert torn[0] == ["/etc/passwd", "/etc/my file"] != torn[1]  # the gap is real
    if fault == "full disk":
        fill(disk)
        (tmp_path / "go").write_text("go")
    else:
        os.kill(proc.pid, fault)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == status, err

    if fault == signal.SIGKILL:
        assert paths_and_rule_keys(run.root) == torn
        later = run("status", "-e", "file-opened")
        assert later.returncode == 0
        assert later.stderr == ("zorna-admin-events: an earlier run was interrupted: its changes were undone "
                                f"from {run.root}/var/lib/zorna-admin-events/rollback\n")
    elif fault == "full disk":
        (disk / "filler").unlink()
        assert "No space left on device" in err and err.endswith("the changes of this run were undone\n")
    else:
        assert err == (f"zorna-admin-events: interrupted by {fault.name}\n"
                       "zorna-admin-events: the changes of this run were undone\n")
    assert files(run.root) == before
    assert run(*CHANGE, "--no-restart").returncode == 0  # and the next run works
    assert paths_and_rule_keys(run.root) == (["/etc/passwd", "/etc/my file"],) * 2


def test_a_full_disk_before_the_change_changes_nothing(tmp_path, tmpfs):
    require_command()
    run = Runner(tmp_path)
    run.root = tmpfs / "root"
    subprocess.run(["cp", "-a", str(EXAMPLES), str(run.root)], check=True)
    before = files(run.root)
    fill(tmpfs)
    proc = run(*CHANGE)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert "No space left on device" in proc.stderr
    (tmpfs / "filler").unlink()
    assert files(run.root) == before


# Runs the command without --root, on the sample tree laid over the system's
# own directories in a private mount namespace: the only place where a run
# reaches the restart.  The system itself is never written.
OVERLAID = """
for dir in etc usr/share var/lib run dev; do
    mkdir -p "$ZAE_UPPER/$dir" "$ZAE_WORK/$dir"
    mount -t overlay zae -o "lowerdir=/$dir,upperdir=$ZAE_UPPER/$dir,workdir=$ZAE_WORK/$dir" "/$dir" || exit 97
done
rm -f /dev/log  # the change's record goes nowhere (test_record.py reads it back)
exec "$@"
"""


@pytest.mark.parametrize("systemctl, args, stdout, status, changed, restarts, stderr", [
    # A failed restart: the change stays, each unit is named, status 3.
    ("exit 1", ("enable", "-e", "logout"), "pipe", 3, True, 2,
     "zorna-admin-events: error: syslog-ng.service was not restarted: "
     "'systemctl restart syslog-ng.service' exited with status 1\n"
     "zorna-admin-events: error: auditd was not restarted: 'systemctl restart auditd' exited with status 1\n"),
    # Its reader gone: the change and its restart all the same, then quietly 141.
    ("exit 0", ("disable", "-e", "file-opened"), "closed", 141, True, 2, ""),
    # The value the configuration holds already: nothing changed, no restart.
    ("exit 0", ("set-priority", "err", "-e", "login-failed"), "pipe", 0, False, 0, ""),
], ids=["failing-systemctl", "closed-pipe", "unchanged"])
def test_restart_on_the_system(tmp_path, systemctl, args, stdout, status, changed, restarts, stderr):
    require_command()
    require_mount_namespace()
    run = Runner(tmp_path)
    upper = tmp_path / "upper"
    for part in ("etc", "usr/share"):
        (upper / part).mkdir(parents=True)
        subprocess.run(["cp", "-a", f"{EXAMPLES}/{part}/.", str(upper / part)], check=True)
    before = (upper / CURRENT).read_bytes()
    (run.bin / "systemctl").write_text(f'#!/bin/sh\necho "$*" >> {run.systemctl_log}\n{systemctl}\n')
    env = dict(run.env, ZAE_UPPER=str(upper), ZAE_WORK=str(tmp_path / "work"))
    del env["ZORNA_EVENTS_ROOT"]
    read, write = os.pipe()
    if stdout == "closed":
        os.close(read)
    argv = ["unshare", "-m", "sh", "-c", OVERLAID, "sh", command_path(), *args]
    proc = subprocess.run(argv, stdout=write, stderr=subprocess.PIPE, text=True, env=env, timeout=120)
    os.close(write)
    if proc.returncode == 97:
        pytest.skip("no overlay mount here: " + proc.stderr)
    if stdout != "closed":
        os.close(read)
    assert (proc.returncode, record_warnings_dropped(proc.stderr)) == (status, stderr)
    assert ((upper / CURRENT).read_bytes() != before) == changed
    log = run.systemctl_log.read_text().splitlines() if run.systemctl_log.exists() else []
    assert log == ["restart syslog-ng.service", "restart auditd"][:restarts]
