"""Text rules shared by the readers: decoding, lines, dates, IPC and CPC
symbols, lists of publication numbers, names.

Encodings are decided from the first MiB of a file: a BOM names UTF-8 or
UTF-16; text whose non-ASCII lines are mostly valid UTF-8 is UTF-8 (lines
that are not are reported one by one); otherwise charset-normalizer chooses
among the legacy encodings patent exports come in (Big5/CP950 from Taiwanese
spreadsheets, Mac Roman from old Macs, CP1252 from Windows), with CR-only
line ends, the mark of classic Mac OS, settling Mac Roman against CP1252.
"""

from __future__ import annotations

import codecs
import contextlib
import datetime
import functools
import io
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

import charset_normalizer

from .. import pn
from ..dates import iso_date, valid_date

SNIFF_BYTES = 1 << 20
FIELD_LIMIT = 16 * 1024 * 1024  # the largest field, CSV row or JSON record read
CHUNK_CHARS = 1 << 20  # lines are read in pieces of at most this size

_LEGACY = ("cp950", "mac_roman", "cp1252")
_UNDECODABLE = re.compile("[\udc80-\udcff]")
_SPACES = re.compile(r"\s+")


@dataclass(frozen=True)
class Encoding:
    codec: str  # Python codec name
    label: str  # as named in the summary

    def undecodable(self, text: str) -> bool:
        """Whether a decoded piece held bytes this encoding cannot read."""
        return _UNDECODABLE.search(text) is not None


UTF8 = Encoding("utf-8", "UTF-8")


def detect_encoding(head: bytes) -> Encoding:
    """The encoding of a file that starts with `head` (see the module notes)."""
    if head.startswith(codecs.BOM_UTF8):
        return Encoding("utf-8-sig", "UTF-8（含 BOM）")
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return Encoding("utf-16", "UTF-16（含 BOM）")
    valid = invalid = 0
    pieces = re.split(rb"\r\n|\r|\n", head)
    for index, line in enumerate(pieces):
        if line.isascii():
            continue
        try:  # the last piece of a cut head may end inside a character
            codecs.getincrementaldecoder("utf-8")().decode(line, final=index < len(pieces) - 1 or len(head) < SNIFF_BYTES)
            valid += 1
        except UnicodeDecodeError:
            invalid += 1
    if valid >= invalid:
        return UTF8
    match = charset_normalizer.from_bytes(head, cp_isolation=list(_LEGACY)).best()
    codec = match.encoding if match is not None else "cp1252"
    if codec != "cp950" and b"\r" in head and b"\n" not in head:
        codec = "mac_roman"
    labels = {"cp950": "Big5（CP950）", "mac_roman": "Mac Roman", "cp1252": "Windows-1252"}
    return Encoding(codec, labels.get(codec, codec))


@contextlib.contextmanager
def text_stream(binary: BinaryIO, encoding: Encoding) -> Iterator[io.TextIOWrapper]:
    """Decoded text with LF, CRLF and CR alone all read as "\\n"; undecodable
    bytes are kept as lone surrogates so that their line can be reported.
    The binary file stays open for its owner: the wrapper is detached at exit."""
    codec = "utf-8" if encoding.codec == "utf-8-sig" else encoding.codec
    stream = io.TextIOWrapper(binary, encoding=codec, errors="surrogateescape", newline=None)
    try:
        if encoding.codec == "utf-8-sig" and stream.read(1) != "\ufeff":
            raise ValueError("BOM expected")  # detect_encoding saw one
        yield stream
    finally:
        if not binary.closed:
            stream.detach()


def lines(stream: io.TextIOWrapper) -> Iterator[tuple[int, str, bool]]:
    """(line number, piece, whether the piece ends its line); a line longer
    than CHUNK_CHARS comes in several pieces, so memory stays bounded."""
    number = 1
    while True:
        piece = stream.readline(CHUNK_CHARS)
        if not piece:
            return
        complete = piece.endswith("\n")
        yield number, piece, complete
        if complete:
            number += 1


# --- values ----------------------------------------------------------------------

_DMY = re.compile(r"(\d{1,2})[/.-](\d{1,2})[/.-](\d{2}|\d{4})")
_ROC = re.compile(r"(\d{2,3})[/.-](\d{1,2})[/.-](\d{1,2})")


