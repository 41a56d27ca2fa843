"""Write one search run to a new XLSX workbook.

The run arrives as plain values (report_data.ReportData, gathered once by the
worker): nothing here reads the store.

Sheets, in order: 檢索列表 (the hits in the store's order, best first, at
most the request's list cap of them, each with its family's name: families.py;
a kept strategy's run adds 新增, marking the records it gained that were not
yet looked at: ReportData.fresh), 同族列表
(one row per family of the listed hits), 分析最接近專利數量 (the closest hit
of each of the best families with score, abstract, first claim and the
matched or shared words, those words marked in bold red inside the texts,
how many records cite it and which other hits it cites, its legal status
and document type as the export words them with the value LS= and DT=
find them by), 引用關係 (for each
closest hit, the hits it cites and the hits citing it, among every hit of the
search, with their levels when the command holds citation chains), 統計圖表 (native
Excel charts over every hit: top applicants, hits per filing year, top IPC
subclasses, hits per earliest priority year, each beside its data table) and 檢索條件 (a kept
strategy's name, what its list holds and how many records it gained, the command and the command of every result set #k it used,
the hits at each level of its citation chains,
for a command holding TR(…) the command as translated and each word's translations (translate.py),
the words a SIM= compares by, hit count, why a run found nothing (explain.py), rows listed and the list's cap,
a note when the list was cut, settings as used, any adjustments made to them
and the time written).

Publication numbers in the list and closest sheets link to the patent's
public page (PATENT_PAGE_URL) when they carry a known office's country code;
other numbers stay plain text. A sheet holds at most Excel's limit of links
(xlsx_rows.HYPERLINK_LIMIT): rows beyond it carry the number alone.

In text cells, runs of CJK characters use the Chinese font and all other runs
the Latin font, both at 11 pt × the size ratio: a text of one script is a
plain string in its font, any other a rich string. Headers, the chart sheet
and the conditions sheet go through xlsxwriter's cell calls (_CellWriter);
the rows of the list and family sheets (xlsx_rows.TableRows) and of the
closest sheet (xlsx_rows.HeldRows) are written as worksheet XML by the native
writer and spliced into the package (xlsx_rows.Workbook). The settings arrive
checked and clamped (settings.py).

The workbook is written to a hidden ".part" file in the reports folder and
linked to its final name only when complete, so a run that fails, is stopped
or is killed never leaves a report-looking file behind.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

import xlsxwriter
from xlsxwriter.format import Format
from xlsxwriter.worksheet import Worksheet

from . import pn
from .cell_text import CJK_CLASS, clean_text, split_runs
from .families import Families
from .field_values import DOCTYPE, STATUS
from .facets import Facets
from .records import Hit
from .report_data import CHART_TOP, Citation, ListRow, ReportData
from .report_file import PartFile, os_error_of, remove_stale_parts
from .report_file import problem as file_problem
from .request import LIST_ROW_CAP, RunRequest
from .settings import ReportSettings, percent
from . import xlsx_rows
from .xlsx_rows import DATE, LINK, MARKED, TEXT, WRAPPED_LINK, WRAPPED_TEXT, marked, number_column


BIG5_CHARSET = 136  # tells Excel the Chinese font's character set

LIST_SHEET = "檢索列表"
FAMILY_SHEET = "同族列表"
TOP_SHEET = "分析最接近專利數量"
CITATION_SHEET = "引用關係"
CHART_SHEET = "統計圖表"
CONDITIONS_SHEET = "檢索條件"
ZERO_CAPTION = "0 筆的原因"  # the conditions sheet's row of each line explaining a run that found nothing
TRANSLATION_CAPTION = "翻譯"  # the conditions sheet's row of each line on a TR(…) word's translations
CHAIN_CAPTION = "引用鏈"  # the conditions sheet's row of each citation chain's hits at each level

# The public record page of a patent, by its canonical publication number.
PATENT_PAGE_URL = "https://patents.google.com/patent/{pn}"
# Country codes of the offices whose numbers that page knows.
KNOWN_OFFICES = frozenset(
    "TW US EP WO CN JP KR DE GB FR CA AU IN RU BR ES IT NL CH SE AT BE DK FI NO IL MX SG NZ ZA".split()
)
# Rows whose texts wrap are given the height their lines need: LibreOffice
# keeps a row without a height at one line and draws the rest over the rows
# below. A line of 11 pt text, with room for the CJK fonts' taller lines.
LINE_POINTS = 16.0
MAX_ROW_POINTS = 409.0  # Excel's tallest row
SMALL_COUNT = 10  # charts up to this count have a grid line per hit
CHART_ROWS = 15  # rows of the default height a chart of scale 1 covers at 100 %

SHEET_ROWS = 1_048_576  # a sheet's rows; the list's cap (request.LIST_ROW_CAP) stays well below
ROW_BATCH = 1000  # rows between progress calls and cancel checks

_MAX_NAME_ATTEMPTS = 10_000

_WIDE = re.compile(f"[{CJK_CLASS}]")


class ReportError(RuntimeError):
    """The report could not be written."""


class ReportCancelled(Exception):
    """The report was stopped by its cancel hook; no file is left."""


def patent_url(number: str) -> str | None:
    """The public page of a publication number, None without a known office prefix."""
    # A number of a number's shape (pn.split) that starts with two letters has
    # them as its country. The list asks this of every row: the shape alone is
    # matched, without making its parts.
    if number[:2] in KNOWN_OFFICES and pn._PARTS.fullmatch(number) is not None:
        return PATENT_PAGE_URL.format(pn=number)
    return None


def cap_note(total: int, cap: int = LIST_ROW_CAP) -> str | None:
    """The note for a run with more hits than the list's `cap`, else None."""
    if total <= cap:
        return None
    return (f"命中 {total:,} 筆，超過列表上限 {cap:,} 筆："
            f"檢索列表只列出最相關的前 {cap:,} 筆，請縮小檢索範圍以取得完整列表")


