"""Python semantics the method bodies must keep in corner cases: formatting of
None, except-clause and with-block scopes, builtins read from the module
namespace, and two-target unpacking."""
import builtins
import io
import sys

import pytest

from zorna_admin_events import admin_events

ZornaAdminEvents = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"


def bare(events=None, groups=None):
    obj = object.__new__(ZornaAdminEvents)
    for name, value in [("event_id_list", events), ("group_id_list", groups), ("event_section_translations", None),
                        ("need_daemon_restart", False), ("event_description", {}), ("group_description", {})]:
        setattr(obj, P + name, value)
    return obj


def test_syslog_parameter_type_none_is_formatted(service, capsys):
    # the parameter name is formatted like the printed line: None reads "None"
    bare(["user-added"])._ZornaAdminEvents__set_syslog_message_param(None, "x")
    assert service.names("set_event_param")[0][:3] == ("user-added", "", "message-syslog-None")
    assert capsys.readouterr().out == "user-added\tNone: x\n"


def test_refused_json_is_reported_while_the_decode_error_is_handled(service, monkeypatch):
    seen = []

    def underscore(message):
        seen.append(sys.exc_info()[0])
        raise KeyError(message)

    monkeypatch.setattr(admin_events, "_", underscore)
    with pytest.raises(KeyError) as raised:
        bare(["user-added"]).set_properties("s", "p", "not json")
    assert seen == [admin_events.json.decoder.JSONDecodeError]
    assert isinstance(raised.value.__context__, admin_events.json.decoder.JSONDecodeError)


class RecordingFile(io.StringIO):
    def __init__(self, text, log, owner):
        super().__init__(text)
        self.log, self.owner = log, owner

    def __exit__(self, *exc_info):
        self.log.append((exc_info[0], getattr(self.owner, P + "event_section_translations", None)))
        return super().__exit__(*exc_info)


class RecordingPath:
    def __init__(self, text, log, owner=None):
        self.text, self.log, self.owner = text, log, owner

    def exists(self):
        return True

    def open(self):
        return RecordingFile(self.text, self.log, self.owner)


def test_translations_are_stored_inside_the_with_block(lang):
    lang("name_ru")
    log = []
    obj = bare()
    setattr(obj, P + "param_ru_translations_file", RecordingPath('{"s": {"ru": "x"}}', log, obj))
    obj._ZornaAdminEvents__load_event_section_translations()
    assert log == [(None, {"s": {"ru": "x"}})]


def test_current_entry_is_taken_inside_the_with_block(tree, service):
    tree.add_event("files", "file-opened", {})
    log = []
    obj = bare()
    setattr(obj, P + "current_config_file", RecordingPath("[1]", log))
    with pytest.raises(AttributeError):
        obj._ZornaAdminEvents__get_event_config("file-opened")
    assert log[-1][0] is AttributeError


class OnlyEnter:
    def __enter__(self):
        return self


class NoContextManager:
    pass


@pytest.mark.parametrize("manager_class", [OnlyEnter, NoContextManager])
def test_with_block_without_its_methods_is_refused_as_python_words_it(lang, manager_class):
    lang("name_ru")

    class Opens:
        def open(self):
            return manager_class()

    with pytest.raises(Exception) as python_error:
        with manager_class():
            pass
    obj = bare()
    setattr(obj, P + "param_ru_translations_file", Opens())
    with pytest.raises(python_error.type) as error:
        obj._ZornaAdminEvents__load_event_section_translations()
    assert str(error.value) == str(python_error.value)


@pytest.mark.parametrize("builtin, run", [
    ("isinstance", lambda: bare(["user-added"]).set_properties("s", "p", '"/etc"')),
    ("isinstance", lambda: bare()._ZornaAdminEvents__process_path_value("modifying-file", "/etc")),
    ("str", lambda: bare()._ZornaAdminEvents__get_event_config_string({"k": [1]})),
])
def test_builtins_are_read_from_the_module_namespace(service, monkeypatch, builtin, run):
    used = []
    real = getattr(builtins, builtin)
    monkeypatch.setattr(admin_events, builtin, lambda *args: used.append(builtin) or real(*args), raising=False)
    run()
    assert used


class Items:
    def __init__(self, item):
        self.item = item

    def items(self):
        return [self.item]


def test_pairs_are_unpacked_as_python_unpacks_two_targets():
    with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
        bare()._ZornaAdminEvents__get_event_config_string(Items(5))
    pulled = []

    def long_item():
        for i in range(10):
            pulled.append(i)
            yield i

    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        bare()._ZornaAdminEvents__get_event_config_string(Items(long_item()))
    assert pulled == [0, 1, 2]
