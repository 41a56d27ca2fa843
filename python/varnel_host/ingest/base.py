"""What every reader shares: the row it yields, what it tells about its file,
and the last check of a record before it is written."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field, fields
from typing import BinaryIO, Callable, Union

from .. import pn
from ..records import FIELDS, PatentRecord
from .text import iso_date

# (line in the file, or position of the record; the record or the problem with it)
Row = tuple[int, Union[PatentRecord, str]]

ATTRIBUTES = tuple(f.name for f in fields(PatentRecord))
CAPTIONS = {attribute: caption for attribute, caption in FIELDS.values()}
DATE_ATTRIBUTES = ("ad", "pd")


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
    """The record as stored: canonical pn, dates as YYYYMMDD, text only.
    ValueError (a Traditional-Chinese message) when it cannot be stored."""
    values = dict(vars(record))
    try:
        everything = "".join(values.values())
        everything.encode("utf-8")
    except (TypeError, UnicodeEncodeError):  # find the field to name it
        for attribute, value in values.items():
            if not isinstance(value, str):
                raise ValueError(f"欄位「{CAPTIONS[attribute]}」應為文字") from None
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"欄位「{CAPTIONS[attribute]}」含有無效的 Unicode 字元（孤立的代理字元）") from None
    if "\x00" in everything:
        values = {attribute: value.replace("\x00", "") for attribute, value in values.items()}
    values["pn"] = pn.canonical(values["pn"])
    if not values["pn"]:
        raise ValueError("缺少公開公告號（pn）")
    for attribute in DATE_ATTRIBUTES:
        try:
            values[attribute] = iso_date(values[attribute])
        except ValueError:
            raise ValueError(
                f"{CAPTIONS[attribute]}「{values[attribute].strip()}」不是有效日期（應為 YYYYMMDD、YYYY-MM-DD 或 YYYY/MM/DD）"
            ) from None
    return PatentRecord(**values)
