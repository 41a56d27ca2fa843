"""Loading the GUI module: each case runs in a fresh interpreter with nothing
but the test side's scenario module loaded."""

import builtins, os, sys

from scenario import main

def _names(module):
    return [n for n in vars(module) if not n.startswith("__")]

def _count_body_runs():
    """Counts calls of the shared package's widget factory; each call is one run
    of the module body (it is called exactly once per body run)."""
    import tessaloom通用模組 as pkg
    runs = []
    real_factory = pkg.Customtkinter_Model
    def counting_factory(*a, **k):
        runs.append(1)
        return real_factory(*a, **k)
    pkg.Customtkinter_Model = counting_factory
    return runs

def _import_gui():
    import GUI  # noqa: F401

def _outcome(action):
    """[type, message] of what action() raises, None when it returns."""
    try:
        action()
    except BaseException as e:
        return [type(e).__name__, str(e)]
    return None

class Reference:
    """A plain Python class with the same __init__ signature as Parameters."""
    def __init__(self):
        pass

def loaded():
    import time, webbrowser, subprocess, tkinter, customtkinter, pyautogui
    import PIL.Image, importlib.util
    import GUI, tessaloom通用模組 as pkg
    found = importlib.util.find_spec("GUI")
    folder = os.path.join(os.path.dirname(GUI.__file__), "格式範本")
    same = {
        "os": GUI.os is os, "tkinter": GUI.tkinter is tkinter,
        "customtkinter": GUI.customtkinter is customtkinter, "time": GUI.time is time,
        "webbrowser": GUI.webbrowser is webbrowser, "Image": GUI.Image is PIL.Image,
        "subprocess": GUI.subprocess is subprocess, "pyautogui": GUI.pyautogui is pyautogui,
        "tessaloom": GUI.tessaloom is pkg,
        "customtkinter_model": isinstance(GUI.customtkinter_model, pkg.Customtkinter_Model),
        "try_except": isinstance(GUI.try_except, pkg.Try_Except_Model),
        "try_except_log": GUI.try_except_log is GUI.try_except.try_except_log,
    }
    for name in ("Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"):
        same[name] = getattr(GUI, name) is getattr(GUI.customtkinter_model, name)
    P = GUI.Parameters
    a, b = P(), P()
    b.parameters["文字大小比例"] = 1.5
    b.parameters["分析最接近專利數量"] = 9
    def failure(cls, *args, **kwargs):
        try:
            cls(*args, **kwargs)
        except Exception as e:
            return [type(e).__name__, str(e).replace("Reference.", "Parameters.")]
        return None
    wrong_calls = [((1,), {}), ((1, 2), {}), ((), {"parameters": {}})]
    return {
        "names": _names(GUI),
        "dunders": {k: repr(v) for k, v in vars(GUI).items() if k.startswith("__")},
        "same_loader": GUI.__loader__ is found.loader,
        "origin": found.origin,
        "same": same,
        "file": GUI.__file__, "prefix": sys.prefix,
        "template": sorted(os.listdir(folder)) if os.path.isdir(folder) else None,
        "mro": [c is P or c is object for c in P.__mro__], "mro_len": len(P.__mro__),
        "class": [P.__module__, P.__qualname__, P.__name__,
                  sorted(k for k in vars(P) if not k.startswith("__") or k == "__init__")],
        "record": [[k, v, type(v).__name__] for k, v in a.parameters.items()],
        "record_attrs": sorted(vars(a)),
        "dict_type": type(a.parameters).__name__,
        "after_change_of_other": a.parameters,
        "fresh_after_change": P().parameters,
        "own_dicts": a.parameters is not b.parameters,
        "wrong": [[failure(Reference, *c[0], **c[1]), failure(P, *c[0], **c[1])] for c in wrong_calls],
    }

def factories():
    import tessaloom通用模組 as pkg
    calls, looked_up = [], []
    class Holder:
        def __init__(self, kind, names):
            self.kind, self.values = kind, {n: object() for n in names}
        def __getattr__(self, name):
            looked_up.append(name)
            return self.values[name]
    holders = {}
    def factory(kind, names):
        def make(*args, **kwargs):
            calls.append([kind, len(args), sorted(kwargs)])
            holders[kind] = Holder(kind, names)
            return holders[kind]
        return make
    pkg.Customtkinter_Model = factory("widgets", ["Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"])
    pkg.Try_Except_Model = factory("errors", ["try_except_log"])
    import GUI
    w, e = holders["widgets"], holders["errors"]
    return {"calls": calls, "looked_up": looked_up,
            "models": [GUI.customtkinter_model is w, GUI.try_except is e],
            "bound": [getattr(GUI, n) is v for h in (w, e) for n, v in h.values.items()]}

