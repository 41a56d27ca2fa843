"""Numbered result sets: every run that finds hits is numbered, #k names it in
later commands (after a restart too), # lists them, the report names them."""

from __future__ import annotations

import queue
import subprocess
import sys
from unittest.mock import Mock

import pytest

from varnel_host import report
from varnel_host.channel import COMPLETION_MARKER
from varnel_host.contract import StoreError
from varnel_host.history import History
from varnel_host.stores import open_store
from varnel_host.worker import Worker, WorkerConfig

REQUEST = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5}


def run(worker: Worker, command: str) -> list[str]:
    worker.handle({**REQUEST, "檢索指令": command})
    said = [worker.receipts.get_nowait() for _ in range(worker.receipts.qsize())]
    assert said[-1] == COMPLETION_MARKER
    return said[1:-1]  # after "已收到檢索指令"


def found(said: list[str]) -> tuple[int, str]:
    """(hits, its number "#k" or "") of a run: the 找到 line, the number line just before the report's."""
    line = next(line for line in said if line.startswith("找到 "))
    numbered = [line.removeprefix("本次檢索編號 ") for line in said if line.startswith("本次檢索編號 ")]
    assert not numbered or said.index("本次檢索編號 " + numbered[0]) == len(said) - 2 and said[-1].startswith("報告已寫入：")
    return int(line.split()[1]), "".join(numbered)


@pytest.fixture
def worker(tmp_path):
    config = WorkerConfig(database=tmp_path / "db.sqlite3", reports=tmp_path / "reports")
    with open_store(config.database) as store:
        yield _with_store(config, store)


def _with_store(config: WorkerConfig, store) -> Worker:
    made = Worker(config, queue.Queue())
    made.store = store
    return made


def test_runs_are_numbered_and_sets_combine_like_their_commands(worker, tmp_path):
    battery, cell = found(run(worker, "battery")), found(run(worker, "電池"))
    assert (battery[1], cell[1]) == ("#1", "#2") and battery[0] and cell[0]
    assert found(run(worker, "nothing-like-this-word"))[1] == ""  # no hits, no number
    for command, same in [
        ("#1 AND #2", "battery AND 電池"),
        ("#2 NOT #1", "電池 NOT battery"),
        ("(#1 OR #2) AND AD=2015:2024", "(battery OR 電池) AND AD=2015:2024"),
        ("-#1 #2", "電池 NOT battery"),
    ]:
        assert found(run(worker, command))[0] == found(run(worker, same))[0], command
    numbers = [entry.number for entry in History(tmp_path / "history.jsonl").entries()]
    assert numbers == list(range(1, len(numbers) + 1))  # every run with hits, in order


@pytest.mark.parametrize("command, fragment", [
    ("#99", "沒有檢索結果 #99（目前有 #1–#2"),
    ("(#1)@TI", "不能加欄位限定"),
    ("#x", "不是檢索結果編號"),
])
def test_a_set_that_cannot_be_used_is_a_clear_error(worker, command, fragment):
    run(worker, "battery"), run(worker, "電池")
    said = run(worker, command)
    assert len(said) == 1 and said[0].startswith("檢索指令有誤：") and fragment in said[0]


def test_sets_survive_a_restart_and_hash_lists_them_and_the_report_names_them(worker, tmp_path):
    run(worker, "battery")
    run(worker, "電池")
    worker.store.close()
    with open_store(worker.config.database) as store:
        again = _with_store(worker.config, store)
        assert [line.split("（")[0] for line in run(again, "#")] == ["#1：battery", "#2：電池"]
        said = run(again, "#1 AND #2 NOT PA=華泰")
        assert found(said)[1] == "#3"
    openpyxl = pytest.importorskip("openpyxl")
    report = next(line for line in said if line.startswith("報告已寫入：")).removeprefix("報告已寫入：")
    rows = {row[0]: row[1] for row in openpyxl.load_workbook(report)["檢索條件"].iter_rows(values_only=True)}
    assert (rows["檢索結果 #1"], rows["檢索結果 #2"]) == ("battery", "電池")


