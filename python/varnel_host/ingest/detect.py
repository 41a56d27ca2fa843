"""What to read: files, folders and .zip archives, and the format of each file
told from its first bytes (the name is not looked at)."""

from __future__ import annotations

import codecs
import functools
import os
import zipfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

from . import formats
from .base import Reader
from ..shown import os_reason

SNIFF = 64 * 1024
# An archive member that expands more than MEMBER_RATIO times, to more than
# RATIO_FROM bytes, is not read: exports compress about ten times, while a
# run of one repeated byte (a zip bomb) expands a thousand times.
MEMBER_RATIO = 100
RATIO_FROM = 64 * 1024 * 1024


@dataclass(frozen=True)
class Source:
    """One file to import, maybe a member of an archive."""

    name: str  # as shown to the user
    open: Callable[[], BinaryIO]
    size: int
    named: bool  # named by the user itself (not found inside a folder or archive)


def _head_text(head: bytes) -> str:
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return head[: len(head) // 2 * 2].decode("utf-16", errors="replace")
    return head.decode("utf-8", errors="replace").lstrip("\ufeff")


def detect(head: bytes) -> Reader | None:
    """The reader of a file that starts with `head` (formats.FORMATS); None
    when it is no format we read."""
    text = _head_text(head).lstrip()
    if not text or "\x00" in text:
        return None
    return formats.reader_of(formats.Head(text))


NUL_NOTE = "含有 NUL 位元組（\\0），不是文字檔：可能是二進位檔（如 Excel 活頁簿、PDF），或沒有 BOM 的 UTF-16 文字"


def nul_in(head: bytes) -> bool:
    """Whether the first bytes of a file that is no UTF-16 with a BOM hold a NUL."""
    return b"\x00" in head and not head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE))


def sources(paths: list[Path]) -> Iterator[Source | tuple[str, str]]:
    """The files under the given paths, each Source or (name, problem)."""
    for path in paths:
        if path.is_dir():
            found = sorted(p for p in path.rglob("*") if p.is_file() and not p.name.startswith("."))
            if not found:
                yield str(path), "資料夾中沒有檔案"
            for file in found:
                yield from _file(file, named=False)
        elif path.exists():
            yield from _file(path, named=True)
        else:
            yield str(path), "找不到這個檔案或資料夾"


def _file(path: Path, named: bool) -> Iterator[Source | tuple[str, str]]:
    try:
        with path.open("rb") as file:
            magic = file.read(4)
        size = path.stat().st_size
    except OSError as error:
        yield str(path), f"無法讀取（{os_reason(error)}）"
        return
    if magic != b"PK\x03\x04":
        yield Source(str(path), functools.partial(open, path, "rb"), size, named)
        return
    try:
        archive = zipfile.ZipFile(path)
        members = [info for info in archive.infolist() if not info.is_dir()]
    except (zipfile.BadZipFile, OSError) as error:
        yield str(path), f"壓縮檔無法開啟（{error}）"
        return
    with archive:
        for member in members:
            name = f"{path}{os.sep}{member.filename}"
            if member.file_size > RATIO_FROM and member.file_size > MEMBER_RATIO * max(member.compress_size, 1):
                ratio = member.file_size // max(member.compress_size, 1)
                yield name, (f"解壓後有 {_size(member.file_size)}，是壓縮後大小的 {ratio:,} 倍（上限 {MEMBER_RATIO} 倍），"
                             "不像專利資料，未讀取；若確是專利資料，請先解壓縮，再匯入解出的檔案")
                continue
            yield Source(
                name,
                functools.partial(archive.open, member),
                member.file_size,
                named=False,
            )


def _size(count: int) -> str:
    """A byte count as people read it: "2.0 GB", "300 MB"."""
    if count >= 1 << 30:
        return f"{count / (1 << 30):.1f} GB"
    return f"{count / (1 << 20):,.0f} MB"
