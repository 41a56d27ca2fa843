"""Text as a worksheet cell can carry it: without the characters XML 1.0
does not allow and within Excel's limit per cell; and its runs of CJK and
other characters, which the report shows in the Chinese and the Latin font."""

from __future__ import annotations

import re

CELL_LIMIT = 32_767  # Excel's limit per cell, in UTF-16 code units

# The characters XML 1.0 allows, as inclusive code point ranges: tab, LF, CR
# and everything from space on but surrogates and U+FFFE/U+FFFF.
XML_RANGES = ((0x9, 0xA), (0xD, 0xD), (0x20, 0xD7FF), (0xE000, 0xFFFD), (0x10000, 0x10FFFF))

# Han (radicals, strokes, ideographs and their extensions), CJK symbols and
# punctuation, bopomofo, enclosed and compatibility CJK, vertical and
# compatibility forms, full-width forms.
CJK_RANGES = (
    (0x2E80, 0x2FDF), (0x2FF0, 0x303F), (0x3100, 0x312F), (0x31A0, 0x31EF), (0x3200, 0x4DBF), (0x4E00, 0x9FFF),
    (0xF900, 0xFAFF), (0xFE10, 0xFE1F), (0xFE30, 0xFE4F), (0xFF01, 0xFF60), (0xFFE0, 0xFFE6), (0x20000, 0x3FFFD),
)


def _class(ranges: tuple[tuple[int, int], ...]) -> str:
    """The inside of a regular expression's character class holding `ranges`."""
    return "".join(f"{re.escape(chr(first))}-{re.escape(chr(last))}" for first, last in ranges)


CJK_CLASS = _class(CJK_RANGES)
RUNS = re.compile(f"([{CJK_CLASS}]+)|([^{CJK_CLASS}]+)")  # findall: (CJK run, "") or ("", other run)
_ILLEGAL_XML = re.compile(f"[^{_class(XML_RANGES)}]")


def clean_text(text: str) -> str:
    """Remove characters XML cannot carry and cut the text to Excel's cell limit ("…" marks a cut)."""
    text = _ILLEGAL_XML.sub("", text)
    if len(text) <= CELL_LIMIT // 2:  # each character is at most two UTF-16 units
        return text
    encoded = text.encode("utf-16-le")
    if len(encoded) <= 2 * CELL_LIMIT:
        return text
    # "ignore" drops the first half of a surrogate pair left at the cut.
    return encoded[: 2 * (CELL_LIMIT - 1)].decode("utf-16-le", errors="ignore") + "…"


def split_runs(text: str) -> list[tuple[bool, str]]:
    """Split text into maximal runs: (True, CJK run) or (False, other run)."""
    return [(True, cjk) if cjk else (False, other) for cjk, other in RUNS.findall(text)]
