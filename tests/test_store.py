"""The patent database: matching, ranking, import files, updates, safety."""

from __future__ import annotations

import json
import sqlite3
import zlib
from dataclasses import asdict, replace
from pathlib import Path

import pytest

from varnel_host import synth
from varnel_host.query import QueryError
from varnel_host.records import UNREADABLE, PatentRecord
from varnel_host.sample_data import make_sample
from varnel_host.records import ATTRIBUTES, DATE_FIELDS, REGISTRY, TEXT_FIELDS
from varnel_host import segment, sqlite_schema, sqlite_writer
from varnel_host.sqlite_schema import SCHEMA_VERSION, index_column
from varnel_host.segment import index_values
from varnel_host.contract import SAMPLE_FILE, Cancelled, StoreError, TermPair, list_row
from varnel_host.field_values import NORMALISED
from varnel_host.loading import add_records, import_records_file
from varnel_host.store import PatentStore
from varnel_host.stores import open_store as open_default_store

P = PatentRecord
RECORDS = [
    P("A1", "固態電池模組", "一種鋰離子 battery pack", "1. 一種電池模組。", "範例能源股份有限公司", "王小明", "H01M 10/0525", "111000001", "20200115", "20210701"),
    P("A2", "顯示面板", "OLED panel powered by a Battery", "1. 一種面板。", "Example Display Corp. (fictional)", ipc="G09G3/32", ad="20140301", pd="20150910"),
    P("A3", "燃料電池系統", "氫氣與氧氣反應", "1. 一種燃料電池。", ipc="H01M8/04", ad="20180620", pd="20190101"),
    P("A4", "自行車車架", "電動輔助自行車之電池盒", "1. 一種車架，包含電池。", ipc="B62K19/00", ad="20241231"),
    P("A5", "影像辨識方法", "deep learning 的 neural network；批次 batteries 測試", "1. 一種方法。", ipc="G06N3/08", ad="", pd=""),
    P("A6", "ＢＡＴＴＥＲＹ監控", "固態的電池監控", "1. 一種監控裝置。", ipc="H01M4/13", ad="20100505"),
    P("A7", "水耕栽培設備", "養液池，LED補光燈", "1. 一種設備。", ipc="A01G31/00", ad="20151010"),
]


def test_index_columns_keep_the_order_stored_files_hold():
    # a field added to the registry comes after these, with an upgrade step
    assert TEXT_FIELDS[:8] == ("TI", "AB", "CL", "PA", "IV", "IC", "PN", "AN")
    assert tuple(map(index_column, TEXT_FIELDS[:8])) == ("ti", "ab", "cl", "pa", "iv", "ic", "pn", "an")


@pytest.mark.parametrize("code", REGISTRY)
def test_registry_names_what_the_stores_hold(code):
    field = REGISTRY[code]
    assert field.code == code and field.attribute in ATTRIBUTES
    assert not field.standin or field.standin in DATE_FIELDS
    assert bool(field.column) == (field.kind in ("text", "number")), "words and numbers are searched in the index"
    assert (field.kind == "code") == bool(field.stored), "a code field's values are kept as codes rows"
    assert field.kind != "code" or field.scheme in ("ipc", "publication", *NORMALISED), \
        "codes rows hold symbols, publication numbers or the values of a legal status or a document type"


@pytest.fixture(scope="module")
def store(new_store):
    with new_store() as opened:
        add_records(opened, RECORDS)
        yield opened


def found(store: PatentStore, command: str) -> set[str]:
    result = store.search(command)
    assert result.total == len(result.hits)
    return {hit.record.pn for hit in result.hits}


@pytest.mark.parametrize(
    "command, expected",
    [
        ("電池", {"A1", "A3", "A4", "A6"}),  # two characters inside longer words
        ("池", {"A1", "A3", "A4", "A6", "A7"}),  # one character, also ending a run (A7)
        ("固態電池", {"A1"}),  # not "固態的電池"
        ("鋰離子battery", {"A1"}),  # mixed script vs "鋰離子 battery pack"
        ("battery", {"A1", "A2", "A5", "A6"}),  # letter case, full-width letters and word forms (batteries)
        ("batter*", {"A1", "A2", "A5", "A6"}),
        ('"battery pack"', {"A1"}),
        ('"pack battery"', set()),
        ("deep learning", {"A5"}),
        ("IC=H01M*", {"A1", "A3", "A6"}),
        ("IC=H01M10/0525", {"A1"}),  # stored in the printed form "H01M 10/0525"
        ("IC=H01M1*", {"A1"}),
        ("ic=G06N3/08", {"A5"}),
        ("TI=電池", {"A1", "A3"}),
        ("電池@AB", {"A4", "A6"}),
        ("(電池 OR battery)@TI", {"A1", "A3", "A6"}),
        ("PA=範例能源", {"A1"}),
        ("PA=fictional", {"A2"}),
        ("IV=王小明", {"A1"}),
        ("PN=A1", {"A1"}),
        ("AN=111000001", {"A1"}),
        ("AD=2015:2020", {"A1", "A3", "A7"}),
        ("AD=20140301:20151010", {"A2", "A7"}),  # bounds included
        ("AD=:2014", {"A2", "A6"}),  # open start: records without a date excluded
        ("AD=2024:", {"A4"}),
        ("AD=2018", {"A3"}),
        ("ID=2015", {"A2"}),
        ("電池 NOT 燃料", {"A1", "A4", "A6"}),
        ("NOT 電池", {"A2", "A5", "A7"}),
        ("電池 AND NOT AD=2015:2024", {"A6"}),
        ("燃料 OR AD=2010", {"A3", "A6"}),
        ("(電池 OR OLED) AND AD=2014:2019", {"A2", "A3"}),
        ("電池 OR NOT batter*", {"A1", "A3", "A4", "A6", "A7"}),
        ("不存在的詞", set()),
    ],
)
def test_search_finds(store, command, expected):
    assert found(store, command) == expected


