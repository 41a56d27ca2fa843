"""Setting dialogs, folder and help shortcuts, the settings strip and the Enter key.

Every scenario builds the real window in its own interpreter: the scenario
functions of this module run as `python -m test_dialogs_shortcuts <case>
<JSON arguments>` (scenario.run_case), each near the tests that check what it
hands back. The harness keeps the wrapped handlers (and every error that
reaches the wrapper), the entry table and the log box. Dialog results are read
where they matter: in the start request that the next launch hands the worker.
"""

from __future__ import annotations

import builtins
import math
import os
import shutil
import subprocess
import types
import webbrowser

import customtkinter as ctk
import pytest

from harness import (S, button_of, capture, channel, descendants, emit, main, on_mainloop, open_dialog, pump,
                     wait_for)
from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display


def window(case: str, *arguments, **kwargs):
    """A case of the dialog and shortcut scenarios: its values, and the errors that reached the wrapper."""
    result = run_case("test_dialogs_shortcuts", case, *arguments, **kwargs).check()
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


# ------------------------------------------------------------------ the scenarios' window

GUI = None  # the captured module, imported when run as a program
Q, E = channel()


def _in_window(scenario):
    """Run scenario(app) in the window's event loop, then emit the errors that
    reached the handler wrapper; the window closes after it."""
    @on_mainloop
    def hook(app):
        app.update()
        scenario(app)
        emit({"errors": S["errors"]})
    GUI.GUI(Q, E)


def request():
    return None if Q["起始數據"].empty() else Q["起始數據"].get_nowait()


def launch(command="電池"):
    """Run the wrapped output-button handler; the request the worker gets (or None)."""
    S["table"].set("檢索指令", command)
    S["handlers"]["button_event_001"]()
    return request()


def sent(command="電池"):
    """Settings of the next launch as [type name, repr] pairs (JSON keeps 1 vs 1.0, nan)."""
    return {k: [type(v).__name__, repr(v)] for k, v in launch(command).items() if k != "檢索指令"}


def dialogs(app):
    return [w for w in app.winfo_children() if isinstance(w, ctk.CTkToplevel)]


def parts(dialog, kind):
    return [w for w in dialog.winfo_children() if isinstance(w, kind)]


def entry_of(dialog): return parts(dialog, ctk.CTkEntry)[0]
def placeholder(dialog): return entry_of(dialog).cget("placeholder_text")
def confirm(dialog): parts(dialog, ctk.CTkButton)[0].invoke()


def apply(app, handler, text=None, english=None, chinese=None):
    """Open a dialog, type `text` (None: untouched), pick families, confirm, close."""
    d = open_dialog(app, handler)
    if text is not None:
        entry_of(d).insert(0, text)
    menus = parts(d, ctk.CTkOptionMenu)
    if english is not None: menus[0].set(english)
    if chinese is not None: menus[1].set(chinese)
    confirm(d)
    d.destroy()


def rect(w):
    return [w.winfo_rootx(), w.winfo_rooty(), w.winfo_width(), w.winfo_height()]


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


def norm_grid(info):
    def pad(v):
        v = [int(x) for x in (v.split() if isinstance(v, str) else [v] if isinstance(v, int) else v)]
        return v * 2 if len(v) == 1 else v
    return {"row": int(info["row"]), "column": int(info["column"]), "padx": pad(info["padx"]),
            "pady": pad(info["pady"]), "sticky": "".join(sorted(str(info["sticky"])))}


def _describe(d):
    out = {"title": d.title(), "geometry": d.geometry(), "topmost": bool(d.attributes("-topmost")),
           "grab": str(d.grab_current()), "children": []}
    for w in d.winfo_children():
        item = {"type": type(w).__name__, "grid": norm_grid(w.grid_info())}
        font = w.cget("font") if not isinstance(w, ctk.CTkEntry) else None
        item["font"] = font and [font.cget("family"), font.cget("size"), font.cget("weight")]
        item["font_id"] = font and id(font)
        if isinstance(w, (ctk.CTkLabel, ctk.CTkButton)): item["text"] = w.cget("text")
        if isinstance(w, ctk.CTkOptionMenu):
            item.update(values=w.cget("values"), current=w.get(), size=[w.cget("width"), w.cget("height")],
                        dynamic=w.cget("dynamic_resizing"), command=w.cget("command") is None)
        if isinstance(w, ctk.CTkEntry):
            item.update(placeholder=w.cget("placeholder_text"), text=w.get(), size=[w.cget("width"), w.cget("height")])
        if isinstance(w, ctk.CTkButton):
            cmd = w.cget("command")
            item.update(command=getattr(cmd, "__name__", repr(cmd)),
                        wrapped=any(cmd is h for h in S["handlers"].values()))
        out["children"].append(item)
    return out


def describe_dialog(handler):
    _in_window(lambda app: emit(_describe(open_dialog(app, handler))))


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


