"""Compiling a search Query (query.py) for the PostgreSQL store: SQL
conditions on the records (alias r) and their tokens (alias t), and the
phrases that rank the hits.

The tokens table holds, per text field, segment.index_text() of the field
wrapped in spaces (" 固態 態電 電池 池 "), the number of tokens of the record,
and a tsvector (GIN-indexed) of "<column>:<token>" lexemes built from the
same tokens without any parser; the postings (below) hold each lexeme's
records and counts. A word is the phrase of its search tokens
(segment.search_tokens) inside one of its fields. A word of one token is
found and counted in the postings; for a longer one the tsvector finds the
records holding every token (a prefix query for a truncated last token), the
spaced text then confirms the tokens stand in a row and counts them. A
search gathers each word's records in a table of ids first (WordTables).
Every user value is a bound parameter: a tsquery, a plain string or a
regular expression made of escaped tokens; no SQL text comes from the
command.

The phrases that rank a hit, and which of their occurrences count, follow
the decisions of query_plan.py that the SQLite store's FTS5 expression
follows too: the words in the part of the command the index answers, where a
word under OR counts only in hits containing its branch, a word under NOT
never; without such a part, every distinct word not under NOT. bm25_sql()
scores them with FTS5's bm25 (k1 1.2, b 0.75, a per-phrase IDF, the field
weights of query_plan.BM25_WEIGHTS, document length all fields' tokens), a
TR group as one term (query_plan.ranking: its records those holding any
member, its frequency the sum of theirs).
"""

from __future__ import annotations

import re
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass

from . import pn
from .contract import date_range_sql
from .field_values import NORMALISED
from .query import And, DateRange, Node, Not, Or, Query, QueryError, Term, Translated
from .query_plan import (
    B, K1, IdTable, Unit, cpc_symbols, date_bounds, idf_of, indexable, number_of, positive_units, ranking, term_tokens,
    weight,
)
from .records import DEFAULT_FIELDS, REGISTRY
from .similar import SEARCHED_FIELDS

RECORDS, TOKENS = "r", "t"
# The postings also hold each token of the fields a word searches when it
# names none (records.DEFAULT_FIELDS) under one lexeme "w:<token>", its count
# the sum of the fields' counts times their bm25 weights: a word's records,
# hit count and weighted frequency read from one lexeme, not three.
GROUP_COLUMN = "w"
LEXEME_CHARS = 200  # longer tokens are indexed by their first 200 characters

Sql = tuple[str, tuple[object, ...]]


def token_column(code: str) -> str:
    """The tokens table's column of a text field code."""
    return REGISTRY[code].column


def lexeme(code: str, token: str) -> str:
    return f"{token_column(code)}:{token[:LEXEME_CHARS]}"


def group_text(texts: Mapping[str, str]) -> str:
    """The text of GROUP_COLUMN from the token texts of the fields (by code):
    each grouped field's tokens repeated as many times as its weight."""
    repeated = []
    for code in DEFAULT_FIELDS:
        times = int(weight(code))
        assert times == weight(code)  # the counts stay whole numbers
        repeated += [texts[code]] * times
    return " ".join(repeated)


def lexemes(code: str, tokens: str) -> str:
    """The tsvector text of a field's space-joined tokens (the server sorts
    and merges repeated lexemes)."""
    if not tokens:
        return ""
    if "'" in tokens or "\\" in tokens:
        tokens = tokens.replace("\\", "\\\\").replace("'", "''")
    words = set(tokens.split())
    if max(map(len, words)) > LEXEME_CHARS:
        words = {word[:LEXEME_CHARS] for word in words}
    prefix = f"{token_column(code)}:"
    return f"'{prefix}" + f"' '{prefix}".join(words) + "'"


def _quoted(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "''") + "'"


