"""Tests of the shared widget-helper package used by the GUI extension.

Tk scenarios run in their own interpreter: customtkinter keeps every root
alive for the life of the process, so each scenario gets a fresh one.
"""

import functools
import importlib
import json
import logging
import os
import subprocess
import sys
import textwrap
import tkinter
from pathlib import Path

import pytest
from PIL import Image

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

PKG_NAME = "tessaloom通用模組"
PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"
# The installed package is the one under test; the source folder only backs
# it up, last, so that it never shadows the built varnel_host of the venv.
if str(PYTHON_DIR) not in sys.path:
    sys.path.append(str(PYTHON_DIR))

pkg = importlib.import_module(PKG_NAME)

RESULT_MARK = "@@RESULT@@"

# Root creation happens after the bar and table helpers exist: the extension
# constructs Set_Button() before its window.
PRELUDE = f"""
import json, logging, traceback
import customtkinter
import {PKG_NAME} as pkg

records = []
class _Keep(logging.Handler):
    def emit(self, record):
        exc = logging.Formatter().formatException(record.exc_info) if record.exc_info else ""
        records.append({{"level": record.levelname, "msg": record.getMessage(), "exc": exc}})
logging.getLogger(pkg.LOGGER_NAME).addHandler(_Keep())
logging.getLogger(pkg.LOGGER_NAME).setLevel(logging.DEBUG)

model = pkg.Customtkinter_Model()
bar = model.Set_Button()
guard = pkg.Try_Except_Model()

tk_errors = []
root = customtkinter.CTk()
root.geometry("800x600")
root.report_callback_exception = lambda e, v, tb: tk_errors.append(
    "".join(traceback.format_exception(e, v, tb)))
root.tk.createcommand("bgerror", lambda *a: tk_errors.append("bgerror: " + " ".join(map(str, a))))
root.update()
result = {{}}
"""

EPILOGUE = f"""
root.update()
for _id in root.tk.call("after", "info"):
    root.after_cancel(_id)
result["tk_errors"] = tk_errors
result["records"] = records
root.destroy()
print({RESULT_MARK!r} + json.dumps(result, ensure_ascii=False, default=repr))
"""


def run_tk(body):
    """Run ``body`` between PRELUDE and EPILOGUE in a fresh interpreter; return ``result``."""
    assert os.environ.get("DISPLAY"), "these tests need an X display (DISPLAY is unset)"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PYTHON_DIR), env.get("PYTHONPATH")]))
    env["PYTHONIOENCODING"] = "utf-8"
    code = PRELUDE + textwrap.dedent(body) + EPILOGUE
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          encoding="utf-8", timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    assert "invalid command name" not in proc.stderr, proc.stderr
    lines = [l for l in proc.stdout.splitlines() if l.startswith(RESULT_MARK)]
    assert len(lines) == 1, proc.stdout + proc.stderr
    result = json.loads(lines[0][len(RESULT_MARK):])
    assert result["tk_errors"] == [], result["tk_errors"]
    return result


# --------------------------------------------------------------- try_except_log

def _boom():
    raise ValueError("boom from handler")


CALLS = []


def _fine():
    CALLS.append("fine")
    return "ignored"


@pytest.mark.parametrize("handler, raises, name_in_log", [
    (_fine, False, None),
    (_boom, True, "_boom"),
    (functools.partial(int, "not a number"), True, "functools.partial"),
    (lambda: 1 / 0, True, "<lambda>"),
])
def test_try_except_log_returns_none_and_logs_exceptions(caplog, handler, raises, name_in_log):
    wrapped = pkg.Try_Except_Model().try_except_log(handler)
    before = len(CALLS)
    with caplog.at_level(logging.DEBUG, logger=PKG_NAME):
        assert wrapped() is None
    errors = [r for r in caplog.records if r.name == PKG_NAME and r.levelno >= logging.ERROR]
    if not raises:
        assert errors == [] and len(CALLS) == before + 1
        return
    assert len(errors) == 1
    assert name_in_log in errors[0].getMessage()
    assert errors[0].exc_info is not None
    assert "Traceback" in caplog.text


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_try_except_log_lets_base_exceptions_through(exc):
    def handler():
        raise exc()
    with pytest.raises(exc):
        pkg.try_except_log(handler)()


def test_try_except_log_metadata_and_c_callables():
    import weakref
    wrapped = pkg.try_except_log(_boom)
    assert (wrapped.__name__, wrapped.__wrapped__) == ("_boom", _boom)
    weakref.ref(wrapped)
    target = [1, 2]
    c_callable = functools.partial(list.clear, target)   # no __name__/__qualname__
    assert not hasattr(c_callable, "__name__")
    assert pkg.try_except_log(c_callable)() is None
    assert target == []
    with pytest.raises(TypeError):
        pkg.try_except_log("not callable")


