"""Readers of tables: our own CSV and JSON Lines, Lens.org CSV, Google Patents CSV.

Our own columns are the English attribute names of records.PatentRecord (pn,
title, abstract, claims, applicants, inventors, ipc, an, ad, pd, priority,
prd, cpc, family, members, cites, status, doctype, any letter case) or their
Chinese captions (公開公告號, 專利名稱, …); pn is required; in JSON, the
list-like fields (LIST_ATTRIBUTES) may also be lists of strings. Other columns are ignored and listed; one that looks like a
misspelled known name fails the file (its rows are still imported).

CSV rows are framed before they are parsed: a row ends at a line end outside
quotes. A row over FIELD_LIMIT is skipped and reported, and the file goes on
after it; a quote still open at the end of the file is reported at its row,
and the lines after that row's first are read again as rows of their own, so
one stray quote costs one row, not the rest of the file.
"""

from __future__ import annotations

import csv
import dataclasses
import difflib
import json
import re
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import BinaryIO

from ..contract import ImportReport
from ..records import ATTRIBUTES, CAPTIONS, PatentRecord
from .base import FileInfo, Row
from .text import (
    FIELD_LIMIT, SNIFF_BYTES, clean, cpc_symbol, detect_encoding, dmy_date, ipc_symbol, joined, lines, text_stream
)

csv.field_size_limit(FIELD_LIMIT + 1)

COLUMN_NAMES = {**{a: a for a in ATTRIBUTES}, **{c.lower(): a for a, c in CAPTIONS.items()}}
LIST_ATTRIBUTES = ("applicants", "inventors", "ipc", "priority", "cpc", "members", "cites")
NOT_DECODABLE = "含有無法以 {} 解讀的文字"
_RECORD_TOO_LARGE = f"這一筆超過 {FIELD_LIMIT // (1024 * 1024)} MiB 的上限，未讀取也未匯入"
_TOO_LARGE = f"這一列超過 {FIELD_LIMIT // (1024 * 1024)} MiB 的上限，未匯入"


class _Framer:
    """Splits decoded lines into CSV rows (see the module notes)."""

    def __init__(self, pieces: Iterator[tuple[int, str, bool]]):
        self._pieces = pieces
        self._again: list[tuple[int, str, bool]] = []  # pieces to read once more, last first

    def _next(self) -> tuple[int, str, bool] | None:
        if self._again:
            return self._again.pop()
        return next(self._pieces, None)

    def rows(self) -> Iterator[tuple[int, str | None, str]]:
        """(first line, row text or None, problem or "")."""
        while True:
            piece = self._next()
            if piece is None:
                return
            start, quotes, size, kept, overflow = piece[0], 0, 0, [], False
            while piece is not None:
                number, text, complete = piece
                quotes += text.count('"')
                size += len(text)
                if size > FIELD_LIMIT:
                    overflow, kept = True, []
                elif not overflow:
                    kept.append(piece)
                if complete and quotes % 2 == 0:
                    break
                piece = self._next()
            if piece is not None or quotes % 2 == 0:
                if overflow:
                    yield start, None, _TOO_LARGE
                else:
                    yield start, "".join(text for _, text, _ in kept), ""
            elif overflow:
                yield start, None, f"引號未結束，其後超過 {FIELD_LIMIT // (1024 * 1024)} MiB 的內容到檔尾都無法解讀，未匯入"
                return
            else:
                yield start, None, "引號未結束（缺少收尾的 \"），這一列未匯入；其後各行另行讀取"
                following = [p for p in kept if p[0] > start]
                self._again.extend(reversed(following))


