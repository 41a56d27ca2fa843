"""Writing records into the SQLite file: each chunk of records prepared
apart from the database (index values, packed texts, code rows, all in one
blob with each record's places, while the previous chunk is written), then
written with one statement a table that reads its values from the blob.
"""

from __future__ import annotations

import itertools
import json
import sqlite3
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import NamedTuple

from . import pn, segment, sqlite_schema as schema
from .contract import CheckedBatch, checked_batch, code_values
from .records import LISTED_ATTRIBUTES, TEXT_FIELDS, PatentRecord
from .sqlite_schema import FULL_RECORD_SQL, INDEX_TABLE, LISTED_COLUMNS, full_records, listed_values


class Chunk(NamedTuple):
    """What writing a chunk of records needs besides their fields, worked
    out apart from the database: every record's _VALUES one after the other
    in `blob` (text as UTF-8); id(record) -> where its values lie in blob:
    start (1-based) and length of each, _WIDTH ASCII digits each."""

    blob: bytes
    places: dict[int, bytes]


# A record's values in its chunk's blob: listed columns, number, index columns, code rows (JSON), packed texts.
_INDEX_COLUMNS = tuple(schema.index_column(code) for code in TEXT_FIELDS)
_VALUES = (*LISTED_ATTRIBUTES, "number", *_INDEX_COLUMNS, "codes", "body")
_WIDTH = 10  # digits of a start or a length
_PLACES = 2 * _WIDTH * len(_VALUES)  # bytes of a record's places
_PLACES_FORMAT = f"%0{_WIDTH}d" * (2 * len(_VALUES))


def _value(name: str) -> str:
    """SQL of one value of row r of json_each(?1) (the ids), read from blob
    ?2 at the places ?3 gives for that row."""
    first = f"r.key * {_PLACES} + {2 * _WIDTH * _VALUES.index(name) + 1}"
    start = f"CAST(substr(?3, {first}, {_WIDTH}) AS INTEGER)"
    length = f"CAST(substr(?3, {first} + {_WIDTH}, {_WIDTH}) AS INTEGER)"
    piece = f"substr(?2, {start}, {length})"
    return piece if name == "body" else f"CAST({piece} AS TEXT)"


_INSERT_RECORDS = (
    f"INSERT INTO records (id, {LISTED_COLUMNS}, number) "
    f"SELECT r.value, {', '.join(map(_value, (*LISTED_ATTRIBUTES, 'number')))} FROM json_each(?1) r"
)
_INSERT_TEXTS = f"INSERT OR REPLACE INTO texts (id, body) SELECT r.value, {_value('body')} FROM json_each(?1) r"
_INSERT_INDEX = (
    f"INSERT INTO {INDEX_TABLE} (rowid, {', '.join(_INDEX_COLUMNS)}) "
    f"SELECT r.value, {', '.join(map(_value, _INDEX_COLUMNS))} FROM json_each(?1) r"
)
_INSERT_CODES = (
    "INSERT INTO codes (kind, value, id, given) SELECT json_extract(c.value, '$[0]'), json_extract(c.value, '$[1]'), "
    f"r.value, json_extract(c.value, '$[2]') FROM json_each(?1) r, json_each({_value('codes')}) c"
)


class PreparedBatch(CheckedBatch):
    chunks: list[tuple[list[PatentRecord], Chunk]]  # CHUNK records at a time, with prepare_chunk() of them


def prepare_chunk(chunk: Sequence[PatentRecord]) -> Chunk:
    """The Chunk of records (segmenting and compressing let go of the GIL)."""
    blob = bytearray()
    places = {}
    for record in chunk:
        pieces = [
            value.encode()
            for value in (*listed_values(record), pn.number_part(record.pn), *segment.index_values(record),
                          json.dumps(code_values(record), ensure_ascii=False))
        ]
        pieces.append(schema.pack(record.abstract, record.claims, record.abstract_alt))
        lengths = list(map(len, pieces))
        starts = itertools.accumulate(lengths[:-1], initial=len(blob) + 1)
        places[id(record)] = (_PLACES_FORMAT % tuple(itertools.chain.from_iterable(zip(starts, lengths)))).encode()
        blob += b"".join(pieces)
    return Chunk(bytes(blob), places)


