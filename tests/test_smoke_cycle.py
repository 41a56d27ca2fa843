"""End-to-end search cycle against a worker thread, through the real event loop."""

import pytest

from scenario import run

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display


def test_search_cycle_with_worker_thread():
    result = run(r'''
        import queue, threading
        import GUI
        from varnel_host.channel import COMPLETION_MARKER
        Q = {"起始數據": queue.Queue(), "get_receipt": queue.Queue(), "end": queue.Queue()}
        E = {"get_receipt": threading.Event(), "end": threading.Event()}
        requests = []

        def worker():
            while True:
                req = Q["起始數據"].get()
                if req is None:
                    return
                requests.append(req)
                Q["get_receipt"].put("收到")
                Q["get_receipt"].put(COMPLETION_MARKER)

        t = threading.Thread(target=worker)
        t.start()

        @on_mainloop
        def hook(app):
            import GUI as module
            table = module_state["table"]
            table.set("檢索指令", "電池")
            module_state["button"].invoke()
            ok = wait_for(app, lambda: E["get_receipt"].is_set() is False and "完成" in module_state["box"].get("1.0", "end"))
            emit({"ok": ok, "log": module_state["box"].get("1.0", "end-1c"),
                  "text": module_state["bar"].cget("輸出檢索列表", "text")})
            return False

        module_state = {}
        real_table, real_bar, real_box = GUI.Set_Table, GUI.Set_Button, GUI.customtkinter.CTkTextbox
        def Set_Table(master):
            module_state["table"] = real_table(master); return module_state["table"]
        def Set_Button():
            bar = real_bar(); module_state["bar"] = bar
            add = bar.add_button
            def add_button(master, **kw):
                b = add(master, **kw)
                if kw.get("button_name") == "輸出檢索列表":
                    module_state["button"] = bar.button("輸出檢索列表")
                return b
            bar.add_button = add_button
            return bar
        class Box(real_box):
            def __init__(self, *a, **k):
                super().__init__(*a, **k); module_state["box"] = self
        GUI.Set_Table, GUI.Set_Button = Set_Table, Set_Button
        GUI.customtkinter = type(GUI.customtkinter)("ctk_standin")
        import customtkinter
        GUI.customtkinter.__dict__.update(customtkinter.__dict__)
        GUI.customtkinter.CTkTextbox = Box
        assert GUI.GUI(Q, E) is None
        t.join(5)
        emit({"requests": requests, "end": [Q["end"].get_nowait()], "end_event": E["end"].is_set()})
    ''')
    result.check()
    first, second = result.values
    assert first["ok"], first
    assert first["log"] == "收到\n\n完成"
    assert second["requests"] == [{"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri",
                                   "分析最接近專利數量": 5, "檢索指令": "電池"}]
    assert second["end"] == [None] and second["end_event"] is True
