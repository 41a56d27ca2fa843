"""The search command language: parsing a command into an engine-neutral Query.

A command is made of

* words (電池, battery, H01M10/0525) and quoted phrases ("固態 電池");
  a trailing * truncates (H01M*, batter*);
* the operators AND, OR, NOT in any letter case; two operands side by side
  are joined by AND; parentheses group. Precedence: NOT binds tightest, then
  AND, then OR, so `a OR b NOT c` is `a OR (b AND (NOT c))`;
* field restrictions: TI=電池, TI=(電池 OR battery), TI="固態電池", or the
  group form (電池 OR battery)@TI,AB,CL. The innermost restriction wins;
  words without one search TI, AB and CL. Field codes: records.COMMAND_CODES;
  TI and AB also search a record's texts in its other languages (records.
  searched_fields: TI=x is searched in TI and TI2, each its own column);
* translation: TR(電池 NEAR/3 電極), TR(固態 電池)@TI,AB, TR(#3) (any letter
  case): every word inside is searched with its translations, Chinese to
  English and English to Chinese (translate.py, a step of the search that
  replaces each such word by a Translated group); TR must be followed at once
  by "(";
* similarity: SIM="a paragraph describing an invention" or SIM=<publication
  number> ranks the collection by closeness to that text or patent, in
  either language (see similar.py); SIM1= in the text's own language only;
  it may be joined by AND to any other form, which then filters;
* legal status and document type: LS=有效, DT=新型, by the few values
  field_values.py lists (LS=active is LS=有效; another word refused with the values);
* citations: CT=<number> finds the records citing a publication (a code
  term); CT/2= and CT/3= follow the citing records two or three levels,
  REF=<number> the records a stored patent cites and REF/2=, REF/3= the
  records those cite in turn (a Chain, resolved by citations.py);
* dates on AD / ID: AD=20150101:20241231, AD=2015:2024 (whole years),
  AD=201503:202406 (whole months), open ends AD=2015: and ID=:20241231, or a
  single day, month or year (AD=20200101, AD=2020).

Full-width forms (（）＂＝＠，：＊ and the ideographic space) and the quotes
“”「」『』 are read as their ASCII counterparts. Any mistake raises QueryError,
whose message (Traditional Chinese) names the problem, the offending text and
its 1-based character position.

A command holds at most MAX_WORDS distinct words: each is looked for in
every hit, so a longer list is refused at once rather than left to run.
`IC=C12N 9/22` (the printed IPC form) is read as `IC=C12N9/22`.

A numbered set #k stands for the command of run k, read as a parenthesised
part: each set's command is parsed once per command, its tree then put
wherever #k appears. Parentheses and sets together nest at most MAX_DEPTH
levels, counted through the commands of the sets named (so every later walk
of the tree stays shallow), and the sets of one command add at most
MAX_SET_NODES nodes to it; beyond either, QueryError names the set.
Identical operands of one AND or OR are one operand (#3 OR #3 is #3).

The Query names no engine: query_plan.py holds what every store decides
alike about it, and each store compiles it into its own SQL.
"""

from __future__ import annotations

import calendar
import re
from dataclasses import dataclass, field, replace
from collections.abc import Iterator, Mapping
from typing import Union

from . import pn
from .field_values import NORMALISED
from .records import CODE_FIELDS, COMMAND_CODES, DATE_FIELDS, DEFAULT_FIELDS, REGISTRY, searched_fields
from .segment import CJK, search_tokens

MAX_COMMAND_LENGTH = 4000
MAX_WORDS = 100
MAX_DEPTH = 32  # levels of parentheses and numbered sets, one each
MAX_SET_NODES = 10_000  # nodes the numbered sets of one command may add to its tree
_OPERATORS = ("AND", "OR", "NOT")
SIMILAR_CODE = "SIM"
TRANSLATE_CODE = "TR"  # TR(…): the words inside searched with their translations
ONE_LANGUAGE_CODE = "SIM1"  # SIM1="…": similarity in the text's own language only (1 language)
SIMILAR_CODES = (SIMILAR_CODE, ONE_LANGUAGE_CODE)
PRIOR_CODE = "PRIOR"  # PRIOR=<number>: published before that patent's earliest priority date
CITING_CODE, CITED_CODE = "CT", "REF"  # CT/n=<number> the records citing it, n levels; REF/n=<number> those it cites
MAX_CHAIN_LEVELS = 3

_CHARACTER_MAP = {code: code - 0xFEE0 for code in range(0xFF01, 0xFF5F)}
_CHARACTER_MAP.update({0x3000: " ", **dict.fromkeys(map(ord, "“”「」『』"), '"')})
_WORD_END = set('()"@=')
_DATE = re.compile(r"(\d{4})(?:[-/.]?(\d{2})(?:[-/.]?(\d{2}))?)?")
# IC= followed by a subclass, spaces and a group: "C12N 9/22" -> one word.
_PRINTED_IPC = re.compile(r"([A-Ha-h]\d\d[A-Za-z])\s+(\d+/\d+\*?)(?=[\s()\"@=]|$)")


class QueryError(ValueError):
    """A search command that cannot be run. `position` is 1-based."""

    def __init__(self, problem: str, position: int, text: str = ""):
        super().__init__(f"{problem}（第 {position} 個字元）")
        self.problem = problem
        self.position = position
        self.text = text


class _Beyond(QueryError):
    """A command nested too deep (`deep`) or, through its sets, too large:
    each set it is raised through names itself instead, so that the message
    names the set the user wrote."""

    def __init__(self, problem: str, position: int, text: str, deep: bool):
        super().__init__(problem, position, text)
        self.deep = deep

    @staticmethod
    def named(shown: str, position: int, deep: bool) -> _Beyond:
        """The limit reached in expanding set `shown` (#k) at `position`."""
        if deep:
            problem = (f"檢索結果 {shown} 展開後層數過多：括號與其中引用的檢索結果層層相套，超過 {MAX_DEPTH} 層；"
                       "請少用層層引用的編號或括號，或直接寫出其中的條件")
        else:
            problem = (f"檢索結果 {shown} 展開後過於龐大：其中引用的檢索結果共超過 {MAX_SET_NODES:,} 個檢索條件；"
                       "請少用層層引用的編號，或直接寫出所需的條件")
        return _Beyond(problem, position, shown, deep)


