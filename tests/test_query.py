"""The search command language: parsing, errors, compiling, segmentation, fuzzing."""

from __future__ import annotations

import re
import sqlite3
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from near_reference import near_test
from varnel_host.expand import expand
from varnel_host import pn
from varnel_host.citations import chains
from varnel_host.query import (
    MAX_DEPTH,
    And,
    DateRange,
    Not,
    Or,
    Query,
    QueryError,
    Term,
    parse,
)
from varnel_host.query_plan import near_check, proximities
from varnel_host.sqlite_query import SqliteVocabulary, compile_query
from varnel_host.records import PatentRecord, searched_fields
from varnel_host.loading import add_records
from varnel_host.segment import index_text, search_tokens, tokens
from varnel_host.store import PatentStore

DEFAULT = ("TI", "AB", "CL")


def T(text, fields=DEFAULT, truncated=False, phrase=False):
    """A term as parsed: TI and AB with their other languages' fields."""
    return Term(text, searched_fields(fields), truncated, phrase)


@pytest.mark.parametrize(
    "command, expected",
    [
        ("電池", T("電池")),
        ("電池 battery", And((T("電池"), T("battery")))),
        ("電池 and battery AND x", And((T("電池"), T("battery"), T("x")))),
        ("a OR b c", Or((T("a"), And((T("b"), T("c")))))),
        ("a or b NOT c", Or((T("a"), And((T("b"), Not(T("c"))))))),
        ("NOT a b", And((Not(T("a")), T("b")))),
        ("not NOT a", T("a")),
        ("(a OR b) c", And((Or((T("a"), T("b"))), T("c")))),
        ("((a))", T("a")),
        ('"固態 電池"', T("固態 電池", phrase=True)),
        ('"OR"', T("OR", phrase=True)),
        ("H01M*", T("H01M", truncated=True)),
        ("TI=電池", T("電池", ("TI",))),
        ("ti=(電池 OR battery)", Or((T("電池", ("TI",)), T("battery", ("TI",))))),
        ('TI="固態電池"', T("固態電池", ("TI",), phrase=True)),
        ("TI=電池 battery", And((T("電池", ("TI",)), T("battery")))),
        ("TI= 電池", T("電池", ("TI",))),
        ("(電池 OR battery)@TI,AB,CL", Or((T("電池"), T("battery")))),
        ("(電池 OR battery)@ti, Ab", Or((T("電池", ("TI", "AB")), T("battery", ("TI", "AB"))))),
        ("電池@PA", T("電池", ("PA",))),
        ("(電池 OR IC=H01M*)@AB", Or((T("電池", ("AB",)), T("H01M", ("IC",), True)))),
        ("AD=20150101:20241231", DateRange("AD", "20150101", "20241231")),
        ("ad=2015:2024", DateRange("AD", "20150101", "20241231")),
        ("AD=201503:202402", DateRange("AD", "20150301", "20240229")),
        ("ID=:20241231", DateRange("ID", None, "20241231")),
        ("AD=2015:", DateRange("AD", "20150101", None)),
        ("AD=2020", DateRange("AD", "20200101", "20201231")),
        ("AD=20200229", DateRange("AD", "20200229", "20200229")),
        ("AD=2023-02", DateRange("AD", "20230201", "20230228")),
        ("電池 AD=2015:2024", And((T("電池"), DateRange("AD", "20150101", "20241231")))),
        ("ＴＩ＝電池　ＯＲ　（ｂａｔｔｅｒｙ）", Or((T("電池", ("TI",)), T("battery")))),
        ("「固態電池」", T("固態電池", phrase=True)),
    ],
)
def test_parse(command, expected):
    assert parse(command).root == expected


