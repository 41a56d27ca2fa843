"""The XLSX report: sheets, rows, fonts of each run, clamped settings, file safety."""

from __future__ import annotations

import dataclasses
import inspect
import json
import math
import re
import threading
import zipfile
from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from openpyxl.cell.rich_text import CellRichText

from varnel_host.query import Query, Term
from varnel_host.records import UNREADABLE, UNREADABLE_TEXT, Hit, PatentRecord
from varnel_host.contract import list_row
from varnel_host import report
from varnel_host.cell_text import CELL_LIMIT, clean_text
from varnel_host.report_file import PartFile
from varnel_host.report import LIST_ROW_CAP, SHEET_ROWS, ReportCancelled, split_runs
from varnel_host.report_data import Citation, ReportData, gather
from varnel_host.settings import read_settings
from varnel_host.request import RunRequest
from varnel_host.facets import Facets
from varnel_host.families import Families

NOW = datetime(2026, 12, 7, 15, 30, 12)
NAME = "檢索報告_20261207_153012"


def _request(**changes: object) -> dict[str, object]:
    request: dict[str, object] = {
        "文字大小比例": 1,
        "中文文字字體": "標楷體",
        "英文文字字體": "Arial",
        "分析最接近專利數量": 5,
        "檢索指令": "電池",
    }
    request.update(changes)
    return request


def _run(command: str = "電池", **changes: object) -> RunRequest:
    """The typed request the worker makes of the window's request."""
    return RunRequest(Query(Term(command), command), read_settings(_request(**changes)))


class _Found:
    """A search result as the store hands it over: hits best first."""

    compared = ()

    def __init__(self, hits: list[Hit], total: int | None = None, chains: tuple[str, ...] = ()) -> None:
        self.hits, self.total = hits, len(hits) if total is None else total
        self.chains = chains

    def rows(self):
        return iter(self.hits)

    def list_rows(self):
        return map(list_row, self.hits)

    def closest(self, n: int) -> list[Hit]:
        return self.hits[:n]

    def families(self) -> Families:
        return Families.of_records(h.record for h in self.hits)

    def cited_by(self, numbers):
        return {number: sum(number in hit.record.cites for hit in self.hits) for number in numbers}

    def closest_families(self, n: int) -> list[Hit]:
        return [hit for hit in self.hits if self.families().is_first(hit.record.pn)][:n]

    def citation_rows(self, closest):
        """Citations written as the hits' own numbers, their level the hit's rank."""
        titles = {hit.record.pn: (hit.record.title, f"第 {rank} 層" if self.chains else "") for rank, hit in enumerate(self.hits, 1)}
        return [Citation(r.pn, cites, other, titles[other][0], titles[r.pn][1], titles[other][1]) for r in closest
                for cites, others in ((True, r.cites.split("; ")), (False, [h.record.pn for h in self.hits if r.pn in h.record.cites]))
                for other in others if other in titles]

    def chain_lines(self):
        return list(self.chains)

    def facets(self, top: int = 10) -> Facets:
        return Facets.of_records((hit.record for hit in self.hits), top)


def write_report(folder: Path, request: RunRequest, found: _Found, **options) -> report.ReportResult:
    """The report of a result as the worker writes it: its input gathered first."""
    return report.write_report(folder, request, gather(request, found), **options)


def _hit(n: int, score: float, **fields: str) -> Hit:
    values = {
        "title": f"電池模組 {n}",
        "abstract": f"一種電池 ({n})",
        "claims": f"1. 一種電池，包含正極 {n}。\n2. 如請求項1所述之電池。",
        "applicants": "甲公司; ACME Inc.",
        "ipc": "H01M 10/05",
        "ad": "20150102",
        "pd": "20160315",
    }
    return Hit(PatentRecord(**{"pn": f"TW{n:06d}", **values, **fields}), score, ("電池", "battery"))


def _open(path: Path) -> openpyxl.Workbook:
    return openpyxl.load_workbook(path, rich_text=True)


def _rows(sheet) -> list[tuple]:
    return [tuple("" if v is None else str(v) if isinstance(v, CellRichText) else v for v in row)
            for row in sheet.iter_rows(values_only=True)]


def _runs(cell) -> list[tuple[str, str, float, bool]]:
    """(text, font, size, bold) of each run of a text cell."""
    if isinstance(cell.value, CellRichText):
        return [(block.text, block.font.rFont, block.font.sz, bool(block.font.b)) for block in cell.value]
    return [(cell.value, cell.font.name, cell.font.sz, bool(cell.font.b))]