# --- the AST ---------------------------------------------------------------


@dataclass(frozen=True)
class Term:
    """A word or quoted phrase searched in `fields` (field codes)."""

    text: str
    fields: tuple[str, ...] = DEFAULT_FIELDS
    truncated: bool = False
    phrase: bool = False
    # `text` is a pattern (bat?ery, polymeri*ation, 電?池): the store's
    # vocabulary turns it into the words it stands for (expand.py)
    wildcard: bool = False
    # written inside TR(…): searched with its translations (translate.py)
    translate: bool = False

    @property
    def word(self) -> str:
        """The word as the user wrote it, without quotes."""
        return self.text + "*" if self.truncated else self.text


@dataclass(frozen=True)
class DateRange:
    """field (AD or ID) between start and end, inclusive "YYYYMMDD"; None = open.
    `position` is the 1-based place of the field code in the command."""

    field: str
    start: str | None
    end: str | None
    position: int = field(default=1, compare=False)


@dataclass(frozen=True)
class Similar:
    """Closeness to a text, or (number set) to the stored patent with that
    publication number; across languages (SIM=) or in the text's own only
    (SIM1=). `position` is the 1-based place of "SIM=" in the command."""

    text: str = ""
    number: str = ""
    position: int = field(default=1, compare=False)
    crossing: bool = True

    @property
    def code(self) -> str:
        return SIMILAR_CODE if self.crossing else ONE_LANGUAGE_CODE


@dataclass(frozen=True)
class Prior:
    """The records published before the earliest priority date of the stored
    patent with publication number `number` (its prior art by date).
    `position` is the 1-based place of "PRIOR=" in the command."""

    number: str
    position: int = field(default=1, compare=False)


@dataclass(frozen=True)
class And:
    items: tuple[Node, ...]


@dataclass(frozen=True)
class Or:
    items: tuple[Node, ...]


@dataclass(frozen=True)
class Translated(Or):
    """A word written inside TR(…) (`word`, as written) with its
    translations: searched as the OR of its items, kept as one group so that
    ranking may treat it as one term."""

    word: str = ""


@dataclass(frozen=True)
class Not:
    item: Node


@dataclass(frozen=True)
class Near:
    """Words of `left` and `right` within `distance` words of each other in
    one field (`ordered`: right after left). Each side is a Term or an Or of
    Terms. A Latin word is one word, each Chinese character one word."""

    left: Node
    right: Node
    distance: int
    ordered: bool


@dataclass(frozen=True)
class Chain:
    """The records linked to the patent with publication number `number` by
    citations, up to `depth` levels: those citing it and those citing them
    (CT/2=), or (backward) those it cites and those they cite (REF=, REF/2=).
    `position` is the 1-based place of its code in the command."""

    number: str
    backward: bool
    depth: int
    position: int = field(default=1, compare=False)

    @property
    def code(self) -> str:
        """The code as a command writes it: REF, REF/2, CT/3."""
        code = CITED_CODE if self.backward else CITING_CODE
        return f"{code}/{self.depth}" if self.depth > 1 else code


Node = Union[Term, DateRange, Similar, Prior, Chain, And, Or, Translated, Not, Near]


@dataclass(frozen=True)
class Query:
    root: Node
    command: str
    # The numbered result sets the command used (#k): (k, that run's command), in order of first use.
    sets: tuple[tuple[int, str], ...] = ()

    def terms(self) -> tuple[Term, ...]:
        """The words and phrases in command order."""
        return tuple(_terms(self.root))

    def words(self) -> tuple[str, ...]:
        """The distinct words as written, in command order."""
        return tuple(dict.fromkeys(term.word for term in self.terms()))

    def similar(self) -> Similar | None:
        """The SIM= part of the command (always a top-level AND operand), if any."""
        items = self.root.items if isinstance(self.root, And) else (self.root,)
        return next((item for item in items if isinstance(item, Similar)), None)

    def filters(self) -> Query | None:
        """The command without its SIM= part (None when nothing else is left)."""
        if not isinstance(self.root, And):
            return None if isinstance(self.root, Similar) else self
        rest = tuple(item for item in self.root.items if not isinstance(item, Similar))
        return Query(rest[0] if len(rest) == 1 else And(rest), self.command, self.sets)


def _terms(node: Node) -> Iterator[Term]:
    return (item for item in nodes(node) if isinstance(item, Term))


def nodes(node: Node) -> Iterator[Node]:
    """node and every node under it, depth first, in command order."""
    yield node
    if isinstance(node, Not):
        yield from nodes(node.item)
    elif isinstance(node, Near):
        yield from nodes(node.left)
        yield from nodes(node.right)
    elif isinstance(node, (And, Or)):
        for item in node.items:
            yield from nodes(item)


# --- lexer -----------------------------------------------------------------


@dataclass(frozen=True)
class _Token:
    kind: str  # WORD PHRASE OP FIELD DATE LP RP AT SET NEAR TR CHAIN
    text: str
    pos: int  # 0-based index into the command
    fields: tuple[tuple[str, int], ...] = ()  # AT: (code, position) pairs
    truncated: bool = False  # PHRASE: a "*" follows the closing quote
    distance: int = 0  # NEAR: the words allowed between; CHAIN: its levels


