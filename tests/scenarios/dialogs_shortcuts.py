"""Setting dialogs, folder and help shortcuts, the settings strip and the Enter key,
each case in the event loop of a fresh window."""

import builtins, os, subprocess, types, webbrowser

import customtkinter as ctk

from harness import (S, button_of, capture, channel, descendants, emit, main, on_mainloop, open_dialog,
                     pump, wait_for)

GUI = None  # the captured module, imported when run as a program
Q, E = channel()

def _in_window(scenario):
    """Run scenario(app) in the window's event loop, then emit the errors that
    reached the handler wrapper; the window closes after it."""
    @on_mainloop
    def hook(app):
        app.update()
        scenario(app)
        emit({"errors": S["errors"]})
    GUI.GUI(Q, E)

def request():
    return None if Q["起始數據"].empty() else Q["起始數據"].get_nowait()

def launch(command="電池"):
    """Run the wrapped output-button handler; the request the worker gets (or None)."""
    S["table"].set("檢索指令", command)
    S["handlers"]["button_event_001"]()
    return request()

def sent(command="電池"):
    """Settings of the next launch as [type name, repr] pairs (JSON keeps 1 vs 1.0, nan)."""
    return {k: [type(v).__name__, repr(v)] for k, v in launch(command).items() if k != "檢索指令"}

def dialogs(app):
    return [w for w in app.winfo_children() if isinstance(w, ctk.CTkToplevel)]

def parts(dialog, kind):
    return [w for w in dialog.winfo_children() if isinstance(w, kind)]

def entry_of(dialog): return parts(dialog, ctk.CTkEntry)[0]
def placeholder(dialog): return entry_of(dialog).cget("placeholder_text")
def confirm(dialog): parts(dialog, ctk.CTkButton)[0].invoke()

def apply(app, handler, text=None, english=None, chinese=None):
    """Open a dialog, type `text` (None: untouched), pick families, confirm, close."""
    d = open_dialog(app, handler)
    if text is not None:
        entry_of(d).insert(0, text)
    menus = parts(d, ctk.CTkOptionMenu)
    if english is not None: menus[0].set(english)
    if chinese is not None: menus[1].set(chinese)
    confirm(d)
    d.destroy()

def norm_grid(info):
    def pad(v):
        v = [int(x) for x in (v.split() if isinstance(v, str) else [v] if isinstance(v, int) else v)]
        return v * 2 if len(v) == 1 else v
    return {"row": int(info["row"]), "column": int(info["column"]), "padx": pad(info["padx"]),
            "pady": pad(info["pady"]), "sticky": "".join(sorted(str(info["sticky"])))}

def rect(w):
    return [w.winfo_rootx(), w.winfo_rooty(), w.winfo_width(), w.winfo_height()]

def _describe(d):
    out = {"title": d.title(), "geometry": d.geometry(), "topmost": bool(d.attributes("-topmost")),
           "grab": str(d.grab_current()), "children": []}
    for w in d.winfo_children():
        item = {"type": type(w).__name__, "grid": norm_grid(w.grid_info())}
        font = w.cget("font") if not isinstance(w, ctk.CTkEntry) else None
        item["font"] = font and [font.cget("family"), font.cget("size"), font.cget("weight")]
        item["font_id"] = font and id(font)
        if isinstance(w, (ctk.CTkLabel, ctk.CTkButton)): item["text"] = w.cget("text")
        if isinstance(w, ctk.CTkOptionMenu):
            item.update(values=w.cget("values"), current=w.get(), size=[w.cget("width"), w.cget("height")],
                        dynamic=w.cget("dynamic_resizing"), command=w.cget("command") is None)
        if isinstance(w, ctk.CTkEntry):
            item.update(placeholder=w.cget("placeholder_text"), text=w.get(), size=[w.cget("width"), w.cget("height")])
        if isinstance(w, ctk.CTkButton):
            cmd = w.cget("command")
            item.update(command=getattr(cmd, "__name__", repr(cmd)),
                        wrapped=any(cmd is h for h in S["handlers"].values()))
        out["children"].append(item)
    return out

def describe_dialog(handler):
    _in_window(lambda app: emit(_describe(open_dialog(app, handler))))