@dataclass(frozen=True)
class ReportResult:
    path: Path
    notes: list[str]


# ------------------------------------------------------------- row heights


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


# ---------------------------------------------------------------- writing


class _CellWriter:
    """Writes cells in the report's fonts through xlsxwriter's cell calls,
    caching one Format per style; the rows of xlsx_rows take their formats,
    fonts and checks from it."""

    def __init__(self, workbook: xlsxwriter.Workbook, settings: ReportSettings) -> None:
        self._workbook = workbook
        self._settings = settings
        self._formats: dict[tuple[bool, bool, tuple[tuple[str, object], ...]], Format] = {}

    @property
    def ratio(self) -> float:
        return self._settings.ratio

    @property
    def workbook(self) -> xlsxwriter.Workbook:
        return self._workbook

    def on(self, workbook: xlsxwriter.Workbook) -> _CellWriter:
        """The same cell writer for another workbook."""
        return _CellWriter(workbook, self._settings)

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
            status = xlsx_rows.write_string(sheet, row, col, text, self.style(runs[0][0], bold, **cell))
        else:
            parts: list[str | Format] = []
            for cjk, run in runs:
                parts += [self.style(cjk, bold), run]
            status = sheet.write_rich_string(row, col, *parts, self.style(False, bold, **cell))
        self.check(status, sheet, row, col)

    def number(self, sheet: Worksheet, row: int, col: int, value: float, num_format: str) -> None:
        fmt = self.style(False, num_format=num_format, valign="top")
        if not math.isfinite(value):  # no number to show: an empty cell, as xlsx_rows writes it
            self.check(sheet.write_blank(row, col, None, fmt), sheet, row, col)
            return
        self.check(sheet.write_number(row, col, value, fmt), sheet, row, col)

    def font(self, cjk: bool) -> tuple[str, float]:
        """The name and size of the Chinese (cjk) or Latin font."""
        return (self._settings.chinese_font if cjk else self._settings.latin_font), self._settings.font_size

    @staticmethod
    def check(status: int | None, sheet: Worksheet, row: int, col: int) -> None:
        """Raise ReportError for a cell xlsxwriter rejected: it reports one by
        return code and a warning only."""
        if status:
            raise ReportError(f"無法寫入 {sheet.name} 第 {row + 1} 列第 {col + 1} 欄（代碼 {status}）")

    def header(self, sheet: Worksheet, captions: Sequence[str], widths: Sequence[float]) -> None:
        """Bold header row, frozen, with column widths scaled by the size ratio;
        printed landscape, one page wide."""
        _page_setup(sheet)
        for col, (caption, width) in enumerate(zip(captions, widths, strict=True)):
            self.text(sheet, 0, col, caption, bold=True)
            sheet.set_column(col, col, width * self._settings.ratio)
        sheet.freeze_panes(1, 0)


def _page_setup(sheet: Worksheet) -> None:
    sheet.set_landscape()
    sheet.fit_to_pages(1, 0)