@pytest.mark.parametrize("command, caption", [("LS=有效", "法律狀態"), ("電池 AND DT=新型", "文件類型"), ("電池 NOT LS=active", "法律狀態")])
def test_ls_and_dt_on_a_collection_holding_none_are_refused_naming_the_exports_that_carry_them(store, command, caption):
    with pytest.raises(QueryError, match=f"這個資料庫的專利都沒有{caption}資料.*Lens.org 匯出 CSV"):
        store.search(command)


def test_a_changed_legal_status_is_searched_by_its_new_value_and_stored_as_written(new_store):
    with new_store() as changing:
        add_records(changing, [P("S1", "電池", status="ACTIVE", doctype="A1"), P("S2", "電池", status="有效")])
        assert add_records(changing, [P("S1", "電池", status="Lapsed", doctype="B1")]).updated == 1
        assert [found(changing, c) for c in ("LS=有效", "LS=失效", "DT=發明公告", "DT=發明公開")] == [{"S2"}, {"S1"}, {"S1"}, set()]
        assert (changing.stored(["S1"])["S1"].status, changing.span("LS")) == ("Lapsed", ("失效", "有效"))
        changing.remove(["S1"])
        with pytest.raises(QueryError, match="沒有文件類型資料"):
            changing.search("DT=發明公告")


def test_ranking_prefers_title_then_claims_then_abstract(new_store):
    fillers = [P(f"F{i}", "其他", "無關內容", "1. 無關。") for i in range(20)]
    with new_store() as ranked_store:
        add_records(
            ranked_store,
            [
                P("ABSTRACT", "裝置", "本裝置有感測器", "1. 一種裝置。"),
                P("TITLE", "感測器", "本裝置", "1. 一種裝置。"),
                P("CLAIMS", "裝置", "本裝置", "1. 一種感測器。"),
                P("APPLICANT", "裝置", "本裝置", "1. 一種裝置。", applicants="感測器股份有限公司"),
                *fillers,
            ]
        )
        result = ranked_store.search("感測器@TI,AB,CL,PA")
    assert [hit.record.pn for hit in result.hits] == ["TITLE", "CLAIMS", "ABSTRACT", "APPLICANT"]
    scores = [hit.score for hit in result.hits]
    assert scores == sorted(scores, reverse=True) and scores[-1] > 0


def test_word_hits_rank_above_date_only_hits_which_come_newest_first(store):
    hits = store.search("燃料 OR AD=2010:2015").hits
    assert [hit.record.pn for hit in hits] == ["A3", "A7", "A2", "A6"]
    assert hits[0].score > 0 and all(hit.score == 0 for hit in hits[1:])


def test_matched_lists_the_words_each_hit_contains(store):
    hits = {hit.record.pn: hit.matched for hit in store.search("OLED OR 燃料電池 OR TI=電池 OR 不存在").hits}
    assert hits == {"A1": ("電池",), "A2": ("OLED",), "A3": ("燃料電池", "電池")}


@pytest.mark.parametrize("limit, count", [(None, 4), (2, 2), (0, 0), (100, 4)])
def test_limit_keeps_the_best_and_total_counts_all(store, limit, count):
    full = store.search("電池")
    result = store.search("電池", limit=limit)
    assert result.total == 4
    assert result.hits == full.hits[:count]


@pytest.mark.parametrize(
    "command",
    [
        "'; DROP TABLE records; --",
        'a" OR "b',
        "NEAR(電池 battery, 2)",
        "{ti ab}: 電池",
        "ti:電池 OR ^battery",
        "電池 - battery + x",
        "AD=2015:2024' OR '1'='1",
        "電池\x00battery",
        "\ud800電池",
        "(((((((((((((電池)))))))))))))",
        " OR ".join(f"詞{i}" for i in range(400)),
        " ".join(f"NOT 詞{i}" for i in range(300)),
        " OR ".join(f"AD={2000 + i % 25}" for i in range(300)),
    ],
)
def test_hostile_commands_give_results_or_query_error(store, command):
    try:
        store.search(command, limit=5)
    except QueryError:
        pass
    assert store.count() == len(RECORDS)


