"""Run one window scenario in a fresh interpreter.

customtkinter keeps every root alive for the life of the process, so each
scenario gets its own process. The scenario's code runs after a prelude that

- records every Tk callback error (report_callback_exception and Tcl's
  bgerror) and makes the process fail when any was recorded;
- offers `on_mainloop(hook)`: `hook(app)` runs when `GUI` enters the event
  loop. When the hook returns True the real event loop runs afterwards
  (the hook has scheduled its own work and the closing); otherwise the window
  is closed as soon as the hook returns;
- offers `close(app)`: cancels pending `after` callbacks and destroys the
  window, as the user's close would;
- offers `pump(app, seconds)` to let the event loop run for a while,
  `wait_for(app, predicate)` and `emit(value)`, which hands a JSON value back.

`run(code)` returns a Result with the emitted values, stdout and stderr.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field

RESULT_TAG = "@@SCENARIO "
# Written when the scenario's code has run to its end: the evidence of its
# own success when LeakSanitizer's exit status (a tolerated leak report, or a
# crash of its tracer) replaces the scenario's.
FINISHED_TAG = "@@SCENARIO-FINISHED"
FINISHED = f"\nimport sys as _sys\n_sys.stdout.write({FINISHED_TAG!r} + '\\n')\n_sys.stdout.flush()\n"

PRELUDE = r'''
import json, os, sys, time, atexit, tkinter, traceback
_tk_errors = []

def _record_callback_error(self, exc, val, tb):
    _tk_errors.append("".join(traceback.format_exception(exc, val, tb)))

tkinter.Tk.report_callback_exception = _record_callback_error
_tk_init = tkinter.Tk.__init__

def _record_background_error(*msg):
    _tk_errors.append("bgerror: " + " ".join(map(str, msg)))

def _tk_init_recording(self, *args, **kwargs):
    _tk_init(self, *args, **kwargs)
    self.tk.createcommand("bgerror", _record_background_error)

tkinter.Tk.__init__ = _tk_init_recording

def emit(value):
    sys.stdout.write("@@SCENARIO " + json.dumps(value, ensure_ascii=False, default=repr) + "\n")
    sys.stdout.flush()

def close(app):
    # Cancel in Tcl only: each widget's destroy() deletes its own callbacks.
    for after_id in app.tk.splitlist(app.tk.call("after", "info")):
        app.tk.call("after", "cancel", after_id)
    app.destroy()

def alive(widget):
    try:
        return bool(widget.winfo_exists())
    except tkinter.TclError:  # "application has been destroyed"
        return False

def pump(app, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        app.update()
        time.sleep(0.005)

def wait_for(app, predicate, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        app.update()
        if predicate():
            return True
        time.sleep(0.005)
    return False

_hooks = []

def on_mainloop(hook):
    import customtkinter
    real_mainloop = customtkinter.CTk.mainloop
    def mainloop(self, *args, **kwargs):
        keep_running = hook(self)
        if keep_running:
            real_mainloop(self, *args, **kwargs)
        elif alive(self):
            close(self)
    customtkinter.CTk.mainloop = mainloop
    return hook

@atexit.register
def _report_tk_errors():
    if _tk_errors:
        sys.stderr.write("TK CALLBACK ERRORS:\n" + "\n".join(_tk_errors))
        sys.stderr.flush()
        os._exit(97)
'''


def _sanitizer_gave_up(stderr: str) -> bool:
    """LeakSanitizer's own tracer crashed while the process ended ("Tracer
    caught signal") and reported nothing. Such a run is tried again; if the
    tracer crashes every time, the leak check of that run is inconclusive.
    The exit status is then the sanitizer's, so the scenario's own outcome is
    read from its finished line; every sanitizer report still fails it."""
    return ("LeakSanitizer has encountered a fatal error" in stderr
            and "ERROR: AddressSanitizer" not in stderr
            and "ERROR: LeakSanitizer: detected memory leaks" not in stderr
            and "runtime error:" not in stderr)


_LEAK_BLOCK = re.compile(r"(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) "
                         r"allocated from:\n\s*#0 [^\n]*\n\s*#1 [^\n]* in (\S+)")


def _only_module_state_leaks(stderr: str) -> bool:
    """LeakSanitizer reported nothing but the 1-byte module states that
    CPython 3.11 allocates in PyModule_ExecDef and forgets when a create slot
    hands back the already loaded module (a repeated import of GUI). That one
    allocation is tolerated here, by its exact shape, rather than suppressed
    by a rule that would match every allocation made while the module body
    runs."""
    if ("ERROR: LeakSanitizer: detected memory leaks" not in stderr
            or "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr):
        return False
    blocks = _LEAK_BLOCK.findall(stderr)
    return (len(blocks) == stderr.count(" leak of ") and len(blocks) > 0
            and all(kind == "Direct" and size == count and caller == "PyModule_ExecDef"
                    for kind, size, count, caller in blocks))


@dataclass
class Result:
    returncode: int
    stdout: str
    stderr: str
    values: list = field(default_factory=list)
    finished: bool = False  # the scenario's code ran to its end (no exception, no exit)

    def check(self) -> "Result":
        """Fail unless the scenario exited cleanly without Tk errors."""
        leaks_tolerated = _sanitizer_gave_up(self.stderr) or _only_module_state_leaks(self.stderr)
        clean = self.returncode == 0 or (leaks_tolerated and self.finished)
        assert clean, f"scenario failed ({self.returncode}):\n{self.stderr}\n{self.stdout}"
        assert "invalid command name" not in self.stderr, self.stderr
        return self

    @property
    def value(self):
        assert len(self.values) == 1, self.values
        return self.values[0]


def run(code: str, *, timeout: float = 90, env: dict | None = None, stdin: str | None = None,
        cwd: str | None = None, prelude: bool = True) -> Result:
    source = (PRELUDE if prelude else "") + "\n" + textwrap.dedent(code) + FINISHED
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    for _attempt in range(3):
        proc = subprocess.run(
            [sys.executable, "-c", source],
            input=stdin if stdin is not None else "",
            capture_output=True,
            text=True,
            encoding="utf-8",
            timeout=timeout,
            env=full_env,
            cwd=cwd,
        )
        if not _sanitizer_gave_up(proc.stderr):
            break
    values = [
        json.loads(line[len(RESULT_TAG):])
        for line in proc.stdout.splitlines()
        if line.startswith(RESULT_TAG)
    ]
    lines = proc.stdout.splitlines(keepends=True)
    stdout = "".join(line for line in lines if line.rstrip("\n") != FINISHED_TAG)
    return Result(proc.returncode, stdout, proc.stderr, values, finished=len(stdout) < len(proc.stdout))