@functools.lru_cache(maxsize=1 << 16)
def dmy_date(value: str) -> str:
    """YYYYMMDD from DD/MM/YY or DD/MM/YYYY (old Lens exports), or any form
    iso_date takes. Two-digit years up to this year's are 20YY, later 19YY."""
    match = _DMY.fullmatch(value.strip())
    if not match:
        return iso_date(value)
    year = int(match[3])
    if len(match[3]) == 2:
        year += 2000 if year <= datetime.date.today().year % 100 else 1900
    return valid_date(year, int(match[2]), int(match[1]))


def roc_date(value: str) -> str:
    """YYYYMMDD from a Republic of China date "103/06/01" (year + 1911)."""
    value = value.strip()
    if not value:
        return ""
    match = _ROC.fullmatch(value)
    if not match:
        return iso_date(value)
    return valid_date(int(match[1]) + 1911, int(match[2]), int(match[3]))


_IPC = re.compile(r"([A-H])\s*(\d{2})\s*([A-Z])\s*0*(\d{1,4})\s*/\s*(\d{1,6})")


@functools.lru_cache(maxsize=1 << 16)
def ipc_symbol(text: str) -> str:
    """An IPC symbol in one flat form: "H04W  84/    20  A I" (DOCDB),
    "A61B005/00" (old USPTO), "H01M 10/0525" all become H04W84/20, A61B5/00,
    H01M10/0525. Text that is no full symbol is kept without spaces."""
    match = _IPC.match(text.strip().upper())
    if match is None:
        return _SPACES.sub("", text)
    return f"{match[1]}{match[2]}{match[3]}{int(match[4])}/{match[5]}"


_CPC = re.compile(r"([A-HY])\s*(\d{2})\s*([A-Z])\s*0*(\d{1,4})\s*/\s*(\d{1,6})")


@functools.lru_cache(maxsize=1 << 16)
def cpc_symbol(text: str) -> str:
    """A CPC symbol in the flat form of ipc_symbol, section Y included:
    "Y02E 60/10", "H01M  2220/20" (DOCDB) become Y02E60/10, H01M2220/20.
    Text that is no full symbol is kept without spaces."""
    match = _CPC.match(text.strip().upper())
    if match is None:
        return _SPACES.sub("", text)
    return f"{match[1]}{match[2]}{match[3]}{int(match[4])}/{match[5]}"


def symbol_of_parts(element, flat=cpc_symbol) -> str:
    """A classification given in parts (section, class, subclass, main-group,
    subgroup child elements, as USPTO and DOCDB write them) in flat form."""
    head = "".join((element.findtext(part) or "").strip() for part in ("section", "class", "subclass", "main-group"))
    return flat(f"{head}/{(element.findtext('subgroup') or '').strip()}") if head else ""


def publication_numbers(numbers) -> str:
    """Publication numbers as "; "-separated text, each in pn.canonical form
    (numbers given as (number, kind) pairs take that kind when they carry
    none), blanks and repeats dropped."""
    return joined(pn.canonical(*n) if isinstance(n, tuple) else pn.canonical(n) for n in numbers)


def earliest_date(values, reader=iso_date) -> str:
    """The earliest YYYYMMDD of `values` read by `reader`; "" when none is a
    date. Unreadable values are passed over: another date of the list stands."""
    dates = []
    for value in values:
        try:
            date = reader(value or "")
        except ValueError:
            continue
        if date:
            dates.append(date)
    return min(dates, default="")


def joined(items: list[str] | tuple[str, ...] | Iterator[str]) -> str:
    """List items as "; "-separated text, blanks and repeats dropped."""
    found: dict[str, None] = {}
    for item in items:
        item = " ".join(item.split())
        if item:
            found[item] = None
    return "; ".join(found)


def clean(text: str | None) -> str:
    """Runs of white space as one space, ends trimmed."""
    return " ".join(text.split()) if text else ""


def numbered_claims(claims: list[tuple[str, str]]) -> str:
    """Claims (number, text) one per line, each starting "N. "."""
    out = []
    for index, (number, text) in enumerate(claims, 1):
        text = clean(text)
        if not text:
            continue
        label = number.lstrip("0") or str(index)
        out.append(text if re.match(rf"{re.escape(label)}\s*[.、．]", text) else f"{label}. {text}")
    return "\n".join(out)
