"""The module's own steps against the same steps in plain Python and compiled
with Cython.

`reference.py` is the class written as plain Python; it is imported as it
is and built with Cython (`cythonize`, into build/bench-cython; Cython is a
benchmark-only dependency, installed here when missing).  With the
in-memory service, this times on the same input:

1. the private steps where the module does work of its own besides the
   outside calls, and the cost of one call of a method that does next to
   nothing (the method frame: binding, type rule, dispatch);
2. every public method;
3. how rendering, sorting and listing lines grow: 300, 3,000 and 30,000
   keys or IDs.

Each figure is the best of five samples of the thread's CPU time (the
machine is shared: waiting for a core is not counted, and the fastest
sample is the one least disturbed).  It refuses to report when the
module and the Python steps disagree.

    python bench/compare.py [--size 1000] [--seconds 0.2]
"""
from __future__ import annotations

import argparse
import importlib.util
import json
import math
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import reference  # noqa: E402
import tree as trees  # noqa: E402
from report import duration, table  # noqa: E402
from scenarios import Environment, ZornaAdminEvents, admin_events  # noqa: E402
from services import make_service  # noqa: E402

P = "_ZornaAdminEvents__"
# One build per interpreter (cpython-311, cpython-313, ...).
CYTHON_BUILD = HERE.parent / "build" / "bench-cython" / sys.implementation.cache_tag


def per_call(function, seconds: float = 0.2) -> float:
    """Nanoseconds per call: best of five samples of about `seconds` / 5 each,
    in CPU time of this thread (the machine is shared: time spent waiting
    for a core is not counted)."""
    timer = timeit.Timer(function, timer=time.thread_time)
    number, elapsed = 1, 0.0
    while elapsed < seconds / 5:
        number *= 2
        elapsed = timer.timeit(number=number)
    return min(timer.repeat(number=number, repeat=5)) / number * 1e9


