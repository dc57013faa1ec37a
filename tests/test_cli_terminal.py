"""`groups` in a real terminal: the pager opens with colours and `q` leaves it."""

import os
import shlex
import shutil
import subprocess
import time

import pytest

from cli_helpers import Runner, command_path, groups_of, require_command

GREY = "\x1b[90m"


def wait_for(predicate, timeout=20.0, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


@pytest.fixture
def tmux(tmp_path):
    if shutil.which("tmux") is None:
        pytest.skip("tmux is not installed")
    # A server of this run's own: the test's folder has the same name in every pytest run, and
    # the runs of one user share tmux's socket folder, where another run's kill-server on the
    # same name would end this run's session.
    socket = f"zae-cli-{os.getpid()}-{tmp_path.name}"

    def tmux_(*args, check=True):
        return subprocess.run(
            ["tmux", "-L", socket, "-f", "/dev/null", *args],
            capture_output=True, text=True, check=check,
        ).stdout

    yield tmux_
    tmux_("kill-server", check=False)


def start(tmux, run, status, rows, args, extra=""):
    """The command in a terminal of ``rows`` rows; the pane stays after it ends."""
    env = extra + " " + " ".join(
        f"{name}={shlex.quote(run.env[name])}"
        for name in ("PATH", "ZORNA_EVENTS_ROOT", "LC_ALL")
    )
    unset = "-u LESS -u PAGER -u ZAE_PAGERSECURE -u SUDO_UID -u PKEXEC_UID -u DOAS_USER"
    line = (
        f"env {unset} {env} TERM=screen {shlex.quote(command_path())} --root {shlex.quote(str(run.root))}"
        f" {args}; echo $? > {shlex.quote(str(status))}; sleep 60"
    )
    tmux("new-session", "-d", "-s", "zae", "-x", "200", "-y", str(rows), line)


def test_a_long_listing_opens_the_pager_and_stays_after_q(tmux, tmp_path):
    require_command()
    run = Runner(tmp_path)
    status = tmp_path / "status"
    start(tmux, run, status, 20, "groups")
    first_group = groups_of(run.root)[0]

    def screen_with_first_group():
        screen = tmux("capture-pane", "-p", "-e", "-t", "zae")
        return screen if first_group in screen else ""

    screen = wait_for(screen_with_first_group)
    assert screen and first_group in screen, screen
    # less holds the screen: its prompt sits on the last line and the command has not ended
    # (pydoc of 3.13 and later gives less a longer prompt: "line 1 (press h ...").
    plain = [row.strip() for row in tmux("capture-pane", "-p", "-t", "zae").splitlines() if row.strip()]
    assert plain[-1] == ":" or "(END)" in plain[-1] or "press h for help" in plain[-1], plain[-3:]
    assert GREY in screen, "the descriptions lost their colour codes"
    assert not status.exists()

    tmux("send-keys", "-t", "zae", "q")
    assert wait_for(status.exists), "the pager did not end on q"
    assert wait_for(lambda: status.read_text().strip()) == "0"
    # What was read is still on the screen.
    assert first_group in tmux("capture-pane", "-p", "-t", "zae")
    assert not run.systemctl_log.exists()


def test_a_short_listing_stays_on_the_screen_without_q(tmux, tmp_path):
    require_command()
    run = Runner(tmp_path)
    status = tmp_path / "status"
    start(tmux, run, status, 50, "groups processes")
    assert wait_for(status.exists), "the pager waited although everything fit on the screen"
    assert wait_for(lambda: status.read_text().strip()) == "0"
    assert "process-crashed" in tmux("capture-pane", "-p", "-t", "zae")


@pytest.mark.parametrize("extra, runs", [
    ("SUDO_UID=1000 SUDO_USER=operator", False),
    ("PKEXEC_UID=1000", False),
    ("DOAS_USER=operator", False),
    # A pager named in the environment is not used on another's behalf.
    ("SUDO_UID=1000 PAGER=sh", False),
    # Allowed explicitly: the administrator's own choice.
    ("SUDO_UID=1000 ZAE_PAGERSECURE=0", True),
    ("", True),
])
def test_a_command_typed_into_the_pager_runs_only_for_root_itself(tmux, tmp_path, extra, runs):
    if os.geteuid() != 0:
        pytest.skip("needs root, as the command is run through sudo")
    require_command()
    run = Runner(tmp_path)
    status, planted = tmp_path / "status", tmp_path / "planted"
    start(tmux, run, status, 20, "groups", extra)
    first_group = groups_of(run.root)[0]
    assert wait_for(lambda: first_group in tmux("capture-pane", "-p", "-t", "zae"))
    tmux("send-keys", "-t", "zae", f"!touch {planted}", "Enter")

    def left():
        # In secure mode "!" is no command and the rest are other keys (h: help): q until it ends.
        tmux("send-keys", "-t", "zae", "q")
        return status.exists()

    # less runs a shell command before it reads the next key, so once it has ended, it is done.
    assert wait_for(left, step=0.5), "the pager did not end on q"
    assert planted.exists() == runs