_LIST_COLUMNS = ("序號", "公開公告號", "專利名稱", "申請人", "申請日", "公開公告日", "IPC", "相關度", "同族")
_LIST_WIDTHS = (8, 16, 44, 28, 14, 14, 20, 10, 16)
_LIST_LAYOUT = (number_column("0"), LINK, TEXT, TEXT, DATE, DATE, TEXT, number_column("0.00"), TEXT)
# A kept strategy's run adds a column marking the records it gained that were not yet looked at.
FRESH_CAPTION = "新增"
# One row per family: its best-ranked hit and the other hits of the family.
_FAMILY_COLUMNS = ("序號", "公開公告號", "專利名稱", "相關度", "同族件數", "其他同族")
_FAMILY_WIDTHS = (8, 16, 44, 10, 10, 40)
# The family sheet's numbers are not linked: links there would double the sheet's cost.
_FAMILY_LAYOUT = (number_column("0"), TEXT, TEXT, number_column("0.00"), number_column("0"), TEXT)
# The writers of the list and family rows and of the closest rows; the tests put their Python reference here.
TableRows = xlsx_rows.TableRows
HeldRows = xlsx_rows.HeldRows
_Named = tuple[str, str, float]  # a family's best-ranked hit: pn, title, score
_TOP_COLUMNS = (
    "排名", "公開公告號", "專利名稱", "申請人", "相關度", "摘要", "第一項請求項", "命中詞", "被引用次數", "引用的其他命中專利",
    "最早優先權日", "CPC", "法律狀態", "文件類型",
)
# A similarity command's closest sheet: its score and the words each hit shares with the text.
_SIMILAR_CAPTIONS = {"相關度": "相似度", "命中詞": "共同詞"}
_TOP_WIDTHS = (8, 16, 30, 22, 10, 60, 60, 20, 12, 24, 14, 24, 16, 16)
_TOP_LAYOUT = (
    number_column("0"), WRAPPED_LINK, MARKED, WRAPPED_TEXT, number_column("0.00"), MARKED, MARKED, WRAPPED_TEXT,
    number_column("0"), WRAPPED_TEXT, DATE, WRAPPED_TEXT, WRAPPED_TEXT, WRAPPED_TEXT,
)
_CONDITION_WIDTHS = (22, 80)
# Who cites whom: a closest hit, the relation, another hit; the levels only for a command holding citation chains.
_CITATION_COLUMNS = ("最接近專利", "關係", "命中專利", "命中專利名稱", "最接近專利的層級", "命中專利的層級")
_CITATION_WIDTHS = (16, 10, 16, 44, 24, 24)
_CITATION_LAYOUT = (LINK, TEXT, LINK, TEXT, TEXT, TEXT)
CITES, CITED = "引用", "被引用"  # the closest hit cites the other hit; the other hit cites it
NO_CITATIONS = "（最接近專利與其他命中專利之間沒有引用關係）"


def _write_list(
    cells: _CellWriter,
    sheet: Worksheet,
    hits: Iterable[ListRow],
    planned: int,
    progress: Callable[[int, int], None] | None,
    cancel: Callable[[], bool] | None,
    families: Families,
    named: list[_Named],
    fresh: frozenset[str] | None = None,
) -> int:
    """The list rows in the order given, each with its family's name (its
    best-ranked hit) and, for a kept strategy's run (`fresh` given), 新增
    where it is one of `fresh`; what the family sheet shows of the hits
    naming a family is added to `named`. Returns how many rows were written."""
    marks = () if fresh is None else (FRESH_CAPTION,)
    columns = (*_LIST_COLUMNS, *marks)
    cells.header(sheet, columns, (*_LIST_WIDTHS, *(8 for _ in marks)))
    out = TableRows(cells, sheet, (*_LIST_LAYOUT, *(TEXT for _ in marks)), header=columns)
    batch: list[tuple] = []
    row = 0
    for row, (number, title, applicants, ad, pd, ipc, score) in enumerate(hits, start=1):
        if row % ROW_BATCH == 0:
            out.write(batch)
            batch.clear()
            if cancel is not None and cancel():
                raise ReportCancelled
            if progress is not None:
                progress(row, planned)
        family = families.of(number)
        batch.append((row, (number, patent_url(number)), title, applicants, ad, pd, ipc, round(score, 2), family,
                      *((FRESH_CAPTION if number in fresh else "",) if fresh is not None else ())))
        if family == number:
            named.append((number, title, score))
    out.write(batch)
    sheet.autofilter(0, 0, max(row, 1), len(columns) - 1)
    return row


