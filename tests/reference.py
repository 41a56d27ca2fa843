"""An independent reference for the search language, and a generator of
commands to hold the stores to it.

Written from the documentation only (README.md's search section and the help
page), never from the compilers: `Reference.hits(command)` reads the command
with its own small parser and decides every record by brute force over the
record's stored fields; `generate(records, seed)` makes commands from the
records' own words, covering every documented form.

The documented rules it implements:
- Text is folded before matching: full-width to half-width (NFKC), case,
  Traditional to Simplified Chinese (OpenCC, one character at a time).
- A Latin word (letters and digits) is one word, a Chinese character one word;
  punctuation and spaces are no words. A Chinese word or phrase must appear
  as written (its characters side by side); a phrase's Latin words must be
  consecutive words.
- TI and AB also search the record's title and abstract in its other
  languages (its other-language titles one after another): a text apart from
  the main-language one, so that a phrase or a proximity never runs from one
  into the other.
- An unquoted English word in TI, AB or CL finds every word with its Snowball
  (english) stem; quoted, or in another field, only itself.
- `?` one letter, digit or Chinese character; `*` at the end any ending, in a
  Latin word after three letters any letters; wildcards (not a trailing `*`
  alone) are expanded from the collection's words and refused when none or
  more than 100 match.
- NEAR/n (either order) and ADJ/n (in order): two different, non-overlapping
  occurrences in one field, n words apart at most (side by side = 1).
- IC= and CPC=: a subclass covers its codes, a main group itself and its
  subgroups (not a longer group number), a full code only itself, a quoted
  code only itself, a trailing `*` any code starting so.
- Dates: YYYY, YYYYMM or YYYYMMDD, ranges with `:`, open ends; PRD= falls
  back to the filing date of a record without a priority date.
- PN= may leave out the country or the kind; CT= finds the records citing a
  number, kinds compared only where both carry one; US pre-grant numbers in
  the USPTO (US20040136338) and EPO (US2004136338) forms are one number.
- FAM= every record reached by a shared application number, a shared family
  identity or a listed member, followed through the collection (a number
  listed only as a member names the family that lists it).
- CT/n= (n 1 to 3, CT/1= being CT=) the records citing the patent, then those
  citing them, n levels; REF/n= the records a stored patent cites (its
  citations matched against the records' numbers as CT= matches them), then
  those they cite; each record once, never the patent itself. REF= of a
  patent not stored, more than 3 levels, or anything but one number after
  either, are refused.
- #k is the command of set k, run again.
- LS= and DT= (legal status, document type): the value, or its English name,
  any case, Traditional or Simplified; a record's stored words map to a value
  by README's tables (the whole text among the English words, a kind code's
  letter, a status's first English word, a Chinese word inside it in the
  values' order, else 未知 / 其他); an empty one maps to none; any other value
  written is refused, and so is LS= (DT=) when no record holds a legal status
  (document type).
"""

from __future__ import annotations

import functools
import random
import re
import unicodedata
from collections import defaultdict
from dataclasses import dataclass

import opencc
import Stemmer

HAN = "\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\U00020000-\U0003134f"
TOKEN = re.compile(rf"([{HAN}])|((?:(?![{HAN}])[^\W_])+)")
IS_HAN = re.compile(rf"[{HAN}]")
DEFAULT = ("TI", "AB", "CL")
TEXT = {"TI": "title", "AB": "abstract", "CL": "claims", "PA": "applicants", "IV": "inventors"}
OTHER_LANGUAGES = {"TI": "title_alt", "AB": "abstract_alt"}  # searched with the field, as a text of its own
FORMS_FIELDS = DEFAULT  # where an English word finds its other forms
CODES = {"IC": "ipc", "CPC": "cpc"}
DATES = {"AD": "ad", "ID": "pd", "PRD": "prd"}
NUMBERS = ("PN", "CT", "FAM", "AN")
# LS= and DT=: the stored field, the values with their English names, the
# English words (whole texts), the Chinese words in the order they are tried,
# the kind codes' letters, whether a first English word counts, the value of any other word.
VALUES = {
    "LS": ("status", {"有效": "active", "審查中": "pending", "失效": "inactive", "未知": "unknown"}, {
        "有效": "active|patented|granted|in force|alive|valid",
        "審查中": "pending|under examination|examination|filed|published",
        "失效": "inactive|expired|discontinued|lapsed|ceased|revoked|withdrawn|abandoned|rejected|refused|dead|terminated|"
               "not in force|invalid",
        "未知": "unknown|ambiguous",
    }, [("失效", "失效 消滅 撤銷 撤回 放棄 屆滿 屆期 駁回 核駁 不予 無效 終止 未繳"), ("審查中", "審查 審中 在審 申請中 實審 公開 受理"),
        ("有效", "有效 存續 維持 授權 核准 公告 領證"), ("未知", "未知 不明")], {}, True, "未知"),
    "DT": ("doctype", {"發明公開": "application", "發明公告": "grant", "新型": "utility-model", "設計": "design", "其他": "other"}, {
        "發明公開": "patent application|application|amended application|published application",
        "發明公告": "granted patent|grant|granted|patent|amended patent|limited patent|reissue|utility patent",
        "新型": "utility model",
        "設計": "design right|design|design patent|industrial design",
        "其他": "plant patent|search report|statutory invention registration|other|unknown|ambiguous",
    }, [("設計", "設計 新式樣 外觀"), ("新型", "新型"), ("發明公開", "公開 申請"), ("發明公告", "公告 授權 專利")],
        {"A": "發明公開", "B": "發明公告", "C": "發明公告", "E": "發明公告", "U": "新型", "Y": "新型", "S": "設計", "D": "設計"},
        False, "其他"),
}
FIELD_CODES = tuple(TEXT) + tuple(CODES) + tuple(DATES) + NUMBERS + tuple(VALUES)
RESERVED = {"and", "or", "not", "near", "adj", "with", "same"}
PATTERN_LIMIT = 100


