"""The record of each change in the system log and the kernel audit.

The command and the Ansible module run without --root, on the sample tree
laid over the system's own directories in a private mount and PID namespace
(/dev included, so that /dev/log there is our own), with a real syslog-ng
listening on that /dev/log and writing to a file.  Every process of the
namespace ends with it.
"""

import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

import pytest

from cli_helpers import CURRENT, EXAMPLES, Runner, command_path, require_command, require_mount_namespace
from test_ansible_collection import BIN, MODULE, Ansible

# The sample tree over the system's directories, /dev/log out of the way, a
# login UID of our own; then syslog-ng if configured, then the commands.
NAMESPACE = """
set -u
for dir in etc usr/share var/lib run dev; do
    mkdir -p "$ZAE_UPPER/$dir" "$ZAE_WORK/$dir"
    mount -t overlay zae -o "lowerdir=/$dir,upperdir=$ZAE_UPPER/$dir,workdir=$ZAE_WORK/$dir" "/$dir" || exit 97
done
rm -f /dev/log
echo 65534 > /proc/self/loginuid 2>/dev/null
cat /proc/self/loginuid > "$ZAE_OUT/loginuid"
if [ -f "$ZAE_OUT/syslog-ng.conf" ]; then
    syslog-ng -F -f "$ZAE_OUT/syslog-ng.conf" -R "$ZAE_OUT/persist" -p "$ZAE_OUT/pid" -c "$ZAE_OUT/ctl" \\
        --no-caps 2> "$ZAE_OUT/syslog-ng.err" &
    for i in $(seq 200); do [ -S /dev/log ] && break; sleep 0.05; done
    [ -S /dev/log ] || exit 98
elif [ -f "$ZAE_OUT/fill.py" ]; then
    "$ZAE_PYTHON" "$ZAE_OUT/fill.py" &
    for i in $(seq 200); do [ -f "$ZAE_OUT/full" ] && break; sleep 0.05; done
fi
. "$ZAE_OUT/commands"
if [ -f "$ZAE_OUT/pid" ]; then
    kill "$(cat "$ZAE_OUT/pid")"
    wait
fi
"""

SYSLOG_NG = """@version: 3.35
options {{ chain-hostnames(no); stats-freq(0); }};
source s {{ unix-dgram("/dev/log"); }};
destination d {{ file("{out}" template("${{FACILITY}}.${{PRIORITY}} ${{PROGRAM}}: ${{MESSAGE}}\\n")); }};
log {{ source(s); destination(d); }};
"""

# A /dev/log that nobody reads, filled until it takes no more.
FILL = """
import os, signal, socket
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind("/dev/log")
sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK)
sender.connect("/dev/log")
try:
    while True:
        sender.send(b"x")
except BlockingIOError:
    pass
open(os.environ["ZAE_OUT"] + "/full", "w").close()
signal.pause()
"""

RECORD = re.compile(r"(\S+) zorna-admin-events: command=(\S+) outcome=(\S+) (.*?) event=(\S+): (.*)")
SYSLOG_WARNING = "zorna-admin-events: warning: no syslog record of this change could be written: "
AUDIT_WARNING = "zorna-admin-events: warning: no audit record of this change could be written: "


def record_warnings_dropped(stderr):
    """stderr without the warnings about records (the audit one depends on the Python)."""
    return "".join(line for line in stderr.splitlines(True)
                   if not line.startswith((SYSLOG_WARNING, AUDIT_WARNING)))


