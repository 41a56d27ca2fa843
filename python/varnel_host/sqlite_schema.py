"""The SQLite file's tables: their definitions, the rows' encoding, the
upgrade of an older file, the full check and the index rebuild.

Tables: `records` (one row per patent, `pn` unique; empty dates are "")
holding the fields a hit list shows, `texts` (same id) holding the long
texts, abstract, claims and the abstract in other languages, zlib-compressed
in one blob (read only for the closest hits and full records, so listing
rows never steps over them), and
INDEX_TABLE, a contentless FTS5 table with one column per text field holding
segment.index_values() of the record, rowid = records.id (no prefix index:
it doubled the index and halved the import rate, while a one-character
word's prefix query only merges the few bigrams that start with it). Both
are written in the same transactions, so they stay in step.
`records.number` is the number part of pn (pn.number_part()), indexed, for
PN= searches. PRAGMA user_version holds SCHEMA_VERSION; `meta` holds
INDEX_VERSION, the segmentation and index definition the index was built
with: when it changes, the index is rebuilt from the records once, in one
transaction (a contentless index can only forget a row given the tokens it
was built from, so it is never updated with other ones).

`codes` holds each record's code_values() rows (CPC symbols, cited
publications, listed family members, the values of its legal status and
document type), one B-tree keyed on (kind, value, id)
for CPC=, CT= and FAM=; an update or a removal deletes the rows of the
record as it was stored.

The upgrade steps run in order from the file's version: 1 -> 2 adds `meta`
and `records.number`; 2 -> 3 moves abstract and claims, compressed, to
`texts`; 3 -> 4 adds the bibliographic columns (priority, CPC, family,
citations, legal status, document type; empty until a file is imported
again) and `codes`; 4 -> 5 makes the index of priority dates cover the filing
date, so that a PRD= command lists its hits by filing date without reading
their rows; 5 -> 6 does the same for publication dates (ID=); 6 -> 7 adds
the title in other languages to `records` and two index columns, for the
title and the abstract in other languages (the index is rebuilt with them,
INDEX_VERSION naming its columns; a blob written before holds no abstract in
other languages and is read as it is); 7 -> 8 adds `term_pairs`, the bilingual word pairs mined from the
collection's records at the end of an import (terms/mining.py), with the
stamp of their last replacement in `meta`; 8 -> 9 adds the `codes` rows of the
stored legal statuses and document types, the values LS= and DT= compare
(field_values.py), with progress past UPGRADE_STEPS records.
"""

from __future__ import annotations

import sqlite3
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager

from . import pn, segment
from .contract import NORMALISED_FIELDS, StoreError, code_values, remake_normalised
from .records import (
    ATTRIBUTES, DATE_ATTRIBUTES, LISTED_ATTRIBUTES, LONG_ATTRIBUTES, REGISTRY, TEXT_FIELDS, UNREADABLE, UNREADABLE_PROBLEM, PatentRecord,
    named_numbers, unreadable,
)

SCHEMA_VERSION = 9
KNOWN_VERSIONS = range(SCHEMA_VERSION + 1)  # 0: a new file
INDEX_VERSION = f"{segment.VERSION}/fts5-contentless-noprefix/{'+'.join(REGISTRY[code].column for code in TEXT_FIELDS)}"
INDEX_TABLE = "patent_index"
INDEX_BUFFER_BYTES = 32 * 1024 * 1024
# FTS5 merges this many index segments of a level into one (its default 4):
# a bulk import rewrites each entry half as often; searches read at most 7
# segments a level (their results do not depend on the segments).
INDEX_AUTOMERGE = 8
TEXT_LEVEL = 6  # zlib level of the long texts
CACHE_KIB = 64 * 1024  # SQLite page cache per connection
UPGRADE_STEPS = 50_000  # records between progress lines of a schema upgrade or of an index rebuild
CHUNK = 1000  # records read or written at a time
FAMILY_ATTRIBUTES = ("family", "an")  # a family is found by these (FAM=)
# Indexed columns with the columns each index also holds: hits without a
# word are listed by filing date (ad), read from the index itself.
INDEX_COLUMNS = {"prd": "prd, ad", "pd": "pd, ad"}
# The indexes whose columns changed at each version, made anew by its upgrade.
_REINDEXED = {5: ("prd",), 6: ("pd",)}

