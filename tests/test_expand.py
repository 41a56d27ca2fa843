"""Patterns and English word forms written out from a vocabulary."""

from __future__ import annotations

import bisect
import itertools
import random
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

from varnel_host import expand as expand_module
from varnel_host._segment import Glob
from varnel_host.contract import Cancelled
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


def test_the_native_glob_matches_as_the_pattern_reads():
    rng = random.Random(5)
    for _ in range(3000):
        pieces = ["".join(rng.choices("ab", k=rng.randrange(3))) for _ in range(rng.randrange(1, 5))]
        marks = "".join(rng.choices("?*", k=len(pieces) - 1))
        tokens = ["".join(rng.choices("ab", k=rng.randrange(9))) for _ in range(20)]
        reference = re.compile("".join(p + {"?": ".", "*": ".*"}.get(m, "") for p, m in zip(pieces, [*marks, ""])))
        glob, found, start = Glob(pieces, marks), [], 0
        while start < len(tokens):  # a few tokens' work a call
            matched, start = glob.matching(tokens, start, rng.randrange(60))
            found += matched
        assert found == [t for t in tokens if reference.fullmatch(t)], (pieces, marks)


HOSTILE = "aaa" + "*a" * 8 + "*b"  # a backtracking regex tries every split of a long run of "a"
_RUN = """
import sys
from test_expand import Listed, QueryError, expand, parse
try:
    print(sorted(expand(parse(sys.argv[1]), Listed(sys.argv[2:])).words()))
except QueryError as error:
    print(error.problem)
"""


@pytest.mark.parametrize(
    "command, stored, answer",
    [
        (HOSTILE, ["a" * 60], "沒有相符的詞"),
        (HOSTILE, ["a" * 3000, "a" * 2999 + "b", "aaab"], f"['{'a' * 2999}b']"),
        ("abc*" * 40 + "z", ["abc" * 400, "abcz"], "沒有相符的詞"),
    ],
)
def test_patterns_against_long_words_finish(command, stored, answer):
    done = subprocess.run([sys.executable, "-c", _RUN, command, *stored], capture_output=True, text=True, timeout=60,
                          cwd=Path(__file__).parent)
    assert answer in done.stdout, done.stderr


@pytest.mark.parametrize(
    "cancel, raised, said",
    [
        (None, QueryError, f"「bat?ery」的展開超過 {expand_module.EXPAND_SECONDS:g} 秒仍未完成"),
        (lambda: True, Cancelled, None),
    ],
)
def test_an_expansion_past_its_time_or_cancelled_stops(cancel, raised, said, monkeypatch):
    clock = itertools.count(0, 0.6 * expand_module.EXPAND_SECONDS)  # its time is up at the third look
    monkeypatch.setattr(expand_module, "time", types.SimpleNamespace(monotonic=lambda: next(clock)))
    with pytest.raises(raised, match=said and re.escape(said)):
        expand(parse("bat?ery"), VOCABULARY, cancel=cancel)


def test_a_chinese_pattern_keeps_only_what_the_typed_character_after_it_allows():
    # 電 starts more bigrams than one pattern may stand for; two of them end where 池 starts one
    many = Listed([*VOCABULARY.sorted, *(f"电{chr(0x4E00 + i)}" for i in range(3 * PATTERN_WORDS))])
    assert sorted(expand(parse("電?池"), many).words()) == ["電極池", "電解池"]
