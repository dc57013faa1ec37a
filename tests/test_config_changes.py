"""Changing methods: enable/disable, syslog parameters, properties with audit
rules, import/export and daemon restart."""
import json
import os
import shutil
from pathlib import Path

import pytest
import zorna_events as standin_events

from conftest import DEFAULT_MEMBERS, ServiceFailure
from zorna_admin_events import admin_events

ZornaAdminEvents = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"
FLAG = P + "need_daemon_restart"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def hand_made(events, groups):
    obj = object.__new__(ZornaAdminEvents)
    for name, value in [("event_id_list", events), ("group_id_list", groups), ("event_section_translations", None),
                        ("need_daemon_restart", False), ("event_description", {}), ("group_description", {})]:
        setattr(obj, P + name, value)
    return obj


@pytest.fixture
def make(service, monkeypatch):
    """Objects over the fake service; group lookups and listings are recorded in service.calls."""
    members = {**DEFAULT_MEMBERS, "empty": []}
    monkeypatch.setattr(ZornaAdminEvents, P + "get_events_by_group_id",
                        staticmethod(lambda group_id: service._record("group", group_id) or members[group_id]))
    monkeypatch.setattr(ZornaAdminEvents, P + "get_multiple_string", lambda self, id_list, new_status=None:
                        service._record("listing", id_list, new_status) or f"listing {id_list} {new_status}")
    return hand_made


def ops(service, *names):
    return [c for c in service.calls if c[0] in names]


# ---------------------------------------------------------------- enable / disable

@pytest.mark.parametrize("method, enabled, events, groups, changed, flag", [
    ("enable", {}, ["user-added"], None, [], False),
    ("disable", {"user-added": 0}, ["user-added", "user-deleted"], [], [("disable_event", "user-deleted")], True),
    ("enable", {"user-deleted": 0}, [], ["users"], [("enable_event", "user-deleted")], True),
    ("enable", {"login-failed": 2}, ["login-failed"], ["auth"], [], False),       # neither 0 nor 1
    ("disable", {"login-failed": 2}, ["login-failed"], ["auth"], [], False),
    ("disable", {}, ["login-failed"], ["auth"], [("disable_event", "login-failed")], True),  # 2nd visit sees 0
    ("enable", {}, [], ["empty"], [], False),
])
def test_change_only_when_needed(make, service, method, enabled, events, groups, changed, flag):
    service.enabled.update(enabled)
    obj = make(events, groups)
    getattr(obj, method)()
    assert ops(service, "enable_event", "disable_event") == changed
    visits = list(events) + [e for g in groups or [] for e in DEFAULT_MEMBERS.get(g, [])]
    assert service.names("is_event_enabled") == [(e,) for e in visits]
    assert getattr(obj, FLAG) is flag


@pytest.mark.parametrize("events, groups", [(None, None), ([], []), (None, [])])
def test_empty_selections_do_nothing(make, service, capsys, events, groups):
    obj = make(events, groups)
    obj.enable()
    obj.disable()
    assert service.calls == [] and capsys.readouterr().out == "" and getattr(obj, FLAG) is False


@pytest.mark.parametrize("method, status", [("enable", 1), ("disable", 0)])
def test_listings_follow_their_loops(make, service, capsys, method, status):
    service.enabled.update({"user-added": 1 - status})
    getattr(make(["login-failed"], ["users", "empty"]), method)()
    assert capsys.readouterr().out == f"listing ['login-failed'] None\nlisting ['users', 'empty'] {status}\n"
    names = [c[0] for c in service.calls]
    assert names.index("listing") == names.index("group") - 1 and names[-2:] == ["group", "listing"]


def test_direction_is_equality_with_enable_event(make, service, capsys):
    obj = make(["user-added"], ["auth"])
    done = []
    obj._ZornaAdminEvents__process_ids(done.append)     # not enable_event: a disabling action
    assert done == ["user-added", "login-failed"]
    assert capsys.readouterr().out.endswith("listing ['auth'] 0\n")


