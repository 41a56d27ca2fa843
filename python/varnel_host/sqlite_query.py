"""Compiling a search Query (query.py) for the SQLite store: FTS5 MATCH
expressions and SQL conditions on the records table.

The index is an FTS5 table (sqlite_schema.INDEX_TABLE) with one column per
text field (index_column()). Every word becomes a quoted FTS5 string of the
tokens query_plan.term_tokens() gives (passed to SQLite as one bound
parameter, so no FTS5 syntax can come from the user). What is decided alike
for every store (which words rank, what the index can answer) comes from
query_plan.py; only the SQL is made here.
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Sequence
from dataclasses import dataclass, replace

from . import pn
from .contract import MEMBER_KIND, CitationLinks, date_range_sql, linked_sql
from .field_values import NORMALISED
from .query import And, DateRange, Near, Node, Not, Or, Query, Term, Translated, nodes
from .query_plan import (
    IdTable, cpc_symbols, date_bounds, indexable, may_share_a_word, near_fields, near_phrases, needs_a_word,
    number_of, positive_terms, positive_units, ranking, term_tokens,
)
from .records import REGISTRY
from .similar import SEARCHED_FIELDS, SOURCE_ATTRIBUTES, RecordIds, source_text
from .sqlite_schema import FULL_RECORD_SQL, INDEX_TABLE, full_records, index_column

RECORDS_ALIAS = "r"
VOCABULARY = "index_vocabulary"


@dataclass(frozen=True)
class RankedUnit:
    """A word or a TR group ranking the hits as one term (query_plan.ranking):
    the FTS5 expressions of its distinct phrases (one for a word), and the
    expression a hit matches for it to count (the OR branches above it), or ""."""

    phrases: tuple[str, ...]
    guard: str = ""
    group: bool = False


@dataclass(frozen=True)
class CompiledQuery:
    """How to run a Query.

    `match`, when not None, is the FTS5 expression every hit satisfies; it
    drives the search and its bm25 ranks the hits. `where` is an SQL condition
    on the records table (alias r) with `params` bound in order, "" if none;
    beside a match it may also test the index's rowid, and `reads_records` is
    False when it tests nothing else. Without `match`, `rank` (the OR of the
    words not under NOT, or None) ranks the hits that contain any of them;
    `rank_finds_all` when every hit contains one of them, so that the search
    can start from `rank`'s matches instead of reading every record.
    `units`, for a command holding a TR group: what ranks, in order (the
    words and groups of `match`, each occurrence; else the distinct ones of
    `rank`), each scored as one term in place of FTS5's bm25.
    """

    match: str | None
    where: str
    params: tuple[str, ...]
    rank: str | None = None
    rank_finds_all: bool = False
    reads_records: bool = True
    units: tuple[RankedUnit, ...] = ()


def term_match(term: Term) -> str:
    """The FTS5 expression of one word or phrase: a column filter and one
    quoted string of its tokens (tokens never contain quotes; doubling them
    anyway keeps the string closed whatever happens). A publication number
    searched in PN alone is no FTS5 expression but the condition number_sql()
    gives; its expression here is only its name in WordChecks."""
    if number_of(term) is not None:
        return f"PN={term.text}"
    tokens, prefix = term_tokens(term)
    columns = " ".join(index_column(code) for code in term.fields)
    return f"{{{columns}}} : {_quoted(' '.join(tokens))}{'*' if prefix else ''}"


def _quoted(text: str) -> str:
    """An FTS5 string (tokens never contain quotes; doubling them anyway
    keeps the string closed whatever happens)."""
    return '"' + text.replace('"', '""') + '"'


def number_sql(
    parts: pn.Parts, number: str = f"{RECORDS_ALIAS}.number", given: str = f"{RECORDS_ALIAS}.pn", listed: bool = False
) -> tuple[str, tuple[str, ...]]:
    """An SQL condition finding a typed number in each of its forms
    (pn.looked_up()): `number` (indexed) is the form's number part, then
    `given` is one of its writings (parts hold only A-Z, 0-9). Kinds are
    compared where both carry one: a number typed without its kind finds
    every kind and, when `listed` (numbers a record cites or lists), one
    given without its kind stands for every kind too."""
    conditions, params = [], []
    for form in pn.looked_up(parts):
        countries = [form.country] if form.country else ["", "[A-Z][A-Z]"]
        kinds = ([form.kind, ""] if listed else [form.kind]) if form.kind else ["", "[A-Z]", "[A-Z][0-9]"]
        patterns = [c + form.number + k for c in countries for k in kinds]
        conditions.append(f"({number} = ? AND ({' OR '.join(f'{given} GLOB ?' for _ in patterns)}))")
        params += [form.number, *patterns]
    return f"({' OR '.join(conditions)})", tuple(params)


def code_sql(term: Term) -> tuple[str, tuple[str, ...]]:
    """A SELECT of the ids of the records a CPC=, CT=, LS= or DT= term finds (query_plan.code_terms())."""
    searched = REGISTRY[term.fields[0]]
    if searched.levels or searched.scheme in NORMALISED:  # a symbol, or the value an LS= or DT= names
        symbol, prefix = cpc_symbols(term) if searched.levels else (term.text, False)
        if prefix:
            return f"SELECT id FROM codes WHERE kind = '{searched.stored}' AND value >= ? AND value < ?", (symbol, symbol + "\U0010ffff")
        return f"SELECT id FROM codes WHERE kind = '{searched.stored}' AND value = ?", (symbol,)
    parts = pn.query_parts(term.text)
    assert parts is not None  # the parser made sure
    return listed_sql(searched.stored, parts)


def listed_sql(kind: str, parts: pn.Parts) -> tuple[str, tuple[str, ...]]:
    """A SELECT of the ids of the records citing (CITED_KIND) or listing as
    a family member (MEMBER_KIND) a typed publication number."""
    condition, params = number_sql(parts, "value", "given", listed=True)
    return f"SELECT id FROM codes WHERE kind = '{kind}' AND {condition}", params


class SqliteFamilyLinks:
    """The file's family links (query_plan.FamilyLinks)."""

    def __init__(self, db: sqlite3.Connection):
        self._db = db

    def numbered(self, parts: pn.Parts) -> set[int]:
        condition, params = number_sql(parts)
        return {row[0] for row in self._db.execute(f"SELECT {RECORDS_ALIAS}.id FROM records {RECORDS_ALIAS} WHERE {condition}", params)}

    def listing(self, parts: pn.Parts) -> set[int]:
        return {row[0] for row in self._db.execute(*listed_sql(MEMBER_KIND, parts))}

    def linked(self, ids: set[int]) -> set[int]:
        member = "(m.pn = c.given OR m.pn GLOB c.given || '[A-Z]' OR m.pn GLOB c.given || '[A-Z][0-9]')"
        sql = linked_sql("IN (SELECT value FROM json_each(?1))", member)
        return {row[0] for row in self._db.execute(sql, (json.dumps(sorted(ids)),))}


