"""Whole rows of a constant-memory xlsxwriter worksheet, written straight as
its XML.

xlsxwriter's cell calls (write_string, write_rich_string, write_number,
write_datetime, write_url, write_blank) parse their arguments, look up the
format and build each cell's XML element by element: most of a long report's
time. Rows writes exactly the XML those calls write for the same cells (same
style numbers, runs and escapes), one f-string per cell and one file write per
batch of rows, and keeps the XML of texts that repeat.

Doing so means writing the XML this xlsxwriter version writes and driving its
private members (the sheet's row flush, dimension check, last and default
row, file handle, link count and links, date conversion and run font writer;
a format's style number; an XML writer's file handle): this module is the one
place that does, and pyproject.toml pins the version it was checked against.
"""

from __future__ import annotations

import io
import math
import re
from collections.abc import Callable, Sequence
from datetime import date
from typing import Protocol

from xlsxwriter.format import Format
from xlsxwriter.url import Url
from xlsxwriter.worksheet import Worksheet
from xlsxwriter.xmlwriter import XMLwriter

from .cell_text import RUNS, clean_text, split_runs
from .marking import marked_spans

HYPERLINK_LIMIT = 65_530  # per worksheet, Excel's own
MARK_COLOR = "#FF0000"  # words marked inside a text: bold in this color
LINK_COLOR = "#0563C1"

# Excel's own escapes in cell text, as xlsxwriter writes them: a literal
# "_xHHHH_" gets its underscore escaped, control characters become _xHHHH_.
_EXCEL_ESCAPED = re.compile("(_x[0-9a-fA-F]{4}_)")
_EXCEL_CONTROL = re.compile("[\x00-\x08\x0b-\x1f]")
_EXCEL_ANY = re.compile("_x[0-9a-fA-F]{4}_|[\x00-\x08\x0b-\x1f]")
_COLUMNS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_WRITE_PARTS = 2000  # row pieces gathered per write to the sheet's file
_CACHE_LIMIT = 4096  # distinct texts remembered per sheet; applicants, IPC and dates repeat


class Cells(Protocol):
    """What the rows take from the caller's cell writer."""

    def style(self, cjk: bool, bold: bool = False, **cell: object) -> Format:
        """The format of a run or cell in the Chinese (cjk) or Latin font."""
        ...

    def check(self, status: int | None, sheet: Worksheet, row: int, col: int) -> None:
        """Fail on a status xlsxwriter returns for a rejected cell."""
        ...


def _date_value(text: str) -> date | None:
    """A "YYYYMMDD" record date as a date, or None when it is not one."""
    if len(text) != 8 or not text.isdigit():
        return None
    try:
        return date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None


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


class Rows:
    """Writes whole rows of a constant-memory sheet straight into its XML.

    The XML is what xlsxwriter's write_string/write_rich_string/write_number/
    write_datetime/write_url/write_blank make of the same cells in the formats
    `cells` gives (tests compare the two byte for byte), without their
    per-cell work: a cell is one f-string, a row one write, and the XML of a
    text is kept for texts that repeat. A text of one script is a plain string
    in its font, any other a rich string of CJK and Latin runs. Rows come in
    order, after anything written to the sheet through its own API; call
    begin(row), the cells, then end(), and flush() after the last row. Rows
    carry no format of their own, and a height only when begin() is given one.
    """

    def __init__(self, cells: Cells, sheet: Worksheet) -> None:
        self._cells = cells
        self._sheet = sheet
        self._row = self._last = 0
        self._number = "1"
        self._parts: list[str] = []  # rows not yet handed to the sheet
        self._xf: dict[object, int] = {}
        self._runs: dict[tuple[bool, bool, bool], str] = {}
        self._texts: dict[tuple[str, bool, bool], tuple[int, str]] = {}
        self._dates: dict[str, float | None] = {}

    def begin(self, row: int, pixels: int | None = None) -> None:
        """Start a row; `pixels`: its height, as set_row_pixels() writes it."""
        sheet = self._sheet
        if not self._parts:
            sheet._write_single_row(row)  # flushes the row the sheet's API holds, if any
        if status := sheet._check_dimensions(row, 0):
            self._cells.check(status, sheet, row, 0)
        sheet.previous_row = row
        self._row, self._number = row, str(row + 1)
        if pixels is None or pixels == sheet.default_row_height:
            self._parts.append(f'<row r="{self._number}">')
        else:
            self._parts.append(f'<row r="{self._number}" ht="{pixels * 0.75:.16g}" customHeight="1">')

    def end(self) -> None:
        sheet = self._sheet
        if status := sheet._check_dimensions(self._row, self._last):
            self._cells.check(status, sheet, self._row, self._last)
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
        xlsxwriter writes them; a marked run is bold in MARK_COLOR."""
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
        """A text with every place holding one of `words` in bold runs of MARK_COLOR."""
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

    def number_link(self, col: int, number: str, url: str | None, *, wrap: bool = False) -> None:
        """A publication number linked to `url`; plain text without one, or
        once the sheet holds HYPERLINK_LIMIT links."""
        sheet = self._sheet
        if url is None or sheet.hlink_count >= HYPERLINK_LIMIT:
            self.text(col, number, wrap=wrap)
            return
        sheet.hlink_count += 1
        xf = self._style_index(
            ("link", wrap),
            lambda: self._cells.style(False, valign="top", text_wrap=wrap, font_color=LINK_COLOR, underline=1),
        )
        # A number with a public page holds only A-Z and 0-9: no escapes.
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
        runs = RUNS.findall(text)  # (CJK run, "") or ("", other run)
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
