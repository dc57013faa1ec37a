"""Showing what can be read when some files cannot.

``status``, ``groups`` and ``events`` show every event whose files can be
read.  Each file that cannot be read (a defaults file that is a FIFO, a
device, not JSON, not an object...) is named in one line on standard error,
the events it holds are left out, and the run exits 1.  A broken file of
section translations (which only ``events`` reads, in Russian) is named
by ``events`` too, and sections are then shown without their Russian names.  Only a
broken current configuration, which every event's settings and state come
from, stops the listing: it is named in one line, as any other failure.

The events left out are hidden from the event service as the extension
module sees it, so that neither its listings nor its look-ups of a group's
events meet them.
"""

import contextlib
import sys

from .checks import CURRENT, DEFAULTS, TRANSLATIONS, class_file_problems
from .commands import EXIT_FAILURE
from .names import PRIVATE, PROG
from .texts import _

RUSSIAN = "name_ru"


class HidingService:
    """The event service without some events."""

    def __init__(self, real, hidden):
        self._real = real
        self._hidden = frozenset(hidden)

    def __getattr__(self, name):
        return getattr(self._real, name)

    def get_event_ids(self):
        return [event for event in self._real.get_event_ids() if event not in self._hidden]


def show(ns, cls, stderr, describe, run):
    """Run ``run()`` (which shows the selection of ``ns``) on what can be
    read, having named on ``stderr`` each file that cannot; its status, or
    1 when a file was named."""
    module = sys.modules[cls.__module__]
    sections = ns.command == "events" and not ns.json  # the only listing with section names
    russian_sections = sections and getattr(module, "LANG", None) == RUSSIAN
    problems = class_file_problems(cls, translations_shape=russian_sections)
    for kind, _key, exc in problems:
        if kind == CURRENT:
            raise exc
    named = [(kind, key, exc) for kind, key, exc in problems if kind != TRANSLATIONS or sections]
    hidden = {key for kind, key, _exc in named if kind == DEFAULTS}
    for _kind, _key, exc in named:
        print(_("{prog}: error: {message}").format(prog=PROG, message=describe(exc)), file=stderr)
    if ns.events:
        kept = [event for event in ns.events if event not in hidden]
        if not kept and not ns.groups:  # nothing named is left to show
            return EXIT_FAILURE
        ns.events = kept
    with contextlib.ExitStack() as stack:
        if hidden:
            stack.enter_context(_replaced(module, "zorna_events", HidingService(module.zorna_events, hidden)))
        if any(kind == TRANSLATIONS for kind, _key, _exc in named):
            stack.enter_context(_replaced(cls, PRIVATE + "load_event_section_translations", lambda self: None))
        status = run()
    return EXIT_FAILURE if named and not status else status


@contextlib.contextmanager
def _replaced(owner, name, value):
    saved = vars(owner)[name]
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, saved)
