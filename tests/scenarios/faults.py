"""Faults around the window: a dead worker, closing mid-run, broken template
images, an unusable drive, dialogs closed under the user's hands, imports that
fail while the module loads, and hostile text in the search command."""

import importlib, os, queue, sys, threading, time, types

from harness import (S, button_of, cancel_timers, capture, channel, emit, main, on_mainloop,
                     open_dialog, part, start_gui, step_until)

signals = []

class CountingQueue:
    def __init__(self, name, queue): self.name, self.queue = name, queue
    def put(self, value):
        signals.append(["put", self.name, value is None]); self.queue.put(value)
    def empty(self): return self.queue.empty()
    def get(self, *args, **kwargs): return self.queue.get(*args, **kwargs)

class CountingEvent:
    def __init__(self, name, event): self.name, self.event = name, event
    def set(self):
        signals.append(["set", self.name]); self.event.set()
    def is_set(self): return self.event.is_set()
    def clear(self): self.event.clear()

def counted(queues, events):
    return ({k: CountingQueue(k, q) for k, q in queues.items()}, {k: CountingEvent(k, e) for k, e in events.items()})

def counted_channel():
    return counted({k: queue.Queue() for k in ("起始數據", "get_receipt", "end")},
                   {k: threading.Event() for k in ("get_receipt", "end")})

def stuck_serve(Q, E):
    """A worker that answers one request with three receipts, then hangs."""
    Q["起始數據"].get(timeout=60)
    for receipt in ("r1", "r2", "r3"):
        Q["get_receipt"].put(receipt)
    Q["get_receipt"].close()
    Q["get_receipt"].join_thread()  # flushed: killing now cannot cut a message in half
    time.sleep(3600)

def killed_worker():
    import multiprocessing
    GUI = capture()
    ctx = multiprocessing.get_context("spawn")
    queues = {k: ctx.Queue() for k in ("起始數據", "get_receipt", "end")}
    events = {k: ctx.Event() for k in ("get_receipt", "end")}
    Q, E = counted(queues, events)
    worker = ctx.Process(target=stuck_serve, args=(queues, events), daemon=True)
    worker.start()
    @on_mainloop
    def hook(app):
        S["table"].set("檢索指令", "電池")
        S["bar"].button("輸出檢索列表").invoke()
        st = {"stage": "running", "texts": [], "ran": []}
        def step():
            log = S["box"].get("1.0", "end-1c")
            if st["stage"] == "running" and log.startswith("r1\n"):
                worker.kill(); worker.join(30)
                st.update(stage="killed", exitcode=worker.exitcode, at=S["count"]["aa"])
                app.after(0, lambda: st["ran"].append("after(0)"))
            elif st["stage"] == "killed":
                st["texts"].append(S["bar"].cget("輸出檢索列表", "text"))
                if S["count"]["aa"] >= st["at"] + 5 and st["ran"]:
                    st["stage"] = "done"
            return st["stage"] == "done"
        def finish():
            emit({"stage": st["stage"], "exitcode": st.get("exitcode"), "log": S["box"].get("1.0", "end-1c"),
                  "ran": st["ran"], "texts": sorted(set(st["texts"])), "flag": E["get_receipt"].is_set(),
                  "errors": S["errors"]})
        return step_until(app, step, finish, first=100, every=100, seconds=90)

    returned = GUI.GUI(Q, E)
    return {"returned": returned, "signals": signals, "end_event": events["end"].is_set(),
            "end": queues["end"].get(timeout=30), "start": queues["起始數據"].get(timeout=30),
            "more": [queues[k].empty() for k in ("end", "起始數據")]}

def closing_mid_run():
    GUI = capture()
    Q, E = counted_channel()
    E["get_receipt"].set()
    for i in range(10):
        Q["get_receipt"].put("receipt %d" % i)
    del signals[:]
    @on_mainloop
    def hook(app):
        cancel_timers(app)  # only the ticks below run
        S["handlers"]["button_event_009"]()  # a dialog left open at the close
        for _ in range(2):
            S["handlers"]["aa"]()
        emit({"log": S["box"].get("1.0", "end-1c"), "text": S["bar"].cget("輸出檢索列表", "text")})

    returned = GUI.GUI(Q, E)
    return {"returned": returned, "signals": signals, "left": Q["get_receipt"].queue.qsize(),
            "flag": E["get_receipt"].is_set(), "queued": [list(Q[k].queue.queue) for k in ("end", "起始數據")],
            "errors": S["errors"]}

def templates_from(module_file):
    """The window of the GUI module loaded from `module_file` (beside its own templates)."""
    import importlib.util
    import customtkinter as ctk
    spec = importlib.util.spec_from_file_location("GUI", module_file)
    spec.loader.exec_module(importlib.util.module_from_spec(spec))  # registers itself as GUI
    GUI = capture()
    Q, E = counted_channel()
    @on_mainloop
    def hook(app):
        top = {(int(w.grid_info()["row"]), int(w.grid_info()["column"])): w for w in app.grid_slaves()}
        header_frame = next(w for w in top[(0, 0)].winfo_children() if isinstance(w, ctk.CTkFrame))
        icons = [w for w in top[(0, 0)].winfo_children() if isinstance(w, ctk.CTkButton)]
        emit({"file": GUI.__file__, "header": [[type(w).__name__, int(w.grid_info()["column"])]
                                               for w in header_frame.winfo_children()
                                               if w.winfo_manager() == "grid"],
              "icons": [w.cget("image") is not None for w in icons],
              "output": S["bar"].cget("輸出檢索列表", "text"), "rows": S["table"].names(),
              "errors": S["errors"]})
    return {"returned": start_gui(GUI, Q, E), "signals": signals}

