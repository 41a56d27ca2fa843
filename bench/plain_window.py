"""The main window written in plain Python: the floor the `GUI` module is measured against.

`main(Queue_All_variable, Event_All_variable)` does what `GUI.GUI` does, with
the same customtkinter widgets and the same helper package: folders, settings
record, button bar, window with icon, frames, log box, header, entry table,
wrapped handlers, buttons, settings strip, Enter bindings, poller, event loop
and shutdown signals. Handlers the benchmarks never run are one-liners.

    DISPLAY=... python bench/plain_window.py     # opens the window
"""

import glob
import os
import queue
import subprocess
import sys
import threading
import tkinter
import webbrowser

import customtkinter
from PIL import Image, ImageTk

from tessaloom通用模組 import Set_Button, Set_Table, try_except_log
from varnel_host.channel import COMPLETION_MARKER as MARKER

# The template images installed beside the GUI module (found without importing it).
TEMPLATES = next(os.path.join(os.path.dirname(path), "格式範本") for folder in sys.path
                 for path in glob.glob(os.path.join(folder or ".", "GUI.*.so")))
OUTPUT = "輸出檢索列表"
BUSY = {"輸出中.": "輸出中..", "輸出中..": "輸出中...", "輸出中...": "輸出中."}


def bold_font(size):
    return customtkinter.CTkFont(family="Microsoft JhengHei", size=size, weight="bold")