def second_interpreter(first):
    """Create the module in the main interpreter and in a sub-interpreter, `first` first.
    The sub-interpreter only creates the module (no body run), so it needs no Tk."""
    import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    sub_code = "import sys, _imp, importlib.util\nsys.path[:] = %r\n" % (sys.path,)
    sub_code += "_imp.create_dynamic(importlib.util.find_spec('GUI'))\n"
    def in_sub():
        interpreters.run_string(interp, sub_code)
    def in_main():
        import GUI  # noqa: F401
    order = [in_main, in_sub] if first == "main" else [in_sub, in_main]
    return [_outcome(step) or "ok" for step in order]

def repeated_imports():
    import _imp, importlib, importlib.util
    body_runs = _count_body_runs()
    import GUI
    first = GUI
    marker = object()
    GUI.Parameters = marker  # a new body run would bind the real class again
    import GUI
    del sys.modules["GUI"]
    again = importlib.import_module("GUI")
    created = _imp.create_dynamic(importlib.util.find_spec("GUI"))
    exec_result = _imp.exec_dynamic(first)
    return {"runs": len(body_runs), "same": [GUI is first, again is first, created is first],
            "registered": sys.modules["GUI"] is first, "untouched": first.Parameters is marker,
            "exec_result": exec_result}

def second_module_object():
    import _imp, importlib.util
    body_runs = _count_body_runs()
    found = importlib.util.find_spec("GUI")
    fresh = _imp.create_dynamic(found)   # created, never executed
    import GUI
    return {"distinct": fresh is not GUI, "fresh_file": fresh.__file__ == found.origin,
            "error": _outcome(lambda: _imp.exec_dynamic(fresh)),
            "fresh_names": _names(fresh), "runs": len(body_runs), "registered": sys.modules["GUI"] is GUI,
            "intact": _names(GUI)}

def _fail_at_pyautogui(failed_module):
    """A failure at pyautogui comes before the widget factory runs."""
    class BlockOnce:
        def find_spec(self, name, path=None, target=None):
            if name == "pyautogui" and not failed_module:
                failed_module.append(sys.modules.get("GUI"))
                raise ModuleNotFoundError("No module named 'pyautogui'", name="pyautogui")
    sys.meta_path.insert(0, BlockOnce())

def _fail_at_error_factory(failed_module):
    """A failure of Try_Except_Model comes after the widget factory ran."""
    import tessaloom通用模組 as pkg
    real_errors = pkg.Try_Except_Model
    def failing_once(*a, **k):
        if not failed_module:
            failed_module.append(sys.modules.get("GUI"))
            raise RuntimeError("no error helper")
        return real_errors(*a, **k)
    pkg.Try_Except_Model = failing_once

IMPORT_FAILURES = {"pyautogui-missing": _fail_at_pyautogui, "error-helper-fails": _fail_at_error_factory}

def failed_import(failure):
    """Import GUI with IMPORT_FAILURES[failure] failing once (capturing the
    module object that the failing import was executing), then again."""
    body_runs = _count_body_runs()
    failed_module = []
    IMPORT_FAILURES[failure](failed_module)
    state = {"error": _outcome(_import_gui), "runs": len(body_runs), "registered": "GUI" in sys.modules}
    import GUI
    state.update(retry_runs=len(body_runs), names=_names(GUI),
                 captured=failed_module[0] is not None, new_object=failed_module[0] is not GUI,
                 registered_after=sys.modules["GUI"] is GUI)
    return state

def missing_builtin(name):
    body_runs = _count_body_runs()
    saved = getattr(builtins, name)
    delattr(builtins, name)
    try:
        first_error = _outcome(_import_gui)
    finally:
        setattr(builtins, name, saved)
    state = {"error": first_error, "runs": len(body_runs), "registered": "GUI" in sys.modules}
    import GUI
    state.update(retry_runs=len(body_runs), names=_names(GUI))
    return state

