"""The formats we import: for each, how its file is told from its first bytes,
the reader that reads it and the names it goes by. The command line's help,
the message for a file of no known format and README's import table all
name the formats registered here (tests/test_ingest.py checks README's).

A new format is a reader (tables.py, xmldocs.py or a module of its own) and
its entry in FORMATS.
"""

from __future__ import annotations

import csv
import functools
import re
from collections.abc import Callable
from dataclasses import dataclass

from . import tables, xmldocs
from .base import Reader

_ELEMENT = re.compile(r"<([A-Za-z_][\w.:-]*)")  # "<?xml" and "<!DOCTYPE" do not match
_LINE_END = re.compile(r"\r\n|\r|\n")
_GOOGLE_COLUMNS = {"id", "title", "assignee", "inventor/author"}


@dataclass(frozen=True)
class Head:
    """The start of a file as the formats' tests look at it: an XML text
    (starts with "<"), a JSON one (starts with "{" or "[") or else a table."""

    text: str  # decoded; not empty, no NUL, no leading BOM or white space

    @functools.cached_property
    def root(self) -> str | None:
        """The local name of an XML text's first element (None: no XML, or no element)."""
        if not self.text.startswith("<"):
            return None
        found = _ELEMENT.search(self.text)
        return found[1].split(":")[-1] if found else None

    @functools.cached_property
    def json(self) -> bool:
        return self.text.startswith(("{", "["))

    @functools.cached_property
    def first_line(self) -> str | None:
        """A table's first line (None for XML and JSON)."""
        if self.text.startswith(("<", "{", "[")):
            return None
        return _LINE_END.split(self.text, maxsplit=1)[0]

    @functools.cached_property
    def cells(self) -> tuple[str, ...] | None:
        """A table's first line read as CSV, each cell stripped and in lower
        case (None for XML, JSON, or a line that is no CSV)."""
        if self.first_line is None:
            return None
        try:
            return tuple(cell.strip().lower() for cell in next(csv.reader([self.first_line])))
        except (csv.Error, StopIteration):
            return None


Test = Callable[[Head], bool]


@dataclass(frozen=True)
class Format:
    name: str  # as README's import table and the command line's help name it
    shown: str  # as the messages to the user name it
    rules: tuple[tuple[Test, Reader], ...]  # each test with the reader a file that passes it gets, tried in turn


def _roots(*names: str) -> Test:
    return lambda head: head.root in names


def _search_url_line(head: Head) -> bool:
    return head.first_line is not None and head.first_line.lstrip('"').lower().startswith("search url:")


def _google_columns(head: Head) -> bool:
    return head.cells is not None and _GOOGLE_COLUMNS <= set(head.cells)


def _lens_columns(head: Head) -> bool:
    cells = head.cells
    return cells is not None and (
        "display key" in cells or "lens id" in cells or {"publication number", "jurisdiction"} <= set(cells)
    )


def _own_columns(head: Head) -> bool:
    cells = head.cells
    return cells is not None and (len(cells) > 1 or any(cell in tables.COLUMN_NAMES for cell in cells))


# Tried in this order, the first test passed choosing the reader. XML, JSON
# and tables are told apart by the first character, so only the tables'
# order matters: Google's columns before Lens's, and ours last, as it takes
# any header of two or more columns.
FORMATS: tuple[Format, ...] = (
    Format("USPTO full-text XML", "USPTO 全文 XML", ((_roots(*xmldocs.USPTO_ROOTS), xmldocs.uspto_xml),)),
    Format("Taiwan IPO gazette XML", "智慧財產局公報 XML",
           ((_roots("tw-patent-grant", "tw-patent-grants"), xmldocs.tipo_xml),)),
    Format("EPO OPS / DOCDB XML", "EPO OPS／DOCDB 書目 XML",
           ((_roots("world-patent-data", "exchange-documents", "exchange-document"), xmldocs.epo_xml),)),
    Format("EPO OPS claims response", "EPO OPS 全文 XML（專利範圍）",
           ((_roots("fulltext-documents", "fulltext-document"), xmldocs.epo_xml),)),
    Format("our JSON Lines", "本程式的 JSON Lines", ((lambda head: head.json, tables.own_jsonl),)),
    Format("Google Patents result CSV", "Google Patents 檢索結果 CSV", (
        (_search_url_line, functools.partial(tables.google_csv, skip=1)),
        (_google_columns, functools.partial(tables.google_csv, skip=0)),
    )),
    Format("Lens.org export CSV", "Lens.org 專利匯出 CSV", ((_lens_columns, tables.lens_csv),)),
    Format("our CSV", "本程式的 CSV", ((_own_columns, tables.own_csv),)),
)


def reader_of(head: Head) -> Reader | None:
    """The reader of the first format whose test the head passes; None when none does."""
    for form in FORMATS:
        for test, reader in form.rules:
            if test(head):
                return reader
    return None


NAMES = ", ".join(form.name for form in FORMATS)  # as the command line's help lists them
UNKNOWN = "無法辨識的檔案格式（可匯入的格式：" + "、".join(form.shown for form in FORMATS) + "）"
