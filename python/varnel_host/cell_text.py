"""Text as a worksheet cell can carry it: without the characters XML 1.0
does not allow and within Excel's limit per cell; and its runs of CJK and
other characters, which the report shows in the Chinese and the Latin font."""

from __future__ import annotations

import re

CELL_LIMIT = 32_767  # Excel's limit per cell, in UTF-16 code units

# Characters XML 1.0 does not allow (C0 controls other than tab/LF/CR,
# surrogates, U+FFFE/U+FFFF).
_ILLEGAL_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")

# Han (radicals, strokes, ideographs and their extensions), CJK symbols and
# punctuation, bopomofo, enclosed and compatibility CJK, vertical and
# compatibility forms, full-width forms.
CJK_CLASS = (
    "\u2e80-\u2fdf\u2ff0-\u303f\u3100-\u312f\u31a0-\u31ef\u3200-\u4dbf"
    "\u4e00-\u9fff\uf900-\ufaff\ufe10-\ufe1f\ufe30-\ufe4f\uff01-\uff60"
    "\uffe0-\uffe6\U00020000-\U0003fffd"
)
RUNS = re.compile(f"([{CJK_CLASS}]+)|([^{CJK_CLASS}]+)")  # findall: (CJK run, "") or ("", other run)


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
