"""The module frame: names, the class's shape, calling conventions and the
parameter-type rule."""
import gettext
import inspect
import pathlib
import pydoc
import types

import pytest

from conftest import FakeEvents, ZornaAdminEvents, run_python
from zorna_admin_events import admin_events

MODULE_NAMES = [
    "gettext", "json", "locale", "os", "platform", "pydoc", "ZornaConfigManager", "Path",
    "Any", "Dict", "List", "Optional", "Union", "zorna_events", "_", "LANG", "Color", "ZornaAdminEvents",
]

# (name as declared, static?, parameters after self, docstring lines or None)
METHODS = [
    ("__init__", False, ["event_id_list", "group_id_list"], None),
    ("show_all_groups", False, [], ["Display the status of all grouped events."]),
    ("show_groups", False, [], ["Display the status of all grouped events for specified groups."]),
    ("show_events", False, [], ["Display the configuration (all settings) of the specified events."]),
    ("enable", False, [], ["Enable specified IDs."]),
    ("disable", False, [], ["Disable specified IDs."]),
    ("set_priority", False, ["priority"], ["Set the priority of specified IDs.", ":param priority: priority"]),
    ("set_facility", False, ["facility"], ["Set the facility of specified IDs.", ":param facility: facility"]),
    ("set_properties", False, ["section", "parameter", "value"], [
        "Set properties of the specified events.", ":param section: 1-level key", ":param parameter: 2-level key",
        ":param value: value (an escaped JSON string, JSON list, or JSON dictionary)"]),
    ("export_config", True, ["file_path"], None),
    ("import_config", False, ["input_file"], None),
    ("restart_daemons", False, [], ["Restart daemons if necessary."]),
    ("__prepare_groups", False, [], ["Validate specified group IDs."]),
    ("__prepare_events", False, [], ["Validate specified event IDs."]),
    ("__show_groups", False, [], ["Display the status of all grouped events for the specified groups."]),
    ("__process_group", False, ["group_id", "action"], [
        "Process all events of the specified group using the provided action.", ":param group_id: group ID",
        ":param action: zorna_events method pointer (enable_event or disable_event)"]),
    ("__process_ids", False, ["action"], [
        "Process specified events and groups using the provided action.",
        ":param action: zorna_events method pointer (enable_event or disable_event)"]),
    ("__process_event", False, ["event_id", "action"], [
        "Process specified events using the provided action.",
        ":param action: zorna_events method pointer (enable_event or disable_event)"]),
    ("__set_syslog_message_param", False, ["param_type", "param_value"], [
        'Set the value of the specified parameter starting with "message-syslog-".',
        "For example, `facility` for setting the value of `message-syslog-facility`.",
        ":param param_type: parameter", ":param param_value: value"]),
    ("__get_multiple_string", False, ["id_list", "new_status"], [
        "Get a multiline representation of description, and status (for events), for a list of IDs.",
        ":param id_list: list of events or groups",
        ":param new_status: new status (0 or 1), only when processing a list of groups",
        ":return: formatted multiline string"]),
    ("__get_group_string", False, ["group_id"], [
        "Get a formatted string for the group (in case of displaying all events).", ":param group_id: group ID",
        ":return: formatted string with the group's description and its ID"]),
    ("__get_events_by_group_id", True, ["group_id"], [
        "Get a list of events by the provided group ID.", ":param group_id: group ID", ":return: list of event IDs"]),
    ("__get_all_event_description", True, [], [
        "Get Russian and English descriptions for all events.", ":return: Dict[event_id, Dict[LANG, description]"]),
    ("__get_all_group_description", True, [], [
        "Get Russian and English descriptions for all groups.", ":return: Dict[group_id, Dict[LANG, description]"]),
    ("__get_grouped_events", False, ["group_id_list"], [
        "Get events grouped by the provided groups.", ":param group_id_list: list of groups",
        ":return: Dict[group_id, List[event_id]]"]),
    ("__get_event_group", False, ["event_id"], [
        "Get the group of the provided event.", ":param event_id: event ID", ":return: group ID"]),
    ("__get_event_config", False, ["event_id"], [
        "Get the sorted current configuration of the provided event.", ":param event_id: event ID",
        ":return: sorted Dict[1-level key, ...]"]),
    ("__get_event_section_translation", False, ["key"], [
        "Get the translation (if exists) of the specified event section (1-level key).",
        ":param key: section (1-level key)", ":return: Russian section description string"]),
    ("__load_event_section_translations", False, [], ["Load translations for event sections."]),
    ("__get_event_config_string", False, ["dictionary", "indent"], [
        "RECURSIVE METHOD.", "Get a string representation of the event config dictionary.",
        ":param dictionary: event config", ":param indent:", ":return: dict string representation"]),
    ("__sort_nested_dict", True, ["dictionary"], [
        "RECURSIVE METHOD.", "Sort a nested dictionary.", ":param dictionary: unsorted dict", ":return: sorted dict"]),
    ("__process_path_value", False, ["event_id", "value"], [
        "Process the path string for special events (for audit).", ":param event_id: event id",
        ":param value: path string or list of path strings", ":return: JSON string"]),
]