# record_of() builds records positionally: title, abstract and claims follow
# pn, abstract_alt ends the attributes, the others are the listed columns.
assert ATTRIBUTES[2:4] == LONG_ATTRIBUTES[:2] and ATTRIBUTES[-1] == LONG_ATTRIBUTES[2]
LISTED_COLUMNS = ", ".join(LISTED_ATTRIBUTES)
# Every field of a record: its listed columns and the packed long texts (read with full_records()).
# The texts blob as read: cast, so that a body whose stored type a damaged byte
# turned to TEXT still comes as bytes (unpack then finds it unreadable).
BODY = "CAST(t.body AS BLOB)"
FULL_RECORD_SQL = f"SELECT r.id, {', '.join(f'r.{a}' for a in LISTED_ATTRIBUTES)}, {BODY} FROM records r LEFT JOIN texts t ON t.id = r.id"

Transaction = Callable[[], AbstractContextManager[None]]
Progress = Callable[[str], None] | None


DOCUMENT_LENGTH = "varnel_document_length"  # SQL function (store.py): a record's tokens from its row of the index's sizes


def _varints(blob: bytes) -> Iterator[int]:
    """The numbers of an FTS5 record in SQLite's varints: 7 bits a byte, the
    high bit set while more follow, a ninth byte taken whole."""
    at = 0
    while at < len(blob):
        value = 0
        for place in range(9):
            byte = blob[at]
            at += 1
            if place == 8:
                value = value << 8 | byte
                break
            value = value << 7 | byte & 0x7F
            if byte < 0x80:
                break
        yield value


def document_length(sizes: bytes | None) -> int:
    """A record's tokens in all columns (its row of the index's sizes, which FTS5's bm25 reads)."""
    return sum(_varints(sizes or b""))


def index_totals(db: sqlite3.Connection) -> tuple[int, int]:
    """The indexed records and their tokens as FTS5's bm25 counts them (the index's averages record)."""
    row = db.execute(f"SELECT block FROM {INDEX_TABLE}_data WHERE id = 1").fetchone()
    if row is None:
        return 0, 0
    records, *columns = _varints(row[0])
    return records, sum(columns)


def index_column(code: str) -> str:
    """The FTS5 column of a text field code."""
    return REGISTRY[code].column


_INDEX_COLUMNS = ", ".join(map(index_column, TEXT_FIELDS))
_INDEX_MARKS = ", ".join("?" * (len(TEXT_FIELDS) + 1))


# --- rows ----------------------------------------------------------------------


# The high bit of the abstract's length: the other languages' abstract follows
# the length, its own length first. A blob without it (every record without
# such an abstract, and every blob written before there were any) is
# abstract and claims alone.
_ALTERNATE = 1 << 31


def pack(abstract: str, claims: str, abstract_alt: str = "") -> bytes:
    """The long texts as one zlib-compressed blob: the abstract's UTF-8
    length (4 bytes, little-endian); with an abstract in other languages, its
    length (same form) and the _ALTERNATE bit set in the first; the abstract,
    the other languages' abstract, the claims."""
    first = abstract.encode()
    if not abstract_alt:
        return zlib.compress(len(first).to_bytes(4, "little") + first + claims.encode(), TEXT_LEVEL)
    other = abstract_alt.encode()
    head = (len(first) | _ALTERNATE).to_bytes(4, "little") + len(other).to_bytes(4, "little")
    return zlib.compress(head + first + other + claims.encode(), TEXT_LEVEL)


def unpack(body: bytes | None) -> tuple[str, str, str]:
    """Abstract, claims and the other languages' abstract of a packed blob
    (LONG_ATTRIBUTES order); all three records.UNREADABLE when its bytes are
    damaged (the record's other fields stay usable)."""
    if body is None:
        return "", "", ""
    try:
        data = zlib.decompress(body)
        length = int.from_bytes(data[:4], "little")
        start, other = (8, int.from_bytes(data[4:8], "little")) if length & _ALTERNATE else (4, 0)
        end = start + (length & ~_ALTERNATE)
        if len(data) < end + other:
            raise ValueError("the abstracts' lengths run past the blob")
        return data[start:end].decode(), data[end + other :].decode(), data[end : end + other].decode()
    except (zlib.error, TypeError, ValueError):  # UnicodeDecodeError is a ValueError
        return UNREADABLE, UNREADABLE, UNREADABLE


