"""The segmentation rules of varnel_host.segment (its docstring) in Python:
the reference the native module _segment is compared with."""

from __future__ import annotations

import re
import unicodedata
from operator import add

from varnel_host.segment import CJK, cjk_folds, fold_word, join_ipc

_PIECE = re.compile(
    rf"(?P<cjk>[{CJK}]+(?:\s+[{CJK}]+)*)"
    rf"|(?P<word>[^\W_{CJK}]+(?:(?<=\d)[./](?=\d)[^\W_{CJK}]+)*)"
)
_SPACE = re.compile(r"\s+")


def python_pieces(text: str) -> list[tuple[str, str]]:
    """(CJK run, "") or ("", folded word) for each piece of text, in order."""
    folds = cjk_folds()
    return [
        ((cjk if cjk.isalnum() else _SPACE.sub("", cjk)).translate(folds), "") if cjk else ("", fold_word(word))
        for cjk, word in _PIECE.findall(unicodedata.normalize("NFKC", text))
    ]


def _run_tokens(run: str) -> str:
    """The index tokens of a CJK run: 固態電池 -> "固態 態電 電池 池"."""
    return " ".join(map(add, run, run[1:])) + " " + run[-1] if len(run) > 1 else run


def python_index_text(text: str, ipc: bool = False) -> str:
    """segment.index_text() in Python."""
    if ipc:
        text = join_ipc(text)
    return " ".join(_run_tokens(run) if run else word for run, word in python_pieces(text))
