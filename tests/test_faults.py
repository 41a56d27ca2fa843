"""Faults around the window: a dead worker, closing mid-run, broken template
images, an unusable drive, dialogs closed under the user's hands, imports that
fail while the module loads, and hostile text in the search command.

Each scenario (tests/scenarios/faults.py) runs in its own interpreter (one Tk
root per process).
"""

from __future__ import annotations

import os
import re
import shutil
import sysconfig
import uuid
from pathlib import Path

import pytest

from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

IDLE = "輸出檢索列表"
BUSY = {"輸出中.", "輸出中..", "輸出中..."}

SHUTDOWN = [["put", "end", True], ["set", "end"], ["put", "起始數據", True]]


def window(case: str, *arguments, timeout: float = 120, **kwargs):
    """Run a case of the fault scenarios and require a clean exit."""
    return run_case("scenarios.faults", case, *arguments, timeout=timeout, **kwargs).check()


# ------------------------------------------------------------------ worker and window life

def test_killed_worker_leaves_the_window_usable():
    state, after = window("killed_worker", timeout=240).values
    assert state["stage"] == "done", state
    assert state["exitcode"] == -9
    assert state["log"] == "r1\nr2\nr3\n", "receipts flushed before the kill still show"
    assert state["ran"] == ["after(0)"] and state["errors"] == []
    assert set(state["texts"]) == BUSY and state["flag"] is True, "no marker came: the button keeps cycling"
    assert after["returned"] is None
    # The launch, then each shutdown signal exactly once.
    assert after["signals"] == [["set", "get_receipt"], ["put", "起始數據", False]] + SHUTDOWN
    assert after["end_event"] is True and after["end"] is None and after["start"] is None
    assert after["more"] == [True, True]


def test_closing_mid_run_sends_each_shutdown_signal_once():
    first, after = window("closing_mid_run").values
    assert first == {"log": "receipt 0\nreceipt 1\n", "text": "輸出中.."}
    # The pending receipts stay where they are; the channel gets the three signals once.
    assert after == {"returned": None, "signals": SHUTDOWN, "left": 8, "flag": True, "queued": [[None], [None]],
                     "errors": []}


# ------------------------------------------------------------------ broken template images

def _installed() -> Path:
    return next(Path(sysconfig.get_paths()["platlib"]).glob("GUI.*.so"))


def _garbage(path: Path):
    path.write_bytes(bytes(range(256)) * 4)


def _truncated(path: Path):
    path.write_bytes(path.read_bytes()[:200])  # a PNG header with its pixel data cut off


def _directory(path: Path):
    path.unlink()
    path.mkdir()


def _empty(path: Path):
    path.write_bytes(b"")


# damage per file; text in each printed line; header widgets laid out [type, column]; icon buttons with image
TEMPLATE_FAULTS = {
    "all-unreadable": ({"logo.ico": _empty, "logo.png": _directory, "logo(僅文字).png": _garbage,
                        "資料夾.png": _empty, "問號001.png": _directory},
                       ["格式範本/logo.ico", "Is a directory: '{}/格式範本/logo.png'"], [], [False, False]),
    "icon-garbage": ({"logo.ico": _garbage}, ["格式範本/logo.ico"],
                     [["CTkButton", 0], ["CTkButton", 1], ["CTkLabel", 2]], [True, True]),
    "text-logo-directory": ({"logo(僅文字).png": _directory}, ["Is a directory: '{}/格式範本/logo(僅文字).png'"],
                            [["CTkButton", 0]], [True, True]),
    # Opening succeeds, decoding fails when the logo button draws: the header stops there.
    "logo-truncated": ({"logo.png": _truncated, "資料夾.png": _truncated}, ["image file is truncated"],
                       [], [False, True]),
}


@pytest.mark.parametrize("case", list(TEMPLATE_FAULTS))
def test_unreadable_templates_leave_a_working_window(tmp_path, case):
    damage, printed_for, header, icon_images = TEMPLATE_FAULTS[case]
    so = _installed()
    shutil.copy2(so, tmp_path / so.name)
    shutil.copytree(so.parent / "格式範本", tmp_path / "格式範本")
    for name, spoil in damage.items():
        spoil(tmp_path / "格式範本" / name)
    result = window("templates_from", str(tmp_path / so.name))
    seen, end = result.values
    assert seen["file"] == str(tmp_path / so.name)
    lines = result.printed()
    assert len(lines) == len(printed_for), lines
    for line, text in zip(lines, printed_for):
        assert text.format(tmp_path) in line, line
    assert seen["header"] == header
    assert seen["icons"] == icon_images
    assert seen["output"] == IDLE and seen["rows"] == ["檢索指令"] and seen["errors"] == []
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ the drive cannot take the folders

def _under_a_file(tmp: Path) -> str:
    (tmp / "file.txt").write_text("")
    return str(tmp / "file.txt" / "sub")


def _name_too_long(tmp: Path) -> str:
    return str(tmp / ("x" * 300))


def _symlink_loop(tmp: Path) -> str:
    (tmp / "loop").symlink_to(tmp / "loop")
    return str(tmp / "loop")


