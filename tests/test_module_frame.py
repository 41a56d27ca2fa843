"""Loading the GUI module: its attributes, load-time checks, the install
fallback for the toolkits, running as the main program, the argument checks of
GUI(), and the settings record Parameters.

`import GUI` changes the whole process (it can be loaded once only), so every
scenario runs in its own interpreter: the scenario functions of this module
run as `python -m test_module_frame <case> <JSON arguments>` (see
scenario.run_case). The module imports neither the harness nor a toolkit at
its top, so each case starts with none of the window's modules loaded.
"""

from __future__ import annotations

import builtins
import os
import stat
import sys

import pytest

from scenario import RESULT_TAG, main, run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

BODY_NAMES = [
    "os", "tkinter", "customtkinter", "time", "webbrowser", "Image", "subprocess", "pyautogui",
    "tessaloom", "customtkinter_model", "Entry_Table", "Set_Table", "Set_Button", "CTkCalendar",
    "try_except", "try_except_log", "Parameters", "GUI",
]
TEMPLATE_IMAGES = {"logo.ico", "logo.png", "logo(僅文字).png", "資料夾.png", "問號001.png"}
HINT_TK = "請安裝 py -m pip install tkinter"
HINT_CTK = "請安裝 py -m pip install customtkinter"
REINIT_MESSAGE = "Module 'GUI' has already been imported. Re-initialisation is not supported."
INTERP_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
STANDIN_TAG = "py-stand-in:"


def plain(case: str, *arguments, **kw):
    """A case of the module-frame scenarios in a fresh interpreter, checked to have exited cleanly."""
    return run_case("test_module_frame", case, *arguments, **kw).check()


def console(result) -> list[str]:
    """stdout lines written by the scenario, without emitted values and
    without python-xlib's authority warning (printed by pyautogui's import)."""
    return [line for line in result.stdout.splitlines()
            if not line.startswith(RESULT_TAG) and not line.startswith("Xlib.xauth:")]


# ---------------------------------------------------------- the scenarios' helpers

def _names(module):
    return [n for n in vars(module) if not n.startswith("__")]


def _count_body_runs():
    """Counts calls of the shared package's widget factory; each call is one run
    of the module body (it is called exactly once per body run)."""
    import tessaloom通用模組 as pkg
    runs = []
    real_factory = pkg.Customtkinter_Model
    def counting_factory(*a, **k):
        runs.append(1)
        return real_factory(*a, **k)
    pkg.Customtkinter_Model = counting_factory
    return runs


def _import_gui():
    import GUI  # noqa: F401


def _outcome(action):
    """[type, message] of what action() raises, None when it returns."""
    try:
        action()
    except BaseException as e:
        return [type(e).__name__, str(e)]
    return None


# ---------------------------------------------------------------- attributes

class Reference:
    """A plain Python class with the same __init__ signature as Parameters."""
    def __init__(self):
        pass


def inspect_loaded():
    import time, webbrowser, subprocess, tkinter, customtkinter, pyautogui
    import PIL.Image, importlib.util
    import GUI, tessaloom通用模組 as pkg
    found = importlib.util.find_spec("GUI")
    folder = os.path.join(os.path.dirname(GUI.__file__), "格式範本")
    same = {
        "os": GUI.os is os, "tkinter": GUI.tkinter is tkinter,
        "customtkinter": GUI.customtkinter is customtkinter, "time": GUI.time is time,
        "webbrowser": GUI.webbrowser is webbrowser, "Image": GUI.Image is PIL.Image,
        "subprocess": GUI.subprocess is subprocess, "pyautogui": GUI.pyautogui is pyautogui,
        "tessaloom": GUI.tessaloom is pkg,
        "customtkinter_model": isinstance(GUI.customtkinter_model, pkg.Customtkinter_Model),
        "try_except": isinstance(GUI.try_except, pkg.Try_Except_Model),
        "try_except_log": GUI.try_except_log is GUI.try_except.try_except_log,
    }
    for name in ("Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"):
        same[name] = getattr(GUI, name) is getattr(GUI.customtkinter_model, name)
    P = GUI.Parameters
    a, b = P(), P()
    b.parameters["文字大小比例"] = 1.5
    b.parameters["分析最接近專利數量"] = 9
    def failure(cls, *args, **kwargs):
        try:
            cls(*args, **kwargs)
        except Exception as e:
            return [type(e).__name__, str(e).replace("Reference.", "Parameters.")]
        return None
    wrong_calls = [((1,), {}), ((1, 2), {}), ((), {"parameters": {}})]
    return {
        "names": _names(GUI),
        "dunders": {k: repr(v) for k, v in vars(GUI).items() if k.startswith("__")},
        "same_loader": GUI.__loader__ is found.loader,
        "origin": found.origin,
        "same": same,
        "file": GUI.__file__, "prefix": sys.prefix,
        "template": sorted(os.listdir(folder)) if os.path.isdir(folder) else None,
        "mro": [c is P or c is object for c in P.__mro__], "mro_len": len(P.__mro__),
        "class": [P.__module__, P.__qualname__, P.__name__,
                  sorted(k for k in vars(P) if not k.startswith("__") or k == "__init__")],
        "record": [[k, v, type(v).__name__] for k, v in a.parameters.items()],
        "record_attrs": sorted(vars(a)),
        "dict_type": type(a.parameters).__name__,
        "after_change_of_other": a.parameters,
        "fresh_after_change": P().parameters,
        "own_dicts": a.parameters is not b.parameters,
        "wrong": [[failure(Reference, *c[0], **c[1]), failure(P, *c[0], **c[1])] for c in wrong_calls],
    }


