"""Small frictions a new administrator met: Russian under --root with the
system's catalogue, the Russian manual page, Ansible's tools in the set-up's
environment."""

import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

from cli_helpers import REPO, command_path
from zorna_admin_events import names, texts

NOTICE_RU = "zorna-admin-events: Неизвестный идентификатор события: no-such-event\n"


def test_under_a_root_without_a_catalogue_the_systems_is_used(run, tmp_path):
    """As the Debian package installs it: in /usr/share/locale only (the
    package's own copy hidden), with a tree that has none."""
    if os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("msgfmt") is None or \
            subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs root, a private mount namespace (unshare) and msgfmt")
    shutil.rmtree(run.root / names.LOCALE_DIR)
    system, empty = tmp_path / "system-locale", tmp_path / "empty"
    empty.mkdir()
    subprocess.run(["bash", str(REPO / "tools/po"), "compile", str(system)], check=True)
    mounts = [f"mount --bind {shlex.quote(str(system))} /{names.LOCALE_DIR}"]
    if os.path.isdir(texts.package_locale_dir()):
        mounts.append(f"mount --bind {shlex.quote(str(empty))} {shlex.quote(texts.package_locale_dir())}")
    command = " ".join(shlex.quote(a) for a in [command_path(), "--root", str(run.root), "enable", "-e", "no-such-event"])
    script = " && ".join(mounts + ["exec " + command])
    env = dict(run.env, LANGUAGE="ru")
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.stderr.startswith(NOTICE_RU), proc.stderr
    # Without the system's either: English, not a failure.
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                           script.replace(shlex.quote(str(system)), shlex.quote(str(empty)))],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.stderr.startswith("zorna-admin-events: Unknown event ID: no-such-event\n"), proc.stderr


@pytest.mark.parametrize("env, hint", [({"LANGUAGE": "ru"}, True), ({"LANGUAGE": "en"}, False)])
def test_the_demo_says_how_to_see_russian_descriptions(tmp_path, env, hint):
    """tools/demo, with a set-up that does nothing, on this environment."""
    (tmp_path / "tools").mkdir()
    shutil.copy(REPO / "tools/demo", tmp_path / "tools/demo")
    (tmp_path / "tools/setup").write_text("")
    (tmp_path / "examples").symlink_to(REPO / "examples")
    venv = Path(command_path()).parent.parent
    if not (venv / "bin/python").exists():
        pytest.skip("the command is not installed in a virtual environment, as tools/demo makes it")
    base = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG"))}
    proc = subprocess.run(["bash", str(tmp_path / "tools/demo"), "status", "-e", "logout"], capture_output=True,
                          text=True, env=dict(base, ZAE_VENV=str(venv), LANG="C.UTF-8", **env), timeout=60)
    assert proc.returncode == 0 and "logout" in proc.stdout
    assert ("LANG=ru_RU.UTF-8 tools/demo" in proc.stderr) == hint
