"""Segmentation of patent text for the full-text index and of search words.

The index is an SQLite FTS5 table whose columns hold text already cut into
tokens here and joined by spaces, so FTS5 only has to split at spaces. The
same rules cut stored text and search words, so the two always agree:

1. Text is NFKC-normalised (full-width letters, digits and punctuation become
   ASCII); letters are case-folded and lose their diacritics (Café -> cafe).
2. A CJK run (Han, kana, Hangul) becomes its overlapping bigrams followed by
   its last character: 固態電池 -> 固態 態電 電池 池. Every character thus
   starts a token: a one-character word is the prefix query 池* (served by
   the index's one-character prefix index), a word of n >= 2 characters the
   phrase of its n-1 bigrams. CJK runs separated only by white space count
   as one run ("固態 電池" = 固態電池).
3. Any other run of letters and digits is one token (battery, h01m10, 5g); a
   "/" or "." between two digits stays inside it (h01m10/0525, 3.7v), so an
   IPC code is one token and H01M* is a prefix query on it.
4. A change of script splits: 鋰離子battery -> 鋰離 離子 子 battery. A search
   word is the phrase of its tokens, so 鋰離子battery also finds
   "鋰離子 battery pack" and "鋰離子-battery".
"""

from __future__ import annotations

import re
import unicodedata
from operator import add

# Han (with extensions and compatibility ideographs), kana and Hangul.
_CJK = "\u3040-\u30ff\u3400-\u4dbf\u4e00-\u9fff\uac00-\ud7af\uf900-\ufaff\U00020000-\U0003ffff"
_PIECE = re.compile(
    rf"(?P<cjk>[{_CJK}]+(?:\s+[{_CJK}]+)*)"
    rf"|(?P<word>[^\W_{_CJK}]+(?:(?<=\d)[./](?=\d)[^\W_{_CJK}]+)*)"
)
_SPACE = re.compile(r"\s+")
# "H01M 10/0525" (the printed IPC form) -> "H01M10/0525"
_IPC_GAP = re.compile(r"\b([A-Ha-h]\d\d[A-Za-z])\s+(?=\d+/\d)")


def _fold(word: str) -> str:
    """Lower-case a letter/digit run and strip its diacritics."""
    if word.isascii():
        return word.lower()
    decomposed = unicodedata.normalize("NFD", word.casefold())
    return unicodedata.normalize("NFC", "".join(c for c in decomposed if not unicodedata.combining(c)))


def _pieces(text: str) -> list[tuple[str, str]]:
    """(CJK run, "") or ("", folded word) for each piece of text, in order."""
    return [
        (cjk if cjk.isalnum() else _SPACE.sub("", cjk), "") if cjk else ("", _fold(word))
        for cjk, word in _PIECE.findall(unicodedata.normalize("NFKC", text))
    ]


def _bigrams(run: str) -> list[str]:
    return list(map(add, run, run[1:]))


def _run_tokens(run: str) -> str:
    """The index tokens of a CJK run: 固態電池 -> "固態 態電 電池 池"."""
    return " ".join(map(add, run, run[1:])) + " " + run[-1] if len(run) > 1 else run


def index_text(text: str, ipc: bool = False) -> str:
    """The space-joined tokens stored in an index column; ipc=True first joins
    printed IPC codes ("H01M 10/0525") into one code."""
    if ipc:
        text = _IPC_GAP.sub(r"\1", text)
    return " ".join(_run_tokens(run) if run else word for run, word in _pieces(text))


def tokens(text: str) -> list[str]:
    """The index tokens of a text, in order."""
    return index_text(text).split()


def search_tokens(word: str, truncated: bool = False) -> tuple[tuple[str, ...], bool]:
    """The phrase that finds a search word: (tokens, last token is a prefix).

    A CJK run inside the word is followed in the text by a change of script,
    so it keeps its closing one-character token; a CJK run that ends the word
    may continue in the text, so it is matched by its bigrams alone, or, when
    it is one character, as a prefix. Truncation (a trailing "*") makes a
    final letter/digit token a prefix; on a final CJK run it changes nothing,
    since CJK text is matched anywhere in a run anyway. Empty tokens mean the
    word has nothing searchable (punctuation only).
    """
    pieces = _pieces(word)
    out: list[str] = []
    prefix = False
    for position, (run, word_token) in enumerate(pieces):
        last = position == len(pieces) - 1
        if not run:
            out.append(word_token)
            prefix = last and truncated
        elif not last:
            out += _bigrams(run)
            out.append(run[-1])
        elif len(run) > 1:
            out += _bigrams(run)
        else:
            out.append(run)
            prefix = True
    return tuple(out), prefix