@pytest.fixture(scope="module")
def loaded():
    result = plain("inspect_loaded")
    return result.value


def test_body_binds_the_attributes_in_order(loaded):
    assert loaded["names"] == BODY_NAMES


def test_creation_attributes_come_from_the_finder(loaded):
    dunders = loaded["dunders"]
    assert dunders["__name__"] == repr("GUI")
    assert dunders["__package__"] == repr("")
    assert dunders["__file__"] == repr(loaded["origin"])
    assert "__path__" not in dunders  # an extension module has no search locations
    assert loaded["same_loader"]


@pytest.mark.parametrize("name", [n for n in BODY_NAMES if n not in ("Parameters", "GUI")])
def test_attribute_is_the_real_object(loaded, name):
    assert loaded["same"][name] is True


def test_module_file_is_installed_with_its_template_folder(loaded):
    file = loaded["file"]
    assert file.startswith(os.path.join(loaded["prefix"], "lib")) and "site-packages" in file
    assert os.path.basename(file).startswith("GUI.") and file.endswith(".so")
    assert loaded["template"] is not None, "格式範本 is missing beside the module file"
    assert TEMPLATE_IMAGES <= set(loaded["template"])


def test_parameters_is_a_plain_class_of_the_module(loaded):
    assert loaded["mro"] == [True, True] and loaded["mro_len"] == 2
    module, qualname, name, members = loaded["class"]
    assert (module, qualname, name) == ("GUI", "Parameters", "Parameters")
    assert members == ["__init__"]


def test_new_record_holds_the_seven_defaults(loaded):
    assert loaded["record"] == [
        ["顯示免用統一發票章", False, "bool"],
        ["顯示負責人章", False, "bool"],
        ["顯示日期", True, "bool"],
        ["文字大小比例", 1, "int"],
        ["中文文字字體", "標楷體", "str"],
        ["英文文字字體", "Calibri", "str"],
        ["分析最接近專利數量", 5, "int"],
    ]
    assert loaded["record_attrs"] == ["parameters"]
    assert loaded["dict_type"] == "dict"


def test_records_are_independent(loaded):
    assert loaded["own_dicts"]
    assert loaded["after_change_of_other"]["文字大小比例"] == 1
    assert loaded["after_change_of_other"]["分析最接近專利數量"] == 5
    assert loaded["fresh_after_change"] == loaded["after_change_of_other"]


@pytest.mark.parametrize("index", [0, 1, 2], ids=["one-positional", "two-positional", "keyword"])
def test_parameters_rejects_arguments_like_a_python_class(loaded, index):
    reference, actual = loaded["wrong"][index]
    assert reference is not None and reference[0] == "TypeError"
    assert actual == reference


