"""The reference worker's side of the channel, in a real worker process."""

from __future__ import annotations

import gc
import io
import multiprocessing
import os
import queue
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import openpyxl
import pytest
from unittest.mock import Mock

from varnel_host import report, report_file
from varnel_host import request as request_module
from varnel_host.contract import RankedHits
from varnel_host.cell_text import clean_text
from varnel_host.loading import add_records
from varnel_host.records import PatentRecord
from varnel_host.store import PatentStore
from varnel_host.channel import COMPLETION_MARKER, make_channel
from varnel_host.stores import open_store as open_default_store
from varnel_host.worker import Progress, Worker, WorkerConfig, serve

CTX = multiprocessing.get_context("spawn")
REQUEST = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5}


def request(command, **changes):
    return {**REQUEST, **changes, "檢索指令": command}


@pytest.fixture
def worker(tmp_path):
    """A worker process on a fresh database; yields (queues, events, process, config)."""
    config = WorkerConfig(database=tmp_path / "db" / "patents.sqlite3", reports=tmp_path / "reports",
                          poll_seconds=0.05)
    queues, events = make_channel(processes=True, context=CTX)
    process = CTX.Process(target=serve, args=(queues, events, config))
    process.start()
    yield queues, events, process, config
    if process.is_alive():
        events["end"].set()
        process.join(20)
        if process.is_alive():
            process.kill()


def receipts_of_one_run(queues, timeout=60):
    """Receipts up to and including the completion marker."""
    got = []
    while not got or got[-1] != COMPLETION_MARKER:
        got.append(queues["get_receipt"].get(timeout=timeout))
    return got


def without_startup(receipts):
    return [r for r in receipts if not r.startswith("資料庫已就緒")]


def test_a_run_answers_with_receipts_then_the_marker_and_writes_the_report(worker):
    queues, events, process, config = worker
    queues["起始數據"].put(request("(電池 OR battery)@TI,AB AND AD=2015:2024", 分析最接近專利數量=3))
    got = without_startup(receipts_of_one_run(queues))
    assert got[0] == "已收到檢索指令：(電池 OR battery)@TI,AB AND AD=2015:2024"
    assert got[1].startswith("找到 ") and int(got[1].split()[1]) > 3
    # the three closest, best first, one line each: "1. <number> <title>（<score>）"
    closest = [re.fullmatch(r"(\d+)\. (\S+) (.+)（(\d+\.\d\d)）", line) for line in got[2:5]]
    assert [int(m[1]) for m in closest] == [1, 2, 3]
    assert [float(m[4]) for m in closest] == sorted((float(m[4]) for m in closest), reverse=True)
    assert got[5] == "本次檢索編號 #1" and got[6].startswith("報告已寫入：") and got[-1] == COMPLETION_MARKER
    report = Path(got[6].removeprefix("報告已寫入："))
    assert report.parent == config.reports and report.suffix == ".xlsx"

    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.load_workbook(report)
    assert book.sheetnames[:3] == ["檢索列表", "同族列表", "分析最接近專利數量"]
    assert book["檢索列表"].max_row - 1 == int(got[1].split()[1])
    top = list(book["分析最接近專利數量"].iter_rows(min_row=2, max_col=3, values_only=True))
    assert [(str(rank), number, title) for rank, number, title in top] == [m.group(1, 2, 3) for m in closest]


@pytest.mark.parametrize("bad, expected", [
    ("電池 AND", "檢索指令有誤"),
    ("XY=電池", "檢索指令有誤"),
    ("(電池 OR battery", "檢索指令有誤"),
    ("AD=20241331", "檢索指令有誤"),
    ("   ", "錯誤：檢索指令是空白的"),
    ("SIM=TWI999999B AND AD=2015", "檢索指令有誤：資料庫中沒有公開公告號「TWI999999B」"),
    ('SIM="，。！"', "檢索指令有誤"),
    ("REF/2=TWI999999B OR 電池", "檢索指令有誤：REF/2=：資料庫中沒有公開公告號「TWI999999B」"),
    ("CT/4=TWI999999B", "檢索指令有誤：「CT/4=」：引用鏈的層數要是 1 到 3"),
])
def test_a_bad_command_ends_with_an_error_receipt_and_the_worker_goes_on(worker, bad, expected):
    queues, events, process, config = worker
    queues["起始數據"].put(request(bad))
    got = without_startup(receipts_of_one_run(queues))
    assert any(line.startswith(expected) for line in got), got
    assert got[-1] == COMPLETION_MARKER
    assert not list(config.reports.glob("*.xlsx"))
    # The next, good request is served as usual.
    queues["起始數據"].put(request("電池"))
    assert any(r.startswith("報告已寫入：") for r in receipts_of_one_run(queues))


