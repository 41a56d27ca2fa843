"""TR(…): each word written inside searched together with its translations.

A step of the search (pipeline.py) taken before expand.py, so that the word
forms and patterns of the translations are found as those of any word. For
every word or quoted phrase marked by TR (query.Term.translate) the term
table (varnel_host.terms: the user's glossary 詞彙表, pairs mined from the
collection 資料庫, CC-CEDICT 詞典) gives its translations, Chinese to English
and English to Chinese, best first; the word becomes a query.Translated
group, itself OR its translations, ranked as one term (query_plan.ranking). A side of NEAR/ADJ
stays one flat OR of words.

- A translation is kept when the collection holds each of its tokens in
  title, abstract or claims (similar.document_frequencies, the same counts on
  both stores); one the collection lacks could find nothing and is left
  out, counted in the log. A phrase whose tokens are all there is kept even
  if they never stand together (it then finds nothing more).
- At most MAX_TRANSLATIONS are kept per word, from its first CANDIDATES.
  A translation of one Chinese character is left out: it would find every
  word that character starts.
- Only words searched in title, abstract or claims are translated, their
  translations in the word's own fields (a proximity holds inside one
  field); a word searched in none of them (PA=, IC=) stays as it is, and so
  does a wildcard pattern (bat?ery). A Simplified Chinese word is looked up
  in Traditional Chinese when the table has nothing for it as written.
- A truncated English word (batter*) is translated through the collection's
  words it stands for (the first TRUNCATED_WORDS of them, from the
  vocabulary); a truncated Chinese word through itself.
- A word without any translation stays itself; the log says so and, where the
  table cuts it into words, how to translate them one by one.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Protocol

from .contract import Cancelled
from .expand import Vocabulary, to_traditional, word_forms
from .query import MAX_WORDS, And, Near, Node, Not, Or, Query, QueryError, Term, Translated, parse
from .records import DEFAULT_FIELDS, FIELDS
from .segment import CJK, fold_word, search_tokens
from .similar import SEARCHED_FIELDS

MAX_TRANSLATIONS = 5  # translations kept per word, best first
CANDIDATES = 12  # translations per word looked at (each counted on the collection)
TRUNCATED_WORDS = 20  # collection words a truncated word is translated through
SHOWN_LEFT_OUT = 5  # translations left out that a log line names
_CJK_CHAR = re.compile(f"[{CJK}]")


class Entry(Protocol):
    """One translation of the term table (varnel_host.terms.Translation)."""

    text: str
    probability: float
    source: str
    count: int


class TermTable(Protocol):
    """What this step uses of the term table (varnel_host.terms.TermTable)."""

    def translations(self, word: str) -> Sequence[Entry]: ...

    def cut(self, text: str) -> list[tuple[int, int, str]]: ...


def _load(store, say: Callable[[str], None]) -> TermTable:
    from .terms import load  # the dictionary: loaded in the worker, by the first command holding TR

    return load(store, say)


@dataclass(frozen=True)
class Loaded:
    """A store's term table as this search reads it, and what its loading had
    to say (a glossary line it passed over, an unreadable dictionary)."""

    table: TermTable
    notes: tuple[str, ...] = ()


# Makes a store's term table (terms.load keeps it while the glossary file and
# the store's mined pairs stay as they were); tests put a small table of their own here.
loader: Callable[[object, Callable[[str], None]], TermTable] = _load


def table_of(store) -> Loaded:
    """The store's term table as it stands now."""
    notes: list[str] = []
    table = loader(store, notes.append)
    return Loaded(table, tuple(notes))


def wanted(query: Query) -> bool:
    """Whether the command holds a word written inside TR(…)."""
    return any(term.translate for term in query.terms())


@dataclass(frozen=True)
class Outcome:
    """The command with each TR word replaced by its group, and the log box's lines on it."""

    query: Query
    lines: tuple[str, ...]


@dataclass
class _Word:
    """One word written inside TR: what it was looked up through, its translations."""

    shown: str  # as written, with a truncation's words
    candidates: dict[tuple[str, ...], _Candidate] = field(default_factory=dict)  # by tokens
    kept: list[_Candidate] = field(default_factory=list)
    absent: list[str] = field(default_factory=list)
    hint: str = ""  # how to translate it word by word, when it has no translation


