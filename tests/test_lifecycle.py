"""The module's life cycle: one initialisation per process, one interpreter."""
import sys

import pytest

from conftest import run_python


def test_reimport_returns_the_same_module_without_running_it_again():
    result = run_python("""
        import importlib, locale, sys
        locale.getlocale = lambda *a: ("ru_RU", "UTF-8")
        import zorna_admin_events.admin_events as first
        locale.getlocale = lambda *a: ("en_US", "UTF-8")
        del sys.modules["zorna_admin_events.admin_events"]
        second = importlib.import_module("zorna_admin_events.admin_events")
        importlib.reload(second)
        print(second is first, second.LANG, second.ZornaAdminEvents is first.ZornaAdminEvents)
    """)
    assert result.stdout.split() == ["True", "name_ru", "True"]


def test_running_the_top_level_code_on_another_module_object_is_refused():
    result = run_python("""
        import ctypes, types
        import zorna_admin_events.admin_events as loaded
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        other = types.ModuleType("zorna_admin_events.admin_events")
        try:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(loaded))
        except RuntimeError as error:
            print(error)
        print(sorted(k for k in vars(other) if not k.startswith("__")), loaded.LANG)
    """)
    assert result.stdout.splitlines() == [
        "Module 'admin_events' has already been imported. Re-initialisation is not supported.",
        "[] name_en",
    ]


@pytest.mark.parametrize("main_first", [True, False])
@pytest.mark.parametrize("kind", ["default", "legacy"])
def test_any_interpreter_but_the_main_one_is_refused_whichever_imports_first(kind, main_first):
    # The default kind is what the running Python makes: with a GIL of its
    # own from 3.12 on (_interpreters from 3.13, _xxsubinterpreters from
    # 3.8); legacy is the test API's shared one.  From 3.13 the interpreter
    # runs the module's init in the main interpreter and refuses an isolated
    # one itself, from the slot that says the module does not support it.
    result = run_python("""
        import os, sys
        if MAIN_FIRST:
            import zorna_admin_events.admin_events as loaded
        read_end, write_end = os.pipe()
        code = "\\n".join([
            "import os",
            "try:",
            "    import zorna_admin_events.admin_events",
            "except ImportError as error:",
            "    os.write(%d, str(error).encode())" % write_end,
        ])
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                interpreters = None
        if interpreters and KIND == "default":
            interpreter = interpreters.create()
            interpreters.run_string(interpreter, code)
            interpreters.destroy(interpreter)
        else:
            try:
                import _testcapi
            except ImportError:
                sys.exit(77)
            _testcapi.run_in_subinterp(code)
        os.close(write_end)
        print(os.read(read_end, 1000).decode())
        import zorna_admin_events.admin_events as loaded
        print(loaded.Color.GREY == "\\x1b[90m")
    """.replace("MAIN_FIRST", str(main_first)).replace("KIND", repr(kind)), env={"LANG": "C"}, check=False)
    if result.returncode == 77:
        pytest.skip("no _testcapi")
    refused_by_the_interpreter = kind == "default" and sys.version_info >= (3, 13)
    assert result.stdout.splitlines() == [
        "module zorna_admin_events.admin_events does not support loading in subinterpreters"
        if refused_by_the_interpreter else
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "True",
    ], result.stderr


def test_a_module_freed_releases_its_state_and_a_new_import_runs_anew():
    result = run_python("""
        import gc, locale, sys
        import zorna_admin_events.admin_events as first
        print(first.ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict({"b": {"d": 1, "c": 2}, "a": 0}))
        del first, sys.modules["zorna_admin_events.admin_events"], sys.modules["zorna_admin_events"].admin_events
        gc.collect()
        locale.getlocale = lambda *a: ("ru_RU", "UTF-8")
        import zorna_admin_events.admin_events as second
        print(second.LANG, second.ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict({"b": {"d": 1, "c": 2}}))
    """)
    assert result.stdout.splitlines() == ["{'a': 0, 'b': {'c': 2, 'd': 1}}", "name_ru {'b': {'c': 2, 'd': 1}}"]


def test_a_failed_import_leaves_the_module_unloaded_and_can_be_retried():
    result = run_python("""
        import gettext, sys
        sys.modules["zorna_events"] = None          # the outside service is missing
        try:
            import zorna_admin_events.admin_events
        except ImportError:
            print("failed: ImportError")
        print("zorna_admin_events.admin_events" in sys.modules, gettext.textdomain())
        del sys.modules["zorna_events"]             # the service is installed
        from zorna_admin_events import admin_events
        print(admin_events.ZornaAdminEvents.__name__, gettext.textdomain())
    """)
    assert result.stdout.splitlines() == [
        "failed: ImportError", "False messages", "ZornaAdminEvents zorna_admin_events"]
