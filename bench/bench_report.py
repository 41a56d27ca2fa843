"""Time writing an XLSX report: `python bench/bench_report.py [--hits 10000] [--runs 5] [--synth]`.

The hits carry mixed Chinese/Latin text of typical patent lengths, so most
cells are rich strings of several runs; the closest sheet holds 100 hits with
abstract and claims. `--synth` takes the records of `varnel_host.synth` (seed 1)
instead: distinct titles, many applicants and IPC codes, as a real collection. Each run writes the whole report through `write_report`.
The floor is xlsxwriter alone writing the same values into the same sheets as
plain cells (every text one string in one format, constant-memory mode): what
any report of these rows costs before fonts per run. The two alternate so that
the machine's drift hits both. Prints medians of wall and CPU time, list rows
per second, seconds per 10,000 rows and the ratio report / floor.
"""

from __future__ import annotations

import argparse
import dataclasses
import io
import random
import statistics
import tempfile
import time
from datetime import date, datetime, timedelta
from pathlib import Path

import xlsxwriter

from varnel_host.query import parse
from varnel_host.records import Hit, PatentRecord
from varnel_host.report import LIST_SHEET, TOP_SHEET, write_report
from varnel_host.settings import read_settings
from varnel_host.request import RunRequest
from varnel_host.facets import Facets
from varnel_host.families import Families
from varnel_host.synth import generate

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


class _Hits:
    """The hits as a search result hands them to the report."""

    def __init__(self, hits: list[Hit]) -> None:
        self.hits, self.total = hits, len(hits)

    def rows(self):
        return iter(self.hits)

    def closest(self, n: int) -> list[Hit]:
        return self.hits[:n]

    def closest_families(self, n: int) -> list[Hit]:
        return self.hits[:n]

    def families(self) -> Families:
        return Families((h.record.pn, h.record.an, h.record.family, h.record.members) for h in self.hits)

    def cited_by(self, numbers: list[str]) -> dict[str, int]:
        return dict.fromkeys(numbers, 0)

    def facets(self, top: int = 10) -> Facets:
        return Facets.of_records((hit.record for hit in self.hits), top)


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


def write_floor(hits: list[Hit]) -> int:
    """The same list and closest rows as plain cells, one format; returns the bytes written."""
    stream = io.BytesIO()
    with xlsxwriter.Workbook(stream, {"constant_memory": True}) as book:
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
    return len(stream.getvalue())


def _timed(work) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hits", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--synth", action="store_true", help="records of varnel_host.synth")
    args = parser.parse_args()

    hits = synth_hits(args.hits) if args.synth else make_hits(args.hits)
    found = _Hits(hits)
    settings = {"文字大小比例": 1.2, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": _TOP}
    request = RunRequest(parse("(電池 OR battery)@TI,AB,CL AND AD=2015:2024"), read_settings(settings))
    report: list[tuple[float, float]] = []
    floor: list[tuple[float, float]] = []
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.runs):
            report.append(_timed(lambda: write_report(Path(folder), request, found)))
            floor.append(_timed(lambda: write_floor(hits)))
        size = max(path.stat().st_size for path in Path(folder).glob("*.xlsx"))

    kind = "varnel_host.synth" if args.synth else "mixed-script"
    print(f"report of {args.hits:,} {kind} list rows + {min(_TOP, args.hits)} closest, {args.runs} runs each, "
          f"medians (file {size / 1024:.0f} KiB)")
    print(f"  {'':29} {'wall s':>7} {'CPU s':>7} {'rows/s wall':>12} {'CPU':>7} {'s/10,000 rows wall':>19} {'CPU':>6}")
    medians = {}
    for name, times in (("write_report", report), ("floor: xlsxwriter plain cells", floor)):
        wall = statistics.median(t[0] for t in times)
        cpu = statistics.median(t[1] for t in times)
        medians[name] = (wall, cpu)
        print(f"  {name:29} {wall:7.3f} {cpu:7.3f} {args.hits / wall:12,.0f} {args.hits / cpu:7,.0f} "
              f"{wall * 10_000 / args.hits:19.3f} {cpu * 10_000 / args.hits:6.3f}")
    (rw, rc), (fw, fc) = medians.values()
    print(f"  ratio report / floor: wall {rw / fw:.2f}, CPU {rc / fc:.2f}   target: report <= 0.5 s per 10,000 rows")


if __name__ == "__main__":
    main()
