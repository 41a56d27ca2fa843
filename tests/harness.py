"""What every window scenario runs with, in its own process: Tk callback errors
fail the process; `on_mainloop(hook)` runs hook(app) when GUI enters the event
loop (the real loop follows when it returns True, else the window closes);
`capture()` imports GUI with its handler wrapper, settings record, button bar,
entry table and log box replaced by recording stand-ins kept in `S`."""

import atexit, os, queue, sys, threading, time, tkinter, traceback, types

from scenario import GUI_START_TAG, emit, main  # noqa: F401  (emit, main: offered to every scenario)

IDLE = "輸出檢索列表"

_tk_errors = []

def _record_callback_error(self, exc, val, tb):
    _tk_errors.append("".join(traceback.format_exception(exc, val, tb)))

def _record_background_error(*msg):
    _tk_errors.append("bgerror: " + " ".join(map(str, msg)))

_tk_init = tkinter.Tk.__init__

def _tk_init_recording(self, *args, **kwargs):
    _tk_init(self, *args, **kwargs)
    self.tk.createcommand("bgerror", _record_background_error)

tkinter.Tk.report_callback_exception = _record_callback_error
tkinter.Tk.__init__ = _tk_init_recording

@atexit.register
def _report_tk_errors():
    if _tk_errors:
        sys.stderr.write("TK CALLBACK ERRORS:\n" + "\n".join(_tk_errors))
        sys.stderr.flush()
        os._exit(97)

def close(app):
    # Cancel in Tcl only: each widget's destroy() deletes its own callbacks.
    cancel_timers(app)
    app.destroy()

def cancel_timers(app):
    for after_id in app.tk.splitlist(app.tk.call("after", "info")):
        app.tk.call("after", "cancel", after_id)

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

def step_until(app, step, finish, *, first, every, seconds):
    """Call step() every `every` ms, the first time after `first` ms, until it
    returns True or `seconds` have passed; then call finish() and close the
    window. Returns True, for the on_mainloop hook that lets the event loop run."""
    deadline = time.monotonic() + seconds
    def again():
        if step() or time.monotonic() > deadline:
            finish()
            close(app)
        else:
            app.after(every, again)
    app.after(first, again)
    return True

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
            S["errors"].append([name, type(error).__name__, str(error)[:200]])
    wrapped.__name__ = name
    S["handlers"][name] = wrapped
    return wrapped

def start_gui(G, Q, E):
    """G.GUI(Q, E), after the line from which the test reads what the window printed."""
    print(GUI_START_TAG, flush=True)
    return G.GUI(Q, E)

def capture():
    """Import GUI with its collaborators replaced by recording stand-ins; return it."""
    import customtkinter
    import GUI

    real = {"table": GUI.Set_Table, "bar": GUI.Set_Button, "PP": GUI.Parameters}
    def capturing(key):
        def make(*args, **kwargs):
            S[key] = real[key](*args, **kwargs)
            return S[key]
        return make
    class LogBox(customtkinter.CTkTextbox):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            S["box"] = self

    GUI.try_except_log = _wrap
    GUI.Set_Table, GUI.Set_Button, GUI.Parameters = capturing("table"), capturing("bar"), capturing("PP")
    GUI.customtkinter = types.ModuleType("ctk_standin")
    GUI.customtkinter.__dict__.update(customtkinter.__dict__)
    GUI.customtkinter.CTkTextbox = LogBox
    return GUI

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
    cancel_timers(app)
    rearms, real_after = [], app.after
    def after(ms, func=None, *args):
        rearms.append([ms, func is S["handlers"].get("aa")])
        return real_after(ms, func, *args)
    app.after = after
    return rearms

def descendants(widget):
    for child in widget.winfo_children():
        yield child
        yield from descendants(child)

def button_of(app, handler):
    """The button of the window whose command is the wrapped `handler`."""
    import customtkinter
    return next(w for w in descendants(app)
                if isinstance(w, customtkinter.CTkButton) and w.cget("command") is S["handlers"][handler])

def open_dialog(app, handler):
    """Run a dialog's handler and return the one new top-level window."""
    import customtkinter
    before = set(app.winfo_children())
    S["handlers"][handler]()
    app.update()
    new = [w for w in app.winfo_children()
           if w not in before and isinstance(w, customtkinter.CTkToplevel)]
    assert len(new) == 1, (new, S["errors"])
    return new[0]

def part(dialog, kind, text=None):
    """The one child of `dialog` of type `kind` (with caption `text`, if given)."""
    found = [w for w in dialog.winfo_children()
             if isinstance(w, kind) and (text is None or w.cget("text") == text)]
    assert len(found) == 1, found
    return found[0]