def confirmed(ratio_texts, count_texts, menu_cases):
    """Each case: a dialog first stores a sentinel, a fresh one stores the case, a launch reads it."""
    def scenario(app):
        out = {"ratio": [], "count": [], "menus": []}
        for text in ratio_texts:
            apply(app, "button_event_004", "333", "新細明體", "Brush Script MT")
            apply(app, "button_event_004", text)
            d = open_dialog(app, "button_event_004")
            out["ratio"].append([sent(), placeholder(d)])
            d.destroy()
        apply(app, "button_event_004", "100")
        for text in count_texts:
            apply(app, "button_event_009", "333")
            apply(app, "button_event_009", text)
            d = open_dialog(app, "button_event_009")
            out["count"].append([sent(), placeholder(d)])
            d.destroy()
        for english, chinese, text in menu_cases:
            apply(app, "button_event_004", "333", "Calibri", "標楷體")
            apply(app, "button_event_004", text, english, chinese)
            out["menus"].append(sent())
        emit(out)
    _in_window(scenario)

def two_dialogs(handler, first, second):
    def scenario(app):
        one, two = open_dialog(app, handler), open_dialog(app, handler)
        entry_of(one).insert(0, first); entry_of(two).insert(0, second)
        confirm(one); confirm(two)
        emit(sent())
        confirm(one)
        emit([sent(), placeholder(one), entry_of(one).get()])
        confirm(one)
        emit([sent(), placeholder(one), len(dialogs(app))])
    _in_window(scenario)

class _Browser:
    def __init__(self, outcomes):
        self.outcomes, self.calls = list(outcomes), []
    def open(self, *args, **kwargs):
        self.calls.append([list(args), kwargs])
        kind, value = self.outcomes.pop(0)
        if kind == "raise":
            raise (webbrowser.Error if value == "Error" else getattr(builtins, value))("refused")
        return value

def shortcuts(windows, fail, presses, help_outcomes):
    """Press the folder button `presses` times (its process start failing when `fail`),
    then the help button once per list of webbrowser.open outcomes."""
    calls = []
    def Popen(*args, **kwargs):
        calls.append([type(args[0]).__name__, args[0], len(args), kwargs])
        if fail: raise FileNotFoundError(2, "No such file or directory", "explorer")
        return types.SimpleNamespace(pid=1)
    def scenario(app):
        if windows:
            nt = types.ModuleType("os_nt"); nt.__dict__.update(os.__dict__); nt.name = "nt"
            GUI.os = nt
        GUI.subprocess = types.SimpleNamespace(Popen=Popen)
        folder_button = button_of(app, "button_event_005")
        for _ in range(presses):
            folder_button.invoke()
        emit({"popen": calls, "errors": list(S["errors"])})
        del S["errors"][:]
        help_button = button_of(app, "button_event_008")
        for outcomes in help_outcomes:
            GUI.webbrowser = _Browser(outcomes)
            help_button.invoke()
            emit({"opened": GUI.webbrowser.calls, "errors": list(S["errors"])})
            del S["errors"][:]
    _in_window(scenario)

def pick_file(handler, picked):
    def scenario(app):
        asked, written = [], []
        def askopenfilename(*args, **kwargs):
            asked.append([list(args), kwargs]); return picked
        real_set = S["table"].set
        S["table"].set = lambda name, text: (written.append([name, text]), real_set(name, text))
        S["table"].set("檢索指令", "電池"); del written[:]
        GUI.tkinter = types.SimpleNamespace(filedialog=types.SimpleNamespace(askopenfilename=askopenfilename))
        S["handlers"][handler]()
        emit([asked, written, S["table"].get("檢索指令")])
    _in_window(scenario)

STRIP = ["字體與大小", "分析數量", "清除指令"]

def _hide_strip():
    """The strip's buttons are still made but never laid out: the window as it is without them."""
    class Button(GUI.customtkinter.CTkButton):
        pass
    for manager in ("place", "grid", "pack"):
        def skip(self, *args, _real=getattr(ctk.CTkButton, manager), **kwargs):
            if self.cget("text") not in STRIP:
                return _real(self, *args, **kwargs)
        setattr(Button, manager, skip)
    GUI.customtkinter.CTkButton = Button

