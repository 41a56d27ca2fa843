"""Time writing an XLSX report: `python bench/bench_report.py [--hits 10000] [--runs 5] [--synth] [--list-only | --report-only] [--levels] [--public]`.

The hits carry mixed Chinese/Latin text of typical patent lengths, so most
cells are rich strings of several runs; the closest sheet holds 100 hits with
abstract and claims. `--synth` takes the records of `varnel_host.synth` (seed 1)
instead: distinct titles, many applicants and IPC codes, as a real collection.

First (unless --report-only) the list sheet alone, the workbook closed (so deflated) each time:
  - the report's writer: native rows (xlsx_rows.TableRows), the package
    deflated by ISA-L at xlsx_rows.ZIP_LEVEL;
  - the rows the tests compare it with (PythonRows, tests/xlsx_rows_reference.py):
    the same cells through xlsxwriter's cell calls, in the report's workbook;
  - the same cell calls in xlsxwriter's own workbook, constant-memory mode,
    at its own deflate level;
  - rvgsrust-xlsxwriter (rust_xlsxwriter), constant-memory worksheet, the same
    values, fonts per run, links and formats, when it is installed
    (`pip install rvgsrust-xlsxwriter`, or the bench extra).
Prints rows/s wall and CPU, each as a ratio to xlsxwriter's, and the file size.
`--levels` also writes it through the report's writer at each deflate level of
ISA-L and at zlib's levels 1 and 6 (the stdlib's, as xlsxwriter deflates).
`--public` writes it, alternating, through the report's writer and through
xlsxwriter's public API alone (xlsxwriter.Workbook, constant memory, no
private member of xlsxwriter or zipfile): the same cells (write_string,
write_rich_string for mixed scripts, write_url, write_datetime, write_number;
header, frozen pane, filter) and, as the floor of that route, write_row of
plain values in one format per row; prints each as a ratio to the native rows.

Then (unless --list-only) the whole report through `gather` and `write_report`, against a
floor: xlsxwriter alone writing the same values into the same sheets as plain
cells (every text one string in one format, constant-memory mode). The
writers alternate so that the machine's drift hits all. Prints medians.
"""

from __future__ import annotations

import argparse
import dataclasses
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Mapping
from datetime import date, datetime, timedelta
from pathlib import Path

import xlsxwriter

from varnel_host import report as report_module
from varnel_host import xlsx_rows
from varnel_host.cell_text import clean_text, split_runs
from varnel_host.query import parse
from varnel_host.records import Hit, PatentRecord
from varnel_host.report import LIST_ROW_CAP, LIST_SHEET, TOP_SHEET, patent_url, write_report
from varnel_host.report_data import gather
from varnel_host.settings import read_settings
from varnel_host.request import RunRequest
from varnel_host.contract import list_row
from varnel_host.families import Families
from varnel_host.synth import generate

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from test_report import _Found  # noqa: E402
from xlsx_rows_reference import PythonRows  # noqa: E402

_WORDS = ["鋰電池", "正極材料", "battery", "固態電解質", "cathode", "隔離膜", "LiFePO4", "散熱模組", "sensor", "控制單元"]
_TOP = 100


def _sentence(rng: random.Random, words: int) -> str:
    return "".join(rng.choice(_WORDS) + rng.choice(["，", " ", "、", "（A1）", "; "]) for _ in range(words)) + "。"


def make_hits(count: int, seed: int = 7) -> list[Hit]:
    """`count` hits; only the first _TOP carry abstract and claims, as result.closest() loads them."""
    rng = random.Random(seed)
    hits = []
    for n in range(count):
        full = n < _TOP
        record = PatentRecord(
            pn=f"TW{100000 + n}B",
            title=_sentence(rng, 4),
            abstract=_sentence(rng, 60) if full else "",
            claims="\n".join(f"{i}. {_sentence(rng, 25)}" for i in range(1, 6)) if full else "",
            applicants="甲乙科技股份有限公司; ACME Battery Inc.",
            inventors="王小明; John Smith",
            ipc="H01M 10/0525; H01M 4/58",
            an=f"1091{n:05d}",
            ad=(datetime(2015, 1, 1) + timedelta(days=n % 3000)).strftime("%Y%m%d"),
            pd=(datetime(2016, 6, 1) + timedelta(days=n % 3000)).strftime("%Y%m%d"),
        )
        hits.append(Hit(record, 30.0 - 30.0 * n / count, ("電池", "battery")))
    return hits


