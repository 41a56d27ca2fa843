"""Counts over every hit of a search, for the report's charts.

`Facets` holds the top applicants, hits per filing year, the top IPC
subclasses and hits per year of the earliest priority. A store counts them per distinct stored value (`Facets.of`), which
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
from dataclasses import dataclass, field

from . import _facets
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


YEARS_SHOWN = 40  # a longer span of years is counted in five-year spans


def year_counts(per_year: Counter[int]) -> list[tuple[str, int]]:
    """(year, hits) for every year from the first with a hit to the last
    (0 for a year without), or per five-year span ("1900–1904") when the
    hits span more than YEARS_SHOWN years."""
    if not per_year:
        return []
    first, last = min(per_year), max(per_year)
    if last - first < YEARS_SHOWN:
        return [(str(year), per_year.get(year, 0)) for year in range(first, last + 1)]
    spans: Counter[int] = Counter()
    for year, count in per_year.items():
        spans[year - year % 5] += count
    return [(f"{start}–{start + 4}", spans.get(start, 0)) for start in range(first - first % 5, last + 1, 5)]


@dataclass(frozen=True)
class Facets:
    """Counts over all hits, for the report's charts: (name, hits) best
    first, and (year, hits) per filing year and per year of the earliest
    priority (year_counts(); hits without that date are left out)."""

    applicants: list[tuple[str, int]]
    years: list[tuple[str, int]]
    ipc: list[tuple[str, int]]
    priority_years: list[tuple[str, int]] = field(default_factory=list)

    @classmethod
    def of(
        cls,
        applicants: Iterable[tuple[str, int]],
        ipc: Iterable[tuple[str, int]],
        years: Iterable[tuple[str, int]],
        top: int,
        priority_years: Iterable[tuple[str, int]] = (),
    ) -> Facets:
        """From counts per distinct stored value (SQL GROUP BY): a value
        listing several names counts once for each of them."""
        return cls.of_sets(
            ((applicant_names(value), count) for value, count in applicants),
            ((ipc_subclasses(value), count) for value, count in ipc),
            ((filing_year(year), count) for year, count in years),
            top,
            ((filing_year(year), count) for year, count in priority_years),
        )

    @classmethod
    def of_sets(
        cls,
        applicants: Iterable[tuple[Sequence[str], int]],
        ipc: Iterable[tuple[Sequence[str], int]],
        years: Iterable[tuple[int | None, int]],
        top: int,
        priority_years: Iterable[tuple[int | None, int]] = (),
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
        per_priority: Counter[int] = Counter()
        for year, count in priority_years:
            if year is not None:
                per_priority[year] += count
        return cls(_top(by_name, top), year_counts(per_year), _top(by_class, top), year_counts(per_priority))

    @classmethod
    def of_records(cls, records: Iterable[PatentRecord], top: int) -> Facets:
        """The same counts over records held in memory (results that are lists)."""
        records = list(records)
        return cls.of(
            Counter(r.applicants for r in records).items(),
            Counter(r.ipc for r in records).items(),
            Counter(r.ad[:4] for r in records).items(),
            top,
            Counter(r.prd[:4] for r in records).items(),
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

    def __init__(self, size: int, applicants: Groups, ipc: Groups, years: Groups, priority_years: Groups = ()):
        self._applicants, self._classes, self._years, self._priority = (array("i", [0]) * size for _ in range(4))
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
        for prefix, ids in priority_years:
            _assign(self._priority, ids, filing_year(prefix) or 0)

    def facets(self, ids: str, top: int) -> Facets:
        """The counts over the records of `ids` (each id once), one text of
        decimal ids separated by spaces (counted natively, without a Python
        int of each)."""
        columns = [self._applicants, self._classes, self._years, self._priority]
        applicants, classes, years, priority = _facets.count_keys(ids, columns)
        return Facets.of_sets(
            ((self._applicant_sets[key], count) for key, count in applicants),
            ((self._class_sets[key], count) for key, count in classes),
            ((year or None, count) for year, count in years),
            top,
            ((year or None, count) for year, count in priority),
        )


def _assign(column: array, ids: Iterable[int], key: int) -> None:
    for record_id in ids:
        column[record_id] = key
