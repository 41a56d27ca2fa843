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
5. Traditional and Simplified Chinese fold to one form (Simplified), one
   character at a time, by OpenCC's conversion table: 固態電池 and 固态电池
   give the same tokens. Stored text is not changed, only its tokens.

The work is done by the native module _segment (C++); the tests hold it to
the same rules written in Python (tests/segment_reference.py).
VERSION names everything that decides the tokens; the store rebuilds its
index when it changes.
"""

from __future__ import annotations

import re
import unicodedata
from functools import lru_cache, partial
from operator import add

import opencc

from . import _segment
from .records import FIELDS, REGISTRY, TEXT_FIELDS, PatentRecord

# Han (with extensions and compatibility ideographs), kana and Hangul, as
# [first, end) code-point ranges; CJK is the same set as a regex class body.
_CJK_RANGES = ((0x3040, 0x3100), (0x3400, 0x4DC0), (0x4E00, 0xA000), (0xAC00, 0xD7B0), (0xF900, 0xFB00), (0x20000, 0x40000))
CJK = "".join(f"{chr(first)}-{chr(end - 1)}" for first, end in _CJK_RANGES)

# "H01M 10/0525" (the printed IPC form) -> "H01M10/0525"
_IPC_GAP = re.compile(r"\b([A-Ha-h]\d\d[A-Za-z])\s+(?=\d+/\d)")

_SEGMENTATION = 2  # the rules above; raise when they change


@lru_cache(maxsize=None)
def cjk_folds() -> dict[int, int]:
    """Code point -> code point folding Traditional Chinese characters to
    Simplified, from OpenCC's character conversion (t2s), made once."""
    chars = [chr(code) for first, end in _CJK_RANGES for code in range(first, end)]
    converted = opencc.OpenCC("t2s").convert("\n".join(chars)).split("\n")
    if len(converted) != len(chars):
        raise RuntimeError("OpenCC changed the number of characters in its conversion table")
    return {ord(a): ord(b) for a, b in zip(chars, converted) if a != b and len(b) == 1 and _is_cjk(b)}


def _is_cjk(char: str) -> bool:
    code = ord(char)
    return any(first <= code < end for first, end in _CJK_RANGES)


VERSION = f"{_SEGMENTATION}/opencc-{getattr(opencc, '__version__', '?')}/unicode-{unicodedata.unidata_version}"


def fold_word(word: str) -> str:
    """Lower-case a letter/digit run and strip its diacritics."""
    if word.isascii():
        return word.lower()
    decomposed = unicodedata.normalize("NFD", word.casefold())
    return unicodedata.normalize("NFC", "".join(c for c in decomposed if not unicodedata.combining(c)))


# Code points whose NFKC form never changes: CJK ideographs, Hangul
# syllables, private use. The rest are looked up once for the native table.
_NFKC_STABLE = ((0x3400, 0x4DC0), (0x4E00, 0xA000), (0xAC00, 0xD7A4), (0xE000, 0xF900), (0x20000, 0x2F800), (0x30000, 0x40000))
_JAMO = ((0x1100, 0x1200), (0x3130, 0x3190), (0xA960, 0xA980), (0xD7B0, 0xD800), (0xFFA0, 0xFFE0))


def _nfkc_tables() -> tuple[dict[int, str], set[int]]:
    """(code point -> its NFKC form where that differs, code points whose NFKC
    form depends on their neighbours)."""
    changed: dict[int, str] = {}
    contextual = {code for first, end in _JAMO for code in range(first, end)}
    stable = iter(_NFKC_STABLE)
    skip = next(stable)
    code = 0x80
    while code < 0x40000:
        if code == skip[0]:
            code = skip[1]
            skip = next(stable, (0x40000, 0x40000))
            continue
        char = chr(code)
        form = unicodedata.normalize("NFKC", char)
        if unicodedata.combining(char) or unicodedata.category(char).startswith("M") or any(map(unicodedata.combining, form)):
            contextual.add(code)
        elif form != char:
            changed[code] = form
        code += 1
    return changed, contextual


@lru_cache(maxsize=None)
def _native() -> _segment.Segmenter:
    changed, contextual = _nfkc_tables()
    return _segment.Segmenter(cjk_folds(), fold_word, changed, contextual, partial(unicodedata.normalize, "NFKC"))


def prepare() -> None:
    """Build the segmenter's tables now (about 0.1 s, otherwise spent on the
    first word segmented): for a process that will serve searches."""
    _native()


def _pieces(text: str) -> list[tuple[str, str]]:
    return _native().pieces(text)


def _bigrams(run: str) -> list[str]:
    return list(map(add, run, run[1:]))


def index_text(text: str, ipc: bool = False) -> str:
    """The space-joined tokens stored in an index column; ipc=True first joins
    printed IPC codes ("H01M 10/0525") into one code."""
    if ipc:
        text = join_ipc(text)
    return _native().index_text(text)


def join_ipc(text: str) -> str:
    """Printed IPC codes joined: "H01M 10/0525" -> "H01M10/0525"."""
    return _IPC_GAP.sub(r"\1", text)


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


def near_check(lefts: list, rights: list, distance: int, ordered: bool) -> _segment.NearTest:
    """The native proximity check of query_plan.near_check(): its
    in_texts(texts) segments field texts with the rules above, its
    in_tokens(joined) takes fields as stored index tokens."""
    return _segment.NearTest(_native(), lefts, rights, distance, ordered)


def index_values(record: PatentRecord) -> tuple[str, ...]:
    """What both stores index of a record: index_text() of each text field,
    in TEXT_FIELDS order (IPC codes joined first)."""
    return tuple(index_text(getattr(record, FIELDS[code][0]), ipc=REGISTRY[code].levels) for code in TEXT_FIELDS)
