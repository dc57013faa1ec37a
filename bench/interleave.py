"""The module against its Cython build by time, with the two interleaved.

compare.py times each build in turn, each figure the best of five samples;
on a shared machine a neighbour's burst can land on one build's figures
and not the other's.  Here every step and public method of compare.py is
timed in rounds: in each round the module and the Cython build (and, with
--python, plain Python) are sampled one right after the other, in an order
that alternates from round to round, and the ratio is taken within the
round.  Reported per row: the median time of each build, the median of the
per-round ratios and their range (how noisy the row is), and per call the
share of the time spent in the kernel and the minor page faults (the part
of the time that instruction counts under callgrind do not see).

    python bench/interleave.py [--size 2000] [--rounds 9] [--seconds 0.1] [--python]
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import resource
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import compare  # noqa: E402
import reference  # noqa: E402
import tree as trees  # noqa: E402
from report import duration, table  # noqa: E402
from scenarios import Environment, admin_events  # noqa: E402
from services import make_service  # noqa: E402


# The rows named in issue 33's time target: construction, the listings,
# show_events, the changes, sorting and rendering.
ISSUE_SET = ("construction", "show_groups", "show_all_groups", "show_events", "enable", "set_facility",
             "set_priority", "set_properties (ordinary)", "set_properties (special)", "sort settings",
             "render settings")


def calibrate(function, seconds):
    """Calls per sample so that one sample lasts about `seconds`."""
    number, elapsed = 1, 0.0
    while True:
        start = time.thread_time()
        for _ in range(number):
            function()
        elapsed = time.thread_time() - start
        if elapsed >= seconds / 4 or number >= 1 << 20:
            return max(1, int(number * seconds / max(elapsed, 1e-9)))
        number *= 2


def sample(function, number, samples=3, collect=False):
    """(nanoseconds per call: best of `samples`, its kernel share, minor faults
    per call).  The collector is off during a sample, as timeit has it,
    unless `collect`."""
    best = None
    for _ in range(samples):
        gc.collect()
        if not collect:
            gc.disable()
        before = resource.getrusage(resource.RUSAGE_THREAD)
        start = time.thread_time_ns()
        for _ in range(number):
            function()
        elapsed = time.thread_time_ns() - start
        gc.enable()
        after = resource.getrusage(resource.RUSAGE_THREAD)
        system = after.ru_stime - before.ru_stime
        total = (after.ru_utime - before.ru_utime) + system
        faults = after.ru_minflt - before.ru_minflt
        figure = (elapsed / number, system / total if total else 0.0, faults / number)
        if best is None or figure[0] < best[0]:
            best = figure
    return best


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=0.05, help="length of one sample")
    parser.add_argument("--python", action="store_true", help="plain Python too")
    parser.add_argument("--parts", default="steps,public")
    parser.add_argument("--gc", action="store_true", help="leave the collector on during the samples")
    parser.add_argument("--only", default="", help="comma-separated row names to time (default: all)")
    args = parser.parse_args(argv)
    impls = {"module": admin_events, "Cython": compare.cython_build()}
    if args.python:
        impls["plain Python"] = reference
    labels = list(impls)
    base = Path(tempfile.mkdtemp(prefix="zae-interleave-"))
    rows = {}  # (part, name, input) -> {label: callable}
    try:
        tree = trees.build(base / "tree", args.size)
        env = Environment(make_service("memory", tree))
        with contextlib.ExitStack() as stack:
            for impl in impls.values():
                stack.enter_context(env.installed(target=impl))
            checked = {}
            for label, impl in impls.items():
                env.service.reset()
                obj = impl.ZornaAdminEvents(None, list(tree.group_ids))
                entries = compare.steps(impl, tree, obj)
                methods = compare.public_methods(impl, tree, env.scratch)
                checked[label] = compare.results_of(entries[:-1])
                if "steps" in args.parts:
                    for name, unit, run in entries:
                        rows.setdefault(("step", name, unit), {})[label] = run
                if "public" in args.parts:
                    for name, selection, run in methods:
                        rows.setdefault(("public", name, selection), {})[label] = run
            for label in labels[1:]:
                if checked[label] != checked["module"]:
                    raise SystemExit(f"the module and {label} disagree")
            only = set(filter(None, args.only.split(",")))
            if only:
                rows = {key: value for key, value in rows.items() if key[1] in only}
            numbers = {key: {label: calibrate(run, args.seconds) for label, run in runs.items()}
                       for key, runs in rows.items()}
            figures = {key: {label: [] for label in labels} for key in rows}
            for round_ in range(args.rounds):
                order = labels if round_ % 2 == 0 else labels[::-1]
                for key, runs in rows.items():
                    for label in order:
                        figures[key][label].append(sample(runs[label], numbers[key][label], collect=args.gc))
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(base.with_name(base.name + "-scratch"), ignore_errors=True)

    print(f"{args.size:,} events, in-memory service; {args.rounds} interleaved rounds, "
          f"each figure the best of 3 samples of {args.seconds * 1000:.0f} ms, collector "
          f"{'on' if args.gc else 'off'}; Python {sys.version.split()[0]}\n")
    out, ratios, named = [], {"step": [], "public": []}, {}
    for key, by_label in figures.items():
        module = [f[0] for f in by_label["module"]]
        cython = [f[0] for f in by_label["Cython"]]
        per_round = sorted(m / c for m, c in zip(module, cython))
        median_ratio = statistics.median(per_round)
        if key[1] != "method frame":
            ratios[key[0]].append(median_ratio)
        named[key] = median_ratio
        row = [key[0], key[1], key[2], duration(statistics.median(module)), duration(statistics.median(cython)),
               f"{median_ratio:.3f}", f"{per_round[0]:.2f}-{per_round[-1]:.2f}"]
        for label in ("module", "Cython"):
            row.append(f"{100 * statistics.median(f[1] for f in by_label[label]):.0f}%")
            row.append(f"{statistics.median(f[2] for f in by_label[label]):.2f}")
        if args.python:
            python = [f[0] for f in by_label["plain Python"]]
            row.append(f"{statistics.median(m / p for m, p in zip(module, python)):.3f}")
        out.append(row)
    header = ["part", "name", "input", "module", "Cython", "module / Cython", "range",
              "kernel (module)", "faults (module)", "kernel (Cython)", "faults (Cython)"]
    if args.python:
        header.append("module / Python")
    print(table(out, header, right=range(3, len(header))))
    for part, values in ratios.items():
        if values:
            print(f"\ngeometric mean of the medians, {part}: {compare.geometric_mean(values):.3f} of Cython "
                  f"(slowest {max(values):.2f})")
    issue = [r for (part, name, _), r in named.items() if name in ISSUE_SET]
    if issue:
        print(f"geometric mean of the medians over the rows of issue 33's set ({len(issue)}): "
              f"{compare.geometric_mean(issue):.3f} of Cython (slowest {max(issue):.2f})")
    both = ratios["step"] + ratios["public"]
    if ratios["step"] and ratios["public"]:
        print(f"geometric mean of the medians, steps and public methods: {compare.geometric_mean(both):.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