MKDIR_ERRORS = {"non-os-error": lambda: RuntimeError("driver crashed"),
                "unicode-error": lambda: UnicodeEncodeError("ascii", "é", 0, 1, "x")}

def folders_unmakeable(mkdir_error):
    """The window on the drive the environment names; os.mkdir raising MKDIR_ERRORS[mkdir_error] if given."""
    GUI = capture()
    mkdirs = []
    if mkdir_error:
        def mkdir(path, *args, **kwargs):
            mkdirs.append(path)
            raise MKDIR_ERRORS[mkdir_error]()
        GUI.os = types.ModuleType("os_standin")
        GUI.os.__dict__.update(os.__dict__)
        GUI.os.mkdir = mkdir
    Q, E = counted_channel()
    popen = []
    GUI.subprocess = types.SimpleNamespace(Popen=lambda *a, **k: popen.append([a, k]))
    @on_mainloop
    def hook(app):
        button_of(app, "button_event_005").invoke()
        emit({"popen": popen, "mkdirs": mkdirs, "errors": S["errors"]})

    return {"returned": start_gui(GUI, Q, E), "signals": signals}

def dialog_closed_mid_edit(handler, key, first, second):
    import customtkinter as ctk
    GUI = capture()
    Q, E = counted_channel()
    @on_mainloop
    def hook(app):
        one, two = open_dialog(app, handler), open_dialog(app, handler)
        part(one, ctk.CTkEntry).insert(0, first)
        for menu in [w for w in one.winfo_children() if isinstance(w, ctk.CTkOptionMenu)]:
            menu.set("Brush Script MT")
        one.destroy()  # as the window manager's close does: nothing is saved
        app.update()
        record = S["PP"].parameters
        untouched = dict(record)
        part(two, ctk.CTkEntry).insert(0, second)
        part(two, ctk.CTkButton, "確認").invoke()
        app.update()
        emit({"untouched": untouched == {**record, key: untouched[key]},
              "stored": [type(record[key]).__name__, record[key]],
              "families": [record["英文文字字體"], record["中文文字字體"]],
              "open": [bool(one.winfo_exists()), bool(two.winfo_exists())], "errors": S["errors"]})
        # the main window closes with the second dialog still open

    return {"returned": GUI.GUI(Q, E), "signals": signals}

def import_fault(name, attribute):
    """Import GUI with the import of `name` refused once; every dependency is
    loaded first, so the refused import is the module body's own."""
    for dependency in ("tkinter", "customtkinter", "time", "webbrowser", "PIL.Image", "subprocess", "pyautogui",
                       "tessaloom通用模組"):
        importlib.import_module(dependency)
    del sys.modules[name]
    if name == "PIL.Image":
        import PIL
        del PIL.Image  # else "from PIL import Image" finds the attribute and imports nothing
    refused = []
    class RefuseOnce:
        def find_spec(self, wanted, path=None, target=None):
            if wanted == name and not refused:
                refused.append(wanted)
                raise ImportError("refused: " + wanted, name=wanted)
    sys.meta_path.insert(0, RefuseOnce())
    try:
        import GUI
        first = None
    except BaseException as error:
        first = [type(error).__name__, str(error)]
    state = {"first": first, "refused": refused, "registered_after_failure": "GUI" in sys.modules}
    import GUI
    state.update(names=[n for n in vars(GUI) if not n.startswith("__")],
                 bound=getattr(GUI, attribute) is sys.modules[name], stdin=sys.stdin.read())
    return state

def hostile_commands(hostile):
    import webbrowser as real_webbrowser
    GUI = capture()
    Q, E = channel()
    calls = []
    def recorder(module, name):
        def call(*args, **kwargs):
            calls.append([module, name, repr(args), sorted(kwargs), kwargs.get("shell")])
            return True if module == "webbrowser" else types.SimpleNamespace(pid=1, wait=lambda *a: 0)
        return call
    GUI.subprocess = types.SimpleNamespace(**{n: recorder("subprocess", n) for n in
        ("Popen", "run", "call", "check_call", "check_output", "getoutput", "getstatusoutput")})
    GUI.webbrowser = types.SimpleNamespace(Error=real_webbrowser.Error, **{n: recorder("webbrowser", n) for n in
        ("open", "open_new", "open_new_tab", "get")})
    GUI.os = types.ModuleType("os_standin")
    GUI.os.__dict__.update(os.__dict__)
    for n in ("system", "popen", "execv", "execvp", "execl", "spawnv", "spawnl", "posix_spawn", "posix_spawnp"):
        setattr(GUI.os, n, recorder("os", n))
    @on_mainloop
    def hook(app):
        sent, pressed = [], 0
        for text in hostile:
            S["table"].set("檢索指令", text)
            for handler in ("button_event_001", "button_event_005", "button_event_008"):
                button_of(app, handler).invoke()
                pressed += 1
            sent.append(Q["起始數據"].get_nowait()["檢索指令"] == text and Q["起始數據"].empty())
        app.update()
        emit({"sent": sent, "pressed": pressed, "calls": calls, "errors": S["errors"]})

    GUI.GUI(Q, E)

if __name__ == "__main__":
    main(globals())
