"""The bilingual term table: what a Chinese word is in English and the
reverse, from three sources in this order of trust:

1. 詞彙表: the user's glossary (glossary.py). A word it names has the
   glossary's translations only, each with probability 1.0: the user's word
   always wins over the others.
2. 資料庫: the pairs mined from the collection's own bilingual records at the
   end of an import (mining.py, the stores' `term_pairs`), with p(en | zh) or
   p(zh | en) from the alignment, how often they were aligned and a few of
   their publication numbers.
3. 詞典: CC-CEDICT (dictionary.py). A headword's senses share its
   probability evenly (1/n each of its n senses); an English sense's
   headwords share it evenly the other way.

translations() lists the mined pairs best first, then the dictionary's, a
text given by a more trusted source not repeated. Chinese comes out in
Traditional, English in lower case. cut() cuts Chinese by longest match over
the Chinese words of all three sources (a character no word starts with is
a word of its own) and English into words, a run of words that is a phrase
of the table (up to forms.MAX_PHRASE_WORDS) kept whole.
"""

from __future__ import annotations

import bisect
import logging
import re
import weakref
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path

from .. import paths
from .._terms import Lexicon
from ..contract import TermPair
from ..segment import _CJK_RANGES, cjk_folds
from . import glossary as glossaries
from .forms import MAX_PHRASE_WORDS, chinese_fold, chinese_forms, english_key, english_keys, is_chinese, to_traditional

log = logging.getLogger(__name__)
GLOSSARY, MINED, DICTIONARY = "詞彙表", "資料庫", "詞典"  # the sources, in order of trust
_ENGLISH_WORD = re.compile(r"[A-Za-z0-9]+")
_PHRASE_GAP = re.compile(r"[ \-]+")  # what may stand between the words of a phrase


@dataclass(frozen=True)
class Translation:
    text: str  # the word or phrase in the other language (English lower case; Chinese in Traditional)
    probability: float  # p(text | word), 0..1
    source: str  # GLOSSARY, MINED or DICTIONARY
    count: int = 0  # mined pairs: how many aligned occurrences
    records: tuple[str, ...] = ()  # mined pairs: a few source publication numbers


class _NoDictionary:
    senses: dict[str, tuple[str, ...]] = {}
    traditional: dict[str, str] = {}
    headwords: dict[str, tuple[str, ...]] = {}


_NO_DICTIONARY = _NoDictionary()


class _Source:
    """One source's translations both ways: Chinese word -> English, English key -> Chinese."""

    def __init__(self) -> None:
        self.chinese: dict[str, list[Translation]] = {}
        self.english: dict[str, list[Translation]] = {}

    def add(self, forms: Iterable[str], key: str, zh_to_en: Translation, en_to_zh: Translation) -> None:
        """A pair: its Chinese word under each of its forms, its English under its english_key."""
        for form in dict.fromkeys(forms):
            self.chinese.setdefault(form, []).append(zh_to_en)
        if key:
            self.english.setdefault(key, []).append(en_to_zh)

    def sort(self) -> None:
        for listed in (*self.chinese.values(), *self.english.values()):
            listed.sort(key=lambda translation: -translation.probability)


