"""Search launch, progress/log poller and the worker channel, end to end.

Every window scenario runs in its own interpreter (one Tk root per process):
the scenario functions of this module run as `python -m test_search_cycle
<case> <JSON arguments>` (scenario.run_case), each right before the tests
that check what it hands back. The harness captures the wrapped handlers,
the button bar, the entry table, the settings record and the log box, so a
scenario can press the output button and run single poller ticks without
any timing.
"""

from __future__ import annotations

import multiprocessing
import pathlib
import queue
import shutil
import subprocess
import threading
import time

import pytest

from harness import (S, BadEq, BadStr, RecQueue, capture, channel, close, emit, failing, freeze, log, main,
                     on_mainloop, press, rec_channel, red, set_log, step_until, tagged, text, tick, wait_for)
from scenario import run_case
from varnel_host.channel import COMPLETION_MARKER as MARK

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

IDLE = "輸出檢索列表"
DEFAULT_SETTINGS = [["文字大小比例", "int", 1], ["中文文字字體", "str", "標楷體"],
                    ["英文文字字體", "str", "Calibri"], ["分析最接近專利數量", "int", 5]]
ERROR_LINE = "button_event_001函數出現錯誤\n"


def window(case: str, *arguments, timeout: float = 90):
    """Run a case of the search-cycle scenarios and require a clean exit."""
    return run_case("test_search_cycle", case, *arguments, timeout=timeout).check()


# --------------------------------------------------------------------------- the scenarios' window

# The captured module, set when run as a program: pytest and a spawned worker
# import this module without it.
GUI = None


def _window(Q, E, steps):
    """Open the window on (Q, E) and run steps(rearms) in its event loop, the
    timers frozen so that only the steps' own ticks run (see freeze); the
    window closes after them."""
    on_mainloop(lambda app: steps(freeze(app)))
    GUI.GUI(Q, E)


def _search(command):
    """Type `command` into the entry table and press the output button."""
    S["table"].set("檢索指令", command)
    press()


def _requests(items):
    return [[[k, type(v).__name__, v] for k, v in r.items()] for r in items]


# --------------------------------------------------------------------------- launch

def launch(command):
    Q, E = rec_channel()
    def steps(rearms):
        set_log("舊紀錄\n")
        _search(command)
        emit({"calls": S["calls"], "log": log(), "tags": tagged(), "errors": S["errors"],
              "red": red(), "flag": E["get_receipt"].is_set(), "requests": _requests(Q["起始數據"].items)})
    _window(Q, E, steps)


@pytest.mark.parametrize("command", ["電池", "   ", " (A OR B) AND 鋰 ", "x" * 300, ""])
def test_launch_raises_flag_then_sends_request(command):
    got = window("launch", command).values[0]
    if command:  # sent unchanged, not trimmed; the log is cleared
        assert got["calls"] == [["set", "get_receipt"], ["put", "起始數據"]]
        assert got["requests"] == [DEFAULT_SETTINGS + [["檢索指令", "str", command]]]
        assert got["log"] == ""
    else:  # nothing sent; only the prompt, in the default colour
        assert got["calls"] == [["set", "get_receipt"]] and got["requests"] == []
        assert got["log"] == "請輸入關鍵字\n"
    assert got["tags"] == {} and got["red"] == "red"
    assert got["flag"] is True and got["errors"] == []


def repeated_presses():
    Q, E = channel()
    def steps(rearms):
        _search("第一")
        Q["get_receipt"].put("r1"); tick()
        seen = {"after_first": log()}
        PP = S["PP"]
        PP.parameters["文字大小比例"] = 1.25
        PP.parameters["中文文字字體"] = "新細明體"
        PP.parameters["英文文字字體"] = "Arial"
        PP.parameters["分析最接近專利數量"] = 8
        _search("第二")
        seen["after_second"] = log()
        Q["get_receipt"].put("r2"); tick()
        seen["end"] = log()
        first, second = Q["起始數據"].get_nowait(), Q["起始數據"].get_nowait()
        seen["same_object"] = first is second
        seen["requests"] = _requests((first, second))
        seen["flag"] = E["get_receipt"].is_set()
        emit(seen)
    _window(Q, E, steps)


