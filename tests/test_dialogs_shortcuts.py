"""Setting dialogs, folder and help shortcuts, the settings strip and the Enter key.

Every scenario (tests/scenarios/dialogs_shortcuts.py) builds the real window
in its own interpreter. The harness keeps the wrapped handlers (and every error that reaches the wrapper), the
entry table and the log box. Dialog results are read where they matter: in the
start request that the next launch hands the worker.
"""

from __future__ import annotations

import math
import os
import shutil

import pytest

from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display


def window(case: str, *arguments, **kwargs):
    """A case of the dialog and shortcut scenarios: its values, and the errors that reached the wrapper."""
    result = run_case("scenarios.dialogs_shortcuts", case, *arguments, **kwargs).check()
    *values, errors = result.values
    return values, errors["errors"]


def python_reads(convert, text):
    """What Python makes of a typed text: convert(text), or the integer 1 on any failure."""
    try:
        return convert("" if text is None else text)
    except Exception:
        return 1


def py_ratio(text):
    return python_reads(lambda t: float(t) / 100.0, text)


def py_count(text):
    return python_reads(int, text)


def as_sent(value):
    return [type(value).__name__, repr(value)]


FAMILIES = ["微軟正黑體", "標楷體", "Calibri", "新細明體", "Brush Script MT"]
FONT15 = ["Microsoft JhengHei", 15, "bold"]
FONT13 = ["Microsoft JhengHei", 13, "bold"]

# ------------------------------------------------------------------ dialog widgets

def grid(row, pady, padx=(0, 0), sticky="nsew"):
    return {"row": row, "column": 0, "padx": list(padx), "pady": list(pady), "sticky": "".join(sorted(sticky))}


FONT_DIALOG = [
    ("CTkLabel", {"text": "英文字體設定", "font": FONT15}, grid(1, (0, 10))),
    ("CTkOptionMenu", {"values": FAMILIES, "current": "Calibri", "size": [50, 20], "dynamic": False,
                       "command": True, "font": FONT13}, grid(1, (60, 10), (20, 20))),
    ("CTkLabel", {"text": "中文字體設定", "font": FONT15}, grid(2, (0, 10))),
    ("CTkOptionMenu", {"values": FAMILIES, "current": "標楷體", "size": [50, 20], "dynamic": False,
                       "command": True, "font": FONT13}, grid(3, (10, 10), (20, 20))),
    ("CTkLabel", {"text": "文字大小比例", "font": FONT15}, grid(4, (10, 10))),
    ("CTkEntry", {"placeholder": "100", "text": "", "size": [300, 30]}, grid(5, (0, 0), sticky="new")),
    ("CTkButton", {"text": "確認", "font": FONT15, "command": "button_event_004_A", "wrapped": False},
     grid(6, (10, 10), (50, 50), sticky="")),
]
COUNT_DIALOG = [
    ("CTkLabel", {"text": "分析最接近專利數量", "font": FONT15}, grid(1, (10, 10))),
    ("CTkEntry", {"placeholder": "5", "text": "", "size": [300, 30]}, grid(2, (0, 0), sticky="new")),
    ("CTkButton", {"text": "確認", "font": FONT15, "command": "button_event_004_A", "wrapped": False},
     grid(3, (10, 10), (50, 50), sticky="")),
]


@pytest.mark.parametrize("handler, geometry, expected", [
    ("button_event_004", "300x330", FONT_DIALOG),
    ("button_event_009", "300x130", COUNT_DIALOG),
], ids=["font", "count"])
def test_dialog_window_and_widgets(handler, geometry, expected):
    (d,), errors = window("describe_dialog", handler)
    assert errors == []
    assert d["title"] == "設定" and d["topmost"] is True and d["grab"] == "None"
    assert d["geometry"].startswith(geometry + "+"), d["geometry"]
    assert [c["type"] for c in d["children"]] == [t for t, _, _ in expected]
    for child, (_, options, grid_options) in zip(d["children"], expected):
        assert child["grid"] == grid_options, child
        assert {k: child[k] for k in options} == options, child
    fonts = [c["font_id"] for c in d["children"] if c["font_id"]]
    assert len(set(fonts)) == len(fonts), "each caption, menu and button has its own font"


