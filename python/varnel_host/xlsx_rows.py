"""The report's workbook: its short sheets written through xlsxwriter's
public API, its long sheets' rows (list and families) by the native module
_xlsx_rows, assembled into the package here.

xlsxwriter's cell calls parse their arguments, look up the format and build
each cell's XML element by element: most of a long report's time. TableRows
takes whole rows as tuples of values in a fixed column layout and has the
native module write their XML, links and relationships included, into a
scratch file. The long sheet in the xlsxwriter workbook holds its header, its
settings (widths, frozen pane, printing, filter) and one sample row in each
style the rows use: the style numbers are read back from that row's XML. At
close, Workbook reads the package xlsxwriter wrote (to memory) with zipfile,
replaces each sample row by the native rows, sets the sheet's dimension, adds
its links and their relationships, and writes the package with its own small
zip writer deflating by ISA-L (isal) at ZIP_LEVEL. No private member of
xlsxwriter or zipfile is used; the tests compare the content of the native
rows with the same cells written through xlsxwriter's cell calls
(tests/xlsx_rows_reference.py).
"""

from __future__ import annotations

import io
import itertools
import os
import re
import struct
import tempfile
import zipfile
from collections.abc import Iterable, Iterator, Sequence
from datetime import date
from typing import BinaryIO, Protocol
from xml.etree import ElementTree

import xlsxwriter
from isal import isal_zlib
from xlsxwriter.format import Format
from xlsxwriter.utility import xl_col_to_name
from xlsxwriter.worksheet import Worksheet

from . import _xlsx_rows
from .cell_text import CJK_RANGES, XML_RANGES, clean_text, split_runs
from .marking import marked_spans

HYPERLINK_LIMIT = 65_530  # per worksheet, Excel's own
MARK_COLOR = "#FF0000"  # words marked inside a text: bold in this color
LINK_COLOR = "#0563C1"
DATE_FORMAT = "yyyy-mm-dd"  # record dates are shown as dates in this format

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

    def text(self, sheet: Worksheet, row: int, col: int, text: str, *, bold: bool = False, wrap: bool = False) -> None:
        """A text cell: one script a plain string, more a rich string of runs."""
        ...

    def number(self, sheet: Worksheet, row: int, col: int, value: float, num_format: str) -> None:
        ...

    @property
    def workbook(self) -> xlsxwriter.Workbook:
        """The workbook the formats belong to."""
        ...

    def on(self, workbook: xlsxwriter.Workbook) -> Cells:
        """The same cell writer for another workbook."""
        ...


def _date_value(text: str) -> date | None:
    """A "YYYYMMDD" record date as a date, or None when it is not one, or
    lies before 1900, which Excel cannot show as a date (it would show ####)."""
    if len(text) != 8 or not text.isdigit() or text < "1900":
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


def run_properties(name: str, size: float, bold: bool) -> str:
    """The <rPr> of a rich string's run in a font, as xlsxwriter writes a
    run's font: bold, size, the theme's text colour, name, family, and the
    theme's scheme for its own Calibri."""
    name_xml = name.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
    scheme = '<scheme val="minor"/>' if name == "Calibri" else ""
    return (f'<rPr>{"<b/>" if bold else ""}<sz val="{size}"/><color theme="1"/><rFont val="{name_xml}"/>'
            f'<family val="2"/>{scheme}</rPr>')


_RICH_END = re.compile("</r>$")  # as xlsxwriter looks for it: "$" also before a final newline


def write_string(sheet: Worksheet, row: int, col: int, text: str, style: Format) -> int:
    """sheet.write_string, except for a text from "<r>" to "</r>": xlsxwriter
    takes such a string for the XML of a rich string and writes it as it is
    (broken XML, or markup of the text's choosing); it goes as a rich string
    of two runs in the cell's font, which escapes it."""
    if text.startswith("<r>") and _RICH_END.search(text):
        return sheet.write_rich_string(row, col, style, text[:1], style, text[1:], style)
    return sheet.write_string(row, col, text, style)


