"""Word pairs mined from the collection's own bilingual records at the end of
an import, stored in the store's `term_pairs` (replacing the earlier ones).

Each record holding a title in its other language (PatentRecord.title_alt;
its abstract_alt comes with it) gives up to two sentence pairs: its
titles and its abstracts, the Chinese side told from the English one by its
Chinese characters. The newest MAX_PAIRS pairs are used (latest publication
first), each abstract side cut to its first ABSTRACT_WORDS words, and no more
pairs once their cells (Chinese words times English words) reach MAX_CELLS,
which bounds the alignment's memory (about 30 bytes a cell at most).
Chinese is cut into the glossary's and the dictionary's words by longest
match (table.TermTable.chinese_ids), English into words taken by their
Snowball stems (a stem shown in its most frequent spelling); function words
of both languages (the `stopwords` package's lists, as similar.py uses them)
and numbers are left out.

The alignment is IBM Model 1 (Brown et al. 1993) trained by EM for ITERATIONS
rounds in both directions (_terms.align, C++). A pair is kept when it is a
link of both directions' best alignments in at least MIN_COUNT sentence pairs
and both p(en | zh) and p(zh | en) are at least FLOOR: a pair seen once, or
one word of a pair that is mostly something else, is left out. Each pair
keeps its count and the publication numbers of its first KEPT_RECORDS
sentence pairs, so any translation can be checked against its records.
"""

from __future__ import annotations

import itertools
import re
import time
from collections import Counter
from collections.abc import Callable
from functools import lru_cache

from .._terms import align
from ..contract import StoreError, TermPair
from ..segment import CJK
from .forms import chinese_fold, english_words, stems
from .table import TermTable, without_mined

MAX_PAIRS = 50_000
MAX_CELLS = 20_000_000
ABSTRACT_WORDS = 80
ITERATIONS = 5
MIN_COUNT = 2
FLOOR = 0.05
KEPT_RECORDS = 5
_CJK_CHAR = re.compile(f"[{CJK}]")


@lru_cache(maxsize=1)
def _function_words() -> tuple[frozenset[str], frozenset[str]]:
    """(English function words, Chinese function characters folded)."""
    import stopwords  # only an import's mining pays for it

    return (frozenset(stopwords.get_stopwords("english")),
            frozenset(chinese_fold(char) for char in stopwords.get_stopwords("chinese")))


class _Vocabulary:
    """The words of one side as dense ids, the order they were met."""

    def __init__(self) -> None:
        self.ids: dict[object, int] = {}
        self.words: list[object] = []

    def id(self, word: object) -> int:
        found = self.ids.get(word)
        if found is None:
            found = self.ids[word] = len(self.words)
            self.words.append(word)
        return found


class _Corpus:
    """The sentence pairs as word ids, with the record each came from."""

    def __init__(self, table: TermTable):
        self.table = table
        english_stops, chinese_stops = _function_words()
        self._english_stops = english_stops
        self._chinese_stops = {table.word_id(char) for char in chinese_stops} | {-1 - ord(char) for char in chinese_stops}
        self.zh = _Vocabulary()
        self.en = _Vocabulary()
        self.spellings: dict[str, Counter[str]] = {}
        self.pairs: list[tuple[list[int], list[int]]] = []
        self.numbers: list[str] = []
        self.cells = 0

    def add(self, number: str, first: str, second: str, limit: int | None) -> bool:
        """Add a sentence pair from two texts of a record; False once MAX_CELLS is reached."""
        sides = _sides(first, second)
        if sides is None:
            return True
        zh = [self.zh.id(word) for word in self.table.chinese_ids(sides[0]) if word not in self._chinese_stops][:limit]
        words = [word for word in english_words(sides[1]) if word not in self._english_stops and word.isalpha() and len(word) > 1]
        words = words[:limit]
        en = []
        for word, stem in zip(words, stems(words)):
            self.spellings.setdefault(stem, Counter())[word] += 1
            en.append(self.en.id(stem))
        if not zh or not en:
            return True
        cells = len(set(zh)) * len(set(en))
        if self.cells + cells > MAX_CELLS:
            return False
        self.cells += cells
        self.pairs.append((zh, en))
        self.numbers.append(number)
        return True


def _sides(first: str, second: str) -> tuple[str, str] | None:
    """(Chinese, English) of two texts of one record; None unless one is
    Chinese and the other has four times fewer Chinese characters."""
    a, b = len(_CJK_CHAR.findall(first)), len(_CJK_CHAR.findall(second))
    chinese, english = (first, second) if a >= b else (second, first)
    return (chinese, english) if max(a, b) > 0 and 4 * min(a, b) < max(a, b) else None


def mine(store, say: Callable[[str], None] | None = None) -> int:
    """Mine the store's bilingual records and put the pairs in place of its
    stored ones; returns how many pairs were stored. `say` gets the progress
    lines."""
    say = say or (lambda line: None)
    records = iter(store.bilingual_records(MAX_PAIRS))
    first = next(records, None)
    if first is None:
        if store.term_pairs():  # the bilingual records have gone since the last import
            store.replace_term_pairs([])
        return 0
    say(f"正在從中英對照的專利整理詞彙對照表（最新的至多 {MAX_PAIRS:,} 組名稱與摘要）…")
    started = time.monotonic()
    corpus = _Corpus(without_mined(say))
    used = 0
    for record in itertools.chain((first,), records):
        if len(corpus.pairs) >= MAX_PAIRS:
            break
        if not (corpus.add(record.pn, record.title, record.title_alt, None)
                and corpus.add(record.pn, record.abstract, record.abstract_alt, ABSTRACT_WORDS)):
            break
        used += 1
    rows = align(corpus.pairs, len(corpus.zh.words), len(corpus.en.words), ITERATIONS, MIN_COUNT, FLOOR, KEPT_RECORDS)
    pairs: dict[tuple[str, str], TermPair] = {}
    table = corpus.table
    for zh_id, en_id, forward, backward, count, sentences in rows:
        zh = table.chinese_word(corpus.zh.words[zh_id])
        en = corpus.spellings[corpus.en.words[en_id]].most_common(1)[0][0]
        pair = TermPair(zh, en, forward, backward, count, tuple(dict.fromkeys(corpus.numbers[s] for s in sentences)))
        if (zh, en) not in pairs or pairs[zh, en].count < count:
            pairs[zh, en] = pair
    stored = store.replace_term_pairs(sorted(pairs.values()))
    say(f"詞彙對照表：整理出 {stored:,} 組中英詞彙，取自 {used:,} 筆專利的 {len(corpus.pairs):,} 組中英名稱與摘要"
        f"（{time.monotonic() - started:.1f} 秒）")
    return stored


def refresh(store, say: Callable[[str], None] | None = None, changed: bool = True) -> None:
    """mine() at the end of an import (`changed`: records were added or
    updated; else only a collection never mined is mined): a failure is said
    and leaves the stored pairs as they were; the imported records are never touched."""
    try:
        if changed or not store.term_pairs_stamp():
            mine(store, say)
    except StoreError as error:
        if say is not None:
            say(f"詞彙對照表未更新：{error}（已匯入的專利不受影響）")
    except MemoryError:
        if say is not None:
            say(f"詞彙對照表未更新：記憶體不足（已匯入的專利不受影響）；可把 MAX_CELLS（目前 {MAX_CELLS:,}）調小後再匯入")
