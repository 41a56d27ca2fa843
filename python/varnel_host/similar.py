"""Similarity search: the collection ranked by closeness to a description
(SIM="…") or to a stored patent (SIM=<publication number>).

Closeness is lexical and explainable. The text is cut into the index's own
tokens (segment.py: CJK bigrams, Latin words), each token weighted by how
often the text uses it and how rare it is in the collection (its document
frequency, counted in the full-text index itself):
weight = (1 + ln tf) × ln(N / df). Function words (English ones, Chinese
particles) never take part, by the stop lists of the `stopwords` package
(function_words()): in a small collection they can be rare. Tokens found in
more than COMMON_SHARE of the records say nothing about any one patent
either and are dropped, whatever they are (boilerplate such as 一種). The
MAX_TERMS heaviest tokens form one OR over title, abstract and claims,
ranked by the store's bm25. The store supplies the counts, the source text
and its own form of that query (Collection): the choice of words is the
same on every store.

A SIM= crosses languages when a term table (varnel_host.terms, TermTable
here) is at hand: the text is cut into words by the table (Chinese by its
longest match, English words), the TRANSLATED_WORDS most distinctive of them
are looked up, and of each word's likeliest CANDIDATES translations the
TRANSLATIONS likeliest found in the collection (every token of theirs held by
some record) add their own tokens: a Chinese translation its bigrams, an
English phrase (gas turbine) each of its content words. A translated token
weighs what it would if the text used the translation as often as the word,
times the translation's probability: (1 + ln tf(word)) × ln(N / df(token))
× p(translation | word). The word's own document frequency does not enter:
in a collection of the other language it is 0. The text's own tokens and the
translated ones each have half of MAX_TERMS, a side that needs fewer leaving
the rest to the other, so a long Chinese text still ranks English records by
English words. The ranking stays the stores' plain bm25 OR of the chosen
tokens (FTS5's bm25 weighs columns, not phrases): the weights decide which
tokens take part. SIM1= keeps to the text's own tokens.

The chosen tokens are shown as words: tokens whose places in the text
overlap (the bigrams 固態 態電 電池 of 固態電池) join into the text's own
wording, so a hit's shared words read 固態電池、防爆閥 rather than bigrams; a
word whose translation took part reads 電解質 ≈ electrolyte (CROSSING), the
translation as far as the hit holds it. marking.py finds the same tokens in
any text.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Callable, Iterable, Mapping, Sequence, Set
from dataclasses import dataclass, field
from functools import cache
from typing import Protocol

from . import pn
from .marking import CROSSING, Span, merged, runs, text_tokens
from .query import Query, QueryError, Similar
from .records import DEFAULT_FIELDS

MAX_TERMS = 32  # tokens of a description that take part in the ranking
COMMON_SHARE = 0.1  # a token in more than this share of the records is stop-like
FALLBACK_TERMS = 3  # when every token is stop-like: the rarest few still rank
SAMPLE_RECORDS = 50_000  # document frequencies of common tokens: counted among this many records
SAMPLE_FLOOR = 50  # a token found fewer times there is counted in every record
SEARCHED_FIELDS = DEFAULT_FIELDS  # title, abstract and claims, in every language a record has them
# A stored patent's texts a SIM=<number> compares with (source_text()).
SOURCE_ATTRIBUTES = ("title", "abstract", "claims", "title_alt", "abstract_alt")
TRANSLATED_WORDS = MAX_TERMS  # words of a text whose translations are looked up, the most distinctive
CANDIDATES = 6  # translations of a word looked up in the collection, likeliest first
TRANSLATIONS = 3  # of those the collection holds, the likeliest that take part


# The characters of the package's Chinese list that bind words rather than
# form them: particles, conjunctions, pronouns, demonstratives, the copula,
# the commonest prepositions. The index has no Chinese words, only bigrams:
# a particle lies inside the bigrams on either side of it (池的 的外 of
# 電池的外殼), so a bigram holding one is dropped, and with it the function
# phrases 所述 其中 以及 該等 (the bigram beside such a phrase, 述隔 of
# 所述隔膜, is dropped where the phrase is common in the collection). The
# list's characters that also begin or end technical words are left out
# (並 of 並聯, 和 of 飽和, 由 of 自由, 向 of 方向, 被 of 被動, 却 of 冷卻).
_BINDING = "的之了及與或而且也亦又若雖仍其該此這某他它她我你您們所於以為是在"


@cache
def function_words() -> tuple[frozenset[str], frozenset[str]]:
    """(English function words, Chinese function characters) as index
    tokens, read once from the `stopwords` package. Its English list holds
    closed-class words only (articles, prepositions, conjunctions, pronouns,
    auxiliaries), none a patent's content word. English and Chinese only:
    other languages' function words are English content words (German die)."""
    import stopwords  # the worker's first similarity search pays for it

    english = (text_tokens(word) for word in stopwords.get_stopwords("english"))
    listed = {span.token for char in stopwords.get_stopwords("chinese") for span in text_tokens(char)}
    binding = {span.token for char in _BINDING for span in text_tokens(char)}
    # "can't" is two tokens (can, t), neither a function word alone
    return frozenset(tokens[0].token for tokens in english if len(tokens) == 1), frozenset(binding & listed)


