"""The installed command as an administrator runs it, on a copy of the sample tree."""

import json
import re
import sys
from pathlib import Path

import pytest

from cli_helpers import CURRENT, SYSTEM_PATHS, Runner, events_of, groups_of, require_command, snapshot

ERROR = "zorna-admin-events: error: "
LISTING_LINE = re.compile(r"(\S+) {10,}(\S+) ")
NOTICE = "zorna-admin-events: "
SKIPPED_RESTART = "not restarting syslog-ng.service and auditd"
RUN_LOCK = "var/lib/zorna-admin-events/run.lock"


@pytest.fixture
def run(tmp_path):
    require_command()
    runner = Runner(tmp_path)
    yield runner
    # Whatever a test did under --root: no restart ran, the service never
    # used the root it found in the environment, the real system is untouched.
    assert not runner.systemctl_log.exists()
    assert list(runner.decoy.iterdir()) == []
    for path in SYSTEM_PATHS:
        assert path in PRESENT_BEFORE or not path.exists(), path


PRESENT_BEFORE = {p for p in SYSTEM_PATHS if p.exists()}


def status_lines(stdout):
    """{ID: status} from listing lines: ID, blanks, status, grey description."""
    lines = (LISTING_LINE.match(line) for line in stdout.splitlines())
    return {m.group(1): m.group(2) for m in lines if m}


def header(group):
    """A group's header line in plain (piped) output ends with its ID."""
    return re.compile(rf" {re.escape(group)}$", re.M)


def test_groups_shows_every_group(run):
    proc = run("groups")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    for group in groups_of(run.root):
        assert header(group).search(proc.stdout)
        for event in events_of(run.root, group):
            assert event in status_lines(proc.stdout)
    assert set(status_lines(proc.stdout).values()) <= {"0", "1"}


@pytest.mark.parametrize("cwd", ["elsewhere", "checkout root"])
def test_python_dash_m_is_the_same_command(run, cwd):
    group = groups_of(run.root)[0]
    via_script = run("groups", group)
    if cwd == "checkout root":  # where the source package, without the compiled module, comes first
        run.cwd = Path(__file__).resolve().parents[1]
    via_module = run("groups", group, command=[sys.executable, "-m", "zorna_admin_events"])
    assert (via_module.returncode, via_module.stdout) == (0, via_script.stdout)


def test_groups_with_ids_shows_only_those(run):
    first, *others = groups_of(run.root)
    proc = run("groups", first)
    assert proc.returncode == 0, proc.stderr
    assert header(first).search(proc.stdout)
    for other in others:
        assert not header(other).search(proc.stdout)


@pytest.mark.parametrize("first, then", [("disable", "0"), ("enable", "1")])
def test_switching_a_group_is_stored_and_shown(run, first, then):
    group = groups_of(run.root)[0]
    before = snapshot(run.root)
    other = "enable" if first == "disable" else "disable"
    # Start from the opposite state so that the command has work to do.
    assert run(other, "-g", group, "--no-restart").returncode == 0

    proc = run(first, "-g", group)
    assert proc.returncode == 0, proc.stderr
    assert status_lines(proc.stdout) == {group: then}
    assert SKIPPED_RESTART in proc.stderr

    shown = status_lines(run("groups", group).stdout)
    assert shown == {event: then for event in events_of(run.root, group)}
    if first == "disable":
        assert snapshot(run.root) != before


def test_enable_that_changes_nothing_mentions_no_restart(run):
    group = groups_of(run.root)[0]
    run("enable", "-g", group, "--no-restart")
    proc = run("enable", "-g", group)
    assert proc.returncode == 0
    assert proc.stderr == ""


def current(run):
    """The stand-in's current configuration under the root."""
    return json.loads((run.root / CURRENT).read_text())


def changed_files(before, after):
    return {path for path in before.keys() | after.keys() if before.get(path) != after.get(path)}


