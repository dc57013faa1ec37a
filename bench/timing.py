"""Time spent inside the outside calls the module makes.

A `Ledger` wraps each outside callable (event service, json, pathlib, file
objects, print, gettext, pager, shell) in a timer.  Only the outermost timed
call counts: when the stand-in service uses pathlib or json inside one of its
own operations, that time stays with the service call and is not counted
twice.  The module's own time is then the time of the same run without any
wrappers minus the time the wrapped run spent inside outside calls (each call
corrected by the timer's own cost inside the measured interval, see
`calibrate`).

Path objects: the module reads its three path class attributes and derives
every other path from them (`/`, `iterdir`), so giving it paths of a subclass
whose methods are timed reaches every pathlib call it makes, while the
stand-in's own paths stay plain and untimed.
"""
from __future__ import annotations

import contextlib
import json
import pathlib
import time
import types
from collections import Counter
from typing import Any, Callable, Dict, Iterable

_clock = time.perf_counter_ns


class Ledger:
    """Nanoseconds and call counts per outside operation ("category.name")."""

    def __init__(self) -> None:
        self.nanoseconds: Counter = Counter()
        self.calls: Counter = Counter()
        self._busy = False

    def reset(self) -> None:
        self.nanoseconds.clear()
        self.calls.clear()
        self._busy = False

    @contextlib.contextmanager
    def suspended(self):
        """Calls made meanwhile pass through the wrappers without being counted."""
        busy, self._busy = self._busy, True
        try:
            yield
        finally:
            self._busy = busy

    def wrap(self, key: str, function: Callable) -> Callable:
        """`function` timed under `key`, unless called from inside another timed call."""
        ledger = self
        nanoseconds = self.nanoseconds
        calls = self.calls
        clock = _clock

        def timed(*args, **kwargs):
            if ledger._busy:
                return function(*args, **kwargs)
            ledger._busy = True
            start = clock()
            try:
                return function(*args, **kwargs)
            finally:
                elapsed = clock() - start
                ledger._busy = False
                nanoseconds[key] += elapsed
                calls[key] += 1

        timed.__wrapped__ = function
        timed.__name__ = getattr(function, "__name__", key)
        return timed

    def total(self, keys: Iterable[str] = None) -> int:
        if keys is None:
            return sum(self.nanoseconds.values())
        return sum(self.nanoseconds[key] for key in keys)

    def count(self, keys: Iterable[str] = None) -> int:
        if keys is None:
            return sum(self.calls.values())
        return sum(self.calls[key] for key in keys)

    # ---- timed stand-ins for what the module reaches ----------------------------

    def module_proxy(self, category: str, module: Any, names: Iterable[str]) -> types.ModuleType:
        """A module whose `names` are the timed functions of `module`.

        Each attribute is one wrapper object for good, so the module's
        comparison of an action with `zorna_events.enable_event` still holds.
        """
        proxy = types.ModuleType(getattr(module, "__name__", category))
        for name in names:
            setattr(proxy, name, self.wrap(f"{category}.{name}", getattr(module, name)))
        return proxy

    def json_proxy(self) -> types.ModuleType:
        """The json module with load, loads and dumps timed (json.decoder left as it is)."""
        proxy = types.ModuleType("json")
        proxy.__dict__.update({k: v for k, v in vars(json).items() if not k.startswith("__")})
        for name in ("load", "loads", "dumps"):
            setattr(proxy, name, self.wrap(f"json.{name}", getattr(json, name)))
        return proxy

    def manager_factory(self, manager_class: type) -> Callable:
        """ZornaConfigManager with construction and both methods timed."""
        construct = self.wrap("service.ZornaConfigManager", manager_class)
        export = self.wrap("service.export_config", manager_class.export_config)
        import_ = self.wrap("service.import_config", manager_class.import_config)

        class TimedManager:
            __slots__ = ("_manager",)

            def __init__(self):
                self._manager = construct()

            def export_config(self, path):
                return export(self._manager, path)

            def import_config(self, path):
                return import_(self._manager, path)

        return TimedManager

    def path_class(self) -> type:
        """A concrete Path class whose methods the module uses are timed.

        Paths derived from one of its instances (by `/` or `iterdir`) are of
        the same class, so they are timed as well.
        """
        ledger = self
        base = type(pathlib.Path())
        wrap = self.wrap
        open_ = wrap("pathlib.open", base.open)
        iterdir = wrap("pathlib.iterdir", base.iterdir)
        step = wrap("pathlib.iterdir.next", next)

        class TimedIterator:
            __slots__ = ("_iterator",)

            def __init__(self, iterator):
                self._iterator = iterator

            def __iter__(self):
                return self

            def __next__(self):
                return step(self._iterator)

        class TimedPath(base):
            __slots__ = ()
            __truediv__ = wrap("pathlib.__truediv__", base.__truediv__)
            is_file = wrap("pathlib.is_file", base.is_file)
            exists = wrap("pathlib.exists", base.exists)
            name = property(wrap("pathlib.name", base.name.fget))

            def iterdir(self):
                return TimedIterator(iterdir(self))

            def open(self, *args, **kwargs):
                return ledger.timed_file(open_(self, *args, **kwargs))

        TimedPath.__name__ = TimedPath.__qualname__ = "TimedPath"
        return TimedPath

    def timed_file(self, file: Any) -> Any:
        return TimedFile(file, self)


class TimedFile:
    """A file object whose with-block entry and exit are timed; reads pass through.

    Reading happens inside json.load, so it is counted there.
    """

    __slots__ = ("_file", "_enter", "_exit")

    def __init__(self, file: Any, ledger: Ledger):
        self._file = file
        self._enter = ledger.wrap("file.__enter__", file.__enter__)
        self._exit = ledger.wrap("file.__exit__", file.__exit__)

    def __enter__(self):
        self._enter()
        return self

    def __exit__(self, *exc_info):
        return self._exit(*exc_info)

    def read(self, *args):
        return self._file.read(*args)

    def __getattr__(self, name):
        return getattr(self._file, name)


def calibrate(rounds: int = 200_000) -> float:
    """Nanoseconds that a timed call counts beyond the call itself.

    The interval a wrapper measures holds, besides the call, the tail of one
    clock read and the head of the next.  Measured as the interval counted
    around a no-op function minus what calling that no-op costs directly.
    """
    def noop(*args, **kwargs):
        return None

    ledger = Ledger()
    timed = ledger.wrap("noop", noop)
    for _ in range(1000):
        timed()
    ledger.reset()
    for _ in range(rounds):
        timed()
    counted = ledger.nanoseconds["noop"] / rounds

    start = _clock()
    for _ in range(rounds):
        noop()
    direct = (_clock() - start) / rounds
    start = _clock()
    for _ in range(rounds):
        pass
    loop = (_clock() - start) / rounds
    return max(0.0, counted - max(0.0, direct - loop))


def outside_breakdown(ledger: Ledger, mandated: Iterable[str]) -> Dict[str, Any]:
    """Split what a ledger recorded into mandated and other outside calls."""
    mandated = set(mandated)
    return {
        "mandated_ns": sum(ns for key, ns in ledger.nanoseconds.items() if key in mandated),
        "mandated_calls": sum(n for key, n in ledger.calls.items() if key in mandated),
        "other_ns": sum(ns for key, ns in ledger.nanoseconds.items() if key not in mandated),
        "other_calls": sum(n for key, n in ledger.calls.items() if key not in mandated),
        "other_keys": sorted(key for key in ledger.calls if key not in mandated),
    }
