"""One search, planned and run in the same steps on every store.

A command is parsed (when given as text), the words written inside TR(…)
joined by their translations (translate.py), its patterns and word forms
expanded from the collection's vocabulary (expand.py), PRIOR= turned into
date ranges, CPC=/CT=/LS=/DT=/FAM= terms, citation chains (citations.py) and
then NEAR/ADJ turned into tables of the records where they hold (query_plan.with_ids), compiled once (or planned by
similar.py for SIM=, with the store's term table for a SIM= that crosses
languages) and ranked. Each store gives the engine's side of these steps
through a SearchBackend made for the one search; the order of the steps and
what is decided alike live only here.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterable
from typing import Generic, Protocol, TypeVar

from . import citations, pn, similar, translate
from .expand import Vocabulary, expand, word_forms
from .field_values import NORMALISED
from .query import Near, Query, Term, parse
from .query_plan import FamilyLinks, code_terms, family_of, prior_dates, proximities, unheld, with_ids
from .records import REGISTRY

Compiled = TypeVar("Compiled")
Result = TypeVar("Result", covariant=True)


class SearchBackend(Protocol, Generic[Compiled, Result]):
    """What one store does for one search; its tables of ids are named
    after the search's table of hits and go with it."""

    table: str  # the search's table of hits


    def running(self, cancel: Callable[[], bool] | None) -> contextlib.AbstractContextManager[None]:
        """The steps run inside: polled for cancel(), in one state of the collection."""

    def vocabulary(self) -> Vocabulary: ...

    def terms(self) -> translate.Loaded:
        """The store's term table (translate.table_of), asked for only by a command holding TR(…)."""

    def family_links(self) -> FamilyLinks: ...

    def citation_links(self) -> citations.CitationLinks: ...

    def earliest(self, parts: pn.Parts) -> tuple[int, str | None]:
        """How many records carry the number `parts` and the earliest priority (or application) date among them."""

    def id_table(self, name: str) -> None:
        """Make an empty table of record ids."""

    def fill_ids(self, table: str, ids: Iterable[int]) -> None: ...

    def fill_codes(self, table: str, term: Term) -> None:
        """Fill `table` with the records carrying the codes of a CPC=, CT=, LS= or DT= term."""

    def span(self, code: str) -> tuple[str, str] | None:
        """The first and last value the collection holds in field `code` (contract.span_sql), None when it holds none."""

    def look_up(self, query: Query) -> None:
        """Answer ahead the parts of the command the engine keeps tables of
        its own for (the ones proximities and the compiler then read)."""

    def find_near(self, near: Near, table: str) -> None:
        """Fill `table` with the ids of the records where `near` holds."""

    def collection(self) -> similar.Collection: ...

    def records(self) -> int: ...

    def compile(self, query: Query) -> Compiled: ...

    def rank(self, compiled: Compiled, limit: int | None) -> int:
        """Keep the best `limit` hits in the search's table; the number of all hits."""

    def result(
        self, query: Query, total: int, compiled: Compiled, plan: similar.Plan | None, cancel: Callable[[], bool] | None
    ) -> Result: ...


def search(
    backend: SearchBackend[Compiled, Result],
    command: str | Query,
    limit: int | None,
    cancel: Callable[[], bool] | None,
) -> Result:
    """Run a search command (or a parsed Query) on `backend`: every hit (at
    most `limit`) ranked, best first. query.QueryError for a command that
    cannot be run, Cancelled when cancel() returns True."""
    if limit is not None and limit < 0:
        raise ValueError("limit 不能是負數")
    query = parse(command) if isinstance(command, str) else command
    plan = None
    translated = None
    similarity = query.similar()
    crossing = similarity is not None and similarity.crossing
    # read before the search's transaction: the first table of a worker takes a while, and it may read the store
    loaded = backend.terms() if crossing or translate.wanted(query) else None
    with backend.running(cancel):
        if loaded is not None and translate.wanted(query):
            translated = _translate(backend, query, loaded, cancel)
            query = translated.query
        query = expand(query, backend.vocabulary(), cancel)
        query, chains = _resolve_codes(backend, query)
        backend.look_up(query)
        query = _resolve_proximities(backend, query)
        if similarity is not None:  # the words chosen from the same state the hits come from
            vocabulary = backend.vocabulary()
            plan = similar.plan(
                backend.collection(), query, backend.records(), loaded.table if crossing and loaded else None,
                lambda word: word_forms(word, vocabulary),
            )
            compiled = plan.compiled
        else:
            compiled = backend.compile(query)
        total = backend.rank(compiled, limit)
    result = backend.result(query, total, compiled, plan, cancel)
    if translated is not None:
        result.translation = translated  # type: ignore[attr-defined]
    if chains:
        result.chains = chains  # type: ignore[attr-defined]
    return result


def _translate(
    backend: SearchBackend, query: Query, loaded: translate.Loaded, cancel: Callable[[], bool] | None
) -> translate.Outcome:
    """The TR step: translations counted on the collection as SIM= counts its words."""
    collection = backend.collection()
    return translate.translate(
        query, loaded.table, backend.vocabulary(),
        lambda tokens: similar.document_frequencies(collection, tokens, backend.records()), cancel, loaded.notes,
    )


def _resolve_codes(backend: SearchBackend, query: Query) -> tuple[Query, tuple[citations.Chained, ...]]:
    """The command with each CPC=, CT=, LS=, DT= and FAM= term and each
    citation chain replaced by a table of its records and each PRIOR= by its
    date range (query_plan.with_ids); the chains as followed, level by level.
    LS= and DT= refused on a collection holding none of their values (query_plan.unheld)."""
    tables: dict = {}
    for number, term in enumerate(code_terms(query)):
        searched = REGISTRY[term.fields[0]]
        if searched.scheme in NORMALISED and backend.span(searched.code) is None:
            raise unheld(searched.code, query.command)
        name = tables[term] = f"{backend.table}_code{number}"
        backend.id_table(name)
        if searched.kind == "family":
            backend.fill_ids(name, sorted(family_of(backend.family_links(), term)))
        else:
            backend.fill_codes(name, term)
    followed = []
    excluded = citations.excluded(query.root)
    for number, chain in enumerate(citations.chains(query)):
        chained = citations.follow(backend.citation_links(), chain, excluded[chain])
        name = tables[chain] = f"{backend.table}_chain{number}"
        backend.id_table(name)
        backend.fill_ids(name, sorted(chained.ids()))
        followed.append(chained)
    return with_ids(query, tables, prior_dates(query, backend.earliest)), tuple(followed)


def _resolve_proximities(backend: SearchBackend, query: Query) -> Query:
    """The command with each NEAR/ADJ replaced by its sides and a table of
    the records where it holds (query_plan.with_ids)."""
    tables: dict = {}
    for number, near in enumerate(proximities(query)):
        name = tables[near] = f"{backend.table}_near{number}"
        backend.id_table(name)
        backend.find_near(near, name)
    return with_ids(query, tables)