def _write_families(cells: _CellWriter, sheet: Worksheet, named: Sequence[_Named], families: Families) -> None:
    """One row per family of the listed hits, best first."""
    cells.header(sheet, _FAMILY_COLUMNS, _FAMILY_WIDTHS)
    out = TableRows(cells, sheet, _FAMILY_LAYOUT, header=_FAMILY_COLUMNS)
    batch: list[tuple] = []
    row = 0
    for row, (number, title, score) in enumerate(named, start=1):
        others = families.others(number)
        batch.append((row, number, title, round(score, 2), 1 + len(others), "; ".join(others)))
        if len(batch) == ROW_BATCH:
            out.write(batch)
            batch.clear()
    out.write(batch)
    sheet.autofilter(0, 0, max(row, 1), len(_FAMILY_COLUMNS) - 1)


def _write_top(
    cells: _CellWriter, sheet: Worksheet, hits: Sequence[Hit], similar: bool, cited_by: Mapping[str, int], listed: Families
) -> None:
    """The closest hits, each with how many records of the collection cite
    it, which of the other listed hits it cites, its earliest priority date,
    CPC symbols, legal status and document type; its title and abstract in
    other languages follow the main ones in their cells (with_alternate())."""
    captions = [_SIMILAR_CAPTIONS.get(c, c) for c in _TOP_COLUMNS] if similar else _TOP_COLUMNS
    cells.header(sheet, captions, _TOP_WIDTHS)
    ratio = cells.ratio
    rows: list[tuple] = []
    heights: list[int | None] = []
    for row, hit in enumerate(hits, start=1):
        rec = hit.record
        words = "、".join(hit.matched)
        title, abstract = with_alternate(rec.title, rec.title_alt), with_alternate(rec.abstract, rec.abstract_alt, "\n\n")
        wrapped = (rec.pn, title, rec.applicants, "", abstract, rec.first_claim, words)
        heights.append(row_pixels(zip(wrapped, _TOP_WIDTHS[1:]), ratio))
        rows.append((
            row, (rec.pn, patent_url(rec.pn)), marked(title, hit.matched), rec.applicants, round(hit.score, 2),
            marked(abstract, hit.matched), marked(rec.first_claim, hit.matched), words, cited_by.get(rec.pn, 0),
            "; ".join(listed.cited(rec.cites, rec.pn)), rec.prd, rec.cpc, STATUS.shown(rec.status), DOCTYPE.shown(rec.doctype),
        ))
    HeldRows(cells, sheet, _TOP_LAYOUT, header=captions).write(rows, heights)


def _write_citations(cells: _CellWriter, sheet: Worksheet, citations: Sequence[Citation], chained: bool) -> None:
    """For each closest hit, best first, the hits it cites and then the hits
    citing it; the levels of both in the command's chains when it holds any."""
    width = len(_CITATION_COLUMNS) if chained else len(_CITATION_COLUMNS) - 2
    captions = _CITATION_COLUMNS[:width]
    cells.header(sheet, captions, _CITATION_WIDTHS[:width])
    if not citations:
        cells.text(sheet, 1, 0, NO_CITATIONS)
        return
    out = TableRows(cells, sheet, _CITATION_LAYOUT[:width], header=captions)
    rows = [
        ((c.closest, patent_url(c.closest)), CITES if c.cites else CITED, (c.other, patent_url(c.other)), c.title,
         c.closest_level, c.other_level)[:width]
        for c in citations
    ]
    for start in range(0, len(rows), ROW_BATCH):
        out.write(rows[start : start + ROW_BATCH])
    sheet.autofilter(0, 0, len(rows), width - 1)


def with_alternate(main: str, alternate: str, apart: str = "\n") -> str:
    """A record's text with its other languages' text after it: the main
    language first, as the list sheet shows it (a damaged stored abstract,
    unreadable in every language, said once)."""
    return f"{main}{apart}{alternate}" if main and alternate and alternate != main else main or alternate