def _conditions(path: Path) -> dict[str, list]:
    found: dict[str, list] = {}
    for caption, value in _rows(_open(path)["檢索條件"])[1:]:
        found.setdefault(caption, []).append(value)
    return found


# ------------------------------------------------------------------ sheets


def test_sheets_and_list_rows(tmp_path: Path) -> None:
    hits = [_hit(2, 9.876), _hit(3, 5.5, ad="2015", pd=""), _hit(1, 2.0), _hit(4, math.nan)]
    result = write_report(tmp_path, _run(), _Found(hits, 42), now=NOW)
    book = _open(result.path)
    assert book.sheetnames == ["檢索列表", "同族列表", "分析最接近專利數量", "引用關係", "統計圖表", "檢索條件"]
    sheet = book["檢索列表"]
    rows = _rows(sheet)
    assert rows[0] == ("序號", "公開公告號", "專利名稱", "申請人", "申請日", "公開公告日", "IPC", "相關度", "同族")
    assert [row[:2] for row in rows[1:]] == [(1, "TW000002"), (2, "TW000003"), (3, "TW000001"), (4, "TW000004")]
    assert rows[4][7] == ""  # an unusable score stays where the store put it, as an empty cell
    assert rows[1][2:4] == ("電池模組 2", "甲公司; ACME Inc.")
    assert rows[1][4:8] == (datetime(2015, 1, 2), datetime(2016, 3, 15), "H01M 10/05", 9.88)
    assert sheet["E2"].number_format == "yyyy-mm-dd" and sheet["H2"].number_format == "0.00"
    assert rows[2][4:6] == ("2015", "")  # not a full date: kept as text; empty: blank
    assert sheet.freeze_panes == "A2"
    assert sheet.auto_filter.ref == "A1:I5"
    assert all(cell.font.b for cell in sheet[1])


@pytest.mark.parametrize(("count", "expected"), [(2, 2), (10, 4), (0, 0), (4, 4)])
def test_top_sheet_holds_best_hits(tmp_path: Path, count: int, expected: int) -> None:
    # TW000004 cites two other hits and a patent not found; TW000001 cites it
    hits = [_hit(4, 4.0, cites="TW000002; TW000003; US1234567B2", prd="20140102", cpc="H01M10/0525; Y02E60/10",
                 status="EXPIRED", doctype="新型"),
            *(_hit(n, float(n)) for n in (3, 2)),
            _hit(1, 1.0, cites="TW000004")]
    result = write_report(tmp_path, _run(分析最接近專利數量=count), _Found(hits), now=NOW)
    rows = _rows(_open(result.path)["分析最接近專利數量"])
    assert rows[0] == ("排名", "公開公告號", "專利名稱", "申請人", "相關度", "摘要", "第一項請求項", "命中詞",
                       "被引用次數", "引用的其他命中專利", "最早優先權日", "CPC", "法律狀態", "文件類型")
    assert [row[:2] for row in rows[1:]] == [(rank, f"TW{5 - rank:06d}") for rank in range(1, expected + 1)]
    if expected:  # the export's own words, with the value LS= and DT= find them by where it differs
        assert rows[1][4:] == (4, "一種電池 (4)", "1. 一種電池，包含正極 4。", "電池、battery", 1, "TW000002; TW000003",
                               datetime(2014, 1, 2), "H01M10/0525; Y02E60/10", "EXPIRED（失效）", "新型")


@pytest.mark.parametrize("chains", [(), ("引用鏈 CT/2=TW000009：第 1 層 1 筆、第 2 層 3 筆",)])
def test_citation_sheet_lists_who_cites_whom_between_the_closest_and_every_hit(tmp_path: Path, chains) -> None:
    hits = [_hit(4, 4.0, cites="TW000002; TW000003; US1234567B2"), *(_hit(n, float(n)) for n in (3, 2)), _hit(1, 1.0, cites="TW000004")]
    path = write_report(tmp_path, _run(分析最接近專利數量=2), _Found(hits, chains=chains), now=NOW).path
    rows = _rows(_open(path)["引用關係"])
    expected = [("TW000004", "引用", "TW000002", "電池模組 2", "第 1 層", "第 3 層"),
                ("TW000004", "引用", "TW000003", "電池模組 3", "第 1 層", "第 2 層"),
                ("TW000004", "被引用", "TW000001", "電池模組 1", "第 1 層", "第 4 層"),
                ("TW000003", "被引用", "TW000004", "電池模組 4", "第 2 層", "第 1 層")]
    width = 6 if chains else 4
    assert rows[0] == ("最接近專利", "關係", "命中專利", "命中專利名稱", "最接近專利的層級", "命中專利的層級")[:width]
    assert rows[1:] == [row[:width] for row in expected]
    assert _conditions(path).get("引用鏈", []) == list(chains)
    lonely = write_report(tmp_path, _run(), _Found([_hit(1, 1.0)]), now=NOW).path
    assert _rows(_open(lonely)["引用關係"])[1] == (report.NO_CITATIONS, "", "", "")