class _Hits(_Found):
    """The hits as a search result hands them to the report (the tests'
    result), the closest being the first hits, cited by none."""

    def closest_families(self, n: int) -> list[Hit]:
        return self.hits[:n]

    def cited_by(self, numbers: list[str]) -> dict[str, int]:
        return dict.fromkeys(numbers, 0)


def synth_hits(count: int) -> list[Hit]:
    """`count` synthetic records, best first; abstract and claims kept for the first _TOP only."""
    hits = []
    for n, record in enumerate(generate(count, seed=1)):
        if n >= _TOP:
            record = dataclasses.replace(record, abstract="", claims="")
        hits.append(Hit(record, 30.0 - 30.0 * n / count, ("電池", "battery")))
    return hits


def _date(text: str) -> date:
    return date(int(text[:4]), int(text[4:6]), int(text[6:]))


def write_floor(hits: list[Hit], path: Path) -> None:
    """The same list and closest rows as plain cells, one format."""
    with xlsxwriter.Workbook(str(path), {"constant_memory": True}) as book:
        cell = book.add_format({"font_name": "Calibri", "font_size": 13, "valign": "top"})
        sheet = book.add_worksheet(LIST_SHEET)
        for row, hit in enumerate(hits, start=1):
            rec = hit.record
            sheet.write_number(row, 0, row, cell)
            sheet.write_string(row, 1, rec.pn, cell)
            sheet.write_string(row, 2, rec.title, cell)
            sheet.write_string(row, 3, rec.applicants, cell)
            sheet.write_datetime(row, 4, _date(rec.ad), cell)
            sheet.write_datetime(row, 5, _date(rec.pd), cell)
            sheet.write_string(row, 6, rec.ipc, cell)
            sheet.write_number(row, 7, round(hit.score, 2), cell)
        sheet = book.add_worksheet(TOP_SHEET)
        for row, hit in enumerate(hits[:_TOP], start=1):
            rec = hit.record
            for col, value in enumerate((row, rec.pn, rec.title, rec.applicants, round(hit.score, 2),
                                         rec.abstract, rec.first_claim, "、".join(hit.matched))):
                sheet.write(row, col, value, cell)


def _timed(work) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


Medians = dict[str, tuple[float, float]]  # per writer: wall and CPU seconds


def _alternate(writers: Mapping[str, Callable[[Path], object]], runs: int) -> tuple[Medians, dict[str, int]]:
    """Each writer writing its file in turn, `runs` rounds, so that the
    machine's drift hits all: the median wall and CPU seconds and the file
    size of each."""
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in writers}
    sizes: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "out.xlsx"
        for _ in range(runs):
            for name, write in writers.items():
                times[name].append(_timed(lambda: write(path)))
                sizes[name] = path.stat().st_size
                path.unlink()
    medians = {name: (statistics.median(t[0] for t in ts), statistics.median(t[1] for t in ts))
               for name, ts in times.items()}
    return medians, sizes


def _print_rates(title: str, rows: int, medians: Medians, sizes: dict[str, int], base: str, speedup: bool) -> None:
    """Time, rows per second and file size of each writer; each time as a
    ratio to `base`'s: its time over the writer's (`speedup`), else the
    writer's over its."""
    print(title)
    print(f"  {'':28} {'wall s':>7} {'rows/s wall':>12} {'x ' + base[:6]:>9} {'CPU s':>7} {'rows/s CPU':>11} "
          f"{'x ' + base[:6]:>9} {'file KiB':>9}")
    base_wall, base_cpu = medians[base]
    for name, (wall, cpu) in medians.items():
        ratio_wall, ratio_cpu = (base_wall / wall, base_cpu / cpu) if speedup else (wall / base_wall, cpu / base_cpu)
        print(f"  {name:28} {wall:7.3f} {rows / wall:12,.0f} {ratio_wall:9.2f} {cpu:7.3f} {rows / cpu:11,.0f} "
              f"{ratio_cpu:9.2f} {sizes[name] / 1024:9,.0f}")


