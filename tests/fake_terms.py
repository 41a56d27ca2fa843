"""Small term tables with the API of varnel_host.terms: TABLE is read by
every command holding TR(…) or a crossing SIM= in the tests (conftest.py
hands it to translate.loader); FakeTerms makes a table of given pairs."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class Translation:
    text: str
    probability: float
    source: str
    count: int = 0
    records: tuple[str, ...] = ()


# word -> (text, probability, source[, count]), best first
PAIRS = {
    "電池": [("battery", 0.6, "詞典"), ("battery", 0.5, "資料庫", 38), ("cell", 0.3, "詞典"), ("accumulator", 0.1, "詞典")],
    "battery": [("電池", 0.7, "詞典"), ("電池", 0.6, "資料庫", 12), ("蓄電池", 0.2, "詞典"), ("池", 0.1, "詞典")],
    "電極": [("electrode", 0.8, "詞典"), ("anode", 0.2, "資料庫", 5)],
    "固態": [("solid-state", 0.6, "詞典"), ("solid state", 0.5, "詞彙表")],
    "散熱": [("heat dissipation", 0.6, "詞典"), ("cooling", 0.4, "詞典")],
    "晶圓": [("wafer", 0.9, "詞典")],
    "wafer": [("晶圓", 0.9, "詞典"), ("晶片", 0.3, "詞典")],
    "pack": [("電池組", 0.5, "詞典"), ("包", 0.4, "詞典")],
    "或": [("or", 0.9, "詞典")],
}
WORDS = sorted(PAIRS, key=len, reverse=True)


class Table:
    def translations(self, word: str) -> list[Translation]:
        return [Translation(*pair) for pair in PAIRS.get(word, ())]

    def cut(self, text: str) -> list[tuple[int, int, str]]:
        """The longest table word at each place, else one character."""
        pieces = []
        while (at := pieces[-1][1] if pieces else 0) < len(text):
            word = next((w for w in WORDS if text.startswith(w, at)), text[at])
            pieces.append((at, at + len(word), word))
        return pieces


TABLE = Table()


def load(store, say=None) -> Table:
    return TABLE


class FakeTerms:
    """word -> [(translation, probability), …] likeliest first; cut() as the
    real table's: Chinese by longest match over the table's words, English words."""

    def __init__(self, pairs: Mapping[str, Sequence[tuple[str, float]]]):
        self._table = {word: [Translation(text, p, "詞典") for text, p in found] for word, found in pairs.items()}
        self._chinese = sorted((word for word in pairs if not word.isascii()), key=len, reverse=True)

    def translations(self, word: str) -> list[Translation]:
        return self._table.get(word.lower(), [])

    def cut(self, text: str) -> list[tuple[int, int, str]]:
        words, i = [(m.start(), m.end(), m[0]) for m in re.finditer(r"[A-Za-z]+", text)], 0
        while i < len(text):
            word = next((w for w in self._chinese if text.startswith(w, i)), text[i])
            words += [(i, i + len(word), word)] if not word.isascii() else []
            i += len(word)
        return sorted(words)