def test_conditions_sheet(tmp_path: Path) -> None:
    request = _run("(電池 OR battery)@TI", 文字大小比例=0, 分析最接近專利數量="abc", 中文文字字體="")
    result = write_report(tmp_path, request, _Found([_hit(1, 1.0)], 7), now=NOW)
    found = _conditions(result.path)
    assert found["檢索指令"] == ["(電池 OR battery)@TI"]
    assert (found["命中總數"], found["列表筆數"], found["列表上限"]) == ([7], [1], [LIST_ROW_CAP])
    assert "列表說明" not in found  # only a capped list says so
    assert found["文字大小比例"] == ["50%"]
    assert found["中文文字字體"] == ["標楷體"] and found["英文文字字體"] == ["Arial"]
    assert found["分析最接近專利數量"] == [5]
    assert found["調整說明"] == result.notes and len(result.notes) == 3
    assert found["產生時間"] == ["2026-12-07 15:30:12"]


def _snapshot(path: Path) -> dict:
    """Per sheet: every row's cells as (value, font, size, bold, charset, number format, wrap, valign), and the layout."""
    book = _open(path)
    found = {}
    for sheet in book.worksheets:
        rows = []
        for row in sheet.iter_rows():
            cells = []
            for cell in row:
                value = cell.value
                if isinstance(value, CellRichText):
                    value = [[b.text, b.font.rFont, b.font.sz, bool(b.font.b), b.font.charset] for b in value]
                elif isinstance(value, datetime):
                    value = value.isoformat()
                elif isinstance(value, float) and math.isnan(value):
                    value = "nan"
                cells.append([value, cell.font.name, cell.font.sz, bool(cell.font.b), cell.font.charset,
                              cell.number_format, bool(cell.alignment.wrap_text), cell.alignment.vertical])
            rows.append(cells)
        found[sheet.title] = {"rows": rows, "freeze": sheet.freeze_panes, "filter": sheet.auto_filter.ref,
                              "widths": {k: v.width for k, v in sorted(sheet.column_dimensions.items())}}
    return found


def _same_hits() -> list[Hit]:
    """Ranked hits with mixed scripts, odd characters, partial dates and an unusable score last."""
    texts = ["鋰電池battery模組", "固態電解質 solid-state", "（註）「甲」、。", "a\x00b\x01c", "𠀀 LiFePO4", "電" * 40]
    hits = []
    for n in range(12):
        record = PatentRecord(
            pn=f"TWI{700000 + n}B", title=texts[n % len(texts)] + f" {n}", abstract=f"一種電池 ({n}) with cathode",
            claims=f"1. 一種電池，包含正極 {n}。\n2. 如請求項1所述之電池。", applicants="甲公司; ACME Inc.",
            inventors="王小明", ipc="H01M 10/05", an=f"109{n:05d}", ad=f"2015{1 + n % 12:02d}0{1 + n % 9}",
            pd="" if n % 5 == 0 else "2016")
        hits.append(Hit(record, 30.0 - 2.5 * n if n < 11 else math.nan, ("電池", "battery")[: 1 + n % 2]))
    return hits


