"""`verify` against the real kernel's audit rule list (as root, and only when
it is empty beforehand; every rule added is removed), a systemctl on PATH
that reports the units' states, and a tree under --root."""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cli_helpers import CURRENT
from test_audit_peer import auditctl, empty_rule_list  # noqa: F401  (the fixture)
from zorna_admin_events.audit_rules import kernel_form, missing_directories

# The command's own code on a copy of the sample tree, but with the kernel
# and the daemons of this machine, as a run without --root has them.
ON_THE_SYSTEM = """
import sys
from pathlib import Path
from zorna_admin_events import cli, verify
cls = cli.load_class(Path(sys.argv[1]))
sys.exit(verify.command(cls, cli.parse_args(["verify"] + sys.argv[2:]), sys.stderr))
"""

SYSTEMCTL = """#!/bin/sh
echo "$*" >> "{dir}/calls"
[ -f "{dir}/fail" ] && {{ echo "System has not been booted with systemd as init system (PID 1)." >&2; exit 1; }}
for unit; do :; done
cat "{dir}/$unit"
"""


def verify_on_system(run, *args):
    proc = subprocess.run([sys.executable, "-c", ON_THE_SYSTEM, str(run.root), *args], capture_output=True,
                          text=True, env=run.env, cwd="/", timeout=120)
    return proc


def units(run, syslog_ng=("active", 0), auditd=("active", 0), fail=False):
    """A systemctl on PATH reporting each unit's state and start time
    (seconds after the configuration file last changed)."""
    where = run.cwd / "units"
    where.mkdir(exist_ok=True)
    (run.bin / "systemctl").write_text(SYSTEMCTL.format(dir=where))
    changed = int(os.stat(run.root / CURRENT).st_mtime)
    for unit, (state, after) in (("syslog-ng.service", syslog_ng), ("auditd.service", auditd)):
        started = time.strftime("%a %Y-%m-%d %H:%M:%S UTC", time.gmtime(changed + after))
        (where / unit).write_text(f"ActiveState={state}\nActiveEnterTimestamp={started}\n")
    if fail:
        (where / "fail").write_text("")
    return where


@pytest.fixture
def kernel(tmp_path, empty_rule_list):
    """Loads rule lines into the empty kernel list, and removes them all at the end."""
    added = []

    def load(rules, delete=False):
        if not delete:
            added.extend(rules)
        for rule in rules:
            if delete:
                rule = ("-W " + rule[3:]) if rule.startswith("-w ") else ("-d " + rule[3:])
            lines = tmp_path / "one.rules"
            lines.write_text(rule + "\n", encoding="utf-8")
            assert auditctl("-R", str(lines)).returncode == 0, rule

    yield load
    for rule in added:
        try:
            load([rule], delete=True)
        except AssertionError:
            pass  # deleted by the test itself
    assert auditctl("-l").stdout.strip() == "No rules"


def stored_rules(run, event):
    return json.loads((run.root / CURRENT).read_text())[event]["message-audit-rules"]


def delete_one(run, load, watched):
    load(stored_rules(run, "file-opened")[:1], delete=True)
    return "file-opened", "rule-not-loaded", "file-opened: rule not loaded: " + stored_rules(run, "file-opened")[0]


def add_stale(run, load, watched):
    path = str(watched).replace(" ", "\\ ") + "/gone"
    load([f"-w {path} -p wa -k {path}"])
    return "modifying-file", "stale-rule", f"modifying-file: stale rule (no longer stored): -w {watched}/gone -p wa -k {watched}/gone"


def disable(run, load, watched):
    assert run("disable", "-e", "modifying-file").returncode == 0
    rule = stored_rules(run, "modifying-file")[0]
    return "modifying-file", "stale-rule", "modifying-file: stale rule (the event is disabled): " + kernel_form(rule)