@pytest.mark.parametrize("fail_at, first_enabled", [(2, 0), (4, 1)])   # the first / second enable_event
def test_failing_action_keeps_earlier_changes_and_flag(make, service, capsys, fail_at, first_enabled):
    service.enabled.update({"user-added": 0, "user-deleted": 0})
    service.fail_at = fail_at
    obj = make(["user-added", "user-deleted"], ["users"])
    with pytest.raises(ServiceFailure):
        obj.enable()
    assert service.enabled["user-added"] == first_enabled and getattr(obj, FLAG) is True
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------- syslog parameters

@pytest.mark.parametrize("value", ["info", 'a"b', "back\\slash", "tab\there", "line\nbreak", "локальный", None])
def test_syslog_value_stored_as_json_string(make, service, capsys, value):
    obj = make(["login-failed"], None)
    obj.set_priority(value)
    ((event, section, parameter, stored),) = service.names("set_event_param")
    assert (event, section, parameter) == ("login-failed", "", "message-syslog-priority")
    assert stored == json.dumps(str(value), ensure_ascii=False) and json.loads(stored) == str(value)
    assert capsys.readouterr().out == f"login-failed\tpriority: {value}\n"


def test_syslog_walk_order_and_lines(make, service, capsys):
    obj = make(["user-added"], ["users", "empty", "auth"])
    obj.set_facility("auth")
    walk = [c[:2] for c in service.calls]
    assert walk == [("set_event_param", "user-added"), ("group", "users"), ("set_event_param", "user-added"),
                    ("set_event_param", "user-deleted"), ("group", "empty"), ("group", "auth"),
                    ("set_event_param", "login-failed")]
    assert {c[1:] for c in service.names("set_event_param")} == {("", "message-syslog-facility", '"auth"')}
    lines = capsys.readouterr().out.splitlines()
    assert lines == [f"{e}\tfacility: auth" for e in ["user-added", "user-added", "user-deleted", "login-failed"]]
    assert getattr(obj, FLAG) is True


def test_syslog_flag_when_nothing_stored_and_not_after_failure(make, service, capsys):
    obj = make([], None)
    obj.set_facility("x")
    assert getattr(obj, FLAG) is True and service.calls == []
    service.fail_at = 2
    obj = make(["user-added", "user-deleted"], None)
    with pytest.raises(ServiceFailure):
        obj.set_priority("err")
    assert getattr(obj, FLAG) is False and capsys.readouterr().out == "user-added\tpriority: err\n"


# ---------------------------------------------------------------- properties and audit rules

def rules_for(service):
    return [json.loads(c[3]) for c in service.names("set_event_param") if c[2] == "message-audit-rules"]


@pytest.mark.parametrize("arch, expected", [
    ("x86_64", "-a always,exit -F arch=x86_64 -F path={p} -S open,openat -k {p}"),
    ("aarch64", "-a always,exit -F arch=aarch64 -F path={p} -S openat -k {p}"),
    ("armv7l", "-a always,exit -F arch=armv7l -F path={p} -S open,openat -k {p}"),
    ("b64", "-a always,exit -F arch=b64 -F path={p} -S open,openat -k {p}"),
    ("i686", "-a always,exit -F arch=b64 -F path={p} -S open,openat -k {p}"),
])
def test_system_call_rule_per_machine(make, service, monkeypatch, arch, expected):
    monkeypatch.setattr(ZornaAdminEvents, P + "arch", arch)
    make(["file-opened"], None).set_properties("watch", "paths", '["/etc/passwd", "/my docs/f"]')
    assert rules_for(service) == [[expected.format(p="/etc/passwd"), expected.format(p="/my\\ docs/f")]]