def test_report_content_is_that_of_the_earlier_writer(tmp_path: Path) -> None:
    """The same hits give the same cells, fonts and layout as the report writer
    before rows came from a cursor; the conditions sheet only gains its 列表上限 row,
    the list its 同族 column, the chart, family and citation sheets are new and the closest
    sheet's texts gain their marked runs (compared here as text; their runs are
    tested on their own); the list's unusable score is an empty cell, not an error formula."""
    request = _run("電池 OR battery", 文字大小比例=1.2, 英文文字字體="Arial", 分析最接近專利數量=4)
    now = _snapshot(write_report(tmp_path, request, _Found(_same_hits(), 57), now=NOW).path)
    before = json.loads((Path(__file__).parent / "data" / "report_before.json").read_text(encoding="utf-8"))
    del now["統計圖表"], now["同族列表"], now["引用關係"]
    listed = now["檢索列表"]
    assert [row.pop(8)[0] for row in listed["rows"]] == ["同族"] + [hit.record.pn for hit in _same_hits()]
    listed["filter"], _ = "A1:H13", listed["widths"].pop("I")
    assert before["檢索列表"]["rows"][12][7][0] == "=#NUM!"
    before["檢索列表"]["rows"][12][7][0] = None
    closest = now["分析最接近專利數量"]
    assert [cell[0] for cell in closest["rows"][0][8:]] == ["被引用次數", "引用的其他命中專利", "最早優先權日", "CPC", "法律狀態", "文件類型"]
    closest["rows"] = [row[:8] for row in closest["rows"]]
    closest["widths"] = {column: width for column, width in closest["widths"].items() if column < "I"}
    for snapshot in (now, before):
        for row in snapshot["分析最接近專利數量"]["rows"][1:]:
            for col in (2, 5, 6):
                if isinstance(row[col][0], list):
                    row[col][0] = "".join(run[0] for run in row[col][0])
                row[col][1:5] = [None] * 4  # the cell's own font: the runs carry the fonts
    conditions = now["檢索條件"]["rows"]
    assert [row[0][0] for row in conditions].count("列表上限") == 1
    conditions[:] = [row for row in conditions if row[0][0] != "列表上限"]
    assert json.loads(json.dumps(now, ensure_ascii=False)) == before


def test_a_list_beyond_the_cap_is_cut_and_says_so(tmp_path: Path) -> None:
    assert LIST_ROW_CAP < SHEET_ROWS  # the header row takes one of the sheet's rows
    help_page = (Path(report.__file__).parent / "help_page" / "index.html").read_text(encoding="utf-8")
    assert f"{LIST_ROW_CAP:,}" in help_page and _run().list_row_cap == LIST_ROW_CAP
    hits = [_hit(n, 100.0 - n) for n in range(1, 13)]
    result = write_report(tmp_path, dataclasses.replace(_run(), list_row_cap=5), _Found(hits), now=NOW)
    rows = _rows(_open(result.path)["檢索列表"])
    assert [row[1] for row in rows[1:]] == [f"TW{n:06d}" for n in range(1, 6)]
    found = _conditions(result.path)
    assert (found["命中總數"], found["列表筆數"], found["列表上限"]) == ([12], [5], [5])
    assert found["列表說明"] == [report.cap_note(12, 5)] and "前 5 筆" in found["列表說明"][0]
    assert report.cap_note(5, 5) is None and report.cap_note(LIST_ROW_CAP) is None


@pytest.mark.parametrize(("stop_at", "calls"), [(None, [(1000, 2500), (2000, 2500)]), (2, [(1000, 2500)])])
def test_progress_and_stop_during_the_list(tmp_path: Path, stop_at: int | None, calls: list) -> None:
    hits = [Hit(PatentRecord(pn=f"TW{n}"), 1.0) for n in range(2500)]
    progress: list[tuple[int, int]] = []
    polls = iter(range(1, 100))
    cancel = lambda: next(polls) == stop_at  # noqa: E731
    if stop_at is None:
        write_report(tmp_path, _run(), _Found(hits), now=NOW, progress=lambda *a: progress.append(a), cancel=cancel)
        assert [p.name for p in tmp_path.iterdir()] == [f"{NAME}.xlsx"]
    else:
        with pytest.raises(ReportCancelled):
            write_report(tmp_path, _run(), _Found(hits), now=NOW, progress=lambda *a: progress.append(a),
                         cancel=cancel)
        assert list(tmp_path.iterdir()) == []  # nothing half-written
    assert progress == calls


# ------------------------------------------------------------------- fonts


@pytest.mark.parametrize(
    ("text", "runs"),
    [
        ("", []),
        ("battery", [(False, "battery")]),
        ("鋰電池", [(True, "鋰電池")]),
        ("鋰電池 battery 模組", [(True, "鋰電池"), (False, " battery "), (True, "模組")]),
        ("請求項1，包含", [(True, "請求項"), (False, "1"), (True, "，包含")]),
        ("（註）「甲」、。", [(True, "（註）「甲」、。")]),  # full-width and CJK punctuation
        ("ㄅㄆㄇＡ１ab", [(True, "ㄅㄆㄇＡ１"), (False, "ab")]),  # bopomofo, full-width forms
        ("𠀀x", [(True, "𠀀"), (False, "x")]),  # Han beyond the BMP
        ("“quote” — ok", [(False, "“quote” — ok")]),  # general punctuation is not CJK
    ],
)
def test_split_runs(text: str, runs: list[tuple[bool, str]]) -> None:
    assert split_runs(text) == runs


