"""`zorna-admin-events status` installed, on a copy of the sample tree with the stand-in service."""

import json

from cli_helpers import events_of, snapshot
from test_cli_e2e import run  # noqa: F401  (the fixture, with its checks that nothing outside the root changed)


def test_json_reports_what_was_stored_and_changes_nothing(run):
    assert run("set-facility", "local3", "-e", "file-opened", "--no-restart").returncode == 0
    assert run("disable", "-e", "logout", "--no-restart").returncode == 0
    before = snapshot(run.root)

    proc = run("status", "--json")
    assert (proc.returncode, proc.stderr) == (0, "")
    events = {e["id"]: e for e in json.loads(proc.stdout)["events"]}
    assert set(events) == {e for g in ("authentication", "file-access", "processes", "system", "user-accounts")
                           for e in events_of(run.root, g)}
    opened = events["file-opened"]
    assert (opened["facility"], opened["group"], opened["enabled"]) == ("local3", "file-access", True)
    assert len(opened["audit_rules"]) == len(opened["watched_paths"]) == 3
    assert events["logout"]["enabled"] is False
    assert "watched_paths" not in events["logout"]
    assert snapshot(run.root) == before


def test_unknown_id_goes_to_stderr_and_the_rest_is_reported(run):
    proc = run("status", "--json", "-e", "no-such-event", "-e", "login-failed")
    assert proc.returncode == 1
    assert proc.stderr == "zorna-admin-events: Unknown event ID: no-such-event\n"
    assert [e["id"] for e in json.loads(proc.stdout)["events"]] == ["login-failed"]

