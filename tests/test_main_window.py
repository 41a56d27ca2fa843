"""Main window: widget tree, construction order, folders, icon, missing
templates, failures during construction and the shutdown signals.

Every scenario builds the real window in its own interpreter (the scenario
functions of this module run as `python -m test_main_window <case> <JSON
arguments>`, see scenario.run_case), its collaborators wrapped so that it can
read back what the window was built from: the wrapped handlers, the button-bar
calls, the frames, the header widgets, the timer calls and the icon calls.
"""

from __future__ import annotations

import builtins
import errno
import importlib.util
import logging
import os
import queue
import shutil
import sysconfig
import threading
import tkinter
import types
from pathlib import Path

import customtkinter as _ctk
import pytest

from harness import close, emit, main, on_mainloop, pump, start_gui, wait_for
from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

TITLE = "VARNEL專利檢索軟體"


def scenario(case: str, *arguments, **kwargs):
    """Run a case of the main-window scenarios in a fresh interpreter; it must exit cleanly."""
    return run_case("test_main_window", case, *arguments, **kwargs).check()


def not_found(path: str) -> str:
    """The text of the error that opening a missing file raises."""
    return str(FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path))


def installed_module() -> Path:
    site = Path(sysconfig.get_paths()["platlib"])
    return next(site.glob("GUI.*.so"))


# --------------------------------------------------------------------------
# The scenarios' window, and the record of what it was built from

