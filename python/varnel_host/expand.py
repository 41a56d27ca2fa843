"""The words a command's patterns and English words stand for, read from
the collection's own vocabulary before a search.

- A wildcard pattern (query.Term.wildcard): `?` is one character, `*` any
  run of characters. A Latin pattern is matched against the index's Latin
  tokens under its leading letters (bat?ery: the tokens under "bat"); a
  Chinese pattern is built one character at a time from the index's bigrams
  (電?池: each 電X bigram whose X池 is a bigram too).
- An English word of three letters or more (unquoted, not truncated,
  searched in title, abstract or claims) also finds its other word forms:
  the index's tokens with the same Snowball English stem (batteries:
  battery, batteries; jet: jets).

Each such word becomes an OR of the exact words found (quoted terms, so that
they are neither expanded again nor read as classification levels); a word
with no other form is left as it is. Every store lists its vocabulary
(Vocabulary) and the expansion is made here, so stores holding the same
records search the same words.

Latin patterns are matched natively (_segment.Glob), in time bounded by the
lengths of pattern and token; the whole expansion has EXPAND_SECONDS and
looks at the search's cancel() as it goes.
"""

from __future__ import annotations

import re
import time
from collections.abc import Callable
from dataclasses import replace
from functools import lru_cache
from typing import Protocol

import opencc
import Stemmer

from ._segment import Glob
from .contract import Cancelled
from .query import And, Near, Node, Not, Or, Query, QueryError, Term
from .records import REGISTRY
from .segment import CJK, cjk_folds, fold_word, search_tokens

# Words one pattern may stand for: each is one more word ranked and checked
# in every hit, so a pattern past this is refused rather than cut.
PATTERN_WORDS = 100
# Words a command may hold once its patterns and word forms are written out.
EXPANDED_WORDS = 300
# Tokens read from the vocabulary under one prefix; a prefix holding more is too short to run.
SCAN_TOKENS = 200_000
# Seconds a command's expansion may take; a command needing more is refused.
EXPAND_SECONDS = 5.0
# Work (token length times pattern length) between two looks at the clock and at cancel().
_CHECK_WORK = 4_000_000
# prose (records.REGISTRY): applicant names and codes keep their form
STEMMED_FIELDS = frozenset(code for code, field in REGISTRY.items() if field.stemmed)
MIN_STEMMED = 3  # two-letter words have no other form worth a look-up (jet has jets, box boxes)
_CJK_CHAR = re.compile(f"[{CJK}]")


class Vocabulary(Protocol):
    def tokens(self, prefix: str, limit: int) -> list[str]:
        """The index's tokens starting with `prefix`, in code-point order, at most `limit` of them."""


@lru_cache(maxsize=1)
def _stemmer() -> Stemmer.Stemmer:
    return Stemmer.Stemmer("english")


@lru_cache(maxsize=1)
def to_traditional() -> Callable[[str], str]:
    return opencc.OpenCC("s2t").convert


class _Budget:
    """The time left to an expansion and the search's cancel()."""

    def __init__(self, cancel: Callable[[], bool] | None):
        self._cancel = cancel
        self._until = time.monotonic() + EXPAND_SECONDS

    def check(self, pattern: str = "", at: int = 1) -> None:
        """Raises Cancelled once cancel() is true, QueryError (naming
        `pattern` at `at`) once the time is up."""
        if self._cancel is not None and self._cancel():
            raise Cancelled
        if time.monotonic() > self._until:
            named = f"「{pattern}」" if pattern else "萬用字元與字形"
            raise QueryError(
                f"{named}的展開超過 {EXPAND_SECONDS:g} 秒仍未完成，已停止；"
                "請把萬用字元前面的字寫長一些、少用幾個「*」，或分成幾次檢索",
                at,
                pattern,
            )


