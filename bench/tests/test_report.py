import pytest

from measure import Result
from report import breakdown_table, duration, growth, results_table, size_text, table


@pytest.mark.parametrize("ns, text", [(0, "0 ns"), (999, "999 ns"), (1000, "1 µs"), (1_234_567, "1.23 ms"),
                                      (12_345_678_901, "12.3 s")])
def test_durations_take_a_fitting_unit(ns, text):
    assert duration(ns) == text


@pytest.mark.parametrize("n, text", [(512, "512 B"), (2048, "2 KiB"), (3 << 20, "3 MiB")])
def test_sizes_take_a_fitting_unit(n, text):
    assert size_text(n) == text


@pytest.mark.parametrize("previous, current, text", [(None, 5, ""), (0, 5, ""), (2, 5, "×2.5"), (10, 1, "×0.1")])
def test_growth_factor(previous, current, text):
    assert growth(previous, current) == text


def test_table_columns_line_up():
    lines = table([("a", "1"), ("long name", "1234")], ("name", "n"), right=[1]).splitlines()
    assert len({len(line) for line in lines}) == 1
    assert lines[1].endswith(":|") and lines[2].endswith("    1 |")


def _result(method, size, clean, outside):
    r = Result("memory", size, method, "sel", clean_ns=list(clean), mandated_ns=[outside] * len(clean))
    r.calls, r.call_ns = {"service.get_event_ids": 10}, {"service.get_event_ids": outside}
    return r


def test_result_figures():
    r = _result("m", 100, [100, 120, 80], 60)
    assert (r.median, r.outside, r.own, r.own_share) == (100, 60, 40, 0.4)
    assert r.spread == pytest.approx(0.4)
    # Timing noise can put the outside time above the whole: the own time is then nil.
    assert _result("m", 100, [50], 60).own == 0


def test_results_table_orders_by_method_then_size_and_flags_high_shares():
    rows = results_table([_result("b", 1000, [400], 380), _result("a", 100, [10], 9), _result("b", 100, [100], 50),
                          _result("a", 1000, [100], 95)]).splitlines()[2:]
    assert [row.split("|")[1].strip() for row in rows] == ["b", "b", "a", "a"]
    assert "×4" in rows[1] and "50.0% ◀" in rows[0] and "5.0%" in rows[1] and "◀" not in rows[1]


def test_breakdown_lists_each_operation_and_the_own_time():
    text = breakdown_table([_result("m", 100, [100], 60)])
    assert "service.get_event_ids" in text and "6 ns" in text and "(module's own)" in text