_CODES_SHOWN = "、".join(code if REGISTRY[code].caption == code else f"{code} {REGISTRY[code].caption}" for code in COMMAND_CODES) + (
    "、SIM 相似檢索、SIM1 相似檢索（只比對原文的語言）、PRIOR 前案（早於優先權日）、REF 該專利引用的專利、"
    "CT/2 與 REF/2 引用鏈（最多 3 層）"
)


def _field_code(text: str, pos: int) -> str:
    code = text.upper()
    if code == CITED_CODE:  # only a field list reaches here with it
        raise QueryError("「REF」不能放在「@」後面，請寫成 REF=公開公告號，例如 REF=US8930553B2", pos + 1, text)
    if code not in COMMAND_CODES and code not in (*SIMILAR_CODES, PRIOR_CODE):
        raise QueryError(f"未知的欄位代碼「{text}」；可用的欄位代碼：{_CODES_SHOWN}", pos + 1, text)
    return code


_SET = re.compile(r"#\d{1,9}")  # a numbered result set: #3
_CHAIN = re.compile(r"(?i)(CT|REF)(?:/(\d+))?")  # before "=": CT/2=, REF=, REF/3=

# Operators of other search systems that this language does not have, with
# what to write instead. Matched on a whole unquoted word, any letter case.
# With a distance (NEAR/5, w/3, PRE/2, ADJ3) in any letter case; bare, only
# in capitals, since near, with and same are English words too.
_PROXIMITY = re.compile(r"(?i:(?:ONEAR|W|PRE)/\d*|(?:NEAR|ADJ)\d+)|NEAR|ONEAR|ADJ|SAME|WITH")
# NEAR/5 (either order) and ADJ/3 (in this order), within 1 to MAX_DISTANCE words.
_NEAR = re.compile(r"(?i)(NEAR|ADJ)/(\d*)")
MAX_DISTANCE = 100
_FOREIGN_FIELD = re.compile(r"([A-Za-z][A-Za-z_]*):")
_NO_PROXIMITY = "鄰近運算子「{}」不支援：請改用 NEAR/n（兩詞相距 n 個字詞以內，順序不拘）或 ADJ/n（後詞在前詞之後 n 個字詞以內），例如 電池 NEAR/5 電極"


def _foreign(word: str, pos: int) -> None:
    """Refuse a word that is an operator or field form of another search
    system: it would otherwise be searched as text and find nothing."""
    quoted = f"；若要檢索這個字本身，請加引號，例如 \"{word}\""
    if _PROXIMITY.fullmatch(word):
        raise QueryError(_NO_PROXIMITY.format(word) + quoted, pos + 1, word)
    if word.startswith("#"):
        raise QueryError(f"「{word}」不是檢索結果編號：請寫成 #1、#2…；單獨輸入 # 可列出歷次檢索的編號", pos + 1, word)
    if field := _FOREIGN_FIELD.match(word):
        name = field[1]
        hint = f"請寫成 {name.upper()}=…" if name.upper() in COMMAND_CODES else f"可用的欄位代碼：{_CODES_SHOWN}，寫法如 TI=電池"
        raise QueryError(f"「{word}」：欄位不用「:」指定，{hint}", pos + 1, word)
    for mark, problem in (
        ("|", "「|」不是運算子，請改用 OR，例如 電池 OR 電容"),
        ("~", "「~」（模糊比對或詞組鄰近）不支援，請改用 AND 或以引號檢索詞組"),
        ("$", "截詞符號「$」不支援，請改用「*」，例如 batter*"),
        ("{", "大括號「{ }」不支援，詞組請用引號，例如 \"固態電池\""),
        ("}", "大括號「{ }」不支援，詞組請用引號，例如 \"固態電池\""),
    ):
        if mark in word:
            raise QueryError(f"「{word}」：{problem}", pos + word.index(mark) + 1, word)


def _lex(command: str) -> list[_Token]:
    text = command.translate(_CHARACTER_MAP)
    tokens: list[_Token] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif c in "()":
            tokens.append(_Token("LP" if c == "(" else "RP", c, i))
            i += 1
        elif c == '"':
            close = text.find('"', i + 1)
            if close < 0:
                raise QueryError(f"引號沒有結束「{text[i:i + 20]}」", i + 1, text[i:])
            truncated = close + 1 < n and text[close + 1] == "*"
            tokens.append(_Token("PHRASE", text[i + 1 : close], i, truncated=truncated))
            i = close + 1 + truncated
        elif c == "@":
            i = _lex_field_list(text, i, tokens)
        elif c == "=":
            raise QueryError("「=」前面需要欄位代碼，例如 TI=電池", i + 1, "=")
        elif c == "-" and i + 1 < n and not text[i + 1].isspace() and (i == 0 or text[i - 1].isspace() or text[i - 1] == "("):
            tokens.append(_Token("OP", "NOT", i))  # a leading minus excludes, as in web search engines
            i += 1
        else:
            j = i
            while j < n and not text[j].isspace() and text[j] not in _WORD_END:
                j += 1
            word = text[i:j]
            if _SET.fullmatch(word):
                tokens.append(_Token("SET", word[1:], i))
                i = j
                continue
            # TR( in any letter case; TR= and a bare capital TR are refused (tr alone is a word)
            if (word.upper() == TRANSLATE_CODE and j < n and text[j] in "(=") or word == TRANSLATE_CODE:
                if j >= n or text[j] != "(":
                    raise QueryError(f"翻譯檢索要寫成 {TRANSLATE_CODE}(檢索詞)，括號緊接在 {TRANSLATE_CODE} 後面，例如 TR(電池)、"
                                     f"TR(電池 NEAR/3 電極)；若要檢索「{word}」這個字本身，請加引號 \"{word}\"", i + 1, word)
                tokens.append(_Token("TR", TRANSLATE_CODE, i))
                i = j
                continue
            if near := _NEAR.fullmatch(word):
                distance = int(near[2]) if near[2] else 0
                if not 1 <= distance <= MAX_DISTANCE:
                    raise QueryError(f"「{word}」的距離要是 1 到 {MAX_DISTANCE} 的整數，例如 {near[1].upper()}/5", i + 1, word)
                tokens.append(_Token("NEAR", near[1].upper(), i, distance=distance))
                i = j
                continue
            if j < n and text[j] == "=" and (chain := _CHAIN.fullmatch(word)) and (chain[2] or chain[1].upper() == CITED_CODE):
                tokens.append(_chain_token(word, chain, i))
                i = j + 1
                continue
            if not (j < n and text[j] == "=" and word.upper() in COMMAND_CODES):
                _foreign(word, i)
            if j < n and text[j] == "=":
                code = _field_code(word, i)
                tokens.append(_Token("FIELD", code, i))
                i = j + 1
                if code in REGISTRY and REGISTRY[code].indexed_levels and (printed := _PRINTED_IPC.match(text, i)):
                    tokens.append(_Token("WORD", printed[1] + printed[2], i))
                    i = printed.end()
                if code in DATE_FIELDS:
                    j = i
                    while j < n and not text[j].isspace() and text[j] not in "()":
                        j += 1
                    if j == i:
                        raise QueryError(f"「{word}=」後面需要日期，例如 {code}=2015:2024", i, word + "=")
                    tokens.append(_Token("DATE", text[i:j], i))
                    i = j
            else:
                kind = "OP" if word.upper() in _OPERATORS else "WORD"
                tokens.append(_Token(kind, word.upper() if kind == "OP" else word, i))
                i = j
    return tokens