def test_fonts_of_runs_and_size(tmp_path: Path) -> None:
    request = _run(文字大小比例=1.5, 中文文字字體="微軟正黑體", 英文文字字體="Arial")
    hits = [_hit(1, 1.0, title="鋰電池battery模組")]
    sheet = _open(write_report(tmp_path, request, _Found(hits), now=NOW).path)["檢索列表"]
    assert _runs(sheet["C2"]) == [
        ("鋰電池", "微軟正黑體", 16.5, False),
        ("battery", "Arial", 16.5, False),
        ("模組", "微軟正黑體", 16.5, False),
    ]
    assert _runs(sheet["B2"]) == [("TW000001", "Arial", 16.5, False)]  # single Latin run: cell font
    assert _runs(sheet["C1"]) == [("專利名稱", "微軟正黑體", 16.5, True)]  # single CJK run, header
    assert _runs(sheet["G1"]) == [("IPC", "Arial", 16.5, True)]
    assert (sheet["A2"].font.name, sheet["A2"].font.sz) == ("Arial", 16.5)  # numbers in the Latin font
    assert sheet.column_dimensions["C"].width > 44  # widths grow with the ratio


# ---------------------------------------------------------------- clamping

_RATIO = "文字大小比例"
_COUNT = "分析最接近專利數量"
_MISSING = object()


@pytest.mark.parametrize(
    ("key", "value", "used", "note"),
    [
        (_RATIO, 1.5, 1.5, None),
        (_RATIO, 3, 3.0, None),
        (_RATIO, 0, 0.5, "文字大小比例 0 不合理，已改用 50%"),
        (_RATIO, -1, 0.5, "文字大小比例 -1 不合理，已改用 50%"),
        (_RATIO, math.nan, 1.0, "文字大小比例 NaN 不是數字，已改用 100%"),
        (_RATIO, math.inf, 3.0, "文字大小比例 inf 不合理，已改用 300%"),
        (_RATIO, -math.inf, 0.5, "文字大小比例 -inf 不合理，已改用 50%"),
        (_RATIO, 1e9, 3.0, "文字大小比例 1000000000.0 不合理，已改用 300%"),
        (_RATIO, 10**400, 3.0, "不合理，已改用 300%"),
        pytest.param(_RATIO, -(10**5000), 0.5, "文字大小比例 int 不合理，已改用 50%", id="beyond-str-limit"),
        (_RATIO, "abc", 1.0, "文字大小比例 「abc」 不是數字，已改用 100%"),
        (_RATIO, True, 1.0, "文字大小比例 True 不是數字，已改用 100%"),
        (_RATIO, None, 1.0, "文字大小比例 None 不是數字，已改用 100%"),
        (_RATIO, _MISSING, 1.0, "文字大小比例 未設定，已改用 100%"),
        (_COUNT, 0, 0, None),
        (_COUNT, 100, 100, None),
        (_COUNT, 7.0, 7, None),
        (_COUNT, -1, 0, "分析最接近專利數量 -1 不合理，已改用 0"),
        (_COUNT, math.nan, 5, "分析最接近專利數量 NaN 不是整數，已改用 5"),
        (_COUNT, math.inf, 100, "分析最接近專利數量 inf 不合理，已改用 100"),
        (_COUNT, 1e9, 100, "分析最接近專利數量 1000000000.0 不合理，已改用 100"),
        (_COUNT, 2.5, 5, "分析最接近專利數量 2.5 不是整數，已改用 5"),
        (_COUNT, "abc", 5, "分析最接近專利數量 「abc」 不是整數，已改用 5"),
        (_COUNT, True, 5, "分析最接近專利數量 True 不是整數，已改用 5"),
        (_COUNT, None, 5, "分析最接近專利數量 None 不是整數，已改用 5"),
        (_COUNT, _MISSING, 5, "分析最接近專利數量 未設定，已改用 5"),
    ],
)
def test_number_settings_are_clamped(key: str, value: object, used: float, note: str | None) -> None:
    request = _request()
    if value is _MISSING:
        del request[key]
    else:
        request[key] = value
    settings = read_settings(request)
    assert (settings.ratio if key == _RATIO else settings.top_count) == used
    if note is None:
        assert settings.notes == ()
    else:
        assert len(settings.notes) == 1 and note in settings.notes[0]


