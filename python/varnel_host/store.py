"""The patent collection in one SQLite file: records and their full-text
index (tables, upgrades, the check and the rebuild: sqlite_schema.py).

A search takes the steps of pipeline.py, this file giving the SQLite side
(_SqliteSearch); it runs in one pass: the ranked ids go into a temporary
table, rows are streamed from it joined to the records, and the words each
hit contains come from one statement that lists, for every word not implied
by the command, the ids it occurs in.

Ranking is FTS5 bm25() with the column weights of query_plan.BM25_WEIGHTS,
reported as a positive score (higher is better). Hits found without any word
(only dates or NOT) have score 0 and come newest application date first.

Import files are read by the ingest package (formats listed there) and
written through write_batch() (loading.py for our own CSV and JSON Lines
layouts). Writing a chunk of records: sqlite_writer.py; the charts' index: sqlite_facets.py; the hits:
sqlite_result.py.
"""

from __future__ import annotations

import itertools
import json
import os
import sqlite3
import time
import uuid
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager

from . import pipeline, pn, segment, similar, sqlite_schema as schema, sqlite_writer, translate
from .contract import (
    PAIR_COLUMNS, TERM_PAIRS_STAMP, BatchCounts, Cancelled, CheckedBatch, CitationLinks, ImportProblem, ImportReport, StoreError, TermPair,
    bilingual_records, bilingual_sql, earliest_sql, pair_of, pair_row, sample_numbers, span_sql,
)
from .facets import FacetIndex
from .query import Near, Query, Term
from .query_plan import B, K1, idf_of, near_check, near_fields, weight
from .records import FIELDS, LONG_ATTRIBUTES, TEXT_FIELDS, UNREADABLE, PatentRecord
from .sqlite_query import (
    RECORDS_ALIAS, CompiledQuery, RankedUnit, SqliteCollection, SqliteFamilyLinks, SqliteVocabulary, citation_links, code_sql,
    compile_query, near_matches, number_sql,
)
from .sqlite_facets import FacetBuilder
from .sqlite_result import ALL_HITS, SearchResult
from .sqlite_schema import CACHE_KIB, FULL_RECORD_SQL, INDEX_TABLE, full_records

__all__ = ["BatchCounts", "Cancelled", "ImportProblem", "ImportReport", "PatentStore", "SearchResult", "StoreError"]

LOCK_WAIT_SECONDS = 60  # another process writing: wait this long for the lock
PROGRESS_STEPS = 20_000  # SQLite virtual-machine steps between cancel() polls
# The same while writing a batch (about every 10 ms of an import's writes):
# each poll takes the GIL, which the threads reading and preparing the next
# batches hold much of the time.
WRITE_PROGRESS_STEPS = 100_000



