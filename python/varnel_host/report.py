"""Write one search run to a new XLSX workbook.

Sheets, in order: 檢索列表 (the hits in the store's order, best first, at
most LIST_ROW_CAP of them), 分析最接近專利數量 (the closest hits with score,
abstract, first claim and the matched or shared words, those words marked in
bold red inside the texts), 統計圖表 (native Excel charts over every hit: top
applicants, hits per filing year, top IPC subclasses, each beside its data
table) and 檢索條件 (the command, hit count, the list's cap, settings as used
and any adjustments made to them).

Publication numbers in the list and closest sheets link to the patent's
public page (PATENT_PAGE_URL) when they carry a known office's country code;
other numbers stay plain text. A sheet holds at most HYPERLINK_LIMIT links
(Excel's limit): rows beyond it carry the number alone.

Every text cell is a rich string: runs of CJK characters use the Chinese font,
all other runs the Latin font, both at 11 pt × the size ratio (a text of one
script is a plain string in that font). The list and closest sheets' rows are
written straight as worksheet XML (_Rows), the XML xlsxwriter's cell calls make. The
settings arrive checked and clamped (settings.py).

The workbook is written to a hidden ".part" file in the reports folder and
linked to its final name only when complete, so a run that fails, is stopped
or is killed never leaves a report-looking file behind.
"""

from __future__ import annotations

import io
import itertools
import math
import os
import re
import tempfile
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from datetime import date, datetime
from pathlib import Path
from typing import Protocol

import xlsxwriter
from xlsxwriter.format import Format
from xlsxwriter.worksheet import Worksheet
from xlsxwriter.xmlwriter import XMLwriter

from xlsxwriter.url import Url

from . import pn
from .facets import Facets
from .cell_text import clean_text
from .records import Hit
from .settings import ReportSettings, percent
from .marking import marked_spans
from .request import RunRequest


BIG5_CHARSET = 136  # tells Excel the Chinese font's character set

LIST_SHEET = "檢索列表"
TOP_SHEET = "分析最接近專利數量"
CHART_SHEET = "統計圖表"
CONDITIONS_SHEET = "檢索條件"

# The public record page of a patent, by its canonical publication number.
PATENT_PAGE_URL = "https://patents.google.com/patent/{pn}"
# Country codes of the offices whose numbers that page knows.
KNOWN_OFFICES = frozenset(
    "TW US EP WO CN JP KR DE GB FR CA AU IN RU BR ES IT NL CH SE AT BE DK FI NO IL MX SG NZ ZA".split()
)
HYPERLINK_LIMIT = 65_530  # per worksheet, Excel's own
# Rows whose texts wrap are given the height their lines need: LibreOffice
# keeps a row without a height at one line and draws the rest over the rows
# below. A line of 11 pt text, with room for the CJK fonts' taller lines.
LINE_POINTS = 16.0
MAX_ROW_POINTS = 409.0  # Excel's tallest row
SMALL_COUNT = 10  # charts up to this count have a grid line per hit
MARK_COLOR = "#FF0000"  # matched and shared words inside the closest sheet's texts
LINK_COLOR = "#0563C1"
CHART_TOP = 10  # applicants and IPC subclasses charted
CHART_ROWS = 15  # rows of the default height a chart of scale 1 covers at 100 %

# A sheet holds 1,048,576 rows. The list stops well before that: beyond
# 100,000 hits a list is no longer read, only filtered, the command wants
# narrowing, and the report stays a few seconds' work and memory.
SHEET_ROWS = 1_048_576
LIST_ROW_CAP = 100_000
ROW_BATCH = 1000  # rows between progress calls and cancel checks

_MAX_NAME_ATTEMPTS = 10_000
_PART_PREFIX = ".檢索報告_"
_PART_SUFFIX = ".part"
_STALE_PART_SECONDS = 24 * 3600

