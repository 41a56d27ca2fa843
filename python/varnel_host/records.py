"""The patent record and a search hit, shared by the store, the worker and the report."""

from __future__ import annotations

from dataclasses import dataclass, field, fields
from typing import Literal

Kind = Literal["text", "number", "code", "date", "family"]
Scheme = Literal["", "ipc", "publication", "application", "status", "doctype"]


@dataclass(frozen=True)
class SearchField:
    """A field code of the search language and how it is searched.

    kind: "text" words of the full-text index; "number" the publication
    number (a condition on the stored number, pn.py, indexed as words too);
    "code" a condition on stored codes (codes rows); "date" a date range;
    "family" the records linked to a publication as its family.
    scheme: what the field's values are: "ipc" classification symbols with
    their levels (a subclass or main group stands for what is under it),
    "publication" or "application" numbers, "status" and "doctype" a legal
    status and a document type searched by the few values they map to
    (field_values.NORMALISED), "" prose and names."""

    code: str
    attribute: str  # the PatentRecord attribute it reads
    caption: str  # its name in reports, import files and messages
    kind: Kind
    column: str = ""  # its column in the full-text index (both stores), "" when not indexed
    weight: float = 1.0  # its column's weight in bm25
    default: bool = False  # searched when a word names no field
    stemmed: bool = False  # an English word there also finds its other word forms (expand.py)
    scheme: Scheme = ""
    standin: str = ""  # a date field read from this one where a record holds none
    stored: str = ""  # kind "code": the kind of its rows in the stores' codes table (contract.code_values)
    # the field holding a record's texts of this field in its other languages,
    # searched wherever this one is (an index column of its own, so that a
    # phrase or a proximity never runs from one language's text into the other's)
    alternate: str = ""

    @property
    def levels(self) -> bool:
        """Whether its values are classification symbols with levels."""
        return self.scheme == "ipc"

    @property
    def indexed_levels(self) -> bool:
        """Classification symbols searched as words of the full-text index:
        a symbol printed with a space is one word, a subclass or main group
        the prefix of the symbols under it (query_plan.term_tokens)."""
        return self.levels and bool(self.column)


# The registry, in the order fields are listed to the user; the indexed ones
# in the full-text index's column order (a field added later comes last).
REGISTRY: dict[str, SearchField] = {f.code: f for f in (
    SearchField("TI", "title", "專利名稱", "text", "ti", weight=8.0, default=True, stemmed=True, alternate="TI2"),
    SearchField("AB", "abstract", "摘要", "text", "ab", weight=2.0, default=True, stemmed=True, alternate="AB2"),
    SearchField("CL", "claims", "專利範圍", "text", "cl", weight=4.0, default=True, stemmed=True),
    SearchField("PA", "applicants", "申請人", "text", "pa"),
    SearchField("IV", "inventors", "發明人", "text", "iv"),
    SearchField("IC", "ipc", "IPC", "text", "ic", scheme="ipc"),
    SearchField("PN", "pn", "公開公告號", "number", "pn", scheme="publication"),
    SearchField("AN", "an", "申請號", "text", "an", scheme="application"),
    SearchField("AD", "ad", "申請日", "date"),
    SearchField("ID", "pd", "公開公告日", "date"),
    # a record without a priority claim counts from its filing date in PRD= and PRIOR=
    SearchField("PRD", "prd", "最早優先權日", "date", standin="AD"),
    SearchField("CPC", "cpc", "CPC", "code", scheme="ipc", stored="cpc"),
    SearchField("CT", "cites", "引用專利", "code", scheme="publication", stored="ct"),
    SearchField("FAM", "family", "同族", "family", scheme="publication"),
    SearchField("LS", "status", "法律狀態", "code", scheme="status", stored="ls"),
    SearchField("DT", "doctype", "文件類型", "code", scheme="doctype", stored="dt"),
    # a record's title and abstract in its other languages, searched as part of TI and AB (never named in a command)
    SearchField("TI2", "title_alt", "其他語言名稱", "text", "ti2", weight=8.0, stemmed=True),
    SearchField("AB2", "abstract_alt", "其他語言摘要", "text", "ab2", weight=2.0, stemmed=True),
)}
# A field -> the field of its other languages' texts, searched with it.
ALTERNATES = {f.code: f.alternate for f in REGISTRY.values() if f.alternate}
# The codes a command may name, listed to the user (the alternates are reached through their field).
COMMAND_CODES = tuple(code for code in REGISTRY if code not in ALTERNATES.values())


def searched_fields(codes: tuple[str, ...]) -> tuple[str, ...]:
    """The fields a word limited to `codes` is searched in: each with its
    other languages' field right after it (TI -> TI, TI2)."""
    return tuple(dict.fromkeys(c for code in codes for c in (code, *((ALTERNATES[code],) if code in ALTERNATES else ()))))