@dataclass(frozen=True)
class Phrase:
    """A word as the index sees it: its tokens in a row inside one of `fields`,
    the last one a prefix when `prefix`."""

    fields: tuple[str, ...]
    tokens: tuple[str, ...]
    prefix: bool

    @classmethod
    def of(cls, term: Term) -> Phrase:
        tokens, prefix = term_tokens(term)
        return cls(term.fields, tokens, prefix)

    def tsquery(self, code: str | None = None) -> str:
        """The tsquery of the records holding every token (in `code` or any field)."""
        def one(code: str) -> str:
            last = len(self.tokens) - 1
            return " & ".join(
                _quoted(lexeme(code, token)) + (":*" if (i == last and self.prefix) or len(token) > LEXEME_CHARS else "")
                for i, token in enumerate(self.tokens)
            )
        return one(code) if code else " | ".join(f"({one(code)})" for code in self.fields)

    def needle(self) -> str:
        """The spaced text found in a field's tokens where the phrase occurs."""
        return " " + " ".join(self.tokens) + ("" if self.prefix else " ")

    def pattern(self) -> str:
        """A regular expression matching once at every occurrence (overlapping
        ones too: a look-ahead of the spaced tokens)."""
        return f"(?= {self._escaped()}{'[^ ]*' if self.prefix else ''} )"

    def _escaped(self) -> str:
        return " ".join(re.sub(r"(\W)", r"\\\1", token) for token in self.tokens)

    @property
    def posted(self) -> bool:
        """Whether the postings hold it: one token, its lexeme uncut."""
        return len(self.tokens) == 1 and len(self.tokens[0]) <= LEXEME_CHARS

    @property
    def countable(self) -> bool:
        """Whether its records and occurrences can be counted from the postings."""
        return all(len(token) <= LEXEME_CHARS for token in self.tokens)

    def confirmed(self, alias: str) -> Sql:
        """True when the tokens stand in a row in one of its fields of the
        token row `alias` (the spaced text)."""
        columns = " OR ".join(f"strpos({alias}.{token_column(code)}, %s) > 0" for code in self.fields)
        return f"({columns})", (self.needle(),) * len(self.fields)

    def counted(self, alias: str) -> Sql:
        """Its occurrences in the token row `alias`, each weighted by its
        field's bm25 weight. Occurrences that cannot overlap are matched one
        after another, the closing space looked at, not taken (a literal
        start: much faster than the look-ahead that also counts overlapping
        ones)."""
        first, inner, last = self.tokens[0], self.tokens[1:-1], self.tokens[-1]
        apart = first not in inner and not (first.startswith(last) if self.prefix else first == last)
        pattern = f" {self._escaped()}{'' if self.prefix else '(?= )'}" if apart else self.pattern()
        parts = [f"%s::float8 * regexp_count({alias}.{token_column(code)}, %s)" for code in self.fields]
        return " + ".join(parts), tuple(value for code in self.fields for value in (weight(code), pattern))

    def condition(self) -> Sql:
        """The records holding the phrase, checked on each record's tsvector
        (a search finds the records of a word in the postings: WordTables)."""
        sql = f"{TOKENS}.lexemes @@ %s::tsquery"
        params: tuple[object, ...] = (self.tsquery(),)
        if len(self.tokens) > 1:
            columns = " OR ".join(f"strpos({TOKENS}.{token_column(code)}, %s) > 0" for code in self.fields)
            sql += f" AND ({columns})"
            params += (self.needle(),) * len(self.fields)
        return f"({sql})", params

    def frequency(self) -> Sql:
        """Its occurrences in a record, each weighted by its field's bm25 weight."""
        counted, params = self.counted(TOKENS)
        return f"CASE WHEN {TOKENS}.lexemes @@ %s::tsquery THEN {counted} ELSE 0::float8 END", (self.tsquery(), *params)


@dataclass(frozen=True)
class Group:
    """A TR group ranking as one term: its members' distinct phrases."""

    members: tuple[Phrase, ...]

    @classmethod
    def of(cls, group: Translated) -> Group:
        assert all(isinstance(item, Term) for item in group.items)  # a group holds words only
        return cls(tuple(dict.fromkeys(Phrase.of(item) for item in group.items)))  # type: ignore[arg-type]

    @property
    def countable(self) -> bool:
        return all(member.countable for member in self.members)

    def condition(self) -> Sql:
        """The records holding any member."""
        parts = [member.condition() for member in self.members]
        return "(" + " OR ".join(sql for sql, _ in parts) + ")", tuple(p for _, params in parts for p in params)

    def frequency(self) -> Sql:
        """The sum of the members' weighted frequencies in a record."""
        parts = [member.frequency() for member in self.members]
        return "(" + " + ".join(sql for sql, _ in parts) + ")", tuple(p for _, params in parts for p in params)


