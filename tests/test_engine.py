"""The engine's seams: streamed results, cancelling, batch writes and their
failures, the samples, script folding, numbers, printed IPC, index rebuilds."""

from __future__ import annotations

import multiprocessing
import sqlite3
import threading

import pytest

from varnel_host import store as store_module
from varnel_host.query import MAX_WORDS, QueryError
from varnel_host.records import PatentRecord as P
from varnel_host.contract import BatchCounts, Cancelled, StoreError
from varnel_host.sqlite_schema import INDEX_VERSION
from varnel_host.store import PatentStore
from varnel_host.stores import open_store as open_default_store

RECORDS = [
    P("US8930553B2", "固態电池模組", "锂离子电池", "1. 一種電池。", "北京交通大学", ipc="C12N 9/22", ad="20200101"),
    P("TWI439543B", "固態電池", "鋰離子電池之電極", "1. 一種電極。", "北京交通大學", ipc="C12N9/22", ad="20210101"),
    P("TW201500001A", "顯示面板", "面板", "1. 一種面板。", "範例", ipc="G09G3/32", ad="20150101"),
    P("EP1234567A1", "電池盒", "box", "1. 盒。", ipc="H01M50/20", ad="20190101"),
]


@pytest.fixture()
def store(new_store):
    with new_store() as opened:
        opened.write_batch(RECORDS)
        yield opened


def pns(result) -> list[str]:
    return [hit.record.pn for hit in result.rows()]


@pytest.mark.parametrize(
    "command, expected",
    [
        ("PA=北京交通大學", {"US8930553B2", "TWI439543B"}),  # Traditional finds Simplified
        ("PA=北京交通大学", {"US8930553B2", "TWI439543B"}),
        ("固态电池", {"TWI439543B", "US8930553B2"}),
        ("IC=C12N 9/22", {"US8930553B2", "TWI439543B"}),
        ("IC=C12N9/22", {"US8930553B2", "TWI439543B"}),
        ("PN=US8930553", {"US8930553B2"}),  # no kind: every kind
        ("PN=I439543", {"TWI439543B"}),  # no country: every country
        ("PN=TWI439543B", {"TWI439543B"}),
        ("PN=US8930553A1", set()),
        ("PN=1234567 OR PN=201500001", {"EP1234567A1", "TW201500001A"}),
    ],
)
def test_searching_as_users_type(store, command, expected):
    assert set(pns(store.search(command))) == expected


def test_report_sees_the_stored_text_unchanged(store):
    (hit,) = store.search("PN=US8930553").closest(5)
    assert (hit.record.title, hit.record.abstract, hit.record.applicants) == ("固態电池模組", "锂离子电池", "北京交通大学")


def test_result_streams_rows_without_long_texts_and_closest_with_them(store):
    result = store.search("電池 OR PN=EP1234567")
    assert result.total == 3 and result.words == ("電池", "EP1234567")
    rows = list(result.rows())
    assert [hit.record.pn for hit in rows] == [hit.record.pn for hit in result.hits]
    assert all(hit.record.abstract == hit.record.claims == "" and hit.record.ad for hit in rows)
    assert {hit.record.pn: hit.matched for hit in rows}["EP1234567A1"] == ("電池", "EP1234567")
    closest = result.closest(2)
    assert [hit.record.pn for hit in closest] == [hit.record.pn for hit in rows[:2]] and closest[0].record.claims


def test_cancel_stops_a_search_and_its_rows(store):
    with pytest.raises(Cancelled):
        store.search("電池", cancel=lambda: True)
    stop = []
    result = store.search("電池", cancel=lambda: bool(stop))  # the search's cancel also stops its rows
    rows = result.rows()
    next(rows)
    stop.append(True)
    with pytest.raises(Cancelled):
        list(rows)
    assert store.search("電池").total == 3  # the store is still usable