def test_repeated_presses_send_fresh_requests_and_clear_the_log():
    got = window("repeated_presses").values[0]
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


def _break_start_queue(Q, E):
    del Q["起始數據"]

def _break_put(Q, E):
    Q["起始數據"].put = failing("佇列已關閉")

def _break_run_flag(Q, E):
    del E["get_receipt"]

def _break_setting(Q, E):
    S["PP"].parameters.pop("英文文字字體")

BREAKAGES = {"start-queue-missing": _break_start_queue, "put-fails": _break_put,
             "run-flag-missing": _break_run_flag, "setting-missing": _break_setting}


def launch_failure(breakage):
    Q, E = rec_channel()
    def steps(rearms):
        BREAKAGES[breakage](Q, E)
        set_log("舊紀錄\n")
        _search("電池")
        emit({"log": log(), "tags": tagged(), "red": red(),
              "put": len(Q["起始數據"].items) if "起始數據" in Q else 0,
              "errors": [e[:2] for e in S["errors"]],
              "flag": E["get_receipt"].is_set() if "get_receipt" in E else None})
        Q["起始數據"] = RecQueue("起始數據")  # let the shutdown after close go through
    _window(Q, E, steps)


RED_LINES = "舊紀錄\n" + ERROR_LINE + "{}\n"


# breakage, log afterwards, errors handed to the wrapper, run flag afterwards
@pytest.mark.parametrize("breakage, logged, errors, flag", [
    ("start-queue-missing", RED_LINES.format(str(KeyError("起始數據"))), [], True),
    ("put-fails", RED_LINES.format("佇列已關閉"), [], True),
    ("run-flag-missing", "舊紀錄\n", [["button_event_001", "KeyError"]], None),
    ("setting-missing", "舊紀錄\n", [["button_event_001", "KeyError"]], True),
], ids=["start-queue-missing", "put-fails", "run-flag-missing", "setting-missing"])
def test_launch_failures(breakage, logged, errors, flag):
    got = window("launch_failure", breakage).values[0]
    assert got["log"] == logged and got["put"] == 0
    # Only the fixed error line bears the (red) tag; the message line is untagged.
    assert got["tags"] == ({"red_tag": [ERROR_LINE]} if ERROR_LINE in logged else {})
    # The colour is configured at the end of a press that gets past the request.
    assert got["red"] == ("red" if not errors else None)
    assert got["errors"] == errors
    assert got["flag"] is flag


def launch_unattached():
    Q, E = rec_channel()
    def steps(rearms):
        GUI.__dict__["__name__"] = "__main__"
        seen = []
        try:
            for command in ("電池", ""):
                set_log("舊紀錄\n")
                E["get_receipt"].flag = False
                _search(command)
                seen.append([log(), E["get_receipt"].is_set()])
        finally:
            GUI.__dict__["__name__"] = "GUI"
        emit({"seen": seen, "calls": S["calls"], "errors": S["errors"]})
    _window(Q, E, steps)


def test_launch_outside_attached_mode_only_raises_the_flag():
    got = window("launch_unattached").values[0]
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


def tick_animation(table):
    """One tick per row of (flag raised, button text before); then a busy cycle and a run's end."""
    Q, E = channel()
    def steps(rearms):
        rows = []
        for flag, before, _ in table:
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
        emit({"rows": rows, "cycle": cycle, "run": run, "log": log(), "rearms": rearms,
              "ticks": len(rows) + len(cycle) + len(run), "errors": S["errors"]})
    _window(Q, E, steps)


