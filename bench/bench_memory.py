"""Memory kept by open/close cycles of the window, and by receipts shown.

    DISPLAY=... python bench/bench_memory.py [--cycles 50] [--receipts 100000]

One child process per side and measurement: `GUI.GUI` against
`plain_window.main` (the same window in plain Python, so that what
customtkinter and Tk keep by themselves shows on both sides).

cycles:   call the window function again and again in one process, each time
          with a fresh queue.Queue/threading.Event channel; every window is
          closed right after its first idle (after_idle -> quit, cancel the
          pending afters, destroy). RSS (/proc/self/statm), the bytes malloc
          has handed out (glibc's mallinfo2, where there is one), the blocks
          of Python's allocator (sys.getallocatedblocks) and the number of
          gc-tracked objects are taken after 1, 10 and N cycles, each time
          after gc.collect() has been repeated until it finds nothing more.
receipts: one window; N receipts go through the real poller `aa`, called
          directly (receipts are queued 1,000 at a time, the re-armed afters
          cancelled). The log box then holds all the text; RSS growth is
          compared with the size of that text.
toolkit:  a CTk root with the log box alone (cycles), receipts inserted into it
          directly (receipts): what customtkinter and Tk keep by themselves.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import json
import os
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _mallinfo2():
    try:
        function = ctypes.CDLL(ctypes.util.find_library("c")).mallinfo2
    except (OSError, AttributeError, TypeError):  # not glibc >= 2.33
        return None
    function.restype = _MallInfo2
    return function


MALLINFO2 = _mallinfo2()


def malloc_in_use():
    """Bytes malloc has handed out and not got back (heap and mmap'd chunks), or None."""
    if MALLINFO2 is None:
        return None
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def snapshot() -> dict:
    # Until nothing more is found: objects held only through references the
    # collector cannot see (e.g. captures of C++ callables) need a second pass.
    passes = 1
    while gc.collect() and passes < 10:
        passes += 1
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * PAGE
    counts = {"rss": rss, "malloc": malloc_in_use(), "blocks": sys.getallocatedblocks(),
              "objects": len(gc.get_objects()), "gc_passes": passes}
    if hasattr(sys, "gettotalrefcount"):  # debug builds of CPython only
        counts["refs"] = sys.gettotalrefcount()
    return counts


def child(side: str, mode: str, n: int) -> dict:
    import queue
    import threading
    import customtkinter
    import pyautogui  # noqa: F401  (GUI imports it: same modules loaded on every side)
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
    else:  # the toolkit alone: a CTk root with the log box, receipts inserted directly
        def window(Q, E):
            customtkinter.set_appearance_mode("dark")
            app = customtkinter.CTk()
            box = customtkinter.CTkTextbox(app, width=700, height=300, corner_radius=0)
            box.grid()
            wrapped["aa"] = lambda: box.insert("end", f"{Q['get_receipt'].get()}\n")
            app.mainloop()
        module = sys.modules[__name__]
    module.try_except_log = recording
    real_mainloop = customtkinter.CTk.mainloop
    marks: dict = {}

    def show_receipts(app):
        aa, armed, real_after = wrapped["aa"], [], app.after

        def after(ms, func=None, *args):  # notes the poller's re-arms, to cancel them
            armed.append(real_after(ms, func, *args))
            return armed[-1]
        app.after = after
        marks["before"], text_bytes = snapshot(), 0
        for start in range(0, n, 1000):
            for i in range(start, min(start + 1000, n)):
                receipt = f"收到第 {i:06d} 筆專利資料 TW{i:07d}"
                text_bytes += len(receipt.encode()) + 1  # the line and its "\n"
                Q["get_receipt"].put(receipt)
            while not Q["get_receipt"].empty():
                aa()
            app.update_idletasks()
            while armed:
                app.after_cancel(armed.pop())
        del app.after
        app.update()
        marks["after"], marks["text_bytes"] = snapshot(), text_bytes

    def mainloop(app, *args, **kwargs):
        app.after_idle(app.quit)
        real_mainloop(app, *args, **kwargs)
        if mode == "receipts":
            show_receipts(app)
        for after_id in app.tk.splitlist(app.tk.call("after", "info")):
            app.tk.call("after", "cancel", after_id)
        app.destroy()
    customtkinter.CTk.mainloop = mainloop

    marks["start"] = snapshot()
    for cycle in range(1, (n if mode == "cycles" else 1) + 1):
        Q = {k: queue.Queue() for k in ("起始數據", "get_receipt", "end")}
        E = {k: threading.Event() for k in ("get_receipt", "end")}
        window(Q, E)
        if cycle in (1, 10, n):
            marks[f"cycle {cycle}"] = snapshot()
    return marks


def run_child(side: str, mode: str, n: int) -> dict:
    proc = subprocess.run([sys.executable, __file__, "--child", side, mode, str(n)],
                          capture_output=True, text=True, timeout=1800)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("@@")]
    if proc.returncode != 0 or not lines:
        raise SystemExit(f"{side} {mode} child failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(lines[-1][2:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=50)
    parser.add_argument("--receipts", type=int, default=100_000)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        side, mode, n = args.child
        print("@@" + json.dumps(child(side, mode, int(n))))
        return

    sides = ("GUI", "plain", "toolkit")
    cycles = {side: run_child(side, "cycles", args.cycles) for side in sides}
    n = args.cycles
    print(f"open/close cycles in one process (RSS in KiB, gc-tracked objects)")
    print("  " + " " * 10 + "".join(f"{side + ' RSS':>14} {'objects':>8}" for side in sides))
    for mark in ("start", "cycle 1", "cycle 10", f"cycle {n}"):
        print(f"  {mark:10}" + "".join(f"{cycles[side][mark]['rss'] // 1024:14} {cycles[side][mark]['objects']:8}"
                                       for side in sides))
    print(f"  growth per cycle, cycles 10 -> {n}:")
    for side in sides:
        a, b = cycles[side]["cycle 10"], cycles[side][f"cycle {n}"]
        per_cycle = {key: (b[key] - a[key]) / (n - 10) for key in ("rss", "blocks", "objects")}
        malloc = (f"malloc {(b['malloc'] - a['malloc']) / (n - 10) / 1024:+8.1f} KiB, "
                  if a["malloc"] is not None else "")
        refs = f", {(b['refs'] - a['refs']) / (n - 10):+.1f} refs" if "refs" in a else ""
        print(f"    {side:6} RSS {per_cycle['rss'] / 1024:+8.1f} KiB, {malloc}"
              f"Python blocks {per_cycle['blocks']:+6.1f}, {per_cycle['objects']:+5.1f} objects{refs}")
    print("    target: no growth beyond noise")
    print("  gc.collect() passes until nothing is left, at cycle %d: " % n
          + ", ".join(f"{side} {cycles[side][f'cycle {n}']['gc_passes'] - 1}" for side in sides))

    print(f"{args.receipts} receipts shown through the poller")
    for side in sides:
        r = run_child(side, "receipts", args.receipts)
        grown = r["after"]["rss"] - r["before"]["rss"]
        print(f"  {side:6} RSS {grown / 2**20:+7.1f} MiB for {r['text_bytes'] / 2**20:.1f} MiB of text "
              f"(x{grown / r['text_bytes']:.2f}), {grown / args.receipts:.0f} B per line; "
              f"objects {r['after']['objects'] - r['before']['objects']:+d}")
    print("  target: growth = the text itself")


if __name__ == "__main__":
    main()