# --- import files ------------------------------------------------------------


def write(folder: Path, name: str, text: str, encoding: str = "utf-8") -> Path:
    path = folder / name
    path.write_bytes(text.encode(encoding))
    return path


def test_csv_with_bom_captions_and_bad_rows(tmp_path, new_store):
    path = write(
        tmp_path,
        "patents.csv",
        "公開公告號,專利名稱,申請日,專利範圍,備註\r\n"
        "TWI1,固態電池,2020-01-05,\"1. 一種電池。\n2. 如請求項1。\",x\r\n"
        ",沒有號碼,20200101,,\r\n"
        "TWI2,顯示器,2020/13/01,,\r\n"
        "TWI3,感測器,2021/3/4,,\r\n"
        "\r\n"
        "TWI4,太多欄,20200101,,,extra\r\n",
        "utf-8-sig",
    )
    with new_store() as csv_store:
        report = import_records_file(csv_store, path)
        assert (report.added, report.updated, report.skipped) == (2, 0, 3)
        assert [p.line for p in report.problems] == [4, 5, 8]
        for problem, fragment in zip(report.problems, ["缺少公開公告號", "申請日「2020/13/01」", "欄位數 6 多於"]):
            assert fragment in problem.message
        assert report.ignored_columns == ("備註",)
        claims = csv_store.search("PN=TWI1").hits[0].record.claims
        assert claims == "1. 一種電池。\n2. 如請求項1。"
        assert found(csv_store, "AD=20210304") == {"TWI3"}


def test_jsonl_with_english_names_and_bad_lines(tmp_path, new_store):
    lines = [
        json.dumps({"pn": "J1", "title": "電池", "applicants": ["甲公司", "乙公司"], "AD": "20200101"}, ensure_ascii=False),
        "{not json",
        json.dumps(["a list"]),
        json.dumps({"pn": "J2", "title": 5}),
        json.dumps({"title": "沒有號碼"}, ensure_ascii=False),
        "",
        json.dumps({"PN": "J3", "Title": "面板", "pd": None}, ensure_ascii=False),
    ]
    path = write(tmp_path, "patents.jsonl", "\n".join(lines) + "\n")
    with new_store() as json_store:
        report = import_records_file(json_store, path)
        assert (report.added, report.skipped) == (2, 4)
        assert [p.line for p in report.problems] == [2, 3, 4, 5]
        assert "不是有效的 JSON" in report.problems[0].message
        assert "應為文字" in report.problems[2].message
        assert found(json_store, "PA=乙公司") == {"J1"}
        assert found(json_store, "AD=2020") == {"J1"}


def test_lines_that_are_not_utf8_are_skipped_with_their_number(tmp_path, new_store):
    path = tmp_path / "mixed.jsonl"
    # A UTF-8 file (its other lines say so) with one line in Big5.
    path.write_bytes('{"pn": "U1", "title": "固態"}\n{"pn": "U2", "title": "'.encode() + "電池".encode("big5")
                     + '"}\n{"pn": "U3", "title": "面板"}\n'.encode())
    with new_store() as mixed_store:
        report = import_records_file(mixed_store, path)
    assert report.added == 2 and [p.line for p in report.problems] == [2]


def test_csv_without_pn_column_is_refused_as_a_whole(tmp_path, new_store):
    path = write(tmp_path, "nopn.csv", "title,abstract\n電池,x\n面板,y\n")
    with new_store() as refused_store:
        report = import_records_file(refused_store, path)
        assert report.added == 0 and report.problems[0].line == 1 and refused_store.count() == 0


def test_unknown_file_type_is_refused(tmp_path, new_store):
    with new_store() as other_store, pytest.raises(ValueError, match="不支援的檔案類型"):
        import_records_file(other_store, write(tmp_path, "patents.xlsx", ""))


def test_same_pn_updates_in_place_and_reindexes(new_store):
    with new_store() as dedup_store:
        first = add_records(dedup_store, [P("D1", "舊標題電池"), P("D2", "面板"), P("D1", "次標題電池")])
        assert (first.added, first.updated) == (2, 1)
        second = add_records(dedup_store, [P("D1", "新標題感測器", ad="2022-02-02"), P("D3", "馬達")])
        assert (second.added, second.updated, dedup_store.count()) == (1, 1, 3)
        assert found(dedup_store, "舊標題") == set() and found(dedup_store, "次標題") == set()
        assert found(dedup_store, "感測器 AD=2022") == {"D1"}
        assert found(dedup_store, "電池") == set()


def test_add_reports_bad_records_and_keeps_good_ones(new_store):
    with new_store() as checked_store:
        report = add_records(checked_store, [P("OK1"), P("  "), P("BAD", ad="2020-02-30"), P("OK2", pd="2020/2/29")])
        assert (report.added, report.skipped) == (2, 2)
        assert [str(p)[:5] for p in report.problems] == ["第 2 行", "第 3 行"]
        assert found(checked_store, "ID=20200229") == {"OK2"}


