"""Citation chains (CT/2=, REF=, REF/3=) and the citations among a search's
hits, worked out alike on every store.

Each store answers the look-ups of CitationLinks with its own SQL, each over
a whole set of numbers or ids at once; what a citation names is decided here,
by the rule of the stores' CT= condition (pn.cites): the same number in one
of its forms, kinds compared only where both carry one. A chain follows the
citations level by level from the patent it names: CT/n= the records citing
it, then those citing them; REF/n= the records it cites, then those they
cite. Each record counts once, at its lowest level, and the patent itself is
never one of them.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Collection, Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import NamedTuple, Protocol, TypeVar

from . import pn
from .query import And, Chain, Node, Not, Or, Query, QueryError, nodes

Key = TypeVar("Key", bound=Hashable)


class CitationLinks(Protocol):
    """A store's look-ups that citations are followed by."""

    def numbered(self, numbers: Collection[str]) -> list[tuple[int, str]]:
        """(id, publication number) of the records whose number part is one of `numbers`."""

    def citing(self, numbers: Collection[str]) -> list[tuple[int, str, str]]:
        """(id, publication number, the citation as kept) of the records
        holding a citation whose number part is one of `numbers`."""

    def cites(self, ids: Collection[int]) -> list[tuple[int, str]]:
        """(id, its list of citations as stored) of these records."""

    def titles(self, ids: Collection[int]) -> dict[int, str]:
        """id -> title of these records."""


@dataclass(frozen=True)
class Chained:
    """A chain followed: the records of each level reached (id -> publication
    number), the last one empty when the chain ended before its depth;
    `cited`, for REF=, how many numbers the patent itself cites;
    `excluded` when the command holds it only under NOT."""

    chain: Chain
    levels: tuple[dict[int, str], ...]
    cited: int = 0
    excluded: bool = False

    def ids(self) -> set[int]:
        return {record_id for level in self.levels for record_id in level}

    @cached_property
    def _depths(self) -> dict[str, int]:
        return {number: depth for depth, level in enumerate(self.levels, start=1) for number in level.values()}

    def level_of(self, number: str) -> int | None:
        """The level (1 first) of the record with publication number `number`, None when it is on none."""
        return self._depths.get(number)


class Citation(NamedTuple):
    """A citation between one of the closest hits and another hit, as the
    report's citation sheet lists it (the levels "" outside a chain)."""

    closest: str  # the closest hit's publication number
    cites: bool  # True: it cites `other`; False: `other` cites it
    other: str
    title: str  # the other hit's title
    closest_level: str = ""
    other_level: str = ""


def chains(query: Query) -> list[Chain]:
    """The distinct citation chains of a command, in command order."""
    return list(dict.fromkeys(node for node in nodes(query.root) if isinstance(node, Chain)))


def excluded(node: Node, negated: bool = False) -> dict[Chain, bool]:
    """Each chain under `node` -> whether it stands only under an odd number of NOTs (its records excluded)."""
    if isinstance(node, Chain):
        return {node: negated}
    found: dict[Chain, bool] = {}
    children = (node.item,) if isinstance(node, Not) else node.items if isinstance(node, (And, Or)) else ()
    for child in children:
        for chain, out in excluded(child, negated != isinstance(node, Not)).items():
            found[chain] = found.get(chain, True) and out
    return found


def _forms(parts: pn.Parts) -> set[str]:
    return {form.number for form in pn.looked_up(parts)}


def citing(links: CitationLinks, wanted: Mapping[Key, pn.Parts]) -> list[tuple[Key, int, str]]:
    """(key, id, publication number) of each record citing the number of a
    key of `wanted` (key -> its parts), once per key it cites."""
    by_number: dict[str, list[Key]] = defaultdict(list)
    for key, parts in wanted.items():
        for number in _forms(parts):
            by_number[number].append(key)
    found: dict[tuple[Key, int], str] = {}
    for record_id, number, given in links.citing(list(by_number)):
        have = pn.split(given)
        for key in by_number.get(have.number if have else given, ()):
            if pn.cites(given, wanted[key]):
                found[(key, record_id)] = number
    return [(key, record_id, number) for (key, record_id), number in found.items()]


def cited(links: CitationLinks, lists: Mapping[Key, Iterable[str]]) -> list[tuple[Key, int, str]]:
    """(key, id, publication number) of each record named by a citation
    listed under a key of `lists` (key -> citations as pn.listed keeps them),
    once per key."""
    by_number: dict[str, list[tuple[Key, str]]] = defaultdict(list)
    for key, given in ((key, given) for key, listed in lists.items() for given in listed):
        have = pn.split(given)
        for number in _forms(have) if have else {given}:
            by_number[number].append((key, given))
    found: dict[tuple[Key, int], str] = {}
    for record_id, number in links.numbered(list(by_number)):
        stored = pn.split(number)
        if stored is None:  # never a CT= number either
            continue
        for key, given in by_number.get(stored.number, ()):
            if pn.cites(given, stored):
                found[(key, record_id)] = number
    return [(key, record_id, number) for (key, record_id), number in found.items()]