def expand(query: Query, vocabulary: Vocabulary, cancel: Callable[[], bool] | None = None) -> Query:
    """`query` with each pattern and English word replaced by the words the
    vocabulary holds for it; raises QueryError for a pattern that stands for
    no word or too many, or for an expansion past EXPAND_SECONDS, and
    Cancelled once `cancel()` returns True."""
    lookups: dict[str, list[str]] = {}
    budget = _Budget(cancel)

    def tokens(prefix: str) -> list[str]:
        found = lookups.get(prefix)
        if found is None:
            found = lookups[prefix] = vocabulary.tokens(prefix, SCAN_TOKENS + 1)
        return found

    def walk(node: Node) -> Node:
        if isinstance(node, Term):
            budget.check()
            return _expanded(node, tokens, query.command, budget)
        if isinstance(node, Not):
            return Not(walk(node.item))
        if isinstance(node, Near):
            return replace(node, left=walk(node.left), right=walk(node.right))
        if isinstance(node, (And, Or)):
            items = tuple(map(walk, node.items))
            if isinstance(node, Or):  # an OR side of a proximity stays one flat OR of words; a TR group stays one
                items = tuple(part for item in items for part in (item.items if type(item) is Or else (item,)))
            return replace(node, items=items)
        return node

    root = walk(query.root)
    if root == query.root:
        return query
    expanded = replace(query, root=root)
    if len(expanded.words()) > EXPANDED_WORDS:
        raise QueryError(
            f"萬用字元與字形展開後共有 {len(expanded.words())} 個不同的檢索詞，上限 {EXPANDED_WORDS} 個；"
            "請把萬用字元前面的字寫長一些，或分成幾次檢索",
            1,
        )
    return expanded


def _expanded(term: Term, tokens: Callable[[str], list[str]], command: str, budget: _Budget) -> Node:
    if term.wildcard:
        words = _pattern_words(term, tokens, command, budget)
        return Or(tuple(Term(word, term.fields, phrase=True) for word in words))
    forms = _word_forms(term, tokens)
    if not forms:
        return term
    # the other forms only where the word is prose: PA in (therapeutic)@PA,AB keeps its form
    prose = tuple(code for code in term.fields if code in STEMMED_FIELDS)
    return Or((replace(term, phrase=True), *(Term(form, prose, phrase=True) for form in forms)))


def _pattern_words(term: Term, tokens: Callable[[str], list[str]], command: str, budget: _Budget) -> list[str]:
    pattern = term.text
    at = command.find(pattern) + 1 or 1

    def refuse(problem: str) -> QueryError:
        return QueryError(f"「{pattern}」{problem}", at, pattern)

    def check() -> None:
        budget.check(pattern, at)

    if _CJK_CHAR.match(pattern):
        words = _chinese_words(pattern, tokens, refuse, check)
    else:
        words = _latin_words(pattern, tokens, refuse, check)
    if not words:
        raise refuse("在資料庫中沒有相符的詞，請檢查拼寫，或改用截詞（例如 batter*）")
    if len(words) > PATTERN_WORDS:
        raise refuse(f"相符的詞有 {len(words)} 個，超過上限 {PATTERN_WORDS} 個；請在萬用字元前後多寫幾個字")
    return words


def _latin_words(
    pattern: str, tokens: Callable[[str], list[str]], refuse: Callable[[str], QueryError], check: Callable[[], None]
) -> list[str]:
    literal = re.split(r"[?*]", pattern)
    folded = [fold_word(piece) for piece in literal]
    glob = Glob(folded, "".join(re.findall(r"[?*]", pattern)))
    found = tokens(folded[0])
    if len(found) > SCAN_TOKENS:
        raise refuse(f"萬用字元前面的「{literal[0]}」太短，資料庫中以它開頭的詞超過 {SCAN_TOKENS:,} 個；請多寫幾個字")
    words: list[str] = []
    start = 0
    while start < len(found):
        check()
        matched, start = glob.matching(found, start, _CHECK_WORK)
        words += matched
    return words