def _dangling_maker_folder(tmp: Path) -> str:
    (tmp / "drive").mkdir()
    (tmp / "drive" / "tessaloom").symlink_to(tmp / "gone")
    return str(tmp / "drive")


# how the drive is broken; the error a stand-in os.mkdir raises (None: the real os.mkdir)
DRIVES = {
    "under-a-file": (_under_a_file, None),
    "name-too-long": (_name_too_long, None),
    "symlink-loop": (_symlink_loop, None),
    "dangling-maker-folder": (_dangling_maker_folder, None),
    "mkdir-raises-non-os-error": (lambda tmp: str(tmp / "drive"), "non-os-error"),
    "mkdir-raises-unicode-error": (lambda tmp: str(tmp / "drive"), "unicode-error"),
}


@pytest.mark.parametrize("case", list(DRIVES))
def test_window_opens_silently_when_the_folders_cannot_be_made(tmp_path, case):
    make_drive, raising = DRIVES[case]
    drive = make_drive(tmp_path)
    result = window("folders_unmakeable", raising, env={"TESSALOOM_DRIVE_C": drive})
    seen, end = result.values
    assert result.printed() == [], "folder failures are swallowed without a message"
    product = drive + "/tessaloom/VARNEL專利檢索軟體"
    assert seen["popen"] == [[[["xdg-open", product]], {}]], "the folder button still starts the file manager"
    assert seen["errors"] == []
    if raising:
        assert seen["mkdirs"] == [drive + "/tessaloom/", product + "/"], "the second attempt follows a failed first"
    assert not os.path.isdir(product)
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ dialogs closed mid-edit

@pytest.mark.parametrize("handler, key, first, second, stored", [
    ("button_event_004", "文字大小比例", "250", "40", 0.4),
    ("button_event_009", "分析最接近專利數量", "12", "3", 3),
], ids=["font", "count"])
def test_dialog_closed_mid_edit_leaves_the_other_in_charge(handler, key, first, second, stored):
    seen, end = window("dialog_closed_mid_edit", handler, key, first, second).values
    assert seen["stored"] == [type(stored).__name__, stored]
    assert seen["untouched"] is True
    assert seen["families"] == ["Calibri", "標楷體"], "the closed dialog's picks were never stored"
    assert seen["open"] == [False, True] and seen["errors"] == []
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ imports failing while the module loads

BODY_NAMES = [
    "os", "tkinter", "customtkinter", "time", "webbrowser", "Image", "subprocess", "pyautogui",
    "tessaloom", "customtkinter_model", "Entry_Table", "Set_Table", "Set_Button", "CTkCalendar",
    "try_except", "try_except_log", "Parameters", "GUI",
]

@pytest.mark.parametrize("name, attribute", [
    ("time", "time"), ("webbrowser", "webbrowser"), ("PIL.Image", "Image"), ("subprocess", "subprocess"),
    ("pyautogui", "pyautogui"), ("tessaloom通用模組", "tessaloom"), ("tkinter", "tkinter"),
    ("customtkinter", "customtkinter"),
])
def test_import_fault_leaves_nothing_behind(name, attribute):
    # No `py` on PATH: a toolkit's install command fails in the shell.
    result = window("import_fault", name, attribute, stdin="\n", env={"PATH": "/usr/bin:/bin"})
    state = result.value
    assert state["refused"] == [name]
    assert state["names"] == BODY_NAMES and state["bound"] is True
    if name in ("tkinter", "customtkinter"):
        # The install fallback: the command runs (and fails), the second import succeeds,
        # so there is no hint and no wait for Enter.
        assert state["first"] is None and state["registered_after_failure"] is True
        assert re.search(r"\bpy\b.*not found", result.stderr), result.stderr
        assert "請安裝" not in result.stdout and state["stdin"] == "\n"
    else:
        assert state["first"] == ["ImportError", f"refused: {name}"]
        assert state["registered_after_failure"] is False
        assert state["stdin"] == "\n" and "not found" not in result.stderr


# ------------------------------------------------------------------ hostile search commands

def test_search_command_never_reaches_a_shell_or_a_process(tmp_path):
    pwned = f"/tmp/pwned-{uuid.uuid4().hex}"
    hostile = ["; rm -rf ~", f"$(touch {pwned})", f"`touch {pwned}`", f"'; touch {pwned}; '",
               f'"; touch {pwned}; "', f"x\ntouch {pwned}\n", f"| touch {pwned}", f"&& touch {pwned} &",
               f"%(touch {pwned})s", f"{{touch,{pwned}}}", f"> {pwned}"]
    seen = window("hostile_commands", hostile).value
    assert seen["errors"] == [] and seen["pressed"] == 3 * len(hostile)
    assert seen["sent"] == [True] * len(hostile), "the command goes to the worker unchanged, as data"
    # One process per folder press and one page per help press; nothing else ran.
    assert sorted({c[0] + "." + c[1] for c in seen["calls"]}) == ["subprocess.Popen", "webbrowser.open"]
    assert len(seen["calls"]) == 2 * len(hostile)
    for module, name, args, keywords, shell in seen["calls"]:
        assert shell is None and "shell" not in keywords
        assert "pwned" not in args and "rm -rf" not in args
        assert not any(text in args for text in hostile if len(text) > 3)
    assert not os.path.exists(pwned)