class TermTable:
    def __init__(self, glossary: glossaries.Glossary, pairs: Sequence[TermPair], dictionary) -> None:
        """`dictionary`: a dictionary.Dictionary, None for none."""
        self._dictionary = dictionary or _NO_DICTIONARY
        self._glossary = _Source()
        keys = english_keys(en for _, en in glossary.pairs)
        for (zh, en), key in zip(glossary.pairs, keys):
            traditional = to_traditional()(zh)
            self._glossary.add((zh, traditional), key, Translation(en, 1.0, GLOSSARY), Translation(traditional, 1.0, GLOSSARY))
        self._mined = _Source()
        for pair, key in zip(pairs, english_keys(pair.en for pair in pairs)):
            self._mined.add((pair.zh,), key, Translation(pair.en, pair.forward, MINED, pair.count, pair.records),
                            Translation(pair.zh, pair.backward, MINED, pair.count, pair.records))
        self._mined.sort()
        own = [*self._glossary.chinese, *self._mined.chinese]
        self._folded = _folded_forms(own)
        self._words = sorted({*self._folded, *_dictionary_folds(self._dictionary)})
        self._lexicon = Lexicon(self._words, _CJK_RANGES)

    def translations(self, word: str) -> list[Translation]:
        """The word's translations, best first, sources in trust order:
        Chinese (Traditional or Simplified) -> English, English (any word
        form, or a phrase) -> Chinese. [] for a word the table does not hold."""
        word = word.strip()
        if not word:
            return []
        if is_chinese(word):
            forms = self._chinese_forms(word)
            found = [self._chinese(source, forms) for source in (self._glossary, self._mined)]
            found.append(self._dictionary_english(forms))
        else:
            key = english_key(word)
            found = [source.english.get(key, []) for source in (self._glossary, self._mined)]
            found.append(self._dictionary_chinese(key))
        distinct: dict[str, Translation] = {}  # a text given by a more trusted source or with a higher probability kept
        for translation in found[0] or (*found[1], *found[2]):
            distinct.setdefault(translation.text, translation)
        return list(distinct.values())

    def cut(self, text: str) -> list[tuple[int, int, str]]:
        """(start, end, word) of the text's words, in order: Chinese by longest
        match over the table's Chinese words, English words (a phrase of the
        table as one)."""
        spans = [(start, end, text[start:end]) for start, end, _ in self._lexicon.cut(text.translate(cjk_folds()))]
        words = list(_ENGLISH_WORD.finditer(text))
        keys = english_keys(match[0] for match in words)
        at = 0
        while at < len(words):
            length = self._phrase_length(words, keys, at)
            spans.append((words[at].start(), words[at + length - 1].end(), text[words[at].start():words[at + length - 1].end()]))
            at += length
        return sorted(spans)

    # --- for mining -----------------------------------------------------

    def chinese_ids(self, text: str) -> list[int]:
        """The ids of the text's Chinese words (cut() by longest match): a
        word of the table's index in its list, or -1 - c for a lone character c."""
        return self._lexicon.ids(text.translate(cjk_folds()))

    def word_id(self, word: str) -> int | None:
        """The chinese_ids() id of a Chinese word the table holds."""
        folded = chinese_fold(word)
        at = bisect.bisect_left(self._words, folded)
        return at if at < len(self._words) and self._words[at] == folded else None

    def chinese_word(self, word_id: int) -> str:
        """The Traditional form of a chinese_ids() id."""
        if word_id < 0:
            return to_traditional()(chr(-1 - word_id))
        folded = self._words[word_id]
        forms = self._folded.get(folded) or _dictionary_folds(self._dictionary).get(folded) or (folded,)
        return to_traditional()(forms[0])

    # --- looking up -----------------------------------------------------

    def _chinese_forms(self, word: str) -> list[str]:
        """The word as written and in Traditional; if no source holds either,
        the words every source holds that fold to the same characters."""
        forms = chinese_forms(word)
        sources = (self._glossary.chinese, self._mined.chinese, self._dictionary.senses)
        if any(form in source for form in forms for source in sources):
            return forms
        folded = chinese_fold(word)
        return [*self._folded.get(folded, ()), *_dictionary_folds(self._dictionary).get(folded, ())]

    @staticmethod
    def _chinese(source: _Source, forms: Iterable[str]) -> list[Translation]:
        return [t for form in forms for t in source.chinese.get(form, ())]

    def _dictionary_english(self, forms: Iterable[str]) -> list[Translation]:
        found: list[Translation] = []
        for form in forms:
            senses = self._dictionary.senses.get(form, ())
            found += (Translation(sense, 1 / len(senses), DICTIONARY) for sense in senses)
        return found

    def _dictionary_chinese(self, key: str) -> list[Translation]:
        headwords = self._dictionary.headwords.get(key, ())
        return [Translation(headword, 1 / len(headwords), DICTIONARY) for headword in headwords]

    def _phrase_length(self, words: list[re.Match[str]], keys: list[str], at: int) -> int:
        """The number of words from `at` that make the longest phrase of the table (1 if none)."""
        longest = 1
        for length in range(2, MAX_PHRASE_WORDS + 1):
            end = at + length
            if end > len(words) or not _PHRASE_GAP.fullmatch(words[end - 2].string, words[end - 2].end(), words[end - 1].start()):
                break
            key = " ".join(keys[at:end])
            if key in self._glossary.english or key in self._mined.english or key in self._dictionary.headwords:
                longest = length
        return longest


def _folded_forms(words: Iterable[str]) -> dict[str, tuple[str, ...]]:
    """Folded form -> the words folding to it (words without white space)."""
    words = list(dict.fromkeys(words))
    folded: dict[str, tuple[str, ...]] = {}
    for word, key in zip(words, "\n".join(words).translate(cjk_folds()).split("\n")):
        folded[key] = (*folded.get(key, ()), word)
    return folded


@lru_cache(maxsize=2)
def _dictionary_folds(dictionary) -> dict[str, tuple[str, ...]]:
    """The dictionary's headwords by folded form (Traditional ones first)."""
    return _folded_forms(sorted(dictionary.senses, key=lambda headword: dictionary.traditional[headword] != headword))


# --- loading ---------------------------------------------------------------------

_tables: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()  # store -> (state, table)
_glossary_read: list[tuple[object, glossaries.Glossary]] = []  # the glossary last read, with the state of its file


def load(store, say: Callable[[str], None] | None = None) -> TermTable:
    """The term table of a store (one with term_pairs() and term_pairs_stamp()),
    made again only once the glossary file or the store's mined pairs
    changed; `say` gets the glossary's problems once per change of the file."""
    path = paths.glossary_path()
    state = (_file_state(path), store.term_pairs_stamp())
    cached = _tables.get(store)
    if cached is not None and cached[0] == state:
        return cached[1]
    table = TermTable(_glossary(path, state[0], say), store.term_pairs(), _cedict(say))
    _tables[store] = (state, table)
    return table


def without_mined(say: Callable[[str], None] | None = None) -> TermTable:
    """The glossary's and the dictionary's table: what mining cuts Chinese with."""
    path = paths.glossary_path()
    return TermTable(_glossary(path, _file_state(path), say), (), _cedict(say))


def _cedict(say: Callable[[str], None] | None):
    """CC-CEDICT; an empty dictionary, said, when its data file cannot be read (a broken install)."""
    from .dictionary import UNREADABLE, dictionary  # read only by the processes that look words up

    try:
        return dictionary()
    except UNREADABLE as error:
        log.warning("the dictionary cannot be read", exc_info=True)
        if say is not None:
            say(f"注意：通用中英詞典無法讀取（{type(error).__name__}: {error}），這次只用詞彙表與資料庫整理出的詞彙；請重新安裝本程式")
        return None


def _file_state(path: Path) -> object:
    try:
        stat = path.stat()
    except FileNotFoundError:
        return None
    except OSError as error:
        return repr(error)
    return stat.st_mtime_ns, stat.st_size


def _glossary(path: Path, state: object, say: Callable[[str], None] | None) -> glossaries.Glossary:
    if _glossary_read and _glossary_read[0][0] == (path, state):
        return _glossary_read[0][1]
    glossary = glossaries.read(path)
    _glossary_read[:] = [((path, state), glossary)]
    if say is not None:
        for problem in glossary.problems:
            say(problem)
    return glossary
