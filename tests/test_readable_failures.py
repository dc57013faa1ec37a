"""Failures an administrator can read: listings that go on past a broken
file, import lists that end, a current configuration that import can always
replace, one closing line for every refused change, and the groups in JSON."""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from cli_helpers import CURRENT, DEFAULTS, events_of, files, groups_of

TRANSLATIONS = Path("etc/vek-admin-events/eventsdictionary.json")
CLOSING = "zorna-admin-events: nothing was changed\n"
DEEP = '{"a": ' * 100_000 + "1" + "}" * 100_000


def fifo(path):
    path.unlink()
    os.mkfifo(path)


def zero(path):
    path.unlink()
    path.symlink_to("/dev/zero")


def array(path):
    path.write_text("[1]")


@pytest.fixture(scope="session")
def russian(tmp_path_factory):
    """Environment entries for a ru_RU.UTF-8 locale, compiled privately."""
    if shutil.which("localedef") is None or not Path("/usr/share/i18n/locales/ru_RU").exists():
        pytest.skip("no localedef or no ru_RU locale source (Debian package locales)")
    where = tmp_path_factory.mktemp("locale")
    subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", str(where / "ru_RU.UTF-8")], check=True)
    return {"LOCPATH": str(where), "LC_ALL": "ru_RU.UTF-8"}


@pytest.mark.parametrize("spoil", [fifo, zero, array])
@pytest.mark.parametrize("args", [("status",), ("status", "--json"), ("groups",), ("groups", "--json"),
                                  ("events", "login-failed", "logout")])
def test_listings_show_every_event_they_can_read_and_name_the_others(run, spoil, args):
    spoiled = ("authentication", "login-failed")
    expected = sum(len(events_of(run.root, g)) for g in groups_of(run.root)) - 1
    spoil(run.root / DEFAULTS / spoiled[0] / spoiled[1])
    proc = run(*args)
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [
        "zorna-admin-events: error: {}: {}".format(
            run.root / DEFAULTS / "/".join(spoiled),
            "not a JSON object" if spoil is array else "not a regular file")]
    shown = proc.stdout
    if "--json" in args:
        document = json.loads(shown)
        shown = [e["id"] for e in document.get("events") or [e for g in document["groups"] for e in g["events"]]]
        assert len(shown) == expected
    assert "logout" in shown and "login-failed" not in shown


@pytest.mark.parametrize("args", [("status",), ("groups",), ("export", "-")])
def test_a_current_configuration_too_deep_stops_a_listing_or_an_export_in_one_line(run, args):
    (run.root / CURRENT).write_text(DEEP)
    proc = run(*args)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == f"zorna-admin-events: error: {run.root / CURRENT}: nested too deeply\n"


@pytest.mark.parametrize("document, error", [
    ([1, 2], "это не объект JSON"),
    ({"watch": ["ru"]}, "запись 'watch' не является объектом JSON"),
])
def test_translations_of_the_wrong_shape_are_named_and_the_settings_shown(run, russian, document, error):
    (run.root / TRANSLATIONS).write_text(json.dumps(document))
    run.env.update(russian)
    proc = run("events", "file-opened")
    assert proc.returncode == 1 and "watch" in proc.stdout
    assert proc.stderr == f"zorna-admin-events: ошибка: {run.root / TRANSLATIONS}: {error}\n"


@pytest.mark.parametrize("content", [DEEP, "[1]", "{", "\udcff", '{"file-opened": {"enabled": "7"}}'],
                         ids=["deep", "array", "not-json", "not-utf-8", "refused-by-the-service"])
def test_import_replaces_a_current_configuration_that_cannot_be_read(run, content):
    good = run.cwd / "good.conf"
    assert run("export", str(good)).returncode == 0
    (run.root / CURRENT).write_bytes(os.fsencode(content) if content == "\udcff" else content.encode())
    preview = run("import", "--dry-run", str(good))
    assert preview.returncode == 0 and "the import replaces it" in preview.stderr
    assert "login-failed\tenabled: - -> true" in preview.stdout and "Traceback" not in preview.stderr
    proc = run("import", str(good))
    assert proc.returncode == 0, proc.stderr
    assert (run.root / CURRENT).read_bytes() == good.read_bytes() or \
        json.loads((run.root / CURRENT).read_text()) == json.loads(good.read_text())


@pytest.mark.parametrize("bad, named", [(3, 3), (20, 20), (25, 20)])
def test_an_import_names_at_most_20_problems(run, bad, named):
    document = {f"no-such-event-{i:02}": {} for i in range(bad)}
    (run.cwd / "bad.conf").write_text(json.dumps(document))
    proc = run("import", str(run.cwd / "bad.conf"))
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1
    assert [line for line in lines if "unknown event" in line] == [
        f"zorna-admin-events: error: {run.cwd / 'bad.conf'}: no-such-event-{i:02}: unknown event" for i in range(named)]
    assert lines[named:] == ([f"zorna-admin-events: error: \u2026 and {bad - named} more"] if bad > named else []) + [
        CLOSING.rstrip("\n")]


@pytest.mark.parametrize("args, spoil", [
    (("enable", "-e", "nope"), None),
    (("set-properties", "watch", "paths", '["etc"]', "-e", "file-opened"), None),
    (("import", "bad.conf"), None),
    (("enable", "-e", "logout"), CURRENT),
    (("import", "missing.conf"), None),
])
def test_every_refused_change_closes_with_one_line(run, args, spoil):
    (run.cwd / "bad.conf").write_text('{"nope": {}}')
    if spoil:
        fifo(run.root / spoil)
    before = files(run.root) if spoil is None else None
    proc = run(*args)
    assert proc.returncode == 1 and proc.stderr.endswith(CLOSING) and proc.stderr.count(CLOSING) == 1
    assert before is None or files(run.root) == before
    # A change that is only shown never says so.
    assert CLOSING not in run(*args, "--dry-run").stderr


def test_groups_json_has_the_groups_with_their_names_and_events(run):
    proc = run("groups", "--json", "processes", "authentication")
    document = json.loads(proc.stdout)
    status = {e["id"]: e for e in json.loads(run("status", "--json").stdout)["events"]}
    assert [(g["id"], g["name_en"], g["name_ru"]) for g in document["groups"]] == [
        ("authentication", "Authentication", "Аутентификация"), ("processes", "Processes", "Процессы")]
    for group in document["groups"]:
        assert [e["id"] for e in group["events"]] == events_of(run.root, group["id"])
        assert all(e == status[e["id"]] for e in group["events"])
    assert set(json.loads(run("groups", "--json").stdout)["groups"][0]) == {"id", "name_en", "name_ru", "events"}
