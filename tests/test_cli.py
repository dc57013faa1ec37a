"""The command's own logic, with a recording double in place of the extension class."""

import contextlib
import os
import re
import sys
import types
from pathlib import Path

import pytest

from zorna_admin_events import cli, names

KNOWN_EVENTS = {"file-opened", "modifying-file", "e1", "e2"}
KNOWN_GROUPS = {"g1", "g2"}


class FakeAdminEvents:
    """Behaves towards its caller as the extension class does."""

    _ZornaAdminEvents__default_config_dir = Path("/usr/share/syslog-ng-mod-zorna/event-settings")
    _ZornaAdminEvents__current_config_file = Path("/etc/zorna-syslog.conf")
    _ZornaAdminEvents__param_ru_translations_file = Path("/etc/vek-admin-events/eventsdictionary.json")

    calls = []          # (name, args) in call order, constructor included
    fail_with = None    # exception raised by the next public method
    changes = True      # whether a changing method marks a restart

    def __init__(self, event_id_list, group_id_list):
        copy = [None if ids is None else list(ids) for ids in (event_id_list, group_id_list)]
        type(self).calls.append(("__init__", tuple(copy)))
        for ids, known, label in ((group_id_list, KNOWN_GROUPS, "group"),
                                  (event_id_list, KNOWN_EVENTS, "event")):
            for i in list(ids or ()):
                if i not in known:
                    ids.remove(i)
                    print(f"Unknown {label} ID: {i}")
        self._ZornaAdminEvents__need_daemon_restart = False
        self._ZornaAdminEvents__event_id_list = event_id_list

    def _record(self, name, *args, changing=False):
        type(self).calls.append((name, args))
        if type(self).fail_with is not None:
            raise type(self).fail_with
        if changing and type(self).changes:
            self._ZornaAdminEvents__need_daemon_restart = True

    def show_all_groups(self): self._record("show_all_groups")
    def show_groups(self): self._record("show_groups")
    def show_events(self): self._record("show_events")
    def enable(self): self._record("enable", changing=True)
    def disable(self): self._record("disable", changing=True)
    def set_priority(self, p): self._record("set_priority", p, changing=True)
    def set_facility(self, f): self._record("set_facility", f, changing=True)
    def set_properties(self, s, p, v): self._record("set_properties", s, p, v, changing=True)
    # import and export get a private file in place of the one named: the
    # fake records what it read, and writes its name
    def import_config(self, f): self._record("import_config", Path(f).read_text(), changing=True)
    def restart_daemons(self): self._record("restart_daemons")

    @classmethod
    def export_config(cls, f):
        cls.calls.append(("export_config", (f,)))
        if cls.fail_with is not None:
            raise cls.fail_with
        Path(f).write_text(f)


