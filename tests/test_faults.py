"""Faults around the window: a dead worker, closing mid-run, broken template
images, an unusable drive, dialogs closed under the user's hands, imports that
fail while the module loads, and hostile text in the search command.

Each scenario runs in its own interpreter (one Tk root per process): the
scenario functions of this module run as `python -m test_faults <case> <JSON
arguments>` (scenario.run_case), each before the tests that check it.
"""

from __future__ import annotations

import importlib
import os
import queue
import re
import shutil
import sys
import sysconfig
import threading
import time
import types
import uuid
from pathlib import Path

import pytest

from harness import (S, button_of, cancel_timers, capture, channel, emit, main, on_mainloop, open_dialog, part,
                     start_gui, step_until)
from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

IDLE = "輸出檢索列表"
BUSY = {"輸出中.", "輸出中..", "輸出中..."}

SHUTDOWN = [["put", "end", True], ["set", "end"], ["put", "起始數據", True]]


def window(case: str, *arguments, timeout: float = 120, **kwargs):
    """Run a case of the fault scenarios and require a clean exit."""
    return run_case("test_faults", case, *arguments, timeout=timeout, **kwargs).check()


# ------------------------------------------------------------------ the scenarios' channel

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


# ------------------------------------------------------------------ worker and window life

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


def test_killed_worker_leaves_the_window_usable():
    state, after = window("killed_worker", timeout=240).values
    assert state["stage"] == "done", state
    assert state["exitcode"] == -9
    assert state["log"] == "r1\nr2\nr3\n", "receipts flushed before the kill still show"
    assert state["ran"] == ["after(0)"] and state["errors"] == []
    assert set(state["texts"]) == BUSY and state["flag"] is True, "no marker came: the button keeps cycling"
    assert after["returned"] is None
    # The launch, then each shutdown signal exactly once.
    assert after["signals"] == [["set", "get_receipt"], ["put", "起始數據", False]] + SHUTDOWN
    assert after["end_event"] is True and after["end"] is None and after["start"] is None
    assert after["more"] == [True, True]


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


def test_closing_mid_run_sends_each_shutdown_signal_once():
    first, after = window("closing_mid_run").values
    assert first == {"log": "receipt 0\nreceipt 1\n", "text": "輸出中.."}
    # The pending receipts stay where they are; the channel gets the three signals once.
    assert after == {"returned": None, "signals": SHUTDOWN, "left": 8, "flag": True, "queued": [[None], [None]],
                     "errors": []}


# ------------------------------------------------------------------ broken template images

def _installed() -> Path:
    return next(Path(sysconfig.get_paths()["platlib"]).glob("GUI.*.so"))


def _garbage(path: Path):
    path.write_bytes(bytes(range(256)) * 4)


def _truncated(path: Path):
    path.write_bytes(path.read_bytes()[:200])  # a PNG header with its pixel data cut off


def _directory(path: Path):
    path.unlink()
    path.mkdir()


def _empty(path: Path):
    path.write_bytes(b"")


# damage per file; text in each printed line; header widgets laid out [type, column]; icon buttons with image
TEMPLATE_FAULTS = {
    "all-unreadable": ({"logo.ico": _empty, "logo.png": _directory, "logo(僅文字).png": _garbage,
                        "資料夾.png": _empty, "問號001.png": _directory},
                       ["格式範本/logo.ico", "Is a directory: '{}/格式範本/logo.png'"], [], [False, False]),
    "icon-garbage": ({"logo.ico": _garbage}, ["格式範本/logo.ico"],
                     [["CTkButton", 0], ["CTkButton", 1], ["CTkLabel", 2]], [True, True]),
    "text-logo-directory": ({"logo(僅文字).png": _directory}, ["Is a directory: '{}/格式範本/logo(僅文字).png'"],
                            [["CTkButton", 0]], [True, True]),
    # Opening succeeds, decoding fails when the logo button draws: the header stops there.
    "logo-truncated": ({"logo.png": _truncated, "資料夾.png": _truncated}, ["image file is truncated"],
                       [], [False, True]),
}


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


@pytest.mark.parametrize("case", list(TEMPLATE_FAULTS))
def test_unreadable_templates_leave_a_working_window(tmp_path, case):
    damage, printed_for, header, icon_images = TEMPLATE_FAULTS[case]
    so = _installed()
    shutil.copy2(so, tmp_path / so.name)
    shutil.copytree(so.parent / "格式範本", tmp_path / "格式範本")
    for name, spoil in damage.items():
        spoil(tmp_path / "格式範本" / name)
    result = window("templates_from", str(tmp_path / so.name))
    seen, end = result.values
    assert seen["file"] == str(tmp_path / so.name)
    lines = result.printed()
    assert len(lines) == len(printed_for), lines
    for line, text in zip(lines, printed_for):
        assert text.format(tmp_path) in line, line
    assert seen["header"] == header
    assert seen["icons"] == icon_images
    assert seen["output"] == IDLE and seen["rows"] == ["檢索指令"] and seen["errors"] == []
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ the drive cannot take the folders

def _under_a_file(tmp: Path) -> str:
    (tmp / "file.txt").write_text("")
    return str(tmp / "file.txt" / "sub")


def _name_too_long(tmp: Path) -> str:
    return str(tmp / ("x" * 300))


def _symlink_loop(tmp: Path) -> str:
    (tmp / "loop").symlink_to(tmp / "loop")
    return str(tmp / "loop")