def _chinese_words(
    pattern: str, tokens: Callable[[str], list[str]], refuse: Callable[[str], QueryError], check: Callable[[], None]
) -> list[str]:
    """The words of the collection a Chinese pattern stands for, each a run
    of characters every pair of which is one of the index's bigrams where a
    wildcard stands; the typed characters are kept as typed. A run grows one
    place at a time and is refused as soon as it passes PATTERN_WORDS, so
    each place costs at most PATTERN_WORDS runs' look-ups."""
    folds = cjk_folds()
    traditional = to_traditional()

    def shown(char: str) -> str:
        """A character of the index (folded) as Traditional Chinese, where that folds back to it."""
        back = traditional(char)
        return back if back.translate(folds) == char else char

    def bigram(pair: str) -> bool:
        return pair in tokens(pair)[:1]

    # (folded run, run as shown)
    runs = [(pattern[0].translate(folds), pattern[0])]
    for place in range(1, len(pattern)):
        char = pattern[place]
        # The typed character after a "?" keeps only the characters that stand before it in a bigram.
        after = pattern[place + 1].translate(folds) if place + 1 < len(pattern) and pattern[place + 1] != "?" else ""
        grown = []
        for folded, typed in runs:
            check()
            if char == "?":
                for pair in tokens(folded[-1]):
                    if len(pair) != 2:
                        continue
                    if after:
                        check()
                        if not bigram(pair[1] + after):
                            continue
                    grown.append((folded + pair[1], typed + shown(pair[1])))
                    if len(grown) > PATTERN_WORDS:
                        # the index holds two-character words: 自动? stands for each 自动X whose 动X is one
                        raise refuse(f"可能相符的詞超過上限 {PATTERN_WORDS} 個（中文的萬用字元由資料庫中的兩字詞組成，"
                                     f"「{shown(folded[-1])}」後面可接的字太多）；請在「?」後面再寫一個字，或在前面多寫幾個字")
            else:
                target = folded[-1] + char.translate(folds)
                if pattern[place - 1] != "?" or bigram(target):
                    grown.append((folded + target[1], typed + char))
        runs = grown
    return [typed for _, typed in runs]


def word_forms(word: str, vocabulary: Vocabulary) -> list[str]:
    """The collection's other forms of an English word (same Snowball stem)."""
    return _word_forms(Term(word, tuple(STEMMED_FIELDS)), lambda prefix: vocabulary.tokens(prefix, SCAN_TOKENS + 1))


def _word_forms(term: Term, tokens: Callable[[str], list[str]]) -> list[str]:
    """The index's other forms of an English word (same Snowball stem), or []."""
    if term.phrase or term.truncated or not STEMMED_FIELDS.intersection(term.fields):
        return []
    found, _ = search_tokens(term.text)
    if len(found) != 1 or len(found[0]) < MIN_STEMMED or not (found[0].isascii() and found[0].isalpha()):
        return []
    word = found[0]
    stemmer = _stemmer()
    stem = stemmer.stemWord(word)
    candidates = [
        t for prefix in _stem_prefixes(stem) for t in tokens(prefix)[:SCAN_TOKENS] if t.isalpha() and t != word
    ]
    return [t for t, s in zip(candidates, stemmer.stemWords(candidates)) if s == stem]


def _stem_prefixes(stem: str) -> list[str]:
    """Prefixes under which every word of a Snowball stem lies. A stem may
    end otherwise than its words (batteri: battery; ice: icing), never
    earlier than one letter before, so its words lie under the stem less its
    last letter. A stem of three letters is not cut to two (a prefix of two
    letters holds too many tokens): its last letter as its words may spell it
    is written out instead (fli: flying; ice: icing). A shorter stem (its: it)
    stands for no other form."""
    if len(stem) > 3:
        return [stem[:-1]]
    if len(stem) < 3:
        return []
    return [stem, *({"i": [stem[:2] + "y"], "e": [stem[:2] + "i"]}.get(stem[-1], []))]