@pytest.mark.parametrize(
    "command, position, fragment",
    [
        ("", 1, "空的"),
        ("   ", 1, "空的"),
        ("電池 XY=1", 4, "未知的欄位代碼「XY」"),
        ("(電池 OR battery)@TI,QQ", 20, "未知的欄位代碼「QQ」"),
        ("(電池 OR battery", 1, "右括號"),
        ("電池)", 3, "多出的右括號"),
        ('TI="固態電池', 4, "引號沒有結束"),
        ("AD=20241331", 4, "「20241331」不存在"),
        ("AD=20230229", 4, "「20230229」不存在"),
        ("AD=2015:2010", 4, "起點晚於終點"),
        ("AD=2015:2O24", 9, "「2O24」格式不正確"),
        ("AD=abc", 4, "「abc」格式不正確"),
        ("AD=2015:2020:2024", 4, "只能有一個"),
        ("AD=:", 4, "起點或終點"),
        ("AD=", 3, "後面需要日期"),
        ("電池 AND ()", 8, "空的括號"),
        ("電池 AND", 4, "「AND」後面缺少檢索詞"),
        ("電池 OR NOT", 7, "「NOT」後面缺少檢索詞"),
        ("(電池 OR) b", 5, "「OR」後面缺少檢索詞"),
        ("AND 電池", 1, "「AND」前面缺少檢索詞"),
        ("AD=2015*", 8, "截詞"),
        ("*", 1, "單獨的「*」"),
        ("電池 * battery", 4, "單獨的「*」"),
        ("ab*cd", 3, "前面至少要有三個字母"),
        ("TI=", 1, "「TI=」後面需要檢索詞"),
        ("TI= AND 電池", 1, "「TI=」後面需要檢索詞"),
        ("=電池", 1, "「=」前面需要欄位代碼"),
        ("電池@", 4, "「@」後面需要欄位代碼"),
        ("電池@AD", 4, "日期欄位「AD」"),
        ("@TI 電池", 1, "「@」前面需要"),
        ("電池 ！！", 4, "「!!」沒有可檢索的文字"),
        ('""', 1, "空的引號"),
        ("(" * (MAX_DEPTH + 1) + "a" + ")" * (MAX_DEPTH + 1), MAX_DEPTH + 1, "括號層數過多"),
        ("a " * 2001, 4001, "過長"),
    ],
)
def test_parse_errors(command, position, fragment):
    with pytest.raises(QueryError) as caught:
        parse(command)
    assert caught.value.position == position
    assert fragment in str(caught.value)
    assert f"（第 {position} 個字元）" in str(caught.value)