@pytest.fixture(scope="module")
def animation():
    result = window("tick_animation", ANIMATION)
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


RECEIPT_ITEMS = {
    "three-in-order": ["a", "b", "c"],
    "int": [42],
    "none": [None],
    "list": [[1, "x"]],
    "bytes": [b"x"],
    "float": [2.5],
    "marker-inside-line": ["前" + MARK + "後"],
    "marker-trailing-blank": [MARK + " "],
    "marker-trailing-newline": [MARK + "\n"],
    "marker-as-bytes": [MARK.encode()],
    "marker-ends-run": ["a", "b", MARK],
    "marker-flag-lowered": [MARK],
    "receipt-after-marker": [MARK, "遲到"],
    "while-idle": ["x"],
    "empty-queue": [],
    "str-raises": [BadStr(), "next"],
    "eq-raises": [BadEq(), "next"],
}


def tick_receipts(cases):
    """For each [name, flag raised, ticks]: the receipts of RECEIPT_ITEMS[name], one tick at a time."""
    Q, E = channel()
    def steps(rearms):
        out = {}
        for name, flag, ticks in cases:
            set_log("舊\n")
            (E["get_receipt"].set if flag else E["get_receipt"].clear)()
            for item in RECEIPT_ITEMS[name]:
                Q["get_receipt"].put(item)
            del rearms[:]
            logs = []
            for _ in range(ticks):
                tick(); logs.append(log())
            out[name] = {"logs": logs, "flag": E["get_receipt"].is_set(), "left": Q["get_receipt"].qsize(),
                         "rearms": list(rearms), "errors": list(S["errors"])}
        # A lone surrogate is shown or dropped; later receipts still show.
        set_log("")
        for item in ("\ud800", "later", "last"):
            Q["get_receipt"].put(item)
        for _ in range(3):
            tick()
        out["surrogate"] = {"log": log().encode("ascii", "backslashreplace").decode("ascii"),
                            "errors": S["errors"]}
        emit(out)
    _window(Q, E, steps)


# name (its receipts are in RECEIPT_ITEMS): (flag before, log after each tick, flag after the last tick)
RECEIPTS = {
    "three-in-order": (True, ["a\n", "a\nb\n", "a\nb\nc\n"], True),
    "int": (True, ["42\n"], True),
    "none": (True, ["None\n"], True),
    "list": (True, ["[1, 'x']\n"], True),
    "bytes": (True, ["b'x'\n"], True),
    "float": (True, ["2.5\n"], True),
    "marker-inside-line": (True, [f"前{MARK}後\n"], True),
    "marker-trailing-blank": (True, [f"{MARK} \n"], True),
    "marker-trailing-newline": (True, [f"{MARK}\n\n"], True),
    "marker-as-bytes": (True, [repr(MARK.encode()) + "\n"], True),
    "marker-ends-run": (True, ["a\n", "a\nb\n", "a\nb\n\n完成"], False),
    "marker-flag-lowered": (False, ["\n完成"], False),
    "receipt-after-marker": (True, ["\n完成", "\n完成\n遲到\n"], False),
    "while-idle": (False, ["x\n"], False),
    "empty-queue": (True, ["", ""], True),
    "str-raises": (True, ["", "next\n"], True),
    "eq-raises": (True, ["", "next\n"], True),
}
OLD = "舊\n"


@pytest.fixture(scope="module")
def receipts():
    cases = [[name, flag, len(logs)] for name, (flag, logs, _) in RECEIPTS.items()]
    result = window("tick_receipts", cases)
    return result.values[0]


@pytest.mark.parametrize("name", list(RECEIPTS))
def test_poller_moves_one_receipt_per_tick(receipts, name):
    _, logs, flag = RECEIPTS[name]
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


