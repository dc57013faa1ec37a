"""The collection zorna.admin_events run by ansible-core on a copy of the sample tree."""

import contextlib
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import REPO, Runner, require_command, snapshot
from zorna_admin_events import cli, names

COLLECTION = REPO / "ansible_collections" / "zorna" / "admin_events"
PLAYBOOK = COLLECTION / "playbooks" / "baseline.yml"
MODULE = "zorna.admin_events.security_event"
BIN = Path(sys.executable).parent


class Ansible(Runner):
    """Runs ansible-core's commands against localhost, with this Python as the
    module's interpreter, on one copy of the sample tree."""

    def __init__(self, tmp_path):
        super().__init__(tmp_path)
        self.env.update(
            ANSIBLE_COLLECTIONS_PATH=str(REPO),
            ANSIBLE_HOME=str(tmp_path / "ansible-home"),
            ANSIBLE_NOCOLOR="1",
            PYTHONWARNINGS="ignore",
        )
        self.target = ["-i", "localhost,", "-c", "local", "-e", f"ansible_python_interpreter={sys.executable}"]

    def playbook(self, *options):
        argv = [str(BIN / "ansible-playbook"), *self.target, "-e", "ansible_become=false",
                "-e", f"zorna_root={self.root}", *options, str(PLAYBOOK)]
        return self(command=argv, root=False)

    def module(self, **args):
        """One ad-hoc run of the module: (status line word, result)."""
        argv = [str(BIN / "ansible"), "localhost", *self.target, "-m", MODULE,
                "-a", json.dumps({"root": str(self.root), **args})]
        proc = self(command=argv, root=False)
        word, _, result = proc.stdout.partition(" => ")
        return word.split("|")[-1].strip(), json.loads(result)


@pytest.fixture
def ansible(tmp_path):
    if not (BIN / "ansible-playbook").exists():
        pytest.skip("ansible-core is not installed for this Python")
    require_command()
    runner = Ansible(tmp_path)
    yield runner
    assert not runner.systemctl_log.exists()
    assert list(runner.decoy.iterdir()) == []


def recap_changed(proc):
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return int(re.search(r"localhost\s*:.* changed=(\d+)", proc.stdout).group(1))


@pytest.mark.parametrize("readme", [COLLECTION / "README.md", REPO / "README.md"])
def test_the_sample_playbook_is_the_one_in_the_readme(readme):
    assert re.search(r"```yaml\n(.*?)```", readme.read_text(), re.S).group(1) == PLAYBOOK.read_text()


def test_playbook_check_then_change_once(ansible):
    untouched = snapshot(ansible.root)
    check = ansible.playbook("--check", "--diff")
    assert recap_changed(check) == 4
    assert snapshot(ansible.root) == untouched
    assert '--- before: logout\n+++ after: logout\n' in check.stdout
    assert '-    "enabled": false,\n-    "facility": "auth",\n+    "enabled": true,\n+    "facility": "authpriv",' \
        in check.stdout

    assert recap_changed(ansible.playbook()) == 4
    changed = snapshot(ansible.root)
    assert changed != untouched
    assert recap_changed(ansible.playbook()) == 0
    assert snapshot(ansible.root) == changed

    status = json.loads(ansible("status", "--json", "-e", "file-opened", "-e", "logout").stdout)
    logout, opened = status["events"]
    assert opened["watched_paths"] == ["/etc/shadow", "/etc/gshadow", "/etc/ssh/sshd_config"]
    assert [rule.rsplit(" -k ", 1)[1] for rule in opened["audit_rules"]] == opened["watched_paths"]
    assert (logout["enabled"], logout["facility"]) == (True, "authpriv")


def test_another_property_of_a_path_event_keeps_its_rules_on_the_watched_paths(ansible):
    task = dict(events=["modifying-file"],
                properties=[{"section": "filter", "parameter": "exclude-programs", "value": ["/usr/bin/apt-check"]}])
    word, result = ansible.module(**task)
    assert (word, result["changes"]) == ("CHANGED", {"modifying-file": ["filter/exclude-programs"]})
    (event,) = result["events"]
    assert event["audit_rules"] == [f"-w {p} -p wa -k {p}" for p in event["watched_paths"]] != []
    assert ansible.module(**task)[0] == "SUCCESS"


