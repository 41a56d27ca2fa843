"""Main window: widget tree, construction order, folders, icon, missing
templates, failures during construction and the shutdown signals.

Every scenario (tests/scenarios/main_window.py) builds the real window in its
own interpreter, its collaborators wrapped so that it can read back what the
window was built from: the wrapped handlers, the button-bar calls, the frames,
the header widgets, the timer calls and the icon calls.
"""

from __future__ import annotations

import errno
import os
import shutil
import sysconfig
from pathlib import Path

import pytest

from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

TITLE = "VARNEL專利檢索軟體"


def scenario(case: str, *arguments, **kwargs):
    """Run a case of the main-window scenarios in a fresh interpreter; it must exit cleanly."""
    return run_case("scenarios.main_window", case, *arguments, **kwargs).check()


def not_found(path: str) -> str:
    """The text of the error that opening a missing file raises."""
    return str(FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path))


def installed_module() -> Path:
    site = Path(sysconfig.get_paths()["platlib"])
    return next(site.glob("GUI.*.so"))


# --------------------------------------------------------------------------
# Widget tree, button-bar calls, handler wrapping and the first poller tick

@pytest.fixture(scope="module")
def tree():
    result = scenario("tree")
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


@pytest.mark.parametrize("existing", [(), (MAKER,), (MAKER, PRODUCT)], ids=["first-start", "maker-only", "both"])
def test_linux_folders_created_silently(tmp_path, existing):
    drive = tmp_path / "drive"
    for folder in (drive, *(drive / f for f in existing)):
        folder.mkdir()
    result = scenario("linux_folders", env={"TESSALOOM_DRIVE_C": str(drive)})
    assert result.value == {"opened": TITLE, "icon": ["iconphoto"]}
    assert sorted(str(p.relative_to(drive)) for p in drive.rglob("*")) == [MAKER, PRODUCT]
    assert result.printed() == []


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


@pytest.mark.parametrize("kind", ["thread", "process"])
def test_shutdown_reaches_worker_over_real_channel(kind):
    result = scenario("real_channel", kind, timeout=120)
    assert result.values == [{"end_set_while_open": False, "end_queue_empty": True},
                             {"returned": None, "worker": [None, True, None]}]


# --------------------------------------------------------------------------
# What the screen shows

SCREENSHOT = Path("/tmp/main_window.png")


def test_screenshot_of_idle_window():
    seen = scenario("screenshot", str(SCREENSHOT)).value
    assert seen["shown"] is True
    # The log box alone is 700 x 300; the window holds it and the cards above.
    assert seen["size"][0] > 700 and seen["size"][1] > 300
    assert seen["colours"] > 10, "the window area is blank"
    assert SCREENSHOT.stat().st_size > 0
