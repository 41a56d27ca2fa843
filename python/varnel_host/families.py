"""The hits of a search grouped into patent families, so that the A and B
publications of one application (or the members of one EPO family) read as
one prior-art document.

Two hits are of one family when they share an application number (within
one country), a family identity from the export (EPO family-id), or one
lists the other among its family members; grouping is transitive. Each
family is named by its best-ranked hit, its representative.
"""

from __future__ import annotations

from collections.abc import Iterable

from . import pn


class Families:
    """Hits, given in rank order as (pn, an, family, members) rows, grouped."""

    def __init__(self, rows: Iterable[tuple[str, str, str, str]]):
        self._parent: dict[str, str] = {}
        self._rank: dict[str, int] = {}
        keys: dict[str, str] = {}  # a shared identity -> the first hit holding it
        numbers: dict[str, list[str]] = {}  # number part -> the hits with it
        wanted: dict[str, list[tuple[str, str]]] = {}  # number part -> (listed member, the hit listing it)
        for number, an, family, members in rows:
            self._parent[number] = number
            self._rank[number] = len(self._rank)
            parts = pn.split(number)
            country = parts.country if parts else ""
            for key in (f"A:{country}:{''.join(an.split()).upper()}" if an.strip() else "", f"F:{family.strip()}" if family.strip() else ""):
                if key:
                    self._union(keys.setdefault(key, number), number)
            part = pn.number_part(number)
            numbers.setdefault(part, []).append(number)
            for listed, holder in wanted.get(part, ()):
                if pn.matches(number, listed):
                    self._union(holder, number)
            for listed in filter(None, ("".join(m.split()).upper() for m in members.split(";"))):
                listed_part = pn.number_part(listed)
                wanted.setdefault(listed_part, []).append((listed, number))
                for other in numbers.get(listed_part, ()):
                    if pn.matches(other, listed):
                        self._union(number, other)
        self._numbers = numbers
        self._members: dict[str, list[str]] = {}
        for number in self._rank:
            self._members.setdefault(self._root(number), []).append(number)
        # name each family by its best-ranked hit
        self._named = {number: members[0] for members in self._members.values() for number in members}

    def _root(self, number: str) -> str:
        parent = self._parent
        while parent[number] != number:
            parent[number] = parent[parent[number]]
            number = parent[number]
        return number

    def _union(self, a: str, b: str) -> None:
        a, b = self._root(a), self._root(b)
        if a != b:
            # the earlier hit stays the root: roots are then the best-ranked hits
            first, second = (a, b) if self._rank[a] < self._rank[b] else (b, a)
            self._parent[second] = first

    @property
    def count(self) -> int:
        return len(self._members)

    def of(self, number: str) -> str:
        """The family's representative (its best-ranked hit)."""
        return self._named.get(number, number)

    def others(self, number: str) -> list[str]:
        """The other hits of a representative's family, in rank order."""
        return [other for other in self._members.get(self._root(number), [number]) if other != number]

    def is_first(self, number: str) -> bool:
        return self._named.get(number, number) == number

    def window(self, n: int) -> int:
        """How many of the best hits hold the first n families' representatives."""
        seen = 0
        for position, number in enumerate(self._rank):
            seen += self.is_first(number)
            if seen == n:
                return position + 1
        return len(self._rank)

    def cited(self, cites: str, citing: str) -> list[str]:
        """The hits among `cites` ("; "-separated publication numbers, a
        number without kind meaning every kind), `citing` itself left out."""
        found: dict[str, None] = {}
        for listed in filter(None, ("".join(c.split()).upper() for c in cites.split(";"))):
            for number in self._numbers.get(pn.number_part(listed), ()):
                if number != citing and pn.matches(number, listed):
                    found[number] = None
        return list(found)
