"""Running the installed command on a copy of the sample tree."""

import functools
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"
COMMAND = "zorna-admin-events"
DEFAULTS = Path("usr/share/syslog-ng-mod-zorna/event-settings")

# What the class would read on the real system; a run under --root must not
# create any of them.
SYSTEM_PATHS = (
    Path("/etc/zorna-syslog.conf"),
    Path("/etc/vek-admin-events"),
    Path("/usr/share/syslog-ng-mod-zorna"),
)


@functools.lru_cache(maxsize=None)
def command_path():
    """The installed console script, preferring the one beside this Python."""
    beside = Path(sys.executable).parent / COMMAND
    if beside.exists():
        return str(beside)
    return shutil.which(COMMAND)


@functools.lru_cache(maxsize=None)
def unavailable():
    """Why the command cannot be run end to end here, or None."""
    if not EXAMPLES.is_dir():
        return "no sample tree in examples/"
    if command_path() is None:
        return f"{COMMAND} is not installed"
    probe = subprocess.run(
        [sys.executable, "-c", "import zorna_admin_events.admin_events"],
        capture_output=True,
        text=True,
        env={**os.environ, "ZORNA_EVENTS_ROOT": str(EXAMPLES)},
        cwd="/",
    )
    if probe.returncode != 0:
        last = (probe.stderr.strip().splitlines() or ["?"])[-1]
        return f"the extension module does not import: {last}"
    return None


def require_command():
    reason = unavailable()
    if reason:
        pytest.skip(reason)


@functools.lru_cache(maxsize=None)
def no_mount_namespace():
    """Why a private mount namespace cannot be made here (not root, no
    unshare, a chroot whose root is no mount point), or None."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return "a private mount namespace needs root and unshare (util-linux)"
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    return "no private mount namespace here: " + probe.stderr.strip() if probe.returncode else None


def require_mount_namespace():
    reason = no_mount_namespace()
    if reason:
        pytest.skip(reason)


def copy_tree(dest: Path) -> Path:
    shutil.copytree(EXAMPLES, dest, symlinks=True)
    return dest


def groups_of(root: Path):
    return sorted(p.name for p in (root / DEFAULTS).iterdir() if p.is_dir())


def events_of(root: Path, group: str):
    return sorted(p.name for p in (root / DEFAULTS / group).iterdir() if p.is_file())


def snapshot(root: Path):
    """Every file under root with its content, by relative path."""
    return {
        str(p.relative_to(root)): p.read_bytes()
        for p in sorted(root.rglob("*"))
        if p.is_file()
    }


def files(root: Path):
    """Every file under root but the lock files, which a run may leave."""
    return {path: data for path, data in snapshot(root).items() if not path.endswith(".lock")}


def fake_systemctl(bin_dir: Path, log: Path) -> Path:
    """A systemctl that only records how it was called."""
    bin_dir.mkdir(parents=True, exist_ok=True)
    script = bin_dir / "systemctl"
    script.write_text(f'#!/bin/sh\necho "$*" >> {log}\n')
    script.chmod(0o755)
    return bin_dir


def command_env(extra_path: Path, decoy: Path):
    """Environment of a run: a recording systemctl first on PATH, a pager
    configuration of our own, and a service root that --root has to override."""
    env = dict(os.environ)
    env["PATH"] = f"{extra_path}{os.pathsep}{env.get('PATH', '')}"
    env["LESS"] = ""
    env.pop("LESSOPEN", None)
    env["ZORNA_EVENTS_ROOT"] = str(decoy)
    env["LC_ALL"] = "C.UTF-8"
    env.pop("LANGUAGE", None)
    for name in ("SUDO_UID", "SUDO_GID", "PKEXEC_UID", "DOAS_USER"):  # a run on root's own behalf; tests set them
        env.pop(name, None)
    return env


class Runner:
    """Runs the command under --root on one copy of the sample tree."""

    def __init__(self, tmp_path: Path):
        self.root = copy_tree(tmp_path / "root")
        self.decoy = tmp_path / "decoy"
        self.decoy.mkdir()
        self.systemctl_log = tmp_path / "systemctl.log"
        self.bin = fake_systemctl(tmp_path / "bin", self.systemctl_log)
        self.cwd = tmp_path
        self.env = command_env(self.bin, self.decoy)

    def __call__(self, *args, root=True, command=None):
        argv = list(command or [command_path()])
        if root:
            argv += ["--root", str(self.root)]
        argv += list(args)
        return subprocess.run(
            argv,
            capture_output=True,
            text=True,
            env=self.env,
            cwd=self.cwd,
            stdin=subprocess.DEVNULL,
            timeout=120,
        )


# The current configuration, relative to a Runner's root.
CURRENT = Path("etc/zorna-syslog.conf")
