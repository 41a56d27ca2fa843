"""Search benchmark: import synthetic records, then time varied commands.

    .venv/bin/python bench/bench_search.py [--records 100000] [--limit 50]

Prints the import rate and the median / p95 / max latency of about 200
commands (each run once, after one warm-up pass), overall and per kind.
"""

from __future__ import annotations

import argparse
import random
import statistics
import tempfile
import time
from pathlib import Path

from varnel_host import synth
from varnel_host.store import PatentStore
from varnel_host.loading import add_records


def commands(seed: int = 7) -> list[tuple[str, str]]:
    """(kind, command) pairs drawn from the synthetic vocabulary."""
    rng = random.Random(seed)
    noun = lambda: rng.choice(synth.MODIFIERS) + rng.choice(synth.HEADS)  # noqa: E731
    head = lambda: rng.choice(synth.HEADS)  # noqa: E731
    english = lambda: rng.choice(synth.ENGLISH)  # noqa: E731
    year = lambda: rng.randint(2001, 2024)  # noqa: E731

    def years() -> str:
        first = year()
        return f"{first}:{first + rng.randint(0, 8)}"

    makers = {
        "compound": lambda: noun(),
        "two-char": lambda: rng.choice([h for heads in synth.TOPIC_HEADS for h in heads if len(h) == 2]),
        "generic word": lambda: rng.choice(synth.GENERIC_HEADS),
        "one-char": lambda: rng.choice("池極板膜片路材管門架"),
        "latin": lambda: english(),
        "truncation": lambda: rng.choice([f"{english()[:4]}*", f"IC={rng.choice(synth.SUBCLASSES)}*", f"IC={rng.choice(synth.SUBCLASSES)}1*"]),
        "field group": lambda: f"({head()} OR {english()})@TI,AB",
        "date range": lambda: f"{head()} AND AD={years()}",
        "date only": lambda: rng.choice([f"AD={year()}", f"ID={years()}", f"AD={year()}:"]),
        "not": lambda: f"{head()} NOT {head()}",
        "phrase": lambda: f'"{noun()} {rng.choice(synth.VERBS)}"',
        "or of three": lambda: f"{noun()} OR {head()} OR {english()}",
        "mixed": lambda: f"TI=({head()} OR {english()}) AND ({noun()} NOT {head()}) AND AD=2010:2020",
        "applicant": lambda: f"PA={''.join(rng.sample(synth.SYLLABLES, 2))}",
        "or with date": lambda: f"{noun()} OR AD={year()}0315",
    }
    out = []
    for _ in range(15):
        out += [(kind, make()) for kind, make in makers.items()]
    return out


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--limit", type=int, default=50)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bench.sqlite3"
        records = list(synth.generate(args.records, seed=1))
        with PatentStore(path) as store:
            started = time.perf_counter()
            report = add_records(store, records)
            seconds = time.perf_counter() - started
            size = path.stat().st_size / 2**20
            print(f"import: {report.added} records in {seconds:.1f} s = {report.added / seconds:,.0f} records/s; database {size:.0f} MiB")
            work = commands()
            for _, command in work:  # warm the page cache
                store.search(command, limit=args.limit)
            times: dict[str, list[float]] = {}
            totals = []
            for kind, command in work:
                started = time.perf_counter()
                result = store.search(command, limit=args.limit)
                times.setdefault(kind, []).append((time.perf_counter() - started) * 1000)
                totals.append(result.total)
    every = [t for values in times.values() for t in values]
    print(f"{len(every)} commands, limit {args.limit}, median hits {statistics.median(totals):,.0f}")
    print(f"{'all':>14}: median {statistics.median(every):6.1f} ms  p95 {percentile(every, 0.95):6.1f} ms  max {max(every):6.1f} ms")
    for kind, values in times.items():
        print(f"{kind:>14}: median {statistics.median(values):6.1f} ms  p95 {percentile(values, 0.95):6.1f} ms  max {max(values):6.1f} ms")


if __name__ == "__main__":
    main()