class Refused(Exception):
    """A command the documentation says is refused with a message."""


# --- text -----------------------------------------------------------------------------------------

_STEM = Stemmer.Stemmer("english")
_T2S = opencc.OpenCC("t2s")


class _Folding(dict):
    def __missing__(self, code: int) -> str:
        char = chr(code)
        simple = _T2S.convert(char) if IS_HAN.match(char) else char
        self[code] = simple = simple if len(simple) == 1 else char
        return simple


_FOLD = _Folding()


def fold(text: str) -> str:
    return unicodedata.normalize("NFKC", text).lower().translate(_FOLD)


@functools.lru_cache(maxsize=None)
def stem(word: str) -> str:
    return _STEM.stemWord(word)


class FieldText:
    """One field's folded text with its words: a Latin word or a Chinese character each."""

    __slots__ = ("text", "tokens", "starts", "ends", "at", "where")

    def __init__(self, raw: str):
        self.text = fold(raw)
        self.tokens: list[str] = []
        self.starts: list[int] = []
        self.ends: list[int] = []
        self.where: dict[str, list[int]] = defaultdict(list)
        for match in TOKEN.finditer(self.text):
            self.where[match.group()].append(len(self.tokens))
            self.tokens.append(match.group())
            self.starts.append(match.start())
            self.ends.append(match.end())
        self.at = {start: index for index, start in enumerate(self.starts)}


# --- publication numbers --------------------------------------------------------------------------

_NUMBER = re.compile(r"^([A-Z]{2})?([A-Z]{0,2}\d+)([A-Z]\d?)?$")


def number_parts(text: str) -> tuple[str, str, str] | None:
    """(country, serial, kind) of a publication number, '' for a part left out;
    a US pre-grant serial in the USPTO form (year + 7 digits) read in the EPO
    form (year + 6 digits)."""
    match = _NUMBER.match(re.sub(r"[\s\-/,.]", "", text.upper()))
    if not match:
        return None
    country, serial, kind = match.group(1) or "", match.group(2), match.group(3) or ""
    if country in ("US", "") and len(serial) == 11 and serial[:2] in ("19", "20") and serial[4] == "0":
        serial = serial[:4] + serial[5:]
    if serial.isdigit():
        serial = serial.lstrip("0") or "0"
    return country, serial, kind


def same_number(a: tuple[str, str, str] | None, b: tuple[str, str, str] | None) -> bool:
    """Whether two numbers name one publication: a part either leaves out is not compared."""
    if a is None or b is None or a[1] != b[1]:
        return False
    return all(x == y or not x or not y for x, y in ((a[0], b[0]), (a[2], b[2])))


# --- the command ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class Words:
    """A word, a phrase or a pattern in text fields."""

    value: str
    quoted: bool
    fields: tuple[str, ...] = ()


@dataclass(frozen=True)
class Code:
    field: str
    value: str
    quoted: bool


@dataclass(frozen=True)
class Number:
    field: str
    value: str


@dataclass(frozen=True)
class Value:
    """LS= or DT= with the value a command names."""

    field: str
    value: str


@dataclass(frozen=True)
class Chain:
    backward: bool
    levels: int
    value: str


@dataclass(frozen=True)
class Dates:
    field: str
    low: str
    high: str


@dataclass(frozen=True)
class Near:
    left: tuple[Words, ...]
    right: tuple[Words, ...]
    distance: int
    ordered: bool
    fields: tuple[str, ...] = ()


@dataclass(frozen=True)
class Op:
    kind: str  # "and", "or", "not" (binary: first minus second), "neg" (everything but)
    items: tuple


@dataclass(frozen=True)
class Group:
    """A parenthesised group, with the field list given to it (if any)."""

    node: object
    fields: tuple[str, ...]


_QUOTES = str.maketrans({"「": '"', "」": '"', "“": '"', "”": '"'})
_LEX = re.compile(
    r'\s*(?:(?P<phrase>"[^"]*")|(?P<open>\()|(?P<close>\))|(?P<at>@[A-Za-z,\s]+?(?=[\s)]|$))'
    r"|(?P<chain>CT/\d+=|REF(?:/\d+)?=)"
    r"|(?P<field>(?:" + "|".join(sorted(FIELD_CODES, key=len, reverse=True)) + r")=)"
    r"|(?P<set>#\d+)|(?P<minus>-(?=\S))|(?P<word>[^\s()\"]+))",
    re.IGNORECASE,
)
_PROXIMITY = re.compile(r"^(near|adj)/(\d+)$", re.IGNORECASE)


def _lex(command: str) -> list[tuple[str, str]]:
    command = unicodedata.normalize("NFKC", command.translate(_QUOTES))
    tokens, at = [], 0
    while command[at:].strip():
        match = _LEX.match(command, at)
        if match is None:
            raise Refused(f"cannot read {command[at:]!r}")
        kind = match.lastgroup
        tokens.append((kind, match.group(kind)))
        at = match.end()
    return tokens


