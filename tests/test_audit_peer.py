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

ZornaAdminEvents = admin_events.ZornaAdminEvents
SYSCALL_RULE = re.compile(r"-a always,exit -F arch=(\S+) -F path=(.*) -S (\S+) -k (.*)")


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


def read_back(rule):
    """The line 'auditctl -l' shows for a rule line we gave it: escaped blanks
    read back as blanks, a syscall rule's fields in the kernel's order."""
    rule = rule.replace("\\ ", " ")
    match = SYSCALL_RULE.fullmatch(rule)
    if match is None:
        return rule
    arch, path, calls, key = match.groups()
    arch = "b32" if arch == "armv7l" else "b64"
    return f"-a always,exit -F arch={arch} -S {calls} -F path={path} -F key={key}"


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
    assert sorted(listed.splitlines()) == sorted(read_back(rule) for rule in rules)
    assert auditctl("-l").stdout.strip() == "No rules"
