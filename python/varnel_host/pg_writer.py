"""Writing records on the PostgreSQL server: the records, their tokens,
postings, codes and vocabulary, and the collection's totals.

A write is one transaction: the changed records are copied (COPY) into a
temporary table, then upserted on pn, so two imports of overlapping files at
once store each record once; a deadlock between them is retried. The
postings entries a write leaves stale are compacted afterwards (pg_compact).
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Sequence
from typing import NamedTuple

import psycopg
from psycopg import errors

from . import _postings, pn, segment
from .contract import BatchCounts, Cancelled, code_values
from .pg_query import GROUP_COLUMN, LEXEME_CHARS, group_text, lexemes
from .pg_schema import TOKEN_COLUMNS
from .records import ATTRIBUTES, TEXT_FIELDS, PatentRecord

CHUNK = 2000  # records written at a time
DEADLOCK_RETRIES = 5
_POSTED_CHUNK = 20_000  # records a chunk when postings are made for stored records
_STAGED = (*ATTRIBUTES, "number", *(f"x_{c}" for c in TOKEN_COLUMNS), "ntokens", "lexemes")


class Staged(NamedTuple):
    """What the staged records' tokens add: every token, and each record's text fields' tokens by pn."""

    tokens: set[str]
    texts: dict[str, tuple[str, ...]]


def write_all(db: psycopg.Connection, records: Sequence[PatentRecord], cancel: Callable[[], bool] | None) -> BatchCounts:
    """Write checked records in one transaction, retried when the server
    breaks a deadlock with another writer by aborting this one; Cancelled
    (the transaction rolled back) when cancel() is True before a chunk."""
    for attempt in itertools.count():
        try:
            with db.transaction():
                counts = [0, 0, 0]
                for start in range(0, len(records), CHUNK):
                    if cancel is not None and cancel():
                        raise Cancelled
                    write_chunk(db, records[start : start + CHUNK], counts)
            break
        except (errors.DeadlockDetected, errors.SerializationFailure):
            if attempt >= DEADLOCK_RETRIES:
                raise
    return BatchCounts(*counts)


def write_chunk(db: psycopg.Connection, chunk: Sequence[PatentRecord], counts: list[int]) -> None:
    """counts (added, updated, unchanged) as the SQLite store counts them:
    a pn met earlier in the chunk compares with that record."""
    stored = {
        row[0]: PatentRecord(*row)
        for row in db.execute(f"SELECT {', '.join(ATTRIBUTES)} FROM records WHERE pn = ANY(%s)", ([r.pn for r in chunk],))
    }
    final: dict[str, PatentRecord] = {}
    for record in chunk:
        before = final.get(record.pn, stored.get(record.pn))
        counts[0 if before is None else 2 if before == record else 1] += 1
        final[record.pn] = record
    changed = [record for number, record in final.items() if stored.get(number) != record]
    if changed:
        staged = stage(db, changed)
        batch = db.execute("SELECT nextval('postings_batch')").fetchone()[0]
        db.execute(
            f"INSERT INTO records ({', '.join(ATTRIBUTES)}, number, batch) "
            f"SELECT {', '.join(ATTRIBUTES)}, number, %s FROM varnel_staging ORDER BY ord "
            f"ON CONFLICT (pn) DO UPDATE SET {', '.join(f'{a} = EXCLUDED.{a}' for a in (*ATTRIBUTES, 'number', 'batch'))}",
            (batch,),
        )
        store_tokens(db, staged)
        ids = dict(db.execute("SELECT pn, id FROM records WHERE pn = ANY(%s)", ([r.pn for r in changed],)).fetchall())
        db.execute("DELETE FROM codes WHERE id = ANY(%s)", (list(ids.values()),))
        with db.cursor().copy('COPY codes (kind, value, id, given) FROM STDIN') as copy:
            for record in changed:
                for kind, value, given in code_values(record):
                    copy.write_row((kind, value, ids[record.pn], given))


def stage(db: psycopg.Connection, records: Sequence[PatentRecord]) -> Staged:
    """Copy records and their tokens into the temporary staging table."""
    columns = ", ".join(f"{a} text" for a in _STAGED[:-2])
    db.execute(
        f"CREATE TEMP TABLE IF NOT EXISTS varnel_staging (ord integer, {columns}, ntokens integer, lexemes text) "
        "ON COMMIT DELETE ROWS"
    )
    db.execute("DELETE FROM varnel_staging")
    staged = Staged(set(), {})
    with db.cursor().copy(f"COPY varnel_staging (ord, {', '.join(_STAGED)}) FROM STDIN") as copy:
        for position, record in enumerate(records):
            texts = staged.texts[record.pn] = segment.index_values(record)
            for text in texts:
                staged.tokens.update(text.split())
            copy.write_row(
                (position, *vars(record).values(), pn.number_part(record.pn), *(f" {text} " for text in texts),
                 sum(text.count(" ") + 1 for text in texts if text),
                 " ".join(lexemes(code, text) for code, text in zip(TEXT_FIELDS, texts)))
            )
    return staged