@pytest.mark.parametrize(
    ("value", "used", "noted"),
    [
        ("Noto Sans TC", "Noto Sans TC", False),
        ("新細明體", "新細明體", False),
        ("A\x00B\x07", "AB", False),  # control characters are dropped, the rest kept
        (" Noto\tSans\n TC ", "Noto Sans TC", False),
        ("", "標楷體", True),
        ("   ", "標楷體", True),
        (None, "標楷體", True),
        (12, "標楷體", True),
        (_MISSING, "標楷體", True),
        ("字" * 40, "字" * 31, True),  # Excel refuses font names over 31 characters
    ],
)
def test_font_settings(value: object, used: str, noted: bool) -> None:
    request = _request()
    if value is _MISSING:
        del request["中文文字字體"]
    else:
        request["中文文字字體"] = value
    settings = read_settings(request)
    assert settings.chinese_font == used and settings.latin_font == "Arial"
    assert len(settings.notes) == int(noted)


# ------------------------------------------------------------------- files


def test_reports_never_overwrite(tmp_path: Path) -> None:
    (tmp_path / f"{NAME}_2.xlsx").write_bytes(b"earlier report")
    paths = [write_report(tmp_path, _run(), _Found([]), now=NOW).path for _ in range(3)]
    assert [p.name for p in paths] == [f"{NAME}.xlsx", f"{NAME}_3.xlsx", f"{NAME}_4.xlsx"]
    assert (tmp_path / f"{NAME}_2.xlsx").read_bytes() == b"earlier report"
    assert all(_open(p).sheetnames[0] == "檢索列表" for p in paths)


def test_only_unfinished_files_nobody_holds_are_cleared(tmp_path: Path) -> None:
    """A writer killed mid-report leaves its hidden .part file: the next report removes it, not another writer's."""
    left = tmp_path / ".檢索報告_left.part"
    left.write_bytes(b"PK")
    busy = PartFile(tmp_path)
    written = write_report(tmp_path, _run(), _Found([]), now=NOW).path
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([busy.path.name, written.name])
    busy.close()


def test_concurrent_writers_get_distinct_files(tmp_path: Path) -> None:
    results: list[Path] = []
    barrier = threading.Barrier(8)

    def run() -> None:
        barrier.wait()
        results.append(write_report(tmp_path / "reports", _run(), _Found([_hit(1, 1.0)]), now=NOW).path)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(results)) == 8
    assert sorted(p.name for p in (tmp_path / "reports").iterdir()) == sorted(p.name for p in results)
    assert all(_rows(_open(p)["檢索列表"])[1][1] == "TW000001" for p in results)


@pytest.mark.parametrize(
    "hostile",
    [
        "../..\\..\\Windows/../tmp/x.xlsx",
        "a\x00b\x01c\x1f\ufffe\ud800d",
        "_x0041_ literal",
        "電" * 40_000,
        "𠀀" * 20_000,  # each counts twice against Excel's limit
    ],
)
def test_hostile_text_is_stored_safely(tmp_path: Path, hostile: str) -> None:
    reports = tmp_path / "reports"
    request = _run(hostile, 中文文字字體=hostile, 英文文字字體=hostile)
    hits = [_hit(1, 1.0, title=hostile)]
    result = write_report(reports, request, _Found(hits), now=NOW)
    assert result.path.parent == reports.resolve() and re.fullmatch(rf"{NAME}\.xlsx", result.path.name)
    assert [p.name for p in tmp_path.rglob("*") if p.is_file()] == [result.path.name]
    book = _open(result.path)
    stored = [str(_conditions(result.path)["檢索指令"][0]), str(book["檢索列表"]["C2"].value)]
    for text in stored:
        assert text == clean_text(hostile)
        assert len(text.encode("utf-16-le")) // 2 <= CELL_LIMIT
        assert not re.search("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\ud800-\udfff]", text)
    fonts = {font for _, font, _, _ in _runs(book["檢索列表"]["C2"])}
    assert all(len(font) <= 31 and font.isprintable() for font in fonts)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("a\x00b\x0bc\td\ne", "abc\td\ne"),
        ("x\ud800y\uffffz", "xyz"),
        ("a" * CELL_LIMIT, "a" * CELL_LIMIT),
        ("a" * (CELL_LIMIT + 1), "a" * (CELL_LIMIT - 1) + "…"),
        ("a" + "𠀀" * CELL_LIMIT, "a" + "𠀀" * ((CELL_LIMIT - 2) // 2) + "…"),  # no half pair at the cut
    ],
)
def test_clean_text(text: str, expected: str) -> None:
    assert clean_text(text) == expected


