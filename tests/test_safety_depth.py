"""Deep input, raised recursion limits and small thread stacks: the process
never dies of a signal; each case ends either with the correct result or with
RecursionError.  Every case runs in a fresh interpreter, since a failure here
would be a crash."""
import functools

import pytest

from conftest import run_python, shortcut_counts

HARNESS = """
import json, sys, tempfile, threading, types
from pathlib import Path
from zorna_admin_events import admin_events
Z = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"

def nest(depth, top="a"):
    # {"z": 0, "a": {"z": 1, "a": {... {"z": depth - 1} ...}}}, keys in reverse order
    inner = {"z": depth - 1}
    for level in range(depth - 2, -1, -1):
        inner = {"z": level, top: inner}
    return inner

def sorted_deep(result, depth, top="a"):
    # Walked with a loop: every level sorted, nothing lost.
    for level in range(depth):
        if level < depth - 1:
            assert list(result) == [top, "z"] and result["z"] == level, level
            result = result[top]
        else:
            assert result == {"z": level}
    return True

def let(value, use):
    # `use(value)`: an expression's local name, without := (Python 3.7)
    return use(value)

def depth_of(mapping, key):
    depth = 1
    while isinstance(mapping.get(key), dict):
        mapping, depth = mapping[key], depth + 1
    return depth

class Service:
    def get_event_ids(self): return ["ev"]
    def get_group_ids(self): return []
    def get_event_ids_ex(self, detail): return ['ev,"Event","Event"']
    def get_group_ids_ex(self, detail): return []
    def is_event_enabled(self, event_id): return 1
    def enable_event(self, event_id): pass
    def disable_event(self, event_id): pass
admin_events.zorna_events = Service()

def outcome(case, limit=None, stack=None):
    if limit:
        sys.setrecursionlimit(limit)
    result = []
    def body():
        try:
            result.append("ok" if case() else "wrong")
        except RecursionError:
            result.append("RecursionError")
    if stack:
        threading.stack_size(stack)
        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
    else:
        body()
    print(result[0])
"""

CASES = {
    "sort": "sorted_deep(Z._ZornaAdminEvents__sort_nested_dict(nest({depth})), {depth})",
    "sort through a replaced method": """(
        setattr(Z, P + "sort_nested_dict", staticmethod(
            lambda value, original=Z.__dict__[P + "sort_nested_dict"].__func__: original(value)))
        or sorted_deep(Z._ZornaAdminEvents__sort_nested_dict(nest({depth})), {depth}))""",
    "resolve": """(
        setattr(admin_events, "json", types.SimpleNamespace(
            load=lambda f, queue=[nest({depth}, "b"), {{"ev": nest({depth})}}]: queue.pop(0), decoder=json.decoder))
        or setattr(Z, P + "default_config_dir", Path(tempfile.mkdtemp()))
        or (Z._ZornaAdminEvents__default_config_dir / "g").mkdir()
        or (Z._ZornaAdminEvents__default_config_dir / "g" / "ev").write_text("")
        or setattr(Z, P + "current_config_file", Z._ZornaAdminEvents__default_config_dir / "g" / "ev")
        or setattr(Z, P + "get_event_group", lambda self, event_id: "g")
        or let(Z(["ev"], None)._ZornaAdminEvents__get_event_config("ev"), lambda r:
               list(r) == ["a", "b", "enabled", "z"] and depth_of(r, "a") == depth_of(r, "b") == {depth}))""",
    "render": """Z(["ev"], None)._ZornaAdminEvents__get_event_config_string(nest({depth})).count(":\\n") == {depth} - 1""",
    "enable re-entered from print": """let(Z(["ev"], None), lambda obj:
        setattr(admin_events, "print", lambda *args: obj.enable()) or obj.enable())""",
}

# depth, recursion limit (None: the default of 1000), thread stack size (None: the main thread)
SHAPES = [
    (100, None, None),
    (1000, None, None),
    (60000, None, None),
    (15000, 200000, None),
    (2000, None, 256 * 1024),
    (15000, 200000, 256 * 1024),
]
# Re-entry from print is unbounded: only the limit and the stack matter.
REENTRY_SHAPES = [(0, None, None), (0, 200000, None), (0, None, 256 * 1024), (0, 200000, 256 * 1024)]
PARAMS = [(case, *shape) for case in CASES if case != "enable re-entered from print" for shape in SHAPES] + \
    [("enable re-entered from print", *shape) for shape in REENTRY_SHAPES]


@functools.lru_cache(maxsize=None)
def interpreter_survives(depth, limit, stack):
    # Building and freeing the input alone, without the module: CPython 3.13
    # itself dies freeing a 15,000-deep dict in a 256 KiB thread.
    code = HARNESS + f"\noutcome(lambda: nest({depth}) and True, limit={limit}, stack={stack})\n"
    return run_python(code, check=False).returncode == 0


@pytest.mark.parametrize("case, depth, limit, stack", PARAMS, ids=[" ".join(map(str, p)) for p in PARAMS])
def test_no_depth_kills_the_process(case, depth, limit, stack):
    if depth and not interpreter_survives(depth, limit, stack):
        pytest.skip(f"this interpreter itself dies on a {depth}-deep dict here (limit {limit}, stack {stack})")
    expression = CASES[case].format(depth=depth)
    code = HARNESS + f"\noutcome(lambda: {expression}, limit={limit}, stack={stack})\n"
    result = run_python(code, check=False)
    assert result.returncode == 0, f"ended with {result.returncode}:\n{result.stderr[-2000:]}"
    shown = result.stdout.strip()
    # Loops, not recursion, where nothing observable changes: these always
    # finish (the sort, in both, while it recognises itself: not in a build
    # without the fast paths, which recurses as the Python method does).
    if case in ("sort", "resolve") and shortcut_counts():
        assert shown == "ok"
    elif case == "enable re-entered from print":
        assert shown == "RecursionError"
    else:
        assert shown in ("ok", "RecursionError")
        if depth == 100:
            assert shown == "ok"


def test_unknown_stack_bounds_are_read_once(tmp_path):
    """Where the main thread's stack cannot be found (no /proc), every call
    still runs: the bounds are asked for once, not at each call."""
    import shutil
    import subprocess
    import sys

    from cli_helpers import require_mount_namespace

    require_mount_namespace()
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    code = (
        "from zorna_admin_events.admin_events import ZornaAdminEvents as Z\n"
        "obj = Z.__new__(Z); obj._ZornaAdminEvents__need_daemon_restart = False\n"
        "for _ in range(300): obj.restart_daemons()\n"
        "print('ran')\n"
    )
    trace = tmp_path / "trace"
    script = f'mount -t tmpfs none /proc && exec strace -f -e trace=openat -o {trace} "$0" -c "$1"'
    result = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, sys.executable, code],
                            capture_output=True, text=True, cwd="/", timeout=120)
    assert result.stdout == "ran\n", result.stderr
    assert trace.read_text().count("/proc/self/maps") <= 2
