"""The report's natively written rows written cell by cell through
xlsxwriter's public cell calls instead: the reference the native rows of
xlsx_rows.TableRows and xlsx_rows.HeldRows are compared with."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from xlsxwriter.worksheet import Worksheet

from varnel_host import xlsx_rows
from varnel_host.cell_text import split_runs
from varnel_host.xlsx_rows import Cells, Column


class Rows:
    """Writes rows cell by cell through xlsxwriter's public cell calls: a text
    of one script a plain string in its font, any other a rich string of CJK
    and Latin runs; marked stretches bold in MARK_COLOR; publication numbers
    linked up to HYPERLINK_LIMIT; record dates as dates in DATE_FORMAT. Call
    begin(row), the cells, then end(), and flush() after the last row."""

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
        if url is None or self._links >= xlsx_rows.HYPERLINK_LIMIT:
            self.text(col, number, wrap=wrap)
            return
        self._links += 1
        style = self._cells.style(False, valign="top", text_wrap=wrap, font_color=xlsx_rows.LINK_COLOR, underline=1)
        status = self._sheet.write_url(self._row, col, url, style, string=number)
        self._cells.check(status, self._sheet, self._row, col)

    def marked(self, col: int, text: str, edges: Sequence[int], *, wrap: bool = False) -> None:
        """A cleaned text whose stretches between each pair of `edges` are bold runs of MARK_COLOR."""
        if not edges:
            self.text(col, text, wrap=wrap)
            return
        edges = [0, *edges, len(text)]
        runs = [(cjk, run, index % 2 == 1) for index, (start, end) in enumerate(zip(edges, edges[1:]))
                for cjk, run in split_runs(text[start:end])]
        cells, sheet, row = self._cells, self._sheet, self._row
        if len(runs) == 1:  # one run: a plain string in the run's font
            cjk, run, mark = runs[0]
            extra = {"font_color": xlsx_rows.MARK_COLOR} if mark else {}
            style = cells.style(cjk, mark, valign="top", text_wrap=wrap, **extra)
            status = xlsx_rows.write_string(sheet, row, col, run, style)
        else:
            parts: list[object] = []
            for cjk, run, mark in runs:
                parts += [cells.style(cjk, True, font_color=xlsx_rows.MARK_COLOR) if mark else cells.style(cjk), run]
            status = sheet.write_rich_string(row, col, *parts, cells.style(False, valign="top", text_wrap=wrap))
        cells.check(status, sheet, row, col)

    def record_date(self, col: int, text: str) -> None:
        """A record date as an Excel date shown in DATE_FORMAT; anything else as text."""
        value = xlsx_rows._date_value(text)
        if value is None:
            self.text(col, text)
            return
        style = self._cells.style(False, num_format=xlsx_rows.DATE_FORMAT, valign="top")
        self._cells.check(self._sheet.write_datetime(self._row, col, value, style), self._sheet, self._row, col)


class PythonRows:
    """Rows given as tuples in a column layout, written cell by cell through
    Rows (or a class with its cell calls): the reference for TableRows and,
    with each row's height, for HeldRows."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int = 1,
                 rows: Callable[[Cells, Worksheet], Rows] = Rows) -> None:
        self._out = rows(cells, sheet)
        self._columns = list(enumerate(columns))
        self._row = first_row

    def write(self, rows: Sequence[tuple], heights: Sequence[int | None] | None = None) -> None:
        out = self._out
        for n, values in enumerate(rows):
            out.begin(self._row, None if heights is None else heights[n])
            for (col, (kind, num_format, wrap)), value in zip(self._columns, values, strict=True):
                if kind == "number":
                    out.number(col, value, num_format)
                elif kind == "date":
                    out.record_date(col, value)
                elif kind == "link":
                    out.number_link(col, *value, wrap=wrap)
                elif kind == "marked":
                    out.marked(col, *value, wrap=wrap)
                else:
                    out.text(col, value, wrap=wrap)
            out.end()
            self._row += 1
        out.flush()
