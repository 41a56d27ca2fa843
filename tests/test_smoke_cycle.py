"""End-to-end search cycle against a worker thread, through the real event loop."""

import pytest

from scenario import run_case

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display


def test_search_cycle_with_worker_thread():
    first, second = run_case("test_search_cycle", "smoke_cycle").check().values
    assert first["ok"], first
    assert first["log"] == "收到\n\n完成"
    assert second["requests"] == [{"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri",
                                   "分析最接近專利數量": 5, "檢索指令": "電池"}]
    assert second["end"] == [None] and second["end_event"] is True