@pytest.mark.parametrize("value, rules", [
    ('"/etc/passwd"', '["-w /etc/passwd -p wa -k /etc/passwd"]'),
    ('{"/a b": 1, "/ü": null}', r'["-w /a\\ b -p wa -k /a\\ b", "-w /ü -p wa -k /ü"]'),
    ("[]", "[]"), ("{}", "[]"),
])
def test_watch_rules_and_stores_in_order(make, service, value, rules):
    obj = make(["modifying-file", "user-added", "modifying-directory"], ["files"])
    obj.set_properties("watch", "paths", " " + value)
    texts = [c[3] for c in service.names("set_event_param")]
    calls = [c[:3] for c in service.names("set_event_param")]
    assert calls == [("modifying-file", "watch", "paths"), ("modifying-file", "", "message-audit-rules"),
                     ("user-added", "watch", "paths"), ("modifying-directory", "watch", "paths"),
                     ("modifying-directory", "", "message-audit-rules")]
    assert texts[0] == texts[2] == texts[3] == " " + value and texts[1] == texts[4] == rules
    assert getattr(obj, FLAG) is True


PATHS = "paths must be absolute, on one line, at most 256 bytes"
USABLE = PATHS + ", with no backslash, control character, !=, <=, >= or &="
RULES = ("", "message-audit-rules")


def usable(path):
    """Whether auditctl reads the path back as itself, from a rule as we write it."""
    if not (isinstance(path, str) and path.startswith("/") and "\\" not in path and "\ud800" not in path):
        return False
    return (len(path.encode()) <= 256 and not any(ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f for c in path)
            and not any(op in path for op in ("!=", "<=", ">=", "&=")) and "\u2028" not in path
            and "\u2029" not in path)


def refused_path(value):
    """The refusal of VALUE, naming its first path that cannot go into a rule."""
    decoded = json.loads(value)
    paths = [decoded] if isinstance(decoded, str) else list(decoded)
    first = next(p for p in paths if not usable(p))
    shown = json.dumps(first, ensure_ascii=not (isinstance(first, str) and first.isprintable()))
    return f"Invalid VALUE: {value} ({shown}: {USABLE})"


@pytest.mark.parametrize("key, value, message", [
    (("s", "p"), "5", "Invalid VALUE: 5 (<class 'int'>)"), (("s", "p"), "NaN", "Invalid VALUE: NaN (<class 'float'>)"),
    (RULES, "true", "Invalid VALUE: true (<class 'bool'>)"), (("s", "p"), "null", "Invalid VALUE: null (<class 'NoneType'>)"),
    (RULES, "word", "The VALUE should be in JSON format"),
] + [(("s", "p"), value, refused_path(value)) for value in [
    '["/a\\nb"]', '"/a\\rb"', '{"/a\\u0000": 1}', '["/ok", 7]', '[["/x"]]',
    '["/ok", "etc/shadow"]', '""', '"-D"', '"/a\\u000bb"', '"/a\\fb"', '"/a\\u001cb"', '"/a\\u0085b"',
    '"/a\\u2029b"', '"/\\ud800"', '"/' + 256 * "a" + '"', '"/' + 128 * "я" + '"',
    # what auditctl would read as other words, escapes or operators
    '["/ok", "/srv/q\\\\ -e0"]', '"/a\\tb"', '"/a\\u007fb"', '"/a\\u009bb"', '"/a!=b"', '"/a<=b"',
    '"/a>=b"', '"/a&=b"',
]] + [(RULES, value, f"Invalid VALUE: {value} ({PATHS})") for value in [
    '["/etc/x -p wa\\n-D"]', '"/etc/x"', '{"/etc/x": 1}', '["/x", 1]', '["/x\\u2028"]',
    '["/x\\u000b"]', '["/x\\u001e"]', '["/x\\u0085"]', '["/x\\u2029"]', '["/x\\u0000"]',
]])
def test_refused_values_change_nothing(make, service, capsys, monkeypatch, key, value, message):
    obj = make(["user-added", "file-opened"], None)
    obj.set_properties(*key, value)
    monkeypatch.setattr(admin_events, "_", lambda text: f"<{text}>")
    obj.set_properties(*key, value)
    first, second = capsys.readouterr().out.splitlines()
    assert first == message
    assert second == message.replace("Invalid VALUE", "<Invalid VALUE>").replace(
        "The VALUE should be in JSON format", "<The VALUE should be in JSON format>").replace(
        f"({PATHS})", f"(<{PATHS}>)").replace(f": {USABLE})", f": <{USABLE}>)")
    assert service.calls == [] and getattr(obj, FLAG) is False