# --- files, schema, sample ------------------------------------------------------


def test_database_file_persists_and_checks_its_version(tmp_path):
    path = tmp_path / "p.sqlite3"
    with PatentStore(path) as file_store:
        add_records(file_store, RECORDS[:2])
    with PatentStore(path) as reopened:
        assert reopened.count() == 2 and found(reopened, "電池") == {"A1"}
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        assert raw.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        raw.execute("PRAGMA user_version = 99")
    with pytest.raises(StoreError, match="版本 99"):
        PatentStore(path)


def test_default_store_starts_with_the_sample_collection(tmp_path):
    path = tmp_path / "folder" / "patents.sqlite3"
    with open_default_store(path) as default_store:
        assert default_store.count() >= 200
        result = default_store.search("(電池 OR battery)@TI,AB AND AD=2015:2024")
        assert 20 <= result.total <= 60
        assert all("20150101" <= hit.record.ad <= "20241231" for hit in result.hits)
        add_records(default_store, [P("EXTRA")])
        count = default_store.count()
    with open_default_store(path) as again:  # an existing database is left as it is
        assert again.count() == count


def test_sample_file_is_the_output_of_its_script_and_marked_fictional():
    folder = Path(make_sample.__file__).parent
    stored = (folder / SAMPLE_FILE[1]).read_text(encoding="utf-8").splitlines()
    assert stored == [json.dumps(asdict(record), ensure_ascii=False) for record in make_sample.records()]
    assert "fictional" in (folder / "README.md").read_text(encoding="utf-8").lower()
    assert all("範例" in r.applicants or "虛構" in r.applicants or "示範" in r.applicants or "想像" in r.applicants
               or "(fictional)" in r.applicants for r in make_sample.records())


def test_synthetic_records_are_reproducible_with_unique_numbers(new_store):
    first = list(synth.generate(300, seed=3))
    assert first == list(synth.generate(300, seed=3)) != list(synth.generate(300, seed=4))
    assert len({record.pn for record in first}) == 300
    with new_store() as synthetic_store:
        assert add_records(synthetic_store, first).added == 300


# --- the bibliographic record: priority, CPC, citations, families ------------------

# Families: a TW 公開 A and its 公告 B (one application number); an EPO family-id
# shared by a US grant and an EP B1; a Lens-style member list naming the US
# grant without its kind.
BIBLIOGRAPHIC = [
    P("TWI100001B", "固態電池", an="110100001", pd="20220101", prd="20200301", cpc="H01M10/0525; Y02E60/10",
      cites="US8930553B2; TWI700214B"),
    P("TW202100001A", "固態電池", an="110100001", pd="20210101", prd="20200301", cpc="H01M10/0525"),
    P("US8930553B2", "battery", an="13/000001", pd="20150106", prd="20120101", cpc="H01M100/00", family="555"),
    P("EP2500000A1", "battery", pd="20140101", members="US8930553"),
    P("EP2600000B1", "battery", family="555", cites="US8930553B1"),
    # a US pre-grant publication as USPTO writes it, cited and listed by EPO in the DOCDB form
    P("US20040136338A1", "散熱", an="10/000002", pd="20040715"),
    P("EP2700000A1", "散熱", cites="US2004136338A1"),
    P("EP2800000A1", "散熱", cites="USD510791"),  # a citation without its kind
    # a grant listing its application's publication, which is no record here, and its family by family-id
    P("TWI400001B", "散熱", family="888", members="TW201346027A"),
    P("US9000001B2", "散熱", family="888"),
    P("US7000001B2", "散熱", ad="20041001"),  # no priority claim
]


@pytest.fixture(scope="module")
def bibliographic(new_store):
    with new_store() as opened:
        add_records(opened, BIBLIOGRAPHIC)
        yield opened


