"""Measure every public method of ZornaAdminEvents on synthetic trees of
several sizes, with the in-memory service and with the stand-in service, and
print the figures as tables.

    python bench/run.py [--sizes 100,1000,10000] [--services memory,stand-in]
                        [--methods show_groups,...] [--repeats N] [--json FILE]

Run against an installed (non-editable, Release) build of the module; see
bench/README.md.  bench/run builds and installs it first.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import shutil
import sys
import tempfile
import time
from dataclasses import asdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import tree as trees  # noqa: E402
from measure import Settings, measure  # noqa: E402
from report import breakdown_table, results_table, unexpected_calls  # noqa: E402
from scenarios import Environment, scenarios  # noqa: E402
from services import make_service  # noqa: E402
from timing import calibrate  # noqa: E402

DEFAULT_REPEATS = {100: 9, 1000: 7, 10000: 3}


def parse_arguments(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100,1000,10000", help="tree sizes (events), comma-separated")
    parser.add_argument("--services", default="memory,stand-in", help="memory, stand-in or both")
    parser.add_argument("--methods", default="", help="only these methods (comma-separated names)")
    parser.add_argument("--repeats", type=int, default=0, help="samples per mode (default: 9, 7, 3 by size)")
    parser.add_argument("--budget", type=float, default=6.0,
                        help="fewer samples when the samples of one method and size would take longer (seconds)")
    parser.add_argument("--show-events", type=int, default=10, help="events selected for show_events")
    parser.add_argument("--change-events", type=int, default=10, help="events selected for the changing methods")
    parser.add_argument("--detail-size", type=int, default=1000, help="size whose per-call breakdown is printed")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    parser.add_argument("--keep-trees", type=Path, help="build the trees here and keep them")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_arguments(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    kinds = [s for s in args.services.split(",") if s]
    wanted = {m.strip() for m in args.methods.split(",") if m.strip()}
    table = [s for s in scenarios(args.show_events, args.change_events)
             if not wanted or s.name in wanted or s.name.split(" ")[0] in wanted]
    timer_cost = calibrate()
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
          f"timer cost per outside call {timer_cost:.0f} ns", flush=True)

    base = args.keep_trees or Path(tempfile.mkdtemp(prefix="zae-trees-"))
    results = []
    started = time.monotonic()
    try:
        for size in sizes:
            root = base / f"tree-{size}"
            if root.exists():
                shutil.rmtree(root)
            tree = trees.build(root, size)
            for kind in kinds:
                settings = Settings(repeats=args.repeats or DEFAULT_REPEATS.get(size, 3), budget_s=args.budget)
                env = Environment(make_service(kind, tree))
                for scenario in table:
                    begun = time.monotonic()
                    result = measure(env, scenario, settings, timer_cost)
                    results.append(result)
                    print(f"  {kind:8s} {size:>6,} {scenario.name:26s} {result.median / 1e6:12.3f} ms "
                          f"own {result.own_share:6.1%}  ({time.monotonic() - begun:.1f} s)", flush=True)
                shutil.rmtree(env.scratch, ignore_errors=True)
            if not args.keep_trees:
                shutil.rmtree(root, ignore_errors=True)
    finally:
        if not args.keep_trees:
            shutil.rmtree(base, ignore_errors=True)

    print()
    for kind in kinds:
        mine = [r for r in results if r.service == kind]
        print(f"## {kind} service\n")
        print(results_table(mine))
        if any(r.peak_source != "traced" for r in mine):
            print("\nʳ growth of the resident set, a lower bound: calls too slow to run under tracemalloc")
        print()
    for kind in kinds:
        detail = [r for r in results if r.service == kind and r.size == args.detail_size]
        if detail:
            print(f"## Outside calls per method call, {kind} service, {args.detail_size:,} events\n")
            print(breakdown_table(detail))
            print()
    extra = unexpected_calls(results)
    if extra:
        print("## Outside calls beyond those expected of the method\n")
        print("\n".join(f"- {line}" for line in extra))
        print()
    peak_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"Whole run: {time.monotonic() - started:.0f} s, peak resident set {peak_rss / 1024:.0f} MiB")
    if args.json:
        args.json.write_text(json.dumps({"timer_cost_ns": timer_cost, "results": [asdict(r) for r in results]},
                                        indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
