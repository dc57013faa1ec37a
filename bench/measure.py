"""Measuring one scenario: clean runs for the time, timed runs for the outside
share, one traced run for the peak memory.

Peak memory is what tracemalloc reports as the highest total of Python
allocations during one call, above what was allocated before it.  Tracing
slows allocation-heavy code down many times over, so for calls slower than
`Settings.trace_limit_s` the peak is taken from the clean runs instead: the
growth of the process's resident set (its high-water mark, reset before the
call) over the resident set before it.  Free memory is handed back to the
system first (malloc_trim), so that the call has to map what it uses; the
figure counts whole pages and includes memory allocated outside Python's
allocators.
"""
from __future__ import annotations

import contextlib
import ctypes
import gc
import math
import statistics
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Dict, List, Tuple

from scenarios import Environment, Scenario
from timing import Ledger, outside_breakdown

_clock = time.perf_counter_ns


@dataclass
class Settings:
    repeats: int = 7            # samples wanted per mode
    min_sample_s: float = 0.02  # a sample repeats the call until it lasts this long...
    max_inner: int = 5000       # ...but not more often than this
    max_inner_prepared: int = 50  # nor, for runs that each need a fresh preparation, than this
    budget_s: float = 15.0      # fewer samples when one mode would take longer than this
    keep_slow_pilot_s: float = 1.0  # a first run slower than this counts as a sample
    trace_limit_s: float = 5.0  # slower calls get their peak memory from the resident set


@dataclass
class Result:
    service: str
    size: int
    method: str
    selection: str
    inner: int = 1
    clean_ns: List[float] = field(default_factory=list)      # per call, one per sample
    mandated_ns: List[float] = field(default_factory=list)   # per call, corrected for the timers
    other_ns: List[float] = field(default_factory=list)      # per call, outside calls not expected of the method
    other_keys: List[str] = field(default_factory=list)
    calls: Dict[str, float] = field(default_factory=dict)    # per call of the method, by outside operation
    call_ns: Dict[str, float] = field(default_factory=dict)  # per call of the method, by outside operation
    peak_bytes: int = 0
    peak_source: str = "traced"  # or "resident set"

    @property
    def median(self) -> float:
        return statistics.median(self.clean_ns)

    @property
    def spread(self) -> float:
        """(slowest - fastest) / median of the clean samples."""
        return (max(self.clean_ns) - min(self.clean_ns)) / self.median if self.median else 0.0

    @property
    def outside(self) -> float:
        return statistics.median(self.mandated_ns)

    @property
    def own(self) -> float:
        return max(0.0, self.median - self.outside)

    @property
    def own_share(self) -> float:
        return self.own / self.median if self.median else 0.0


def _sample(env: Environment, scenario: Scenario, inner: int, ledger: Ledger = None) -> Tuple[int, int]:
    """Total nanoseconds of `inner` calls (preparation untimed and not in the
    ledger), and the most the resident set grew during one of them.

    The collector runs before the sample and is off during it, so that a
    collection does not land on whichever call happens to trigger it.
    """
    total = 0
    growth = 0
    suspended = ledger.suspended if ledger else contextlib.nullcontext
    with env.installed(ledger):
        with suspended():
            state = scenario.prepare(env)
        gc.collect()
        gc.disable()
        try:
            if env.service.kind in scenario.repeatable:
                run = scenario.run
                before = _reset_resident_peak()
                start = _clock()
                for _ in range(inner):
                    run(state)
                total = _clock() - start
                growth = _resident_peak() - before
            else:
                for i in range(inner):
                    if i:
                        with suspended():
                            state = scenario.prepare(env)
                    before = _reset_resident_peak()
                    start = _clock()
                    scenario.run(state)
                    total += _clock() - start
                    growth = max(growth, _resident_peak() - before)
        finally:
            gc.enable()
    return total, max(0, growth)


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


try:
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None


def _reset_resident_peak() -> int:
    """Reset the resident-set high-water mark; returns the resident set (bytes)."""
    if _malloc_trim is not None:
        _malloc_trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return _status_kib("VmRSS:") * 1024
    except OSError:
        return 0


def _resident_peak() -> int:
    try:
        return _status_kib("VmHWM:") * 1024
    except OSError:
        return 0


def _peak(env: Environment, scenario: Scenario) -> int:
    with env.installed():
        state = scenario.prepare(env)
        gc.collect()
        tracemalloc.start()
        try:
            base = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            scenario.run(state)
            return tracemalloc.get_traced_memory()[1] - base
        finally:
            tracemalloc.stop()


def measure(env: Environment, scenario: Scenario, settings: Settings, timer_cost_ns: float,
            repeats: int = None) -> Result:
    repeats = repeats or settings.repeats
    result = Result(env.service.kind, env.tree.size, scenario.name, scenario.selection)

    # Pilot runs: the first one also warms up (caches, lazily loaded code);
    # then raise the count until a sample is long enough, as timeit does.
    pilot, pilot_growth = _sample(env, scenario, 1)
    kept = pilot >= settings.keep_slow_pilot_s * 1e9
    repeatable = env.service.kind in scenario.repeatable
    limit = settings.max_inner if repeatable else settings.max_inner_prepared
    target = settings.min_sample_s * 1e9
    inner, elapsed = 1, pilot
    if not kept:
        elapsed = _sample(env, scenario, 1)[0]
        while elapsed < target and inner < limit:
            inner = min(limit, max(inner * 2, math.ceil(inner * target / max(elapsed, 1))))
            elapsed = _sample(env, scenario, inner)[0]
    one_call = elapsed / inner
    samples = max(1, min(repeats, int(settings.budget_s * 1e9 // max(one_call * inner, 1))))
    result.inner = inner
    growths = []
    if kept:
        result.clean_ns.append(pilot)
        growths.append(pilot_growth)
    while len(result.clean_ns) < samples:
        total, growth = _sample(env, scenario, inner)
        result.clean_ns.append(total / inner)
        growths.append(growth)

    # Outside calls vary less than the whole; slow runs get half the samples.
    ledger = Ledger()
    calls: Dict[str, List[float]] = {}
    call_ns: Dict[str, List[float]] = {}
    for _ in range(samples if one_call * inner < 1e9 else max(1, samples // 2)):
        ledger.reset()
        _sample(env, scenario, inner, ledger)
        split = outside_breakdown(ledger, scenario.mandated)
        corrected = split["mandated_ns"] - split["mandated_calls"] * timer_cost_ns
        result.mandated_ns.append(max(0.0, corrected) / inner)
        result.other_ns.append(split["other_ns"] / inner)
        result.other_keys = sorted(set(result.other_keys) | set(split["other_keys"]))
        for key, n in ledger.calls.items():
            calls.setdefault(key, []).append(n / inner)
            call_ns.setdefault(key, []).append(ledger.nanoseconds[key] / inner)
    result.calls = {key: statistics.median(v) for key, v in sorted(calls.items())}
    result.call_ns = {key: statistics.median(v) for key, v in sorted(call_ns.items())}
    if one_call < settings.trace_limit_s * 1e9:
        result.peak_bytes = _peak(env, scenario)
    else:
        result.peak_bytes, result.peak_source = max(growths), "resident set"
    return result