class _Parser:
    """NOT binds first, then AND (or juxtaposition), then OR; NEAR/ADJ before all of them."""

    def __init__(self, command: str):
        self.tokens = _lex(command)
        self.at = 0

    def peek(self) -> tuple[str, str] | None:
        return self.tokens[self.at] if self.at < len(self.tokens) else None

    def next(self) -> tuple[str, str]:
        token = self.peek()
        if token is None:
            raise Refused("unexpected end")
        self.at += 1
        return token

    def coming(self, kind: str, *words: str) -> bool:
        """Whether the next token is of `kind` (and, given `words`, one of them in any case)."""
        token = self.peek()
        return token is not None and token[0] == kind and (not words or token[1].lower() in words)

    def operator(self, *names: str) -> bool:
        if self.coming("word", *names):
            self.at += 1
            return True
        return False

    def parse(self):
        node = self.any()
        if self.peek() is not None:
            raise Refused(f"unexpected {self.peek()}")
        return node

    def any(self):
        items = [self.all()]
        while self.operator("or"):
            items.append(self.all())
        return items[0] if len(items) == 1 else Op("or", tuple(items))

    def all(self):
        items = [self.but()]
        while True:
            if self.operator("and"):
                items.append(self.but())
                continue
            if self.peek() is None or self.coming("close") or self.coming("word", "or"):
                break
            items.append(self.but())
        return items[0] if len(items) == 1 else Op("and", tuple(items))

    def but(self):
        node = self.unary()
        while self.operator("not"):
            node = Op("not", (node, self.unary()))
        return node

    def unary(self):
        if self.coming("minus"):
            self.next()
            return Op("neg", (self.unary(),))
        left = self.primary()
        token = self.peek()
        proximity = token and token[0] == "word" and _PROXIMITY.match(token[1])
        if not proximity:
            return left
        self.next()
        right = self.primary()
        return Near(_side(left), _side(right), int(proximity.group(2)), proximity.group(1).lower() == "adj")

    def primary(self):
        kind, text = self.next()
        if kind == "open":
            node = self.any()
            if self.next()[0] != "close":
                raise Refused("unclosed parenthesis")
            if self.coming("at"):
                fields = tuple(f.strip().upper() for f in self.next()[1][1:].split(","))
                return Group(node, fields)
            return Group(node, ())
        if kind == "field":
            return self.field(text[:-1].upper())
        if kind == "chain":
            code, _, levels = text[:-1].upper().partition("/")
            levels = int(levels or 1)
            value = self.next()
            if not 1 <= levels <= 3 or value[0] != "word" or number_parts(value[1]) is None:
                raise Refused(f"{text} takes one number, at most 3 levels")
            return Number("CT", value[1]) if code == "CT" and levels == 1 else Chain(code == "REF", levels, value[1])
        if kind == "set":
            return ("set", int(text[1:]))
        if kind == "phrase":
            return Words(text[1:-1], True)
        if kind == "word":
            if text.lower() in RESERVED or _PROXIMITY.match(text):
                raise Refused(f"operator {text} in the wrong place")
            return Words(text, False)
        raise Refused(f"unexpected {text}")

    def field(self, code: str):
        if code in DATES:
            kind, text = self.next()
            low, _, high = text.partition(":") if ":" in text else (text, "", text)
            return Dates(code, _bound(low, False), _bound(high, True))
        if self.coming("open"):
            return Group(self.primary(), (code,))
        kind, text = self.next()
        if kind not in ("word", "phrase"):
            raise Refused(f"{code}= needs a value")
        quoted = kind == "phrase"
        value = text[1:-1] if quoted else text
        if code in CODES:
            return Code(code, value, quoted)
        if code in NUMBERS:
            return Number(code, value)
        if code in VALUES:
            return Value(code, searched_value(code, value))
        return Words(value, quoted, (code,))


def _bound(text: str, end: bool) -> str:
    if not text:
        return "99999999" if end else "00000000"
    if len(text) == 4:
        return text + ("1231" if end else "0101")
    if len(text) == 6:
        return text + ("31" if end else "01")
    return text


def _side(node) -> tuple[Words, ...]:
    """A proximity side: a word, phrase or pattern, or an OR of them in parentheses."""
    if isinstance(node, Group) and not node.fields:
        node = node.node
    if isinstance(node, Words):
        return (node,)
    if isinstance(node, Op) and node.kind == "or" and all(isinstance(item, Words) for item in node.items):
        return node.items
    raise Refused("a proximity side is a word, a phrase or an OR of them")


# --- the reference --------------------------------------------------------------------------------


