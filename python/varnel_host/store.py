"""The patent database: the records and their full-text index in one SQLite file.

Tables: `records` (one row per patent, `pn` unique; empty dates are "")
holding the fields a hit list shows, `texts` (same id) holding the long
texts, abstract and claims, zlib-compressed in one blob (read only for the
closest hits and full records, so listing rows never steps over them), and
`patent_index`, a contentless FTS5 table with one column per text field
holding the output of segment.index_text(), rowid = records.id (no prefix
index: it doubled the index and halved the import rate, while a one-character
word's prefix query only merges the few bigrams that start with it). Both are
written in the same transactions, so they stay in step. `records.number` is
the number part of pn (pn.split()), indexed, for PN= searches. PRAGMA
user_version holds the schema version; `meta` holds INDEX_VERSION, the
segmentation and index definition the index was built with: when it
changes, the index is rebuilt from the records once, in one transaction (a
contentless index can only forget a row given the tokens it was built from,
so it is never updated with other ones).

A search runs in one pass: the ranked ids go into a temporary table, rows are
streamed from it joined to the records, and the words each hit contains come
from one statement that lists, for every word not implied by the command, the
ids it occurs in.

Ranking is FTS5 bm25() with column weights title 8 > claims 4 > abstract 2 >
the other text fields 1, reported as a positive score (higher is better).
Hits found without any word (only dates or NOT) have score 0 and come newest
application date first.

Import files are read by the ingest package (formats listed there);
import_file() takes our own CSV and JSON Lines layouts.
"""

from __future__ import annotations

import datetime
import itertools
import json
import logging
import os
import re
import sqlite3
import threading
import time
import weakref
import zlib
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, fields
from importlib import resources
from pathlib import Path
from typing import NamedTuple, Union

from . import paths, segment, similar
from .facets import FacetIndex, Facets, applicant_names, filing_year, ipc_subclasses
from .query import TEXT_FIELDS, Query, parse
from .records import FIELDS, Hit, PatentRecord
from .segment import index_text
from . import pn
from .sqlite_query import (
    INDEX_TABLE, RECORDS_ALIAS, CompiledQuery, SqliteCollection, compile_query, index_column, token_match, word_checks,
)

SCHEMA_VERSION = 3
INDEX_VERSION = f"{segment.VERSION}/fts5-contentless-noprefix"
LOCK_WAIT_SECONDS = 60  # another process writing: wait this long for the lock
ROW_BATCH = 2000  # rows fetched at a time when streaming hits
PROGRESS_STEPS = 20_000  # SQLite virtual-machine steps between cancel() polls
BM25_WEIGHTS = {"TI": 8.0, "CL": 4.0, "AB": 2.0}  # other text fields: 1.0
SAMPLE_FILE = ("sample_data", "sample_patents.jsonl")
CACHE_KIB = 64 * 1024  # SQLite page cache per connection
INDEX_BUFFER_BYTES = 32 * 1024 * 1024
TEXT_LEVEL = 6  # zlib level of the long texts
UPGRADE_STEPS = 50_000  # records between progress lines of a schema upgrade

_log = logging.getLogger(__name__)

_ATTRIBUTES = tuple(f.name for f in fields(PatentRecord))
_CAPTIONS = {attribute: caption for attribute, caption in FIELDS.values()}
_DATE_ATTRIBUTES = ("ad", "pd")
_LONG_ATTRIBUTES = ("abstract", "claims")  # stored compressed in `texts`
assert _ATTRIBUTES[2:4] == _LONG_ATTRIBUTES  # _record() builds records positionally
# The columns of `records`, which is all a streamed hit carries.
_ROW_ATTRIBUTES = tuple(a for a in _ATTRIBUTES if a not in _LONG_ATTRIBUTES)
_ROW_COLUMNS = ", ".join(_ROW_ATTRIBUTES)
# Every field of a record: its listed columns and the packed long texts (read with full_records()).
FULL_RECORD_SQL = f"SELECT r.id, {', '.join(f'r.{a}' for a in _ROW_ATTRIBUTES)}, t.body FROM records r LEFT JOIN texts t ON t.id = r.id"
_INDEX_COLUMNS = ", ".join(map(index_column, TEXT_FIELDS))
_INDEX_MARKS = ", ".join("?" * (len(TEXT_FIELDS) + 1))
_DATE = re.compile(r"(\d{4})(\d{2})(\d{2})|(\d{4})([-/])(\d{1,2})\5(\d{1,2})")
_CHUNK = 1000
_ALL_HITS = "_all"  # suffix of the table of every hit (id, and score where one pass scored them all)

_Row = tuple[int, Union[PatentRecord, str]]  # (line, record or the problem with that line)


class StoreError(Exception):
    """The database file cannot be used."""


class Cancelled(Exception):
    """A search stopped because its cancel() returned True."""


class BatchCounts(NamedTuple):
    added: int
    updated: int
    unchanged: int


@dataclass(frozen=True)
class ImportProblem:
    """A skipped row: its line in the file (or position in the records given to add())."""

    line: int
    message: str

    def __str__(self) -> str:
        return f"第 {self.line} 行：{self.message}"


@dataclass(frozen=True)
class ImportReport:
    added: int = 0
    updated: int = 0
    skipped: int = 0
    problems: tuple[ImportProblem, ...] = ()
    ignored_columns: tuple[str, ...] = ()
    unchanged: int = 0

    @property
    def summary(self) -> str:
        return f"新增 {self.added} 筆、更新 {self.updated} 筆、未變更 {self.unchanged} 筆、略過 {self.skipped} 筆"