class Rows:
    """Writes the rows of a short sheet cell by cell through xlsxwriter's
    public cell calls: a text of one script a plain string in its font, any
    other a rich string of CJK and Latin runs; words marked bold in
    MARK_COLOR; publication numbers linked up to HYPERLINK_LIMIT; record
    dates as dates in DATE_FORMAT. Call begin(row), the cells, then end(),
    and flush() after the last row."""

    def __init__(self, cells: Cells, sheet: Worksheet) -> None:
        self._cells, self._sheet = cells, sheet
        self._row = 0
        self._links = 0

    def begin(self, row: int, pixels: int | None = None) -> None:
        """Start a row; `pixels`: its height."""
        self._row = row
        if pixels is not None:
            self._cells.check(self._sheet.set_row_pixels(row, pixels), self._sheet, row, 0)

    def end(self) -> None:
        pass

    def flush(self) -> None:
        pass

    def text(self, col: int, text: str, *, bold: bool = False, wrap: bool = False) -> None:
        self._cells.text(self._sheet, self._row, col, text, bold=bold, wrap=wrap)

    def number(self, col: int, value: float, num_format: str) -> None:
        """A number; one that is not finite (inf, nan) an empty cell, never a formula."""
        self._cells.number(self._sheet, self._row, col, value, num_format)

    def number_link(self, col: int, number: str, url: str | None, *, wrap: bool = False) -> None:
        """A publication number linked to `url`; plain text without one, or
        once the sheet holds HYPERLINK_LIMIT links."""
        if url is None or self._links >= HYPERLINK_LIMIT:
            self.text(col, number, wrap=wrap)
            return
        self._links += 1
        style = self._cells.style(False, valign="top", text_wrap=wrap, font_color=LINK_COLOR, underline=1)
        status = self._sheet.write_url(self._row, col, url, style, string=number)
        self._cells.check(status, self._sheet, self._row, col)

    def marked(self, col: int, text: str, words: Sequence[str], *, wrap: bool = False) -> None:
        """A text with every place holding one of `words` in bold runs of MARK_COLOR."""
        text = clean_text(text)
        spans = marked_spans(text, words)
        if not spans:
            self.text(col, text, wrap=wrap)
            return
        edges = [0, *(edge for span in spans for edge in span), len(text)]
        runs = [(cjk, run, index % 2 == 1) for index, (start, end) in enumerate(zip(edges, edges[1:]))
                for cjk, run in split_runs(text[start:end])]
        cells, sheet, row = self._cells, self._sheet, self._row
        if len(runs) == 1:  # one run: a plain string in the run's font
            cjk, run, mark = runs[0]
            extra = {"font_color": MARK_COLOR} if mark else {}
            status = write_string(sheet, row, col, run, cells.style(cjk, mark, valign="top", text_wrap=wrap, **extra))
        else:
            parts: list[object] = []
            for cjk, run, mark in runs:
                parts += [cells.style(cjk, True, font_color=MARK_COLOR) if mark else cells.style(cjk), run]
            status = sheet.write_rich_string(row, col, *parts, cells.style(False, valign="top", text_wrap=wrap))
        cells.check(status, sheet, row, col)

    def record_date(self, col: int, text: str) -> None:
        """A record date as an Excel date shown in DATE_FORMAT; anything else as text."""
        value = _date_value(text)
        if value is None:
            self.text(col, text)
            return
        style = self._cells.style(False, num_format=DATE_FORMAT, valign="top")
        self._cells.check(self._sheet.write_datetime(self._row, col, value, style), self._sheet, self._row, col)


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


_SHEET_ROWS, _SHEET_COLUMNS = 1_048_576, 16_384  # Excel's sheet
# The sample row of a long sheet: each style its native rows use, once, in
# this order. The workbook's own writer numbers the styles; the rows read
# the numbers back from the sample row of a scratch copy of the sheet.
_SAMPLE = (("text", True), ("text", False), ("link", False), ("number", DATE_FORMAT), ("number", "0"),
           ("number", "0.00"))


def _sample_row(cells: Cells, sheet: Worksheet, row: int) -> None:
    """The sample row: one cell in each style of _SAMPLE, then the cell that
    sends it out; both rows are dropped from the package."""
    for col, (kind, arg) in enumerate(_SAMPLE):
        if kind == "text":
            status = sheet.write_string(row, col, "中" if arg else "a", cells.style(arg, valign="top", text_wrap=False))
        elif kind == "link":
            style = cells.style(False, valign="top", text_wrap=False, font_color=LINK_COLOR, underline=1)
            status = sheet.write_string(row, col, "a", style)
        else:
            status = sheet.write_number(row, col, 1, cells.style(False, num_format=arg, valign="top"))
        cells.check(status, sheet, row, col)
    # A cell in the next row sends the sample row out now, before any other
    # sheet's cells can number the styles first.
    cells.check(sheet.write_number(row + 1, 0, 1, cells.style(False, num_format="0", valign="top")), sheet, row + 1, 0)


