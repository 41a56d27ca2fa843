"""What every store's compiler decides alike about a parsed Query (query.py):
the tokens a word is searched by, which words rank the hits, what the index
can answer, the bounds of open date ranges and the fields' weights in bm25.

Each store turns these decisions into its own SQL (sqlite_query.py for the
SQLite file, pg_query.py for a PostgreSQL server); nothing here knows SQL.
"""

from __future__ import annotations

import datetime
import math
import re
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, replace
from typing import Protocol

from . import _segment, pn, segment
from .field_values import NORMALISED
from .query import And, Chain, DateRange, Near, Node, Not, Or, Prior, Query, QueryError, Term, Translated, nodes
from .records import CODE_FIELDS, REGISTRY
from .segment import CJK, join_ipc, search_tokens

# bm25 column weights (records.REGISTRY): title 8 > claims 4 > abstract 2 > the other text fields 1.
BM25_WEIGHTS = {code: field.weight for code, field in REGISTRY.items() if field.weight != 1.0}
K1, B = 1.2, 0.75  # bm25's parameters (FTS5's)
# The stored date an open end of a date range stands for.
EARLIEST, LATEST = "00000000", "99999999"


def weight(code: str) -> float:
    """The bm25 weight of a text field."""
    return BM25_WEIGHTS.get(code, 1.0)


# A classification symbol without its group (a subclass, H01M) or without
# its subgroup (a main group, H01M10): it stands for everything under it.
_SUBCLASS = re.compile(r"[A-Ha-h]\d\d[A-Za-z]")
_MAIN_GROUP = re.compile(r"[A-Ha-h]\d\d[A-Za-z]\d{1,4}/?")


def term_tokens(term: Term) -> tuple[tuple[str, ...], bool]:
    """The phrase a word or quoted phrase is searched by: its index tokens in
    a row, the last one a prefix when the bool is True (segment.search_tokens).
    Searched in IC, a code printed with a space is joined first, a subclass
    is the prefix of its groups' codes (H01M: h01m*) and a main group the
    prefix of its subgroups' (H01M10: h01m10/*, never h01m100/…)."""
    if not any(REGISTRY[code].indexed_levels for code in term.fields):
        return search_tokens(term.text, term.truncated)
    text = join_ipc(term.text).strip()
    if not term.truncated and not term.phrase:
        if _SUBCLASS.fullmatch(text):
            return search_tokens(text, True)
        if _MAIN_GROUP.fullmatch(text):
            tokens, _ = search_tokens(text.rstrip("/"))
            return (tokens[0] + "/",), True
    return search_tokens(text, term.truncated)


def date_bounds(start: str | None, end: str | None) -> tuple[str, str]:
    """A date range's inclusive bounds, an open end as the earliest or latest date."""
    return start or EARLIEST, end or LATEST


def number_of(term: Term) -> pn.Parts | None:
    """The parts of a publication number searched in PN alone (pn.matches()
    rules: one typed without kind finds every kind, without country every
    country), else None: such a term is a condition on the stored number,
    not a word of the index."""
    if len(term.fields) != 1 or REGISTRY[term.fields[0]].kind != "number" or term.truncated:
        return None
    return pn.query_parts(term.text)


def indexable(node: Node) -> bool:
    """Whether the full-text index alone finds the records of `node`: words
    and phrases joined by AND and OR, with NOT only beside a positive operand
    of an AND (an index has no unary NOT)."""
    if isinstance(node, Term):
        return number_of(node) is None
    if isinstance(node, Or):
        return all(indexable(item) for item in node.items)
    if isinstance(node, And):
        positive = [item for item in node.items if not isinstance(item, Not)]
        negative = [item.item for item in node.items if isinstance(item, Not)]
        return bool(positive) and all(map(indexable, positive + negative))
    return False


def idf_of(phrase_hits: Iterable[int], records: int) -> list[float]:
    """FTS5's IDF of each phrase (or TR group) from its hit count (at least 1e-6)."""
    idf = []
    for hits in phrase_hits:
        value = math.log((records - hits + 0.5) / (hits + 0.5))
        idf.append(value if value > 0.0 else 1e-6)
    return idf