def _list_sheet(path: Path, hits: list[Hit], families: Families, settings, writer: str) -> None:
    """The report's list sheet alone, the workbook closed, written by
    `writer`: "native" the report's rows; "python" the same cells through
    xlsxwriter's cell calls (PythonRows) in the report's workbook;
    "xlsxwriter" those calls in xlsxwriter's own workbook."""
    options = {"constant_memory": True, "nan_inf_to_errors": True}
    book_class = xlsxwriter.Workbook if writer == "xlsxwriter" else xlsx_rows.Workbook
    rows = xlsx_rows.TableRows
    if writer != "native":
        def rows(cells, sheet, columns, header=()):
            return PythonRows(cells, sheet, columns)
    saved, report_module.TableRows = report_module.TableRows, rows
    try:
        with book_class(str(path), options) as book:
            cells = report_module._CellWriter(book, settings)
            report_module._write_list(cells, book.add_worksheet(LIST_SHEET), list(map(list_row, hits)), len(hits), None, None, families, [])
    finally:
        report_module.TableRows = saved


def _rust_list_sheet(path: Path, hits: list[Hit], families: Families, settings) -> None:
    """The same cells through rvgsrust-xlsxwriter: values, a font per run,
    links, number and date formats, the header, frozen pane and filter."""
    import rvgsrust_xlsxwriter as rust  # noqa: PLC0415 - optional peer

    book = rust.Workbook(str(path))
    sheet = book.add_worksheet(LIST_SHEET, constant_memory=True)
    formats: dict[tuple, object] = {}

    def style(cjk: bool, bold: bool = False, num_format: str = "", link: bool = False):
        key = (cjk, bold, num_format, link)
        if key not in formats:
            made = book.add_format().set_font_name(settings.chinese_font if cjk else settings.latin_font)
            made.set_font_size(settings.font_size).set_align("top")
            if cjk:
                made.set_font_charset(report_module.BIG5_CHARSET)
            if bold:
                made.set_bold()
            if num_format:
                made.set_num_format(num_format)
            if link:
                made.set_font_color(xlsx_rows.LINK_COLOR).set_underline()
            formats[key] = made
        return formats[key]

    def text(row: int, col: int, value: str, bold: bool = False) -> None:
        runs = split_runs(clean_text(value))
        if len(runs) > 1:
            sheet.write_rich_string(row, col, [(run, style(cjk, bold)) for cjk, run in runs], style(False, bold))
        else:
            sheet.write(row, col, value, style(bool(runs) and runs[0][0], bold))

    for col, (caption, width) in enumerate(zip(report_module._LIST_COLUMNS, report_module._LIST_WIDTHS)):
        text(0, col, caption, True)
        sheet.set_column_width(col, width * settings.ratio)
    sheet.freeze_panes(1, 0)
    links = 0
    for row, hit in enumerate(hits, start=1):
        rec = hit.record
        sheet.write(row, 0, row, style(False, num_format="0"))
        url = patent_url(rec.pn)
        if url is not None and links < xlsx_rows.HYPERLINK_LIMIT:
            sheet.write_url(row, 1, url, style(False, link=True), text=rec.pn)
            links += 1
        else:
            text(row, 1, rec.pn)
        text(row, 2, rec.title)
        text(row, 3, rec.applicants)
        for col, value in ((4, rec.ad), (5, rec.pd)):
            day = xlsx_rows._date_value(value)
            if day is None:
                text(row, col, value)
            else:
                sheet.write_date(row, col, day.year, day.month, day.day, style(False, num_format=xlsx_rows.DATE_FORMAT))
        text(row, 6, rec.ipc)
        sheet.write(row, 7, round(hit.score, 2), style(False, num_format="0.00"))
        text(row, 8, families.of(rec.pn))
    sheet.autofilter(0, 0, max(len(hits), 1), len(report_module._LIST_COLUMNS) - 1)
    book.close()


