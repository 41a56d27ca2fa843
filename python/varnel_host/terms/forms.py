"""The forms the term table looks words up by.

A Chinese word is looked up as written, then as OpenCC converts it to
Traditional (a Simplified word finds the Traditional headword), then folded
one character at a time the way the index folds it (segment.cjk_folds), so
that any mix of Traditional and Simplified characters finds it. An English
word or phrase is looked up by the Snowball English stems of its words (as
expand.py finds a word's other forms): batteries finds battery, "Gas
Turbines" finds gas turbine.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable
from functools import lru_cache

import opencc
import Stemmer

from ..segment import CJK, cjk_folds

MAX_PHRASE_WORDS = 4  # the longest English phrase kept or matched, in words
_CJK_CHAR = re.compile(f"[{CJK}]")
_ENGLISH_WORD = re.compile(r"[a-z0-9]+")  # of lower-cased text: "lithium-ion" is two words, as the index cuts it


def is_chinese(text: str) -> bool:
    return _CJK_CHAR.search(text) is not None


def chinese_fold(word: str) -> str:
    """The word without white space, each character folded to one form."""
    return "".join(word.split()).translate(cjk_folds())


@lru_cache(maxsize=1)
def to_traditional() -> Callable[[str], str]:
    return opencc.OpenCC("s2t").convert


def chinese_forms(word: str) -> list[str]:
    """The word as written and in Traditional (each once), its white space removed."""
    word = "".join(word.split())
    return list(dict.fromkeys((word, to_traditional()(word))))


@lru_cache(maxsize=1)
def _stemmer() -> Stemmer.Stemmer:
    return Stemmer.Stemmer("english")


def english_words(text: str) -> list[str]:
    return _ENGLISH_WORD.findall(text.lower())


def stems(words: list[str]) -> list[str]:
    """The Snowball English stems of lower-case words."""
    return _stemmer().stemWords(words)


def english_key(text: str) -> str:
    """The stems of the text's English words, space-separated ("" for none)."""
    return " ".join(_stemmer().stemWords(english_words(text)))


def english_keys(texts: Iterable[str]) -> list[str]:
    """english_key of each text, each distinct word stemmed once."""
    texts = [english_words(text) for text in texts]
    distinct = list({word for words in texts for word in words})
    stems = dict(zip(distinct, _stemmer().stemWords(distinct)))
    return [" ".join(stems[word] for word in words) for words in texts]