class PatentStore:
    """Patent records with full-text search. Use from one thread at a time."""

    def __init__(self, path: str | os.PathLike[str] = ":memory:", progress: Callable[[str], None] | None = None):
        """Open (or create) the database; `progress` gets Chinese lines on
        long work at opening (upgrading an older database's format)."""
        self._path = str(path)
        self._db = sqlite3.connect(path, isolation_level=None, timeout=LOCK_WAIT_SECONDS)
        self._results = itertools.count(1)
        self._stale: list[str] = []  # temporary hit tables of results no longer used
        self._live: weakref.WeakSet[SearchResult] = weakref.WeakSet()
        self._writes = 0  # transactions of this connection, for the state of the collection
        self._facet_index: tuple[tuple[int, int], FacetIndex] | None = None
        self._facet_builder: _FacetBuilder | None = None
        try:
            with self._errors():
                self._use_wal()
                self._db.execute("PRAGMA synchronous=NORMAL")
                self._db.execute("PRAGMA temp_store=MEMORY")
                self._db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")
                self._ensure_schema(progress)
        except BaseException:
            self._db.close()
            raise

    def __enter__(self) -> PatentStore:
        return self

    def _use_wal(self) -> None:
        """Switch to write-ahead logging. SQLite answers "locked" at once,
        without waiting, while another process makes the same switch on a
        fresh file: retried here for as long as any lock is waited for."""
        deadline = time.monotonic() + LOCK_WAIT_SECONDS
        while True:
            try:
                self._db.execute("PRAGMA journal_mode=WAL")
                return
            except sqlite3.OperationalError as error:
                if "locked" not in str(error) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        # Results still held keep their hits, as they did when searches
        # returned lists.
        for result in list(self._live):
            result.hits  # noqa: B018
        if self._facet_builder is not None:
            self._facet_builder.stop()
        self._db.close()

    def count(self) -> int:
        return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    # --- writing -------------------------------------------------------

    def write_batch(self, records: Sequence[PatentRecord]) -> BatchCounts:
        """Add or update records (same pn = same record) in one transaction; a
        record whose stored fields are all equal is counted as unchanged and
        not rewritten. ValueError names an unusable record (nothing written);
        StoreError when the database cannot be written (locked by another
        process beyond LOCK_WAIT_SECONDS, disk full), the database unchanged."""
        checked = []
        for position, record in enumerate(records, 1):
            try:
                checked.append(_checked(record))
            except ValueError as error:
                raise ValueError(f"第 {position} 筆（{getattr(record, 'pn', '')}）：{error}") from None
        counts = {"added": 0, "updated": 0, "unchanged": 0}
        with self._transaction():
            next_id = self._next_id()
            chunks = (checked[start : start + _CHUNK] for start in range(0, len(checked), _CHUNK))
            for chunk, prepared in _prepared_ahead(chunks):
                next_id = self._write_chunk(chunk, prepared, counts, next_id)
        return BatchCounts(counts["added"], counts["updated"], counts["unchanged"])

    def add(self, records: Iterable[PatentRecord]) -> ImportReport:
        """Add records, replacing those with the same pn; one transaction."""
        return self._write(enumerate(records, 1))

    def import_file(self, path: str | os.PathLike[str]) -> ImportReport:
        """Import a .csv or .jsonl file of our own layout; one transaction."""
        from .ingest.base import FileInfo
        from .ingest.tables import own_csv, own_jsonl

        path = Path(path)
        suffix = path.suffix.lower()
        readers = {".csv": own_csv, ".jsonl": own_jsonl, ".ndjson": own_jsonl, ".json": own_jsonl}
        if suffix not in readers:
            raise ValueError(f"不支援的檔案類型「{path.suffix}」，請使用 .csv 或 .jsonl")
        info = FileInfo()
        with path.open("rb") as file:
            report = self._write(readers[suffix](file, info))
        return ImportReport(
            report.added, report.updated, report.skipped, report.problems, tuple(sorted(info.ignored)), report.unchanged
        )

    def only_samples(self) -> bool:
        """Whether the database holds the shipped sample records and nothing else."""
        samples = _sample_numbers()
        stored = [row[0] for row in self._db.execute("SELECT pn FROM records")]
        return bool(stored) and all(number in samples for number in stored)

    def remove_samples(self) -> int:
        """Remove the shipped sample records; returns how many were removed."""
        numbers = json.dumps(sorted(_sample_numbers()))
        with self._transaction():
            rows = list(full_records(self._db.execute(f"{FULL_RECORD_SQL} WHERE r.pn IN (SELECT value FROM json_each(?))", (numbers,))))
            self._forget(rows)
            for table in ("records", "texts"):
                self._db.executemany(f"DELETE FROM {table} WHERE id = ?", [(row[0],) for row in rows])
        return len(rows)

    @contextmanager
    def _errors(self) -> Iterator[None]:
        """SQLite's failures that a user can act on, as StoreError in Chinese."""
        try:
            yield
        except sqlite3.OperationalError as error:
            text = str(error)
            if "disk is full" in text or "disk I/O error" in text:
                raise StoreError(f"磁碟空間已滿，無法寫入資料庫「{self._path}」；資料庫內容未變更，請清出空間後再試") from error
            if "locked" in text or "busy" in text:
                raise StoreError(
                    f"資料庫「{self._path}」正被其他程式使用，等候 {LOCK_WAIT_SECONDS} 秒後仍無法寫入；請稍後再試"
                ) from error
            raise

    @contextmanager
    def _transaction(self) -> Iterator[None]:
        with self._errors():
            self._db.execute("BEGIN IMMEDIATE")
            self._writes += 1
            try:
                yield
            except BaseException:
                # SQLite has already rolled back after some failures (disk full)
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise
            self._db.execute("COMMIT")

    # --- the charts' index -------------------------------------------------

    def _state(self) -> tuple[int, int]:
        """Changes to the collection seen by this connection: other
        connections' commits (PRAGMA data_version) and its own transactions."""
        return self._db.execute("PRAGMA data_version").fetchone()[0], self._writes

    def prepare_facets(self, wait: bool = False) -> None:
        """Build the charts' index of the collection as it is now, on a thread
        of its own with a connection of its own (seconds at a million
        records); SearchResult.facets uses it once it is ready and while the
        collection has not changed since. `wait`: return when it is built.
        A database in memory has none."""
        if self._path == ":memory:":
            return
        if self._facet_builder is None or self._facet_builder.done():
            state = self._state()  # before the builder's snapshot: a later commit makes the index stale
            if self._facet_index is not None and self._facet_index[0] == state:
                return
            self._facet_builder = _FacetBuilder(self._path, state)
        if wait:
            self._facet_builder.join()

    def _current_facet_index(self) -> FacetIndex | None:
        """The charts' index if it describes the collection as it is now; a
        stale one is dropped and a new one started."""
        builder = self._facet_builder
        if builder is not None and builder.done():
            self._facet_builder = None
            if builder.index is not None:
                self._facet_index = (builder.state, builder.index)
        if self._facet_index is not None and self._facet_index[0] == self._state():
            return self._facet_index[1]
        self._facet_index = None
        self.prepare_facets()
        return None

    def _next_id(self) -> int:
        return self._db.execute("SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]

    def _write(self, rows: Iterable[_Row]) -> ImportReport:
        problems: list[ImportProblem] = []
        counts = {"added": 0, "updated": 0, "unchanged": 0}

        def chunks() -> Iterator[list[PatentRecord]]:
            chunk: list[PatentRecord] = []
            for line, item in rows:
                try:
                    if isinstance(item, str):
                        raise ValueError(item)
                    chunk.append(_checked(item))
                except ValueError as error:
                    problems.append(ImportProblem(line, str(error)))
                if len(chunk) == _CHUNK:
                    yield chunk
                    chunk = []
            yield chunk

        with self._transaction():
            next_id = self._next_id()
            for chunk, prepared in _prepared_ahead(chunks()):
                next_id = self._write_chunk(chunk, prepared, counts, next_id)
        return ImportReport(
            counts["added"], counts["updated"], len(problems), tuple(problems), unchanged=counts["unchanged"]
        )

    def _write_chunk(
        self, chunk: list[PatentRecord], prepared: dict[int, _Prepared], counts: dict[str, int], next_id: int
    ) -> int:
        """Write checked records (`prepared`: _prepare() of the chunk); a pn
        already stored (or earlier in chunk) is an update, or unchanged when
        every field is equal. Returns the next free id."""
        numbers = json.dumps([record.pn for record in chunk])
        stored = {
            record.pn: (record_id, record)
            for record_id, record in full_records(
                self._db.execute(f"{FULL_RECORD_SQL} WHERE r.pn IN (SELECT value FROM json_each(?))", (numbers,))
            )
        }
        # pn -> (id, record now stored or None, record to store)
        final: dict[str, tuple[int, PatentRecord | None, PatentRecord]] = {}
        for record in chunk:
            if record.pn in final:
                record_id, old, previous = final[record.pn]
                counts["unchanged" if record == previous else "updated"] += 1
                final[record.pn] = (record_id, old, record)
            elif record.pn in stored:
                counts["unchanged" if stored[record.pn][1] == record else "updated"] += 1
                final[record.pn] = (*stored[record.pn], record)
            else:
                counts["added"] += 1
                final[record.pn] = (next_id, None, record)
                next_id += 1
        changed = [entry for entry in final.values() if entry[1] != entry[2]]
        marks = ", ".join("?" * len(_ROW_ATTRIBUTES))
        self._db.executemany(
            f"INSERT INTO records (id, {_ROW_COLUMNS}, number) VALUES (?, {marks}, ?)",
            [(record_id, *_row_values(new), _number(new.pn)) for record_id, old, new in changed if old is None],
        )
        updates = [(record_id, old, new) for record_id, old, new in changed if old is not None]
        assignments = ", ".join(f"{a} = ?" for a in (*_ROW_ATTRIBUTES, "number"))
        self._db.executemany(
            f"UPDATE records SET {assignments} WHERE id = ?",
            [(*_row_values(new), _number(new.pn), record_id) for record_id, _, new in updates],
        )
        self._db.executemany(
            "INSERT OR REPLACE INTO texts (id, body) VALUES (?, ?)",
            [(record_id, prepared[id(new)][1]) for record_id, _, new in changed],
        )
        self._forget([(record_id, old) for record_id, old, _ in updates])
        self._index_values_of([(record_id, prepared[id(new)][0]) for record_id, _, new in changed])
        return next_id

    def _index(self, rows: Iterable[tuple[int, PatentRecord]]) -> None:
        self._index_values_of((record_id, _index_values(record)) for record_id, record in rows)

    def _index_values_of(self, rows: Iterable[tuple[int, tuple[str, ...]]]) -> None:
        self._db.executemany(
            f"INSERT INTO {INDEX_TABLE} (rowid, {_INDEX_COLUMNS}) VALUES ({_INDEX_MARKS})",
            ((record_id, *values) for record_id, values in rows),
        )

    def _forget(self, rows: Iterable[tuple[int, PatentRecord]]) -> None:
        # A contentless FTS5 table forgets a row given the values it indexed.
        self._db.executemany(
            f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rowid, {_INDEX_COLUMNS}) VALUES ('delete', {_INDEX_MARKS})",
            ((record_id, *_index_values(record)) for record_id, record in rows),
        )

    # --- searching -----------------------------------------------------

    def search(
        self,
        command: str | Query,
        limit: int | None = None,
        *,
        cancel: Callable[[], bool] | None = None,
    ) -> SearchResult:
        """Run a search command (or a parsed Query): every hit (at most `limit`)
        ranked, best first. Raises query.QueryError for a command that cannot
        be run, Cancelled when cancel() returns True (polled while SQLite works
        and between batches of rows)."""
        if limit is not None and limit < 0:
            raise ValueError("limit 不能是負數")
        query = parse(command) if isinstance(command, str) else command
        self._drop_stale()
        table = f"temp.hits_{next(self._results)}"
        with self._polling(cancel):
            plan = similar.plan(SqliteCollection(self._db), query, self.count()) if query.similar() else None
            compiled = plan.compiled if plan else compile_query(query)
            total = self._rank(compiled, limit, table)
        result = SearchResult(self, query, table, total, cancel, plan)
        self._live.add(result)
        return result

    @contextmanager
    def _polling(self, cancel: Callable[[], bool] | None) -> Iterator[None]:
        """Statements run inside stop with Cancelled once cancel() is True."""
        if cancel is None:
            yield
            return
        if cancel():
            raise Cancelled
        self._db.set_progress_handler(cancel, PROGRESS_STEPS)
        try:
            yield
        except sqlite3.OperationalError as error:
            if "interrupted" in str(error):
                raise Cancelled from None
            raise
        finally:
            self._db.set_progress_handler(None, 0)

    def _drop_stale(self) -> None:
        while self._stale:
            try:
                self._db.execute(f"DROP TABLE IF EXISTS {self._stale[-1]}")
            except sqlite3.OperationalError:  # still read by an open cursor: later
                return
            self._stale.pop()

    @staticmethod
    def _found(compiled: CompiledQuery) -> tuple[str, str, tuple[object, ...]]:
        """(id column, FROM … WHERE … clause, its parameters) of every hit."""
        alias = RECORDS_ALIAS
        if compiled.match is None and not compiled.rank_finds_all:
            return f"{alias}.id", f"FROM records {alias} WHERE {compiled.where}", compiled.params
        if compiled.match is None:  # every hit holds a ranking word: start from those records
            return (
                f"{INDEX_TABLE}.rowid",
                f"FROM {INDEX_TABLE} CROSS JOIN records {alias} ON {alias}.id = {INDEX_TABLE}.rowid "
                f"WHERE {INDEX_TABLE} MATCH ? AND ({compiled.where})",
                (compiled.rank, *compiled.params),
            )
        found = f"FROM {INDEX_TABLE}"
        if compiled.where:
            found += f" CROSS JOIN records {alias} ON {alias}.id = {INDEX_TABLE}.rowid"
        found += f" WHERE {INDEX_TABLE} MATCH ?" + (f" AND ({compiled.where})" if compiled.where else "")
        return f"{INDEX_TABLE}.rowid", found, (compiled.match, *compiled.params)

    def _rank(self, compiled: CompiledQuery, limit: int | None, table: str) -> int:
        """Store (rank, id, score) of the best `limit` hits in `table`; returns
        the number of all hits."""
        alias = RECORDS_ALIAS
        weights = ", ".join(str(BM25_WEIGHTS.get(code, 1.0)) for code in TEXT_FIELDS)
        score = f"-bm25({INDEX_TABLE}, {weights})"
        id_column, found, params = self._found(compiled)
        counting = params
        self._db.execute(f"CREATE TABLE {table} (rank INTEGER PRIMARY KEY, id INTEGER NOT NULL, score REAL NOT NULL)")
        if compiled.match is not None:
            # Every hit scored in one pass into the table of all hits (which the
            # charts' counts read), the best `limit` ranked from there: FTS5
            # walks the index once, not once to rank and again to count.
            every = table + _ALL_HITS
            self._db.execute(f"CREATE TABLE {every} (id INTEGER PRIMARY KEY, score REAL NOT NULL)")
            total = self._db.execute(f"INSERT INTO {every} (id, score) SELECT {id_column}, {score} {found}", params).rowcount
            self._db.execute(
                f"INSERT INTO {table} (id, score) SELECT id, score FROM {every} ORDER BY score DESC, id LIMIT ?",
                (-1 if limit is None else limit,),
            )
            return total
        if compiled.rank is None:
            ranking = f"SELECT {alias}.id, 0.0 {found} ORDER BY {alias}.ad DESC, {alias}.id"
        elif compiled.rank_finds_all:
            ranking = f"SELECT {id_column} AS id, {score} AS score {found} ORDER BY score DESC, {alias}.ad DESC, id"
        else:  # score the hits that contain a word
            ranking = (
                f"SELECT {alias}.id, coalesce(ranked.score, 0.0) AS score FROM records {alias} "
                f"LEFT JOIN (SELECT rowid, {score} AS score FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?) "
                f"ranked ON ranked.rowid = {alias}.id WHERE {compiled.where} "
                f"ORDER BY score DESC, {alias}.ad DESC, {alias}.id"
            )
            params = (compiled.rank, *params)
        stored = self._db.execute(
            f"INSERT INTO {table} (id, score) {ranking} LIMIT ?", (*params, -1 if limit is None else limit)
        ).rowcount
        if limit is None or stored < limit:
            return stored
        # Not every hit ranked: all of them are counted into a table of their
        # ids, which the charts' counts (SearchResult.facets) read again.
        self._db.execute(f"CREATE TABLE {table}{_ALL_HITS} (id INTEGER PRIMARY KEY)")
        return self._db.execute(f"INSERT OR IGNORE INTO {table}{_ALL_HITS} SELECT {id_column} {found}", counting).rowcount

    def _occurrences(self, expressions: Sequence[str]) -> dict[int, int]:
        """id -> bit mask of the FTS5 expressions (bit i: expressions[i]) it matches."""
        if not expressions:
            return {}
        one = f"SELECT group_concat(rowid, ' ') FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?"
        sql = " UNION ALL ".join(f"SELECT {bit}, ({one})" for bit in range(len(expressions)))
        masks: dict[int, int] = {}
        get = masks.get
        for bit, ids in self._db.execute(sql, expressions):
            flag = 1 << bit
            for record_id in map(int, (ids or "").split()):
                masks[record_id] = get(record_id, 0) | flag
        return masks

    def _release(self, table: str) -> None:
        self._stale += (table, table + _ALL_HITS)

    # --- checking and rebuilding (kept together: they follow the schema) ---

    def check(self, progress: Callable[[str], None] | None = None) -> list[str]:
        """The full check: the file's structure (PRAGMA integrity_check), the full-text
        index's own structure, and that it indexes exactly the stored records.
        Returns the problems found, empty when the database is sound; `progress`
        gets the name of each step as it starts."""
        problems: list[str] = []
        for step, run in (("檢查資料庫檔案結構", self._check_file), ("檢查全文索引", self._check_index)):
            if progress is not None:
                progress(step)
            try:
                problems += run()
            except sqlite3.DatabaseError as error:
                problems.append(f"{step}時發生錯誤：{error}")
        return problems

    def _check_file(self) -> list[str]:
        rows = self._db.execute("PRAGMA integrity_check").fetchall()
        return [] if rows == [("ok",)] else [str(row[0]) for row in rows]

    def _check_index(self) -> list[str]:
        try:
            self._db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}) VALUES ('integrity-check')")
        except sqlite3.DatabaseError as error:
            return [f"全文索引已損壞（{error}）"]
        missing, extra = self._db.execute(
            f"SELECT (SELECT count(*) FROM records WHERE id NOT IN (SELECT rowid FROM {INDEX_TABLE})), "
            f"(SELECT count(*) FROM {INDEX_TABLE} WHERE rowid NOT IN (SELECT id FROM records))"
        ).fetchone()
        problems = [f"全文索引缺少 {missing} 筆專利"] if missing else []
        problems += [f"全文索引多出 {extra} 筆已不存在的專利"] if extra else []
        textless = self._db.execute("SELECT count(*) FROM records WHERE id NOT IN (SELECT id FROM texts)").fetchone()[0]
        return problems + ([f"摘要與專利範圍缺少 {textless} 筆專利"] if textless else [])

    def rebuild_index(self, progress: Callable[[int, int], None] | None = None) -> int:
        """Make the full-text index anew from the stored records, in one transaction;
        `progress(done, total)` after each batch. Returns the number of records indexed."""
        total, done, last_id = self.count(), 0, 0
        index_columns = ", ".join(map(index_column, TEXT_FIELDS))
        index_marks = ", ".join("?" * (len(TEXT_FIELDS) + 1))
        with self._transaction():
            self._db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}) VALUES ('delete-all')")
            while batch := list(
                full_records(self._db.execute(f"{FULL_RECORD_SQL} WHERE r.id > ? ORDER BY r.id LIMIT ?", (last_id, _CHUNK)))
            ):
                self._db.executemany(
                    f"INSERT INTO {INDEX_TABLE} (rowid, {index_columns}) VALUES ({index_marks})",
                    [(record_id, *_index_values(record)) for record_id, record in batch],
                )
                done, last_id = done + len(batch), batch[-1][0]
                if progress is not None:
                    progress(done, total)
        return done

    # --- end of checking and rebuilding ----------------------------------

    # --- schema --------------------------------------------------------

    def _ensure_schema(self, progress: Callable[[str], None] | None) -> None:
        if self._schema_current():
            return
        # Checked again under the write lock: another process may have just
        # created or rebuilt the database.
        with self._transaction():
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            upgraded = version in (1, 2)
            if version == 0:
                self._create_schema()
            elif version == 1:
                self._db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
                self._db.execute("ALTER TABLE records ADD COLUMN number TEXT NOT NULL DEFAULT ''")
                self._db.executemany(
                    "UPDATE records SET number = ? WHERE id = ?",
                    [(_number(pn), record_id) for record_id, pn in self._db.execute("SELECT id, pn FROM records")],
                )
                self._db.execute("CREATE INDEX records_number ON records (number)")
            if upgraded:
                self._narrow_records(progress)
            elif version not in (0, SCHEMA_VERSION):
                raise StoreError(
                    f"資料庫「{self._path}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）"
                )
            if self._segmentation() != INDEX_VERSION:
                self._rebuild_index()
            self._db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        if upgraded:
            self._compact(progress)
            if progress is not None:
                progress(f"資料庫格式已升級：{self.count():,} 筆專利")

    def _compact(self, progress: Callable[[str], None] | None) -> None:
        """Give back the pages an upgrade freed (the long texts took twice the
        room uncompressed). Skipped while another process reads the file: the
        free pages are then reused by later writes."""
        if self._path == ":memory:":
            return
        if progress is not None:
            progress("正在整理資料庫檔案，釋出升級後多出的空間…")
        try:
            self._db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            self._db.execute("VACUUM")
            self._db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        except sqlite3.OperationalError as error:
            if progress is not None:
                progress(f"資料庫檔案未整理（{error}）；資料完整，空出的空間會在之後匯入時再利用")

    def _schema_current(self) -> bool:
        version = self._db.execute("PRAGMA user_version").fetchone()[0]
        if version not in (0, 1, 2, SCHEMA_VERSION):
            raise StoreError(f"資料庫「{self._path}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）")
        return version == SCHEMA_VERSION and self._segmentation() == INDEX_VERSION

    def _segmentation(self) -> str | None:
        row = self._db.execute("SELECT value FROM meta WHERE key = 'segmentation'").fetchone()
        return row[0] if row else None

    def _create_schema(self) -> None:
        self._create_records("records")
        self._create_record_indexes()
        self._db.execute("CREATE TABLE texts (id INTEGER PRIMARY KEY, body BLOB NOT NULL)")
        self._db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
        self._create_index()

    def _create_records(self, name: str) -> None:
        text_columns = ", ".join(f"{a} TEXT NOT NULL DEFAULT ''" for a in _ROW_ATTRIBUTES if a != "pn")
        self._db.execute(
            f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, pn TEXT NOT NULL UNIQUE, {text_columns}, "
            "number TEXT NOT NULL DEFAULT '')"
        )

    def _create_record_indexes(self) -> None:
        for attribute in (*_DATE_ATTRIBUTES, "number"):
            self._db.execute(f"CREATE INDEX records_{attribute} ON records ({attribute})")

    def _narrow_records(self, progress: Callable[[str], None] | None) -> None:
        """Upgrade from a `records` table that held abstract and claims: these
        move, compressed, to `texts`, and `records` is made anew without them
        (inside the caller's transaction: all or nothing). The index, keyed by
        the same ids, is kept."""
        total = self.count()
        if progress is not None and total:
            progress(f"正在升級資料庫格式（{total:,} 筆專利，完成前請勿關閉程式）…")
        self._db.execute("CREATE TABLE texts (id INTEGER PRIMARY KEY, body BLOB NOT NULL)")
        reader = self._db.cursor().execute(f"SELECT id, {', '.join(_LONG_ATTRIBUTES)} FROM records ORDER BY id")
        done = 0
        while batch := reader.fetchmany(_CHUNK):
            self._db.executemany(
                "INSERT INTO texts (id, body) VALUES (?, ?)", [(row[0], _pack(row[1], row[2])) for row in batch]
            )
            done += len(batch)
            if progress is not None and done % UPGRADE_STEPS < _CHUNK and done < total:
                progress(f"已升級 {done:,} / {total:,} 筆")
        self._create_records("records_narrow")
        columns = f"id, {_ROW_COLUMNS}, number"
        self._db.execute(f"INSERT INTO records_narrow ({columns}) SELECT {columns} FROM records ORDER BY id")
        self._db.execute("DROP TABLE records")
        self._db.execute("ALTER TABLE records_narrow RENAME TO records")
        self._create_record_indexes()

    def _create_index(self) -> None:
        self._db.execute(
            f"CREATE VIRTUAL TABLE {INDEX_TABLE} USING fts5({_INDEX_COLUMNS}, "
            "content='', tokenize=\"ascii tokenchars './'\")"
        )
        # Index changes are buffered up to this size before a write: fewer, larger segments.
        self._db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rank) VALUES ('hashsize', {INDEX_BUFFER_BYTES})")

    def _rebuild_index(self) -> None:
        """A new index made from the records with the current segmenter (inside
        the caller's transaction: all or nothing)."""
        self._db.execute(f"DROP TABLE IF EXISTS {INDEX_TABLE}")
        self._create_index()
        reader = self._db.cursor().execute(f"{FULL_RECORD_SQL} ORDER BY r.id")
        while batch := reader.fetchmany(_CHUNK):
            self._index(full_records(batch))
        self._db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('segmentation', ?)", (INDEX_VERSION,))