def citation_links(db: sqlite3.Connection) -> CitationLinks:
    """The file's look-ups of citations (citations.CitationLinks), each list bound as one JSON array."""
    return CitationLinks("IN (SELECT value FROM json_each(?))", lambda sql, values: db.execute(sql, (json.dumps(values),)))


def compile_query(query: Query) -> CompiledQuery:
    root = query.root
    items = root.items if isinstance(root, And) else (root,)
    match, rest = _split_and(items)
    units = _units(root, items, match is not None) if any(isinstance(node, Translated) for node in nodes(root)) else ()
    if not rest:
        return CompiledQuery(match, "", (), units=units)
    if match is not None and any(isinstance(item, IdTable) for item in rest):
        return replace(_with_ids(match, rest), units=units)
    where, params = _sql(rest[0]) if len(rest) == 1 else _sql(And(tuple(rest)))
    rank = None
    if match is None:
        positive = dict.fromkeys(map(term_match, positive_terms(root)))
        rank = " OR ".join(positive) or None
    return CompiledQuery(match, where, params, rank, rank is not None and needs_a_word(root), units=units)


def _units(root: Node, items: tuple[Node, ...], matched: bool) -> tuple[RankedUnit, ...]:
    """What ranks a command holding a TR group: with a match (_split_and()),
    every word and group of it as FTS5 adds its phrases; else the distinct
    words and groups not under NOT."""
    def unit(node: Term | Translated, guards: tuple[Node, ...] = ()) -> RankedUnit:
        phrases = tuple(dict.fromkeys(map(term_match, node.items))) if isinstance(node, Translated) else (term_match(node),)
        return RankedUnit(phrases, " AND ".join(f"({_fts(guard)})" for guard in guards), isinstance(node, Translated))

    if matched:
        positive = [item for item in items if not isinstance(item, Not) and indexable(item)]
        return tuple(unit(node, guards) for item in positive for node, guards in ranking(item))
    return tuple(dict.fromkeys(map(unit, positive_units(root))))


