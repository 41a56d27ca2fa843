"""Patterns and English word forms written out from a vocabulary."""

from __future__ import annotations

import bisect
import re

import pytest

from varnel_host import expand as expand_module
from varnel_host.expand import PATTERN_WORDS, expand
from varnel_host.query import QueryError, parse


class Listed:
    """A vocabulary of index tokens (Simplified Chinese, lower-case Latin)."""

    def __init__(self, tokens):
        self.sorted = sorted(tokens)

    def tokens(self, prefix, limit):
        start = bisect.bisect_left(self.sorted, prefix)
        return [t for t in self.sorted[start:start + limit] if t.startswith(prefix)]


VOCABULARY = Listed([
    "battery", "batteries", "batgery", "battle", "battlement", "polymerization", "polymerisation", "polymer",
    "electrode", "electrodes", "electrodeposition", "pack", "packs", "h01m10/0525", "h01m1/08",
    "电解", "解池", "电极", "极池", "电池", "池", "固态", "态电", "固定", "定电",
    "jet", "jets", "jetty", "fly", "flies", "flying", "ice", "icing", "iced", "icon",
])


@pytest.mark.parametrize(
    "command, words",
    [
        ("bat?ery", ("batgery", "battery")),
        ("bat?er*", ("batteries", "batgery", "battery")),
        ("polymeri*ation", ("polymerisation", "polymerization")),
        ("電?池", ("電解池", "電極池")),  # typed characters kept, the found one shown in Traditional Chinese
        ("固??池", ("固態電池", "固定電池")),
        ("IC=h01m1?/0525", ("h01m10/0525",)),
        ("batteries", ("batteries", "battery")),  # y -> i: the stem batteri is no prefix of battery
        ("Electrode", ("Electrode", "electrodes")),  # never electrodeposition: another stem
        ('"batteries"', ("batteries",)),  # quoted, truncated, a name field or a short word: as typed
        ("batter*", ("batter*",)),
        ("PA=packs", ("packs",)),
        ("pack NEAR/2 (battery OR 電池)", ("pack", "packs", "battery", "batteries", "電池")),
        ("jet", ("jet", "jets")),  # three letters: never jetty, another stem
        ("fly", ("fly", "flies", "flying")),  # the stem fli: flying lies under fly
        ("icing", ("icing", "ice", "iced")),  # the stem ice: icing lies under ici
    ],
)
def test_patterns_and_word_forms_become_the_vocabularys_words(command, words):
    query = expand(parse(command), VOCABULARY)
    assert tuple(sorted(query.words(), key=words.index)) == words


@pytest.mark.parametrize(
    "command, problem",
    [
        ("bat?eryx", "「bat?eryx」在資料庫中沒有相符的詞"),
        ("電?器", "「電?器」在資料庫中沒有相符的詞"),
        ("wor?d*", f"相符的詞有 {PATTERN_WORDS + 2} 個，超過上限 {PATTERN_WORDS} 個"),
        ("x?", "太短"),
    ],
)
def test_a_pattern_standing_for_no_word_or_too_many_is_refused_by_name(command, problem, monkeypatch):
    monkeypatch.setattr(expand_module, "SCAN_TOKENS", 150)
    many = Listed([*VOCABULARY.sorted, *(f"wor{c}d{i}" for c in "ab" for i in range(PATTERN_WORDS // 2 + 1)),
                   *(f"x{i}" for i in range(151))])
    with pytest.raises(QueryError, match=re.escape(problem)):
        expand(parse(command), many)