def within_a_minute(probe):
    """probe()'s result or exception; fails should it still run after a minute."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(_outcome(probe)), daemon=True)
    thread.start()
    thread.join(60)
    assert outcome, "still running after a minute"
    return outcome[0]


def _outcome(probe):
    try:
        return probe()
    except Exception as error:  # RecursionError included
        return error


DOUBLED = {1: "電池", **{k: f"#{k - 1} OR #{k - 1}" for k in range(2, 31)}}
GROWING = {1: "電池", **{k: f"#{k - 1} 電池 OR #{k - 1} 電極" for k in range(2, 21)}}
CHAIN = {1: "電池", **{k: f"(#{k - 1} AND 電池)" for k in range(2, 3001)}}


@pytest.mark.parametrize("sets, command, expected", [
    (DOUBLED, "#30", "電池"),  # each set parsed once, identical operands one: #k OR #k ranks as #k
    (DOUBLED, "#29 OR 電池 AND #30", "電池"),
    (CHAIN, "#16", "電池"),  # 31 levels: a set and its parentheses, one each
    (CHAIN, "#17", "檢索結果 #17 展開後層數過多"),
    (CHAIN, "#3000", "檢索結果 #3000 展開後層數過多"),
    (GROWING, "電池 AND #20", "檢索結果 #20 展開後過於龐大"),
])
def test_sets_are_parsed_once_each_within_limits_that_name_the_set(sets, command, expected):
    outcome = within_a_minute(lambda: parse(command, sets))
    if isinstance(outcome, Query):
        assert outcome.root == parse(expected).root
    else:
        assert isinstance(outcome, QueryError) and expected in outcome.problem, repr(outcome)


@pytest.mark.parametrize(
    "command, match, where, params",
    [
        ("電池", '{ti ti2 ab ab2 cl} : "电池"', "", ()),
        ("池", '{ti ti2 ab ab2 cl} : "池"*', "", ()),
        ("固態電池", '{ti ti2 ab ab2 cl} : "固态 态电 电池"', "", ()),
        ('"固態 電池"', '{ti ti2 ab ab2 cl} : "固态 态电 电池"', "", ()),
        ("鋰離子battery", '{ti ti2 ab ab2 cl} : "锂离 离子 子 battery"', "", ()),
        ("battery電池", '{ti ti2 ab ab2 cl} : "battery 电池"', "", ()),
        ("A型", '{ti ti2 ab ab2 cl} : "a 型"*', "", ()),
        ("Batter*", '{ti ti2 ab ab2 cl} : "batter"*', "", ()),
        ("電池*", '{ti ti2 ab ab2 cl} : "电池"', "", ()),
        ("IC=H01M*", '{ic} : "h01m"*', "", ()),
        ("IC=H01M10/0525", '{ic} : "h01m10/0525"', "", ()),
        ("PN=TWI812345B", None, "((r.number = ? AND (r.pn GLOB ?)))", ("I812345", "TWI812345B")),
        ("Café", '{ti ti2 ab ab2 cl} : "cafe"', "", ()),
        ("a NOT b", '(({ti ti2 ab ab2 cl} : "a") NOT {ti ti2 ab ab2 cl} : "b")', "", ()),
        ("TI=a OR b@PA", '({ti ti2} : "a" OR {pa} : "b")', "", ()),
        ("電池 AD=2015:2024", '{ti ti2 ab ab2 cl} : "电池"', "r.ad BETWEEN ? AND ?", ("20150101", "20241231")),
        ("電池 NOT ID=:2010", '{ti ti2 ab ab2 cl} : "电池"', "NOT (r.pd BETWEEN ? AND ?)", ("00000000", "20101231")),
        ("AD=2020:", None, "r.ad BETWEEN ? AND ?", ("20200101", "99999999")),
        (
            "NOT 電池",
            None,
            "NOT (r.id IN (SELECT rowid FROM patent_index WHERE patent_index MATCH ?))",
            ('{ti ti2 ab ab2 cl} : "电池"',),
        ),
        (
            "a OR b OR AD=2020",
            None,
            "(r.id IN (SELECT rowid FROM patent_index WHERE patent_index MATCH ?)) OR (r.ad BETWEEN ? AND ?)",
            ('({ti ti2 ab ab2 cl} : "a" OR {ti ti2 ab ab2 cl} : "b")', "20200101", "20201231"),
        ),
        # FTS5 syntax written by the user is only ever text inside quotes
        ('"NEAR(a b)"', '{ti ti2 ab ab2 cl} : "near a b"', "", ()),
        ('"{ti}:x^y"', '{ti ti2 ab ab2 cl} : "ti x y"', "", ()),
        # a subclass or main group stands for everything under it; quoted, the code alone
        ("IC=H01M", '{ic} : "h01m"*', "", ()),
        ("IC=H01M10", '{ic} : "h01m10/"*', "", ()),
        ('IC="H01M"', '{ic} : "h01m"', "", ()),
        ("電池 -battery", '(({ti ti2 ab ab2 cl} : "电池") NOT {ti ti2 ab ab2 cl} : "battery")', "", ()),
    ],
)
def test_compile(command, match, where, params):
    compiled = compile_query(parse(command))
    assert (compiled.match, compiled.where, compiled.params) == (match, where, params)


def test_rank_expression_holds_only_words_outside_not():
    compiled = compile_query(parse("a OR NOT b OR AD=2020 OR NOT NOT c"))
    assert compiled.match is None
    assert compiled.rank == '{ti ti2 ab ab2 cl} : "a" OR {ti ti2 ab ab2 cl} : "c"'


def test_words_are_reported_as_written_and_once():
    query = parse('TI=電池 OR 電池@AB OR H01M* OR "固態 電池" NOT 燃料 AD=2020')
    assert query.words() == ("電池", "H01M*", "固態 電池", "燃料")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("固態電池模組", ["固态", "态电", "电池", "池模", "模组", "组"]),
        ("固態 電池", ["固态", "态电", "电池", "池"]),
        ("鋰離子battery pack", ["锂离", "离子", "子", "battery", "pack"]),
        ("Solid-State, ＢＡＴＴＥＲＹ", ["solid", "state", "battery"]),
        ("H01M10/0525 and/or 3.7V", ["h01m10/0525", "and", "or", "3.7v"]),
        ("池", ["池"]),
        ("𠀋𠀌", ["𠀋𠀌", "𠀌"]),
        ("「」，。！\x00\ud800", []),
    ],
)
def test_tokens(text, expected):
    assert tokens(text) == expected


def test_printed_ipc_codes_index_as_one_code():
    assert index_text("H01M 10/0525; G06N 3/08", ipc=True) == "h01m10/0525 g06n3/08"


def test_search_words_find_their_own_text():
    """A word's phrase occurs in the tokens of any text containing the word."""
    text = "一種鋰離子battery模組與A型電池，使用H01M10/0525"
    stored = tokens(text)
    for word in ["鋰離子battery", "battery模組", "離子", "A型", "型電池", "池", "h01m10/0525", "種鋰"]:
        phrase, prefix = search_tokens(word)
        starts = [i for i in range(len(stored)) if stored[i : i + len(phrase)] == list(phrase)]
        if prefix:
            starts = [
                i for i in range(len(stored))
                if stored[i : i + len(phrase) - 1] == list(phrase[:-1]) and stored[i + len(phrase) - 1].startswith(phrase[-1])
            ]
        assert starts, word