# Han (radicals, strokes, ideographs and their extensions), CJK symbols and
# punctuation, bopomofo, enclosed and compatibility CJK, vertical and
# compatibility forms, full-width forms.
_CJK_CLASS = (
    "\u2e80-\u2fdf\u2ff0-\u303f\u3100-\u312f\u31a0-\u31ef\u3200-\u4dbf"
    "\u4e00-\u9fff\uf900-\ufaff\ufe10-\ufe1f\ufe30-\ufe4f\uff01-\uff60"
    "\uffe0-\uffe6\U00020000-\U0003fffd"
)
_RUN = re.compile(f"([{_CJK_CLASS}]+)|([^{_CJK_CLASS}]+)")
_WIDE = re.compile(f"[{_CJK_CLASS}]")


class ReportError(RuntimeError):
    """The report could not be written."""


class ReportCancelled(Exception):
    """The report was stopped by its cancel hook; no file is left."""


class Hits(Protocol):
    """What the report reads from a search result (store.SearchResult)."""

    total: int

    def rows(self) -> Iterable[Hit]: ...

    def closest(self, n: int) -> list[Hit]: ...

    def facets(self, top: int = 10) -> Facets: ...


def patent_url(number: str) -> str | None:
    """The public page of a publication number, None without a known office prefix."""
    parts = pn.split(number)
    return PATENT_PAGE_URL.format(pn=number) if parts and parts.country in KNOWN_OFFICES else None


def cap_note(total: int) -> str | None:
    """The note for a run with more hits than the list holds, else None."""
    if total <= LIST_ROW_CAP:
        return None
    return (f"命中 {total:,} 筆，超過列表上限 {LIST_ROW_CAP:,} 筆："
            f"檢索列表只列出最相關的前 {LIST_ROW_CAP:,} 筆，請縮小檢索範圍以取得完整列表")


@dataclass(frozen=True)
class ReportResult:
    path: Path
    notes: list[str]


# -------------------------------------------------------------------- text


def split_runs(text: str) -> list[tuple[bool, str]]:
    """Split text into maximal runs: (True, CJK run) or (False, other run)."""
    return [(True, cjk) if cjk else (False, other) for cjk, other in _RUN.findall(text)]


def wrapped_lines(text: str, width: float) -> int:
    """Lines a text takes when wrapped in a column `width` characters wide
    (a CJK character is drawn about two digits wide, others about one; a
    little over one for the proportional Latin fonts)."""
    room = max(width - 1.0, 1.0)
    lines = 0
    for paragraph in clean_text(text).split("\n"):
        wide = len(_WIDE.findall(paragraph))
        lines += max(1, math.ceil((2.0 * wide + 1.1 * (len(paragraph) - wide)) / room))
    return lines


def row_pixels(cells: Iterable[tuple[str, float]], ratio: float) -> int | None:
    """The height in pixels of a row of wrapped (text, column width) cells,
    None when one line is enough; at most Excel's tallest row."""
    lines = max((wrapped_lines(text, width) for text, width in cells), default=1)
    if lines <= 1:
        return None
    pixels = int(lines * LINE_POINTS * ratio * 4.0 / 3.0 + 0.5)  # as xlsxwriter's set_row() rounds
    return min(pixels, int(MAX_ROW_POINTS * 4.0 / 3.0))


def _date_value(text: str) -> date | None:
    """A "YYYYMMDD" record date as a date, or None when it is not one."""
    if len(text) != 8 or not text.isdigit():
        return None
    try:
        return date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None


# ---------------------------------------------------------------- writing