def unit_of(unit: Unit) -> Phrase | Group:
    return Group.of(unit) if isinstance(unit, Translated) else Phrase.of(unit)


def number_condition(
    parts: pn.Parts, number: str = f"{RECORDS}.number", given: str = f"{RECORDS}.pn", listed: bool = False
) -> Sql:
    """A typed publication number in each of its forms (pn.matches() rules):
    the indexed `number` part, then `given` one of its writings (parts hold
    only A-Z and 0-9). Kinds are compared where both carry one: a number
    typed without its kind finds every kind and, when `listed` (numbers a
    record cites or lists), one given without its kind stands for every kind too."""
    conditions, params = [], []
    for form in pn.looked_up(parts):
        country = form.country or "(?:[A-Z][A-Z])?"
        kind = (f"(?:{form.kind})?" if listed else form.kind) if form.kind else "(?:[A-Z][0-9]?)?"
        conditions.append(f"({number} = %s AND {given} ~ %s)")
        params += [form.number, f"^{country}{form.number}{kind}$"]
    return f"({' OR '.join(conditions)})", tuple(params)


def code_select(term: Term) -> Sql:
    """A SELECT of the ids of the records a CPC=, CT=, LS= or DT= term finds (query_plan.code_terms())."""
    searched = REGISTRY[term.fields[0]]
    if searched.levels or searched.scheme in NORMALISED:  # a symbol, or the value an LS= or DT= names
        symbol, prefix = cpc_symbols(term) if searched.levels else (term.text, False)
        if prefix:
            return f"SELECT id FROM codes WHERE kind = '{searched.stored}' AND value >= %s AND value < %s", (symbol, symbol + "\U0010ffff")
        return f"SELECT id FROM codes WHERE kind = '{searched.stored}' AND value = %s", (symbol,)
    parts = pn.query_parts(term.text)
    assert parts is not None  # the parser made sure
    return listed_select(searched.stored, parts)


def listed_select(kind: str, parts: pn.Parts) -> Sql:
    """A SELECT of the ids of the records citing (CITED_KIND) or listing as
    a family member (MEMBER_KIND) a typed publication number."""
    sql, params = number_condition(parts, "value", "given", listed=True)
    return f"SELECT id FROM codes WHERE kind = '{kind}' AND {sql}", params


# A word, or an OR of words (looked_up()) -> the temporary table of the ids
# of its records, made by the store once per search: the planner then knows
# how many they are.
WordTables = Mapping[Node, str]


def looked_up(node: Node) -> list[Phrase] | None:
    """The phrases of a node whose records a search gathers in a table of ids
    (a word, or an OR of words, its tokens uncut), else None."""
    items = node.items if isinstance(node, Or) else (node,)
    if all(isinstance(item, Term) and number_of(item) is None and Phrase.of(item).countable for item in items):
        return [Phrase.of(item) for item in items]
    return None


def looked_up_nodes(node: Node) -> Iterator[Node]:
    """The parts of a condition that looked_up() answers (outermost first, never inside another)."""
    if looked_up(node) is not None:
        yield node
    elif isinstance(node, Not):
        yield from looked_up_nodes(node.item)
    elif isinstance(node, (And, Or)):
        for item in node.items:
            yield from looked_up_nodes(item)