def missing_directory(run, load, watched):
    paths = json.dumps([f"{watched}/f", f"{watched}/no such dir/f"])
    assert run("set-properties", "watch", "paths", paths, "-e", "modifying-file").returncode == 0
    return "modifying-file", "missing-directory", (
        f"modifying-file: {watched}/no such dir does not exist: auditd refuses the watch on "
        f"{watched}/no such dir/f and loads no rule after it")


@pytest.mark.parametrize("drift", [None, delete_one, add_stale, disable, missing_directory])
def test_verify_names_what_the_kernel_does_not_run(run, kernel, tmp_path, drift):
    watched = tmp_path / "watched dir"
    watched.mkdir()
    for event, paths in (("file-opened", [f"{watched}/a b", f"{watched}/c"]), ("modifying-file", [f"{watched}/f"])):
        assert run("set-properties", "watch", "paths", json.dumps(paths), "-e", event).returncode == 0
    assert run("enable", "-e", "file-opened", "-e", "modifying-file").returncode == 0
    assert run("disable", "-e", "modifying-directory").returncode == 0
    kernel(stored_rules(run, "file-opened") + stored_rules(run, "modifying-file"))
    assert verify_on_system(run).returncode == 4  # no systemctl answering yet
    units(run, syslog_ng=("active", 1), auditd=("active", 1))
    if drift is None:
        proc = verify_on_system(run, "-q")
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
        assert "file-opened: nothing to report\n" in verify_on_system(run).stdout
        return
    event, kind, line = drift(run, kernel, watched)
    # The daemons started after the drift's own change of the file, which a
    # slow interpreter may make a second or more later: kernel drift only.
    units(run, syslog_ng=("active", 1), auditd=("active", 1))
    proc = verify_on_system(run, "-q")
    assert (proc.returncode, proc.stderr) == (1, "") and line + "\n" in proc.stdout
    assert all(text.startswith(event + ": ") for text in proc.stdout.splitlines())
    records = json.loads(verify_on_system(run, "--json").stdout)["events"]
    assert kind in [finding["kind"] for record in records if record["id"] == event for finding in record["findings"]]


@pytest.mark.parametrize("syslog_ng, auditd, fail, status, lines", [
    (("active", 0), ("active", 5), False, 0, []),
    (("active", -5), ("active", 5), False, 1, ["login-failed: restart pending: /", "file-opened: restart pending: /"]),
    (("active", 5), ("failed", 5), False, 1, ["file-opened: restart pending: auditd.service is not active (failed)"]),
    (("inactive", 5), ("active", 5), False, 1, ["logout: restart pending: syslog-ng.service is not active (inactive)"]),
    (("active", 5), ("active", 5), True, 4, []),
])
def test_restart_pending_from_the_units_state(run, syslog_ng, auditd, fail, status, lines):
    paths = json.dumps([str(run.cwd / "f")])
    assert run("set-properties", "watch", "paths", paths, "-e", "file-opened").returncode == 0
    listing = run.cwd / "listing"
    listing.write_text("".join(kernel_form(rule) + "\n" for rule in stored_rules(run, "file-opened")))
    (run.bin / "auditctl").write_text(f"#!/bin/sh\ncat '{listing}'\n")
    (run.bin / "auditctl").chmod(0o755)
    where = units(run, syslog_ng, auditd, fail)
    proc = verify_on_system(run, "-q", "-g", "authentication", "-e", "file-opened")
    if os.geteuid() != 0:
        status = status or 4
    assert proc.returncode == status, proc.stderr
    for line in lines:
        assert line in proc.stdout
    if syslog_ng[0] != "active" or syslog_ng[1] < 0:
        assert len(proc.stdout.splitlines()) == 8  # seven authentication events and file-opened
    else:
        assert "login-failed" not in proc.stdout
    assert (where / "calls").read_text().splitlines() == [
        f"show -p ActiveState -p ActiveEnterTimestamp {unit}" for unit in ("syslog-ng.service", "auditd.service")]
    if fail:
        assert "cannot check whether syslog-ng.service runs the current configuration: 'systemctl show" in proc.stderr


