"""Repeated windows in one process leave nothing behind.

Twenty open/close cycles of GUI(), each driving a launch and a few poller
ticks, must leave the interpreter's reference total (debug builds), the number
of live objects, and the window's Tcl commands and pending timers where the
earlier cycles left them. customtkinter's own trackers keep every root they
have seen; the test forgets destroyed roots there, so that only what GUI
itself holds is measured.

The same cycles under tracemalloc: the blocks that the extension's C++ code
allocates itself (traced to the Python line that calls into it) and that stay
alive must not pile up from window to window.
"""

import pytest

from scenario import run
from varnel_host.channel import COMPLETION_MARKER

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

CYCLES = 20
WARM_UP = 3

CODE = r'''
import gc, json, queue, sys, threading, tkinter, tracemalloc
import customtkinter
from customtkinter.windows.widgets.appearance_mode.appearance_mode_tracker import AppearanceModeTracker
from customtkinter.windows.widgets.scaling.scaling_tracker import ScalingTracker
import GUI
from tessaloom通用模組 import _log

# A minimal harness of its own: the shared scenario prelude adds a few
# references per window, which this measurement must not see.
callback_errors = []
def record_callback_error(self, exc, value, tb):
    callback_errors.append(repr(value))
tkinter.Tk.report_callback_exception = record_callback_error

def alive(widget):
    try:
        return bool(widget.winfo_exists())
    except tkinter.TclError:
        return False

def close(app):
    for after_id in app.tk.splitlist(app.tk.call("after", "info")):
        app.tk.call("after", "cancel", after_id)
    app.destroy()

real_wrap = GUI.try_except_log
handlers = {}
def recording_wrap(f):
    wrapped = real_wrap(f)
    handlers[f.__name__] = wrapped
    return wrapped
GUI.try_except_log = recording_wrap

tables = []
real_table = GUI.Set_Table
def Set_Table(master):
    tables.append(real_table(master))
    return tables[-1]
GUI.Set_Table = Set_Table

window_counts = [[0, 0] for _ in range(%(cycles)d)]
cycle = [0]

def exercise(app):
    app.update()
    tables[-1].set("檢索指令", "電池")
    handlers["button_event_001"]()
    Q["get_receipt"].put("第一行")
    Q["get_receipt"].put(12345)
    Q["get_receipt"].put(%(marker)r)
    for _ in range(4):
        handlers["aa"]()
    app.update()
    counts = window_counts[cycle[0]]
    counts[0] = len(app.tk.splitlist(app.tk.call("info", "commands")))
    counts[1] = len(app.tk.splitlist(app.tk.call("after", "info")))
    cycle[0] += 1
    close(app)

customtkinter.CTk.mainloop = exercise

def forget_destroyed_roots():
    AppearanceModeTracker.app_list[:] = [a for a in AppearanceModeTracker.app_list if alive(a)]
    for table in (ScalingTracker.window_widgets_dict, ScalingTracker.window_dpi_scaling_dict):
        for window in [w for w in table if not alive(w)]:
            del table[window]

def open_window(Q, E):
    return GUI.GUI(Q, E)  # what the C++ code allocates in construction is traced here

# Blocks allocated directly by C++ code: its innermost Python frame is the
# line that called into the extension (the window call, or the wrapper of a
# handler or of the poller).
ENTRY_LINE = (open_window.__code__.co_filename, open_window.__code__.co_firstlineno + 1)

def own_blocks():
    traces = tracemalloc.take_snapshot().traces
    return sum(1 for t in traces
               if (t.traceback[0].filename, t.traceback[0].lineno) == ENTRY_LINE
               or t.traceback[0].filename == _log.__file__)

# Preallocated, so that recording a sample adds no reference of its own.
samples = [[0, 0] for _ in range(%(cycles)d)]
own = [0] * %(cycles)d
if %(traced)s:
    tracemalloc.start(1)

def measure(sample):
    handlers.clear(); tables.clear()
    forget_destroyed_roots()
    # The type attribute cache holds names it has looked up and drops them as
    # entries collide, which moves the total by a hash-seed-dependent amount.
    sys._clear_type_cache()
    gc.collect(); gc.collect()
    sample[1] = len(gc.get_objects())
    sample[0] = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None

for cycle_index, sample in enumerate(samples):
    Q = {"起始數據": queue.Queue(), "get_receipt": queue.Queue(), "end": queue.Queue()}
    E = {"get_receipt": threading.Event(), "end": threading.Event()}
    assert open_window(Q, E) is None
    assert Q["起始數據"].qsize() == 2 and Q["end"].get_nowait() is None
    del Q, E
    measure(sample)
    if tracemalloc.is_tracing():
        own[cycle_index] = own_blocks()
print("@@SCENARIO " + json.dumps({"samples": samples, "window_counts": window_counts,
                                  "errors": callback_errors, "own_blocks": own}))
# Stopped here, so that its traceback tables are freed before the leak check at exit.
tracemalloc.stop()
'''


def test_open_close_cycles_leave_nothing_behind():
    result = run(CODE % {"cycles": CYCLES, "traced": False, "marker": COMPLETION_MARKER}, timeout=300, prelude=False).check()
    assert result.value["errors"] == []
    samples, window_counts = result.value["samples"], result.value["window_counts"]
    assert len(samples) == CYCLES
    steady = samples[WARM_UP:]
    refs = [total for total, _ in steady]
    objects = [count for _, count in steady]
    if refs[0] is not None:
        # With the type cache cleared the total holds still; a leaked object
        # costs at least two references per window, an extra release one.
        assert max(refs) - min(refs) <= 2, refs
    assert max(objects) - min(objects) <= 0, objects
    # Every window had the same Tcl commands and timers at the same point
    # (the first root also carries customtkinter's own tracker timers).
    assert len(set(map(tuple, window_counts[WARM_UP:]))) == 1, window_counts


def test_extension_keeps_no_memory_of_its_own_per_window():
    # A fresh name string per attribute lookup or keyword call stays behind in
    # CPython's type attribute cache: about 50 blocks per window.
    result = run(CODE % {"cycles": 10, "traced": True, "marker": COMPLETION_MARKER}, timeout=300, prelude=False).check()
    assert result.value["errors"] == []
    own = result.value["own_blocks"][WARM_UP:]
    assert max(own) - own[0] <= 2, result.value["own_blocks"]
