"""Why a command found nothing, in a line or two of the log box and the report.

A silent 0 hits reads as "no prior art": when a command finds nothing, the
worker asks explain() which part left nothing. It counts each operand of the
top-level AND on its own (pizza 877 筆、near 3 筆、box 60 筆，同時符合的 0 筆),
each side of a proximity, and says of an operand that holds nothing why:
the word is in no record, the field holds no value in the whole collection,
the date range lies outside the collection's dates, no legal status or
document type maps to the value of LS= or DT= (with the values held, counted), a citation chain's
patent is cited by none or cites nothing the collection holds. It also names a word
that is an operator of another search system written as a word (pizza near
box) with the form to write instead.

Every count is one search of that operand through the store's public API
(store.search(…, limit=0)), at most MAX_COUNTS of them; a field's presence
and a date field's range come from store.span(code). Operands are shown as
render() writes them back in the command language.
"""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Callable, Iterator

from . import citations
from .contract import SPAN_FIELDS, Cancelled
from .field_values import NORMALISED
from .query import And, Chain, DateRange, Near, Node, Not, Or, Prior, Query, QueryError, Similar, Term, nodes, parse
from .records import DEFAULT_FIELDS, FIELDS, REGISTRY, written_fields
from .shown import shown

log = logging.getLogger(__name__)

MAX_COUNTS = 24  # operand searches per explanation: a long command is explained in part
OPERAND_CHARS = 60  # an operand as the explanation shows it

# Operators of other search systems that the parser reads as words (lower
# case: they are English words too): the form of this language to write
# instead, and what it stands for there.
FOREIGN_WORDS: dict[str, tuple[str, int]] = {
    "near": ("NEAR", 5),
    "adj": ("ADJ", 1),
    "onear": ("ADJ", 5),
    "with": ("NEAR", 20),  # within a sentence
    "same": ("NEAR", 50),  # within a paragraph
}


class _Budget:
    """The operand searches left, and the store and cancel hook they run with."""

    def __init__(self, store, query: Query, cancel: Callable[[], bool] | None):
        self.store, self.sets, self.cancel = store, query.sets, cancel
        self.left = MAX_COUNTS
        self._spans: dict[str, tuple[str, str] | None] = {}

    def count(self, node: Node) -> int | None:
        """The hits of `node` searched on its own; None once the budget is spent."""
        if self.left <= 0:
            return None
        self.left -= 1
        return self.store.search(Query(node, render(node), self.sets), limit=0, cancel=self.cancel).total

    def chain_end(self, chain: Chain) -> str:
        """Why a citation chain found nothing (citations.chain_end); "" once the budget is spent."""
        if self.left <= 0:
            return ""
        self.left -= 1
        followed = self.store.search(Query(chain, render(chain), self.sets), limit=0, cancel=self.cancel).chains
        return citations.chain_end(followed[0]) if followed else ""

    def span(self, code: str) -> tuple[str, str] | None:
        if code not in self._spans:
            self._spans[code] = self.store.span(code)
        return self._spans[code]


def explain(store, query: Query, cancel: Callable[[], bool] | None = None) -> list[str]:
    """The lines that say why `query`, which found nothing on `store`, found
    nothing: which part left nothing (one or two lines), then a line per word
    that looks like another system's operator. Cancelled passes through."""
    budget = _Budget(store, query, cancel)
    sentences = _why(query.root, budget)
    lines = [sentences[0]] if sentences else []
    if len(sentences) > 1:
        lines.append("；".join(dict.fromkeys(sentences[1:])))
    return lines + foreign_words(query.root)


def explained(request, store, say: Callable[[str], None], cancel: Callable[[], bool] | None = None):
    """The worker's step after a run found nothing: the explanation said line
    by line, and the request returned carrying it for the report. A failure
    to explain costs the explanation, not the run (Cancelled passes through)."""
    try:
        lines = explain(store, request.query, cancel)
    except Cancelled:
        raise
    except Exception:  # the run found nothing either way: say so, keep the report
        log.exception("zero hits not explained")
        lines = ["（無法判斷是哪個條件沒有專利；請逐一拿掉條件再檢索）"]
    for line in lines:
        say(line)
    return dataclasses.replace(request, explanation=tuple(lines))


# --- why each kind of node found nothing --------------------------------------