@pytest.mark.parametrize(
    "args, message",
    [
        (dict(events=["no-such-event"], state="enabled"), "Unknown event ID: no-such-event"),
        (dict(events=["logout"], properties=[{"section": "s", "parameter": "p", "value": 5}]),
         "properties: the value of s/p must be a string, a list or a dictionary, not int"),
        (dict(events=["file-deleted"], properties=[{"section": "filter", "parameter": "x", "value": "y"}]),
         "is a plain setting"),
        (dict(events=["modifying-file"], properties=[{"section": "watch", "parameter": "paths", "value": "etc/x"}]),
         'Invalid VALUE: "etc/x" ("etc/x": paths must be absolute'),
        # what auditctl would read as another option, on either kind of event
        (dict(events=["modifying-file"], properties=[{"section": "watch", "parameter": "paths",
                                                      "value": ["/srv/a", "/srv/q\\ -e0"]}]),
         '("/srv/q\\\\ -e0": paths must be absolute, on one line, at most 256 bytes, with no backslash'),
        (dict(events=["logout"], properties=[{"section": "", "parameter": "message-audit-rules",
                                              "value": ["-w /etc/x -p wa -k x", "-e 0"]}]),
         '("-e 0": not one audit rule that only watches'),
        # the second task's event fails: the first one's change is undone
        (dict(events=["logout", "file-deleted"], state="enabled",
              properties=[{"section": "filter", "parameter": "x", "value": "y"}]), "is a plain setting"),
    ],
)
def test_refusals_and_failures_change_nothing(ansible, args, message):
    (ansible.root / "usr/share/syslog-ng-mod-zorna/event-settings/file-access/file-deleted").write_text(
        '{"filter": "all"}'
    )
    before = snapshot(ansible.root)
    word, result = ansible.module(**args)
    assert (word, result["changed"]) == ("FAILED!", False)
    assert message in result["msg"]
    after = snapshot(ansible.root)
    for lock in ("etc/zorna-syslog.conf.lock", "var/lib/zorna-admin-events/run.lock"):  # the service's, the run's
        after.pop(lock, None)
    assert after == before


@pytest.fixture
def security_event():
    """The module's code, loaded in this process."""
    pytest.importorskip("ansible")
    spec = importlib.util.spec_from_file_location("security_event", COLLECTION / "plugins/modules/security_event.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_documented_syslog_names_are_the_commands(security_event):
    import yaml

    options = yaml.safe_load(security_event.DOCUMENTATION)["options"]
    assert (tuple(options["facility"]["choices"]), tuple(options["priority"]["choices"])) == (
        names.FACILITIES, names.PRIORITIES)


class Task:
    """What the module's code needs of AnsibleModule."""

    def __init__(self, **params):
        self.params = dict(events=None, groups=None, state=None, facility=None, priority=None,
                           properties=None, restart=True, root=None)
        self.params.update(params)
        self.check_mode = self._diff = False

    def fail_json(self, **result):
        raise AssertionError(result)


def test_on_the_system_a_change_restarts_the_daemons_once_and_a_repeat_calls_nothing(
        security_event, sample, service, system, monkeypatch):
    monkeypatch.setattr(cli, "run_lock", lambda root, stderr: contextlib.nullcontext())

    class Transaction:
        """The fake service keeps no file: a change is what it was asked to change."""

        def __init__(self, root, stderr):
            self.changed = False

        def __enter__(self):
            return self

        def commit(self):
            self.changed = any(call[0] in ("enable_event", "disable_event") for call in service.calls)

        def __exit__(self, *exc):
            pass

    monkeypatch.setattr(cli, "Transaction", Transaction)
    task = Task(groups=["files"], events=["login-failed"], state="disabled")
    result = security_event.run(task)
    assert (result["changed"], result["restarted"]) == (True, True)
    assert system == ["systemctl restart syslog-ng.service", "systemctl restart auditd"]
    assert sorted(service.names("disable_event")) == [("file-opened",), ("login-failed",), ("modifying-directory",),
                                                      ("modifying-file",)]

    service.calls.clear()
    assert security_event.run(task)["changed"] is False
    assert len(system) == 2
    assert not {"enable_event", "disable_event", "set_event_param"} & {call[0] for call in service.calls}

    # A unit that fails to restart fails the task, the change made.
    monkeypatch.setattr(os, "system", lambda command: system.append(command) or 256)
    with pytest.raises(AssertionError, match="syslog-ng.service was not restarted.*; auditd was not restarted"):
        security_event.run(Task(events=["login-failed"], state="enabled"))


def test_ansible_doc_shows_the_module(ansible):
    proc = subprocess.run([str(BIN / "ansible-doc"), MODULE], capture_output=True, text=True, env=ansible.env)
    assert proc.returncode == 0, proc.stderr
    assert "Warning" not in proc.stderr  # such as cryptography's on every call (tools/setup pins it)
    for text in ("security_event", "properties", "restart", "local7]", "debug]", "EXAMPLES", "RETURN VALUES"):
        assert text in proc.stdout