def layout(hide_strip):
    if hide_strip:
        _hide_strip()
    def scenario(app):
        top = {(int(w.grid_info()["row"]), int(w.grid_info()["column"])): w for w in app.grid_slaves()}
        BB = top[(1, 1)]
        card = next(w for w in BB.winfo_children() if isinstance(w, ctk.CTkFrame))
        output = next(w for w in BB.winfo_children() if isinstance(w, ctk.CTkButton))
        widgets = {"app": app, "FF": top[(0, 0)], "AA": top[(1, 0)], "BB": BB, "DD": top[(2, 0)], "card": card,
                   "output": output, "textbox": S["box"], "entry": S["table"].entry("檢索指令"),
                   "folder": button_of(app, "button_event_005"),
                   "help": button_of(app, "button_event_008")}
        names = {id(h): n for n, h in S["handlers"].items()}
        strip = [w for w in descendants(app) if isinstance(w, ctk.CTkButton) and w.cget("text") in STRIP]
        emit({"layout": {n: [w.winfo_x(), w.winfo_y(), w.winfo_width(), w.winfo_height()] for n, w in widgets.items()},
              "output_text": output.cget("text"), "card_req": [card.winfo_reqwidth(), card.winfo_reqheight()],
              "card": rect(card), "output": rect(output),
              "strip": [{"text": w.cget("text"), "in_card": w.master is card, "placed": w.winfo_manager(),
                         "mapped": bool(w.winfo_ismapped()), "rect": rect(w),
                         "command": names.get(id(w.cget("command")))} for w in strip]})
        if hide_strip:
            return
        by_text = {w.cget("text"): w for w in strip}
        for text in STRIP[:2]:
            before = dialogs(app)
            by_text[text].invoke(); app.update()
            emit([d.geometry() for d in dialogs(app) if d not in before])
        S["table"].set("檢索指令", "電池")
        by_text["清除指令"].invoke()
        cleared = S["table"].get("檢索指令")
        S["handlers"]["button_event_001"]()
        emit([cleared, request(), S["box"].get("1.0", "end-1c"), E["get_receipt"].is_set()])
    _in_window(scenario)

def enter_presses(cases):
    """For each [how, where, keysym, command, expected]: the key on the command entry or a dialog's entry."""
    def scenario(app):
        command_entry = S["table"].entry("檢索指令")
        dialog_entry = entry_of(open_dialog(app, "button_event_004"))
        for how, where, keysym, command, expected in cases:
            S["table"].set("檢索指令", command)
            S["box"].insert("end", "old log")
            E["get_receipt"].clear()
            target = (command_entry if where == "command" else dialog_entry)._entry
            target.focus_force()
            wait_for(app, lambda: app.focus_get() is target)
            if how == "event":
                target.event_generate("<" + keysym + ">")
            else:
                subprocess.run(["xdotool", "key", keysym], check=True)
            if expected:
                wait_for(app, lambda: not Q["起始數據"].empty())
            pump(app, 0.3)  # time for a second (unwanted) launch to show up
            emit([Q["起始數據"].qsize(), request(), S["box"].get("1.0", "end-1c"), E["get_receipt"].is_set()])
            while request() is not None: pass
    _in_window(scenario)

def screenshots():
    from PIL import ImageGrab
    def scenario(app):
        for handler, path in [("button_event_004", "/tmp/font_dialog.png"), ("button_event_009", "/tmp/count_dialog.png")]:
            d = open_dialog(app, handler)
            pump(app, 0.5)
            x, y, w, h = rect(d)
            shot = ImageGrab.grab(bbox=(0, 0, max(x + w, app.winfo_rootx() + app.winfo_width()),
                                        max(y + h, app.winfo_rooty() + app.winfo_height())))
            shot.save(path)
            colours = shot.crop((x, y, x + w, y + h)).getcolors(1 << 20)
            emit([path, [w, h], len(colours)])
            d.destroy()
    _in_window(scenario)

if __name__ == "__main__":
    GUI = capture()
    main(globals())