def _chain_token(word: str, chain: re.Match[str], at: int) -> _Token:
    """CT/n= or REF/n= (REF= is one level): CT/1= is CT=, the records citing the patent."""
    code = chain[1].upper()
    depth = int(chain[2]) if chain[2] else 1
    if not 1 <= depth <= MAX_CHAIN_LEVELS:
        raise QueryError(f"「{word}=」：引用鏈的層數要是 1 到 {MAX_CHAIN_LEVELS}（最多 {MAX_CHAIN_LEVELS} 層）；請改寫成 {code}/{MAX_CHAIN_LEVELS}=…（三層），"
                         f"或 {code}/2=…（兩層）、{code}=…（一層），例如 {code}/2=US8930553B2", at + 1, word)
    if code == CITING_CODE and depth == 1:
        return _Token("FIELD", CITING_CODE, at)
    return _Token("CHAIN", code, at, distance=depth)


def _lex_field_list(text: str, at: int, tokens: list[_Token]) -> int:
    """Read "@TI,AB,CL" starting at the "@"; returns the index after it."""
    fields: list[tuple[str, int]] = []
    i = at + 1
    while True:
        j = i
        while j < len(text) and text[j].isascii() and text[j].isalnum():  # SIM1 has a digit
            j += 1
        if j == i:
            found = f"，卻是「{text[i]}」" if i < len(text) else ""
            raise QueryError(f"「@」後面需要欄位代碼，例如 @TI,AB{found}", i + 1, text[i : i + 1])
        fields.append((_field_code(text[i:j], i), i))
        if j < len(text) and text[j] == ",":
            i = j + 1
            while i < len(text) and text[i] == " ":
                i += 1
        else:
            tokens.append(_Token("AT", "@", at, tuple(fields)))
            return j


# --- parser ----------------------------------------------------------------


def parse(command: str, sets: Mapping[int, str] | None = None, unreadable: str = "") -> Query:
    """Parse a search command; raises QueryError for any mistake. `sets`: the
    numbered result sets (k -> the command of run k) that #k may name; #k
    stands for that command, run again on the collection as it is now.
    `unreadable`: why the sets could not be read, said when #k appears."""
    return _parse(command, _Sets(sets or {}, unreadable), 0)[0]


@dataclass
class _Sets:
    """The numbered sets one command may name, each parsed once."""

    commands: Mapping[int, str]
    unreadable: str = ""
    parsed: dict[int, tuple[Query, int, int]] = field(default_factory=dict)  # k -> (query, its depth, its size)
    reading: list[int] = field(default_factory=list)  # the sets being parsed: a set never names itself


def _parse(command: str, sets: _Sets, depth: int) -> tuple[Query, int]:
    """The Query of `command` read `depth` levels deep, and the levels its tree adds."""
    if len(command) > MAX_COMMAND_LENGTH:
        raise QueryError(f"檢索指令過長（上限 {MAX_COMMAND_LENGTH} 個字元）", MAX_COMMAND_LENGTH + 1)
    tokens = _lex(command)
    if not tokens:
        raise QueryError("檢索指令是空的", 1)
    parser = _Parser(tokens, sets, depth)
    root = parser.parse()
    _check_similar(root)
    root = _assign_fields(root, DEFAULT_FIELDS)
    _check_near_fields(root)
    root = _normalised(root, command)
    _check_code_fields(root, command)
    query = Query(root, command, tuple(parser.used.items()))
    if len(query.words()) > MAX_WORDS:
        raise QueryError(
            f"檢索詞過多：共 {len(query.words())} 個不同的檢索詞，上限 {MAX_WORDS} 個（每筆結果都要比對每個檢索詞），請分成幾次檢索",
            1,
        )
    return query, parser.deepest - depth


_OPERAND_START = {"WORD", "PHRASE", "LP", "FIELD", "SET", "TR", "CHAIN"}


def _near_operand(node: Node) -> bool:
    return isinstance(node, Term) or (isinstance(node, Or) and all(isinstance(item, Term) for item in node.items))