_new_object = object.__new__


def record_of(row: Sequence) -> PatentRecord:
    """A record from its `records` columns (LISTED_ATTRIBUTES order) and its
    texts blob (None: the long texts left empty). Made without the
    frozen dataclass's __init__, which sets one field at a time through
    object.__setattr__, a third of the time of a streamed row."""
    record = _new_object(PatentRecord)
    abstract, claims, abstract_alt = unpack(row[-1])
    record.__dict__.update(zip(ATTRIBUTES, (row[0], row[1], abstract, claims, *row[2:-1], abstract_alt)))
    return record


def full_records(rows: Iterable[Sequence]) -> Iterator[tuple[int, PatentRecord]]:
    """(id, record) of rows selected by FULL_RECORD_SQL."""
    for row in rows:
        yield row[0], record_of(row[1:])


def listed_values(record: PatentRecord) -> tuple[str, ...]:
    return tuple(getattr(record, a) for a in LISTED_ATTRIBUTES)


def add_to_index(db: sqlite3.Connection, rows: Iterable[tuple[int, Sequence[str]]]) -> None:
    """Index (id, segment.index_values() of the record) rows."""
    db.executemany(
        f"INSERT INTO {INDEX_TABLE} (rowid, {_INDEX_COLUMNS}) VALUES ({_INDEX_MARKS})",
        ((record_id, *values) for record_id, values in rows),
    )


def forget(db: sqlite3.Connection, rows: Iterable[tuple[int, PatentRecord]]) -> None:
    """Take (id, record as it was indexed) rows out of the index: a
    contentless FTS5 table forgets a row given the values it indexed. A
    record whose texts are unreadable cannot give them: it is left as it is
    (rebuild_index leaves such records out of the index)."""
    db.executemany(
        f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rowid, {_INDEX_COLUMNS}) VALUES ('delete', {_INDEX_MARKS})",
        ((record_id, *segment.index_values(record)) for record_id, record in rows if not unreadable(record)),
    )


def _count(db: sqlite3.Connection) -> int:
    return db.execute("SELECT count(*) FROM records").fetchone()[0]


# --- creating and upgrading ------------------------------------------------------


def _unsupported(path: str, version: int) -> StoreError:
    return StoreError(f"資料庫「{path}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）")


def is_current(db: sqlite3.Connection, path: str) -> bool:
    """Whether the file needs no upgrade; StoreError for a version this program does not know."""
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version not in KNOWN_VERSIONS:
        raise _unsupported(path, version)
    return version == SCHEMA_VERSION and _segmentation(db) == INDEX_VERSION


def ensure(db: sqlite3.Connection, path: str, transaction: Transaction, progress: Progress) -> None:
    """Create the tables of a new file, or bring an older file up to
    SCHEMA_VERSION and INDEX_VERSION in one transaction (`progress` gets
    Chinese lines on long upgrades)."""
    if is_current(db, path):
        return
    # Checked again under the write lock: another process may have just
    # created or rebuilt the database.
    with transaction():
        version = db.execute("PRAGMA user_version").fetchone()[0]
        upgraded = version in (1, 2)
        if version not in KNOWN_VERSIONS:
            raise _unsupported(path, version)
        if version != 0:
            _add_columns(db)
        if version == 0:
            _create(db)
        elif version == 1:
            db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
            db.execute("ALTER TABLE records ADD COLUMN number TEXT NOT NULL DEFAULT ''")
            db.executemany(
                "UPDATE records SET number = ? WHERE id = ?",
                [(pn.number_part(number), record_id) for record_id, number in db.execute("SELECT id, pn FROM records")],
            )
            db.execute("CREATE INDEX records_number ON records (number)")
        if upgraded:
            _narrow_records(db, progress)
        if version in (1, 2, 3):
            _create_codes(db)
        if version in (4, 5):
            if progress is not None:
                progress("正在更新資料庫格式（日期索引）…")
            for later in range(version + 1, SCHEMA_VERSION + 1):
                for attribute in _REINDEXED.get(later, ()):
                    db.execute(f"DROP INDEX records_{attribute}")
            _create_record_indexes(db)
        if 0 < version < 8:
            _create_term_pairs(db)
        if 0 < version < 9:
            _remake_normalised(db, progress)
        if _segmentation(db) != INDEX_VERSION:
            _rebuild_index(db, progress if version else None)
        db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
    if upgraded:
        _compact(db, path, progress)
        if progress is not None:
            progress(f"資料庫格式已升級：{_count(db):,} 筆專利")


