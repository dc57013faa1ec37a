"""Tests of the stand-in event service and of the sample root tree in examples/."""

from __future__ import annotations

import fcntl
import json
import multiprocessing
import os
import shutil
import signal
from pathlib import Path
from typing import Any, Callable, Dict

import pytest

import zorna_events
from zorna_event_config_manager.config_manager import ZornaConfigManager
from zorna_events import _storage
from zorna_events.errors import (
    CatalogueError,
    ConfigFileError,
    InvalidValueError,
    StateFileError,
    UnknownEventError,
)

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODULE_DIR = Path("usr/share/syslog-ng-mod-zorna")
STATE = Path("etc/zorna-syslog.conf")
PATH_EVENTS = ("file-opened", "modifying-file", "modifying-directory")


@pytest.fixture
def root(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A private copy of the sample tree, made the service root."""
    tree = tmp_path / "root"
    shutil.copytree(EXAMPLES, tree)
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(tree))
    return tree


def state(root: Path) -> Dict[str, Any]:
    return json.loads((root / STATE).read_text(encoding="utf-8"))


def leftovers(root: Path) -> list:
    return [p.name for p in (root / "etc").iterdir() if p.name.endswith(".tmp")]


# ---------------------------------------------------------------- sample tree


def test_sample_tree_is_consistent() -> None:
    catalogue = json.loads((EXAMPLES / MODULE_DIR / "catalogue.json").read_text(encoding="utf-8"))
    groups = [g["id"] for g in catalogue["groups"]]
    events = {e["id"]: e["group"] for e in catalogue["events"]}
    assert 4 <= len(groups) <= 5 and len(events) >= 24
    assert set(PATH_EVENTS) <= set(events)
    defaults_dir = EXAMPLES / MODULE_DIR / "event-settings"
    found = {p.name: p.parent.name for p in defaults_dir.glob("*/*")}
    assert sorted(p.name for p in defaults_dir.iterdir()) == sorted(groups)
    assert found == events  # exactly one defaults file per event, in its group's directory
    for event_id, group in events.items():
        settings = json.loads((defaults_dir / group / event_id).read_text(encoding="ascii"))
        assert isinstance(settings, dict) and settings.get("enabled", "1") in ("0", "1")
    for entry in catalogue["groups"] + catalogue["events"]:
        assert any("\u0400" <= ch <= "\u04ff" for ch in entry["name_ru"]), entry
    translations = json.loads((EXAMPLES / "etc/vek-admin-events/eventsdictionary.json").read_text(encoding="utf-8"))
    assert any("ru" not in value for value in translations.values())
    current = json.loads((EXAMPLES / STATE).read_text(encoding="ascii"))
    assert set(current) <= set(events) and any(v.get("enabled") == "0" for v in current.values())


@pytest.mark.parametrize("listing, ids", [("get_event_ids_ex", "get_event_ids"), ("get_group_ids_ex", "get_group_ids")])
def test_records_split_into_id_and_two_quoted_names(root: Path, listing: str, ids: str) -> None:
    records = getattr(zorna_events, listing)(2)
    fields = [record.split(",") for record in records]
    assert all(len(f) == 3 and f[1][0] == f[1][-1] == f[2][0] == f[2][-1] == '"' for f in fields)
    assert [f[0] for f in fields] == getattr(zorna_events, ids)()
    assert type(zorna_events.get_group_ids()) is list
    assert getattr(zorna_events, listing)(0) == [f[0] for f in fields]
    with pytest.raises(ValueError):
        getattr(zorna_events, listing)(3)


@pytest.mark.parametrize(
    "event_id, expected",
    [
        ("screen-unlocked", 0),  # current "0" wins; defaults have no flag
        ("process-started", 1),  # current "1" beats defaults "0"
        ("logout", 0),  # no current entry: defaults "0"
        ("system-boot", 1),  # neither side: enabled
    ],
)
def test_is_event_enabled_precedence(root: Path, event_id: str, expected: int) -> None:
    result = zorna_events.is_event_enabled(event_id)
    assert result == expected and type(result) is int


# ---------------------------------------------------------------- changes


@pytest.mark.parametrize(
    "call, event_id, check, enabled",
    [
        (lambda: zorna_events.enable_event("logout"), "logout", lambda e: e == {"enabled": "1"}, 1),
        (lambda: zorna_events.disable_event("login-failed"), "login-failed",
         lambda e: e == {"message-syslog-priority": "err", "enabled": "0"}, 0),
        (lambda: zorna_events.set_event_param("system-boot", "", "enabled", "0"), "system-boot",
         lambda e: e == {"enabled": "0"}, 0),
        (lambda: zorna_events.set_event_param("logout", "", "message-syslog-facility", '"local3"'), "logout",
         lambda e: e == {"message-syslog-facility": "local3"}, 0),
        (lambda: zorna_events.set_event_param("sudo-command", "filter", "result", '"failure"'), "sudo-command",
         lambda e: e["filter"] == {"exclude-programs": ["/usr/lib/update-notifier/apt-check"], "result": "failure"}, 1),
        (lambda: zorna_events.set_event_param("file-opened", "watch", "paths", '["/a b"]'), "file-opened",
         lambda e: e["watch"] == {"paths": ["/a b"]} and len(e["message-audit-rules"]) == 3, 1),
        (lambda: zorna_events.set_event_param("system-boot", "extra", "list", '[1, {"a": null}]'), "system-boot",
         lambda e: e == {"extra": {"list": [1, {"a": None}]}}, 1),
    ],
)
def test_change_reaches_file_and_status(
    root: Path, call: Callable[[], None], event_id: str, check: Callable[[Any], bool], enabled: int
) -> None:
    zorna_events.is_event_enabled(event_id)  # warm the cache: the change must still be seen
    before = state(root)
    call()
    after = state(root)
    assert check(after[event_id])
    assert {k: v for k, v in after.items() if k != event_id} == {k: v for k, v in before.items() if k != event_id}
    assert zorna_events.is_event_enabled(event_id) == enabled
    assert leftovers(root) == []


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda: zorna_events.set_event_param("logout", "", "p", "not json"), InvalidValueError, "not valid JSON"),
        (lambda: zorna_events.set_event_param("logout", "", "p", "NaN"), InvalidValueError, "NaN"),
        (lambda: zorna_events.set_event_param("logout", "", "p", '{"a": 1, "a": 2}'), InvalidValueError, "duplicate"),
        (lambda: zorna_events.set_event_param("logout", "", "", "1"), InvalidValueError, "empty"),
        (lambda: zorna_events.set_event_param("logout", "", "enabled", '"yes"'), InvalidValueError, "enabled"),
        (lambda: zorna_events.set_event_param("login-failed", "message-syslog-priority", "x", "1"),
         InvalidValueError, "plain setting in the current"),
        (lambda: zorna_events.set_event_param("logout", "enabled", "x", "1"), InvalidValueError, "plain setting"),
        (lambda: zorna_events.set_event_param("no-such-event", "", "p", "1"), UnknownEventError, "no-such-event"),
        (lambda: zorna_events.enable_event("no-such-event"), KeyError, "unknown event ID"),
        (lambda: zorna_events.is_event_enabled("no-such-event"), KeyError, "unknown event ID"),
    ],
)
def test_refused_change_leaves_state_alone(root: Path, call: Callable[[], Any], error: type, words: str) -> None:
    before = (root / STATE).read_bytes()
    with pytest.raises(error) as info:
        call()
    assert words in str(info.value)
    assert (root / STATE).read_bytes() == before and leftovers(root) == []


def test_malformed_state_file_is_reported_and_kept(root: Path) -> None:
    (root / STATE).write_text('{"logout": {"enabled": "yes"}}')
    with pytest.raises(StateFileError, match="enabled"):
        zorna_events.is_event_enabled("logout")
    (root / STATE).write_text('{"logout": ')
    with pytest.raises(StateFileError, match="not valid JSON"):
        zorna_events.enable_event("logout")
    assert (root / STATE).read_text() == '{"logout": '


@pytest.fixture(params=["anonymous", "named"])
def temporaries(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """Temporary files made with O_TMPFILE, or named ones (file systems without it)."""
    if request.param == "anonymous" and not _storage._ANONYMOUS_TEMPORARIES:
        pytest.skip("no O_TMPFILE or no /proc here")
    monkeypatch.setattr(_storage, "_ANONYMOUS_TEMPORARIES", request.param == "anonymous")
    return request.param


def test_failed_write_keeps_old_file(root: Path, monkeypatch: pytest.MonkeyPatch, temporaries: str) -> None:
    before = (root / STATE).read_bytes()

    def broken_fsync(fd: int) -> None:
        raise OSError(5, "simulated I/O error")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="simulated"):
        zorna_events.enable_event("logout")
    assert (root / STATE).read_bytes() == before and leftovers(root) == []


def test_missing_state_file_is_created(root: Path) -> None:
    (root / STATE).unlink()
    assert zorna_events.is_event_enabled("screen-unlocked") == 1
    zorna_events.disable_event("screen-unlocked")
    assert state(root) == {"screen-unlocked": {"enabled": "0"}}


def _killed_while_writing() -> None:
    os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)
    zorna_events.enable_event("logout")


def test_killed_writer_leaves_no_temporary_file(root: Path, monkeypatch: pytest.MonkeyPatch, temporaries: str) -> None:
    before = (root / STATE).read_bytes()
    writer = multiprocessing.get_context("fork").Process(target=_killed_while_writing)
    writer.start()
    writer.join(60)
    assert writer.exitcode == -signal.SIGKILL and (root / STATE).read_bytes() == before
    if temporaries == "named":
        # Left by the killed writer, and removed by the next one.
        assert len(leftovers(root)) == 1
        monkeypatch.setattr(_storage, "STALE_TEMPORARY_AGE", 0.0)
        zorna_events.enable_event("logout")
    assert leftovers(root) == []


def test_only_stale_temporaries_are_swept(root: Path) -> None:
    etc = root / "etc"
    stale, fresh, locked, other = (etc / n for n in (".zorna-syslog.conf.abcd_123.tmp", ".zorna-syslog.conf.0123abcd.tmp",
                                                     ".zorna-syslog.conf.zzzzzzzz.tmp", ".zorna-syslog.conf.x.tmp"))
    for path in (stale, fresh, locked, other):
        path.write_text("{}")
    for path in (stale, locked, other):
        os.utime(path, (0, 0))
    with open(locked) as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        zorna_events.enable_event("logout")
    assert sorted(leftovers(root)) == sorted(p.name for p in (fresh, locked, other))


def _flip_many(event_id: str) -> None:
    for n in range(60):
        zorna_events.set_event_param(event_id, "counter", "n", str(n))


def test_concurrent_writers_lose_nothing(root: Path) -> None:
    events = ["user-created", "user-deleted", "user-locked", "group-created"]
    context = multiprocessing.get_context("fork")
    workers = [context.Process(target=_flip_many, args=(e,)) for e in events]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert [w.exitcode for w in workers] == [0] * len(events)
    assert all(state(root)[e]["counter"] == {"n": 59} for e in events)


# ---------------------------------------------------------------- import / export


def test_export_import_round_trip(root: Path, tmp_path: Path) -> None:
    zorna_events.set_event_param("logout", "filter", "result", '"success"')
    saved = state(root)
    manager = ZornaConfigManager()
    manager.export_config(tmp_path / "saved.json")
    assert json.loads((tmp_path / "saved.json").read_text()) == saved
    zorna_events.enable_event("logout")
    zorna_events.enable_event("screen-unlocked")
    ZornaConfigManager().import_config(tmp_path / "saved.json")
    assert state(root) == saved
    assert zorna_events.is_event_enabled("screen-unlocked") == 0


@pytest.mark.parametrize(
    "content, words",
    [
        (b'{"logout": ', "not valid JSON"),
        (b"\xff\xfe{}", "UTF-8"),
        (b"[]", "JSON object"),
        (b'{"no-such-event": {}}', "unknown event ID"),
        (b'{"logout": []}', "must be a JSON object"),
        (b'{"logout": {"enabled": 1}}', "enabled"),
        (b'{"logout": {"enabled": "2"}}', "enabled"),
        (b'{"logout": {}, "logout": {}}', "duplicate"),
    ],
)
def test_invalid_import_changes_nothing(root: Path, tmp_path: Path, content: bytes, words: str) -> None:
    before = (root / STATE).read_bytes()
    (tmp_path / "bad.json").write_bytes(content)
    with pytest.raises(ConfigFileError, match=words):
        ZornaConfigManager().import_config(tmp_path / "bad.json")
    with pytest.raises(FileNotFoundError):
        ZornaConfigManager().import_config(tmp_path / "missing.json")
    assert (root / STATE).read_bytes() == before and leftovers(root) == []


# ---------------------------------------------------------------- caching and the root


def test_external_changes_are_seen(root: Path) -> None:
    assert zorna_events.is_event_enabled("logout") == 0
    # Same size, written in place (same inode): only the modification time differs.
    text = (root / STATE).read_text()
    path = root / STATE
    stat = path.stat()
    path.write_text(text.replace('"screen-unlocked": {\n        "enabled": "0"', '"screen-unlocked": {\n        "enabled": "1"'))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))
    assert path.stat().st_size == stat.st_size and zorna_events.is_event_enabled("screen-unlocked") == 1
    # Another writer replacing the file.
    replacement = root / "etc" / "new"
    replacement.write_text(json.dumps({"logout": {"enabled": "1"}}))
    os.replace(replacement, path)
    assert zorna_events.is_event_enabled("logout") == 1
    catalogue_file = root / MODULE_DIR / "catalogue.json"
    catalogue = json.loads(catalogue_file.read_text(encoding="utf-8"))
    catalogue["events"].append({"id": "new-event", "group": "system", "name_en": "New", "name_ru": "Новое"})
    catalogue_file.write_text(json.dumps(catalogue), encoding="utf-8")
    assert zorna_events.get_event_ids()[-1] == "new-event"


def test_root_is_read_at_every_call(root: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    other = tmp_path / "other"
    shutil.copytree(root, other)
    zorna_events.enable_event("logout")
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(other))
    assert zorna_events.is_event_enabled("logout") == 0
    monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(root))
    assert zorna_events.is_event_enabled("logout") == 1


@pytest.mark.parametrize(
    "change, words",
    [
        (lambda c: c["events"][0].update(name_en="Opened, read"), "comma"),
        (lambda c: c["events"][0].update(id="file,opened"), "comma"),
        (lambda c: c["groups"][0].update(name_ru="Доступ\nк файлам"), "line break"),
        (lambda c: c["events"][0].update(name_ru="Открытие\u2028файла"), "line break"),
        (lambda c: c["events"][0].update(id="../x"), "file name"),
        (lambda c: c["events"].append(dict(c["events"][0])), "twice"),
        (lambda c: c["events"][0].update(group="nowhere"), "not a listed group"),
        (lambda c: c.pop("format"), "format"),
    ],
)
def test_bad_catalogue_is_refused_at_load(root: Path, change: Callable[[dict], Any], words: str) -> None:
    path = root / MODULE_DIR / "catalogue.json"
    catalogue = json.loads(path.read_text(encoding="utf-8"))
    change(catalogue)
    path.write_text(json.dumps(catalogue), encoding="utf-8")
    with pytest.raises(CatalogueError, match=words):
        zorna_events.get_event_ids()


@pytest.mark.parametrize("what, spoil, call", [
    ("catalogue", lambda p, out: p.symlink_to(out), zorna_events.get_event_ids),
    ("catalogue", lambda p, out: os.mkfifo(p), zorna_events.get_group_ids),
    ("state", lambda p, out: p.symlink_to(out), lambda: zorna_events.is_event_enabled("logout")),
    ("etc", lambda p, out: p.symlink_to(out.parent), lambda: zorna_events.disable_event("logout")),
    ("defaults", lambda p, out: p.symlink_to(out.parent),
     lambda: zorna_events.set_event_param("logout", "s", "p", "1")),
], ids=["catalogue-link", "catalogue-fifo", "state-link", "etc-link", "defaults-link"])
def test_nothing_below_the_root_is_read_through_a_symlink(root: Path, tmp_path: Path, what: str, spoil, call) -> None:
    outside = tmp_path / "outside" / "zorna-syslog.conf"
    outside.parent.mkdir()
    outside.write_text('{"logout": {"enabled": "0"}}')
    shutil.copy(root / MODULE_DIR / "catalogue.json", outside.parent / "catalogue.json")
    path = {"catalogue": MODULE_DIR / "catalogue.json", "state": STATE, "etc": Path("etc"),
            "defaults": MODULE_DIR / "event-settings"}[what]
    (shutil.rmtree if (root / path).is_dir() else os.unlink)(root / path)
    spoil(root / path, outside)
    before = {p.name: p.read_bytes() for p in outside.parent.iterdir()}
    with pytest.raises(zorna_events.UnsafePathError, match="symlink|not a regular file"):
        call()
    assert {p.name: p.read_bytes() for p in outside.parent.iterdir()} == before