def _check_near_fields(node: Node) -> None:
    """Proximity holds inside one field: both sides search the same fields."""
    for item in nodes(node):
        if isinstance(item, Near):
            fields = {term.fields for term in _terms(item)}
            if refused := [code for codes in fields for code in codes if REGISTRY[code].kind != "text"]:
                shown = f"{'ADJ' if item.ordered else 'NEAR'}/{item.distance}"
                raise QueryError(f"「{shown}」不能用在{_named(refused[0])}上", 1, shown)
            if len(fields) > 1:
                shown = f"{'ADJ' if item.ordered else 'NEAR'}/{item.distance}"
                raise QueryError(f"「{shown}」兩邊的欄位不同：鄰近只在同一個欄位內比對，請寫成 TI=(a {shown} b) 或 (a {shown} b)@TI", 1, shown)


def _named(code: str) -> str:
    """A field code with its caption: "PN（公開公告號）", "CPC"."""
    caption = REGISTRY[code].caption
    return code if caption == code else f"{code}（{caption}）"


def _check_code_fields(root: Node, command: str) -> None:
    """CPC=, CT= and FAM= search stored codes, each field on its own: a CPC
    symbol (its levels, or truncated with *), a publication number."""
    for term in _terms(root):
        codes = [code for code in term.fields if code in CODE_FIELDS]
        if not codes:
            continue
        at = command.find(term.text) + 1 or 1
        if len(term.fields) > 1:
            raise QueryError(f"{_named(codes[0])}要單獨指定，不能與其他欄位一起，例如 {codes[0]}=…", at, codes[0])
        if term.wildcard:
            raise QueryError(f"{codes[0]}= 不能使用萬用字元「?」；分類號請寫到次類或主目，或在詞尾加 *，例如 CPC=H01M10*", at, term.text)
        if REGISTRY[codes[0]].scheme == "publication" and (term.truncated or pn.query_parts(term.text) is None):
            raise QueryError(f"{codes[0]}= 後面要是公開公告號，例如 {codes[0]}=US8930553B2", at, term.text)


def _normalised(node: Node, command: str) -> Node:
    """The command with each LS= and DT= value as the value it names
    (field_values: LS=active is LS=有效), identical operands then kept once;
    QueryError for a value the field has not, or a pattern."""
    if isinstance(node, Term):
        if len(node.fields) != 1 or REGISTRY[node.fields[0]].scheme not in NORMALISED:
            return node  # a field list with LS or DT is refused by _check_code_fields
        values, at = NORMALISED[REGISTRY[node.fields[0]].scheme], command.find(node.text) + 1 or 1
        listed = "、".join(values.values)
        if node.truncated or node.wildcard:
            raise QueryError(f"{values.code}= 的值要完整寫出，不能截詞或使用萬用字元；可用的值：{listed}", at, node.word)
        try:
            return replace(node, text=values.searched(node.text), phrase=False)
        except ValueError as error:
            raise QueryError(str(error), at, node.text) from None
    if isinstance(node, Not):
        return Not(_normalised(node.item, command))
    if isinstance(node, (And, Or)):
        items = [_normalised(item, command) for item in node.items]
        return node if all(new is old for new, old in zip(items, node.items)) else _join(type(node), items)
    return node