def _with_ids(match: str, rest: list[Node]) -> CompiledQuery:
    """A command with a match and tables of ids (resolved proximities) beside
    it: the ids are checked on the index's rowid, so that a record is read
    only once its id is in every table (the unary + keeps FTS5 from being
    asked for the ids one by one)."""
    tables = [item for item in rest if isinstance(item, IdTable)]
    others = [item for item in rest if not isinstance(item, IdTable)]
    where, params = (_sql(others[0]) if len(others) == 1 else _sql(And(tuple(others)))) if others else ("", ())
    ids = " AND ".join(f"+{INDEX_TABLE}.rowid IN (SELECT id FROM {item.table})" for item in tables)
    return CompiledQuery(match, f"{ids} AND ({where})" if where else ids, params, reads_records=bool(where))


def _fts(node: Node) -> str:
    if isinstance(node, Term):
        return term_match(node)
    if isinstance(node, Or):
        return "(" + " OR ".join(map(_fts, node.items)) + ")"
    assert isinstance(node, And)
    positive = " AND ".join(_fts(item) for item in node.items if not isinstance(item, Not))
    negative = "".join(f" NOT {_fts(item.item)}" for item in node.items if isinstance(item, Not))
    return f"(({positive}){negative})" if negative else f"({positive})"


def _split_and(items: tuple[Node, ...]) -> tuple[str | None, list[Node]]:
    """The FTS5 expression of the conjuncts it can express, and the others."""
    positive = [item for item in items if not isinstance(item, Not) and indexable(item)]
    if not positive:
        return None, list(items)
    negative = [item for item in items if isinstance(item, Not) and indexable(item.item)]
    expression = _fts(positive[0]) if len(positive) == 1 and not negative else _fts(And(tuple(positive + negative)))
    taken = {id(item) for item in positive + negative}
    return expression, [item for item in items if id(item) not in taken]


def near_matches(near: Near) -> tuple[str | None, str | None]:
    """FTS5 expressions of the records where `near` holds, in its fields:
    (those where it surely holds, a few more where it may, to be checked),
    None for none.

    FTS5's NEAR(a b, N) finds a and b with at most N tokens from the end of
    one to the start of the other, either order, overlapping too. A place of
    a phrase here ends one word later when its last token covers the next
    word (query_plan.near_phrases), so for a NEAR/n NEAR(a b, n - 1) finds
    only pairs within the distance, NEAR(a b, n) all of them, and the two are
    the same when both phrases cover the next word or neither does. An ADJ
    (FTS5 has no order) is found by the distance that takes in all its places,
    and so is a pair whose places may share a word (pizza and pizz*, 發動 and
    動機): FTS5 takes one place for both sides, the proximity never does."""
    lefts, rights = near_phrases(near)
    sure, maybe = [], []
    for left in lefts:
        for right in rights:
            pair, within = f"{_phrase(left)} {_phrase(right)}", near.distance - 1
            if near.ordered:
                maybe.append(f"NEAR({pair}, {within + left[2]})")
                continue
            if may_share_a_word(left, right):
                maybe.append(f"NEAR({pair}, {within + max(left[2], right[2])})")
                continue
            sure.append(f"NEAR({pair}, {within + min(left[2], right[2])})")
            if left[2] != right[2]:
                maybe.append(f"NEAR({pair}, {within + 1})")
    columns = " ".join(index_column(code) for code in near_fields(near))

    def expression(groups: list[str]) -> str | None:
        return f"{{{columns}}} : ({' OR '.join(groups)})" if groups else None

    return expression(sure), expression(maybe)


def _phrase(phrase: tuple[tuple[str, ...], bool, bool]) -> str:
    tokens, prefix, _ = phrase
    return _quoted(" ".join(tokens)) + ("*" if prefix else "")


def _in_index(expression: str) -> tuple[str, tuple[str, ...]]:
    sql = f"{RECORDS_ALIAS}.id IN (SELECT rowid FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?)"
    return sql, (expression,)


def _sql(node: Node) -> tuple[str, tuple[str, ...]]:
    if indexable(node):
        return _in_index(_fts(node))
    if isinstance(node, Term):
        parts = number_of(node)
        assert parts is not None
        return number_sql(parts)
    if isinstance(node, DateRange):
        return date_range_sql(node.field, date_bounds(node.start, node.end), "?", RECORDS_ALIAS)
    if isinstance(node, IdTable):
        return f"{RECORDS_ALIAS}.id IN (SELECT id FROM {node.table})", ()
    if isinstance(node, Not):
        inner, params = _sql(node.item)
        return f"NOT ({inner})", params
    if isinstance(node, And):
        expression, rest = _split_and(node.items)
        parts = [_in_index(expression)] if expression else []
        joiner = " AND "
    else:
        assert isinstance(node, Or)
        indexed = [item for item in node.items if indexable(item)]
        rest = [item for item in node.items if not indexable(item)]
        parts = [_in_index(_fts(Or(tuple(indexed))) if len(indexed) > 1 else _fts(indexed[0]))] if indexed else []
        joiner = " OR "
    parts += [_sql(item) for item in rest]
    return joiner.join(f"({sql})" for sql, _ in parts), tuple(p for _, params in parts for p in params)