class PatentStore:
    """Patent records with full-text search. Use from one thread at a time."""

    def __init__(self, path: str | os.PathLike[str] = ":memory:", progress: Callable[[str], None] | None = None):
        """Open (or create) the database; `progress` gets Chinese lines on
        long work at opening (upgrading an older database's format)."""
        self._path = str(path)
        # check_same_thread off: an import writes its batches on a thread of its own
        self._db = sqlite3.connect(path, isolation_level=None, timeout=LOCK_WAIT_SECONDS, check_same_thread=False)
        self._results = itertools.count(1)
        self._stale: list[str] = []  # temporary hit tables of results no longer used
        self._live: weakref.WeakSet[SearchResult] = weakref.WeakSet()
        self._writes = 0  # transactions of this connection, for the state of the collection
        self._facet_index: tuple[tuple[int, int], FacetIndex] | None = None
        self._facet_builder: FacetBuilder | None = None
        try:
            with self._errors():
                self._use_wal()
                self._db.execute("PRAGMA synchronous=NORMAL")
                self._db.execute("PRAGMA temp_store=MEMORY")
                self._db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")
                schema.ensure(self._db, self._path, self._transaction, progress)
                self._db.create_function(schema.DOCUMENT_LENGTH, 1, schema.document_length, deterministic=True)
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
        # Results still held read their hits now: they stay usable after the connection closes.
        for result in list(self._live):
            result.hits  # noqa: B018
        if self._facet_builder is not None:
            self._facet_builder.stop()
        self._db.close()

    def count(self) -> int:
        return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    def span(self, code: str) -> tuple[str, str] | None:
        """The first and last value stored in field `code` (contract.span_sql); None when no record holds one."""
        first, last = self._db.execute(span_sql(code)).fetchone()
        return (first, last) if first else None

    @property
    def connection(self) -> sqlite3.Connection:
        """The store's connection, which its results read through."""
        return self._db

    # --- writing -------------------------------------------------------

    def prepare(self, records: Sequence[PatentRecord], *, checked: bool = False) -> CheckedBatch:
        """The records checked for write_batch() (ValueError as there;
        `checked`: they already passed contract.checked, as ingest.finish()
        gives them, and are not checked again) with what writing them needs
        besides their fields: index values, packed texts, code rows. Touches
        no database: any thread may run it while another writes."""
        return sqlite_writer.prepared_batch(records, checked)

    def write_batch(self, records: Sequence[PatentRecord], *, cancel: Callable[[], bool] | None = None) -> BatchCounts:
        """Add or update records (same pn = same record) in one transaction; a
        record whose stored fields are all equal is counted as unchanged and
        not rewritten. Records from prepare() are written as prepared; others
        are checked first: ValueError names an unusable record (nothing
        written). StoreError when the database cannot be written (locked by
        another process beyond LOCK_WAIT_SECONDS, disk full), Cancelled when
        cancel() returns True before the transaction ends: the database
        unchanged either way."""
        chunks = sqlite_writer.chunks_of(records)
        with self.polling(cancel, WRITE_PROGRESS_STEPS):
            return self._write_chunks(chunks)

    def only_samples(self) -> bool:
        """Whether the database holds the shipped sample records and nothing else."""
        samples = sample_numbers()
        stored = [row[0] for row in self._db.execute("SELECT pn FROM records")]
        return bool(stored) and all(number in samples for number in stored)

    def remove_samples(self) -> int:
        """Remove the shipped sample records; returns how many were removed."""
        return self.remove(sorted(sample_numbers()))

    def stored(self, numbers: Sequence[str]) -> dict[str, PatentRecord]:
        """The stored records of these publication numbers, by number (those not stored left out)."""
        with self._errors():
            rows = self._db.execute(f"{FULL_RECORD_SQL} WHERE r.pn IN (SELECT value FROM json_each(?))", (json.dumps(list(numbers)),))
            return {record.pn: record for _, record in full_records(rows)}

    def remove(self, numbers: Sequence[str]) -> int:
        """Remove the records of these publication numbers in one transaction; returns how many were removed."""
        numbers = json.dumps(list(numbers))
        with self._transaction():
            rows = list(full_records(self._db.execute(f"{FULL_RECORD_SQL} WHERE r.pn IN (SELECT value FROM json_each(?))", (numbers,))))
            schema.forget(self._db, rows)
            schema.store_codes(self._db, [(record_id, record, None) for record_id, record in rows])
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
            if "readonly" in text:
                raise StoreError(
                    f"資料庫「{self._path}」無法寫入（檔案、所在資料夾或磁碟是唯讀的，或沒有寫入權限）；請確認可以寫入後再試"
                ) from error
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

    # --- the mined word pairs ------------------------------------------------

    def bilingual_records(self, limit: int) -> Iterator[PatentRecord]:
        """The `limit` records holding a title in their other
        language, latest publication first, with pn, title, abstract,
        title_alt and abstract_alt only (a damaged abstract as "")."""
        with self._errors():
            ids = [row[0] for row in self._db.execute(
                f"SELECT id FROM records r WHERE {bilingual_sql('r')} ORDER BY r.pd DESC, r.id DESC LIMIT ?", (limit,)
            )]
        return bilingual_records(ids, self._bilingual)

    def _bilingual(self, ids: list[int]) -> dict[int, PatentRecord]:
        with self._errors():
            rows = self._db.execute(
                f"SELECT r.id, r.pn, r.title, r.title_alt, {schema.BODY} FROM records r "
                "LEFT JOIN texts t ON t.id = r.id WHERE r.id IN (SELECT value FROM json_each(?))", (json.dumps(ids),),
            ).fetchall()
        found = {}
        for record_id, number, title, title_alt, body in rows:
            abstract, _, abstract_alt = schema.unpack(body)
            found[record_id] = PatentRecord(number, title, "" if abstract is UNREADABLE else abstract,
                                            title_alt=title_alt, abstract_alt="" if abstract_alt is UNREADABLE else abstract_alt)
        return found

    def term_pairs(self) -> list[TermPair]:
        """The mined word pairs, in (zh, en) order."""
        with self._errors():
            return [pair_of(row) for row in self._db.execute(f"SELECT {PAIR_COLUMNS} FROM term_pairs ORDER BY zh, en")]

    def replace_term_pairs(self, pairs: Iterable[TermPair]) -> int:
        """Put these pairs in place of the stored ones in one transaction, with
        a new term_pairs_stamp(); returns how many were stored."""
        rows = [pair_row(pair) for pair in pairs]
        with self._transaction():
            self._db.execute("DELETE FROM term_pairs")
            self._db.executemany(f"INSERT INTO term_pairs ({PAIR_COLUMNS}) VALUES (?, ?, ?, ?, ?, ?)", rows)
            self._db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", (TERM_PAIRS_STAMP, uuid.uuid4().hex))
        return len(rows)

    def term_pairs_stamp(self) -> str:
        """A text that changes whenever the mined pairs are replaced ("" before the first time)."""
        with self._errors():
            row = self._db.execute("SELECT value FROM meta WHERE key = ?", (TERM_PAIRS_STAMP,)).fetchone()
        return row[0] if row else ""

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
            self._facet_builder = FacetBuilder(self._path, state)
        if wait:
            self._facet_builder.join()

    def current_facet_index(self) -> FacetIndex | None:
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

    def _write_chunks(self, chunks: Iterable[tuple[list[PatentRecord], sqlite_writer.Chunk]]) -> BatchCounts:
        """Write chunks of checked records, each with sqlite_writer.prepare_chunk() of it, in one transaction."""
        counts = {"added": 0, "updated": 0, "unchanged": 0}
        with self._transaction():
            next_id = self._next_id()
            for chunk, prepared in chunks:
                next_id = sqlite_writer.write_chunk(self._db, chunk, prepared, counts, next_id)
        return BatchCounts(counts["added"], counts["updated"], counts["unchanged"])

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
        return pipeline.search(_SqliteSearch(self, f"temp.hits_{next(self._results)}"), command, limit, cancel)

    @contextmanager
    def polling(self, cancel: Callable[[], bool] | None, steps: int = PROGRESS_STEPS) -> Iterator[None]:
        """Statements run inside stop with Cancelled once cancel() is True
        (asked every `steps` virtual-machine steps)."""
        if cancel is None:
            yield
            return
        if cancel():
            raise Cancelled
        self._db.set_progress_handler(cancel, steps)
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
        if compiled.reads_records and compiled.where:
            found += f" CROSS JOIN records {alias} ON {alias}.id = {INDEX_TABLE}.rowid"
        found += f" WHERE {INDEX_TABLE} MATCH ?" + (f" AND ({compiled.where})" if compiled.where else "")
        return f"{INDEX_TABLE}.rowid", found, (compiled.match, *compiled.params)

    def _rank(self, compiled: CompiledQuery, limit: int | None, table: str) -> int:
        """Store (rank, id, score) of the best `limit` hits in `table`; returns
        the number of all hits."""
        alias = RECORDS_ALIAS
        weights = ", ".join(str(weight(code)) for code in TEXT_FIELDS)
        score = f"-bm25({INDEX_TABLE}, {weights})"
        id_column, found, params = self._found(compiled)
        counting = params
        self._db.execute(f"CREATE TABLE {table} (rank INTEGER PRIMARY KEY, id INTEGER NOT NULL, score REAL NOT NULL)")
        if compiled.match is not None:
            # Every hit scored in one pass into the table of all hits (which the
            # charts' counts read), the best `limit` ranked from there: FTS5
            # walks the index once.
            every = table + ALL_HITS
            total = self._new_scores(every, f"INSERT INTO {every} (id, score) SELECT {id_column}, {score} {found}", params)
            if compiled.units:
                self._rescore(compiled.units, every, weights)
            self._db.execute(
                f"INSERT INTO {table} (id, score) SELECT id, score FROM {every} ORDER BY score DESC, id LIMIT ?",
                (-1 if limit is None else limit,),
            )
            return total
        ranked, ranked_params = f"SELECT rowid, {score} AS score FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?", (compiled.rank,)
        if compiled.rank is not None and compiled.units:  # the rank's matches scored ahead, each group as one term
            scores = table + "_scores"
            self._stale.append(scores)  # dropped once the hits are ranked
            self._new_scores(scores, f"INSERT INTO {scores} (id, score) {ranked}", ranked_params)
            self._rescore(compiled.units, scores, weights)
            score = f"(SELECT s.score FROM {scores} s WHERE s.id = {id_column})"
            ranked, ranked_params = f"SELECT id AS rowid, score FROM {scores}", ()
        if compiled.rank is None:
            ranking = f"SELECT {alias}.id, 0.0 {found} ORDER BY {alias}.ad DESC, {alias}.id"
        elif compiled.rank_finds_all:
            ranking = f"SELECT {id_column} AS id, {score} AS score {found} ORDER BY score DESC, {alias}.ad DESC, id"
        else:  # score the hits that contain a word
            ranking = (
                f"SELECT {alias}.id, coalesce(ranked.score, 0.0) AS score FROM records {alias} "
                f"LEFT JOIN ({ranked}) "
                f"ranked ON ranked.rowid = {alias}.id WHERE {compiled.where} "
                f"ORDER BY score DESC, {alias}.ad DESC, {alias}.id"
            )
            params = (*ranked_params, *params)
        stored = self._db.execute(
            f"INSERT INTO {table} (id, score) {ranking} LIMIT ?", (*params, -1 if limit is None else limit)
        ).rowcount
        if limit is None or stored < limit:
            return stored
        # Not every hit ranked: all of them are counted into a table of their
        # ids, which the charts' counts (SearchResult.facets) read again.
        self._db.execute(f"CREATE TABLE {table}{ALL_HITS} (id INTEGER PRIMARY KEY)")
        return self._db.execute(f"INSERT OR IGNORE INTO {table}{ALL_HITS} SELECT {id_column} {found}", counting).rowcount

    def _new_scores(self, table: str, fill: str, params: Sequence[object]) -> int:
        """A table of (id, score) filled by the statement `fill`; returns its rows."""
        self._db.execute(f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, score REAL NOT NULL)")
        return self._db.execute(fill, params).rowcount

    def _rescore(self, units: Sequence[RankedUnit], scores: str, weights: str) -> None:
        """Score the records of the table `scores` (id, score) by `units`, each
        word and TR group as one term (query_plan.ranking), with the server's
        arithmetic (pg_query.bm25_sql): the same score from the same
        frequencies, whichever members hold them. FTS5 scores a phrase p
        alone s = c f / (f + K), c = idf(p) (k1 + 1), K = k1 (1 - b + b D / avgdl)
        (D the record's tokens, avgdl the collection's mean), so its weighted
        frequency f = K s / (c - s), a whole number (whole column weights)."""
        phrases = list(dict.fromkeys(p for unit in units for p in unit.phrases))
        guards = list(dict.fromkeys(unit.guard for unit in units if unit.guard))
        found = f"{scores}_phrases"  # each phrase's score alone, then its frequency, per record; which guards hold
        columns = [f"s{i} REAL, f{i} REAL NOT NULL DEFAULT 0" for i in range(len(phrases))]
        columns += [f"g{j} INTEGER NOT NULL DEFAULT 0" for j in range(len(guards))]
        self._db.execute(f"CREATE TABLE {found} (id INTEGER PRIMARY KEY, k REAL, {', '.join(columns)})")
        for i, phrase in enumerate(phrases):
            self._db.execute(
                f"INSERT INTO {found} (id, s{i}) SELECT rowid, -bm25({INDEX_TABLE}, {weights}) FROM {INDEX_TABLE} "
                f"WHERE {INDEX_TABLE} MATCH ? AND +{INDEX_TABLE}.rowid IN (SELECT id FROM {scores}) "
                f"ON CONFLICT (id) DO UPDATE SET s{i} = excluded.s{i}",
                (phrase,),
            )
        for j, guard in enumerate(guards):
            matching = f"SELECT rowid FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?"
            self._db.execute(f"UPDATE {found} SET g{j} = 1 WHERE id IN ({matching})", (guard,))
        records, tokens = schema.index_totals(self._db)
        distinct = list(dict.fromkeys(unit.phrases for unit in units))
        counted = ", ".join([f"(SELECT count(*) FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?)"] * (len(phrases) + len(distinct)))
        hits = self._db.execute(f"SELECT {counted}", (*phrases, *(" OR ".join(f"({p})" for p in each) for each in distinct))).fetchone()
        idf = idf_of(hits, records)
        avgdl = tokens / records if records else 1.0
        self._db.execute(
            f"UPDATE {found} SET k = ? * (1.0 - ? + ? * (SELECT {schema.DOCUMENT_LENGTH}(sz) FROM {INDEX_TABLE}_docsize d "
            f"WHERE d.id = {found}.id) / ?)", (K1, B, B, avgdl),
        )
        self._db.execute(
            f"UPDATE {found} SET {', '.join(f'f{i} = coalesce(round(k * s{i} / (? - s{i})), 0.0)' for i in range(len(phrases)))}",
            [idf[i] * (K1 + 1.0) for i in range(len(phrases))],
        )
        terms, params = [], []
        for unit in units:
            f = " + ".join(f"f{phrases.index(p)}" for p in unit.phrases)
            term = f"? * ((({f}) * (? + 1.0)) / (({f}) + k))"
            terms.append(f"CASE WHEN g{guards.index(unit.guard)} THEN {term} ELSE 0.0 END" if unit.guard else term)
            params += [idf[len(phrases) + distinct.index(unit.phrases)], K1]
        self._db.execute(f"UPDATE {scores} SET score = coalesce((SELECT {' + '.join(terms)} FROM {found} m WHERE m.id = {scores}.id), 0.0)", params)
        self._db.execute(f"DROP TABLE {found}")

    def occurrences(self, expressions: Sequence[str], among: Sequence[int] | None = None) -> dict[int, int]:
        """id -> bit mask of the FTS5 expressions (bit i: expressions[i]) it
        matches: over the whole index, or only the records `among` (FTS5 looks
        each of them up, which for a few records is far quicker than
        matching an expression over the whole collection)."""
        if not expressions or among is not None and not among:
            return {}
        one = f"SELECT group_concat(rowid, ' ') FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?"
        params: list[object] = list(expressions)
        if among is not None:
            one += f" AND rowid IN ({', '.join('?' * len(among))})"
            params = [value for expression in expressions for value in (expression, *among)]
        sql = " UNION ALL ".join(f"SELECT {bit}, ({one})" for bit in range(len(expressions)))
        masks: dict[int, int] = {}
        get = masks.get
        for bit, ids in self._db.execute(sql, params):
            flag = 1 << bit
            for record_id in map(int, (ids or "").split()):
                masks[record_id] = get(record_id, 0) | flag
        return masks

    def release(self, table: str) -> None:
        self._stale += (table, table + ALL_HITS)

    def _new_table(self, name: str) -> None:
        self._db.execute(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY)")
        self._stale.append(name)  # dropped once the hits are ranked, or by the next search if this one stops

    def _search_result(self, query: Query, table: str, total: int, cancel: Callable[[], bool] | None,
                       plan: similar.Plan | None) -> SearchResult:
        result = SearchResult(self, query, table, total, cancel, plan)
        self._live.add(result)
        return result

    # --- checking and rebuilding -------------------------------------

    def check(self, progress: Callable[[str], None] | None = None) -> list[str]:
        """The full check (sqlite_schema.check): the problems found, empty when sound."""
        return schema.check(self._db, progress)

    def rebuild_index(self, progress: Callable[[int, int], None] | None = None, skipped: list[str] | None = None) -> int:
        """Make the full-text index anew from the stored records, in one transaction;
        `progress(done, total)` after each batch; records with unreadable texts
        are left out and named in `skipped`. Returns the number of records indexed."""
        return schema.rebuild_index(self._db, self._transaction, progress, skipped)


