"""What a search of the SQLite file gives (SearchResult): its hits in rank
order, with the words each contains, and the charts' counts over every hit."""

from __future__ import annotations

import json
import sqlite3
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager
from typing import Protocol

from . import pn, similar, sqlite_schema as schema
from .contract import ROW_BATCH, CitationLinks, RankedHits
from .facets import FacetIndex, Facets, applicant_names, filing_year, ipc_subclasses
from .query import Query
from .records import LISTED_ATTRIBUTES, ROW_ATTRIBUTES, Hit
from .sqlite_query import citation_links, token_match, word_checks
from .sqlite_schema import record_of

FEW_ROWS = 32  # hits read at once whose words are looked up by id, not matched over the whole index
ALL_HITS = "_all"  # suffix of the table of every hit (id, and score where one pass scored them all)


class Searching(Protocol):
    """What a result reads from the store that made it (store.PatentStore)."""

    @property
    def connection(self) -> sqlite3.Connection: ...

    def polling(self, cancel: Callable[[], bool] | None) -> AbstractContextManager[None]: ...

    def current_facet_index(self) -> FacetIndex | None: ...

    def occurrences(self, expressions: Sequence[str], among: Sequence[int] | None = None) -> dict[int, int]: ...

    def release(self, table: str) -> None: ...


class SearchResult(RankedHits):
    """The hits of one search, best first (see PatentStore.search).

    `total` counts every hit, `words` are the command's words in command
    order. rows() streams the hits with pn, title, applicants, inventors,
    ipc, an and dates (abstract and claims empty); closest(n) gives the n best
    with full records. Each hit's `matched` are the words it contains."""

    # CROSS JOIN: SQLite reads the ranked hits first, in rank order
    RECORDS_JOIN = "CROSS JOIN records r ON r.id = h.id"
    _store: Searching
    _query: Query
    _plan: similar.Plan | None
    _matched: Callable[[int, str], tuple[str, ...]] | None = None  # every hit's words, once worked out (_matcher)

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        """The hits in rank order; `full`: with abstract and claims."""
        store = self._store
        columns = ", ".join(f"r.{a}" if full or a in ROW_ATTRIBUTES else "''" for a in LISTED_ATTRIBUTES)
        texts = (schema.BODY, " LEFT JOIN texts t ON t.id = h.id") if full else ("NULL", "")
        sql = (f"SELECT h.id, h.score, {columns}, {texts[0]} FROM {self._table} h "
               f"{self.RECORDS_JOIN}{texts[1]} ORDER BY h.rank LIMIT ?")
        if limit is not None and limit <= FEW_ROWS:  # e.g. the closest: their words looked up by id
            with store.polling(cancel):
                rows = store.connection.execute(sql, (limit,)).fetchall()
                matched = self._matcher([row[0] for row in rows])
            for row in rows:
                record = record_of(row[2:])
                yield Hit(record, row[1], matched(row[0], record.pn))
            return
        with store.polling(cancel):
            matched = self._matcher()
        for batch in self._batches(sql, (-1 if limit is None else limit,), cancel):
            for row in batch:
                record = record_of(row[2:])
                yield Hit(record, row[1], matched(row[0], record.pn))

    def _batches(
        self, sql: str, params: Sequence[object], cancel: Callable[[], bool] | None, size: int = ROW_BATCH
    ) -> Iterator[list[tuple]]:
        store = self._store
        with store.polling(cancel):
            cursor = store.connection.execute(sql, params)
        while True:
            with store.polling(cancel):
                batch = cursor.fetchmany(size)
            if not batch:
                return
            yield batch

    def _fetch(self, sql: str, params: Sequence[object] = ()) -> list[tuple]:
        return self._store.connection.execute(sql, params).fetchall()

    def _narrow(self, numbers: list[str]) -> None:
        with self._store.polling(self._cancel):
            self._store.connection.execute(
                f"DELETE FROM {self._table} WHERE id NOT IN "
                "(SELECT r.id FROM records r WHERE r.pn IN (SELECT value FROM json_each(?)))", (json.dumps(numbers),))

    def _links(self) -> CitationLinks:
        return citation_links(self._store.connection)

    def _hit_ids(self, ids: set[int]) -> set[int]:
        hits = self._table if self._all_ranked() else self._table + ALL_HITS
        sql = f"SELECT id FROM {hits} WHERE id IN (SELECT value FROM json_each(?))"
        return {row[0] for row in self._fetch(sql, (json.dumps(sorted(ids)),))} if ids else set()

    def _reading(self) -> AbstractContextManager[None]:
        return self._store.polling(self._cancel)

    def _cited(self, form: str) -> tuple[str, tuple[str, ...]]:
        return ("(value = ? AND (given = ? OR ? GLOB given || '[A-Z]' OR ? GLOB given || '[A-Z][0-9]'))",
                (pn.number_part(form), form, form, form))

    def facets(self, top: int = 10) -> Facets:
        """Counts over every hit of the search (not only the rows ranked):
        the `top` applicants and IPC subclasses, hits per filing and priority year.
        From the store's charts' index when it is current (look-ups by hit
        id); otherwise the four fields of every hit are read in one pass and
        counted in hash tables (an SQL GROUP BY sorts every hit: twice the
        time at 600,000 hits)."""
        store = self._store
        hits = self._table if self._all_ranked() else self._table + ALL_HITS
        index = store.current_facet_index()
        if index is not None:
            with store.polling(self._cancel):
                ids = store.connection.execute(f"SELECT group_concat(id, ' ') FROM {hits}").fetchone()[0]
            return index.facets(ids or "", top)
        applicants: Counter[str] = Counter()
        classes: Counter[tuple[str, ...]] = Counter()
        years: Counter[str] = Counter()
        priority: Counter[str] = Counter()
        sql = f"SELECT r.applicants, r.ipc, substr(r.ad, 1, 4), substr(r.prd, 1, 4) FROM {hits} h {self.RECORDS_JOIN}"
        for batch in self._batches(sql, (), self._cancel, ROW_BATCH * 5):
            names, ipc, prefixes, priority_prefixes = zip(*batch)
            applicants.update(names)
            # IPC values are nearly all distinct: their subclasses are counted at once, not each value kept
            classes.update(map(ipc_subclasses, ipc))
            years.update(prefixes)
            priority.update(priority_prefixes)
        return Facets.of_sets(
            ((applicant_names(value), count) for value, count in applicants.items()),
            classes.items(),
            ((filing_year(prefix), count) for prefix, count in years.items()),
            top,
            ((filing_year(prefix), count) for prefix, count in priority.items()),
        )

    def _matcher(self, among: Sequence[int] | None = None) -> Callable[[int, str], tuple[str, ...]]:
        """(id, pn) -> the words that hit contains, in command order: for
        every hit (kept for the next call), or for the hits `among` only."""
        if self._matched is not None:
            return self._matched
        if self._plan is None:
            matched = self._words_matcher(self._query, among)
        else:
            filters = self._plan.filters
            base = self._words_matcher(filters, among) if filters is not None and filters.terms() else None
            occurrences = self._store.occurrences
            matched = similar.matcher(self._plan, lambda tokens: occurrences(list(map(token_match, tokens)), among), base)
        if among is None:
            self._matched = matched
        return matched

    def _words_matcher(self, query: Query, among: Sequence[int] | None) -> Callable[[int, str], tuple[str, ...]]:
        """(id, pn) -> the words of `query` that hit contains, in command order."""
        checks = word_checks(query)
        looked_up = checks.looked_up()
        bits = {expression: 1 << bit for bit, expression in enumerate(looked_up)}
        masks = self._store.occurrences(looked_up, among)
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