def _public_list_sheet(path: Path, hits: list[Hit], families: Families, settings) -> None:
    """The report's list sheet through xlsxwriter's public API only: the same
    values, fonts per run, links, number and date formats as the report's."""
    with xlsxwriter.Workbook(str(path), {"constant_memory": True, "nan_inf_to_errors": True}) as book:
        cells = report_module._CellWriter(book, settings)  # write_blank/write_string/write_rich_string/write_number
        sheet = book.add_worksheet(LIST_SHEET)
        cells.header(sheet, report_module._LIST_COLUMNS, report_module._LIST_WIDTHS)
        link = cells.style(False, valign="top", text_wrap=False, font_color=xlsx_rows.LINK_COLOR, underline=1)
        day_style = cells.style(False, num_format=xlsx_rows.DATE_FORMAT, valign="top")
        links = 0
        row = 0
        for row, (number, title, applicants, ad, pd, ipc, score) in enumerate(map(list_row, hits), start=1):
            cells.number(sheet, row, 0, row, "0")
            url = patent_url(number)
            if url is not None and links < xlsx_rows.HYPERLINK_LIMIT:
                cells.check(sheet.write_url(row, 1, url, link, string=number), sheet, row, 1)
                links += 1
            else:
                cells.text(sheet, row, 1, number)
            cells.text(sheet, row, 2, title)
            cells.text(sheet, row, 3, applicants)
            for col, text in ((4, ad), (5, pd)):
                day = xlsx_rows._date_value(text)  # our own "YYYYMMDD" parser
                if day is None:
                    cells.text(sheet, row, col, text)
                else:
                    cells.check(sheet.write_datetime(row, col, day, day_style), sheet, row, col)
            cells.text(sheet, row, 6, ipc)
            cells.number(sheet, row, 7, round(score, 2), "0.00")
            cells.text(sheet, row, 8, families.of(number))
        sheet.autofilter(0, 0, max(row, 1), len(report_module._LIST_COLUMNS) - 1)


def _write_row_list_sheet(path: Path, hits: list[Hit], families: Families, settings) -> None:
    """The floor of the public route: the list's values by write_row, one
    format per row, texts plain (no runs in two fonts), numbers unlinked."""
    with xlsxwriter.Workbook(str(path), {"constant_memory": True, "nan_inf_to_errors": True}) as book:
        cell = book.add_format({"font_name": settings.latin_font, "font_size": settings.font_size, "valign": "top",
                                "num_format": xlsx_rows.DATE_FORMAT})
        sheet = book.add_worksheet(LIST_SHEET)
        sheet.write_row(0, 0, report_module._LIST_COLUMNS, cell)
        row = 0
        for row, (number, title, applicants, ad, pd, ipc, score) in enumerate(map(list_row, hits), start=1):
            sheet.write_row(row, 0, (row, number, title, applicants, _date(ad), _date(pd), ipc, round(score, 2),
                                     families.of(number)), cell)
        sheet.autofilter(0, 0, max(row, 1), len(report_module._LIST_COLUMNS) - 1)


def bench_public(hits: list[Hit], runs: int, settings) -> None:
    """The list sheet through the native rows against xlsxwriter's public API, alternating."""
    hits = hits[:LIST_ROW_CAP]
    families = Families.of_records(h.record for h in hits)
    writers = {
        "native rows (today)": lambda path: _list_sheet(path, hits, families, settings, "native"),
        "public API, same cells": lambda path: _public_list_sheet(path, hits, families, settings),
        "public API, write_row floor": lambda path: _write_row_list_sheet(path, hits, families, settings),
    }
    medians, sizes = _alternate(writers, runs)
    _print_rates(f"list sheet, native rows against xlsxwriter's public API, {len(hits):,} rows, {runs} runs each, "
                 f"alternating, medians (deflate included)", len(hits), medians, sizes, "native rows (today)", False)
    print("  target for the public route: <= 1.20 x native, wall")


