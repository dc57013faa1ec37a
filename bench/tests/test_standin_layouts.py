"""The stand-in shares one layout (and its path objects) per root; the root
must still be read at every call, relative roots against the current
directory of that moment."""
import json
import os

import pytest

zorna_events = pytest.importorskip("zorna_events")
from zorna_events._storage import current_layout  # noqa: E402

import tree as trees  # noqa: E402


def test_layouts_are_shared_per_root_and_follow_the_variable(tmp_path, monkeypatch):
    one, two = trees.build(tmp_path / "one", 100), trees.build(tmp_path / "two", 200)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(one.root) + "/")
    first = current_layout()
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(one.root))
    assert current_layout() is first and first.catalogue_file is first.catalogue_file
    assert len(zorna_events.get_event_ids()) == 100
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(two.root))
    assert len(zorna_events.get_event_ids()) == 200


def test_relative_root_follows_the_current_directory(tmp_path, monkeypatch):
    for name, size in (("a", 100), ("b", 200)):
        trees.build(tmp_path / name / "root", size)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", "root")
    monkeypatch.chdir(tmp_path / "a")
    assert len(zorna_events.get_event_ids()) == 100
    monkeypatch.chdir(tmp_path / "b")
    assert len(zorna_events.get_event_ids()) == 200
    assert current_layout().root == tmp_path / "b" / "root"


def test_state_written_by_another_process_is_seen(tmp_path, monkeypatch):
    tree = trees.build(tmp_path / "root", 100)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(tree.root))
    event = tree.disabled[0]
    assert zorna_events.is_event_enabled(event) == 0
    document = json.loads(tree.current_config_file.read_text())
    document[event]["enabled"] = "1"
    replacement = tree.current_config_file.with_name("replacement")
    replacement.write_text(json.dumps(document))
    os.replace(replacement, tree.current_config_file)
    assert zorna_events.is_event_enabled(event) == 1
