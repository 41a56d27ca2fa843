"""Search launch, progress/log poller and the worker channel, end to end.

Every window scenario (tests/scenarios/search_cycle.py) runs in its own
interpreter (one Tk root per process). The harness captures the wrapped
handlers, the button bar, the entry table, the settings record and the log
box, so a scenario can press the output button and run single poller ticks
without any timing.
"""

from __future__ import annotations

import shutil

import pytest

from scenario import run_case
from varnel_host.channel import COMPLETION_MARKER as MARK

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

IDLE = "輸出檢索列表"
DEFAULT_SETTINGS = [["文字大小比例", "int", 1], ["中文文字字體", "str", "標楷體"],
                    ["英文文字字體", "str", "Calibri"], ["分析最接近專利數量", "int", 5]]
ERROR_LINE = "button_event_001函數出現錯誤\n"

def window(case: str, *arguments, timeout: float = 90):
    """Run a case of the search-cycle scenarios and require a clean exit."""
    return run_case("scenarios.search_cycle", case, *arguments, timeout=timeout).check()


# --------------------------------------------------------------------------- launch

@pytest.mark.parametrize("command", ["電池", "   ", " (A OR B) AND 鋰 ", "x" * 300, ""])
def test_launch_raises_flag_then_sends_request(command):
    got = window("launch", command).values[0]
    if command:  # sent unchanged, not trimmed; the log is cleared
        assert got["calls"] == [["set", "get_receipt"], ["put", "起始數據"]]
        assert got["requests"] == [DEFAULT_SETTINGS + [["檢索指令", "str", command]]]
        assert got["log"] == ""
    else:  # nothing sent; only the prompt, in the default colour
        assert got["calls"] == [["set", "get_receipt"]] and got["requests"] == []
        assert got["log"] == "請輸入關鍵字\n"
    assert got["tags"] == {} and got["red"] == "red"
    assert got["flag"] is True and got["errors"] == []


def test_repeated_presses_send_fresh_requests_and_clear_the_log():
    got = window("repeated_presses").values[0]
    assert got["after_first"] == "r1\n"
    assert got["after_second"] == ""
    assert got["end"] == "r2\n"
    assert got["same_object"] is False
    assert got["requests"] == [
        DEFAULT_SETTINGS + [["檢索指令", "str", "第一"]],
        [["文字大小比例", "float", 1.25], ["中文文字字體", "str", "新細明體"],
         ["英文文字字體", "str", "Arial"], ["分析最接近專利數量", "int", 8], ["檢索指令", "str", "第二"]],
    ]
    assert got["flag"] is True


RED_LINES = "舊紀錄\n" + ERROR_LINE + "{}\n"


# breakage, log afterwards, errors handed to the wrapper, run flag afterwards
@pytest.mark.parametrize("breakage, logged, errors, flag", [
    ("start-queue-missing", RED_LINES.format(str(KeyError("起始數據"))), [], True),
    ("put-fails", RED_LINES.format("佇列已關閉"), [], True),
    ("run-flag-missing", "舊紀錄\n", [["button_event_001", "KeyError"]], None),
    ("setting-missing", "舊紀錄\n", [["button_event_001", "KeyError"]], True),
], ids=["start-queue-missing", "put-fails", "run-flag-missing", "setting-missing"])
def test_launch_failures(breakage, logged, errors, flag):
    got = window("launch_failure", breakage).values[0]
    assert got["log"] == logged and got["put"] == 0
    # Only the fixed error line bears the (red) tag; the message line is untagged.
    assert got["tags"] == ({"red_tag": [ERROR_LINE]} if ERROR_LINE in logged else {})
    # The colour is configured at the end of a press that gets past the request.
    assert got["red"] == ("red" if not errors else None)
    assert got["errors"] == errors
    assert got["flag"] is flag


def test_launch_outside_attached_mode_only_raises_the_flag():
    got = window("launch_unattached").values[0]
    assert got["seen"] == [["舊紀錄\n", True], ["舊紀錄\n", True]]
    assert got["calls"] == [["set", "get_receipt"]] * 2
    assert got["errors"] == []


# --------------------------------------------------------------------------- poller

# (flag raised, button text before the tick, text after the tick)
ANIMATION = [
    (True, IDLE, "輸出中."), (True, "輸出中.", "輸出中.."), (True, "輸出中..", "輸出中..."),
    (True, "輸出中...", "輸出中."), (True, "輸出中....", "輸出中."), (True, " 輸出中.", "輸出中."),
    (True, "", "輸出中."), (False, "輸出中..", IDLE), (False, "輸出中.", IDLE), (False, "其他", IDLE),
    (False, IDLE, IDLE),
]


@pytest.fixture(scope="module")
def animation():
    result = window("animation", ANIMATION)
    return result.values[0]


@pytest.mark.parametrize("index, row", list(enumerate(ANIMATION)), ids=[repr(r) for r in ANIMATION])
def test_poller_button_text(animation, index, row):
    assert animation["rows"][index] == row[2]


def test_poller_busy_cycle_and_run_end(animation):
    assert animation["cycle"] == ["輸出中.", "輸出中..", "輸出中...", "輸出中.", IDLE]
    # The marker's tick still advances the button; the idle text comes a tick later.
    assert animation["run"] == [["輸出中.", True], ["輸出中..", True], ["輸出中...", False], [IDLE, False]]
    assert animation["log"] == "a\nb\n\n完成"
    # Every tick re-arms itself with the wrapped poller, 500 ms ahead.
    assert animation["rearms"] == [[500, True]] * animation["ticks"]
    assert animation["errors"] == []