def _compact(db: sqlite3.Connection, path: str, progress: Progress) -> None:
    """Give back the pages an upgrade freed (the long texts took twice the
    room uncompressed). Skipped while another process reads the file: the
    free pages are then reused by later writes."""
    if path == ":memory:":
        return
    if progress is not None:
        progress("正在整理資料庫檔案，釋出升級後多出的空間…")
    try:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        db.execute("VACUUM")
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    except sqlite3.OperationalError as error:
        if progress is not None:
            progress(f"資料庫檔案未整理（{error}）；資料完整，空出的空間會在之後匯入時再利用")


def _segmentation(db: sqlite3.Connection) -> str | None:
    row = db.execute("SELECT value FROM meta WHERE key = 'segmentation'").fetchone()
    return row[0] if row else None


def _create(db: sqlite3.Connection) -> None:
    _create_records(db, "records")
    _create_record_indexes(db)
    _create_codes(db)
    db.execute("CREATE TABLE texts (id INTEGER PRIMARY KEY, body BLOB NOT NULL)")
    db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
    _create_term_pairs(db)
    _create_index(db)


def _create_term_pairs(db: sqlite3.Connection) -> None:
    """One row per mined pair (contract.TermPair); `records` its source publication numbers, "; "-separated."""
    db.execute(
        "CREATE TABLE IF NOT EXISTS term_pairs (zh TEXT NOT NULL, en TEXT NOT NULL, forward REAL NOT NULL, backward REAL NOT NULL, "
        "count INTEGER NOT NULL, records TEXT NOT NULL, PRIMARY KEY (zh, en)) WITHOUT ROWID"
    )


def _create_records(db: sqlite3.Connection, name: str) -> None:
    text_columns = ", ".join(f"{a} TEXT NOT NULL DEFAULT ''" for a in LISTED_ATTRIBUTES if a != "pn")
    db.execute(
        f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, pn TEXT NOT NULL UNIQUE, {text_columns}, "
        "number TEXT NOT NULL DEFAULT '')"
    )


def _create_record_indexes(db: sqlite3.Connection) -> None:
    for attribute in (*DATE_ATTRIBUTES, "number", *FAMILY_ATTRIBUTES):
        db.execute(f"CREATE INDEX IF NOT EXISTS records_{attribute} ON records ({INDEX_COLUMNS.get(attribute, attribute)})")


def _add_columns(db: sqlite3.Connection) -> None:
    """The listed columns an older `records` lacks, empty."""
    present = {row[1] for row in db.execute("PRAGMA table_info(records)")}
    for attribute in LISTED_ATTRIBUTES:
        if attribute not in present:
            db.execute(f"ALTER TABLE records ADD COLUMN {attribute} TEXT NOT NULL DEFAULT ''")


def _create_codes(db: sqlite3.Connection) -> None:
    # one B-tree, searched on (kind, value); a record's rows are found again from its stored fields
    db.execute(
        "CREATE TABLE codes (kind TEXT NOT NULL, value TEXT NOT NULL, id INTEGER NOT NULL, given TEXT NOT NULL, "
        "PRIMARY KEY (kind, value, id, given)) WITHOUT ROWID"
    )
    _create_record_indexes(db)


