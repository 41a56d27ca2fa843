"""Numbered result sets: every run that finds hits is numbered, #k names it in
later commands (after a restart too), # lists them, the report names them."""

from __future__ import annotations

import queue

import pytest

from varnel_host.channel import COMPLETION_MARKER
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
    """(hits, the line's end after 筆專利 and its families) of a run's 找到 line."""
    line = next(line for line in said if line.startswith("找到 "))
    end = line.split("筆專利", 1)[1]
    return int(line.split()[1]), end[end.find("（"):] if "（" in end else ""


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
    assert (battery[1], cell[1]) == ("（#1）", "（#2）") and battery[0] and cell[0]
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
        assert found(said)[1] == "（#3）"
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