_CELL_STYLE = re.compile(rb'<c r="[A-Z]+\d+" s="(\d+)"')


def _sample_styles(sheet_xml: bytes, row: int) -> list[int]:
    """The style numbers of the sample row (0-based `row`) in a sheet's XML."""
    start = sheet_xml.find(b'<row r="%d"' % (row + 1))
    if start < 0:
        raise ValueError("the sheet has no sample row")
    end = sheet_xml.index(b"</row>", start)
    return [int(n) for n in _CELL_STYLE.findall(sheet_xml, start, end)]


class _Styles:
    """The style numbers, run fonts and dates the native rows ask for."""

    def __init__(self, cells: Cells, numbers: Sequence[int], date_1904: bool) -> None:
        if len(numbers) != len(_SAMPLE):
            raise ValueError("the sample row lacks a style")
        self.numbers = list(numbers)
        self._xf = dict(zip(_SAMPLE, numbers))
        self._cells, self._date_1904 = cells, date_1904
        self._runs: dict[tuple[bool, bool], str] = {}

    def text_style(self, cjk: bool, bold: bool, wrap: bool) -> int:
        if bold or wrap:
            raise ValueError("the long sheets' texts are neither bold nor wrapped")
        return self._xf[("text", cjk)]

    def number_style(self, num_format: str) -> int:
        found = self._xf.get(("number", num_format))
        if found is None:
            raise ValueError(f"no sample of the number format {num_format!r}")
        return found

    def link_style(self, wrap: bool) -> int:
        if wrap:
            raise ValueError("the long sheets' links are not wrapped")
        return self._xf[("link", False)]

    def run_start(self, cjk: bool, bold: bool) -> str:
        """<r> and the run properties of the Chinese (cjk) or Latin font."""
        found = self._runs.get((cjk, bold))
        if found is None:
            name, size = self._cells.font(cjk)
            found = self._runs[(cjk, bold)] = "<r>" + run_properties(name, size, bold)
        return found

    def date_serial(self, text: str) -> float | None:
        value = _date_value(text)
        return None if value is None else excel_serial(value, self._date_1904)


