"""How long `zorna-admin-events verify` takes on large trees.

    python bench/verify.py [--sizes 1000,10000] [--runs 7]

with the Python that has the module and the stand-in installed (for
example .venv-bench/bin/python after bench/run, or .venv/bin/python after
tools/setup).  For each size a synthetic tree (tree.py) is built in a
scratch directory, and three figures are printed, each the median of the
runs with the fastest and the slowest:

- command: the whole command in a fresh interpreter, as an administrator
  runs it (start-up, imports, the checks of the class's files, verify),
  with the class and the stand-in reading the tree, and the kernel and the
  daemons of this machine, as a run without --root has them;
- verify: the function alone, in this process;
- auditctl -l, systemctl show: one run each, as verify makes them.

The figures are printed, not asserted.  As root, auditctl answers with the
kernel's real rule list; otherwise verify says it cannot read it, as it
does for systemctl on a machine without systemd.  Either way the commands
are run, so their cost is in the figures.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tree as trees

COMMAND = """
import sys
from pathlib import Path
from zorna_admin_events import checks, cli, verify
cls = cli.load_class(Path(sys.argv[1]))
checks.check_class_files(cls)
sys.exit(verify.command(cls, cli.parse_args(["verify", "-q"]), sys.stderr))
"""


def timed(function, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return times


def shown(times):
    return "{:8.1f} ms  ({:.1f} to {:.1f})".format(
        statistics.median(times) * 1e3, min(times) * 1e3, max(times) * 1e3)


def measure(size, runs, scratch):
    root = Path(scratch) / str(size)
    trees.build(root, size)
    env = dict(os.environ, ZORNA_EVENTS_ROOT=str(root))

    def command():
        subprocess.run([sys.executable, "-c", COMMAND, str(root)], env=env, cwd="/",
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    from zorna_admin_events import cli, verify

    cls = cli.load_class(root)
    found = verify.verify(cls)
    print("{:,} events: {} findings, checks not made: {}".format(
        size, sum(len(event.findings) for event in found.events),
        ", ".join(missing.name() for missing in found.not_checked) or "none"))
    command()  # warm the page cache
    rows = [
        ("command", timed(command, runs)),
        ("verify", timed(lambda: verify.verify(cls), runs)),
        ("auditctl -l", timed(verify.kernel_rules, runs)),
        ("systemctl show", timed(lambda: verify.unit_state(verify.UNITS[0]), runs)),
    ]
    for name, times in rows:
        print("  {:<16}{}".format(name, shown(times)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000,10000", help="numbers of events, multiples of 100")
    parser.add_argument("--runs", type=int, default=7, help="runs of each measurement")
    args = parser.parse_args()
    print("Python {}, {} CPUs, as {}".format(
        sys.version.split()[0], os.cpu_count(), "root" if os.geteuid() == 0 else "uid %d" % os.geteuid()))
    with tempfile.TemporaryDirectory(prefix="zae-bench-verify.") as scratch:
        for size in (int(s) for s in args.sizes.split(",")):
            measure(size, args.runs, scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