@pytest.mark.parametrize("event_id", ["file-opened", "modifying-directory"])
def test_trailing_slash_refused_where_the_kernel_refuses_it(make, service, capsys, event_id):
    # A system-call rule (-F path=) of file-opened cannot end in "/"; a watch drops the slash.
    value = '["/etc/ssh/", "/"]'
    make([event_id], None).set_properties("watch", "paths", value)
    if event_id == "file-opened":
        assert capsys.readouterr().out == f"Invalid VALUE: {value} (paths of file-opened must name files, not end in /)\n"
        assert service.calls == []
    else:
        assert rules_for(service) == [["-w /etc/ssh/ -p wa -k /etc/ssh/", "-w / -p wa -k /"]]


def test_longest_and_oddest_loadable_paths_are_stored(make, service):
    paths = ["/" + 255 * "a", "/" + 127 * "я" + "a", "/a \"b\" 'c' #=,<>&!%$"]
    make(["modifying-file"], None).set_properties("w", "p", json.dumps(paths, ensure_ascii=False))
    escaped = [p.replace(" ", "\\ ") for p in paths]
    assert rules_for(service) == [[f"-w {p} -p wa -k {p}" for p in escaped]]


def test_rules_stored_directly_for_any_event(make, service):
    rules = '["-w /etc/x -p wa -k x", "", "-a never,task"]'
    make(["login-failed"], None).set_properties("", "message-audit-rules", rules)
    assert service.names("set_event_param") == [("login-failed", "", "message-audit-rules", rules)]


def test_paths_unchecked_without_path_event_and_none_selections(make, service):
    obj = make(["user-added"], None)
    obj.set_properties("s", "p", '["a\\nb", 1]')
    assert service.names("set_event_param") == [("user-added", "s", "p", '["a\\nb", 1]')]
    service.calls.clear()
    obj = make(None, ["files"])
    with pytest.raises(TypeError):
        obj.set_properties("s", "p", '"/x"')
    assert getattr(obj, FLAG) is True and service.calls == []
    with pytest.raises(TypeError):
        make(["file-opened"], None).set_properties("s", "p", None)


def test_groups_play_no_part_in_properties(make, service):
    obj = make([], ["files"])
    obj.set_properties("s", "p", '"/x"')
    assert service.calls == [] and getattr(obj, FLAG) is True


# ---------------------------------------------------------------- import, export, restart

class RecordingManager:
    log = []

    def __init__(self):
        self.log.append(("new", self))

    def export_config(self, path):
        self.log.append(("export", self, path))
        return "ignored"

    def import_config(self, path):
        self.log.append(("import", self, path))
        if path.name == "bad":
            raise ValueError("bad file")


@pytest.fixture
def manager(monkeypatch):
    RecordingManager.log = []
    monkeypatch.setattr(admin_events, "ZornaConfigManager", RecordingManager)
    return RecordingManager.log


