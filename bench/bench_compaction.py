"""Stale postings left by records imported again, and what compacting them costs.

    .venv/bin/python bench/bench_compaction.py [--records 20000] [--imports 4]

Imports --records synthetic records (varnel_host.synth, seed 1, in batches of
5,000 as the importer writes them) --imports times, each time from a "newer
export" (the legal status changed: every record and its postings are
written again), into two fresh databases of one throw-away server (fsync on):
first with the compaction after each write switched off (as before it
existed), then as shipped. Prints after each import its seconds (the
compaction's share apart) and the postings' rows, entries, stale pairs and
size (pg_total_relation_size: table, TOAST and indexes); then, on the first
database, `rebuild-index`'s compaction (time, rows, size), one more import
into it (the space its VACUUM freed is reused) and the size after VACUUM
FULL for reference. Wall-clock; nothing asserted.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
import time
from pathlib import Path

from varnel_host import synth
from varnel_host.pg_store import PgPatentStore

BATCH = 5000
STATUSES = ("", "有效", "消滅", "有效", "消滅", "有效")


def figures(store: PgPatentStore) -> str:
    rows, entries, size = store.connection.execute(
        "SELECT count(*), coalesce(sum(cardinality(ids)), 0), pg_total_relation_size('postings') FROM postings"
    ).fetchone()
    stale = store.connection.execute("SELECT count(*) FROM stale_postings").fetchone()[0]
    return f"postings {rows:>10,} rows {entries:>12,} entries {size / 2**20:>8.1f} MiB, stale pairs {stale:>7,}"


def imports(url: str, records: list, times: int, compacting: bool, first: int = 0) -> None:
    spent = [0.0]
    with PgPatentStore(url) as store:
        reclaim = store._reclaim

        def timed(cancel=None):
            started = time.perf_counter()
            try:
                return reclaim(cancel) if compacting else None
            finally:
                spent[0] += time.perf_counter() - started

        store._reclaim = timed
        for number in range(first, first + times):
            version = [dataclasses.replace(record, status=STATUSES[number % len(STATUSES)]) for record in records]
            spent[0] = 0.0
            started = time.perf_counter()
            for start in range(0, len(version), BATCH):
                store.write_batch(version[start : start + BATCH])
            seconds = time.perf_counter() - started
            print(f"  import {number + 1}: {seconds:6.1f} s (compaction {spent[0]:5.1f} s)  {figures(store)}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=20_000)
    parser.add_argument("--imports", type=int, default=4)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(__file__).parents[1] / "tests"))
    from pg_server import Server

    records = list(synth.generate(args.records, seed=1))
    server = Server(durable=True)
    try:
        kept, compacted = server.new_database(), server.new_database()
        print(f"{args.records:,} records imported {args.imports} times, compaction off", flush=True)
        imports(kept, records, args.imports, compacting=False)
        print(f"{args.records:,} records imported {args.imports} times, compaction after each write", flush=True)
        imports(compacted, records, args.imports, compacting=True)
        with PgPatentStore(kept) as store:
            started = time.perf_counter()
            done = store.compact_postings()
            print(f"rebuild-index on the first (with its VACUUM): {time.perf_counter() - started:.1f} s, "
                  f"{done.entries:,} pairs, {done.batches} batches  {figures(store)}")
        print("one more import into the first, compaction after each write (the space freed is reused)", flush=True)
        imports(kept, records, 1, compacting=True, first=args.imports)
        with PgPatentStore(kept) as store:
            store.connection.execute("VACUUM FULL postings")
            print(f"  after VACUUM FULL: {figures(store)}")
        with PgPatentStore(compacted) as store:
            store.connection.execute("VACUUM FULL postings")
            print(f"the second after VACUUM FULL: {figures(store)}")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