# --- ranking -----------------------------------------------------------------------
#
# A TR group (query.Translated) ranks as one term (BM25 with synonyms): its
# hit count is the records holding any of its members, its frequency in a
# record the sum of its members' weighted frequencies, and it scores
# idf(group) * f * (k1 + 1) / (f + k1 * (1 - b + b * D / avgdl)). Words
# outside groups score as FTS5's bm25 scores each phrase of its expression.

Unit = Term | Translated  # what ranks: a word, or a TR group as one term


def ranking(node: Node, guards: tuple[Node, ...] = ()) -> Iterator[tuple[Unit, tuple[Node, ...]]]:
    """The words and TR groups ranking the hits of an indexable node, in
    order, one entry per occurrence (as FTS5 adds its phrases), each with
    the OR branches above it that a hit must meet for it to count (a word
    under NOT never counts)."""
    if isinstance(node, (Term, Translated)):
        yield node, guards
    elif isinstance(node, Or):
        for item in node.items:
            yield from ranking(item, guards if isinstance(item, (Term, Translated)) else (*guards, item))
    elif isinstance(node, And):
        for item in node.items:
            if not isinstance(item, Not):
                yield from ranking(item, guards)


def positive_units(node: Node, negated: bool = False) -> Iterator[Unit]:
    """The words not under NOT (an even number of NOTs cancels), in command
    order, each TR group not under NOT as one unit."""
    if isinstance(node, Translated) and not negated:
        yield node
    elif isinstance(node, Term) and not negated and number_of(node) is None:
        yield node
    elif isinstance(node, Not):
        yield from positive_units(node.item, not negated)
    elif isinstance(node, (And, Or)):
        for item in node.items:
            yield from positive_units(item, negated)


def positive_terms(node: Node) -> Iterator[Term]:
    """The words not under NOT (an even number of NOTs cancels), in command
    order: what ranks the hits of a command the index cannot answer whole."""
    for unit in positive_units(node):
        yield from unit.items if isinstance(unit, Translated) else (unit,)  # type: ignore[misc]


# --- proximity ---------------------------------------------------------------------
#
# A word's places are token places: each Chinese character starts one token
# (a bigram, or a run's closing character) and a Latin word is one token, so
# the n-th token is the n-th word. Each store finds the records that may
# hold a NEAR/ADJ, keeps those near_check() accepts on their fields (the
# SQLite store takes those its index finds for sure as they are) in a table
# of ids, and compiles the command with the proximity replaced by both sides
# AND that table (with_ids()): the same hits, ranked as the two sides are, on
# every store.


@dataclass(frozen=True)
class IdTable:
    """The records whose id a store keeps in `table` (a resolved proximity)."""

    table: str


def _distinct(query: Query, kind: type) -> list:
    """The distinct parts of a command of one kind (a NEAR/ADJ or a PRIOR=, neither ever inside another), in command order."""
    return list(dict.fromkeys(node for node in nodes(query.root) if isinstance(node, kind)))


def proximities(query: Query) -> list[Near]:
    """The distinct NEAR/ADJ parts of a command, in command order."""
    return _distinct(query, Near)


def both_sides(near: Near) -> And:
    """What every record of a proximity holds: both its sides."""
    return And((near.left, near.right))


def near_fields(near: Near) -> tuple[str, ...]:
    """The fields a proximity is checked in, each on its own (the parser made both sides search the same ones)."""
    return next(_terms_of(near.left)).fields


def _terms_of(node: Node) -> Iterator[Term]:
    return iter(node.items if isinstance(node, Or) else (node,))  # type: ignore[union-attr]


_CJK_PAIR = re.compile(f"[{CJK}]{{2}}")


_Phrase = tuple[tuple[str, ...], bool, bool]  # tokens, last one a prefix, last word two Chinese characters


def _phrases(side: Node) -> list[_Phrase]:
    out = []
    for term in _terms_of(side):
        phrase, prefix = term_tokens(term)
        if phrase:
            # the last token of a phrase whose last word is two Chinese characters covers the next word too
            out.append((phrase, prefix, not prefix and bool(_CJK_PAIR.fullmatch(phrase[-1]))))
    return out


