#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: security_event
short_description: Decide which security events a host logs, and how
version_added: "0.1.0"
description:
  - Sets the enabled state, the syslog facility and priority and any other
    parameter of security events, and for the three path events
    (C(file-opened), C(modifying-file), C(modifying-directory)) the paths they
    watch, which become the events' audit rules.
  - Works through the C(zorna_admin_events) Python package installed for the
    Python that runs the module; the changes are made by its
    C(ZornaAdminEvents) class, exactly as the command C(zorna-admin-events)
    makes them.
  - Reads the current state first and changes only what differs; when nothing
    differs it reports no change and calls no changing method.
  - The selected events are those named in O(events) and every event of the
    groups named in O(groups); everything the task asks for applies to each
    of them.
author:
  - zorna-admin-events developers (!UNKNOWN)
requirements:
  - the C(zorna_admin_events) package and the event service it uses, installed for the Python that runs the module
options:
  events:
    description:
      - Event IDs, such as V(file-opened).
      - At least one of O(events) and O(groups) is required.
    type: list
    elements: str
  groups:
    description:
      - Group IDs; every event of each group is selected.
    type: list
    elements: str
  state:
    description:
      - Whether the selected events are logged.
      - Left as it is when not given.
    type: str
    choices: [enabled, disabled]
  facility:
    description:
      - The syslog facility of the selected events' messages.
    type: str
    choices: [kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron,
              authpriv, ftp, local0, local1, local2, local3, local4, local5,
              local6, local7]
  priority:
    description:
      - The syslog priority of the selected events' messages.
    type: str
    choices: [emerg, alert, crit, err, warning, notice, info, debug]
  properties:
    description:
      - Parameters to set on each selected event.
      - For the three path events, their watched paths (section V(watch),
        parameter V(paths)) become their audit rules, as the command's
        C(set-properties) makes them; a path that is not absolute is refused
        and the task fails with the reason. Any other parameter of a path
        event is stored as it is and leaves its audit rules alone.
    type: list
    elements: dict
    suboptions:
      section:
        description:
          - First-level key; V("") for a first-level parameter.
        type: str
        required: true
      parameter:
        description:
          - Key inside the section.
        type: str
        required: true
      value:
        description:
          - A string, a list or a dictionary (stored as JSON).
          - For the watched paths of a path event, one path or a list of paths.
        type: raw
        required: true
  restart:
    description:
      - Restart syslog-ng and auditd after a change of the configuration.
      - A daemon that fails to restart fails the task (the change stays made).
      - Never done under O(root).
    type: bool
    default: true
  root:
    description:
      - Work on the system tree under this directory instead of V(/), as the
        command's C(--root) does; the daemons are then not restarted.
    type: path
attributes:
  check_mode:
    description: Reports what would change and writes nothing.
    support: full
  diff_mode:
    description: Gives the state of each changed event before and after.
    support: full
notes:
  - A task is all or nothing, as a run of the command is; a failure of the
    class or of the event service fails the task with the error's text, and
    the configuration is put back as it was before the task.
  - The task reports a change only when the configuration's content changed.
  - Every task that changes the configuration of the host (not under O(root))
    leaves a record, as the command does - one line per changed event in the
    system log (facility authpriv, ident C(zorna-admin-events), the command
    named C(ansible)) and an audit record of type C(USYS_CONFIG) where the
    kernel audit is available. A record that cannot be written gives a
    warning and fails nothing.
"""

EXAMPLES = r"""
- name: Log failed and successful logins to auth, at warning
  zorna.admin_events.security_event:
    events: [login-failed, login-succeeded]
    state: enabled
    facility: auth
    priority: warning

- name: Switch off every event of the processes group
  zorna.admin_events.security_event:
    groups: [processes]
    state: disabled

- name: Watch opening of the shadow files and the SSH daemon configuration
  zorna.admin_events.security_event:
    events: [file-opened]
    state: enabled
    properties:
      - section: watch
        parameter: paths
        value: [/etc/shadow, /etc/gshadow, /etc/ssh/sshd_config]

- name: Only failed sudo commands, restart the daemons later in a handler
  zorna.admin_events.security_event:
    events: [sudo-command]
    properties:
      - {section: filter, parameter: result, value: failure}
    restart: false
  notify: restart logging
"""

RETURN = r"""
events:
  description:
    - Status of every selected event after the task (in check mode, as it
      would be), as C(zorna-admin-events status --json) reports it.
  returned: success
  type: list
  elements: dict
  sample:
    - id: file-opened
      group: file-access
      enabled: true
      facility: authpriv
      priority: notice
      watched_paths: [/etc/shadow]
      audit_rules: ["-a always,exit -F arch=x86_64 -F path=/etc/shadow -S open,openat -k /etc/shadow"]
changes:
  description:
    - For each event that changed (or would change), what changed, in the
      order it was done.
  returned: always
  type: dict
  sample: {file-opened: [state, facility, watch/paths]}
restarted:
  description: Whether syslog-ng and auditd were restarted.
  returned: always
  type: bool
  sample: false