@pytest.mark.parametrize(
    "command, expected",
    [
        ("CPC=H01M", {"TWI100001B", "TW202100001A", "US8930553B2"}),  # a subclass: its groups
        ("CPC=H01M10", {"TWI100001B", "TW202100001A"}),  # a main group: never H01M100
        ("CPC=Y02E*", {"TWI100001B"}),
        ('CPC="H01M"', set()),  # quoted: the symbol alone
        ("CT=US8930553", {"TWI100001B", "EP2600000B1"}),  # any kind of the cited number
        ("CT=US8930553B2", {"TWI100001B"}),
        ("CT=TWI700214", {"TWI100001B"}),
        ("FAM=TW202100001A", {"TWI100001B", "TW202100001A"}),
        ("FAM=EP2500000", {"EP2500000A1", "US8930553B2", "EP2600000B1"}),  # member list, then family-id
        ("FAM=EP2600000B1 NOT CT=US8930553", {"EP2500000A1", "US8930553B2"}),
        ("PRD=2020", {"TWI100001B", "TW202100001A"}),
        ("battery AND PRD=:2012", {"US8930553B2"}),
        ("固態 NEAR/3 電池 AND CPC=H01M10 AND PRIOR=US8930553B2", set()),  # a code, a date and a proximity at once
        ("固態 NEAR/3 電池 AND CPC=H01M10", {"TWI100001B", "TW202100001A"}),
        ("固態電池 NEAR/3 電池", set()),  # their one 電池 is inside 固態電池: never near itself
        ("PRIOR=TW202100001A", {"US8930553B2", "EP2500000A1", "US20040136338A1"}),  # published before 2020-03-01
        ('SIM=TWI100001B AND PRIOR=TWI100001B', set()),  # nothing before it shares its words
        ("PRIOR=EP2500000A1", "沒有優先權日"),
        ("PRIOR=US1234567B2", "資料庫中沒有公開公告號「US1234567B2」"),
        ("PN=US2004136338", {"US20040136338A1"}),  # Espacenet's form of the number
        ("PN=US20040136338A1", {"US20040136338A1"}),
        ("CT=US20040136338A1", {"EP2700000A1"}),
        ("CT=USD510791S", {"EP2800000A1"}),  # kinds compared only where both carry one
        ("CT=USD510791", {"EP2800000A1"}),
        ("FAM=TW201346027A", {"TWI400001B", "US9000001B2"}),  # stored only in a member list
        ("FAM=TW201346027", {"TWI400001B", "US9000001B2"}),
        ("FAM=TW201346027B", set()),
        ("PRD=2004", {"US7000001B2"}),  # without a priority claim: the filing date
        ("PRD=2004 OR PRD=2012", {"US7000001B2", "US8930553B2"}),
        ("PRIOR=US7000001B2", {"US20040136338A1"}),  # published before 2004-10-01
    ],
)
def test_bibliographic_fields_are_searched(bibliographic, command, expected):
    if isinstance(expected, str):
        with pytest.raises(QueryError, match=expected):
            bibliographic.search(command)
    else:
        assert found(bibliographic, command) == expected


def test_the_closest_hits_are_one_a_family(bibliographic):
    result = bibliographic.search("battery OR 電池")
    assert result.total == 5 and result.families().count == 2
    # a citation of another kind (US8930553B1) is not one of this publication
    assert result.cited_by(["US8930553B2", "TW202100001A"]) == {"US8930553B2": 1, "TW202100001A": 0}
    assert result.cited_by(["US20040136338A1"]) == {"US20040136338A1": 1}
    closest = [hit.record.pn for hit in result.closest_families(5)]
    assert len(closest) == 2 and set().union(*(found(bibliographic, f"FAM={number}") for number in closest)) == {
        record.pn for record in BIBLIOGRAPHIC if record.title != "散熱"
    }


@pytest.mark.parametrize(
    "command", ["電池 OR battery OR 面板", "(電池 OR 監控)@TI OR LED NOT 燃料", "PN=A1 OR deep learning", "SIM=A1"]
)
def test_the_closest_hits_have_the_words_found_for_every_hit_and_list_rows_are_the_rows(store, command):
    closest = store.search(command).closest(3)  # their words looked up by id
    listed = list(store.search(command).rows())  # every hit's words over the whole index
    assert [(h.record.pn, h.matched) for h in closest] == [(h.record.pn, h.matched) for h in listed[:3]]
    assert all(h.matched for h in listed)
    assert list(store.search(command).list_rows()) == [list_row(h) for h in listed]


# --- upgrading a database of the earlier format -----------------------------------

# The earlier format: abstract and claims in the records table itself.
_EARLIER_RECORDS = (
    "CREATE TABLE records (id INTEGER PRIMARY KEY, pn TEXT NOT NULL UNIQUE, title TEXT NOT NULL DEFAULT '', "
    "applicants TEXT NOT NULL DEFAULT '', inventors TEXT NOT NULL DEFAULT '', ipc TEXT NOT NULL DEFAULT '', "
    "an TEXT NOT NULL DEFAULT '', ad TEXT NOT NULL DEFAULT '', pd TEXT NOT NULL DEFAULT '', "
    "abstract TEXT NOT NULL DEFAULT '', claims TEXT NOT NULL DEFAULT '', number TEXT NOT NULL DEFAULT '')"
)
_ODD_TEXTS = [P("Z1", "電池", "", ""), P("Z2", "電池", "含\x00空字元與 emoji 🔋", "長" * 20_000), P("Z3", "電池", abstract="只有摘要")]