@dataclass
class _Candidate:
    text: str
    sources: dict[str, int] = field(default_factory=dict)  # source -> its count (records it was mined from)

    def shown(self) -> str:
        said = "、".join(f"{source} {count:,} 筆" if count else source for source, count in self.sources.items())
        return f"{self.text}（{said}）"


def translate(
    query: Query,
    table: TermTable,
    vocabulary: Vocabulary,
    frequencies: Callable[[Sequence[str]], Mapping[str, int]],
    cancel: Callable[[], bool] | None = None,
    notes: Sequence[str] = (),
) -> Outcome:
    """`query` with each word marked by TR replaced by its group;
    `frequencies(tokens)` counts the records holding each token in title,
    abstract or claims; `notes` (the table's loading) go first among the
    lines. QueryError when the command would hold more than
    query.MAX_WORDS words; Cancelled once cancel() returns True."""
    words: dict[tuple[str, bool, bool], _Word] = {}
    untouched: dict[str, str] = {}  # word -> why it is not translated
    for term in dict.fromkeys(t for t in query.terms() if t.translate):
        if cancel is not None and cancel():
            raise Cancelled
        if why := _untranslated(term):
            untouched.setdefault(term.word, why)
        elif (key := _key(term)) not in words:
            words[key] = _looked_up(term, table, vocabulary)
    _keep_present(list(words.values()), frequencies, lambda word: word_forms(word, vocabulary))
    root = _rebuilt(query.root, words)
    translated = replace(query, root=root)
    if len(translated.words()) > MAX_WORDS:
        raise QueryError(
            f"翻譯後共有 {len(translated.words())} 個不同的檢索詞，上限 {MAX_WORDS} 個；請少放幾個詞在 TR( ) 裡，或分成幾次檢索", 1
        )
    return Outcome(translated, (*notes, *_lines(words.values(), untouched)))


def _untranslated(term: Term) -> str:
    """Why a word inside TR stays as it is ("" when it is translated)."""
    if term.wildcard:
        return "萬用字元不翻譯"
    if not set(term.fields) & set(SEARCHED_FIELDS):
        return f"{_captions(term.fields)}中的詞不翻譯"
    return ""


def _key(term: Term) -> tuple[str, bool, bool]:
    return term.text, term.truncated, term.phrase


def _looked_up(term: Term, table: TermTable, vocabulary: Vocabulary) -> _Word:
    """The word's translations from the table, best first, with their sources."""
    own = search_tokens(term.text)[0]
    looked = [term.text]
    shown = term.word
    if term.truncated and not _CJK_CHAR.search(term.text):
        found = [token for token in vocabulary.tokens(fold_word(term.text), TRUNCATED_WORDS + 1) if token.isalnum()]
        looked = found[:TRUNCATED_WORDS] or looked
        more = "等" if len(found) > TRUNCATED_WORDS else ""
        shown = f"{term.word}（依資料庫中的 {'、'.join(looked)}{more}）" if found else shown
    word = _Word(shown)
    for text in looked:
        entries = table.translations(text.lower())
        if not entries and (traditional := to_traditional()(text)) != text:
            entries = table.translations(traditional)
        for entry in entries:
            tokens, prefix = search_tokens(entry.text)
            if '"' in entry.text or not tokens or prefix or tokens == own:
                continue  # nothing to search, one Chinese character (too broad), or the word itself
            if tokens not in word.candidates:
                if len(word.candidates) >= CANDIDATES:
                    continue
                word.candidates[tokens] = _Candidate(entry.text.strip())
            sources = word.candidates[tokens].sources
            sources[entry.source] = max(sources.get(entry.source, 0), entry.count)
    if not word.candidates:  # the table's words in it, where each of them has translations
        pieces = [piece for _, _, piece in table.cut(term.text)]
        if len(pieces) > 1 and all(map(table.translations, pieces)):
            word.hint = f"可逐詞翻譯：TR({' '.join(pieces)})"
    return word