class _CellWriter:
    """Writes cells in the report's fonts, caching one Format per style."""

    def __init__(self, workbook: xlsxwriter.Workbook, settings: ReportSettings) -> None:
        self._workbook = workbook
        self._settings = settings
        self._formats: dict[tuple[bool, bool, tuple[tuple[str, object], ...]], Format] = {}

    @property
    def ratio(self) -> float:
        return self._settings.ratio

    def style(self, cjk: bool, bold: bool = False, **cell: object) -> Format:
        """The format for a run or cell in the Chinese (cjk) or Latin font."""
        key = (cjk, bold, tuple(sorted(cell.items())))
        found = self._formats.get(key)
        if found is None:
            props: dict[str, object] = {
                "font_name": self._settings.chinese_font if cjk else self._settings.latin_font,
                "font_size": self._settings.font_size,
                "bold": bold,
                **cell,
            }
            if cjk:
                props["font_charset"] = BIG5_CHARSET
            found = self._formats[key] = self._workbook.add_format(props)
        return found

    def text(
        self, sheet: Worksheet, row: int, col: int, text: str, *, bold: bool = False, wrap: bool = False
    ) -> None:
        cell = {"valign": "top", "text_wrap": wrap}
        text = clean_text(text)
        runs = split_runs(text)
        if not runs:
            status = sheet.write_blank(row, col, None, self.style(False, bold, **cell))
        elif len(runs) == 1:
            status = sheet.write_string(row, col, text, self.style(runs[0][0], bold, **cell))
        else:
            parts: list[str | Format] = []
            for cjk, run in runs:
                parts += [self.style(cjk, bold), run]
            status = sheet.write_rich_string(row, col, *parts, self.style(False, bold, **cell))
        _check(status, sheet, row, col)

    def number(self, sheet: Worksheet, row: int, col: int, value: float, num_format: str) -> None:
        fmt = self.style(False, num_format=num_format, valign="top")
        _check(sheet.write_number(row, col, value, fmt), sheet, row, col)

    def header(self, sheet: Worksheet, captions: Sequence[str], widths: Sequence[float]) -> None:
        """Bold header row, frozen, with column widths scaled by the size ratio;
        printed landscape, one page wide."""
        _page_setup(sheet)
        for col, (caption, width) in enumerate(zip(captions, widths, strict=True)):
            self.text(sheet, 0, col, caption, bold=True)
            sheet.set_column(col, col, width * self._settings.ratio)
        sheet.freeze_panes(1, 0)


# Excel's own escapes in cell text, as xlsxwriter writes them: a literal
# "_xHHHH_" gets its underscore escaped, control characters become _xHHHH_.
_EXCEL_ESCAPED = re.compile("(_x[0-9a-fA-F]{4}_)")
_EXCEL_CONTROL = re.compile("[\x00-\x08\x0b-\x1f]")
_EXCEL_ANY = re.compile("_x[0-9a-fA-F]{4}_|[\x00-\x08\x0b-\x1f]")
_COLUMNS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_WRITE_PARTS = 2000  # row pieces gathered per write to the sheet's file
_CACHE_LIMIT = 4096  # distinct texts remembered per sheet; applicants, IPC and dates repeat


def _excel_escapes(text: str) -> str:
    if "_x" in text:
        text = _EXCEL_ESCAPED.sub(r"_x005F\1", text)
    if _EXCEL_CONTROL.search(text):
        text = _EXCEL_CONTROL.sub(lambda m: f"_x{ord(m.group()):04X}_", text)
    return text