def _dangling_maker_folder(tmp: Path) -> str:
    (tmp / "drive").mkdir()
    (tmp / "drive" / "tessaloom").symlink_to(tmp / "gone")
    return str(tmp / "drive")


# how the drive is broken; the error a stand-in os.mkdir raises (None: the real os.mkdir)
DRIVES = {
    "under-a-file": (_under_a_file, None),
    "name-too-long": (_name_too_long, None),
    "symlink-loop": (_symlink_loop, None),
    "dangling-maker-folder": (_dangling_maker_folder, None),
    "mkdir-raises-non-os-error": (lambda tmp: str(tmp / "drive"), "non-os-error"),
    "mkdir-raises-unicode-error": (lambda tmp: str(tmp / "drive"), "unicode-error"),
}

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


@pytest.mark.parametrize("case", list(DRIVES))
def test_window_opens_silently_when_the_folders_cannot_be_made(tmp_path, case):
    make_drive, raising = DRIVES[case]
    drive = make_drive(tmp_path)
    result = window("folders_unmakeable", raising, env={"TESSALOOM_DRIVE_C": drive})
    seen, end = result.values
    assert result.printed() == [], "folder failures are swallowed without a message"
    product = drive + "/tessaloom/VARNEL專利檢索軟體"
    assert seen["popen"] == [[[["xdg-open", product]], {}]], "the folder button still starts the file manager"
    assert seen["errors"] == []
    if raising:
        assert seen["mkdirs"] == [drive + "/tessaloom/", product + "/"], "the second attempt follows a failed first"
    assert not os.path.isdir(product)
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ dialogs closed mid-edit

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


@pytest.mark.parametrize("handler, key, first, second, stored", [
    ("button_event_004", "文字大小比例", "250", "40", 0.4),
    ("button_event_009", "分析最接近專利數量", "12", "3", 3),
], ids=["font", "count"])
def test_dialog_closed_mid_edit_leaves_the_other_in_charge(handler, key, first, second, stored):
    seen, end = window("dialog_closed_mid_edit", handler, key, first, second).values
    assert seen["stored"] == [type(stored).__name__, stored]
    assert seen["untouched"] is True
    assert seen["families"] == ["Calibri", "標楷體"], "the closed dialog's picks were never stored"
    assert seen["open"] == [False, True] and seen["errors"] == []
    assert end == {"returned": None, "signals": SHUTDOWN}


# ------------------------------------------------------------------ imports failing while the module loads

BODY_NAMES = [
    "os", "tkinter", "customtkinter", "time", "webbrowser", "Image", "subprocess", "pyautogui",
    "tessaloom", "customtkinter_model", "Entry_Table", "Set_Table", "Set_Button", "CTkCalendar",
    "try_except", "try_except_log", "Parameters", "GUI",
]


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


@pytest.mark.parametrize("name, attribute", [
    ("time", "time"), ("webbrowser", "webbrowser"), ("PIL.Image", "Image"), ("subprocess", "subprocess"),
    ("pyautogui", "pyautogui"), ("tessaloom通用模組", "tessaloom"), ("tkinter", "tkinter"),
    ("customtkinter", "customtkinter"),
])
def test_import_fault_leaves_nothing_behind(name, attribute):
    # No `py` on PATH: a toolkit's install command fails in the shell.
    result = window("import_fault", name, attribute, stdin="\n", env={"PATH": "/usr/bin:/bin"})
    state = result.value
    assert state["refused"] == [name]
    assert state["names"] == BODY_NAMES and state["bound"] is True
    if name in ("tkinter", "customtkinter"):
        # The install fallback: the command runs (and fails), the second import succeeds,
        # so there is no hint and no wait for Enter.
        assert state["first"] is None and state["registered_after_failure"] is True
        assert re.search(r"\bpy\b.*not found", result.stderr), result.stderr
        assert "請安裝" not in result.stdout and state["stdin"] == "\n"
    else:
        assert state["first"] == ["ImportError", f"refused: {name}"]
        assert state["registered_after_failure"] is False
        assert state["stdin"] == "\n" and "not found" not in result.stderr


# ------------------------------------------------------------------ hostile search commands

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


def test_search_command_never_reaches_a_shell_or_a_process(tmp_path):
    pwned = f"/tmp/pwned-{uuid.uuid4().hex}"
    hostile = ["; rm -rf ~", f"$(touch {pwned})", f"`touch {pwned}`", f"'; touch {pwned}; '",
               f'"; touch {pwned}; "', f"x\ntouch {pwned}\n", f"| touch {pwned}", f"&& touch {pwned} &",
               f"%(touch {pwned})s", f"{{touch,{pwned}}}", f"> {pwned}"]
    seen = window("hostile_commands", hostile).value
    assert seen["errors"] == [] and seen["pressed"] == 3 * len(hostile)
    assert seen["sent"] == [True] * len(hostile), "the command goes to the worker unchanged, as data"
    # One process per folder press and one page per help press; nothing else ran.
    assert sorted({c[0] + "." + c[1] for c in seen["calls"]}) == ["subprocess.Popen", "webbrowser.open"]
    assert len(seen["calls"]) == 2 * len(hostile)
    for module, name, args, keywords, shell in seen["calls"]:
        assert shell is None and "shell" not in keywords
        assert "pwned" not in args and "rm -rf" not in args
        assert not any(text in args for text in hostile if len(text) > 3)
    assert not os.path.exists(pwned)


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    main(globals())