class Host:
    """Runs commands on the sample tree laid over the system, in a namespace
    of their own, optionally with syslog-ng on its /dev/log."""

    def __init__(self, tmp_path, runner):
        require_command()
        require_mount_namespace()
        self.run = runner
        self.out = tmp_path / "out"
        self.out.mkdir()
        self.upper = tmp_path / "upper"
        for part in ("etc", "usr/share"):
            (self.upper / part).mkdir(parents=True)
            subprocess.run(["cp", "-a", f"{EXAMPLES}/{part}/.", str(self.upper / part)], check=True)
        self.env = dict(runner.env, ZAE_UPPER=str(self.upper), ZAE_WORK=str(tmp_path / "work"),
                        ZAE_OUT=str(self.out), ZAE_PYTHON=sys.executable, SUDO_USER="al ice\nroot")
        del self.env["ZORNA_EVENTS_ROOT"]

    def syslog(self):
        if shutil.which("syslog-ng") is None:
            pytest.skip("syslog-ng is not installed (Debian package syslog-ng-core)")
        (self.out / "syslog-ng.conf").write_text(SYSLOG_NG.format(out=self.out / "syslog"))

    def full_socket(self):
        (self.out / "fill.py").write_text(FILL)

    def __call__(self, *argvs):
        """Run each command line; [(status, stdout, stderr)], and the records."""
        script = "".join(f"{' '.join(map(shlex.quote, argv))} > $ZAE_OUT/out.{i} 2> $ZAE_OUT/err.{i} < /dev/null; "
                         f"echo $? > $ZAE_OUT/rc.{i}\n" for i, argv in enumerate(argvs))
        (self.out / "commands").write_text(script)
        proc = subprocess.run(["unshare", "-m", "-p", "-f", "--kill-child", "--mount-proc", "sh", "-c", NAMESPACE],
                              capture_output=True, text=True, env=self.env, timeout=600)
        if proc.returncode == 97:
            pytest.skip("no overlay mount here: " + proc.stderr)
        assert proc.returncode == 0, (proc.returncode, proc.stderr, self.read("syslog-ng.err"))
        results = [(int(self.read(f"rc.{i}")), self.read(f"out.{i}"), self.read(f"err.{i}")) for i in range(len(argvs))]
        records = [RECORD.fullmatch(line).groups() for line in self.read("syslog").splitlines()
                   if " zorna-admin-events: " in line]
        return results, records

    def read(self, name):
        path = self.out / name
        return path.read_text() if path.exists() else ""

    def who(self):
        uid = int(self.read("loginuid"))
        login = "unset" if uid == 4294967295 else f"{uid}(nobody)" if uid == 65534 else str(uid)
        return f"login_uid={login} sudo_user=al\\x20ice\\x0aroot uid=0(root)"


@pytest.fixture
def host(tmp_path):
    return Host(tmp_path, Runner(tmp_path))


def as_dry_run_lines(records):
    """The records' changes, as --dry-run shows them: one line per field."""
    return sorted(f"{event}\t{change}" for *_, event, changes in records for change in changes.split("; "))


LONG_PATHS = json.dumps([f"/etc/{'x' * 100}{i}" for i in range(40)])


@pytest.mark.parametrize("args, systemctl, status, outcome", [
    (("enable", "-g", "authentication", "-g", "system"), "exit 0", 0, "committed"),
    (("set-facility", "local3", "-e", "login-failed", "-e", "file-opened"), "exit 0", 0, "committed"),
    (("set-properties", "watch", "paths", '["/etc/passwd", "/etc/my file"]', "-e", "modifying-file"), "exit 0", 0,
     "committed"),
    (("import", "part.conf"), "exit 0", 0, "committed"),
    # long values cut; the restart fails
    (("set-properties", "watch", "paths", LONG_PATHS, "-e", "file-opened"), "exit 1", 3, "committed-restart-failed"),
], ids=["enable", "set-facility", "set-properties", "import", "restart-failed"])
def test_one_record_per_changed_event_and_none_without_a_change(host, args, systemctl, status, outcome):
    (host.run.cwd / "part.conf").write_text('{"login-failed": {"message-syslog-priority": "info"}}')
    (host.run.bin / "systemctl").write_text(f"#!/bin/sh\n{systemctl}\n")
    args = [str(host.run.cwd / arg) if arg == "part.conf" else arg for arg in args]
    command = command_path()
    host.syslog()
    results, records = host(
        [command, *args, "--dry-run"],
        [command, *args],
        [command, *args],  # the same once more: no change
        [command, "--root", str(host.run.root), *args],
    )
    (_, shown, _), (changed, _, stderr), (again, _, _), (rooted, _, _) = results
    assert (changed, again, rooted) == (status, 0, 0), stderr
    assert SYSLOG_WARNING not in stderr, stderr
    # the same changes as --dry-run shows, long values cut; --dry-run shows
    # audit rules one by one as the kernel reads them, a record the lists
    shown = sorted(line for line in shown.splitlines() if "\tno change" not in line)
    recorded = as_dry_run_lines(records)
    rules = "\tmessage-audit-rules: "
    assert {line.split(rules)[0] for line in shown if rules in line} == {
        line.split(rules)[0] for line in recorded if rules in line}
    shown, recorded = ([line for line in lines if rules not in line] for lines in (shown, recorded))
    assert len(recorded) == len(shown)
    for mine, theirs in zip(recorded, shown):
        assert mine == theirs if "[...]" not in mine else theirs.startswith(mine.split("[...]")[0])
    assert len({record[4] for record in records}) == len(records) > 0
    assert {record[:4] for record in records} == {("authpriv.notice", args[0], outcome, host.who())}
    assert all(len(record[5]) < 1000 for record in records)


