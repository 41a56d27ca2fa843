"""The report's list and closest rows streamed as worksheet XML (xlsx_rows.Rows):
byte for byte what xlsxwriter's own cell calls write, texts kept as text, links
up to the sheet's limit."""

from __future__ import annotations

import math
import zipfile
from pathlib import Path

import pytest

from test_report import NOW, _Found, _hit, _open, _run, _same_hits
from varnel_host import report, xlsx_rows
from varnel_host.cell_text import clean_text, split_runs
from varnel_host.report import write_report
from varnel_host.marking import marked_spans


class _ApiRows:
    """The same cells through xlsxwriter's own cell API, one call per cell."""

    def __init__(self, cells, sheet) -> None:
        self.cells, self.sheet, self.row = cells, sheet, 0

    def begin(self, row: int, pixels: int | None = None) -> None:
        self.row = row
        if pixels is not None:
            self.sheet.set_row_pixels(row, pixels)

    def end(self) -> None:
        pass

    flush = end

    def text(self, col: int, text: str, *, bold: bool = False, wrap: bool = False) -> None:
        self.cells.text(self.sheet, self.row, col, text, bold=bold, wrap=wrap)

    def number(self, col: int, value: float, num_format: str) -> None:
        self.cells.number(self.sheet, self.row, col, value, num_format)

    def number_link(self, col: int, number: str, url: str | None, *, wrap: bool = False) -> None:
        if url is None:
            self.text(col, number, wrap=wrap)
        else:
            style = self.cells.style(False, valign="top", text_wrap=wrap, font_color=xlsx_rows.LINK_COLOR, underline=1)
            self.sheet.write_url(self.row, col, url, style, string=number)

    def marked(self, col: int, text: str, words, *, wrap: bool = False) -> None:
        text = clean_text(text)
        spans = marked_spans(text, words)
        if not spans:
            self.text(col, text, wrap=wrap)
            return
        edges = [0, *(edge for span in spans for edge in span), len(text)]
        parts: list = []
        for index, (start, end) in enumerate(zip(edges, edges[1:])):
            for cjk, run in split_runs(text[start:end]):
                mark = index % 2 == 1
                parts += [self.cells.style(cjk, True, font_color=xlsx_rows.MARK_COLOR) if mark else self.cells.style(cjk), run]
        self.sheet.write_rich_string(self.row, col, *parts, self.cells.style(False, valign="top", text_wrap=wrap))

    def record_date(self, col: int, text: str) -> None:
        value = xlsx_rows._date_value(text)
        if value is None:
            self.text(col, text)
        else:
            self.sheet.write_datetime(self.row, col, value, self.cells.style(False, num_format="yyyy-mm-dd", valign="top"))


def _parts(path: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(path) as package:
        return {name: package.read(name) for name in package.namelist()}


@pytest.mark.parametrize("latin", ["Arial", "_x0042_ Arial"])  # the second needs Excel's escapes in every run
def test_rows_are_the_xml_xlsxwriter_writes(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, latin: str) -> None:
    """Every part of the package is byte for byte what xlsxwriter's cell API makes of the same hits."""
    odd = ["a\rb 電池", "電池\r", "_x0041_ 電池", "_x0041_", "A&B <電> \"q\"", " 前後 ", "\u3000電池 x ", "x 電池\u3000", "  ",
           "\t", "x\n電\ny", "電" * 40_000, "a\x00b 電"]
    hits = _same_hits() + [_hit(n, score, title=text, applicants=text, ipc=text[::-1], ad=text[:8], pd="19000301")
                           for n, (text, score) in enumerate(zip(odd, [math.inf, -math.inf] + [1.0] * 20))]
    request = _run("電池 OR battery", 文字大小比例=1.2, 英文文字字體=latin, 分析最接近專利數量=30)
    fast = _parts(write_report(tmp_path / "fast", request, _Found(hits, 99), now=NOW).path)
    monkeypatch.setattr(report, "Rows", _ApiRows)
    monkeypatch.setattr(report, "TableRows", lambda cells, sheet, columns: xlsx_rows.PythonRows(cells, sheet, columns, rows=_ApiRows))
    api = _parts(write_report(tmp_path / "api", request, _Found(hits, 99), now=NOW).path)
    assert fast.keys() == api.keys()
    for name in api:
        assert fast[name] == api[name], name
    assert fast["xl/worksheets/sheet1.xml"].count(b"<row ") == len(hits) + 1


def test_markup_like_text_stays_text(tmp_path: Path) -> None:
    text = "<r>a&b</r>"
    result = write_report(tmp_path, _run(), _Found([_hit(1, 1.0, title=text)]), now=NOW)
    assert _open(result.path)["檢索列表"]["C2"].value == text


def test_links_stop_at_the_sheets_limit(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(xlsx_rows, "HYPERLINK_LIMIT", 2)
    book = _open(write_report(tmp_path, _run(), _Found([_hit(n, 1.0, pn=f"TWI70000{n}B") for n in range(4)]), now=NOW).path)
    cells = [book["檢索列表"][f"B{row}"] for row in range(2, 6)]
    assert [c.value for c in cells] == [f"TWI70000{n}B" for n in range(4)]
    assert [bool(c.hyperlink) for c in cells] == [True, True, False, False]
