"""Leak hunt for the admin_events extension, in the manner of CPython's `-R`.

Every scenario of scenarios.py (each drives one method of ZornaAdminEvents, or
the module frame, through one success or error path) is run in batches of
`--loops` calls: `--warmup` batches first, then `--repeat` measured batches.
After each batch the garbage collector and the type cache are cleared, and the
interpreter's total reference count (sys.gettotalrefcount, debug builds only),
its allocated memory blocks and the process's open file descriptors are read.
The deltas of the measured batches must all be zero.  A leak of one reference
per call shows as `--loops` per batch, so a strict zero keeps no room for a
leak to hide in; caches that fill once are what the warm-up batches are for.

A scenario must also end the way it is meant to (its result or its
exception), so that it keeps driving the path it names; a body still to be
written (NotImplementedError) is counted as a stub and fails only with
--strict.  Unclosed files (ResourceWarning) fail the scenario as well.

    python hunt.py [--loops N] [--warmup N] [--repeat N] [--strict] [-k SUBSTRING] [--list] [--outcomes-only]

--outcomes-only runs every scenario once and checks its outcome alone, on any
interpreter: tools/check-sanitizers drives the same paths under ASan with it.

Exit status: 0 when nothing grew and every outcome was as meant, 1 otherwise.
"""
import argparse
import gc
import os
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.dirname(HERE))  # the test suite's conftest (FakeEvents, Tree)

import scenarios  # noqa: E402


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def settle():
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


OFFSET = 10 ** 12


def read(slot):
    """Store the three counts into `slot`, a list that already holds three ints.

    Each count replaces a distinct int that nothing else holds, so storing it
    neither adds a reference nor keeps a memory block: a measurement leaves
    the counts of the next one as they were."""
    settle()
    slot[0] = sys.gettotalrefcount()
    slot[1] = sys.getallocatedblocks()
    slot[2] = OFFSET + open_fds()  # as large as the placeholder: small ints are cached, not allocated


class Outcome:
    """What one call of a scenario ended with, compared with what it is meant to end with."""

    def __init__(self):
        self.unexpected = None
        self.stub = False
        self.resource_warnings = 0


def run_once(scenario, outcome):
    try:
        scenario.run()
    except NotImplementedError:
        outcome.stub = True
    except BaseException as error:  # noqa: BLE001 - any outcome is compared below
        if not scenario.expects(error) and outcome.unexpected is None:
            outcome.unexpected = f"{type(error).__name__}: {error}"
    else:
        if not scenario.expects_result() and outcome.unexpected is None:
            outcome.unexpected = f"returned, but {scenario.expected_name()} was expected"


def hunt(scenario, loops, warmup, repeat):
    outcome = Outcome()
    if not hasattr(sys, "gettotalrefcount"):  # --outcomes-only on a release interpreter
        for _ in range(loops * (warmup + repeat)):
            run_once(scenario, outcome)
        return [(0, 0, 0)], outcome
    runs = warmup + repeat
    # Made before the first reading: large ints, each a separate object.
    readings = [[-OFFSET - 3 * i - j for j in range(3)] for i in range(runs + 1)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        read(readings[0])
        for i in range(1, runs + 1):
            for _ in range(loops):
                run_once(scenario, outcome)
            read(readings[i])
        outcome.resource_warnings = sum(issubclass(w.category, ResourceWarning) for w in caught)
    deltas = [tuple(a - b for a, b in zip(readings[i], readings[i - 1])) for i in range(1, runs + 1)]
    return deltas[warmup:], outcome


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loops", type=int, default=8, help="calls per batch (default 8)")
    parser.add_argument("--warmup", type=int, default=3, help="batches before measuring (default 3)")
    parser.add_argument("--repeat", type=int, default=3, help="measured batches (default 3)")
    parser.add_argument("--strict", action="store_true", help="a body still to be written fails the hunt")
    parser.add_argument("-k", dest="pattern", default="", help="only scenarios whose name contains this")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("--outcomes-only", action="store_true", help="run each scenario once; count nothing")
    args = parser.parse_args(argv)

    if args.outcomes_only:
        args.loops, args.warmup, args.repeat = 1, 0, 1
    elif not hasattr(sys, "gettotalrefcount"):
        parser.error("this needs a debug build of the interpreter (sys.gettotalrefcount), or --outcomes-only")

    started = time.monotonic()
    world = scenarios.World()
    try:
        selected = [s for s in scenarios.build(world) if args.pattern in s.name]
        if args.list:
            for s in selected:
                print(s.name)
            return 0
        uncovered = scenarios.uncovered(selected) if not args.pattern else set()
        failures, stubs = [], []
        for scenario in selected:
            with world.scenario(scenario):
                deltas, outcome = hunt(scenario, args.loops, args.warmup, args.repeat)
            problems = []
            refs, blocks, fds = zip(*deltas)
            if any(refs):
                problems.append(f"references {list(refs)}")
            if any(blocks):
                problems.append(f"memory blocks {list(blocks)}")
            if any(fds):
                problems.append(f"file descriptors {list(fds)}")
            if outcome.resource_warnings:
                problems.append(f"{outcome.resource_warnings} unclosed file(s)")
            if outcome.unexpected:
                problems.append(f"unexpected outcome: {outcome.unexpected}")
            if outcome.stub:
                stubs.append(scenario.name)
            if problems:
                failures.append((scenario.name, problems))
                print(f"LEAK/FAIL {scenario.name}: " + "; ".join(problems), flush=True)
    finally:
        world.close()

    calls = len(selected) * args.loops * (args.warmup + args.repeat)
    print(f"{len(selected)} scenarios, {calls} calls, {time.monotonic() - started:.1f} s; "
          f"{len(failures)} failed, {len(stubs)} on bodies still to be written")
    if stubs:
        print("stubs: " + ", ".join(stubs))
    if uncovered:
        print("methods no scenario drives: " + ", ".join(sorted(uncovered)))
    ok = not failures and not uncovered and not (args.strict and stubs)
    print("leak hunt: " + ("clean" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
