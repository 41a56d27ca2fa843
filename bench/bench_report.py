"""Time writing an XLSX report: `python bench/bench_report.py [--hits 1000] [--runs 7]`.

The hits carry mixed Chinese/Latin text of typical patent lengths, so most
cells are rich strings of several runs. Prints the median, fastest and slowest
run, and the file size.
"""

from __future__ import annotations

import argparse
import random
import statistics
import tempfile
import time
from datetime import datetime, timedelta
from pathlib import Path

from varnel_host.query import parse
from varnel_host.records import Hit, PatentRecord
from varnel_host.report import read_settings, write_report
from varnel_host.request import RunRequest

_WORDS = ["鋰電池", "正極材料", "battery", "固態電解質", "cathode", "隔離膜", "LiFePO4", "散熱模組", "sensor", "控制單元"]


def _sentence(rng: random.Random, words: int) -> str:
    return "".join(rng.choice(_WORDS) + rng.choice(["，", " ", "、", "（A1）", "; "]) for _ in range(words)) + "。"


def make_hits(count: int, seed: int = 7) -> list[Hit]:
    rng = random.Random(seed)
    hits = []
    for n in range(count):
        claims = "\n".join(f"{i}. {_sentence(rng, 25)}" for i in range(1, 6))
        record = PatentRecord(
            pn=f"TW{100000 + n}B",
            title=_sentence(rng, 4),
            abstract=_sentence(rng, 60),
            claims=claims,
            applicants="甲乙科技股份有限公司; ACME Battery Inc.",
            inventors="王小明; John Smith",
            ipc="H01M 10/0525; H01M 4/58",
            an=f"1091{n:05d}",
            ad=(datetime(2015, 1, 1) + timedelta(days=n)).strftime("%Y%m%d"),
            pd=(datetime(2016, 6, 1) + timedelta(days=n)).strftime("%Y%m%d"),
        )
        hits.append(Hit(record, rng.uniform(0, 30), ("電池", "battery")))
    return hits


class _Hits:
    """The hits as a search result hands them to the report."""

    def __init__(self, hits: list[Hit]) -> None:
        self.hits, self.total = hits, len(hits)

    def rows(self):
        return iter(self.hits)

    def closest(self, n: int) -> list[Hit]:
        return self.hits[:n]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hits", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    hits = _Hits(sorted(make_hits(args.hits), key=lambda hit: -hit.score))
    settings = {"文字大小比例": 1.2, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 100}
    request = RunRequest(parse("(電池 OR battery)@TI,AB,CL AND AD=2015:2024"), read_settings(settings))
    times = []
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.runs):
            start = time.perf_counter()
            result = write_report(Path(folder), request, hits)
            times.append(time.perf_counter() - start)
        size = result.path.stat().st_size
    print(f"report of {args.hits} hits, {args.runs} runs:")
    print(f"  median  {statistics.median(times) * 1000:8.1f} ms")
    print(f"  fastest {min(times) * 1000:8.1f} ms")
    print(f"  slowest {max(times) * 1000:8.1f} ms")
    print(f"  file    {size / 1024:8.1f} KiB")


if __name__ == "__main__":
    main()