def bench_levels(hits: list[Hit], runs: int, settings) -> None:
    """The list sheet through the report's writer at each deflate level."""
    import zlib  # noqa: PLC0415

    from isal import isal_zlib  # noqa: PLC0415

    hits = hits[:LIST_ROW_CAP]
    families = Families.of_records(h.record for h in hits)

    def at(module, level: int) -> Callable[[Path], None]:
        def write(path: Path) -> None:
            xlsx_rows.isal_zlib, xlsx_rows.ZIP_LEVEL = module, level
            _list_sheet(path, hits, families, settings, "native")
        return write

    levels = {f"ISA-L {level}": at(isal_zlib, level) for level in range(4)}
    levels |= {f"zlib {level}": at(zlib, level) for level in (1, 6)}
    saved = xlsx_rows.isal_zlib, xlsx_rows.ZIP_LEVEL
    try:
        medians, sizes = _alternate(levels, runs)
    finally:
        xlsx_rows.isal_zlib, xlsx_rows.ZIP_LEVEL = saved
    print(f"list sheet through the report's writer at each deflate level, {len(hits):,} rows, {runs} runs, medians")
    print(f"  {'':14} {'wall s':>7} {'rows/s wall':>12} {'CPU s':>7} {'file KiB':>9} {'x zlib 6':>9}")
    for name, (wall, cpu) in medians.items():
        print(f"  {name:14} {wall:7.3f} {len(hits) / wall:12,.0f} {cpu:7.3f} {sizes[name] / 1024:9,.0f} "
              f"{sizes[name] / sizes['zlib 6']:9.2f}")


def bench_list_sheet(hits: list[Hit], runs: int, settings) -> None:
    hits = hits[:LIST_ROW_CAP]
    families = Families.of_records(h.record for h in hits)
    writers: dict[str, Callable[[Path], None]] = {
        writer: lambda path, writer=writer: _list_sheet(path, hits, families, settings, writer)
        for writer in ("native", "python", "xlsxwriter")
    }
    try:
        import rvgsrust_xlsxwriter  # noqa: F401, PLC0415 - optional peer
        writers["rvgsrust-xlsxwriter"] = lambda path: _rust_list_sheet(path, hits, families, settings)
    except ImportError:
        print("  (rvgsrust-xlsxwriter is not installed: no rust_xlsxwriter peer)")
    medians, sizes = _alternate(writers, runs)
    _print_rates(f"list sheet alone, {len(hits):,} rows, {runs} runs each, medians (deflate included)", len(hits),
                 medians, sizes, "xlsxwriter", True)
    print("  target: the report's writer >= 70,000 rows/s wall")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hits", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--synth", action="store_true", help="records of varnel_host.synth")
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--list-only", action="store_true", help="the list sheet alone, not the whole report")
    only.add_argument("--report-only", action="store_true", help="the whole report alone, not the list sheet")
    parser.add_argument("--levels", action="store_true", help="the list sheet at each deflate level")
    parser.add_argument("--public", action="store_true",
                        help="only the list sheet, native rows against xlsxwriter's public API")
    args = parser.parse_args()

    hits = synth_hits(args.hits) if args.synth else make_hits(args.hits)
    found = _Hits(hits)
    settings = {"文字大小比例": 1.2, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": _TOP}
    request = RunRequest(parse("(電池 OR battery)@TI,AB,CL AND AD=2015:2024"), read_settings(settings))
    if args.public:
        bench_public(hits, args.runs, request.settings)
        return
    if not args.report_only:
        bench_list_sheet(hits, args.runs, request.settings)
    if args.levels:
        bench_levels(hits, args.runs, request.settings)
    if args.list_only:
        return

    def report(path: Path) -> None:
        write_report(path.parent, request, gather(request, found)).path.replace(path)

    floor = "floor: xlsxwriter plain cells"
    medians, sizes = _alternate({"write_report": report, floor: lambda path: write_floor(hits, path)}, args.runs)
    kind = "varnel_host.synth" if args.synth else "mixed-script"
    print(f"report of {args.hits:,} {kind} list rows + {min(_TOP, args.hits)} closest, {args.runs} runs each, "
          f"medians (file {sizes['write_report'] / 1024:.0f} KiB)")
    print(f"  {'':29} {'wall s':>7} {'CPU s':>7} {'rows/s wall':>12} {'CPU':>7} {'s/10,000 rows wall':>19} {'CPU':>6}")
    for name, (wall, cpu) in medians.items():
        print(f"  {name:29} {wall:7.3f} {cpu:7.3f} {args.hits / wall:12,.0f} {args.hits / cpu:7,.0f} "
              f"{wall * 10_000 / args.hits:19.3f} {cpu * 10_000 / args.hits:6.3f}")
    (rw, rc), (fw, fc) = medians["write_report"], medians[floor]
    print(f"  ratio report / floor: wall {rw / fw:.2f}, CPU {rc / fc:.2f}   target: report <= 0.5 s per 10,000 rows")


if __name__ == "__main__":
    main()
