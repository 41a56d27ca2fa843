"""Search launch, progress/log poller and the worker channel, through one window."""

import multiprocessing, pathlib, queue, subprocess, threading, time

from harness import (IDLE, S, BadEq, BadStr, RecQueue, capture, channel, close, emit, failing,
                     freeze, log, main, on_mainloop, press, rec_channel, red, set_log, step_until,
                     tagged, text, tick, wait_for)
from varnel_host.channel import COMPLETION_MARKER as MARK

GUI = None  # the captured module; not imported where a spawned worker imports this module

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

def launch(command):
    Q, E = rec_channel()
    def steps(rearms):
        set_log("舊紀錄\n")
        _search(command)
        emit({"calls": S["calls"], "log": log(), "tags": tagged(), "errors": S["errors"],
              "red": red(), "flag": E["get_receipt"].is_set(), "requests": _requests(Q["起始數據"].items)})
    _window(Q, E, steps)

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

def animation(table):
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

RECEIPTS = {
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

def receipts(cases):
    """For each [name, flag raised, ticks]: the receipts of RECEIPTS[name], one tick at a time."""
    Q, E = channel()
    def steps(rearms):
        out = {}
        for name, flag, ticks in cases:
            set_log("舊\n")
            (E["get_receipt"].set if flag else E["get_receipt"].clear)()
            for item in RECEIPTS[name]:
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

def empty_before_get():
    Q, E = rec_channel()
    Q["get_receipt"] = RecQueue("get_receipt", ["a", "b"])
    def steps(rearms):
        for _ in range(4):
            tick()
        emit({"calls": [c for c in S["calls"] if c[1] == "get_receipt"], "log": log()})
    _window(Q, E, steps)

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

def reference_worker_cycle(database, reports, processes):
    from varnel_host.channel import make_channel
    from varnel_host.worker import WorkerConfig, serve
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

if __name__ == "__main__":
    GUI = capture()
    main(globals())
