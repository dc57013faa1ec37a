"""The audit rules the module stores, loaded by the real auditctl: only as
root, and only when the kernel's rule list is empty beforehand, so that no
rule we did not add is ever touched; each rule loaded is removed afterwards."""
import json
import os
import re
import shutil
import subprocess

import pytest

from zorna_admin_events import admin_events
from zorna_admin_events.audit_rules import kernel_form

ZornaAdminEvents = admin_events.ZornaAdminEvents


def auditctl(*args):
    return subprocess.run(["auditctl", *args], capture_output=True, text=True, timeout=60)


@pytest.fixture
def empty_rule_list():
    if os.geteuid() != 0:
        pytest.skip("loading audit rules needs root")
    if shutil.which("auditctl") is None:
        pytest.skip("auditctl is not installed (Debian package auditd)")
    listed = auditctl("-l")
    if listed.returncode != 0 or listed.stdout.strip() != "No rules":
        reason = (listed.stdout + listed.stderr).strip().splitlines() or [f"exit status {listed.returncode}"]
        pytest.skip(f"'auditctl -l' must answer 'No rules' first; it answered: {reason[0]}")


def load_and_list(rules, tmp_path):
    """What 'auditctl -l' lists once the rule lines are loaded with 'auditctl -R';
    each rule is removed again before the test goes on."""
    rules_file = tmp_path / "zae.rules"
    rules_file.write_text("".join(rule + "\n" for rule in rules), encoding="utf-8")
    try:
        loaded = auditctl("-R", str(rules_file))
        listed = auditctl("-l").stdout
    finally:
        for rule in rules:
            one = tmp_path / "delete.rules"
            one.write_text(re.sub("^-w ", "-W ", re.sub("^-a ", "-d ", rule)) + "\n", encoding="utf-8")
            auditctl("-R", str(one))
    assert loaded.returncode == 0, loaded.stderr
    return listed


def test_every_stored_rule_loads_and_reads_back(service, tmp_path, empty_rule_list):
    directory = tmp_path / "watched dir" / "каталог \"q\" 'q'"
    directory.mkdir(parents=True)
    base = f"{directory}/"
    longest = base + "x" * (256 - len(base.encode()))  # 256 bytes, the most a key may have
    paths = {
        "file-opened": [base + "файл", base + "a b", longest],
        "modifying-file": [base + "файл", base + "a#=,<>b", longest],
        "modifying-directory": [str(directory), str(tmp_path / "watched dir")],
    }
    rules = []
    for event_id, event_paths in paths.items():
        service.calls.clear()
        ZornaAdminEvents([event_id], None).set_properties("watch", "paths", json.dumps(event_paths))
        stored = [c[3] for c in service.names("set_event_param") if c[2] == "message-audit-rules"]
        rules += json.loads(stored[0])
    listed = load_and_list(rules, tmp_path)
    assert sorted(listed.splitlines()) == sorted(kernel_form(rule) for rule in rules)
    assert auditctl("-l").stdout.strip() == "No rules"


# The kernel's audit settings that no stored rule may change ('auditctl -s',
# without the counters that move by themselves).
SETTINGS = ("enabled", "failure", "rate_limit", "backlog_limit", "backlog_wait_time", "loginuid_immutable")


def audit_settings():
    fields = dict(line.split(" ", 1) for line in auditctl("-s").stdout.splitlines() if " " in line)
    return {name: fields.get(name) for name in SETTINGS}


def expected_rule(event_id, path):
    """The rule for one watched path, from the path itself (unescaped)."""
    if event_id != "file-opened":
        return f"-w {path} -p wa -k {path}"
    builders = ZornaAdminEvents._ZornaAdminEvents__audit_rules
    return builders.get(ZornaAdminEvents._ZornaAdminEvents__arch, builders["b64"])(path)