def factories():
    import tessaloom通用模組 as pkg
    calls, looked_up = [], []
    class Holder:
        def __init__(self, kind, names):
            self.kind, self.values = kind, {n: object() for n in names}
        def __getattr__(self, name):
            looked_up.append(name)
            return self.values[name]
    holders = {}
    def factory(kind, names):
        def make(*args, **kwargs):
            calls.append([kind, len(args), sorted(kwargs)])
            holders[kind] = Holder(kind, names)
            return holders[kind]
        return make
    pkg.Customtkinter_Model = factory("widgets", ["Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"])
    pkg.Try_Except_Model = factory("errors", ["try_except_log"])
    import GUI
    w, e = holders["widgets"], holders["errors"]
    return {"calls": calls, "looked_up": looked_up,
            "models": [GUI.customtkinter_model is w, GUI.try_except is e],
            "bound": [getattr(GUI, n) is v for h in (w, e) for n, v in h.values.items()]}


def test_factories_called_without_arguments_and_attributes_bound_in_order():
    v = plain("factories").value
    assert v["calls"] == [["widgets", 0, []], ["errors", 0, []]]
    assert v["looked_up"] == ["Entry_Table", "Set_Table", "Set_Button", "CTkCalendar", "try_except_log"]
    assert v["models"] == [True, True]
    assert v["bound"] == [True] * 5


# ---------------------------------------------------------- load-time checks

def second_interpreter(first):
    """Create the module in the main interpreter and in a sub-interpreter, `first` first.
    The sub-interpreter only creates the module (no body run), so it needs no Tk."""
    import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    sub_code = "import sys, _imp, importlib.util\nsys.path[:] = %r\n" % (sys.path,)
    sub_code += "_imp.create_dynamic(importlib.util.find_spec('GUI'))\n"
    def in_sub():
        interpreters.run_string(interp, sub_code)
    def in_main():
        import GUI  # noqa: F401
    order = [in_main, in_sub] if first == "main" else [in_sub, in_main]
    return [_outcome(step) or "ok" for step in order]


@pytest.mark.parametrize("first", ["main", "sub"])
def test_second_interpreter_is_refused(first):
    first_outcome, second_outcome = plain("second_interpreter", first).value
    assert first_outcome == "ok"
    if first == "main":
        # run_string reports the sub-interpreter's exception as "<type>: <message>".
        assert second_outcome[0] == "RunFailedError"
        assert second_outcome[1] == "<class 'ImportError'>: " + INTERP_MESSAGE
    else:
        assert second_outcome == ["ImportError", INTERP_MESSAGE]


def repeated_imports():
    import _imp, importlib, importlib.util
    body_runs = _count_body_runs()
    import GUI
    first = GUI
    marker = object()
    GUI.Parameters = marker  # a new body run would bind the real class again
    import GUI
    del sys.modules["GUI"]
    again = importlib.import_module("GUI")
    created = _imp.create_dynamic(importlib.util.find_spec("GUI"))
    exec_result = _imp.exec_dynamic(first)
    return {"runs": len(body_runs), "same": [GUI is first, again is first, created is first],
            "registered": sys.modules["GUI"] is first, "untouched": first.Parameters is marker,
            "exec_result": exec_result}


def test_repeated_imports_return_the_loaded_module_without_running_the_body():
    v = plain("repeated_imports").value
    assert v["runs"] == 1
    assert v["same"] == [True, True, True]
    assert v["registered"] and v["untouched"]
    assert v["exec_result"] == 0


def second_module_object():
    import _imp, importlib.util
    body_runs = _count_body_runs()
    found = importlib.util.find_spec("GUI")
    fresh = _imp.create_dynamic(found)   # created, never executed
    import GUI
    return {"distinct": fresh is not GUI, "fresh_file": fresh.__file__ == found.origin,
            "error": _outcome(lambda: _imp.exec_dynamic(fresh)),
            "fresh_names": _names(fresh), "runs": len(body_runs), "registered": sys.modules["GUI"] is GUI,
            "intact": _names(GUI)}


def test_executing_a_second_module_object_is_refused():
    v = plain("second_module_object").value
    assert v["distinct"] and v["fresh_file"]
    assert v["error"] == ["RuntimeError", REINIT_MESSAGE]
    assert v["fresh_names"] == []
    assert v["runs"] == 1
    assert v["registered"] and v["intact"] == BODY_NAMES


def _fail_at_pyautogui(failed_module):
    """A failure at pyautogui comes before the widget factory runs."""
    class BlockOnce:
        def find_spec(self, name, path=None, target=None):
            if name == "pyautogui" and not failed_module:
                failed_module.append(sys.modules.get("GUI"))
                raise ModuleNotFoundError("No module named 'pyautogui'", name="pyautogui")
    sys.meta_path.insert(0, BlockOnce())


