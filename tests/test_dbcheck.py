"""A damaged or emptied database is reported and kept, never used or refilled without a word."""

from __future__ import annotations

import datetime
import os
import sqlite3
from pathlib import Path

import openpyxl
import pytest

from varnel_host import dbcheck
from varnel_host.__main__ import main
from varnel_host.channel import COMPLETION_MARKER
from varnel_host.contract import StoreError
from varnel_host.stores import open_store as open_default_store
from varnel_host.worker import Worker, WorkerConfig

RUN = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5, "檢索指令": "電池"}


class Receipts(list):
    put = list.append


@pytest.fixture(scope="module")
def sound_bytes(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("sound") / "patents.sqlite3"
    open_default_store(path).close()
    return path.read_bytes()


@pytest.fixture
def database(tmp_path: Path, sound_bytes: bytes) -> Path:
    path = tmp_path / "patents.sqlite3"
    path.write_bytes(sound_bytes)
    return path


def _garbage_in_middle(path: Path) -> None:
    data = bytearray(path.read_bytes())
    middle = len(data) // 2
    data[middle : middle + 4096] = b"\xa5" * 4096
    path.write_bytes(bytes(data))


def _garbage_header(path: Path) -> None:
    path.write_bytes(b"not a database at all" * 5 + path.read_bytes()[105:])


def _emptied(path: Path) -> None:
    path.write_bytes(b"")
    os.utime(path, (0, 0))  # long ago: not a database another process is creating now


def _empty_index(path: Path) -> None:
    with sqlite3.connect(path) as connection:
        connection.execute("INSERT INTO patent_index (patent_index) VALUES ('delete-all')")
    connection.close()


def _texts_removed(path: Path) -> None:
    with sqlite3.connect(path) as connection:
        connection.execute("DELETE FROM texts")
    connection.close()


DAMAGE = {
    "garbage-middle": (_garbage_in_middle, "錯誤：資料庫檢查發現損壞"),
    "garbage-header": (_garbage_header, "錯誤：資料庫檢查發現損壞"),
    "zero-bytes": (_emptied, "錯誤：資料庫檔案是空的（0 位元組）"),
}


@pytest.mark.parametrize("kind", DAMAGE)
def test_damaged_database_is_set_aside_and_no_run_uses_another(database: Path, kind: str) -> None:
    damage, receipt = DAMAGE[kind]
    damage(database)
    damaged = database.read_bytes()
    receipts = Receipts()
    worker = Worker(WorkerConfig(database=database, reports=database.parent / "reports"), receipts)
    with pytest.raises(StoreError, match="本次不使用資料庫"):
        worker.open_store()
    (kept,) = database.parent.glob("patents.損壞-*.sqlite3")
    assert kept.read_bytes() == damaged
    assert receipts[0].startswith(receipt) and str(kept) in receipts[0]
    worker.handle(RUN)
    worker.handle(RUN)  # every run says why, none creates or refills a database
    assert receipts.count(COMPLETION_MARKER) == 2
    assert sum("本次不使用資料庫" in r and "varnel-host import" in r for r in receipts) == 2
    assert not database.exists()
    # The next start makes a new database and says where the damaged one is.
    (note,) = dbcheck.check_at_start(database)
    assert note.startswith("注意：將建立新的資料庫") and str(kept) in note


def test_sound_database_opens_without_a_note(database: Path) -> None:
    receipts = Receipts()
    Worker(WorkerConfig(database=database, reports=database.parent), receipts).open_store()
    assert receipts == [f"資料庫已就緒：240 筆專利（{database}）"]


def test_check_stopped_in_time_says_it_was_partial(database: Path) -> None:
    notes = dbcheck.check_at_start(database, seconds=0)
    assert len(notes) == 1 and "只完成一部分" in notes[0] and "varnel-host check" in notes[0]
    assert notes.refusal is None and database.exists()


def test_not_a_regular_file_is_refused_and_left_alone(tmp_path: Path) -> None:
    (tmp_path / "patents.sqlite3").mkdir()
    notes = dbcheck.check_at_start(tmp_path / "patents.sqlite3")
    assert notes.refusal and "不是一般檔案" in notes[0]
    assert (tmp_path / "patents.sqlite3").is_dir()


def test_empty_file_being_created_now_is_left_to_its_maker(tmp_path: Path) -> None:
    (tmp_path / "patents.sqlite3").write_bytes(b"")
    assert dbcheck.check_at_start(tmp_path / "patents.sqlite3") == []


def test_setting_aside_never_replaces_a_file(database: Path) -> None:
    now = datetime.datetime(2026, 1, 2, 3, 4, 5)
    first = database.with_name("patents.損壞-20260102-030405.sqlite3")
    first.write_bytes(b"an earlier copy")
    Path(f"{database}-wal").write_bytes(b"journal")
    kept = dbcheck.set_aside(database, now)
    assert kept == database.with_name("patents.損壞-20260102-030405-2.sqlite3")
    assert first.read_bytes() == b"an earlier copy"
    assert Path(f"{kept}-wal").read_bytes() == b"journal" and not Path(f"{database}-wal").exists()


# ----------------------------------------------------------- command line


@pytest.fixture
def product_database(tmp_path: Path, monkeypatch) -> Path:
    monkeypatch.setenv("TESSALOOM_DRIVE_C", str(tmp_path))
    return tmp_path / "tessaloom" / "VARNEL專利檢索軟體" / "patents.sqlite3"


@pytest.mark.parametrize(
    "prepare, command, status, said",
    [
        (None, "check", 0, "檢查完成：資料庫完好，共 240 筆專利"),
        (_empty_index, "check", 1, "全文索引缺少 240 筆專利"),
        (_texts_removed, "check", 1, "摘要與專利範圍缺少 240 筆專利"),
        (_garbage_in_middle, "check", 1, "資料庫檔案已損壞"),
        (_garbage_header, "check", 1, "錯誤：無法開啟專利資料庫"),
        (_garbage_in_middle, "rebuild-index", 1, "錯誤：無法重建全文索引"),
        (_emptied, "check", 1, "是空的（0 位元組）"),
        (_emptied, "rebuild-index", 1, "是空的（0 位元組）"),
        (lambda path: path.unlink(), "check", 2, "找不到專利資料庫"),
        (lambda path: path.unlink(), "rebuild-index", 2, "找不到專利資料庫"),
    ],
    ids=["sound", "index-emptied", "texts-removed", "garbage-middle", "garbage-header", "rebuild-damaged",
         "empty-check", "empty-rebuild", "missing-check", "missing-rebuild"],
)
def test_command_line_check_and_rebuild(
    product_database: Path, sound_bytes: bytes, capsys, prepare, command: str, status: int, said: str
) -> None:
    product_database.parent.mkdir(parents=True)
    product_database.write_bytes(sound_bytes)
    if prepare is not None:
        prepare(product_database)
    before = product_database.read_bytes() if product_database.exists() else None
    assert main([command]) == status
    assert said in capsys.readouterr().out
    if status:  # nothing made, refilled or changed
        assert (product_database.read_bytes() if product_database.exists() else None) == before


def test_rebuild_index_brings_back_the_search(product_database: Path, sound_bytes: bytes, capsys) -> None:
    product_database.parent.mkdir(parents=True)
    product_database.write_bytes(sound_bytes)
    with open_default_store(product_database) as store:
        found = store.search("電池").total
    assert found > 0
    _empty_index(product_database)
    with open_default_store(product_database) as store:
        assert store.search("電池").total == 0
    assert main(["rebuild-index"]) == 0
    assert "全文索引已重建：240 筆專利" in capsys.readouterr().out
    assert main(["check"]) == 0
    with open_default_store(product_database) as store:
        assert store.search("電池").total == found


@pytest.mark.parametrize("damaged", ["CAST({} AS BLOB)", "{}"], ids=["byte changed", "byte changed, stored as text"])
def test_damaged_texts_are_named_by_the_check_marked_in_the_report_and_skipped_by_the_rebuild(
    product_database: Path, sound_bytes: bytes, capsys, damaged: str
) -> None:
    product_database.parent.mkdir(parents=True)
    product_database.write_bytes(sound_bytes)
    with open_default_store(product_database) as store:  # the texts of the two closest families
        numbers = [hit.record.pn for hit in store.search("電池").closest_families(2)]
    with sqlite3.connect(product_database) as connection:
        body = damaged.format("substr(body, 1, 20) || (CASE substr(body, 21, 1) WHEN x'5A' THEN x'A5' ELSE x'5A' END) "
                              "|| substr(body, 22)")
        connection.executemany(f"UPDATE texts SET body = {body} WHERE id = (SELECT id FROM records WHERE pn = ?)",
                               [(number,) for number in numbers])
    connection.close()
    assert main(["check"]) == 1
    out = capsys.readouterr().out
    assert "2 筆專利的摘要與專利範圍已損壞" in out and all(number in out for number in numbers), out
    receipts, reports = Receipts(), product_database.parent / "reports"
    Worker(WorkerConfig(database=product_database, reports=reports), receipts).handle(RUN)
    assert any(all(n in r for n in numbers) and "varnel-host check" in r for r in receipts), receipts
    sheet = openpyxl.load_workbook(next(reports.glob("*.xlsx")))["分析最接近專利數量"]
    assert {row[1] for row in sheet.iter_rows(min_row=2, values_only=True) if "無法讀取" in str(row[5])} == set(numbers)
    assert main(["rebuild-index"]) == 1
    out = capsys.readouterr().out
    assert "略過 2 筆" in out and all(number in out for number in numbers), out
    with open_default_store(product_database) as store:
        assert not {hit.record.pn for hit in store.search("電池").rows()} & set(numbers)