def prepared_ahead(chunks: Iterable[list[PatentRecord]]) -> Iterator[tuple[list[PatentRecord], Chunk]]:
    """Each chunk with prepare_chunk() of it. The next chunk is prepared on a
    second thread while the caller writes this one: SQLite lets go of the
    GIL while it inserts, so segmenting and compressing run alongside."""
    with ThreadPoolExecutor(1, thread_name_prefix="varnel-prepare") as pool:
        pending: tuple[list[PatentRecord], Future[Chunk]] | None = None
        for chunk in chunks:
            ahead = (chunk, pool.submit(prepare_chunk, chunk))
            if pending is not None:
                yield pending[0], pending[1].result()
            pending = ahead
        if pending is not None:
            yield pending[0], pending[1].result()


def prepared_batch(records: Sequence[PatentRecord], checked: bool) -> PreparedBatch:
    """The records checked (unless `checked`) with prepare_chunk() of each CHUNK of them."""
    batch = PreparedBatch(records if checked else checked_batch(records))
    size = schema.CHUNK
    batch.chunks = [(batch[start : start + size], prepare_chunk(batch[start : start + size])) for start in range(0, len(batch), size)]
    return batch


def chunks_of(records: Sequence[PatentRecord]) -> Iterable[tuple[list[PatentRecord], Chunk]]:
    """Records (those of prepared_batch() as prepared, others checked first) CHUNK at a time with prepare_chunk() of each."""
    if isinstance(records, PreparedBatch):
        return records.chunks
    size = schema.CHUNK
    checked = records if isinstance(records, CheckedBatch) else checked_batch(records)
    return prepared_ahead(checked[start : start + size] for start in range(0, len(checked), size))


def write_chunk(
    db: sqlite3.Connection, chunk: list[PatentRecord], prepared: Chunk, counts: dict[str, int], next_id: int
) -> int:
    """Write checked records (`prepared`: prepare_chunk() of the chunk); a pn
    already stored (or earlier in chunk) is an update, or unchanged when
    every field is equal. Returns the next free id."""
    numbers = json.dumps([record.pn for record in chunk])
    stored = {
        record.pn: (record_id, record)
        for record_id, record in full_records(
            db.execute(f"{FULL_RECORD_SQL} WHERE r.pn IN (SELECT value FROM json_each(?))", (numbers,))
        )
    }
    # pn -> (id, record now stored or None, record to store)
    final: dict[str, tuple[int, PatentRecord | None, PatentRecord]] = {}
    for record in chunk:
        if record.pn in final:
            record_id, old, previous = final[record.pn]
            counts["unchanged" if record == previous else "updated"] += 1
            final[record.pn] = (record_id, old, record)
        elif record.pn in stored:
            counts["unchanged" if stored[record.pn][1] == record else "updated"] += 1
            final[record.pn] = (*stored[record.pn], record)
        else:
            counts["added"] += 1
            final[record.pn] = (next_id, None, record)
            next_id += 1
    changed = [entry for entry in final.values() if entry[1] != entry[2]]
    updates = [(record_id, old, new) for record_id, old, new in changed if old is not None]
    assignments = ", ".join(f"{a} = ?" for a in (*LISTED_ATTRIBUTES, "number"))
    db.executemany(
        f"UPDATE records SET {assignments} WHERE id = ?",
        [(*listed_values(new), pn.number_part(new.pn), record_id) for record_id, _, new in updates],
    )
    schema.store_codes(db, [(record_id, old, None) for record_id, old, _ in updates])
    schema.forget(db, [(record_id, old) for record_id, old, _ in updates])
    # The rest in one statement a table, SQLite reading the values from the
    # chunk's blob: the GIL is let go for the whole statement, not taken
    # back row by row (which keeps the reading threads waiting).
    places = prepared.places
    if changed:
        ids = json.dumps([record_id for record_id, _, _ in changed])
        at = b"".join(places[id(new)] for _, _, new in changed)
        added = [(record_id, places[id(new)]) for record_id, old, new in changed if old is None]
        db.execute(
            _INSERT_RECORDS, (json.dumps([entry[0] for entry in added]), prepared.blob, b"".join(entry[1] for entry in added))
        )
        for statement in (_INSERT_TEXTS, _INSERT_CODES, _INSERT_INDEX):
            db.execute(statement, (ids, prepared.blob, at))
    return next_id