@pytest.fixture
def fake(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    Path("in.json").write_text("in.json")
    cls = type("ZornaAdminEvents", (FakeAdminEvents,), {"calls": []})
    monkeypatch.setattr(cli, "load_class", lambda root, output=None: cls)

    @contextlib.contextmanager
    def run_lock(root, stderr):
        cls.calls.append(("lock", (root,)))
        yield
        cls.calls.append(("unlock", ()))

    monkeypatch.setattr(cli, "run_lock", run_lock)

    class Transaction:
        """Changed when the class marks a restart; never touches a file."""

        def __init__(self, root, stderr):
            self.changed = self.undone = False

        def __enter__(self):
            return self

        def commit(self):
            self.changed = cls.changes

        def __exit__(self, *exc):
            pass

    monkeypatch.setattr(cli, "Transaction", Transaction)
    monkeypatch.setattr(cli, "check_import", lambda cls, path, shown, stderr: {})
    return cls


def tree(root):
    """The least a --root needs: the event catalogue."""
    catalogue = root / names.CATALOGUE_FILE
    catalogue.parent.mkdir(parents=True)
    catalogue.write_text("{}")
    return root


@pytest.mark.parametrize(
    "argv, ctor, call, restarted",
    [
        (["groups"], (None, None), ("show_all_groups", ()), False),
        (["groups", "g2", "g1"], (None, ["g2", "g1"]), ("show_groups", ()), False),
        (["events", "e1", "e2"], (["e1", "e2"], None), ("show_events", ()), False),
        (["enable", "-e", "e1", "-g", "g1", "--event", "e2"], (["e1", "e2"], ["g1"]), ("enable", ()), True),
        (["disable", "-g", "g1"], (None, ["g1"]), ("disable", ()), True),
        (["disable", "-g", "g1", "--no-restart"], (None, ["g1"]), ("disable", ()), False),
        (["set-facility", "auth", "-e", "e1"], (["e1"], None), ("set_facility", ("auth",)), True),
        (["set-priority", "info", "--group", "g2"], (None, ["g2"]), ("set_priority", ("info",)), True),
        (["set-properties", "", "message-paths", '["/a b", "/c"]', "-e", "file-opened", "-e", "e1"],
         (["file-opened", "e1"], None), ("set_properties", ("", "message-paths", '["/a b", "/c"]')), True),
        (["set-properties", "sec", "par", '{"/x": 1}', "-e", "e1", "--no-restart"],
         (["e1"], None), ("set_properties", ("sec", "par", '{"/x": 1}')), False),
        (["import", "in.json"], (None, None), ("import_config", ("in.json",)), True),
        (["--debug", "import", "in.json", "--no-restart"], (None, None), ("import_config", ("in.json",)), False),
        (["--no-restart", "--debug", "enable", "-g", "g1"], (None, ["g1"]), ("enable", ()), False),
    ],
)
def test_subcommand_builds_selection_and_calls_method(fake, argv, ctor, call, restarted):
    assert cli.main(argv) == 0
    expected = [("__init__", ctor), call]
    if call[0] not in ("show_all_groups", "show_groups", "show_events"):
        # A changing command runs whole under the lock, and restarts after it.
        expected = [("lock", (None,))] + expected + [("unlock", ())]
    expected += [("restart_daemons", ())] if restarted else []
    assert fake.calls == expected


def test_export_is_called_on_the_class_without_an_object(fake):
    assert cli.main(["export", "out.json"]) == 0
    [(method, (private,))] = fake.calls
    assert method == "export_config" and Path("out.json").read_text() == private != "out.json"


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["frobnicate"],
        ["enable"],
        ["disable", "--no-restart"],
        ["set-facility", "auth"],
        ["set-priority", "-e", "e1"],
        ["set-properties", "s", "p", '"/x"'],
        ["set-properties", "s", "p", "/etc/passwd", "-e", "e1"],
        ["set-properties", "s", "p", "5", "-e", "e1"],
        ["set-properties", "s", "p", "null", "-e", "e1"],
        ["set-properties", "s", "p", '"/x"', "-g", "g1", "-e", "e1"],
        ["events"],
        ["export"],
        ["groups", "--no-restart"],
        ["--no-restart", "events", "e1"],
        ["--no-restart", "export", "f"],
        ["set-facility", "Auth", "-e", "e1"],
        ["set-facility", "local3\r\nauth.* /tmp/x", "-e", "e1"],
        ["set-priority", "warn", "-e", "e1"],
        ["--root", "/nonexistent/zae-root", "groups"],
    ],
)
def test_usage_error_exits_2_before_loading_anything(monkeypatch, capsys, argv):
    def refuse(root, output=None):
        raise AssertionError("the class must not be loaded on a usage error")

    monkeypatch.setattr(cli, "load_class", refuse)
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert "error:" in err


def test_refused_value_exits_1_without_restart(fake):
    fake.changes = False
    assert cli.main(["set-properties", "s", "p", '"x"', "-e", "e1"]) == 1
    assert [name for name, _ in fake.calls] == ["lock", "__init__", "set_properties", "unlock"]


@pytest.mark.parametrize(
    "argv, method_runs",
    [
        (["events", "e1", "nope"], True),
        (["groups", "g1", "nope"], True),
        (["enable", "-e", "nope", "-g", "g1"], False),
        (["set-facility", "auth", "-e", "nope"], False),
        (["groups", "nope"], False),
    ],
)
def test_unknown_id_exits_1_after_the_others_are_processed(fake, capsys, argv, method_runs):
    assert cli.main(argv) == 1
    out, err = capsys.readouterr()
    assert "zorna-admin-events: Unknown" in err and "nope" in err
    assert "Unknown" not in out
    # A change naming an unknown ID is not made in part.
    assert err.endswith("zorna-admin-events: nothing was changed\n") == (argv[0] in ("enable", "set-facility"))
    assert (len([c for c in fake.calls if c[0] not in ("lock", "unlock")]) > 1) == method_runs


