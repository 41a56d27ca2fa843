"""Whole rows of a constant-memory xlsxwriter worksheet, written straight as
its XML.

xlsxwriter's cell calls (write_string, write_rich_string, write_number,
write_datetime, write_url, write_blank) parse their arguments, look up the
format and build each cell's XML element by element: most of a long report's
time. Rows writes exactly the XML those calls write for the same cells (same
style numbers, runs and escapes), one f-string per cell and one file write per
batch of rows, and keeps the XML of texts that repeat.

The long sheets (list and families) go further: TableRows takes whole rows as
tuples of values in a fixed column layout and has the native module
_xlsx_rows write their XML, links and relationships included: the XML the
same rows make cell by cell through Rows (the tests compare the two,
tests/xlsx_rows_reference.py). Workbook and Sheet are xlsxwriter's with the
hooks those rows need: the row data copied as bytes, the native links written
at close, and the package deflated by ISA-L (isal) at ZIP_LEVEL.

Doing so means writing the XML this xlsxwriter version writes and driving its
private members (the sheet's row flush, dimension check, last and default
row, file handles, link count and links, date conversion and run font writer,
its optimized sheet data, hyperlinks and relationships; a format's style
number; an XML writer's file handle; the workbook's packager and zip file):
this module is the one place that does, and pyproject.toml pins the version it
was checked against.
"""

from __future__ import annotations

import math
import os
import re
import shutil
import types
import zipfile
from collections.abc import Callable, Sequence
from datetime import date
from typing import Protocol

import xlsxwriter
from isal import isal_zlib
from xlsxwriter.format import Format
from xlsxwriter.packager import Packager
from xlsxwriter.relationships import PACKAGE_SCHEMA, Relationships
from xlsxwriter.url import Url
from xlsxwriter.worksheet import Worksheet

from . import _xlsx_rows
from .cell_text import CJK_RANGES, RUNS, XML_RANGES, clean_text, split_runs
from .marking import marked_spans

HYPERLINK_LIMIT = 65_530  # per worksheet, Excel's own
MARK_COLOR = "#FF0000"  # words marked inside a text: bold in this color
LINK_COLOR = "#0563C1"
DATE_FORMAT = "yyyy-mm-dd"  # record dates are shown as dates in this format

# Excel's own escapes in cell text, as xlsxwriter writes them: a literal
# "_xHHHH_" gets its underscore escaped, control characters become _xHHHH_.
_EXCEL_ESCAPED = re.compile("(_x[0-9a-fA-F]{4}_)")
_EXCEL_CONTROL = re.compile("[\x00-\x08\x0b-\x1f]")
_EXCEL_ANY = re.compile("_x[0-9a-fA-F]{4}_|[\x00-\x08\x0b-\x1f]")
_COLUMNS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_WRITE_PARTS = 2000  # row pieces gathered per write to the sheet's file
_CACHE_LIMIT = 4096  # distinct texts remembered per sheet; applicants, IPC and dates repeat
# Every white space character (str.isspace) lies below U+3001: the native
# writer keeps a text's leading or trailing white space as Python sees it.
_SPACES = tuple((c, c) for c in range(0x3001) if chr(c).isspace())


class Cells(Protocol):
    """What the rows take from the caller's cell writer."""

    def style(self, cjk: bool, bold: bool = False, **cell: object) -> Format:
        """The format of a run or cell in the Chinese (cjk) or Latin font."""
        ...

    def check(self, status: int | None, sheet: Worksheet, row: int, col: int) -> None:
        """Fail on a status xlsxwriter returns for a rejected cell."""
        ...

    def font(self, cjk: bool) -> tuple[str, float]:
        """The name and size of the Chinese (cjk) or Latin font."""
        ...


def _date_value(text: str) -> date | None:
    """A "YYYYMMDD" record date as a date, or None when it is not one."""
    if len(text) != 8 or not text.isdigit():
        return None
    try:
        return date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None