def test_set_facility_and_priority_print_and_store_each_event(run):
    before = snapshot(run.root)
    proc = run("set-facility", "local3", "-e", "file-opened", "-e", "modifying-file")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "file-opened\tfacility: local3\nmodifying-file\tfacility: local3\n"
    proc = run("set-priority", "warning", "-g", "file-access")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("\tpriority: warning\n") == len(events_of(run.root, "file-access"))

    stored = current(run)
    assert stored["file-opened"]["message-syslog-facility"] == "local3"
    assert stored["modifying-file"]["message-syslog-facility"] == "local3"
    assert {e for e in stored if stored[e].get("message-syslog-priority") == "warning"} == set(
        events_of(run.root, "file-access")
    )
    assert changed_files(before, snapshot(run.root)) <= {str(CURRENT), str(CURRENT) + ".lock", RUN_LOCK}


def test_set_properties_turns_paths_into_audit_rules(run):
    proc = run("set-properties", "watch", "paths", '["/etc/my file", "/srv"]', "-e", "file-opened")
    assert proc.returncode == 0, proc.stderr
    assert SKIPPED_RESTART in proc.stderr
    stored = current(run)["file-opened"]
    assert stored["watch"]["paths"] == ["/etc/my file", "/srv"]
    first, second = stored["message-audit-rules"]
    assert "-F path=/etc/my\\ file -S " in first and first.endswith(" -k /etc/my\\ file")
    assert second.startswith("-a always,exit -F arch=") and second.endswith(" -k /srv")


def test_events_shows_each_event_block(run):
    run("set-facility", "local3", "-e", "file-opened", "--no-restart")
    proc = run("events", "file-opened", "modifying-file")
    assert proc.returncode == 0, proc.stderr
    assert "message-syslog-facility: local3" in proc.stdout
    assert proc.stdout.index("----------file-opened----------") < proc.stdout.index(
        "----------modifying-file----------"
    )
    assert "enabled: " in proc.stdout


def test_export_then_import(run):
    exported = run.cwd / "saved.conf"
    proc = run("export", str(exported))
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    assert exported.stat().st_size > 0

    group = groups_of(run.root)[0]
    run("disable", "-g", group, "--no-restart")
    proc = run("import", str(exported))
    assert proc.returncode == 0, proc.stderr
    assert SKIPPED_RESTART in proc.stderr


@pytest.mark.parametrize(
    "args, notice",
    [
        (("events", "no-such-event", "file-opened"), "Unknown event ID: no-such-event"),
        (("groups", "no-such-group"), "Unknown group ID: no-such-group"),
        (("disable", "-e", "file-opened", "-g", "no-such-group"), "Unknown group ID: no-such-group"),
    ],
)
def test_unknown_id_exits_1_with_the_notice(run, args, notice):
    proc = run(*args)
    assert proc.returncode == 1
    assert proc.stderr.startswith(NOTICE + notice + "\n")
    if args[0] == "events":
        assert "file-opened" in proc.stdout
    elif args[0] == "disable":  # a change naming an unknown ID is not made in part
        assert (proc.stdout, proc.stderr) == ("", NOTICE + notice + "\nzorna-admin-events: nothing was changed\n")


@pytest.mark.parametrize("debug", [False, True])
def test_failed_operation_exits_1_with_one_error_line(run, debug):
    missing = run.cwd / "missing.conf"
    proc = run(*(["--debug"] if debug else []), "import", str(missing))
    assert proc.returncode == 1
    lines = proc.stderr.splitlines()
    assert lines[-2].startswith(ERROR) and lines[-1] == "zorna-admin-events: nothing was changed"
    assert ("Traceback (most recent call last):" in proc.stderr) == debug
    if not debug:
        assert len(lines) == 2


@pytest.mark.parametrize(
    "args",
    [
        ("set-properties", "", "audit-paths", "/etc/passwd", "-e", "file-opened"),
        ("enable",),
    ],
)
def test_usage_error_exits_2_and_changes_nothing(run, args):
    before = snapshot(run.root)
    proc = run(*args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.startswith("usage: zorna-admin-events")
    assert snapshot(run.root) == before