def store_tokens(db: psycopg.Connection, staged: Staged) -> None:
    """The staged records' tokens stored, and the collection's totals moved."""
    old_records, old_tokens = db.execute(
        "SELECT count(*), coalesce(sum(t.ntokens), 0) FROM record_lengths t "
        "JOIN records r ON r.id = t.id JOIN varnel_staging s ON s.pn = r.pn"
    ).fetchone()
    targets = ", ".join(TOKEN_COLUMNS)
    db.execute(
        f"INSERT INTO patent_tokens (id, {targets}, ntokens, lexemes) "
        f"SELECT r.id, {', '.join(f's.x_{c}' for c in TOKEN_COLUMNS)}, s.ntokens, s.lexemes::tsvector "
        "FROM varnel_staging s JOIN records r ON r.pn = s.pn "
        f"ON CONFLICT (id) DO UPDATE SET {', '.join(f'{c} = EXCLUDED.{c}' for c in (*TOKEN_COLUMNS, 'ntokens', 'lexemes'))}"
    )
    db.execute(
        "INSERT INTO index_stats (records, tokens) "
        "SELECT count(*) - %s, coalesce(sum(ntokens), 0) - %s FROM varnel_staging",
        (old_records, old_tokens),
    )
    db.execute(
        "INSERT INTO record_lengths (id, ntokens) SELECT r.id, s.ntokens FROM varnel_staging s JOIN records r ON r.pn = s.pn "
        "ON CONFLICT (id) DO UPDATE SET ntokens = EXCLUDED.ntokens"
    )
    written = db.execute("SELECT s.pn, r.id, r.batch FROM varnel_staging s JOIN records r ON r.pn = s.pn")
    post(db, [(record_id, batch, staged.texts[number]) for number, record_id, batch in written])
    # in one order, so that two importers adding the same tokens never wait on each other in a cycle
    db.execute("INSERT INTO vocabulary (token) SELECT unnest(%s::text[]) ON CONFLICT DO NOTHING", (sorted(staged.tokens),))


def post(db: psycopg.Connection, rows: Sequence[tuple[int, int, Sequence[str]]]) -> None:
    """The postings of records (id, batch, each text field's tokens), ids ascending."""
    for batch, group in itertools.groupby(sorted(rows, key=lambda row: (row[1], row[0])), key=lambda row: row[1]):
        records = [(row[0], (*row[2], group_text(dict(zip(TEXT_FIELDS, row[2]))))) for row in group]
        payload = _postings.copy_rows(batch, (*TOKEN_COLUMNS, GROUP_COLUMN), records, LEXEME_CHARS)
        with db.cursor().copy("COPY postings (lexeme, batch, ids, tfs) FROM STDIN") as copy:
            copy.write(payload)


def post_stored(db: psycopg.Connection, say: Callable[[str], None]) -> None:
    """Postings made for the stored records from their stored tokens (a
    collection written before the postings existed), with progress."""
    total = db.execute("SELECT count(*) FROM records").fetchone()[0]
    say(f"正在更新伺服器資料庫格式（詞頻索引）：共 {total:,} 筆專利…")
    db.execute("INSERT INTO record_lengths (id, ntokens) SELECT id, ntokens FROM patent_tokens ON CONFLICT DO NOTHING")
    reader = db.cursor(name="varnel_post_stored")
    reader.execute(f"SELECT r.id, r.batch, {', '.join(f't.{c}' for c in TOKEN_COLUMNS)} "
                   "FROM records r JOIN patent_tokens t ON t.id = r.id ORDER BY r.id")
    done = 0
    while batch := reader.fetchmany(_POSTED_CHUNK):
        post(db, [(row[0], row[1], row[2:]) for row in batch])
        done += len(batch)
        say(f"詞頻索引：{done:,} / {total:,} 筆")
    reader.close()


def reindex(db: psycopg.Connection) -> None:
    """Tokens made anew from the records with the current segmenter (inside
    the caller's transaction)."""
    db.execute("DELETE FROM patent_tokens")
    db.execute("DELETE FROM postings")
    db.execute("DELETE FROM stale_postings")
    db.execute("DELETE FROM record_lengths")
    db.execute("DELETE FROM index_stats")
    db.execute("DELETE FROM vocabulary")
    reader = db.cursor(name="varnel_reindex")
    reader.execute(f"SELECT {', '.join(ATTRIBUTES)} FROM records ORDER BY id")
    while batch := reader.fetchmany(CHUNK):
        store_tokens(db, stage(db, [PatentRecord(*row) for row in batch]))
    reader.close()