def condition(node: Node, tables: WordTables | None = None) -> Sql:
    """The SQL condition of a node: true for the records it finds (a SIM=
    part is no condition: similar_query() ranks by it); the parts in
    `tables` are read from there."""
    if tables and node in tables:
        return f"({TOKENS}.id IN (SELECT id FROM {tables[node]}))", ()
    if isinstance(node, Term):
        parts = number_of(node)
        return number_condition(parts) if parts is not None else Phrase.of(node).condition()
    if isinstance(node, DateRange):
        sql, params = date_range_sql(node.field, date_bounds(node.start, node.end), "%s", RECORDS)
        return f"({sql})", params
    if isinstance(node, IdTable):
        return f"({TOKENS}.id IN (SELECT id FROM {node.table}))", ()
    if isinstance(node, Not):
        inner, params = condition(node.item, tables)
        return f"(NOT {inner})", params
    if isinstance(node, (And, Or)):
        parts = [condition(item, tables) for item in node.items]
        joiner = " AND " if isinstance(node, And) else " OR "
        return "(" + joiner.join(sql for sql, _ in parts) + ")", tuple(p for _, params in parts for p in params)
    raise QueryError(f"資料庫伺服器目前不支援這種檢索條件（{type(node).__name__}），請改用其他寫法", 1)


@dataclass(frozen=True)
class Ranked:
    """A phrase or TR group that ranks the hits; its occurrences count in
    hits meeting every condition of `guards` (the OR branches above it)."""

    phrase: Phrase | Group
    guards: tuple[Sql, ...] = ()


@dataclass(frozen=True)
class CompiledQuery:
    """`where` with `params` finds the hits; `ranked` score them (bm25);
    `indexed` tells whether the index drives the search (then hits are
    ordered by score, else by score, then newest application date)."""

    where: str
    params: tuple[object, ...]
    ranked: tuple[Ranked, ...]
    indexed: bool


def compile_query(query: Query, tables: WordTables | None = None) -> CompiledQuery:
    where, params = condition(query.root, tables)
    items = query.root.items if isinstance(query.root, And) else (query.root,)
    positive = [item for item in items if not isinstance(item, Not) and indexable(item)]
    if positive:
        ranked = tuple(
            Ranked(unit_of(unit), tuple(condition(guard, tables) for guard in guards))
            for item in positive for unit, guards in ranking(item)
        )
        return CompiledQuery(where, params, ranked, True)
    terms = dict.fromkeys(unit_of(unit) for unit in positive_units(query.root))
    return CompiledQuery(where, params, tuple(map(Ranked, terms)), False)


def token_phrase(token: str) -> Phrase:
    """One token of a similarity command, in title, abstract or claims."""
    return Phrase(SEARCHED_FIELDS, (token,), False)


def similar_query(
    tokens: Sequence[str], filters: Query | None, excluded: Sequence[int], tables: WordTables | None = None, found: str = ""
) -> CompiledQuery:
    """The records holding any of `tokens` in title, abstract or claims that
    `filters` finds, without `excluded`, ranked by the tokens (the SQLite
    store's FTS5 OR of the same tokens); `found` names the table of the
    records holding any of the tokens when the store made it."""
    if not tokens:  # no word of the text is in the collection: nothing is close
        return CompiledQuery("FALSE", (), (), True)
    phrases = [token_phrase(token) for token in tokens]
    if found:
        where, params = [f"{TOKENS}.id IN (SELECT id FROM {found})"], []
    else:
        where, params = [f"{TOKENS}.lexemes @@ %s::tsquery"], [" | ".join(f"({phrase.tsquery()})" for phrase in phrases)]
    if filters is not None:
        sql, values = condition(filters.root, tables)
        where.append(sql)
        params += values
    if excluded:
        where.append(f"{TOKENS}.id <> ALL(%s)")
        params.append(list(excluded))
    return CompiledQuery(" AND ".join(where), tuple(params), tuple(map(Ranked, dict.fromkeys(phrases))), True)


# --- bm25 ------------------------------------------------------------------------

# The score, its parameters, what joins the hits to the frequencies it reads,
# that join's parameters, and the GROUP BY the score needs (or "").
Scoring = tuple[str, tuple[object, ...], str, tuple[object, ...], str]
NO_SCORE: Scoring = ("0::float8", (), "", (), "")


def ranked_units(compiled: CompiledQuery) -> list[Phrase | Group]:
    """The distinct phrases and TR groups that rank the hits, in order."""
    return list(dict.fromkeys(r.phrase for r in compiled.ranked))


