"""The bilingual term table: the user's glossary, pairs mined from the
collection's bilingual records (both stores), CC-CEDICT, cutting text."""

from __future__ import annotations

import json

import pytest

from varnel_host import _terms, paths
from varnel_host.contract import TermPair
from varnel_host.loading import import_records_file
from varnel_host.records import PatentRecord as P
from varnel_host.segment import _CJK_RANGES
from varnel_host.terms import DICTIONARY, GLOSSARY, MINED, Translation, dictionary, load, mining

# Titles and abstracts in two languages, Chinese the main one or the other, Traditional or Simplified.
BILINGUAL = [
    P("TW1A", "電池電極", "本發明為電池之電極。", title_alt="Battery electrode", abstract_alt="An electrode of a battery.", pd="20200101"),
    P("TW2A", "電池模組", title_alt="Battery module", pd="20200201"),
    P("TW3A", "電極材料", "一種電極材料。", title_alt="Electrode material", abstract_alt="An electrode material.", pd="20200301"),
    P("US4A", "Module housing for batteries", title_alt="電池模組外殼", pd="20200401"),
    P("CN5A", "电极与隔膜", title_alt="Electrodes and diaphragm", pd="20200501"),
    P("TW6A", "隔膜材料", title_alt="Diaphragm material", pd="20200601"),
    P("TW7A", "外殼", title_alt="Housing", pd="20200701"),
    P("TW8A", "只有中文"),  # no other language: not mined
]


@pytest.fixture()
def glossary_file(tmp_path, monkeypatch):
    path = tmp_path / "詞彙表.csv"
    monkeypatch.setattr(paths, "glossary_path", lambda: path)
    return path


@pytest.fixture(scope="module")
def mined(new_store):
    store = new_store()
    store.write_batch(BILINGUAL)
    said: list[str] = []
    mining.mine(store, said.append)
    return store, said


def test_mining_aligns_the_words_of_the_bilingual_records(mined):
    store, said = mined
    pairs = {(pair.zh, pair.en): pair for pair in store.term_pairs()}
    assert {("電池", "battery"), ("電極", "electrode"), ("隔膜", "diaphragm"), ("模組", "module")} <= set(pairs)
    assert not {("電池", "electrode"), ("電極", "battery"), ("只有", "only")} & set(pairs)
    battery = pairs["電池", "battery"]
    assert battery.count == 4 and set(battery.records) == {"TW1A", "TW2A", "US4A"}
    assert 0.05 <= battery.forward <= 1 and 0.05 <= battery.backward <= 1
    assert pairs["電極", "electrode"].count == 5 and "CN5A" in pairs["電極", "electrode"].records  # Simplified, shown in Traditional
    assert all(pair.count >= mining.MIN_COUNT for pair in pairs.values())
    assert said[0].startswith("正在從中英對照的專利整理詞彙對照表") and said[-1].startswith(f"詞彙對照表：整理出 {len(pairs)} 組中英詞彙，取自 7 筆專利")


def test_mined_pairs_come_before_the_dictionary_and_are_not_repeated(mined, glossary_file):
    store, _ = mined
    table = load(store)
    first, *rest = table.translations("電池")
    assert (first.text, first.source, first.count) == ("battery", MINED, 4) and set(first.records) == {"TW1A", "TW2A", "US4A"}
    assert "battery" not in [t.text for t in rest]
    assert table.translations("batteries")[0].text == "電池" and table.translations("Batteries")[0].source == MINED
    assert table.translations("电极")[0].text == "electrode"
    assert load(store) is table  # unchanged pairs and glossary: the same table
    store.replace_term_pairs([TermPair("電池", "cell", 0.5, 0.5, 2, ("X1",))])
    assert load(store) is not table and load(store).translations("電池")[0] == Translation("cell", 0.5, MINED, 2, ("X1",))
    assert [t.text for t in load(store).translations("cell")][:1] == ["電池"]
    mining.mine(store)  # as the other tests expect it


def test_an_import_mines_its_bilingual_records_and_says_so(tmp_path, new_store):
    path = tmp_path / "records.jsonl"
    path.write_text("\n".join(json.dumps(vars(record), ensure_ascii=False) for record in BILINGUAL), encoding="utf-8")
    said: list[str] = []
    with new_store() as store:
        assert import_records_file(store, path, said.append).added == len(BILINGUAL)
        assert ("電池", "battery") in {(pair.zh, pair.en) for pair in store.term_pairs()}
        assert said[-1].startswith("詞彙對照表：整理出")


GLOSSARY_TEXT = (
    "\ufeff中文,English\n"
    "# 註解\n"
    "電池,Accumulator\n"
    "電池，Cell\n"
    "只有一欄\n"
    "battery,電池\n"
    "\n"
    "固態 電池,\"solid-state  battery\"\n"
    "渦輪,turbine,extra\n"
)


