import json
import pathlib

import pytest

from timing import Ledger, calibrate, outside_breakdown


def test_only_the_outermost_timed_call_counts():
    ledger = Ledger()
    inner = ledger.wrap("json.loads", json.loads)
    outer = ledger.wrap("service.op", lambda text: inner(text))
    assert outer("[1]") == [1]
    assert inner("2") == 2
    assert dict(ledger.calls) == {"service.op": 1, "json.loads": 1}
    assert all(ns > 0 for ns in ledger.nanoseconds.values())


def test_a_failing_call_is_counted_and_does_not_block_later_ones():
    ledger = Ledger()
    failing = ledger.wrap("json.loads", json.loads)
    with pytest.raises(json.JSONDecodeError):
        failing("not json")
    failing("1")
    assert ledger.calls["json.loads"] == 2


def test_suspended_calls_pass_through_uncounted():
    ledger = Ledger()
    timed = ledger.wrap("x.f", lambda: 5)
    with ledger.suspended():
        assert timed() == 5
    assert not ledger.calls
    timed()
    assert ledger.calls["x.f"] == 1


def test_module_proxy_keeps_one_object_per_operation():
    ledger = Ledger()
    source = type("Service", (), {"enable_event": staticmethod(lambda e: e), "other": 1})
    proxy = ledger.module_proxy("service", source, ["enable_event"])
    assert proxy.enable_event is proxy.enable_event
    assert proxy.enable_event("e") == "e" and ledger.calls["service.enable_event"] == 1
    assert not hasattr(proxy, "other")


def test_json_proxy_times_the_three_functions_and_keeps_the_decoder():
    ledger = Ledger()
    proxy = ledger.json_proxy()
    assert proxy.decoder.JSONDecodeError is json.JSONDecodeError
    proxy.dumps(proxy.loads("[1]"), ensure_ascii=False)
    assert set(ledger.calls) == {"json.loads", "json.dumps"}


def test_paths_derived_from_a_timed_path_are_timed(tmp_path):
    (tmp_path / "group").mkdir()
    (tmp_path / "group" / "event").write_text('{"a": 1}')
    ledger = Ledger()
    timed_path = ledger.path_class()
    base = timed_path(tmp_path)
    group = base / "group"
    entries = list(group.iterdir())
    assert type(group) is timed_path and [type(e) for e in entries] == [timed_path]
    assert entries[0].is_file() and entries[0].name == "event" and group.exists()
    with entries[0].open() as f:
        assert ledger.json_proxy().load(f) == {"a": 1}
    assert dict(ledger.calls) == {
        "pathlib.__truediv__": 1, "pathlib.iterdir": 1, "pathlib.iterdir.next": 2, "pathlib.is_file": 1,
        "pathlib.name": 1, "pathlib.exists": 1, "pathlib.open": 1, "file.__enter__": 1, "file.__exit__": 1,
        "json.load": 1,
    }
    assert isinstance(group, pathlib.PurePosixPath) and str(group) == str(tmp_path / "group")


def test_manager_factory_times_construction_and_both_methods():
    ledger = Ledger()
    seen = []

    class Manager:
        def export_config(self, path):
            seen.append(("export", path))

        def import_config(self, path):
            seen.append(("import", path))

    manager = ledger.manager_factory(Manager)()
    manager.export_config("a")
    manager.import_config("b")
    assert seen == [("export", "a"), ("import", "b")]
    assert dict(ledger.calls) == {"service.ZornaConfigManager": 1, "service.export_config": 1,
                                  "service.import_config": 1}


def test_calibration_is_a_small_positive_cost():
    assert 0 <= calibrate(20_000) < 2_000


def test_breakdown_separates_calls_not_expected_of_the_method():
    ledger = Ledger()
    ledger.nanoseconds.update({"a.x": 10, "b.y": 5, "c.z": 1})
    ledger.calls.update({"a.x": 2, "b.y": 1, "c.z": 1})
    split = outside_breakdown(ledger, {"a.x", "c.z"})
    assert (split["mandated_ns"], split["mandated_calls"], split["other_ns"], split["other_keys"]) == (11, 3, 5, ["b.y"])