def _why(node: Node, budget: _Budget) -> list[str]:
    """Sentences on `node`, which finds nothing: its own first, then those on
    its parts that find nothing."""
    if isinstance(node, Term):
        return [_term_gap(node, budget)]
    if isinstance(node, DateRange):
        return [_date_gap(node, budget)]
    if isinstance(node, And):
        return _and_gap(node, budget)
    if isinstance(node, Or):  # each operand finds nothing
        return _gaps(node.items, budget)
    if isinstance(node, Near):
        return _near_gap(node, budget)
    if isinstance(node, Not):
        everything = budget.store.count()
        return [f"資料庫的 {everything:,} 筆專利都符合「{_shown(node.item)}」，排除後沒有剩下任何專利"]
    if isinstance(node, Similar):
        if node.number:
            return [f"{node.code}={node.number}：這件專利的詞沒有出現在資料庫的其他專利中"]
        return [f"{node.code}= 的描述文字沒有任何詞出現在資料庫的專利中"]
    if isinstance(node, Prior):
        return [f"沒有任何專利公開於 {node.number} 的最早優先權日之前"]
    if isinstance(node, Chain) and (why := budget.chain_end(node)):
        return [why]
    return [f"「{_shown(node)}」沒有任何專利"]


def _counted(items: tuple[Node, ...], budget: _Budget) -> list[tuple[Node, int | None]]:
    return [(item, budget.count(item)) for item in items]


def _and_gap(node: And, budget: _Budget) -> list[str]:
    counted = _counted(node.items, budget)
    parts = [f"{_shown(item)} {total:,} 筆" for item, total in counted if total is not None]
    skipped = sum(total is None for _, total in counted)
    tail = f"（其餘 {skipped} 項未計算）" if skipped else ""
    empty = [item for item, total in counted if total == 0]
    if not empty:
        return ["、".join(parts) + f"{tail}，同時符合的 0 筆"]
    return ["、".join(parts) + tail, *_gaps(empty, budget)]


def _gaps(items: tuple[Node, ...] | list[Node], budget: _Budget) -> list[str]:
    """Sentences on `items`, each finding nothing: the first on all of them
    (plain words of one field list said together), then the details."""
    grouped: dict[tuple[str, ...], list[Term]] = {}
    said: list[str | tuple[str, ...]] = []  # a sentence, or the fields of a group of words, in command order
    details: list[str] = []
    for item in items:
        if isinstance(item, Term) and not any(REGISTRY[code].scheme for code in item.fields):  # prose and names
            if item.fields not in grouped:
                said.append(item.fields)
            grouped.setdefault(item.fields, []).append(item)
        else:
            first, *rest = _why(item, budget)
            said.append(first)
            details += rest
    sentences = [_words_gap(grouped[part], budget) if isinstance(part, tuple) else part for part in said]
    return ["；".join(sentences), *details]


def _near_gap(node: Near, budget: _Budget) -> list[str]:
    (left, left_total), (right, right_total) = _counted((node.left, node.right), budget)
    counts = [f"{_shown(side)} {total:,} 筆" for side, total in ((left, left_total), (right, right_total)) if total is not None]
    where = f"在{_fields_caption(next(_terms(node)).fields) or '同一欄位'}內"
    if node.ordered:
        within = f"沒有一筆{where}「{_shown(right)}」在「{_shown(left)}」之後 {node.distance} 個字詞以內"
    else:
        within = f"沒有一筆{where}兩者相距 {node.distance} 個字詞以內"
    empty = [side for side, total in ((left, left_total), (right, right_total)) if total == 0]
    if empty:
        return ["、".join(counts)] + [sentence for side in empty for sentence in _why(side, budget)]
    return ["、".join(counts) + "，但" + within]


def _words_gap(terms: list[Term], budget: _Budget) -> str:
    """No record holds any of `terms` (words searched in the same fields)."""
    fields = terms[0].fields
    if set(fields) <= set(SPAN_FIELDS) and not any(budget.span(code) for code in fields):
        return f"這個資料庫沒有任何{_fields_caption(fields, '或')}資料（{'、'.join(f'{code}=' for code in fields)} 找不到任何專利）"
    words = [f"「{term.word}」" for term in dict.fromkeys(terms)]
    words = "、".join(words[:-1]) + "或" + words[-1] if len(words) > 1 else words[0]
    where = "" if fields == DEFAULT_FIELDS else f"的{_fields_caption(fields, '或')}"
    return f"資料庫中沒有任何專利{where}含有{words}"