def test_models_expose_helpers_and_set_button_needs_no_root():
    model = pkg.Customtkinter_Model()
    for name in ("Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"):
        assert callable(getattr(model, name))
    assert callable(pkg.Try_Except_Model().try_except_log)
    assert tkinter._default_root is None
    bar = model.Set_Button()
    assert tkinter._default_root is None
    with pytest.raises(KeyError, match="nope"):
        bar.cget("nope", "text")


# -------------------------------------------------------------------- buttons

@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"row": 0, "column": 0, "padx": 0, "pady": 0, "sticky": ""}),
    ({"row": 2, "column": 3, "padx": 5, "pady": (1, 4), "sticky": "nsew", "fg_color": "transparent"},
     {"row": 2, "column": 3, "padx": 5, "pady": [1, 4], "sticky": "nesw"}),
    ({"column": 1, "sticky": "we", "padx": (2, 7), "fg_color": "#123456", "width": 60},
     {"row": 0, "column": 1, "padx": [2, 7], "pady": 0, "sticky": "ew"}),
])
def test_add_button_placement_and_look(kwargs, expected):
    result = run_tk(f"""
        frame = customtkinter.CTkFrame(root)
        frame.grid(row=0, column=0)
        b = bar.add_button(frame, button_name="b", text="按鈕", **{kwargs!r})
        info = b.grid_info()
        theme = customtkinter.ThemeManager.theme["CTkButton"]
        font = b.cget("font")
        result.update(
            grid={{k: info[k] for k in ("row", "column", "padx", "pady", "sticky")}},
            placed=info["in"] is frame and isinstance(b, customtkinter.CTkButton),
            width=b.cget("width"), fg=b.cget("fg_color"), theme_fg=theme["fg_color"],
            hover_is_theme=b.cget("hover_color") == theme["hover_color"],
            font=[font.cget("family"), font.cget("size"), font.cget("weight")])
    """)
    assert result["grid"] == expected and result["placed"]
    assert result["width"] == kwargs.get("width", 140)
    assert result["fg"] == kwargs.get("fg_color", result["theme_fg"])
    # A transparent button must not flash the theme's accent colour on hover.
    assert result["hover_is_theme"] == (kwargs.get("fg_color") != "transparent")
    assert result["font"] == ["Microsoft JhengHei", 15, "bold"]


@pytest.fixture
def image_files(tmp_path):
    good = tmp_path / "icon.png"
    Image.new("RGBA", (64, 48), (200, 10, 10, 255)).save(good)
    text = tmp_path / "notes.png"
    text.write_text("this is not an image", encoding="utf-8")
    truncated = tmp_path / "cut.png"
    truncated.write_bytes(good.read_bytes()[:60])
    return {"good": good, "text": text, "truncated": truncated,
            "missing": tmp_path / "missing.png"}


@pytest.mark.parametrize("which, size, has_image", [
    ("good", (32, 24), True),
    ("good", None, True),
    ("missing", (20, 20), False),
    ("text", (20, 20), False),
    ("truncated", (20, 20), False),
])
def test_add_button_image(image_files, which, size, has_image):
    path = str(image_files[which])
    size_kw = "" if size is None else f", size={size!r}"
    result = run_tk(f"""
        b = bar.add_button(root, button_name="img", image_path={path!r}{size_kw})
        root.update()
        img = b.cget("image")
        result["image"] = None if img is None else list(img.cget("size"))
        result["text"] = bar.cget("img", "text")
    """)
    warnings = [r for r in result["records"] if r["level"] == "WARNING"]
    assert result["text"] == ""
    if has_image:
        assert result["image"] == list(size or (20, 20))
        assert warnings == []
    else:
        assert result["image"] is None
        assert len(warnings) == 1 and path in warnings[0]["msg"]


