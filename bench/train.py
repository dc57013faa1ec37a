"""The training run of a profile-guided build (debian/rules): every step and
public method that compare.py times, run by the module alone (no Cython
build, no timing) on a synthetic tree with the in-memory service, so that
the compiler learns which branches and calls of the module are the common
ones.  300 events (the figures are taken at 1,000 and 2,000), a few seconds.

    PYTHONPATH=<site with the instrumented module> python -P bench/train.py [--size 300] [--rounds 20]
"""
from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import compare  # noqa: E402
import tree as trees  # noqa: E402
from scenarios import Environment, admin_events  # noqa: E402
from services import make_service  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=20)
    args = parser.parse_args(argv)
    base = Path(tempfile.mkdtemp(prefix="zae-train-"))
    try:
        tree = trees.build(base / "tree", args.size)
        env = Environment(make_service("memory", tree))
        with env.installed(target=admin_events):
            obj = admin_events.ZornaAdminEvents(None, list(tree.group_ids))
            runs = [entry[-1] for entry in compare.steps(admin_events, tree, obj)]
            runs += [entry[-1] for entry in compare.public_methods(admin_events, tree, env.scratch)]
            for _ in range(args.rounds):
                compare.results_of([(run,) for run in runs])
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(base.with_name(base.name + "-scratch"), ignore_errors=True)
    print(f"trained: {len(runs)} steps and methods x {args.rounds} rounds, {args.size:,} events")
    return 0


if __name__ == "__main__":
    sys.exit(main())