def tk_missing():
    """tkinter cannot be imported at all; the in-flight module is captured when
    the body reaches pyautogui."""
    sys.modules["tkinter"] = None
    in_flight = []
    class Spy:
        def find_spec(self, name, path=None, target=None):
            if name == "pyautogui":
                in_flight.append(sys.modules.get("GUI"))
    sys.meta_path.insert(0, Spy())
    error = _outcome(_import_gui)
    m = in_flight[0] if in_flight else None
    return {"error": error, "rest": sys.stdin.read(), "registered": "GUI" in sys.modules,
            "bound": sorted(_names(m)) if m is not None else None}

def installer_provides_tkinter():
    marker = os.environ["PY_MARKER"]
    class NotYetInstalled:
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] == "tkinter" and not os.path.exists(marker):
                raise ModuleNotFoundError("No module named 'tkinter'", name="tkinter")
    sys.meta_path.insert(0, NotYetInstalled())
    import GUI, tkinter, customtkinter
    return {"rest": sys.stdin.read(), "tk": GUI.tkinter is tkinter, "ctk": GUI.customtkinter is customtkinter,
            "names": _names(GUI)}

def toolkits_importable():
    import GUI  # noqa: F401
    return {"rest": sys.stdin.read()}

def as_main_program():
    import _imp, importlib.util
    from harness import close, on_mainloop
    events = []
    def closing(app):
        events.append("closed")
        close(app)
    @on_mainloop
    def hook(app):
        m = sys.modules["GUI"]
        events.append(["window", app.title(), "Parameters" in vars(m) and "GUI" in vars(m)])
        app.after(300, lambda: closing(app))
        return True  # the real event loop runs until the window closes
    m = _imp.create_dynamic(importlib.util.find_spec("GUI"))
    m.__name__ = "__main__"
    events.append(["exec", _imp.exec_dynamic(m)])
    import GUI
    return {"events": events, "registered": GUI is m, "name": m.__name__, "names": _names(m)}

def _keyword_1():
    return {1: 2}

CALLS = {
    "no-arguments": lambda f, Q, E: f(),
    "one-positional": lambda f, Q, E: f(Q),
    "three-positional": lambda f, Q, E: f(Q, E, 3),
    "keyword-queue-only": lambda f, Q, E: f(Queue_All_variable=Q),
    "keyword-event-only": lambda f, Q, E: f(Event_All_variable=E),
    "positional-and-same-keyword": lambda f, Q, E: f(Q, Queue_All_variable=Q),
    "two-positional-and-keyword": lambda f, Q, E: f(Q, E, Event_All_variable=E),
    "unknown-keyword": lambda f, Q, E: f(Q, E, foo=1),
    "unknown-keyword-and-missing": lambda f, Q, E: f(Q, foo=1),
    "three-positional-and-unknown-keyword": lambda f, Q, E: f(Q, E, 3, foo=1),
    "three-positional-and-same-keyword": lambda f, Q, E: f(Q, E, 3, Queue_All_variable=Q),
    "non-string-keyword": lambda f, Q, E: f(Q, E, **_keyword_1()),
    "keywords": lambda f, Q, E: f(Queue_All_variable=Q, Event_All_variable=E),
    "keywords-reversed": lambda f, Q, E: f(Event_All_variable=E, Queue_All_variable=Q),
    "positional-then-keyword": lambda f, Q, E: f(Q, Event_All_variable=E),
    "positional": lambda f, Q, E: f(Q, E),
}

class _Reached(Exception):
    pass

def _stop_at_settings_record(GUI):
    """The step after the folders raises _Reached: a call gets that far or not."""
    def parameters(*a, **k):
        raise _Reached
    GUI.Parameters = parameters

def wrong_calls(names):
    """Each call of CALLS against a Python function of the same signature and
    against GUI.GUI, and what the drive holds after it."""
    import GUI
    drive = os.environ["TESSALOOM_DRIVE_C"]
    _stop_at_settings_record(GUI)
    def GUI_reference(Queue_All_variable, Event_All_variable):
        pass
    GUI_reference.__name__ = GUI_reference.__qualname__ = "GUI"
    Q, E = {}, {}
    out = {}
    for name in names:
        row = []
        for f in (GUI_reference, GUI.GUI):
            try:
                CALLS[name](f, Q, E)
                row.append(None)
            except Exception as e:
                row.append([type(e).__name__, str(e)])
        out[name] = row + [os.listdir(drive)]
    return out

def valid_call(name):
    import GUI
    _stop_at_settings_record(GUI)
    try:
        CALLS[name](GUI.GUI, {}, {})
        return "returned"
    except _Reached:
        return "reached settings record"
    except Exception as e:
        return [type(e).__name__, str(e)]

if __name__ == "__main__":
    main(globals())
