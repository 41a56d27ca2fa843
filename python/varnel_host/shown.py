"""Text as a line of the log box or of the import's output shows it: one
line, without control or direction-formatting characters (a terminal or the
log box would act on them), cut to a length. Reports keep the whole text."""

from __future__ import annotations

import re

LINE_CHARS = 1000  # the longest line shown

# C0 and C1 controls, bidirectional and other invisible formatting marks,
# line and paragraph separators, lone surrogates.
_HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u206f\ufeff\ud800-\udfff]+")


def shown(text: str, limit: int = LINE_CHARS) -> str:
    """`text` on one line: hidden characters as spaces, runs of white space
    as one, at most `limit` characters ("…" marks a cut)."""
    text = " ".join(_HIDDEN.sub(" ", text).split())
    return text if len(text) <= limit else text[: limit - 1] + "…"
