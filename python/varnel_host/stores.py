"""Choosing the store: the SQLite file (the default) or a PostgreSQL server.

VARNEL_DATABASE_URL (or the --database option, which wins) naming a
postgresql:// server makes the worker and the importer use that server's
collection; without it nothing changes.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from importlib import resources
from pathlib import Path

from . import paths
from .store import SAMPLE_FILE, PatentStore, open_default_store

URL_VARIABLE = "VARNEL_DATABASE_URL"
_SCHEMES = ("postgresql://", "postgres://")


def is_server(location: object) -> bool:
    return isinstance(location, str) and location.startswith(_SCHEMES)


def chosen(location: str | os.PathLike[str] | None = None) -> str | os.PathLike[str] | None:
    """The database to use: `location` when given, else VARNEL_DATABASE_URL, else None (the default file)."""
    if location is not None and str(location) != "":
        return location
    return os.environ.get(URL_VARIABLE) or None


def open_store(
    location: str | os.PathLike[str] | None = None,
    *,
    samples: bool = True,
    progress: Callable[[str], None] | None = None,
):
    """The SQLite store (a path, or the default file) or the PostgreSQL store
    (a postgresql:// URL, given or from VARNEL_DATABASE_URL). An empty
    collection is first filled with the sample records when `samples`.
    `progress` gets the SQLite file's upgrade messages (see PatentStore)."""
    target = chosen(location)
    if not is_server(target):
        if samples:
            return open_default_store(target, progress)
        return PatentStore(paths.database_path() if target is None else target, progress)
    from .pg_store import PgPatentStore

    store = PgPatentStore(str(target))
    try:
        if samples and store.count() == 0:
            with resources.as_file(resources.files(__package__).joinpath(*SAMPLE_FILE)) as sample:
                store.import_file(Path(sample))
    except BaseException:
        store.close()
        raise
    return store
