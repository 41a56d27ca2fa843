"""What a search on the PostgreSQL server gives (PgSearchResult) and the
server's side of the search decisions shared with the SQLite file: family
links (query_plan), the vocabulary (expand) and the collection a similarity
command chooses its words from (similar), each read in the search's
transaction.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager
from typing import Protocol

import psycopg

from . import pn, similar
from .contract import MEMBER_KIND, ROW_BATCH, CitationLinks, RankedHits, linked_sql
from .facets import Facets
from .pg_query import (
    TOKENS, CompiledQuery, Phrase, condition, listed_select, number_condition, posted_counts, similar_query, token_phrase,
)
from .query import Node, Query
from .records import ATTRIBUTES, ROW_ATTRIBUTES, Hit, PatentRecord


class Searching(Protocol):
    """What the results and the similarity command read from the store that made them (pg_store.PgPatentStore)."""

    @property
    def connection(self) -> psycopg.Connection: ...

    @property
    def stale_entries(self) -> bool: ...

    def errors(self) -> AbstractContextManager[None]: ...

    def polling(self, cancel: Callable[[], bool] | None) -> AbstractContextManager[None]: ...

    def new_number(self) -> int: ...

    def release(self, table: str) -> None: ...

    def ids_table(self, table: str, phrases: Sequence[Phrase]) -> str: ...

    def word_tables(self, root: Node, table: str, tables: dict[Node, str]) -> dict[Node, str]: ...


class PgFamilyLinks:
    """The server's family links (query_plan.FamilyLinks), read in the search's transaction."""

    def __init__(self, db: psycopg.Connection):
        self._db = db

    def numbered(self, parts: pn.Parts) -> set[int]:
        sql, params = number_condition(parts)
        return {row[0] for row in self._db.execute(f"SELECT r.id FROM records r WHERE {sql}", params)}

    def listing(self, parts: pn.Parts) -> set[int]:
        return {row[0] for row in self._db.execute(*listed_select(MEMBER_KIND, parts))}

    def linked(self, ids: set[int]) -> set[int]:
        member = "(m.pn = c.given OR m.pn ~ ('^' || c.given || '[A-Z][0-9]?$'))"
        return {row[0] for row in self._db.execute(linked_sql("= ANY(%(ids)s)", member), {"ids": sorted(ids)})}


def citation_links(db: psycopg.Connection) -> CitationLinks:
    """The server's look-ups of citations (citations.CitationLinks), each list bound as one array."""
    return CitationLinks("= ANY(%s)", lambda sql, values: db.execute(sql, (values,)).fetchall())


class PgVocabulary:
    """The tokens ever indexed (expand.Vocabulary), read in the search's transaction."""

    def __init__(self, db: psycopg.Connection):
        self._db = db

    def tokens(self, prefix: str, limit: int) -> list[str]:
        rows = self._db.execute(
            "SELECT token FROM vocabulary WHERE token >= %s AND token < %s ORDER BY token LIMIT %s",
            (prefix, prefix + "\U0010ffff", limit),
        )
        return [row[0] for row in rows]


class PgCollection(similar.RecordIds):
    """The server's side of a similarity command (similar.Collection), read
    in the search's transaction."""

    MARK = "%s"
    _db: psycopg.Connection

    def __init__(self, db: psycopg.Connection, store: Searching, table: str):
        super().__init__(db)
        self._store = store
        self._table = table

    def token_hits(self, tokens: Sequence[str], last_id: int | None) -> list[int]:
        if not tokens:
            return []
        phrases = [token_phrase(token) for token in tokens]
        if all(phrase.posted for phrase in phrases):
            held = dict(self._db.execute(*posted_counts(phrases, last_id, self._store.stale_entries)).fetchall())
            return [held.get(number, 0) for number in range(len(phrases))]
        below = "" if last_id is None else f" AND {TOKENS}.id <= %s"
        # One statement per token, sent together (one statement holding them
        # all is planned ten times slower); each reads its token's entries in
        # the GIN index, where the planner would scan every row for a common one.
        before = self._db.execute("SHOW enable_seqscan").fetchone()[0]
        self._db.execute("SET LOCAL enable_seqscan = off")
        try:
            with self._db.pipeline():
                cursors = []
                for token in tokens:
                    sql, params = token_phrase(token).condition()
                    cursors.append(self._db.execute(
                        f"SELECT count(*) FROM patent_tokens {TOKENS} WHERE {sql}{below}",
                        (*params, *(() if last_id is None else (last_id,))),
                    ))
            return [cursor.fetchone()[0] for cursor in cursors]
        finally:
            self._db.execute(f"SET LOCAL enable_seqscan = {'on' if before == 'on' else 'off'}")

    def source(self, parts: pn.Parts) -> list[tuple[int, str]]:
        sql, params = number_condition(parts)
        columns = ", ".join(f"r.{attribute}" for attribute in similar.SOURCE_ATTRIBUTES)
        rows = self._db.execute(f"SELECT r.id, {columns} FROM records r WHERE {sql} ORDER BY r.id", params)
        return [(record_id, similar.source_text(texts)) for record_id, *texts in rows]

    def compile(self, tokens: Sequence[str], filters: Query | None, excluded: Sequence[int]) -> CompiledQuery:
        phrases = [token_phrase(token) for token in tokens]
        found = self._store.ids_table(self._table, phrases) if phrases and all(p.posted for p in phrases) else ""
        tables = self._store.word_tables(filters.root, self._table, {}) if filters is not None else None
        return similar_query(tokens, filters, excluded, tables, found)


