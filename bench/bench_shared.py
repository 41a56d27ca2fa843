"""The shared collection on a PostgreSQL server: searches while an import runs.

    .venv/bin/python bench/bench_shared.py [--database URL] [--records 100000]
        [--base 20000] [--searchers 8]

Loads `--base` synthetic records (varnel_host.synth, seed 1), then imports
`--records` more in batches of 5,000 while a second importer writes the first
20,000 of them at the same time (overlapping upserts) and `--searchers`
worker processes run the scale benchmark's commands in a loop, each search
with every row and the closest five, as the worker does. Every searcher also
checks, in one snapshot, that the records, their tokens, their postings and
the collection's statistics agree (a half-written batch would show). Prints the import rate,
each command kind's latency (wall-clock, p50 / p95 / max over all
searchers), the checks and the final counts.

--scale N: instead, the scale figures (import rate, size, each command's
search time) of N records on the server beside the SQLite file's.

Without --database a throw-away server is started (tests/pg_server.py) and
removed at the end. Also used by bench_scale.py --database for the scale
figures of the server store.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import statistics
import sys
import time
from pathlib import Path

from varnel_host import segment
from varnel_host.pg_query import Phrase, posted_ids
from varnel_host.pg_store import PgPatentStore, describe
from varnel_host.records import DEFAULT_FIELDS

BATCH = 5000
OVERLAP = 20_000


def _records(first: int, last: int):
    """Batches of the synthetic records [first, last) (first a multiple of BATCH)."""
    from bench_scale import batches

    for index, chunk in enumerate(batches(last)):
        if index * BATCH >= first:
            yield chunk


def load(url: str, first: int, last: int, times=None) -> float:
    """Import records [first, last); returns the seconds spent writing (generation not timed)."""
    seconds = 0.0
    with PgPatentStore(url) as store:
        for chunk in _records(first, last):
            started = time.perf_counter()
            store.write_batch(chunk)
            spent = time.perf_counter() - started
            seconds += spent
            if times is not None:
                times.append(spent)
    return seconds


def _importer(url, first, last, barrier, results, name) -> None:
    barrier.wait()
    times: list[float] = []
    seconds = load(url, first, last, times)
    results.put((name, last - first, seconds, times))


def _searcher(url, commands, barrier, done, results) -> None:
    # a common word's records from its live postings and from the tsvectors: the same in every snapshot
    word = Phrase(DEFAULT_FIELDS, segment.search_tokens("裝置")[0], False)
    posted, posted_params = posted_ids([word])
    found, found_params = word.condition()
    latencies: dict[str, list[float]] = {}
    checks = broken = 0
    with PgPatentStore(url) as store:
        barrier.wait()
        while not done.is_set():
            for kind, command in commands:
                started = time.perf_counter()
                result = store.search(command)
                for _ in result.rows():
                    pass
                result.closest(5)
                latencies.setdefault(kind, []).append(time.perf_counter() - started)
                del result
            with store.connection.transaction():
                store.connection.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
                agree = store.connection.execute(
                    "SELECT (SELECT count(*) FROM records) = (SELECT count(*) FROM patent_tokens) "
                    "AND (SELECT count(*) FROM records) = (SELECT count(*) FROM record_lengths) "
                    "AND (SELECT count(*) FROM records) = (SELECT coalesce(sum(records), 0) FROM index_stats) "
                    "AND (SELECT coalesce(sum(ntokens), 0) FROM patent_tokens) = (SELECT coalesce(sum(tokens), 0) FROM index_stats) "
                    f"AND (SELECT count(DISTINCT id) FROM ({posted}) p) = (SELECT count(*) FROM patent_tokens t WHERE {found})",
                    (*posted_params, *found_params),
                ).fetchone()[0]
            checks += 1
            broken += not agree
    results.put(("searcher", latencies, checks, broken))


def shared(url: str, base: int, n: int, searchers: int, commands) -> None:
    started = time.perf_counter()
    seconds = load(url, 0, base)
    print(f"{describe(url)}: {base:,} records loaded first ({base / seconds:,.0f} records/s, {time.perf_counter() - started:.0f} s)")
    context = multiprocessing.get_context("spawn")
    barrier, done, results = context.Barrier(searchers + 2), context.Event(), context.Queue()
    importers = [
        context.Process(target=_importer, args=(url, base, base + n, barrier, results, "import")),
        context.Process(target=_importer, args=(url, base, base + min(OVERLAP, n), barrier, results, "overlapping import")),
    ]
    workers = [context.Process(target=_searcher, args=(url, commands, barrier, done, results)) for _ in range(searchers)]
    for process in importers + workers:
        process.start()
    imports = [results.get() for _ in importers]
    done.set()
    searches = [results.get() for _ in workers]
    for process in importers + workers:
        process.join()
    for name, count, spent, times in imports:
        print(f"{name}: {count:,} records in {spent:,.1f} s = {count / spent:,.0f} records/s while searched; "
              f"batch of {BATCH:,}: median {statistics.median(times):.2f} s, max {max(times):.2f} s")
    print(f"{searchers} searchers, wall-clock ms per search (every row and the closest five):")
    print(f"{'kind':>20} {'runs':>6} {'p50':>9} {'p95':>9} {'max':>9}")
    for kind, _ in commands:
        values = sorted(ms for _, latencies, _, _ in searches for ms in latencies.get(kind, []))
        if values:
            p95 = values[min(len(values) - 1, int(0.95 * len(values)))]
            print(f"{kind:>20} {len(values):6} {values[len(values) // 2] * 1000:9.0f} {p95 * 1000:9.0f} {values[-1] * 1000:9.0f}")
    checks = sum(s[2] for s in searches)
    broken = sum(s[3] for s in searches)
    with PgPatentStore(url) as store:
        count = store.count()
        duplicates = store.connection.execute("SELECT count(*) - count(DISTINCT pn) FROM records").fetchone()[0]
    print(f"snapshot checks: {checks:,}, records / tokens / statistics disagreeing: {broken}")
    print(f"records at the end: {count:,} (expected {base + n:,}), stored twice: {duplicates}")


def _timed_search(store, command) -> tuple[int, float]:
    """(hits, wall-clock ms) of a search as the worker runs it: the best
    100,000 hits ranked, the list sheet's rows read, the closest five."""
    from varnel_host.report import LIST_ROW_CAP

    started = time.perf_counter()
    result = store.search(command, limit=LIST_ROW_CAP)
    for _ in result.list_rows():
        pass
    result.closest(5)
    return result.total, (time.perf_counter() - started) * 1000


