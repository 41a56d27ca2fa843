"""CPU cost of one poller tick, and of an idle open window.

    DISPLAY=... python bench/bench_poller.py [--ticks 10000] [--reps 5] [--idle 2]

--reps child processes per side, the sides alternating: `GUI.GUI`,
`plain_window.main` and, for the idle figure only, an empty customtkinter
window. Each child gets hold of the wrapped poller `aa` through a recording
`try_except_log` and:

1. lets the window settle for 1 s, then sit idle in its real event loop for
   --idle one-second slices: process CPU time / wall time of each slice;
2. calls `aa()` directly --ticks times per case and takes the CPU time
   (time.process_time) of the call alone, and of the call plus the
   `update_idletasks()` that draws what it changed. Cases: idle (run flag
   lowered, queue empty), busy (flag raised, queue empty), receipt (flag
   raised, one receipt waiting). The floor is an empty wrapped callable doing
   the same `app.after(500, ...)` re-arm. Every 100 ticks `app.update()` runs
   and the re-armed `after`s are cancelled, outside the timing.

Printed: medians over the children (over all slices for the idle figure).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
BATCH = 100


def find_textbox(app):
    import customtkinter
    pending = [app]
    while pending:
        widget = pending.pop()
        if isinstance(widget, customtkinter.CTkTextbox):
            return widget
        pending.extend(widget.winfo_children())


def tick_costs(app, aa, Q, E, ticks: int) -> dict:
    """CPU seconds per tick [call alone, call + redraw] for the floor and each case."""
    from tessaloom通用模組 import try_except_log

    def floor():
        app.after(500, floor_wrapped)
    floor_wrapped = try_except_log(floor)
    # The ticks re-arm through app.after: note those ids, to cancel them between batches.
    real_after, armed = app.after, []

    def after(ms, func=None, *args):
        after_id = real_after(ms, func, *args)
        if func is aa or func is floor_wrapped:
            armed.append(after_id)
        return after_id
    app.after = after
    receipts = [f"收到第 {i:06d} 筆專利資料" for i in range(BATCH)]
    cases = {
        "floor": (floor_wrapped, E["get_receipt"].clear),
        "idle": (aa, E["get_receipt"].clear),
        "busy": (aa, E["get_receipt"].set),
        "receipt": (aa, lambda: (E["get_receipt"].set(), [Q["get_receipt"].put(r) for r in receipts])),
    }
    costs = {}
    clock = time.process_time
    for name, (tick, prepare) in cases.items():
        alone = redraw = 0.0
        for _ in range(ticks // BATCH):
            prepare()
            for _ in range(BATCH):
                t0 = clock()
                tick()
                t1 = clock()
                app.update_idletasks()  # draws what the tick changed
                t2 = clock()
                alone, redraw = alone + t1 - t0, redraw + t2 - t1
            app.update()  # window-system events, outside the timing
            while armed:
                app.after_cancel(armed.pop())
        n = ticks // BATCH * BATCH
        costs[name] = [alone / n, (alone + redraw) / n]
    del app.after
    E["get_receipt"].clear()
    return costs


def child(side: str, ticks: int, idle_seconds: float) -> dict:
    import queue
    import threading
    import customtkinter
    import tessaloom通用模組
    sys.path.insert(0, BENCH_DIR)
    wrapped = {}

    def recording(handler):
        wrapped[handler.__name__] = tessaloom通用模組.try_except_log(handler)
        return wrapped[handler.__name__]
    if side == "GUI":
        import GUI as module
        window = module.GUI
    elif side == "plain":
        import plain_window as module
        window = module.main
    else:  # an empty customtkinter window: the toolkit's own idle cost
        def window(Q, E):
            customtkinter.set_appearance_mode("dark")
            customtkinter.CTk().mainloop()
        module = sys.modules[__name__]
    module.try_except_log = recording
    Q = {k: queue.Queue() for k in ("起始數據", "get_receipt", "end")}
    E = {k: threading.Event() for k in ("get_receipt", "end")}
    result = {}
    real_mainloop = customtkinter.CTk.mainloop

    def mainloop(app, *args, **kwargs):
        app.after(1000, app.quit)  # let the window map and draw first
        real_mainloop(app)
        shares = []
        for _ in range(max(1, round(idle_seconds))):  # one-second slices
            wall, cpu = time.perf_counter(), time.process_time()
            app.after(1000, app.quit)
            real_mainloop(app)
            shares.append((time.process_time() - cpu) / (time.perf_counter() - wall))
        result["idle_cpu_share"] = shares
        if "aa" in wrapped:
            result["tick"] = tick_costs(app, wrapped["aa"], Q, E, ticks)
        for after_id in app.tk.splitlist(app.tk.call("after", "info")):
            app.tk.call("after", "cancel", after_id)
        app.destroy()
    customtkinter.CTk.mainloop = mainloop
    window(Q, E)
    return result


def run_child(side: str, ticks: int, idle: float) -> dict:
    proc = subprocess.run([sys.executable, __file__, "--child", side, "--ticks", str(ticks),
                           "--idle", str(idle)], capture_output=True, text=True, timeout=1200)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("@@")]
    if proc.returncode != 0 or not lines:
        raise SystemExit(f"{side} child failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(lines[-1][2:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=10_000, help="ticks per case and child")
    parser.add_argument("--reps", type=int, default=5, help="child processes per side")
    parser.add_argument("--idle", type=float, default=2, help="idle seconds per child")
    parser.add_argument("--child", choices=("GUI", "plain", "ctk"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print("@@" + json.dumps(child(args.child, args.ticks, args.idle)))
        return

    sides = ("GUI", "plain", "ctk")
    runs = {side: [] for side in sides}
    for rep in range(args.reps):
        for side in (sides if rep % 2 == 0 else sides[::-1]):
            runs[side].append(run_child(side, args.ticks, args.idle))

    def tick(side, case, index):  # median over the children, in µs
        return statistics.median(r["tick"][case][index] for r in runs[side]) * 1e6

    print(f"poller tick, CPU µs per tick, median of {args.reps} processes x {args.ticks} ticks per case")
    for index, what in ((0, "the call alone"), (1, "call + update_idletasks() (its redraw)")):
        print(f"  {what}:")
        print(f"    {'':8} {'GUI aa':>8} {'plain aa':>9} {'ratio':>6} {'floor':>7} {'GUI-floor':>10}")
        floor = tick("GUI", "floor", index)
        for case in ("idle", "busy", "receipt"):
            g, p = tick("GUI", case, index), tick("plain", case, index)
            target = "   target <= 50" if case == "idle" else ""
            print(f"    {case:8} {g:8.1f} {p:9.1f} {g / p:6.2f} {floor:7.1f} {g - floor:10.1f}{target}")
    print(f"idle open window, {args.reps} x {args.idle:g} one-second slices after 1 s of settling, "
          f"CPU time / wall time, median (mean):")
    shares = {side: [s * 100 for r in runs[side] for s in r["idle_cpu_share"]] for side in sides}
    print("  " + "   ".join(f"{name} {statistics.median(shares[side]):.2f} % ({statistics.mean(shares[side]):.2f} %)"
                            for name, side in (("GUI.GUI", "GUI"), ("plain", "plain"), ("empty CTk", "ctk")))
          + "   target <= 0.5 % of a core")

if __name__ == "__main__":
    main()
