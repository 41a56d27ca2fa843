"""Import of real export layouts: detection, field mapping per format,
normalisation, encodings, failures and resumption."""

from __future__ import annotations

import errno
import functools
import io
import itertools
import json
import os
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import zipfile
import zlib
from pathlib import Path
from unittest.mock import Mock

import pytest

import ingest_fixtures as fx
from varnel_host import __main__ as host
from varnel_host.ingest import FORMATS, FileInfo, Importer, detect, finish
from varnel_host.ingest import run, tables, text, xmldocs
from varnel_host.records import PatentRecord
from varnel_host.contract import StoreError
from varnel_host.field_values import DOCTYPE, STATUS
from varnel_host.store import PatentStore
from varnel_host.stores import open_store as open_default_store

SAMPLES = Path(__file__).resolve().parents[2] / "shared" / "samples"


def read(data: bytes) -> list[PatentRecord | str]:
    """Every record (finished) or problem a file gives."""
    reader = detect(data[:65536])
    assert reader is not None, "format not recognised"
    out: list[PatentRecord | str] = []
    for _, item in reader(io.BytesIO(data), FileInfo()):
        if isinstance(item, PatentRecord):
            try:
                item = finish(item)
            except ValueError as error:
                item = str(error)
        out.append(item)
    return out


# --- detection -------------------------------------------------------------------------------


def _name(reader) -> str:
    return getattr(reader, "func", reader).__name__ if reader else "none"


@pytest.mark.parametrize(
    "content, expected",
    [
        (fx.LENS_CURRENT, "lens_csv"),
        (fx.LENS_OLD, "lens_csv"),
        (fx.GOOGLE, "google_csv"),
        (fx.GOOGLE.split("\n", 1)[1], "google_csv"),  # without the search URL line
        (fx.USPTO_GRANT.format(number="09000006"), "uspto_xml"),
        (fx.USPTO_APPLICATION_V42, "uspto_xml"),
        (fx.TIPO_INVENTION, "tipo_xml"),
        (fx.EPO_TWO, "epo_xml"),
        (fx.EPO_CLAIMS, "epo_xml"),
        (fx.TIPO_INDEX, "tipo_xml"),
        (fx.OWN_CSV, "own_csv"),
        (fx.OWN_JSONL, "own_jsonl"),
        ('<?xml version="1.0"?>\n<!DOCTYPE html>\n<html><body/></html>', "none"),
        ("<!ELEMENT tw-patent-grants (tw-patent-grant*)>", "none"),
        ("just some notes\n", "none"),
        ("", "none"),
    ],
)
def test_format_is_told_from_content(content, expected):
    assert _name(detect(content.encode("utf-8"))) == expected


def test_a_utf16_lens_file_is_recognised():
    assert _name(detect(fx.LENS_OLD.encode("utf-16"))) == "lens_csv"


def test_readme_import_table_lists_the_registered_formats():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    lines = readme.split("### Importing patent records\n", 1)[1].split("\n#", 1)[0].splitlines()
    start = lines.index("| format | what is read |") + 2  # after the header and its rule
    listed = [line.split("|")[1].strip() for line in itertools.takewhile(lambda line: line.startswith("|"), lines[start:])]
    registered = [form.name for form in FORMATS]
    assert len(set(registered)) == len(registered)
    assert {"not in README": set(registered) - set(listed), "not registered": set(listed) - set(registered)} == {
        "not in README": set(), "not registered": set()}
    assert len(set(listed)) == len(listed)


def test_the_command_line_help_names_every_registered_format(capsys):
    with pytest.raises(SystemExit):
        host.main(["--help"])
    shown = " ".join(capsys.readouterr().out.split())  # argparse wraps its lines
    assert [form.name for form in FORMATS if form.name not in shown] == []


# --- field mapping per format -------------------------------------------------------------


def _uspto_bulk() -> str:
    return "".join(
        [fx.USPTO_GRANT.format(number="09000006"), fx.SEQUENCE_LISTING, fx.USPTO_GRANT.format(number="09000007"),
         fx.USPTO_APPLICATION_V42]
    )


_CPC = "".join(
    f"<{kind}><classification-cpc><section>{s}</section><class>{c}</class><subclass>{sc}</subclass><main-group>{m}"
    f"</main-group><subgroup>{g}</subgroup></classification-cpc></{kind}>"
    for kind, s, c, sc, m, g in (("main-cpc", "H", "01", "M", "2220", "20"), ("further-cpc", "Y", "02", "E", "60", "10"))
)
_TIPO_ABSTRACTS = ("</tw-bibliographic-data-grant><abstract><chinese-abstract><p>一種培養方法。</p><p>其步驟。</p>"
                   "</chinese-abstract><english-abstract><p>A method.</p><p>Its steps.</p></english-abstract></abstract>")
_EPO_ABSTRACTS = ('<abstract lang="de"><p>Ein Netz.</p></abstract><abstract lang="fr"><p>Un réseau.</p><p>Maillé.</p>'
                  '</abstract><abstract lang="en">')
_EPO_TITLES = ('<invention-title lang="de">VERNETZUNG</invention-title><invention-title lang="zh">网络</invention-title>'
               '<invention-title lang="fr">RÉSEAU</invention-title><invention-title lang="de">VERNETZUNG</invention-title>')
