"""The patent collection on a PostgreSQL server: many windows on many
machines search one collection while it is being updated.

The store contract of contract.py, with the same answers as the SQLite
file (store.py): the same tokens (segment.py cuts the text here, the server
only stores them, see pg_query.py), the same hits, ranked by the same bm25
(pg_query.bm25_sql) over the same statistics, ties broken alike (id, given
in order of first import). SIM= commands choose their
words in similar.py from document frequencies counted here (pg_result.PgCollection)
and rank by the chosen tokens with the same bm25.

The tables and their upgrades: pg_schema.py; writing: pg_writer.py and
pg_compact.py; connecting, the server's failures in Chinese and cancelling:
pg_connection.py; the hits: pg_result.py. A search takes the steps of
pipeline.py, this file giving the server's side (_PgSearch), in one REPEATABLE
READ transaction (statistics, IDF and hits from the same state: before or
after any write, never in between) and keeps its ranked ids in a temporary
table that rows() streams from through a server-side cursor.
"""

from __future__ import annotations

import itertools
import logging
import re
import uuid
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
import contextlib

import psycopg

from . import pg_compact, pg_connection, pg_schema, pg_writer, pipeline, pn, similar, translate
from .contract import (
    PAIR_COLUMNS, TERM_PAIRS_STAMP, BatchCounts, CheckedBatch, CitationLinks, StoreError, TermPair, bilingual_records, bilingual_sql,
    checked_batch, earliest_sql, pair_of, pair_row, sample_numbers, span_sql,
)
from .pg_connection import describe
from .pg_query import (
    RECORDS, TOKENS, CompiledQuery, Phrase, Scoring, NO_SCORE, bm25_sql, code_select, compile_query, condition,
    looked_up, looked_up_nodes, number_condition, phrase_counts, posted, posted_frequencies, posted_ids, ranked_phrases,
    ranked_units, token_column, unit_frequencies,
)
from .pg_result import PgCollection, PgFamilyLinks, PgSearchResult, PgVocabulary, citation_links
from .query import Near, Node, Query, Term
from .query_plan import both_sides, near_check, near_fields
from .records import ATTRIBUTES, PatentRecord

__all__ = ["PgPatentStore", "PgSearchResult", "describe"]

_QUIET_BATCHES = 8  # the compaction after a write says how far it got when it has more batches
_RECORDS_USED = re.compile(rf"\b{RECORDS}\.")  # SQL reading the records table
_TOKEN_TEXT_USED = re.compile(rf"\b{TOKENS}\.(?!id\b|ntokens\b)")  # SQL reading the token text or tsvector


log = logging.getLogger(__name__)


