"""Construction with ID validation, and the look-ups between groups and events."""
import pytest

from zorna_admin_events.admin_events import ZornaAdminEvents

P = "_ZornaAdminEvents__"


@pytest.mark.parametrize(
    "events, groups, kept_events, kept_groups, report",
    [
        (["user-added", "nope", "login-failed"], None, ["user-added", "login-failed"], None,
         ["Unknown event ID: nope"]),
        (["nope", "nope"], [], [], [], ["Unknown event ID: nope", "Unknown event ID: nope"]),
        (["user-added", "user-added"], ["auth", "auth"], ["user-added", "user-added"], ["auth", "auth"], []),
        (["File-Opened", "x", "file-opened"], ["Users", "users", "bad"], ["file-opened"], ["users"],
         ["Unknown group ID: Users", "Unknown group ID: bad", "Unknown event ID: File-Opened",
          "Unknown event ID: x"]),
    ],
)
def test_unknown_ids_are_reported_and_removed_from_the_callers_lists(
        service, capsys, events, groups, kept_events, kept_groups, report):
    obj = ZornaAdminEvents(events, groups)
    assert capsys.readouterr().out.splitlines() == report
    assert getattr(obj, P + "event_id_list") is events and events == kept_events
    assert getattr(obj, P + "group_id_list") is groups and groups == kept_groups


def test_construction_order_and_skipped_service(service, capsys):
    order = []

    class Recorder(ZornaAdminEvents):
        def __setattr__(self, name, value):
            order.append(name.replace(P, ""))
            super().__setattr__(name, value)

    obj = Recorder(None, [])
    assert order == ["event_id_list", "group_id_list", "event_section_translations", "need_daemon_restart",
                     "event_description", "group_description"]
    assert service.calls == [("get_event_ids_ex", 2), ("get_group_ids_ex", 2)]
    assert getattr(obj, P + "event_section_translations") is None
    assert getattr(obj, P + "need_daemon_restart") is False
    assert getattr(obj, P + "group_description")["auth"] == {"name_en": "Authentication", "name_ru": "Аутентификация"}
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("events, groups", [([1], None), (None, ["auth", None]), (["a", b"b"], ["auth"])])
def test_ids_that_are_not_text_are_refused_before_anything_changes(service, events, groups):
    before = (list(events or []), list(groups or []))
    with pytest.raises(TypeError, match="must hold str IDs only"):
        ZornaAdminEvents(events, groups)
    assert (list(events or []), list(groups or [])) == before and service.calls == []


def scan(group):
    return ZornaAdminEvents._ZornaAdminEvents__get_events_by_group_id(group)


def test_group_directory_scan_keeps_known_regular_files_in_listing_order(tree, service):
    service.events = dict.fromkeys(["e1", "e2", "e3", "e4", "g"], ("", ""))
    group_dir = tree.default_config_dir / "g"
    for name in ["e1", "notes.txt", "e2", "g"]:
        tree.add_event("g", name)
    (group_dir / "e3").mkdir()
    (group_dir / "e4").symlink_to(tree.add_event("other", "target"))
    (group_dir / "dangling").symlink_to(tree.root / "missing")
    listed = [entry.name for entry in group_dir.iterdir()]
    expected = [name for name in listed if name in ("e1", "e2", "e4")]
    assert scan("g") == expected
    # One fresh catalogue request per regular file not named like the group.
    assert len(service.names("get_event_ids")) == 4


def test_each_scanned_file_is_checked_against_the_catalogue_asked_for_it(tree, service, monkeypatch):
    ids = ["e1", "e2", "e3", "e4"]  # the same str objects in every answer, or new ones
    for name in ids:
        tree.add_event("g", name)
    listed = [entry.name for entry in (tree.default_config_dir / "g").iterdir()]
    answers = [ids[:], [i for i in ids if i != listed[1]], [i for i in ids if i != listed[2]],
               [str(i.encode().decode()) + "" for i in ids]]
    monkeypatch.setattr(service, "get_event_ids", lambda: answers.pop(0))
    assert scan("g") == [listed[0], listed[3]]


@pytest.mark.parametrize("group, error", [("absent", FileNotFoundError), ("plain", NotADirectoryError)])
def test_missing_or_plain_group_directory_propagates(tree, service, group, error):
    (tree.default_config_dir / "plain").touch()
    with pytest.raises(error):
        scan(group)