def ranked_phrases(compiled: CompiledQuery) -> list[Phrase]:
    """The distinct phrases that rank the hits, a group's members in its place, in order."""
    units = ranked_units(compiled)
    return list(dict.fromkeys(p for unit in units for p in (unit.members if isinstance(unit, Group) else (unit,))))


def unit_frequencies(frequencies: str, phrases: Sequence[Phrase], units: Sequence[Phrase | Group]) -> Sql:
    """A SELECT of (id, phrase, f) from the table of the phrases' frequencies
    (posted_frequencies()), `phrase` numbering `units`: a group's f the sum
    of its members' (whole numbers: exact in any order)."""
    number = {phrase: index for index, phrase in enumerate(phrases)}
    pairs = [(number[p], u) for u, unit in enumerate(units) for p in (unit.members if isinstance(unit, Group) else (unit,))]
    sql = (f"SELECT f.id, m.unit AS phrase, sum(f.f) AS f FROM {frequencies} f "
           "JOIN unnest(%s::int[], %s::int[]) AS m(phrase, unit) ON m.phrase = f.phrase GROUP BY f.id, m.unit")
    return sql, ([p for p, _ in pairs], [u for _, u in pairs])


def phrase_counts(phrases: Sequence[Phrase | Group]) -> Sql:
    """One row: how many records hold each phrase (FTS5's per-phrase hit
    count), or any member of a group."""
    selects, params = [], []
    for phrase in phrases:
        sql, values = phrase.condition()
        selects.append(f"(SELECT count(*) FROM patent_tokens {TOKENS} WHERE {sql})")
        params += values
    return f"SELECT {', '.join(selects)}", tuple(params)


def bm25_sql(
    compiled: CompiledQuery, phrase_hits: Sequence[int], records: int, tokens: int, frequencies: str = ""
) -> Scoring:
    """FTS5's bm25 of each hit as SQL, given the collection's records and
    tokens and each ranked phrase's or group's hit count (ranked_units()
    order). When posted(compiled), the weighted frequencies are read from
    the table `frequencies` (made of posted_frequencies(), by unit_frequencies()
    when a group ranks); else each hit's occurrences are counted in its
    token text."""
    if not compiled.ranked:
        return NO_SCORE
    phrases = ranked_units(compiled)
    idf = dict(zip(phrases, idf_of(phrase_hits, records)))
    avgdl = tokens / records if records else 1.0
    length = f"%s::float8 * (1::float8 - %s::float8 + %s::float8 * {TOKENS}.ntokens::float8 / %s::float8)"
    if posted(compiled):
        return posted_score(compiled, [idf[phrase] for phrase in phrases], (K1, B, B, avgdl), length, frequencies)
    distinct = list(dict.fromkeys(compiled.ranked))
    columns, lateral_params = [], []
    for index, ranked in enumerate(distinct):
        frequency, params = ranked.phrase.frequency()
        if ranked.guards:
            guard = " AND ".join(sql for sql, _ in ranked.guards)
            frequency = f"CASE WHEN {guard} THEN {frequency} ELSE 0::float8 END"
            params = (*(p for _, guard_params in ranked.guards for p in guard_params), *params)
        columns.append(f"{frequency} AS f{index}")
        lateral_params += params
    lateral = f", LATERAL (SELECT {', '.join(columns)}, {length} AS k) fr"
    lateral_params += [K1, B, B, avgdl]
    position = {ranked: index for index, ranked in enumerate(distinct)}
    terms, score_params = [], []
    for ranked in compiled.ranked:
        f = f"fr.f{position[ranked]}"
        terms.append(f"%s::float8 * (({f} * (%s::float8 + 1::float8)) / ({f} + fr.k))")
        score_params += [idf[ranked.phrase], K1]
    return " + ".join(terms), tuple(score_params), lateral, tuple(lateral_params), ""


# --- postings --------------------------------------------------------------------
#
# The postings table holds, per import chunk (`batch`) and lexeme, the ids of
# the chunk's records holding the lexeme and how often (`tfs`), in arrays.
# A record written again, or removed, leaves its old entries behind; the
# records table's trigger lists them in stale_postings, and every read of the
# postings skips them.