def earlier_database(path: Path, records: list[PatentRecord]) -> None:
    """A database as the earlier format wrote it, index included."""
    with PatentStore() as scratch:  # the index's own definition
        index_sql = scratch.connection.execute("SELECT sql FROM sqlite_master WHERE name = 'patent_index'").fetchone()[0]
    with sqlite3.connect(path) as raw:
        raw.execute(_EARLIER_RECORDS)
        raw.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
        raw.execute("INSERT INTO meta VALUES ('segmentation', ?)", (sqlite_schema.INDEX_VERSION,))
        raw.execute(index_sql)
        columns = ", ".join(map(index_column, TEXT_FIELDS))
        for record_id, record in enumerate(records, 1):
            values = {key: value for key, value in asdict(record).items() if f" {key} TEXT" in _EARLIER_RECORDS}
            raw.execute(
                f"INSERT INTO records (id, {', '.join(values)}, number) VALUES (?, {', '.join('?' * len(values))}, ?)",
                (record_id, *values.values(), record.pn),
            )
            raw.execute(
                f"INSERT INTO patent_index (rowid, {columns}) VALUES (?, {', '.join('?' * len(TEXT_FIELDS))})",
                (record_id, *index_values(record)),
            )
        raw.execute("PRAGMA user_version = 2")


@pytest.mark.parametrize("records, steps", [(RECORDS, 2), (_ODD_TEXTS, 1), (RECORDS + _ODD_TEXTS, 1000)])
def test_an_earlier_database_is_upgraded_in_place_with_nothing_lost(tmp_path, monkeypatch, records, steps):
    monkeypatch.setattr(sqlite_schema, "UPGRADE_STEPS", steps)
    monkeypatch.setattr(sqlite_schema, "CHUNK", 2)
    path = tmp_path / "earlier.sqlite3"
    earlier_database(path, records)
    said: list[str] = []
    command = "電池 OR 面板 OR 方法 OR 設備 OR 車架"
    with PatentStore(path, progress=said.append) as upgraded, PatentStore() as fresh:
        fresh.write_batch(records)
        hits = upgraded.search(command).hits
        assert {hit.record for hit in hits} == set(records)
        assert [(h.record.pn, h.score, h.matched) for h in hits] == [(h.record.pn, h.score, h.matched) for h in fresh.search(command).hits]
        assert upgraded.check() == []
    assert said[0].startswith(f"正在升級資料庫格式（{len(records):,} 筆") and said[-1].endswith(f"{len(records):,} 筆專利")
    counts = [int(line.split()[1].replace(",", "")) for line in said if line.startswith("已升級")]
    assert counts == sorted(counts) and bool(counts) == (len(records) > steps)
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        assert "abstract" not in {row[1] for row in raw.execute("PRAGMA table_info(records)")}
        assert raw.execute("PRAGMA freelist_count").fetchone()[0] == 0  # the freed pages given back


def test_a_database_of_schema_3_gains_the_bibliographic_fields_filled_by_the_next_import(tmp_path):
    path = tmp_path / "schema3.sqlite3"
    with PatentStore(path) as made:
        add_records(made, BIBLIOGRAPHIC)
    with sqlite3.connect(path) as raw:  # as schema 3 wrote it: no codes, no bibliographic columns
        raw.execute("DROP TABLE codes")
        for attribute in ("prd", "family"):
            raw.execute(f"DROP INDEX records_{attribute}")
        for attribute in ("priority", "prd", "cpc", "family", "members", "cites", "status", "doctype"):
            raw.execute(f"ALTER TABLE records DROP COLUMN {attribute}")
        raw.execute("PRAGMA user_version = 3")
    with PatentStore(path) as upgraded:
        assert (upgraded.count(), found(upgraded, "CPC=H01M"), found(upgraded, "固態電池")) == (len(BIBLIOGRAPHIC), set(), {"TWI100001B", "TW202100001A"})
        filled = [r for r in BIBLIOGRAPHIC if r.prd or r.cpc or r.family or r.members or r.cites]
        assert add_records(upgraded, BIBLIOGRAPHIC).updated == len(filled)  # the import again fills them
        assert found(upgraded, "CPC=H01M") == {"TWI100001B", "TW202100001A", "US8930553B2"} and upgraded.check() == []


@pytest.mark.parametrize("version, narrow", [(4, ("prd", "pd")), (5, ("pd",))])
def test_a_database_of_schema_4_or_5_gets_the_covering_indexes_of_dates(tmp_path, version, narrow):
    path = tmp_path / f"schema{version}.sqlite3"
    commands = ("PRD=2010:2020", "ID=:2021", "ID=2010:2022 AND PRD=2012")
    with PatentStore(path) as made:
        add_records(made, BIBLIOGRAPHIC)
        before = [[hit.record.pn for hit in made.search(command).hits] for command in commands]
    with sqlite3.connect(path) as raw:
        for attribute in narrow:
            raw.execute(f"DROP INDEX records_{attribute}")
            raw.execute(f"CREATE INDEX records_{attribute} ON records ({attribute})")
        raw.execute(f"PRAGMA user_version = {version}")
    said = []
    with PatentStore(path, progress=said.append) as upgraded:
        after = [[hit.record.pn for hit in upgraded.search(command).hits] for command in commands]
        assert after == before and all(before) and upgraded.check() == [] and said == ["正在更新資料庫格式（日期索引）…"]
    with sqlite3.connect(path) as raw:
        for attribute in ("prd", "pd"):
            assert [row[2] for row in raw.execute(f"PRAGMA index_info(records_{attribute})")] == [attribute, "ad"]