class Reference:
    """Every command's hits over `records`, decided record by record."""

    def __init__(self, records):
        by_number = {record.pn: record for record in records}  # the same number is one record
        self.records = sorted(by_number.values(), key=lambda record: record.pn)
        self.all = frozenset(range(len(self.records)))
        self.texts = [{code: FieldText(getattr(r, attr)) for code, attr in TEXT.items()} for r in self.records]
        self.others = [{code: FieldText(getattr(r, attr)) for code, attr in OTHER_LANGUAGES.items()} for r in self.records]
        self.vocabulary: set[str] = set()
        for texts in self.texts + self.others:
            for text in texts.values():
                self.vocabulary.update(token for token in text.where if not IS_HAN.match(token))
        self._cache: dict = {}

    # the command

    def hits(self, command: str, sets: dict[int, str] | None = None) -> set[str]:
        """The publication numbers the command finds; Refused for a refused command."""
        return {self.records[i].pn for i in self.ids(command, sets or {}, ())}

    def ids(self, command: str, sets: dict[int, str], within: tuple[int, ...]) -> frozenset[int]:
        return self._eval(_Parser(command).parse(), DEFAULT, sets, within)

    def _eval(self, node, fields: tuple[str, ...], sets, within) -> frozenset[int]:
        if isinstance(node, Group):
            return self._eval(node.node, node.fields or fields, sets, within)
        if isinstance(node, tuple):  # a numbered set
            number = node[1]
            if number not in sets or number in within:
                raise Refused(f"no set #{number}")
            return self.ids(sets[number], sets, within + (number,))
        if isinstance(node, Op):
            parts = [self._eval(item, fields, sets, within) for item in node.items]
            if node.kind == "and":
                return frozenset.intersection(*parts)
            if node.kind == "or":
                return frozenset.union(*parts)
            if node.kind == "not":
                return parts[0] - parts[1]
            return self.all - parts[0]
        if isinstance(node, Words):  # a word given fields of codes or numbers is a code or a number
            fields = node.fields or fields
            texts = tuple(field for field in fields if field in TEXT)
            parts = [self._term(Words(node.value, node.quoted, texts))] if texts else []
            for field in fields:
                if field in CODES:
                    parts.append(self._term(Code(field, node.value, node.quoted)))
                elif field in NUMBERS:
                    parts.append(self._term(Number(field, node.value)))
                elif field in VALUES:
                    parts.append(self._term(Value(field, searched_value(field, node.value))))
                elif field not in TEXT:
                    raise Refused(f"{field} cannot hold words")
            return frozenset.union(*parts)
        if isinstance(node, Near):
            node = Near(node.left, node.right, node.distance, node.ordered, node.fields or fields)
        return self._term(node)

    def _term(self, node) -> frozenset[int]:
        if node not in self._cache:
            self._cache[node] = frozenset(self._decide(node))
        return self._cache[node]

    def field_texts(self, i: int, field: str) -> list[FieldText]:
        """A field's texts of record i: its own, and for TI and AB the other languages' apart."""
        own = [self.texts[i][field]]
        return own + [self.others[i][field]] if field in OTHER_LANGUAGES else own

    def _decide(self, node):
        if isinstance(node, Words):
            finder = self._finder(node)
            return (i for i in self.all if any(finder(text, f) for f in node.fields for text in self.field_texts(i, f)))
        if isinstance(node, Near):
            return self._near(node)
        if isinstance(node, Code):
            return self._where(lambda r: _code_match(node, getattr(r, CODES[node.field])))
        if isinstance(node, Dates):
            return self._where(lambda r: _date_match(node, r))
        if isinstance(node, Number):
            return self._numbers(node)
        if isinstance(node, Value):
            attribute = VALUES[node.field][0]
            if not any(getattr(r, attribute).strip() for r in self.records):
                raise Refused(f"no record holds {attribute}")
            return self._where(lambda r: stored_value(node.field, getattr(r, attribute)) == node.value)
        if isinstance(node, Chain):
            return self._chain(node)
        raise Refused(f"cannot search {node!r}")

    def _where(self, holds):
        """The records for which holds(record) is true."""
        return (i for i, r in enumerate(self.records) if holds(r))

    # words, phrases and patterns

    def _finder(self, words: Words):
        """A function (field text, field code) -> the occurrences as (first word, last word) spans."""
        value = fold(words.value)
        if not words.quoted and ("?" in value or "*" in value):
            return self._pattern(value)
        units = [(m.group(), bool(m.group(1)) and m.start() > 0 and IS_HAN.match(value[m.start() - 1]) is not None)
                 for m in TOKEN.finditer(value)]
        if not units:
            raise Refused(f"nothing to search in {words.value!r}")
        single_latin = len(units) == 1 and not IS_HAN.match(units[0][0])
        if single_latin and not words.quoted:
            forms = {t for t in self.vocabulary if stem(t) == stem(units[0][0])} | {units[0][0]}

            return lambda text, field: _spans(text, forms if field in FORMS_FIELDS else (units[0][0],))

        def find_phrase(text: FieldText, field: str):
            spans = []
            for p in text.where.get(units[0][0], ()):
                if p + len(units) > len(text.tokens):
                    continue
                if all(text.tokens[p + k] == unit and (not glued or text.ends[p + k - 1] == text.starts[p + k])
                       for k, (unit, glued) in enumerate(units) if k):
                    spans.append((p, p + len(units) - 1))
            return spans

        return find_phrase

    def expansions(self, value: str) -> set[str]:
        """The collection's words (Latin words, or strings of Chinese characters) a pattern stands for."""
        if IS_HAN.search(value):
            regex = _han_pattern(value)
            return {m.group(1) for texts in self.texts + self.others for text in texts.values() for m in regex.finditer(text.text)}
        regex = _latin_pattern(value)
        return {t for t in self.vocabulary if regex.fullmatch(t)}

    def _pattern(self, value: str):
        if _limited(value):
            found = self.expansions(value)
            if not found or len(found) > PATTERN_LIMIT:
                raise Refused(f"{value} matches {len(found)} words")
        if IS_HAN.search(value):
            regex = _han_pattern(value)

            def find_han(text: FieldText, field: str):
                return [(text.at[m.start()], text.at[m.start()] + len(m.group(1)) - 1)
                        for m in regex.finditer(text.text) if m.start() in text.at]

            return find_han
        forms = self.expansions(value)
        return lambda text, field: _spans(text, forms)

    def _near(self, near: Near):
        left = [self._finder(w) for w in near.left]
        right = [self._finder(w) for w in near.right]
        for i in self.all:
            if any(self._near_in(text, field, left, right, near) for field in near.fields for text in self.field_texts(i, field)):
                yield i

    @staticmethod
    def _near_in(text: FieldText, field: str, left, right, near: Near) -> bool:
        spans_l = [s for find in left for s in find(text, field)]
        spans_r = [s for find in right for s in find(text, field)] if spans_l else []
        return any(_close(a, b, near.distance, near.ordered) for a in spans_l for b in spans_r)

    # numbers

    def _numbers(self, node: Number):
        wanted = number_parts(node.value)
        if node.field == "AN":
            value = fold(node.value)
            return self._where(lambda r: r.an and fold(r.an) == value)
        if node.field == "PN":
            return self._where(lambda r: same_number(wanted, number_parts(r.pn)))
        if node.field == "CT":
            return self._where(lambda r: any(same_number(wanted, number_parts(c)) for c in _items(r.cites)))
        return self._family(wanted)

    @functools.cached_property
    def citing(self) -> dict[int, set[int]]:
        """Record -> the records citing it."""
        by_serial = defaultdict(list)
        for j, r in enumerate(self.records):
            if number_parts(r.pn):
                by_serial[number_parts(r.pn)[1]].append(j)
        citing = defaultdict(set)
        for i, r in enumerate(self.records):
            for wanted in map(number_parts, _items(r.cites)):
                for j in by_serial.get(wanted[1] if wanted else None, ()):
                    if same_number(wanted, number_parts(self.records[j].pn)):
                        citing[j].add(i)
        return citing

    def _chain(self, node: Chain):
        wanted = number_parts(node.value)
        start = set(self._where(lambda r: same_number(wanted, number_parts(r.pn))))
        if node.backward and not start:
            raise Refused(f"REF={node.value} is not stored")
        if node.backward:
            step = lambda level: {j for j, citers in self.citing.items() if citers & level}
            level = step(start)
        else:
            step = lambda level: set().union(*(self.citing[j] for j in level))
            level = set(self._numbers(Number("CT", node.value)))
        seen = set(start)
        for _ in range(node.levels):
            level -= seen
            seen |= level
            level = step(level)
        return seen - start

    def _family(self, wanted):
        """The records reached from the number through shared application numbers,
        family identities and listed members."""
        links: dict[object, set[object]] = defaultdict(set)

        def link(a, b) -> None:
            links[a].add(b)
            links[b].add(a)

        for i, r in enumerate(self.records):
            for key in (("an", r.an) if r.an else None, ("family", r.family) if r.family else None):
                if key:
                    link(i, key)
            for member in _items(r.members):
                for j in self._where(lambda other: same_number(number_parts(member), number_parts(other.pn))):
                    link(i, j)
                link(i, ("member", number_parts(member)))
        start = list(self._where(lambda r: same_number(wanted, number_parts(r.pn))))
        start += [key for key in links if isinstance(key, tuple) and key[0] == "member" and same_number(wanted, key[1])]
        seen, todo = set(start), list(start)
        while todo:
            for other in links[todo.pop()]:
                if other not in seen:
                    seen.add(other)
                    todo.append(other)
        return (i for i in seen if isinstance(i, int))


