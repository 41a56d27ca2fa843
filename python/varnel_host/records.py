"""The patent record and a search hit, shared by the store, the worker and the report."""

from __future__ import annotations

from dataclasses import dataclass, field, fields

# Field codes of the search language -> record attribute, with the caption
# used in reports and import files.
FIELDS: dict[str, tuple[str, str]] = {
    "TI": ("title", "專利名稱"),
    "AB": ("abstract", "摘要"),
    "CL": ("claims", "專利範圍"),
    "PA": ("applicants", "申請人"),
    "IV": ("inventors", "發明人"),
    "IC": ("ipc", "IPC"),
    "PN": ("pn", "公開公告號"),
    "AN": ("an", "申請號"),
    "AD": ("ad", "申請日"),
    "ID": ("pd", "公開公告日"),
}
DATE_FIELDS = ("AD", "ID")
DEFAULT_FIELDS = ("TI", "AB", "CL")  # searched when a word names no field
TEXT_FIELDS = tuple(code for code in FIELDS if code not in DATE_FIELDS)


@dataclass(frozen=True)
class PatentRecord:
    """One patent document. Dates are "YYYYMMDD" strings or ""; list-like
    fields (applicants, inventors, ipc) are "; "-separated text."""

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

    @property
    def first_claim(self) -> str:
        return self.claims.strip().splitlines()[0] if self.claims.strip() else ""


@dataclass(frozen=True)
class Hit:
    """A record found by a search: relevance (higher is better, from bm25)
    and the search words that matched it, in command order."""

    record: PatentRecord
    score: float
    matched: tuple[str, ...] = field(default=())


ATTRIBUTES = tuple(f.name for f in fields(PatentRecord))
CAPTIONS = {attribute: caption for attribute, caption in FIELDS.values()}
DATE_ATTRIBUTES = ("ad", "pd")
LONG_ATTRIBUTES = ("abstract", "claims")  # read only for the closest hits and full records
# What a listed hit carries: every attribute but the long texts.
LISTED_ATTRIBUTES = tuple(a for a in ATTRIBUTES if a not in LONG_ATTRIBUTES)