def test_the_ansible_module_is_recorded_with_its_outcome(host, tmp_path):
    if not (BIN / "ansible").exists():
        pytest.skip("ansible-core is not installed for this Python")
    ansible = Ansible(tmp_path / "ansible")
    host.env.update((k, v) for k, v in ansible.env.items() if k.startswith("ANSIBLE_"))
    (host.upper / "usr/share/syslog-ng-mod-zorna/event-settings/file-access/file-deleted").write_text(
        '{"filter": "all"}')

    def task(**args):
        return [str(BIN / "ansible"), "localhost", *ansible.target, "-m", MODULE, "-a", json.dumps(args)]

    host.syslog()
    results, records = host(
        task(events=["logout", "screen-unlocked"], state="enabled", priority="info"),
        task(events=["logout"], state="enabled"),  # no change
        # the second event fails: the first one's change is undone
        task(events=["login-succeeded", "file-deleted"], state="disabled",
             properties=[{"section": "filter", "parameter": "x", "value": "y"}]),
    )
    assert [out.split(" => ")[0].split("|")[-1].strip() for _, out, _ in results] == ["CHANGED", "SUCCESS", "FAILED!"]
    changed = 'enabled: false -> true; message-syslog-priority: "notice" -> "info"'
    assert sorted(record[:3] + record[4:] for record in records) == [
        ("authpriv.err", "ansible", "undone", "file-deleted", "enabled: true -> false"),
        ("authpriv.err", "ansible", "undone", "login-succeeded", 'enabled: true -> false; filter/x: - -> "y"'),
        ("authpriv.notice", "ansible", "committed", "logout", changed),
        ("authpriv.notice", "ansible", "committed", "screen-unlocked", changed),
    ]
    assert {record[3] for record in records} == {host.who()}


@pytest.mark.parametrize("socket_state, reason", [
    ("missing", "/dev/log: No such file or directory"),
    ("full", "the syslog socket /dev/log is full"),
])
def test_without_a_working_syslog_socket_the_change_goes_ahead_with_one_warning(host, socket_state, reason):
    if socket_state == "full":
        host.full_socket()
    results, _ = host([command_path(), "disable", "-g", "authentication", "-g", "file-access"])
    ((status, stdout, stderr),) = results
    assert status == 0 and stdout.startswith("authentication")
    assert stderr.count(SYSLOG_WARNING) == 1 and f"{SYSLOG_WARNING}{reason}\n" in stderr
    assert record_warnings_dropped(stderr) == ""
    assert json.loads((host.upper / CURRENT).read_text())["login-failed"]["enabled"] == "0"


# --------------------------------------------------------------------------
# The kernel audit


# An auditd that writes to a file of ours and never stops for want of space.
AUDITD_CONF = "log_file = {log}\nplugin_dir = {plugins}\nlog_format = RAW\nspace_left = 2\nadmin_space_left = 1\n" + "".join(
    f"{name}_action = IGNORE\n" for name in ("max_log_file", "space_left", "admin_space_left", "disk_full", "disk_error"))


