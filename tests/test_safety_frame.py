"""The calling convention under hostile calls: any shape of arguments is bound
or refused exactly as a Python function with the same parameters would do it,
any object of the wrong type is refused before the body runs, and loading the
module again costs no memory."""
import os

import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

from conftest import run_python
from zorna_admin_events import admin_events

Z = admin_events.ZornaAdminEvents
P = "_ZornaAdminEvents__"

hostile = settings(max_examples=int(os.environ.get("ZAE_HYPOTHESIS_EXAMPLES", "60")), deadline=None,
                   suppress_health_check=[HealthCheck.function_scoped_fixture])

# name as the class body writes it: (static?, parameters); `str`/`list` mark typed parameters.
SIGNATURES = {
    "__init__": (False, "self, event_id_list:list, group_id_list:list"),
    "show_all_groups": (False, "self"), "show_groups": (False, "self"), "show_events": (False, "self"),
    "enable": (False, "self"), "disable": (False, "self"),
    "set_priority": (False, "self, priority:str"), "set_facility": (False, "self, facility:str"),
    "set_properties": (False, "self, section:str, parameter:str, value:str"),
    "export_config": (True, "file_path:str"), "import_config": (False, "self, input_file:str"),
    "restart_daemons": (False, "self"), "__prepare_groups": (False, "self"), "__prepare_events": (False, "self"),
    "__show_groups": (False, "self"), "__process_group": (False, "self, group_id:str, action"),
    "__process_ids": (False, "self, action"), "__process_event": (False, "self, event_id:str, action"),
    "__set_syslog_message_param": (False, "self, param_type:str, param_value:str"),
    "__get_multiple_string": (False, "self, id_list:list, new_status=None"),
    "__get_group_string": (False, "self, group_id:str"), "__get_events_by_group_id": (True, "group_id:str"),
    "__get_all_event_description": (True, ""), "__get_all_group_description": (True, ""),
    "__get_grouped_events": (False, "self, group_id_list:list"), "__get_event_group": (False, "self, event_id:str"),
    "__get_event_config": (False, "self, event_id:str"), "__get_event_section_translation": (False, "self, key:str"),
    "__load_event_section_translations": (False, "self"),
    "__get_event_config_string": (False, "self, dictionary, indent=0"),
    "__sort_nested_dict": (True, "dictionary"), "__process_path_value": (False, "self, event_id:str, value"),
}


def parameters(name):
    """[(parameter, declared type or None, has a default)]"""
    result = []
    for piece in filter(None, (p.strip() for p in SIGNATURES[name][1].split(","))):
        bare, _, default = piece.partition("=")
        parameter, _, kind = bare.partition(":")
        result.append((parameter, kind or None, bool(default)))
    return result


def mirror(name):
    """A Python function with the method's parameters, name and qualified name."""
    text = ", ".join(p + ("=None" if d else "") for p, _, d in parameters(name))
    namespace = {}
    exec(f"def {name}({text}): pass", namespace)  # noqa: S102 - a fixed signature from the table above
    namespace[name].__qualname__ = "ZornaAdminEvents." + name
    return namespace[name]


def stored(name):
    return P + name[2:] if name.startswith("__") and not name.endswith("__") else name


def method(name):
    """The method as a plain function: instance methods take self as their first argument."""
    return Z.__dict__[stored(name)].__func__ if isinstance(Z.__dict__[stored(name)], staticmethod) \
        else getattr(Z, stored(name))


def test_the_table_matches_the_class():
    on_class = {n for n, m in Z.__dict__.items() if callable(m) or isinstance(m, staticmethod)}
    assert {stored(n) for n in SIGNATURES} == on_class
    assert {n for n, (static, _) in SIGNATURES.items() if static} == \
        {n for n in SIGNATURES if isinstance(Z.__dict__[stored(n)], staticmethod)}


