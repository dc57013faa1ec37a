"""`groups` in a real terminal: the pager opens with colours and `q` leaves it."""

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
    socket = f"zae-cli-{tmp_path.name}"

    def tmux_(*args, check=True):
        return subprocess.run(
            ["tmux", "-L", socket, "-f", "/dev/null", *args],
            capture_output=True, text=True, check=check,
        ).stdout

    yield tmux_
    tmux_("kill-server", check=False)


def test_groups_opens_the_pager_in_a_terminal(tmux, tmp_path):
    require_command()
    run = Runner(tmp_path)
    status = tmp_path / "status"
    env = " ".join(
        f"{name}={shlex.quote(run.env[name])}"
        for name in ("PATH", "LESS", "ZORNA_EVENTS_ROOT", "LC_ALL")
    )
    line = (
        f"env {env} TERM=screen {shlex.quote(command_path())} --root {shlex.quote(str(run.root))}"
        f" groups; echo $? > {shlex.quote(str(status))}"
    )
    tmux("new-session", "-d", "-s", "zae", "-x", "200", "-y", "50", line)
    first_group = groups_of(run.root)[0]

    def screen_with_first_group():
        screen = tmux("capture-pane", "-p", "-e", "-t", "zae")
        return screen if first_group in screen else ""

    screen = wait_for(screen_with_first_group)
    assert screen and first_group in screen, screen
    # less holds the screen: its prompt sits on the last line and the command has not ended
    # (pydoc of 3.13 and later gives less a longer prompt: "line 1/46 (END) (press h ...").
    plain = [row.strip() for row in tmux("capture-pane", "-p", "-t", "zae").splitlines() if row.strip()]
    assert plain[-1] == ":" or "(END)" in plain[-1], plain[-3:]
    assert GREY in screen, "the descriptions lost their colour codes"
    assert not status.exists()

    tmux("send-keys", "-t", "zae", "q")
    assert wait_for(status.exists), "the pager did not end on q"
    assert wait_for(lambda: status.read_text().strip()) == "0"
    assert not run.systemctl_log.exists()
