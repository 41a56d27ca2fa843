"""The report's workbook: its short sheets written through xlsxwriter's
public API, the rows of its long sheets (list and families) and of its
closest sheet by the native module _xlsx_rows, assembled into the package
here.

xlsxwriter's cell calls parse their arguments, look up the format and build
each cell's XML element by element (a rich string's runs through an XML
writer of their own): most of a report's time. The native module takes whole
rows as tuples of values in a fixed column layout and writes their XML,
links and relationships included: TableRows streams a long sheet's rows into
a scratch file as they come, HeldRows keeps a short sheet's rows (the
closest hits, with their marked words) and writes them at close. The sheet
in the xlsxwriter workbook holds its header, its settings (widths, frozen
pane, printing, filter) and sample rows of a cell in each style the rows
use: the style numbers are read back from their XML. At close, Workbook
reads the package xlsxwriter wrote (to memory) with zipfile, replaces each
sheet's sample rows by the native rows, sets the sheet's dimension, adds its
links and their relationships, and writes the package with its own small zip
writer deflating by ISA-L (isal) at ZIP_LEVEL. No private member of
xlsxwriter or zipfile is used; the tests compare the native rows with the
same cells written through xlsxwriter's cell calls
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
from .cell_text import CJK_RANGES, XML_RANGES, clean_text
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


def run_properties(name: str, size: float, bold: bool, color: str | None = None) -> str:
    """The <rPr> of a rich string's run in a font, as xlsxwriter writes a
    run's font: bold, size, the colour (else the theme's text colour), name,
    family, and the theme's scheme for its own Calibri."""
    name_xml = name.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
    color_xml = f'<color rgb="FF{color.lstrip("#").upper()}"/>' if color else '<color theme="1"/>'
    scheme = '<scheme val="minor"/>' if name == "Calibri" else ""
    return (f'<rPr>{"<b/>" if bold else ""}<sz val="{size}"/>{color_xml}<rFont val="{name_xml}"/>'
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


# ------------------------------------------------------------ whole rows

# A column of a table's layout: (kind, number format, wrap). A row is a tuple
# of one value per column: a number, a record date ("YYYYMMDD", else shown as
# text), a text, a marked text (marked()), or a link's (text, url or None).
Column = tuple[str, str, bool]
TEXT: Column = ("text", "", False)
WRAPPED_TEXT: Column = ("text", "", True)
LINK: Column = ("link", "", False)
WRAPPED_LINK: Column = ("link", "", True)
MARKED: Column = ("marked", "", True)  # wrapped
DATE: Column = ("date", DATE_FORMAT, False)


def number_column(num_format: str) -> Column:
    return ("number", num_format, False)


def marked(text: str, words: Sequence[str]) -> tuple[str, tuple[int, ...]]:
    """A marked cell's value: the text cleaned and the edges of its stretches
    holding one of `words` (marking.marked_spans), shown bold in MARK_COLOR."""
    text = clean_text(text)
    return text, tuple(edge for span in marked_spans(text, words) for edge in span)


_SHEET_ROWS, _SHEET_COLUMNS = 1_048_576, 16_384  # Excel's sheet
_DEFAULT_ROW_PIXELS = 20  # xlsxwriter's default row height: a row this high carries no height
# A cell style of the native rows, by key: ("text", cjk, bold, wrap),
# ("mark", cjk, wrap) for a text that is one marked run, ("link", wrap) or
# ("number", num_format), the Chinese (cjk) or the Latin font.
StyleKey = tuple
# The sample row of a long sheet: each style its native rows use, once, in
# this order. The workbook's own writer numbers the styles; the rows read
# the numbers back from the sample row of a scratch copy of the sheet.
_SAMPLE: tuple[StyleKey, ...] = (("text", True, False, False), ("text", False, False, False), ("link", False),
                                 ("number", DATE_FORMAT), ("number", "0"), ("number", "0.00"))
_SEND = (("number", "0"),)  # a cell in the row after a sample row sends it out at once


def _style(cells: Cells, key: StyleKey) -> Format:
    kind = key[0]
    if kind == "text":
        _, cjk, bold, wrap = key
        return cells.style(cjk, bold, valign="top", text_wrap=wrap)
    if kind == "mark":
        _, cjk, wrap = key
        return cells.style(cjk, True, valign="top", text_wrap=wrap, font_color=MARK_COLOR)
    if kind == "link":
        return cells.style(False, valign="top", text_wrap=key[1], font_color=LINK_COLOR, underline=1)
    return cells.style(False, num_format=key[1], valign="top")


def _sample_rows(cells: Cells, sheet: Worksheet, row: int, samples: Sequence[Sequence[StyleKey]]) -> None:
    """From `row` on, a row of one cell in each style of each of `samples`:
    the workbook numbers the styles in this order as it sends each row out
    (a row when the next one starts, the last one at close). The splice
    drops them from the package."""
    for offset, keys in enumerate(samples):
        for col, key in enumerate(keys):
            if key[0] == "number":
                status = sheet.write_number(row + offset, col, 1, _style(cells, key))
            else:
                text = "中" if key[0] in ("text", "mark") and key[1] else "a"
                status = sheet.write_string(row + offset, col, text, _style(cells, key))
            cells.check(status, sheet, row + offset, col)


_CELL_STYLE = re.compile(rb'<c r="[A-Z]+\d+" s="(\d+)"')


def _sample_styles(sheet_xml: bytes, row: int) -> list[int]:
    """The style numbers of the sample row (0-based `row`) in a sheet's XML."""
    start = sheet_xml.find(b'<row r="%d"' % (row + 1))
    if start < 0:
        raise ValueError("the sheet has no sample row")
    end = sheet_xml.index(b"</row>", start)
    return [int(n) for n in _CELL_STYLE.findall(sheet_xml, start, end)]


def _sampled(sheet_xml: bytes, row: int, samples: Sequence[Sequence[StyleKey]]) -> dict[StyleKey, int]:
    """The number of each style of the sample rows from `row` on, read back."""
    numbers: dict[StyleKey, int] = {}
    for offset, keys in enumerate(samples):
        found = _sample_styles(sheet_xml, row + offset)
        if len(found) != len(keys):
            raise ValueError("a sample row lacks a style")
        for key, number in zip(keys, found):
            if numbers.setdefault(key, number) != number:
                raise ValueError(f"the style {key} sampled with two numbers")
    return numbers


class _Styles:
    """What the native rows ask of the workbook: the number of each style
    (StyleKey), the run properties of each font and the serial of a date in
    other digits. `numbers` holds the numbers of the styles sampled; without
    it, each style asked is numbered in the order of first asking (`order`),
    which is the order the workbook numbers the same cells' styles in."""

    def __init__(self, cells: Cells, date_1904: bool, numbers: dict[StyleKey, int] | None = None) -> None:
        self.numbers = {} if numbers is None else numbers
        self.order: list[StyleKey] | None = [] if numbers is None else None
        self._cells, self._date_1904 = cells, date_1904
        self._runs: dict[tuple[bool, bool, bool], str] = {}

    def _number(self, key: StyleKey) -> int:
        found = self.numbers.get(key)
        if found is None:
            if self.order is None:
                raise ValueError(f"no sample of the style {key}")
            found = self.numbers[key] = len(self.order)
            self.order.append(key)
        return found

    def text_style(self, cjk: bool, bold: bool, wrap: bool) -> int:
        return self._number(("text", cjk, bold, wrap))

    def mark_style(self, cjk: bool, wrap: bool) -> int:
        return self._number(("mark", cjk, wrap))

    def number_style(self, num_format: str) -> int:
        return self._number(("number", num_format))

    def link_style(self, wrap: bool) -> int:
        return self._number(("link", wrap))

    def run_start(self, cjk: bool, bold: bool, mark: bool) -> str:
        """<r> and the run properties of the Chinese (cjk) or Latin font; a
        marked run bold in MARK_COLOR."""
        found = self._runs.get((cjk, bold, mark))
        if found is None:
            name, size = self._cells.font(cjk)
            found = "<r>" + run_properties(name, size, bold or mark, MARK_COLOR if mark else None)
            self._runs[(cjk, bold, mark)] = found
        return found

    def date_serial(self, text: str) -> float | None:
        value = _date_value(text)
        return None if value is None else excel_serial(value, self._date_1904)


class _NativeSheet:
    """A sheet whose rows the native module writes, spliced into the sheet's
    XML when the workbook (Workbook) closes. The sheet itself holds its header
    (row 0, written before) and, from `first_row` on, sample rows of a cell in
    each style the rows use, which the splice replaces by the rows. Nothing
    else writes rows to the sheet after the header."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int,
                 header: Sequence[str]) -> None:
        workbook = cells.workbook
        if not isinstance(workbook, Workbook):
            raise TypeError("natively written sheets belong to an xlsx_rows.Workbook")
        self._cells, self._sheet, self._layout, self.first_row = cells, sheet, list(columns), first_row
        self._workbook = workbook
        self.columns = max(len(columns), len(header), 1)
        self._samples: Sequence[Sequence[StyleKey]] = ()
        self._native = self._new_native()

    def _new_native(self) -> _xlsx_rows.SheetRows:
        return _xlsx_rows.SheetRows(self._layout, XML_RANGES, CJK_RANGES, _SPACES, self.first_row, 0, HYPERLINK_LIMIT,
                                    self._workbook.date_1904_on)

    def _sample(self, samples: Sequence[Sequence[StyleKey]]) -> None:
        """Write the sample rows and take the sheet's rows from the native writer at close."""
        self._samples = samples
        _sample_rows(self._cells, self._sheet, self.first_row, samples)
        self._workbook.add_table(self._sheet.get_name(), self)

    @property
    def next_row(self) -> int:
        return self._native.next_row

    @property
    def link_count(self) -> int:
        return self._native.link_count

    def sheet_xml(self, xml: bytes) -> tuple[bytes, bytes]:
        """The sheet's XML before and after the rows' XML: its sample rows
        dropped, its dimension the rows', the rows' links in it."""
        start = xml.index(b'<row r="%d"' % (self.first_row + 1))
        end = xml.index(b"</sheetData>", start)
        if xml.count(b"<row ", start, end) != len(self._samples):
            raise ValueError("rows written to a natively written sheet beside its native rows")
        head, tail = xml[:start], xml[end:]
        last_row = max(self._native.next_row, self.first_row)  # 1-based: the last row written, or the header
        ref = f"A1:{xl_col_to_name(self.columns - 1)}{last_row}" if last_row > 1 or self.columns > 1 else "A1"
        head = re.sub(rb'<dimension ref="[^"]*"/>', f'<dimension ref="{ref}"/>'.encode(), head, count=1)
        head = re.sub(rb' spans="\d+:\d+"', b"", head)  # the spans counted the sample rows
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
        raise NotImplementedError

    def close(self) -> None:
        """Let go of what the rows' XML was kept in."""


class TableRows(_NativeSheet):
    """A long sheet's rows, given as tuples in a column layout in batches,
    their XML written by the native module into a scratch file as they come.
    The style numbers are known before: the sample row holds the long
    sheets' styles (_SAMPLE) in a fixed order, numbered by a scratch workbook
    (Workbook.table_styles); the splice checks them."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int = 1,
                 header: Sequence[str] = ()) -> None:
        super().__init__(cells, sheet, columns, first_row, header)
        self._width = len(columns)
        self._styles = self._workbook.table_styles(cells, header, first_row)
        self.data = tempfile.TemporaryFile()  # the rows' XML, sheetData's content
        self._sample((_SAMPLE, _SEND))

    def write(self, rows: Sequence[tuple]) -> None:
        if not rows:
            return
        first = self._native.next_row
        last = first + len(rows) - 1
        if last >= _SHEET_ROWS or self._width > _SHEET_COLUMNS:
            self._cells.check(-1, self._sheet, min(last, _SHEET_ROWS), 0)
        self.data.write(self._native.write(rows, self._styles))

    def sheet_xml(self, xml: bytes) -> tuple[bytes, bytes]:
        found = _sampled(xml, self.first_row, self._samples)
        if found != self._styles.numbers:
            raise ValueError(f"the sample row's styles are {found}, the rows were written in {self._styles.numbers}")
        return super().sheet_xml(xml)

    def rows_xml(self) -> Iterator[bytes]:
        data = self.data
        data.seek(0)
        while chunk := data.read(_COPY_CHUNK):
            yield chunk
        data.close()

    def close(self) -> None:
        self.data.close()


class HeldRows(_NativeSheet):
    """A short sheet's rows (the closest hits: a hundred at most), given at
    once as tuples in a column layout with each row's height, held until the
    workbook closes and written then by the native module in the style
    numbers read back from the sheet's sample rows. The sample rows hold the
    styles the rows use, in the order the rows first use them, and send them
    out when the rows' cells would be: so the workbook numbers them, and
    holds them, as it does the same cells written through its cell calls."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int = 1,
                 header: Sequence[str] = ()) -> None:
        super().__init__(cells, sheet, columns, first_row, header)
        self._rows: list[tuple] | None = None
        self._heights: list[float | None] | None = None
        self._xml = b""

    def write(self, rows: Sequence[tuple], heights: Sequence[int | None] | None = None) -> None:
        """All the sheet's rows, once; `heights`: each row's height in
        pixels, None for the default."""
        if self._rows is not None:
            raise ValueError("a sheet of held rows takes its rows once")
        self._rows = list(rows)
        if heights is not None:
            self._heights = [None if pixels in (None, _DEFAULT_ROW_PIXELS) else pixels * 0.75 for pixels in heights]
        if not self._rows:
            return
        # A first pass asks for the styles in the order the workbook would
        # number them: a row's cells are sent out when the next row starts,
        # the last row's at close, after the later sheets' rows.
        order = _Styles(self._cells, self._workbook.date_1904_on)
        self._native.write(self._rows[:-1], order, None if heights is None else self._heights[:-1])
        early = len(order.order)
        self._native.write(self._rows[-1:], order, None if heights is None else self._heights[-1:])
        keys = order.order
        self._sample([keys] if early == 0 else [keys[:early], keys[early:] or keys[:1]])

    def sheet_xml(self, xml: bytes) -> tuple[bytes, bytes]:
        styles = _Styles(self._cells, self._workbook.date_1904_on, _sampled(xml, self.first_row, self._samples))
        self._native = self._new_native()
        self._xml = self._native.write(self._rows, styles, self._heights)
        return super().sheet_xml(xml)

    def rows_xml(self) -> Iterator[bytes]:
        yield self._xml


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
    """xlsxwriter's workbook, written through its public API, whose long
    sheets' rows come from TableRows and short ones' from HeldRows: at close
    the package is read back, each such sheet's rows and links spliced in,
    and the whole written to `target` by ZipWriter."""

    def __init__(self, target: str | os.PathLike | BinaryIO, options: dict | None = None) -> None:
        # Constant memory: every sheet written in row order, its rows out to
        # a scratch file as the next begins, texts kept in their cells.
        options = {**(options or {}), "constant_memory": True, "in_memory": False}
        self._target = target
        self._scratch = io.BytesIO()
        self.date_1904_on = bool(options.get("date_1904"))
        super().__init__(self._scratch, options)
        self._tables: dict[str, _NativeSheet] = {}
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
                _sample_rows(probe_cells, sheet, first_row, (_SAMPLE, _SEND))
            with zipfile.ZipFile(scratch) as package:
                xml = package.read("xl/worksheets/sheet1.xml")
            self._styles = _Styles(cells, self.date_1904_on, _sampled(xml, first_row, (_SAMPLE, _SEND)))
        return self._styles

    def add_table(self, name: str, table: _NativeSheet) -> None:
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
                table.close()

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
                    raise ValueError("a natively written sheet holds nothing with relationships of its own")
                head, tail = table.sheet_xml(package.read(name))
                zipped.add(name, itertools.chain([head], table.rows_xml(), [tail]))
                if table.link_count:
                    zipped.add(_rels_part(name), [table.relationships()])
            zipped.close()