def test_import_export_each_with_a_new_manager(manager, service):
    assert ZornaAdminEvents.export_config("out.json") is None
    obj = hand_made(None, None)
    obj.export_config("out.json")
    assert getattr(obj, FLAG) is False
    with pytest.raises(ValueError):
        obj.import_config("dir/bad")
    assert getattr(obj, FLAG) is False
    obj.import_config("rel/in.json")
    assert getattr(obj, FLAG) is True
    kinds = [(entry[0], entry[2] if len(entry) > 2 else None) for entry in manager]
    assert kinds == [("new", None), ("export", Path("out.json")), ("new", None), ("export", Path("out.json")),
                     ("new", None), ("import", Path("dir/bad")), ("new", None), ("import", Path("rel/in.json"))]
    assert len({id(entry[1]) for entry in manager}) == 4
    with pytest.raises(TypeError):
        ZornaAdminEvents.export_config(None)
    assert manager[-1][0] == "new"


def test_restart_only_when_flagged(system, make):
    obj = make(["user-added"], None)
    obj.restart_daemons()
    assert system == []
    obj.set_facility("local0")
    obj.restart_daemons()
    obj.restart_daemons()
    assert system == ["systemctl restart syslog-ng.service", "systemctl restart auditd"] * 2


# ---------------------------------------------------------------- end to end with the stand-in service

@pytest.fixture
def root(tmp_path, monkeypatch):
    tree = tmp_path / "root"
    shutil.copytree(EXAMPLES, tree)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(tree))
    monkeypatch.setattr(admin_events, "zorna_events", standin_events)
    for attribute, path in [("default_config_dir", "usr/share/syslog-ng-mod-zorna/event-settings"),
                            ("current_config_file", "etc/zorna-syslog.conf"),
                            ("param_ru_translations_file", "etc/vek-admin-events/eventsdictionary.json")]:
        monkeypatch.setattr(ZornaAdminEvents, P + attribute, tree / path)
    return tree


def test_enabling_a_group_for_real(root, capsys):
    assert standin_events.is_event_enabled("screen-unlocked") == 0 and standin_events.is_event_enabled("logout") == 0
    obj = ZornaAdminEvents(["logout"], ["authentication"])
    obj.enable()
    assert standin_events.is_event_enabled("screen-unlocked") == 1 and standin_events.is_event_enabled("logout") == 1
    event_line, group_line = capsys.readouterr().out.splitlines()[-2:]
    assert event_line.startswith("logout ") and event_line.split()[1] == "1"
    assert group_line.startswith("authentication ") and group_line.split()[1] == "1"


def test_properties_export_import_for_real(root, monkeypatch, tmp_path):
    monkeypatch.setattr(ZornaAdminEvents, P + "arch", "aarch64")
    obj = ZornaAdminEvents(["file-opened"], None)
    obj.set_properties("watch", "paths", '["/etc/my shadow"]')
    state = json.loads((root / "etc/zorna-syslog.conf").read_text())
    assert state["file-opened"]["watch"]["paths"] == ["/etc/my shadow"]
    assert state["file-opened"]["message-audit-rules"] == [
        "-a always,exit -F arch=aarch64 -F path=/etc/my\\ shadow -S openat -k /etc/my\\ shadow"]
    ZornaAdminEvents.export_config(str(tmp_path / "saved.json"))
    ZornaAdminEvents(["login-failed"], None).set_priority('x"y')
    assert json.loads((root / "etc/zorna-syslog.conf").read_text())["login-failed"]["message-syslog-priority"] == 'x"y'
    obj.import_config(str(tmp_path / "saved.json"))
    assert json.loads((root / "etc/zorna-syslog.conf").read_text()) == state


def test_restart_through_the_shell(root, tmp_path, monkeypatch):
    bin_dir, log = tmp_path / "bin", tmp_path / "systemctl.log"
    bin_dir.mkdir()
    script = bin_dir / "systemctl"
    script.write_text(f'#!/bin/sh\necho "$*" >> {log}\ncase "$*" in *syslog-ng*) exit 3;; esac\n')
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    obj = ZornaAdminEvents(["sudo-command"], [])
    obj.restart_daemons()
    assert not log.exists()
    obj.set_facility("authpriv")
    assert obj.restart_daemons() is None
    assert log.read_text() == "restart syslog-ng.service\nrestart auditd\n"