"""

import collections
import contextlib
import json
import os
import re
import sys
import tempfile
import traceback
from pathlib import Path

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from zorna_admin_events import changes as zae_changes
    from zorna_admin_events import cli as zae_cli
    from zorna_admin_events import names as zae_names
    from zorna_admin_events import record as zae_record
    from zorna_admin_events import status as zae_status
    from zorna_admin_events import transaction as zae_transaction
except ImportError:
    HAS_ZAE = False
    ZAE_IMPORT_ERROR = traceback.format_exc()
else:
    HAS_ZAE = True
    ZAE_IMPORT_ERROR = None


def documented_choices(option):
    """The choices DOCUMENTATION lists for an option (a flow sequence)."""
    found = re.search(r"^  %s:\n(?:    .*\n)*?    choices: \[([^]]*)\]" % option, DOCUMENTATION, re.M)
    return [name.strip() for name in found.group(1).split(",")]


if HAS_ZAE:
    FACILITIES, PRIORITIES = list(zae_names.FACILITIES), list(zae_names.PRIORITIES)
else:  # the module fails at once then; its spec still matches its documentation
    FACILITIES, PRIORITIES = documented_choices("facility"), documented_choices("priority")

ARGUMENT_SPEC = dict(
    events=dict(type="list", elements="str"),
    groups=dict(type="list", elements="str"),
    state=dict(type="str", choices=["enabled", "disabled"]),
    facility=dict(type="str", choices=FACILITIES),
    priority=dict(type="str", choices=PRIORITIES),
    properties=dict(
        type="list",
        elements="dict",
        options=dict(
            section=dict(type="str", required=True),
            parameter=dict(type="str", required=True),
            value=dict(type="raw", required=True),
        ),
    ),
    restart=dict(type="bool", default=True),
    root=dict(type="path"),
)


class TaskError(Exception):
    """A request the module refuses before changing anything."""


def canonical(value):
    """JSON text that is equal for equal values (so True and 1 differ)."""
    return json.dumps(value, sort_keys=True)


def property_name(prop):
    if prop["section"] == "":
        return prop["parameter"]
    return "%s/%s" % (prop["section"], prop["parameter"])


def is_watch(prop):
    return zae_changes.is_watch(prop["section"], prop["parameter"])


def check_properties(properties):
    for prop in properties:
        if prop["parameter"] == "":
            raise TaskError("properties: the parameter of section %r is empty" % prop["section"])
        if not isinstance(prop["value"], (str, list, dict)):
            raise TaskError(
                "properties: the value of %s must be a string, a list or a dictionary, not %s"
                % (property_name(prop), type(prop["value"]).__name__)
            )


Call = collections.namedtuple("Call", "name method args")


class Plan(object):
    """What one event needs: the calls on a ZornaAdminEvents object selecting
    it alone, in order, each with the name reported for it."""

    def __init__(self, event):
        self.event = event
        self.calls = []
        self.rules = None  # for a path event whose paths are stored: its audit rules after the calls

    def add(self, name, method, *args):
        self.calls.append(Call(name, method, args))

    def set_property(self, prop):
        self.add(property_name(prop), "set_properties", prop["section"], prop["parameter"], json.dumps(prop["value"]))


def plan_event(event, params, build_rules):
    """Compare one event's status with the task; return its Plan."""
    plan = Plan(event)
    state = params["state"]
    if state is not None and event.enabled != (state == "enabled"):
        plan.add("state", "enable" if state == "enabled" else "disable")
    for kind in ("facility", "priority"):
        wanted = params[kind]
        if wanted is not None and getattr(event, kind) != wanted:
            plan.add(kind, "set_" + kind, wanted)

    properties = params["properties"] or []
    differing = [
        prop
        for prop in properties
        if canonical(zae_status.setting(event.settings, prop["section"], prop["parameter"]))
        != canonical(prop["value"])
    ]
    for prop in differing:
        plan.set_property(prop)
        if event.path_event and is_watch(prop):
            # The audit rules follow the watched paths, and only them.
            plan.rules = build_rules(event.id, prop["value"])
    return plan


def view(event, properties):
    """An event's state as the diff shows it, with the properties the task names."""
    record = dict(event.as_dict())
    if properties:
        record["properties"] = dict(
            (property_name(p), zae_status.setting(event.settings, p["section"], p["parameter"])) for p in properties
        )
    return record


def predicted(before, plan):
    """The view of an event once its plan is carried out (for check mode)."""
    after = json.loads(json.dumps(before))
    for call in plan.calls:
        if call.name == "state":
            after["enabled"] = call.method == "enable"
        elif call.name in ("facility", "priority"):
            after[call.name] = call.args[0]
        elif call.name in after.get("properties", {}):
            after["properties"][call.name] = json.loads(call.args[2])
    if plan.rules is not None:
        watch = [call for call in plan.calls if call.name == "%s/%s" % (zae_status.WATCH_SECTION, zae_status.WATCH_PARAMETER)]
        after["watched_paths"] = json.loads(watch[-1].args[2])
        after["audit_rules"] = plan.rules
    return after