class RankedHits:
    """What the results of both stores share: rows(), closest(n) and hits
    read through the store's own _hits_of(full, limit, cancel), and the
    temporary table of ranked ids handed back when the result goes."""

    _store: PatentStore
    _table: str
    _cancel: Callable[[], bool] | None
    _hits: list[Hit] | None

    def __del__(self) -> None:
        self._store._release(self._table)

    def rows(self, *, cancel: Callable[[], bool] | None = None) -> Iterator[Hit]:
        """Every hit, best first, fetched in batches (abstract and claims
        empty); Cancelled when cancel() (default: the search's) returns True."""
        if self._hits is not None:
            yield from self._hits
        else:
            yield from self._hits_of(False, None, cancel or self._cancel)

    def closest(self, n: int) -> list[Hit]:
        """The n best hits with their full records."""
        if self._hits is not None:
            return self._hits[:n]
        return list(self._hits_of(True, n, self._cancel))

    @property
    def hits(self) -> list[Hit]:
        """Every hit with its full record, best first (for callers that hold them all)."""
        if self._hits is None:
            self._hits = list(self._hits_of(True, None, None))
        return self._hits

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        raise NotImplementedError


class SearchResult(RankedHits):
    """The hits of one search, best first (see PatentStore.search).

    `total` counts every hit, `words` are the command's words in command
    order. rows() streams the hits with pn, title, applicants, inventors,
    ipc, an and dates (abstract and claims empty); closest(n) gives the n best
    with full records. Each hit's `matched` are the words it contains."""

    def __init__(
        self,
        store: PatentStore,
        query: Query,
        table: str,
        total: int,
        cancel: Callable[[], bool] | None = None,
        plan: similar.Plan | None = None,
    ):
        self._store = store
        self._cancel = cancel
        self._table = table
        self._query = query
        self._plan = plan
        self.total = total
        self.words = plan.words if plan else query.words()
        self._matched: Callable[[int, str], tuple[str, ...]] | None = None
        self._hits: list[Hit] | None = None

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        """The hits in rank order; `full`: with abstract and claims."""
        store = self._store
        columns = ", ".join(f"r.{a}" for a in _ROW_ATTRIBUTES)
        texts = ("t.body", " LEFT JOIN texts t ON t.id = h.id") if full else ("NULL", "")
        with store._polling(cancel):
            matched = self._matcher()
            cursor = store._db.execute(
                f"SELECT h.id, h.score, {columns}, {texts[0]} FROM {self._table} h "
                f"CROSS JOIN records r ON r.id = h.id{texts[1]} ORDER BY h.rank LIMIT ?",
                (-1 if limit is None else limit,),
            )
        while True:
            with store._polling(cancel):
                batch = cursor.fetchmany(ROW_BATCH)
            if not batch:
                return
            for row in batch:
                record = _record(row[2:])
                yield Hit(record, row[1], matched(row[0], record.pn))

    def facets(self, top: int = 10) -> Facets:
        """Counts over every hit of the search (not only the rows ranked):
        the `top` applicants and IPC subclasses, and hits per filing year.
        From the store's charts' index when it is current (look-ups by hit
        id); otherwise the three fields of every hit are read in one pass and
        counted in hash tables (an SQL GROUP BY sorts every hit: twice the
        time at 600,000 hits)."""
        store = self._store
        ranked = store._db.execute(f"SELECT count(*) FROM {self._table}").fetchone()[0]
        hits = self._table if ranked == self.total else self._table + _ALL_HITS
        index = store._current_facet_index()
        if index is not None:
            with store._polling(self._cancel):
                ids = [row[0] for row in store._db.execute(f"SELECT id FROM {hits}")]
            return index.facets(ids, top)
        applicants: Counter[str] = Counter()
        classes: Counter[tuple[str, ...]] = Counter()
        years: Counter[str] = Counter()
        with store._polling(self._cancel):
            cursor = store._db.execute(
                f"SELECT r.applicants, r.ipc, substr(r.ad, 1, 4) FROM {hits} h CROSS JOIN records r ON r.id = h.id"
            )
        while True:
            with store._polling(self._cancel):
                batch = cursor.fetchmany(ROW_BATCH * 5)
            if not batch:
                break
            names, ipc, prefixes = zip(*batch)
            applicants.update(names)
            # IPC values are nearly all distinct: their subclasses are counted at once, not each value kept
            classes.update(map(ipc_subclasses, ipc))
            years.update(prefixes)
        return Facets.of_sets(
            ((applicant_names(value), count) for value, count in applicants.items()),
            classes.items(),
            ((filing_year(prefix), count) for prefix, count in years.items()),
            top,
        )

    def _matcher(self) -> Callable[[int, str], tuple[str, ...]]:
        """(id, pn) -> the words that hit contains, in command order."""
        if self._matched is None:
            if self._plan is None:
                self._matched = self._words_matcher(self._query)
            else:
                filters = self._plan.filters
                base = self._words_matcher(filters) if filters is not None and filters.terms() else None
                occurrences = self._store._occurrences
                self._matched = similar.matcher(self._plan, lambda tokens: occurrences(list(map(token_match, tokens))), base)
        return self._matched

    def _words_matcher(self, query: Query) -> Callable[[int, str], tuple[str, ...]]:
        """(id, pn) -> the words of `query` that hit contains, in command order."""
        checks = word_checks(query)
        looked_up = checks.looked_up()
        bits = {expression: 1 << bit for bit, expression in enumerate(looked_up)}
        masks = self._store._occurrences(looked_up)
        # Publication numbers are told from the hit's own pn.
        numbers = [(1 << (len(bits) + i), expression, typed) for i, (expression, typed) in enumerate(checks.numbers.items())]
        bits.update((expression, bit) for bit, expression, _ in numbers)
        words: dict[int, tuple[str, ...]] = {}

        def for_mask(mask: int) -> tuple[str, ...]:
            return tuple(
                word
                for word, expressions in checks.expressions.items()
                if any(e in checks.always or mask & bits.get(e, 0) for e in expressions)
            )

        def matched(record_id: int, number: str) -> tuple[str, ...]:
            mask = masks.get(record_id, 0)
            for bit, _, typed in numbers:
                if pn.matches(number, typed):
                    mask |= bit
            found = words.get(mask)
            if found is None:
                found = words[mask] = for_mask(mask)
            return found

        return matched