def _words_key(text: str) -> str:
    """Letter case, full-width forms and _ - / . , ; : ( ) not counted."""
    return " ".join(re.sub(r"[_\-/.,;:()]", " ", fold(text)).split())


def searched_value(field: str, written: str) -> str:
    """The value LS= or DT= names: the value or its English name; else refused."""
    _, english, *_ = VALUES[field]
    for value, name in english.items():
        if _words_key(written) in (_words_key(value), _words_key(name)):
            return value
    raise Refused(f"{field}={written} names no value")


def stored_value(field: str, text: str) -> str:
    """The value a record's stored legal status or document type maps to, '' when it holds none."""
    _, _, words, chinese, kinds, first_word, other = VALUES[field]
    written = _words_key(text)
    if not written:
        return ""
    english = {word: value for value, group in words.items() for word in group.split("|")}
    if written in english:
        return english[written]
    if kinds and re.fullmatch(r"[a-z]\d{0,2}", written):
        return kinds.get(written[0].upper(), other)
    if first_word and written.isascii() and written.split()[0] in english:
        return english[written.split()[0]]
    for value, group in chinese:
        if any(fold(word) in written for word in group.split()):
            return value
    return other


def _without_kind(number: str) -> str:
    return re.sub(r"(?<=\d)[A-Z]\d?$", "", number)


def _spans(text: FieldText, forms) -> list[tuple[int, int]]:
    """The occurrences of the words `forms` in a field, each a (first word, last word) span."""
    return [(p, p) for form in forms for p in text.where.get(form, ())]


def _limited(value: str) -> bool:
    """Whether a pattern is expanded within PATTERN_LIMIT (a trailing truncation alone has no limit)."""
    return "?" in value or "*" in value[:-1]


def _items(text: str) -> list[str]:
    return [item.strip() for item in text.split(";") if item.strip()]


def _wildcards(value: str, one: str, ending: str) -> str:
    """A pattern as a regular expression: `?` is `one`, `*` is `ending`."""
    return "".join(one if c == "?" else ending if c == "*" else re.escape(c) for c in value)


def _han_pattern(value: str) -> re.Pattern:
    """Overlapping occurrences: `?` one Chinese character, `*` any ending (the next character, if any)."""
    return re.compile("(?=(" + _wildcards(value, f"[{HAN}]", f"[{HAN}]?") + "))")


def _latin_pattern(value: str) -> re.Pattern:
    return re.compile(_wildcards(value, "[^\\W_]", "[^\\W_]*"))


def _close(a: tuple[int, int], b: tuple[int, int], distance: int, ordered: bool) -> bool:
    if a[1] < b[0]:
        return b[0] - a[1] <= distance
    if b[1] < a[0]:
        return not ordered and a[0] - b[1] <= distance
    return False  # the same or overlapping occurrences


def _code_match(node: Code, stored: str) -> bool:
    value, *codes = (code.upper().replace(" ", "") for code in (node.value, *_items(stored)))
    if node.quoted:
        return value in codes
    if value.endswith("*"):
        return any(code.startswith(value[:-1]) for code in codes)
    if "/" in value:
        return value in codes
    if len(value) == 4:  # a subclass
        return any(code.startswith(value) for code in codes)
    return any(code.split("/")[0] == value for code in codes)  # a main group


def _date_match(node: Dates, record) -> bool:
    date = getattr(record, DATES[node.field]) or (record.ad if node.field == "PRD" else "")
    return bool(date) and node.low <= date <= node.high


# --- the generator --------------------------------------------------------------------------------

_S2T = opencc.OpenCC("s2t")
LATIN_WORD = re.compile(r"^[a-z]{3,}$")


def generate(reference: Reference, seed: int) -> tuple[list[str], dict[int, str]]:
    """Commands made from the records' own words (every documented form), and
    the numbered sets the `#k` commands among them name."""
    return _Generator(reference, random.Random(seed)).run()


