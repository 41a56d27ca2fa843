"""What a report is written from, gathered once from a search result.

The worker reads a result once into a ReportData: the closest hits with their
texts, the families, the chart counts, the citation counts, the citations
between the closest hits and every hit, and the lines on the command's
citation chains are plain values; the list rows are the result's stream of plain row tuples, cut at the
request's list cap and read in batches while the list sheet is written (a
list of 100,000 rows is never held in memory). The log box's closest lines
and the report's closest sheet read the same values; the report calls nothing
back on the result.
"""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Protocol

from .citations import Citation
from .contract import ListRow
from .facets import Facets
from .families import Families
from .records import Hit, PatentRecord
from .request import RunRequest

CHART_TOP = 10  # applicants and IPC subclasses charted

__all__ = ["CHART_TOP", "Citation", "ListRow", "ReportData", "Result", "gather"]


class Result(Protocol):
    """What is read of a search result (contract.RankedHits)."""

    total: int
    compared: tuple[str, ...]  # the words a SIM= compares by

    def list_rows(self) -> Iterable[ListRow]: ...

    def closest_families(self, n: int) -> list[Hit]: ...

    def families(self) -> Families: ...

    def cited_by(self, numbers: Sequence[str]) -> dict[str, int]: ...

    def citation_rows(self, closest: Sequence[PatentRecord]) -> list[Citation]: ...

    def chain_lines(self) -> list[str]: ...

    def facets(self, top: int = 10) -> Facets: ...


@dataclass(frozen=True)
class ReportData:
    """One run's hits as the report writes them.

    `rows` is read once, by the report: at most the request's list cap of
    (pn, title, applicants, ad, pd, ipc, score) tuples, best first; a store
    stopped by its cancel hook raises its Cancelled from it."""

    total: int  # every hit, also those beyond the list
    rows: Iterator[ListRow]
    closest: tuple[Hit, ...]  # the best hit of each of the best families, with its full record
    families: Families  # the ranked hits grouped
    cited_by: Mapping[str, int]  # per closest hit's number: records of the collection citing it
    facets: Facets  # the charts' counts over every hit
    compared: tuple[str, ...] = ()  # the words a SIM= compares by (電解質 ≈ electrolyte), else none
    # A kept strategy's run: the numbers it gained that were not yet looked at
    # (the list sheet's 新增 column marks them); None for any other run.
    fresh: frozenset[str] | None = None
    # who cites whom between each closest hit and every hit, with their levels in the command's chains
    citations: tuple[Citation, ...] = ()
    chains: tuple[str, ...] = ()  # a line per citation chain of the command: its hits at each level


def gather(request: RunRequest, result: Result, fresh: frozenset[str] | None = None) -> ReportData:
    """The report's input of `result`, each part read once; `fresh`: see ReportData."""
    families = result.families()
    closest = tuple(result.closest_families(request.settings.top_count))
    cited_by = result.cited_by([hit.record.pn for hit in closest])
    citations = tuple(result.citation_rows([hit.record for hit in closest]))
    facets = result.facets(CHART_TOP)
    chains = tuple(result.chain_lines())
    # the stream last: its first batch is fetched when the list sheet begins
    rows = itertools.islice(result.list_rows(), request.list_row_cap)
    return ReportData(result.total, rows, closest, families, dict(cited_by), facets, result.compared, fresh, citations, chains)