def _fail_at_error_factory(failed_module):
    """A failure of Try_Except_Model comes after the widget factory ran."""
    import tessaloom通用模組 as pkg
    real_errors = pkg.Try_Except_Model
    def failing_once(*a, **k):
        if not failed_module:
            failed_module.append(sys.modules.get("GUI"))
            raise RuntimeError("no error helper")
        return real_errors(*a, **k)
    pkg.Try_Except_Model = failing_once


IMPORT_FAILURES = {"pyautogui-missing": _fail_at_pyautogui, "error-helper-fails": _fail_at_error_factory}


def failed_import(failure):
    """Import GUI with IMPORT_FAILURES[failure] failing once (capturing the
    module object that the failing import was executing), then again."""
    body_runs = _count_body_runs()
    failed_module = []
    IMPORT_FAILURES[failure](failed_module)
    state = {"error": _outcome(_import_gui), "runs": len(body_runs), "registered": "GUI" in sys.modules}
    import GUI
    state.update(retry_runs=len(body_runs), names=_names(GUI),
                 captured=failed_module[0] is not None, new_object=failed_module[0] is not GUI,
                 registered_after=sys.modules["GUI"] is GUI)
    return state


# A failure at pyautogui comes before the widget factory runs; a failure of
# Try_Except_Model comes after it. Both capture the module object that the
# failing import was executing.
@pytest.mark.parametrize("failure, error, runs_before_retry", [
    ("pyautogui-missing", ["ModuleNotFoundError", "No module named 'pyautogui'"], 0),
    ("error-helper-fails", ["RuntimeError", "no error helper"], 1),
], ids=["pyautogui-missing", "error-helper-fails"])
def test_failed_import_leaves_nothing_behind(failure, error, runs_before_retry):
    v = plain("failed_import", failure).value
    assert v["error"] == error
    assert v["runs"] == runs_before_retry
    assert v["registered"] is False
    assert v["retry_runs"] == runs_before_retry + 1  # the whole body ran again
    assert v["names"] == BODY_NAMES
    assert v["captured"] and v["new_object"] and v["registered_after"]


def missing_builtin(name):
    body_runs = _count_body_runs()
    saved = getattr(builtins, name)
    delattr(builtins, name)
    try:
        first_error = _outcome(_import_gui)
    finally:
        setattr(builtins, name, saved)
    state = {"error": first_error, "runs": len(body_runs), "registered": "GUI" in sys.modules}
    import GUI
    state.update(retry_runs=len(body_runs), names=_names(GUI))
    return state


@pytest.mark.parametrize("builtin", ["print", "input", "range"])
def test_missing_builtin_fails_the_import_until_restored(builtin):
    v = plain("missing_builtin", builtin).value
    assert v["error"] == ["NameError", f"name '{builtin}' is not defined"]
    assert v["runs"] == 0 and v["registered"] is False
    assert v["retry_runs"] == 1 and v["names"] == BODY_NAMES


# ----------------------------------------------------------- install fallback

