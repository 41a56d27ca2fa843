"""Loading records into any store through its public write_batch(): records
given in code, a file of our own layout, and the shipped sample collection.
The rows are checked here (contract.checked_rows) and handed over as one
CheckedBatch, which the store writes in one transaction without checking it
again (the SQLite file still prepares each chunk while writing the one
before). Knows the contract only, never a store."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable

from .contract import ImportProblem, ImportReport, Row, Store, checked_rows, import_report, sample_path
from .records import PatentRecord
from .terms.mining import refresh


def write_rows(store: Store, rows: Iterable[Row]) -> ImportReport:
    """Write the usable records of numbered rows in one transaction; rows
    that are a problem or fail the check are counted and listed, not written."""
    problems: list[ImportProblem] = []
    batch = checked_rows(rows, problems)
    return import_report(store.write_batch(batch), problems)


def add_records(store: Store, records: Iterable[PatentRecord]) -> ImportReport:
    """Add records, replacing those with the same pn; one transaction."""
    return write_rows(store, enumerate(records, 1))


def import_records_file(
    store: Store, path: str | os.PathLike[str], say: Callable[[str], None] | None = None
) -> ImportReport:
    """Import a .csv or .jsonl file of our own layout; one transaction. Then
    the word pairs of the collection's bilingual records are mined anew
    (terms.mining; `say` gets its lines). ValueError for another file type
    (nothing written)."""
    from .ingest.tables import import_own_file  # the readers load only when a file is imported

    report = import_own_file(path, lambda rows: write_rows(store, rows))
    refresh(store, say)
    return report


def fill_with_samples(store: Store) -> None:
    """An empty collection gets the sample records."""
    if store.count() == 0:
        with sample_path() as path:
            import_records_file(store, path)