class TableRows:
    """Rows given as tuples in a column layout, their XML written by the
    native module into a scratch file, spliced into the sheet's XML when
    the workbook (Workbook) closes. The sheet itself holds its header (row
    0, written before) and a sample row in the rows' styles at `first_row`,
    which the splice replaces by the rows. Nothing else writes rows to the
    sheet after the header."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int = 1,
                 header: Sequence[str] = ()) -> None:
        workbook = cells.workbook
        if not isinstance(workbook, Workbook):
            raise TypeError("long sheets belong to an xlsx_rows.Workbook")
        self._cells, self._sheet, self._width, self.first_row = cells, sheet, len(columns), first_row
        self.columns = max(len(columns), len(header), 1)
        self._styles = workbook.table_styles(cells, header, first_row)
        self._native = _xlsx_rows.SheetRows(
            list(columns), XML_RANGES, CJK_RANGES, _SPACES, first_row, 0, HYPERLINK_LIMIT, workbook.date_1904_on,
        )
        self.data = tempfile.TemporaryFile()  # the rows' XML, sheetData's content
        workbook.add_table(sheet.get_name(), self)
        _sample_row(cells, sheet, first_row)

    @property
    def next_row(self) -> int:
        return self._native.next_row

    @property
    def link_count(self) -> int:
        return self._native.link_count

    def write(self, rows: Sequence[tuple]) -> None:
        if not rows:
            return
        first = self._native.next_row
        last = first + len(rows) - 1
        if last >= _SHEET_ROWS or self._width > _SHEET_COLUMNS:
            self._cells.check(-1, self._sheet, min(last, _SHEET_ROWS), 0)
        self.data.write(self._native.write(rows, self._styles))

    def sheet_xml(self, xml: bytes, numbers: Sequence[int]) -> tuple[bytes, bytes]:
        """The sheet's XML before and after the rows' XML: its sample row
        dropped, its dimension the rows', the rows' links in it."""
        found = _sample_styles(xml, self.first_row)
        if found != list(numbers):
            raise ValueError(f"the sample row's styles are {found}, the rows were written in {list(numbers)}")
        start = xml.index(b'<row r="%d"' % (self.first_row + 1))
        end = xml.index(b"</sheetData>", start)
        if xml.count(b"<row ", start, end) != 2:
            raise ValueError("rows written to a long sheet beside its native rows")
        head, tail = xml[:start], xml[end:]
        last_row = max(self._native.next_row, self.first_row)  # 1-based: the last row written, or the header
        ref = f"A1:{xl_col_to_name(self.columns - 1)}{last_row}" if last_row > 1 or self.columns > 1 else "A1"
        head = re.sub(rb'<dimension ref="[^"]*"/>', f'<dimension ref="{ref}"/>'.encode(), head, count=1)
        head = re.sub(rb' spans="\d+:\d+"', b"", head)  # the spans counted the sample row
        if self.link_count:
            if b"<hyperlinks>" in tail:
                raise ValueError("a sheet's links come from one writer")
            at = tail.find(b"<printOptions")
            at = tail.index(b"<pageMargins") if at < 0 else at
            tail = tail[:at] + self._native.hyperlinks(1).encode() + tail[at:]
        return head, tail

    def relationships(self) -> bytes:
        return (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                + self._native.relationships(1).encode() + b"</Relationships>")

    def rows_xml(self) -> Iterator[bytes]:
        data = self.data
        data.seek(0)
        while chunk := data.read(_COPY_CHUNK):
            yield chunk
        data.close()


# ------------------------------------------------------------- the package

# The package is deflated by ISA-L (isal), at this of its levels (0-3):
# chosen by measurement, bench/README.md.
ZIP_LEVEL = 2
_COPY_CHUNK = 1 << 20
_DOS_DATE = (1 << 5) | 1  # 1 January 1980, Excel's own members' date
_ZIP32 = 0xFFFFFFFF


class ZipWriter:
    """A zip file written straight to `out`: each member deflated by ISA-L
    at ZIP_LEVEL, its CRC and sizes in a data descriptor after its data, the
    central directory at close. Members and the whole stay below 4 GiB."""

    def __init__(self, out: BinaryIO) -> None:
        self._out = out
        self._offset = 0
        self._central: list[bytes] = []

    def _write(self, data: bytes) -> None:
        self._out.write(data)
        self._offset += len(data)

    def add(self, name: str, chunks: Iterable[bytes]) -> None:
        encoded = name.encode()
        flags = 0x08 | (0 if encoded.isascii() else 0x800)  # data descriptor; UTF-8 name
        offset = self._offset
        self._write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, 8, 0, _DOS_DATE, 0, 0, 0, len(encoded), 0)
                    + encoded)
        deflate = isal_zlib.compressobj(ZIP_LEVEL, isal_zlib.DEFLATED, -isal_zlib.MAX_WBITS)
        crc = size = packed = 0
        for chunk in chunks:
            crc = isal_zlib.crc32(chunk, crc)
            size += len(chunk)
            out = deflate.compress(chunk)
            packed += len(out)
            self._write(out)
        out = deflate.flush()
        packed += len(out)
        self._write(out)
        if size > _ZIP32 or packed > _ZIP32 or offset > _ZIP32:
            raise zipfile.LargeZipFile(f"{name} passes the 4 GiB of a zip file without its 64-bit extension")
        self._write(struct.pack("<IIII", 0x08074B50, crc, packed, size))
        self._central.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, flags, 8, 0, _DOS_DATE, crc, packed,
                                         size, len(encoded), 0, 0, 0, 0, 0, offset) + encoded)

    def close(self) -> None:
        start = self._offset
        for entry in self._central:
            self._write(entry)
        if start > _ZIP32 or len(self._central) > 0xFFFF:
            raise zipfile.LargeZipFile("the package passes what a zip file holds without its 64-bit extension")
        self._write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(self._central), len(self._central),
                                self._offset - start, start, 0))


_REL_NS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
_MAIN_NS = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
_PKG_NS = "{http://schemas.openxmlformats.org/package/2006/relationships}"


def _sheet_parts(package: zipfile.ZipFile) -> dict[str, str]:
    """Each worksheet's name and the name of its part in the package."""
    book = ElementTree.fromstring(package.read("xl/workbook.xml"))
    rels = ElementTree.fromstring(package.read("xl/_rels/workbook.xml.rels"))
    targets = {rel.get("Id"): rel.get("Target", "") for rel in rels.iter(f"{_PKG_NS}Relationship")}
    parts = {}
    for sheet in book.iter(f"{_MAIN_NS}sheet"):
        target = targets[sheet.get(f"{_REL_NS}id")]
        parts[sheet.get("name")] = target.lstrip("/") if target.startswith("/") else "xl/" + target
    return parts