_EPOCH_1900 = date(1899, 12, 31)
_EPOCH_1904 = date(1904, 1, 1)
_LEAP_BUG = date(1900, 3, 1)  # Excel counts a 29 February 1900: later dates are one day further


def excel_serial(value: date, date_1904: bool = False) -> float:
    """The Excel serial number of a date in either of Excel's date systems."""
    if date_1904:
        return float((value - _EPOCH_1904).days)
    days = (value - _EPOCH_1900).days
    return float(days + 1 if value >= _LEAP_BUG else days)


def run_properties(name: str, size: float, bold: bool, color: str | None = None) -> str:
    """The <rPr> of a rich string's run in a font: what Excel reads for a
    run's font (bold, size, colour or the theme's text colour, name, family;
    the theme's scheme for its own Calibri)."""
    color_xml = f'<color rgb="FF{color.lstrip("#").upper()}"/>' if color else '<color theme="1"/>'
    name_xml = name.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
    scheme = '<scheme val="minor"/>' if name == "Calibri" else ""
    return (f'<rPr>{"<b/>" if bold else ""}<sz val="{size}"/>{color_xml}<rFont val="{name_xml}"/>'
            f'<family val="2"/>{scheme}</rPr>')


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

    def text_style(self, cjk: bool, bold: bool, wrap: bool) -> int:
        """The style number of a text cell in the Chinese (cjk) or Latin font."""
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

    def number_style(self, num_format: str) -> int:
        """The style number of a number cell shown in `num_format`."""
        xf = self._xf.get(num_format)
        if xf is None:
            xf = self._style_index(num_format, lambda: self._cells.style(False, num_format=num_format, valign="top"))
        return xf

    def link_style(self, wrap: bool) -> int:
        """The style number of a linked publication number."""
        return self._style_index(
            ("link", wrap),
            lambda: self._cells.style(False, valign="top", text_wrap=wrap, font_color=LINK_COLOR, underline=1),
        )

    def date_serial(self, text: str) -> float | None:
        """The Excel serial of a "YYYYMMDD" record date, None when the text is not one."""
        serial = self._dates.get(text, False)
        if serial is False:
            value = _date_value(text)
            serial = None if value is None else excel_serial(value, bool(self._sheet.date_1904))
            if len(self._dates) >= _CACHE_LIMIT:
                self._dates.clear()
            self._dates[text] = serial
        return serial

    def run_start(self, cjk: bool, bold: bool, mark: bool = False) -> str:
        """<r> and the run properties of the Chinese (cjk) or Latin font, as
        xlsxwriter writes them; a marked run is bold in MARK_COLOR."""
        key = (cjk, bold, mark)
        found = self._runs.get(key)
        if found is None:
            name, size = self._cells.font(cjk)
            found = self._runs[key] = "<r>" + run_properties(name, size, bold or mark, MARK_COLOR if mark else None)
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
        rich = _rich_xml([(self.run_start(cjk, False, mark), run) for mark, piece in pieces for cjk, run in split_runs(piece)])
        self._cell(col, self.text_style(False, False, wrap), f' t="inlineStr"><is>{rich}</is></c>')

    def number_link(self, col: int, number: str, url: str | None, *, wrap: bool = False) -> None:
        """A publication number linked to `url`; plain text without one, or
        once the sheet holds HYPERLINK_LIMIT links."""
        sheet = self._sheet
        if url is None or sheet.hlink_count >= HYPERLINK_LIMIT:
            self.text(col, number, wrap=wrap)
            return
        sheet.hlink_count += 1
        xf = self.link_style(wrap)
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
        xf = self.text_style(len(runs) == 1 and bool(runs[0][0]), bold, wrap)
        if not runs:
            return xf, "/>"
        markup = "&" in text or "<" in text or ">" in text
        if len(runs) == 1:
            if "_x" in text or _EXCEL_CONTROL.search(text):
                text = _excel_escapes(text)
            return xf, f' t="inlineStr"><is>{_t_tag(text)}{_xml_text(text) if markup else text}</t></is></c>'
        chinese, latin = self.run_start(True, bold), self.run_start(False, bold)
        rich = _rich_xml([(chinese if c else latin, c or o) for c, o in runs])
        return xf, f' t="inlineStr"><is>{rich}</is></c>'

    def number(self, col: int, value: float, num_format: str) -> None:
        """A number; one that is not finite (inf, nan) an empty cell, never a formula."""
        xf = self.number_style(num_format)
        self._cell(col, xf, f"><v>{value:.16G}</v></c>" if math.isfinite(value) else "/>")

    def record_date(self, col: int, text: str) -> None:
        """A record date as an Excel date shown in DATE_FORMAT; anything else as text."""
        serial = self.date_serial(text)
        if serial is None:
            self.text(col, text)
        else:
            self._cell(col, self.number_style(DATE_FORMAT), f"><v>{serial:.16G}</v></c>")