def audit_status():
    proc = subprocess.run(["auditctl", "-s"], capture_output=True, text=True)
    return dict(line.split(" ", 1) for line in proc.stdout.splitlines() if " " in line) if proc.returncode == 0 else {}


@pytest.fixture
def kernel_audit(tmp_path):
    """A way to read back the kernel's audit records: an auditd of our own,
    else the kernel log; restores the kernel's audit state afterwards."""
    from zorna_admin_events import record

    if os.geteuid() != 0 or shutil.which("auditctl") is None:
        pytest.skip("reading the kernel audit needs root and auditctl (Debian package auditd)")
    if not record.kernel_audit_available():
        pytest.skip("this kernel has no audit")
    if record.audit_bindings() is None:
        pytest.skip("python3-audit cannot be loaded into " + sys.executable)
    state = audit_status()
    if state.get("enabled") not in ("0", "1"):
        pytest.skip("the kernel audit is locked or unreadable: " + repr(state.get("enabled")))
    if state.get("pid", "0") != "0":
        pytest.skip("an audit daemon runs already (pid %s): its log is not ours to read" % state["pid"])
    conf = tmp_path / "auditd"
    (conf / "plugins").mkdir(parents=True)
    log = tmp_path / "audit.log"
    (conf / "auditd.conf").write_text(AUDITD_CONF.format(log=log, plugins=conf / "plugins"))
    daemon = None
    if shutil.which("auditd"):
        daemon = subprocess.Popen(["auditd", "-n", "-c", str(conf)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if audit_status().get("pid") == str(daemon.pid) or daemon.poll() is not None:
                break
            time.sleep(0.05)
        if audit_status().get("pid") != str(daemon.pid):
            daemon.kill()
            daemon.wait()
            daemon = None
    if daemon is None:
        subprocess.run(["auditctl", "-e", "1"], check=True, capture_output=True)
        kernel_log_start = subprocess.run(["dmesg"], capture_output=True, text=True).stdout.count("\n")

    def read():
        if daemon is not None:
            daemon.send_signal(signal.SIGTERM)
            daemon.wait(timeout=30)
            return log.read_text()
        return "".join(subprocess.run(["dmesg"], capture_output=True, text=True).stdout.splitlines(True)[kernel_log_start:])

    try:
        yield read
    finally:
        if daemon is not None and daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        if audit_status().get("enabled") != state["enabled"]:
            subprocess.run(["auditctl", "-e", state["enabled"]], check=True, capture_output=True)
    assert audit_status().get("pid") == "0"


def test_the_kernel_audit_holds_the_record(host, kernel_audit):
    results, _ = host([command_path(), "set-facility", "local5", "-e", "login-failed"])
    assert results[0][0] == 0, results
    assert AUDIT_WARNING not in results[0][2]
    logged = kernel_audit()
    (line,) = [line for line in logged.splitlines() if "type=1111" in line or "type=USYS_CONFIG" in line]
    fields = dict(re.findall(r"(\w+)=(\"[^\"]*\"|[^\s']+)", line.split("msg='", 1)[1]))
    assert (fields["op"], fields["command"], fields["outcome"], fields["res"]) == (
        "change-config", "set-facility", "committed", "success")
    assert fields["event"] == '"login-failed"' and bytes.fromhex(fields["sudo_user"]) == b"al ice\nroot"
    assert bytes.fromhex(fields["changes"]).decode() == 'message-syslog-facility: "auth" -> "local5"'
    assert re.search(r" auid=%s " % host.read("loginuid").strip(), line)


def test_a_root_that_is_the_host_itself_is_no_way_around_the_record(tmp_path):
    from zorna_admin_events.record import RunRecord

    (tmp_path / "host").symlink_to("/")
    for root, recorded in ((None, True), ("/", True), (tmp_path / "host", True), (EXAMPLES, False)):
        assert RunRecord("enable", root, print).active is recorded