def near_phrases(near: Near) -> tuple[list[_Phrase], list[_Phrase]]:
    """The phrases of a proximity's left and right side, each (its tokens,
    the last one a prefix, the last one covering the next word too): a place
    of one is (first token, last token + that one word)."""
    return _phrases(near.left), _phrases(near.right)


def may_share_a_word(left: _Phrase, right: _Phrase) -> bool:
    """Whether a place of one phrase may share a word with a place of the
    other (near_phrases()): a token of one may stand where a token of the
    other stands (the same token, or one a prefix of the other: a prefix
    token, or the word a last token covers, which starts with its second
    character: 發動 covers the 動 of 動機)."""

    def words(phrase: _Phrase) -> list[tuple[str, bool]]:
        tokens, prefix, wide = phrase
        out = [(token, False) for token in tokens[:-1]] + [(tokens[-1], prefix)]
        return out + [(tokens[-1][1], True)] if wide else out

    return any(
        a == b or (a_prefix and b.startswith(a)) or (b_prefix and a.startswith(b))
        for a, a_prefix in words(left)
        for b, b_prefix in words(right)
    )


def near_check(near: Near) -> _segment.NearTest:
    """The native check of whether a record has a proximity's two sides
    within near.distance words in one field: the right side starting 1 to
    distance words after the left ends (or, unordered, either way round), the
    two sides being two places that share no word (a word is never near
    itself: pizza NEAR/1 pizza needs two of them; 發動 NEAR/1 動機 is not in
    發動機). Its in_texts(texts) takes the fields' texts (IC's codes joined,
    segment.join_ipc), its in_tokens(joined) their space-joined index tokens;
    each tells whether the sides are near in one of them."""
    return segment.near_check(_phrases(near.left), _phrases(near.right), near.distance, near.ordered)


def with_ids(query: Query, tables: Mapping[Near | Term | Chain, str], dates: Mapping[Prior, DateRange] = {}) -> Query:
    """The command with each proximity replaced by its sides AND the table of
    the records where it holds, each code term and citation chain by the
    table of its records and each PRIOR= by its date range."""

    def swap(node: Node) -> Node:
        if isinstance(node, Prior):
            return dates[node]
        if isinstance(node, Near):  # one resolved now, or left for its own step
            return And((node.left, node.right, IdTable(tables[node]))) if node in tables else node  # type: ignore[arg-type]
        if isinstance(node, (Term, Chain)) and node in tables:
            return IdTable(tables[node])  # type: ignore[return-value]
        if isinstance(node, Not):
            return Not(swap(node.item))
        if isinstance(node, Or):  # a TR group keeps its kind
            return replace(node, items=tuple(swap(item) for item in node.items))
        if isinstance(node, And):  # flat, so that the sides rank as the AND's other words do
            swapped = [swap(item) for item in node.items]
            return And(tuple(part for item in swapped for part in (item.items if isinstance(item, And) else (item,))))
        return node

    return replace(query, root=swap(query.root)) if tables or dates else query


# --- stored codes: CPC=, CT=, LS=, DT=, FAM= ------------------------------------------
#
# Each store finds the records of a code term with its own SQL over the
# `codes` rows (contract.code_values()) and the records' family columns,
# keeps them in a table of ids and compiles the command with the term
# replaced by that table (with_ids()): a condition, not a ranked word.
# LS= and DT= on a collection holding no such value are refused (unheld()).

MAX_FAMILY_ROUNDS = 8  # links followed from a publication to its family


def code_terms(query: Query) -> list[Term]:
    """The distinct CPC=, CT=, LS=, DT= and FAM= terms of a command, in command order."""
    return list(dict.fromkeys(term for term in query.terms() if term.fields[0] in CODE_FIELDS))