# ------------------------------------------------------------ whole rows

# A column of a table's layout: (kind, number format, wrap). A row is a tuple
# of one value per column: a number, a record date ("YYYYMMDD", else shown as
# text), a text, or a link's (text, url or None).
Column = tuple[str, str, bool]
TEXT: Column = ("text", "", False)
LINK: Column = ("link", "", False)
DATE: Column = ("date", DATE_FORMAT, False)


def number_column(num_format: str) -> Column:
    return ("number", num_format, False)


class TableRows:
    """Rows given as tuples in a column layout, their XML written by the
    native module: what Rows writes of them cell by cell, byte for byte, in a
    fraction of the time. Rows come in order after anything written to the sheet through its
    own API, and nothing else writes rows to the sheet after them; the
    sheet's links are written from here at close (Sheet)."""

    def __init__(self, cells: Cells, sheet: Sheet, columns: Sequence[Column], first_row: int = 1) -> None:
        if sheet.native_rows is not None:
            raise ValueError("a sheet takes one writer of whole rows")
        self._cells, self._sheet, self._width = cells, sheet, len(columns)
        self._styles = Rows(cells, sheet)  # the style numbers, run fonts and odd dates the native rows ask for
        self._native = _xlsx_rows.SheetRows(
            list(columns), XML_RANGES, CJK_RANGES, _SPACES, first_row, sheet.hlink_count, HYPERLINK_LIMIT,
            bool(sheet.date_1904),
        )
        sheet.native_rows = self._native

    def write(self, rows: Sequence[tuple]) -> None:
        if not rows:
            return
        sheet, native = self._sheet, self._native
        first = native.next_row
        last = first + len(rows) - 1
        sheet._write_single_row(first)  # flushes the row the sheet's API holds, if any
        if status := sheet._check_dimensions(first, 0):
            self._cells.check(status, sheet, first, 0)
        if last >= sheet.xls_rowmax:
            self._cells.check(-1, sheet, sheet.xls_rowmax, 0)
        if status := sheet._check_dimensions(last, self._width - 1):
            self._cells.check(status, sheet, first, self._width - 1)
        sheet.previous_row = last
        data = native.write(rows, self._styles)
        sheet.fh.flush()
        sheet.fh.buffer.write(data)
        sheet.hlink_count = native.links_held


# ------------------------------------------------------- workbook hooks

# The package is deflated by ISA-L (isal), at this of its levels (0-3):
# chosen by measurement, bench/README.md.
ZIP_LEVEL = 2
_COPY_CHUNK = 1 << 20


