"""Import cost of `GUI` against importing its dependencies alone.

    DISPLAY=... python bench/bench_import.py [--runs 21]

Each import runs in a fresh interpreter; the two sides alternate so that
drifts of the machine hit both alike. The time is taken inside the child with
time.perf_counter() around the import statement only (no interpreter start-up).
pyautogui, one of the dependencies, needs a display.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys

# The modules the GUI module body imports, in its order.
DEPENDENCIES = "os, tkinter, customtkinter, time, webbrowser, PIL.Image, subprocess, pyautogui, tessaloom通用模組"

SIDES = {
    "import GUI": "import GUI",
    "dependencies alone": f"import {DEPENDENCIES}",
}
# GUI's own share, measured on its own: the import of GUI once its dependencies are loaded.
OWN = (f"import {DEPENDENCIES}", "import GUI")

CHILD = """
import time
{setup}
_t0 = time.perf_counter()
{statement}
_t1 = time.perf_counter()
print("@@", _t1 - _t0)
"""


def time_import(statement: str, setup: str = "") -> float:
    """Seconds the import statement took in a fresh interpreter (after `setup`)."""
    proc = subprocess.run([sys.executable, "-c", CHILD.format(setup=setup, statement=statement)],
                          capture_output=True, text=True, timeout=120)
    if proc.returncode != 0:
        raise SystemExit(f"child failed ({proc.returncode}):\n{proc.stderr}")
    line = next(l for l in proc.stdout.splitlines() if l.startswith("@@ "))
    return float(line[3:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21, help="runs per side (default 21)")
    args = parser.parse_args()

    for statement in SIDES.values():  # warm the file cache, not counted
        time_import(statement)
    samples: dict[str, list[float]] = {name: [] for name in SIDES}
    for i in range(args.runs):
        order = list(SIDES.items())
        if i % 2:
            order.reverse()
        for name, statement in order:
            samples[name].append(time_import(statement))

    print(f"import, {args.runs} fresh processes per side, alternating (ms)")
    print(f"  {'':20} {'median':>8} {'min':>8} {'max':>8}")
    for name, values in samples.items():
        ms = [v * 1e3 for v in values]
        print(f"  {name:20} {statistics.median(ms):8.1f} {min(ms):8.1f} {max(ms):8.1f}")
    gui, floor = (statistics.median(v) for v in samples.values())
    print(f"  ratio GUI / dependencies (medians): {gui / floor:.3f}   target <= 1.02")
    print(f"  difference of medians: {(gui - floor) * 1e3:+.1f} ms")
    own = [time_import(OWN[1], setup=OWN[0]) * 1e3 for _ in range(args.runs)]
    print(f"  import GUI with its dependencies already loaded: median {statistics.median(own):.2f} ms "
          f"(min {min(own):.2f}, max {max(own):.2f}), "
          f"{statistics.median(own) / (floor * 1e3) * 100:.1f} % of the dependencies' time")


if __name__ == "__main__":
    main()