def test_an_unreadable_line_is_passed_over_and_numbering_goes_on(tmp_path):
    path = tmp_path / "history.jsonl"
    history = History(path)
    history.add("a", 3)
    with path.open("a", encoding="utf-8") as file:
        file.write('{"number": 2, "comm\n')  # cut short by a crash
    assert history.add("b", 5) == 2 and history.sets() == {1: "a", 2: "b"}


@pytest.mark.parametrize("damage", [
    b"\xff\xfe{\n", b'{"number": 1e400, "command": "x", "total": 1, "time": "t"}\n', b"[" * 100_000 + b"\n",
    b'{"number": "x' + b"x" * 100_000 + b'"}\n', b'{"number": 2, "comm',
], ids=["not UTF-8", "number overflows", "nested deep", "line too long", "cut short, no line break"])
def test_a_damaged_line_is_said_once_and_costs_nothing_else(worker, tmp_path, damage):
    run(worker, "battery")
    with (tmp_path / "history.jsonl").open("ab") as file:
        file.write(damage)
    listed, searched = run(worker, "#"), run(worker, "電池")
    note = f"注意：檢索紀錄 {tmp_path / 'history.jsonl'} 有 1 行已損壞、無法讀取，已略過；其餘的檢索結果編號照常可用"
    assert listed[0] == note and note not in listed[1:] + searched  # not again while the file stays so
    assert listed[1].startswith("#1：battery") and found(searched)[1] == "#2"
    assert History(tmp_path / "history.jsonl").sets() == {1: "battery", 2: "電池"}


def test_a_history_that_cannot_be_read_costs_the_number_not_the_search(worker, tmp_path):
    (tmp_path / "history.jsonl").mkdir()
    searched, named, listed = run(worker, "電池"), run(worker, "#1 AND 電池"), run(worker, "#")
    assert found(searched)[0] and searched[-2].startswith(f"未編號：無法寫入檢索紀錄 {tmp_path / 'history.jsonl'}（")
    assert named == [f"檢索指令有誤：無法讀取檢索紀錄 {tmp_path / 'history.jsonl'}（這是資料夾，不是檔案），不能使用 #1（第 1 個字元）"]
    assert listed[0].startswith("錯誤：無法讀取檢索紀錄") and len(listed) == 1


def test_a_run_that_fails_after_its_hits_are_found_is_not_numbered(worker, monkeypatch):
    monkeypatch.setattr(report, "write_report", Mock(side_effect=StoreError("與資料庫伺服器的連線中斷")))
    failed = run(worker, "電池")
    monkeypatch.undo()
    assert failed[0].startswith("找到 ") and failed[-1].startswith("錯誤：檢索未完成") and "#" not in "".join(failed)
    assert found(run(worker, "battery"))[1] == "#1" and "沒有檢索結果 #2" in run(worker, "#2")[0]


NUMBERING = "import sys; from varnel_host.history import History\nfor i in range(100): History(sys.argv[1], int(sys.argv[2])).add(f'c{i}', 1)"


@pytest.mark.parametrize("keep", [1000, 50], ids=["appending", "trimming"])
def test_windows_numbering_at_once_get_distinct_numbers_and_the_newest_are_kept(tmp_path, keep):
    path = tmp_path / "history.jsonl"
    windows = [subprocess.Popen([sys.executable, "-c", NUMBERING, path, str(keep)]) for _ in range(3)]
    assert [window.wait(120) for window in windows] == [0, 0, 0]
    assert [entry.number for entry in History(path).entries()] == list(range(max(1, 301 - keep), 301))


def test_a_run_numbers_after_what_another_window_numbered_since_it_read(tmp_path):
    mine, other = History(tmp_path / "history.jsonl", keep=5), History(tmp_path / "history.jsonl", keep=5)
    seen = [mine.read(), other.add("a", 1), other.add("b", 1)][0]
    assert mine.add("c\ud800", 1, known=seen) == 3  # a lone surrogate pasted into the command is kept too
    assert [entry.command for entry in mine.entries()] == ["a", "b", "c\ud800"]