def channel_key_missing(side):
    """The poller ticks twice with "get_receipt" taken out of the queues ("Q") or events ("E")."""
    Q, E = channel()
    E["get_receipt"].set()
    for item in ("a", MARK):
        Q["get_receipt"].put(item)
    def steps(rearms):
        del {"Q": Q, "E": E}[side]["get_receipt"]
        seen = []
        for _ in range(2):
            tick(); seen.append(text())
        emit({"texts": seen, "log": log(), "rearms": rearms, "errors": S["errors"]})
    _window(Q, E, steps)


@pytest.mark.parametrize("missing, texts, log", [
    ("Q", ["輸出中.", "輸出中.."], ""),
    ("E", [IDLE, IDLE], "a\n\n完成"),
], ids=["receipt-queue", "run-flag"])
def test_poller_keeps_polling_with_a_channel_key_missing(missing, texts, log):
    got = window("channel_key_missing", missing).values[0]
    assert got["texts"] == texts
    assert got["log"] == log
    assert got["rearms"] == [[500, True], [500, True]]
    assert got["errors"] == []


def empty_before_get():
    Q, E = rec_channel()
    Q["get_receipt"] = RecQueue("get_receipt", ["a", "b"])
    def steps(rearms):
        for _ in range(4):
            tick()
        emit({"calls": [c for c in S["calls"] if c[1] == "get_receipt"], "log": log()})
    _window(Q, E, steps)


