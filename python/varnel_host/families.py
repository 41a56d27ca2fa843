"""The hits of a search grouped into patent families, so that the A and B
publications of one application (or the members of one EPO family) read as
one prior-art document.

Two hits are of one family when they share an application number (within
one country), a family identity from the export (EPO family-id), or one
lists the other among its family members; grouping is transitive. Each
family is named by its best-ranked hit, its representative. Hits are kept
by their place in the ranking (a list of 100,000 hits costs a few MiB).
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable, Iterator

from . import pn
from .records import PatentRecord


class Families:
    """Hits, given in rank order as (pn, an, family, members, number) rows,
    grouped; `number` is the stored number part of pn (pn.number_part())."""

    def __init__(self, rows: Iterable[tuple[str, str, str, str, str]]):
        columns = tuple(zip(*rows)) or ((),) * 5
        numbers, ans, family_ids, member_lists, parts = columns
        self._numbers: list[str] = list(numbers)
        self._parts: tuple[str, ...] = parts
        self._parent = array("i", range(len(numbers)))
        self._by_part: dict[str, int | list[int]] | None = None  # number part -> the place(s) with it, made when needed
        applications: dict[tuple[str, str], int] = {}  # (country, application number) -> the first place holding it
        for place, an in enumerate(ans):
            if an and (an := an.strip()):
                number = numbers[place]
                country = number[:2] if number[:2].isalpha() else ""
                if (first := applications.setdefault((country, an), place)) != place:
                    self._union(first, place)
        named: dict[str, int] = {}  # a family identity -> the first place holding it
        for place, family in enumerate(family_ids):
            if family and (family := family.strip()):
                if (first := named.setdefault(family, place)) != place:
                    self._union(first, place)
        for place, members in enumerate(member_lists):
            if members:
                for listed in filter(None, ("".join(m.split()).upper() for m in members.split(";"))):
                    for other in self._listed(listed):
                        self._union(place, other)
        self._members: dict[int, list[int]] = {}  # a family of two or more: its places, best first
        parent = self._parent
        for place in range(len(numbers)):
            if parent[place] != place:
                self._members.setdefault(root := self._root(place), [root]).append(place)
        self.count = len(self._numbers) - sum(len(places) - 1 for places in self._members.values())
        # looked up for every listed hit: only the hits of families of two or more are held
        self._named = {numbers[other]: numbers[root] for root, places in self._members.items() for other in places[1:]}
        self._others = {numbers[root]: [numbers[other] for other in places[1:]] for root, places in self._members.items()}

    @classmethod
    def of_records(cls, records: Iterable[PatentRecord]) -> Families:
        """Records held in memory, best-ranked first, grouped."""
        return cls((r.pn, r.an, r.family, r.members, pn.number_part(r.pn)) for r in records)

    def _listed(self, listed: str) -> Iterator[int]:
        """The places of the hits a listed number names, in any of its forms."""
        parts = pn.query_parts(listed)
        for part in [form.number for form in pn.looked_up(parts)] if parts else [listed]:
            for place in self._places(part):
                if pn.matches(self._numbers[place], listed):
                    yield place

    def _places(self, part: str) -> Iterator[int]:
        if self._by_part is None:
            self._by_part = {}
            for place, key in enumerate(self._parts):
                held = self._by_part.get(key)
                self._by_part[key] = place if held is None else [*(held if isinstance(held, list) else [held]), place]
        held = self._by_part.get(part)
        if held is not None:
            yield from held if isinstance(held, list) else (held,)

    def _root(self, place: int) -> int:
        parent = self._parent
        while parent[place] != place:
            parent[place] = parent[parent[place]]
            place = parent[place]
        return place

    def _union(self, a: int, b: int) -> None:
        a, b = self._root(a), self._root(b)
        if a != b:  # the better-ranked root stays: a family's root is its best-ranked hit
            self._parent[max(a, b)] = min(a, b)

    def of(self, number: str) -> str:
        """The family's representative (its best-ranked hit)."""
        return self._named.get(number, number)

    def others(self, number: str) -> list[str]:
        """The other hits of a representative's family, in rank order."""
        return self._others.get(number, [])

    def is_first(self, number: str) -> bool:
        return self.of(number) == number

    def window(self, n: int) -> int:
        """How many of the best hits hold the first n families' representatives."""
        seen = 0
        for place in range(len(self._numbers)):
            seen += self._root(place) == place
            if seen == n:
                return place + 1
        return len(self._numbers)

    def cited(self, cites: str, citing: str) -> list[str]:
        """The hits among `cites` ("; "-separated publication numbers, a
        number without kind meaning every kind), `citing` itself left out."""
        found: dict[str, None] = {}
        for listed in pn.listed(cites):
            for place in self._listed(listed):
                if (number := self._numbers[place]) != citing:
                    found[number] = None
        return list(found)
