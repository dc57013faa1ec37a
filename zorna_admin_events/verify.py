"""``zorna-admin-events verify``: is what is configured what actually runs?

For each selected event, what keeps its stored configuration from being in
effect:

- missing-directory: a watched path of an enabled path event whose directory
  does not exist; auditd refuses the watch and loads no rule after it;
- rule-not-loaded: a stored audit rule of an enabled path event that the
  kernel does not hold (compared in the kernel's form, audit_rules.py);
- stale-rule: a rule in the kernel of the form the path events give (its key
  is its path) that no enabled event stores: its event was disabled, or its
  paths were replaced;
- restart-pending: the configuration file changed after syslog-ng.service
  (for every event) or auditd.service (for the path events) last started,
  or the unit is not active.

The kernel's rules are read with one ``auditctl -l``, each unit's state with
one ``systemctl show``; only the path events' settings are read, so the
cost hardly grows with the number of events.  A check that cannot be made
(not root, no auditctl, no systemd) is named and the others still run.
Under a root directory only the tree's own check (the directories) runs.

Shared by the command and the Ansible module ``security_event_info``.
"""

import datetime
import os
import re
import shutil
import subprocess
import sys

from . import audit_rules, status
from .changes import paths_of
from .commands import EXIT_FAILURE, EXIT_NOT_CHECKED, EXIT_OK, EXIT_USAGE
from .names import CURRENT_CONFIG_FILE, PROG, SPECIAL_EVENTS
from .texts import N_, _

UNITS = ("syslog-ng.service", "auditd.service")
# The unit whose restart every event waits for; the other concerns the path events only.
LOGGING_UNIT = UNITS[0]
TIMEOUT = 30  # seconds for auditctl and systemctl to answer

# Finding kinds, as --json gives them.
MISSING_DIRECTORY = "missing-directory"
RULE_NOT_LOADED = "rule-not-loaded"
STALE_RULE = "stale-rule"
RESTART_PENDING = "restart-pending"
# Why a stale rule is stale.
DISABLED = "event-disabled"
NOT_STORED = "not-stored"
# Checks, as --json names those not made.
RULES_CHECK = "audit-rules"
RESTART_CHECK = "restart"

TEXTS = {
    MISSING_DIRECTORY: N_("{event}: {directory} does not exist: auditd refuses the watch on {path} "
                          "and loads no rule after it"),
    RULE_NOT_LOADED: N_("{event}: rule not loaded: {rule}"),
    DISABLED: N_("{event}: stale rule (the event is disabled): {rule}"),
    NOT_STORED: N_("{event}: stale rule (no longer stored): {rule}"),
    "changed": N_("{event}: restart pending: {file} changed at {changed}, after {unit} started at {started}"),
    "inactive": N_("{event}: restart pending: {unit} is not active ({state})"),
}


class Finding:
    """One thing found about one event: its kind and details (JSON values)."""

    def __init__(self, kind, **details):
        self.kind = kind
        self.details = details

    def as_dict(self):
        return dict(kind=self.kind, **self.details)

    def text(self, event):
        details = dict(self.details)
        if self.kind == STALE_RULE:
            template = TEXTS[details["reason"]]
        elif self.kind == RESTART_PENDING:
            template = TEXTS["changed" if "changed" in details else "inactive"]
            for key in ("changed", "started"):
                if key in details:
                    details[key] = _local_time(details[key])
        else:
            template = TEXTS[self.kind]
        return _(template).format(event=event, **details)


class EventReport:
    def __init__(self, event_id, group):
        self.id = event_id
        self.group = group
        self.findings = []

    def as_dict(self):
        return {"id": self.id, "group": self.group, "findings": [f.as_dict() for f in self.findings]}


class NotChecked:
    """A check that was not made: skipped under a root, or it could not be."""

    def __init__(self, check, reason, unit=None, skipped=False):
        self.check, self.reason, self.unit, self.skipped = check, reason, unit, skipped

    def as_dict(self):
        record = {"check": self.check, "reason": self.reason}
        if self.unit is not None:
            record["unit"] = self.unit
        return record

    def name(self):
        if self.check == RULES_CHECK:
            return _("the audit rules in the kernel")
        return _("whether {unit} runs the current configuration").format(unit=self.unit)


class Verification:
    def __init__(self, events, not_checked, notices):
        self.events = events
        self.not_checked = not_checked
        self.notices = notices

    @property
    def drift(self):
        return any(event.findings for event in self.events)

    def as_dict(self):
        return {"events": [e.as_dict() for e in self.events],
                "not_checked": [n.as_dict() for n in self.not_checked]}