def test_under_root_only_the_trees_own_check_runs(run):
    proc = run("verify", "--json", "-e", "file-opened", "-e", "logout")
    document = json.loads(proc.stdout)
    assert proc.returncode == 1 and [record["id"] for record in document["events"]] == ["logout", "file-opened"]
    assert document["events"][1]["findings"] == [
        {"kind": "missing-directory", "path": "/etc/security/opasswd", "directory": "/etc/security"}]
    assert [line.split(": not checking ")[1] for line in proc.stderr.splitlines()] == [
        "the audit rules in the kernel", "whether syslog-ng.service runs the current configuration",
        "whether auditd.service runs the current configuration"]
    assert not run.systemctl_log.exists()
    unknown = run("verify", "-e", "logout", "-e", "nope")
    assert (unknown.returncode, unknown.stdout) == (2, "") and "Unknown event ID: nope" in unknown.stderr
    (run.root / CURRENT).write_text("{")
    broken = run("verify")
    assert (broken.returncode, broken.stdout) == (4, "") and "zorna-admin-events: error: " in broken.stderr


@pytest.mark.parametrize("stored, shown", [
    ("-w /srv/a\\ b -p aw -k /srv/a\\ b", "-w /srv/a b -p wa -k /srv/a b"),
    ("-a always,exit -F arch=x86_64 -F path=/a\\ b -S openat,open -k /a\\ b",
     "-a always,exit -F arch=b64 -S open,openat -F path=/a b -F key=/a b"),
    ("-a always,exit -F arch=armv7l -F path=/x -S open,openat -k /x",
     "-a always,exit -F arch=b32 -S open,openat -F path=/x -F key=/x"),
    ("-a always,exit -F arch=aarch64 -F path=/x -S openat -k /x",
     "-a always,exit -F arch=b64 -S openat -F path=/x -F key=/x"),
    ("-a never,task", "-a never,task"),
])
def test_kernel_form(stored, shown):
    assert kernel_form(stored) == shown


def test_directories_under_a_root_follow_its_links_within_it(tmp_path):
    root, outside = tmp_path / "root", tmp_path / "outside"
    (root / "etc/ssh").mkdir(parents=True)
    (outside / "d").mkdir(parents=True)
    (root / "etc/link").symlink_to("/etc/ssh")  # the tree's /etc/ssh, not the system's
    (root / "srv").symlink_to(outside)  # absolute: read inside the tree, where it is missing
    (root / "up").symlink_to("../../..")  # never above the root
    (root / "loop").symlink_to("loop")
    paths = ["/etc/link/f", "/up/etc/ssh/f", "/srv/d/f", "/loop/f", "/etc/ssh/../ssh/f"]
    assert missing_directories(paths, root) == [("/srv/d/f", "/srv/d"), ("/loop/f", "/loop")]


def test_an_unprivileged_user_is_told_which_check_needs_root():
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable]
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv")
    if subprocess.run(nobody + ["-c", "import zorna_admin_events"], capture_output=True, cwd="/").returncode != 0:
        pytest.skip(f"an unprivileged user cannot run {sys.executable}")
    import tempfile

    from cli_helpers import copy_tree

    shared = Path(tempfile.mkdtemp(prefix="zae-verify-"))
    try:
        shared.chmod(0o755)
        root = copy_tree(shared / "root")
        (shared / "systemctl").write_text("#!/bin/sh\necho ActiveState=active\necho ActiveEnterTimestamp=@4000000000\n")
        (shared / "systemctl").chmod(0o755)
        env = dict(os.environ, PATH=f"{shared}:{os.environ['PATH']}")
        proc = subprocess.run(nobody + ["-c", ON_THE_SYSTEM, str(root), "-q", "-e", "logout"],
                              capture_output=True, text=True, env=env, cwd="/", timeout=120)
    finally:
        shutil.rmtree(shared)
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        4, "", "zorna-admin-events: cannot check the audit rules in the kernel: reading them needs root\n")