_TIPO_PRIORITY = ("<priority-claims><priority-claim><country>JP</country><doc-number>2011-100</doc-number><date>100/10/26"
                  "</date></priority-claim><priority-claim><country>US</country><doc-number>61/200</doc-number>"
                  "<date>100/03/01</date></priority-claim></priority-claims><invention-title>")


@pytest.mark.parametrize(
    "content, index, expected",
    [
        (fx.USPTO_GRANT.format(number="09000006").replace("<classifications-ipcr>", f"<classifications-cpc>{_CPC}"
                                                          "</classifications-cpc><classifications-ipcr>"), 0,
         dict(cpc="H01M2220/20; Y02E60/10", doctype="B2", cites="", prd="")),
        (fx.TIPO_INVENTION.replace("<invention-title>", _TIPO_PRIORITY), 0,
         dict(priority="JP 2011-100; US 61/200", prd="20110301", doctype="B")),
        (fx.LENS_CURRENT, 0, dict(pn="US9000001B2", title="Gene editing, improved", abstract="An abstract\nover two lines.",
                                  applicants="ACME BIO INC; SMITH; JONES LLP", inventors="DOE JANE; ROE RICHARD",
                                  ipc="C12N9/22; A61K35/28", an="US201715000001A", ad="20170314", pd="20171205")),
        (fx.LENS_CURRENT, 1, dict(pn="US20200000002A1", abstract="", ipc="C12N15/86")),
        (fx.LENS_OLD, 0, dict(pn="EP2000001A1", title="Older layout title", abstract="", ad="20100624", pd="20111228")),
        (fx.GOOGLE, 0, dict(pn="US9000005B2", prd="20140101", applicants="Kespry, Inc.; Samsung Electronics Co., Ltd.",
                            inventors="Jane Doe; Richard Roe", ad="20150203", pd="20170506")),
        (fx.USPTO_GRANT.format(number="09000006"), 0, dict(
            pn="US9000006B2", title="Session messages", abstract="First paragraph.\nSecond paragraph.",
            claims="1. A system comprising: a processor.\n2. The system of claim 1.",
            applicants="Example Machines Corp; Example Holdings Ltd", inventors="Nora Nissen", ipc="G06F15/16",
            an="13000006", ad="20121009", pd="20150106")),
        (fx.USPTO_APPLICATION_V42, 0, dict(pn="US20070000007A1", applicants="Heidi Kaufer", inventors="Heidi Kaufer",
                                           ipc="A61B5/00; G06F19/00", ad="20060423")),
        (_uspto_bulk(), 1, dict(pn="US9000007B2")),
        (_uspto_bulk(), 2, dict(pn="US20070000007A1")),
        (fx.TIPO_INVENTION, 0, dict(pn="TWI400008B", title="牛樟芝的培養方法", applicants="範例生技股份有限公司",
                                    inventors="王小明", ipc="C12N1/14; A01G1/04", an="101000008", ad="20120510",
                                    pd="20140601", claims="1. 一種培養方法，包含一步驟。\n2. 如申請專利範圍第1項所述之方法。")),
        (fx.TIPO_DESIGN, 0, dict(pn="TWD160009S", ipc="", abstract="本設計為一件褲子。", ad="20130221", claims="",
                                 title="褲子", title_alt="")),
        (fx.EPO_TWO, 0, dict(pn="EP2000010A1", title="NETWORKING 2000010", ipc="H04W84/20", applicants="BLUE OY",
                             inventors="HERRALA SAMI", an="EP10000010", ad="20100624", pd="20111228",
                             abstract="A mesh network.", title_alt="VERNETZUNG", abstract_alt="")),
        # each language kept: the main one (Chinese, else English, else the first), the others in document order
        (fx.TIPO_INVENTION.replace("</tw-bibliographic-data-grant>", _TIPO_ABSTRACTS), 0, dict(
            title="牛樟芝的培養方法", title_alt="CULTIVATION", abstract="一種培養方法。\n其步驟。",
            abstract_alt="A method.\nIts steps.")),
        (fx.TIPO_INVENTION.replace("<chinese-title>牛樟芝的培養方法</chinese-title>", "<chinese-title />"), 0, dict(
            title="CULTIVATION", title_alt="")),
        (fx.EPO_TWO.replace('<abstract lang="en">', _EPO_ABSTRACTS), 0, dict(
            abstract="A mesh network.", abstract_alt="Ein Netz.\n\nUn réseau.\nMaillé.")),
        (fx.EPO_TWO.replace('<invention-title lang="de">VERNETZUNG</invention-title>', _EPO_TITLES), 0, dict(
            title="网络", title_alt="VERNETZUNG\nRÉSEAU\nNETWORKING 2000010")),  # a repeated title once
        ("pn,title,title_alt,其他語言摘要\nTW I1,電池,BATTERY,A battery.\n", 0, dict(title_alt="BATTERY", abstract_alt="A battery.")),
        (fx.EPO_TWO, 1, dict(pn="EP2000011A1")),
        (fx.OWN_CSV, 0, dict(pn="TWI1", applicants="甲公司; 乙公司", ad="20200105")),
        (fx.OWN_JSONL, 0, dict(pn="J1", inventors="王小明; 李大華", pd="20210304")),
    ],
)
def test_fields_of_each_format(content, index, expected):
    records = read(content.encode("utf-8"))
    record = records[index]
    assert isinstance(record, PatentRecord), record
    assert {key: getattr(record, key) for key in expected} == expected


