"""Reading events' status through the class and a fake service, and its two renderings."""

import io
import json

import pytest

from zorna_admin_events import admin_events, status

ZornaAdminEvents = admin_events.ZornaAdminEvents
CHANGING = {"enable_event", "disable_event", "set_event_param"}


def ids(reading):
    return [(e.id, e.group) for e in reading.events]


@pytest.mark.parametrize(
    "events, groups, expected, notices",
    [
        # None named: every event of the catalogue, group by group.
        (None, None, [("modifying-directory", "files"), ("user-added", "users")], []),
        # Named twice, and once more through its group: reported once.
        (["user-added", "user-added"], ["users"], [("user-added", "users")], []),
        # Unknown IDs are reported; a selection left empty is not "all".
        (["nope"], ["gone"], [], ["Unknown group ID: gone", "Unknown event ID: nope"]),
    ],
)
def test_selection(tree, service, pager, system, events, groups, expected, notices):
    tree.add_members({"users": ["user-added"], "files": ["modifying-directory"]})
    service.events = {e: ("E", "R") for e in ("user-added", "modifying-directory")}
    service.groups = {g: ("G", "Г") for g in ("users", "files")}
    given = None if events is None else list(events)
    reading = status.read_status(ZornaAdminEvents, given, groups)
    assert ids(reading) == expected
    assert reading.notices == notices
    assert given == events  # the caller's list keeps its unknown IDs
    assert not CHANGING & {call[0] for call in service.calls}
    assert (pager, system) == ([], [])


def test_event_without_group_comes_last_with_no_settings(sample, service):
    service.events["orphan"] = ("Orphan", "Сирота")
    service.enabled["orphan"] = 0
    last = status.read_status(ZornaAdminEvents).events[-1]
    assert last.as_dict() == {
        "id": "orphan", "group": None, "enabled": False, "facility": None, "priority": None,
    }


def test_settings_are_the_merged_ones(sample, service):
    sample.add_event("files", "file-opened", {"message-syslog-facility": "authpriv", "watch": {"paths": ["/a"]}})
    sample.write_current({"file-opened": {
        "message-syslog-priority": '"err"',  # left as JSON text by a service
        "message-audit-rules": ["-w /a -p wa -k /a"],
    }})
    service.enabled["file-opened"] = 0
    (event,) = status.read_status(ZornaAdminEvents, ["file-opened"]).events
    assert event.as_dict() == {
        "id": "file-opened", "group": "files", "enabled": False, "facility": "authpriv",
        "priority": "err", "watched_paths": ["/a"], "audit_rules": ["-w /a -p wa -k /a"],
    }


@pytest.mark.parametrize("value, text", [(None, None), ("local3", "local3"), ('"x', '"x'), ('"\\"', '"\\"'), (3, None)])
def test_decoded_text(value, text):
    assert status.decoded_text(value) == text


def reading_of(*records):
    return status.Reading([status.EventStatus(*r) for r in records], [])


def test_table_is_aligned_with_paths_and_rules_under_their_event():
    reading = reading_of(
        ("file-opened", "files", True, {"watch": {"paths": ["/a b"]}, "message-audit-rules": ["-w /a\\ b"]}, True),
        ("x", None, False, {"message-syslog-facility": "local3"}, False),
    )
    assert status.table_text(reading) == (
        "EVENT        GROUP  ENABLED  FACILITY  PRIORITY\n"
        "file-opened  files  true     -         -\n"
        "    watched path  /a b\n"
        "    audit rule    -w /a\\ b\n"
        "x            -      false    local3    -\n"
    )
    document = json.loads(status.json_text(reading.as_dict()))
    assert [e["id"] for e in document["events"]] == ["file-opened", "x"]