# Parameters that accept exactly str or list (or None).
TYPED_PARAMETERS = [
    ("__init__", "event_id_list", "list"), ("__init__", "group_id_list", "list"),
    ("set_priority", "priority", "str"), ("set_facility", "facility", "str"),
    ("set_properties", "section", "str"), ("set_properties", "parameter", "str"), ("set_properties", "value", "str"),
    ("export_config", "file_path", "str"), ("import_config", "input_file", "str"),
    ("__process_group", "group_id", "str"), ("__process_event", "event_id", "str"),
    ("__set_syslog_message_param", "param_type", "str"), ("__set_syslog_message_param", "param_value", "str"),
    ("__get_multiple_string", "id_list", "list"), ("__get_group_string", "group_id", "str"),
    ("__get_events_by_group_id", "group_id", "str"), ("__get_grouped_events", "group_id_list", "list"),
    ("__get_event_group", "event_id", "str"), ("__get_event_config", "event_id", "str"),
    ("__get_event_section_translation", "key", "str"), ("__process_path_value", "event_id", "str"),
]


def stored(name):
    return "_ZornaAdminEvents" + name if name.startswith("__") and not name.endswith("__") else name


def method_info(name):
    return next(m for m in METHODS if m[0] == name)


def bare_object():
    """An instance with every attribute set and nothing else run."""
    obj = object.__new__(ZornaAdminEvents)
    for attribute, value in [("event_id_list", []), ("group_id_list", []), ("event_section_translations", None),
                             ("need_daemon_restart", False), ("event_description", {}), ("group_description", {})]:
        setattr(obj, "_ZornaAdminEvents__" + attribute, value)
    return obj


def test_module_namespace_binds_its_names_in_order():
    names = [n for n in vars(admin_events) if not n.startswith("__")]
    assert names == MODULE_NAMES
    assert admin_events.__doc__ is None
    assert admin_events._ is gettext.gettext
    assert admin_events.Path is pathlib.Path
    assert admin_events.pydoc is pydoc


def test_translation_domain_is_bound_and_made_default():
    assert gettext.textdomain() == "zorna_admin_events"
    assert gettext.bindtextdomain("zorna_admin_events") == "/usr/share/locale"


@pytest.mark.parametrize("language, expected", [
    (("ru_RU", "UTF-8"), "name_ru"),
    (("ru_UA", "UTF-8"), "name_en"),
    (("en_US", "UTF-8"), "name_en"),
    ((None, None), "name_en"),
])
def test_language_is_chosen_from_the_locale_at_import(language, expected):
    result = run_python(f"""
        import locale
        locale.getlocale = lambda *a: {language!r}
        from zorna_admin_events import admin_events
        locale.getlocale = lambda *a: ("ru_RU", "UTF-8")
        print(admin_events.LANG)
    """)
    assert result.stdout.strip() == expected