@pytest.mark.parametrize(
    "exc, line",
    [
        (FileNotFoundError(2, "No such file or directory", "/x/e1"),
         "zorna-admin-events: error: /x/e1: No such file or directory"),
        (KeyError("e1"), "zorna-admin-events: error: KeyError: 'e1'"),
        (ValueError("two\nlines"), "zorna-admin-events: error: ValueError: two lines"),
        (RuntimeError(), "zorna-admin-events: error: RuntimeError"),
    ],
)
@pytest.mark.parametrize("argv", [["events", "e1"], ["export", "f"], ["enable", "-g", "g1"]])
def test_raised_operation_gives_one_error_line(fake, capsys, exc, line, argv):
    fake.fail_with = exc
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    # A change that failed closes with the line a refused one closes with.
    assert err == line + "\n" + ("zorna-admin-events: nothing was changed\n" if argv[0] == "enable" else "")
    assert "restart_daemons" not in [n for n, _ in fake.calls]


def test_debug_adds_the_traceback(fake, capsys):
    fake.fail_with = KeyError("e1")
    assert cli.main(["--debug", "events", "e1"]) == 1
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err
    assert err.endswith("zorna-admin-events: error: KeyError: 'e1'\n")


@pytest.mark.parametrize("where", ["before", "after"])
@pytest.mark.parametrize("changes", [True, False])
def test_root_skips_restart_and_says_so(fake, capsys, tmp_path, where, changes):
    fake.changes = changes
    opt = ["--root", str(tree(tmp_path))]
    argv = opt + ["enable", "-g", "g1"] if where == "before" else ["enable", "-g", "g1"] + opt
    assert cli.main(argv) == 0
    err = capsys.readouterr().err
    assert "restart_daemons" not in [n for n, _ in fake.calls]
    if changes:
        assert err == f"zorna-admin-events: --root {tmp_path.resolve()}: not restarting syslog-ng.service and auditd\n"
    else:
        assert err == ""


def test_root_relocates_class_paths_service_and_messages(monkeypatch, tmp_path):
    cls = type("ZornaAdminEvents", (FakeAdminEvents,), {"calls": []})
    module = types.ModuleType(cli.MODULE)
    module.ZornaAdminEvents = cls
    monkeypatch.setitem(sys.modules, cli.MODULE, module)
    module.Color = type("Color", (), {"GREY": "g", "END": "e"})
    monkeypatch.setitem(sys.modules, cli.MODULE, module)
    monkeypatch.delenv(cli.ROOT_ENV, raising=False)
    (tmp_path / "sub").mkdir()
    tree(tmp_path)
    assert cli.main(["--root", str(tmp_path / "sub" / ".."), "groups"]) == 0
    root = tmp_path.resolve()
    # The tree is reached through its descriptor, opened once: /proc/self/fd/N.
    proc = os.environ[cli.ROOT_ENV]
    assert re.fullmatch(r"/proc/self/fd/\d+", proc) and os.path.samefile(proc, root)
    for attribute, relative in [("default_config_dir", "usr/share/syslog-ng-mod-zorna/event-settings"),
                                ("current_config_file", "etc/zorna-syslog.conf"),
                                ("param_ru_translations_file", "etc/vek-admin-events/eventsdictionary.json")]:
        path = getattr(cls, "_ZornaAdminEvents__" + attribute)
        assert (path, path.shown()) == (Path(proc) / relative, root / relative)


@pytest.mark.parametrize("name", [c.name for c in cli.COMMANDS])
def test_each_subcommand_help_has_examples(capsys, name):
    with pytest.raises(SystemExit) as exc:
        cli.main([name, "--help"])
    assert exc.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: zorna-admin-events {name}")
    assert f"examples:\n  zorna-admin-events {name}" in out


def test_version_is_the_installed_distributions(capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["--version"])
    assert exc.value.code == 0
    assert re.fullmatch(r"zorna-admin-events \d+\.\d+\.\d+\n", capsys.readouterr().out)