class _Parser:
    def __init__(self, tokens: list[_Token], sets: _Sets, depth: int = 0):
        self.tokens = tokens
        self.index = 0
        self.sets = sets
        self.start = self.deepest = depth  # the level the command is read at, the deepest one reached
        self.added = 0  # nodes the sets put in
        self.used: dict[int, str] = {}
        # id() of each set's tree and of its operands (what flattening may
        # lift into a larger AND or OR): the trees stay alive in self.sets
        self.set_nodes: set[int] = set()
        self.marked: list[Node] = []

    def peek(self) -> _Token | None:
        return self.tokens[self.index] if self.index < len(self.tokens) else None

    def take(self) -> _Token:
        token = self.tokens[self.index]
        self.index += 1
        return token

    def parse(self) -> Node:
        node = self.or_expr(self.start)
        token = self.peek()
        if token is not None:  # only a ")" without its "(" stops the loops early
            raise QueryError("多出的右括號「)」", token.pos + 1, ")")
        return node

    def expect_operand(self, after: _Token, shown: str) -> None:
        token = self.peek()
        if token is None or not (token.kind in _OPERAND_START or (token.kind == "OP" and token.text == "NOT")):
            raise QueryError(f"「{shown}」後面缺少檢索詞", after.pos + 1, shown)

    def or_expr(self, depth: int) -> Node:
        items = [self.and_expr(depth)]
        while (token := self.peek()) is not None and token.kind == "OP" and token.text == "OR":
            self.expect_operand(self.take(), token.text)
            items.append(self.and_expr(depth))
        return _join(Or, items)

    def and_expr(self, depth: int) -> Node:
        items = [self.unary(depth)]
        while (token := self.peek()) is not None and token.kind != "RP":
            if token.kind == "OP" and token.text == "OR":
                break
            if token.kind == "OP" and token.text == "AND":
                self.expect_operand(self.take(), token.text)
            items.append(self.unary(depth))
        return _join(And, items)

    def unary(self, depth: int) -> Node:
        negations = 0
        while (token := self.peek()) is not None and token.kind == "OP" and token.text == "NOT":
            self.expect_operand(self.take(), token.text)
            negations += 1
        node = self.near(depth)
        return Not(node) if negations % 2 else node

    def near(self, depth: int) -> Node:
        """a NEAR/n b, a ADJ/n b: binds tighter than NOT, AND and OR."""
        left = self.restricted(depth)
        token = self.peek()
        if token is None or token.kind != "NEAR":
            return left
        shown = f"{token.text}/{token.distance}"
        self.take()
        if self.peek() is None or self.peek().kind not in _OPERAND_START:
            raise QueryError(f"「{shown}」後面缺少檢索詞", token.pos + 1, shown)
        right = self.restricted(depth)
        for side in (left, right):
            if not _near_operand(side) or any(id(item) in self.set_nodes for item in nodes(side)):
                raise QueryError(f"「{shown}」的兩邊只能是詞、片語、截詞或以 OR 連接的一組詞，例如 (電池 OR battery) {shown} 電極",
                                 token.pos + 1, shown)
        following = self.peek()
        if following is not None and following.kind == "NEAR":
            raise QueryError("鄰近運算子不能連用，請用括號分開，例如 (a NEAR/3 b) AND (b NEAR/3 c)", following.pos + 1, following.text)
        return Near(left, right, token.distance, token.text == "ADJ")

    def restricted(self, depth: int) -> Node:
        node = self.primary(depth)
        token = self.peek()
        if token is not None and token.kind == "AT":
            self.take()
            self.no_set_under_limit(node, token.pos + 1)
            node = _assign_fields(node, _text_fields(token.fields), token.pos + 1)
        return node

    def no_set_under_limit(self, node: Node, limit: int) -> None:
        """A result set keeps its own fields: a field limit over it is refused, not ignored."""
        if any(id(item) in self.set_nodes for item in nodes(node)):
            raise QueryError("檢索結果編號 #k 不能加欄位限定（它代表該次檢索的全部條件）；請把欄位限定寫在條件上", limit, "#")

    def result_set(self, token: _Token, depth: int) -> Node:
        """#k: the command of run k, read as a parenthesised part of this one."""
        number, shown, at = int(token.text), f"#{token.text}", token.pos + 1
        commands = self.sets.commands
        if self.sets.unreadable:
            raise QueryError(f"{self.sets.unreadable}，不能使用 {shown}", at, shown)
        if number not in commands or number in self.sets.reading:
            known = f"目前有 #{min(commands)}–#{max(commands)}" if commands else "目前還沒有任何編號的檢索結果"
            raise QueryError(f"沒有檢索結果 {shown}（{known}；單獨輸入 # 可列出歷次檢索）", at, shown)
        if depth >= MAX_DEPTH:
            raise _Beyond.named(shown, at, deep=True)
        if number not in self.sets.parsed:
            self.sets.reading.append(number)
            try:
                self.sets.parsed[number] = self.read_set(number, depth + 1)
            except _Beyond as error:
                raise _Beyond.named(shown, at, error.deep) from None
            except QueryError as error:
                raise QueryError(f"檢索結果 {shown} 的指令已無法執行：{error.problem}", at, shown) from None
            finally:
                self.sets.reading.pop()
        query, levels, size = self.sets.parsed[number]
        if depth + 1 + levels > MAX_DEPTH:
            raise _Beyond.named(shown, at, deep=True)
        self.added += size
        if self.added > MAX_SET_NODES:
            raise _Beyond.named(shown, at, deep=False)
        if query.similar() is not None:
            raise QueryError(f"檢索結果 {shown} 是相似檢索（SIM=），不能與其他條件組合；請重新輸入它的 SIM= 指令", at, shown)
        self.deepest = max(self.deepest, depth + 1 + levels)
        self.used.update(query.sets)
        self.used[number] = commands[number]
        root = query.root
        self.set_nodes.update(map(id, (root, *(root.items if isinstance(root, (And, Or)) else ()))))
        return root

    def read_set(self, number: int, depth: int) -> tuple[Query, int, int]:
        """Set `number` parsed `depth` levels deep (its own level): its query,
        the levels its parentheses and sets reach below that, its nodes."""
        query, levels = _parse(self.sets.commands[number], self.sets, depth)
        return query, levels, sum(1 for _ in nodes(query.root))

    def primary(self, depth: int) -> Node:
        token = self.take()  # expect_operand() and the callers made sure there is one
        if token.kind == "WORD":
            return _word(token)
        if token.kind == "SET":
            return self.result_set(token, depth)
        if token.kind == "PHRASE":
            return _phrase(token)
        if token.kind == "LP":
            return self.group(token, depth)
        if token.kind == "TR":
            return self.translated(token, depth)
        if token.kind == "CHAIN":
            return _chain(token, self.peek() and self.take())
        if token.kind == "FIELD":
            if token.text in SIMILAR_CODES:
                return _similar(token, self.peek() and self.take())
            if token.text == PRIOR_CODE:
                return _prior(token, self.peek() and self.take())
            if token.text in DATE_FIELDS:
                return _date_range(token, self.take())
            following = self.peek()
            if following is None or following.kind not in ("WORD", "PHRASE", "LP", "TR"):
                raise QueryError(f"「{token.text}=」後面需要檢索詞或括號", token.pos + 1, token.text + "=")
            node = self.primary(depth)
            self.no_set_under_limit(node, token.pos + 1)
            return _assign_fields(node, (token.text,), token.pos + 1)
        if token.kind == "RP":
            raise QueryError("多出的右括號「)」", token.pos + 1, ")")
        if token.kind == "AT":
            raise QueryError("「@」前面需要檢索詞或括號", token.pos + 1, "@")
        raise QueryError(f"「{token.text}」前面缺少檢索詞", token.pos + 1, token.text)

    def translated(self, token: _Token, depth: int) -> Node:
        """TR(…): the group with every word under it marked to be searched
        with its translations; a set's nodes stay known as such."""
        opening = self.take()  # the lexer put "(" right after TR
        following = self.peek()
        if following is not None and following.kind == "RP":
            raise QueryError("「TR()」裡面是空的：請把要翻譯的詞寫在括號裡，例如 TR(電池)", token.pos + 1, "TR()")
        return self.mark(self.group(opening, depth))

    def mark(self, node: Node) -> Node:
        """`node` with each Term under it marked translate=True."""
        new: Node
        if isinstance(node, Term):
            new = replace(node, translate=True)
        elif isinstance(node, Not):
            new = Not(self.mark(node.item))
        elif isinstance(node, Near):
            new = replace(node, left=self.mark(node.left), right=self.mark(node.right))
        elif isinstance(node, (And, Or)):
            new = replace(node, items=tuple(map(self.mark, node.items)))
        elif isinstance(node, Similar):
            raise QueryError("SIM= 的描述文字不翻譯：請把 SIM= 寫在 TR( ) 之外，例如 SIM=\"…\" AND TR(電池)", node.position, "SIM=")
        else:
            return node
        if id(node) in self.set_nodes:
            self.set_nodes.add(id(new))
            self.marked.append(new)  # alive while the command is read, so its id names no other node
        return new

    def group(self, opening: _Token, depth: int) -> Node:
        if depth >= MAX_DEPTH:
            raise _Beyond(f"括號層數過多（上限 {MAX_DEPTH} 層）", opening.pos + 1, "(", deep=True)
        self.deepest = max(self.deepest, depth + 1)
        token = self.peek()
        if token is not None and token.kind == "RP":
            raise QueryError("空的括號「()」", opening.pos + 1, "()")
        if token is None:
            raise QueryError("左括號「(」沒有對應的右括號", opening.pos + 1, "(")
        node = self.or_expr(depth + 1)
        token = self.peek()
        if token is None or token.kind != "RP":
            raise QueryError("左括號「(」沒有對應的右括號", opening.pos + 1, "(")
        self.take()
        return node


