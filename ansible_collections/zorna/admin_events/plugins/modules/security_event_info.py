#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: security_event_info
short_description: Report security events' settings and whether they are in effect
version_added: "0.1.0"
description:
  - Returns each selected event's status (enabled state, syslog facility and
    priority, and for the path events their watched paths and audit rules)
    and what keeps its configuration from being in effect, as the command
    C(zorna-admin-events verify) finds it, for a fleet-wide compliance report.
  - "Findings: a stored audit rule of an enabled path event that the kernel
    does not hold (C(rule-not-loaded)); a rule in the kernel of the form the
    path events give that no enabled event stores (C(stale-rule)); a watched
    path whose directory does not exist, so that auditd refuses it and loads
    no rule after it (C(missing-directory)); the configuration changed after
    C(syslog-ng.service) or C(auditd.service) last started, or the unit is not
    active (C(restart-pending))."
  - Reads the kernel's audit rules with one C(auditctl -l) and each unit's
    state with one C(systemctl show). A check that cannot be made (not root,
    no auditctl, no systemd) is listed in RV(not_checked) with a warning; the
    others are still made.
  - Works through the C(zorna_admin_events) Python package installed for the
    Python that runs the module, with the same code as the command. It never
    changes anything.
author:
  - zorna-admin-events developers (!UNKNOWN)
requirements:
  - the C(zorna_admin_events) package and the event service it uses, installed for the Python that runs the module
options:
  events:
    description:
      - Event IDs, such as V(file-opened).
      - When neither O(events) nor O(groups) is given, every event is reported.
    type: list
    elements: str
  groups:
    description:
      - Group IDs; every event of each group is reported.
    type: list
    elements: str
  root:
    description:
      - Read the system tree under this directory instead of V(/), as the
        command's C(--root) does. Only the directories of watched paths are
        then checked, under it; the kernel and the daemons are not the tree's.
    type: path
attributes:
  check_mode:
    description: Reads and reports in check mode as well; it never changes anything.
    support: full
  diff_mode:
    description: Nothing changes, so there is no difference to show.
    support: none
notes:
  - An unknown event or group ID fails the task.
seealso:
  - module: zorna.admin_events.security_event
"""

EXAMPLES = r"""
- name: Is the security event configuration in effect?
  zorna.admin_events.security_event_info:
  register: logging

- name: Fail where something configured is not what runs
  ansible.builtin.assert:
    that: logging.in_effect
    fail_msg: "{{ logging.events | selectattr('findings') | map(attribute='id') | list }}"

- name: The file access events only
  zorna.admin_events.security_event_info:
    groups: [file-access]
  register: file_access
"""

RETURN = r"""
events:
  description:
    - Every selected event, group by group, as C(zorna-admin-events status
      --json) reports it, with its findings as C(zorna-admin-events verify
      --json) gives them (an empty list when the event is in effect).
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
      findings:
        - kind: rule-not-loaded
          rule: "-a always,exit -F arch=x86_64 -F path=/etc/shadow -S open,openat -k /etc/shadow"
          kernel_rule: "-a always,exit -F arch=b64 -S open,openat -F path=/etc/shadow -F key=/etc/shadow"
not_checked:
  description:
    - The checks that were not made, each with C(check) (V(audit-rules) or
      V(restart)), C(unit) for a restart check, and C(reason).
  returned: success
  type: list
  elements: dict
  sample:
    - {check: restart, unit: syslog-ng.service, reason: "'systemctl show syslog-ng.service' exited with status 1"}
in_effect:
  description: Whether no selected event has a finding.
  returned: success
  type: bool
  sample: true
"""

import os
import traceback
from pathlib import Path

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from zorna_admin_events import checks as zae_checks
    from zorna_admin_events import cli as zae_cli
    from zorna_admin_events import status as zae_status
    from zorna_admin_events import verify as zae_verify
except ImportError:
    HAS_ZAE = False
    ZAE_IMPORT_ERROR = traceback.format_exc()
else:
    HAS_ZAE = True
    ZAE_IMPORT_ERROR = None

ARGUMENT_SPEC = dict(
    events=dict(type="list", elements="str"),
    groups=dict(type="list", elements="str"),
    root=dict(type="path"),
)


class TaskError(Exception):
    """A request the module refuses."""


def report(params):
    """The result of the task, and the texts of the checks that could not be made."""
    root = params["root"]
    if root is not None:
        if not os.path.isdir(root):
            raise TaskError("root: %s is not a directory" % root)
        root = Path(root).resolve()
    cls = zae_cli.load_class(root)
    zae_checks.check_class_files(cls)
    found = zae_verify.verify(cls, params["events"], params["groups"], root)
    if found.notices:
        raise TaskError("; ".join(found.notices))
    reading = zae_status.read_status(cls, params["events"], params["groups"])
    findings = dict((event.id, [f.as_dict() for f in event.findings]) for event in found.events)
    events = []
    for event in reading.events:
        record = event.as_dict()
        record["findings"] = findings.get(event.id, [])
        events.append(record)
    result = dict(
        changed=False,
        events=events,
        not_checked=[missing.as_dict() for missing in found.not_checked],
        in_effect=not found.drift,
    )
    warnings = ["cannot check %s: %s" % (missing.name(), missing.reason)
                for missing in found.not_checked if not missing.skipped]
    return result, warnings


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    if not HAS_ZAE:
        module.fail_json(msg=missing_required_lib("zorna_admin_events"), exception=ZAE_IMPORT_ERROR)
    try:
        result, warnings = report(module.params)
    except TaskError as exc:
        module.fail_json(msg=str(exc), changed=False)
    except Exception as exc:
        module.fail_json(msg=zae_cli.describe(exc), changed=False, exception=traceback.format_exc())
    for warning in warnings:
        module.warn(warning)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