class _FacetBuilder:
    """Builds a FacetIndex from one snapshot of the file, read by a
    connection of its own on a daemon thread; stop() ends it early."""

    def __init__(self, path: str, state: tuple[int, int]):
        self.state = state
        self.index: FacetIndex | None = None
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._build, args=(path,), name="facet-index", daemon=True)
        self._thread.start()

    def done(self) -> bool:
        return not self._thread.is_alive()

    def join(self) -> None:
        self._thread.join()

    def stop(self) -> None:
        self._stopping.set()
        self._thread.join()

    def _build(self, path: str) -> None:
        db = None
        try:
            db = sqlite3.connect(Path(path).absolute().as_uri() + "?mode=ro", uri=True, isolation_level=None)
            db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")  # the grouping sorts in memory
            db.execute("BEGIN")  # every read from one snapshot
            size = db.execute("SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]
            groups = (self._groups(db, value) for value in ("applicants", "ipc", "substr(ad, 1, 4)"))
            self.index = FacetIndex(size, *groups)
        except Cancelled:
            pass
        except sqlite3.Error as error:  # no index: the charts count from the records, more slowly
            _log.warning("charts' index not built, the charts count from the records: %s", error)
        finally:
            if db is not None:
                db.close()

    def _groups(self, db: sqlite3.Connection, value: str) -> Iterator[tuple[str, Iterator[int]]]:
        """(stored value, ids holding it), one distinct value at a time, so
        that the distinct values are never all held at once."""
        for number, (stored, ids) in enumerate(db.execute(f"SELECT {value}, group_concat(id) FROM records GROUP BY 1")):
            if not number & 0x3FF and self._stopping.is_set():
                raise Cancelled
            yield stored, map(int, ids.split(","))


def open_default_store(
    path: str | os.PathLike[str] | None = None, progress: Callable[[str], None] | None = None
) -> PatentStore:
    """Open the database (default: paths.database_path()); an empty one is
    first filled with the sample collection shipped with the package.
    `progress` as for PatentStore."""
    target = paths.database_path() if path is None else path
    if str(target) != ":memory:":
        Path(target).parent.mkdir(parents=True, exist_ok=True)
    store = PatentStore(target, progress)
    try:
        if store.count() == 0:
            sample = resources.files(__package__).joinpath(*SAMPLE_FILE)
            with resources.as_file(sample) as sample_path:
                store.import_file(sample_path)
    except BaseException:
        store.close()
        raise
    return store


# --- records and rows ----------------------------------------------------------


def _index_values(record: PatentRecord) -> tuple[str, ...]:
    return tuple(index_text(getattr(record, FIELDS[code][0]), ipc=code == "IC") for code in TEXT_FIELDS)


_Prepared = tuple[tuple[str, ...], bytes]  # a record's index values and packed texts


def _prepare(chunk: Sequence[PatentRecord]) -> dict[int, _Prepared]:
    """id(record) -> what writing it needs besides its fields, worked out
    apart from the database."""
    return {id(record): (_index_values(record), _packed(record)) for record in chunk}


def _prepared_ahead(chunks: Iterable[list[PatentRecord]]) -> Iterator[tuple[list[PatentRecord], dict[int, _Prepared]]]:
    """Each chunk with _prepare() of it. The next chunk is prepared on a
    second thread while the caller writes this one: SQLite lets go of the
    GIL while it inserts, so segmenting and compressing run alongside."""
    with ThreadPoolExecutor(1, thread_name_prefix="varnel-prepare") as pool:
        pending: tuple[list[PatentRecord], Future[dict[int, _Prepared]]] | None = None
        for chunk in chunks:
            ahead = (chunk, pool.submit(_prepare, chunk))
            if pending is not None:
                yield pending[0], pending[1].result()
            pending = ahead
        if pending is not None:
            yield pending[0], pending[1].result()


def _row_values(record: PatentRecord) -> tuple[str, ...]:
    return tuple(getattr(record, a) for a in _ROW_ATTRIBUTES)


def _pack(abstract: str, claims: str) -> bytes:
    """Abstract and claims as one zlib-compressed blob: the abstract's UTF-8
    length (4 bytes, little-endian), the abstract, the claims."""
    first = abstract.encode()
    return zlib.compress(len(first).to_bytes(4, "little") + first + claims.encode(), TEXT_LEVEL)


def _packed(record: PatentRecord) -> bytes:
    return _pack(record.abstract, record.claims)


def _unpack(body: bytes | None) -> tuple[str, str]:
    if body is None:
        return "", ""
    data = zlib.decompress(body)
    end = 4 + int.from_bytes(data[:4], "little")
    return data[4:end].decode(), data[end:].decode()


def _record(row: Sequence) -> PatentRecord:
    """A record from its `records` columns (_ROW_ATTRIBUTES order) and its
    texts blob (None: abstract and claims left empty). Made without the
    frozen dataclass's __init__, which sets one field at a time through
    object.__setattr__: that was a third of the time of a streamed row."""
    record = _new_object(PatentRecord)
    record.__dict__.update(zip(_ATTRIBUTES, (row[0], row[1], *_unpack(row[-1]), *row[2:-1])))
    return record


_new_object = object.__new__


def full_records(rows: Iterable[Sequence]) -> Iterator[tuple[int, PatentRecord]]:
    """(id, record) of rows selected by FULL_RECORD_SQL."""
    for row in rows:
        yield row[0], _record(row[1:])


def _number(stored: str) -> str:
    """The number part of a publication number ("TWI439543B" -> "I439543")."""
    parts = pn.split(stored)
    return parts.number if parts else stored


_SAMPLES: frozenset[str] | None = None


def _sample_numbers() -> frozenset[str]:
    """The publication numbers of the sample collection shipped with the package."""
    global _SAMPLES
    if _SAMPLES is None:
        with resources.files(__package__).joinpath(*SAMPLE_FILE).open(encoding="utf-8") as file:
            _SAMPLES = frozenset(json.loads(line)["pn"].strip() for line in file if line.strip())
    return _SAMPLES


def _checked(record: PatentRecord) -> PatentRecord:
    """The record with trimmed pn and dates as YYYYMMDD; ValueError if unusable."""
    for attribute in _ATTRIBUTES:
        if not isinstance(getattr(record, attribute), str):
            raise ValueError(f"欄位「{_CAPTIONS[attribute]}」應為文字")
    pn = record.pn.strip()
    if not pn:
        raise ValueError("缺少公開公告號（pn）")
    dates = {attribute: _date(getattr(record, attribute), _CAPTIONS[attribute]) for attribute in _DATE_ATTRIBUTES}
    return PatentRecord(**{**{a: getattr(record, a) for a in _ATTRIBUTES}, "pn": pn, **dates})


def _date(value: str, caption: str) -> str:
    value = value.strip()
    if not value:
        return ""
    match = _DATE.fullmatch(value)
    try:
        if not match:
            raise ValueError
        year, month, day = (match[1], match[2], match[3]) if match[1] else (match[4], match[6], match[7])
        return datetime.date(int(year), int(month), int(day)).strftime("%Y%m%d")
    except ValueError:
        raise ValueError(f"{caption}「{value}」不是有效日期（應為 YYYYMMDD、YYYY-MM-DD 或 YYYY/MM/DD）") from None