def _join(kind: type[And] | type[Or], items: list[Node]) -> Node:
    """A single item, or an n-ary node with nested nodes of the same kind
    flattened and identical operands kept once (a word counts once in the
    ranking however often it is joined: #3 OR #3 ranks as #3)."""
    if len(items) == 1:
        return items[0]
    flat: list[Node] = []
    for item in items:
        flat.extend(item.items if isinstance(item, kind) else (item,))
    distinct = tuple(dict.fromkeys(flat))
    return distinct[0] if len(distinct) == 1 else kind(distinct)


def _text_fields(fields: tuple[tuple[str, int], ...]) -> tuple[str, ...]:
    for code, pos in fields:
        if code in SIMILAR_CODES:
            raise QueryError(f"「{code}」不能放在「@」後面，請寫成 {code}=\"描述文字\" 或 {code}=公開公告號", pos + 1, code)
        if code in DATE_FIELDS:
            raise QueryError(f"日期欄位「{code}」只能寫成 {code}=日期，例如 {code}=2015:2024", pos + 1, code)
    return tuple(dict.fromkeys(code for code, _ in fields))


def _assign_fields(node: Node, fields: tuple[str, ...], limit: int = 0) -> Node:
    """Give `fields` (with their other languages' fields, searched_fields())
    to the terms under node that have none yet (marked by ()).
    `limit`: the place of a field limit the user wrote (a TI= or @TI), which
    a date or SIM= under it cannot take: refused rather than ignored."""
    fields = searched_fields(fields)
    if isinstance(node, Term):
        return node if node.fields else replace(node, fields=fields)
    if isinstance(node, Not):
        return Not(_assign_fields(node.item, fields, limit))
    if isinstance(node, (And, Or)):
        items = [_assign_fields(item, fields, limit) for item in node.items]
        if all(new is old for new, old in zip(items, node.items)):  # a set's tree, read already: kept as it is
            return node
        return _join(type(node), items)  # terms that differed only by their missing fields may be one now
    if isinstance(node, Near):
        return replace(node, left=_assign_fields(node.left, fields, limit), right=_assign_fields(node.right, fields, limit))
    if limit and isinstance(node, Similar):
        code = node.code
        raise QueryError(f"{code}= 不能加欄位限定（它比對專利名稱、摘要與專利範圍）；請把欄位限定拿掉，或寫成 {code}=\"…\" AND TI=…",
                         limit, f"{code}=")
    if limit and isinstance(node, Prior):
        raise QueryError("PRIOR= 不能加欄位限定；請把它移到括號或欄位限定之外", limit, "PRIOR=")
    if limit and isinstance(node, Chain):
        raise QueryError(f"{node.code}= 不能加欄位限定；請把它移到括號或欄位限定之外", limit, f"{node.code}=")
    if limit and isinstance(node, DateRange):
        raise QueryError(f"日期條件 {node.field}= 不能加欄位限定；請把它移到括號或欄位限定之外", limit, node.field)
    return node


def _searchable(text: str, truncated: bool, token: _Token, shown: str) -> None:
    if not search_tokens(text, truncated)[0]:
        raise QueryError(f"「{shown}」沒有可檢索的文字", token.pos + 1, shown)


def _word(token: _Token) -> Term:
    word = token.text
    star = word.find("*")
    if word == "*":
        raise QueryError("單獨的「*」不是檢索詞，截詞要接在詞尾，例如 H01M*", token.pos + 1, "*")
    if "?" in word or 0 <= star < len(word) - 1:
        return _pattern(token)
    truncated = star >= 0
    text = word[:-1] if truncated else word
    _searchable(text, truncated, token, word)
    return Term(text, (), truncated)


_CJK_PATTERN = re.compile(f"[{CJK}?]+\\*?")
_LATIN_PATTERN = re.compile(rf"[^\W_{CJK}](?:[^\W_{CJK}]|[?*]|[./](?=[^\W_{CJK}]))*")
_PATTERN_EXAMPLE = "，例如 bat?ery、polymeri*ation、電?池"


def _pattern(token: _Token) -> Term:
    """A word with wildcards: "?" one character, "*" inside a Latin word any
    run of characters after its first three. All Chinese characters or all
    letters, digits and the "." "/" of codes; it starts with a character."""
    word, at = token.text, token.pos + 1
    if word[0] in "?*":
        raise QueryError(f"「{word}」：萬用字元「{word[0]}」前面至少要有一個字" + _PATTERN_EXAMPLE, at, word)
    if _CJK_PATTERN.fullmatch(word):
        return Term(word.rstrip("*"), (), wildcard=True)  # a trailing "*" changes nothing on Chinese characters
    if not _LATIN_PATTERN.fullmatch(word):
        raise QueryError(f"「{word}」：萬用字元只能用在全為中文字、或全為英文字母與數字的詞" + _PATTERN_EXAMPLE, at, word)
    star = word.find("*")
    if 0 <= star < 3 and star < len(word) - 1:
        raise QueryError(f"「{word}」：詞中的「*」前面至少要有三個字母，例如 polymeri*ation", at + star, word)
    return Term(word, (), wildcard=True)