def _term_gap(term: Term, budget: _Budget) -> str:
    code = term.fields[0]
    searched = REGISTRY[code]
    if searched.kind == "number":
        return f"資料庫中沒有公開公告號「{term.word}」的專利"
    if searched.kind == "family":
        return f"資料庫中沒有公開公告號「{term.text}」的專利，也就找不到它的同族"
    if searched.scheme and len(term.fields) == 1:
        caption = _fields_caption(term.fields)
        if budget.span(code) is None:
            return f"這個資料庫沒有任何{caption}資料（{code}= 找不到任何專利）"
        if searched.scheme in NORMALISED:
            return _value_gap(term, budget)
        if code == "CT":
            return f"資料庫中沒有任何專利引用「{term.text}」"
        if code == "AN":
            return f"資料庫中沒有申請號「{term.word}」的專利"
        if searched.levels:  # a classification: a code belongs to a class
            return f"資料庫中沒有任何專利的{caption}屬於「{term.word}」"
    return _words_gap([term], budget)


def _value_gap(term: Term, budget: _Budget) -> str:
    """No record's legal status (document type) maps to the value of an LS=
    (DT=) term: the other values the collection holds, each counted."""
    values = NORMALISED[REGISTRY[term.fields[0]].scheme]
    counts = ((value, budget.count(Term(value, term.fields))) for value in values.values if value != term.text)
    held = "、".join(f"{value} {total:,} 筆" for value, total in counts if total)
    return f"資料庫中沒有{values.caption}為「{term.text}」的專利" + (f"（各{values.caption}的專利：{held}）" if held else "")


def _date_gap(node: DateRange, budget: _Budget) -> str:
    caption = FIELDS[node.field][1]
    span = budget.span(node.field)
    if span is None:
        return f"這個資料庫沒有任何{caption}資料（{node.field}= 找不到任何專利）"
    if node.start and node.end and node.start[4:] == "0101" and node.end[4:] == "1231":
        wanted = f"在 {node.start[:4]} 年" if node.start[:4] == node.end[:4] else f"在 {node.start[:4]}～{node.end[:4]} 年"
    elif node.start and node.end:
        wanted = f"在 {_day(node.start)}～{_day(node.end)} 之間" if node.start != node.end else f"是 {_day(node.start)}"
    elif node.start:
        wanted = f"在 {_day(node.start)} 以後"
    else:
        wanted = f"在 {_day(node.end or '')} 以前"
    return f"{caption}{wanted}的專利：0 筆（資料庫的{caption}範圍 {_day(span[0])}～{_day(span[1])}）"


# --- words that are another system's operators -----------------------------------


def foreign_words(root: Node) -> list[str]:
    """A line for each word written where another search system has an
    operator (pizza near box), with the form to write instead."""
    lines: dict[str, None] = {}
    for term, parent, index in _placed_terms(root, None, 0):
        if term.phrase or term.truncated or term.wildcard or term.text.lower() not in FOREIGN_WORDS:
            continue
        operator, distance = FOREIGN_WORDS[term.text.lower()]
        sides = parent.items[index - 1 : index + 2 : 2] if parent is not None and 0 < index < len(parent.items) - 1 else ()
        example = f"電池 {operator}/{distance} 電極"
        if len(sides) == 2 and all(map(_near_side, sides)):  # the words beside it, where they make a proximity
            written = render(Near(sides[0], sides[1], distance, operator == "ADJ"))
            try:
                parse(written)
                example = written
            except QueryError:  # e.g. sides of different fields, or of CPC=
                pass
        meaning = "後詞在前詞之後" if operator == "ADJ" else "兩詞相距"
        lines[f"「{term.text}」被當成檢索詞；若要鄰近檢索請寫 {example}（{operator}/n：{meaning} n 個字詞以內）；"
              f"若要檢索這個字本身，請加引號 \"{term.text}\""] = None
    return list(lines)


def _placed_terms(node: Node, parent: And | None, index: int) -> Iterator[tuple[Term, And | None, int]]:
    """Every term with the AND it is an operand of (None if none) and its place there."""
    if isinstance(node, Term):
        yield node, parent, index
    elif isinstance(node, And):
        for place, item in enumerate(node.items):
            yield from _placed_terms(item, node, place)
    elif isinstance(node, Or):
        for item in node.items:
            yield from _placed_terms(item, None, 0)
    elif isinstance(node, Not):
        yield from _placed_terms(node.item, None, 0)
    elif isinstance(node, Near):
        yield from _placed_terms(node.left, None, 0)
        yield from _placed_terms(node.right, None, 0)