# (command, one field's text, whether its sides are near there): the native check and its Python reference
NEAR_CASES = [
    ("電池 NEAR/1 電極", "電池電極", True),  # 電池 covers two words, 電極 starts the next
    ("電池 NEAR/1 電極", "電池 電極", True),  # white space inside a Chinese run is no word
    ("電池 NEAR/1 電極", "電池和電極", False),
    ("電池 NEAR/2 電極", "電池和電極", True),
    ("電極 ADJ/1 電池", "電池電極", False),
    ("電池 NEAR/1 池電", "電池電", False),  # places sharing a word (池) are never near
    ("電池 NEAR/1 池電", "電池池電", True),
    ("電池 ADJ/1 池電", "電池電", False),
    ("發動 NEAR/1 動機", "發動機", False),
    ("pizza NEAR/1 pizza", "pizza", False),  # a word is never near itself
    ("pizza NEAR/1 pizza", "pizza pizza", True),
    ("pizza NEAR/3 pizz*", "pizza", False),
    ("battery ADJ/1 pack", "Battery pack", True),
    ("pack ADJ/1 battery", "battery pack", False),
    ("battery NEAR/1 pack", "battery and pack", False),
    ("batter* ADJ/2 pack", "batteries and pack", True),
    ("池 ADJ/1 電極", "池電極", True),  # a one-character word is a prefix
    ("鋰離子battery ADJ/2 模組", "鋰離子battery的模組", True),
    ("鋰離子battery ADJ/1 模組", "鋰離子battery的模組", False),
    ("(電池 OR battery) NEAR/1 (pack OR 模組)", "一種電池 pack", True),
    ("(電池 OR battery) NEAR/1 (pack OR 模組)", "battery 用的模組", False),
]


