"""Behaviour of the frame, the selection and the listings that a method written
in Python inside the module would show: builtins and module-level names are
the module's, looked up when the statement reaches them, and the
interpreter's own errors keep their wording."""
import builtins
import os
import sys

import pytest

from conftest import FakeEvents, ZornaAdminEvents, instance, run_python
from zorna_admin_events import admin_events

DESCRIPTIONS = {"a": {"name_en": "A", "name_ru": "А"}, "bbbb": {"name_en": "B", "name_ru": "Б"}}


def bare_object():
    return instance(event_description=DESCRIPTIONS, group_description=DESCRIPTIONS)


def test_listing_width_gives_max_the_lengths_as_it_consumes_them(monkeypatch):
    calls = []

    def measure(tag):
        return lambda text: calls.append((tag, text)) or 1

    def recording_max(lengths):
        calls.append(("max", iter(lengths) is lengths))
        first = next(lengths)
        # `len` is looked up at each step: a replacement made meanwhile is used
        monkeypatch.setattr(admin_events, "len", measure("new len"))
        return builtins.max([first, *lengths])

    monkeypatch.setattr(admin_events, "len", measure("len"), raising=False)
    monkeypatch.setattr(admin_events, "max", recording_max, raising=False)
    listing = bare_object()._ZornaAdminEvents__get_multiple_string(["a", "bbbb"], 1)
    # every ID "is" 1 long: width 11, ten spaces after each ID
    assert [line[:line.index("1 ")] for line in listing.split("\n")] == ["a" + " " * 10, "bbbb" + " " * 10]
    assert calls == [("max", True), ("len", "a"), ("new len", "bbbb"), ("new len", "a"), ("new len", "bbbb")]


class RebindingEvents(FakeEvents):
    """A catalogue whose listing rebinds the module's `set` while it runs."""

    def get_event_ids(self):
        admin_events.set = lambda items: pytest.fail("set was looked up after the catalogue call")
        return super().get_event_ids()


def test_set_is_looked_up_before_the_catalogue_is_asked(monkeypatch, capsys):
    monkeypatch.setattr(admin_events, "zorna_events", RebindingEvents({"a": ("A", "А")}))
    monkeypatch.setattr(admin_events, "set", builtins.set, raising=False)
    ZornaAdminEvents(["a", "x"], None)
    assert capsys.readouterr().out == "Unknown event ID: x\n"


@pytest.mark.parametrize("method, args", [
    ("_ZornaAdminEvents__get_multiple_string", (["unknown"], 1)),
    ("_ZornaAdminEvents__get_group_string", ("unknown",)),
])
def test_unknown_id_fails_before_lang_is_read(monkeypatch, method, args):
    monkeypatch.delattr(admin_events, "LANG")
    with pytest.raises(KeyError):
        getattr(bare_object(), method)(*args)


class Reference:
    def set_priority(self, priority): pass

    def enable(self): pass


@pytest.mark.parametrize("invoke", [
    lambda target: target.set_priority("a", "b", priority="c"),
    lambda target: target.enable(1, x=2),
])
def test_keyword_errors_are_reported_before_surplus_positionals(invoke):
    with pytest.raises(TypeError) as expected:
        invoke(Reference())
    with pytest.raises(TypeError) as error:
        invoke(bare_object())
    assert str(error.value) == str(expected.value).replace("Reference.", "ZornaAdminEvents.")


def test_missing_outside_name_raises_the_interpreters_import_error(tmp_path):
    package = tmp_path / "zorna_event_config_manager"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "config_manager.py").write_text("OTHER = 1\n")
    result = run_python("""
        def attempt(statement):
            try:
                exec(statement)
            except ImportError as error:
                print(repr((str(error), error.name, error.path)))
        attempt("from zorna_event_config_manager.config_manager import ZornaConfigManager")
        attempt("import zorna_admin_events.admin_events")
    """, env={"PYTHONPATH": os.pathsep.join([str(tmp_path), *sys.path])})
    interpreter, module = result.stdout.splitlines()
    assert module == interpreter


def test_audit_rule_builder_formats_the_path_at_each_place():
    class Path:
        count = 0

        def __format__(self, spec):
            Path.count += 1
            return f"p{Path.count}"

    builder = ZornaAdminEvents._ZornaAdminEvents__audit_rules["aarch64"]
    assert builder(Path()) == "-a always,exit -F arch=aarch64 -F path=p1 -S openat -k p2"


def test_builtins_are_the_modules_not_the_callers(service, capsys):
    printed = []
    caller_globals = {"__builtins__": {**vars(builtins), "print": lambda *args: printed.append(args)},
                      "ZornaAdminEvents": ZornaAdminEvents}
    exec("ZornaAdminEvents(['nope'], None)", caller_globals)
    assert printed == []
    assert capsys.readouterr().out == "Unknown event ID: nope\n"


def test_grouped_items_unpack_as_a_for_statement_does(service, pager):
    class Items:
        def items(self):
            return [5]

    class Custom(ZornaAdminEvents):
        def _ZornaAdminEvents__get_grouped_events(self, group_id_list):
            return Items()

    with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
        Custom(None, None).show_groups()
