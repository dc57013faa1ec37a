"""The command in scripts and pipes: plain results on stdout, notices on
stderr, no pager or colour unless a terminal asks for them, a closed stdout
that loses nothing."""

import io
import json
import os
import re
import subprocess
import types

import pytest

from cli_helpers import CURRENT, command_path, snapshot
from zorna_admin_events import output



class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("tty, environ, colour, pager", [
    (True, {}, True, output.DEFAULT_PAGER),
    (True, {"PAGER": "most -s"}, True, "most -s"),
    (True, {"PAGER": ""}, True, None),
    (True, {"PAGER": "cat"}, True, None),
    (True, {"NO_COLOR": ""}, False, None),
    (True, {"TERM": "dumb"}, False, None),
    (False, {}, False, None),
])
def test_colour_and_pager_only_for_a_terminal(monkeypatch, tty, environ, colour, pager):
    monkeypatch.setattr("sys.stdout", Terminal() if tty else io.StringIO())
    out = output.Output(environ=environ)
    assert (out.colour, out.pager) == (colour, pager)
    assert output.Output(no_pager=True, environ=environ).pager is None


@pytest.mark.parametrize("euid, environ, pager, less, secure", [
    (0, {"PAGER": "less"}, "less", "FRX", False),
    (0, {"LESS": "-S"}, output.DEFAULT_PAGER, "-S", False),
    (0, {"SUDO_UID": "1000", "PAGER": "vi", "LESSOPEN": "|x %s"}, output.DEFAULT_PAGER, "FRX", True),
    (0, {"SUDO_UID": "1000", "PAGER": "cat"}, None, "FRX", True),
    (0, {"SUDO_UID": "1000", "PAGER": "most", "ZAE_PAGERSECURE": "yes"}, "most", "FRX", True),
    (0, {"DOAS_USER": "op", "PAGER": "most", "ZAE_PAGERSECURE": "off"}, "most", "FRX", False),
    (1000, {"PAGER": "most"}, output.DEFAULT_PAGER, "FRX", True),  # set-user-ID
])
def test_the_pager_is_secure_on_behalf_of_another_user(monkeypatch, euid, environ, pager, less, secure):
    monkeypatch.setattr("os.getuid", lambda: 0 if euid == 0 else 1001)
    monkeypatch.setattr("os.geteuid", lambda: euid)
    env = output.pager_environment(environ)
    assert output.pager_command(environ) == pager
    assert (env["LESS"], env.get("LESSSECURE") == "1") == (less, secure)
    assert ("LESSOPEN" in env) == ("LESSOPEN" in environ and not secure)


@pytest.mark.parametrize("tty", [True, False])
def test_only_the_runs_own_colour_codes_reach_the_terminal(monkeypatch, tty):
    monkeypatch.setattr("sys.stdout", Terminal() if tty else io.StringIO())
    out = output.Output(environ={})
    module = types.SimpleNamespace(Color=type("Color", (), {"GREY": "\x1b[90m", "END": "\x1b[0m"}))
    out.install(module)
    grey, end = ("\x1b[90m", "\x1b[0m") if tty else ("", "")
    text = f"id\x1b[2J\t{module.Color.GREY}desc\x9b\x7f{module.Color.END}\n"
    assert out.shown(text) == f"id\\x1b[2J\t{grey}desc\\x9b\\x7f{end}\n"
    forged = module.Color.GREY[:6] + "0" * 32 + "\x00"
    assert out.shown(forged) == "\\x00GREY-" + "0" * 32 + "\\x00"


def test_a_listing_is_plain_and_needs_no_pager_when_piped(run):
    run.env.update(PATH=f"{run.bin}{os.pathsep}/nonexistent", PAGER="less")
    proc = run("groups")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert "\x1b" not in proc.stdout and "login-failed" in proc.stdout
    # One status column for the whole grouped listing.
    lines = [re.match(r"(\S+) +([01]) ", line) for line in proc.stdout.splitlines()]
    assert len({m.start(2) for m in lines if m}) == 1


@pytest.mark.parametrize("args", [
    ("status", "--json", "-g", "file-access"),
    ("groups", "--json", "file-access"),
    ("events", "--json", "file-opened", "file-deleted"),
])
def test_json_has_the_same_keys_everywhere(run, args):
    proc = run(*args)
    assert proc.returncode == 0, proc.stderr
    document = json.loads(proc.stdout)
    events = document["events"] if args[0] != "groups" else [e for g in document["groups"] for e in g["events"]]
    reference = {e["id"]: e for e in json.loads(run("status", "--json", "-g", "file-access").stdout)["events"]}
    for event in events:
        settings = event.pop("settings", None)
        assert event == reference[event["id"]]
        assert (settings is not None) == (args[0] == "events")


def test_repeated_ids_count_once(run):
    proc = run("enable", "-e", "logout", "-e", "logout", "-g", "processes", "-g", "processes", "--no-restart")
    assert proc.returncode == 0
    assert [line.split()[0] for line in proc.stdout.splitlines()] == ["logout", "processes"]
    assert [e["id"] for e in json.loads(run("status", "--json", "-e", "logout", "-e", "logout").stdout)["events"]] \
        == ["logout"]


def test_quiet_prints_nothing_and_still_changes(run):
    proc = run("disable", "-q", "-e", "login-failed")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    assert json.loads((run.root / CURRENT).read_text())["login-failed"]["enabled"] == "0"


def test_export_dash_and_import_dash_go_through_the_standard_streams(run):
    exported = run("export", "-")
    assert exported.returncode == 0
    assert json.loads(exported.stdout) == json.loads((run.root / CURRENT).read_text())
    assert run("disable", "-e", "login-failed", "--no-restart").returncode == 0
    argv = [command_path(), "--root", str(run.root), "import", "-", "--no-restart"]
    proc = subprocess.run(argv, input=exported.stdout, capture_output=True, text=True, env=run.env, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert json.loads((run.root / CURRENT).read_text()) == json.loads(exported.stdout)
    assert not (run.cwd / "-").exists()


@pytest.mark.parametrize("how, quiet, status", [
    ("closed", [], 141), ("broken pipe", [], 141), ("closed", ["-q"], 0), ("broken pipe", ["-q"], 0),
])
def test_a_closed_stdout_ends_with_141_after_the_change(run, how, quiet, status):
    before = snapshot(run.root)
    argv = [command_path(), "--root", str(run.root), "disable", "-g", "authentication", *quiet]
    if how == "closed":
        proc = subprocess.run(["bash", "-c", '"$@" >&-', "-", *argv], stderr=subprocess.PIPE, text=True,
                              env=run.env, timeout=60)
    else:
        read, write = os.pipe()
        os.close(read)
        try:
            proc = subprocess.run(argv, stdout=write, stderr=subprocess.PIPE, text=True, env=run.env, timeout=60)
        finally:
            os.close(write)
    assert proc.returncode == status
    assert "Traceback" not in proc.stderr and "Error" not in proc.stderr
    assert snapshot(run.root) != before
    assert json.loads((run.root / CURRENT).read_text())["login-failed"]["enabled"] == "0"