def test_failed_report_leaves_no_file(tmp_path: Path) -> None:
    broken = Hit(PatentRecord(pn="TW1", title=None), 1.0)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        write_report(tmp_path, _run(), _Found([_hit(2, 2.0), broken]), now=NOW)
    assert list(tmp_path.iterdir()) == []


# --------------------------------------- marked words, links and the chart sheet


@pytest.mark.parametrize(("matched", "text", "marked"), [
    (("電池",), "一種鋰電池模組，含電池", ["電池", "電池"]),
    (("battery", "固態電池"), "Battery pack 與全固態電池", ["Battery", "固態電池"]),
    (("batter*",), "batteries, a batter", ["batteries", "batter"]),
    (("池",), "電池與池塘", ["池", "池"]),  # one character: wherever a run holds it
    (("電池",), "無關的文字", []),
    (("電池 ≈ battery/cell", "燃氣渦輪 ≈ gas turbine"), "Battery cell 與電池、gas turbine", ["Battery", "cell", "電池", "gas turbine"]),
])
def test_matched_words_are_bold_red_runs_in_the_chosen_fonts(tmp_path: Path, matched, text: str, marked) -> None:
    hit = Hit(PatentRecord(pn="TWI700001B", title="標題", abstract=text, claims=f"1. {text}"), 1.0, matched)
    sheet = _open(write_report(tmp_path, _run(), _Found([hit]), now=NOW).path)["分析最接近專利數量"]
    for cell in (sheet["F2"], sheet["G2"]):
        blocks = list(cell.value) if isinstance(cell.value, CellRichText) else [cell.value]
        assert "".join(b if isinstance(b, str) else b.text for b in blocks).endswith(text)
        red = [b for b in blocks if not isinstance(b, str) and b.font.color is not None and b.font.color.rgb == "FFFF0000"]
        assert [b.text for b in red] == marked
        assert all(b.font.b and b.font.rFont == ("標楷體" if split_runs(b.text)[0][0] else "Arial") for b in red)
        plain = [b for b in blocks if not isinstance(b, str) and b not in red]
        assert not any(b.font.b for b in plain)


@pytest.mark.parametrize(("alternates", "title", "abstract"), [
    ({"title_alt": "BATTERY\nBATTERIE", "abstract_alt": "A battery."}, "電池模組 1\nBATTERY\nBATTERIE", "一種電池 (1)\n\nA battery."),
    ({"abstract": UNREADABLE, "abstract_alt": UNREADABLE}, "電池模組 1", UNREADABLE_TEXT),  # said once
])
def test_the_closest_sheet_shows_the_other_languages_after_the_main_one(tmp_path: Path, alternates, title, abstract) -> None:
    book = _open(write_report(tmp_path, _run(), _Found([_hit(1, 1.0, **alternates)]), now=NOW).path)
    closest = _rows(book["分析最接近專利數量"])[1]
    assert (_rows(book["檢索列表"])[1][2], closest[2], closest[5]) == ("電池模組 1", title, abstract)  # the list: the main title


@pytest.mark.parametrize(("number", "linked"), [
    ("TWI700001B", True), ("US9833479B2", True), ("EP1234567A1", True), ("XX1234567A", False), ("123456", False),
])
def test_publication_numbers_link_to_their_public_page(tmp_path: Path, number: str, linked: bool) -> None:
    book = _open(write_report(tmp_path, _run(), _Found([_hit(1, 1.0, pn=number)]), now=NOW).path)
    for cell in (book["檢索列表"]["B2"], book["分析最接近專利數量"]["B2"]):
        assert cell.value == number
        target = cell.hyperlink.target if cell.hyperlink else None
        assert target == (report.PATENT_PAGE_URL.format(pn=number) if linked else None)