def type_error(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    return None


keyword_names = st.sampled_from(["self", "event_id_list", "id_list", "new_status", "value", "action", "key",
                                 "dictionary", "indent", "group_id", "x", "é", ""])


@hostile
@example(name="set_facility", count=3, keywords=["x"])  # too many positionals and an unknown keyword
@given(name=st.sampled_from(sorted(SIGNATURES)), count=st.integers(0, 6),
       keywords=st.lists(keyword_names, max_size=3, unique=True))
def test_arguments_bind_as_for_a_python_function(name, count, keywords):
    args = [object.__new__(Z)] + [None] * (count - 1) if count else []
    kwargs = dict.fromkeys(keywords)
    expected = type_error(lambda: mirror(name)(*args, **kwargs))
    assume(expected is not None)  # only refused calls: bound ones would run the body
    assert type_error(lambda: method(name)(*args, **kwargs)) == expected


class StrLike(str):
    pass


class ListLike(list):
    pass


LongName = type("N" * 300, (), {})
wrong_objects = st.integers() | st.floats() | st.binary() | st.booleans() | st.tuples(st.text()) \
    | st.frozensets(st.integers()) | st.dictionaries(st.text(), st.integers()) | st.builds(bytearray) \
    | st.builds(StrLike) | st.builds(ListLike) | st.builds(object) | st.builds(LongName) | st.text() | st.lists(st.text())


@hostile
@given(name=st.sampled_from(sorted(n for n in SIGNATURES if any(k for _, k, _ in parameters(n)))), data=st.data())
def test_wrong_types_are_refused_before_the_body_runs(name, data):
    params = parameters(name)
    typed = [i for i, (_, kind, _) in enumerate(params) if kind]
    index = data.draw(st.sampled_from(typed))
    parameter, kind = params[index][0], params[index][1]
    bad = data.draw(wrong_objects.filter(lambda x: type(x) is not {"str": str, "list": list}[kind]))
    obj = object.__new__(Z)
    setattr(obj, P + "need_daemon_restart", False)
    args = [obj if p == "self" else None for p, _, _ in params]
    args[index] = bad
    by_keyword = data.draw(st.booleans())
    later = {p: args[i] for i, (p, _, _) in enumerate(params) if i >= index}
    call = (lambda: method(name)(*args[:index], **later)) if by_keyword else (lambda: method(name)(*args))
    message = type_error(call)
    assert message == f"Argument '{parameter}' has incorrect type (expected {kind}, got {type(bad).__name__[:200]})"
    assert vars(obj) == {P + "need_daemon_restart": False}


@given(path=st.text(st.characters(blacklist_categories=())))
@settings(deadline=None)
def test_audit_rule_builders_repeat_any_path(path):
    rules = getattr(Z, P + "audit_rules")
    assert rules["b64"](path) == f"-a always,exit -F arch=b64 -F path={path} -S open,openat -k {path}"
    assert rules["aarch64"](path) == f"-a always,exit -F arch=aarch64 -F path={path} -S openat -k {path}"


def test_importing_again_allocates_nothing_that_stays():
    """Removed from sys.modules and imported again, the module is handed back as
    it is.  The import machinery then gives it a new module state (a zero-size
    allocation, the module declaring no state) over the old one, which nothing
    frees unless the module does: one allocation left per import."""
    result = run_python("""
        import importlib, sys, tracemalloc
        name = "zorna_admin_events.admin_events"
        import zorna_admin_events.admin_events

        def again(n):
            for _ in range(n):
                del sys.modules[name]
                importlib.import_module(name)

        def empty_blocks():
            return sum(trace.size == 0 for trace in tracemalloc.take_snapshot().traces)

        again(20)
        tracemalloc.start()
        again(10)
        before = empty_blocks()
        again(300)
        print(empty_blocks() - before)
        tracemalloc.stop()
    """)
    assert int(result.stdout) < 10, "allocations kept by 300 imports: " + result.stdout