def load_gui(path=None):
    """The GUI module: the installed one, or a copy loaded from `path`."""
    if path is None:
        import GUI
        return GUI
    spec = importlib.util.spec_from_file_location("GUI", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Channel:
    """Queues and events that log every use into one shared list."""
    def __init__(self):
        self.log = []
        self.Q = {k: self._item(k, ("put", "get", "get_nowait", "empty")) for k in ("起始數據", "get_receipt", "end")}
        self.E = {k: self._item(k, ("set", "is_set", "clear", "wait")) for k in ("get_receipt", "end")}
    def _item(self, key, methods):
        item = types.SimpleNamespace()
        for name in methods:
            def method(*args, _name=name):
                self.log.append([key, _name, list(args)])
                if _name == "empty": return True
                if _name in ("get", "get_nowait"): raise queue.Empty
                if _name == "is_set": return False
            setattr(item, name, method)
        return item


def instrument(G):
    """Wrap G's collaborators with recorders; returns the record."""
    rec = {"order": [], "handlers": {}, "ticks": {}, "after": [], "frames": [], "apps": [],
           "icon": [], "tables": [], "add_button": [], "bar": None}
    real_wrap, real_bar, real_table = G.try_except_log, G.Set_Button, G.Set_Table
    def try_except_log(handler):
        name = handler.__name__
        wrapped = real_wrap(handler)
        rec["ticks"][name] = 0
        def counted():
            rec["ticks"][name] += 1
            return wrapped()
        counted.__name__ = name
        rec["order"].append(name)
        rec["handlers"][name] = counted
        return counted
    def Set_Button(*args, **kwargs):
        bar = real_bar(*args, **kwargs)
        rec["bar"] = bar
        add = bar.add_button
        def add_button(*a, **kw):
            button = add(*a, **kw)
            rec["add_button"].append((a, list(kw.items()), button))
            return button
        bar.add_button = add_button
        return bar
    def Set_Table(*args, **kwargs):
        table = real_table(*args, **kwargs)
        rec["tables"].append((args, kwargs, table))
        return table

    ctk = types.ModuleType("ctk_standin")
    ctk.__dict__.update(_ctk.__dict__)
    class CTk(_ctk.CTk):
        def __init__(self, *a, **k):
            super().__init__(*a, **k)
            rec["apps"].append(self)
        def after(self, ms, func=None, *args):
            rec["after"].append((ms, func))
            return super().after(ms, func, *args)
        def iconbitmap(self, *a, **k):
            rec["icon"].append(["iconbitmap", list(a)])
            try:
                return super().iconbitmap(*a, **k)
            except Exception as exc:
                rec["icon_error"] = str(exc)
                raise
        def iconphoto(self, *a, **k):
            rec["icon"].append(["iconphoto", None])
            return super().iconphoto(*a, **k)
    class CTkFrame(_ctk.CTkFrame):
        def __init__(self, *a, **k):
            super().__init__(*a, **k)
            rec["frames"].append(self)

    ctk.CTk, ctk.CTkFrame = CTk, CTkFrame
    G.customtkinter, G.try_except_log, G.Set_Button, G.Set_Table = ctk, try_except_log, Set_Button, Set_Table
    rec["ctk"] = ctk
    rec["folder"] = G.os.path.dirname(G.os.path.abspath(G.__file__))
    return rec


def norm_grid(info):
    def pad(v):
        if isinstance(v, int): return [v, v]
        if isinstance(v, str): v = v.split()
        v = [int(x) for x in v]
        return v * 2 if len(v) == 1 else v
    return {"row": int(info["row"]), "column": int(info["column"]),
            "columnspan": int(info["columnspan"]), "rowspan": int(info["rowspan"]),
            "padx": pad(info["padx"]), "pady": pad(info["pady"]),
            "sticky": "".join(sorted(str(info["sticky"])))}


def describe(rec, value, names):
    """JSON form of a call argument: handlers and frames by name, paths relative."""
    for name, handler in rec["handlers"].items():
        if value is handler: return "handler:" + name
    for name, widget in names.items():
        if value is widget: return "frame:" + name
    if isinstance(value, (tuple, list)): return [describe(rec, v, names) for v in value]
    if isinstance(value, str) and value.startswith(rec["folder"]):
        return "<module>" + value[len(rec["folder"]):]
    return value


def header(rec, frame):
    """What the header frame holds, read off its widgets."""
    out = []
    for w in frame.winfo_children():
        item = {"type": type(w).__name__, "grid": norm_grid(w.grid_info())}
        if isinstance(w, _ctk.CTkButton):
            img = w.cget("image")
            item.update(text=w.cget("text"), state=w.cget("state"), width=w.cget("width"),
                        fg_color=w.cget("fg_color"), size=img and list(img.cget("size")),
                        files=img and [describe(rec, getattr(img.cget(k), "filename", None), {})
                                       for k in ("light_image", "dark_image")],
                        two_images=bool(img) and img.cget("light_image") is not img.cget("dark_image"))
        elif isinstance(w, _ctk.CTkLabel):
            font = w.cget("font")
            item.update(text=w.cget("text"), font=[font.cget("family"), font.cget("size"), font.cget("weight")])
        out.append(item)
    return out


# --------------------------------------------------------------------------
# Widget tree, button-bar calls, handler wrapping and the first poller tick

def widget_tree():
    G = load_gui()
    rec = instrument(G)
    Q = {"起始數據": queue.Queue(), "get_receipt": queue.Queue(), "end": queue.Queue()}
    E = {"get_receipt": threading.Event(), "end": threading.Event()}
    @on_mainloop
    def hook(app):
        frames = dict(zip(["FF", "AA", "BB", "DD", "f1", "f5", "f2", "f4", "f6"], rec["frames"]))
        box = [w for w in frames["f6"].winfo_children() if isinstance(w, _ctk.CTkTextbox)]
        args, kwargs, table = rec["tables"][0]
        out = {
            "title": app.title(),
            "resizable": [bool(x) for x in app.resizable()],
            "weights": [app.grid_columnconfigure(i)["weight"] for i in range(4)],
            "row_weights": [app.grid_rowconfigure(i)["weight"] for i in range(3)],
            "frames": {n: {"master": describe(rec, f.master, frames | {"app": app}),
                           "grid": norm_grid(f.grid_info()) if f.winfo_manager() == "grid" else None,
                           "place": {k: int(v) for k, v in f.place_info().items() if k in ("x", "y")},
                           "size": [f.cget("width"), f.cget("height")],
                           "transparent": f.cget("fg_color") == "transparent"}
                       for n, f in frames.items()},
            "frame_count": len(rec["frames"]),
            "textboxes": [{"size": [b.cget("width"), b.cget("height")], "corner_radius": b.cget("corner_radius"),
                           "grid": norm_grid(b.grid_info())} for b in box],
            "header": header(rec, frames["f4"]),
            "table": {"count": len(rec["tables"]), "args": [describe(rec, a, frames) for a in args],
                      "kwargs": list(kwargs), "rows": table.names(),
                      "entry_in_f5": table.entry("檢索指令").master is frames["f5"]},
            "add_button": [{"args": [describe(rec, a, frames) for a in a_],
                            "kw": [[k, describe(rec, v, frames)] for k, v in kw]}
                           for a_, kw, _ in rec["add_button"]],
            "output_command": describe(rec, rec["bar"].button("輸出檢索列表").cget("command"), frames),
            "order": rec["order"],
            "after_aa": [[ms, describe(rec, f, frames)] for ms, f in rec["after"]
                         if getattr(f, "__name__", "") == "aa"],
            "tcl_aa": [list(app.tk.splitlist(app.tk.call("after", "info", i)))
                       for i in app.tk.splitlist(app.tk.call("after", "info"))
                       if str(app.tk.call("after", "info", i)[0]).endswith("aa")],
            "ticks_at_loop": dict(rec["ticks"]),
        }
        emit(out)
        def first_tick():
            if rec["ticks"]["aa"]:
                emit({"ticks": rec["ticks"]["aa"]})
                close(app)
            else:
                app.after(20, first_tick)
        app.after(20, first_tick)
        app.after(30000, lambda: close(app))
        return True

    return {"returned": start_gui(G, Q, E)}


@pytest.fixture(scope="module")
def tree():
    result = scenario("widget_tree")
    result
    assert len(result.values) == 3, result.values
    return result.values


def test_window_title_columns_and_resizing(tree):
    t = tree[0]
    assert t["title"] == TITLE
    assert t["resizable"] == [False, False]
    assert t["weights"] == [1, 1, 1, 0]
    assert t["row_weights"] == [0, 0, 0]


FRAMES = [
    # name, master, grid (None: placed), place, size, transparent
    ("FF", "app", dict(row=0, column=0, columnspan=2, rowspan=1, padx=[10, 5], pady=[10, 5], sticky="ensw"), None, None, True),
    ("AA", "app", dict(row=1, column=0, columnspan=1, rowspan=1, padx=[10, 5], pady=[5, 0], sticky="ensw"), None, None, True),
    ("BB", "app", dict(row=1, column=1, columnspan=1, rowspan=1, padx=[0, 10], pady=[5, 0], sticky="ensw"), None, None, True),
    ("DD", "app", dict(row=2, column=0, columnspan=2, rowspan=1, padx=[10, 10], pady=[5, 10], sticky="ew"), None, None, True),
    ("f1", "AA", dict(row=0, column=0, columnspan=1, rowspan=1, padx=[0, 0], pady=[0, 0], sticky="enw"), None, [395, 110], False),
    ("f5", "f1", None, {"x": 10, "y": 30}, [395, 110], True),
    ("f2", "BB", dict(row=0, column=0, columnspan=1, rowspan=1, padx=[0, 0], pady=[0, 0], sticky="enw"), None, [300, 110], False),
    # height 10 as given, width the frame's default
    ("f4", "FF", dict(row=0, column=0, columnspan=1, rowspan=2, padx=[0, 0], pady=[0, 0], sticky="ensw"), None, [200, 10], True),
    ("f6", "DD", dict(row=0, column=0, columnspan=1, rowspan=2, padx=[0, 0], pady=[0, 0], sticky="ensw"), None, [200, 10], True),
]


@pytest.mark.parametrize("name,master,grid,place,size,transparent", FRAMES, ids=[f[0] for f in FRAMES])
def test_frames(tree, name, master, grid, place, size, transparent):
    assert tree[0]["frame_count"] == len(FRAMES)
    frame = tree[0]["frames"][name]
    assert frame["master"] == "frame:" + master
    assert frame["grid"] == grid
    if place is not None:
        assert frame["place"] == place
    if size is not None:
        assert frame["size"] == size
    assert frame["transparent"] is transparent


def test_log_box_and_entry_table(tree):
    t = tree[0]
    assert t["textboxes"] == [{"size": [700, 300], "corner_radius": 0,
                               "grid": dict(row=0, column=0, columnspan=1, rowspan=1, padx=[0, 0],
                                            pady=[0, 0], sticky="ensw")}]
    assert t["table"] == {"count": 1, "args": ["frame:f5"], "kwargs": [], "rows": ["檢索指令"],
                          "entry_in_f5": True}


def test_header(tree):
    def logo(column, padx, size, file):
        return {"type": "CTkButton", "grid": dict(row=0, column=column, columnspan=1, rowspan=1, padx=padx,
                                                  pady=[0, 0], sticky="w"),
                "text": "", "state": "disabled", "width": 50, "fg_color": "transparent", "size": size,
                "files": ["<module>/格式範本/" + file] * 2, "two_images": True}
    assert tree[0]["header"] == [
        logo(0, [0, 5], [50, 50], "logo.png"),
        logo(1, [0, 15], [120, 30], "logo(僅文字).png"),
        {"type": "CTkLabel", "grid": dict(row=0, column=2, columnspan=1, rowspan=1, padx=[0, 0], pady=[0, 0],
                                          sticky="ensw"),
         "text": TITLE, "font": ["Microsoft JhengHei", 16, "bold"]},
    ]


ADD_BUTTON_CALLS = [
    ("output", "BB", [["button_name", "輸出檢索列表"], ["text", "輸出檢索列表"],
                      ["button_event", "handler:button_event_001"], ["size", [25, 25]], ["padx", 50],
                      ["pady", 10], ["sticky", ""], ["width", 140]]),
    ("folder", "FF", [["image_path", "<module>/格式範本/資料夾.png"], ["button_event", "handler:button_event_005"],
                      ["size", [25, 25]], ["padx", [178, 55]], ["row", 0], ["column", 1],
                      ["fg_color", "transparent"]]),
    ("help", "FF", [["image_path", "<module>/格式範本/問號001.png"], ["button_event", "handler:button_event_008"],
                    ["size", [25, 25]], ["padx", [78, 105]], ["row", 0], ["column", 1],
                    ["fg_color", "transparent"]]),
]


@pytest.mark.parametrize("index", range(len(ADD_BUTTON_CALLS)), ids=[c[0] for c in ADD_BUTTON_CALLS])
def test_button_bar_calls(tree, index):
    calls = tree[0]["add_button"]
    assert len(calls) == len(ADD_BUTTON_CALLS)
    _, master, keywords = ADD_BUTTON_CALLS[index]
    assert calls[index] == {"args": ["frame:" + master], "kw": keywords}


def test_handlers_wrapped_once_in_order_and_wrappers_bound(tree):
    t = tree[0]
    assert t["order"] == ["button_event_001", "button_event_003", "button_event_004", "button_event_005",
                          "button_event_006", "button_event_007", "button_event_008", "button_event_009", "aa"]
    # The output button's command is the wrapper itself, not the bare handler.
    assert t["output_command"] == "handler:button_event_001"


def test_poller_armed_once_at_500_ms_and_first_tick_comes_from_the_loop(tree):
    t, first, end = tree
    assert t["after_aa"] == [[500, "handler:aa"]]
    assert len(t["tcl_aa"]) == 1 and t["tcl_aa"][0][1] == "timer"
    assert all(count == 0 for count in t["ticks_at_loop"].values()), t["ticks_at_loop"]
    assert first == {"ticks": 1}
    assert end == {"returned": None}


# --------------------------------------------------------------------------
# Folders and window icon, per platform branch

MAKER, PRODUCT = "tessaloom", "tessaloom/VARNEL專利檢索軟體"


def linux_folders():
    G = load_gui()
    rec = instrument(G)
    channel = Channel()
    @on_mainloop
    def hook(app):
        emit({"opened": app.title(), "icon": [name for name, _ in rec["icon"]]})

    start_gui(G, channel.Q, channel.E)


@pytest.mark.parametrize("existing", [(), (MAKER,), (MAKER, PRODUCT)], ids=["first-start", "maker-only", "both"])
def test_linux_folders_created_silently(tmp_path, existing):
    drive = tmp_path / "drive"
    for folder in (drive, *(drive / f for f in existing)):
        folder.mkdir()
    result = scenario("linux_folders", env={"TESSALOOM_DRIVE_C": str(drive)})
    assert result.value == {"opened": TITLE, "icon": ["iconphoto"]}
    assert sorted(str(p.relative_to(drive)) for p in drive.rglob("*")) == [MAKER, PRODUCT]
    assert result.printed() == []


def windows_branch(failure):
    """The window as on Windows, os.mkdir raising the built-in error `failure` (None: succeeding)."""
    G = load_gui()
    rec = instrument(G)
    mkdirs = []
    def mkdir(path, *args, **kwargs):
        mkdirs.append([path, list(args), kwargs])
        if failure:
            raise getattr(builtins, failure)(path)

    nt = types.ModuleType("os_nt")
    nt.__dict__.update(os.__dict__)
    nt.name, nt.mkdir = "nt", mkdir
    G.os = nt
    channel = Channel()
    @on_mainloop
    def hook(app):
        emit({"mkdir": mkdirs, "icon": describe(rec, rec["icon"], {}), "folder": rec["folder"],
              "icon_error": rec.get("icon_error"),
              "rows": rec["tables"][0][2].names(),
              "images": [describe(rec, dict(kw).get("image_path"), {}) for _, kw, _ in rec["add_button"]]})

    start_gui(G, channel.Q, channel.E)


@pytest.mark.parametrize("failure", ["FileExistsError", "PermissionError", "FileNotFoundError", None])
def test_windows_branch_folders_and_icon(tmp_path, failure):
    result = scenario("windows_branch", failure, cwd=str(tmp_path))
    seen = result.value
    assert seen["mkdir"] == [["C:/tessaloom/", [], {}], ["C:/tessaloom/VARNEL專利檢索軟體/", [], {}]]
    assert seen["icon"] == [["iconbitmap", ["<module>\\格式範本\\logo.ico"]]]
    assert seen["images"] == [None, "<module>\\格式範本\\資料夾.png", "<module>\\格式範本\\問號001.png"]
    assert seen["rows"] == ["檢索指令"]
    # Tk on X11 cannot read the .ico: its error is printed and construction goes
    # on; the header's backslash path does not exist here either.
    icon_line, header_line = result.printed()
    assert seen["icon_error"] and icon_line == seen["icon_error"]
    assert header_line == not_found(seen["folder"] + "\\格式範本\\logo.png")
    assert os.listdir(tmp_path) == []


# --------------------------------------------------------------------------
# Template images missing beside the module file

TEMPLATES = [
    # missing, printed files, header widgets (type, column), icon buttons with image
    ("folder", ["logo.ico", "logo.png"], [], False),
    ("logo(僅文字).png", ["logo(僅文字).png"], [("CTkButton", 0)], True),
    ("logo.ico", ["logo.ico"], [("CTkButton", 0), ("CTkButton", 1), ("CTkLabel", 2)], True),
]


def missing_templates(path):
    """The window of the module copy at `path`, some of its template images missing."""
    warnings = []
    class Keep(logging.Handler):
        def emit(self, record):
            warnings.append([record.levelname, record.getMessage()])
    logging.getLogger("tessaloom通用模組").addHandler(Keep())
    G = load_gui(path)
    rec = instrument(G)
    channel = Channel()
    @on_mainloop
    def hook(app):
        bar = rec["bar"]
        emit({"file": G.__file__,
              "header": [[w["type"], w["grid"]["column"]] for w in header(rec, rec["frames"][7])],
              "rows": rec["tables"][0][2].names(),
              "output": bar.button("輸出檢索列表").winfo_manager() == "grid" and bar.cget("輸出檢索列表", "text"),
              "icon_images": [b.cget("image") is not None for _, _, b in rec["add_button"][1:]],
              "warnings": warnings})

    return {"returned": start_gui(G, channel.Q, channel.E), "channel": channel.log}


@pytest.mark.parametrize("missing,printed_for,header_widgets,icon_images", TEMPLATES, ids=[t[0] for t in TEMPLATES])
def test_missing_templates(tmp_path, missing, printed_for, header_widgets, icon_images):
    so = installed_module()
    folder = tmp_path / "module"
    folder.mkdir()
    shutil.copy2(so, folder / so.name)
    if missing != "folder":
        shutil.copytree(so.parent / "格式範本", folder / "格式範本", ignore=shutil.ignore_patterns(missing))
    result = scenario("missing_templates", str(folder / so.name))
    seen, end = result.values
    assert seen["file"] == str(folder / so.name)
    assert result.printed() == [not_found(f"{folder}/格式範本/{name}") for name in printed_for]
    assert seen["header"] == [list(w) for w in header_widgets]
    assert seen["rows"] == ["檢索指令"] and seen["output"] == "輸出檢索列表"
    assert seen["icon_images"] == [icon_images] * 2
    if icon_images:
        assert seen["warnings"] == []
    else:
        assert [level for level, _ in seen["warnings"]] == ["WARNING"] * 2
        assert "資料夾.png" in seen["warnings"][0][1] and "問號001.png" in seen["warnings"][1][1]
    assert end == {"returned": None, "channel": [PUT_END, SET_END, PUT_START]}


# --------------------------------------------------------------------------
# Failures while building the window

class Boom(Exception):
    pass

BOOM = Boom("step failed")

def fail(*args, **kwargs):
    raise BOOM

def _fail_entry_table(G, rec):
    G.Set_Table = fail

def _fail_log_box(G, rec):
    rec["ctk"].CTkTextbox = fail

def _fail_help_button(G, rec):
    real_bar = G.Set_Button
    def Set_Button():
        bar = real_bar()
        add = bar.add_button
        bar.add_button = lambda master, **kw: fail() if kw.get("padx") == (78, 105) else add(master, **kw)
        return bar
    G.Set_Button = Set_Button

def _fail_wrapping_poller(G, rec):
    real_wrap = G.try_except_log
    G.try_except_log = lambda f: fail() if f.__name__ == "aa" else real_wrap(f)

def _fail_timer(G, rec):
    real_after = rec["ctk"].CTk.after
    rec["ctk"].CTk.after = (lambda self, ms, func=None, *a:
                            fail() if getattr(func, "__name__", "") == "aa" else real_after(self, ms, func, *a))

def _fail_event_loop(G, rec):
    on_mainloop(lambda app: fail())

STEP_FAILURES = {"entry-table": _fail_entry_table, "log-box": _fail_log_box, "help-button": _fail_help_button,
                 "wrapping-poller": _fail_wrapping_poller, "timer": _fail_timer, "event-loop": _fail_event_loop}


def failing_step(step):
    G = load_gui()
    rec = instrument(G)
    channel = Channel()
    STEP_FAILURES[step](G, rec)
    try:
        start_gui(G, channel.Q, channel.E)
        outcome = "returned"
    except BaseException as exc:
        outcome = "same exception" if exc is BOOM else repr(exc)
    try:
        alive = [bool(app.winfo_exists()) for app in rec["apps"]]
    except tkinter.TclError as exc:
        alive = str(exc)
    return {"outcome": outcome, "channel": channel.log, "apps": len(rec["apps"]), "alive": alive,
            "default_root": tkinter._default_root is not None}


FAILING_STEPS = ["entry-table", "log-box", "help-button", "wrapping-poller", "timer", "event-loop"]


@pytest.mark.parametrize("step", FAILING_STEPS)
def test_unguarded_failure_propagates_and_discards_window(step):
    seen = scenario("failing_step", step).value
    assert seen["outcome"] == "same exception"
    assert seen["channel"] == []
    assert seen["apps"] == 1
    assert seen["alive"] == [False] or "application has been destroyed" in seen["alive"], seen
    assert seen["default_root"] is False


# --------------------------------------------------------------------------
# Shutdown signals after the window is closed

PUT_END, SET_END, PUT_START = ["end", "put", [None]], ["end", "set", []], ["起始數據", "put", [None]]


def _remove(side, key, attribute=None):
    def change(channel):
        mapping = getattr(channel, side)
        if attribute:
            delattr(mapping[key], attribute)
        else:
            del mapping[key]
    return change


CHANNEL_CHANGES = {"end-queue-missing": _remove("Q", "end"), "end-event-missing": _remove("E", "end"),
                   "start-queue-missing": _remove("Q", "起始數據"),
                   "end-event-without-set": _remove("E", "end", "set")}


def shutdown(change):
    """The shutdown signals over a logging channel, changed by CHANNEL_CHANGES[change] if given."""
    G = load_gui()
    instrument(G)
    channel = Channel()
    if change:
        CHANNEL_CHANGES[change](channel)
    @on_mainloop
    def hook(app):
        emit({"during_construction": list(channel.log)})

    try:
        outcome = ["returned", start_gui(G, channel.Q, channel.E)]
    except Exception as exc:
        outcome = [type(exc).__name__, list(exc.args) if isinstance(exc, KeyError) else None]
    return {"outcome": outcome, "log": channel.log}


SHUTDOWNS = [
    # name, change to the channel (made in the scenario), outcome, channel log
    ("complete", None, ["returned", None], [PUT_END, SET_END, PUT_START]),
    ("end-queue-missing", "end-queue-missing", ["KeyError", ["end"]], []),
    ("end-event-missing", "end-event-missing", ["KeyError", ["end"]], [PUT_END]),
    ("start-queue-missing", "start-queue-missing", ["KeyError", ["起始數據"]], [PUT_END, SET_END]),
    ("end-event-without-set", "end-event-without-set", ["AttributeError", None], [PUT_END]),
]


@pytest.mark.parametrize("change,outcome,log", [s[1:] for s in SHUTDOWNS], ids=[s[0] for s in SHUTDOWNS])
def test_shutdown_signals(change, outcome, log):
    during, after = scenario("shutdown", change).values
    assert during == {"during_construction": []}
    assert after == {"outcome": outcome, "log": log}


def real_channel(kind):
    """The worker end waits for the three signals in another thread or process."""
    if kind == "process":
        import multiprocessing
        ctx = multiprocessing.get_context("fork")  # forked before any Tk root exists
        Q = {"起始數據": ctx.Queue(), "get_receipt": ctx.Queue(), "end": ctx.Queue()}
        E = {"get_receipt": ctx.Event(), "end": ctx.Event()}
        got = ctx.Queue()
        start = lambda target: ctx.Process(target=target).start()  # noqa: E731
    else:
        Q = {"起始數據": queue.Queue(), "get_receipt": queue.Queue(), "end": queue.Queue()}
        E = {"get_receipt": threading.Event(), "end": threading.Event()}
        got = queue.Queue()
        start = lambda target: threading.Thread(target=target).start()  # noqa: E731
    def worker():
        first = Q["end"].get(timeout=60)
        set_in_time = E["end"].wait(60)
        last = Q["起始數據"].get(timeout=60)
        got.put([first, set_in_time, last])

    start(worker)
    G = load_gui()
    @on_mainloop
    def hook(app):
        emit({"end_set_while_open": E["end"].is_set(), "end_queue_empty": Q["end"].empty()})

    returned = start_gui(G, Q, E)
    return {"returned": returned, "worker": got.get(timeout=60)}


@pytest.mark.parametrize("kind", ["thread", "process"])
def test_shutdown_reaches_worker_over_real_channel(kind):
    result = scenario("real_channel", kind, timeout=120)
    assert result.values == [{"end_set_while_open": False, "end_queue_empty": True},
                             {"returned": None, "worker": [None, True, None]}]


# --------------------------------------------------------------------------
# What the screen shows

SCREENSHOT = Path("/tmp/main_window.png")


def screenshot(path):
    from PIL import ImageGrab
    G = load_gui()
    channel = Channel()
    @on_mainloop
    def hook(app):
        shown = wait_for(app, lambda: app.winfo_viewable())
        pump(app, 1.0)
        app.update_idletasks()
        shot = ImageGrab.grab()
        shot.save(path)
        x, y = app.winfo_rootx(), app.winfo_rooty()
        window = shot.crop((x, y, x + app.winfo_width(), y + app.winfo_height())).convert("RGB")
        emit({"shown": shown, "size": [app.winfo_width(), app.winfo_height()],
              "colours": len(window.getcolors(1 << 24))})

    start_gui(G, channel.Q, channel.E)


def test_screenshot_of_idle_window():
    seen = scenario("screenshot", str(SCREENSHOT)).value
    assert seen["shown"] is True
    # The log box alone is 700 x 300; the window holds it and the cards above.
    assert seen["size"][0] > 700 and seen["size"][1] > 300
    assert seen["colours"] > 10, "the window area is blank"
    assert SCREENSHOT.stat().st_size > 0


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    main(globals())