def _distinctive(span: Span) -> bool:
    """Bigrams and Latin words of two or more characters that are no function
    words; a run's closing character (a token of one CJK character, a
    particle such as 的 among them) means nothing alone."""
    english, particles = function_words()
    return len(span.token) >= 2 and span.token not in english and particles.isdisjoint(span.token)


class Translation(Protocol):
    """A word's translation in the collection's other language."""

    @property
    def text(self) -> str: ...  # the word or phrase (English lower case, Chinese Traditional)

    @property
    def probability(self) -> float: ...  # p(text | word), 0..1


class TermTable(Protocol):
    """Translations between Chinese and English (varnel_host.terms)."""

    def translations(self, word: str) -> Sequence[Translation]:
        """The word's translations, likeliest first."""

    def cut(self, text: str) -> Sequence[tuple[int, int, str]]:
        """(start, end, word) of the words of `text`: Chinese by the
        table's longest match, English words."""


@dataclass(frozen=True)
class Crossing:
    """Chosen tokens of a translation of a word of the text: the word's first
    place and wording in the text, the translation, its chosen tokens."""

    start: int
    word: str
    translation: str
    tokens: tuple[str, ...]

    def wording(self, having: Set[str] | None) -> str:
        """The translation as far as its chosen tokens (those in `having`, when given) reach."""
        chosen = [token for token in self.tokens if having is None or token in having]
        spans = text_tokens(self.translation)
        held = [s for s in spans if s.token in chosen]
        written = " ".join(word for word, _ in merged(held, self.translation))
        forms = [token for token in chosen if token not in {s.token for s in spans}]  # particles of "particle"
        return "/".join(([written] if written else []) + forms)


@dataclass(frozen=True)
class Selection:
    """The tokens chosen from a text, heaviest first, and where they lie in
    it; the tokens chosen from translations of its words, by crossing."""

    text: str
    tokens: tuple[str, ...]
    spans: tuple[Span, ...]  # the chosen tokens' places, text order
    crossings: tuple[Crossing, ...] = ()

    @property
    def words(self) -> tuple[str, ...]:
        return self._shown(None)

    def shared(self, tokens: Iterable[str]) -> tuple[str, ...]:
        """The text's wording of the chosen tokens a hit shares."""
        return self._shown(set(tokens))

    def _shown(self, having: Set[str] | None) -> tuple[str, ...]:
        """The words of the chosen tokens (those in `having`, when given), in
        text order, each once: the text's own wording, and a word whose
        translations took part with them (電解質 ≈ electrolyte/electrolytic)."""
        placed: dict[str, int] = {}
        for start, end, _ in runs(self.spans if having is None else (s for s in self.spans if s.token in having)):
            placed.setdefault(self.text[start:end], start)
        crossed: dict[str, list[str]] = {}
        for crossing in self.crossings:
            if wording := crossing.wording(having):
                crossed.setdefault(crossing.word, []).append(wording)
                placed.setdefault(crossing.word, crossing.start)
        ordered = sorted(placed, key=placed.__getitem__)
        return tuple(word + CROSSING + "/".join(dict.fromkeys(crossed[word])) if word in crossed else word for word in ordered)


