"""The patent database: the records and their full-text index in one SQLite file.

Tables: `records` (one row per patent, `pn` unique; empty dates are "") and
`patent_index`, a contentless FTS5 table with one column per text field
holding the output of segment.index_text(), rowid = records.id, with a
one-character prefix index so that one-character CJK words are quick. Both
are written in the same transactions, so they stay in step. PRAGMA
user_version holds the schema version.

Ranking is FTS5 bm25() with column weights title 8 > claims 4 > abstract 2 >
the other text fields 1, reported as a positive score (higher is better).
Hits found without any word (only dates or NOT) have score 0 and come newest
application date first.

Import files are read by the ingest package (formats listed there);
import_file() takes our own CSV and JSON Lines layouts.
"""

from __future__ import annotations

import datetime
import json
import os
import re
import sqlite3
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import astuple, dataclass, fields
from importlib import resources
from pathlib import Path
from typing import NamedTuple, Union

from . import paths
from .query import INDEX_TABLE, RECORDS_ALIAS, TEXT_FIELDS, Query, compile_query, index_column, parse, term_match
from .records import FIELDS, Hit, PatentRecord
from .segment import index_text

SCHEMA_VERSION = 1
BM25_WEIGHTS = {"TI": 8.0, "CL": 4.0, "AB": 2.0}  # other text fields: 1.0
SAMPLE_FILE = ("sample_data", "sample_patents.jsonl")
CACHE_KIB = 64 * 1024  # SQLite page cache per connection
INDEX_BUFFER_BYTES = 32 * 1024 * 1024

_ATTRIBUTES = tuple(f.name for f in fields(PatentRecord))
_CAPTIONS = {attribute: caption for attribute, caption in FIELDS.values()}
_DATE_ATTRIBUTES = ("ad", "pd")
_DATE = re.compile(r"(\d{4})(\d{2})(\d{2})|(\d{4})([-/])(\d{1,2})\5(\d{1,2})")
_CHUNK = 1000

_Row = tuple[int, Union[PatentRecord, str]]  # (line, record or the problem with that line)


class BatchCounts(NamedTuple):
    added: int
    updated: int
    unchanged: int


class StoreError(Exception):
    """The database file cannot be used."""


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

    @property
    def summary(self) -> str:
        return f"新增 {self.added} 筆、更新 {self.updated} 筆、略過 {self.skipped} 筆"


class Cancelled(Exception):
    """A search stopped because its cancel hook returned True."""


_ROW_BATCH = 1000  # rows() polls the cancel hook once per this many hits


@dataclass(frozen=True)
class SearchResult:
    hits: list[Hit]  # best first
    total: int  # all records found, also those beyond the limit
    words: tuple[str, ...] = ()  # the command's search words, command order
    cancel: Callable[[], bool] | None = None

    def rows(self) -> Iterator[Hit]:
        """Every hit, best first; raises Cancelled when the cancel hook says so."""
        for start in range(0, len(self.hits), _ROW_BATCH):
            if self.cancel is not None and self.cancel():
                raise Cancelled
            yield from self.hits[start : start + _ROW_BATCH]

    def closest(self, n: int) -> list[Hit]:
        """The n best hits with their full records."""
        return self.hits[: max(n, 0)]