def _write_charts(
    workbook: xlsxwriter.Workbook, cells: _CellWriter, sheet: Worksheet, facets: Facets, settings: ReportSettings
) -> None:
    """Each count beside its native chart, blocks one under another."""
    font = {"name": settings.chinese_font, "size": settings.font_size}
    sheet.fit_to_pages(1, 1)  # the charts on one printed page
    blocks = [
        ("申請人", facets.applicants, "bar", f"前 {CHART_TOP} 大申請人（件數）"),
        ("申請年", facets.years, "column", "各申請年件數"),
        ("IPC 次類", facets.ipc, "bar", f"前 {CHART_TOP} 大 IPC 次類（件數）"),
    ]
    if facets.priority_years:  # only where the records carry priority dates
        blocks.append(("優先權年", facets.priority_years, "column", "各最早優先權年件數"))
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
    cap: int,
    settings: ReportSettings,
    now: datetime,
    sets: Sequence[tuple[int, str]] = (),
    explanation: Sequence[str] = (),
    translated: str = "",
    translation: Sequence[str] = (),
    compared: Sequence[str] = (),
    strategy: Sequence[tuple[str, str | int]] = (),
    chains: Sequence[str] = (),
) -> None:
    cells.header(sheet, ("項目", "內容"), _CONDITION_WIDTHS)
    capped = cap_note(total, cap)
    rows: list[tuple[str, str | int]] = [
        *strategy,
        ("檢索指令", command),
        *((f"檢索結果 #{number}", used) for number, used in sets),
        *((("翻譯後的檢索指令", translated),) if translated else ()),
        *((TRANSLATION_CAPTION, line.removeprefix("翻譯：")) for line in translation),
        *((("比較詞", "、".join(compared)),) if compared else ()),
        ("命中總數", total),
        *((CHAIN_CAPTION, line) for line in chains),
        *((ZERO_CAPTION, line) for line in explanation),
        ("列表筆數", listed),
        ("列表上限", cap),
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


def _strategy_rows(request: RunRequest, fresh: frozenset[str] | None) -> list[tuple[str, str | int]]:
    """The conditions sheet's first rows for a kept strategy's run: its name, the run it was kept from, what
    the list holds and how many records it gained that were not yet looked at."""
    if not request.strategy:
        return []
    shown = "只列出上次查看後新增的專利" if request.only_new else f"全部命中，「{FRESH_CAPTION}」欄標示上次查看後新增的專利"
    return [("保存的檢索", f"{request.strategy}（保存自 #{request.kept_from}）"), ("列出範圍", shown),
            ("上次查看後新增", len(fresh or ()))]


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


def write_report(
    reports_dir: Path,
    request: RunRequest,
    data: ReportData,
    *,
    now: datetime | None = None,
    progress: Callable[[int, int], None] | None = None,
    cancel: Callable[[], bool] | None = None,
) -> ReportResult:
    """Write the report of one search run to a new file in `reports_dir`.

    The list sheet takes `data.rows` in the order given (the request's list
    cap of them at most), the closest sheet `data.closest`. `progress(written,
    planned)` is called and `cancel()` polled every ROW_BATCH list rows; a
    cancelled report raises ReportCancelled (or the store's Cancelled from
    the rows) and leaves no file. Returns the file written and the notes on
    adjusted settings.
    """
    now = now or datetime.now()
    settings = request.settings
    reports_dir = Path(reports_dir)
    try:
        reports_dir.mkdir(parents=True, exist_ok=True)
        folder = reports_dir.resolve()
        remove_stale_parts(folder)
        part = PartFile(folder)
    except OSError as error:
        raise ReportError(file_problem(reports_dir, error)) from None
    planned = min(data.total, request.list_row_cap)
    try:
        # The long sheets' rows stream to scratch files (xlsx_rows.TableRows)
        # and the others are written in row order in constant memory, so
        # memory stays flat however long the list.
        options = {"nan_inf_to_errors": True}
        with xlsx_rows.Workbook(part.stream, options) as workbook:
            workbook.set_properties({"title": "檢索報告", "created": now})
            cells = _CellWriter(workbook, settings)
            families, named = data.families, []
            list_sheet = workbook.add_worksheet(LIST_SHEET)
            listed = _write_list(cells, list_sheet, data.rows, planned, progress, cancel, families, named, data.fresh)
            _write_families(cells, workbook.add_worksheet(FAMILY_SHEET), named, families)
            similar = request.query.similar() is not None
            _write_top(cells, workbook.add_worksheet(TOP_SHEET), data.closest, similar, data.cited_by, families)
            _write_citations(cells, workbook.add_worksheet(CITATION_SHEET), data.citations, bool(data.chains))
            _write_charts(workbook, cells, workbook.add_worksheet(CHART_SHEET), data.facets, settings)
            conditions = workbook.add_worksheet(CONDITIONS_SHEET)
            _write_conditions(
                cells, conditions, request.command, data.total, listed, request.list_row_cap, settings, now,
                request.query.sets, request.explanation, request.translated, request.translation, data.compared,
                _strategy_rows(request, data.fresh),
                data.chains,
            )
        part.finish()
        path = _publish(part.path, folder, now)
    except Exception as error:
        if (cause := os_error_of(error)) is None:
            raise
        raise ReportError(file_problem(folder, cause)) from None
    finally:
        part.close()  # the finished report is the linked name
    return ReportResult(path, list(settings.notes))
