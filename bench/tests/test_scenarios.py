"""The scenarios run the real module against both services on a small tree;
the outside calls the ledger counts must be the ones each method has to make."""
import os
import pydoc
import sys

import pytest

admin_events = pytest.importorskip("zorna_admin_events.admin_events")

from measure import Settings, measure  # noqa: E402
from scenarios import Environment, scenarios  # noqa: E402
from services import make_service  # noqa: E402
from timing import Ledger  # noqa: E402

SERVICES = ["memory", "stand-in"]


@pytest.fixture(params=SERVICES)
def env(request, small_tree, standin_root):
    if request.param == "stand-in":
        pytest.importorskip("zorna_events")
        standin_root(small_tree)
    environment = Environment(make_service(request.param, small_tree))
    yield environment
    environment.service.reset()


def by_name():
    return {s.name: s for s in scenarios(show_events_count=4, change_events_count=3)}


def counted(env, name):
    scenario = by_name()[name]
    ledger = Ledger()
    with env.installed(ledger):
        with ledger.suspended():
            state = scenario.prepare(env)
        scenario.run(state)
    return ledger.calls


def test_installed_puts_everything_back_even_after_a_failure(env):
    before = (pydoc.pipepager, os.system, sys.stdout, dict(vars(admin_events)),
              {k: v for k, v in vars(admin_events.ZornaAdminEvents).items() if "__" in k})
    with pytest.raises(RuntimeError):
        with env.installed(Ledger()):
            assert admin_events.json is not sys.modules["json"]
            raise RuntimeError
    after = (pydoc.pipepager, os.system, sys.stdout, dict(vars(admin_events)),
             {k: v for k, v in vars(admin_events.ZornaAdminEvents).items() if "__" in k})
    assert after == before


def test_scanning_asks_the_catalogue_once_per_event_file(env, small_tree):
    calls = counted(env, "show_all_groups")
    n = small_tree.size
    assert calls["service.get_event_ids"] == n
    assert calls["service.is_event_enabled"] == n
    assert calls["pathlib.is_file"] == n and calls["pager.pipepager"] == 1
    assert env.recorder.characters > 0


def test_changing_methods_change_only_the_prepared_events(env, small_tree):
    # 3 spread events (all enabled in the tree) and one group of 100, a tenth of it disabled.
    enable, disable = counted(env, "enable"), counted(env, "disable")
    assert enable["service.enable_event"] == disable["service.disable_event"] == 10
    assert enable["service.is_event_enabled"] == 103 + 3  # visits, then the listing of the named events
    facility = counted(env, "set_facility")
    assert facility["service.set_event_param"] == 103


def test_show_events_reads_both_files_for_every_event(env):
    calls = counted(env, "show_events")
    # Defaults file and current configuration per event, plus the translations once.
    assert calls["json.load"] == 4 * 2 + 1
    assert calls["pager.pipepager"] == 1


@pytest.mark.parametrize("name, store_calls", [("set_properties (ordinary)", 1), ("set_properties (special)", 2)])
def test_set_properties_stores_audit_rules_only_for_path_events(env, name, store_calls):
    assert counted(env, name)["service.set_event_param"] == store_calls


@pytest.mark.parametrize("trace_limit_s, source", [(10.0, "traced"), (0.0, "resident set")])
def test_measure_fills_in_every_figure(env, trace_limit_s, source):
    settings = Settings(repeats=2, min_sample_s=0.001, budget_s=5, trace_limit_s=trace_limit_s)
    for name in ("show_groups", "restart_daemons", "enable"):
        result = measure(env, by_name()[name], settings, timer_cost_ns=0)
        assert len(result.clean_ns) == len(result.mandated_ns) == 2
        assert result.median > 0 and 0 <= result.own_share <= 1 and result.peak_source == source
        assert result.peak_bytes > 0 or source != "traced"
        assert not result.other_keys


def test_compare_runs_both_sides_on_the_same_input(capsys):
    import compare

    # It stops with a message if a module step and its Python loop disagree.
    assert compare.main(["--size", "100", "--seconds", "0.005"]) == 0
    out = capsys.readouterr().out
    assert out.count("\n|") == 9 and "descriptions of all events" in out
