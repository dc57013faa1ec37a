"""The Russian message catalogue: complete for every text passed through
gettext, and used by the module and the command under a Russian locale."""

import argparse
import gettext
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import Runner, require_command
from conftest import ZornaAdminEvents
from zorna_admin_events import cli, texts

REPO = Path(__file__).resolve().parents[1]
DOMAIN = "zorna_admin_events"

pytestmark = pytest.mark.skipif(shutil.which("msgfmt") is None, reason="GNU gettext is not installed")


def po_tool(*args, cwd=REPO):
    # argparse's texts are checked as this interpreter has them.
    env = {**os.environ, "PYTHON": sys.executable}
    return subprocess.run(["bash", "tools/po", *args], cwd=cwd, capture_output=True, text=True, timeout=120, env=env)


def compile_catalogue(locale_dir):
    proc = po_tool("compile", str(locale_dir))
    assert proc.returncode == 0, proc.stderr
    return locale_dir


def test_every_text_passed_through_gettext_is_translated():
    proc = po_tool("check")
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("source, line", [
    ("src/selection.cpp", 'void f(const Call& call) { drop_unknown(call, a, b, "Unknown section ID"); }'),
    ("src/config_changes.cpp", 'Ref f(const Call& call) { return translated(call, "A new refusal"); }'),
    ("zorna_admin_events/cli.py", 'HINT = N_("a new summary")'),
    ("zorna_admin_events/cli.py", 'print(_("a new notice"))'),
])
def test_check_names_a_text_without_translation(tmp_path, source, line):
    for part in ("src", "zorna_admin_events", "po", "tools"):
        shutil.copytree(REPO / part, tmp_path / part, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
    with open(tmp_path / source, "a") as f:
        f.write("\n" + line + "\n")
    proc = po_tool("check", cwd=tmp_path)
    assert proc.returncode != 0
    assert line.split('"')[1] in proc.stderr


@pytest.fixture
def russian(tmp_path, monkeypatch):
    """The module's `_` reading the compiled catalogue, in a Russian locale."""
    locale_dir = compile_catalogue(tmp_path / "locale")
    previous = gettext.bindtextdomain(DOMAIN)
    gettext.bindtextdomain(DOMAIN, str(locale_dir))
    monkeypatch.setenv("LANGUAGE", "ru")
    yield
    gettext.bindtextdomain(DOMAIN, previous)


@pytest.mark.parametrize("value, printed", [
    ("word", "Значение VALUE должно быть в формате JSON"),
    ("5", "Недопустимое значение VALUE: 5 (<class 'int'>)"),
])
def test_module_messages_in_russian(russian, sample, capsys, value, printed):
    obj = ZornaAdminEvents(["file-opened", "no-such-event"], None)
    obj.set_properties("watch", "paths", value)
    assert capsys.readouterr().out.splitlines() == [
        "Неизвестный идентификатор события: no-such-event",
        printed,
    ]


@pytest.mark.parametrize("locale_env", [{"LANGUAGE": "ru"}, {"LANG": "ru_RU.UTF-8", "LC_ALL": None}])
def test_command_speaks_russian_under_a_russian_locale(tmp_path, locale_env):
    require_command()
    run = Runner(tmp_path)
    compile_catalogue(run.root / "usr/share/locale")
    for name, value in locale_env.items():
        run.env.pop(name, None)
        if value is not None:
            run.env[name] = value

    proc = run("enable", "-e", "no-such-event", "-g", "authentication")
    assert proc.returncode == 1
    assert proc.stderr == ("zorna-admin-events: Неизвестный идентификатор события: no-such-event\n"
                           "zorna-admin-events: ничего не изменено\n")

    proc = run("enable")
    assert proc.returncode == 2
    assert proc.stderr.startswith("использование: zorna-admin-events enable ")
    assert proc.stderr.endswith(
        "zorna-admin-events enable: ошибка: укажите хотя бы одно событие (-e EVENT) или группу (-g GROUP)\n"
    )


@pytest.fixture
def russian_command(tmp_path, monkeypatch):
    """The command's texts, argparse's included, from the compiled catalogue in Russian."""
    compile_catalogue(tmp_path / "usr/share/locale")
    monkeypatch.setenv("LANGUAGE", "ru")
    monkeypatch.setattr(texts, "_translations", None)
    monkeypatch.setattr(argparse, "_", argparse._)
    monkeypatch.setattr(argparse, "ngettext", argparse.ngettext)
    texts.use_catalogue(str(tmp_path))


ENGLISH = re.compile(r"\b[a-z]{2,} [a-z]{2,}\b")


def test_every_help_page_is_russian_but_its_examples(russian_command):
    parser = cli.build_parser()
    pages = [parser] + list(next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices.values())
    for page in pages:
        prose = [line for line in page.format_help().splitlines()
                 if not line.strip().startswith(cli.PROG) and "[" not in line]
        assert not [line for line in prose if ENGLISH.search(line)], page.prog
