import pytest

from services import MemoryService, StandinService


def test_memory_service_hands_out_fresh_lists_and_resets(small_tree):
    service = MemoryService(small_tree)
    events = service.events_module
    first = events.get_event_ids()
    first.clear()
    assert events.get_event_ids() == small_tree.event_ids
    # Looked up twice, an operation is the same object (the module compares actions).
    assert events.enable_event is events.enable_event
    target = small_tree.disabled[0]
    events.enable_event(target)
    events.set_event_param(target, "", "x", '"y"')
    service.reset()
    assert events.is_event_enabled(target) == 0 and not service.events.params
    service.reset(flipped=[target, small_tree.event_ids[0]])
    assert events.is_event_enabled(target) == 1 and events.is_event_enabled(small_tree.event_ids[0]) == 0


def test_memory_records_have_the_catalogue_shape(small_tree):
    events = MemoryService(small_tree).events_module
    records = events.get_event_ids_ex(2)
    assert len(records) == small_tree.size
    event_id, en, ru = records[0].split(",")
    assert (en[1:-1], ru[1:-1]) == small_tree.event_names[event_id]


def test_stand_in_reset_undoes_changes_and_flips(tmp_path, standin_root):
    pytest.importorskip("zorna_events")
    import tree as trees

    tree = trees.build(tmp_path / "root", 100)
    standin_root(tree)
    service = StandinService(tree)
    events = service.events_module
    target, other = tree.disabled[0], tree.event_ids[0]
    service.warm()
    events.enable_event(target)
    events.set_event_param(other, "", "message-syslog-facility", '"local1"')
    service.reset()
    assert events.is_event_enabled(target) == 0
    assert tree.current_config_file.read_bytes().count(b"local1") == 0
    service.reset(flipped=[target, other])
    assert (events.is_event_enabled(target), events.is_event_enabled(other)) == (1, 0)