@pytest.mark.parametrize("command, text, expected", NEAR_CASES)
def test_the_native_proximity_check_is_its_python_reference(command, text, expected):
    near = proximities(parse(command))[0]
    check = near_check(near)
    assert near_test(near)({"AB": tokens(text)}) is expected
    assert check.in_texts(["", "無關", text]) is expected
    assert check.in_tokens([" 無關 ", index_text(text)]) is expected


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([case[0] for case in NEAR_CASES]),
       st.lists(st.sampled_from(["電池", "電極", "池", "電", "battery", "batteries", "pack", "模組", "鋰離子", "的", " ", "。"]), max_size=14))
def test_the_native_proximity_check_agrees_on_any_text(command, words):
    near, text = proximities(parse(command))[0], "".join(words)
    assert near_check(near).in_texts([text]) is near_test(near)({"AB": tokens(text)})


NEAR_WORDS = ["電池", "電極", "池", "電", "battery", "batteries", "pack", "模組", "固態電池", "的", " ", "。", "a"]
NEAR_SIDES = ["電池", "電極", "池", "battery", "batter*", "pack", "固態電池", "(電池 OR pack)", "(池 OR battery)", "電池電"]


@pytest.fixture(scope="module")
def near_store():
    import random

    rng = random.Random(11)
    texts = ["".join(rng.choices(NEAR_WORDS, k=rng.randint(1, 16))) for _ in range(400)]
    records = [PatentRecord(f"TW{i}", texts[i], texts[-i - 1]) for i in range(len(texts))]
    with PatentStore() as store:
        add_records(store, records)
        yield store, records


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(NEAR_SIDES), st.sampled_from(["NEAR", "ADJ"]), st.integers(1, 4), st.sampled_from(NEAR_SIDES))
def test_the_store_finds_exactly_the_records_the_reference_holds_in(near_store, left, kind, distance, right):
    """FTS5's NEAR finds some records for sure, the others are checked: together, the reference's."""
    store, records = near_store
    command = f"({left}@TI,AB) {kind}/{distance} ({right}@TI,AB)"
    holds = near_test(proximities(expand(parse(command), SqliteVocabulary(store.connection)))[0])  # word forms too
    expected = {r.pn for r in records if holds({"TI": tokens(r.title), "AB": tokens(r.abstract)})}
    assert {hit.record.pn for hit in store.search(command).hits} == expected


# --- fuzzing -----------------------------------------------------------------

PIECES = [
    "(", ")", '"', "@", "=", "*", ":", ",", " ", "\x00", "\ud800", "\udfff", "^", "{", "}", "+", "-", "'", ";",
    "AND", "or", "Not", "NEAR", "NEAR(", "ti:", "{ti ab}:", "TI=", "ab=", "AD=", "id=", "@TI,AB", "@XY",
    "-", "?", "|", "#1", "~2", "NEAR/3", "IC=H01M", "IC=H01M10", "SIM=",
    "2015", "20241331", "2015:2024", ":2020", "電池", "池", "battery", "batter*", "H01M10/0525", "（", "＂", "「",
    "LS=有效", "DT=", "新型", "design",
    "REF=", "CT/2=", "ref/3=", "CT/4=", "TWI1", "US8930553B2",
]
COMMANDS = st.lists(st.one_of(st.sampled_from(PIECES), st.text(max_size=4)), max_size=12).map("".join)