class PgPatentStore:
    """Patent records with full-text search on a PostgreSQL server. Use from
    one thread at a time (one connection)."""

    def __init__(self, url: str, progress: Callable[[str], None] | None = None):
        self._server = pg_connection.Server(url)
        self._results = itertools.count(1)
        self._stale: list[str] = []
        self._extra: dict[str, list[str]] = {}  # a hit table -> the proximity tables that go with it
        self._live: weakref.WeakSet[PgSearchResult] = weakref.WeakSet()
        self._progress = progress
        self._stale_entries = True  # whether the postings have stale entries, as the search's transaction sees them
        self._db = self._server.connect()
        try:
            with self.errors():
                self._server.time_limit = self._db.execute("SHOW statement_timeout").fetchone()[0]
                pg_schema.ensure(
                    self._db, self._server.where, self._say, lambda: pg_writer.reindex(self._db),
                    lambda: pg_writer.post_stored(self._db, self._say),
                )
        except BaseException:
            self._db.close()
            raise

    def __enter__(self) -> PgPatentStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        for result in list(self._live):
            try:
                result.hits  # noqa: B018 (results still held keep their hits)
            except StoreError:
                pass
        self._db.close()

    def count(self) -> int:
        self._reconnect_if_dropped()
        with self.errors():
            return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    def span(self, code: str) -> tuple[str, str] | None:
        """See PatentStore.span."""
        self._reconnect_if_dropped()
        with self.errors():
            first, last = self._db.execute(span_sql(code)).fetchone()
        return (first, last) if first else None

    def _reconnect_if_dropped(self) -> None:
        """Open the connection again, once, when the server dropped it since
        its last statement (pg_connection.alive), so that the search after
        it runs as usual. The session's temporary tables went with it."""
        if pg_connection.alive(self._db):
            return
        self._db.close()
        self._db = self._server.connect()
        self._stale.clear()
        self._extra.clear()

    @property
    def connection(self) -> psycopg.Connection:
        """The store's connection, which its results read through."""
        return self._db

    def new_number(self) -> int:
        """A number not used before by this store (names of its temporary objects)."""
        return next(self._results)

    def prepare_facets(self, wait: bool = False) -> None:
        """The server groups the charts' counts itself: nothing to prepare."""

    # --- errors --------------------------------------------------------

    def errors(self) -> contextlib.AbstractContextManager[None]:
        """The server's failures that a user can act on, as StoreError in Chinese (pg_connection.Server.errors)."""
        return self._server.errors()

    def _say(self, line: str) -> None:
        if self._progress is not None:
            self._progress(line)

    # --- writing -------------------------------------------------------

    def prepare(self, records: Sequence[PatentRecord], *, checked: bool = False) -> CheckedBatch:
        """The records checked for write_batch() (see PatentStore.prepare);
        their tokens are made while the batch is written."""
        return CheckedBatch(records if checked else checked_batch(records))

    def write_batch(self, records: Sequence[PatentRecord], *, cancel: Callable[[], bool] | None = None) -> BatchCounts:
        """Add or update records (same pn = same record) in one transaction; see
        PatentStore.write_batch (cancel() asked before each chunk)."""
        return self._store_all(records if isinstance(records, CheckedBatch) else checked_batch(records), cancel)

    def _store_all(self, records: Sequence[PatentRecord], cancel: Callable[[], bool] | None = None) -> BatchCounts:
        """Write checked records in one transaction (pg_writer.write_all), then compact what it left stale."""
        with self.errors():
            counts = pg_writer.write_all(self._db, records, cancel)
        self._reclaim(cancel)
        return counts

    def _reclaim(self, cancel: Callable[[], bool] | None = None) -> pg_compact.Compacted | None:
        """Compact the postings entries that writes committed so far left
        stale (pg_compact), after the write's own transaction. Its failure
        loses nothing (every read skips stale entries; rebuild-index reclaims
        them later): it is logged and said, the write stays a success."""
        try:
            batches = pg_compact.stale_batches(self._db)
            progress = self._progress if len(batches) > _QUIET_BATCHES else None
            return pg_compact.compact(self._db, progress, cancel, batches)
        except psycopg.Error as error:
            log.warning("the stale postings were not compacted", exc_info=True)
            self._say(f"注意：被取代或移除的專利留下的舊索引項目這次未能回收（{self._server.reason(error)}）；"
                      "檢索結果不受影響，稍後執行 varnel-host rebuild-index 即可回收")
            return None

    def compact_postings(self, progress: Callable[[str], None] | None = None) -> pg_compact.Compacted:
        """Reclaim every stale postings entry, saying how far it got, then let
        the server reuse the space at once (VACUUM, which the server skips
        with a warning for a role not owning the table; autovacuum does it
        later when it cannot run here)."""
        say = progress or (lambda line: None)
        with self.errors():
            batches = pg_compact.stale_batches(self._db)
            say(f"回收舊索引項目：共 {len(batches):,} 批詞頻索引含有被取代或移除的專利，逐批整理")
            done = pg_compact.compact(self._db, progress, batches=batches)
        say("整理詞頻索引表（VACUUM）…")
        try:
            self._db.execute("VACUUM (ANALYZE) postings, stale_postings")
        except psycopg.Error as error:
            say(f"注意：VACUUM 未完成（{self._server.reason(error)}）；舊項目已回收，空間稍後由伺服器的 autovacuum 整理")
        return done

    def stale_share(self) -> pg_compact.StaleShare:
        """How much of the postings is stale (pg_compact.stale_share)."""
        with self.errors():
            return pg_compact.stale_share(self._db)

    def only_samples(self) -> bool:
        """Whether the database holds the shipped sample records and nothing else."""
        with self.errors():
            return self._db.execute(
                "SELECT EXISTS (SELECT 1 FROM records) AND NOT EXISTS (SELECT 1 FROM records WHERE pn <> ALL(%s))",
                (sorted(sample_numbers()),),
            ).fetchone()[0]

    def remove_samples(self) -> int:
        """Remove the shipped sample records; returns how many were removed."""
        return self.remove(sorted(sample_numbers()))

    def stored(self, numbers: Sequence[str]) -> dict[str, PatentRecord]:
        """The stored records of these publication numbers, by number (those not stored left out)."""
        with self.errors():
            rows = self._db.execute(f"SELECT {', '.join(ATTRIBUTES)} FROM records WHERE pn = ANY(%s)", (list(numbers),))
            return {row[0]: PatentRecord(*row) for row in rows}

    def remove(self, numbers: Sequence[str]) -> int:
        """Remove the records of these publication numbers in one transaction; returns how many were removed."""
        numbers = list(numbers)
        with self.errors(), self._db.transaction():
            gone, tokens = self._db.execute(
                "WITH gone AS (DELETE FROM patent_tokens t USING records r WHERE r.id = t.id AND r.pn = ANY(%s) "
                "RETURNING t.ntokens) SELECT count(*), coalesce(sum(ntokens), 0) FROM gone",
                (numbers,),
            ).fetchone()
            removed = self._db.execute("DELETE FROM records WHERE pn = ANY(%s)", (numbers,)).rowcount
            self._db.execute("INSERT INTO index_stats (records, tokens) VALUES (%s, %s)", (-gone, -tokens))
        self._reclaim()
        return removed

    # --- the mined word pairs ------------------------------------------------

    def bilingual_records(self, limit: int) -> Iterator[PatentRecord]:
        """See PatentStore.bilingual_records."""
        self._reconnect_if_dropped()
        with self.errors():
            ids = [row[0] for row in self._db.execute(
                f'SELECT id FROM records r WHERE {bilingual_sql("r")} ORDER BY r.pd COLLATE "C" DESC, r.id DESC LIMIT %s',
                (limit,),
            )]
        return bilingual_records(ids, self._bilingual)

    def _bilingual(self, ids: list[int]) -> dict[int, PatentRecord]:
        with self.errors():
            rows = self._db.execute(
                "SELECT id, pn, title, abstract, title_alt, abstract_alt FROM records WHERE id = ANY(%s)", (ids,)
            ).fetchall()
        return {row[0]: PatentRecord(*row[1:4], title_alt=row[4], abstract_alt=row[5]) for row in rows}

    def term_pairs(self) -> list[TermPair]:
        """See PatentStore.term_pairs."""
        self._reconnect_if_dropped()
        with self.errors():
            rows = self._db.execute(f'SELECT {PAIR_COLUMNS} FROM term_pairs ORDER BY zh COLLATE "C", en COLLATE "C"')
            return [pair_of(row) for row in rows]

    def replace_term_pairs(self, pairs: Iterable[TermPair]) -> int:
        """See PatentStore.replace_term_pairs."""
        rows = [pair_row(pair) for pair in pairs]
        self._reconnect_if_dropped()
        with self.errors(), self._db.transaction():
            self._db.execute("LOCK TABLE term_pairs IN EXCLUSIVE MODE")  # two imports ending at once: one after the other
            self._db.execute("DELETE FROM term_pairs")
            with self._db.cursor().copy(f"COPY term_pairs ({PAIR_COLUMNS}) FROM STDIN") as copy:
                for row in rows:
                    copy.write_row(row)
            self._db.execute(
                "INSERT INTO varnel_meta (key, value) VALUES (%s, %s) ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
                (TERM_PAIRS_STAMP, uuid.uuid4().hex),
            )
        return len(rows)

    def term_pairs_stamp(self) -> str:
        """See PatentStore.term_pairs_stamp."""
        self._reconnect_if_dropped()
        with self.errors():
            row = self._db.execute("SELECT value FROM varnel_meta WHERE key = %s", (TERM_PAIRS_STAMP,)).fetchone()
        return row[0] if row else ""

    # --- searching -----------------------------------------------------

    def search(
        self, command: str | Query, limit: int | None = None, *, cancel: Callable[[], bool] | None = None
    ) -> PgSearchResult:
        """Run a search command (or a parsed Query): every hit (at most `limit`)
        ranked, best first; see PatentStore.search."""
        return pipeline.search(_PgSearch(self, f"varnel_hits_{self.new_number()}"), command, limit, cancel)

    @contextlib.contextmanager
    def _searching(self, cancel: Callable[[], bool] | None) -> Iterator[None]:
        """One search's statements: in one REPEATABLE READ transaction, its
        failures as StoreError, stopped once cancel() is True."""
        self._reconnect_if_dropped()
        with self.errors(), self.polling(cancel):
            self._drop_stale()
            with self._db.transaction():
                self._db.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
                self._stale_entries = self._db.execute("SELECT EXISTS (SELECT 1 FROM stale_postings)").fetchone()[0]
                yield

    def _search_result(self, query: Query, table: str, total: int, cancel: Callable[[], bool] | None,
                       compiled: CompiledQuery, plan: similar.Plan | None) -> PgSearchResult:
        result = PgSearchResult(self, query, table, total, cancel, compiled, plan)
        self._live.add(result)
        return result

    def _new_table(self, table: str, name: str) -> None:
        """A temporary table of ids going with the result `table`."""
        self._db.execute(f"CREATE TEMP TABLE {name} (id bigint PRIMARY KEY)")
        self._extra.setdefault(table, []).append(name)

    def _rank(self, compiled: CompiledQuery, limit: int | None, table: str) -> int:
        """Store (rank, id, score) of the best `limit` hits in `table`; returns
        the number of all hits."""
        score, score_params, join, join_params, group = self._score(compiled, table)
        order = "score DESC, id" if compiled.indexed else "score DESC, ad COLLATE \"C\" DESC, id"
        # the token text only when the command reads it (a guard, a token too long for the postings)
        read = f"{compiled.where} {score} {join}"
        found = f"FROM {'patent_tokens' if _TOKEN_TEXT_USED.search(read) else 'record_lengths'} {TOKENS}"
        ad = "''"
        if not compiled.indexed or _RECORDS_USED.search(read):
            found += f" JOIN records {RECORDS} ON {RECORDS}.id = {TOKENS}.id"
            ad, group = f"{RECORDS}.ad", group and f"{group}, {RECORDS}.id"
        where = f" WHERE {compiled.where}"
        self._db.execute(f"CREATE TEMP TABLE {table} (rank bigint PRIMARY KEY, id bigint NOT NULL, score float8 NOT NULL)")
        # every hit scored once: the best `limit` kept (a bounded sort) and numbered, all of them counted
        return self._db.execute(
            f"WITH hit AS MATERIALIZED (SELECT {TOKENS}.id, {ad} AS ad, {score} AS score {found}{join}{where}{group}), "
            f"best AS (INSERT INTO {table} (rank, id, score) SELECT row_number() OVER (ORDER BY {order}), id, score "
            f"FROM (SELECT * FROM hit ORDER BY {order} LIMIT %s) kept RETURNING 1) "
            "SELECT count(*) FROM hit",
            (*score_params, *join_params, *compiled.params, limit),
        ).fetchone()[0]

    def _score(self, compiled: CompiledQuery, table: str) -> Scoring:
        """bm25 over the collection's statistics as it is in this transaction
        (the phrases' frequencies kept in a table going with `table`)."""
        if not compiled.ranked:
            return NO_SCORE
        records, tokens = self._db.execute(
            "SELECT coalesce(sum(records), 0)::bigint, coalesce(sum(tokens), 0)::bigint FROM index_stats"
        ).fetchone()
        phrases, units = ranked_phrases(compiled), ranked_units(compiled)
        frequencies = ""
        if posted(compiled):
            frequencies = self._analyzed(table, "f", *posted_frequencies(phrases, self._stale_entries))
            if units != phrases:  # a TR group ranks as one term
                frequencies = self._analyzed(table, "f", *unit_frequencies(frequencies, phrases, units))
            held = dict(self._db.execute(f"SELECT phrase, count(*) FROM {frequencies} GROUP BY phrase").fetchall())
            hits = [held.get(number, 0) for number in range(len(units))]
        else:
            sql, params = phrase_counts(units)
            hits = self._db.execute(sql, params).fetchone()
        return bm25_sql(compiled, hits, records, tokens, frequencies)

    def polling(self, cancel: Callable[[], bool] | None) -> contextlib.AbstractContextManager[None]:
        """Statements run inside stop with Cancelled once cancel() is True (pg_connection.polling)."""
        return pg_connection.polling(self._db, cancel)

    def word_tables(self, root: Node, table: str, tables: dict[Node, str]) -> dict[Node, str]:
        """`tables` with a table of the ids of each part of `root` the
        postings answer (pg_query.looked_up_nodes), made once per search."""
        for node in looked_up_nodes(root):
            if node not in tables:
                tables[node] = self.ids_table(table, looked_up(node))
        return tables

    @property
    def stale_entries(self) -> bool:
        return self._stale_entries

    def ids_table(self, table: str, phrases: Sequence[Phrase]) -> str:
        """A temporary table (going with the result `table`) of the ids of
        the records holding any of the phrases, from the postings."""
        sql, params = posted_ids(phrases, self._stale_entries)
        return self._analyzed(table, "ids", f"SELECT DISTINCT id FROM ({sql}) found", params)

    def _analyzed(self, table: str, kind: str, sql: str, params: Sequence[object]) -> str:
        """A temporary table of the rows of `sql`, going with the result
        `table`, analyzed: the plans that join it know how many rows it has."""
        extra = self._extra.setdefault(table, [])
        name = f"{table}_{kind}{len(extra)}"
        extra.append(name)
        self._db.execute(f"CREATE TEMP TABLE {name} AS {sql}", params)
        self._db.execute(f"ANALYZE {name}")
        return name

    def _drop_stale(self) -> None:
        while self._stale:
            self._db.execute(f"DROP TABLE IF EXISTS {self._stale.pop()}")

    def release(self, table: str) -> None:
        self._stale += (table, *self._extra.pop(table, ()))


