"""Kept search strategies (strategies.py): kept from a numbered run, run again
after every import, its gained records listed once, on both stores alike."""

from __future__ import annotations

import json
import queue

import openpyxl
import pytest

from varnel_host.__main__ import main as host_main
from varnel_host.channel import COMPLETION_MARKER
from varnel_host.strategies import Form, Strategies, Strategy, form_of
from varnel_host.stores import open_store
from varnel_host.worker import Worker, WorkerConfig

REQUEST = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5}


def run(worker: Worker, command: str) -> list[str]:
    worker.handle({**REQUEST, "檢索指令": command})
    said = [worker.receipts.get_nowait() for _ in range(worker.receipts.qsize())]
    assert said[-1] == COMPLETION_MARKER
    return said[1:-1]


def listed(said: list[str]) -> tuple[list[tuple[str, str]], dict[str, object]]:
    """(pn, 新增) of each list row and the conditions sheet of the run's report."""
    book = openpyxl.load_workbook(said[-1].removeprefix("報告已寫入："))
    rows = list(book["檢索列表"].iter_rows(values_only=True))
    assert rows[0][-1] == "新增"
    return [(row[1], row[-1] or "") for row in rows[1:]], dict(book["檢索條件"].iter_rows(min_row=2, values_only=True))


def imported(tmp_path, database: str, numbers: range, title: str, capsys) -> list[str]:
    source = tmp_path / f"{title}{numbers.start}.jsonl"
    source.write_text("\n".join(json.dumps({"pn": f"TW{n}", "title": title}) for n in numbers), encoding="utf-8")
    server = ["--database", database] if database.startswith("postgresql") else []
    capsys.readouterr()
    assert host_main(["import", *server, str(source)]) == 0
    return capsys.readouterr().out.strip().splitlines()


@pytest.mark.parametrize("where", ["file", "server"])
def test_a_strategy_is_followed_across_imports_and_its_gain_listed_once(where, tmp_path, monkeypatch, capsys, request):
    monkeypatch.setenv("TESSALOOM_DRIVE_C", str(tmp_path))
    product = tmp_path / "tessaloom" / "VARNEL專利檢索軟體"
    database = request.getfixturevalue("pg_server").new_database() if where == "server" else str(product / "patents.sqlite3")
    imported(tmp_path, database, range(1, 4), "固態電池模組", capsys)
    config = WorkerConfig(database=database, reports=tmp_path / "reports", history=product / "history.jsonl")
    with open_store(database) as store:
        worker = Worker(config, queue.Queue())
        worker.store = store
        assert run(worker, "固態電池")[-2] == "本次檢索編號 #1"
        kept = run(worker, "#1 保存為 #固態電池監控")
        assert kept[0] == "已保存 #固態電池監控：#1 的指令「固態電池」，目前 3 筆", kept
        assert run(worker, "#1 保存為 #固態電池監控")[0].startswith("已有名為 #固態電池監控 的保存檢索")

        lines = imported(tmp_path, database, range(10, 12), "固態電池外殼", capsys)
        imported(tmp_path, database, range(20, 22), "燃料電池", capsys)  # nothing for the strategy
        assert lines[-1] == "固態電池監控（#1）：新增 2 筆", lines

        whole = run(worker, "#固態電池監控")
        assert "其中 2 筆是上次查看後新增的" in " ".join(whole) and whole[-2] == "本次檢索編號 #2"
        rows, conditions = listed(whole)
        assert sorted(rows) == [("TW1", ""), ("TW10", "新增"), ("TW11", "新增"), ("TW2", ""), ("TW3", "")]
        assert conditions["上次查看後新增"] == 2 and conditions["檢索指令"] == "固態電池"

        new = run(worker, "#固態電池監控 新增")
        rows, conditions = listed(new)
        assert sorted(rows) == [("TW10", "新增"), ("TW11", "新增")] and conditions["列出範圍"] == "只列出上次查看後新增的專利"
        assert "已將這 2 筆標示為已查看" in new[-3]
        assert run(worker, "#固態電池監控 新增") == ["保存的檢索 #固態電池監控：固態電池",
                                                  "#固態電池監控 沒有上次查看後新增的專利（目前共 5 筆），未寫入報告"]
        lines = imported(tmp_path, database, range(30, 31), "氫氣儲存", capsys)
        assert lines[-1] == "保存的檢索都沒有新增的專利（共 1 個）"
        assert run(worker, "#")[-1].startswith("#固態電池監控：固態電池（保存自 #1；")
        assert run(worker, "#固態電池監控 AND TI=外殼")[0].startswith("檢索指令有誤：保存的檢索 #固態電池監控 不能與其他條件組合")
        assert run(worker, '"固態 #固態電池監控"')[0].startswith("找到 0 筆專利")  # quoted: a search
        assert run(worker, "#固態電池監控 刪除")[0] == "已刪除保存的檢索 #固態電池監控（指令：固態電池）"
        assert run(worker, "#固態電池監控")[0].startswith("檢索指令有誤：「#固態電池監控」不是檢索結果編號，也沒有這個名稱的保存檢索（目前沒有保存的檢索）")