def server_scale(url: str, n: int, commands, cache: Path, sqlite_path: Path | None = None) -> None:
    """The scale figures of the server store beside the SQLite file's (when
    given): import rate, database size, each command's search time."""
    from varnel_host.contract import StoreError
    from varnel_host.store import PatentStore

    facts_path = cache / f"pg-{n}.json"
    with PgPatentStore(url) as store:
        have = store.count()
    if have != n or not facts_path.exists():
        if have:
            raise SystemExit(f"{describe(url)} holds {have:,} records, not {n:,}: give an empty database")
        seconds = load(url, 0, n)
        facts_path.write_text(json.dumps({"rate": n / seconds}))
    rate = json.loads(facts_path.read_text())["rate"]
    with PgPatentStore(url) as store:
        store.connection.execute("VACUUM ANALYZE")
        size = store.connection.execute("SELECT pg_database_size(current_database())").fetchone()[0]
        print(f"PostgreSQL {describe(url)}: {n:,} records: import {rate:,.0f} records/s (COPY in batches of {BATCH:,}); "
              f"database {size / 2**20:,.0f} MiB")
        lite = PatentStore(sqlite_path) if sqlite_path else None
        print(f"{'kind':>20} {'hits':>9} {'server ms':>10} {'SQLite ms' if lite else '':>10}   (wall-clock)")
        for kind, command in commands:
            try:
                hits, ms = _timed_search(store, command)
            except (ValueError, StoreError) as error:  # refused at once, or beyond the statement time-out
                print(f"{kind:>20} {'refused' if isinstance(error, ValueError) else 'time-out':>9}   ({str(error)[:60]}…)")
                continue
            line = f"{kind:>20} {hits:9,} {ms:10.1f}"
            if lite is not None:
                lite_hits, lite_ms = _timed_search(lite, command)
                line += f" {lite_ms:10.1f}" + ("" if lite_hits == hits else f"  (SQLite: {lite_hits:,} hits)")
            print(line, flush=True)
        if lite is not None:
            lite.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--database", help="postgresql:// URL of an empty database (default: a throw-away server)")
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--base", type=int, default=20_000)
    parser.add_argument("--searchers", type=int, default=8)
    parser.add_argument("--scale", type=int, metavar="N", help="instead: the scale figures of N records beside SQLite's")
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "varnel-bench")
    parser.add_argument("--only", action="append", default=[], help="run only this command kind (repeatable)")
    args = parser.parse_args()
    from bench_scale import build_ours, command_set, similarity_commands

    if args.scale:
        tag = segment.VERSION.replace("/", "_")
        sqlite_path = args.cache / f"ours-{args.scale}-{tag}.sqlite3"
        build_ours(sqlite_path, args.scale)
    commands = [(kind, command) for kind, command in command_set() + similarity_commands() if args.scale or kind != "or of 800"]
    commands = [(kind, command) for kind, command in commands if not args.only or kind in args.only]
    server = None
    if args.database is None:
        sys.path.insert(0, str(Path(__file__).parents[1] / "tests"))
        from pg_server import Server

        server = Server(durable=True)
    try:
        url = args.database or server.new_database()
        if args.scale:
            server_scale(url, args.scale, commands, args.cache, sqlite_path)
        else:
            shared(url, args.base, args.records, args.searchers, commands)
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()