class Route:
    """Stores watched paths, or rule lines of an event that is not a path
    event, through one of the routes that store rules; True when stored."""

    def __init__(self, name, tmp_path):
        from cli_helpers import CURRENT, Runner, require_command

        require_command()
        if name == "ansible":
            from test_ansible_collection import BIN, Ansible

            if not (BIN / "ansible-playbook").exists():
                pytest.skip("ansible-core is not installed for this Python")
            self.runner = Ansible(tmp_path)
        else:
            self.runner = Runner(tmp_path)
        self.name, self.current = name, self.runner.root / CURRENT

    def store(self, event_id, paths=None, rules=None):
        """Watched paths (with, for import, the rules that go with them) or rule lines."""
        section, parameter, value = ("watch", "paths", paths) if rules is None else ("", "message-audit-rules", rules)
        if self.name == "set-properties":
            return self.runner("set-properties", section, parameter, json.dumps(value), "-e", event_id).returncode == 0
        if self.name == "ansible":
            prop = {"section": section, "parameter": parameter, "value": value}
            return self.runner.module(events=[event_id], properties=[prop])[0] == "CHANGED"
        document = json.loads(self.current.read_text())
        entry = document.setdefault(event_id, {})
        if paths is not None:
            entry["watch"] = {"paths": paths}
        # with paths, the rules a builder that escapes only spaces makes of them
        entry["message-audit-rules"] = rules if rules is not None else [
            expected_rule(event_id, p.replace(" ", "\\ ")) for p in paths]
        imported = self.runner.cwd / "import.conf"
        imported.write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
        return self.runner("import", str(imported)).returncode == 0


SMUGGLED_PATHS = ["/srv/q\\ -e0", "/srv/a!=b", "/srv/q\\\\ -e 2", "/srv/a\tb", "/srv/a\x7fb", "/srv/q\\ -kINJ"]
CONTROL_RULES = [["-e 0"], ["-w /etc/passwd -p wa -k x", "-e 2"], ["-w /etc/passwd -p wa -k x -D"],
                 ["-a always,exit -S all -f 0"], ["-w /x -k x\\\\ -e0"], ["--backlog_wait_time 0"], ["-R /x"],
                 ["-a never,exit -S all"], ["-a always,exclude -F msgtype=SYSCALL"]]


@pytest.mark.parametrize("route", ["set-properties", "import", "ansible"])
def test_stored_rules_only_ever_watch(route, tmp_path, empty_rule_list):
    store = Route(route, tmp_path)
    before = store.current.read_bytes()
    # ansible-core takes seconds a run, and shares the checks of set-properties: a few cases there
    few = slice(None, 3 if route == "ansible" else None)
    refused = [(e, [p]) for e in ("modifying-file", "file-opened") for p in SMUGGLED_PATHS[few]]
    assert [store.store(e, paths=p) for e, p in refused] == [False] * len(refused)
    controls = CONTROL_RULES[few]
    assert [store.store("login-failed", rules=r) for r in controls] == [False] * len(controls)
    if route == "import":  # right paths, rules that are not theirs
        assert not store.store("file-opened", paths=["/etc/shadow"], rules=["-e 2 -k /etc/shadow"])
    assert store.current.read_bytes() == before

    directory = tmp_path / "watched dir" / "каталог \"q\" 'q'"
    directory.mkdir(parents=True)
    watched = {"file-opened": [f"{directory}/файл", f"{directory}/a b#=,<>"],
               "modifying-file": [f"{directory}/a  b", f"{directory}/x" + "y" * (254 - len(str(directory).encode()))],
               "modifying-directory": [str(directory), str(tmp_path)]}
    escaped = str(directory).replace(" ", "\\ ")
    own_rules = [f"-w {escaped}/f -p wa -k own", f"-a always,exit -F arch=b64 -S openat -F dir={tmp_path} -k own\\ key"]
    for event_id, paths in watched.items():
        assert store.store(event_id, paths=paths), event_id
    assert store.store("login-failed", rules=own_rules)
    stored = json.loads(store.current.read_text())
    rules = [rule for event_id in watched for rule in stored[event_id]["message-audit-rules"]]
    rules += stored["login-failed"]["message-audit-rules"]
    expected = [kernel_form(expected_rule(e, p.replace(" ", "\\ "))) for e, paths in watched.items() for p in paths]
    expected += [f"-w {directory}/f -p wa -k own",
                 f"-a always,exit -F arch=b64 -S openat -F dir={tmp_path} -F key=own key"]

    settings = audit_settings()
    listed = load_and_list(rules, tmp_path)
    assert sorted(listed.splitlines()) == sorted(expected)
    assert audit_settings() == settings
    assert auditctl("-l").stdout.strip() == "No rules"