@pytest.fixture
def standin_py(tmp_path):
    """A stand-in `py` first on PATH: it logs its arguments, announces itself
    on stdout, creates $PY_MARKER when set and exits with $PY_STATUS."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "py"
    script.write_text('#!/bin/sh\n'
                      'printf "%s\\n" "$*" >> "$PY_LOG"\n'
                      f'echo "{STANDIN_TAG} $*"\n'
                      'if [ -n "$PY_MARKER" ]; then : > "$PY_MARKER"; fi\n'
                      'exit "${PY_STATUS:-0}"\n')
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    log = tmp_path / "py.log"
    env = {"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", "PY_LOG": str(log),
           "PY_MARKER": "", "PY_STATUS": "0"}
    return env, log


def logged(log) -> list[str]:
    return log.read_text().splitlines() if log.exists() else []


def tk_missing():
    """tkinter cannot be imported at all; the in-flight module is captured when
    the body reaches pyautogui."""
    sys.modules["tkinter"] = None
    in_flight = []
    class Spy:
        def find_spec(self, name, path=None, target=None):
            if name == "pyautogui":
                in_flight.append(sys.modules.get("GUI"))
    sys.meta_path.insert(0, Spy())
    error = _outcome(_import_gui)
    m = in_flight[0] if in_flight else None
    return {"error": error, "rest": sys.stdin.read(), "registered": "GUI" in sys.modules,
            "bound": sorted(_names(m)) if m is not None else None}


def test_fallback_runs_installer_then_hints_and_waits(standin_py):
    env, log = standin_py
    result = plain("tk_missing", env=env, stdin="first\nsecond\nthird\n")
    v = result.value
    assert logged(log) == ["-m pip install tkinter", "-m pip install customtkinter"]
    # Each toolkit: the installer runs, then the hint shows.
    assert console(result) == [f"{STANDIN_TAG} -m pip install tkinter", HINT_TK,
                               f"{STANDIN_TAG} -m pip install customtkinter", HINT_CTK]
    assert v["rest"] == "third\n"  # one line read per hint
    # The body went on past both toolkits (which stay unbound) up to pyautogui,
    # whose own import needs tkinter and ends the process-wide import with SystemExit.
    assert v["bound"] == ["Image", "os", "subprocess", "time", "webbrowser"]
    assert v["error"][0] == "SystemExit" and "tkinter" in v["error"][1]
    assert v["registered"] is False


def test_fallback_hint_at_end_of_input_fails_the_import(standin_py):
    env, log = standin_py
    result = plain("tk_missing", env=env, stdin="")
    v = result.value
    assert v["error"] == ["EOFError", "EOF when reading a line"]
    assert logged(log) == ["-m pip install tkinter"]  # customtkinter's command never ran
    assert console(result) == [f"{STANDIN_TAG} -m pip install tkinter", HINT_TK]
    assert v["bound"] is None and v["registered"] is False


def installer_provides_tkinter():
    marker = os.environ["PY_MARKER"]
    class NotYetInstalled:
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] == "tkinter" and not os.path.exists(marker):
                raise ModuleNotFoundError("No module named 'tkinter'", name="tkinter")
    sys.meta_path.insert(0, NotYetInstalled())
    import GUI, tkinter, customtkinter
    return {"rest": sys.stdin.read(), "tk": GUI.tkinter is tkinter, "ctk": GUI.customtkinter is customtkinter,
            "names": _names(GUI)}


@pytest.mark.parametrize("status", ["0", "3"], ids=["installer-exit-0", "installer-exit-3"])
def test_fallback_succeeds_when_installer_provides_tkinter(standin_py, tmp_path, status):
    env, log = standin_py
    marker = tmp_path / "installed"
    env = dict(env, PY_MARKER=str(marker), PY_STATUS=status)
    result = plain("installer_provides_tkinter", env=env, stdin="untouched\n")
    v = result.value
    assert logged(log) == ["-m pip install tkinter"]
    assert console(result) == [f"{STANDIN_TAG} -m pip install tkinter"]  # no hint
    assert v["rest"] == "untouched\n"
    assert v["tk"] and v["ctk"] and v["names"] == BODY_NAMES


def toolkits_importable():
    import GUI  # noqa: F401
    return {"rest": sys.stdin.read()}


def test_importable_toolkits_run_no_installer_and_read_nothing(standin_py):
    env, log = standin_py
    result = plain("toolkits_importable", env=env, stdin="untouched\n")
    assert result.value == {"rest": "untouched\n"}
    assert not log.exists()
    assert console(result) == []


# ------------------------------------------------------------- main program

def as_main_program():
    import _imp, importlib.util
    from harness import close, on_mainloop
    events = []
    def closing(app):
        events.append("closed")
        close(app)
    @on_mainloop
    def hook(app):
        m = sys.modules["GUI"]
        events.append(["window", app.title(), "Parameters" in vars(m) and "GUI" in vars(m)])
        app.after(300, lambda: closing(app))
        return True  # the real event loop runs until the window closes
    m = _imp.create_dynamic(importlib.util.find_spec("GUI"))
    m.__name__ = "__main__"
    events.append(["exec", _imp.exec_dynamic(m)])
    import GUI
    return {"events": events, "registered": GUI is m, "name": m.__name__, "names": _names(m)}


def test_loading_as_main_program_runs_the_window_until_closed(tmp_path):
    result = plain("as_main_program", env={"TESSALOOM_DRIVE_C": str(tmp_path)})
    v = result.value
    # The window opened during the body, and the exec returned only after it was closed;
    # a later import finds the module and opens no second window.
    assert v["events"] == [["window", "VARNEL專利檢索軟體", True], "closed", ["exec", 0]]
    assert v["registered"] and v["name"] == "__main__" and v["names"] == BODY_NAMES
    assert (tmp_path / "tessaloom" / "VARNEL專利檢索軟體").is_dir()
    assert console(result) == []  # no icon or header error was printed


# ------------------------------------------------------- GUI() argument check

def _keyword_1():
    return {1: 2}


CALLS = {
    "no-arguments": lambda f, Q, E: f(),
    "one-positional": lambda f, Q, E: f(Q),
    "three-positional": lambda f, Q, E: f(Q, E, 3),
    "keyword-queue-only": lambda f, Q, E: f(Queue_All_variable=Q),
    "keyword-event-only": lambda f, Q, E: f(Event_All_variable=E),
    "positional-and-same-keyword": lambda f, Q, E: f(Q, Queue_All_variable=Q),
    "two-positional-and-keyword": lambda f, Q, E: f(Q, E, Event_All_variable=E),
    "unknown-keyword": lambda f, Q, E: f(Q, E, foo=1),
    "unknown-keyword-and-missing": lambda f, Q, E: f(Q, foo=1),
    "three-positional-and-unknown-keyword": lambda f, Q, E: f(Q, E, 3, foo=1),
    "three-positional-and-same-keyword": lambda f, Q, E: f(Q, E, 3, Queue_All_variable=Q),
    "non-string-keyword": lambda f, Q, E: f(Q, E, **_keyword_1()),
    "keywords": lambda f, Q, E: f(Queue_All_variable=Q, Event_All_variable=E),
    "keywords-reversed": lambda f, Q, E: f(Event_All_variable=E, Queue_All_variable=Q),
    "positional-then-keyword": lambda f, Q, E: f(Q, Event_All_variable=E),
    "positional": lambda f, Q, E: f(Q, E),
}


class _Reached(Exception):
    pass


def _stop_at_settings_record(GUI):
    """The step after the folders raises _Reached: a call gets that far or not."""
    def parameters(*a, **k):
        raise _Reached
    GUI.Parameters = parameters


WRONG_CALLS = [  # the calls themselves are in CALLS
    "no-arguments", "one-positional", "three-positional", "keyword-queue-only", "keyword-event-only",
    "positional-and-same-keyword", "two-positional-and-keyword", "unknown-keyword", "unknown-keyword-and-missing",
    "three-positional-and-unknown-keyword", "three-positional-and-same-keyword", "non-string-keyword",
]


def make_wrong_calls(names):
    """Each call of CALLS against a Python function of the same signature and
    against GUI.GUI, and what the drive holds after it."""
    import GUI
    drive = os.environ["TESSALOOM_DRIVE_C"]
    _stop_at_settings_record(GUI)
    def GUI_reference(Queue_All_variable, Event_All_variable):
        pass
    GUI_reference.__name__ = GUI_reference.__qualname__ = "GUI"
    Q, E = {}, {}
    out = {}
    for name in names:
        row = []
        for f in (GUI_reference, GUI.GUI):
            try:
                CALLS[name](f, Q, E)
                row.append(None)
            except Exception as e:
                row.append([type(e).__name__, str(e)])
        out[name] = row + [os.listdir(drive)]
    return out


@pytest.fixture(scope="module")
def wrong_calls(tmp_path_factory):
    drive = tmp_path_factory.mktemp("drive")
    result = plain("make_wrong_calls", WRONG_CALLS, env={"TESSALOOM_DRIVE_C": str(drive)})
    return result.value


@pytest.mark.parametrize("case", WRONG_CALLS)
def test_wrong_call_fails_like_a_python_function(wrong_calls, case):
    reference, actual, folder = wrong_calls[case]
    assert reference is not None and reference[0] == "TypeError"
    assert actual == reference
    assert folder == []  # nothing happened before the argument check


def valid_call(name):
    import GUI
    _stop_at_settings_record(GUI)
    try:
        CALLS[name](GUI.GUI, {}, {})
        return "returned"
    except _Reached:
        return "reached settings record"
    except Exception as e:
        return [type(e).__name__, str(e)]


@pytest.mark.parametrize("call", ["keywords", "keywords-reversed", "positional-then-keyword", "positional"])
def test_valid_call_gets_past_argument_binding(tmp_path, call):
    result = plain("valid_call", call, env={"TESSALOOM_DRIVE_C": str(tmp_path)})
    assert result.value == "reached settings record"
    assert (tmp_path / "tessaloom" / "VARNEL專利檢索軟體").is_dir()  # folders come first


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    main(globals())