def confirm_cases(ratio_texts, count_texts, menu_cases):
    """Each case: a dialog first stores a sentinel, a fresh one stores the case, a launch reads it."""
    def scenario(app):
        out = {"ratio": [], "count": [], "menus": []}
        for text in ratio_texts:
            apply(app, "button_event_004", "333", "新細明體", "Brush Script MT")
            apply(app, "button_event_004", text)
            d = open_dialog(app, "button_event_004")
            out["ratio"].append([sent(), placeholder(d)])
            d.destroy()
        apply(app, "button_event_004", "100")
        for text in count_texts:
            apply(app, "button_event_009", "333")
            apply(app, "button_event_009", text)
            d = open_dialog(app, "button_event_009")
            out["count"].append([sent(), placeholder(d)])
            d.destroy()
        for english, chinese, text in menu_cases:
            apply(app, "button_event_004", "333", "Calibri", "標楷體")
            apply(app, "button_event_004", text, english, chinese)
            out["menus"].append(sent())
        emit(out)
    _in_window(scenario)


@pytest.fixture(scope="module")
def confirmed():
    """Each case: a dialog first stores a sentinel, a fresh one stores the case, a launch reads it."""
    values, errors = window("confirm_cases", [c[0] for c in RATIO_CASES], [c[0] for c in COUNT_CASES], MENU_CASES,
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


def two_dialogs(handler, first, second):
    def scenario(app):
        one, two = open_dialog(app, handler), open_dialog(app, handler)
        entry_of(one).insert(0, first); entry_of(two).insert(0, second)
        confirm(one); confirm(two)
        emit(sent())
        confirm(one)
        emit([sent(), placeholder(one), entry_of(one).get()])
        confirm(one)
        emit([sent(), placeholder(one), len(dialogs(app))])
    _in_window(scenario)


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


class _Browser:
    def __init__(self, outcomes):
        self.outcomes, self.calls = list(outcomes), []
    def open(self, *args, **kwargs):
        self.calls.append([list(args), kwargs])
        kind, value = self.outcomes.pop(0)
        if kind == "raise":
            raise (webbrowser.Error if value == "Error" else getattr(builtins, value))("refused")
        return value


def press_shortcuts(windows, fail, presses, help_outcomes):
    """Press the folder button `presses` times (its process start failing when `fail`),
    then the help button once per list of webbrowser.open outcomes."""
    calls = []
    def Popen(*args, **kwargs):
        calls.append([type(args[0]).__name__, args[0], len(args), kwargs])
        if fail: raise FileNotFoundError(2, "No such file or directory", "explorer")
        return types.SimpleNamespace(pid=1)
    def scenario(app):
        if windows:
            nt = types.ModuleType("os_nt"); nt.__dict__.update(os.__dict__); nt.name = "nt"
            GUI.os = nt
        GUI.subprocess = types.SimpleNamespace(Popen=Popen)
        folder_button = button_of(app, "button_event_005")
        for _ in range(presses):
            folder_button.invoke()
        emit({"popen": calls, "errors": list(S["errors"])})
        del S["errors"][:]
        help_button = button_of(app, "button_event_008")
        for outcomes in help_outcomes:
            GUI.webbrowser = _Browser(outcomes)
            help_button.invoke()
            emit({"opened": GUI.webbrowser.calls, "errors": list(S["errors"])})
            del S["errors"][:]
    _in_window(scenario)


@pytest.fixture(scope="module", params=["linux", "windows"])
def shortcuts(request):
    values, errors = window("press_shortcuts", request.param == "windows", False, 2, [c[0] for c in HELP_CASES])
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
    values, errors = window("press_shortcuts", branch == "windows", True, 1, [], env={"TESSALOOM_DRIVE_C": drive})
    assert errors == []
    folder = values[0]
    assert folder["popen"] == [[*folder_command(branch, drive), 1, {}]], "started though the folder is missing"
    assert folder["errors"] == [["button_event_005", "FileNotFoundError", "[Errno 2] No such file or directory: 'explorer'"]]


def pick_file(handler, picked):
    def scenario(app):
        asked, written = [], []
        def askopenfilename(*args, **kwargs):
            asked.append([list(args), kwargs]); return picked
        real_set = S["table"].set
        S["table"].set = lambda name, text: (written.append([name, text]), real_set(name, text))
        S["table"].set("檢索指令", "電池"); del written[:]
        GUI.tkinter = types.SimpleNamespace(filedialog=types.SimpleNamespace(askopenfilename=askopenfilename))
        S["handlers"][handler]()
        emit([asked, written, S["table"].get("檢索指令")])
    _in_window(scenario)


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

STRIP_TEXTS = ["字體與大小", "分析數量", "清除指令"]


def _hide_strip():
    """The strip's buttons are still made but never laid out: the window as it is without them."""
    class Button(GUI.customtkinter.CTkButton):
        pass
    for manager in ("place", "grid", "pack"):
        def skip(self, *args, _real=getattr(ctk.CTkButton, manager), **kwargs):
            if self.cget("text") not in STRIP_TEXTS:
                return _real(self, *args, **kwargs)
        setattr(Button, manager, skip)
    GUI.customtkinter.CTkButton = Button


def layout(hide_strip):
    if hide_strip:
        _hide_strip()
    def scenario(app):
        top = {(int(w.grid_info()["row"]), int(w.grid_info()["column"])): w for w in app.grid_slaves()}
        BB = top[(1, 1)]
        card = next(w for w in BB.winfo_children() if isinstance(w, ctk.CTkFrame))
        output = next(w for w in BB.winfo_children() if isinstance(w, ctk.CTkButton))
        widgets = {"app": app, "FF": top[(0, 0)], "AA": top[(1, 0)], "BB": BB, "DD": top[(2, 0)], "card": card,
                   "output": output, "textbox": S["box"], "entry": S["table"].entry("檢索指令"),
                   "folder": button_of(app, "button_event_005"),
                   "help": button_of(app, "button_event_008")}
        names = {id(h): n for n, h in S["handlers"].items()}
        strip = [w for w in descendants(app) if isinstance(w, ctk.CTkButton) and w.cget("text") in STRIP_TEXTS]
        emit({"layout": {n: [w.winfo_x(), w.winfo_y(), w.winfo_width(), w.winfo_height()] for n, w in widgets.items()},
              "output_text": output.cget("text"), "card_req": [card.winfo_reqwidth(), card.winfo_reqheight()],
              "card": rect(card), "output": rect(output),
              "strip": [{"text": w.cget("text"), "in_card": w.master is card, "placed": w.winfo_manager(),
                         "mapped": bool(w.winfo_ismapped()), "rect": rect(w),
                         "command": names.get(id(w.cget("command")))} for w in strip]})
        if hide_strip:
            return
        by_text = {w.cget("text"): w for w in strip}
        for text in STRIP_TEXTS[:2]:
            before = dialogs(app)
            by_text[text].invoke(); app.update()
            emit([d.geometry() for d in dialogs(app) if d not in before])
        S["table"].set("檢索指令", "電池")
        by_text["清除指令"].invoke()
        cleared = S["table"].get("檢索指令")
        S["handlers"]["button_event_001"]()
        emit([cleared, request(), S["box"].get("1.0", "end-1c"), E["get_receipt"].is_set()])
    _in_window(scenario)


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


def press_enter(cases):
    """For each [how, where, keysym, command, expected]: the key on the command entry or a dialog's entry."""
    def scenario(app):
        command_entry = S["table"].entry("檢索指令")
        dialog_entry = entry_of(open_dialog(app, "button_event_004"))
        for how, where, keysym, command, expected in cases:
            S["table"].set("檢索指令", command)
            S["box"].insert("end", "old log")
            E["get_receipt"].clear()
            target = (command_entry if where == "command" else dialog_entry)._entry
            target.focus_force()
            wait_for(app, lambda: app.focus_get() is target)
            if how == "event":
                target.event_generate("<" + keysym + ">")
            else:
                subprocess.run(["xdotool", "key", keysym], check=True)
            if expected:
                wait_for(app, lambda: not Q["起始數據"].empty())
            pump(app, 0.3)  # time for a second (unwanted) launch to show up
            emit([Q["起始數據"].qsize(), request(), S["box"].get("1.0", "end-1c"), E["get_receipt"].is_set()])
            while request() is not None: pass
    _in_window(scenario)


@pytest.fixture(scope="module")
def enter_presses():
    if shutil.which("xdotool") is None:
        pytest.skip("xdotool is not installed")
    values, errors = window("press_enter", ENTER_CASES)
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

def screenshots():
    from PIL import ImageGrab
    def scenario(app):
        for handler, path in [("button_event_004", "/tmp/font_dialog.png"), ("button_event_009", "/tmp/count_dialog.png")]:
            d = open_dialog(app, handler)
            pump(app, 0.5)
            x, y, w, h = rect(d)
            shot = ImageGrab.grab(bbox=(0, 0, max(x + w, app.winfo_rootx() + app.winfo_width()),
                                        max(y + h, app.winfo_rooty() + app.winfo_height())))
            shot.save(path)
            colours = shot.crop((x, y, x + w, y + h)).getcolors(1 << 20)
            emit([path, [w, h], len(colours)])
            d.destroy()
    _in_window(scenario)


def test_dialog_screenshots():
    values, errors = window("screenshots")
    assert errors == []
    for (path, size, colours), expected in zip(values, ([300, 330], [300, 130])):
        assert os.path.getsize(path) > 0 and size == expected
        assert colours > 20, "the dialog is drawn (captions, entry and button), not a blank area"


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    GUI = capture()
    main(globals())