def _rels_part(sheet_part: str) -> str:
    folder, _, name = sheet_part.rpartition("/")
    return f"{folder}/_rels/{name}.rels"


class Workbook(xlsxwriter.Workbook):
    """xlsxwriter's workbook, written through its public API, whose
    long sheets' rows come from TableRows: at close the package is read back,
    each long sheet's rows and links spliced in, and the whole written to
    `target` by ZipWriter."""

    def __init__(self, target: str | os.PathLike | BinaryIO, options: dict | None = None) -> None:
        # Constant memory: every sheet written in row order, its rows out to
        # a scratch file as the next begins, texts kept in their cells.
        options = {**(options or {}), "constant_memory": True, "in_memory": False}
        self._target = target
        self._scratch = io.BytesIO()
        self.date_1904_on = bool(options.get("date_1904"))
        super().__init__(self._scratch, options)
        self._tables: dict[str, TableRows] = {}
        self._styles: _Styles | None = None
        self._packed = False

    def table_styles(self, cells: Cells, header: Sequence[str], first_row: int) -> _Styles:
        """The style numbers of the long sheets' rows: the workbook's writer
        numbers styles in order of first use, so a scratch workbook holding
        what this one holds before the first sample row (the first long
        sheet's header) tells them; the splice checks them in every sheet."""
        if self._styles is None:
            if self.worksheets()[:1] != [self.worksheets()[-1]]:
                raise ValueError("the first long sheet is the workbook's first sheet")
            scratch = io.BytesIO()
            with xlsxwriter.Workbook(scratch, {"constant_memory": True, "date_1904": self.date_1904_on}) as probe:
                probe_cells = cells.on(probe)
                sheet = probe.add_worksheet()
                for col, caption in enumerate(header):
                    probe_cells.text(sheet, 0, col, caption, bold=True)
                _sample_row(probe_cells, sheet, first_row)
            with zipfile.ZipFile(scratch) as package:
                xml = package.read("xl/worksheets/sheet1.xml")
            self._styles = _Styles(cells, _sample_styles(xml, first_row), self.date_1904_on)
        return self._styles

    def add_table(self, name: str, table: TableRows) -> None:
        if name in self._tables:
            raise ValueError("a sheet takes one writer of whole rows")
        self._tables[name] = table

    def close(self) -> None:
        if self._packed:
            return
        super().close()
        self._packed = True
        try:
            if isinstance(self._target, (str, os.PathLike)):
                with open(self._target, "wb") as out:
                    self._pack(out)
            else:
                self._pack(self._target)
        finally:
            for table in self._tables.values():
                table.data.close()

    def _pack(self, out: BinaryIO) -> None:
        with zipfile.ZipFile(self._scratch) as package:
            parts = _sheet_parts(package)
            tables = {parts[name]: table for name, table in self._tables.items()}
            names = package.namelist()
            zipped = ZipWriter(out)
            for name in names:
                table = tables.get(name)
                if table is None:
                    zipped.add(name, [package.read(name)])
                    continue
                if _rels_part(name) in names:
                    raise ValueError("a long sheet holds nothing with relationships of its own")
                head, tail = table.sheet_xml(package.read(name), self._styles.numbers)
                zipped.add(name, itertools.chain([head], table.rows_xml(), [tail]))
                if table.link_count:
                    zipped.add(_rels_part(name), [table.relationships()])
            zipped.close()
