"""The charts' index of the SQLite file (facets.FacetIndex), built from one
snapshot of the file on a thread of its own while the window searches."""

from __future__ import annotations

import logging
import sqlite3
import threading
from collections.abc import Iterator
from pathlib import Path

from .contract import Cancelled
from .facets import FacetIndex
from .sqlite_schema import CACHE_KIB

_log = logging.getLogger(__name__)


class FacetBuilder:
    """Builds a FacetIndex from one snapshot of the file, read by a
    connection of its own on a daemon thread; stop() ends it early."""

    def __init__(self, path: str, state: tuple[int, int]):
        self.state = state
        self.index: FacetIndex | None = None
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._build, args=(path,), name="facet-index", daemon=True)
        self._thread.start()

    def done(self) -> bool:
        return not self._thread.is_alive()

    def join(self) -> None:
        self._thread.join()

    def stop(self) -> None:
        self._stopping.set()
        self._thread.join()

    def _build(self, path: str) -> None:
        db = None
        try:
            db = sqlite3.connect(Path(path).absolute().as_uri() + "?mode=ro", uri=True, isolation_level=None)
            db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")  # the grouping sorts in memory
            db.execute("BEGIN")  # every read from one snapshot
            size = db.execute("SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]
            groups = (self._groups(db, value) for value in ("applicants", "ipc", "substr(ad, 1, 4)", "substr(prd, 1, 4)"))
            self.index = FacetIndex(size, *groups)
        except Cancelled:
            pass
        except sqlite3.Error as error:  # no index: the charts count from the records, more slowly
            _log.warning("charts' index not built, the charts count from the records: %s", error)
        finally:
            if db is not None:
                db.close()

    def _groups(self, db: sqlite3.Connection, value: str) -> Iterator[tuple[str, Iterator[int]]]:
        """(stored value, ids holding it), one distinct value at a time, so
        that the distinct values are never all held at once."""
        for number, (stored, ids) in enumerate(db.execute(f"SELECT {value}, group_concat(id) FROM records GROUP BY 1")):
            if not number & 0x3FF and self._stopping.is_set():
                raise Cancelled
            yield stored, map(int, ids.split(","))