def follow(links: CitationLinks, chain: Chain, out: bool = False) -> Chained:
    """The records of a chain, level by level (`out`: excluded by the
    command). QueryError for REF= of a patent the collection does not hold
    (what it cites is not known)."""
    typed = pn.query_parts(chain.number)
    assert typed is not None  # the parser made sure
    start = {record_id for record_id, number in links.numbered(list(_forms(typed))) if pn.matches(number, chain.number)}
    if chain.backward and not start:
        raise QueryError(f"{chain.code}=：資料庫中沒有公開公告號「{chain.number}」的專利，無法得知它引用哪些專利；"
                         f"要找引用它的專利請寫 CT={chain.number}", chain.position, chain.number)
    seen = set(start)
    levels: list[dict[int, str]] = []
    cited_count = 0
    frontier: Mapping[object, pn.Parts] = {chain.number: typed}
    ids: set[int] = start
    for _ in range(chain.depth):
        if chain.backward:
            lists = {record_id: pn.listed(text) for record_id, text in links.cites(sorted(ids))}
            if not levels:
                cited_count = len({given for listed in lists.values() for given in listed})
            rows = cited(links, lists)
        else:
            rows = citing(links, frontier)
        level = {record_id: number for _, record_id, number in rows if record_id not in seen}
        levels.append(level)
        if not level:
            break
        seen.update(level)
        ids = set(level)
        frontier = {number: parts for number in level.values() if (parts := pn.split(number)) is not None}
    return Chained(chain, tuple(levels), cited_count, out)


def chain_line(chained: Chained, hits: Sequence[int]) -> str:
    """The log box's line on a chain: the hits at each level, with the
    chain's own records where other conditions left fewer, and why it ended
    where a level is empty."""
    chain, levels = chained.chain, chained.levels
    own = _counts(len(level) for level in levels)
    if chained.excluded:  # none of its records is a hit
        line = f"引用鏈 {chain.code}={chain.number}（已排除）：{own}"
    else:
        line = f"引用鏈 {chain.code}={chain.number}：{_counts(hits)}"
        if list(hits) != [len(level) for level in levels]:
            line += f"（引用鏈本身 {own}，其餘不符合其他條件）"
    if why := chain_end(chained):
        line += f"；{why}"
    return line


def _counts(counts: Iterable[int]) -> str:
    return "、".join(f"第 {depth} 層 {count:,} 筆" for depth, count in enumerate(counts, start=1))


def chain_end(chained: Chained) -> str:
    """Why a chain has an empty level ("" when every level holds records)."""
    chain, levels = chained.chain, chained.levels
    if not levels or levels[-1]:
        return ""
    depth = len(levels)
    if depth == 1 and chain.backward:
        if not chained.cited:
            return f"資料庫中的 {chain.number} 沒有列出任何引用專利"
        return f"{chain.number} 引用的 {chained.cited:,} 件專利都不在資料庫中"
    if depth == 1:
        return f"資料庫中沒有任何專利引用「{chain.number}」"
    if chain.backward:
        return f"第 {depth - 1} 層的專利引用的專利都不在資料庫中（或已在前幾層），引用鏈到第 {depth - 1} 層為止"
    return f"沒有其他專利引用第 {depth - 1} 層的專利，引用鏈到第 {depth - 1} 層為止"


def level_text(chained: Sequence[Chained], number: str) -> str:
    """The levels of a record in the chains of a command: "第 2 層", or
    with the chain named when the command holds several ("" on none)."""
    found = [(each.chain, depth) for each in chained if (depth := each.level_of(number)) is not None]
    if len(chained) == 1:
        return f"第 {found[0][1]} 層" if found else ""
    return "；".join(f"{chain.code}={chain.number} 第 {depth} 層" for chain, depth in found)


class HitIds(Protocol):
    def __call__(self, ids: set[int]) -> set[int]:
        """Those of `ids` that are hits of the search."""


def among_hits(
    links: CitationLinks, closest: Sequence[tuple[str, str]], hits: HitIds, chained: Sequence[Chained] = ()
) -> list[Citation]:
    """The citations between each of the closest hits ((publication number,
    its citations as stored), best first) and every hit of the search (`hits`
    tells which ids are hits): which hits it cites, then which cite it."""
    wanted = {number: parts for number, _ in closest if (parts := pn.split(number)) is not None}
    outgoing = cited(links, {number: pn.listed(text) for number, text in closest})
    incoming = citing(links, wanted)
    held = hits({record_id for _, record_id, _ in outgoing + incoming})
    titles = links.titles(held)
    related: dict[tuple[str, bool], list[tuple[str, str]]] = defaultdict(list)
    for relation, cites in ((outgoing, True), (incoming, False)):
        for number, record_id, other in relation:
            if record_id in held and other != number:
                related[(number, cites)].append((other, titles.get(record_id, "")))
    return [
        Citation(number, cites, other, title, level_text(chained, number), level_text(chained, other))
        for number, _ in closest for cites in (True, False) for other, title in sorted(related[(number, cites)])
    ]