@pytest.mark.parametrize(
    "content, count",
    [(_uspto_bulk(), 3), (fx.EPO_TWO, 2), (fx.LENS_CURRENT, 2), (fx.TIPO_INVENTION, 1)],
)
def test_record_counts(content, count):
    assert len(read(content.encode("utf-8"))) == count


# --- normalisation ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, value, expected",
    [
        (text.ipc_symbol, "H04W  84/    20            A I   ", "H04W84/20"),
        (text.ipc_symbol, "A61B005/00", "A61B5/00"),
        (text.ipc_symbol, "H01M 10/0525", "H01M10/0525"),
        (text.ipc_symbol, "H01M", "H01M"),
        (text.cpc_symbol, "Y02E  60/10   A I", "Y02E60/10"),
        (text.cpc_symbol, "H01M  2220/  20   A I", "H01M2220/20"),
        (text.cpc_symbol, "A61K2035/124", "A61K2035/124"),
        (text.cpc_symbol, "C12Y", "C12Y"),
        (text.publication_numbers, ["US 2007/0140112 A1", ("US7844851", "B2"), "us-7844851-b2", ("", "A")],
         "US20070140112A1; US7844851B2"),
        (text.earliest_date, ["20011026", "", "2000-01-00", "1999-12-31"], "19991231"),
        (text.roc_date, "103/06/01", "20140601"),
        (text.roc_date, "99/12/31", "20101231"),
        (text.dmy_date, "28/06/13", "20130628"),
        (text.dmy_date, "03/01/1999", "19990103"),
        (text.dmy_date, "2017-12-05", "20171205"),
        (text.iso_date, "2017-12-05T00:00:00", "20171205"),
        (lambda title: finish(PatentRecord(pn="TW1", title=title)).title, "late\x00nul", "late nul"),
    ],
)
def test_values_in_one_form(function, value, expected):
    assert function(value) == expected


@pytest.mark.parametrize(
    "names, expected",
    [
        ("Kespry, Inc.", ["Kespry, Inc."]),
        ("Jane Doe, Richard Roe", ["Jane Doe", "Richard Roe"]),
        ("Samsung Electronics Co., Ltd., Acme GmbH, Bob Ray", ["Samsung Electronics Co., Ltd.", "Acme GmbH", "Bob Ray"]),
        ("", []),
    ],
)
def test_google_name_lists(names, expected):
    assert tables.split_google_names(names) == expected


@pytest.mark.parametrize("value", ["2020-02-30", "13/13/13", "103/13/01"])
def test_impossible_dates_are_refused(value):
    with pytest.raises(ValueError):
        (text.roc_date if value.startswith("103") else text.dmy_date)(value)


# --- encodings and line ends -------------------------------------------------------------------


@pytest.mark.parametrize(
    "encoding, line_end, label",
    [
        ("utf-8", "\n", "UTF-8"),
        ("utf-8-sig", "\r\n", "UTF-8（含 BOM）"),
        ("utf-16", "\r\n", "UTF-16（含 BOM）"),
        ("cp950", "\r\n", "Big5（CP950）"),
        ("mac_roman", "\r", "Mac Roman"),
        ("cp1252", "\r\n", "Windows-1252"),
    ],
)
def test_encodings_and_line_ends(encoding, line_end, label):
    title = "固態電池模組與其製造方法" if encoding in ("utf-8", "utf-8-sig", "utf-16", "cp950") else "Café société – crème brûlée"
    rows = ["pn,title,ad", f'TWI1,"{title}",2020-01-05', f"TWI2,{title} 2,2020-01-06"] * 1
    data = line_end.join(rows).encode(encoding) + line_end.encode(encoding)
    info = FileInfo()
    items = [item for _, item in tables.own_csv(io.BytesIO(data), info)]
    assert [i.title for i in items] == [title, f"{title} 2"]
    assert info.encoding == label


def test_lens_2015_mac_roman_with_cr_and_day_month_year():
    data = fx.LENS_2015.encode("mac_roman")
    info = FileInfo()
    (item,) = [item for _, item in tables.lens_csv(io.BytesIO(data), info)]
    assert info.encoding == "Mac Roman"
    assert (item.title, item.applicants, item.inventors) == ("Café machine – improved", "Société Générale SA", "Müller Hans")
    assert finish(item).pn == "WO2014000004A1" and (item.ad, item.pd) == ("20130628", "20140103")


# --- failures and resumption ------------------------------------------------------------------


def run_import(store: PatentStore, *paths: Path) -> tuple[int, list[str]]:
    lines: list[str] = []
    status = Importer(store, lines.append, progress_stream=io.StringIO()).run(list(paths))
    return status, lines


def write(folder: Path, name: str, data: str | bytes) -> Path:
    path = folder / name
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return path


BIG = 17 * 1024 * 1024


