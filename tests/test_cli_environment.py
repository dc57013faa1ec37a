"""The command in a hostile environment: roots, languages, catalogues,
arguments and files that would hang it, crash it or mislead it."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from cli_helpers import CURRENT, command_path, snapshot
from zorna_admin_events import names, texts

TRANSLATIONS = Path("etc/vek-admin-events/eventsdictionary.json")
DEFAULT = Path("usr/share/syslog-ng-mod-zorna/event-settings/file-access/file-opened")
DEEP = "[" * 100_000 + "]" * 100_000


def msgfmt(po_text, locale_dir):
    if shutil.which("msgfmt") is None:
        pytest.skip("GNU gettext is not installed")
    target = locale_dir / "ru/LC_MESSAGES" / (names.TEXT_DOMAIN + ".mo")
    target.parent.mkdir(parents=True, exist_ok=True)
    po = locale_dir / "ru.po"
    po.write_text('msgid ""\nmsgstr "Content-Type: text/plain; charset=UTF-8\\n"\n\n' + po_text)
    subprocess.run(["msgfmt", "-o", str(target), str(po)], check=True)


@pytest.mark.parametrize("root, error", [
    ("", "an empty name is not a directory"),
    ("empty", "holds no event catalogue: "),
])
def test_a_root_without_a_catalogue_is_a_usage_error_that_creates_nothing(run, root, error):
    (run.cwd / "empty").mkdir()
    before = sorted(run.cwd.rglob("*"))
    proc = run("--root", root, "enable", "-g", "processes", root=False)
    assert proc.returncode == 2
    assert error in proc.stderr and names.ROOT_ENV not in proc.stderr
    if root:
        assert str(run.cwd / root / names.CATALOGUE_FILE) in proc.stderr
    assert sorted(run.cwd.rglob("*")) == before


@pytest.mark.parametrize("environ, kept", [
    ({"LANGUAGE": "/tmp/x:ru:../y:en"}, {"LANGUAGE": "ru:en"}),
    ({"LANGUAGE": "/tmp/x", "LC_ALL": "../../x", "LC_MESSAGES": "ru_RU", "LANG": "a/b"}, {"LC_MESSAGES": "ru_RU"}),
])
def test_languages_naming_a_path_are_dropped(environ, kept):
    environ = dict(environ)
    texts.clean_language_environment(environ)
    assert environ == kept


def test_a_catalogue_outside_the_tree_is_never_loaded(run, tmp_path):
    msgfmt('msgid "usage: "\nmsgstr "OWNED: "\n', tmp_path / "evil")
    run.env["LANGUAGE"] = str(tmp_path / "evil")
    proc = run("enable")
    assert proc.returncode == 2 and "OWNED" not in proc.stderr and proc.stderr.startswith("usage: ")


def test_a_translation_with_other_placeholders_falls_back_to_the_original(run):
    msgfmt('msgid "%(prog)s: error: %(message)s\\n"\nmsgstr "%(prog)s: ошибка %(oops)s\\n"\n\n'
           'msgid "{prog}: error: {message}"\nmsgstr "{prog}: ошибка: {nothing}"\n\n'
           'msgid "usage: "\nmsgstr "использование: "\n', run.root / names.LOCALE_DIR)
    run.env["LANGUAGE"] = "ru"
    usage = run("enable")
    assert usage.returncode == 2 and "Traceback" not in usage.stderr
    assert usage.stderr.startswith("использование: ")
    assert "zorna-admin-events enable: error: " in usage.stderr
    failure = run("import", str(run.cwd / "missing.conf"))
    assert failure.returncode == 1 and failure.stderr.startswith("zorna-admin-events: error: ")


@pytest.mark.parametrize("spoil", [lambda data: data[:30], lambda data: data.replace(b"UTF-8", b"no-such")])
def test_a_broken_catalogue_in_the_tree_means_no_translation(run, spoil):
    msgfmt('msgid "usage: "\nmsgstr "использование: "\n', run.root / names.LOCALE_DIR)
    mo = run.root / names.LOCALE_DIR / "ru/LC_MESSAGES" / (names.TEXT_DOMAIN + ".mo")
    mo.write_bytes(spoil(mo.read_bytes()))
    run.env["LANGUAGE"] = "ru"
    proc = run("enable")
    assert proc.returncode == 2 and proc.stderr.startswith("usage: ") and "Traceback" not in proc.stderr


@pytest.mark.parametrize("args", [
    ("enable", "-e", b"\xff\xfe"),
    ("set-properties", "w", "p", b'"/etc/\xff"', "-e", "file-opened"),
    ("--root", b"/tmp/\xff", "groups"),
])
def test_an_argument_not_in_the_locales_encoding_is_a_usage_error(run, args):
    before = snapshot(run.root)
    argv = [os.fsencode(command_path()), b"--root", os.fsencode(run.root)]
    argv += [a if isinstance(a, bytes) else a.encode() for a in args]
    proc = subprocess.run(argv, capture_output=True, env=run.env, timeout=60)
    assert proc.returncode == 2
    assert b"not valid in the locale's encoding" in proc.stderr and b"Traceback" not in proc.stderr
    assert b"\\udc" not in proc.stderr and b"\\xff" in proc.stderr  # the bytes, as the rest of the system shows them
    assert snapshot(run.root) == before


def fifo(path):
    path.unlink()
    os.mkfifo(path)


def device(path):
    path.unlink()
    path.symlink_to("/dev/zero")


def directory(path):
    path.unlink()
    path.mkdir()


def content(data):
    def write(path):
        path.write_bytes(data)
    return write


@pytest.mark.parametrize("file, spoil, args, error", [
    (CURRENT, fifo, ("enable", "-e", "logout"), "not a regular file"),
    (CURRENT, fifo, ("events", "logout"), "not a regular file"),
    (CURRENT, device, ("status",), "not a regular file"),
    (CURRENT, directory, ("groups",), "not a regular file"),
    (TRANSLATIONS, fifo, ("events", "logout"), "not a regular file"),
    (TRANSLATIONS, device, ("events", "logout"), "not a regular file"),
    (DEFAULT, fifo, ("events", "file-opened"), "not a regular file"),
    (CURRENT, content(b"{\"logout\": {\"enabled\": \"\xff\"}}"), ("events", "logout"), "not UTF-8"),
    (CURRENT, content(b"\xef\xbb\xbf{}"), ("events", "logout"), "not valid JSON (line 1, column 1)"),
    (CURRENT, content(b""), ("events", "logout"), "not valid JSON (line 1, column 1)"),
    (CURRENT, content(b"{\n  \"logout\": {,}\n}"), ("events", "logout"), "not valid JSON (line 2, column 14)"),
    (CURRENT, content(b"[]"), ("events", "logout"), "not a JSON object"),
    (CURRENT, content(b"{\"logout\": null}"), ("events", "logout"), "the entry 'logout' is not a JSON object"),
    (CURRENT, content(DEEP.encode()), ("events", "logout"), "nested too deeply"),
    (TRANSLATIONS, content(b"\xff"), ("events", "logout"), "not UTF-8"),
    (DEFAULT, content(b"{\"a\": " + DEEP.encode() + b"}"), ("groups",), "nested too deeply"),
    # import checks its file against the defaults: a broken one is named too
    (DEFAULT, content(b"{"), ("import", str("root" / CURRENT)), "not valid JSON (line 1, column 2)"),
])
def test_a_hostile_file_gets_one_line_naming_it(run, file, spoil, args, error):
    spoil(run.root / file)
    proc = run(*args)
    assert proc.returncode == 1
    closing = "zorna-admin-events: nothing was changed\n" if args[0] in ("enable", "import") else ""
    assert proc.stderr == f"zorna-admin-events: error: {run.root / file}: {error}\n" + closing


def test_translations_that_are_not_json_are_ignored_as_before(run):
    (run.root / TRANSLATIONS).write_text("{")
    run.env["LANGUAGE"] = "ru"
    proc = run("events", "logout")
    assert (proc.returncode, proc.stderr) == (0, "")


def test_without_a_system_catalogue_the_packages_own_is_used(run):
    shutil.rmtree(run.root / names.LOCALE_DIR, ignore_errors=True)
    if not (Path(texts.package_locale_dir()) / "ru/LC_MESSAGES" / (names.TEXT_DOMAIN + ".mo")).exists():
        pytest.skip("the package was built without msgfmt")
    run.env["LANGUAGE"] = "ru"
    proc = run("enable", "-e", "no-such-event")
    assert proc.stderr.startswith("zorna-admin-events: Неизвестный идентификатор события: no-such-event")


def test_import_replaces_a_broken_configuration(run):
    good = run.cwd / "good.conf"
    good.write_bytes((run.root / CURRENT).read_bytes())
    (run.root / CURRENT).write_bytes(b"\xff")
    proc = run("import", str(good), "--no-restart")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert (run.root / CURRENT).read_bytes() != b"\xff"