@pytest.mark.parametrize("command, form", [
    ("#3 保存為 #固態電池監控", Form("keep", "固態電池監控", 3)),
    ("＃3　保存　＃電池2024", Form("keep", "電池2024", 3)),
    ("#3 保存 食品", None),  # a search: #3 AND 保存 AND 食品
    ("#固態 新增", Form("new", "固態")),
    ("#固態 刪除", Form("remove", "固態")),
    ("電池 AND #固態", Form("combined", "固態")),
    ("#12 AND 電池", None),
    ("電池 新增", None),
])
def test_forms(command, form):
    assert form_of(command) == form


@pytest.mark.parametrize("command, fragment", [
    ("#3 保存為 食品", "名稱前請加 #，例如 #3 保存為 #食品"),
    ("#3 保存為 #2024", "「#2024」不能當作保存的名稱"),
])
def test_a_keep_form_that_cannot_be_read_says_what_to_write(command, fragment):
    assert fragment in form_of(command).problem


@pytest.mark.parametrize("damage", [
    b"{not json\n", b'{"name": "x", "comm', b'{"name": "b", "command": "c", "sets": [], "number": 1, "kept": "t", '
    b'"checked": "t", "had": {"count": 2, "numbers": "eNoLCTcEAAHeAN0="}, "new": {"count": 0, "numbers": "eNoDAAAAAAE="}}\n',
], ids=["not JSON", "cut short", "count differs"])
def test_a_damaged_entry_is_passed_over_with_a_message_and_kept_in_the_file(tmp_path, damage):
    path = tmp_path / "strategies.jsonl"
    kept = Strategies(path)
    first = Strategy("a", "電池", (), 1, "t", "t", frozenset({"TW1", "TW2"}), frozenset())
    kept.keep(first)
    with path.open("ab") as file:
        file.write(damage)
    assert kept.keep(Strategy("c", "電容", ((2, "x"),), 2, "t", "t", frozenset(), frozenset())) is None
    assert kept.looked("a", ["TW1"]) == first  # a change keeps the damaged line where it was
    shelf = kept.read()
    assert [entry.name for entry in shelf.entries] == ["a", "c"] and shelf.damaged == (2,)
    assert damage.rstrip(b"\n") in path.read_bytes().splitlines()
    worker = Worker(WorkerConfig(tmp_path / "db.sqlite3", tmp_path / "reports", history=tmp_path / "history.jsonl"),
                    queue.Queue())
    said = run(worker, "#")
    assert said[1] == shelf.note(path) and "第 2 行已損壞、無法讀取，已略過（原內容仍留在檔案中" in said[1]
    assert [line.split("：")[0] for line in said[2:]] == ["保存的檢索（2 個，#名稱 新增 只列出新增的專利）", "#a", "#c"]