class PatentStore:
    """Patent records with full-text search. Use from one thread at a time."""

    def __init__(self, path: str | os.PathLike[str] = ":memory:"):
        self._db = sqlite3.connect(path, isolation_level=None, timeout=10)
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")
            self._ensure_schema(str(path))
        except BaseException:
            self._db.close()
            raise

    def __enter__(self) -> PatentStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._db.close()

    def count(self) -> int:
        return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    # --- writing -------------------------------------------------------

    def add(self, records: Iterable[PatentRecord]) -> ImportReport:
        """Add records, replacing those with the same pn; one transaction."""
        return self._write(enumerate(records, 1))

    def import_file(self, path: str | os.PathLike[str]) -> ImportReport:
        """Import a .csv or .jsonl file (see the module notes); one transaction."""
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
        return ImportReport(report.added, report.updated, report.skipped, report.problems, tuple(sorted(info.ignored)))

    @contextmanager
    def _transaction(self) -> Iterator[None]:
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def _write(self, rows: Iterable[_Row]) -> ImportReport:
        problems: list[ImportProblem] = []
        counts = {"added": 0, "updated": 0}
        with self._transaction():
            next_id = self._db.execute("SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]
            chunk: list[PatentRecord] = []
            for line, item in rows:
                try:
                    if isinstance(item, str):
                        raise ValueError(item)
                    chunk.append(_checked(item))
                except ValueError as error:
                    problems.append(ImportProblem(line, str(error)))
                if len(chunk) == _CHUNK:
                    next_id = self._write_chunk(chunk, counts, next_id)
                    chunk = []
            self._write_chunk(chunk, counts, next_id)
        return ImportReport(counts["added"], counts["updated"], len(problems), tuple(problems))

    def _write_chunk(self, chunk: list[PatentRecord], counts: dict[str, int], next_id: int) -> int:
        """Write checked records; a pn already stored (or earlier in chunk) is
        an update. Returns the next free id."""
        stored = {
            row[1]: (row[0], PatentRecord(*row[1:]))
            for row in self._db.execute(
                f"SELECT id, {', '.join(_ATTRIBUTES)} FROM records WHERE pn IN (SELECT value FROM json_each(?))",
                (json.dumps([record.pn for record in chunk]),),
            )
        }
        # pn -> (id, record now stored or None, record to store)
        final: dict[str, tuple[int, PatentRecord | None, PatentRecord]] = {}
        for record in chunk:
            if record.pn in final:
                counts["updated"] += 1
                record_id, old, _ = final[record.pn]
                final[record.pn] = (record_id, old, record)
            elif record.pn in stored:
                counts["updated"] += 1
                final[record.pn] = (*stored[record.pn], record)
            else:
                counts["added"] += 1
                final[record.pn] = (next_id, None, record)
                next_id += 1
        changed = [entry for entry in final.values() if entry[1] != entry[2]]
        columns = ", ".join(_ATTRIBUTES)
        marks = ", ".join("?" * len(_ATTRIBUTES))
        index_columns = ", ".join(map(index_column, TEXT_FIELDS))
        index_marks = ", ".join("?" * (len(TEXT_FIELDS) + 1))
        self._db.executemany(
            f"INSERT INTO records (id, {columns}) VALUES (?, {marks})",
            [(record_id, *astuple(new)) for record_id, old, new in changed if old is None],
        )
        updates = [(record_id, old, new) for record_id, old, new in changed if old is not None]
        assignments = ", ".join(f"{a} = ?" for a in _ATTRIBUTES)
        self._db.executemany(
            f"UPDATE records SET {assignments} WHERE id = ?", [(*astuple(new), record_id) for record_id, _, new in updates]
        )
        # A contentless FTS5 table forgets a row given the values it indexed.
        self._db.executemany(
            f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rowid, {index_columns}) VALUES ('delete', {index_marks})",
            [(record_id, *_index_values(old)) for record_id, old, _ in updates],
        )
        self._db.executemany(
            f"INSERT INTO {INDEX_TABLE} (rowid, {index_columns}) VALUES ({index_marks})",
            [(record_id, *_index_values(new)) for record_id, _, new in changed],
        )
        return next_id

    # Stand-in for the batch writer of the store (replaced at merge): one
    # transaction per batch; records equal to the stored ones are not rewritten.
    def write_batch(self, records: Iterable[PatentRecord]) -> BatchCounts:
        records = [_checked(record) for record in records]
        try:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                stored = {
                    row[0]: PatentRecord(*row)
                    for row in self._db.execute(
                        f"SELECT {', '.join(_ATTRIBUTES)} FROM records WHERE pn IN (SELECT value FROM json_each(?))",
                        (json.dumps([record.pn for record in records]),),
                    )
                }
                changed = [record for record in records if stored.get(record.pn) != record]
                counts = {"added": 0, "updated": 0}
                next_id = self._db.execute("SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]
                self._write_chunk(changed, counts, next_id)
            except BaseException:
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise
            self._db.execute("COMMIT")
        except sqlite3.OperationalError as error:
            if "full" in str(error):
                raise StoreError("磁碟空間已滿，這一批未寫入；資料庫保持完整") from None
            raise StoreError(f"資料庫無法寫入（{error}）") from None
        return BatchCounts(counts["added"], counts["updated"], len(records) - len(changed))

    def _sample_pns(self) -> list[str]:
        sample = resources.files(__package__).joinpath(*SAMPLE_FILE).read_text(encoding="utf-8")
        return [json.loads(line)["pn"] for line in sample.splitlines() if line.strip()]

    def only_samples(self) -> bool:
        """Whether the database holds the shipped sample records and nothing else."""
        pns = json.dumps(self._sample_pns())
        others = self._db.execute(
            "SELECT count(*) FROM records WHERE pn NOT IN (SELECT value FROM json_each(?))", (pns,)
        ).fetchone()[0]
        return self.count() > 0 and others == 0

    def remove_samples(self) -> int:
        """Delete the shipped sample records; returns how many there were."""
        index_columns = ", ".join(map(index_column, TEXT_FIELDS))
        index_marks = ", ".join("?" * (len(TEXT_FIELDS) + 1))
        with self._transaction():
            rows = self._db.execute(
                f"SELECT id, {', '.join(_ATTRIBUTES)} FROM records WHERE pn IN (SELECT value FROM json_each(?))",
                (json.dumps(self._sample_pns()),),
            ).fetchall()
            self._db.executemany(
                f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rowid, {index_columns}) VALUES ('delete', {index_marks})",
                [(row[0], *_index_values(PatentRecord(*row[1:]))) for row in rows],
            )
            self._db.executemany("DELETE FROM records WHERE id = ?", [(row[0],) for row in rows])
        return len(rows)

    # --- searching -----------------------------------------------------

    def search(
        self, command: str | Query, *, limit: int | None = None, cancel: Callable[[], bool] | None = None
    ) -> SearchResult:
        """Run a search command (or a parsed Query); at most `limit` hits, best
        first. Raises query.QueryError for a command that cannot be run, and
        Cancelled when `cancel()` returns True."""
        if limit is not None and limit < 0:
            raise ValueError("limit 不能是負數")
        query = parse(command) if isinstance(command, str) else command
        if cancel is not None and cancel():
            raise Cancelled
        ranked, total = self._rank(query, limit)
        ids = json.dumps([record_id for record_id, _ in ranked])
        records = {
            row[0]: PatentRecord(*row[1:])
            for row in self._db.execute(
                f"SELECT id, {', '.join(_ATTRIBUTES)} FROM records WHERE id IN (SELECT value FROM json_each(?))", (ids,)
            )
        }
        found: dict[str, set[int]] = {word: set() for word in query.words()}
        for term in dict.fromkeys(query.terms()):
            found[term.word].update(
                row[0]
                for row in self._db.execute(
                    f"SELECT rowid FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ? "
                    "AND rowid IN (SELECT value FROM json_each(?))",
                    (term_match(term), ids),
                )
            )
        hits = [
            Hit(records[record_id], score, tuple(word for word, rows in found.items() if record_id in rows))
            for record_id, score in ranked
        ]
        return SearchResult(hits, total, query.words(), cancel)

    def _rank(self, query: Query, limit: int | None) -> tuple[list[tuple[int, float]], int]:
        """(id, score) of the best `limit` hits, and the number of all hits."""
        compiled = compile_query(query)
        alias = RECORDS_ALIAS
        weights = ", ".join(str(BM25_WEIGHTS.get(code, 1.0)) for code in TEXT_FIELDS)
        score = f"-bm25({INDEX_TABLE}, {weights})"
        if compiled.match is not None:
            found = f"FROM {INDEX_TABLE}"
            if compiled.where:
                found += f" CROSS JOIN records {alias} ON {alias}.id = {INDEX_TABLE}.rowid"
            found += f" WHERE {INDEX_TABLE} MATCH ?" + (f" AND ({compiled.where})" if compiled.where else "")
            params: tuple[object, ...] = (compiled.match, *compiled.params)
            total = self._db.execute(f"SELECT count(*) {found}", params).fetchone()[0]
            ranking = f"SELECT {INDEX_TABLE}.rowid AS id, {score} AS score {found} ORDER BY score DESC, id"
        else:
            found = f"FROM records {alias} WHERE {compiled.where}"
            params = compiled.params
            total = self._db.execute(f"SELECT count(*) {found}", params).fetchone()[0]
            if compiled.rank is None:
                ranking = f"SELECT {alias}.id, 0.0 {found} ORDER BY {alias}.ad DESC, {alias}.id"
            else:  # score the hits that contain a word
                ranking = (
                    f"SELECT {alias}.id, coalesce(ranked.score, 0.0) AS score FROM records {alias} "
                    f"LEFT JOIN (SELECT rowid, {score} AS score FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?) "
                    f"ranked ON ranked.rowid = {alias}.id WHERE {compiled.where} "
                    f"ORDER BY score DESC, {alias}.ad DESC, {alias}.id"
                )
                params = (compiled.rank, *params)
        rows = self._db.execute(f"{ranking} LIMIT ?", (*params, -1 if limit is None else limit)).fetchall()
        return [(row[0], row[1]) for row in rows], total

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
        return problems + ([f"全文索引多出 {extra} 筆已不存在的專利"] if extra else [])

    def rebuild_index(self, progress: Callable[[int, int], None] | None = None) -> int:
        """Make the full-text index anew from the stored records, in one transaction;
        `progress(done, total)` after each batch. Returns the number of records indexed."""
        total, done, last_id = self.count(), 0, 0
        index_columns = ", ".join(map(index_column, TEXT_FIELDS))
        index_marks = ", ".join("?" * (len(TEXT_FIELDS) + 1))
        with self._transaction():
            self._db.execute(f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}) VALUES ('delete-all')")
            while batch := self._db.execute(
                f"SELECT id, {', '.join(_ATTRIBUTES)} FROM records WHERE id > ? ORDER BY id LIMIT ?",
                (last_id, _CHUNK),
            ).fetchall():
                self._db.executemany(
                    f"INSERT INTO {INDEX_TABLE} (rowid, {index_columns}) VALUES ({index_marks})",
                    [(row[0], *_index_values(PatentRecord(*row[1:]))) for row in batch],
                )
                done, last_id = done + len(batch), batch[-1][0]
                if progress is not None:
                    progress(done, total)
        return done

    # --- end of checking and rebuilding ----------------------------------

    # --- schema --------------------------------------------------------

    def _ensure_schema(self, path: str) -> None:
        version = self._db.execute("PRAGMA user_version").fetchone()[0]
        if version == SCHEMA_VERSION:
            return
        if version != 0:
            raise StoreError(f"資料庫「{path}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）")
        text_columns = ", ".join(f"{a} TEXT NOT NULL DEFAULT ''" for a in _ATTRIBUTES if a != "pn")
        index_columns = ", ".join(map(index_column, TEXT_FIELDS))
        with self._transaction():
            self._db.execute(f"CREATE TABLE records (id INTEGER PRIMARY KEY, pn TEXT NOT NULL UNIQUE, {text_columns})")
            for attribute in _DATE_ATTRIBUTES:
                self._db.execute(f"CREATE INDEX records_{attribute} ON records ({attribute})")
            self._db.execute(
                f"CREATE VIRTUAL TABLE {INDEX_TABLE} USING fts5({index_columns}, "
                "content='', prefix='1', tokenize=\"ascii tokenchars './'\")"
            )
            # Index changes are buffered up to this size before a write: fewer, larger segments.
            self._db.execute(
                f"INSERT INTO {INDEX_TABLE} ({INDEX_TABLE}, rank) VALUES ('hashsize', {INDEX_BUFFER_BYTES})"
            )
            self._db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def open_default_store(path: str | os.PathLike[str] | None = None) -> PatentStore:
    """Open the database (default: paths.database_path()); an empty one is
    first filled with the sample collection shipped with the package."""
    target = paths.database_path() if path is None else path
    if str(target) != ":memory:":
        Path(target).parent.mkdir(parents=True, exist_ok=True)
    store = PatentStore(target)
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
