import json

import pytest

import tree as trees


@pytest.mark.parametrize("size", [0, 50, 150, -100])
def test_sizes_that_do_not_fill_whole_groups_are_refused(size):
    with pytest.raises(ValueError):
        trees.layout(size)


@pytest.mark.parametrize("size", [100, 1000, 10000])
def test_layout_has_full_groups_of_unique_ids(size):
    tree = trees.layout(size)
    assert len(tree.group_ids) == size // 100
    assert all(len(events) == 100 for events in tree.members.values())
    assert len(set(tree.event_ids)) == size
    assert not set(tree.event_ids) & set(tree.group_ids)
    assert tree.members[tree.group_ids[0]][:3] == list(trees.PATH_EVENTS)
    # The catalogue's listing records are split at commas.
    for en, ru in [*tree.event_names.values(), *tree.group_names.values()]:
        assert "," not in en and "," not in ru
    assert len(tree.disabled) == size // 10


@pytest.mark.parametrize("size, count", [(100, 10), (1000, 10), (10000, 100), (100, 500)])
def test_spread_picks_distinct_events_across_the_catalogue(size, count):
    tree = trees.layout(size)
    chosen = tree.spread(count)
    assert len(chosen) == min(count, size) == len(set(chosen))
    group_of = {e: g for g, events in tree.members.items() for e in events}
    assert len({group_of[e] for e in chosen}) == min(len(tree.group_ids), len(chosen))
    assert chosen[0] == tree.event_ids[0] and chosen[-1] in tree.members[tree.group_ids[-1]]


def test_written_tree_matches_its_description(small_tree):
    tree = small_tree
    for group_id, events in tree.members.items():
        assert sorted(p.name for p in (tree.default_config_dir / group_id).iterdir()) == sorted(events)
    current = json.loads(tree.current_config_file.read_text())
    assert list(current) == tree.event_ids
    assert {e for e, entry in current.items() if entry["enabled"] == "0"} == set(tree.disabled)
    defaults = json.loads((tree.default_config_dir / tree.group_ids[1] / tree.members[tree.group_ids[1]][7]).read_text())
    # Sections nest three levels deep, and both sides share sections to merge.
    assert isinstance(defaults["filter"]["match"]["auid"], dict)
    assert set(current[tree.event_ids[0]]) - {"enabled"} <= set(defaults)
    translations = json.loads(tree.translations_file.read_text())
    assert all("ru" in entry for entry in translations.values())


def test_stand_in_reads_the_written_tree(small_tree, standin_root):
    zorna_events = pytest.importorskip("zorna_events")
    standin_root(small_tree)
    assert zorna_events.get_event_ids() == small_tree.event_ids
    assert zorna_events.get_group_ids() == small_tree.group_ids
    assert zorna_events.get_event_ids_ex(2)[5] == '{},"{}","{}"'.format(small_tree.event_ids[5],
                                                                       *small_tree.event_names[small_tree.event_ids[5]])
    disabled = set(small_tree.disabled)
    assert [zorna_events.is_event_enabled(e) for e in small_tree.event_ids] == \
        [0 if e in disabled else 1 for e in small_tree.event_ids]


def test_trees_of_one_size_are_identical(tmp_path):
    one, two = trees.build(tmp_path / "one", 100), trees.build(tmp_path / "two", 100)
    files = sorted(p.relative_to(one.root) for p in one.root.rglob("*") if p.is_file())
    assert files == sorted(p.relative_to(two.root) for p in two.root.rglob("*") if p.is_file())
    assert all((one.root / f).read_bytes() == (two.root / f).read_bytes() for f in files)
