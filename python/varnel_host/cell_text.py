"""Text as a worksheet cell can carry it: without the characters XML 1.0
does not allow and within Excel's limit per cell."""

from __future__ import annotations

import re

CELL_LIMIT = 32_767  # Excel's limit per cell, in UTF-16 code units

# Characters XML 1.0 does not allow (C0 controls other than tab/LF/CR,
# surrogates, U+FFFE/U+FFFF).
_ILLEGAL_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


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


