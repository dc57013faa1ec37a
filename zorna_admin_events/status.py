"""The status of events, read through the extension module and the event service.

Shared by the command (``zorna-admin-events status``) and the Ansible module
``zorna.admin_events.security_event``, which reads the state first and changes
only what differs.  Nothing here changes anything: the event group and the
effective settings come from the class's own look-ups (the defaults directory
and the current configuration, merged as ``events`` shows them), the enabled
state from the service.
"""

import contextlib
import io
import json
import sys

from .names import EVENT_LIST, GROUP_LIST, PRIVATE, SPECIAL_EVENTS
from .texts import _

# First-level parameters of the syslog message, as set_facility/set_priority store them.
FACILITY = "message-syslog-facility"
PRIORITY = "message-syslog-priority"
# Where the path events keep the paths they watch, and the rules built from them.
WATCH_SECTION = "watch"
WATCH_PARAMETER = "paths"
AUDIT_RULES = "message-audit-rules"


def private(obj, name):
    """A private member of the class, such as ``get_event_config``."""
    return getattr(obj, PRIVATE + name)


def setting(settings, section, parameter):
    """The value stored under section/parameter ("" section: first level), or None."""
    where = settings if section == "" else settings.get(section)
    if not isinstance(where, dict):
        return None
    return where.get(parameter)


def decoded_text(value):
    """A syslog parameter as text: a JSON string literal left undecoded by a
    service is decoded; absent or not text gives None."""
    if isinstance(value, str) and len(value) >= 2 and value[0] == value[-1] == '"':
        try:
            decoded = json.loads(value)
        except ValueError:
            return value
        return decoded if isinstance(decoded, str) else value
    return value if isinstance(value, str) else None


class EventStatus:
    """What ``status`` reports of one event, and its effective settings."""

    def __init__(self, event_id, group, enabled, settings, path_event):
        self.id = event_id
        self.group = group
        self.enabled = enabled
        self.settings = settings
        self.path_event = path_event

    @property
    def facility(self):
        return decoded_text(self.settings.get(FACILITY))

    @property
    def priority(self):
        return decoded_text(self.settings.get(PRIORITY))

    @property
    def watched_paths(self):
        return setting(self.settings, WATCH_SECTION, WATCH_PARAMETER)

    @property
    def audit_rules(self):
        return self.settings.get(AUDIT_RULES)

    def as_dict(self):
        record = {
            "id": self.id,
            "group": self.group,
            "enabled": self.enabled,
            "facility": self.facility,
            "priority": self.priority,
        }
        if self.path_event:
            record["watched_paths"] = self.watched_paths
            record["audit_rules"] = self.audit_rules
        return record


class Reading:
    """The outcome of one read: the events' status and the notices about IDs
    the catalogue lacks (already translated, one per unknown ID)."""

    def __init__(self, events, notices, groups=None):
        self.events = events
        self.notices = notices
        # The groups named, ascending: (ID, English name, Russian name, their events ascending).
        self.groups = groups or []

    def as_dict(self):
        return {"events": [event.as_dict() for event in self.events]}

    def groups_as_dict(self):
        """The groups named, each with its names and its events' status."""
        records = {event.id: event.as_dict() for event in self.events}
        return {"groups": [
            {"id": group, "name_en": name_en, "name_ru": name_ru,
             "events": [records[event] for event in events if event in records]}
            for group, name_en, name_ru, events in self.groups
        ]}


@contextlib.contextmanager
def captured_stdout():
    """What Python code prints meanwhile, kept in a buffer instead."""
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        yield buffer


def build(cls, event_ids, group_ids):
    """Construct the class for a selection without letting it print.

    Returns the object and the notices it printed about unknown IDs.  The
    lists passed are copies, so the caller's stay as they were.
    """
    with captured_stdout() as printed:
        obj = cls(list(event_ids) if event_ids else None, list(group_ids) if group_ids else None)
    return obj, printed.getvalue().splitlines()


def read_status(cls, event_ids=None, group_ids=None):
    """The status of the events named and of every event of the groups named;
    of every event when none is named.

    Events come group by group, groups and events in ascending order of ID;
    events that no group directory holds come last.  An event named twice,
    or also through its group, is reported once.
    """
    module = sys.modules[cls.__module__]
    obj, notices = build(cls, event_ids, group_ids)
    service = module.zorna_events
    all_groups = service.get_group_ids()
    grouped = private(obj, "get_grouped_events")(all_groups)
    group_of = {}
    for group in all_groups:  # the first group that the service lists wins
        for event in grouped[group]:
            group_of.setdefault(event, group)

    named_events = getattr(obj, EVENT_LIST) or []
    named_groups = getattr(obj, GROUP_LIST) or []
    if event_ids or group_ids:
        selected = set(named_events)
        for group in named_groups:
            selected.update(grouped[group])
    else:
        selected = set(service.get_event_ids())

    # The class finds an event's group by scanning the group directories
    # afresh for every event it resolves; they have all been read once above
    # with its own look-up, so this object answers from that reading.
    setattr(obj, PRIVATE + "get_event_group", group_of.get)
    path_events = getattr(cls, SPECIAL_EVENTS)
    get_config = private(obj, "get_event_config")
    events = []
    for event in sorted(selected, key=lambda e: (e not in group_of, group_of.get(e, ""), e)):
        group = group_of.get(event)
        events.append(
            EventStatus(
                event,
                group,
                service.is_event_enabled(event) == 1,
                get_config(event) if group is not None else {},
                event in path_events,
            )
        )
    names = getattr(obj, PRIVATE + "group_description")
    groups = [(group, names[group]["name_en"], names[group]["name_ru"], grouped[group])
              for group in sorted(set(named_groups))]
    return Reading(events, notices, groups)


# --------------------------------------------------------------------------
# Output of the command


def json_text(document):
    return json.dumps(document, indent=2) + "\n"


def _cell(value):
    """A value as the table shows it, on its line and with no control character."""
    from .escape import escaped

    if value is None:
        return "-"
    if isinstance(value, bool):
        return "true" if value else "false"
    return escaped(value if isinstance(value, str) else json.dumps(value), field=True)


def _items(value):
    if value is None:
        return []
    if isinstance(value, list):
        return [_cell(item) for item in value]
    return [_cell(value)]


def table_text(reading):
    """One aligned line per event; under a path event, one line per watched
    path and per audit rule."""
    header = [_("EVENT"), _("GROUP"), _("ENABLED"), _("FACILITY"), _("PRIORITY")]
    rows = [
        [_cell(e.id), _cell(e.group), _cell(e.enabled), _cell(e.facility), _cell(e.priority)]
        for e in reading.events
    ]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    path_label, rule_label = _("watched path"), _("audit rule")
    label_width = max(len(path_label), len(rule_label))

    def line(cells):
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()

    lines = [line(header)]
    for event, row in zip(reading.events, rows):
        lines.append(line(row))
        if event.path_event:
            for label, items in ((path_label, _items(event.watched_paths)), (rule_label, _items(event.audit_rules))):
                lines.extend("    " + label.ljust(label_width) + "  " + item for item in items)
    return "\n".join(lines) + "\n"