@pytest.fixture(scope="module")
def small_store():
    with PatentStore() as store:
        add_records(
            store,
            [
                PatentRecord("TWI1", "固態電池", "battery pack", "1. 一種電池。", "範例能源股份有限公司", ipc="H01M10/0525", ad="20200101",
                             status="ACTIVE", doctype="B2", cites="US8930553B2; TWI5"),
                PatentRecord("TWI2", "顯示面板", "NEAR display", ipc="G09G3/32", pd="20150505", status="Expired - Fee Related", doctype="A1"),
                PatentRecord("TWI3", "鋰電池模組", "battery module", ipc="H01M50/20; H02J7/00", status="消滅", doctype="新型公告", cites="TWI1"),
                PatentRecord("TWI4", "電池電容器", "電容", ipc="H01G4/30; H01M100/00", status="PENDING", doctype="U", cites="TWI3; TWI1"),
                PatentRecord("TWI5", "聚合電極", "two batteries; polymerization in 蓄電池 and 电解池", ipc="C08F2/00",
                             doctype="Design Right", cites="TWI4"),
                PatentRecord("TWI6", "Oscillating Air Jets", "a pizza kept in boxes", "1. 一種發動機。"),
                PatentRecord("TWI7", "Pizza oven", "pizza and pizza dough", applicants="Jets Holdings"),
                PatentRecord("TWI8", "培養方法", "一種方法", title_alt="Cultivation method\nKulturverfahren",
                             abstract_alt="Fungus grown in a column."),
            ]
        )
        yield store