def _local_time(iso):
    when = datetime.datetime.fromisoformat(iso).astimezone()
    return when.strftime("%Y-%m-%d %H:%M:%S %Z")


def _iso(timestamp):
    return datetime.datetime.fromtimestamp(timestamp, datetime.timezone.utc).isoformat()


# --------------------------------------------------------------------------
# The outside: auditctl and systemctl


def _tool(name):
    return shutil.which(name, path=os.environ.get("PATH", os.defpath) + os.pathsep + "/usr/sbin:/sbin")


def _run(argv):
    """(stdout, None) of a command that succeeded, or (None, why it failed)."""
    command = " ".join(argv)
    path = _tool(argv[0])
    if path is None:
        return None, _("{tool} not found").format(tool=argv[0])
    env = dict(os.environ, LC_ALL="C", TZ="UTC")
    try:
        done = subprocess.run([path] + argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, _("'{command}' did not answer within {seconds} s").format(command=command, seconds=TIMEOUT)
    except OSError as exc:
        return None, "{}: {}".format(command, exc.strerror)
    out = done.stdout.decode("utf-8", "backslashreplace")
    if done.returncode != 0:
        said = (done.stderr.decode("utf-8", "replace") + out).strip().splitlines()
        reason = _("'{command}' exited with status {status}").format(command=command, status=done.returncode)
        return None, reason + (": " + said[0] if said else "")
    return out, None


def kernel_rules():
    """The rule lines the kernel holds, or None and why they cannot be read."""
    if os.geteuid() != 0:
        return None, _("reading them needs root")
    if _tool("auditctl") is None:
        return None, _("auditctl not found (Debian package auditd)")
    out, reason = _run(["auditctl", "-l"])
    return (audit_rules.parse_listing(out), None) if reason is None else (None, reason)


_TIMESTAMP = re.compile(r"(?:\w+ )?(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(?:\.\d+)? UTC")


def parse_timestamp(text):
    """Seconds since the epoch of a timestamp systemctl prints under TZ=UTC, or None."""
    text = text.strip()
    if text.startswith("@"):
        try:
            return int(float(text[1:]))
        except ValueError:
            return None
    match = _TIMESTAMP.fullmatch(text)
    if match is None:
        return None
    when = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S")
    return int(when.replace(tzinfo=datetime.timezone.utc).timestamp())


def unit_state(unit):
    """(ActiveState, start time in seconds or None), or None and why not."""
    out, reason = _run(["systemctl", "show", "-p", "ActiveState", "-p", "ActiveEnterTimestamp", unit])
    if reason is not None:
        return None, reason
    props = dict(line.partition("=")[::2] for line in out.splitlines() if "=" in line)
    if "ActiveState" not in props:
        return None, _("'systemctl show {unit}' gave no ActiveState").format(unit=unit)
    return (props["ActiveState"], parse_timestamp(props.get("ActiveEnterTimestamp", ""))), None


# --------------------------------------------------------------------------
# The checks


def _stale_owner(kernel_line, path):
    """The path event whose form a rule nobody stores has."""
    if audit_rules.is_syscall_rule(kernel_line):
        return "file-opened"
    return "modifying-directory" if os.path.isdir(path) else "modifying-file"


def _rule_findings(reports, path_state, listing):
    loaded = set(listing)
    stored_enabled = set()
    for event, (enabled, rules, _paths) in path_state.items():
        if enabled:
            stored_enabled.update(audit_rules.kernel_forms(rules))
    for event, (enabled, rules, _paths) in path_state.items():
        if enabled and event in reports:
            for rule in rules if isinstance(rules, list) else []:
                form = audit_rules.kernel_form(rule)
                if form not in loaded:
                    reports[event].findings.append(Finding(RULE_NOT_LOADED, rule=rule, kernel_rule=form))
    for line in listing:
        path = audit_rules.watched_path(line)
        if path is None or line in stored_enabled:
            continue
        owners = [event for event, (enabled, rules, _paths) in path_state.items()
                  if not enabled and line in audit_rules.kernel_forms(rules)]
        reason = DISABLED if owners else NOT_STORED
        for event in owners or [_stale_owner(line, path)]:
            if event in reports:
                reports[event].findings.append(Finding(STALE_RULE, rule=line, reason=reason))


def _restart_findings(reports, path_events, config_file, unit, state):
    active, started = state
    if active != "active":
        finding = Finding(RESTART_PENDING, unit=unit, state=active)
    else:
        try:
            changed = int(os.stat(str(config_file)).st_mtime)
        except FileNotFoundError:
            return
        # systemd gives whole seconds: a change within the second of the start counts as before it.
        if started is None or changed <= started:
            return
        finding = Finding(RESTART_PENDING, unit=unit, state=active, file=str(config_file),
                          changed=_iso(changed), started=_iso(started))
    for event, report in reports.items():
        if unit == LOGGING_UNIT or event in path_events:
            report.findings.append(finding)


def verify(cls, event_ids=None, group_ids=None, root=None):
    """What keeps the selected events' configuration from being in effect.

    ``root``: the tree the class reads (None: the system); only its own
    check runs then.  Selecting an unknown ID verifies nothing: the
    notices say which.
    """
    obj, notices, selected = status.select(cls, event_ids, group_ids)
    if notices:
        return Verification([], [], notices)
    service = sys.modules[cls.__module__].zorna_events
    path_events = getattr(cls, SPECIAL_EVENTS)
    known = set(service.get_event_ids())
    groups = dict(selected)
    reports = {event: EventReport(event, group) for event, group in selected}

    # The path events' state, all of them: a stale rule may be any one's.
    get_config = status.private(obj, "get_event_config")
    path_state = {}
    for event in sorted(path_events):
        if event not in known:
            continue
        group = groups[event] if event in groups else status.private(obj, "get_event_group")(event)
        settings = get_config(event) if group is not None else {}
        path_state[event] = (service.is_event_enabled(event) == 1, settings.get(status.AUDIT_RULES),
                             paths_of(status.setting(settings, status.WATCH_SECTION, status.WATCH_PARAMETER)))

    for event, (enabled, _rules, paths) in path_state.items():
        if enabled and event in reports:
            for path, directory in audit_rules.missing_directories(paths or [], root):
                reports[event].findings.append(Finding(MISSING_DIRECTORY, path=path, directory=directory))

    not_checked = []
    if root is not None:
        reason = _("--root: the kernel and the daemons are not the tree's")
        not_checked.append(NotChecked(RULES_CHECK, reason, skipped=True))
        not_checked += [NotChecked(RESTART_CHECK, reason, unit, skipped=True) for unit in UNITS]
    else:
        listing, reason = kernel_rules()
        if listing is None:
            not_checked.append(NotChecked(RULES_CHECK, reason))
        else:
            _rule_findings(reports, path_state, listing)
        config_file = getattr(cls, CURRENT_CONFIG_FILE)
        for unit in UNITS:
            state, reason = unit_state(unit)
            if state is None:
                not_checked.append(NotChecked(RESTART_CHECK, reason, unit))
            else:
                _restart_findings(reports, path_events, config_file, unit, state)
    return Verification(list(reports.values()), not_checked, notices)


# --------------------------------------------------------------------------
# The command


def command(cls, ns, stderr):
    """``verify``: the findings on standard output, the checks not made on
    standard error; the exit status says which."""
    from .escape import escaped

    result = verify(cls, ns.events, ns.groups, ns.root)
    for notice in result.notices:  # escaped as the other commands' notices are (cli.report)
        print(escaped("{}: {}".format(PROG, notice), field=True), file=stderr)
    if result.notices:
        print(_("{prog}: nothing was verified").format(prog=PROG), file=stderr)
        return EXIT_USAGE
    for missing in result.not_checked:
        if missing.skipped:
            text = _("{prog}: --root {root}: not checking {check}")
        else:
            text = _("{prog}: cannot check {check}: {reason}")
        line = text.format(prog=PROG, root=ns.root, check=missing.name(), reason=missing.reason)
        print(escaped(line, field=True), file=stderr)
    if ns.json:
        sys.stdout.write(status.json_text(result.as_dict()))
    else:
        lines = []
        for event in result.events:
            lines += [finding.text(event.id) for finding in event.findings]
            if not event.findings and not ns.quiet:
                lines.append(_("{event}: nothing to report").format(event=event.id))
        if lines:
            # One line per finding, whatever a path holds, and no control character reaches the terminal.
            sys.stdout.write("".join(escaped(line, field=True) + "\n" for line in lines))
    if result.drift:
        return EXIT_FAILURE
    return EXIT_NOT_CHECKED if any(not n.skipped for n in result.not_checked) else EXIT_OK