def cython_build(name="reference_cython", text=None):
    """reference.py (or `text`) compiled with Cython, imported as `name`."""
    try:
        import Cython  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "cython"], check=True)
    CYTHON_BUILD.mkdir(parents=True, exist_ok=True)
    source = CYTHON_BUILD / f"{name}.py"
    text = (HERE / "reference.py").read_text() if text is None else text
    built = CYTHON_BUILD / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if not source.exists() or source.read_text() != text or not built.exists():
        source.write_text(text)
        subprocess.run([sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", source.name],
                       cwd=CYTHON_BUILD, check=True, stdout=subprocess.DEVNULL)
    spec = importlib.util.spec_from_file_location(name, built)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---- what is timed ------------------------------------------------------------------

IMPLEMENTATIONS = ("module", "plain Python", "Cython")


def steps(impl, tree, obj):
    """(name, input, callable) for each private step of one implementation,
    and the method frame."""
    Z = impl.ZornaAdminEvents
    group = tree.middle_group()
    members = sorted(tree.members[group])
    config_dir = getattr(Z, P + "default_config_dir")
    settings = json.loads((config_dir / tree.group_ids[0] / tree.event_ids[0]).read_text())
    ordered = getattr(Z, P + "sort_nested_dict")(settings)
    setattr(obj, P + "event_section_translations", json.loads(tree.translations_file.read_text()))
    paths = ["/etc/shadow", "/var/log/audit log", "/srv/data"]
    idle = Z(None, None)  # restart flag false: the method returns at once
    return [
        ("descriptions of all events", f"{tree.size:,} records", getattr(Z, P + "get_all_event_description")),
        ("events of one group", "100 files", lambda: getattr(Z, P + "get_events_by_group_id")(group)),
        ("listing lines", "100 events", lambda: getattr(obj, P + "get_multiple_string")(members)),
        ("sort settings", "1 event", lambda: getattr(Z, P + "sort_nested_dict")(settings)),
        ("render settings", "1 event", lambda: getattr(obj, P + "get_event_config_string")(ordered)),
        ("audit rule lines", "3 paths", lambda: getattr(obj, P + "process_path_value")("file-opened", paths)),
        # obj.method(), as Python code calls a method (looked up, then called)
        ("method frame", "1 call", lambda: idle.restart_daemons()),
    ]


def public_methods(impl, tree, scratch):
    """(name, selection, callable) for each public method of one implementation.
    Every call leaves the in-memory service as the next one needs it: enable
    finds everything enabled already, and the stores overwrite."""
    Z = impl.ZornaAdminEvents
    spread, middle = tree.spread(10), [tree.middle_group()]
    changing = Z(tree.spread(10), middle)
    # A file of its own per implementation, its path of the same length for all.
    exported = str(scratch / f"exported-{zlib.crc32(impl.__name__.encode()):08x}.conf")
    restarting = Z(None, None)
    restarting.import_config(exported)  # sets the restart flag
    return [
        ("construction", "all events + all groups", lambda: Z(tree.event_ids, tree.group_ids)),
        ("show_groups", "all groups", Z(None, tree.group_ids).show_groups),
        ("show_all_groups", "whole catalogue", Z(None, None).show_all_groups),
        ("show_events", "10 events", Z(spread, None).show_events),
        ("enable", "10 events + 1 group", changing.enable),
        ("set_facility", "10 events + 1 group", lambda: changing.set_facility("local5")),
        ("set_priority", "10 events + 1 group", lambda: changing.set_priority("warning")),
        ("set_properties (ordinary)", "1 event",
         lambda: Z([tree.event_ids[-1]], None).set_properties("watch", "paths", '["/etc/shadow"]')),
        ("set_properties (special)", "1 event (file-opened)",
         lambda: Z(["file-opened"], None).set_properties("watch", "paths", '["/etc/shadow", "/var/log/a b"]')),
        ("export_config", "static", lambda: Z.export_config(exported)),
        ("import_config", "exported copy", lambda: restarting.import_config(exported)),
        ("restart_daemons", "after a change", restarting.restart_daemons),
    ]


def growth_inputs(n):
    """Settings of n keys (every tenth a section of three parameters), in
    reverse order; n IDs with their group descriptions."""
    settings = {}
    for i in reversed(range(n)):
        settings[f"key-{i:06d}"] = {"c": [1, "x"], "b": "it's", "a": i} if i % 10 == 0 else f"value {i}"
    ids = [f"id-{i:06d}" for i in range(n)]
    descriptions = {i: {"name_en": f"Description of {i}", "name_ru": f"Описание {i}"} for i in ids}
    return settings, ids, descriptions


def growth_steps(impl, n):
    Z = impl.ZornaAdminEvents
    settings, ids, descriptions = growth_inputs(n)
    obj = object.__new__(Z)
    setattr(obj, P + "event_section_translations", None)
    setattr(obj, P + "group_description", descriptions)
    ordered = getattr(Z, P + "sort_nested_dict")(settings)
    return [
        ("render settings", lambda: getattr(obj, P + "get_event_config_string")(ordered)),
        ("sort settings", lambda: getattr(Z, P + "sort_nested_dict")(settings)),
        ("listing lines", lambda: getattr(obj, P + "get_multiple_string")(ids, 1)),
    ]


def deep_settings(depth):
    """{"z": 0, "a": {"z": 1, "a": {... {"z": depth - 1} ...}}}: one section per level."""
    inner = {"z": depth - 1}
    for level in range(depth - 2, -1, -1):
        inner = {"z": level, "a": inner}
    return inner


def deep_render(depth):
    """Seconds of the module's rendering of a `depth`-deep settings tree (one
    call, thread CPU time), with the recursion limit raised for it; the
    text is checked.  Only the module: the Python and Cython builds take
    seconds to tens of seconds here, since each level copies the text of the
    levels below it."""
    obj = object.__new__(ZornaAdminEvents)
    setattr(obj, P + "event_section_translations", None)
    settings = deep_settings(depth)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 10 * depth))
    try:
        start = time.thread_time()
        text = getattr(obj, P + "get_event_config_string")(settings)
        seconds = time.thread_time() - start
    finally:
        sys.setrecursionlimit(limit)
    if text.count(":\n") != depth - 1:
        raise SystemExit("the deep tree was not rendered whole")
    return seconds


# ---- running ----------------------------------------------------------------------------

def quiet(function):
    """Run with standard output sent to /dev/null (the methods print)."""
    sink, sys.stdout = sys.stdout, open(os.devnull, "w")
    try:
        return function()
    finally:
        sys.stdout.close()
        sys.stdout = sink


def results_of(entries):
    return [quiet(entry[-1]) for entry in entries]


def ratio(a, b):
    return f"{a / b:.2f}"