def csv_rows(binary: BinaryIO, info: FileInfo, skip_lines: int = 0) -> Iterator[tuple[int, list[str] | str]]:
    """(first line, cells or problem) per CSV row, header included."""
    encoding = detect_encoding(binary.read(SNIFF_BYTES))
    binary.seek(0)
    info.encoding = encoding.label
    with text_stream(binary, encoding) as stream:
        for start, text, problem in _Framer(lines(stream)).rows():
            if start <= skip_lines:
                continue
            if text is None:
                yield start, problem
            elif encoding.undecodable(text):
                yield start, NOT_DECODABLE.format(encoding.label)
            else:
                try:
                    yield start, next(csv.reader([text]), [])
                except csv.Error as error:
                    yield start, f"CSV 格式錯誤：{error}"


def _header(cells: list[str], names: dict[str, str], info: FileInfo) -> dict[int, str] | str:
    """Column index -> attribute, or why the file cannot be read. Unknown
    columns go to info.ignored; near misses of a known name are faults."""
    taken: dict[str, int] = {}
    mapping: dict[int, str] = {}
    for index, name in enumerate(cells):
        key = name.strip().lstrip("\ufeff").lower()
        attribute = names.get(key)
        if attribute is None:
            if key:
                info.ignored.append(name.strip())
            continue
        if attribute in taken:
            first = cells[taken[attribute]].strip()
            return f"欄位「{first}」與「{name.strip()}」重複（第 {taken[attribute] + 1} 與第 {index + 1} 欄），請只保留一欄；整個檔案未匯入"
        taken[attribute] = index
        mapping[index] = attribute
    return mapping


def _misspelled(info: FileInfo, known: list[str]) -> None:
    for name in info.ignored:
        close = difflib.get_close_matches(name.lower(), known, n=1, cutoff=0.75)
        if close:
            info.faults.append(f"欄位「{name}」不是可匯入的欄位名稱，整欄未匯入；是否應為「{close[0]}」？")


def _table(
    binary: BinaryIO, info: FileInfo, names: dict[str, str], make, skip_lines: int = 0, check_names: bool = False
) -> Iterator[Row]:
    """Rows of a CSV table whose header maps by `names`; make(values by
    attribute) -> record or problem."""
    rows = csv_rows(binary, info, skip_lines)
    for line, header in rows:
        if isinstance(header, str):
            yield line, f"標題列無法讀取：{header}"
            return
        if not any(cell.strip() for cell in header):
            continue
        break
    else:
        return
    mapping = _header(header, names, info)
    if isinstance(mapping, str):
        yield line, mapping
        return
    if not {"pn", "pn_alt"} & set(mapping.values()):
        yield line, "找不到公開公告號欄位（pn 或 公開公告號），整個檔案無法匯入"
        return
    if check_names:
        _misspelled(info, sorted(names))
    columns = sorted(mapping.items())
    for line, cells in rows:
        if isinstance(cells, str):
            yield line, cells
        elif len(cells) > len(header):
            yield line, f"欄位數 {len(cells)} 多於標題列的 {len(header)} 欄"
        elif any(cell.strip() for cell in cells):
            yield line, make({attribute: cells[i] for i, attribute in columns if i < len(cells)})


# --- our own layout ----------------------------------------------------------------


def own_record(values: dict[str, object], ignored: list[str] | None = None) -> PatentRecord | str:
    """A record from one row's attribute -> value mapping, or the problem with it."""
    found: dict[str, str] = {}
    for name, value in values.items():
        attribute = COLUMN_NAMES.get(str(name).strip().lower())
        if attribute is None:
            if ignored is not None and str(name) not in ignored:
                ignored.append(str(name))
            continue
        if attribute in LIST_ATTRIBUTES and isinstance(value, list) and all(isinstance(v, str) for v in value):
            value = "; ".join(value)
        if value is None:
            value = ""
        if not isinstance(value, str):
            return f"欄位「{name}」應為文字，卻是 {type(value).__name__}"
        found[attribute] = value
    if not found.get("pn", "").strip():
        return "缺少公開公告號（pn）"
    return PatentRecord(**found)