def test_a_database_of_schema_6_gets_the_index_columns_of_other_languages(tmp_path, monkeypatch):
    path, columns = tmp_path / "schema6.sqlite3", ", ".join(map(index_column, TEXT_FIELDS[:8]))
    with PatentStore(path) as made:
        add_records(made, RECORDS)
    with sqlite3.connect(path) as raw:  # as schema 6 wrote it: no title in other languages, an index of eight columns
        raw.execute("ALTER TABLE records DROP COLUMN title_alt")
        raw.execute("DROP TABLE patent_index")
        raw.execute(f"CREATE VIRTUAL TABLE patent_index USING fts5({columns}, content='', tokenize=\"ascii tokenchars './'\")")
        raw.executemany(f"INSERT INTO patent_index (rowid, {columns}) VALUES ({', '.join('?' * 9)})",
                        [(record_id, *index_values(record)[:8]) for record_id, record in enumerate(RECORDS, 1)])
        raw.execute("UPDATE meta SET value = ? WHERE key = 'segmentation'", (f"{segment.VERSION}/fts5-contentless-noprefix",))
        raw.execute("PRAGMA user_version = 6")
    monkeypatch.setattr(sqlite_schema, "UPGRADE_STEPS", 4)
    monkeypatch.setattr(sqlite_schema, "CHUNK", 2)
    said: list[str] = []
    bilingual = P("A8", "固態電池", "一種電池", title_alt="SOLID BATTERY\nFESTKÖRPERBATTERIE", abstract_alt="A battery.")
    with PatentStore(path, progress=said.append) as upgraded, PatentStore() as fresh:
        fresh.write_batch(RECORDS)
        for command in ("電池 OR battery", "TI=電池 AND AB=batteries", "battery NEAR/3 pack"):
            assert [(h.record.pn, h.score, h.matched) for h in upgraded.search(command).hits] == \
                [(h.record.pn, h.score, h.matched) for h in fresh.search(command).hits], command
        assert upgraded.check() == [] and upgraded.stored(["A1"])["A1"] == RECORDS[0]  # the blobs of schema 6 read as they are
        assert add_records(upgraded, [bilingual]).added == 1 and upgraded.stored(["A8"])["A8"] == bilingual
        assert found(upgraded, "TI=festkörperbatterie") == {"A8"}
    assert said == ["正在重建全文索引（7 筆專利，完成前請勿關閉程式）…", "全文索引已重建 4 / 7 筆", "全文索引已重建：7 筆專利"]


@pytest.mark.parametrize("texts", [("摘要 🔋", "1. 請求項", ""), ("", "", "Ein\x00Text\n\nUn texte")])
def test_the_long_texts_read_back_and_a_blob_without_other_languages_keeps_the_earlier_layout(texts):
    assert sqlite_schema.unpack(sqlite_schema.pack(*texts)) == texts
    earlier = zlib.compress(len(texts[0].encode()).to_bytes(4, "little") + (texts[0] + texts[1]).encode(), 6)
    assert sqlite_schema.unpack(earlier) == (*texts[:2], "")
    damaged = zlib.compress((1 << 31 | 3).to_bytes(4, "little") + (0xFFFF).to_bytes(4, "little") + b"abc")
    assert all(text is UNREADABLE for text in sqlite_schema.unpack(damaged))  # the other abstract runs past the blob


def test_a_database_of_schema_7_gains_the_mined_pairs(tmp_path):
    path = tmp_path / "schema7.sqlite3"
    with PatentStore(path) as made:
        add_records(made, RECORDS)
        before = found(made, "電池")
    with sqlite3.connect(path) as raw:
        raw.execute("DROP TABLE term_pairs")
        raw.execute("PRAGMA user_version = 7")
    pair = TermPair("電池", "battery", 0.9, 0.8, 3, ("A1", "A2"))
    with PatentStore(path) as upgraded:
        assert found(upgraded, "電池") == before != set() and upgraded.term_pairs() == []
        assert upgraded.term_pairs_stamp() == "" and upgraded.replace_term_pairs([pair]) == 1
        add_records(upgraded, [P("A1", "固態電池模組", title_alt="Solid-state battery module")])
        assert [r.pn for r in upgraded.bilingual_records(5)] == ["A1"] and upgraded.check() == []
    with PatentStore(path) as reopened:
        assert reopened.term_pairs() == [pair] and reopened.term_pairs_stamp() != ""
        assert reopened.stored(["A1"])["A1"].title_alt == "Solid-state battery module"
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION


# Legal statuses and document types as exports word them, some records holding neither.
WORDED = [P(f"S{i}", "電池", status=("ACTIVE", "消滅", "", "PENDING")[i % 4], doctype=("B2", "", "新型公告")[i % 3]) for i in range(9)]
STATUS_COMMANDS = ("LS=有效", "LS=失效 OR DT=新型", "電池 NOT LS=審查中", "DT=發明公告 AND LS=active")


