"""Instructions per call of the steps that compare.py times, counted by
valgrind's callgrind instead of timed: the count does not depend on what
else the machine runs, so small differences show where timings drown in noise.

    python bench/instructions.py [--size 1000]

For each of the module, the plain Python steps and their Cython build, a
child process runs under callgrind with collection off except inside the
builtin eval(): each step runs `reps` times inside one eval() call, and
callgrind writes one dump per call.  The figure is the dump's total divided
by `reps` (the loop's own cost, a few dozen instructions, included alike).
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import compare  # noqa: E402
from report import table  # noqa: E402

# Calls per step: enough for the loop to dwarf eval()'s own cost.
REPS = {"descriptions of all events": 5, "events of one group": 5, "listing lines": 50, "sort settings": 500,
        "render settings": 500, "audit rule lines": 500, "method frame": 20000}


# Calls per public method (the others: 5).
PUBLIC_REPS = {"set_properties (ordinary)": 50, "set_properties (special)": 50, "export_config": 20,
               "import_config": 20, "restart_daemons": 2000}


# Where the interpreter's static symbols (builtin_eval) are stripped, as in
# Debian's, the loop runs in this function compiled with Cython instead, and
# callgrind counts within its wrapper, found by name in the built module.
LOOP = "def repeat(run, n):\n    for _ in range(n):\n        run()\n"
LOOP_FUNCTION = "__pyx_pw_10bench_loop_1repeat"


def child(label: str, size: int, public: bool, within: str) -> list:
    import tree as trees
    from scenarios import Environment
    from services import make_service

    impl = {"module": compare.admin_events, "plain Python": compare.reference}.get(label) or compare.cython_build()
    base = Path(tempfile.mkdtemp(prefix="zae-instructions-"))
    try:
        tree = trees.build(base / "tree", size)
        env = Environment(make_service("memory", tree))
        with env.installed(target=impl):
            obj = impl.ZornaAdminEvents(None, list(tree.group_ids))
            runs = [(name, REPS[name], run) for name, _unit, run in compare.steps(impl, tree, obj)]
            if public:
                runs += [(name, PUBLIC_REPS.get(name, 5), run)
                         for name, _selection, run in compare.public_methods(impl, tree, env.scratch)]
            repeat = compare.cython_build("bench_loop", LOOP).repeat if within == "loop" else None
            for name, reps, run in runs:
                loop = compile(f"for _ in range({reps}): run()", name, "exec")
                run()  # warm: the first call may fill caches of the interpreter
                repeat(run, reps) if repeat else eval(loop, {"run": run})
            return [(name, reps) for name, reps, _run in runs]
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(base.with_name(base.name + "-scratch"), ignore_errors=True)


# Valgrind counts every iteration of a `rep stosb` or `rep movsb` as an
# instruction, and glibc's memset and memcpy use them above 2 KiB: a 64 KiB
# memset counts 65,536 instructions for about 1 us (vector stores: 3,700 for
# the same 1 us).  The Cython build's set() per scanned file is a third of its
# count that way, which made the module look twice as fast as it is on those
# steps.  glibc is told to use its vector loops at every size, so that the
# count of a memset or memcpy is in proportion to its time.
_TUNABLES = "glibc.cpu.x86_rep_stosb_threshold=0x7fffffffffffffff:glibc.cpu.x86_rep_movsb_threshold=0x7fffffffffffffff"
NO_REP_STRINGS = ":".join(filter(None, (os.environ.get("GLIBC_TUNABLES"), _TUNABLES)))

# With --simulate: callgrind's model of the caches and branch predictors, and
# an estimate of cycles from it (the weights valgrind's documentation uses:
# 10 cycles a first-level miss, 100 a last-level miss, and 10 a mispredicted
# branch), for steps whose time and instruction counts disagree.
SIMULATE = ["--cache-sim=yes", "--branch-sim=yes"]


def estimated_cycles(events: dict) -> float:
    get = events.get
    return (get("Ir", 0) + 10 * (get("I1mr", 0) + get("D1mr", 0) + get("D1mw", 0))
            + 100 * (get("ILmr", 0) + get("DLmr", 0) + get("DLmw", 0)) + 10 * (get("Bcm", 0) + get("Bim", 0)))


def count(label: str, size: int, out_dir: Path, public: bool, within: str = "builtin_eval", simulate=False):
    """Instructions per call of each step; with `simulate`, every event of
    callgrind's simulation per call instead (a dict per step)."""
    prefix = out_dir / re.sub(r"\W", "-", label)
    function = LOOP_FUNCTION if within == "loop" else within
    command = ["valgrind", "--tool=callgrind", *(SIMULATE if simulate else []), "--collect-atstart=no",
               f"--toggle-collect={function}",
               f"--dump-after={function}", f"--callgrind-out-file={prefix}.%p", sys.executable, __file__,
               "--child", label, "--size", str(size), "--within", within] + (["--public"] if public else [])
    # One hash seed for all: the probes of a dict look-up depend on it.
    result = subprocess.run(command, capture_output=True, text=True, check=True, cwd="/",
                            env={**os.environ, "PYTHONHASHSEED": "0", "GLIBC_TUNABLES": NO_REP_STRINGS})
    names = json.loads(result.stdout.strip().splitlines()[-1])
    dumps = sorted(out_dir.glob(prefix.name + ".*.*"), key=lambda p: int(p.name.rsplit(".", 1)[1]))
    totals = []
    for dump in dumps:
        text = dump.read_text()
        match = re.search(r"^(?:summary|totals): ([\d ]+)", text, re.M)
        values = [int(v) for v in match.group(1).split()]
        if simulate:
            events = re.search(r"^events: (.+)$", text, re.M).group(1).split()
            totals.append(dict(zip(events, values)))
        else:
            totals.append(values[0])
    # Imports may call eval() before (typing, dataclasses): the steps are the last dumps.
    if len(totals) < len(names):
        raise SystemExit(f"{label}: {len(totals)} dumps for {len(names)} steps")
    totals = totals[-len(names):]
    if simulate:
        return {name: {event: v / reps for event, v in total.items()} for (name, reps), total in zip(names, totals)}
    return {name: total / reps for (name, reps), total in zip(names, totals)}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Instructions per call of the module's steps, Python and Cython.")
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--public", action="store_true", help="count the public methods too")
    parser.add_argument("--within", default="builtin_eval",
                        help="the function whose calls are counted: the interpreter's eval() (builtin_eval), or "
                             "'loop' (a loop compiled with Cython) for an interpreter without its static symbols, "
                             "as Debian's")
    parser.add_argument("--simulate", action="store_true",
                        help="simulate the caches and branch predictors: misses per call and estimated cycles")
    parser.add_argument("--without-python", action="store_true",
                        help="count the module and the Cython build only (the plain Python steps take longest)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        real, sys.stdout = sys.stdout, open(os.devnull, "w")
        try:
            names = child(args.child, args.size, args.public, args.within)
        finally:
            sys.stdout.close()
            sys.stdout = real
        print(json.dumps(names))
        return 0
    compare.cython_build()  # built once, outside valgrind
    if args.within == "loop":
        compare.cython_build("bench_loop", LOOP)
    out_dir = Path(tempfile.mkdtemp(prefix="zae-callgrind-"))
    try:
        labels = ("module", "Cython") if args.simulate or args.without_python else compare.IMPLEMENTATIONS
        counts = {label: count(label, args.size, out_dir, args.public, args.within, args.simulate) for label in labels}
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    step_names = list(REPS)
    if args.simulate:
        report_simulated(counts, args.size)
        return 0
    print(f"{args.size:,} events, in-memory service; instructions per call (callgrind)\n")
    report(counts, "step", step_names, "steps", lambda name: name != "method frame")
    if args.public:
        print()
        report(counts, "method", [name for name in counts["module"] if name not in REPS], "public methods")
    return 0


def report(counts, what, names, mean_over, in_mean=lambda name: True):
    rows, ratios = [], []
    python_counted = "plain Python" in counts
    for name in names:
        module, cython = counts["module"][name], counts["Cython"][name]
        python = counts["plain Python"][name] if python_counted else None
        rows.append((name, f"{module:,.0f}", f"{python:,.0f}" if python else "", f"{cython:,.0f}",
                     f"{module / python:.2f}" if python else "", f"{module / cython:.3f}"))
        if in_mean(name):
            ratios.append((module / python if python else 1.0, module / cython))
    print(table(rows, (what, "module", "plain Python", "Cython", "module / Python", "module / Cython"),
                right=range(1, 6)))
    of_python = f"{compare.geometric_mean([r[0] for r in ratios]):.2f} of plain Python, " if python_counted else ""
    print(f"\ngeometric mean over the {mean_over}: {of_python}{compare.geometric_mean([r[1] for r in ratios]):.3f} "
          f"of Cython")


def report_simulated(counts, size):
    """Per step and method: the module's figures against Cython's."""
    print(f"{size:,} events, in-memory service; per call, callgrind's cache and branch simulation\n")
    rows, ratios = [], {"Ir": [], "cycles": []}
    for name in counts["module"]:
        module, cython = counts["module"][name], counts["Cython"][name]
        row = [name]
        for label, events in (("module", module), ("Cython", cython)):
            row += [f"{events['Ir']:,.0f}", f"{events.get('D1mr', 0) + events.get('D1mw', 0):,.0f}",
                    f"{events.get('DLmr', 0) + events.get('DLmw', 0):,.0f}",
                    f"{events.get('Bcm', 0) + events.get('Bim', 0):,.0f}"]
        ir, cycles = module["Ir"] / cython["Ir"], estimated_cycles(module) / estimated_cycles(cython)
        row += [f"{ir:.3f}", f"{cycles:.3f}"]
        if name != "method frame":
            ratios["Ir"].append(ir)
            ratios["cycles"].append(cycles)
        rows.append(row)
    header = ["step or method"] + [f"{what} ({label})" for label in ("module", "Cython")
                                   for what in ("Ir", "D1 misses", "LL misses", "mispredicts")]
    print(table(rows, header + ["Ir module / Cython", "est. cycles module / Cython"], right=range(1, len(header) + 2)))
    print(f"\ngeometric mean: {compare.geometric_mean(ratios['Ir']):.3f} of Cython by instructions, "
          f"{compare.geometric_mean(ratios['cycles']):.3f} by estimated cycles")


if __name__ == "__main__":
    sys.exit(main())