def own_csv(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    info.format = "本程式的 CSV 欄位格式"
    yield from _table(binary, info, COLUMN_NAMES, own_record, check_names=True)


def own_jsonl(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    """One JSON object per line; a line over FIELD_LIMIT is skipped unread."""
    info.format = "本程式的 JSON Lines 格式"
    encoding = detect_encoding(binary.read(SNIFF_BYTES))
    binary.seek(0)
    info.encoding = encoding.label
    ignored: list[str] = []
    size, parts, start = 0, [], 1
    with text_stream(binary, encoding) as stream:
        for number, piece, complete in lines(stream):
            if not parts and size == 0:
                start = number
            size += len(piece)
            if size <= FIELD_LIMIT:
                parts.append(piece)
            if not complete:
                continue
            text, too_large = "".join(parts), size > FIELD_LIMIT
            size, parts = 0, []
            if too_large:
                yield start, _RECORD_TOO_LARGE
            elif encoding.undecodable(text):
                yield start, NOT_DECODABLE.format(encoding.label)
            elif text.strip():
                yield start, _json_record(text, ignored)
    if size:  # a last line without its line end
        yield start, _json_record("".join(parts), ignored) if size <= FIELD_LIMIT else _RECORD_TOO_LARGE
    info.ignored.extend(ignored)
    _misspelled(info, sorted(COLUMN_NAMES))


OWN_READERS = {".csv": own_csv, ".jsonl": own_jsonl, ".ndjson": own_jsonl, ".json": own_jsonl}


def import_own_file(path: str | Path, write: Callable[[Iterable[Row]], ImportReport]) -> ImportReport:
    """loading.import_records_file(): a .csv or .jsonl file of our own layout
    read and handed to `write` (one transaction), the columns it did not
    import named in the report."""
    path = Path(path)
    reader = OWN_READERS.get(path.suffix.lower())
    if reader is None:
        raise ValueError(f"不支援的檔案類型「{path.suffix}」，請使用 .csv 或 .jsonl")
    info = FileInfo()
    with path.open("rb") as file:
        report = write(reader(file, info))
    return dataclasses.replace(report, ignored_columns=tuple(sorted(info.ignored)))


def _json_record(text: str, ignored: list[str]) -> PatentRecord | str:
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        return f"不是有效的 JSON（{error.msg}，第 {error.colno} 欄）"
    except RecursionError:
        return "JSON 巢狀層數過深，無法讀取"
    except ValueError as error:  # an integer of thousands of digits
        return f"JSON 含有位數過多、無法讀取的數字（{str(error)[:60]}）"
    if not isinstance(value, dict):
        return "每一行應為一個 JSON 物件"
    return own_record(value, ignored)


# --- Lens.org ------------------------------------------------------------------------

LENS_NAMES = {
    "display key": "pn",
    "publication number": "pn_alt",
    "title": "title",
    "abstract": "abstract",
    "claims": "claims",
    "applicants": "applicants",
    "inventors": "inventors",
    "ipcr classifications": "ipc",
    "ipc classifications": "ipc",
    "application number": "an",
    "application date": "ad",
    "publication date": "pd",
    "jurisdiction": "country",
    "kind": "kind",
    "priority numbers": "priority",
    "earliest priority date": "prd",
    "cpc classifications": "cpc",
    "document type": "doctype",
    "legal status": "status",
    "lens id": "lens_id",
    "simple family members": "lens_family",
}
# Simple Family Members lists the family's Lens IDs (the record's own among
# them), the same list for every member: its smallest ID names the family.
# Extended families are not read (they join families through any shared
# priority), nor the citation counts.


_HAS_KIND = re.compile(r"[A-Z]\d?\s*$")


def _lens_family(values: dict[str, str]) -> str:
    ids = {i.strip() for i in values.get("lens_family", "").split(";;")} - {""}
    if not ids:
        return ""
    if own := values.get("lens_id", "").strip():
        ids.add(own)
    return f"LENS:{min(ids)}"


def _lens_record(values: dict[str, str]) -> PatentRecord | str:
    number = (values.get("pn") or values.get("pn_alt", "")).strip()
    if not number:
        return "缺少公開公告號"
    country = values.get("country", "").strip()
    if country and number[:1].isdigit():
        number = f"{country}{number}"
    record = {
        "pn": number + ("" if _HAS_KIND.search(number) else values.get("kind", "").strip()),
        "title": values.get("title", ""),
        "abstract": values.get("abstract", ""),
        "claims": values.get("claims", ""),
        "applicants": joined(values.get("applicants", "").split(";;")),
        "inventors": joined(values.get("inventors", "").split(";;")),
        "ipc": joined(ipc_symbol(s) for s in values.get("ipc", "").split(";;")),
        "an": "".join(values.get("an", "").split()),
        "priority": joined(values.get("priority", "").split(";;")),
        "cpc": joined(cpc_symbol(s) for s in values.get("cpc", "").split(";;")),
        "doctype": clean(values.get("doctype", "")),
        "status": clean(values.get("status", "")),
        "family": _lens_family(values),
    }
    for attribute, caption in (("ad", "申請日"), ("pd", "公開公告日"), ("prd", "最早優先權日")):
        try:
            record[attribute] = dmy_date(values.get(attribute, ""))
        except ValueError:
            return f"{caption}「{values.get(attribute, '').strip()}」不是有效日期"
    return PatentRecord(**record)


def lens_csv(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    info.format = "Lens.org 專利匯出 CSV"
    for line, item in _table(binary, info, LENS_NAMES, _lens_record):
        if line == 1 and isinstance(item, str):
            item = item.replace("（pn 或 公開公告號）", "（Display Key 或 Publication Number）")
        yield line, item


# --- Google Patents -------------------------------------------------------------------

GOOGLE_NAMES = {
    "id": "pn",
    "title": "title",
    "assignee": "applicants",
    "inventor/author": "inventors",
    "priority date": "prd",
    "filing/creation date": "ad",
    "publication date": "pd",
    "grant date": "grant",
}
# Company-name endings that Google's ", " list separator splits off their name.
_SUFFIX = re.compile(
    r"(inc|incorporated|llc|l\.l\.c|ltd|limited|co|corp|corporation|company|gmbh|ag|kg|sa|s\.a|spa|s\.p\.a|nv|n\.v|"
    r"bv|b\.v|plc|lp|l\.p|llp|pllc|kk|oy|ab|as|a/s|sas|sarl|pte\.? ltd|pty\.? ltd|et al)\.?,?",
    re.IGNORECASE,
)


def split_google_names(text: str) -> list[str]:
    """Names of a Google Patents list: ", "-separated, with company endings
    such as "Inc." joined back to their name ("Kespry, Inc.")."""
    names: list[str] = []
    for part in text.split(", "):
        if names and _SUFFIX.fullmatch(part.strip()):
            names[-1] = f"{names[-1]}, {part.strip()}"
        else:
            names.append(part.strip())
    return [name for name in names if name]


def _google_record(values: dict[str, str]) -> PatentRecord | str:
    record = {
        "pn": values["pn"],
        "title": values.get("title", ""),
        "applicants": joined(split_google_names(values.get("applicants", ""))),
        "inventors": joined(split_google_names(values.get("inventors", ""))),
    }
    for attribute, caption, fallback in (("prd", "最早優先權日", ""), ("ad", "申請日", ""), ("pd", "公開公告日", "grant")):
        value = values.get(attribute, "").strip() or values.get(fallback, "").strip()
        try:
            record[attribute] = dmy_date(value)
        except ValueError:
            return f"{caption}「{value}」不是有效日期"
    return PatentRecord(**record)


def google_csv(binary: BinaryIO, info: FileInfo, skip: int = 1) -> Iterator[Row]:
    """Line 1 is "search URL:,…" (skip=1); the table starts after it."""
    info.format = "Google Patents 檢索結果 CSV"
    yield from _table(binary, info, GOOGLE_NAMES, _google_record, skip_lines=skip)