def cpc_symbols(term: Term) -> tuple[str, bool]:
    """The stored CPC symbols a CPC= term finds: (symbol, False) that symbol,
    (prefix, True) every symbol starting so. A subclass (H01M) stands for
    its groups, a main group (H01M10) for itself and its subgroups
    (H01M10/…, never H01M100), as in IC=; quoted, the symbol alone."""
    text = "".join(join_ipc(term.text).split()).upper()
    if term.truncated:
        return text, True
    if not term.phrase and _SUBCLASS.fullmatch(text):
        return text, True
    if not term.phrase and _MAIN_GROUP.fullmatch(text):
        return text.rstrip("/") + "/", True
    return text, False


def unheld(code: str, command: str) -> QueryError:
    """The refusal of LS= or DT= (`code`) on a collection where no record
    holds a legal status (a document type): never a silent 0 hits."""
    values = NORMALISED[REGISTRY[code].scheme]
    written = re.search(rf"(?i)(?<![A-Z0-9]){code}(?![A-Z0-9])", command)
    return QueryError(
        f"這個資料庫的專利都沒有{values.caption}資料，{code}= 無從比對：{values.caption}來自 {values.sources}；"
        f"請匯入含有{values.caption}的檔案，或拿掉 {code}= 條件",
        written.start() + 1 if written else 1,
        f"{code}=",
    )


class FamilyLinks(Protocol):
    """A store's look-ups that make up a family (family_of())."""

    def numbered(self, parts: pn.Parts) -> set[int]:
        """The records with this publication number (PN= rules)."""

    def listing(self, parts: pn.Parts) -> set[int]:
        """The records listing this publication number as a family member
        (PN= rules, a member listed without its kind being every kind): the
        number need not be stored as a record of its own."""

    def linked(self, ids: set[int]) -> set[int]:
        """The records sharing a family identity or an application number
        with one of `ids`, listed as a family member by one, or listing one."""


def priors(query: Query) -> list[Prior]:
    """The distinct PRIOR= parts of a command."""
    return _distinct(query, Prior)


def prior_dates(query: Query, earliest: Callable[[pn.Parts], tuple[int, str | None]]) -> dict[Prior, DateRange]:
    """What each PRIOR=<number> of a command stands for: published up to the
    day before that patent's earliest priority date (its filing date without
    a priority claim, records.DATE_STANDINS). `earliest` is the store's look-up of a
    number: how many records hold it and the earliest of their dates.
    QueryError when the patent is not stored or has neither date."""
    dates = {}
    for prior in priors(query):
        parts = pn.query_parts(prior.number)
        assert parts is not None  # the parser made sure
        stored, first = earliest(parts)
        if not stored:
            raise QueryError(f"PRIOR=：資料庫中沒有公開公告號「{prior.number}」的專利", prior.position, prior.number)
        if not first:
            raise QueryError(
                f"PRIOR=：「{prior.number}」沒有優先權日也沒有申請日，無法判斷哪些專利是它的前案；"
                "請改用 ID=:YYYYMMDD 指定日期",
                prior.position,
                prior.number,
            )
        day = datetime.date(int(first[:4]), int(first[4:6]), int(first[6:])) - datetime.timedelta(days=1)
        dates[prior] = DateRange("ID", None, day.strftime("%Y%m%d"), prior.position)
    return dates


def family_of(links: FamilyLinks, term: Term) -> set[int]:
    """The records of the families of the publication a FAM= term names:
    every record reached by family links, followed MAX_FAMILY_ROUNDS deep,
    from the records with that number and those listing it as a member."""
    parts = pn.query_parts(term.text)
    assert parts is not None  # the parser made sure
    found = frontier = links.numbered(parts) | links.listing(parts)
    for _ in range(MAX_FAMILY_ROUNDS):
        frontier = links.linked(frontier) - found
        if not frontier:
            break
        found = found | frontier
    return found


def needs_a_word(node: Node) -> bool:
    """Whether every record `node` finds holds one of its words not under NOT
    (a date range or a publication number alone finds records without one)."""
    if isinstance(node, Term):
        return number_of(node) is None
    if isinstance(node, And):
        return any(map(needs_a_word, node.items))
    if isinstance(node, Or):
        return all(map(needs_a_word, node.items))
    return False
