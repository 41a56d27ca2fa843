"""The product's main job end to end: the host's window and worker process,
a command typed and the output button clicked with real input events."""

from __future__ import annotations

import shutil
import textwrap
from pathlib import Path

import pytest

from scenario import run

COMMAND = "(電池 OR battery)@TI,AB AND AD=2015:2024"

DRIVE = r'''
import subprocess, threading
import customtkinter
import GUI
from varnel_host import __main__ as host
from varnel_host.worker import default_config

seen = {}
real_table, real_bar = GUI.Set_Table, GUI.Set_Button
def Set_Table(master):
    seen["table"] = real_table(master); return seen["table"]
def Set_Button():
    seen["bar"] = real_bar(); return seen["bar"]
class Textbox(customtkinter.CTkTextbox):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs); seen["box"] = self
GUI.Set_Table, GUI.Set_Button = Set_Table, Set_Button
GUI.customtkinter = type(customtkinter)("customtkinter_with_recorded_textbox")
GUI.customtkinter.__dict__.update(customtkinter.__dict__)
GUI.customtkinter.CTkTextbox = Textbox

def centre(widget):
    return (widget.winfo_rootx() + widget.winfo_width() // 2,
            widget.winfo_rooty() + widget.winfo_height() // 2)

def user(entry_xy, button_xy):
    """What the user does: click into the entry, type, click the button."""
    xdo = lambda *args: subprocess.run(["xdotool", *map(str, args)], check=True, timeout=60)
    xdo("mousemove", *entry_xy); xdo("click", "1")
    xdo("type", "--delay", "40", COMMAND)
    xdo("mousemove", *button_xy); xdo("click", "1")

@on_mainloop
def drive(app):
    state = {"ticks": 0, "texts": set()}
    def start():
        app.update()
        entry, button = seen["table"].entry("檢索指令"), seen["bar"].button("輸出檢索列表")
        threading.Thread(target=user, args=(centre(entry), centre(button)), daemon=True).start()
        app.after(100, watch)
    def watch():
        state["ticks"] += 1
        log = seen["box"].get("1.0", "end-1c")
        state["texts"].add(seen["bar"].cget("輸出檢索列表", "text"))
        if "輸出中" in seen["bar"].cget("輸出檢索列表", "text") and "during" not in state:
            state["during"] = True
            ImageGrab.grab().crop((0, 0, 800, 520)).save(SHOTS + "/run_during.png")
        if log.endswith("完成") or state["ticks"] > 1200:
            app.after(700, finish)
        else:
            app.after(100, watch)
    def finish():
        ImageGrab.grab().crop((0, 0, 800, 520)).save(SHOTS + "/run_after.png")
        emit({"log": seen["box"].get("1.0", "end-1c"), "command": seen["table"].get("檢索指令"),
              "texts": sorted(state["texts"]), "idle": seen["bar"].cget("輸出檢索列表", "text")})
        close(app)
    app.after(800, start)
    return True

from PIL import ImageGrab
status = host.run_window(default_config(), help_page=False)
emit({"status": status})
'''


@pytest.mark.skipif(shutil.which("xdotool") is None, reason="needs xdotool (installed by scripts/setup.sh)")
def test_typed_command_and_clicked_button_produce_a_report(tmp_path):
    shots = tmp_path / "shots"
    shots.mkdir()
    code = f"COMMAND = {COMMAND!r}\nSHOTS = {str(shots)!r}\n" + textwrap.dedent(DRIVE)
    result = run(code, timeout=240, env={"TESSALOOM_DRIVE_C": str(tmp_path)}).check()
    shown, ended = result.values
    assert ended == {"status": 0}
    assert shown["command"] == COMMAND
    lines = [line for line in shown["log"].split("\n") if not line.startswith("資料庫已就緒")]
    assert lines[0] == f"已收到檢索指令：{COMMAND}"
    hits = int(lines[1].split()[1])
    assert lines[1] == f"找到 {hits} 筆專利" and hits > 0
    report = Path(lines[2].removeprefix("報告已寫入："))
    assert lines[-2:] == ["", "完成"]
    assert "輸出中." in shown["texts"] and shown["idle"] == "輸出檢索列表"
    assert report.parent == tmp_path / "tessaloom" / "VARNEL專利檢索軟體" / "reports"

    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.load_workbook(report)
    listed = book["檢索列表"]
    assert listed.max_row - 1 == hits
    numbers = [row[1] for row in listed.iter_rows(min_row=2, values_only=True)]
    assert len(set(numbers)) == hits and all(n.startswith("TW") for n in numbers)
    assert {p.name for p in shots.iterdir()} == {"run_during.png", "run_after.png"}