def _content(text: str) -> list[str]:
    """The distinct distinctive tokens of a text, in text order."""
    return list(dict.fromkeys(span.token for span in text_tokens(text) if _distinctive(span)))


def select(
    text: str,
    frequencies: Callable[[Sequence[str]], Mapping[str, int]],
    records: int,
    limit: int = MAX_TERMS,
    table: TermTable | None = None,
    forms: Callable[[str], Sequence[str]] | None = None,
) -> Selection:
    """The distinctive tokens of `text` by the collection's own statistics:
    `frequencies(tokens)` gives each token's document frequency among
    `records` records; with `table`, the tokens of its words' translations
    too, an English one-word translation with the collection's other forms
    of it (`forms`: battery, batteries)."""
    spans = [span for span in text_tokens(text) if _distinctive(span)]
    counts = Counter(span.token for span in spans)
    counted = frequencies(list(counts))
    found = {token: df for token, df in counted.items() if df > 0}
    ceiling = COMMON_SHARE * records
    common = {token for token, df in found.items() if df > ceiling}
    # A CJK bigram that overlaps a stop-like one in the text (種全 of 一種全固態,
    # 池具 of 電池具有) straddles the edge of a common word: it says little and
    # reads as half a word. A token is kept where it stands clear at least once.
    starts = {(span.start, span.end - span.start): span.token for span in spans}
    clear = {
        span.token
        for span in spans
        if span.end - span.start != 2
        or not (starts.get((span.start - 1, 2)) in common or starts.get((span.start + 1, 2)) in common)
    }
    weights = {
        token: (1 + math.log(counts[token])) * math.log(records / df)
        for token, df in found.items()
        if df <= ceiling and token in clear
    }
    crossed = _Translated.of(text, table, frequencies, records, counted, forms) if table is not None and records else _Translated()
    own = sorted(weights, key=lambda token: (-weights[token], token))
    other = sorted(crossed.weights, key=lambda token: (-crossed.weights[token], token))
    own = own[: max(limit // 2, limit - len(other))]  # each side half, or what the other leaves
    weights.update(crossed.weights)
    chosen = sorted(own + other[: limit - len(own)], key=lambda token: (-weights[token], token))
    if not chosen:  # every token is stop-like: the rarest still tell something
        found.update(crossed.found)
        chosen = sorted(found, key=lambda token: (found[token], token))[:FALLBACK_TERMS]
    keep = set(chosen)
    origins = {token: crossed.origins[token] for token in chosen if token in crossed.origins}
    crossings = tuple(
        Crossing(*origin, tuple(token for token in chosen if origins.get(token) == origin))
        for origin in dict.fromkeys(origins.values())
    )
    return Selection(text, tuple(chosen), tuple(span for span in spans if span.token in keep), crossings)


@dataclass(frozen=True)
class _Translated:
    """The tokens of the translations of a text's words that it does not hold
    itself: the weights of those not stop-like, where each came from (its
    word's first place and wording, the translation), the document
    frequencies of all."""

    weights: Mapping[str, float] = field(default_factory=dict)
    origins: Mapping[str, tuple[int, str, str]] = field(default_factory=dict)
    found: Mapping[str, int] = field(default_factory=dict)

    @classmethod
    def of(
        cls,
        text: str,
        table: TermTable,
        frequencies: Callable[[Sequence[str]], Mapping[str, int]],
        records: int,
        own: Mapping[str, int],
        forms: Callable[[str], Sequence[str]] | None = None,
    ) -> _Translated:
        """`own`: the document frequency of each of the text's own tokens;
        `forms(word)`: the collection's other forms of an English word."""
        ceiling = COMMON_SHARE * records
        uses: Counter[str] = Counter()
        places: dict[str, tuple[int, str]] = {}
        tokens_of: dict[str, list[str]] = {}
        for start, end, word in table.cut(text):
            key = word.lower()
            if tokens := tokens_of.get(key) or _content(word):
                uses[key] += 1
                places.setdefault(key, (start, text[start:end]))
                tokens_of[key] = tokens

        def rarity(word: str) -> float:  # a token the collection lacks counts as in one record
            return (1 + math.log(uses[word])) * max(math.log(records / max(own.get(t, 0), 1)) for t in tokens_of[word])

        # a word common in its own language may be rare in the other's: its
        # translations' own counts decide whether they are stop-like
        words = sorted(uses, key=lambda word: (-rarity(word), places[word][0]))[:TRANSLATED_WORDS]
        offered = {word: [(t, _content(t.text)) for t in table.translations(word)[:CANDIDATES]] for word in words}
        if forms is not None:  # a one-word English translation stands for its word forms (particle: particles)
            offered = {
                word: [(t, [*tokens, *forms(tokens[0])] if len(tokens) == 1 and tokens[0].isascii() else tokens) for t, tokens in pairs]
                for word, pairs in offered.items()
            }
        asked = sorted({token for pairs in offered.values() for _, tokens in pairs for token in tokens if token not in own})
        dfs = {token: df for token, df in frequencies(asked).items() if df > 0} if asked else {}
        held = {**{t: df for t, df in own.items() if df > 0}, **dfs}
        best: dict[str, tuple[float, tuple[int, str, str]]] = {}
        for word in words:
            start, wording = places[word]
            present = [(t, tokens) for t, tokens in offered[word] if _held(t, tokens, held)]
            for translation, tokens in present[:TRANSLATIONS]:
                for token in tokens:
                    if token in own or token not in held:  # the text's own token weighs as the text uses it
                        continue
                    weight = (1 + math.log(uses[word])) * math.log(records / dfs[token]) * translation.probability
                    if token not in best or weight > best[token][0]:
                        best[token] = (weight, (start, wording, translation.text))
        return cls(
            {token: weight for token, (weight, _) in best.items() if dfs[token] <= ceiling and weight > 0},
            {token: origin for token, (_, origin) in best.items()},
            {token: dfs[token] for token in best},
        )


def _held(translation: Translation, tokens: Sequence[str], held: Mapping[str, int]) -> bool:
    """Whether the collection holds a translation: every token of it, or for
    one English word, any of its forms (its tokens after the first)."""
    if not tokens:
        return False
    if len(_content(translation.text)) == 1:
        return any(token in held for token in tokens)
    return all(token in held for token in tokens)


class Collection(Protocol):
    """What a store gives the similarity search: counts, source texts and its
    own compiled form of the ranking. Record ids rise in order of first import."""

    def id_range(self) -> tuple[int, int]:
        """The lowest and highest record id (0, 0 when empty)."""

    def records_through(self, last_id: int) -> int:
        """How many records have an id up to `last_id`."""

    def token_hits(self, tokens: Sequence[str], last_id: int | None) -> list[int]:
        """How many records (with an id up to `last_id`, if given) hold each
        token in title, abstract or claims."""

    def source(self, parts: pn.Parts) -> list[tuple[int, str]]:
        """(id, source_text()) of the records with that publication number, in id order."""

    def compile(self, tokens: Sequence[str], filters: Query | None, excluded: Sequence[int]) -> object:
        """The store's query ranking by the OR of `tokens` over SEARCHED_FIELDS
        (None when there are no tokens: nothing is found), keeping the records
        `filters` finds, leaving out `excluded`."""


def source_text(texts: Sequence[str]) -> str:
    """A stored patent's text for SIM=<number>, from its SOURCE_ATTRIBUTES:
    title, abstract and claims, then the title and abstract in its other
    languages where it has them."""
    return "\n".join((*texts[:3], *(text for text in texts[3:] if text)))


class RecordIds:
    """id_range() and records_through() of a Collection, for a store whose
    `records` table has an integer `id`, read through a DB-API connection
    whose parameter marker is MARK."""

    MARK = "?"

    def __init__(self, db):
        self._db = db

    def id_range(self) -> tuple[int, int]:
        low, high = self._db.execute("SELECT coalesce(min(id), 0), coalesce(max(id), 0) FROM records").fetchone()
        return low, high

    def records_through(self, last_id: int) -> int:
        return self._db.execute(f"SELECT count(*) FROM records WHERE id <= {self.MARK}", (last_id,)).fetchone()[0]


def document_frequencies(collection: Collection, tokens: Sequence[str], records: int) -> dict[str, int]:
    """How many records hold each token in title, abstract or claims. In a
    large collection a common token is counted among the first SAMPLE_RECORDS
    records only (by id) and scaled up (the count costs as many steps as the
    records it finds); a token rare there is counted everywhere, which is
    cheap because it is rare. Below 2 × SAMPLE_RECORDS every count is exact."""
    if records <= 2 * SAMPLE_RECORDS:
        return dict(zip(tokens, collection.token_hits(tokens, None)))
    low, high = collection.id_range()
    bound = low + (high - low) * SAMPLE_RECORDS // records
    sampled = collection.records_through(bound)
    found = dict(zip(tokens, collection.token_hits(tokens, bound)))
    rare = [token for token in tokens if found[token] < SAMPLE_FLOOR]
    exact = dict(zip(rare, collection.token_hits(rare, None)))
    return {token: exact[token] if token in exact else round(found[token] * records / max(sampled, 1)) for token in tokens}


@dataclass(frozen=True)
class Plan:
    """How the store runs a command holding SIM=: what ranks (`compiled`,
    the store's own form), what filters."""

    selection: Selection
    compiled: object
    filters: Query | None

    @property
    def words(self) -> tuple[str, ...]:
        return self.selection.words + (self.filters.words() if self.filters else ())

    @property
    def compared(self) -> tuple[str, ...]:
        """The words the text is compared by, translations shown (電解質 ≈ electrolyte)."""
        return self.selection.words


def plan(
    collection: Collection,
    query: Query,
    records: int,
    table: TermTable | None = None,
    forms: Callable[[str], Sequence[str]] | None = None,
) -> Plan:
    """The ranking of a command with SIM=, its words' translations in
    `table` (with their word forms, `forms`) taking part unless the command
    is SIM1=; QueryError for a publication number that is not in the collection."""
    similar = query.similar()
    assert similar is not None
    text, excluded = _source(collection, similar)
    if not any(_distinctive(span) for span in text_tokens(text)):
        raise QueryError(
            f"{similar.code}= 的文字中沒有可比較的詞（至少要有兩個相連的中文字或一個英文詞，「的」「with」等虛詞不算）", similar.position, text[:20]
        )
    selection = select(
        text, lambda tokens: document_frequencies(collection, tokens, records), records, table=table if similar.crossing else None, forms=forms
    )
    filters = query.filters()
    return Plan(selection, collection.compile(selection.tokens, filters, excluded), filters)


def _source(collection: Collection, similar: Similar) -> tuple[str, tuple[int, ...]]:
    """The text to compare with, and the records to leave out (the patent itself)."""
    if not similar.number:
        return similar.text, ()
    parts = pn.query_parts(similar.number)
    assert parts is not None  # the parser refused anything else
    rows = collection.source(parts)
    if not rows:
        raise QueryError(f"資料庫中沒有公開公告號「{similar.number}」的專利", similar.position, similar.number)
    return rows[0][1], tuple(record_id for record_id, _ in rows)


def shared_words(selection: Selection) -> Callable[[int], tuple[str, ...]]:
    """A hit's bit mask of the chosen tokens it holds (bit i: selection.tokens[i])
    -> the words it shares with the text."""
    shown: dict[int, tuple[str, ...]] = {}

    def shared(mask: int) -> tuple[str, ...]:
        words = shown.get(mask)
        if words is None:
            words = shown[mask] = selection.shared(t for bit, t in enumerate(selection.tokens) if mask >> bit & 1)
        return words

    return shared


def matcher(
    plan: Plan,
    occurrences: Callable[[Sequence[str]], dict[int, int]],
    filtered: Callable[[int, str], tuple[str, ...]] | None,
) -> Callable[[int, str], tuple[str, ...]]:
    """(id, pn) -> the words a hit shares with the text, then the filter
    words it contains (`filtered`, the store's matcher of the filters);
    `occurrences(tokens)` gives id -> bit mask of the tokens it holds."""
    masks = occurrences(plan.selection.tokens)
    shared = shared_words(plan.selection)

    def matched(record_id: int, number: str) -> tuple[str, ...]:
        return shared(masks.get(record_id, 0)) + (filtered(record_id, number) if filtered else ())

    return matched