class Unreadable:
    """Pickles fine; unpickling it in the worker raises (as a damaged request would)."""

    def __reduce__(self):
        return int, ("not a number",)


@pytest.mark.parametrize("malformed", [["a", "list"], "not a mapping", {"檢索指令": 42}, {"no": "command"},
                                       Unreadable()])
def test_a_malformed_request_is_reported_not_fatal(worker, malformed):
    queues, events, process, config = worker
    queues["起始數據"].put(malformed)
    got = without_startup(receipts_of_one_run(queues))
    assert got[0].startswith("錯誤") and got[-1] == COMPLETION_MARKER
    assert process.is_alive()


@pytest.mark.parametrize("ending", ["none on the start queue", "end event"])
def test_the_worker_ends_on_either_shutdown_signal(worker, ending):
    queues, events, process, config = worker
    if ending == "end event":
        events["end"].set()
    else:
        queues["起始數據"].put(None)
    process.join(20)
    assert process.exitcode == 0


def test_an_unopenable_database_is_reported_and_each_run_still_completes(tmp_path):
    blocker = tmp_path / "not-a-folder"
    blocker.write_text("x")
    config = WorkerConfig(database=blocker / "patents.sqlite3", reports=tmp_path / "reports",
                          poll_seconds=0.05)
    queues, events = make_channel()
    thread = threading.Thread(target=serve, args=(queues, events, config))
    thread.start()
    try:
        said = queues["get_receipt"].get(timeout=30)
        assert said.startswith("錯誤：無法開啟專利資料庫") and "可以讀寫" in said, said
        queues["起始數據"].put(request("電池"))
        got = receipts_of_one_run(queues)
        assert got[-2].startswith("錯誤：檢索未完成") and "可以讀寫" in got[-2] and got[-1] == COMPLETION_MARKER
    finally:
        queues["起始數據"].put(None)
        thread.join(20)
    assert not thread.is_alive()


def test_host_import_command_reports_bad_lines_and_keeps_good_ones(tmp_path):
    data = tmp_path / "mine.csv"
    data.write_text("\ufeffpn,title,ad\nTWI900001B,自製電池測試,20200101\n,缺少號碼,20200101\n"
                    "TWI900002B,Another battery,2020-13-01\n", encoding="utf-8")
    # A bare environment, but for what a sanitizer build of the native modules needs.
    carried = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "PYTHONMALLOC") or k.endswith("SAN_OPTIONS")}
    env = {**carried, "TESSALOOM_DRIVE_C": str(tmp_path / "drive"), "PATH": "/usr/bin:/bin"}
    run = subprocess.run([sys.executable, "-m", "varnel_host", "import", str(data)], capture_output=True,
                         text=True, encoding="utf-8", env=env, timeout=120)
    assert run.returncode == 1, run.stderr  # bad lines make the exit status non-zero
    assert "新增 1 筆" in run.stdout and "第 3 行" in run.stdout and "第 4 行" in run.stdout
    again = subprocess.run([sys.executable, "-m", "varnel_host", "import", str(data)], capture_output=True,
                           text=True, encoding="utf-8", env=env, timeout=120)
    assert "新增 0 筆" in again.stdout and "未變更 1 筆" in again.stdout  # re-importing changes nothing
    database = tmp_path / "drive" / "tessaloom" / "VARNEL專利檢索軟體" / "patents.sqlite3"
    assert database.exists()


