"""Search launch, progress/log poller and the worker channel, end to end.

Every window scenario runs in its own interpreter (one Tk root per process).
The harness below captures the wrapped handlers, the button bar, the entry
table, the settings record and the log box, so a scenario can press the
output button and run single poller ticks (`tick()`) without any timing.
"""

from __future__ import annotations

import shutil
import textwrap

import pytest

from scenario import run
from varnel_host.channel import COMPLETION_MARKER as MARK

IDLE = "輸出檢索列表"
DEFAULT_SETTINGS = [["文字大小比例", "int", 1], ["中文文字字體", "str", "標楷體"],
                    ["英文文字字體", "str", "Calibri"], ["分析最接近專利數量", "int", 5]]
ERROR_LINE = "button_event_001函數出現錯誤\n"

HARNESS = r'''
import queue, threading, types
import customtkinter
import GUI

from varnel_host.channel import COMPLETION_MARKER as MARK
IDLE = "輸出檢索列表"
S = {"handlers": {}, "count": {}, "errors": [], "calls": []}

def _wrap(handler):
    # Stand-in for try_except_log: keeps the wrapped handler, counts its runs
    # and records every error that leaves it.
    name = handler.__name__
    def wrapped():
        S["count"][name] = S["count"].get(name, 0) + 1
        try:
            handler()
        except Exception as error:
            S["errors"].append([name, type(error).__name__, str(error)])
    S["handlers"][name] = wrapped
    return wrapped

_real = {"table": GUI.Set_Table, "bar": GUI.Set_Button, "PP": GUI.Parameters}
def _capture(key):
    def make(*args, **kwargs):
        S[key] = _real[key](*args, **kwargs)
        return S[key]
    return make

GUI.try_except_log = _wrap
GUI.Set_Table, GUI.Set_Button, GUI.Parameters = _capture("table"), _capture("bar"), _capture("PP")

class _LogBox(customtkinter.CTkTextbox):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        S["box"] = self

GUI.customtkinter = types.ModuleType("ctk_standin")
GUI.customtkinter.__dict__.update(customtkinter.__dict__)
GUI.customtkinter.CTkTextbox = _LogBox

class RecQueue:
    """Queue stand-in recording every call into S["calls"]."""
    def __init__(self, name, items=()):
        self.name, self.items = name, list(items)
    def put(self, value):
        S["calls"].append(["put", self.name]); self.items.append(value)
    def empty(self):
        S["calls"].append(["empty", self.name]); return not self.items
    def get(self, *args, **kwargs):
        S["calls"].append(["get" if self.items else "get-on-empty", self.name, list(args), kwargs])
        return self.items.pop(0) if self.items else None

class RecEvent:
    def __init__(self, name):
        self.name, self.flag = name, False
    def set(self):
        S["calls"].append(["set", self.name]); self.flag = True
    def clear(self):
        S["calls"].append(["clear", self.name]); self.flag = False
    def is_set(self):
        return self.flag

def channel():
    return ({"起始數據": queue.Queue(), "get_receipt": queue.Queue(), "end": queue.Queue()},
            {"get_receipt": threading.Event(), "end": threading.Event()})

def rec_channel():
    return ({k: RecQueue(k) for k in ("起始數據", "get_receipt", "end")},
            {k: RecEvent(k) for k in ("get_receipt", "end")})

def log():
    return S["box"].get("1.0", "end-1c")

def set_log(text):
    S["box"].delete("1.0", "end"); S["box"].insert("end", text)

def text():
    return S["bar"].cget(IDLE, "text")

def press():
    S["bar"].button(IDLE).invoke()

def tick():
    S["handlers"]["aa"]()

def red():
    """Foreground of the error tag, None while the tag does not exist."""
    try:
        return S["box"].tag_cget("red_tag", "foreground")
    except Exception:
        return None

def tagged():
    """Text covered by each tag of the log box (selection excluded)."""
    box = S["box"]
    found = {}
    for tag in box.tag_names():
        ranges = [str(i) for i in box.tag_ranges(tag)]
        if tag != "sel" and ranges:
            found[tag] = [box.get(a, b) for a, b in zip(ranges[::2], ranges[1::2])]
    return found

class BadStr:
    """A receipt without a text form."""
    def __str__(self):
        raise ValueError("no text")

class BadEq:
    """A receipt that cannot be compared with the completion marker."""
    def __eq__(self, other):
        raise ValueError("no comparison")
    __hash__ = object.__hash__

def failing(message):
    def fail(*args, **kwargs):
        raise RuntimeError(message)
    return fail

def freeze(app):
    """Cancel pending timers so only directly called ticks run; record re-arms."""
    for after_id in app.tk.splitlist(app.tk.call("after", "info")):
        app.tk.call("after", "cancel", after_id)
    rearms, real_after = [], app.after
    def after(ms, func=None, *args):
        rearms.append([ms, func is S["handlers"].get("aa")])
        return real_after(ms, func, *args)
    app.after = after
    return rearms
'''