def test_color_codes():
    Color = admin_events.Color
    assert (Color.END, Color.GREY) == ("\x1b[0m", "\x1b[90m")
    assert type(Color) is type and Color.__bases__ == (object,) and Color.__doc__ is None
    assert [k for k in vars(Color) if not k.startswith("__")] == ["END", "GREY"]


def test_class_is_plain_with_constants_then_methods_in_order():
    assert type(ZornaAdminEvents) is type
    assert ZornaAdminEvents.__bases__ == (object,)
    assert ZornaAdminEvents.__doc__ is None
    assert ZornaAdminEvents.__module__ == "zorna_admin_events.admin_events"
    constants = ["__default_config_dir", "__current_config_file", "__param_ru_translations_file",
                 "__arch", "__audit_rules", "__special_events"]
    members = [k for k in vars(ZornaAdminEvents) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert members == [stored(n) for n in constants] + [stored(m[0]) for m in METHODS]


def test_constant_attributes(monkeypatch):
    Z = ZornaAdminEvents
    assert Z._ZornaAdminEvents__default_config_dir == pathlib.Path("/usr/share/syslog-ng-mod-zorna/event-settings")
    assert Z._ZornaAdminEvents__current_config_file == pathlib.Path("/etc/zorna-syslog.conf")
    assert Z._ZornaAdminEvents__param_ru_translations_file == pathlib.Path("/etc/vek-admin-events/eventsdictionary.json")
    assert isinstance(Z._ZornaAdminEvents__default_config_dir, pathlib.Path)
    import platform
    assert Z._ZornaAdminEvents__arch == platform.machine()
    assert type(Z._ZornaAdminEvents__special_events) is set
    assert Z._ZornaAdminEvents__special_events == {"modifying-file", "modifying-directory", "file-opened"}
    assert list(Z._ZornaAdminEvents__audit_rules) == ["b64", "x86_64", "aarch64", "armv7l"]


def test_arch_without_a_builder_of_its_own_still_imports():
    result = run_python("""
        import platform
        platform.machine = lambda: "i686"
        from zorna_admin_events.admin_events import ZornaAdminEvents as Z
        print(Z._ZornaAdminEvents__arch, list(Z._ZornaAdminEvents__audit_rules))
    """)
    assert result.stdout.strip() == "i686 ['b64', 'x86_64', 'aarch64', 'armv7l']"


@pytest.mark.parametrize("key, path, expected", [
    ("b64", "/etc/passwd", "-a always,exit -F arch=b64 -F path=/etc/passwd -S open,openat -k /etc/passwd"),
    ("x86_64", "/etc/passwd", "-a always,exit -F arch=x86_64 -F path=/etc/passwd -S open,openat -k /etc/passwd"),
    ("aarch64", "/etc/passwd", "-a always,exit -F arch=aarch64 -F path=/etc/passwd -S openat -k /etc/passwd"),
    ("armv7l", "/etc/passwd", "-a always,exit -F arch=armv7l -F path=/etc/passwd -S open,openat -k /etc/passwd"),
    ("b64", r"/srv/my\ data", r"-a always,exit -F arch=b64 -F path=/srv/my\ data -S open,openat -k /srv/my\ data"),
    ("aarch64", "/дом/файл", "-a always,exit -F arch=aarch64 -F path=/дом/файл -S openat -k /дом/файл"),
    ("b64", 5, "-a always,exit -F arch=b64 -F path=5 -S open,openat -k 5"),
])
def test_audit_rule_builders(key, path, expected):
    assert ZornaAdminEvents._ZornaAdminEvents__audit_rules[key](path) == expected


@pytest.mark.parametrize("call", [lambda b: b(), lambda b: b("a", "b"), lambda b: b(path="/x")])
def test_audit_rule_builders_take_one_positional_argument(call):
    with pytest.raises(TypeError):
        call(ZornaAdminEvents._ZornaAdminEvents__audit_rules["b64"])


@pytest.mark.parametrize("name, static, params, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_kind_and_docstring(name, static, params, doc):
    member = vars(ZornaAdminEvents)[stored(name)]
    function = getattr(ZornaAdminEvents, stored(name))
    assert isinstance(member, staticmethod) == static
    expected = None if doc is None else "\n" + "".join(f"        {line}\n" for line in doc) + "        "
    assert function.__doc__ == expected
    assert list(inspect.signature(function).parameters) == ([] if static else ["self"]) + params
    obj = bare_object()
    bound = getattr(obj, stored(name))
    if static:
        assert bound is function or bound == function
    else:
        assert isinstance(bound, types.MethodType) and bound.__self__ is obj


def test_instance_methods_are_callable_through_the_class(service, capsys):
    obj = bare_object()
    obj._ZornaAdminEvents__event_id_list = ["nope"]
    ZornaAdminEvents._ZornaAdminEvents__prepare_events(obj)
    assert obj._ZornaAdminEvents__event_id_list == []
    assert capsys.readouterr().out == "Unknown event ID: nope\n"


# The methods above with the same parameters, written in Python: the running
# interpreter's wording of binding errors is the one to match.
PYTHON_TWIN = """
class ZornaAdminEvents:
    def enable(self): pass
    def set_priority(self, priority): pass
    def set_properties(self, section, parameter, value): pass
    def __get_multiple_string(self, id_list, new_status=None): pass
    @staticmethod
    def export_config(file_path): pass
    @staticmethod
    def __sort_nested_dict(dictionary): pass
"""


def python_twin():
    namespace = {}
    exec(PYTHON_TWIN, namespace)  # noqa: S102 - the fixed class above
    return namespace["ZornaAdminEvents"]


def binding_error(invoke, cls, obj):
    with pytest.raises(TypeError) as error:
        invoke(cls, obj)
    return str(error.value)


# The texts as 3.10 and later word them; older interpreters name the bare method.
@pytest.mark.parametrize("invoke, message", [
    (lambda c, o: o.set_priority(),
     "ZornaAdminEvents.set_priority() missing 1 required positional argument: 'priority'"),
    (lambda c, o: o.set_properties("a"),
     "ZornaAdminEvents.set_properties() missing 2 required positional arguments: 'parameter' and 'value'"),
    (lambda c, o: c.set_properties(),
     "ZornaAdminEvents.set_properties() missing 4 required positional arguments: "
     "'self', 'section', 'parameter', and 'value'"),
    (lambda c, o: o.enable(1), "ZornaAdminEvents.enable() takes 1 positional argument but 2 were given"),
    (lambda c, o: o._ZornaAdminEvents__get_multiple_string([], 1, 2),
     "ZornaAdminEvents.__get_multiple_string() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda c, o: o.set_priority("a", priority="b"),
     "ZornaAdminEvents.set_priority() got multiple values for argument 'priority'"),
    (lambda c, o: o.set_priority(prio="b"),
     "ZornaAdminEvents.set_priority() got an unexpected keyword argument 'prio'"),
    (lambda c, o: c.export_config(), "ZornaAdminEvents.export_config() missing 1 required positional "
                                     "argument: 'file_path'"),
    (lambda c, o: c._ZornaAdminEvents__sort_nested_dict({}, {}),
     "ZornaAdminEvents.__sort_nested_dict() takes 1 positional argument but 2 were given"),
])
def test_argument_binding_errors(invoke, message):
    twin = python_twin()
    expected = binding_error(invoke, twin, twin())
    assert expected in (message, message[len("ZornaAdminEvents."):])
    assert binding_error(invoke, ZornaAdminEvents, bare_object()) == expected


def test_parameters_bind_by_keyword_with_defaults(service):
    obj = bare_object()
    obj._ZornaAdminEvents__group_description = {"files": {"name_en": "File access", "name_ru": "Доступ"}}
    assert obj._ZornaAdminEvents__get_multiple_string(new_status=1, id_list=["files"]) == \
        "files" + " " * 10 + "1 \x1b[90mFile access\x1b[0m"
    assert ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(dictionary={"b": 1, "a": {"d": 1, "c": 2}}) == \
        {"a": {"c": 2, "d": 1}, "b": 1}
    assert obj._ZornaAdminEvents__get_event_config_string(dictionary={"k": 1}) == "k: 1\n\n"
    assert obj._ZornaAdminEvents__get_event_config_string({"k": 1}, indent=1) == "    k: 1\n\n"


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


@pytest.mark.parametrize("method, parameter, expected", TYPED_PARAMETERS,
                         ids=[f"{m}-{p}" for m, p, _ in TYPED_PARAMETERS])
def test_parameter_type_rule(method, parameter, expected, service):
    name, static, params, _ = method_info(method)
    wrong = {"str": [b"x", 5, StrSubclass("x"), ["x"]], "list": [("a",), "a", ListSubclass(), {"a": 1}]}[expected]
    obj = bare_object()
    before = dict(vars(obj))
    for value in wrong:
        args = {p: ("x" if dict(((m, q), t) for m, q, t in TYPED_PARAMETERS).get((method, p)) == "str" else None)
                for p in params}
        args[parameter] = value
        target = ZornaAdminEvents if static else obj
        with pytest.raises(TypeError) as error:
            getattr(target, stored(name))(**args)
        assert str(error.value) == (f"Argument '{parameter}' has incorrect type "
                                    f"(expected {expected}, got {type(value).__name__})")
    assert vars(obj) == before
    assert service.calls == []


def test_module_level_names_are_looked_up_at_each_use(monkeypatch, capsys):
    first, second = FakeEvents({"a": ("A", "А")}), FakeEvents({"b": ("B", "Б")})
    monkeypatch.setattr(admin_events, "zorna_events", first)
    ZornaAdminEvents(["a"], None)
    monkeypatch.setattr(admin_events, "zorna_events", second)
    ZornaAdminEvents(["a"], None)
    assert capsys.readouterr().out == "Unknown event ID: a\n"
    assert [c[0] for c in first.calls] == ["get_event_ids", "get_event_ids_ex", "get_group_ids_ex"]
    printed = []
    monkeypatch.setattr(admin_events, "print", lambda *args: printed.append(args), raising=False)
    monkeypatch.setattr(admin_events, "_", lambda text: text.upper())
    ZornaAdminEvents(["x"], None)
    assert printed == [("UNKNOWN EVENT ID: x",)]


def test_pager_is_looked_up_at_each_call(sample, monkeypatch):
    obj = ZornaAdminEvents(None, [])
    shown = []
    monkeypatch.setattr(pydoc, "pipepager", lambda text, cmd: shown.append(("first", text, cmd)))
    obj.show_groups()
    monkeypatch.setattr(admin_events, "pydoc", types.SimpleNamespace(
        pipepager=lambda text, cmd: shown.append(("second", text, cmd))))
    obj.show_groups()
    assert shown == [("first", "", "less -R"), ("second", "", "less -R")]


def test_methods_reach_each_other_through_attribute_lookup(service, pager):
    class Custom(ZornaAdminEvents):
        def _ZornaAdminEvents__get_grouped_events(self, group_id_list):
            return {"only": ["e"]}

        def _ZornaAdminEvents__get_group_string(self, group_id):
            return "G:" + group_id

        def _ZornaAdminEvents__get_multiple_string(self, id_list, new_status=None):
            return "|".join(id_list)

    Custom(None, None).show_groups()
    assert pager == [(("G:only\ne\n",), {"cmd": "less -R"})]
