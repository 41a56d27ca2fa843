"""The list and family rows written cell by cell in Python: the reference
the native rows of xlsx_rows.TableRows are compared with, byte for byte."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from xlsxwriter.worksheet import Worksheet

from varnel_host.xlsx_rows import Cells, Column, Rows


class PythonRows:
    """Rows given as tuples in a column layout, written cell by cell through
    Rows (or a class with its cell calls): the reference for TableRows."""

    def __init__(self, cells: Cells, sheet: Worksheet, columns: Sequence[Column], first_row: int = 1,
                 rows: Callable[[Cells, Worksheet], Rows] = Rows) -> None:
        self._out = rows(cells, sheet)
        self._columns = list(enumerate(columns))
        self._row = first_row

    def write(self, rows: Sequence[tuple]) -> None:
        out = self._out
        for values in rows:
            out.begin(self._row)
            for (col, (kind, num_format, wrap)), value in zip(self._columns, values, strict=True):
                if kind == "number":
                    out.number(col, value, num_format)
                elif kind == "date":
                    out.record_date(col, value)
                elif kind == "link":
                    out.number_link(col, *value, wrap=wrap)
                else:
                    out.text(col, value, wrap=wrap)
            out.end()
            self._row += 1
        out.flush()
