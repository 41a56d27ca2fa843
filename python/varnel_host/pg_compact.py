"""Reclaiming the postings entries that records written again or removed
left behind on a PostgreSQL server (pg_store.py).

A record written again keeps its id: its old entries stay in the postings
rows of the import chunk (`batch`) that wrote them, and the records table's
trigger lists the pair (id, batch) in `stale_postings`; every read skips
those entries. Compaction rewrites, one batch at a time, the batch's rows
holding listed ids without them (the two arrays filtered in SQL, their order
kept), deletes the rows left with no id, and removes the batch's list, all in
one transaction: a search (one REPEATABLE READ snapshot) sees the batch
either as before, its stale entries listed and skipped, or as after, without
them, so its hits and scores are the same either way.

Concurrent writers: a batch is compacted under a transaction-level advisory
lock of its own, one batch per transaction, so two compactors of one batch
take turns and no transaction ever waits for a second lock. Importers only
insert postings and stale_postings rows (of batches of their own), which
no compactor locks; compactors never touch the records.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import astuple, dataclass

import psycopg

# the advisory-lock class of compaction (the first of the two keys of pg_advisory_xact_lock(int, int))
_LOCK_CLASS = 0x56_52_4C_43  # "VRLC"


@dataclass(frozen=True)
class Compacted:
    batches: int  # batches rewritten
    entries: int  # stale (id, batch) pairs reclaimed
    rows_removed: int  # postings rows left without ids and deleted
    rows_rewritten: int  # postings rows rewritten without the stale ids

    def __add__(self, other: Compacted) -> Compacted:
        return Compacted(*(a + b for a, b in zip(astuple(self), astuple(other))))


@dataclass(frozen=True)
class StaleShare:
    """How much of the postings is stale: listed (id, batch) pairs, their
    array entries among all entries, and the postings rows."""

    listed: int
    stale_entries: int
    entries: int
    rows: int

    @property
    def percent(self) -> str:
        """The stale share of the entries, as shown: a whole percent, "不到 1" for a small non-zero share."""
        if not self.stale_entries:
            return "0"
        share = round(100 * self.stale_entries / self.entries)
        return str(share) if share else "不到 1"


def stale_batches(db: psycopg.Connection) -> list[int]:
    """The batches with stale entries, ascending."""
    return [row[0] for row in db.execute("SELECT DISTINCT batch FROM stale_postings ORDER BY batch")]


def compact_batch(db: psycopg.Connection, batch: int) -> Compacted:
    """Rewrite one batch's postings without its stale ids, in one transaction
    (the connection in autocommit mode)."""
    with db.transaction():
        db.execute("SELECT pg_advisory_xact_lock(%s, %s)", (_LOCK_CLASS, batch % 2**31))
        dead = sorted(row[0] for row in db.execute("DELETE FROM stale_postings WHERE batch = %s RETURNING id", (batch,)))
        if not dead:  # compacted meanwhile by another writer
            return Compacted(0, 0, 0, 0)
        # The array of stale ids is a bound value of an unnamed statement
        # (prepare=False): planned with it as a constant, `= ANY` and `<> ALL`
        # look ids up in a hash table, not in a scan of the array.
        removed = db.execute(
            "DELETE FROM postings p WHERE p.batch = %s "
            "AND NOT EXISTS (SELECT FROM unnest(p.ids) AS u(id) WHERE u.id <> ALL(%s::integer[]))",
            (batch, dead), prepare=False,
        ).rowcount
        rewritten = db.execute(
            "UPDATE postings p SET (ids, tfs) = (SELECT array_agg(u.id ORDER BY u.n), array_agg(u.tf ORDER BY u.n) "
            "FROM unnest(p.ids, p.tfs) WITH ORDINALITY AS u(id, tf, n) WHERE u.id <> ALL(%s::integer[])) "
            "WHERE p.batch = %s AND EXISTS (SELECT FROM unnest(p.ids) AS u(id) WHERE u.id = ANY(%s::integer[]))",
            (dead, batch, dead), prepare=False,
        ).rowcount
    return Compacted(1, len(dead), removed, rewritten)


def compact(
    db: psycopg.Connection,
    progress: Callable[[str], None] | None = None,
    cancel: Callable[[], bool] | None = None,
    batches: list[int] | None = None,
) -> Compacted:
    """Compact every batch with stale entries (or the given `batches`), one
    transaction each; stops between two batches once cancel() is True (what is
    left stays listed and skipped by every read). `progress` hears how far it
    got, at each tenth of the batches."""
    batches = stale_batches(db) if batches is None else batches
    total = Compacted(0, 0, 0, 0)
    shown = -1
    for done, batch in enumerate(batches, 1):
        if cancel is not None and cancel():
            break
        total += compact_batch(db, batch)
        if progress is not None and done * 10 // len(batches) != shown:
            shown = done * 10 // len(batches)
            progress(f"回收舊索引項目：{done:,} / {len(batches):,} 批，已回收 {total.entries:,} 筆")
    return total


def stale_share(db: psycopg.Connection) -> StaleShare:
    """The stale share of the postings, counted in one snapshot (reads every
    postings row: a full check's cost)."""
    with db.transaction():
        db.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
        listed = db.execute("SELECT count(*) FROM stale_postings").fetchone()[0]
        rows, entries = db.execute("SELECT count(*), coalesce(sum(cardinality(ids)), 0) FROM postings").fetchone()
        stale = db.execute(
            "SELECT count(*) FROM stale_postings s JOIN "
            "(SELECT p.batch, u.id FROM postings p CROSS JOIN LATERAL unnest(p.ids) AS u(id) "
            " WHERE p.batch IN (SELECT batch FROM stale_postings)) e ON e.batch = s.batch AND e.id = s.id"
        ).fetchone()[0] if listed else 0
    return StaleShare(listed, stale, entries, rows)
