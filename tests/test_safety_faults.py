"""Fault injection: the event service fails at its k-th call, for every k of a
whole run of a method.  Each time the service's exception must come out
unchanged, the calls made before it stay made (and none after it is made), the
lines printed before it stay printed (and none after), the pager is not
started, and the restart flag is what the method's order of work implies."""
import pydoc

import pytest

from conftest import DEFAULT_EVENTS, DEFAULT_GROUPS, DEFAULT_MEMBERS, FakeEvents, ServiceFailure
from zorna_admin_events import admin_events

Z = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"
FILES = ["file-opened", "modifying-file", "modifying-directory"]
ENABLED = {"user-deleted": 0, "file-opened": 0, "modifying-directory": 0}


class FailingEvents(FakeEvents):
    """FakeEvents that keeps the exception it raised, to check it comes out unchanged."""

    raised = None

    def _record(self, *call):
        try:
            super()._record(*call)
        except ServiceFailure as error:
            self.raised = error
            raise


class Run:
    """The service, and what the method printed and paged, each noted with the
    number of service calls made before it."""

    def __init__(self, monkeypatch):
        self.service = FailingEvents(DEFAULT_EVENTS, DEFAULT_GROUPS)
        self.printed, self.paged = [], []
        monkeypatch.setattr(admin_events, "zorna_events", self.service)
        monkeypatch.setattr(admin_events, "print", lambda *a: self.printed.append((len(self.service.calls), a)),
                            raising=False)
        monkeypatch.setattr(pydoc, "pipepager", lambda *a, **k: self.paged.append(len(self.service.calls)))

    def reset(self, fail_at=None):
        self.service.calls.clear()
        self.service.enabled = dict(ENABLED)
        self.service.fail_at = fail_at
        self.service.raised = None
        self.printed.clear()
        self.paged.clear()


@pytest.fixture
def run(sample, monkeypatch):
    sample.add_event("users", "user-added", {"enabled": "1", "message": {"facility": "auth"}})
    sample.write_current({"user-added": {"message": {"priority": "info"}}})
    return Run(monkeypatch)


def bare(events=None, groups=None):
    obj = object.__new__(Z)
    for name, value in (("event_id_list", events), ("group_id_list", groups), ("event_section_translations", None),
                        ("need_daemon_restart", False),
                        ("event_description", {i: {"name_en": en, "name_ru": ru} for i, (en, ru) in
                                               DEFAULT_EVENTS.items()}),
                        ("group_description", {i: {"name_en": en, "name_ru": ru} for i, (en, ru) in
                                               DEFAULT_GROUPS.items()})):
        setattr(obj, P + name, value)
    return obj


def flag_after_any(operation):
    """The flag is set just before the first call of `operation`, so it is up once that call was attempted."""
    return lambda calls: any(call[0] == operation for call in calls)


# method: the object with its selection, the call, the restart flag after a failure given the calls made so far
RUNS = {
    "enable": (lambda: bare(["user-added", "user-deleted", "file-opened"], ["files", "users"]),
               lambda obj: obj.enable(), flag_after_any("enable_event")),
    "disable": (lambda: bare(["user-added", "user-deleted"], ["files", "auth"]),
                lambda obj: obj.disable(), flag_after_any("disable_event")),
    # The flag is set only after the whole walk.
    "set_facility": (lambda: bare(["user-added", "file-opened", "user-added"], ["files", "auth"]),
                     lambda obj: obj.set_facility("local0"), lambda calls: False),
    # The flag is set once VALUE is accepted, before the first store.
    "set_properties": (lambda: bare(["user-added", "file-opened", "modifying-file"]),
                       lambda obj: obj.set_properties("s", "p", '["/var/log", "/a b"]'), lambda calls: True),
    "show_events": (lambda: bare(["user-added", "login-failed", "file-opened"]),
                    lambda obj: obj.show_events(), lambda calls: False),
}


@pytest.mark.parametrize("method", list(RUNS))
def test_service_failing_at_each_call(run, method):
    make, act, flag = RUNS[method]
    run.reset()
    obj = make()
    act(obj)
    calls, printed, paged = list(run.service.calls), list(run.printed), list(run.paged)
    assert len(calls) >= 4, "the run should exercise the service"

    for k in range(1, len(calls) + 1):
        run.reset(fail_at=k)
        obj = make()
        with pytest.raises(ServiceFailure) as caught:
            act(obj)
        assert caught.value is run.service.raised, k
        assert run.service.calls == calls[:k], k
        assert run.printed == [line for line in printed if line[0] < k], k
        assert run.paged == [], k
        assert getattr(obj, P + "need_daemon_restart") is flag(calls[:k]), k
    assert paged == ([len(calls)] if method.startswith("show") else [])


def test_construction_failing_at_each_call(run):
    def construct():
        events, groups = ["user-added", "x", "file-opened", "x"], ["auth", "y"]
        try:
            return Z(events, groups), events, groups
        except ServiceFailure:
            return None, events, groups

    run.reset()
    obj, events, groups = construct()
    calls, printed = list(run.service.calls), list(run.printed)
    assert [c[0] for c in calls] == ["get_group_ids", "get_event_ids", "get_event_ids_ex", "get_group_ids_ex"]
    for k in range(1, len(calls) + 1):
        run.reset(fail_at=k)
        obj, events, groups = construct()
        assert obj is None and run.service.calls == calls[:k]
        assert run.printed == [line for line in printed if line[0] < k]
        # removals already made stay made in the caller's lists
        assert groups == (["auth", "y"] if k == 1 else ["auth"])
        assert events == (["user-added", "x", "file-opened", "x"] if k <= 2 else ["user-added", "file-opened"])


def test_failing_action_keeps_the_flag_and_earlier_changes(run):
    """The action itself raising (here disable_event) is a service failure like any other."""
    run.reset()
    obj = bare(["user-added", "modifying-file"])
    run.service.fail_at = 4  # is_event_enabled, disable_event, is_event_enabled, disable_event
    with pytest.raises(ServiceFailure):
        obj.disable()
    assert run.service.enabled["user-added"] == 0 and "modifying-file" not in ENABLED
    assert run.service.enabled.get("modifying-file", 1) == 1
    assert getattr(obj, P + "need_daemon_restart") is True and run.printed == []