def geometric_mean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Time the module's own steps against plain Python and Cython.")
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=0.2, help="time spent on each figure")
    parser.add_argument("--growth", default="300,3000,30000", help="sizes of the growth table")
    parser.add_argument("--parts", default="steps,public,growth,deep", help="which tables to make")
    parser.add_argument("--deep", type=int, default=2000, help="depth of the deep settings tree")
    args = parser.parse_args(argv)
    if args.parts == "deep":  # the module alone: no Cython build needed
        print(f"rendering a {args.deep:,}-deep settings tree: {deep_render(args.deep):.3f} s")
        return 0
    impls = dict(zip(IMPLEMENTATIONS, (admin_events, reference, cython_build())))
    base = Path(tempfile.mkdtemp(prefix="zae-compare-"))
    step_times, public_times, growth_times = {}, {}, {}
    try:
        tree = trees.build(base / "tree", args.size)
        env = Environment(make_service("memory", tree))
        checked = {}
        for label, impl in impls.items():
            env.service.reset()  # the enabled states as the tree has them (enable changes them)
            with env.installed(target=impl):
                obj = impl.ZornaAdminEvents(None, list(tree.group_ids))
                entries = steps(impl, tree, obj)
                methods = public_methods(impl, tree, env.scratch)
                # The same results, or the comparison means nothing.
                shown_before = env.recorder.characters
                results_of(methods[1:4])  # the three show_* methods
                checked[label] = (results_of(entries[:-1]), env.recorder.characters - shown_before)
                for name, unit, run in entries if "steps" in args.parts else ():
                    step_times[name, unit, label] = quiet(lambda: per_call(run, args.seconds))
                for name, selection, run in methods if "public" in args.parts else ():
                    public_times[name, selection, label] = quiet(lambda: per_call(run, args.seconds))
            for n in map(int, args.growth.split(",")) if "growth" in args.parts else ():
                for name, run in growth_steps(impl, n):
                    growth_times[name, n, label] = per_call(run, args.seconds) / n
        module_results, python_results = checked["module"], checked["plain Python"]
        for label in ("plain Python", "Cython"):
            for number, (mine, theirs) in enumerate(zip(module_results[0], checked[label][0])):
                if mine != theirs:
                    raise SystemExit(f"step {number}: the module and {label} disagree:\n{mine!r}\n{theirs!r}")
        if module_results[1] != python_results[1]:
            raise SystemExit("the module and the Python methods show different texts")
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(base.with_name(base.name + "-scratch"), ignore_errors=True)

    def rows(times):  # noqa: E306
        keys = list(dict.fromkeys(key[:-1] for key in times))
        out, ratios = [], []
        for key in keys:
            module, python, cython = (times[(*key, label)] for label in IMPLEMENTATIONS)
            ratios.append((module / python, module / cython))
            out.append((*key, duration(module), duration(python), duration(cython),
                        ratio(module, python), ratio(module, cython)))
        return out, ratios

    header = ("module", "plain Python", "Cython", "module / Python", "module / Cython")
    if step_times:
        print_steps(args, rows(step_times), header)
    if public_times:
        print_public(rows(public_times), header)
    if growth_times:
        print_growth(args, growth_times)
    if "deep" in args.parts:
        print(f"\nrendering a {args.deep:,}-deep settings tree: {deep_render(args.deep):.3f} s")
    return 0


def print_steps(args, step_table, header):
    step_rows, step_ratios = step_table
    print(f"{args.size:,} events, in-memory service; best of five samples\n")
    print(table(step_rows, ("step", "input", *header), right=range(2, 7)))
    steps_only = step_ratios[:-1]  # the method frame is not a step
    print(f"\ngeometric mean over the steps: {geometric_mean([r[0] for r in steps_only]):.2f} of plain Python, "
          f"{geometric_mean([r[1] for r in steps_only]):.2f} of Cython\n")


def print_public(public_table, header):
    public_rows, public_ratios = public_table
    print(table(public_rows, ("method", "selection", *header), right=range(2, 7)))
    print(f"\ngeometric mean over the public methods: {geometric_mean([r[0] for r in public_ratios]):.2f} of plain "
          f"Python, {geometric_mean([r[1] for r in public_ratios]):.2f} of Cython\n")


def print_growth(args, growth_times):
    growth_rows = []
    sizes = list(map(int, args.growth.split(",")))
    for name in dict.fromkeys(key[0] for key in growth_times):
        for label in IMPLEMENTATIONS:
            per_key = [growth_times[name, n, label] for n in sizes]
            growth_rows.append((name, label, *(duration(t) for t in per_key), f"{per_key[-1] / per_key[0]:.2f}"))
    print("Time per key or ID\n")
    print(table(growth_rows, ("step", "build", *(f"{n:,}" for n in sizes), f"{sizes[-1]:,} / {sizes[0]:,}"),
                right=range(2, 3 + len(sizes))))


if __name__ == "__main__":
    sys.exit(main())