@dataclass(frozen=True)
class WordChecks:
    """How to tell which words a hit contains. `expressions[word]` are the
    FTS5 expressions of its terms; a hit of the query matches every
    expression in `always` and none in `never`; the others are looked up."""

    expressions: dict[str, tuple[str, ...]]
    always: frozenset[str]
    never: frozenset[str]
    numbers: dict[str, str]  # expression of a PN number -> the number typed

    def looked_up(self) -> tuple[str, ...]:
        """The FTS5 expressions to look up in the index."""
        seen = dict.fromkeys(e for exprs in self.expressions.values() for e in exprs)
        return tuple(e for e in seen if e not in self.always and e not in self.never and e not in self.numbers)


def word_checks(query: Query) -> WordChecks:
    expressions: dict[str, dict[str, None]] = {}
    for term in query.terms():
        expressions.setdefault(term.word, {})[term_match(term)] = None
    root = query.root
    items = root.items if isinstance(root, And) else (root,)
    always = frozenset(term_match(item) for item in items if isinstance(item, Term))
    never = frozenset(term_match(item.item) for item in items if isinstance(item, Not) and isinstance(item.item, Term))
    numbers = {term_match(term): term.text for term in query.terms() if number_of(term) is not None}
    return WordChecks({word: tuple(exprs) for word, exprs in expressions.items()}, always, never - always, numbers)


class SqliteVocabulary:
    """The index's tokens (expand.Vocabulary), read from FTS5's own
    vocabulary table over the index, made on the connection when first used."""

    def __init__(self, db: sqlite3.Connection):
        self._db = db

    def tokens(self, prefix: str, limit: int) -> list[str]:
        self._db.execute(f"CREATE VIRTUAL TABLE IF NOT EXISTS temp.{VOCABULARY} USING fts5vocab(main, {INDEX_TABLE}, 'row')")
        rows = self._db.execute(
            f"SELECT term FROM temp.{VOCABULARY} WHERE term >= ? AND term < ? LIMIT ?", (prefix, prefix + "\U0010ffff", limit)
        )
        return [row[0] for row in rows]


# --- similarity commands -------------------------------------------------------

_SIMILAR_COLUMNS = " ".join(index_column(code) for code in SEARCHED_FIELDS)


def token_match(token: str) -> str:
    """The FTS5 expression of one token in title, abstract and claims."""
    return f"{{{_SIMILAR_COLUMNS}}} : {_quoted(token)}"


class SqliteCollection(RecordIds):
    """The SQLite store's side of a similarity command (similar.Collection)."""

    _db: sqlite3.Connection

    def token_hits(self, tokens: Sequence[str], last_id: int | None) -> list[int]:
        sql = f"SELECT count(*) FROM {INDEX_TABLE} WHERE {INDEX_TABLE} MATCH ?"
        if last_id is None:
            return [self._db.execute(sql, (token_match(token),)).fetchone()[0] for token in tokens]
        return [self._db.execute(sql + " AND rowid <= ?", (token_match(token), last_id)).fetchone()[0] for token in tokens]

    def source(self, parts: pn.Parts) -> list[tuple[int, str]]:
        condition, params = number_sql(parts)
        rows = full_records(self._db.execute(f"{FULL_RECORD_SQL} WHERE {condition} ORDER BY {RECORDS_ALIAS}.id", params))
        return [(record_id, source_text([getattr(r, a) for a in SOURCE_ATTRIBUTES])) for record_id, r in rows]

    def compile(self, tokens: Sequence[str], filters: Query | None, excluded: Sequence[int]) -> CompiledQuery:
        if not tokens:  # no word of the text is in the collection: nothing is close
            return CompiledQuery(None, "0", ())
        where: list[str] = []
        params: list[str] = []
        if filters is not None:
            compiled = compile_query(filters)
            if compiled.match is not None:
                sql, values = _in_index(compiled.match)
                where.append(sql)
                params += values
            if compiled.where:
                where.append(compiled.where)
                params += compiled.params
        if excluded:
            where.append(f"{RECORDS_ALIAS}.id NOT IN ({', '.join('?' * len(excluded))})")
            params += map(str, excluded)
        match = f"{{{_SIMILAR_COLUMNS}}} : (" + " OR ".join(map(_quoted, tokens)) + ")"
        return CompiledQuery(match, " AND ".join(f"({part})" for part in where), tuple(params))