def test_the_glossary_wins_and_its_bad_lines_are_said_once(mined, glossary_file):
    store, _ = mined
    glossary_file.write_bytes(GLOSSARY_TEXT.encode() + b"\xff\xfe,bad\n")
    said: list[str] = []
    table = load(store, said.append)
    assert table.translations("電池") == [Translation("accumulator", 1.0, GLOSSARY), Translation("cell", 1.0, GLOSSARY)]
    assert table.translations("电池") == table.translations("電池")
    assert [(t.text, t.source) for t in table.translations("Accumulators")] == [("電池", GLOSSARY)]
    assert table.translations("固态电池")[0].text == "solid-state battery"
    assert table.translations("battery")[0].source == MINED  # a line naming it the wrong way round is left out
    assert [line.split("：")[0] for line in said] == [f"詞彙表「詞彙表.csv」第 {n} 行" for n in (5, 6, 9, 10)]
    assert load(store, said.append) is table and len(said) == 4  # said once
    glossary_file.write_text("電極,pole\n", encoding="utf-8")
    assert load(store, said.append).translations("電池")[0].source == MINED and len(said) == 4


@pytest.mark.parametrize("body, senses", [
    ("/battery/CL:節|节[jie2],組|组[zu3]/", ["battery"]),
    ("/surname He/(joining two nouns) and; together with/to mix (ingredients) together/", ["and", "together with", "mix together"]),
    ("/variant of 衝|冲[chong1]/old variant of 沖/see 電池|电池[dian4 chi2]/abbr. for 臺灣|台湾/", []),
    ("/gas turbine/to install sth/a long explanation of what this word is about/COVID-19, the disease/", ["gas turbine", "install"]),
])
def test_a_sense_is_cleaned_into_searchable_english(body, senses):
    entry = dictionary.parse(f"字 字 [zi4] {body}\n")
    assert list(entry.senses.get("字", ())) == senses


def test_every_entry_and_sense_of_a_headword_is_kept():
    text = "和 和 [He2] /surname He/\n和 和 [he2] /and/sum/\n和 和 [huo4] /to blend/\n電池 电池 [dian4 chi2] /battery/cell/\n"
    parsed = dictionary.parse(text)
    assert parsed.senses["和"] == ("and", "sum", "blend") and parsed.senses["电池"] == parsed.senses["電池"] == ("battery", "cell")
    assert parsed.headwords["batteri"] == ("電池",) and parsed.traditional["电池"] == "電池"


def test_the_shipped_dictionary_through_the_table(glossary_file):
    class Empty:
        def term_pairs(self):
            return []

        def term_pairs_stamp(self):
            return ""

    table = load(Empty())
    walk = table.translations("行")
    assert {"row", "walk", "profession"} <= {t.text for t in walk} and all(t.source == DICTIONARY for t in walk)
    assert sum(t.probability for t in walk) == pytest.approx(1.0)
    assert [t.text for t in table.translations("燃气轮机")] == ["gas turbine"]
    assert "燃氣輪機" in [t.text for t in table.translations("Gas Turbines")]
    assert table.translations("") == [] and table.translations("zzqx") == []
    text = "一種锂离子電池的電極，用於gas turbines及lithium-ion batteries"
    assert [word for _, _, word in table.cut(text)] == [
        "一種", "锂离子電池", "的", "電極", "用於", "gas turbines", "及", "lithium-ion batteries"]
    assert all(text[start:end] == word for start, end, word in table.cut(text))


@pytest.mark.parametrize("text, cut", [
    ("鋰電池電", [(0, 3, 1), (3, 4, 2)]),  # longest first, then what is left
    ("電池abc鋰", [(0, 2, 0), (5, 6, -1)]),  # Latin passed over, an unknown character alone
    ("鋰 電池", [(0, 1, -1), (2, 4, 0)]),  # no word across a space
])
def test_the_lexicon_cuts_by_longest_match(text, cut):
    lexicon = _terms.Lexicon(["電池", "鋰電池", "電"], _CJK_RANGES)
    assert lexicon.cut(text) == cut
    assert lexicon.ids(text) == [word if word >= 0 else -1 - ord(text[start]) for start, _, word in cut]


def test_the_alignment_keeps_links_of_both_directions_with_their_sentences():
    # zh 0 = en 0 in every pair; zh 1 / en 1 and zh 2 / en 2 each in one pair only
    pairs = [([0, 1], [0, 1]), ([0, 2], [2, 0]), ([0], [0])]
    rows = _terms.align(pairs, 3, 3, 5, 2, 0.05, 2)
    assert [(zh, en, count, sentences) for zh, en, _, _, count, sentences in rows] == [(0, 0, 3, [0, 1])]
    assert rows[0][2] > 0.8 and rows[0][3] > 0.8
    with pytest.raises(ValueError):
        _terms.align([([0], [3])], 3, 3, 5, 2, 0.05, 2)


def test_a_dictionary_that_cannot_be_read_is_said_and_the_rest_still_used(mined, glossary_file, monkeypatch):
    def broken():
        raise OSError("data file missing")

    monkeypatch.setattr(dictionary, "dictionary", broken)
    store, _ = mined
    store.replace_term_pairs(store.term_pairs())  # a new stamp: the table is made again
    said: list[str] = []
    table = load(store, said.append)
    assert said == ["注意：通用中英詞典無法讀取（OSError: data file missing），這次只用詞彙表與資料庫整理出的詞彙；請重新安裝本程式"]
    assert [t.source for t in table.translations("電池")] == [MINED] and table.translations("燃氣輪機") == []