def store_codes(
    db: sqlite3.Connection,
    rows: Iterable[tuple[int, PatentRecord | None, PatentRecord | None]],
    new_codes: Callable[[PatentRecord], list[tuple[str, str, str]]] = code_values,
) -> None:
    """The code rows of (id, record as stored or None, record to store or None)
    rows; `new_codes` gives those of a record to store (code_values, or
    worked out beforehand)."""
    rows = list(rows)
    db.executemany(
        "DELETE FROM codes WHERE kind = ? AND value = ? AND id = ? AND given = ?",
        [(kind, value, record_id, given) for record_id, old, _ in rows if old is not None for kind, value, given in code_values(old)],
    )
    db.executemany(
        "INSERT INTO codes (kind, value, id, given) VALUES (?, ?, ?, ?)",
        [(kind, value, record_id, given) for record_id, _, new in rows if new is not None for kind, value, given in new_codes(new)],
    )


def _remake_normalised(db: sqlite3.Connection, progress: Progress) -> None:
    """The codes rows LS= and DT= compare, made from the stored legal
    statuses and document types (contract.remake_normalised)."""
    kinds = [field.stored for field in NORMALISED_FIELDS]
    db.execute(f"DELETE FROM codes WHERE kind IN ({', '.join('?' * len(kinds))})", kinds)
    remake_normalised(
        lambda sql, params: db.execute(sql, params).fetchall(),
        lambda rows: db.executemany("INSERT INTO codes (kind, value, id, given) VALUES (?, ?, ?, ?)", rows),
        "?", progress, UPGRADE_STEPS, CHUNK,
    )


def _narrow_records(db: sqlite3.Connection, progress: Progress) -> None:
    """Upgrade from a `records` table that held abstract and claims: these
    move, compressed, to `texts`, and `records` is made anew without them
    (inside the caller's transaction: all or nothing). The index, keyed by
    the same ids, is kept."""
    total = _count(db)
    if progress is not None and total:
        progress(f"正在升級資料庫格式（{total:,} 筆專利，完成前請勿關閉程式）…")
    db.execute("CREATE TABLE texts (id INTEGER PRIMARY KEY, body BLOB NOT NULL)")
    reader = db.cursor().execute("SELECT id, abstract, claims FROM records ORDER BY id")
    done = 0
    while batch := reader.fetchmany(CHUNK):
        db.executemany("INSERT INTO texts (id, body) VALUES (?, ?)", [(row[0], pack(row[1], row[2])) for row in batch])
        done += len(batch)
        if progress is not None and done % UPGRADE_STEPS < CHUNK and done < total:
            progress(f"已升級 {done:,} / {total:,} 筆")
    _create_records(db, "records_narrow")
    columns = f"id, {LISTED_COLUMNS}, number"
    db.execute(f"INSERT INTO records_narrow ({columns}) SELECT {columns} FROM records ORDER BY id")
    db.execute("DROP TABLE records")
    db.execute("ALTER TABLE records_narrow RENAME TO records")
    _create_record_indexes(db)


def _create_index(db: sqlite3.Connection) -> None:
    db.execute(f"CREATE VIRTUAL TABLE {INDEX_TABLE} USING fts5({_INDEX_COLUMNS}, content='', tokenize=\"ascii tokenchars './'\")")
    # Index changes are buffered up to this size before a write: fewer, larger segments.
    db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rank) VALUES ('hashsize', {INDEX_BUFFER_BYTES})")
    db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rank) VALUES ('automerge', {INDEX_AUTOMERGE})")


def _index_batches(db: sqlite3.Connection) -> Iterator[list[tuple[int, PatentRecord]]]:
    """Every record, (id, record) CHUNK at a time in id order."""
    last_id = 0
    while batch := list(full_records(db.execute(f"{FULL_RECORD_SQL} WHERE r.id > ? ORDER BY r.id LIMIT ?", (last_id, CHUNK)))):
        yield batch
        last_id = batch[-1][0]


def _reindex(
    db: sqlite3.Connection, progress: Callable[[int], None] | None = None, skipped: list[str] | None = None
) -> int:
    """Index every record whose texts can be read; the numbers of the others
    go to `skipped`. Returns the number of records indexed."""
    done = read = 0
    for batch in _index_batches(db):
        sound = [(record_id, record) for record_id, record in batch if not unreadable(record)]
        if skipped is not None:
            skipped += (record.pn for _, record in batch if unreadable(record))
        add_to_index(db, [(record_id, segment.index_values(record)) for record_id, record in sound])
        done += len(sound)
        read += len(batch)
        if progress is not None:
            progress(read)
    return done