def _phrase(token: _Token) -> Term:
    text = token.text
    if not text.strip():
        raise QueryError("空的引號「\"\"」", token.pos + 1, '""')
    _searchable(text, token.truncated, token, f'"{text}"')
    return Term(text, (), token.truncated, phrase=True)


def _date_range(code: _Token, token: _Token) -> DateRange:
    field, at = code.text, code.pos + 1
    value = token.text
    if "*" in value:
        raise QueryError(f"日期不能使用截詞符號「*」「{value}」", token.pos + value.index("*") + 1, value)
    parts = value.split(":")
    if len(parts) > 2:
        raise QueryError(f"日期範圍只能有一個「:」「{value}」", token.pos + 1, value)
    if len(parts) == 1:
        return DateRange(field, _date_bound(value, token.pos, False), _date_bound(value, token.pos, True), at)
    first, last = parts
    if not first and not last:
        raise QueryError(f"日期範圍至少要有起點或終點「{value}」", token.pos + 1, value)
    start = _date_bound(first, token.pos, False) if first else None
    end = _date_bound(last, token.pos + len(first) + 1, True) if last else None
    if start and end and start > end:
        raise QueryError(f"日期範圍的起點晚於終點「{value}」", token.pos + 1, value)
    return DateRange(field, start, end, at)


def _date_bound(text: str, pos: int, end: bool) -> str:
    """YYYY, YYYYMM or YYYYMMDD (optionally with - / . separators) as the
    first (end=False) or last (end=True) day it covers."""
    match = _DATE.fullmatch(text)
    problem = f"日期「{text}」格式不正確，應為 YYYYMMDD、YYYYMM 或 YYYY"
    if not match:
        raise QueryError(problem, pos + 1, text)
    year, month, day = int(match[1]), match[2], match[3]
    if year == 0 or (month and not 1 <= int(month) <= 12):
        raise QueryError(f"日期「{text}」不存在", pos + 1, text)
    if month is None:
        return f"{year:04d}1231" if end else f"{year:04d}0101"
    last_day = calendar.monthrange(year, int(month))[1]
    if day is None:
        return f"{year:04d}{month}{last_day if end else 1:02d}"
    if not 1 <= int(day) <= last_day:
        raise QueryError(f"日期「{text}」不存在", pos + 1, text)
    return f"{year:04d}{month}{day}"


def _similar(token: _Token, value: _Token | None) -> Similar:
    """SIM="text" or SIM=<publication number>; SIM1= alike."""
    code = token.text
    example = f'，例如 {code}="一種具有防爆閥的固態電池" 或 {code}=TWI700214B'
    if value is None or value.kind not in ("PHRASE", "WORD"):
        raise QueryError(f"「{code}=」後面需要以引號括住的描述文字或公開公告號" + example, token.pos + 1, f"{code}=")
    crossing = code == SIMILAR_CODE
    if value.kind == "PHRASE":
        if not search_tokens(value.text)[0]:
            raise QueryError(f"「{code}=」的描述文字沒有可檢索的字詞" + example, value.pos + 1, value.text[:20])
        return Similar(text=value.text, position=token.pos + 1, crossing=crossing)
    if pn.query_parts(value.text) is None:
        raise QueryError(f"「{value.text}」不是公開公告號；描述文字請用引號括住" + example, value.pos + 1, value.text)
    return Similar(number=value.text, position=token.pos + 1, crossing=crossing)


def _prior(token: _Token, value: _Token | None) -> Prior:
    """PRIOR=<publication number>."""
    if value is None or value.kind != "WORD" or pn.query_parts(value.text) is None:
        shown = value.text if value is not None else ""
        raise QueryError(f"「PRIOR=」後面要是資料庫中專利的公開公告號，例如 PRIOR=TWI700214B{('（「' + shown + '」不是）') if shown else ''}",
                         token.pos + 1, "PRIOR=")
    return Prior(value.text, token.pos + 1)


def _chain(token: _Token, value: _Token | None) -> Chain:
    """REF=<number>, REF/n=<number>, CT/n=<number>: one publication number."""
    backward = token.text == CITED_CODE
    code = Chain("", backward, token.distance).code
    if value is None or value.kind != "WORD" or pn.query_parts(value.text) is None:
        shown = f"（「{value.text}」不是）" if value is not None and value.kind in ("WORD", "PHRASE") else ""
        raise QueryError(f"「{code}=」後面要是一個公開公告號，例如 {code}=US8930553B2{shown}；"
                         f"幾件專利請分開寫，例如 {code}=US8930553B2 OR {code}=TWI700214B", token.pos + 1, f"{code}=")
    return Chain(value.text, backward, token.distance, token.pos + 1)


def _check_similar(root: Node) -> None:
    """SIM= may appear once, as an operand of the top-level AND: the other
    operands filter the patents it ranks."""
    items = root.items if isinstance(root, And) else (root,)
    found = [item for item in nodes(root) if isinstance(item, Similar)]
    if len(found) > 1:
        raise QueryError("一個檢索指令只能有一個 SIM= 或 SIM1=", found[1].position, f"{found[1].code}=")
    if found and not any(item is found[0] for item in items):
        code = found[0].code
        raise QueryError(f"{code}= 只能以 AND 與其他條件結合（不能放在 OR 或 NOT 之下）", found[0].position, f"{code}=")
