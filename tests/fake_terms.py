"""A small term table with the API of varnel_host.terms, for similarity tests."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class Translation:
    text: str
    probability: float


class FakeTerms:
    """word -> [(translation, probability), …] likeliest first; cut() as the
    real table's: Chinese by longest match over the table's words, English words."""

    def __init__(self, pairs: Mapping[str, Sequence[tuple[str, float]]]):
        self._table = {word: [Translation(text, p) for text, p in found] for word, found in pairs.items()}
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