def _rebuild_index(db: sqlite3.Connection, progress: Progress = None) -> None:
    """A new index made from the records with the current segmenter and
    columns (inside the caller's transaction: all or nothing); `progress`
    gets a line at the start and every UPGRADE_STEPS records."""
    db.execute(f"DROP TABLE IF EXISTS {INDEX_TABLE}")
    _create_index(db)
    total = _count(db)
    if progress is not None and total:
        progress(f"正在重建全文索引（{total:,} 筆專利，完成前請勿關閉程式）…")

    def done(read: int) -> None:
        if progress is not None and read % UPGRADE_STEPS < CHUNK and read < total:
            progress(f"全文索引已重建 {read:,} / {total:,} 筆")

    _reindex(db, done)
    if progress is not None and total:
        progress(f"全文索引已重建：{total:,} 筆專利")
    db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('segmentation', ?)", (INDEX_VERSION,))


# --- checking and rebuilding -----------------------------------------------------


def check(db: sqlite3.Connection, progress: Progress = None) -> list[str]:
    """The full check: the file's structure (PRAGMA integrity_check), the full-text
    index's own structure, that it indexes exactly the stored records, and
    that every record's abstract and claims read back (a flipped byte inside
    a compressed blob passes the other two). Returns the problems found, empty when the database is sound; `progress`
    gets the name of each step as it starts."""
    problems: list[str] = []
    steps = (("檢查資料庫檔案結構", _check_file), ("檢查全文索引", _check_index), ("檢查摘要與專利範圍", _check_texts))
    for step, run in steps:
        if progress is not None:
            progress(step)
        try:
            problems += run(db)
        except sqlite3.DatabaseError as error:
            problems.append(f"{step}時發生錯誤：{error}")
    return problems


def _check_file(db: sqlite3.Connection) -> list[str]:
    rows = db.execute("PRAGMA integrity_check").fetchall()
    return [] if rows == [("ok",)] else [str(row[0]) for row in rows]


def _check_index(db: sqlite3.Connection) -> list[str]:
    try:
        db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}) VALUES ('integrity-check')")
    except sqlite3.DatabaseError as error:
        return [f"全文索引已損壞（{error}）"]
    missing, extra = db.execute(
        f"SELECT (SELECT count(*) FROM records WHERE id NOT IN (SELECT rowid FROM {INDEX_TABLE})), "
        f"(SELECT count(*) FROM {INDEX_TABLE} WHERE rowid NOT IN (SELECT id FROM records))"
    ).fetchone()
    problems = [f"全文索引缺少 {missing} 筆專利"] if missing else []
    problems += [f"全文索引多出 {extra} 筆已不存在的專利"] if extra else []
    textless = db.execute("SELECT count(*) FROM records WHERE id NOT IN (SELECT id FROM texts)").fetchone()[0]
    return problems + ([f"摘要與專利範圍缺少 {textless} 筆專利"] if textless else [])


def _check_texts(db: sqlite3.Connection) -> list[str]:
    """Every stored abstract and claims decompressed and decoded; the damaged ones named."""
    damaged = [
        number
        for number, body in db.execute(f"SELECT r.pn, {BODY} FROM texts t JOIN records r ON r.id = t.id ORDER BY t.id")
        if unpack(body)[0] is UNREADABLE
    ]
    return [f"{len(damaged)} {UNREADABLE_PROBLEM}：{named_numbers(damaged)}"] if damaged else []


def rebuild_index(
    db: sqlite3.Connection,
    transaction: Transaction,
    progress: Callable[[int, int], None] | None = None,
    skipped: list[str] | None = None,
) -> int:
    """Make the full-text index anew from the stored records, in one transaction;
    `progress(done, total)` after each batch. Records whose texts are
    unreadable are left out, their numbers added to `skipped`. Returns the
    number of records indexed."""
    total = _count(db)
    with transaction():
        db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}) VALUES ('delete-all')")
        return _reindex(db, None if progress is None else lambda done: progress(done, total), skipped)