def _xml_text(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _rich_xml(runs: Sequence[tuple[str, str]]) -> str:
    """The runs of a rich string, (run start, text) each, as xlsxwriter
    writes them: each run escaped, then the whole string once more."""
    escaped = [(start, _xml_text(run)) for start, run in runs]
    if not any(_EXCEL_ANY.search(start) or _EXCEL_ANY.search(run) for start, run in escaped):
        return "".join(f"{start}{_t_tag(run)}{run}</t></r>" for start, run in escaped)
    return _excel_escapes("".join(f"{start}{_t_tag(run)}{_excel_escapes(run)}</t></r>" for start, run in escaped))


def _t_tag(text: str) -> str:
    """The <t> start tag, keeping leading or trailing white space."""
    return '<t xml:space="preserve">' if text[:1].isspace() or text[-1:].isspace() else "<t>"


class _Rows:
    """Writes whole rows of a constant-memory sheet straight into its XML.

    The XML is what xlsxwriter's write_string/write_rich_string/write_number/
    write_datetime/write_blank make of the same cells (same styles, runs and
    escapes; tests compare the two byte for byte), without their per-cell
    work: a cell is one f-string, a row one write, and the XML of a text is
    kept for texts that repeat. Rows come in order, after anything written to
    the sheet through its own API; call begin(row), the cells, then end(),
    and flush() after the last row. Rows carry no format of their own, and a
    height only when begin() is given one.
    """

    def __init__(self, cells: _CellWriter, sheet: Worksheet) -> None:
        self._cells = cells
        self._sheet = sheet
        self._row = self._last = 0
        self._number = "1"
        self._parts: list[str] = []  # rows not yet handed to the sheet
        self._xf: dict[object, int] = {}
        self._runs: dict[tuple[bool, bool], str] = {}
        self._texts: dict[tuple[str, bool, bool], tuple[int, str]] = {}
        self._dates: dict[str, float | None] = {}

    def begin(self, row: int, pixels: int | None = None) -> None:
        """Start a row; `pixels`: its height, as set_row_pixels() writes it."""
        sheet = self._sheet
        if not self._parts:
            sheet._write_single_row(row)  # flushes the row the sheet's API holds, if any
        if status := sheet._check_dimensions(row, 0):
            _check(status, sheet, row, 0)
        sheet.previous_row = row
        self._row, self._number = row, str(row + 1)
        if pixels is None or pixels == sheet.default_row_height:
            self._parts.append(f'<row r="{self._number}">')
        else:
            self._parts.append(f'<row r="{self._number}" ht="{pixels * 0.75:.16g}" customHeight="1">')

    def end(self) -> None:
        sheet = self._sheet
        if status := sheet._check_dimensions(self._row, self._last):
            _check(status, sheet, self._row, self._last)
        self._parts.append("</row>")
        if len(self._parts) > _WRITE_PARTS:
            self.flush()

    def flush(self) -> None:
        """Hand the rows so far to the sheet; before anything else writes to it."""
        self._sheet.fh.write("".join(self._parts))
        self._parts.clear()

    def _cell(self, col: int, xf: int, tail: str) -> None:
        self._last = col  # cells come left to right
        self._parts.append(f'<c r="{_COLUMNS[col]}{self._number}" s="{xf}"{tail}')

    def _text_style(self, cjk: bool, bold: bool, wrap: bool) -> int:
        key = (cjk, bold, wrap)
        found = self._xf.get(key)
        if found is None:
            found = self._style_index(key, lambda: self._cells.style(cjk, bold, valign="top", text_wrap=wrap))
        return found

    def _style_index(self, key: object, fmt: Callable[[], Format]) -> int:
        # Asked on first use, in cell order, as xlsxwriter numbers its styles.
        found = self._xf.get(key)
        if found is None:
            found = self._xf[key] = fmt()._get_xf_index()
        return found

    def _run_start(self, cjk: bool, bold: bool, mark: bool = False) -> str:
        """<r> and the run properties of the Chinese (cjk) or Latin font, as
        xlsxwriter writes them; a marked run is bold red."""
        key = (cjk, bold, mark)
        found = self._runs.get(key)
        if found is None:
            writer, stream = XMLwriter(), io.StringIO()
            writer._set_filehandle(stream)
            self._sheet.rstring = writer
            fmt = self._cells.style(cjk, True, font_color=MARK_COLOR) if mark else self._cells.style(cjk, bold)
            self._sheet._write_font(fmt)
            found = self._runs[key] = "<r>" + stream.getvalue()
        return found

    def marked(self, col: int, text: str, words: Sequence[str], *, wrap: bool = False) -> None:
        """A text with every place holding one of `words` in bold red runs."""
        text = clean_text(text)
        spans = marked_spans(text, words)
        if not spans:
            self.text(col, text, wrap=wrap)
            return
        pieces: list[tuple[bool, str]] = []
        done = 0
        for start, end in spans:
            pieces += [(False, text[done:start]), (True, text[start:end])]
            done = end
        pieces.append((False, text[done:]))
        rich = _rich_xml([(self._run_start(cjk, False, mark), run) for mark, piece in pieces for cjk, run in split_runs(piece)])
        self._cell(col, self._text_style(False, False, wrap), f' t="inlineStr"><is>{rich}</is></c>')

    def number_link(self, col: int, number: str, *, wrap: bool = False) -> None:
        """A publication number, linked to its public page when it has one."""
        url = patent_url(number)
        sheet = self._sheet
        if url is None or sheet.hlink_count >= HYPERLINK_LIMIT:
            self.text(col, number, wrap=wrap)
            return
        sheet.hlink_count += 1
        xf = self._style_index(
            ("link", wrap),
            lambda: self._cells.style(False, valign="top", text_wrap=wrap, font_color=LINK_COLOR, underline=1),
        )
        # A number with a known office holds only A-Z and 0-9: no escapes.
        self._cell(col, xf, f' t="inlineStr"><is><t>{number}</t></is></c>')
        sheet.hyperlinks[self._row][col] = Url(url)

    def text(self, col: int, text: str, *, bold: bool = False, wrap: bool = False) -> None:
        key = (text, bold, wrap)
        found = self._texts.get(key)
        if found is None:
            found = self._text_xml(text, bold, wrap)
            if len(self._texts) >= _CACHE_LIMIT:
                self._texts.clear()
            self._texts[key] = found
        self._last = col
        self._parts.append(f'<c r="{_COLUMNS[col]}{self._number}" s="{found[0]}"{found[1]}')

    def _text_xml(self, text: str, bold: bool, wrap: bool) -> tuple[int, str]:
        text = clean_text(text)
        runs = _RUN.findall(text)  # (CJK run, "") or ("", other run)
        xf = self._text_style(len(runs) == 1 and bool(runs[0][0]), bold, wrap)
        if not runs:
            return xf, "/>"
        markup = "&" in text or "<" in text or ">" in text
        if len(runs) == 1:
            if "_x" in text or _EXCEL_CONTROL.search(text):
                text = _excel_escapes(text)
            return xf, f' t="inlineStr"><is>{_t_tag(text)}{_xml_text(text) if markup else text}</t></is></c>'
        chinese, latin = self._run_start(True, bold), self._run_start(False, bold)
        rich = _rich_xml([(chinese if c else latin, c or o) for c, o in runs])
        return xf, f' t="inlineStr"><is>{rich}</is></c>'

    def number(self, col: int, value: float, num_format: str) -> None:
        xf = self._xf.get(num_format)
        if xf is None:
            xf = self._style_index(num_format, lambda: self._cells.style(False, num_format=num_format, valign="top"))
        if math.isfinite(value):
            self._cell(col, xf, f"><v>{value:.16G}</v></c>")
        else:  # an error value, as nan_inf_to_errors writes it
            formula, shown = ("#NUM!", "#NUM!") if math.isnan(value) else ("1/0" if value > 0 else "-1/0", "#DIV/0!")
            self._cell(col, xf, f' t="e"><f>{formula}</f><v>{shown}</v></c>')

    def record_date(self, col: int, text: str) -> None:
        """A record date as an Excel date shown YYYY-MM-DD; anything else as text."""
        serial = self._dates.get(text, False)
        if serial is False:
            value = _date_value(text)
            serial = None if value is None else self._sheet._convert_date_time(value)
            if len(self._dates) >= _CACHE_LIMIT:
                self._dates.clear()
            self._dates[text] = serial
        if serial is None:
            self.text(col, text)
        else:
            fmt = "yyyy-mm-dd"
            xf = self._style_index(fmt, lambda: self._cells.style(False, num_format=fmt, valign="top"))
            self._cell(col, xf, f"><v>{serial:.16G}</v></c>")


def _page_setup(sheet: Worksheet) -> None:
    sheet.set_landscape()
    sheet.fit_to_pages(1, 0)


def _check(status: int | None, sheet: Worksheet, row: int, col: int) -> None:
    # XlsxWriter reports rejected cells by return code and a warning only.
    if status:
        raise ReportError(f"無法寫入 {sheet.name} 第 {row + 1} 列第 {col + 1} 欄（代碼 {status}）")


_LIST_COLUMNS = ("序號", "公開公告號", "專利名稱", "申請人", "申請日", "公開公告日", "IPC", "相關度")
_LIST_WIDTHS = (8, 16, 44, 28, 14, 14, 20, 10)
_TOP_COLUMNS = ("排名", "公開公告號", "專利名稱", "申請人", "相關度", "摘要", "第一項請求項", "命中詞")
# A similarity command's closest sheet: its score and the words each hit shares with the text.
_SIMILAR_CAPTIONS = {"相關度": "相似度", "命中詞": "共同詞"}
_TOP_WIDTHS = (8, 16, 30, 22, 10, 60, 60, 20)
_CONDITION_WIDTHS = (22, 80)


def _write_list(
    cells: _CellWriter,
    sheet: Worksheet,
    hits: Iterable[Hit],
    planned: int,
    progress: Callable[[int, int], None] | None,
    cancel: Callable[[], bool] | None,
) -> int:
    """The list rows in the order given; returns how many were written."""
    cells.header(sheet, _LIST_COLUMNS, _LIST_WIDTHS)
    out = _Rows(cells, sheet)
    row = 0
    for row, hit in enumerate(hits, start=1):
        if row % ROW_BATCH == 0:
            if cancel is not None and cancel():
                raise ReportCancelled
            if progress is not None:
                progress(row, planned)
        rec = hit.record
        out.begin(row)
        out.number(0, row, "0")
        out.number_link(1, rec.pn)
        out.text(2, rec.title)
        out.text(3, rec.applicants)
        out.record_date(4, rec.ad)
        out.record_date(5, rec.pd)
        out.text(6, rec.ipc)
        out.number(7, round(hit.score, 2), "0.00")
        out.end()
    out.flush()
    sheet.autofilter(0, 0, max(row, 1), len(_LIST_COLUMNS) - 1)
    return row


def _write_top(cells: _CellWriter, sheet: Worksheet, hits: Sequence[Hit], similar: bool) -> None:
    captions = [_SIMILAR_CAPTIONS.get(c, c) for c in _TOP_COLUMNS] if similar else _TOP_COLUMNS
    cells.header(sheet, captions, _TOP_WIDTHS)
    out = _Rows(cells, sheet)
    ratio = cells.ratio
    for row, hit in enumerate(hits, start=1):
        rec = hit.record
        wrapped = (rec.pn, rec.title, rec.applicants, "", rec.abstract, rec.first_claim, "、".join(hit.matched))
        out.begin(row, row_pixels(zip(wrapped, _TOP_WIDTHS[1:]), ratio))
        out.number(0, row, "0")
        out.number_link(1, rec.pn, wrap=True)
        out.marked(2, rec.title, hit.matched, wrap=True)
        out.text(3, rec.applicants, wrap=True)
        out.number(4, round(hit.score, 2), "0.00")
        out.marked(5, rec.abstract, hit.matched, wrap=True)
        out.marked(6, rec.first_claim, hit.matched, wrap=True)
        out.text(7, "、".join(hit.matched), wrap=True)
        out.end()
    out.flush()


def _write_charts(
    workbook: xlsxwriter.Workbook, cells: _CellWriter, sheet: Worksheet, facets: Facets, settings: ReportSettings
) -> None:
    """Each count beside its native chart, blocks one under another."""
    font = {"name": settings.chinese_font, "size": settings.font_size}
    sheet.fit_to_pages(1, 1)  # the three charts on one printed page
    blocks = (
        ("申請人", facets.applicants, "bar", f"前 {CHART_TOP} 大申請人（件數）"),
        ("申請年", facets.years, "column", "各申請年件數"),
        ("IPC 次類", facets.ipc, "bar", f"前 {CHART_TOP} 大 IPC 次類（件數）"),
    )
    widths = (28, 10)
    for col, width in enumerate(widths):
        sheet.set_column(col, col, width * settings.ratio)
    row = 0
    for caption, counts, kind, title in blocks:
        cells.text(sheet, row, 0, caption, bold=True)
        cells.text(sheet, row, 1, "件數", bold=True)
        for offset, (name, count) in enumerate(counts, start=1):
            cells.text(sheet, row + offset, 0, name)
            cells.number(sheet, row + offset, 1, count, "0")
        height = 0.0
        if counts:
            first, last = row + 1, row + len(counts)
            chart = workbook.add_chart({"type": kind})
            chart.add_series({
                "name": title,
                "categories": [sheet.name, first, 0, last, 0],
                "values": [sheet.name, first, 1, last, 1],
                "data_labels": {"value": True, "font": font},
                "gap": 60,
            })
            chart.set_title({"name": title, "name_font": {**font, "size": font["size"] + 2, "bold": True}})
            chart.set_legend({"none": True})
            category_axis = {"num_font": font, "interval_unit": 1}
            value_axis = {"num_font": font, "min": 0, "major_gridlines": {"visible": True}}
            if max(count for _, count in counts) <= SMALL_COUNT:  # whole counts, never 0.5 steps
                value_axis["major_unit"] = 1
            if kind == "bar":  # the best first, at the top
                chart.set_y_axis({**category_axis, "reverse": True, "crossing": "max"})
                chart.set_x_axis(value_axis)
            else:
                chart.set_x_axis(category_axis)
                chart.set_y_axis(value_axis)
            # a bar chart gets the height for one readable label per bar
            height = 1.2 if kind == "column" else max(1.2, 0.16 * len(counts) + 0.2)
            sheet.insert_chart(row, len(widths) + 1, chart, {"x_scale": 1.5, "y_scale": height})
        else:
            cells.text(sheet, row + 1, 0, "（沒有資料）")
        row += max(len(counts) + 1, math.ceil(CHART_ROWS * height / settings.ratio) if counts else 0) + 2


def _write_conditions(
    cells: _CellWriter,
    sheet: Worksheet,
    command: str,
    total: int,
    listed: int,
    settings: ReportSettings,
    now: datetime,
) -> None:
    cells.header(sheet, ("項目", "內容"), _CONDITION_WIDTHS)
    capped = cap_note(total)
    rows: list[tuple[str, str | int]] = [
        ("檢索指令", command),
        ("命中總數", total),
        ("列表筆數", listed),
        ("列表上限", LIST_ROW_CAP),
        *((("列表說明", capped),) if capped else ()),
        ("文字大小比例", percent(settings.ratio)),
        ("中文文字字體", settings.chinese_font),
        ("英文文字字體", settings.latin_font),
        ("分析最接近專利數量", settings.top_count),
        *(("調整說明", note) for note in settings.notes or ("無",)),
        ("產生時間", now.strftime("%Y-%m-%d %H:%M:%S")),
    ]
    for row, (caption, value) in enumerate(rows, start=1):
        if isinstance(value, str) and (pixels := row_pixels([(value, _CONDITION_WIDTHS[1])], settings.ratio)):
            sheet.set_row_pixels(row, pixels)
        cells.text(sheet, row, 0, caption, bold=True)
        if isinstance(value, int):
            cells.number(sheet, row, 1, value, "0")
        else:
            cells.text(sheet, row, 1, value, wrap=True)


# ------------------------------------------------------------------- files


def _publish(part: Path, folder: Path, now: datetime) -> Path:
    """Give the finished file its report name, never reusing one: 檢索報告_<stamp>.xlsx, then _2, _3, …

    The name is taken by an exclusive create (concurrent writers get distinct
    files), then the finished file replaces that empty placeholder at once."""
    stamp = now.strftime("%Y%m%d_%H%M%S")
    for counter in range(1, _MAX_NAME_ATTEMPTS + 1):
        suffix = "" if counter == 1 else f"_{counter}"
        path = folder / f"檢索報告_{stamp}{suffix}.xlsx"
        if path.parent != folder:  # the name holds only digits; still, never write outside the folder
            raise ReportError(f"報告檔名不在報告資料夾內：{path}")
        try:
            open(path, "xb").close()
        except FileExistsError:
            continue
        try:
            os.replace(part, path)
        except BaseException:
            path.unlink(missing_ok=True)
            raise
        return path
    raise ReportError(f"報告資料夾 {folder} 內同一秒的報告過多")


def _remove_stale_parts(folder: Path) -> None:
    """Remove unfinished files that a killed writer left a day or more ago."""
    limit = time.time() - _STALE_PART_SECONDS
    for part in folder.glob(f"{_PART_PREFIX}*{_PART_SUFFIX}"):
        try:
            if part.stat().st_mtime < limit:
                part.unlink()
        except OSError:
            pass  # another writer's, or already gone


def write_report(
    reports_dir: Path,
    request: RunRequest,
    result: Hits,
    *,
    now: datetime | None = None,
    progress: Callable[[int, int], None] | None = None,
    cancel: Callable[[], bool] | None = None,
) -> ReportResult:
    """Write the report of one search run to a new file in `reports_dir`.

    The list sheet takes `result.rows()` in the order given, at most
    LIST_ROW_CAP of them; the closest sheet `result.closest(n)`. `progress(written,
    planned)` is called and `cancel()` polled every ROW_BATCH list rows; a
    cancelled report raises ReportCancelled (or the store's Cancelled from
    rows()) and leaves no file. Returns the file written and the notes on
    adjusted settings.
    """
    now = now or datetime.now()
    settings = request.settings
    reports_dir = Path(reports_dir)
    reports_dir.mkdir(parents=True, exist_ok=True)
    folder = reports_dir.resolve()
    _remove_stale_parts(folder)
    planned = min(result.total, LIST_ROW_CAP)
    descriptor, name = tempfile.mkstemp(prefix=_PART_PREFIX, suffix=_PART_SUFFIX, dir=folder)
    part = Path(name)
    try:
        # constant_memory writes each row out as the next begins, so memory
        # stays flat however long the list; every sheet is written in row order.
        options = {"constant_memory": True, "nan_inf_to_errors": True}
        with open(descriptor, "wb") as stream, xlsxwriter.Workbook(stream, options) as workbook:
            workbook.set_properties({"title": "檢索報告", "created": now})
            cells = _CellWriter(workbook, settings)
            rows = itertools.islice(result.rows(), LIST_ROW_CAP)
            listed = _write_list(cells, workbook.add_worksheet(LIST_SHEET), rows, planned, progress, cancel)
            similar = request.query.similar() is not None
            _write_top(cells, workbook.add_worksheet(TOP_SHEET), result.closest(settings.top_count), similar)
            _write_charts(workbook, cells, workbook.add_worksheet(CHART_SHEET), result.facets(CHART_TOP), settings)
            conditions = workbook.add_worksheet(CONDITIONS_SHEET)
            _write_conditions(cells, conditions, request.command, result.total, listed, settings, now)
        path = _publish(part, folder, now)
    finally:
        part.unlink(missing_ok=True)  # the finished report is the linked name
    return ReportResult(path, list(settings.notes))