class _SqliteSearch:
    """The SQLite file's side of one search (pipeline.SearchBackend): its
    hits in the temporary table `table`, the id tables beside it dropped
    once the hits are ranked."""

    def __init__(self, store: PatentStore, table: str):
        self._store = store
        self._db = store.connection
        self.table = table

    @contextmanager
    def running(self, cancel: Callable[[], bool] | None) -> Iterator[None]:
        self._store._drop_stale()
        with self._store.polling(cancel):
            yield
        self._store._drop_stale()  # the proximity tables: the hits are ranked and counted

    def vocabulary(self) -> SqliteVocabulary:
        return SqliteVocabulary(self._db)

    def terms(self) -> translate.Loaded:
        return translate.table_of(self._store)

    def family_links(self) -> SqliteFamilyLinks:
        return SqliteFamilyLinks(self._db)

    def citation_links(self) -> CitationLinks:
        return citation_links(self._db)

    def earliest(self, parts: pn.Parts) -> tuple[int, str | None]:
        condition, params = number_sql(parts)
        return self._db.execute(earliest_sql(condition), params).fetchone()

    def id_table(self, name: str) -> None:
        self._store._new_table(name)

    def fill_ids(self, table: str, ids: Iterable[int]) -> None:
        self._db.executemany(f"INSERT INTO {table} (id) VALUES (?)", ((record_id,) for record_id in ids))

    def fill_codes(self, table: str, term: Term) -> None:
        sql, params = code_sql(term)
        self._db.execute(f"INSERT OR IGNORE INTO {table} (id) {sql}", params)

    def span(self, code: str) -> tuple[str, str] | None:
        return self._store.span(code)

    def look_up(self, query: Query) -> None:
        """FTS5 answers every word within the statement that reads it."""

    def find_near(self, near: Near, table: str) -> None:
        """Fill `table` with the ids of the records where `near` holds: those
        FTS5 finds for sure (sqlite_query.near_matches), then the others it
        may hold in, checked natively (query_plan.near_check): first in the
        long texts (abstracts and claims), then the rest in their short fields, read by id
        (most hold in the long texts, whose records rows stay unread)."""
        sure, maybe = near_matches(near)
        if sure is not None:
            self._db.execute(f"INSERT INTO {table} (id) SELECT rowid FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?", (sure,))
        if maybe is None:
            return
        check = near_check(near)
        attributes = [FIELDS[code][0] for code in near_fields(near)]
        long = [LONG_ATTRIBUTES.index(attribute) for attribute in attributes if attribute in LONG_ATTRIBUTES]
        # IPC last: its printed codes are joined, as they are indexed
        short = sorted((a for a in attributes if a not in LONG_ATTRIBUTES), key=lambda attribute: attribute == "ipc")
        rows = self._db.execute(
            f"SELECT {INDEX_TABLE}.rowid, {schema.BODY if long else 'NULL'} FROM {INDEX_TABLE}"
            f"{f' LEFT JOIN texts t ON t.id = {INDEX_TABLE}.rowid' if long else ''} "
            f"WHERE {INDEX_TABLE} MATCH ? AND +{INDEX_TABLE}.rowid NOT IN (SELECT id FROM {table})",
            (maybe,),
        )
        held: list[int] = []
        others: list[int] = []
        for record_id, body in rows:
            (held if long and check.in_texts(_picked(schema.unpack(body), long)) else others).append(record_id)
        for start in range(0, len(others) if short else 0, schema.CHUNK):
            chunk = json.dumps(others[start : start + schema.CHUNK])
            for row in self._db.execute(
                f"SELECT id, {', '.join(short)} FROM records WHERE id IN (SELECT value FROM json_each(?))", (chunk,)
            ):
                if check.in_texts((*row[1:-1], segment.join_ipc(row[-1])) if short[-1] == "ipc" else row[1:]):
                    held.append(row[0])
        self._db.execute(f"INSERT INTO {table} (id) SELECT value FROM json_each(?)", (json.dumps(held),))


    def collection(self) -> SqliteCollection:
        return SqliteCollection(self._db)

    def records(self) -> int:
        return self._store.count()

    def compile(self, query: Query) -> CompiledQuery:
        return compile_query(query)

    def rank(self, compiled: CompiledQuery, limit: int | None) -> int:
        return self._store._rank(compiled, limit, self.table)

    def result(
        self, query: Query, total: int, compiled: CompiledQuery, plan: similar.Plan | None, cancel: Callable[[], bool] | None
    ) -> SearchResult:
        return self._store._search_result(query, self.table, total, cancel, plan)


def _picked(values: Sequence[str], indexes: Sequence[int]) -> list[str]:
    return [values[i] for i in indexes]