def main(Queue_All_variable, Event_All_variable):
    root = os.environ.get("TESSALOOM_DRIVE_C") or os.path.expanduser("~")
    for folder in ("tessaloom/", "tessaloom/VARNEL專利檢索軟體/"):
        try:
            os.mkdir(os.path.join(root, folder))
        except Exception:
            pass
    PP = {"顯示免用統一發票章": False, "顯示負責人章": False, "顯示日期": True, "文字大小比例": 1,
          "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5}
    set_button = Set_Button()
    customtkinter.set_appearance_mode("dark")
    customtkinter.set_default_color_theme("blue")
    app = customtkinter.CTk()
    app.title("VARNEL專利檢索軟體")
    for column in range(3):
        app.columnconfigure(column, weight=1)
    app.resizable(False, False)
    try:  # Tk on X11 reads no .ico: Pillow decodes it, iconphoto sets it
        icon = ImageTk.PhotoImage(Image.open(os.path.join(TEMPLATES, "logo.ico")), master=app)
        app.iconphoto(True, icon)
    except Exception as e:
        print(e)

    def top(row, column, padx, pady, sticky, **span):
        f = customtkinter.CTkFrame(master=app, fg_color="transparent")
        f.grid(row=row, column=column, padx=padx, pady=pady, sticky=sticky, **span)
        return f
    FF = top(0, 0, (10, 5), (10, 5), "nsew", columnspan=2)
    AA = top(1, 0, (10, 5), (5, 0), "nsew")
    BB = top(1, 1, (0, 10), (5, 0), "nsew")
    DD = top(2, 0, (10, 10), (5, 10), "ew", columnspan=2)
    frame = [[] for _ in range(10)]
    frame[1] = customtkinter.CTkFrame(AA, width=395, height=110)
    frame[1].grid(row=0, column=0, sticky="new")
    frame[5] = customtkinter.CTkFrame(frame[1], width=395, height=110, fg_color="transparent")
    frame[5].place(x=10, y=30)
    frame[2] = customtkinter.CTkFrame(BB, width=300, height=110)
    frame[2].grid(row=0, column=0, sticky="new")
    frame[4] = customtkinter.CTkFrame(FF, height=10, fg_color="transparent")
    frame[4].grid(row=0, column=0, sticky="nsew", rowspan=2)
    frame[6] = customtkinter.CTkFrame(DD, height=10, fg_color="transparent")
    frame[6].grid(row=0, column=0, sticky="nsew", rowspan=2)
    textbox = customtkinter.CTkTextbox(master=frame[6], width=700, height=300, corner_radius=0)
    textbox.grid(row=0, column=0, sticky="nsew")
    try:
        for name, size, column, padx in (("logo.png", (50, 50), 0, (0, 5)),
                                         ("logo(僅文字).png", (120, 30), 1, (0, 15))):
            path = os.path.join(TEMPLATES, name)
            image = customtkinter.CTkImage(light_image=Image.open(path), dark_image=Image.open(path), size=size)
            customtkinter.CTkButton(frame[4], image=image, text="", state="disabled", width=50,
                                    fg_color="transparent").grid(row=0, column=column, padx=padx, sticky="w")
        customtkinter.CTkLabel(frame[4], text="VARNEL專利檢索軟體", font=bold_font(16)).grid(
            row=0, column=2, sticky="nsew")
    except Exception as e:
        print(e)
    set_table = Set_Table(frame[5])
    set_table.add_entry_name("檢索指令")

    def button_event_001():  # search launch
        Event_All_variable["get_receipt"].set()
        request = {k: PP[k] for k in ("文字大小比例", "中文文字字體", "英文文字字體", "分析最接近專利數量")}
        request["檢索指令"] = set_table.get("檢索指令")
        if request["檢索指令"] != "":
            Queue_All_variable["起始數據"].put(request)
        textbox.delete("1.0", tkinter.END)
    button_event_001 = try_except_log(button_event_001)
    button_event_003 = try_except_log(lambda: set_table.delete_all())
    button_event_004 = try_except_log(lambda: None)  # font dialog, never opened here
    button_event_005 = try_except_log(lambda: subprocess.Popen(["xdg-open", root]))
    button_event_006 = try_except_log(lambda: None)  # file pickers, never opened here
    button_event_007 = try_except_log(lambda: None)
    button_event_008 = try_except_log(lambda: webbrowser.open("https://localhost:34008/"))
    button_event_009 = try_except_log(lambda: None)  # count dialog, never opened here

    set_button.add_button(BB, button_name=OUTPUT, text=OUTPUT, button_event=button_event_001,
                          size=(25, 25), padx=50, pady=10, sticky="", width=140)
    for name, handler, padx in (("資料夾.png", button_event_005, (178, 55)),
                                ("問號001.png", button_event_008, (78, 105))):
        set_button.add_button(FF, image_path=os.path.join(TEMPLATES, name), button_event=handler,
                              size=(25, 25), padx=padx, row=0, column=1, fg_color="transparent")
    # Settings strip of the output card and the Enter key of the command entry.
    for i, (caption, command) in enumerate((("字體與大小", button_event_004), ("分析數量", button_event_009),
                                            ("清除指令", button_event_003))):
        customtkinter.CTkButton(frame[2], text=caption, command=command, width=84, height=24,
                                font=bold_font(13), fg_color="transparent", border_width=1,
                                text_color=("gray10", "#DCE4EE")).place(x=12 + i * 96, y=78)
    on_enter = lambda *_: button_event_001()  # noqa: E731
    for child in frame[5].winfo_children():
        if isinstance(child, customtkinter.CTkEntry):
            child.bind("<Return>", on_enter, add=True)
            child.bind("<KP_Enter>", on_enter, add=True)

    def aa():  # one tick of the poller
        try:
            if Event_All_variable["get_receipt"].is_set():
                text = BUSY.get(set_button.cget(OUTPUT, "text"), "輸出中.")
            else:
                text = OUTPUT
            set_button.configure(OUTPUT, text=text)
        except Exception:
            pass
        try:
            receipts = Queue_All_variable["get_receipt"]
            if not receipts.empty():
                PAPN = receipts.get()
                if PAPN != MARKER:
                    textbox.insert(tkinter.END, f"{PAPN}\n")
                else:
                    textbox.insert(tkinter.END, "\n完成")
                    Event_All_variable["get_receipt"].clear()
        except Exception:
            pass
        app.after(500, aa)
    aa = try_except_log(aa)
    app.after(500, aa)
    app.mainloop()
    Queue_All_variable["end"].put(None)
    Event_All_variable["end"].set()
    Queue_All_variable["起始數據"].put(None)


def channel():
    """A fresh worker channel: (queues, events)."""
    return ({k: queue.Queue() for k in ("起始數據", "get_receipt", "end")},
            {k: threading.Event() for k in ("get_receipt", "end")})


if __name__ == "__main__":
    main(*channel())