# ------------------------------------------------------------------ ratio and count tables

RATIO_CASES = [  # text typed (None: untouched), stored value, placeholder of a later dialog
    (None, 1, "100"), ("120", 1.2, "120.0"), ("7", 0.07, "7.000000000000001"), (" 150 ", 1.5, "150.0"),
    ("１２０", 1.2, "120.0"), ("1e2", 1.0, "100.0"), ("abc", 1, "100"), ("12%", 1, "100"), ("", 1, "100"),
    ("-50", -0.5, "-50.0"), ("0", 0.0, "0.0"), ("100", 1.0, "100.0"), ("inf", math.inf, "inf"),
    ("nan", math.nan, "nan"), ("1_000", 10.0, "1000.0"),
]
COUNT_CASES = [
    (None, 1, "1"), ("10", 10, "10"), (" 7 ", 7, "7"), ("５", 5, "5"), ("+4", 4, "4"), ("1_0", 10, "10"),
    ("5.0", 1, "1"), ("abc", 1, "1"), ("", 1, "1"), ("0", 0, "0"), ("-3", -3, "-3"),
]
MENU_CASES = [  # English pick, Chinese pick, ratio text
    ("Brush Script MT", "新細明體", "80"), ("標楷體", "Calibri", "abc"), ("微軟正黑體", "微軟正黑體", None),
]


@pytest.fixture(scope="module")
def confirmed():
    """Each case: a dialog first stores a sentinel, a fresh one stores the case, a launch reads it."""
    values, errors = window("confirmed", [c[0] for c in RATIO_CASES], [c[0] for c in COUNT_CASES], MENU_CASES,
                            timeout=180)
    assert errors == []
    return values[0]


@pytest.mark.parametrize("index, text, stored, later", [(i, *c) for i, c in enumerate(RATIO_CASES)],
                         ids=[repr(c[0]) for c in RATIO_CASES])
def test_ratio_text_reaches_the_worker(confirmed, index, text, stored, later):
    settings, shown = confirmed["ratio"][index]
    assert as_sent(py_ratio(text)) == as_sent(stored)  # the table agrees with Python
    assert settings["文字大小比例"] == as_sent(stored)
    assert shown == later == str(py_ratio(text) * 100)
    # The case's untouched menus showed, and so store again, the sentinel's families.
    assert settings["英文文字字體"] == as_sent("新細明體") and settings["中文文字字體"] == as_sent("Brush Script MT")


@pytest.mark.parametrize("index, text, stored, later", [(i, *c) for i, c in enumerate(COUNT_CASES)],
                         ids=[repr(c[0]) for c in COUNT_CASES])
def test_count_text_reaches_the_worker(confirmed, index, text, stored, later):
    settings, shown = confirmed["count"][index]
    assert as_sent(py_count(text)) == as_sent(stored)  # the table agrees with Python
    assert settings["分析最接近專利數量"] == as_sent(stored)
    assert shown == later
    assert settings["文字大小比例"] == as_sent(1.0), "the count dialog leaves the ratio alone"


@pytest.mark.parametrize("index, english, chinese, text", [(i, *c) for i, c in enumerate(MENU_CASES)])
def test_picked_families_are_stored_even_when_the_ratio_is_rejected(confirmed, index, english, chinese, text):
    settings = confirmed["menus"][index]
    assert settings["英文文字字體"] == as_sent(english)
    assert settings["中文文字字體"] == as_sent(chinese)
    assert settings["文字大小比例"] == as_sent(py_ratio(text))


