"""The figures as text tables (GitHub Markdown, readable in a terminal too)."""
from __future__ import annotations

from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from measure import Result

OWN_SHARE_TARGET = 0.10


def duration(ns: float) -> str:
    """A duration with three significant digits in a fitting unit."""
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def size_text(n_bytes: float) -> str:
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n_bytes >= scale:
            return f"{n_bytes / scale:.3g} {unit}"
    return f"{n_bytes:.0f} B"


def growth(previous: Optional[float], current: float) -> str:
    if previous is None or previous <= 0:
        return ""
    return f"×{current / previous:.3g}"


def table(rows: Sequence[Sequence[str]], header: Sequence[str], right: Iterable[int] = ()) -> str:
    right = set(right)
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(str(c).rjust(w) if i in right else str(c).ljust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":") if i in right else ("-" * (w + 2)) for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), rule, *(line(row) for row in rows)])


HEADER = ("method", "selection", "events", "median", "spread", "growth", "outside", "own", "own %",
          "own growth", "peak mem", "samples")


def results_table(results: List[Result]) -> str:
    """One service: a row per method and size, sizes ascending within a method."""
    rows = []
    previous: Dict[str, Tuple[float, float]] = {}
    for result in sorted(results, key=lambda r: (_method_order(results, r.method), r.size)):
        last_total, last_own = previous.get(result.method, (None, None))
        share = result.own_share
        flag = " ◀" if share > OWN_SHARE_TARGET else ""
        rows.append((
            result.method, result.selection, f"{result.size:,}", duration(result.median),
            f"{result.spread:.0%}", growth(last_total, result.median), duration(result.outside),
            duration(result.own), f"{share:.1%}{flag}", growth(last_own, result.own),
            size_text(result.peak_bytes) + ("ʳ" if result.peak_source != "traced" else ""),
            f"{len(result.clean_ns)}×{result.inner}",
        ))
        previous[result.method] = (result.median, result.own)
    return table(rows, HEADER, right=range(2, len(HEADER)))


def _method_order(results: List[Result], method: str) -> int:
    order = []
    for r in results:
        if r.method not in order:
            order.append(r.method)
    return order.index(method)


def breakdown_table(results: List[Result]) -> str:
    """Per method: every outside operation with its calls and time, per call of the method."""
    rows = []
    for result in results:
        for key, calls in result.calls.items():
            ns = result.call_ns[key]
            rows.append((result.method, key, f"{calls:,.0f}", duration(ns), duration(ns / calls) if calls else ""))
        rows.append((result.method, "(module's own)", "", duration(result.own), ""))
    return table(rows, ("method", "outside operation", "calls", "time", "per call"), right=(2, 3, 4))


def unexpected_calls(results: List[Result]) -> List[str]:
    """Lines naming outside calls a method made beyond what it is expected to make."""
    lines = []
    for result in results:
        if result.other_keys:
            lines.append(f"{result.service}, {result.method}, {result.size:,} events: "
                         f"{', '.join(result.other_keys)} ({duration(statistics_median(result.other_ns))} per call, "
                         f"counted as the module's own)")
    return lines


def statistics_median(values: List[float]) -> float:
    values = sorted(values)
    n = len(values)
    return (values[n // 2] + values[(n - 1) // 2]) / 2 if n else 0.0
