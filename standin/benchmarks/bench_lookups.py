"""Print how long the frequent read operations take on the sample tree.

The administration module asks for the event catalogue once per file it
scans and for the enabled state of every listed event, so these calls must
stay cheap.  Run from the repository checkout:

    python standin/benchmarks/bench_lookups.py [CALLS]
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import timeit
from pathlib import Path
from typing import Callable

import zorna_events
from zorna_events._catalogue import CATALOGUE_CACHE
from zorna_events._state import STATE_CACHE

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def per_call_us(function: Callable[[], object], calls: int) -> float:
    return timeit.timeit(function, number=calls) / calls * 1e6


def main() -> None:
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    with tempfile.TemporaryDirectory() as temp:
        root = Path(temp) / "root"
        shutil.copytree(EXAMPLES, root)
        os.environ["ZORNA_EVENTS_ROOT"] = str(root)

        def uncached_event_ids() -> None:
            CATALOGUE_CACHE.clear()
            zorna_events.get_event_ids()

        def uncached_enabled() -> None:
            STATE_CACHE.clear()
            zorna_events.is_event_enabled("screen-unlocked")

        rows = [
            ("get_event_ids (cached)", zorna_events.get_event_ids),
            ("get_event_ids (parse every call)", uncached_event_ids),
            ("get_event_ids_ex(2)", lambda: zorna_events.get_event_ids_ex(2)),
            ("is_event_enabled, state decides", lambda: zorna_events.is_event_enabled("screen-unlocked")),
            ("is_event_enabled, defaults decide", lambda: zorna_events.is_event_enabled("logout")),
            ("is_event_enabled (parse every call)", uncached_enabled),
        ]
        print(f"{len(zorna_events.get_event_ids())} events, {calls} calls each")
        for label, function in rows:
            print(f"{label:40s} {per_call_us(function, calls):8.1f} us/call")
        flag = [False]

        def toggle() -> None:
            # Alternate, so that every call really rewrites the file.
            flag[0] = not flag[0]
            (zorna_events.enable_event if flag[0] else zorna_events.disable_event)("logout")

        write_calls = max(2, calls // 200)
        print(f"{'enable/disable_event (lock, fsync)':40s} {per_call_us(toggle, write_calls):8.1f} us/call")


if __name__ == "__main__":
    main()