# name (its receipts are in the scenario): (flag before, log after each tick, flag after the last tick)
RECEIPTS = {
    "three-in-order": (True, ["a\n", "a\nb\n", "a\nb\nc\n"], True),
    "int": (True, ["42\n"], True),
    "none": (True, ["None\n"], True),
    "list": (True, ["[1, 'x']\n"], True),
    "bytes": (True, ["b'x'\n"], True),
    "float": (True, ["2.5\n"], True),
    "marker-inside-line": (True, [f"前{MARK}後\n"], True),
    "marker-trailing-blank": (True, [f"{MARK} \n"], True),
    "marker-trailing-newline": (True, [f"{MARK}\n\n"], True),
    "marker-as-bytes": (True, [repr(MARK.encode()) + "\n"], True),
    "marker-ends-run": (True, ["a\n", "a\nb\n", "a\nb\n\n完成"], False),
    "marker-flag-lowered": (False, ["\n完成"], False),
    "receipt-after-marker": (True, ["\n完成", "\n完成遲到\n"], False),
    "while-idle": (False, ["x\n"], False),
    "empty-queue": (True, ["", ""], True),
    "str-raises": (True, ["", "next\n"], True),
    "eq-raises": (True, ["", "next\n"], True),
}
OLD = "舊\n"


@pytest.fixture(scope="module")
def receipts():
    cases = [[name, flag, len(logs)] for name, (flag, logs, _) in RECEIPTS.items()]
    result = window("receipts", cases)
    return result.values[0]


@pytest.mark.parametrize("name", list(RECEIPTS))
def test_poller_moves_one_receipt_per_tick(receipts, name):
    _, logs, flag = RECEIPTS[name]
    got = receipts[name]
    assert got["logs"] == [OLD + line for line in logs]
    assert got["flag"] is flag
    assert got["left"] == 0
    assert got["rearms"] == [[500, True]] * len(logs)
    assert got["errors"] == []


def test_poller_survives_lone_surrogate(receipts):
    got = receipts["surrogate"]
    assert got["log"] in ("later\nlast\n", "\\ud800\nlater\nlast\n", "\\ufffd\nlater\nlast\n")
    assert got["errors"] == []


@pytest.mark.parametrize("missing, texts, log", [
    ("Q", ["輸出中.", "輸出中.."], ""),
    ("E", [IDLE, IDLE], "a\n\n完成"),
], ids=["receipt-queue", "run-flag"])
def test_poller_keeps_polling_with_a_channel_key_missing(missing, texts, log):
    got = window("channel_key_missing", missing).values[0]
    assert got["texts"] == texts
    assert got["log"] == log
    assert got["rearms"] == [[500, True], [500, True]]
    assert got["errors"] == []


def test_poller_checks_empty_before_every_get():
    got = window("empty_before_get").values[0]
    assert got["calls"] == [["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["get", "get_receipt", [], {}],
                            ["empty", "get_receipt"], ["empty", "get_receipt"]]
    assert got["log"] == "a\nb\n"


def test_window_stays_responsive_with_a_large_backlog():
    got = window("large_backlog").values[0]
    assert got["ran"] == [True]
    assert got["ticks"] >= 1
    # One receipt per tick, in order, the rest still waiting.
    assert got["lines"] == [f"r{i}" for i in range(got["ticks"])]
    assert got["left"] == 10000 - got["ticks"]


# --------------------------------------------------------------------------- end to end

@pytest.mark.parametrize("kind", [
    "thread",
    pytest.param("thread-typed", marks=pytest.mark.skipif(shutil.which("xdotool") is None,
                                                         reason="xdotool not installed")),
    "process",
])
def test_search_cycle_with_worker(kind):
    command = "battery cell 2024" if kind == "thread-typed" else "電池 與 鋰"
    typed = kind == "thread-typed"
    shown, report = window("echo_worker_cycle", command, typed, kind == "process", timeout=180).values
    assert shown["stage"] == "done", shown
    assert shown["log"] == f"收到 {command}\n123\n第三行\n\n完成"
    assert "輸出中." in shown["texts"] and set(shown["texts"]) <= {IDLE, "輸出中.", "輸出中..", "輸出中..."}
    assert shown["errors"] == []
    assert report["requests"] == [[[k, v] for k, _, v in DEFAULT_SETTINGS] + [["檢索指令", command]]]
    assert report["end_set"] is True and report["end"] is None
    assert report["alive"] is False and report["exitcode"] == 0


@pytest.mark.parametrize("processes", [False, True], ids=["thread", "process"])
def test_reference_worker_answers_the_window(tmp_path, processes):
    result = window("reference_worker_cycle", str(tmp_path / "db.sqlite3"), str(tmp_path / "reports"), processes,
                    timeout=180)
    shown, ended = result.values
    assert shown["stage"] == "done", shown
    lines = shown["log"].split("\n")
    # The worker's start-up line may arrive before or after the press clears the log.
    lines = [line for line in lines if not line.startswith("資料庫已就緒")]
    assert lines[0] == "已收到檢索指令：(電池 OR battery)@TI,AB AND AD=2015:2024"
    assert lines[1].startswith("找到 ") and int(lines[1].split()[1]) > 0
    written = [line.removeprefix("報告已寫入：") for line in lines if line.startswith("報告已寫入：")]
    assert len(written) == 1 and lines[2].startswith("1. TW")
    assert lines[-2:] == ["", "完成"]
    reports = list((tmp_path / "reports").glob("*.xlsx"))
    assert [str(p) for p in reports] == written
    assert shown["errors"] == []
    assert ended == {"alive": False, "exitcode": 0}