def test_a_database_of_schema_8_gains_the_values_of_its_legal_statuses_and_document_types(tmp_path, monkeypatch):
    path = tmp_path / "schema8.sqlite3"
    with PatentStore(path) as made:
        add_records(made, WORDED)
    with sqlite3.connect(path) as raw:  # as schema 8 wrote it: no codes rows of LS= and DT=
        raw.execute("DELETE FROM codes WHERE kind IN ('ls', 'dt')")
        raw.execute("PRAGMA user_version = 8")
    monkeypatch.setattr(sqlite_schema, "UPGRADE_STEPS", 4)
    monkeypatch.setattr(sqlite_schema, "CHUNK", 2)
    said: list[str] = []
    with PatentStore(path, progress=said.append) as upgraded, PatentStore() as fresh:
        fresh.write_batch(WORDED)
        expected = [found(fresh, command) for command in STATUS_COMMANDS]
        assert [found(upgraded, command) for command in STATUS_COMMANDS] == expected and all(expected)
        add_records(upgraded, [replace(WORDED[0], status="EXPIRED")])  # the upgraded rows are replaced as any
        assert found(upgraded, "LS=有效") == {"S4", "S8"} and upgraded.check() == []
    assert said == ["正在整理法律狀態與文件類型的檢索值（9 筆專利，完成前請勿關閉程式）…", "法律狀態與文件類型已整理 4 / 9 筆", "法律狀態與文件類型已整理 8 / 9 筆"]
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION == 9


def test_an_upgrade_that_fails_leaves_the_earlier_database_as_it_was(tmp_path, monkeypatch):
    path = tmp_path / "earlier.sqlite3"
    earlier_database(path, RECORDS)
    packed = iter(range(len(RECORDS)))

    def failing(abstract: str, claims: str) -> bytes:
        if next(packed) == 3:
            raise sqlite3.OperationalError("disk I/O error")
        return b""

    monkeypatch.setattr(sqlite_schema, "pack", failing)
    with pytest.raises(StoreError, match="磁碟空間已滿"):
        PatentStore(path)
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA user_version").fetchone()[0] == 2
        assert raw.execute("SELECT count(*) FROM records WHERE abstract != ''").fetchone()[0] == len(RECORDS)
        assert raw.execute("SELECT count(*) FROM sqlite_master WHERE name = 'texts'").fetchone()[0] == 0


# --- chunks prepared ahead of writing ---------------------------------------------


@pytest.mark.parametrize("chunk", [1, 2, 3, 1000])
@pytest.mark.parametrize("write", [PatentStore.write_batch, add_records], ids=["write_batch", "add_records"])
def test_records_written_in_chunks_prepared_ahead_are_stored_and_found_alike(monkeypatch, chunk, write):
    monkeypatch.setattr(sqlite_schema, "CHUNK", chunk)
    # Repeats across and within chunks: the last one written wins.
    records = [*RECORDS, P("A1", "電池外殼"), P("A3", "燃料電池系統", "氫氣"), P("A1", "鋰電池")]
    with PatentStore() as chunked:
        write(chunked, records[:4])
        write(chunked, records[4:])
        stored = {hit.record.pn: hit.record for hit in chunked.search("電池 OR 面板 OR 車架 OR 方法 OR 設備 OR 監控").hits}
        assert stored == {record.pn: record for record in records}
        assert found(chunked, "外殼") == set() and found(chunked, "鋰電池") == {"A1"} and chunked.check() == []


def test_a_chunk_that_cannot_be_prepared_writes_nothing_of_its_batch(monkeypatch):
    monkeypatch.setattr(sqlite_schema, "CHUNK", 2)
    prepare = sqlite_writer.prepare_chunk
    calls = iter(range(100))

    def failing(chunk):
        if next(calls) == 2:
            raise RuntimeError("segmentation failed")
        return prepare(chunk)

    monkeypatch.setattr(sqlite_writer, "prepare_chunk", failing)
    with PatentStore() as failed:
        with pytest.raises(RuntimeError):
            failed.write_batch(RECORDS)
        assert failed.count() == 0 and found(failed, "電池") == set()


@pytest.mark.parametrize("polls_before_stop", [0, 1, 2], ids=["before writing", "first poll", "second poll"])
def test_a_prepared_batch_stopped_by_its_cancel_is_not_written_at_all(tmp_path, polls_before_stop):
    records = list(synth.generate(1000, seed=3))
    answers = iter([False] * polls_before_stop + [True] * 10**6)
    with PatentStore(tmp_path / "db.sqlite3") as stopped:
        stopped.write_batch(RECORDS)
        with pytest.raises(Cancelled):
            stopped.write_batch(stopped.prepare(records), cancel=lambda: next(answers))
        assert stopped.count() == len(RECORDS) and stopped.check() == []
        assert stopped.write_batch(stopped.prepare(records)).added == len(records)