@pytest.mark.parametrize("handler, key, first, second, stored, shown", [
    ("button_event_004", "文字大小比例", "120", "50", 0.5, "100"),
    ("button_event_009", "分析最接近專利數量", "10", "3", 3, "5"),
], ids=["font", "count"])
def test_two_open_dialogs_and_repeated_confirmation(handler, key, first, second, stored, shown):
    values, errors = window("two_dialogs", handler, first, second)
    assert errors == []
    later_wins, (again, kept, text), (twice, still, open_count) = values
    assert later_wins[key] == as_sent(stored)
    assert again[key] == twice[key] == as_sent(py_ratio(first) if key == "文字大小比例" else int(first))
    assert kept == still == shown and text == first
    assert open_count == 2, "confirming leaves both dialogs open"


# ------------------------------------------------------------------ folder and help shortcuts

HTTPS = "https://localhost:34008/VARNEL專利檢索軟體"
HTTP = "http://localhost:34008/VARNEL專利檢索軟體"
HELP_CASES = [  # outcomes of the successive webbrowser.open calls, URLs opened, error for the wrapper
    ([["ret", True]], [HTTPS], None),
    ([["ret", False]], [HTTPS], None),
    ([["raise", "Error"], ["ret", True]], [HTTPS, HTTP], None),
    ([["raise", "RuntimeError"], ["ret", False]], [HTTPS, HTTP], None),
    ([["raise", "Error"], ["raise", "OSError"]], [HTTPS, HTTP], "OSError"),
]


@pytest.fixture(scope="module", params=["linux", "windows"])
def shortcuts(request):
    values, errors = window("shortcuts", request.param == "windows", False, 2, [c[0] for c in HELP_CASES])
    assert errors == []
    return request.param, values


def folder_command(branch, drive=None):
    """[argument type, argument] of the Popen call: one string on Windows, an argument list elsewhere."""
    if branch == "windows":
        return ["str", "explorer C:\\tessaloom\\VARNEL專利檢索軟體"]
    return ["list", ["xdg-open", (drive or os.environ["TESSALOOM_DRIVE_C"]) + "/tessaloom/VARNEL專利檢索軟體"]]


def test_folder_button_starts_one_process_per_press(shortcuts):
    branch, values = shortcuts
    folder = values[0]
    assert folder["errors"] == []
    # One positional argument and no options (so no shell), once per press.
    assert folder["popen"] == [[*folder_command(branch), 1, {}]] * 2


@pytest.mark.parametrize("index, outcomes, urls, error", [(i, *c) for i, c in enumerate(HELP_CASES)],
                         ids=["true", "false", "error-then-http", "raise-then-false", "both-raise"])
def test_help_button_falls_back_to_http_only_after_an_exception(shortcuts, index, outcomes, urls, error):
    _, values = shortcuts
    result = values[1 + index]
    assert result["opened"] == [[[url], {}] for url in urls]
    assert [e[:2] for e in result["errors"]] == ([["button_event_008", error]] if error else [])


@pytest.mark.parametrize("branch", ["linux", "windows"])
def test_folder_process_failure_reaches_the_wrapper(branch, tmp_path):
    blocker = tmp_path / "not-a-drive"
    blocker.write_text("")  # the folders under it can never be created
    drive = str(blocker / "C")
    values, errors = window("shortcuts", branch == "windows", True, 1, [], env={"TESSALOOM_DRIVE_C": drive})
    assert errors == []
    folder = values[0]
    assert folder["popen"] == [[*folder_command(branch, drive), 1, {}]], "started though the folder is missing"
    assert folder["errors"] == [["button_event_005", "FileNotFoundError", "[Errno 2] No such file or directory: 'explorer'"]]


@pytest.mark.parametrize("handler, row, picked, error", [
    ("button_event_006", "範本檔案路徑", "/tmp/範本.docx", "KeyError"),
    ("button_event_007", "專利檔案路徑", "/tmp/專利.xlsx", "KeyError"),
    ("button_event_006", "範本檔案路徑", "", None),
    ("button_event_007", "專利檔案路徑", "", None),
])
def test_pick_file_handlers(handler, row, picked, error):
    values, errors = window("pick_file", handler, picked)
    asked, written, command = values[0]
    assert asked == [[[], {"title": "選擇檔案"}]]
    assert written == ([[row, picked]] if picked else [])
    assert [e[:2] for e in errors] == ([[handler, error]] if error else [])
    assert command == "電池"