def test_button_names_cget_configure_invoke():
    result = run_tk("""
        pressed = []
        first = bar.add_button(root, button_name="go", text="開始",
                               button_event=lambda: pressed.append("first"))
        bar.add_button(root, text="anonymous", row=1)
        result["names_before"] = bar.names()
        bar.configure("go", text="停止")
        result["cget"] = bar.cget("go", "text")
        result["shown"] = first._text_label.cget("text")
        bar.button("go").invoke()
        second = bar.add_button(root, button_name="go", text="新", row=2,
                                button_event=lambda: pressed.append("second"))
        bar.button("go").invoke()
        result["replaced"] = bar.button("go") is second and first.winfo_exists() == 1
        result["pressed"] = pressed
        result["names_after"] = bar.names()
        errors = []
        for call in (lambda: bar.cget("missing", "text"),
                     lambda: bar.configure("missing", text="x"),
                     lambda: bar.button("missing")):
            try:
                call()
            except KeyError as exc:
                errors.append(exc.args[0])
        result["key_errors"] = errors
    """)
    assert result["names_before"] == ["go"] == result["names_after"]
    assert result["cget"] == "停止" == result["shown"]
    assert result["pressed"] == ["first", "second"]
    assert result["replaced"] is True
    assert result["key_errors"] == ["missing"] * 3


def test_guarded_command_and_timer_keep_tk_clean():
    result = run_tk("""
        hits = []
        def bad():
            hits.append("bad")
            raise RuntimeError("broken handler")
        wrapped = guard.try_except_log(bad)
        b = bar.add_button(root, button_name="bad", button_event=wrapped)
        b.invoke()
        root.after(20, wrapped)
        while len(hits) < 2:
            root.update()
        result["hits"] = hits
    """)
    errors = [r for r in result["records"] if r["level"] == "ERROR"]
    assert result["hits"] == ["bad", "bad"]
    assert len(errors) == 2
    assert all("bad" in r["msg"] and "RuntimeError: broken handler" in r["exc"] for r in errors)


# ---------------------------------------------------------------------- table

TEXTS = ["help", "檢索 中文指令", "  spaces kept  ", "", "mixed 混合 123"]


@pytest.mark.parametrize("names, use_entry_table", [
    (["檢索指令"], False),
    (["名稱", "路徑", "備註"], False),
    (["a", "b"], True),
])
def test_table_rows_round_trip(names, use_entry_table):
    result = run_tk(f"""
        frame = customtkinter.CTkFrame(root, fg_color="transparent", width=395)
        frame.place(x=10, y=30)
        names = {names!r}
        if {use_entry_table!r}:
            table = model.Entry_Table(frame, names)
        else:
            table = model.Set_Table(frame)
            for n in names:
                table.add_entry_name(n)
        root.update()
        result["layout"] = [(table.label(n).grid_info()["row"], table.label(n).grid_info()["column"],
                             table.entry(n).grid_info()["row"], table.entry(n).grid_info()["column"],
                             table.label(n).cget("text"),
                             isinstance(table.entry(n), customtkinter.CTkEntry))
                            for n in names]
        result["req_width"] = frame.winfo_reqwidth()
        result["initial"] = [table.get(n) for n in names]
        trips = []
        for text in {TEXTS!r}:
            for n in names:
                table.set(n, text)
            trips.append([table.get(n) for n in names])
        result["trips"] = trips
        table.set(names[0], "replaced")
        table.set(names[0], "again")
        result["replaced"] = table.get(names[0])
        table.delete_all()
        result["cleared"] = [table.get(n) for n in names]
        try:
            table.add_entry_name(names[0])
        except ValueError as exc:
            result["dup"] = str(exc)
        key_errors = []
        for call in (lambda: table.get("無"), lambda: table.set("無", "x"),
                     lambda: table.entry("無")):
            try:
                call()
            except KeyError as exc:
                key_errors.append(exc.args[0])
        result["key_errors"] = key_errors
    """)
    assert result["layout"] == [[i, 0, i, 1, n, True] for i, n in enumerate(names)]
    assert result["initial"] == [""] * len(names)
    assert result["trips"] == [[t] * len(names) for t in TEXTS]
    assert result["replaced"] == "again"
    assert result["cleared"] == [""] * len(names)
    assert names[0] in result["dup"]
    assert result["key_errors"] == ["無"] * 3
    if names == ["檢索指令"]:
        assert result["req_width"] <= 375


# ------------------------------------------------------------------- calendar

def test_calendar_navigation_and_selection():
    result = run_tk("""
        import datetime
        picked = []
        cal = model.CTkCalendar(root, date=datetime.date(2024, 1, 31), command=picked.append)
        cal.grid(row=0, column=0)
        result["start"] = str(cal.get_date())
        cal.show_month(-1)
        result["back"] = cal.shown_month()
        cal.select_day(29)
        cal.show_month(14)
        result["forward"] = cal.shown_month()
        result["picked"] = [str(d) for d in picked]
        result["date"] = str(cal.get_date())
    """)
    assert result["start"] == "2024-01-31"
    assert result["back"] == [2023, 12]
    assert result["forward"] == [2025, 2]
    assert result["picked"] == ["2023-12-29"]
    assert result["date"] == "2023-12-29"