@contextlib.contextmanager
def quiet():
    """What the class prints and the restart commands write, kept out of the
    module's own standard output, which carries its JSON result."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with tempfile.TemporaryFile() as sink:
            os.dup2(sink.fileno(), 1)
            with zae_status.captured_stdout() as printed:
                yield printed
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def root_path(root):
    """The tree to work on, as the command's --root takes it (None: the system)."""
    if root is None:
        return None
    if not os.path.isdir(root):
        raise TaskError("root: %s is not a directory" % root)
    return Path(root).resolve()


def plan_all(cls, reading, params):
    """The plans of the events that need a change."""
    if not reading.events:
        return []
    path_value = zae_status.private(zae_status.build(cls, None, None)[0], "process_path_value")

    def build_rules(event_id, paths):
        try:
            return json.loads(path_value(event_id, paths))
        except ValueError:  # a path no rule can hold: refused, with the reason, when it is stored
            return None

    plans = [plan_event(event, params, build_rules) for event in reading.events]
    return [plan for plan in plans if plan.calls]


def carry_out(cls, plans):
    """Each call on a fresh object selecting its event alone; returns the last
    object, or None.

    The class refuses a VALUE it cannot store by printing why and leaving the
    object's restart flag unset, so a fresh object per call tells a refusal
    from a change.
    """
    last = None
    with quiet() as printed:
        for plan in plans:
            for call in plan.calls:
                last = obj = zae_status.build(cls, [plan.event.id], None)[0]
                start = len(printed.getvalue())
                if call.method == "set_properties":
                    if not zae_changes.set_properties(obj, *call.args):
                        raise TaskError(printed.getvalue()[start:].strip())
                else:
                    getattr(obj, call.method)(*call.args)
    return last


def run(module):
    """Read, compare, change what differs (unless in check mode), report.

    A run that may change holds the command's lock from its first read to
    its last, so that no other run's stores come between, and is one
    transaction, as a run of the command is; the daemons are restarted
    after it, without the lock."""
    check_properties(module.params["properties"] or [])
    root = root_path(module.params["root"])
    if module.check_mode:
        return read_and_change(module, root)[0]
    # A change, made or undone, is recorded as the command records it.
    with zae_record.RunRecord("ansible", root, getattr(module, "warn", None)) as record:
        with zae_cli.run_lock(root, sys.stderr):
            with zae_cli.Transaction(root, sys.stderr) as transaction:
                record.transaction = transaction
                result, changed_object = read_and_change(module, root)
                transaction.commit()
        result["changed"] = transaction.changed
        if transaction.changed and module.params["restart"] and root is None:
            record.restart_failed = True  # until the restart has ended
            with quiet():
                failures = zae_transaction.restart_daemons(changed_object, zae_names.RESTART_FLAG)
            record.restart_failed = bool(failures)
            result["restarted"] = not failures
            if failures:
                record.write()
                module.fail_json(msg="; ".join(failures), **result)
    return result


def read_and_change(module, root):
    params = module.params
    properties = params["properties"] or []
    cls = zae_cli.load_class(root)
    reading = zae_status.read_status(cls, params["events"], params["groups"])
    if reading.notices:
        raise TaskError("; ".join(reading.notices))
    plans = plan_all(cls, reading, params)
    befores = dict((plan.event.id, view(plan.event, properties)) for plan in plans)
    result = dict(
        changed=bool(plans),
        changes=dict((plan.event.id, [call.name for call in plan.calls]) for plan in plans),
        restarted=False,
    )

    changed_object = None
    if module.check_mode:
        afters = dict((plan.event.id, predicted(befores[plan.event.id], plan)) for plan in plans)
        result["events"] = [
            dict((k, v) for k, v in afters.get(e.id, e.as_dict()).items() if k != "properties")
            for e in reading.events
        ]
    else:
        changed_object = carry_out(cls, plans)
        reading = zae_status.read_status(cls, params["events"], params["groups"])
        result["events"] = [event.as_dict() for event in reading.events]
        afters = dict((e.id, view(e, properties)) for e in reading.events if e.id in befores)

    if module._diff:
        result["diff"] = [
            dict(before_header=plan.event.id, after_header=plan.event.id,
                 before=befores[plan.event.id], after=afters[plan.event.id])
            for plan in plans
        ]
    return result, changed_object


def main():
    module = AnsibleModule(
        argument_spec=ARGUMENT_SPEC,
        required_one_of=[("events", "groups")],
        supports_check_mode=True,
    )
    if not HAS_ZAE:
        module.fail_json(msg=missing_required_lib("zorna_admin_events"), exception=ZAE_IMPORT_ERROR)
    try:
        result = run(module)
    except TaskError as exc:
        module.fail_json(msg=str(exc), changed=False)
    except Exception as exc:
        module.fail_json(msg=zae_cli.describe(exc), changed=False, exception=traceback.format_exc())
    module.exit_json(**result)


if __name__ == "__main__":
    main()