def window(body: str, timeout: float = 90, **kwargs):
    """Run HARNESS + body in a fresh interpreter and require a clean exit."""
    return run(HARNESS + textwrap.dedent(body), timeout=timeout, **kwargs).check()


# --------------------------------------------------------------------------- launch

@pytest.mark.parametrize("command", ["電池", "   ", " (A OR B) AND 鋰 ", "x" * 300, ""])
def test_launch_raises_flag_then_sends_request(command):
    result = window(f'''
        Q, E = rec_channel()
        @on_mainloop
        def hook(app):
            freeze(app)
            set_log("舊紀錄\\n")
            S["table"].set("檢索指令", {command!r})
            press()
            emit({{"calls": S["calls"], "log": log(), "tags": tagged(), "errors": S["errors"],
                   "red": red(), "flag": E["get_receipt"].is_set(),
                   "requests": [[[k, type(v).__name__, v] for k, v in r.items()] for r in Q["起始數據"].items]}})
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    if command:  # sent unchanged, not trimmed; the log is cleared
        assert got["calls"] == [["set", "get_receipt"], ["put", "起始數據"]]
        assert got["requests"] == [DEFAULT_SETTINGS + [["檢索指令", "str", command]]]
        assert got["log"] == ""
    else:  # nothing sent; only the prompt, in the default colour
        assert got["calls"] == [["set", "get_receipt"]] and got["requests"] == []
        assert got["log"] == "請輸入關鍵字\n"
    assert got["tags"] == {} and got["red"] == "red"
    assert got["flag"] is True and got["errors"] == []


def test_repeated_presses_send_fresh_requests_and_clear_the_log():
    result = window('''
        Q, E = channel()
        @on_mainloop
        def hook(app):
            freeze(app)
            S["table"].set("檢索指令", "第一")
            press()
            Q["get_receipt"].put("r1"); tick()
            seen = {"after_first": log()}
            PP = S["PP"]
            PP.parameters["文字大小比例"] = 1.25
            PP.parameters["中文文字字體"] = "新細明體"
            PP.parameters["英文文字字體"] = "Arial"
            PP.parameters["分析最接近專利數量"] = 8
            S["table"].set("檢索指令", "第二")
            press()
            seen["after_second"] = log()
            Q["get_receipt"].put("r2"); tick()
            seen["end"] = log()
            first, second = Q["起始數據"].get_nowait(), Q["起始數據"].get_nowait()
            seen["same_object"] = first is second
            seen["requests"] = [[[k, type(v).__name__, v] for k, v in r.items()] for r in (first, second)]
            seen["flag"] = E["get_receipt"].is_set()
            emit(seen)
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["after_first"] == "r1\n"
    assert got["after_second"] == ""
    assert got["end"] == "r2\n"
    assert got["same_object"] is False
    assert got["requests"] == [
        DEFAULT_SETTINGS + [["檢索指令", "str", "第一"]],
        [["文字大小比例", "float", 1.25], ["中文文字字體", "str", "新細明體"],
         ["英文文字字體", "str", "Arial"], ["分析最接近專利數量", "int", 8], ["檢索指令", "str", "第二"]],
    ]
    assert got["flag"] is True


RED_LINES = "舊紀錄\n" + ERROR_LINE + "{}\n"


# breakage, log afterwards, errors handed to the wrapper, run flag afterwards
@pytest.mark.parametrize("breakage, logged, errors, flag", [
    ('del Q["起始數據"]', RED_LINES.format(str(KeyError("起始數據"))), [], True),
    ('Q["起始數據"].put = failing("佇列已關閉")', RED_LINES.format("佇列已關閉"), [], True),
    ('del E["get_receipt"]', "舊紀錄\n", [["button_event_001", "KeyError"]], None),
    ('S["PP"].parameters.pop("英文文字字體")', "舊紀錄\n", [["button_event_001", "KeyError"]], True),
], ids=["start-queue-missing", "put-fails", "run-flag-missing", "setting-missing"])
def test_launch_failures(breakage, logged, errors, flag):
    result = window(f'''
        Q, E = rec_channel()
        @on_mainloop
        def hook(app):
            freeze(app)
            {breakage}
            set_log("舊紀錄\\n")
            S["table"].set("檢索指令", "電池")
            press()
            emit({{"log": log(), "tags": tagged(), "red": red(),
                   "put": len(Q["起始數據"].items) if "起始數據" in Q else 0,
                   "errors": [e[:2] for e in S["errors"]],
                   "flag": E["get_receipt"].is_set() if "get_receipt" in E else None}})
            Q["起始數據"] = RecQueue("起始數據")  # let the shutdown after close go through
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["log"] == logged and got["put"] == 0
    # Only the fixed error line bears the (red) tag; the message line is untagged.
    assert got["tags"] == ({"red_tag": [ERROR_LINE]} if ERROR_LINE in logged else {})
    # The colour is configured at the end of a press that gets past the request.
    assert got["red"] == ("red" if not errors else None)
    assert got["errors"] == errors
    assert got["flag"] is flag


def test_launch_outside_attached_mode_only_raises_the_flag():
    result = window('''
        Q, E = rec_channel()
        @on_mainloop
        def hook(app):
            freeze(app)
            GUI.__dict__["__name__"] = "__main__"
            seen = []
            try:
                for command in ("電池", ""):
                    set_log("舊紀錄\\n")
                    E["get_receipt"].flag = False
                    S["table"].set("檢索指令", command)
                    press()
                    seen.append([log(), E["get_receipt"].is_set()])
            finally:
                GUI.__dict__["__name__"] = "GUI"
            emit({"seen": seen, "calls": S["calls"], "errors": S["errors"]})
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["seen"] == [["舊紀錄\n", True], ["舊紀錄\n", True]]
    assert got["calls"] == [["set", "get_receipt"]] * 2
    assert got["errors"] == []


# --------------------------------------------------------------------------- poller

# (flag raised, button text before the tick, text after the tick)
ANIMATION = [
    (True, IDLE, "輸出中."), (True, "輸出中.", "輸出中.."), (True, "輸出中..", "輸出中..."),
    (True, "輸出中...", "輸出中."), (True, "輸出中....", "輸出中."), (True, " 輸出中.", "輸出中."),
    (True, "", "輸出中."), (False, "輸出中..", IDLE), (False, "輸出中.", IDLE), (False, "其他", IDLE),
    (False, IDLE, IDLE),
]


@pytest.fixture(scope="module")
def animation():
    result = window(f'''
        Q, E = channel()
        @on_mainloop
        def hook(app):
            rearms = freeze(app)
            rows = []
            for flag, before, _ in {ANIMATION!r}:
                (E["get_receipt"].set if flag else E["get_receipt"].clear)()
                S["bar"].configure(IDLE, text=before)
                tick()
                rows.append(text())
            # From idle with the flag raised, then lowered mid-cycle.
            S["bar"].configure(IDLE, text=IDLE)
            E["get_receipt"].set()
            cycle = []
            for _ in range(4):
                tick(); cycle.append(text())
            E["get_receipt"].clear()
            tick(); cycle.append(text())
            # A run ending: two receipts then the marker.
            S["bar"].configure(IDLE, text=IDLE); set_log("")
            E["get_receipt"].set()
            for item in ("a", "b", MARK):
                Q["get_receipt"].put(item)
            run = []
            for _ in range(4):
                tick(); run.append([text(), E["get_receipt"].is_set()])
            emit({{"rows": rows, "cycle": cycle, "run": run, "log": log(), "rearms": rearms,
                   "ticks": len(rows) + len(cycle) + len(run), "errors": S["errors"]}})
        GUI.GUI(Q, E)
    ''')
    return result.values[0]


@pytest.mark.parametrize("index, row", list(enumerate(ANIMATION)), ids=[repr(r) for r in ANIMATION])
def test_poller_button_text(animation, index, row):
    assert animation["rows"][index] == row[2]


def test_poller_busy_cycle_and_run_end(animation):
    assert animation["cycle"] == ["輸出中.", "輸出中..", "輸出中...", "輸出中.", IDLE]
    # The marker's tick still advances the button; the idle text comes a tick later.
    assert animation["run"] == [["輸出中.", True], ["輸出中..", True], ["輸出中...", False], [IDLE, False]]
    assert animation["log"] == "a\nb\n\n完成"
    # Every tick re-arms itself with the wrapped poller, 500 ms ahead.
    assert animation["rearms"] == [[500, True]] * animation["ticks"]
    assert animation["errors"] == []


# name: (receipts expression, flag before, log after each tick, flag after the last tick)
RECEIPTS = {
    "three-in-order": ('["a", "b", "c"]', True, ["a\n", "a\nb\n", "a\nb\nc\n"], True),
    "int": ("[42]", True, ["42\n"], True),
    "none": ("[None]", True, ["None\n"], True),
    "list": ('[[1, "x"]]', True, ["[1, 'x']\n"], True),
    "bytes": ('[b"x"]', True, ["b'x'\n"], True),
    "float": ("[2.5]", True, ["2.5\n"], True),
    "marker-inside-line": ('["前" + MARK + "後"]', True, [f"前{MARK}後\n"], True),
    "marker-trailing-blank": ('[MARK + " "]', True, [f"{MARK} \n"], True),
    "marker-trailing-newline": ('[MARK + "\\n"]', True, [f"{MARK}\n\n"], True),
    "marker-as-bytes": ('[MARK.encode()]', True, [repr(MARK.encode()) + "\n"], True),
    "marker-ends-run": ('["a", "b", MARK]', True, ["a\n", "a\nb\n", "a\nb\n\n完成"], False),
    "marker-flag-lowered": ("[MARK]", False, ["\n完成"], False),
    "receipt-after-marker": ('[MARK, "遲到"]', True, ["\n完成", "\n完成遲到\n"], False),
    "while-idle": ('["x"]', False, ["x\n"], False),
    "empty-queue": ("[]", True, ["", ""], True),
    "str-raises": ('[BadStr(), "next"]', True, ["", "next\n"], True),
    "eq-raises": ('[BadEq(), "next"]', True, ["", "next\n"], True),
}
OLD = "舊\n"


@pytest.fixture(scope="module")
def receipts():
    cases = {name: (expr, flag, len(logs)) for name, (expr, flag, logs, _) in RECEIPTS.items()}
    source = "CASES = {\n" + "".join(
        f"    {name!r}: ({expr}, {flag!r}, {ticks!r}),\n" for name, (expr, flag, ticks) in cases.items()
    ) + "}\n"
    result = window(source + textwrap.dedent('''
        Q, E = channel()
        @on_mainloop
        def hook(app):
            rearms = freeze(app)
            out = {}
            for name, (items, flag, ticks) in CASES.items():
                set_log("舊\\n")
                (E["get_receipt"].set if flag else E["get_receipt"].clear)()
                for item in items:
                    Q["get_receipt"].put(item)
                del rearms[:]
                logs = []
                for _ in range(ticks):
                    tick(); logs.append(log())
                out[name] = {"logs": logs, "flag": E["get_receipt"].is_set(), "left": Q["get_receipt"].qsize(),
                             "rearms": list(rearms), "errors": list(S["errors"])}
            # A lone surrogate is shown or dropped; later receipts still show.
            set_log("")
            for item in ("\\ud800", "later", "last"):
                Q["get_receipt"].put(item)
            for _ in range(3):
                tick()
            out["surrogate"] = {"log": log().encode("ascii", "backslashreplace").decode("ascii"),
                                "errors": S["errors"]}
            emit(out)
        GUI.GUI(Q, E)
    '''))
    return result.values[0]


@pytest.mark.parametrize("name", list(RECEIPTS))
def test_poller_moves_one_receipt_per_tick(receipts, name):
    _, _, logs, flag = RECEIPTS[name]
    got = receipts[name]
    assert got["logs"] == [OLD + line for line in logs]
    assert got["flag"] is flag
    assert got["left"] == 0
    assert got["rearms"] == [[500, True]] * len(logs)
    assert got["errors"] == []


def test_poller_survives_lone_surrogate(receipts):
    got = receipts["surrogate"]
    assert got["log"] in ("later\nlast\n", "\\ud800\nlater\nlast\n", "\\ufffd\nlater\nlast\n")
    assert got["errors"] == []


@pytest.mark.parametrize("missing, texts, log", [
    ('Q, "get_receipt"', ["輸出中.", "輸出中.."], ""),
    ('E, "get_receipt"', [IDLE, IDLE], "a\n\n完成"),
], ids=["receipt-queue", "run-flag"])
def test_poller_keeps_polling_with_a_channel_key_missing(missing, texts, log):
    result = window(f'''
        Q, E = channel()
        E["get_receipt"].set()
        for item in ("a", MARK):
            Q["get_receipt"].put(item)
        @on_mainloop
        def hook(app):
            rearms = freeze(app)
            mapping, key = {missing}
            del mapping[key]
            seen = []
            for _ in range(2):
                tick(); seen.append(text())
            emit({{"texts": seen, "log": log(), "rearms": rearms, "errors": S["errors"]}})
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["texts"] == texts
    assert got["log"] == log
    assert got["rearms"] == [[500, True], [500, True]]
    assert got["errors"] == []


def test_poller_checks_empty_before_every_get():
    result = window('''
        Q, E = rec_channel()
        Q["get_receipt"] = RecQueue("get_receipt", ["a", "b"])
        @on_mainloop
        def hook(app):
            freeze(app)
            for _ in range(4):
                tick()
            emit({"calls": [c for c in S["calls"] if c[1] == "get_receipt"], "log": log()})
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["calls"] == [["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["empty", "get_receipt"]]
    assert got["log"] == "a\nb\n"


def test_window_stays_responsive_with_a_large_backlog():
    result = window('''
        import time
        Q, E = channel()
        for i in range(10000):
            Q["get_receipt"].put(f"r{i}")
        @on_mainloop
        def hook(app):
            def check():
                ran = []
                app.after(0, lambda: ran.append(True))
                deadline = time.monotonic() + 20
                while not ran and time.monotonic() < deadline:
                    app.update()
                emit({"ran": ran, "ticks": S["count"].get("aa", 0), "lines": log().splitlines(),
                      "left": Q["get_receipt"].qsize()})
                close(app)
            app.after(1500, check)
            return True
        GUI.GUI(Q, E)
    ''')
    got = result.values[0]
    assert got["ran"] == [True]
    assert got["ticks"] >= 1
    # One receipt per tick, in order, the rest still waiting.
    assert got["lines"] == [f"r{i}" for i in range(got["ticks"])]
    assert got["left"] == 10000 - got["ticks"]


# --------------------------------------------------------------------------- end to end

WORKER = '''
from varnel_host.channel import COMPLETION_MARKER as MARK

def serve(Q, E, done):
    requests = []
    while True:
        request = Q["起始數據"].get(timeout=60)
        if request is None:
            break
        requests.append([[k, v] for k, v in request.items()])
        for receipt in ("收到 " + request["檢索指令"], 123, "第三行", MARK):
            Q["get_receipt"].put(receipt)
    done.put({"requests": requests, "end_set": E["end"].is_set(), "end": Q["end"].get(timeout=10)})
'''

# Drives one search through the real event loop: type (or set) the command,
# press the output button, wait for the completion and the idle text, close.
DRIVER = r'''
import subprocess, time

def drive(app, command, typed):
    state = {"stage": "type", "texts": [], "deadline": time.monotonic() + 60}
    entry = S["table"].entry("檢索指令")
    def step():
        state["texts"].append(text())
        if state["stage"] == "type":
            if typed:
                entry.focus_force(); app.update()
                subprocess.run(["xdotool", "type", "--delay", "30", command], check=True, timeout=30)
            else:
                S["table"].set("檢索指令", command)
            state["stage"] = "press"
        elif state["stage"] == "press" and S["table"].get("檢索指令") == command:
            press(); state["stage"] = "wait"
        elif state["stage"] == "wait" and log().endswith("完成") and text() == IDLE:
            state["stage"] = "done"
        if state["stage"] == "done" or time.monotonic() > state["deadline"]:
            emit({"stage": state["stage"], "log": log(), "texts": sorted(set(state["texts"])),
                  "errors": S["errors"]})
            close(app)
        else:
            app.after(50, step)
    app.after(600, step)
    return True
'''


@pytest.mark.parametrize("kind", [
    "thread",
    pytest.param("thread-typed", marks=pytest.mark.skipif(shutil.which("xdotool") is None,
                                                         reason="xdotool not installed")),
    "process",
])
def test_search_cycle_with_worker(tmp_path, kind):
    (tmp_path / "cycle_worker.py").write_text(WORKER, encoding="utf-8")
    command = "battery cell 2024" if kind == "thread-typed" else "電池 與 鋰"
    typed = kind == "thread-typed"
    result = window(DRIVER + textwrap.dedent(f'''
        import sys, multiprocessing
        sys.path.insert(0, {str(tmp_path)!r})
        import cycle_worker
        if {kind!r} == "process":
            ctx = multiprocessing.get_context("spawn")
            Q = {{k: ctx.Queue() for k in ("起始數據", "get_receipt", "end")}}
            E = {{k: ctx.Event() for k in ("get_receipt", "end")}}
            done = ctx.Queue()
            worker = ctx.Process(target=cycle_worker.serve, args=(Q, E, done))
        else:
            Q, E = channel()
            done = queue.Queue()
            worker = threading.Thread(target=cycle_worker.serve, args=(Q, E, done))
        worker.start()
        on_mainloop(lambda app: drive(app, {command!r}, {typed!r}))
        assert GUI.GUI(Q, E) is None
        report = done.get(timeout=30)
        worker.join(30)
        report["alive"] = worker.is_alive()
        report["exitcode"] = getattr(worker, "exitcode", 0)
        emit(report)
    '''), timeout=180)
    shown, report = result.values
    assert shown["stage"] == "done", shown
    assert shown["log"] == f"收到 {command}\n123\n第三行\n\n完成"
    assert "輸出中." in shown["texts"] and set(shown["texts"]) <= {IDLE, "輸出中.", "輸出中..", "輸出中..."}
    assert shown["errors"] == []
    assert report["requests"] == [[[k, v] for k, _, v in DEFAULT_SETTINGS] + [["檢索指令", command]]]
    assert report["end_set"] is True and report["end"] is None
    assert report["alive"] is False and report["exitcode"] == 0


@pytest.mark.parametrize("processes", [False, True], ids=["thread", "process"])
def test_reference_worker_answers_the_window(tmp_path, processes):
    result = window(DRIVER + textwrap.dedent(f'''
        import multiprocessing, pathlib
        from varnel_host.channel import make_channel
        from varnel_host.worker import WorkerConfig, serve
        config = WorkerConfig(database=pathlib.Path({str(tmp_path / "db.sqlite3")!r}),
                              reports=pathlib.Path({str(tmp_path / "reports")!r}))
        if {processes!r}:
            ctx = multiprocessing.get_context("spawn")
            Q, E = make_channel(processes=True, context=ctx)
            worker = ctx.Process(target=serve, args=(Q, E, config))
        else:
            Q, E = make_channel()
            worker = threading.Thread(target=serve, args=(Q, E, config))
        worker.start()
        on_mainloop(lambda app: drive(app, "(電池 OR battery)@TI,AB AND AD=2015:2024", False))
        assert GUI.GUI(Q, E) is None
        worker.join(30)
        emit({{"alive": worker.is_alive(), "exitcode": getattr(worker, "exitcode", 0)}})
    '''), timeout=180)
    shown, ended = result.values
    assert shown["stage"] == "done", shown
    lines = shown["log"].split("\n")
    # The worker's start-up line may arrive before or after the press clears the log.
    lines = [line for line in lines if not line.startswith("資料庫已就緒")]
    assert lines[0] == "已收到檢索指令：(電池 OR battery)@TI,AB AND AD=2015:2024"
    assert lines[1].startswith("找到 ") and int(lines[1].split()[1]) > 0
    assert lines[2].startswith("報告已寫入：")
    assert lines[-2:] == ["", "完成"]
    reports = list((tmp_path / "reports").glob("*.xlsx"))
    assert [str(p) for p in reports] == [lines[2].removeprefix("報告已寫入：")]
    assert shown["errors"] == []
    assert ended == {"alive": False, "exitcode": 0}
