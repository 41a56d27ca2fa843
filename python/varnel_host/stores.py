"""Choosing the store: the SQLite file (the default) or a PostgreSQL server.

The one place that tells the two apart. A location is a path, a
postgresql:// URL, or None: VARNEL_DATABASE_URL when set (the --database
option wins over it), else the database file in the product folder.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

from . import paths
from .contract import Store, StoreError
from .dbcheck import check_at_start
from .loading import fill_with_samples
from .store import PatentStore

URL_VARIABLE = "VARNEL_DATABASE_URL"
_SCHEMES = ("postgresql://", "postgres://")

Location = str | os.PathLike[str] | None


class Refused(StoreError):
    """The file failed its check at start: it is not used this session."""


def is_server(location: object) -> bool:
    return isinstance(location, str) and location.startswith(_SCHEMES)


def chosen(location: Location = None) -> str | os.PathLike[str]:
    """The database to use: `location` when given, else VARNEL_DATABASE_URL,
    else the database file in the product folder."""
    if location is not None and str(location) != "":
        return location
    return os.environ.get(URL_VARIABLE) or paths.database_path()


def shown(location: Location = None) -> str:
    """How the log and the importer name the collection (a server without its password)."""
    target = chosen(location)
    if not is_server(target):
        return str(target)
    from .pg_store import describe  # psycopg loads only for a server

    return describe(target)


def open_store(
    location: Location = None,
    *,
    samples: bool = True,
    progress: Callable[[str], None] | None = None,
    check: bool = False,
) -> Store:
    """The SQLite store (a path) or the PostgreSQL store (a postgresql://
    URL), see chosen(). An empty collection is first filled with the sample
    records when `samples`. `progress` gets the file's upgrade messages and,
    with `check`, what the check at start found (dbcheck.check_at_start);
    a file that fails that check raises Refused."""
    target = chosen(location)
    if is_server(target):
        from .pg_store import PgPatentStore  # psycopg loads only for a server

        store: Store = PgPatentStore(str(target), progress)
    else:
        if str(target) != ":memory:":
            Path(target).parent.mkdir(parents=True, exist_ok=True)
            if check:
                notes = check_at_start(target)
                for note in notes:
                    if progress is not None:
                        progress(note)
                if notes.refusal:
                    raise Refused(notes.refusal)
        store = PatentStore(target, progress)
    try:
        if samples:
            fill_with_samples(store)
    except BaseException:
        store.close()
        raise
    return store