# Commands in the habits of other search systems: each finds what it finds
# there (a set of hits), or is refused with a message naming it.
HABITS = [
    ("電池 -battery", {"TWI4"}),
    ("-battery 電池", {"TWI4"}),
    ("電池 -(battery OR 電容)", set()),
    ("IC=H01M", {"TWI1", "TWI3", "TWI4"}),
    ("IC=H01M10", {"TWI1"}),
    ("IC=H01M10/0525", {"TWI1"}),
    ("(H01M OR G09G)@IC NOT IC=H01M50", {"TWI1", "TWI2", "TWI4"}),
    # proximity inside one field; a Latin word is one word, each Chinese character one
    ("battery ADJ/1 pack", {"TWI1"}),
    ("pack ADJ/1 battery", set()),
    ("pack NEAR/1 battery", {"TWI1"}),
    ("battery NEAR/5 電池", {"TWI5"}),  # TWI1 has them in title and abstract: never across fields
    ("電池 ADJ/1 電容", {"TWI4"}),
    ("電容 ADJ/1 電池", set()),
    ("電容 NEAR/1 電池", {"TWI4"}),
    ("(battery OR 電池) NEAR/2 (module OR 模組)", {"TWI3"}),
    ("TI=(固態 ADJ/1 電池)", {"TWI1"}),
    ("batter* ADJ/1 (pack OR module)", {"TWI1", "TWI3"}),
    # the two sides are two places sharing no word: one pizza is never near itself
    ("pizza NEAR/1 pizza", set()),
    ("pizza NEAR/2 pizza", {"TWI7"}),
    ("pizza NEAR/3 pizz*", {"TWI7"}),
    ("發動 NEAR/1 動機", set()),  # 發動機: the two share 動
    ("發動 NEAR/2 機", {"TWI6"}),
    ("battery NEAR/0 pack", "1 到 100"),
    ("battery NEAR pack", "請改用 NEAR/n"),
    ("TI=battery NEAR/3 pack", "兩邊的欄位不同"),
    ("(battery AND pack) NEAR/3 電池", "兩邊只能是詞"),
    ("battery W/5 pack", "鄰近運算子「W/5」"),
    ("battery SAME pack", "鄰近運算子「SAME」"),
    # English word forms, exact when quoted; wildcards from the collection's words
    ("batteries", {"TWI1", "TWI3", "TWI5"}),
    ("battery NOT \"batteries\"", {"TWI1", "TWI3"}),
    ("polymerization ADJ/1 battery", set()),
    ("batteries ADJ/1 pack", {"TWI1"}),
    ("jet", {"TWI6"}),  # three letters have word forms too
    ("pizza -box", {"TWI7"}),  # and exclude them
    ("(jet)@PA,AB", set()),  # other forms only in prose: an applicant's name keeps its form
    ("(jets)@PA,AB", {"TWI7"}),
    ("bat?ery", {"TWI1", "TWI3"}),
    ("polymeri*ation", {"TWI5"}),
    ("電?池", {"TWI5"}),
    ("TI=電?", {"TWI1", "TWI3", "TWI4", "TWI5"}),
    ("電?池 NEAR/6 polymerization", {"TWI5"}),
    ("?attery", "前面至少要有一個字"),
    ("po*ation", "前面至少要有三個字母"),
    ("電?ery", "全為中文字"),
    ("bat?eryx", "沒有相符的詞"),
    ("(電池)@TI,CPC", "CPC要單獨指定"),
    ("CT=abc", "CT= 後面要是公開公告號"),
    ("CPC=H01M1?", "不能使用萬用字元"),
    ("電池 NEAR/3 CPC=H01M", "不能用在CPC上"),
    # TR(…): each word with its translations (tests/fake_terms.py): battery with 電池
    ("TR(battery) -battery", {"TWI4"}),
    ("tr(batter*) NOT batter*", {"TWI4"}),
    ("TR(battery) NEAR/1 電容", {"TWI4"}),
    ("TR(battery ADJ/1 pack)", {"TWI1"}),
    ("TR(固態 電池)@TI", {"TWI1"}),
    ("PA=TR(範例能源)", {"TWI1"}),
    ('"TR(battery)"', set()),
    ("TR 電池", "翻譯檢索要寫成 TR(檢索詞)"),
    ("TR()", "裡面是空的"),
    ("#1 AND #2", "沒有檢索結果 #1"),  # no numbered run yet (tests/test_history.py runs them)
    ("電池|電容", "請改用 OR"),
    ("TI:電池", "請寫成 TI=…"),
    ("title:battery", "欄位不用「:」指定"),
    ("TITLE=battery", "未知的欄位代碼「TITLE」"),
    ('(SIM="電池")@TI', "SIM= 不能加欄位限定"),
    ("(AD=2020 OR 電池)@TI", "日期條件 AD= 不能加欄位限定"),
    ('"battery pack"~3', "「~」"),
    ("batter$", "「$」"),
    ("{battery pack}", "大括號"),
    # TI and AB search the other languages' title and abstract too, each text apart from the main one
    ("cultivation", {"TWI8"}),
    ("TI=cultivations AND AB=fungus", {"TWI8"}),
    ("(cultivat* OR fungus)@CL,PA", set()),
    ("AB=cultivation OR TI=fungus", set()),
    ("cultivation ADJ/1 method", {"TWI8"}),
    ('"方法 cultivation"', set()),  # never from the Chinese title into the English one
    ("方法 NEAR/1 cultivation", set()),
    ("TI2=cultivation", "未知的欄位代碼「TI2」"),
    # legal status and document type by the values the exports' words map to
    ("電池 AND LS=有效", {"TWI1"}),
    ("DT=新型 NOT LS=失效", {"TWI4"}),
    ("LS=inactive", {"TWI2", "TWI3"}),
    ("電池 -LS=審查中", {"TWI1", "TWI3", "TWI5"}),
    ("DT=(design OR grant)", {"TWI1", "TWI5"}),
    ('LS="active" OR DT=application', {"TWI1", "TWI2"}),
    ("LS=expired", "歸入「失效」：請寫 LS=失效"),
    ("DT=B2", "文件種類代碼，檢索時歸入「發明公告」"),
    ("LS=foo", "LS= 可用的值：有效（active）、審查中（pending）"),
    ("DT=發明*", "要完整寫出"),
    ("(有效)@LS,TI", "LS（法律狀態）要單獨指定"),
    # citations (TWI1 cites TWI5 and a patent not stored, TWI3 cites TWI1, TWI4 cites TWI3 and TWI1, TWI5 cites TWI4):
    # CT/n= the records citing, REF/n= those cited, n levels, each once, never the patent itself
    ("CT/2=TWI1", {"TWI3", "TWI4", "TWI5"}),
    ("CT/3=TWI1", {"TWI3", "TWI4", "TWI5"}),
    ("ct/2=US8930553B2", {"TWI1", "TWI3", "TWI4"}),
    ("REF=TWI5", {"TWI4"}),
    ("REF/2=TWI5", {"TWI1", "TWI3", "TWI4"}),
    ("REF/3=TWI4 AND TI=電池", {"TWI1", "TWI3"}),
    ("CT=TWI1 OR REF=TWI1", {"TWI3", "TWI4", "TWI5"}),
    ("CT/2=TWI1 NOT CT=TWI1", {"TWI5"}),
    ("REF=TWI2", set()),
    ("REF=TWI9", "資料庫中沒有公開公告號「TWI9」"),
    ("CT/4=TWI1", "請改寫成 CT/3="),
    ("REF=(TWI1 OR TWI2)", "幾件專利請分開寫"),
    ("TI=(REF=TWI1)", "REF= 不能加欄位限定"),
    ("(TWI1)@REF", "請寫成 REF=公開公告號"),
]


