"""The manual page and bash completion, both worked out from the command's table."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import EXAMPLES, command_path, require_command
from zorna_admin_events import cli, completion, entry, names

REPO = Path(__file__).resolve().parents[1]
SUBCOMMANDS = [command.name for command in cli.COMMANDS]
GROUP_IDS = ["file-access", "user-accounts", "authentication", "processes", "system"]


@pytest.mark.skipif(shutil.which("man") is None, reason="man-db is not installed")
def test_manual_page_renders_without_warnings_and_names_every_option(tmp_path):
    page = tmp_path / "zorna-admin-events.8"
    # The environment is kept (a sanitizer run's settings live there), but not the language.
    env = {**os.environ, "SOURCE_DATE_EPOCH": "86400", "LC_ALL": "C.UTF-8"}
    env.pop("LANGUAGE", None)
    with page.open("w") as out:
        subprocess.run([sys.executable, str(REPO / "tools/make-manpage"), "--version", "9.9"],
                       stdout=out, check=True, env=env)
    proc = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", str(page)], capture_output=True,
                          text=True, env={"MANWIDTH": "80", "LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("ZORNA-ADMIN-EVENTS(8)")
    assert proc.stdout.rstrip().splitlines()[-1].split() == ["zorna-admin-events", "9.9", "1970-01-02",
                                                             "ZORNA-ADMIN-EVENTS(8)"]
    rendered = " ".join(proc.stdout.split())
    for name, sub in subparsers(cli.build_parser()).items():
        assert f"zorna-admin-events {name} " in rendered
        for option in sub._option_string_actions:
            assert option in rendered
    for section in ("EXIT STATUS", "ENVIRONMENT", "FILES", "JSON OUTPUT", "VERIFY", "EXPORT FORMAT", "PATH EVENTS",
                    "SECURITY"):
        assert section in proc.stdout
    for word in names.FACILITIES + names.PRIORITIES + ("PAGER", "ZAE_PAGERSECURE", "NO_COLOR", "LANGUAGE",
                                                       names.LOCK_FILE, "141"):
        assert word in rendered


def subparsers(parser):
    return next(a.choices for a in parser._actions if a.choices and isinstance(a.choices, dict))


@pytest.mark.skipif(shutil.which("man") is None or shutil.which("po4a") is None,
                    reason="man-db or po4a is not installed")
def test_the_russian_manual_page_renders_without_warnings_and_names_every_option_as_the_english_one(tmp_path):
    english = tmp_path / "zorna-admin-events.8"
    env = {**os.environ, "SOURCE_DATE_EPOCH": "86400", "LC_ALL": "C.UTF-8"}
    env.pop("LANGUAGE", None)
    with english.open("w") as out:
        subprocess.run([sys.executable, str(REPO / "tools/make-manpage"), "--version", "9.9"],
                       stdout=out, check=True, env=env)
    subprocess.run(["bash", str(REPO / "tools/po"), "man-translate", str(english), str(tmp_path)], check=True)
    parser = cli.build_parser()
    names_ = set(parser._option_string_actions) | set(subparsers(parser))
    for sub in subparsers(parser).values():
        names_ |= set(sub._option_string_actions)
    rendered = {}
    for language, page in (("en", english), ("ru", tmp_path / "ru/zorna-admin-events.8")):
        proc = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", str(page)], capture_output=True, text=True,
                              env={"MANWIDTH": "80", "LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
        assert (proc.returncode, proc.stderr) == (0, ""), language
        rendered[language] = " ".join(proc.stdout.split())
        assert [name for name in sorted(names_) if f" {name}" not in rendered[language]] == [], language
    for heading in ("НАЗВАНИЕ", "ОБЗОР", "ОПИСАНИЕ", "ПАРАМЕТРЫ", "КОМАНДЫ", "КОД ЗАВЕРШЕНИЯ", "ФАЙЛЫ"):
        assert heading in rendered["ru"]
    assert "показать эту справку и выйти" in rendered["ru"] and "show this help" not in rendered["ru"]


def test_completion_offers_exactly_the_parsers_options():
    parser = cli.build_parser()
    assert set(completion.option_strings(None)) == set(parser._option_string_actions)
    for name, sub in subparsers(parser).items():
        assert set(completion.option_strings(cli.COMMANDS_BY_NAME[name])) == set(sub._option_string_actions), name


@pytest.mark.parametrize("words, current, expected", [
    ([], "", SUBCOMMANDS),
    ([], "--", ["-h", "--help", "--version", "--root", "--debug", "--no-restart", "--no-pager"]),
    (["enable"], "-", ["-h", "--help", "--root", "--debug", "--no-restart", "-q", "--quiet", "--dry-run",
                       "-e", "--event", "-g", "--group"]),
    (["enable"], "", ["-h", "--help", "--root", "--debug", "--no-restart", "-q", "--quiet", "--dry-run",
                      "-e", "--event", "-g", "--group"]),
    (["set-facility"], "", list(names.FACILITIES)),
    (["--root", "ROOT", "set-priority"], "w", list(names.PRIORITIES)),
    (["set-priority", "info"], "", ["-h", "--help", "--root", "--debug", "--no-restart", "-q", "--quiet", "--dry-run",
                                    "-e", "--event", "-g", "--group"]),
    (["--root", "ROOT", "enable", "-g"], "", GROUP_IDS),
    (["--root", "=", "ROOT", "groups"], "", GROUP_IDS),
    (["--root=ROOT", "groups", "file-access"], "a", GROUP_IDS),
    (["--root", "ROOT", "set-properties", "s", "p", "v", "-e"], "", "events"),
    (["groups", "--root", "ROOT"], "", GROUP_IDS),
    (["set-properties"], "", []),
    (["verify"], "-", ["-h", "--help", "--root", "--debug", "--json", "-q", "--quiet", "-e", "--event", "-g", "--group"]),
    (["enable", "--root"], "", [completion.DIRS]),
    (["--root"], "=", [completion.DIRS]),
    (["export"], "", [completion.FILES]),
    (["--debug", "import", "--no-restart"], "/r", [completion.FILES]),
])
def test_completion_candidates(capsys, monkeypatch, words, current, expected):
    monkeypatch.setenv(cli.ROOT_ENV, "/nonexistent")
    words = [str(EXAMPLES) if word == "ROOT" else word.replace("ROOT", str(EXAMPLES)) for word in words]
    assert entry.main([names.COMPLETE, str(len(words) + 1), *words, current]) == 0
    printed = capsys.readouterr().out.splitlines()
    if expected == "events":
        assert "file-opened" in printed and "sudo-command" in printed and "file-access" not in printed
    else:  # those that start with the word being completed
        assert printed == [word for word in expected if word.startswith(current) or word.startswith("\a")]


@pytest.mark.parametrize("root", [None, "/nonexistent\x1b[2J"])
def test_completion_says_why_when_the_catalogue_fails(capsys, monkeypatch, root):
    # A --root that cannot be opened still gets its line.
    monkeypatch.setenv(cli.ROOT_ENV, "/nonexistent\x1b[2J")
    words = ["enable", "-e"] if root is None else ["--root", root, "enable", "-e"]
    assert entry.main([names.COMPLETE, str(len(words) + 1), *words, ""]) == 0
    out, err = capsys.readouterr()
    assert out.startswith(completion.WHY + " zorna-admin-events: no event or group IDs to offer: /nonexistent\\x1b[2J")
    assert (out.count("\n"), err) == (1, "")


HOSTILE_IDS = ["fi$(touch${IFS}PWNED)", "fi`touch${IFS}PWNED`", "file\x1b]0;x\x07", "fil\u00e9"]


@pytest.mark.parametrize("words, offered", [
    ("events fi", ["file-opened", "file-deleted", "file-renamed", "file-permissions-changed",
                   "file-owner-changed", "file-access-denied", "firewall-rules-changed"]),
    ("enable -g ''", GROUP_IDS),
    ("enable -e no-such-", []),
])
def test_bash_completion_never_evaluates_a_trees_ids(tmp_path, words, offered):
    """A tree whose catalogue holds IDs that are shell code: they are neither run nor offered."""
    require_command()
    root = tmp_path / "root"
    shutil.copytree(EXAMPLES, root)
    catalogue = root / names.CATALOGUE_FILE
    document = json.loads(catalogue.read_text())
    for hostile in HOSTILE_IDS:
        document["events"].append(dict(document["events"][0], id=hostile))
        document["groups"].append(dict(document["groups"][0], id=hostile))
    catalogue.write_text(json.dumps(document))
    script = f"""
        source {REPO / "completion/zorna-admin-events.bash"}
        COMP_WORDS=({command_path()} --root {root} {words}); COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1))
        _zorna_admin_events; printf '%s\\n' "${{COMPREPLY[@]}}"
    """
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60, cwd=root)
    assert proc.stdout.splitlines() == (offered or [""]) and not (root / "PWNED").exists()


def test_a_second_tab_says_why_no_id_is_offered(tmp_path):
    require_command()
    script = f"""
        source {REPO / "completion/zorna-admin-events.bash"}
        COMP_WORDS=({command_path()} enable -e lo); COMP_CWORD=3
        for COMP_TYPE in 9 63; do _zorna_admin_events; echo "${{#COMPREPLY[@]}}:${{COMPREPLY[0]}}"; done
    """
    env = {**os.environ, cli.ROOT_ENV: str(tmp_path), "LC_ALL": "C.UTF-8"}
    env.pop("LANGUAGE", None)
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60, env=env)
    catalogue = tmp_path / names.CATALOGUE_FILE
    assert proc.stdout.splitlines() == [
        "0:", f"2:zorna-admin-events: no event or group IDs to offer: {catalogue}: event catalogue not found "
              f"(ZORNA_EVENTS_ROOT is '{tmp_path}')"]


def test_bash_completes_through_the_installed_command(tmp_path):
    require_command()
    (tmp_path / "examples-copy").mkdir()
    script = f"""
        source {REPO / "completion/zorna-admin-events.bash"}
        complete -p zorna-admin-events
        COMP_WORDS=({command_path()} --root {EXAMPLES} groups au); COMP_CWORD=4
        _zorna_admin_events; echo "${{COMPREPLY[@]}}"
        COMP_WORDS=({command_path()} --root {tmp_path}/ex); COMP_CWORD=2
        _zorna_admin_events; echo "${{COMPREPLY[@]}}"
    """
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.stdout.splitlines() == [
        "complete -F _zorna_admin_events zorna-admin-events",
        "authentication",
        f"{tmp_path}/examples-copy",
    ]


@pytest.mark.parametrize("words", [["1", ""], ["2", "set-facility", ""], ["3", "enable", "-e", ""]])
def test_a_tab_imports_neither_the_parser_nor_the_extension(words):
    code = ("import sys; from zorna_admin_events.entry import main; main(['__complete', *sys.argv[1:]]); "
            "print(*sorted(m for m in ('argparse', 'zorna_admin_events.cli', 'zorna_admin_events.admin_events') "
            "if m in sys.modules))")
    env = {**os.environ, cli.ROOT_ENV: str(EXAMPLES)}
    proc = subprocess.run([sys.executable, "-c", code, *words], capture_output=True, text=True, cwd="/", env=env)
    assert proc.returncode == 0 and proc.stdout.splitlines()[-1] == "", proc.stderr
