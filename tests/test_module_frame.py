"""Loading the GUI module: its attributes, load-time checks, the install
fallback for the toolkits, running as the main program, the argument checks of
GUI(), and the settings record Parameters.

`import GUI` changes the whole process (it can be loaded once only), so every
scenario (tests/scenarios/module_frame.py) runs in its own interpreter.
"""

from __future__ import annotations

import os
import stat

import pytest

from scenario import RESULT_TAG, run_case

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
    return run_case("scenarios.module_frame", case, *arguments, **kw).check()


def console(result) -> list[str]:
    """stdout lines written by the scenario, without emitted values and
    without python-xlib's authority warning (printed by pyautogui's import)."""
    return [line for line in result.stdout.splitlines()
            if not line.startswith(RESULT_TAG) and not line.startswith("Xlib.xauth:")]


# ---------------------------------------------------------------- attributes

@pytest.fixture(scope="module")
def loaded():
    result = plain("loaded")
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


def test_factories_called_without_arguments_and_attributes_bound_in_order():
    v = plain("factories").value
    assert v["calls"] == [["widgets", 0, []], ["errors", 0, []]]
    assert v["looked_up"] == ["Entry_Table", "Set_Table", "Set_Button", "CTkCalendar", "try_except_log"]
    assert v["models"] == [True, True]
    assert v["bound"] == [True] * 5


# ---------------------------------------------------------- load-time checks

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


def test_repeated_imports_return_the_loaded_module_without_running_the_body():
    v = plain("repeated_imports").value
    assert v["runs"] == 1
    assert v["same"] == [True, True, True]
    assert v["registered"] and v["untouched"]
    assert v["exec_result"] == 0


def test_executing_a_second_module_object_is_refused():
    v = plain("second_module_object").value
    assert v["distinct"] and v["fresh_file"]
    assert v["error"] == ["RuntimeError", REINIT_MESSAGE]
    assert v["fresh_names"] == []
    assert v["runs"] == 1
    assert v["registered"] and v["intact"] == BODY_NAMES


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


def test_importable_toolkits_run_no_installer_and_read_nothing(standin_py):
    env, log = standin_py
    result = plain("toolkits_importable", env=env, stdin="untouched\n")
    assert result.value == {"rest": "untouched\n"}
    assert not log.exists()
    assert console(result) == []


# ------------------------------------------------------------- main program

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

WRONG_CALLS = [  # the calls themselves are in the scenario
    "no-arguments", "one-positional", "three-positional", "keyword-queue-only", "keyword-event-only",
    "positional-and-same-keyword", "two-positional-and-keyword", "unknown-keyword", "unknown-keyword-and-missing",
    "three-positional-and-unknown-keyword", "three-positional-and-same-keyword", "non-string-keyword",
]


@pytest.fixture(scope="module")
def wrong_calls(tmp_path_factory):
    drive = tmp_path_factory.mktemp("drive")
    result = plain("wrong_calls", WRONG_CALLS, env={"TESSALOOM_DRIVE_C": str(drive)})
    return result.value


@pytest.mark.parametrize("case", WRONG_CALLS)
def test_wrong_call_fails_like_a_python_function(wrong_calls, case):
    reference, actual, folder = wrong_calls[case]
    assert reference is not None and reference[0] == "TypeError"
    assert actual == reference
    assert folder == []  # nothing happened before the argument check


@pytest.mark.parametrize("call", ["keywords", "keywords-reversed", "positional-then-keyword", "positional"])
def test_valid_call_gets_past_argument_binding(tmp_path, call):
    result = plain("valid_call", call, env={"TESSALOOM_DRIVE_C": str(tmp_path)})
    assert result.value == "reached settings record"
    assert (tmp_path / "tessaloom" / "VARNEL專利檢索軟體").is_dir()  # folders come first
