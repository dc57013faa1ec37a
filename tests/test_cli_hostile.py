"""The installed command against hostile input, odd files and a concurrent run,
on copies of the sample tree."""

import fcntl
import json
import os
import re
import subprocess
import time
from pathlib import Path

import pytest

from cli_helpers import CURRENT, command_path, files
from zorna_admin_events.names import FACILITIES, PRIORITIES

RUN_LOCK = "var/lib/zorna-admin-events/run.lock"
REASON = "paths must be absolute, on one line, at most 256 bytes"
MORE = "with no backslash, control character, !=, <=, >= or &="
RULE = ("not one audit rule that only watches (-w, or -a always with -F, -S, -C and -k); "
        "control options such as -e or -D are refused")


@pytest.mark.parametrize("args, status", [
    (("set-properties", "watch", "paths", '["/etc/shadow", "etc/gshadow"]', "-e", "file-opened"), 1),
    (("set-properties", "watch", "paths", '"-D"', "-e", "modifying-file"), 1),
    (("set-properties", "watch", "paths", json.dumps("/" + "x" * 256), "-e", "modifying-directory"), 1),
    (("set-properties", "watch", "paths", '["/etc/a\\u2028-D"]', "-e", "file-opened", "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["-w /etc/x -p wa\\n-D"]', "-e", "login-failed"), 1),
    # what auditctl would read as other words: options smuggled into a path, or control options
    (("set-properties", "watch", "paths", '["/etc/shadow", "/srv/q\\\\ -e0"]', "-e", "modifying-file"), 1),
    (("set-properties", "watch", "paths", '"/srv/q\\\\ -kINJ"', "-e", "file-opened"), 1),
    (("set-properties", "", "message-audit-rules", '["-w /etc/x -p wa -k x", "-e 2"]', "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["-w /etc/x -p wa -k x -D"]', "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["-a always,exit -S all -b 1"]', "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["-w /x -k x\\\\\\\\ -e0"]', "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["-a never,exit -S all"]', "-e", "login-failed"), 1),
    (("set-properties", "", "message-audit-rules", '["--backlog_wait_time 0"]', "-e", "login-failed"), 1),
    (("set-facility", "local3\r\nauth.* /tmp/x", "-e", "login-failed"), 2),
    (("set-priority", "emergency", "-g", "authentication"), 2),
])
def test_hostile_value_is_refused_and_changes_nothing(run, args, status):
    before = files(run.root)
    proc = run(*args)
    assert proc.returncode == status
    if status == 1:
        paths = json.loads(args[3])
        bad = [p for p in ([paths] if isinstance(paths, str) else paths)
               if p not in ("/etc/shadow", "-w /etc/x -p wa -k x")][0]
        reason = f"{json.dumps(bad)}: " + (RULE if args[1] == "" else f"{REASON}, {MORE}")
        assert proc.stderr == (f"zorna-admin-events: Invalid VALUE: {args[3]} ({reason})\n"
                               "zorna-admin-events: nothing was changed\n") and proc.stdout == ""
    else:  # a usage error that lists the names
        names = FACILITIES if args[0] == "set-facility" else PRIORITIES
        # every name, in order: quoted by older argparse (3.11, 3.13.0), bare by newer (3.13.5)
        listed = re.search(r"\(choose from (.*)\)$", proc.stderr, re.M).group(1)
        assert listed in (", ".join(map(repr, names)), ", ".join(names)) and proc.stdout == ""
    assert files(run.root) == before


@pytest.mark.parametrize("option", ["--no-restart", "--dry-run"])
def test_watch_without_its_directory_is_stored_with_a_warning(run, option):
    proc = run("set-properties", "watch", "paths", '["/etc/passwd", "/no such/dir/f"]', "-e", "modifying-file", option)
    assert proc.returncode == 0
    assert proc.stderr == ("zorna-admin-events: warning: /no such/dir does not exist under "
                           f"{run.root}: auditd refuses the watch on /no such/dir/f and loads no rule after it\n")


def watches_and_rules(root):
    event = json.loads((root / CURRENT).read_text())["file-opened"]
    return [rule.rsplit(" -k ", 1)[1].replace("\\ ", " ") for rule in event["message-audit-rules"]], event["watch"]["paths"]


def test_a_second_run_waits_for_the_first(run):
    lock = run.root / RUN_LOCK
    lock.parent.mkdir(parents=True)
    with open(lock, "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        argv = [command_path(), "--root", str(run.root), "set-properties", "watch", "paths", '["/a b"]', "-e", "file-opened"]
        second = subprocess.Popen(argv, stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=run.env)
        assert second.stderr.readline() == f"zorna-admin-events: waiting for another run to finish ({lock})\n"
        before = files(run.root)
    second.wait(120)
    assert before != files(run.root) and second.returncode == 0
    assert watches_and_rules(run.root) == (["/a b"], ["/a b"])


def test_import_from_a_pipe_holds_no_lock_while_its_writer_is_slow(run):
    exported = run("export", "-").stdout
    argv = [command_path(), "--root", str(run.root), "import", "-", "--no-restart"]
    slow = subprocess.Popen(argv, stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=run.env)
    try:
        deadline = time.monotonic() + 60
        while "pipe_read" not in Path(f"/proc/{slow.pid}/wchan").read_text():  # blocked reading stdin
            assert slow.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        other = run("disable", "-e", "logout", "--no-restart", "-q")  # would wait for the lock forever
        assert (other.returncode, other.stderr) == (0, "")
        slow.communicate(exported, timeout=60)
    finally:
        slow.kill()
    assert slow.returncode == 0


@pytest.mark.parametrize("args, setup, words", [
    (("import", "/dev/zero"), None, "/dev/zero: not a regular file"),
    (("import", "{tmp}/fifo"), None, "fifo: not a regular file"),
    (("import", "{tmp}/big"), "big", "big: larger than 64 MiB"),
    (("export", "{tmp}/fifo"), None, "fifo: exists and is not a regular file"),
    (("export", "{tmp}/link"), "link", "link: exists and is not a regular file"),
    (("enable", "-g", "authentication"), "etc", "etc: a symlink or not a directory"),
    (("enable", "-g", "authentication"), "etc/zorna-syslog.conf",
     "/etc/zorna-syslog.conf: not a regular file"),
    (("enable", "-g", "authentication"), "etc/zorna-syslog.conf.lock", "lock: a symlink or not a directory"),
])
def test_odd_files_and_symlinks_are_refused(run, tmp_path, args, setup, words):
    os.mkfifo(tmp_path / "fifo")
    outside = tmp_path / "outside"
    if setup == "big":
        (tmp_path / "big").touch()
        os.truncate(tmp_path / "big", 64 * 1024 * 1024 + 1)
    elif setup == "link":
        outside.write_text("{}")
        os.symlink(outside, tmp_path / "link")
    elif setup:  # a symlink below the root, to what stood there (or nothing), moved outside
        if (run.root / setup).exists():
            (run.root / setup).replace(outside)
        os.symlink(outside, run.root / setup)
    before = files(tmp_path)
    proc = run(*(arg.format(tmp=tmp_path) for arg in args))
    assert proc.returncode == 1 and proc.stderr.startswith("zorna-admin-events: error: ")
    assert words in proc.stderr
    assert files(tmp_path) == before


HOSTILE_ID = "ev\x1b[2J\x9b\x7f"
HOSTILE_NAME = "Name\x1b]0;owned\x07\x9b\x7f\tend"


@pytest.mark.parametrize("args, expected", [
    (("groups", "file-access"), ["ev\\x1b[2J\\x9b\\x7f", "Name\\x1b]0;owned\\x07\\x9b\\x7f\tend"]),
    (("status", "-g", "file-access"), ["ev\\x1b[2J\\x9b\\x7f"]),
    (("enable", "-e", HOSTILE_ID, "--no-restart"), ["ev\\x1b[2J\\x9b\\x7f", "Name\\x1b]0;owned"]),
    (("events", HOSTILE_ID), ["sec\\x1b[31m", "\\x9bvalue"]),
    (("set-priority", "info", "-e", HOSTILE_ID, "--dry-run"), ["ev\\x1b[2J\\x9b\\x7f\tmessage-syslog-priority"]),
    (("enable", "-e", "no-such\x1b[2J"), ["Unknown event ID: no-such\\x1b[2J"]),
])
def test_control_characters_of_a_trees_names_are_shown_escaped(run, args, expected):
    """Whether piped or with NO_COLOR and TERM=dumb, nothing in a name or an ID reaches the terminal raw;
    what is stored keeps them."""
    catalogue = run.root / "usr/share/syslog-ng-mod-zorna/catalogue.json"
    document = json.loads(catalogue.read_text())
    document["events"].append({"id": HOSTILE_ID, "group": "file-access", "name_en": HOSTILE_NAME, "name_ru": "x"})
    catalogue.write_text(json.dumps(document))
    defaults = run.root / "usr/share/syslog-ng-mod-zorna/event-settings/file-access" / HOSTILE_ID
    defaults.write_text(json.dumps({"enabled": "0", "message-syslog-priority": "err",
                                    "sec\x1b[31m": {"p": "\x9bvalue"}}))
    run.env.update(NO_COLOR="1", TERM="dumb")
    proc = run(*args)
    shown = proc.stdout + proc.stderr
    assert not re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f]", shown), shown
    for text in expected:
        assert text in shown
    if args[0] == "enable" and proc.returncode == 0:
        assert json.loads((run.root / CURRENT).read_text())[HOSTILE_ID]["enabled"] == "1"