class _PgSearch:
    """The server's side of one search (pipeline.SearchBackend): its hits
    in the temporary table `table`, which the tables of ids made for it go
    with (its charts may run the condition again)."""

    def __init__(self, store: PgPatentStore, table: str):
        self._store = store
        self.table = table
        self._words: dict[Node, str] = {}

    @property
    def _db(self) -> psycopg.Connection:
        return self._store.connection  # read at each step: the store may reconnect before the search starts

    def running(self, cancel: Callable[[], bool] | None) -> contextlib.AbstractContextManager[None]:
        return self._store._searching(cancel)

    def vocabulary(self) -> PgVocabulary:
        return PgVocabulary(self._db)

    def terms(self) -> translate.Loaded:
        return translate.table_of(self._store)

    def family_links(self) -> PgFamilyLinks:
        return PgFamilyLinks(self._db)

    def citation_links(self) -> CitationLinks:
        return citation_links(self._db)

    def earliest(self, parts: pn.Parts) -> tuple[int, str | None]:
        condition, params = number_condition(parts)
        return self._db.execute(earliest_sql(condition), params).fetchone()

    def id_table(self, name: str) -> None:
        self._store._new_table(self.table, name)

    def fill_ids(self, table: str, ids: Iterable[int]) -> None:
        self._db.execute(f"INSERT INTO {table} (id) SELECT unnest(%s::bigint[])", (list(ids),))

    def fill_codes(self, table: str, term: Term) -> None:
        sql, params = code_select(term)
        self._db.execute(f"INSERT INTO {table} (id) {sql} ON CONFLICT DO NOTHING", params)

    def span(self, code: str) -> tuple[str, str] | None:
        first, last = self._db.execute(span_sql(code)).fetchone()
        return (first, last) if first else None

    def look_up(self, query: Query) -> None:
        """The ids of each part of the command the postings answer, in a table made once per search."""
        self._store.word_tables(query.root, self.table, self._words)

    def find_near(self, near: Near, table: str) -> None:
        """Fill `table` with the ids of the records where `near` holds: the
        records holding both sides are read with their fields' tokens and checked."""
        fields = near_fields(near)
        sides = both_sides(near)
        sql, params = condition(sides, self._store.word_tables(sides, self.table, self._words))
        columns = ", ".join(f"{TOKENS}.{token_column(code)}" for code in fields)
        records = f" JOIN records {RECORDS} ON {RECORDS}.id = {TOKENS}.id" if _RECORDS_USED.search(sql) else ""
        rows = self._db.execute(f"SELECT {TOKENS}.id, {columns} FROM patent_tokens {TOKENS}{records} WHERE {sql}", params)
        check = near_check(near)
        held = [(row[0],) for row in rows if check.in_tokens(row[1:])]
        if held:
            with self._db.cursor().copy(f"COPY {table} (id) FROM STDIN") as copy:
                for row in held:
                    copy.write_row(row)


    def collection(self) -> PgCollection:
        return PgCollection(self._db, self._store, self.table)

    def records(self) -> int:
        return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    def compile(self, query: Query) -> CompiledQuery:
        return compile_query(query, self._words)

    def rank(self, compiled: CompiledQuery, limit: int | None) -> int:
        return self._store._rank(compiled, limit, self.table)

    def result(
        self, query: Query, total: int, compiled: CompiledQuery, plan: similar.Plan | None, cancel: Callable[[], bool] | None
    ) -> PgSearchResult:
        return self._store._search_result(query, self.table, total, cancel, compiled, plan)
