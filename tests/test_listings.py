"""Description maps, listing lines and the grouped status text sent to the pager."""
import shutil
from pathlib import Path

import pytest

from zorna_admin_events import admin_events
from zorna_admin_events.admin_events import ZornaAdminEvents

G, E = "\x1b[90m", "\x1b[0m"
LOADERS = [("get_event_ids_ex", "_ZornaAdminEvents__get_all_event_description"),
           ("get_group_ids_ex", "_ZornaAdminEvents__get_all_group_description")]


@pytest.mark.parametrize("operation, loader", LOADERS)
@pytest.mark.parametrize("records, expected", [
    ([], {}),
    (['a,"En","Ru"', 'b,"x","y",z,w'], {"a": ("En", "Ru"), "b": ("x", "y")}),
    (('a ,"En", "Ru"',), {"a ": ("En", '"Ru')}),
    (['a,E,ab', 'a,"2","3"'], {"a": ("2", "3")}),
    (['a,E,ab'], {"a": ("", "")}),
])
def test_records_become_description_maps(service, monkeypatch, operation, loader, records, expected):
    monkeypatch.setattr(service, operation, lambda detail: service.calls.append(detail) or records)
    result = getattr(ZornaAdminEvents, loader)()
    assert service.calls == [2]
    assert {k: tuple(v.values()) for k, v in result.items()} == expected
    assert all(list(v) == ["name_en", "name_ru"] for v in result.values())


class Text(str):
    pass


@pytest.mark.parametrize("listed", [["b", "a"], ["a", "c"], ["a", "bb"], [Text("a"), 3, "b"]])
def test_description_keys_are_the_records_ids_whatever_the_catalogue_listed(service, monkeypatch, listed):
    monkeypatch.setattr(service, "get_event_ids", lambda: listed)
    monkeypatch.setattr(service, "get_event_ids_ex", lambda detail: ['a,"A","А"', 'b,"B","Б"'])
    keys = []
    for _ in range(2):  # after the construction, and with the listed catalogue changed since
        obj = ZornaAdminEvents(["a"], None)
        keys.append([(key, type(key)) for key in obj._ZornaAdminEvents__event_description])
        listed[:] = [5, Text("b")]
    assert keys == [[("a", str), ("b", str)]] * 2


def test_record_without_fields_fails(service, monkeypatch):
    monkeypatch.setattr(service, "get_event_ids_ex", lambda detail: ["a,\"x\",\"y\"", "bare"])
    with pytest.raises(IndexError):
        ZornaAdminEvents._ZornaAdminEvents__get_all_event_description()


@pytest.fixture
def obj(sample, lang):
    lang("name_en")
    return ZornaAdminEvents(["user-added"], ["users", "auth"])


def listing(obj, *args, **kwargs):
    return obj._ZornaAdminEvents__get_multiple_string(*args, **kwargs)


def test_event_lines_align_on_longest_id_in_code_points(obj, service, lang):
    descriptions = obj._ZornaAdminEvents__event_description
    descriptions.update({"я": {"name_ru": "Я"}, "ёжик": {"name_ru": "Ё"}})
    service.enabled = {"я": 0}
    service.calls.clear()
    lang("name_ru")
    assert listing(obj, ["я", "ёжик", "я"]) == (
        f"я{' ' * 13}0 {G}Я{E}\nёжик{' ' * 10}1 {G}Ё{E}\nя{' ' * 13}0 {G}Я{E}")
    assert service.names("is_event_enabled") == [("я",), ("ёжик",), ("я",)]


@pytest.mark.parametrize("args, kwargs, status", [((["auth"], 1), {}, "1"), ((["auth"],), {"new_status": 0}, "0")])
def test_group_lines_show_the_given_status(obj, service, args, kwargs, status):
    service.calls.clear()
    assert listing(obj, *args, **kwargs) == f"auth{' ' * 10}{status} {G}Authentication{E}"
    assert service.calls == []


def test_empty_listing_is_empty_text_and_unknown_id_fails(obj, service):
    service.calls.clear()
    assert listing(obj, []) == "" and service.calls == []
    with pytest.raises(KeyError):
        listing(obj, ["unknown"])


def test_grouped_text_layout_through_the_pager(obj, service, pager):
    service.enabled = {"user-deleted": 0}
    obj.show_groups()
    assert pager == [((
        f"Authentication {G}auth{E}\nlogin-failed{' ' * 10}1 {G}Failed login{E}\n\n"
        f"User accounts {G}users{E}\nuser-added{' ' * 12}1 {G}User added{E}\n"
        f"user-deleted{' ' * 10}0 {G}User deleted{E}\n",), {"cmd": "less -R"})]


def test_group_without_events_shows_its_header_only(obj, sample, service, pager):
    (sample.default_config_dir / "empty").mkdir()
    service.groups["empty"] = ("Not installed", "")
    obj._ZornaAdminEvents__group_description = ZornaAdminEvents._ZornaAdminEvents__get_all_group_description()
    obj._ZornaAdminEvents__group_id_list = ["empty"]
    obj.show_groups()
    assert pager == [((f"Not installed {G}empty{E}\n\n",), {"cmd": "less -R"})]


def test_failure_while_building_leaves_the_pager_unstarted(obj, service, pager):
    service.fail_at = len(service.calls) + 5
    with pytest.raises(RuntimeError):
        obj.show_groups()
    assert pager == []
    obj._ZornaAdminEvents__group_id_list = None
    with pytest.raises(TypeError):
        obj.show_groups()


def test_show_all_groups_keeps_the_catalogue_selection(obj, service, pager):
    obj.show_all_groups()
    assert obj._ZornaAdminEvents__group_id_list == ["files", "users", "auth"]
    text = pager[0][0][0]
    positions = [text.index(f" {G}{group}{E}\n") for group in ("auth", "files", "users")]
    assert positions == sorted(positions) and positions[0] == len("Authentication")


def test_sample_tree_through_the_stand_in(tmp_path, monkeypatch, pager, lang, capsys):
    if not hasattr(admin_events.zorna_events, "get_event_ids_ex"):
        pytest.skip("the stand-in event service is not installed")
    root = tmp_path / "root"
    shutil.copytree(Path(__file__).parents[1] / "examples", root)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(root))
    monkeypatch.setattr(ZornaAdminEvents, "_ZornaAdminEvents__default_config_dir",
                        root / "usr/share/syslog-ng-mod-zorna/event-settings")
    lang("name_en")
    groups = ["processes", "Processes"]
    ZornaAdminEvents(["process-exited", "no-such-event"], groups).show_groups()
    assert capsys.readouterr().out == "Unknown group ID: Processes\nUnknown event ID: no-such-event\n"
    assert groups == ["processes"]
    rows = [("process-crashed", 1, "Process crashed"), ("process-exited", 0, "Process exited"),
            ("process-started", 1, "Process started"), ("process-traced", 1, "Process traced with ptrace"),
            ("setuid-program-run", 1, "Set-user-ID program run")]
    lines = "\n".join(f"{i}{' ' * (28 - len(i))}{s} {G}{d}{E}" for i, s, d in rows)
    assert pager == [((f"Processes {G}processes{E}\n{lines}\n",), {"cmd": "less -R"})]
