"""Time from calling the window function to the first idle of its event loop.

    DISPLAY=... python bench/bench_window.py [--runs 21]

`GUI.GUI(...)` against `plain_window.main(...)`, the same window written in
plain Python. Each run is a fresh interpreter, the two sides alternate. In
the child, customtkinter.CTk.mainloop is replaced by one that schedules
`after_idle(mark)` and then runs the real loop; `mark` notes the time and
quits the loop, and the window is closed. Both sides go through the very same
replacement. Wall time and CPU time (time.process_time) are taken from the
call to the first idle, and to the entry of mainloop (construction alone).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, queue, sys, threading, time
import customtkinter
sys.path.insert(0, {bench_dir!r})
marks = {{}}
real_mainloop = customtkinter.CTk.mainloop

def mainloop(self, *args, **kwargs):
    marks["mainloop"] = (time.perf_counter(), time.process_time())
    def first_idle():
        marks["idle"] = (time.perf_counter(), time.process_time())
        self.quit()
    self.after_idle(first_idle)
    real_mainloop(self, *args, **kwargs)
    for after_id in self.tk.splitlist(self.tk.call("after", "info")):
        self.tk.call("after", "cancel", after_id)
    self.destroy()

customtkinter.CTk.mainloop = mainloop
if {side!r} == "GUI":
    import GUI
    window = GUI.GUI
else:
    import plain_window
    window = plain_window.main
Q = {{k: queue.Queue() for k in ("起始數據", "get_receipt", "end")}}
E = {{k: threading.Event() for k in ("get_receipt", "end")}}
start = (time.perf_counter(), time.process_time())
window(Q, E)
print("@@" + json.dumps({{k: [v[0] - start[0], v[1] - start[1]] for k, v in marks.items()}}))
"""

SIDES = ("GUI", "plain")


def run_child(side: str) -> dict:
    proc = subprocess.run([sys.executable, "-c", CHILD.format(bench_dir=BENCH_DIR, side=side)],
                          capture_output=True, text=True, timeout=120)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("@@")]
    if proc.returncode != 0 or not lines:
        raise SystemExit(f"{side} child failed ({proc.returncode}):\n{proc.stderr}\n{proc.stdout}")
    return json.loads(lines[-1][2:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21, help="runs per side (default 21)")
    args = parser.parse_args()

    for side in SIDES:  # warm-up, not counted
        run_child(side)
    samples: dict[str, list[dict]] = {side: [] for side in SIDES}
    for i in range(args.runs):
        for side in (SIDES if i % 2 == 0 else SIDES[::-1]):
            samples[side].append(run_child(side))

    print(f"window, {args.runs} fresh processes per side, alternating (ms, medians)")
    print(f"  {'':28} {'GUI.GUI':>9} {'plain':>9} {'ratio':>7}")
    for mark, label in (("mainloop", "call -> mainloop"), ("idle", "call -> first idle")):
        for index, kind in ((0, "wall"), (1, "CPU")):
            gui, plain = (statistics.median(s[mark][index] for s in samples[side]) for side in SIDES)
            target = "   target <= 1.00" if (mark, kind) == ("idle", "wall") else ""
            print(f"  {label + ', ' + kind:28} {gui * 1e3:9.1f} {plain * 1e3:9.1f} {gui / plain:7.3f}{target}")


if __name__ == "__main__":
    main()