PARENT = r'''
import multiprocessing, pathlib, sys, time
from varnel_host.channel import make_channel
from varnel_host.worker import WorkerConfig, serve
if __name__ == "__main__":
    folder = pathlib.Path(sys.argv[1])
    ctx = multiprocessing.get_context("spawn")
    queues, events = make_channel(processes=True, context=ctx)
    worker = ctx.Process(target=serve, args=(queues, events, WorkerConfig(folder / "db.sqlite3", folder / "r", 0.05)))
    worker.start()
    queues["get_receipt"].get(timeout=60)  # the worker is up
    print(worker.pid, flush=True)
    time.sleep(600)
'''


def running(pid: int) -> bool:
    """True while the process exists and is not a zombie waiting to be reaped."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state != "Z"


def test_the_worker_does_not_outlive_a_killed_host(tmp_path):
    with subprocess.Popen([sys.executable, "-c", PARENT, str(tmp_path)], stdout=subprocess.PIPE, text=True) as parent:
        worker_pid = int(parent.stdout.readline())
        parent.send_signal(signal.SIGKILL)
        parent.wait(10)
    deadline = time.monotonic() + 20
    while running(worker_pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    if running(worker_pid):
        os.kill(worker_pid, signal.SIGKILL)
        raise AssertionError("the worker went on after its host was killed")


def test_progress_receipts_only_once_a_run_has_taken_a_second():
    said, now = [], [100.0]
    progress = Progress(said.append, clock=lambda: now[0])
    for at, written in [(100.5, 1000), (101.2, 2000), (101.9, 3000), (102.3, 4000), (102.4, 5000)]:
        now[0] = at
        progress(written, 59_725)
    assert said == ["已寫入 2,000 / 59,725 筆", "已寫入 4,000 / 59,725 筆"]


def run_in_process(tmp_path, command, stopping=lambda: False):
    """One run of a Worker on the sample collection; returns its receipts."""
    receipts = queue.Queue()
    config = WorkerConfig(database=tmp_path / "db.sqlite3", reports=tmp_path / "reports")
    worker = Worker(config, receipts, stopping)
    with open_default_store(config.database) as worker.store:
        worker.handle(request(command))
    return [receipts.get_nowait() for _ in range(receipts.qsize())]


def test_a_run_beyond_the_list_cap_says_so_before_the_report(tmp_path, monkeypatch):
    monkeypatch.setattr(request_module, "LIST_ROW_CAP", 3)
    closest = Mock(wraps=RankedHits.closest_families)
    monkeypatch.setattr(RankedHits, "closest_families", lambda self, n: closest(self, n))
    said = run_in_process(tmp_path, "電池 OR battery")
    hits = int(said[1].split()[1])
    assert hits > 3 and said[2 + 5] == report.cap_note(hits, 3) and said[4 + 5].startswith("報告已寫入：")
    assert closest.call_count == 1  # the log box's closest lines and the closest sheet: one read
    openpyxl = pytest.importorskip("openpyxl")
    assert openpyxl.load_workbook(said[4 + 5].removeprefix("報告已寫入："))["檢索列表"].max_row == 1 + 3


def test_a_command_holding_tr_says_each_translation_and_the_report_keeps_the_command_as_translated(tmp_path):
    said = run_in_process(tmp_path, "TR(battery) AND AD=2015:2024")  # tests/fake_terms.py
    line = "翻譯：battery → 電池（詞典、資料庫 12 筆）；資料庫中沒有而未採用的 1 個：蓄電池"
    assert said[1] == line and said[2].startswith("找到 ") and said[-2].startswith("報告已寫入：")
    rows = openpyxl.load_workbook(said[-2].removeprefix("報告已寫入："))["檢索條件"].iter_rows(values_only=True)
    assert list(rows)[1:4] == [("檢索指令", "TR(battery) AND AD=2015:2024"),
                               ("翻譯後的檢索指令", "(battery OR 電池) AND AD=2015:2024"), ("翻譯", line.removeprefix("翻譯："))]


@pytest.mark.parametrize("during", ["search", "report"])
def test_a_stopped_run_writes_no_report(tmp_path, monkeypatch, during):
    monkeypatch.setattr(report, "ROW_BATCH", 5)  # the sample collection's hits span several batches
    reporting = threading.Event()  # the stop comes at the report's first look, or at once
    write_report = report.write_report
    monkeypatch.setattr(report, "write_report", lambda *args, **kw: (reporting.set(), write_report(*args, **kw))[1])
    said = run_in_process(tmp_path, "電池 OR battery", stopping=reporting.is_set if during == "report" else lambda: True)
    assert said[0] == "已收到檢索指令：電池 OR battery"
    assert said[1].startswith("找到 ") == (during == "report")  # the search itself ended, or not
    assert said[-2:] == ["檢索已中止，未寫入報告", COMPLETION_MARKER]
    assert not any(path.is_file() for path in tmp_path.rglob("*") if "reports" in path.parts)


class _FullDisk(io.FileIO):
    def write(self, data):  # a disk that fills up after 4 KiB
        if self.tell() + len(data) > 4096:
            raise OSError(28, "No space left on device")
        return super().write(data)


@pytest.mark.parametrize("fault, said", [
    (lambda tmp, mp: (tmp / "reports").write_bytes(b""), "不是資料夾"),
    (lambda tmp, mp: mp.setattr(report_file.tempfile, "mkstemp", Mock(side_effect=PermissionError(13, "denied"))), "沒有寫入權限"),
    (lambda tmp, mp: mp.setattr(report_file, "open", lambda fd, mode: io.BufferedWriter(_FullDisk(fd, mode)), raising=False),
     "磁碟空間已滿"),
], ids=["reports is a file", "reports unwritable", "disk full"])
def test_a_report_that_cannot_be_written_says_why_in_chinese(tmp_path, monkeypatch, fault, said):
    fault(tmp_path, monkeypatch)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    receipts = run_in_process(tmp_path, "電池")
    gc.collect()  # the half-written archive, collected, says nothing on stderr either
    assert receipts[-2].startswith("錯誤：報告未寫入") and said in receipts[-2] and "Err" not in receipts[-2], receipts
    assert not unraisable and not list(tmp_path.rglob("*.part"))


def test_a_part_file_its_killed_writer_left_is_removed_at_start(tmp_path):
    (reports := tmp_path / "reports").mkdir()
    subprocess.run([sys.executable, "-c", "import os, pathlib, sys; from varnel_host.report_file import PartFile; "
                    "PartFile(pathlib.Path(sys.argv[1])); os.kill(os.getpid(), 9)", reports])
    (part,) = reports.glob(".檢索報告_*.part")  # one that another writer holds stays: test_report
    queues, events = make_channel()
    queues["起始數據"].put(None)
    serve(queues, events, WorkerConfig(database=tmp_path / "db.sqlite3", reports=reports))
    assert not part.exists()


@pytest.mark.parametrize("title", ["電池" + "長" * 40_000, "電池\x1b[31m紅\x07\u202e反轉\x00尾\n次行"], ids=["long", "controls"])
def test_the_log_box_shows_a_title_short_and_clean_and_the_report_keeps_it(tmp_path, title):
    receipts = queue.Queue()
    worker = Worker(WorkerConfig(database=tmp_path / "db.sqlite3", reports=tmp_path / "reports"), receipts)
    with PatentStore(tmp_path / "db.sqlite3") as worker.store:
        add_records(worker.store, [PatentRecord(pn="TWI1B", title=title)])
        worker.handle(request("電池"))
    said = [receipts.get_nowait() for _ in range(receipts.qsize())]
    (line,) = [r for r in said if r.startswith("1. TWI1B ")]
    assert len(line) <= 120 and not re.search("[\x00-\x1f\u202e]", line) and "電池" in line, line
    book = openpyxl.load_workbook(said[-2].removeprefix("報告已寫入："))
    assert book["檢索列表"]["C2"].value == clean_text(title.replace("\x00", " "))  # a NUL is stored as a space


def test_a_chain_says_its_levels_after_the_count_and_the_report_lists_who_cites_whom(tmp_path):
    receipts = queue.Queue()
    worker = Worker(WorkerConfig(database=tmp_path / "db.sqlite3", reports=tmp_path / "reports"), receipts)
    with PatentStore(tmp_path / "db.sqlite3") as worker.store:
        add_records(worker.store, [PatentRecord(pn="TWI1B", title="電池"), PatentRecord(pn="TWI2B", title="電極", cites="TWI1"),
                                   PatentRecord(pn="TWI3B", title="電容", cites="TWI2B; TWI1B")])
        worker.handle(request("CT/3=TWI1B"))
    said = [receipts.get_nowait() for _ in range(receipts.qsize())]
    assert said[1:3] == ["找到 2 筆專利，2 個同族", "引用鏈 CT/3=TWI1B：第 1 層 2 筆、第 2 層 0 筆；沒有其他專利引用第 1 層的專利，引用鏈到第 1 層為止"]
    book = openpyxl.load_workbook(said[-2].removeprefix("報告已寫入："))
    assert [row[:3] for row in book["引用關係"].iter_rows(min_row=2, values_only=True)] == [
        ("TWI2B", "被引用", "TWI3B"), ("TWI3B", "引用", "TWI2B")]  # unranked hits: in the order they were stored
    assert ["引用鏈", said[2]] in [[c.value for c in row] for row in book["檢索條件"].iter_rows(max_col=2)]


@pytest.mark.parametrize(
    "fail, reason",
    [
        (lambda tmp: open(tmp / "missing.txt", "rb"), "找不到檔案或資料夾"),
        (lambda tmp: open(tmp, "rb"), "這是資料夾，不是檔案"),
        (lambda tmp: open(tmp / "loop" / "x", "rb"), "Too many levels of symbolic links"),  # the system's words
    ],
)
def test_a_file_error_is_said_in_chinese_where_the_cause_is_common(tmp_path, fail, reason):
    from varnel_host.shown import os_reason

    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    with pytest.raises(OSError) as raised:
        fail(tmp_path)
    assert os_reason(raised.value) == reason


@pytest.mark.parametrize("command, explanation", [
    ("pizza near box", ["pizza 0 筆、near 0 筆、box 0 筆", "資料庫中沒有任何專利含有「pizza」、「near」或「box」",
                        "「near」被當成檢索詞；若要鄰近檢索請寫 pizza NEAR/5 box"]),
    ("電池 AND CPC=H01M", ["電池 ", " 筆、CPC=H01M 0 筆", "這個資料庫沒有任何 CPC 資料"]),
], ids=["operator as a word", "empty field"])
def test_a_run_that_finds_nothing_says_why_in_the_log_box_and_the_report(tmp_path, command, explanation):
    said = run_in_process(tmp_path, command)
    assert said[1] == "找到 0 筆專利" and said[-2].startswith("報告已寫入："), said
    lines = said[2:-2]
    assert lines and all(any(part in line for line in lines) for part in explanation), lines
    sheet = openpyxl.load_workbook(said[-2].removeprefix("報告已寫入："))["檢索條件"]
    rows = [(caption.value, value.value) for caption, value in sheet.iter_rows(min_row=2, max_col=2)]
    assert [value for caption, value in rows if caption == report.ZERO_CAPTION] == lines
    assert ("命中總數", 0) in rows
    # a run that finds hits explains nothing
    found = run_in_process(tmp_path, "電池")
    assert found[1].startswith("找到 ") and found[2].startswith("1. "), found


def test_an_explanation_that_fails_still_ends_the_run_with_its_report(tmp_path, monkeypatch):
    from varnel_host import explain

    monkeypatch.setattr(explain, "explain", Mock(side_effect=sqlite3.OperationalError("disk I/O error")))
    said = run_in_process(tmp_path, "pizza")
    assert said[1] == "找到 0 筆專利" and "無法判斷是哪個條件沒有專利" in said[2] and said[3].startswith("報告已寫入："), said
