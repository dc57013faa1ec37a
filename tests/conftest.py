"""Shared fixtures: an in-memory event service, a recording pager and shell,
and the three path class attributes pointed at a temporary tree."""
import ctypes
import json
import os
import pydoc
import subprocess
import sys
import textwrap

import pytest

from zorna_admin_events import admin_events

ZornaAdminEvents = admin_events.ZornaAdminEvents

PATH_ATTRIBUTES = {
    "default_config_dir": "_ZornaAdminEvents__default_config_dir",
    "current_config_file": "_ZornaAdminEvents__current_config_file",
    "translations_file": "_ZornaAdminEvents__param_ru_translations_file",
}


def instance(**attributes):
    """A ZornaAdminEvents with the given private attributes (by their short
    names) set, and nothing else run."""
    obj = object.__new__(ZornaAdminEvents)
    for name, value in attributes.items():
        setattr(obj, "_ZornaAdminEvents__" + name, value)
    return obj


class FakeEvents:
    """An in-memory outside event service that records every call in `calls`.

    `events` and `groups` map an ID to its (English, Russian) names; the
    records of the extended listings wrap each name in double quotes.  Set
    `fail_at` to make the k-th call (1-based, counting every operation) raise
    `ServiceFailure`.
    """

    def __init__(self, events=None, groups=None, enabled=None):
        self.events = dict(events or {})
        self.groups = dict(groups or {})
        self.enabled = dict(enabled or {})
        self.calls = []
        self.fail_at = None

    def _record(self, *call):
        self.calls.append(call)
        if self.fail_at is not None and len(self.calls) == self.fail_at:
            raise ServiceFailure(f"service failed at call {self.fail_at}: {call!r}")

    def names(self, operation):
        """The calls made of one operation, in order, without the operation name."""
        return [call[1:] for call in self.calls if call[0] == operation]

    def get_event_ids(self):
        self._record("get_event_ids")
        return list(self.events)

    def get_group_ids(self):
        self._record("get_group_ids")
        return list(self.groups)

    def get_event_ids_ex(self, detail):
        self._record("get_event_ids_ex", detail)
        return [f'{i},"{en}","{ru}"' for i, (en, ru) in self.events.items()]

    def get_group_ids_ex(self, detail):
        self._record("get_group_ids_ex", detail)
        return [f'{i},"{en}","{ru}"' for i, (en, ru) in self.groups.items()]

    def is_event_enabled(self, event_id):
        self._record("is_event_enabled", event_id)
        return self.enabled.get(event_id, 1)

    def enable_event(self, event_id):
        self._record("enable_event", event_id)
        self.enabled[event_id] = 1

    def disable_event(self, event_id):
        self._record("disable_event", event_id)
        self.enabled[event_id] = 0

    def set_event_param(self, event_id, section, parameter, value):
        self._record("set_event_param", event_id, section, parameter, value)


class ServiceFailure(RuntimeError):
    """Raised by FakeEvents at its `fail_at`-th call."""


DEFAULT_EVENTS = {
    "file-opened": ("File opened", "Открытие файла"),
    "modifying-file": ("File modified", "Изменение файла"),
    "modifying-directory": ("Directory modified", "Изменение каталога"),
    "user-added": ("User added", "Добавление пользователя"),
    "user-deleted": ("User deleted", "Удаление пользователя"),
    "login-failed": ("Failed login", "Неудачный вход"),
}
DEFAULT_GROUPS = {
    "files": ("File access", "Доступ к файлам"),
    "users": ("User accounts", "Учётные записи"),
    "auth": ("Authentication", "Аутентификация"),
}
DEFAULT_MEMBERS = {
    "files": ["file-opened", "modifying-file", "modifying-directory"],
    "users": ["user-added", "user-deleted"],
    "auth": ["login-failed"],
}


@pytest.fixture
def run(tmp_path):
    """The installed command under --root on a fresh copy of the sample tree
    (a module may define its own)."""
    from cli_helpers import Runner, require_command

    require_command()
    return Runner(tmp_path)


@pytest.fixture
def service(monkeypatch):
    """The default fake catalogue, installed as the module's `zorna_events`."""
    fake = FakeEvents(DEFAULT_EVENTS, DEFAULT_GROUPS)
    monkeypatch.setattr(admin_events, "zorna_events", fake)
    return fake


class Tree:
    """A temporary defaults directory, current configuration and translations file."""

    def __init__(self, root):
        self.root = root
        self.default_config_dir = root / "event-settings"
        self.current_config_file = root / "zorna-syslog.conf"
        self.translations_file = root / "eventsdictionary.json"
        self.default_config_dir.mkdir()

    def add_event(self, group, event, settings=None):
        """Write an event's defaults file into its group's directory."""
        group_dir = self.default_config_dir / group
        group_dir.mkdir(exist_ok=True)
        path = group_dir / event
        path.write_text(json.dumps({} if settings is None else settings))
        return path

    def add_members(self, members):
        for group, events in members.items():
            (self.default_config_dir / group).mkdir(exist_ok=True)
            for event in events:
                self.add_event(group, event, {"enabled": "1"})

    def write_current(self, document):
        self.current_config_file.write_text(document if isinstance(document, str) else json.dumps(document))

    def write_translations(self, document):
        self.translations_file.write_text(document if isinstance(document, str) else json.dumps(document))


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """The class's three paths pointed at an empty temporary tree."""
    t = Tree(tmp_path)
    for name, attribute in PATH_ATTRIBUTES.items():
        monkeypatch.setattr(ZornaAdminEvents, attribute, getattr(t, name))
    return t


@pytest.fixture
def sample(tree, service):
    """The default catalogue with its group directories laid out in the tree."""
    tree.add_members(DEFAULT_MEMBERS)
    return tree


@pytest.fixture
def pager(monkeypatch):
    """Records every call of pydoc.pipepager as (args, kwargs) instead of paging."""
    calls = []
    monkeypatch.setattr(pydoc, "pipepager", lambda *args, **kwargs: calls.append((args, kwargs)))
    return calls


@pytest.fixture
def system(monkeypatch):
    """Records every command given to os.system instead of running it."""
    commands = []

    def fake_system(command):
        commands.append(command)
        return 0

    monkeypatch.setattr(os, "system", fake_system)
    return commands


@pytest.fixture
def lang(monkeypatch):
    """Set the module's description language: lang("name_ru")."""
    return lambda value: monkeypatch.setattr(admin_events, "LANG", value)


def shortcut_counts():
    """How often each cache and fast path of the module has answered so far
    ({} in a build without them), read through the module's C function."""
    read = ctypes.CDLL(admin_events.__file__).zae_shortcut_counts
    read.restype = ctypes.c_size_t
    read.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_uint64), ctypes.c_size_t]
    n = read(None, None, 0)
    names, counts = (ctypes.c_char_p * n)(), (ctypes.c_uint64 * n)()
    read(names, counts, n)
    return {name.decode(): count for name, count in zip(names, counts)}


def run_python(code, env=None, check=True):
    """Run Python code in a fresh interpreter; returns the CompletedProcess."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, **(env or {})},
        cwd="/",  # not the source tree, whose package folder lacks the compiled module
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result