def test_a_command_with_too_many_words_is_refused_at_once(store):
    with pytest.raises(QueryError, match=f"上限 {MAX_WORDS}"):
        store.search(" OR ".join(f"w{i}" for i in range(MAX_WORDS + 1)))
    assert store.search(" OR ".join(f"w{i}" for i in range(MAX_WORDS))).total == 0


def test_write_batch_counts_added_updated_unchanged_and_keeps_unchanged_rows(store):
    changed = P("EP1234567A1", "電池盒", "a new lid")
    assert store.write_batch([RECORDS[0], changed, P("NEW1", "新")]) == BatchCounts(1, 1, 1)
    assert pns(store.search("lid")) == ["EP1234567A1"] and pns(store.search("box")) == []
    with pytest.raises(ValueError, match="第 1 筆"):
        store.write_batch([P(" ")])


def test_samples_are_recognised_and_removed(tmp_path):
    with open_default_store(tmp_path / "p.sqlite3") as default:
        assert default.only_samples()
        samples = default.count()
        default.write_batch(RECORDS[:1])
        assert not default.only_samples()
        assert default.remove_samples() == samples and default.count() == 1 and default.search("電池").total == 1


def _create(path, barrier) -> None:
    barrier.wait()
    with PatentStore(path) as created:
        created.write_batch(RECORDS[:1])


def test_two_processes_create_a_fresh_database_at_once(tmp_path):
    path = tmp_path / "fresh.sqlite3"
    barrier = multiprocessing.Barrier(2)
    workers = [multiprocessing.Process(target=_create, args=(path, barrier)) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert [worker.exitcode for worker in workers] == [0, 0]
    with PatentStore(path) as opened:
        assert opened.count() == 1


def test_a_locked_database_is_waited_for_then_reported(tmp_path, monkeypatch):
    path = tmp_path / "locked.sqlite3"
    PatentStore(path).close()
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    monkeypatch.setattr(store_module, "LOCK_WAIT_SECONDS", 0.5)
    with PatentStore(path) as waiting:
        with pytest.raises(StoreError, match="正被其他程式使用"):
            waiting.write_batch(RECORDS[:1])
        threading.Timer(0.2, holder.execute, ("COMMIT",)).start()
        assert waiting.write_batch(RECORDS[:1]).added == 1  # released while waiting: goes on
    holder.close()


def test_disk_full_is_a_clear_error_and_the_database_stays_intact(tmp_path):
    path = tmp_path / "full.sqlite3"
    with PatentStore(path) as full:
        full.write_batch(RECORDS[:1])
        full.connection.execute(f"PRAGMA max_page_count = {full.connection.execute('PRAGMA page_count').fetchone()[0]}")
        with pytest.raises(StoreError, match="磁碟空間已滿"):
            full.write_batch([P(f"X{i}", "電池" * 500) for i in range(200)])
        assert full.count() == 1 and pns(full.search("電池")) == ["US8930553B2"]


def test_a_changed_segmentation_rebuilds_the_index_once(tmp_path, monkeypatch):
    path = tmp_path / "old.sqlite3"
    with PatentStore(path) as old:
        old.write_batch(RECORDS)
    with sqlite3.connect(path) as raw:  # as written by an older segmenter
        raw.execute("UPDATE meta SET value = 'older'")
        raw.execute("INSERT INTO patent_index (patent_index) VALUES ('delete-all')")  # only a rebuild brings it back
    with PatentStore(path) as rebuilt:
        assert set(pns(rebuilt.search("電池"))) == {"US8930553B2", "TWI439543B", "EP1234567A1"}
        rebuilt.write_batch([P("EP1234567A1", "盒")])  # an update after the rebuild forgets the old tokens
        assert set(pns(rebuilt.search("電池"))) == {"US8930553B2", "TWI439543B"}
    with sqlite3.connect(path) as raw:
        assert raw.execute("SELECT value FROM meta").fetchone()[0] == INDEX_VERSION