def posted(compiled: CompiledQuery) -> bool:
    """Whether every ranked phrase is counted from the postings (its tokens
    uncut), with no guard (a guard is a condition on the hit's own tokens)."""
    return all(not r.guards and r.phrase.countable for r in compiled.ranked)


Key = tuple[int, float, str, str]  # (tag, weight, first lexeme, the lexeme after the last)


def _keys_of(phrase: Phrase, tag: int) -> list[Key]:
    """The keys of a one-token phrase (Phrase.posted): per field, or once for
    the grouped fields, the field's weight (1 for the group, whose counts
    are weighted) and the range of lexemes the token covers (one lexeme, or
    all it prefixes)."""
    token = phrase.tokens[0]
    grouped = sorted(phrase.fields) == sorted(DEFAULT_FIELDS)
    keys = []
    for code in (None,) if grouped else phrase.fields:
        low = f"{GROUP_COLUMN}:{token}" if code is None else lexeme(code, token)
        high = low + ("\U0010ffff" if phrase.prefix else "\x01")
        keys.append((tag, 1.0 if code is None else weight(code), low, high))
    return keys


def _postings_of(keys: Sequence[Key]) -> Sql:
    """Rows (tag, weight, batch, ids, tfs): the postings rows of each key's
    lexemes; a whole lexeme is joined on equality, a prefix on its range."""
    exact = [key for key in keys if key[3] == key[2] + "\x01"]
    ranges = [key for key in keys if key[3] != key[2] + "\x01"]
    selects, params = [], []
    # each key read from the index on its own: the planner cannot see the
    # keys' values, and would scan every row for a join on ranges
    in_range = 'p.lexeme >= k.low COLLATE "C" AND p.lexeme < k.high COLLATE "C"'
    for chosen, matched in ((exact, "p.lexeme = k.low"), (ranges, in_range)):
        if chosen:
            selects.append(
                "SELECT k.tag, k.weight, p.batch, p.ids, p.tfs "
                "FROM unnest(%s::int[], %s::float8[], %s::text[], %s::text[]) AS k(tag, weight, low, high) "
                f"CROSS JOIN LATERAL (SELECT * FROM postings p WHERE {matched} OFFSET 0) p"
            )
            params += [list(column) for column in zip(*chosen)]
    return " UNION ALL ".join(selects), tuple(params)


def _live(stale: bool) -> str:
    """The condition keeping live postings (u.id in row p): all of them when
    the collection has no stale entries."""
    return "NOT EXISTS (SELECT 1 FROM stale_postings s WHERE s.id = u.id AND s.batch = p.batch)" if stale else "TRUE"


def posted_ids(phrases: Sequence[Phrase], stale: bool = True) -> Sql:
    """A SELECT of the ids of the records holding any of the phrases (ids may
    repeat): a token's from the postings, a longer phrase's from the GIN
    index, confirmed on the token text."""
    selects, params = [], []
    single = [key for phrase in phrases if phrase.posted for key in _keys_of(phrase, 0)]
    if single:
        rows, values = _postings_of(single)
        selects.append(f"SELECT u.id FROM ({rows}) p CROSS JOIN LATERAL unnest(p.ids) AS u(id) WHERE {_live(stale)}")
        params += values
    for phrase in phrases:
        if not phrase.posted:  # the GIN index intersects the tokens' records, their text confirms the phrase
            found, confirm = phrase.confirmed("x")
            selects.append(f"SELECT x.id FROM patent_tokens x WHERE x.lexemes @@ %s::tsquery AND {found}")
            params += (phrase.tsquery(), *confirm)
    return " UNION ALL ".join(selects), tuple(params)