def _corrupted_zip() -> bytes:
    """An archive whose member fails its CRC check when read."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("a.csv", "pn,title\nTW1,abcdefgh\n")
    return buffer.getvalue().replace(b"abcdefgh", b"abcdefgX", 1)


@pytest.mark.parametrize(
    "name, data, problem, imported",
    [
        ("quote.csv", 'pn,title\nTW1,"open\nTW2,x\n', "第 2 行：引號未結束", {"TW2"}),
        ("dup.csv", "pn,title,Title\nTW1,a,b\n", "第 1 行：欄位「title」與「Title」重複", set()),
        ("typo.csv", "pn,titel\nTW1,a\n", "是否應為「title」", {"TW1"}),
        ("typo.jsonl", '{"pn": "TW1", "abstarct": "a"}', "是否應為「abstract」", {"TW1"}),  # no final line end
        ("big.csv", "pn,title\nTW1,\"" + "x" * BIG + "\"\nTW2,after\n", "第 2 行：這一列超過 16 MiB", {"TW2"}),
        ("big.jsonl", '{"pn":"TW1","t":"' + "y" * BIG + '"}\n{"pn":"TW2"}\n', "第 1 行：這一筆超過 16 MiB", {"TW2"}),
        ("surrogate.jsonl", '{"pn":"TW1","title":"\\ud800"}\n{"pn":"TW2"}\n', "第 1 行：欄位「專利名稱」含有無效", {"TW2"}),
        ("deep.jsonl", "[" * 100000 + "]" * 100000 + '\n{"pn":"TW2"}\n', "第 1 行：JSON 巢狀層數過深", {"TW2"}),
        ("digits.jsonl", '{"pn":"TW1","n":' + "9" * 5000 + '}\n{"pn":"TW2"}\n', "第 1 行：JSON 含有位數過多", {"TW2"}),
        ("bad.xml", fx.USPTO_GRANT.format(number="1") + "<?xml version='1.0'?>\n<us-patent-grant><oops>\n"
         + fx.USPTO_GRANT.format(number="2"), f"第 {fx.USPTO_GRANT.count(chr(10)) + 1} 行：XML 格式錯誤", {"US1B2", "US2B2"}),
        ("date.csv", "pn,ad\nTW1,2020-02-30\nTW2,2020-02-29\n", "第 2 行：申請日「2020-02-30」不是有效日期", {"TW2"}),
        ("bad.zip", _corrupted_zip(), "a.csv：壓縮檔中的這個檔案已損壞", set()),
        ("nul.csv", "pn,title\nTW1,a\x00b\n", "含有 NUL 位元組", set()),
        ("formula.csv", 'pn,title\n"=HYPERLINK(""http://evil"")",x\nTW2,y\n', "第 2 行：公開公告號「=HYPERLINK", {"TW2"}),
        ("path.csv", "pn,title\nUS 123/../../x,x\nTW2,y\n", "第 2 行：公開公告號「US 123/../../x」", {"TW2"}),
        ("path.xml", fx.USPTO_GRANT.format(number="1/../../x") + fx.USPTO_GRANT.format(number="2"), "公開公告號「US1/../../x", {"US2B2"}),
    ],
)
def test_hostile_files_end_with_a_clear_line_and_keep_good_rows(tmp_path, name, data, problem, imported):
    path = write(tmp_path, name, data)
    with PatentStore(tmp_path / "db.sqlite3") as store:
        status, lines = run_import(store, path)
        pns = {row[0] for row in store.connection.execute("SELECT pn FROM records")}
    assert status == 1
    assert any(problem in line and str(path) in line for line in lines), lines
    assert pns == imported


def test_one_bad_file_does_not_stop_the_others_and_folders_and_zips_are_read(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    write(folder, "a.xml", fx.TIPO_INVENTION)
    write(folder, "notes.txt", "not patent data\n")
    with zipfile.ZipFile(folder / "b.zip", "w") as archive:
        archive.writestr("epo.xml", fx.EPO_TWO)
    broken = write(tmp_path, "broken.csv", "title\nno number\n")
    with PatentStore(tmp_path / "db.sqlite3") as store:
        status, lines = run_import(store, broken, tmp_path / "missing.csv", folder)
        assert store.count() == 3
    assert status == 1
    assert any("找不到公開公告號欄位" in line for line in lines)
    assert any("missing.csv：找不到這個檔案" in line for line in lines)
    assert any("notes.txt：不是可匯入的專利資料格式，略過" in line for line in lines)


def test_reimport_counts_unchanged_and_a_change_as_updated(tmp_path):
    path = write(tmp_path, "lens.csv", fx.LENS_CURRENT)
    with PatentStore(tmp_path / "db.sqlite3") as store:
        assert run_import(store, path)[1][-1].endswith("新增 2 筆、更新 0 筆、未變更 0 筆、略過 0 筆")
        assert run_import(store, path)[1][-1].endswith("新增 0 筆、更新 0 筆、未變更 2 筆、略過 0 筆")
        write(tmp_path, "lens.csv", fx.LENS_CURRENT.replace("Second title", "Changed title"))
        assert run_import(store, path)[1][-1].endswith("新增 0 筆、更新 1 筆、未變更 1 筆、略過 0 筆")
        assert store.count() == 2


def test_samples_are_removed_by_the_first_real_import(tmp_path):
    database = tmp_path / "db.sqlite3"
    with open_default_store(database) as store:
        assert store.only_samples()
        status, lines = run_import(store, write(tmp_path, "a.jsonl", fx.OWN_JSONL))
        assert status == 0 and store.count() == 1 and not store.only_samples()
    assert any("虛構範例紀錄" in line and "移除" in line for line in lines)


@pytest.fixture
def product(tmp_path, monkeypatch):
    monkeypatch.setenv("TESSALOOM_DRIVE_C", str(tmp_path))
    return tmp_path / "tessaloom" / "VARNEL專利檢索軟體" / "patents.sqlite3"


def test_import_into_a_fresh_product_folder_gives_exactly_the_records(tmp_path, product, capsys):
    assert host.main(["import", str(write(tmp_path, "g.csv", fx.GOOGLE))]) == 0
    with PatentStore(product) as store:
        assert store.count() == 1
    assert "資料庫共有 1 筆專利" in capsys.readouterr().out


def test_ctrl_c_keeps_written_batches_and_a_rerun_finishes_without_duplicates(tmp_path, product, monkeypatch, capsys):
    monkeypatch.setattr(run, "BATCH", 1000)
    rows = "".join(f'{{"pn": "TW{i}", "title": "t{i}"}}\n' for i in range(2500))
    path = write(tmp_path, "many.jsonl", rows)
    real = PatentStore.write_batch
    calls = []

    def interrupted(self, records, **options):
        calls.append(len(records))
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(self, records, **options)

    monkeypatch.setattr(PatentStore, "write_batch", interrupted)
    assert host.main(["import", str(path)]) == 130
    out = capsys.readouterr().out
    assert "匯入已中斷" in out and "Traceback" not in out
    monkeypatch.setattr(PatentStore, "write_batch", real)
    with PatentStore(product) as store:
        assert store.count() == 1000
    assert host.main(["import", str(path)]) == 0
    assert "新增 1500 筆、更新 0 筆、未變更 1000 筆" in capsys.readouterr().out
    with PatentStore(product) as store:
        assert store.count() == 2500


@pytest.mark.parametrize("second_write, interrupted_at, raised", [
    ("fails", None, StoreError),  # while the third batch waits for the writer
    ("waits for the stop", 3500, KeyboardInterrupt),  # Ctrl-C while reading, two batches on their way
], ids=["writer fails", "ctrl-c"])
def test_a_stop_beside_batches_on_their_way_keeps_the_written_ones_and_ends_every_thread(
        tmp_path, monkeypatch, second_write, interrupted_at, raised):
    monkeypatch.setattr(run, "BATCH", 1000)
    path = write(tmp_path, "many.jsonl", "".join(f'{{"pn": "TW{i}", "title": "t{i}"}}\n' for i in range(5000)))
    real, calls = PatentStore.write_batch, []

    def writing(self, records, cancel=None):
        calls.append(len(records))
        if len(calls) == 2 and second_write == "fails":
            raise StoreError("磁碟空間已滿")
        while len(calls) == 2 and not cancel():
            time.sleep(0.01)
        return real(self, records, cancel=cancel)

    def finishing(record, read=iter(range(1, 10**6))):
        if next(read) == interrupted_at:
            raise KeyboardInterrupt
        return finish(record)

    monkeypatch.setattr(PatentStore, "write_batch", writing)
    monkeypatch.setattr(run, "finish", finishing)
    with PatentStore(tmp_path / "db.sqlite3") as store:
        with pytest.raises(raised):
            run_import(store, path)
        assert store.count() == 1000 and store.check() == []
    assert len(calls) == 2 and not [t for t in threading.enumerate() if t.name.startswith("varnel-import")]


def _read_only(monkeypatch):
    opened = PatentStore.__init__

    def read_only(self, *args):  # writes then fail as on a read-only file
        opened(self, *args)
        self.connection.execute("PRAGMA query_only = ON")
    monkeypatch.setattr(PatentStore, "__init__", read_only)


@pytest.mark.parametrize("fault, said", [
    (lambda mp: mp.setattr(PatentStore, "write_batch", Mock(side_effect=StoreError("磁碟空間已滿"))), "磁碟空間已滿"),
    (_read_only, "無法寫入")], ids=["full", "read-only"])
def test_a_database_that_cannot_be_written_ends_the_run_with_one_line(tmp_path, product, monkeypatch, capsys, fault, said):
    fault(monkeypatch)
    assert host.main(["import", str(write(tmp_path, "a.jsonl", fx.OWN_JSONL)), str(write(tmp_path, "b.csv", fx.OWN_CSV))]) == 1
    out = capsys.readouterr().out
    assert out.strip().splitlines()[-1].startswith("資料庫無法使用，匯入停止：") and said in out, out
    assert "b.csv" not in out and "Error" not in out, out


@pytest.mark.parametrize("failing, error", [
    (4, sqlite3.OperationalError("database or disk is full")),  # SQLite's answer, inside the store's transaction
    (2, OSError(errno.ENOSPC, "No space left on device")),
], ids=["sqlite", "system"])
def test_a_full_disk_ends_the_import_counting_the_records_it_kept(tmp_path, product, monkeypatch, capsys, failing, error):
    monkeypatch.setattr(run, "BATCH", 1000)
    path = write(tmp_path, "many.jsonl", "".join(f'{{"pn": "TW{i}", "title": "t{i}"}}\n' for i in range(5500)))
    real, calls = PatentStore._next_id, []

    def next_id(self):  # once per batch, inside its transaction
        calls.append(self)
        if len(calls) == failing:
            raise error
        return real(self)

    monkeypatch.setattr(PatentStore, "_next_id", next_id)
    assert host.main(["import", str(path)]) == 1
    kept = 1000 * (failing - 1)
    out = capsys.readouterr().out
    assert out.strip().splitlines()[-1].startswith(f"磁碟已滿，匯入中止：已寫入並保留 {kept:,} 筆，其餘未匯入"), out
    assert "未變更" not in out, out
    with PatentStore(product) as store:
        assert store.count() == kept and store.check() == []


def deflated_zip(path: Path, head: bytes, filler: bytes, total: int) -> None:
    """One member, `head` then `filler` to about `total` bytes, deflated as one flushed block repeated: MBs on disk."""
    chunk, deflate = filler * ((1 << 20) // len(filler)), zlib.compressobj(9, zlib.DEFLATED, -15)
    first, piece = (deflate.compress(data) + deflate.flush(zlib.Z_FULL_FLUSH) for data in (head, chunk))
    count, last = (total - len(head)) // len(chunk), deflate.flush()
    crc = functools.reduce(lambda crc, _: zlib.crc32(chunk, crc), range(count), zlib.crc32(head))
    fields = struct.pack("<HHHHHIIIHH", 20, 0, 8, 0, 33, crc, len(first) + count * len(piece) + len(last),
                         len(head) + count * len(chunk), 5, 0)
    local = b"PK\3\4" + fields + b"a.xml" + first + piece * count + last
    directory = b"PK\1\2\x14\0" + fields + bytes(14) + b"a.xml"
    path.write_bytes(local + directory + b"PK\5\6" + struct.pack("<HHHHIIH", 0, 0, 1, 1, len(directory), len(local), 0))


_IMPORT_CHILD = """
import importlib, io, json, resource, sys
from pathlib import Path
for name, value in json.loads(sys.argv[2]).items():  # limits changed
    setattr(importlib.import_module(name.rpartition(".")[0]), name.rpartition(".")[2], value)
