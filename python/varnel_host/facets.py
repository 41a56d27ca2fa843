"""Counts over every hit of a search, for the report's charts.

`Facets` holds the top applicants, hits per filing year and the top IPC
subclasses. A store counts them per distinct stored value (`Facets.of`), which
at hundreds of thousands of hits means reading three text columns of every
hit and splitting hundreds of thousands of distinct IPC strings: seconds per
report. `FacetIndex` does that reading and splitting once per state of the
collection: per record, small integer keys of its set of applicants, its set of
IPC subclasses and its filing year, so that a search's counts are array
look-ups by hit id and a sum over the few distinct sets among the hits.
"""

from __future__ import annotations

import re
from array import array
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from .records import PatentRecord

_IPC_SUBCLASS = re.compile(r"\b([A-H]\d\d[A-Z])")


def applicant_names(value: str) -> tuple[str, ...]:
    """The distinct names of a stored applicants value ("A; B")."""
    return tuple(dict.fromkeys(filter(None, (part.strip() for part in value.split(";")))))


def ipc_subclasses(value: str) -> tuple[str, ...]:
    """The distinct IPC subclasses ("H01M") of a stored IPC value."""
    return tuple(dict.fromkeys(_IPC_SUBCLASS.findall(value.upper())))


def filing_year(prefix: str) -> int | None:
    """The year of a filing date's first four characters, if they are one."""
    return int(prefix) if prefix.isdigit() and len(prefix) == 4 else None


@dataclass(frozen=True)
class Facets:
    """Counts over all hits, for the report's charts: (name, hits) best
    first, and (year, hits) for every filing year from the first to the last
    (a year without hits counts 0; hits without a filing date are left out)."""

    applicants: list[tuple[str, int]]
    years: list[tuple[str, int]]
    ipc: list[tuple[str, int]]

    @classmethod
    def of(
        cls,
        applicants: Iterable[tuple[str, int]],
        ipc: Iterable[tuple[str, int]],
        years: Iterable[tuple[str, int]],
        top: int,
    ) -> Facets:
        """From counts per distinct stored value (SQL GROUP BY): a value
        listing several names counts once for each of them."""
        return cls.of_sets(
            ((applicant_names(value), count) for value, count in applicants),
            ((ipc_subclasses(value), count) for value, count in ipc),
            ((filing_year(year), count) for year, count in years),
            top,
        )

    @classmethod
    def of_sets(
        cls,
        applicants: Iterable[tuple[Sequence[str], int]],
        ipc: Iterable[tuple[Sequence[str], int]],
        years: Iterable[tuple[int | None, int]],
        top: int,
    ) -> Facets:
        """From counts per distinct set of names, set of subclasses and year."""
        by_name: Counter[str] = Counter()
        for names, count in applicants:
            for name in names:
                by_name[name] += count
        by_class: Counter[str] = Counter()
        for subclasses, count in ipc:
            for subclass in subclasses:
                by_class[subclass] += count
        per_year: Counter[int] = Counter()
        for year, count in years:
            if year is not None:
                per_year[year] += count
        span = range(min(per_year), max(per_year) + 1) if per_year else range(0)
        return cls(
            _top(by_name, top), [(str(year), per_year.get(year, 0)) for year in span], _top(by_class, top)
        )

    @classmethod
    def of_records(cls, records: Iterable[PatentRecord], top: int) -> Facets:
        """The same counts over records held in memory (results that are lists)."""
        records = list(records)
        return cls.of(
            Counter(r.applicants for r in records).items(),
            Counter(r.ipc for r in records).items(),
            Counter(r.ad[:4] for r in records).items(),
            top,
        )


def _top(counts: Counter[str], top: int) -> list[tuple[str, int]]:
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:top]


Groups = Iterable[tuple[str, Iterable[int]]]  # (stored value, ids of the records holding it)


class FacetIndex:
    """Per record id (below `size`), a key of its applicants, of its set of
    IPC subclasses and its filing year (0: none), built from the records
    grouped by each stored value. Applicant keys are per distinct value
    (their names shared between values); IPC keys per distinct set of
    subclasses, which hundreds of thousands of distinct values share."""

    def __init__(self, size: int, applicants: Groups, ipc: Groups, years: Groups):
        self._applicants, self._classes, self._years = (array("i", [0]) * size for _ in range(3))
        self._applicant_sets: list[tuple[str, ...]] = [()]
        shared: dict[str, str] = {}
        for value, ids in applicants:
            self._applicant_sets.append(tuple(shared.setdefault(name, name) for name in applicant_names(value)))
            _assign(self._applicants, ids, len(self._applicant_sets) - 1)
        self._class_sets: list[tuple[str, ...]] = [()]
        class_keys: dict[tuple[str, ...], int] = {(): 0}
        for value, ids in ipc:
            members = tuple(sorted(ipc_subclasses(value)))
            key = class_keys.setdefault(members, len(self._class_sets))
            if key == len(self._class_sets):
                self._class_sets.append(members)
            _assign(self._classes, ids, key)
        for prefix, ids in years:
            _assign(self._years, ids, filing_year(prefix) or 0)

    def facets(self, ids: Iterable[int], top: int) -> Facets:
        """The counts over the records of `ids` (each id once)."""
        ids = ids if isinstance(ids, Sequence) else list(ids)
        applicants = Counter(map(self._applicants.__getitem__, ids))
        classes = Counter(map(self._classes.__getitem__, ids))
        years = Counter(map(self._years.__getitem__, ids))
        return Facets.of_sets(
            ((self._applicant_sets[key], count) for key, count in applicants.items()),
            ((self._class_sets[key], count) for key, count in classes.items()),
            ((year or None, count) for year, count in years.items()),
            top,
        )


def _assign(column: array, ids: Iterable[int], key: int) -> None:
    for record_id in ids:
        column[record_id] = key