def _keep_present(
    words: Sequence[_Word],
    frequencies: Callable[[Sequence[str]], Mapping[str, int]],
    forms: Callable[[str], Sequence[str]],
) -> None:
    """Keep, per word, its first MAX_TRANSLATIONS candidates whose every token
    the collection holds; a one-word English candidate is held where any of
    its word forms is (virus: viruses), which the search then finds by it."""
    keys = [key for word in words for key in word.candidates]
    variants = {key: [key[0], *forms(key[0])] if len(key) == 1 and key[0].isascii() else [] for key in keys}
    tokens = sorted({token for key in keys for token in (*key, *variants[key])})
    counts = frequencies(tokens) if tokens else {}
    for word in words:
        for key, candidate in word.candidates.items():
            held = any(counts.get(token, 0) for token in variants[key]) or all(counts.get(token, 0) for token in key)
            if not held:
                word.absent.append(candidate.text)
            elif len(word.kept) < MAX_TRANSLATIONS:
                word.kept.append(candidate)


def _rebuilt(node: Node, words: Mapping[tuple[str, bool, bool], _Word]) -> Node:
    if isinstance(node, Term):
        if not node.translate:
            return node
        return _group(node, None if _untranslated(node) else words[_key(node)])
    if isinstance(node, Not):
        return Not(_rebuilt(node.item, words))
    if isinstance(node, Near):
        return replace(node, left=_flat(_rebuilt(node.left, words)), right=_flat(_rebuilt(node.right, words)))
    if isinstance(node, (And, Or)):
        return replace(node, items=tuple(_rebuilt(item, words) for item in node.items))
    return node


def _group(term: Term, word: _Word | None) -> Node:
    own = replace(term, translate=False)
    if word is None or not word.kept:
        return own
    others = (Term(candidate.text, term.fields, phrase=not _plain(candidate.text)) for candidate in word.kept)
    return Translated((own, *others), word=term.word)


def _flat(side: Node) -> Node:
    """A proximity's side as one flat OR of words (a single group is one already)."""
    if type(side) is not Or:
        return side
    items = tuple(dict.fromkeys(part for item in side.items for part in (item.items if isinstance(item, Or) else (item,))))
    return items[0] if len(items) == 1 else Or(items)


def _plain(text: str) -> bool:
    """Whether `text` reads back as one word of its own (else it is searched as a quoted phrase)."""
    try:
        return parse(text).root == Term(text, DEFAULT_FIELDS)
    except QueryError:
        return False


def _captions(fields: tuple[str, ...]) -> str:
    """The fields' captions for a sentence, a Latin one set off by a space."""
    said = "、".join(FIELDS[code][1] for code in fields)
    return said + " " if said[-1].isascii() else said


def _lines(words: Iterable[_Word], untouched: Mapping[str, str]) -> tuple[str, ...]:
    """The log box's lines: each word's translations with their sources, the
    translations the collection lacks, the words left as they are."""
    lines = []
    bare = []
    for word in words:
        left_out = ""
        if word.absent:
            named = "、".join(word.absent[:SHOWN_LEFT_OUT]) + ("…" if len(word.absent) > SHOWN_LEFT_OUT else "")
            left_out = f"；資料庫中沒有而未採用的 {len(word.absent)} 個：{named}"
        if word.kept:
            lines.append(f"翻譯：{word.shown} → {'、'.join(candidate.shown() for candidate in word.kept)}{left_out}")
        elif word.absent:
            lines.append(f"翻譯：「{word.shown}」的譯詞資料庫中都沒有，只檢索原詞{left_out}")
        else:
            bare.append(f"{word.shown}（{word.hint}）" if word.hint else word.shown)
    if bare:
        lines.append(f"翻譯：沒有譯詞，只檢索原詞：{'、'.join(bare)}")
    for reason in dict.fromkeys(untouched.values()):
        lines.append(f"翻譯：{reason}，只檢索原詞：{'、'.join(w for w, why in untouched.items() if why == reason)}")
    return tuple(lines)