class PgSearchResult(RankedHits):
    """The hits of one search, best first (see contract.RankedHits)."""

    _store: Searching
    _query: Query
    _plan: similar.Plan | None

    def __init__(
        self,
        store: Searching,
        query: Query,
        table: str,
        total: int,
        cancel: Callable[[], bool] | None,
        compiled: CompiledQuery,
        plan: similar.Plan | None = None,
    ):
        super().__init__(store, query, table, total, cancel, plan)
        self._compiled = compiled

    def facets(self, top: int = 10) -> Facets:
        """Counts over every hit, grouped on the server (see
        sqlite_result.SearchResult.facets): from the ranked hits when all of them were
        kept, else from the command's condition run again."""
        store = self._store
        if self._all_ranked():
            found, params = f"FROM records r WHERE r.id IN (SELECT id FROM {self._table})", ()
        else:
            found = f"FROM records r JOIN patent_tokens {TOKENS} ON {TOKENS}.id = r.id WHERE {self._compiled.where}"
            params = self._compiled.params
        with store.errors(), store.polling(self._cancel):
            grouped = [
                store.connection.execute(f"SELECT {column}, count(*) {found} GROUP BY 1", params).fetchall()
                for column in ("r.applicants", "r.ipc", "substr(r.ad, 1, 4)", "substr(r.prd, 1, 4)")
            ]
        return Facets.of(*grouped[:3], top, grouped[3])

    def _links(self) -> CitationLinks:
        return citation_links(self._store.connection)

    def _hit_ids(self, ids: set[int]) -> set[int]:
        if not ids:
            return set()
        if self._all_ranked():
            return {row[0] for row in self._fetch(f"SELECT id FROM {self._table} WHERE id = ANY(%s)", (sorted(ids),))}
        sql = (f"SELECT r.id FROM records r JOIN patent_tokens {TOKENS} ON {TOKENS}.id = r.id "
               f"WHERE r.id = ANY(%s) AND ({self._compiled.where})")
        return {row[0] for row in self._fetch(sql, (sorted(ids), *self._compiled.params))}

    @contextlib.contextmanager
    def _reading(self) -> Iterator[None]:
        with self._store.errors(), self._store.polling(self._cancel):
            yield

    def _cited(self, form: str) -> tuple[str, tuple[str, ...]]:
        return "(value = %s AND (given = %s OR %s ~ ('^' || given || '[A-Z][0-9]?$')))", (pn.number_part(form), form, form)

    def _fetch(self, sql: str, params: Sequence[object] = ()) -> list[tuple]:
        with self._store.errors():
            return self._store.connection.execute(sql, params).fetchall()

    def _narrow(self, numbers: list[str]) -> None:
        with self._store.errors(), self._store.polling(self._cancel):
            self._store.connection.execute(
                f"DELETE FROM {self._table} WHERE id NOT IN (SELECT r.id FROM records r WHERE r.pn = ANY(%s))", (numbers,))

    def _batches(self, sql: str, params: Sequence[object], cancel: Callable[[], bool] | None) -> Iterator[list[tuple]]:
        """The rows of `sql`, ROW_BATCH at a time, through a server-side cursor."""
        store = self._store
        with store.errors(), store.polling(cancel):
            cursor = store.connection.cursor(name=f"{self._table}_rows_{store.new_number()}", withhold=True)
            cursor.execute(sql, params)
        try:
            while True:
                with store.errors(), store.polling(cancel):
                    batch = cursor.fetchmany(ROW_BATCH)
                if not batch:
                    return
                yield batch
        finally:
            if not store.connection.closed:
                cursor.close()

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        """Rows with the words each contains: every distinct word condition
        (and each token a similarity command chose) evaluated on the hit,
        mapped to words in Python."""
        conditions = {condition(term): None for term in self._query.terms()}
        checks = list(conditions)
        words = {
            word: [checks.index(condition(term)) for term in self._query.terms() if term.word == word]
            for word in self._query.words()
        }
        filtered = len(checks)
        if self._plan is not None:
            checks += [token_phrase(token).condition() for token in self._plan.selection.tokens]
            shared = similar.shared_words(self._plan.selection)
        flags = ", ".join(sql for sql, _ in checks) or "NULL"
        attributes = ATTRIBUTES if full else ROW_ATTRIBUTES
        selected = ", ".join(f"r.{a}" if a in attributes else "''" for a in ATTRIBUTES)
        matched_by: dict[tuple[bool, ...], tuple[str, ...]] = {}
        sql = (f"SELECT h.score, ARRAY[{flags}]::boolean[], {selected} FROM {self._table} h "
               f"{self.RECORDS_JOIN} JOIN patent_tokens {TOKENS} ON {TOKENS}.id = h.id "
               "ORDER BY h.rank LIMIT %s")
        for batch in self._batches(sql, (*(p for _, params in checks for p in params), limit), cancel):
            for score, found, *values in batch:
                key = tuple(found or ())
                matched = matched_by.get(key)
                if matched is None:
                    matched = tuple(w for w, at in words.items() if any(key[i] for i in at))
                    if self._plan is not None:
                        mask = sum(1 << bit for bit, held in enumerate(key[filtered:]) if held)
                        matched = shared(mask) + matched
                    matched_by[key] = matched
                yield Hit(PatentRecord(*values), score, matched)