def test_poller_checks_empty_before_every_get():
    got = window("empty_before_get").values[0]
    assert got["calls"] == [["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["empty", "get_receipt"]]
    assert got["log"] == "a\nb\n"


def large_backlog():
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


def test_window_stays_responsive_with_a_large_backlog():
    got = window("large_backlog").values[0]
    assert got["ran"] == [True]
    assert got["ticks"] >= 1
    # One receipt per tick, in order, the rest still waiting.
    assert got["lines"] == [f"r{i}" for i in range(got["ticks"])]
    assert got["left"] == 10000 - got["ticks"]


# --------------------------------------------------------------------------- end to end

# Run by test_smoke_cycle.py.
def smoke_cycle():
    """One search against a worker thread, waited for through the event loop."""
    Q, E = channel()
    requests = []
    def worker():
        while True:
            req = Q["起始數據"].get()
            if req is None:
                return
            requests.append(req)
            Q["get_receipt"].put("收到")
            Q["get_receipt"].put(MARK)
    t = threading.Thread(target=worker)
    t.start()
    @on_mainloop
    def hook(app):
        _search("電池")
        ok = wait_for(app, lambda: E["get_receipt"].is_set() is False and "完成" in S["box"].get("1.0", "end"))
        emit({"ok": ok, "log": log(), "text": text()})
    assert GUI.GUI(Q, E) is None
    t.join(5)
    return {"requests": requests, "end": [Q["end"].get_nowait()], "end_event": E["end"].is_set()}


def _drive(app, command, typed):
    """One search through the real event loop: type (or set) the command, press
    the output button, wait for the completion and the idle text, close."""
    state = {"stage": "type", "texts": []}
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
        return state["stage"] == "done"
    def finish():
        emit({"stage": state["stage"], "log": log(), "texts": sorted(set(state["texts"])), "errors": S["errors"]})
    return step_until(app, step, finish, first=600, every=50, seconds=60)


def echo_serve(Q, E, done):
    """A worker that answers every request with three receipts and the marker."""
    requests = []
    while True:
        request = Q["起始數據"].get(timeout=60)
        if request is None:
            break
        requests.append([[k, v] for k, v in request.items()])
        for receipt in ("收到 " + request["檢索指令"], 123, "第三行", MARK):
            Q["get_receipt"].put(receipt)
    done.put({"requests": requests, "end_set": E["end"].is_set(), "end": Q["end"].get(timeout=10)})


def echo_worker_cycle(command, typed, processes):
    if processes:
        ctx = multiprocessing.get_context("spawn")
        Q = {k: ctx.Queue() for k in ("起始數據", "get_receipt", "end")}
        E = {k: ctx.Event() for k in ("get_receipt", "end")}
        done = ctx.Queue()
        worker = ctx.Process(target=echo_serve, args=(Q, E, done))
    else:
        Q, E = channel()
        done = queue.Queue()
        worker = threading.Thread(target=echo_serve, args=(Q, E, done))
    worker.start()
    on_mainloop(lambda app: _drive(app, command, typed))
    assert GUI.GUI(Q, E) is None
    report = done.get(timeout=30)
    worker.join(30)
    report["alive"] = worker.is_alive()
    report["exitcode"] = getattr(worker, "exitcode", 0)
    return report


@pytest.mark.parametrize("kind", [
    "thread",
    pytest.param("thread-typed", marks=pytest.mark.skipif(shutil.which("xdotool") is None,
                                                         reason="xdotool not installed")),
    "process",
])
def test_search_cycle_with_worker(kind):
    command = "battery cell 2024" if kind == "thread-typed" else "電池 與 鋰"
    typed = kind == "thread-typed"
    shown, report = window("echo_worker_cycle", command, typed, kind == "process", timeout=180).values
    assert shown["stage"] == "done", shown
    assert shown["log"] == f"收到 {command}\n123\n第三行\n\n完成"
    assert "輸出中." in shown["texts"] and set(shown["texts"]) <= {IDLE, "輸出中.", "輸出中..", "輸出中..."}
    assert shown["errors"] == []
    assert report["requests"] == [[[k, v] for k, _, v in DEFAULT_SETTINGS] + [["檢索指令", command]]]
    assert report["end_set"] is True and report["end"] is None
    assert report["alive"] is False and report["exitcode"] == 0


def reference_worker_cycle(database, reports, processes):
    from varnel_host.channel import make_channel
    from varnel_host.worker import WorkerConfig, serve
    shutil.rmtree(reports, ignore_errors=True)  # a run again after the sanitizer gave up starts without the first one's report
    config = WorkerConfig(database=pathlib.Path(database), reports=pathlib.Path(reports))
    if processes:
        ctx = multiprocessing.get_context("spawn")
        Q, E = make_channel(processes=True, context=ctx)
        worker = ctx.Process(target=serve, args=(Q, E, config))
    else:
        Q, E = make_channel()
        worker = threading.Thread(target=serve, args=(Q, E, config))
    worker.start()
    on_mainloop(lambda app: _drive(app, "(電池 OR battery)@TI,AB AND AD=2015:2024", False))
    assert GUI.GUI(Q, E) is None
    worker.join(30)
    return {"alive": worker.is_alive(), "exitcode": getattr(worker, "exitcode", 0)}


@pytest.mark.parametrize("processes", [False, True], ids=["thread", "process"])
def test_reference_worker_answers_the_window(tmp_path, processes):
    result = window("reference_worker_cycle", str(tmp_path / "db.sqlite3"), str(tmp_path / "reports"), processes,
                    timeout=180)
    shown, ended = result.values
    assert shown["stage"] == "done", shown
    lines = shown["log"].split("\n")
    # The worker's start-up line may arrive before or after the press clears the log.
    lines = [line for line in lines if not line.startswith("資料庫已就緒")]
    assert lines[0] == "已收到檢索指令：(電池 OR battery)@TI,AB AND AD=2015:2024"
    assert lines[1].startswith("找到 ") and int(lines[1].split()[1]) > 0
    written = [line.removeprefix("報告已寫入：") for line in lines if line.startswith("報告已寫入：")]
    assert len(written) == 1 and lines[2].startswith("1. TW")
    assert lines[-2:] == ["", "完成"]
    reports = list((tmp_path / "reports").glob("*.xlsx"))
    assert [str(p) for p in reports] == written
    assert shown["errors"] == []
    assert ended == {"alive": False, "exitcode": 0}


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    GUI = capture()
    main(globals())