class Sheet(Worksheet):
    """xlsxwriter's worksheet, whose rows and links may come from TableRows:
    its constant-memory row data is copied into the sheet as bytes (not
    decoded and encoded again), and its links and their relationships come
    from the native writer."""

    def __init__(self) -> None:
        super().__init__()
        self.native_rows: _xlsx_rows.SheetRows | None = None

    def _write_optimized_sheet_data(self) -> None:
        if self.dim_rowmin is None:
            super()._write_optimized_sheet_data()
            return
        self._xml_start_tag("sheetData")
        self.row_data_fh.close()
        self.fh.flush()
        with open(self.row_data_filename, "rb") as rows:
            shutil.copyfileobj(rows, self.fh.buffer, _COPY_CHUNK)
        os.unlink(self.row_data_filename)
        self._xml_end_tag("sheetData")

    def native_links(self) -> int:
        return 0 if self.native_rows is None else self.native_rows.link_count

    def _write_hyperlinks(self) -> None:
        count = self.native_links()
        if not count:
            super()._write_hyperlinks()
            return
        if self.hyperlinks:
            raise ValueError("a sheet's links come from one writer")
        self.fh.write(self.native_rows.hyperlinks(self.rel_count + 1))
        self.rel_count += count


class _Relationships(Relationships):
    """A sheet's relationships: its native links' first, then the others."""

    def __init__(self, links: _xlsx_rows.SheetRows) -> None:
        super().__init__()
        self._links = links
        self.id = links.link_count + 1

    def _write_relationships(self) -> None:
        self._xml_start_tag("Relationships", [("xmlns", PACKAGE_SCHEMA)])
        self.fh.write(self._links.relationships(1))
        for relationship in self.relationships:
            self._write_relationship(relationship)
        self._xml_end_tag("Relationships")


class _Packager(Packager):
    def _write_worksheet_rels_files(self) -> None:
        # xlsxwriter's own, with a Sheet's native links first.
        index = 0
        for worksheet in self.workbook.worksheets():
            if worksheet.is_chartsheet:
                continue
            index += 1
            external_links = (
                worksheet.external_hyper_links
                + worksheet.external_drawing_links
                + worksheet.external_vml_links
                + worksheet.external_background_links
                + worksheet.external_table_links
                + worksheet.external_comment_links
                + worksheet.external_pivot_table_links
            )
            native = isinstance(worksheet, Sheet) and worksheet.native_links() > 0
            if not external_links and not native:
                continue
            rels = _Relationships(worksheet.native_rows) if native else Relationships()
            for link_data in external_links:
                rels._add_document_relationship(*link_data)
            rels._set_xml_writer(self._filename(f"xl/worksheets/_rels/sheet{index}.xml.rels"))
            rels._assemble_xml_file()


class _ZipFile(zipfile.ZipFile):
    """The workbook's zip file, its members deflated by ISA-L at ZIP_LEVEL:
    several times zlib's speed at about the size of zlib's fastest level."""

    def write(self, filename, arcname=None, compress_type=None, compresslevel=None) -> None:
        if self.compression != zipfile.ZIP_DEFLATED or compress_type is not None or compresslevel is not None:
            super().write(filename, arcname, compress_type, compresslevel)
            return
        # ZipFile.write, its member's compressor (zipfile's own attribute) ISA-L's
        zinfo = zipfile.ZipInfo.from_file(filename, arcname, strict_timestamps=self._strict_timestamps)
        zinfo.compress_type = zipfile.ZIP_DEFLATED
        with open(filename, "rb") as src, self.open(zinfo, "w") as dest:
            dest._compressor = isal_zlib.compressobj(ZIP_LEVEL, isal_zlib.DEFLATED, -isal_zlib.MAX_WBITS)
            shutil.copyfileobj(src, dest, _COPY_CHUNK)


def _with_globals(function: types.FunctionType, **names: object) -> types.FunctionType:
    """`function` with some of its module's global names bound to other objects."""
    return types.FunctionType(function.__code__, {**function.__globals__, **names}, function.__name__,
                              function.__defaults__, function.__closure__)


class Workbook(xlsxwriter.Workbook):
    """xlsxwriter's workbook with Sheet for its worksheets, their native links
    in the package and the package deflated by ISA-L."""

    worksheet_class = Sheet
    # xlsxwriter's own packaging, its zip file made by _ZipFile.
    _store_workbook = _with_globals(xlsxwriter.Workbook._store_workbook, ZipFile=_ZipFile)

    def _get_packager(self) -> Packager:
        return _Packager()
