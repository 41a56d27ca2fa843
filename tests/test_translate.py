"""TR(…): reading the form, and each word searched with its translations
(tests/fake_terms.py is the term table)."""

from __future__ import annotations

import re

import pytest

import fake_terms
from test_query import small_store  # noqa: F401  (a fixture)
from varnel_host import translate
from varnel_host.contract import Cancelled
from varnel_host.explain import render
from varnel_host.query import And, DateRange, Near, Or, QueryError, Term, Translated, parse
from varnel_host.records import DEFAULT_FIELDS, PatentRecord, searched_fields
from varnel_host.store import PatentStore

DEFAULT = DEFAULT_FIELDS


def X(text, fields=DEFAULT):
    """A word written inside TR."""
    return Term(text, fields, translate=True)


@pytest.mark.parametrize("command, expected", [
    ("TR(電池)", X("電池")),
    ("tr(電池)", X("電池")),
    ("TR(TR(電池))", X("電池")),
    ("TI=TR(電池)", X("電池", searched_fields(("TI",)))),
    ("TR(固態 電池)@TI,AB", And((X("固態", searched_fields(("TI", "AB"))), X("電池", searched_fields(("TI", "AB")))))),
    ("TR(電池 NEAR/3 電極)", Near(X("電池"), X("電極"), 3, False)),
    ("電池 OR TR(電池)", Or((Term("電池", DEFAULT), X("電池")))),
    ('"TR(電池)"', Term("TR(電池)", DEFAULT, phrase=True)),  # quoted: just text
    ("tr 電池", And((Term("tr", DEFAULT), Term("電池", DEFAULT)))),  # lower case without "(": a word
    ("TR(#1) AND AD=2015:2024", And((X("電池"), X("華泰", ("PA",)), DateRange("AD", "20150101", "20241231")))),
])
def test_the_form_marks_every_word_inside_and_reads_back_from_its_rendering(command, expected):
    root = parse(command, {1: "電池 AND PA=華泰"}).root
    assert root == expected
    assert parse(render(root)).root == root


@pytest.mark.parametrize("command, message", [
    ("電池 AND TR", '請加引號 "TR"'),
    ("TR=電池", "翻譯檢索要寫成 TR(檢索詞)"),
    ("TR(電池", "左括號「(」沒有對應的右括號"),
    ('TR(SIM="電池")', "SIM= 的描述文字不翻譯"),
    ("TR(#1)@TI", "不能加欄位限定"),  # a set stays a set inside TR
    ("TR(#1) NEAR/3 電極", "兩邊只能是詞"),
])
def test_a_mistaken_form_is_refused_with_what_to_write(command, message):
    with pytest.raises(QueryError, match=re.escape(message)):
        parse(command, {1: "電池"})


@pytest.mark.parametrize("command, lines, written", [
    ("TR(battery)", ["翻譯：battery → 電池（詞典、資料庫 12 筆）、蓄電池（詞典）"], "battery OR 電池 OR 蓄電池"),
    ("TR(電池)", ["翻譯：電池 → battery（詞典、資料庫 38 筆）；資料庫中沒有而未採用的 2 個：cell、accumulator"], "電池 OR battery"),
    ("TR(固態電池)", ["翻譯：沒有譯詞，只檢索原詞：固態電池（可逐詞翻譯：TR(固態 電池)）"], "固態電池"),
    ("tr(batter*)", ["翻譯：batter*（依資料庫中的 batteries、battery） → 電池（詞典、資料庫 12 筆）、蓄電池（詞典）"],
     "batter* OR 電池 OR 蓄電池"),
    ("TR((電池 OR battery) NEAR/3 pack)",
     ["翻譯：電池 → battery（詞典、資料庫 38 筆）；資料庫中沒有而未採用的 2 個：cell、accumulator",
      "翻譯：battery → 電池（詞典、資料庫 12 筆）、蓄電池（詞典）",
      "翻譯：「pack」的譯詞資料庫中都沒有，只檢索原詞；資料庫中沒有而未採用的 1 個：電池組"],
     "(電池 OR battery OR 蓄電池) NEAR/3 pack"),
    ("TR(bat?ery OR PA=範例能源) AND TR(电池)",
     ["翻譯：电池 → battery（詞典、資料庫 38 筆）；資料庫中沒有而未採用的 2 個：cell、accumulator",
      "翻譯：萬用字元不翻譯，只檢索原詞：bat?ery", "翻譯：申請人中的詞不翻譯，只檢索原詞：範例能源"],
     "(bat?ery OR PA=範例能源) AND (电池 OR battery)"),
])
def test_each_word_gets_the_translations_the_collection_holds_and_the_log_names_them(small_store, command, lines, written):
    outcome = small_store.search(command).translation
    assert list(outcome.lines) == lines
    assert render(outcome.query.root) == written
    if isinstance(root := outcome.query.root, Near):  # a side: one flat OR of words
        assert type(root.left) is Or and all(isinstance(term, Term) for term in root.left.items)


def test_a_group_stays_one_node_and_an_operator_word_is_quoted():
    everything = type("Vocabulary", (), {"tokens": lambda self, prefix, limit: [prefix]})()  # every token is there
    outcome = translate.translate(parse("TR(或) AND TR(wafer)"), fake_terms.TABLE, everything, lambda tokens: dict.fromkeys(tokens, 1))
    first, second = outcome.query.root.items
    assert isinstance(first, Translated) and first.word == "或" and first.items[1] == Term("or", DEFAULT, phrase=True)
    assert render(outcome.query.root) == '(或 OR "or") AND (wafer OR 晶圓 OR 晶片)'
    with pytest.raises(Cancelled):
        translate.translate(parse("TR(或)"), fake_terms.TABLE, everything, lambda tokens: {}, lambda: True)


def test_more_words_than_a_command_holds_are_refused(small_store, monkeypatch):
    monkeypatch.setattr(translate, "MAX_WORDS", 3)
    with pytest.raises(QueryError, match="翻譯後共有 4 個不同的檢索詞，上限 3 個"):
        small_store.search("TR(battery) 固態")


def test_the_table_is_asked_for_only_by_a_command_holding_tr_and_its_notes_are_said(monkeypatch):
    made = []

    def loader(store, say):
        made.append(store)
        say("詞彙表第 2 行：略過")
        return fake_terms.TABLE

    monkeypatch.setattr(translate, "loader", loader)
    with PatentStore() as store:
        store.search("電池 OR battery")
        assert made == []
        store.search("TR(電池)")
        assert store.search("TR(battery)").translation.lines[0] == "詞彙表第 2 行：略過"
        assert made == [store, store]


def test_the_real_table_translates_through_the_dictionary(monkeypatch):
    monkeypatch.setattr(translate, "loader", translate._load)
    with PatentStore() as store:
        store.write_batch([PatentRecord("US1A", "Battery pack"), PatentRecord("TW1A", "電池模組"), PatentRecord("US2A", "Pizza oven")])
        result = store.search("TR(電池)")
        assert {hit.record.pn for hit in result.hits} == {"US1A", "TW1A"}
        assert any("battery（詞典" in line for line in result.translation.lines), result.translation.lines


def test_a_translation_the_collection_holds_only_in_another_form_is_kept():
    with PatentStore() as store:
        store.write_batch([PatentRecord("US1A", "Batteries for cars"), PatentRecord("TW1A", "烤箱")])
        result = store.search("TR(電池)")
        assert [hit.record.pn for hit in result.hits] == ["US1A"] and "battery（詞典" in result.translation.lines[0]