def test_chart_sheet_charts_the_counts_beside_them(tmp_path: Path) -> None:
    hits = [_hit(n, 1.0, applicants=f"甲公司; 乙{n % 3}", ipc=f"H01M 10/05; G06F{n % 2} 3/00", ad=f"20{10 + n % 4}0101")
            for n in range(12)]
    found = _Found(hits)
    path = write_report(tmp_path, _run(), found, now=NOW).path
    sheet = _open(path)["統計圖表"]
    with zipfile.ZipFile(path) as package:
        charts = [package.read(n).decode() for n in sorted(package.namelist()) if n.startswith("xl/charts/chart")]
    facets = found.facets(report.CHART_TOP)
    expected = [("bar", facets.applicants), ("col", facets.years), ("bar", facets.ipc)]
    assert len(charts) == len(expected)
    for xml, (direction, counts) in zip(charts, expected):
        assert f'<c:barDir val="{direction}"/>' in xml
        categories, values = re.findall(r"<c:f>統計圖表!\$(\w)\$(\d+):\$(\w)\$(\d+)</c:f>", xml)[-2:]
        cells = [(str(sheet[f"{categories[0]}{row}"].value), sheet[f"{values[0]}{row}"].value)
                 for row in range(int(categories[1]), int(categories[3]) + 1)]
        assert cells == [(name, count) for name, count in counts]
        assert ('<c:majorUnit val="1"/>' in xml) == (max(count for _, count in counts) <= report.SMALL_COUNT)


# ------------------------------------------------------------ wrapped rows' heights


@pytest.mark.parametrize(("text", "width", "lines"), [
    ("", 60, 1),
    ("電" * 29, 60, 1),  # 58 of the 59 units a line holds
    ("電" * 30, 60, 2),
    ("a\nb\n", 60, 3),  # a line per paragraph, the empty last one too
    ("x" * 200, 60, 4),  # 220 units: Latin letters count a little over one
    ("電池 battery " * 20, 20, 15),  # 278 units, 19 a line
])
def test_wrapped_lines(text: str, width: int, lines: int) -> None:
    assert report.wrapped_lines(text, width) == lines


@pytest.mark.parametrize(("abstract", "ratio", "points"), [
    ("短摘要", 1, None),  # one line: the sheet's own height
    ("電" * 300, 1, 176.25),  # 600 units, 59 a line: 11 lines of 16 pt, in whole pixels
    ("電" * 300, 1.5, 264),
    ("電" * 100_000, 1, 408.75),  # Excel's tallest row, in whole pixels
])
def test_closest_and_condition_rows_are_as_tall_as_their_wrapped_text(tmp_path: Path, abstract: str, ratio: float, points) -> None:
    hit = _hit(1, 1.0, abstract=abstract, claims="1. 一種電池。", title="電池")
    command = " OR ".join(["電池"] * 100)  # 836 units, 79 a line: 11 lines
    book = _open(write_report(tmp_path, _run(command, 文字大小比例=ratio), _Found([hit]), now=NOW).path)
    assert book["分析最接近專利數量"].row_dimensions[2].height == points
    assert book["檢索條件"].row_dimensions[2].height == int(11 * report.LINE_POINTS * ratio * 4 / 3 + 0.5) * 0.75


class _Counted:
    """A result that notes every attribute read of it."""

    def __init__(self, found: _Found) -> None:
        self._found, self.calls = found, []

    def __getattr__(self, name: str):
        self.calls.append(name)
        return getattr(self._found, name)


def test_the_report_is_written_from_values_read_once(tmp_path: Path) -> None:
    """Each part of a result is read once, before the report; writing it calls nothing back."""
    result = _Counted(_Found([_hit(n, 10.0 - n, cites="TW000001") for n in range(1, 8)]))
    data = gather(_run(分析最接近專利數量=3), result)
    gathered = list(result.calls)
    assert sorted(gathered) == ["chain_lines", "citation_rows", "cited_by", "closest_families", "compared", "facets", "families",
                               "list_rows", "total"]
    assert [hit.record.pn for hit in data.closest] == ["TW000001", "TW000002", "TW000003"]
    assert data.cited_by == {"TW000001": 7, "TW000002": 0, "TW000003": 0}
    path = report.write_report(tmp_path, _run(分析最接近專利數量=3), data, now=NOW).path
    assert result.calls == gathered
    assert [row[1] for row in _rows(_open(path)["檢索列表"])[1:]] == [f"TW{n:06d}" for n in range(1, 8)]
    assert {name: p.annotation for name, p in inspect.signature(report.write_report).parameters.items()
            if name in ("request", "data")} == {"request": "RunRequest", "data": "ReportData"}
    assert dataclasses.is_dataclass(ReportData) and ReportData.__dataclass_params__.frozen