class _Generator:
    def __init__(self, reference: Reference, rng: random.Random):
        self.ref, self.rng = reference, rng
        self.focus: int | None = None
        han, latin = [], []
        for i, texts in enumerate(reference.texts):
            for field in DEFAULT:
                text = texts[field]
                if not text.tokens:
                    continue
                (han if IS_HAN.search(text.text) else latin).append((i, field))
        self.han, self.latin = han, latin
        by_stem = defaultdict(set)
        for token in reference.vocabulary:
            if LATIN_WORD.match(token):
                by_stem[stem(token)].add(token)
        self.inflected = sorted(w for forms in by_stem.values() if len(forms) > 1 for w in forms)
        self.odd = sorted(self._odd_words())

    def _odd_words(self):
        """Latin words in Chinese text, hyphenated words, Chinese words across punctuation."""
        for text in map(self.text, self.han):
            yield from (t for t in text.where if re.fullmatch("[a-z][a-z0-9]+", t) and t not in RESERVED)
            yield from (m.group(1) + m.group(2) for m in re.finditer(f"([{HAN}])[，、；：]([{HAN}])", text.text))
        for text in map(self.text, self.latin):
            yield from re.findall(r"\b[a-z]+-[a-z]+\b", text.text)

    def text(self, pair: tuple[int, str]) -> FieldText:
        """The text of a (record, field) pair."""
        return self.ref.texts[pair[0]][pair[1]]

    def pick(self, seq):
        return seq[self.rng.randrange(len(seq))]

    @staticmethod
    def _of(fields: list[tuple[int, str]], record: int | None) -> list[tuple[int, str]]:
        """The (record, field) pairs of one record, or all of them."""
        return [pair for pair in fields if pair[0] == record] or fields if record is not None else fields

    # words from the records

    def chinese(self, length: int | None = None, traditional: bool | None = None, record: int | None = None) -> str:
        while True:
            i, field = self.pick(self._of(self.han, record))
            raw = getattr(self.ref.records[i], TEXT[field])
            runs = [m.group() for m in re.finditer(f"[{HAN}]+", raw)]
            run = self.pick(runs)
            size = length or self.rng.choice((1, 2, 2, 2, 3, 4))
            if len(run) < size:
                continue
            start = self.rng.randrange(len(run) - size + 1)
            word = run[start:start + size]
            if traditional if traditional is not None else self.rng.random() < 0.4:
                word = _S2T.convert(word)
            return word

    def english(self, record: int | None = None) -> str:
        while True:
            token = self.pick(self.text(self.pick(self._of(self.latin, record))).tokens)
            if LATIN_WORD.match(token) and token not in RESERVED:
                return token

    def word(self, record: int | None = None) -> str:
        if record is None:
            return self.chinese() if self.rng.random() < 0.5 else self.english()
        chinese = self.ref.records[record].pn.startswith(("CN", "TW"))
        return self.chinese(record=record) if chinese else self.english(record)

    def phrase(self) -> str:
        if self.rng.random() < 0.5:
            return f'"{self.chinese(self.rng.choice((3, 4, 5, 6)))}"'
        while True:
            text = self.text(self.pick(self.latin))
            size = self.rng.choice((2, 2, 3))
            if len(text.tokens) <= size:
                continue
            start = self.rng.randrange(len(text.tokens) - size)
            words = text.tokens[start:start + size]
            if all(LATIN_WORD.match(w) and w not in RESERVED for w in words):
                return '"' + " ".join(words) + '"'

    def atom(self) -> str:
        """A word of the record in focus (so that ANDs find something), at times a phrase."""
        return self.phrase() if self.rng.random() < 0.15 else self.word(self.focus)

    # forms

    def words(self):
        yield from (self.chinese() for _ in range(15))
        yield from (self.english() for _ in range(12))
        yield from (self.chinese(traditional=True) for _ in range(8))
        short = [w for w in self.inflected if len(stem(w)) <= 3]
        for word in self.rng.sample(self.inflected, 10) + self.rng.sample(short, 4):  # every form; quoted only itself
            yield word
            yield f'"{word}"'
        yield from (self.phrase() for _ in range(16))
        yield from self.rng.sample(self.odd, 14)
        for word in (self.english() for _ in range(3)):  # any case, full-width letters
            yield self.rng.choice((word.upper(), word.capitalize()))
            yield "".join(chr(ord(c) + 0xFEE0) for c in word)

    def boolean(self):
        def a():
            return self.atom()
        forms = [
            lambda: f"{a()} AND {a()}", lambda: f"{a()} OR {a()}", lambda: f"{a()} NOT {a()}",
            lambda: f"{a()} {a()}", lambda: f"{a()} -{a()}", lambda: f"{a()} -({a()} OR {a()})",
            lambda: f"{a()} OR {a()} NOT {a()}", lambda: f"({a()} OR {a()}) AND {a()}",
            lambda: f"({a()} or {a()}) not {a()}", lambda: f"{a()} and ({a()} Or {a()})",
            lambda: f"（{a()} OR {a()}）AND {a()}", lambda: f"「{self.chinese(3)}」 OR {a()}",
        ]
        for _ in range(4):
            for form in forms:
                self.focus = self.pick(self.han if self.rng.random() < 0.5 else self.latin)[0]
                yield form()

    def fields(self):
        groups = ("TI", "AB", "CL", "TI,AB", "AB,CL", "TI,CL", "TI,AB,CL")
        for _ in range(7):
            word = self.word()
            yield f"{self.pick(DEFAULT)}={word}"
            yield f"({word} OR {self.word()})@{self.pick(groups)}"
            yield f"{self.pick(DEFAULT)}=({self.word()} OR {self.word()})"
        yield from (f"TI={self.phrase()}" for _ in range(4))
        for _ in range(3):
            self.focus = self.pick(self.han)[0]
            yield f"{self.pick(DEFAULT)}={self.atom()} {self.atom()}"  # the field holds the first word only
        people = [r for r in self.ref.records if r.applicants]
        for _ in range(8):
            record = self.pick(people)
            applicant = self.pick(_items(record.applicants))
            inventor = self.pick(_items(record.inventors)) if record.inventors else applicant
            yield f'PA="{applicant}"'
            yield f"PA={self.name_word(applicant)}"
            yield f"IV={self.name_word(inventor)}"
        yield "PA=(sangamo OR 慧普) AND AD=2015:2024"
        yield "PA=therapeutic"  # word forms are for title, abstract and claims only
        yield "(therapeutic)@PA,AB"
        for word in self.rng.sample(self.inflected, 4):
            yield f"{self.pick(DEFAULT)}={word}"
        yield "ic=c12n9 AND ti=(nucleases OR 蛋白)"

    def name_word(self, name: str) -> str:
        """One word of a name of several words, or the name."""
        return self.pick(name.split()) if " " in name else name

    def patterns(self):
        for _ in range(10):
            word = self.english()
            if len(word) >= 5:
                yield from self.checked(word[: self.rng.randint(4, len(word) - 1)] + "*")
                at = self.rng.randint(1, len(word) - 1)
                yield from self.checked(word[:at] + "?" + word[at + 1:])
            if len(word) >= 8:
                yield from self.checked(word[:4] + "*" + word[-3:])
        for _ in range(10):
            word = self.chinese(3)
            yield from self.checked(word[0] + "?" + word[2])
            yield from self.checked(f"{self.pick(DEFAULT)}={word[:2]}?")
            yield from self.checked(word[:2] + "*")
        yield "s*"  # a truncation has no limit
        yield "的?"  # more than 100 words
        yield "zq?j"  # no word

    def checked(self, pattern: str):
        """The pattern if its expansion is well inside the documented limits."""
        value = fold(pattern.split("=")[-1])
        if not _limited(value) or 1 <= len(self.ref.expansions(value)) <= PATTERN_LIMIT * 0.8:
            yield pattern

    def proximity(self):
        groups = ("TI", "AB", "CL", "TI,AB")
        for count in range(50):
            i, field = self.pick(self.han if count % 2 else self.latin)
            text = self.ref.texts[i][field]
            if len(text.tokens) < 4:
                continue
            p = self.rng.randrange(len(text.tokens) - 2)
            q = min(len(text.tokens) - 1, p + self.rng.randint(1, 8))
            left, right = self._operand(text, p), self._operand(text, q)
            if not left or not right:
                continue
            gap = q - p
            n = max(1, self.rng.choice((gap, gap, gap - 1, gap + 2)))
            op = self.rng.choice(("NEAR", "ADJ", "near", "adj"))
            if self.rng.random() < 0.3:
                left, right = right, left
            if self.rng.random() < 0.3:
                left = f"({left} OR {self.word()})"
            if self.rng.random() < 0.2:
                right = f"({right} OR {self.phrase()})"
            command = f"{left} {op}/{n} {right}"
            roll = self.rng.random()
            if roll < 0.2:
                command = f"{field}=({command})"
            elif roll < 0.35:
                command = f"({command})@{self.pick(groups)}"
            elif roll < 0.45:
                command = f"{command} AND {self.word()}"
            yield command
        for word in ("cell", "gene", "的", "一种"):
            yield f"{word} NEAR/3 {word}"  # two occurrences of one word
        for _ in range(4):  # words of one record's title and abstract: no proximity across fields
            i = self.pick([i for i, field in self.latin if field == "TI"])
            title, abstract = self.ref.texts[i]["TI"], self.ref.texts[i]["AB"]
            left, right = self._operand(title, 0), self._operand(abstract, 0) if abstract.tokens else None
            if left and right:
                yield f"{left} NEAR/100 {right}"

    @staticmethod
    def _operand(text: FieldText, p: int) -> str | None:
        token = text.tokens[p]
        if not IS_HAN.match(token):
            return token if LATIN_WORD.match(token) and token not in RESERVED else None
        if p + 1 < len(text.tokens) and IS_HAN.match(text.tokens[p + 1]) and text.ends[p] == text.starts[p + 1]:
            return token + text.tokens[p + 1]
        return token

    def codes(self):
        coded = [r for r in self.ref.records if r.ipc or r.cpc]
        for _ in range(9):
            record = self.pick(coded)
            field = "IC" if record.ipc and (not record.cpc or self.rng.random() < 0.5) else "CPC"
            code = self.pick(_items(getattr(record, CODES[field])))
            group = code.split("/")[0]
            for value in (code[:4], group, code, group[:-1] if len(group) > 5 else f"{code[:4]}*"):
                yield f"{field}={value}"
            yield self.pick((f'{field}="{code[:4]}"', f'{field}="{code}"', f"{field}={group}*",
                             f"{field}={code[:4]} AND {self.word()}", f"{self.word()} NOT {field}={group}"))
        yield "(C12N OR G06F)@IC"
        yield "IC=(A61K OR H04W) -PA=sangamo"

    def dates(self):
        dated = [r for r in self.ref.records if r.ad]
        for _ in range(10):
            record = self.pick(dated)
            year = int(record.ad[:4])
            for code, attr in (("AD", "ad"), ("ID", "pd"), ("PRD", "prd")):
                date = getattr(record, attr) or record.ad
                yield self.pick((f"{code}={date[:4]}", f"{code}={year - 2}:{year + 1}", f"{code}={date[:6]}:{date[:6]}",
                                 f"{code}={date}:{date}", f"{code}=:{date}", f"{code}={date}:"))
        yield "PRD=2012:2013"  # a record without a priority date counts from its filing date
        yield "PRD=:20130101 AND ID=2014"
        yield "AD=201503:202406 AND (cell OR 细胞)"

    def numbers(self):
        others = [r for r in self.ref.records if not r.pn.startswith("CN")]
        for record in self.rng.sample(self.ref.records, 3) + others[:4]:
            yield f"PN={record.pn}"
            yield f"PN={_without_kind(record.pn)}"
            yield f"PN={record.pn[2:]}" if self.rng.random() < 0.5 else f"PN={_without_kind(record.pn)[2:]}"
        yield "PN=US2005004437A1"  # the EPO form of a US pre-grant number
        yield "PN=US20050004437"
        yield "AN=EP10167109"
        yield "AN=13648029"
        cited = [(r, c) for r in self.ref.records for c in _items(r.cites)]
        for _, number in self.rng.sample(cited, min(6, len(cited))):
            yield f"CT={number}"
            yield f"CT={_without_kind(number)}"
        yield "CT=US20040136338A1"  # cited as US2004136338A1
        yield "CT=US20040136338"
        yield "CT=US7844851A"  # cited as a B2: another kind
        yield "CT=USD510791 OR CT=CN101151957"
        for record in self.rng.sample(self.ref.records, 3) + [r for r in self.ref.records if r.members or r.family][:3]:
            yield f"FAM={record.pn}"
        for record in (r for r in self.ref.records if r.members):
            yield f"FAM={record.pn}"
            for member in _items(record.members):
                yield f"FAM={member}"  # a number listed only as a member
                yield f"FAM={_without_kind(member)}"
        for record in (r for r in self.ref.records if r.cites):
            first = _items(record.cites)[0]
            yield f"CT={first}" if first[-1].isalpha() or first[-2].isalpha() else f"CT={first}S"
            yield f"CT={_without_kind(first)}B9"  # a kind that no publication of the number has
        yield "FAM=TW201346027A OR CT=US20070140112A1"

    def chains(self):
        citing = [r for r in self.ref.records if r.cites]
        cited = sorted({c for r in citing for c in _items(r.cites)})
        for record in self.rng.sample(citing, 2):
            yield from (f"REF={record.pn}", f"REF/2={record.pn}", f"REF/3={record.pn} OR PN={record.pn}")
        for number in self.rng.sample(cited, 2):
            yield from (f"CT/2={number}", f"ct/3={number} AND AD=2010:2024", f"{self.word()} NOT CT/2={number}")
        yield f"CT/2={cited[0]} OR REF={citing[0].pn}"
        yield "REF=US1000001B9"  # not stored: what it cites is not known
        yield f"CT/4={cited[0]}"

    def sets(self) -> dict[int, str]:
        sets = {}
        while len(sets) < 6:
            command = self.pick((self.word, self.phrase))()
            if len(self.ref.hits(command)) >= 2:
                sets[len(sets) + 1] = command
        sets[7] = "AD=2015:2024"
        sets[8] = "IC=C12N"
        sets[9] = "#8 NOT #7"  # a set whose command names sets
        return sets

    def numbered(self, sets: dict[int, str]):
        for _ in range(4):
            a, b = self.rng.sample(sorted(sets), 2)
            yield f"#{a} AND #{b}"
            yield f"#{a} OR #{b}"
            yield f"#{a} NOT {self.word()}"
        yield "(#1 OR #2) AND AD=2015:2024"
        yield "#7 NOT PA=sangamo"
        yield "#8 AND #7 AND cell"
        yield "-#8 AND AD=2020"
        yield "#9 OR #1"

    def languages(self):
        """Words of the other-language texts: alone, in a field, in a phrase and
        proximities inside that text, and from the main-language text into it."""
        for i, others in enumerate(self.ref.others):
            for code, text in others.items():
                words, own = [self._operand(text, p) for p in range(len(text.tokens))], self.ref.texts[i][code]
                if len(words) < 3 or not all(words[:2]) or not own.tokens:
                    continue
                first, second, other = words[0], words[1], "AB" if code == "TI" else "TI"
                yield from (first, f"{code}={second}", f"{other}={first}", f"{first} NOT {code}={first}", f'{code}="{first} {second}"',
                            f"{second} NEAR/1 {first}", f"{first} ADJ/{len(words) - 1} {words[-1]}")
                before = self._operand(own, len(own.tokens) - (2 if IS_HAN.match(own.tokens[-1]) else 1))
                if before:  # the main-language text's last word, then the other's first
                    yield from (f'"{before} {first}"', f"{code}=({before} ADJ/1 {first})")

    def values(self):
        """LS= and DT= alone, combined, in English names, in groups, and refused forms."""
        for code, (_, english, *_) in VALUES.items():
            for value, name in english.items():
                yield f"{code}={value}"
                yield f"{code}={self.rng.choice((name, name.upper(), name.capitalize()))}"
                yield f"{self.word()} AND {code}={value}"
        yield from ("電池 AND LS=有效", "DT=新型 NOT LS=失效", "LS=审查中 OR DT=设计", "LS=(有效 OR 審查中) AND AD=2015:2024",
                    "(發明公告 OR design)@DT NOT LS=inactive", "-DT=發明公開", f"{self.word()} -LS=失效",
                    "LS=expired", "DT=B2", "LS=foo", "DT=發明*", "LS=有效 OR CPC=C12N")

    def run(self) -> tuple[list[str], dict[int, str]]:
        sets = self.sets()
        commands: list[str] = []
        for part in (self.words(), self.boolean(), self.fields(), self.patterns(), self.proximity(), self.codes(),
                     self.dates(), self.numbers(), self.numbered(sets), self.languages(), self.values(), self.chains()):
            commands.extend(part)
        return list(dict.fromkeys(commands)), sets