@pytest.mark.parametrize("command, expected", HABITS)
def test_commands_in_other_systems_habits_do_what_they_do_there_or_are_refused(small_store, command, expected):
    if isinstance(expected, str):
        with pytest.raises(QueryError, match=re.escape(expected)):
            small_store.search(command)
    else:
        assert {hit.record.pn for hit in small_store.search(command).hits} == expected


@settings(max_examples=3000, deadline=None)
@given(COMMANDS)
def test_any_command_parses_or_raises_query_error_and_runs(small_store, command):
    try:
        query = parse(command)
    except QueryError as error:
        assert 1 <= error.position <= len(command) + 1
        return
    assert isinstance(query, Query)
    if query.similar() is None and not proximities(query) and not chains(query):  # SIM= from its words, NEAR and chains from their tables
        compiled = compile_query(query)
        assert compiled.where.count("?") == len(compiled.params)
    try:
        result = small_store.search(query)
    except QueryError as error:  # only SIM=, patterns and REF= find out at the store (nothing stored to compare, expand or follow)
        assert query.similar() is not None or any(t.wildcard for t in query.terms()) or "REF" in error.problem, f"{command!r}: {error}"
        return
    except sqlite3.Error as error:  # pragma: no cover - reported with the command
        pytest.fail(f"{command!r}: {error}")
    assert result.total == len(result.hits)


@pytest.mark.parametrize("given, stored, names", [
    ("US8930553B2", "US8930553B2", True),
    ("US8930553", "US8930553B2", True),  # a citation without kind names every kind
    ("US8930553B2", "US8930553", True),  # a record without kind is every kind
    ("US8930553B1", "US8930553B2", False),
    ("EP8930553B2", "US8930553B2", False),
    ("8930553B2", "US8930553B2", False),
    ("US2004136338A1", "US20040136338A1", True),  # the two forms of a US pre-grant publication
    ("US20040136338", "US2004136338A1", True),
    ("TW201346027A", "TWI346027B", False),
])
def test_a_citation_names_a_record_as_ct_finds_it_both_ways(given, stored, names):
    """pn.cites, which chains and the citation sheet follow, is the stores' CT= condition: CT=<record> finds
    the citing record exactly when REF=<citing record> finds the record."""
    assert pn.cites(given, pn.split(stored)) is names
    with PatentStore() as store:
        add_records(store, [PatentRecord(stored, "cited"), PatentRecord("TWI9B", "citing", cites=f"{given}; TWI8B")])
        assert {hit.record.pn for hit in store.search(f"CT={stored}").hits} == ({"TWI9B"} if names else set())
        assert {hit.record.pn for hit in store.search("REF=TWI9B").hits} == ({stored} if names else set())


def test_a_numbered_set_holding_a_chain_runs_it_again(small_store):
    query = parse("#1 NOT TI=電容 OR #2", {1: "REF/2=TWI5", 2: "CT/3=TWI3"})
    assert {hit.record.pn for hit in small_store.search(query).hits} == {"TWI1", "TWI3", "TWI4", "TWI5"}