def test_grouped_events_sorted_by_code_point(tree, service):
    service.events = dict.fromkeys(["é", "z", "a", "B"], ("", ""))
    tree.add_members({"gb": ["z", "é", "a"], "gB": ["a", "B"], "gc": []})
    obj = object.__new__(ZornaAdminEvents)
    groups = ["gb", "gc", "gB", "gb"]
    result = obj._ZornaAdminEvents__get_grouped_events(groups)
    assert list(result.items()) == [("gB", ["B", "a"]), ("gb", ["a", "z", "é"]), ("gc", [])]
    assert groups == ["gb", "gc", "gB", "gb"]
    service.calls.clear()
    assert obj._ZornaAdminEvents__get_grouped_events([]) == {} and service.calls == []


def test_event_group_first_listed_group_wins_and_errors_propagate(sample, service):
    obj = object.__new__(ZornaAdminEvents)
    find = obj._ZornaAdminEvents__get_event_group
    sample.add_event("auth", "user-added")
    assert find("user-added") == "users"  # listed before auth
    service.groups = {"auth": None, **service.groups}
    assert find("user-added") == "auth"
    assert find("no-such-event") is None and find(None) is None
    service.groups = {"ghost": None, **service.groups}
    with pytest.raises(FileNotFoundError):
        find("login-failed")


class Name(str):
    """A str whose equality the scan must leave to Python."""

    def __eq__(self, other):
        return str.__eq__(self.upper(), other.upper()) if isinstance(other, str) else NotImplemented

    def __hash__(self):
        return hash(self.lower())


@pytest.mark.parametrize("catalogue, expected", [
    (lambda ids: ids, ["e1", "e2"]),                              # the service's list
    (lambda ids: tuple(ids), ["e1", "e2"]),
    (lambda ids: iter(ids), ["e1", "e2"]),                        # any iterable
    (lambda ids: [Name(i.upper()) for i in ids], ["e1", "e2"]),   # hash equal, __eq__ decides
    (lambda ids: ids + [["unhashable"]], TypeError),              # as set() refuses it
])
def test_catalogue_membership_is_that_of_a_set(tree, service, monkeypatch, catalogue, expected):
    tree.add_event("g", "e1")
    tree.add_event("g", "e2")
    tree.add_event("g", "nope")
    known = ["x", "e2", "e1"]
    monkeypatch.setattr(service, "get_event_ids", lambda: catalogue(list(known)))
    lookup = ZornaAdminEvents._ZornaAdminEvents__get_events_by_group_id
    if expected is TypeError:
        with pytest.raises(TypeError, match="unhashable"):
            lookup("g")
    else:
        assert sorted(lookup("g")) == expected


def test_replaced_set_builtin_is_used(tree, service, monkeypatch):
    from zorna_admin_events import admin_events
    tree.add_event("g", "user-added")
    made = []
    monkeypatch.setattr(admin_events, "set", lambda ids: made.append(1) or {"user-added"}, raising=False)
    assert ZornaAdminEvents._ZornaAdminEvents__get_events_by_group_id("g") == ["user-added"]
    assert made == [1]



@pytest.mark.parametrize("ids, kept, unknown", [
    (["x", "a", "zz"], ["a"], ["x", "zz"]),              # x's line changes the list: known stays as it was
    ([Name("A"), Name("ZZ"), "b"], ["A", "b"], ["ZZ"]),  # a str subclass: its __eq__ decides, as in a set
    (["b"] * 40 + ["x"], ["b"] * 40, ["x"]),             # many IDs: a set of the catalogue
    (["Ж", "b", "bb"], ["b"], ["Ж", "bb"]),               # texts compared: another width, a longer text
])
def test_known_ids_are_the_catalogue_as_it_was_asked_for(service, monkeypatch, ids, kept, unknown):
    from zorna_admin_events import admin_events
    catalogue, printed = ["a", "b"], []

    def print_and_change(line):
        printed.append(line)
        catalogue[:] = ["zz"]

    monkeypatch.setattr(service, "get_event_ids", lambda: catalogue)
    monkeypatch.setattr(admin_events, "print", print_and_change, raising=False)
    ZornaAdminEvents(ids, None)
    assert ids == kept
    assert printed == [f"Unknown event ID: {i}" for i in unknown]