# ------------------------------------------------------------------ settings strip

STRIP = {"字體與大小": "button_event_004", "分析數量": "button_event_009", "清除指令": "button_event_003"}

@pytest.fixture(scope="module")
def layouts():
    with_strip, errors = window("layout", False)
    assert errors == []
    without_strip, errors = window("layout", True)
    assert errors == [] and len(without_strip) == 1
    return with_strip, without_strip[0]


def inside(inner, outer):
    x, y, w, h = inner
    ox, oy, ow, oh = outer
    return ox <= x and oy <= y and x + w <= ox + ow and y + h <= oy + oh


def overlap(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


def test_strip_moves_no_other_widget(layouts):
    (shown, *_), hidden = layouts
    assert shown["layout"] == hidden["layout"]
    assert shown["card_req"] == hidden["card_req"] == [300, 110]
    assert shown["output_text"] == "輸出檢索列表"
    assert [s["mapped"] for s in hidden["strip"]] == [False] * 3


def test_strip_buttons_sit_in_the_output_card(layouts):
    (shown, *_), _ = layouts
    strip = shown["strip"]
    assert sorted(s["text"] for s in strip) == sorted(STRIP)
    for s in strip:
        assert s["in_card"] and s["placed"] == "place" and s["mapped"], s
        assert inside(s["rect"], shown["card"]), (s, shown["card"])
        assert not overlap(s["rect"], shown["output"]), (s, shown["output"])
        assert s["command"] == STRIP[s["text"]], "the command is the wrapped handler"
    rects = [s["rect"] for s in strip]
    assert not any(overlap(a, b) for i, a in enumerate(rects) for b in rects[i + 1:])


def test_strip_buttons_open_the_dialogs_and_clear_the_command(layouts):
    (_, font, count, cleared), _ = layouts
    assert len(font) == 1 and font[0].startswith("300x330")
    assert len(count) == 1 and count[0].startswith("300x130")
    command, sent_request, log, flag = cleared
    assert command == "" and sent_request is None
    assert log == "請輸入關鍵字\n" and flag is True


# ------------------------------------------------------------------ Enter key

ENTER_CASES = [  # how the key arrives, where, keysym, command typed, request expected
    ("event", "command", "Return", "電池", True),
    ("event", "command", "KP_Enter", "鋰 AND 電池", True),
    ("xdotool", "command", "Return", "電池", True),
    ("xdotool", "command", "KP_Enter", "電池", True),
    ("event", "command", "Return", "", False),
    ("event", "command", "a", "電池", False),
    ("event", "dialog", "Return", "電池", False),
]


@pytest.fixture(scope="module")
def enter_presses():
    if shutil.which("xdotool") is None:
        pytest.skip("xdotool is not installed")
    values, errors = window("enter_presses", ENTER_CASES)
    assert errors == []
    return values


@pytest.mark.parametrize("index, how, where, keysym, command, expected", [(i, *c) for i, c in enumerate(ENTER_CASES)],
                         ids=["-".join(c[:3]) + ("-empty" if not c[3] else "") for c in ENTER_CASES])
def test_enter_in_the_command_entry_launches(enter_presses, index, how, where, keysym, command, expected):
    queued, sent_request, log, flag = enter_presses[index]
    if expected:
        assert queued == 1 and sent_request["檢索指令"] == command
        assert log == "" and flag is True
    elif command == "":
        assert queued == 0 and log == "請輸入關鍵字\n" and flag is True
    else:
        assert queued == 0 and "old log" in log and flag is False


# ------------------------------------------------------------------ screenshots

def test_dialog_screenshots():
    values, errors = window("screenshots")
    assert errors == []
    for (path, size, colours), expected in zip(values, ([300, 330], [300, 130])):
        assert os.path.getsize(path) > 0 and size == expected
        assert colours > 20, "the dialog is drawn (captions, entry and button), not a blank area"
