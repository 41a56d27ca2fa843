"""The report's rows: the list and family rows (xlsx_rows.TableRows) and the
closest rows (xlsx_rows.HeldRows) by the native writer spliced into the
package, the same content (values, runs, fonts, formats, links, dates, sheet
settings) as the same cells written through xlsxwriter's own cell calls, the
closest sheet the same bytes; texts kept as text, links up to the sheet's
limit."""

from __future__ import annotations

import itertools
import math
import re
import sys
import zipfile
from pathlib import Path

import openpyxl
import pytest
from openpyxl.cell.rich_text import CellRichText, TextBlock

from test_report import NOW, _Found, _hit, _open, _run, _same_hits, write_report
from varnel_host import report, xlsx_rows
from varnel_host.records import Hit, PatentRecord
from varnel_host.report import _CellWriter
from varnel_host.settings import read_settings
from varnel_host.synth import generate
from xlsx_rows_reference import PythonRows


def _parts(path: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(path) as package:
        assert package.testzip() is None  # every member's CRC
        return {name: package.read(name) for name in package.namelist()}


def _font(font) -> tuple:
    color = font.color.rgb if font.color is not None and font.color.type == "rgb" else None
    return font.name, font.sz, bool(font.b), color, font.u, font.charset


def _value(value) -> object:
    """A rich string as its runs and their fonts; one of runs in one font as its text."""
    if isinstance(value, CellRichText):
        runs = [(block.text, _font(block.font) + (block.font.rFont,)) if isinstance(block, TextBlock) else (block, None)
                for block in value]
        return "".join(text for text, _ in runs) if len({font for _, font in runs}) == 1 else runs
    return value


def _content(path: Path) -> dict[str, object]:
    """What a reader sees of each sheet: every cell's value (runs and their
    fonts included), font, number format, alignment and link; the sheet's
    size, filter, panes, widths, row heights, printing and charts."""
    book = openpyxl.load_workbook(path, rich_text=True)
    seen = {}
    for sheet in book.worksheets:
        cells = [(cell.coordinate, _value(cell.value), _font(cell.font), cell.number_format, cell.alignment.vertical,
                  cell.alignment.wrap_text, cell.hyperlink.target if cell.hyperlink else None)
                 for row in sheet.iter_rows() for cell in row if cell.value is not None or cell.has_style]
        seen[sheet.title] = (cells, sheet.dimensions, sheet.auto_filter.ref, sheet.freeze_panes,
                             {k: d.width for k, d in sheet.column_dimensions.items()},
                             {k: d.height for k, d in sheet.row_dimensions.items() if d.height},
                             sheet.page_setup.orientation, sheet.page_setup.fitToWidth, sheet.page_setup.fitToHeight,
                             len(sheet._charts))
    return seen


@pytest.mark.parametrize("latin", ["Arial", "_x0042_ Arial"])  # the second needs Excel's escapes in every run
def test_rows_are_what_xlsxwriters_cell_calls_write(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, latin: str) -> None:
    """The whole workbook reads the same as the same hits written through xlsxwriter's cell API."""
    odd = ["a\rb 電池", "電池\r", "_x0041_ 電池", "_x0041_", "A&B <電> \"q\"", " 前後 ", "\u3000電池 x ", "x 電池\u3000", "  ",
           "\t", "x\n電\ny", "電" * 40_000, "a\x00b 電", "<r>a&b</r>", "<r><t>x</t></r>"]
    hits = _same_hits() + [_hit(n, score, title=text, applicants=text, ipc=text[::-1], ad=text[:8], pd="19000301")
                           for n, (text, score) in enumerate(zip(odd, [math.inf, -math.inf] + [1.0] * 20))]
    request = _run("電池 OR battery", 文字大小比例=1.2, 英文文字字體=latin, 分析最接近專利數量=30)
    fast = write_report(tmp_path / "fast", request, _Found(hits, 99), now=NOW).path
    for name in ("TableRows", "HeldRows"):
        monkeypatch.setattr(report, name, lambda cells, sheet, columns, header: PythonRows(cells, sheet, columns))
    api = write_report(tmp_path / "api", request, _Found(hits, 99), now=NOW).path
    assert _content(fast) == _content(api)
    assert sorted(_parts(fast)) == sorted(_parts(api))
    assert _parts(fast)["xl/worksheets/sheet1.xml"].count(b"<row ") == len(hits) + 1


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


def _synth_hits(count: int, seed: int) -> list[Hit]:
    return [Hit(record, 30.0 - n / 7, ("電池", "battery")) for n, record in enumerate(generate(count, seed=seed))]


def _odd_hits() -> list[Hit]:
    """Texts needing cleaning, cuts and every escape, with white space of every kind at their ends;
    numbers and dates at their edges, dates in other digits; numbers without a public page."""
    spaces = [chr(c) for c in range(0x110000) if chr(c).isspace()]
    texts = [" 前後 ", "\u3000電池 x ", "x\n電\ny", "_x0041_ 電池_x004g_", "a\rb", "電池\r", "\r電池", "A&B <電> \"q\"",
             "𠀀x", "\ud800x 電\ufffe", "", "\t", "電" * 16_000 + "x" * 800, "𠀀" * 16_400, "e\u0301 電", "_x000D_\r"]
    texts += [f"{space}{text}{space}" for space in spaces for text in ("電池", "ab", "電a")]
    dates = ["19000101", "19000228", "19000301", "99991231", "00010101", "20240229", "20230229", "２０１５０１０２",
             "2015-1-2", "", "1900030", "٢٠١٥٠١٠٢"]
    scores = itertools.cycle([1.0, math.nan, math.inf, -math.inf, -0.0, 1e16, 1.5e-7, 12.345, 1e-300])
    return [_hit(n, score, pn="電池" if n % 7 == 0 else f"XX{n}" if n % 7 == 1 else f"TWI{n}B", title=text,
                 applicants=text[::-1], ipc=text[:3], ad=dates[n % len(dates)], pd=dates[(n + 5) % len(dates)])
            for n, (text, score) in enumerate(zip(texts, scores))]


@pytest.mark.parametrize(("command", "hits", "link_limit"), [
    ("電池 OR battery", _same_hits, None),  # mixed scripts, odd characters, partial dates
    ("(電池 OR battery)@TI,AB", lambda: _synth_hits(400, 5), None),  # a collection's texts, families
    ("電池", _odd_hits, None),
    ("電池", lambda: _synth_hits(60, 2), 25),  # links past the sheet's limit
    ("電池", list, None),  # no hits
])
def test_native_rows_make_the_python_rows_workbook(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, command, hits,
                                                     link_limit) -> None:
    """The same content: cells, styles, links, sheets; the other parts the same bytes."""
    if link_limit:
        monkeypatch.setattr(xlsx_rows, "HYPERLINK_LIMIT", link_limit)
    found = _Found(hits(), 12_345)
    request = _run(command, 文字大小比例=1.2, 分析最接近專利數量=8)
    native_path = write_report(tmp_path / "native", request, found, now=NOW).path
    monkeypatch.setattr(report, "TableRows", lambda cells, sheet, columns, header: PythonRows(cells, sheet, columns))
    python_path = write_report(tmp_path / "python", request, found, now=NOW).path
    assert _content(native_path) == _content(python_path)
    native, python = _parts(native_path), _parts(python_path)
    assert sorted(native) == sorted(python)
    assert [name for name in native if "worksheets" not in name and "styles" not in name
            and native[name] != python[name]] == []  # charts, workbook, document properties
    sheet = native["xl/worksheets/sheet1.xml"]
    assert sheet.count(b"<row ") == len(found.hits) + 1
    linked = sum(report.patent_url(hit.record.pn) is not None for hit in found.hits)
    assert sheet.count(b"<hyperlink ") == min(linked, link_limit or linked)


def _marked_hits() -> list[Hit]:
    """Closest hits marked at their edges, as a whole, in either script, past the cell's limit, among
    characters XML forbids and Excel's escapes; numbers without a public page, dates in other digits."""
    texts = ["電池", "battery", " 電池 ", "<r>a&b 電池</r>", "a\x00b 電池\x01 battery", "_x0041_電池 _x004G_",
             "電池" + "電" * 40_000, "x" * 20_000 + "電池", "𠀀電池𠀀 battery\r\n", "\u3000電池 x ", "", "電\ufffe池"]
    return [Hit(PatentRecord(pn=f"TWI{700000 + n}B" if n % 3 else f"XX{n}", title=text, abstract=text[::-1] + " 電池",
                             claims="1. " + text, applicants=text or "甲", ipc="H01M", ad="20150102", pd="20160315",
                             prd=["20150102", "１９９９０１０１", "18000101", ""][n % 4], cpc=text[:30]),
                30.0 - n if n % 5 else math.nan, ("電池", "battery"))
            for n, text in enumerate(texts)]


@pytest.mark.parametrize(("hits", "latin"), [
    (_marked_hits, "Calibri"),
    (_marked_hits, "_x0042_ Arial"),  # Excel's escapes in every run's font
    (lambda: _marked_hits()[:1], "Arial"),  # a single row's styles are numbered at close
    (lambda: _marked_hits()[1:3], "Arial"),
    (lambda: _synth_hits(40, 3), "Arial"),
    (list, "Arial"),
])
def test_closest_rows_are_the_bytes_of_xlsxwriters_cell_calls(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, hits,
                                                              latin: str) -> None:
    """Every part of the package, the closest sheet and the styles included, is the same bytes as with the
    closest rows written through xlsxwriter's cell calls."""
    request = _run("電池 OR battery", 文字大小比例=1.2, 英文文字字體=latin, 分析最接近專利數量=100)
    native = _parts(write_report(tmp_path / "native", request, _Found(hits()), now=NOW).path)
    monkeypatch.setattr(report, "HeldRows", lambda cells, sheet, columns, header: PythonRows(cells, sheet, columns))
    assert _parts(write_report(tmp_path / "python", request, _Found(hits()), now=NOW).path) == native


@pytest.mark.parametrize(("value", "heights", "written"), [
    (("電池 x", (0, 2)), [30.0], b'<row r="1" ht="30" customHeight="1">'),
    (("電池 x", (0, 4)), None, b"<b/>"),
    (("電池", (0,)), None, None),  # edges in pairs
    (("電池", (1, 0)), None, None),  # in order
    (("電池", (0, 3)), None, None),  # within the text
    (("電池", (-1, 2)), None, None),
    (("電池", [0, 2]), None, None),  # a tuple
    (("a\x00電池", (1, 3)), None, None),  # the text given cleaned
    (("電池", ()), [None, None], None),  # a height for each row
    (("電池", ()), [0.0], None),  # a height Excel shows
])
def test_native_marked_rows_take_edges_and_heights_that_fit(value, heights, written) -> None:
    native = xlsx_rows._xlsx_rows.SheetRows([xlsx_rows.MARKED], [(0x20, 0xD7FF)], [(0x4E00, 0x9FFF)], [], 0, 0, 0, False)
    styles = xlsx_rows._Styles(_CellWriter(None, read_settings({})), False)
    if written is None:
        with pytest.raises(ValueError):
            native.write([(value,)], styles, heights)
    else:
        assert written in native.write([(value,)], styles, heights)


def _table_sheet(tmp_path: Path, rows_class, columns, rows, **options) -> tuple[object, bytes]:
    """What a reader sees of the sheet, and its XML."""
    path = tmp_path / f"{rows_class.__name__}.xlsx"
    with xlsx_rows.Workbook(str(path), {"nan_inf_to_errors": True, **options}) as book:
        sheet = book.add_worksheet()
        rows_class(_CellWriter(book, read_settings({})), sheet, columns).write(rows)
    return _content(path)["Sheet1"][0], _parts(path)["xl/worksheets/sheet1.xml"]


@pytest.mark.parametrize("date_1904", [False, True])
def test_native_dates_in_either_date_system(tmp_path: Path, date_1904: bool) -> None:
    dates = [("19000101",), ("19000228",), ("19000301",), ("19040101",), ("19031231",), ("20240229",), ("３０００１２３１",)]
    early = [("18500302",), ("00010101",)]  # before any date Excel shows: text, never ####
    (native, xml), (python, _) = (_table_sheet(tmp_path, rows, [xlsx_rows.DATE], dates + early, date_1904=date_1904)
                                  for rows in (xlsx_rows.TableRows, PythonRows))
    assert native == python and xml.count(b"<v>") == len(dates) and b"18500302" in xml


@pytest.mark.parametrize("rows", [
    [("a",)],  # a value short
    [("a", "b", "c")],
    [["a", "b"]],  # not a tuple
    [("a", "TWI1B")],  # a link is (text, url)
    [("a", ("TWI1B", "mailto:x@y"))],  # a link to the web only
    [(1, ("TWI1B", None))],  # text is str
])
def test_native_rows_refuse_what_does_not_fit_the_layout(tmp_path: Path, rows) -> None:
    with pytest.raises((ValueError, TypeError)):
        _table_sheet(tmp_path, xlsx_rows.TableRows, [xlsx_rows.TEXT, xlsx_rows.LINK], rows)


def test_a_number_that_is_not_finite_is_an_empty_cell_never_a_formula(tmp_path: Path) -> None:
    numbers = [(math.inf,), (-math.inf,), (math.nan,), (1.5,)]
    (native, xml), (python, _) = (_table_sheet(tmp_path, rows, [xlsx_rows.number_column("0.00")], numbers)
                                  for rows in (xlsx_rows.TableRows, PythonRows))
    assert native == python
    assert b"<f>" not in xml and xml.count(b"<v>") == 1
    assert all(re.search(f'<c r="A{row}" s="[1-9][0-9]*"/>'.encode(), xml) for row in (2, 3, 4))


class _Styles:
    def text_style(self, cjk: bool, bold: bool, wrap: bool) -> int:
        return 0


@pytest.mark.parametrize("first_row, width, rows, written", [
    (2**64 - 1, 1, 1, None),  # a row past the last one cannot wrap to the first
    (1_048_576, 1, 1, None),
    (1_048_575, 1, 2, None),
    (1_048_575, 1, 1, b'<row r="1048576">'),
    (0, 16_385, 1, None),
    (0, 16_384, 1, b'<c r="XFD1"'),
])
def test_native_rows_stay_within_excels_sheet(first_row, width, rows, written) -> None:
    def made():
        native = xlsx_rows._xlsx_rows.SheetRows([xlsx_rows.TEXT] * width, [], [], [], first_row, 0, 0, False)
        return native.write([("a",) * width] * rows, _Styles())

    if written is None:
        with pytest.raises(ValueError, match="a sheet holds at most"):
            made()
    else:
        assert written in made()


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="a debug interpreter counts references")
def test_native_rows_keep_no_references(tmp_path: Path) -> None:
    book = xlsx_rows.Workbook(str(tmp_path / "refs.xlsx"))
    columns = [xlsx_rows.TEXT, xlsx_rows.LINK, xlsx_rows.DATE, xlsx_rows.number_column("0")]
    out = xlsx_rows.TableRows(_CellWriter(book, read_settings({})), book.add_worksheet(), columns)
    batch = [("電池 a&b\r", ("TWI1B", "https://example.com/TWI1B#p"), "２０１５０１０２", math.nan)] * 50
    out.write(batch)  # the styles, run fonts and dates asked once
    before = sys.gettotalrefcount()
    for _ in range(20):
        out.write(batch)
    assert sys.gettotalrefcount() - before < 20
    book.close()


def test_a_long_sheet_takes_no_rows_beside_its_native_rows(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="beside its native rows"):
        with xlsx_rows.Workbook(str(tmp_path / "stray.xlsx")) as book:
            sheet = book.add_worksheet()
            xlsx_rows.TableRows(_CellWriter(book, read_settings({})), sheet, [xlsx_rows.TEXT]).write([("a",)])
            sheet.write_string(5, 0, "stray")