def posted_entries(phrases: Sequence[Phrase], stale: bool = True) -> Sql:
    """Rows (phrase, weight, id, tf): every live posting of each one-token
    phrase's lexemes, and for a longer phrase its weighted occurrences in
    each record the GIN index finds holding its tokens (weight 1)."""
    selects, params = [], []
    single = [key for number, phrase in enumerate(phrases) if phrase.posted for key in _keys_of(phrase, number)]
    if single:
        rows, values = _postings_of(single)
        selects.append(f"SELECT p.tag, p.weight, u.id, u.tf::float8 FROM ({rows}) p "
                       f"CROSS JOIN LATERAL unnest(p.ids, p.tfs) AS u(id, tf) WHERE {_live(stale)}")
        params += values
    for number, phrase in enumerate(phrases):
        if not phrase.posted:
            counted, counts = phrase.counted("x")
            selects.append(f"SELECT %s::int, 1::float8, x.id, {counted} FROM patent_tokens x WHERE x.lexemes @@ %s::tsquery")
            params += (number, *counts, phrase.tsquery())
    return f"SELECT * FROM ({' UNION ALL '.join(selects)}) e (phrase, weight, id, tf) WHERE e.tf > 0", tuple(params)


def posted_counts(phrases: Sequence[Phrase], last_id: int | None = None, stale: bool = True) -> Sql:
    """Rows (phrase number, how many records hold it), for the phrases held
    anywhere (by records up to `last_id` when given). Without stale entries,
    a phrase of one lexeme has each record once in its rows: their lengths
    are summed (ids ascend in a row, so a row ending at or below `last_id`
    counts whole)."""
    keys = [_keys_of(phrase, number) for number, phrase in enumerate(phrases) if phrase.posted]
    if not stale and len(keys) == len(phrases) and all(len(own) == 1 and own[0][3] == own[0][2] + "\x01" for own in keys):
        rows, params = _postings_of([own[0] for own in keys])
        if last_id is None:
            return f"SELECT p.tag, sum(cardinality(p.ids)) FROM ({rows}) p GROUP BY p.tag", params
        counted = ("CASE WHEN p.ids[cardinality(p.ids)] <= %s THEN cardinality(p.ids) "
                   "ELSE (SELECT count(*) FROM unnest(p.ids) AS u(id) WHERE u.id <= %s) END")
        return (f"SELECT p.tag, sum({counted}) FROM ({rows}) p WHERE p.ids[1] <= %s GROUP BY p.tag",
                (last_id, last_id, *params, last_id))
    entries, params = posted_entries(phrases, stale)
    below = "" if last_id is None else " WHERE x.id <= %s"
    sql = f"SELECT e.phrase, count(*) FROM (SELECT DISTINCT phrase, id FROM ({entries}) x{below}) e GROUP BY e.phrase"
    return sql, (*params, *(() if last_id is None else (last_id,)))


def posted_frequencies(phrases: Sequence[Phrase], stale: bool = True) -> Sql:
    """A SELECT of (id, phrase, f): each phrase's weighted frequency in each
    record holding it, summed over its fields' lexemes."""
    entries, params = posted_entries(phrases, stale)
    return f"SELECT e.id, e.phrase, sum(e.weight * e.tf::float8) AS f FROM ({entries}) e GROUP BY e.id, e.phrase", params


def posted_score(
    compiled: CompiledQuery, idf: Sequence[float], length_params: tuple[float, ...], length: str, frequencies: str
) -> Scoring:
    """bm25 from the table of frequencies (posted_frequencies()), the terms
    added in the order of compiled.ranked (the order FTS5 adds its phrases;
    a phrase ranked twice adds twice). A hit holding none of the phrases
    scores 0."""
    phrases = ranked_units(compiled)
    number = {phrase: index for index, phrase in enumerate(phrases)}
    order = [number[r.phrase] for r in compiled.ranked]
    join = (
        f" LEFT JOIN ({frequencies} f JOIN unnest(%s::int[], %s::float8[]) WITH ORDINALITY AS q(phrase, idf, ord) "
        f"ON q.phrase = f.phrase) ON f.id = {TOKENS}.id"
    )
    term = f"q.idf * ((f.f * (%s::float8 + 1::float8)) / (f.f + {length}))"
    if len(order) == 1:  # one term: a record's one row of frequencies, nothing to add up
        return f"coalesce({term}, 0::float8)", (K1, *length_params), join, (order, [idf[i] for i in order]), ""
    score = f"coalesce(sum({term} ORDER BY q.ord), 0::float8)"
    return (score, (K1, *length_params), join, (order, [idf[i] for i in order]),
            f" GROUP BY {TOKENS}.id")
