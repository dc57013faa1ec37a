"""Run one scenario over and over, for a profiler to watch.

    perf record -F 4000 --call-graph dwarf -o perf.data \
        python bench/repeat.py show_all_groups --size 1000 --service memory --seconds 10
    perf report -i perf.data --no-children --sort symbol

Only the measured calls run in the loop; the tree is built before it and
each preparation is made once per run, as in the benchmarks.
"""
from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import tree as trees  # noqa: E402
from scenarios import Environment, scenarios  # noqa: E402
from services import make_service  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Run one benchmark scenario in a loop.")
    parser.add_argument("method", help="scenario name, as in the tables")
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--service", default="memory")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--show-events", type=int, default=10)
    parser.add_argument("--change-events", type=int, default=10)
    args = parser.parse_args(argv)

    chosen = [s for s in scenarios(args.show_events, args.change_events) if s.name == args.method]
    if not chosen:
        parser.error(f"no scenario {args.method!r}")
    scenario = chosen[0]
    base = Path(tempfile.mkdtemp(prefix="zae-repeat-"))
    try:
        env = Environment(make_service(args.service, trees.build(base / "tree", args.size)))
        runs, busy = 0, 0.0
        with env.installed():
            state = scenario.prepare(env)
            deadline = time.monotonic() + args.seconds
            while time.monotonic() < deadline:
                if runs and env.service.kind not in scenario.repeatable:
                    state = scenario.prepare(env)
                start = time.perf_counter()
                scenario.run(state)
                busy += time.perf_counter() - start
                runs += 1
        print(f"{runs} runs of {scenario.name}, {busy / runs * 1e3:.3f} ms each", file=sys.stderr)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
