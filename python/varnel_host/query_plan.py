"""What every store's compiler decides alike about a parsed Query (query.py):
the tokens a word is searched by, which words rank the hits, what the index
can answer, the bounds of open date ranges and the fields' weights in bm25.

Each store turns these decisions into its own SQL (sqlite_query.py for the
SQLite file, pg_query.py for a PostgreSQL server); nothing here knows SQL.
"""

from __future__ import annotations

import re
from collections.abc import Iterator

from . import pn
from .query import And, Node, Not, Or, Term
from .segment import join_ipc, search_tokens

# bm25 column weights: title 8 > claims 4 > abstract 2 > the other text fields 1.
BM25_WEIGHTS = {"TI": 8.0, "CL": 4.0, "AB": 2.0}
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
    if "IC" not in term.fields:
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
    if term.fields != ("PN",) or term.truncated:
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


def positive_terms(node: Node, negated: bool = False) -> Iterator[Term]:
    """The words not under NOT (an even number of NOTs cancels), in command
    order: what ranks the hits of a command the index cannot answer whole."""
    if isinstance(node, Term) and not negated and number_of(node) is None:
        yield node
    elif isinstance(node, Not):
        yield from positive_terms(node.item, not negated)
    elif isinstance(node, (And, Or)):
        for item in node.items:
            yield from positive_terms(item, negated)


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
