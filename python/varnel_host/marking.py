"""Where a text holds the index's tokens, and the stretches of a text that
hold given search words, as the index finds them.

text_tokens() cuts any text into the tokens segment.py indexes (CJK bigrams
and a run's closing character, Latin words), each with its place in the
text; merged() joins overlapping places into the text's own wording (the
bigrams 固態 態電 電池 of 固態電池 read 固態電池). marked_spans() is what the
report marks in bold red inside abstracts and claims.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator, Sequence
from functools import lru_cache
from typing import NamedTuple

from .segment import CJK, index_text, search_tokens

CROSSING = " ≈ "  # between a word of a similarity text and its translations, as shown
_CJK_RUN = re.compile(f"[{CJK}]+")
_WORD = re.compile(rf"[^\W_{CJK}]+(?:(?<=\d)[./](?=\d)[^\W_{CJK}]+)*")


class Span(NamedTuple):
    start: int
    end: int
    token: str


@lru_cache(maxsize=65536)
def _folded(piece: str) -> str:
    """The index token of one CJK character or one Latin word ("" if none)."""
    found = index_text(piece).split()
    return found[0] if len(found) == 1 else ""


def text_tokens(text: str) -> list[Span]:
    """Where each index token of `text` lies in it, in text order: every CJK
    bigram and the closing character of a CJK run, every Latin word."""
    spans: list[Span] = []
    for run in _CJK_RUN.finditer(text):
        folded = [_folded(char) for char in run[0]]
        start = run.start()
        spans += (Span(start + i, start + i + 2, folded[i] + folded[i + 1]) for i in range(len(folded) - 1))
        spans.append(Span(run.end() - 1, run.end(), folded[-1]))
    for word in _WORD.finditer(text):
        if token := _folded(word[0]):
            spans.append(Span(word.start(), word.end(), token))
    spans.sort()
    return spans


def runs(spans: Iterable[Span]) -> Iterator[tuple[int, int, tuple[str, ...]]]:
    """Spans (text order) whose places overlap joined: (start, end, their tokens)."""
    start = end = -1
    tokens: list[str] = []
    for span in spans:
        if span.start < end:
            end = max(end, span.end)
            tokens.append(span.token)
            continue
        if tokens:
            yield start, end, tuple(dict.fromkeys(tokens))
        start, end, tokens = span.start, span.end, [span.token]
    if tokens:
        yield start, end, tuple(dict.fromkeys(tokens))


def merged(spans: Iterable[Span], text: str) -> list[tuple[str, tuple[str, ...]]]:
    """Spans (text order) whose places overlap joined: (wording, its tokens),
    each wording once, in text order."""
    words: dict[str, tuple[str, ...]] = {}
    for start, end, tokens in runs(spans):
        words.setdefault(text[start:end], tokens)
    return list(words.items())


def _crossed(word: str) -> list[str]:
    """A word and its translations, from "電解質 ≈ electrolyte/electrolytic"; any other word alone."""
    source, crossing, translations = word.partition(CROSSING)
    return [source, *translations.split("/")] if crossing else [word]


def word_phrases(words: Iterable[str]) -> list[tuple[tuple[str, ...], bool]]:
    """The token phrase of each search word (as segment.search_tokens gives
    it): (tokens, last token is a prefix). A similarity hit's word that came
    through translations (電解質 ≈ electrolyte/electrolytic) is each of them."""
    phrases = []
    for word in (part for word in words for part in _crossed(word)):
        truncated = word.endswith("*")
        tokens, prefix = search_tokens(word[:-1] if truncated else word, truncated)
        if tokens:
            phrases.append((tokens, prefix))
    return phrases


def marked_spans(text: str, words: Iterable[str]) -> list[tuple[int, int]]:
    """The stretches of `text` holding any of `words`, as the index finds
    them (a word is the phrase of its tokens, so 電池 marks 電池 in 鋰電池
    and Battery marks battery), merged, in text order. A word whose whole
    phrase is not in the text still marks its two-character tokens, as a
    similarity hit shares them one by one."""
    phrases = word_phrases(words)
    if not phrases or not text:
        return []
    spans = text_tokens(text)
    tokens = [span.token for span in spans]
    found: list[tuple[int, int]] = []
    for phrase, prefix in phrases:
        hits = _phrase_places(tokens, phrase, prefix)
        for first in hits:
            last = spans[first + len(phrase) - 1]
            # a one-character CJK word is the prefix of the bigram starting there
            one_char = prefix and len(phrase) == 1 and not phrase[0].isascii() and len(phrase[0]) == 1
            found.append((spans[first].start, spans[first].start + 1 if one_char else last.end))
        if not hits and len(phrase) > 1:
            wanted = {token for token in phrase if len(token) >= 2}
            found += [(span.start, span.end) for span in spans if span.token in wanted]
    found.sort()
    out: list[tuple[int, int]] = []
    for start, end in found:
        if out and start <= out[-1][1]:
            out[-1] = (out[-1][0], max(out[-1][1], end))
        else:
            out.append((start, end))
    return out


def _phrase_places(tokens: Sequence[str], phrase: Sequence[str], prefix: bool) -> list[int]:
    """Indexes where the token sequence `phrase` starts in `tokens`; with
    `prefix` its last token may be the start of a longer one."""
    n = len(phrase)
    places = []
    for i in range(len(tokens) - n + 1):
        if all(tokens[i + k] == phrase[k] for k in range(n - 1)):
            last = tokens[i + n - 1]
            if last == phrase[-1] or (prefix and last.startswith(phrase[-1])):
                places.append(i)
    return places