from varnel_host.ingest import Importer
from varnel_host.store import PatentStore
size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30),) * 2)  # a regression fails here, not the machine
with PatentStore(":memory:") as store:
    lines, before = [], resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    Importer(store, lines.append, progress_stream=io.StringIO()).run([Path(sys.argv[1])])
    print(json.dumps([lines, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024]))
"""


_SMALL_LIMITS = {"varnel_host.ingest.xmldocs.DOCUMENT_LIMIT": 1 << 20, "varnel_host.ingest.xmldocs.FEED": 256 << 10}
_EPO_HEAD = (b'<?xml version="1.0"?>\n<ops:world-patent-data xmlns="http://www.epo.org/exchange" xmlns:ops="http://ops.epo.org">'
             b'<exchange-documents><exchange-document country="EP" doc-number="1" kind="A1"><abstract>\n')
_TIPO_HEAD = (b'<?xml version="1.0"?>\n<tw-patent-grants><tw-patent-grant><tw-bibliographic-data-grant><publication-reference>'
              b'<document-id><doc-number>I1</doc-number></document-id></publication-reference>\n')


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the child's VmSize and sets RLIMIT_AS")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed blocks in quarantine: the peak is its, not the importer's")
@pytest.mark.parametrize("head, total, limits, problem", [
    (b'<?xml version="1.0"?>\n<us-patent-grant>\n', 2 << 30, {}, "解壓後"),
    (b'<?xml version="1.0"?>\n<us-patent-grant>\n', 2 << 30,
     {"varnel_host.ingest.detect.MEMBER_RATIO": 10**9, "varnel_host.ingest.xmldocs.DOCUMENT_LIMIT": 16 << 20}, "超過 16 MiB"),
    (_EPO_HEAD, 48 << 20, _SMALL_LIMITS, "第 2 行：這份文件（EP1A1）超過 1 MiB"),
    (_TIPO_HEAD, 48 << 20, _SMALL_LIMITS, "第 2 行：這份文件（I1）超過 1 MiB"),
], ids=["member refused", "document skipped", "EPO document skipped", "TIPO document skipped"])
def test_a_zipped_member_of_gigabytes_keeps_memory_flat(tmp_path, head, total, limits, problem):
    deflated_zip(tmp_path / "bulk.zip", head, b"<p>grown</p>\n", total)
    done = subprocess.run([sys.executable, "-c", _IMPORT_CHILD, str(tmp_path / "bulk.zip"), json.dumps(limits)],
                          capture_output=True, text=True, timeout=180)
    lines, grown = json.loads(done.stdout or "[[], null]")
    assert any(problem in line for line in lines) and grown < 64 << 20, (lines, grown, done.stderr[-2000:])


def _three(kind: str) -> tuple[str, str]:
    """Three records in one file, the second over 256 KiB; and its number as named."""
    if kind == "epo":
        documents = [fx._EPO_DOCUMENT.format(number=f"200001{n}") for n in range(3)]
        head, number, end = fx.EPO_TWO.split("<exchange-documents>")[0] + "<exchange-documents>", "EP2000011A1", "</bibliographic-data>"
        tail = "</exchange-documents></ops:world-patent-data>"
    else:
        documents = [fx.TIPO_INVENTION.split("\n", 2)[2].replace("I400008", f"I40000{n}") for n in range(3)]
        head, tail, number = '<?xml version="1.0" encoding="utf-8"?>\n<tw-patent-grants>', "</tw-patent-grants>", "I400001"
        end = "</tw-bibliographic-data-grant>"
    documents[1] = documents[1].replace(end, "<p>grown</p>\n" * 20000 + end)
    return head + "".join(documents) + tail, number


@pytest.mark.parametrize("kind, imported", [("epo", {"EP2000010A1", "EP2000012A1"}), ("tipo", {"TWI400000B", "TWI400002B"})])
def test_a_document_over_the_limit_is_skipped_by_name_and_the_others_imported(tmp_path, monkeypatch, kind, imported):
    monkeypatch.setattr(xmldocs, "DOCUMENT_LIMIT", 64 << 10)
    monkeypatch.setattr(xmldocs, "FEED", 8 << 10)
    content, number = _three(kind)
    with PatentStore() as store:
        status, lines = run_import(store, write(tmp_path, "three.xml", content))
        assert {row[0] for row in store.connection.execute("SELECT pn FROM records")} == imported
    assert status == 1 and any(f"這份文件（{number}）超過" in line for line in lines), lines


@pytest.mark.parametrize("gazette", ["a.xml", "z.xml"], ids=["index read last", "index read first"])
def test_a_gazette_folder_stores_each_record_once_under_its_kind_with_both_copies_fields(tmp_path, new_store, gazette):
    folder = tmp_path / "gazette"
    folder.mkdir()
    write(folder, "index.xml", fx.TIPO_INDEX)
    write(folder, gazette, fx.TIPO_INVENTION)
    store = new_store()
    for _ in range(2):  # imported again: still one
        status, lines = run_import(store, folder)
        assert status == 0 and store.count() == 1, lines
        (record,) = store.stored(["TWI400008B", "TWI400008"]).values()
        assert (record.pn, record.doctype, record.inventors) == ("TWI400008B", "B", "王小明; 李大華")
        assert record.claims.startswith("1. 一種培養方法") and record.title == "牛樟芝的培養方法"
    assert store.search("PN=I400008").total == 1 and any("合併" in line or "併入" in line for line in lines), lines


def test_a_claims_only_export_fills_the_stored_records_and_names_the_others(tmp_path, new_store):
    store = new_store()
    claims = write(tmp_path, "claims.xml", fx.EPO_CLAIMS)
    status, lines = run_import(store, claims)
    assert status == 1 and store.count() == 0 and f"{claims}：2 筆專利範圍的公開公告號不在資料庫中，未匯入" in lines[-2], lines
    run_import(store, write(tmp_path, "biblio.xml", fx.EPO_TWO))
    status, lines = run_import(store, claims)
    record = store.stored(["EP2000010A1"])["EP2000010A1"]
    assert (record.claims, record.title) == ("1. A mesh widget.\n2. The widget of claim 1.", "NETWORKING 2000010")
    assert store.count() == 2 and store.search("CL=widget").total == 1
    assert f"{claims}：補上專利範圍 1 筆" in lines and any("未匯入：EP9999999A1；" in line for line in lines[-4:-2]), lines


# --- the real export samples ----------------------------------------------------------------------

SAMPLE_FACTS = {
    "lens-csv/lens-export-current-layout.csv": (130, "US9833479B2", dict(applicants="SANGAMO THERAPEUTICS INC", ad="20170314")),
    "uspto-xml/PatentPublicData_US08930553.xml": (1, "US8930553B2", dict(ipc="G06F15/16", ad="20121009")),
    "uspto-xml/PatentPublicData_US20050004437A1.xml": (1, "US20050004437A1", dict(ipc="A61B5/00")),
    "tipo-xml/101116680.xml": (1, "TWI439543B", dict(pd="20140601", applicants="慧普生技股份有限公司")),
    "tipo-xml/102301323.xml": (1, "TWD160743S", dict(ipc="", title="褲子")),
    "epo-ops-xml/epo-ops_get_biblio_response.xml": (1, "EP2400812A1", dict(ipc="H04W84/20", applicants="9SOLUTIONS OY")),
    "cn-jsonl/cn-patents.jsonl": (663, "CN113914863A", dict(title="一种近水平薄矿体智能掘进机机械开采方法", ad="")),
}
# Read by eye from the files: the number, a field, one of its items and how many distinct items it has.
SAMPLE_FIELDS = [
    ("lens-csv/lens-export-current-layout.csv", "US9833479B2", dict(
        prd="20140730", status="ACTIVE", doctype="Granted Patent", members="", cites="",
        family="LENS:004-833-779-175-375"),
     dict(cpc=("A61K2035/124", 11), priority=("US 201462030942 P", 3))),
    ("lens-csv/lens-export-current-layout.csv", "US20230067653A1", dict(prd="20180208", doctype="Patent Application"),
     dict(cpc=("C12Y301/06013", 20))),
    ("uspto-xml/PatentPublicData_US08930553.xml", "US8930553B2", dict(doctype="B2", members="US20140101323A1"),
     dict(cites=("US20070140112A1", 16))),
    ("uspto-xml/PatentPublicData_US20050004437A1.xml", "US20050004437A1",
     dict(priority="CH 1974/01", prd="20011026", doctype="A1", cites=""), {}),
    ("tipo-xml/101116680.xml", "TWI439543B", dict(cites="CN101151957A; CN101822170A", members="TW201346027A",
                                                  doctype="B", prd="", title="牛樟芝的培養方法",
                                                  title_alt="CULTIVATION METHOD OF TAIWANOFUNGUS CAMPHORATES"), {}),
    ("tipo-xml/102301323.xml", "TWD160743S", dict(cites="USD510791; USD603582", members="", doctype="S",
                                                  title="褲子", title_alt=""), {}),
    ("epo-ops-xml/epo-ops_get_biblio_response.xml", "EP2400812A1", dict(
        family="43088294", priority="EP20100167109", prd="20100624", cpc="H04W84/20; H04W88/04", doctype="A1",
        title="BLUETOOTH NETWORKING", title_alt="BLUETOOTH-VERNETZUNG\nMISE EN RÉSEAU BLUETOOTH", abstract_alt=""),
     dict(cites=("US2004136338A1", 6))),
]


@pytest.mark.skipif(not SAMPLES.is_dir(), reason=f"the real export samples are not here ({SAMPLES})")
@pytest.mark.parametrize("name, facts", SAMPLE_FACTS.items())
def test_real_export_samples(name, facts):
    count, number, fields = facts
    records = read((SAMPLES / name).read_bytes())
    assert len(records) == count and all(isinstance(r, PatentRecord) for r in records)
    record = next(r for r in records if r.pn == number)
    assert {key: getattr(record, key) for key in fields} == fields


@pytest.mark.skipif(not SAMPLES.is_dir(), reason=f"the real export samples are not here ({SAMPLES})")
@pytest.mark.parametrize("name, number, exact, lists", SAMPLE_FIELDS)
def test_new_fields_of_the_real_samples(name, number, exact, lists):
    record = next(r for r in read((SAMPLES / name).read_bytes()) if r.pn == number)
    assert {key: getattr(record, key) for key in exact} == exact
    for key, (item, count) in lists.items():
        items = getattr(record, key).split("; ")
        assert item in items and len(set(items)) == len(items) == count, items


@pytest.mark.skipif(not SAMPLES.is_dir(), reason=f"the real export samples are not here ({SAMPLES})")
def test_the_samples_folder_imports_whole(tmp_path):
    with PatentStore(tmp_path / "db.sqlite3") as store:
        status, lines = run_import(store, SAMPLES)
        assert status == 0, lines
        assert store.count() == sum(count for count, _, _ in SAMPLE_FACTS.values())
        assert store.search("PN=US8930553B2").total == 1
        # Lens ACTIVE 68, PENDING 22, INACTIVE, EXPIRED and DISCONTINUED 40; the kinds and Lens's words of the others
        assert [store.search(f"LS={value}").total for value in STATUS.values] == [68, 22, 40, 0]
        assert [store.search(f"DT={value}").total for value in DOCTYPE.values] == [77, 57, 0, 1, 0]
    lens = [line.split("：", 1)[1] for line in lines if "lens-export" in line]
    assert "優先權號 130 筆、最早優先權日 130 筆、CPC 130 筆、同族 130 筆、法律狀態 130 筆、文件類型 130 筆" in lens[2], lens
    assert not {"CPC Classifications", "Earliest Priority Date", "Document Type"} & set(lens[1].split("：")[1].split("、"))


# How the exports word a legal status or a document type, and the value LS= or DT= finds it by.
@pytest.mark.parametrize("field, text, value", [
    (STATUS, "ACTIVE", "有效"), (STATUS, "PATENTED", "有效"), (STATUS, "Pending", "審查中"), (STATUS, "DISCONTINUED", "失效"),
    (STATUS, "Expired - Fee Related", "失效"), (STATUS, "NOT_IN_FORCE", "失效"), (STATUS, "ＡＣＴＩＶＥ", "有效"),
    (STATUS, "消滅", "失效"), (STATUS, "有效期屆滿", "失效"), (STATUS, "专利权终止", "失效"), (STATUS, "實體審查中", "審查中"),
    (STATUS, "公告中", "有效"), (STATUS, "sold", "未知"), (STATUS, "  ", ""),
    (DOCTYPE, "Granted Patent", "發明公告"), (DOCTYPE, "PATENT_APPLICATION", "發明公開"), (DOCTYPE, "Design Right", "設計"),
    (DOCTYPE, "Utility Model", "新型"), (DOCTYPE, "Plant Patent", "其他"), (DOCTYPE, "A1", "發明公開"), (DOCTYPE, "B2", "發明公告"),
    (DOCTYPE, "E", "發明公告"), (DOCTYPE, "U1", "新型"), (DOCTYPE, "Y", "新型"), (DOCTYPE, "S", "設計"), (DOCTYPE, "P2", "其他"),
    (DOCTYPE, "新型專利公告", "新型"), (DOCTYPE, "外观设计", "設計"), (DOCTYPE, "發明專利公開", "發明公開"), (DOCTYPE, "公告", "發明公告"),
    (DOCTYPE, "", ""),
])
def test_an_exports_word_maps_to_the_value_searched(field, text, value):
    assert field.of(text) == value
