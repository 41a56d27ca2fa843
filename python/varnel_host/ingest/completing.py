"""Records an import completes from the collection before it writes them.

A claims-only export (base.ClaimsOnly) fills the claims of the stored records
it names, their other fields kept, and adds no record. A number met in one
import both with and without its kind code ("TWI439543B" and "TWI439543": a
Taiwan IPO gazette folder's index.xml repeats each record without it) is one
record: it is stored once, under the kind-ful number, each field's fuller
value kept from either copy.

Which kinds each number came with is kept in a temporary SQLite table (on
disk beyond a small cache), so that an import of millions of records stays
small in memory. Completing reads stored records, so it runs on the writing
thread, once the batches before it are written.
"""

from __future__ import annotations

import dataclasses
import json
import sqlite3
from collections.abc import Sequence
from dataclasses import dataclass, field

from .. import pn
from ..records import ATTRIBUTES, PatentRecord, unreadable

FILL, FOLD, ABSORB = "fill", "fold", "absorb"
NAMED = 20  # numbers kept to name in a message; the rest are counted


@dataclass(frozen=True)
class Completion:
    """A record written once the stored records it completes are read.
    FILL: its claims go into the stored record `target`. FOLD: a kind-less
    copy (`base`) goes into the kind-ful record `target` met earlier in the
    import. ABSORB: the kind-ful record takes in the kind-less copy `base`
    met earlier. The stored copy under `base` is merged in, then removed."""

    how: str
    record: PatentRecord
    target: str
    base: str = ""


@dataclass
class Tally:
    """What completing a batch did."""

    filled: int = 0  # stored records whose claims changed
    found: int = 0  # stored records a claims-only export named
    missing: int = 0  # numbers of a claims-only export not in the collection
    named: list[str] = field(default_factory=list)  # the first NAMED of them
    folded: int = 0
    absorbed: int = 0

    def add(self, other: Tally) -> None:
        for name in ("filled", "found", "missing", "folded", "absorbed"):
            setattr(self, name, getattr(self, name) + getattr(other, name))
        self.named.extend(other.named[: NAMED - len(self.named)])


class Spellings:
    """The kinds each publication number came with in one import."""

    def __init__(self) -> None:
        self._db = sqlite3.connect("", check_same_thread=False)  # "": a private temporary file
        self._db.execute("CREATE TABLE met (base TEXT, kind TEXT, PRIMARY KEY (base, kind)) WITHOUT ROWID")

    def close(self) -> None:
        self._db.close()

    def entries(self, batch: Sequence[PatentRecord | Completion]) -> list[PatentRecord | Completion]:
        """The batch as written: each record itself, or a Completion when its
        number came earlier in this import with a kind code and now without
        (FOLD, when that kind is the only one met) or the other way round
        (ABSORB, when no other kind was met)."""
        parts = [pn.split(entry.pn) if isinstance(entry, PatentRecord) else None for entry in batch]
        bases = sorted({p.country + p.number for p in parts if p is not None})
        met: dict[str, list[str]] = {base: [] for base in bases}
        for base, kind in self._db.execute("SELECT base, kind FROM met WHERE base IN (SELECT value FROM json_each(?))",
                                           (json.dumps(bases),)):
            met[base].append(kind)
        out = []
        for entry, split in zip(batch, parts):
            if split is None:
                out.append(entry)
                continue
            base, kind = split.country + split.number, split.kind
            kinds = met[base]
            others = [k for k in kinds if k != kind]
            if not kind and len([k for k in others if k]) == 1:
                out.append(Completion(FOLD, entry, base + next(k for k in others if k), base))
            elif kind and others == [""]:
                out.append(Completion(ABSORB, entry, entry.pn, base))
            else:
                out.append(entry)
            if kind not in kinds:
                kinds.append(kind)
        self._db.executemany("INSERT OR IGNORE INTO met VALUES (?, ?)", ((b, k) for b, kinds in met.items() for k in kinds))
        return out


def _usable(record: PatentRecord) -> PatentRecord:
    """A stored record to write again: texts the database could not read back are empty."""
    return dataclasses.replace(record, abstract="", claims="", abstract_alt="") if unreadable(record) else record


def fuller(number: str, copies: Sequence[PatentRecord]) -> PatentRecord:
    """One record under `number` of several copies of it: each field the
    longest value, the earlier copy's on a tie."""
    values = {name: max((getattr(c, name) for c in copies), key=len) for name in ATTRIBUTES if name != "pn"}
    return PatentRecord(pn=number, **values)


def complete(store, entries: Sequence[PatentRecord | Completion]) -> tuple[list[PatentRecord], list[str], Tally]:
    """The records to write for a batch holding Completions, in its order;
    the kind-less numbers to remove once they are written; what was done.
    A record earlier in the batch counts as stored for those after it."""
    wanted: set[str] = set()
    for entry in entries:
        if isinstance(entry, Completion):
            wanted.update(pn.writings(entry.target) if entry.how == FILL else (entry.target, entry.base))
    stored = {number: _usable(record) for number, record in store.stored(sorted(wanted)).items()}
    out: list[PatentRecord | None] = []
    at: dict[str, list[int]] = {}
    removed: dict[str, None] = {}
    tally = Tally()

    def put(record: PatentRecord) -> None:
        at.setdefault(record.pn, []).append(len(out))
        out.append(record)
        removed.pop(record.pn, None)
        if record.pn in wanted:
            stored[record.pn] = record

    for entry in entries:
        if not isinstance(entry, Completion):
            put(entry)
        elif entry.how == FILL:
            found = next((stored[n] for n in pn.writings(entry.target) if n in stored), None)
            if found is None:
                tally.missing += 1
                if len(tally.named) < NAMED:
                    tally.named.append(entry.target)
                continue
            tally.found += 1
            tally.filled += found.claims != entry.record.claims
            put(dataclasses.replace(found, claims=entry.record.claims))
        else:
            kindless = stored.pop(entry.base, None)
            if entry.how == FOLD:
                copies = [stored[entry.target]] if entry.target in stored else []
                copies.append(entry.record)
                tally.folded += 1
            else:
                copies = [entry.record]
                tally.absorbed += 1
            for index in at.pop(entry.base, ()):
                out[index] = None
            put(fuller(entry.target, [*copies, *([kindless] if kindless is not None else [])]))
            removed[entry.base] = None
    return [record for record in out if record is not None], list(removed), tally