def written_fields(codes: tuple[str, ...]) -> tuple[str, ...]:
    """The field codes as a command names them: searched_fields() undone."""
    return tuple(code for code in codes if code in COMMAND_CODES)


# Field codes of the search language -> record attribute, with the caption
# used in reports and import files.
FIELDS: dict[str, tuple[str, str]] = {f.code: (f.attribute, f.caption) for f in REGISTRY.values()}
DATE_FIELDS = tuple(f.code for f in REGISTRY.values() if f.kind == "date")
# A date field read from another where a record holds none.
DATE_STANDINS = {f.code: f.standin for f in REGISTRY.values() if f.standin}
# searched when a word names no field: title, abstract and claims, in every language a record has them
DEFAULT_FIELDS = searched_fields(tuple(f.code for f in REGISTRY.values() if f.default))
# The full-text index's columns, in its order.
TEXT_FIELDS = tuple(f.code for f in REGISTRY.values() if f.column)
# Searched as conditions on stored codes and numbers (a CPC symbol or its
# levels, a cited publication, a family), not words of the index.
CODE_FIELDS = tuple(f.code for f in REGISTRY.values() if f.kind in ("code", "family"))


@dataclass(frozen=True)
class PatentRecord:
    """One patent document. Dates are "YYYYMMDD" strings or ""; list-like
    fields (applicants, inventors, ipc, priority, cpc, members, cites) are
    "; "-separated text. Title and abstract are in the record's main
    language (Chinese where it has them, else English, else the first
    given); title_alt and abstract_alt hold its texts in its other
    languages, one title a line, abstracts apart by a blank line, in the
    order of the source. New attributes come last: stored rows and code
    build records from the attributes in this order."""

    pn: str  # 公開公告號, the record's identity
    title: str = ""
    abstract: str = ""
    claims: str = ""  # 專利範圍: all claims, one per line, "1. ..." first
    applicants: str = ""
    inventors: str = ""
    ipc: str = ""
    an: str = ""  # 申請號
    ad: str = ""  # 申請日
    pd: str = ""  # 公開公告日
    priority: str = ""  # priority application numbers, as the export gives them
    prd: str = ""  # earliest priority date
    cpc: str = ""  # CPC symbols in one flat form (H01M10/0525)
    family: str = ""  # the export's family identity (an EPO family-id, a Lens simple family), "" if none
    members: str = ""  # publication numbers the export lists as the same family
    cites: str = ""  # publication numbers this patent cites
    status: str = ""  # legal status, as the export words it
    doctype: str = ""  # document type (公開 A, 公告 B, …), as the export words it
    title_alt: str = ""  # 其他語言名稱
    abstract_alt: str = ""  # 其他語言摘要

    @property
    def first_claim(self) -> str:
        return self.claims.strip().splitlines()[0] if self.claims.strip() else ""


class Unreadable(str):
    """A stored text whose bytes are damaged: it reads as UNREADABLE_TEXT, and
    unreadable() tells it from any text a record was given."""


UNREADABLE_TEXT = "〔無法讀取：資料庫中的這段文字已損壞〕"
UNREADABLE = Unreadable(UNREADABLE_TEXT)
UNREADABLE_PROBLEM = "筆專利的摘要與專利範圍已損壞、無法讀取"  # the full check's finding, after the count


def unreadable(record: PatentRecord) -> bool:
    """Whether the record's long texts (LONG_ATTRIBUTES) could not be read back from the database."""
    return isinstance(record.abstract, Unreadable)


def named_numbers(numbers: list[str], shown: int = 20) -> str:
    """Publication numbers for a message: "A、B、C", the first `shown` named, the rest counted."""
    more = len(numbers) - shown
    return "、".join(numbers[:shown]) + (f" 等（另有 {more} 筆）" if more > 0 else "")


@dataclass(frozen=True)
class Hit:
    """A record found by a search: relevance (higher is better, from bm25)
    and the search words that matched it, in command order."""

    record: PatentRecord
    score: float
    matched: tuple[str, ...] = field(default=())


ATTRIBUTES = tuple(f.name for f in fields(PatentRecord))
CAPTIONS = {
    **{attribute: caption for attribute, caption in FIELDS.values()},
    "priority": "優先權號", "members": "同族專利", "status": "法律狀態", "doctype": "文件類型",
}
DATE_ATTRIBUTES = ("ad", "pd", "prd")
LONG_ATTRIBUTES = ("abstract", "claims", "abstract_alt")  # read only for the closest hits and full records
# What the records table holds: every attribute but the long texts.
LISTED_ATTRIBUTES = tuple(a for a in ATTRIBUTES if a not in LONG_ATTRIBUTES)
# What a hit streamed by rows() carries (the list sheet's fields); the others
# are empty there, read only for the closest hits and full records.
ROW_ATTRIBUTES = ("pn", "title", "applicants", "inventors", "ipc", "an", "ad", "pd")