def _near_side(node: Node) -> bool:
    return isinstance(node, Term) or (isinstance(node, Or) and all(isinstance(item, Term) for item in node.items))


# --- a node written back in the command language ------------------------------------


def render(node: Node, fields: tuple[str, ...] = DEFAULT_FIELDS) -> str:
    """`node` as a command that parses back to it; `fields`: those its terms
    take without writing them (the enclosing field limit)."""
    if isinstance(node, Term):
        word = f"TR({_word(node, quoted=True)})" if node.translate else _word(node, quoted=True)
        if node.fields == fields:
            return word
        return _limited(word, node.fields)
    if isinstance(node, DateRange):
        return f"{node.field}={_date_text(node)}"
    if isinstance(node, Similar):
        return f"{node.code}={node.number}" if node.number else f'{node.code}="{node.text}"'
    if isinstance(node, Prior):
        return f"PRIOR={node.number}"
    if isinstance(node, Chain):
        return f"{node.code}={node.number}"
    if (shared := _limit(node, fields)) is not None:
        return _limited(f"({render(node, shared)})", shared)
    if isinstance(node, Not):
        return f"NOT {_grouped(node.item, fields, (And, Or))}"
    if isinstance(node, Near):
        operator = f"{'ADJ' if node.ordered else 'NEAR'}/{node.distance}"
        return f"{_grouped(node.left, fields, (Or,))} {operator} {_grouped(node.right, fields, (Or,))}"
    if isinstance(node, And):
        return " AND ".join(_grouped(item, fields, (And, Or)) for item in node.items)
    if isinstance(node, Or):
        return " OR ".join(_grouped(item, fields, (Or,)) for item in node.items)
    return str(node)


def _limited(written: str, fields: tuple[str, ...]) -> str:
    """A word or a group in parentheses limited to `fields`, as a command names them: TI=x, x@TI,AB."""
    codes = written_fields(fields)
    return f"{codes[0]}={written}" if len(codes) == 1 else f"{written}@{','.join(codes)}"


def _limit(node: Node, fields: tuple[str, ...]) -> tuple[str, ...] | None:
    """The fields every term under `node` (only terms) shares, where they
    differ from `fields`: written once as a field limit over the group."""
    if not all(isinstance(leaf, (Term, And, Or, Not, Near)) for leaf in nodes(node)):
        return None  # a date or SIM= takes no field limit
    common = {term.fields for term in _terms(node)}
    return common.pop() if len(common) == 1 and next(iter(common)) != fields else None


def _grouped(node: Node, fields: tuple[str, ...], loose: tuple[type, ...]) -> str:
    """render(node), in parentheses when it is of a kind that binds more loosely
    than where it stands (and not already one field-limited group)."""
    text = render(node, fields)
    return f"({text})" if isinstance(node, loose) and _limit(node, fields) is None else text


def _word(term: Term, quoted: bool = False) -> str:
    """The word as written: a phrase in quotes, a trailing * kept; with
    quoted=True, a word the command would read otherwise also in quotes."""
    text = f'"{term.text}"' if term.phrase or (quoted and _needs_quotes(term.text)) else term.text
    return text + "*" if term.truncated else text


def _needs_quotes(text: str) -> bool:
    return any(c.isspace() or c in '()"@=' for c in text) or text.upper() in ("AND", "OR", "NOT") or text.startswith("-")


def _terms(node: Node) -> Iterator[Term]:
    return (item for item in nodes(node) if isinstance(item, Term))


def _date_text(node: DateRange) -> str:
    """A date range as written: whole years as years (2015:2024, 2020), open ends empty."""
    start, end = node.start, node.end
    if start and end and start[4:] == "0101" and end[4:] == "1231":
        return start[:4] if start[:4] == end[:4] else f"{start[:4]}:{end[:4]}"
    if start == end and start:
        return start
    return f"{start or ''}:{end or ''}"


def _day(date: str) -> str:
    return f"{date[:4]}-{date[4:6]}-{date[6:]}" if len(date) == 8 else date


def _fields_caption(fields: tuple[str, ...], joint: str = "、") -> str:
    """The fields' captions for a sentence ("" for the default ones); a Latin caption set off by spaces."""
    if fields == DEFAULT_FIELDS:
        return ""
    captions = (FIELDS[code][1] for code in written_fields(fields))
    return joint.join(f" {caption} " if caption.isascii() else caption for caption in captions)


def _shown(node: Node) -> str:
    return shown(render(node), OPERAND_CHARS)
