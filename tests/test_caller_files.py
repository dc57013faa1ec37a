"""Files named on the command line: import reads its file once, and both
import and export open it with the rights of the user behind sudo; export
creates its file anew."""

import json
import os
import shutil
import stat
import subprocess
import tempfile
import threading
from pathlib import Path

import pytest

from cli_helpers import CURRENT, command_path

NOBODY = 65534


@pytest.fixture
def public():
    """A directory every user may enter (the test's own tmp_path is root's alone)."""
    if os.geteuid() != 0:
        pytest.skip("needs root, to act for another user")
    directory = Path(tempfile.mkdtemp(prefix="zae-caller."))
    directory.chmod(0o755)
    (directory / "sticky").mkdir(mode=0o1777)
    (directory / "sticky").chmod(0o1777)
    (directory / "rootdir").mkdir(mode=0o755)
    yield directory
    shutil.rmtree(directory)


def test_import_reads_its_file_once(run, tmp_path):
    """The file is swapped for a FIFO as soon as the command has opened it,
    and a writer of other content waits at that FIFO: the command never
    opens the file again (inotify counts the opens), and what it imports is
    what it read first."""
    if shutil.which("inotifywait") is None:
        pytest.skip("inotifywait is not installed (Debian package inotify-tools)")
    document = json.loads((run.root / CURRENT).read_text())
    checked = dict(document, logout={"enabled": "0"})
    hostile = dict(document, logout={"enabled": "1"}, **{"login-failed": {"message-audit-rules": ["-e 2"]}})
    drop = tmp_path / "drop"
    drop.mkdir()
    name = drop / "in.conf"
    name.write_text(json.dumps(checked))
    os.mkfifo(str(drop / "fifo"))
    watch = subprocess.Popen(["inotifywait", "-m", "-e", "open", "--format", "%f", str(drop)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    delivered, command = [], None

    def write_hostile():
        with open(str(name), "w") as fifo:  # waits for a reader
            delivered.append(command.poll() is None)
            fifo.write(json.dumps(hostile))

    try:
        assert "Watches established" in watch.stderr.readline() + watch.stderr.readline()
        argv = [command_path(), "--root", str(run.root), "import", str(name)]
        command = subprocess.Popen(argv, env=run.env, cwd=run.cwd,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert watch.stdout.readline() == "in.conf\n"
        os.rename(str(drop / "fifo"), str(name))
        writer = threading.Thread(target=write_hostile, daemon=True)
        writer.start()
        out, err = command.communicate(timeout=60)
        (drop / "ended").touch()  # between the command's opens and ours (inotify merges repeated events)
        released = os.open(str(name), os.O_RDONLY | os.O_NONBLOCK)  # the writer's reader, none having come
        writer.join(10)
        os.close(released)
        (drop / "end").touch()
        opened = []
        while opened[-1:] != ["end\n"]:
            opened.append(watch.stdout.readline())
    finally:
        for process in filter(None, (watch, command)):
            if process.poll() is None:
                process.kill()
            process.wait()
    assert (command.returncode, out) == (0, ""), err
    assert delivered == [False] and opened[0] == "ended\n"
    assert json.loads((run.root / CURRENT).read_text())["logout"] == {"enabled": "0"}


@pytest.mark.parametrize("config_mode, mode", [(0o644, 0o644), (0o640, 0o600)])
def test_export_over_another_users_file_creates_it_anew(run, public, config_mode, mode):
    (run.root / CURRENT).chmod(config_mode)
    planted = public / "sticky" / "events.conf"
    planted.write_text("planted")
    os.chown(str(planted), NOBODY, NOBODY)
    planted.chmod(0o6777)
    old = planted.stat()
    proc = run("export", str(planted))
    assert (proc.returncode, proc.stderr) == (0, "")
    new = planted.stat()
    assert (new.st_uid, new.st_gid, stat.S_IMODE(new.st_mode)) == (0, 0, mode) and new.st_ino != old.st_ino
    assert json.loads(planted.read_text()) == json.loads((run.root / CURRENT).read_text())
    assert os.listdir(str(public / "sticky")) == ["events.conf"]


SUDO = dict(SUDO_UID=str(NOBODY), SUDO_GID=str(NOBODY), SUDO_USER="nobody")


@pytest.mark.parametrize("args, error, via", [(*case, SUDO) for case in [
    # what root alone may read or write
    (("import", "{public}/rootonly"), "{public}/rootonly: Permission denied"),
    (("export", "{public}/rootdir/events.conf"), "{public}/rootdir/events.conf: Permission denied"),
    # another user's file in a sticky directory, and a link there, as for root below
    (("export", "{public}/sticky/root.conf"), "{public}/sticky/root.conf: Operation not permitted"),
    (("export", "{public}/sticky/link"),
     "{public}/sticky/link: exists and is not a regular file; refusing to replace it"),
    # the caller's own files
    (("export", "{public}/sticky/mine.conf"), None),
    (("import", "{public}/readable"), None),
]] + [(("import", "{public}/rootonly"), "{public}/rootonly: Permission denied", via)
      for via in (dict(PKEXEC_UID=str(NOBODY)), dict(DOAS_USER="nobody"))])
def test_files_are_opened_with_the_sudo_callers_rights(run, public, args, error, via):
    (public / "rootonly").write_text((run.root / CURRENT).read_text())
    (public / "rootonly").chmod(0o600)
    shutil.copy(str(run.root / CURRENT), str(public / "readable"))
    (public / "sticky" / "root.conf").write_text("root's")
    os.symlink(str(public / "rootonly"), str(public / "sticky" / "link"))
    before = {p: p.read_bytes() for p in [run.root / CURRENT, *public.rglob("*")] if p.is_file()}
    run.env.update(via)
    proc = run(*(arg.format(public=public) for arg in args))
    if error is not None:
        closing = "zorna-admin-events: nothing was changed\n" if args[0] == "import" else ""
        assert (proc.returncode, proc.stderr) == (1, f"zorna-admin-events: error: {error.format(public=public)}\n"
                                                     + closing)
        assert {p: p.read_bytes() for p in [run.root / CURRENT, *public.rglob("*")] if p.is_file()} == before
        return
    assert proc.returncode == 0, proc.stderr
    if args[0] == "export":
        st = (public / "sticky" / "mine.conf").stat()
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, NOBODY, 0o644)
        assert sorted(os.listdir(str(public / "sticky"))) == ["link", "mine.conf", "root.conf"]
