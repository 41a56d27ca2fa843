"""What every reader shares: the row it yields, what it tells about its file,
and the last check of a record before it is written."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import BinaryIO, Callable

from .. import pn
from ..contract import Row, checked
from ..records import PatentRecord
from ..shown import shown

__all__ = ["ClaimsOnly", "FileInfo", "Reader", "Row", "finish"]


@dataclass
class FileInfo:
    """What a reader found out about its file, filled while it reads."""

    format: str = ""  # the layout, as named in the summary
    encoding: str = ""
    ignored: list[str] = field(default_factory=list)  # columns not imported
    notes: list[str] = field(default_factory=list)  # remarks that do not fail the file
    faults: list[str] = field(default_factory=list)  # file-level problems: the file fails, rows still count


Reader = Callable[[BinaryIO, FileInfo], Iterator[Row]]


def finish(record: PatentRecord) -> PatentRecord:
    """The record as stored (contract.checked), its publication number in
    canonical form. ValueError (a Traditional-Chinese message) when it
    cannot be stored, or its number cannot be a publication number."""
    done = checked(record, pn.canonical)
    if not pn.usable(done.pn):
        raise ValueError(f"公開公告號「{shown(record.pn.strip(), 40)}」不是公開公告號的寫法"
                         "（應只有英文字母與數字，如 TWI439543B、US9833479B2），這一筆未匯入")
    return done


@dataclass(frozen=True)
class ClaimsOnly(PatentRecord):
    """The claims of a record the collection already holds (an EPO OPS
    claims response): pn and claims only. The import fills the stored
    record's claims and keeps its other fields; it adds no record."""
