"""What a change checks, shows and keeps, on copies of the sample tree:
import checked as the set commands check, --dry-run, and a path event's
other properties stored without touching its rules."""

import json

import pytest

from cli_helpers import CURRENT, files

SKIPPED_RESTART = "not restarting syslog-ng.service and auditd"


@pytest.mark.parametrize("entry, words", [
    ({"login-failed": {"message-syslog-facility": "local9"}}, "login-failed: message-syslog-facility: \"local9\""),
    ({"login-failed": {"message-syslog-priority": "warn"}}, "login-failed: message-syslog-priority: \"warn\""),
    ({"modifying-file": {"watch": {"paths": ["etc/relative"]}}}, "modifying-file: watch/paths: \"etc/relative\""),
    ({"file-opened": {"watch": {"paths": ["/etc/"]}}}, "file-opened: watch/paths: \"/etc/\": paths of file-opened"),
    ({"login-failed": {"message-audit-rules": ["-w /etc/passwd -p wa\n-D"]}}, "login-failed: message-audit-rules:"),
    ({"file-opened": {"watch": {"paths": ["/etc/passwd"]}}}, "file-opened: message-audit-rules: the rules do not"),
    ({"login-failed": {"enabled": "yes"}}, "login-failed: enabled: must be"),
    # what auditctl would read as another option, or a control rule
    ({"modifying-file": {"watch": {"paths": ["/srv/q\\ -e0"]},
                         "message-audit-rules": ["-w /srv/q\\\\ -e0 -p wa -k /srv/q\\\\ -e0"]}},
     'modifying-file: watch/paths: "/srv/q\\\\ -e0": paths must be absolute'),
    ({"file-opened": {"watch": {"paths": ["/etc/shadow"]}, "message-audit-rules": ["-e 2 -k /etc/shadow"]}},
     "file-opened: message-audit-rules: the rules do not"),
    ({"login-failed": {"message-audit-rules": ["-w /x -p wa -k x", "-e 0"]}},
     'login-failed: message-audit-rules: "-e 0": not one audit rule that only watches'),
    ({"no-such-event": {}}, "no-such-event: unknown event"),
])
@pytest.mark.parametrize("dry_run", [False, True])
def test_import_refuses_what_the_set_commands_refuse(run, entry, words, dry_run):
    good = {"logout": {"enabled": "1"}}
    (run.cwd / "in.conf").write_text(json.dumps(dict(good, **entry)))
    before = files(run.root)
    proc = run("import", str(run.cwd / "in.conf"), *(["--dry-run"] if dry_run else []))
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr.startswith(f"zorna-admin-events: error: {run.cwd}/in.conf: ") and words in proc.stderr
    assert files(run.root) == before


def test_import_of_an_export_changes_nothing_and_a_partial_one_says_what_falls_back(run):
    assert run("export", str(run.cwd / "all.conf")).returncode == 0
    proc = run("import", str(run.cwd / "all.conf"))
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")

    (run.cwd / "part.conf").write_text('{"login-failed": {"message-syslog-priority": "info"}}')
    shown = run("import", "--dry-run", str(run.cwd / "part.conf"))
    assert shown.returncode == 0 and 'login-failed\tmessage-syslog-priority: "err" -> "info"\n' in shown.stdout
    proc = run("import", str(run.cwd / "part.conf"))
    left = sorted(json.loads((run.cwd / "all.conf").read_text()).keys() - {"login-failed"})
    notice = f"events not in {run.cwd}/part.conf, which fall back to their defaults: {len(left)} ("
    assert proc.returncode == 0 and notice in proc.stderr and SKIPPED_RESTART in proc.stderr
    assert sorted(proc.stderr.split(notice)[1].split(")")[0].split(", ")) == left


@pytest.mark.parametrize("args, shown", [
    (("set-facility", "local3", "-e", "file-opened"), 'file-opened\tmessage-syslog-facility: "authpriv" -> "local3"\n'),
    (("enable", "-e", "logout"), "logout\tenabled: false -> true\n"),
    (("set-properties", "watch", "paths", '"/etc/passwd"', "-e", "modifying-file"),
     'modifying-file\tmessage-audit-rules: ["-w /etc/passwd -p wa -k /etc/passwd", '),
])
def test_dry_run_shows_before_and_after_and_writes_nothing(run, args, shown):
    before = files(run.root)
    proc = run(*args, "--dry-run")
    assert (proc.returncode, proc.stderr) == (0, "") and shown in proc.stdout
    assert files(run.root) == before


def test_another_property_of_a_path_event_leaves_its_rules(run):
    rules = json.loads((run.root / CURRENT).read_text())["file-opened"]["message-audit-rules"]
    for args in (("filter", "result", '"failure"'), ("filter", "exclude-programs", '["/usr/bin/updatedb"]')):
        proc = run("set-properties", *args, "-e", "file-opened", "-e", "sudo-command")
        assert proc.returncode == 0, proc.stderr
    stored = json.loads((run.root / CURRENT).read_text())
    assert stored["file-opened"]["message-audit-rules"] == rules
    assert stored["file-opened"]["filter"] == stored["sudo-command"]["filter"] == {
        "result": "failure", "exclude-programs": ["/usr/bin/updatedb"]}
    proc = run("set-properties", "", "message-audit-rules", '["-w /etc/x -p wa -k /etc/x"]', "-e", "file-opened")
    assert proc.returncode == 1 and proc.stderr.startswith("zorna-admin-events: Invalid VALUE: ")


@pytest.mark.parametrize("rule", [
    "-w /etc/x -p wa -k x", "-w /a\\ b  -k a\\  -p r", "-a always,exit -F arch=b64 -S execve -k exec",
    "-A exit,always -S openat -F dir=/x -C uid!=euid", "-a always,task", "-a always,user -F uid=0",
])
def test_rules_that_only_watch_are_stored(run, rule):
    proc = run("set-properties", "", "message-audit-rules", json.dumps([rule]), "-e", "login-failed")
    assert proc.returncode == 0, proc.stderr
    assert json.loads((run.root / CURRENT).read_text())["login-failed"]["message-audit-rules"] == [rule]
