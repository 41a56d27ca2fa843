"""Similarity commands: term selection, crossing languages, quality on the sample collection,
SIM= with every filter form, refused commands, and the counts behind the charts."""

from __future__ import annotations

import json
import queue
from collections import Counter
from pathlib import Path

import openpyxl
import pytest
from fake_terms import FakeTerms

from varnel_host import similar, synth, translate
from varnel_host.worker import Worker, WorkerConfig
from varnel_host.query import QueryError, parse
from varnel_host.records import PatentRecord
from varnel_host.facets import Facets
from varnel_host.loading import add_records
from varnel_host import marking
from varnel_host.sqlite_query import SqliteCollection
from varnel_host.store import PatentStore
from varnel_host.stores import open_store as open_default_store

DATA = Path(__file__).parent / "data"
SAMPLES = Path(similar.__file__).parent / "sample_data" / "sample_patents.jsonl"


@pytest.fixture(scope="module")
def samples():
    with open_default_store(":memory:") as store:
        yield store


def _records() -> list[dict]:
    return [json.loads(line) for line in SAMPLES.read_text(encoding="utf-8").splitlines() if line.strip()]


def _sim(text: str) -> str:
    return 'SIM="' + text.replace('"', " ") + '"'


# --- term selection -------------------------------------------------------------


@pytest.mark.parametrize("holding", [1, 3, 10, 40])
def test_a_word_is_dropped_by_its_own_document_frequency(holding: int) -> None:
    """The same word is chosen while rare and dropped once common: nothing but
    the collection's own counts decides (散熱器, in two records, always stays)."""
    records = [
        PatentRecord(pn=f"TWI{n:06d}B", title=("散熱器" if n < 2 else "裝置") + f" {n}", abstract=("熱交換鰭片" if n < holding else "一般結構") + f" 編號{n}")
        for n in range(40)
    ]
    with PatentStore() as store:
        add_records(store, records)
        selection = similar.plan(SqliteCollection(store.connection), parse(_sim("一種具有熱交換鰭片的散熱器")), store.count()).selection
    common = holding > similar.COMMON_SHARE * len(records)
    assert (marking.text_tokens("熱交")[0].token in selection.tokens) != common
    assert ("熱交換鰭片" in selection.words) != common and "散熱器" in selection.words


@pytest.mark.parametrize(("text", "common", "words"), [
    ("一種全固態電池", ["一種", "電池"], ["全固態"]),  # 種全 and 態電 straddle common words
    ("電池具有防爆閥，具有防爆閥", ["電池", "具有"], ["防爆閥"]),
    ("防爆 battery pack", ["pack"], ["防爆", "battery"]),
    ("全固態電池 solid-state", [], ["全固態電池", "solid", "state"]),
])
def test_chosen_tokens_read_as_the_texts_own_words(text: str, common: list[str], words: list[str]) -> None:
    stop_like = {span.token for word in common for span in marking.text_tokens(word) if len(span.token) > 1}
    selection = similar.select(text, lambda tokens: {t: 50 if t in stop_like else 1 for t in tokens}, 100)
    assert list(selection.words) == words
    assert not stop_like & set(selection.tokens)


def _shown(word: str, chosen: str) -> bool:
    """A Latin word is shown as a chosen word of its own, a Chinese one inside one."""
    return word == chosen if word.isascii() else word in chosen


@pytest.mark.parametrize(("text", "function", "content", "common"), [
    ("a lithium ion battery with a solid state electrolyte and the separator system",
     ["a", "with", "and", "the"], ["lithium", "battery", "state", "electrolyte", "system"], []),
    ("The system is used for the state of charge of a battery",
     ["the", "is", "for", "of", "a"], ["system", "state", "charge", "battery"], []),
    ("電池的外殼及其密封結構，並聯於電路中", ["的", "及", "其", "於"], ["電池", "外殼", "密封結構", "並聯"], []),
    ("該電極與隔膜之間以膠層黏合，且為可撓性", ["該", "與", "之", "以", "且", "為"], ["電極", "隔膜", "膠層黏合", "可撓性"], []),
    ("冷卻液的方向是由具有三個自由度的機械臂在飽和時調整", ["的", "是", "在"], ["冷卻液", "方向", "自由度", "機械臂", "飽和"], []),
    ("所述电池与隔膜之间", ["所", "与", "之"], ["电池", "隔膜"], []),
    ("battery with the", ["with", "the"], ["battery"], ["battery"]),  # all common: the rarest that rank are no function words
])
def test_function_words_are_never_chosen_however_rare(text: str, function: list[str], content: list[str], common: list[str]) -> None:
    selection = similar.select(text, lambda tokens: {t: 50 if t in common else 1 for t in tokens}, 100)
    assert not [(word, chosen) for chosen in selection.words for word in function if _shown(word, chosen)]
    assert [word for word in content if any(_shown(word, chosen) for chosen in selection.words)] == content


class _Holders:
    """A collection of records with ids 1..records; `holders[token]` the ids holding it."""

    def __init__(self, records: int, holders: dict[str, range]):
        self.records, self.holders = records, holders

    def id_range(self) -> tuple[int, int]:
        return 1, self.records

    def records_through(self, last_id: int) -> int:
        return min(last_id, self.records)

    def token_hits(self, tokens, last_id):
        return [sum(last_id is None or i <= last_id for i in self.holders[t]) for t in tokens]


@pytest.mark.parametrize(("records", "held_by", "frequency"), [
    (150, range(1, 151, 3), 50),  # at most twice the sample: every count exact
    (1000, range(1, 1001, 2), 500),  # common in the sample (ids up to 100): scaled up
    (1000, range(1, 31), 300),  # crowded into the sample: scaled up too, the price of sampling
    (1000, range(900, 1000), 100),  # rare in the sample: counted everywhere
])
def test_document_frequencies_are_exact_below_twice_the_sample(monkeypatch, records, held_by, frequency) -> None:
    monkeypatch.setattr(similar, "SAMPLE_RECORDS", 100)
    monkeypatch.setattr(similar, "SAMPLE_FLOOR", 20)
    assert similar.document_frequencies(_Holders(records, {"電池": held_by}), ["電池"], records) == {"電池": frequency}


# --- crossing languages ------------------------------------------------------------

MIXED = [
    ("US0000001", "Pizza oven with rotating stone", "A pizza oven heats a rotating stone so the crust bakes evenly."),
    ("US0000002", "Cooling of gas turbine blades", "A gas turbine engine blade has internal cooling channels fed by compressor air."),
    ("US0000003", "Expansion of hematopoietic stem cells", "A hematopoietic stem cell from cord blood is expanded in culture."),
    ("TWI000001B", "披薩烤箱", "一種披薩烤箱，以旋轉石板烘烤餅皮。"),
    ("TWI000002B", "燃氣渦輪葉片冷卻結構", "燃氣渦輪引擎的葉片具有內部冷卻通道。"),
    ("TWI000003B", "造血幹細胞培養方法", "以生長因子培養臍帶血的造血幹細胞。"),
]
TERMS = FakeTerms({
    "披薩": [("pizza", 0.9)], "烤箱": [("oven", 0.8)], "燃氣渦輪": [("gas turbine", 0.7)], "引擎": [("engine", 0.8)],
    "葉片": [("blade", 0.7), ("vane", 0.2)], "冷卻": [("cooling", 0.8)], "造血幹細胞": [("hematopoietic stem cell", 0.8)],
    "pizza": [("披薩", 0.9)], "oven": [("烤箱", 0.8)], "turbine": [("渦輪", 0.8)], "blade": [("葉片", 0.7)],
    "cooling": [("冷卻", 0.8)],
})


@pytest.fixture(scope="module")
def mixed():
    """English and Chinese records among 60 others, SIM= crossing by TERMS."""
    with PatentStore() as store, pytest.MonkeyPatch.context() as patch:
        add_records(store, [PatentRecord(pn=n, title=t, abstract=a) for n, t, a in MIXED] + list(synth.generate(60, seed=3)))
        patch.setattr(translate, "loader", lambda store, say: TERMS)
        yield store


@pytest.mark.parametrize(("text", "wanted"), [
    ("一種披薩烤箱", "US0000001"),
    ("燃氣渦輪引擎的葉片冷卻", "US0000002"),
    ("造血幹細胞", "US0000003"),
    ("a pizza oven with a rotating stone", "TWI000001B"),
    ("turbine blade cooling", "TWI000002B"),
])
def test_a_description_finds_records_of_the_other_language_unless_sim1(mixed: PatentStore, text: str, wanted: str) -> None:
    closest = mixed.search(_sim(text)).closest(3)
    assert wanted in [hit.record.pn for hit in closest]
    assert wanted not in [hit.record.pn for hit in mixed.search(_sim(text).replace("SIM=", "SIM1=")).hits]
    hit = next(hit for hit in closest if hit.record.pn == wanted)  # it shares translations, marked in its text
    assert all(similar.CROSSING in word for word in hit.matched)
    assert all(marking.marked_spans(_text(hit.record), [word]) for word in hit.matched)


_DF = {"披萨": 3, "烤箱": 4, "pizza": 5, "pie": 5, "tart": 5, "quiche": 5, "baking": 9, "oven": 7}  # 披薩 is indexed folded


def test_translations_take_part_by_likelihood_where_the_collection_holds_them() -> None:
    """Of 披薩's likeliest translations the three the collection holds (not
    flatbread), the likelier heavier; a phrase gives its content words."""
    table = FakeTerms({"披薩": [("pizza", 0.9), ("flatbread", 0.6), ("pie", 0.4), ("tart", 0.3), ("quiche", 0.2)],
                       "烤箱": [("the baking oven", 0.8)]})
    selection = similar.select("披薩烤箱", lambda tokens: {t: _DF.get(t, 0) for t in tokens}, 1000, table=table)
    assert set(selection.tokens) == {"披萨", "烤箱", "pizza", "pie", "tart", "baking", "oven"}
    assert selection.tokens.index("pizza") < selection.tokens.index("pie") < selection.tokens.index("tart")
    assert selection.words == ("披薩 ≈ pizza/pie/tart", "烤箱 ≈ baking oven")
    assert selection.shared(["oven", "pie"]) == ("披薩 ≈ pie", "烤箱 ≈ oven")
    assert selection.shared(["烤箱"]) == ("烤箱",)


_ELEMENTS = "鋰錳鈷鎳釩鈦鉻鋅鎵鍺砷硒銣鍶釔鋯鈮鉬鎝釕銠鈀鎘銦錫銻碲碘氙銫鋇鑭鈰鐠釹鉕釤銪釓鋱鏑鈥鉺銩鐿鎦鉿鉭鎢錸鋨銥鉑汞鉈鉛鉍釙砈氡鍅鐳錒釷鏷鈾錼鈽鋂鋦"


@pytest.mark.parametrize(("translated", "own", "crossed"), [(40, 16, 16), (5, 27, 5), (0, 32, 0)])
def test_each_language_has_half_the_terms_unless_the_other_needs_fewer(translated: int, own: int, crossed: int) -> None:
    words = [_ELEMENTS[2 * n : 2 * n + 2] for n in range(40)]
    table = FakeTerms({word: [(f"alloy{n}", 1.0)] for n, word in enumerate(words[:translated])})
    selection = similar.select("，".join(words), lambda tokens: dict.fromkeys(tokens, 2), 1000, table=table)
    assert (sum(not t.isascii() for t in selection.tokens), sum(t.isascii() for t in selection.tokens)) == (own, crossed)
    if not translated:  # nothing to translate: the text's own choice
        assert selection == similar.select("，".join(words), lambda tokens: dict.fromkeys(tokens, 2), 1000)


def test_the_log_box_and_the_report_name_the_words_compared(tmp_path: Path, monkeypatch) -> None:
    # 電池 is in more than a tenth of the sample records, stop-like; battery in fewer, compared by
    monkeypatch.setattr(translate, "loader", lambda store, say: FakeTerms({"負極": [("anode", 0.9)], "電池": [("battery", 0.8)]}))
    receipts: queue.Queue = queue.Queue()
    worker = Worker(WorkerConfig(database=tmp_path / "db.sqlite3", reports=tmp_path / "reports"), receipts)
    for command in ('SIM="固態電池的負極"', 'SIM1="固態電池的負極"'):
        worker.handle({"檢索指令": command, "分析最接近專利數量": 3})
        said = [receipts.get() for _ in range(receipts.qsize())]
        compared = [line for line in said if line.startswith("比較詞：")]
        assert compared == (["比較詞：固態、電池 ≈ battery、負極 ≈ anode"] if command.startswith("SIM=") else ["比較詞：固態、負極"])
        written = Path(next(line for line in said if line.startswith("報告已寫入：")).removeprefix("報告已寫入："))
        rows = openpyxl.load_workbook(written)["檢索條件"].iter_rows(values_only=True)
        assert [value for caption, value in rows if caption == "比較詞"] == [compared[0].removeprefix("比較詞：")]


def test_a_one_word_translation_stands_for_the_word_forms_the_collection_holds(monkeypatch) -> None:
    monkeypatch.setattr(translate, "loader", lambda store, say: FakeTerms({"顆粒": [("particle", 0.9)], "分離": [("separate", 0.8)]}))
    with PatentStore() as store:
        store.write_batch([PatentRecord("US1A", "Separation of viral particles"), PatentRecord("US2A", "A pizza oven"),
                           PatentRecord("TW1A", "烤箱")])
        result = store.search('SIM="顆粒的分離"')
        assert [hit.record.pn for hit in result.hits] == ["US1A"]
        assert result.compared == ("顆粒 ≈ particles", "分離 ≈ separation")


# --- quality on the sample collection ----------------------------------------------


def test_an_abstract_finds_its_own_record_first(samples: PatentStore) -> None:
    records = [r for r in _records() if r["abstract"].strip()]
    first = sum(samples.search(_sim(r["abstract"])).closest(1)[0].record.pn == r["pn"] for r in records)
    print(f"self-retrieval: {first} of {len(records)} first")
    assert first >= 0.95 * len(records)


def test_hand_written_descriptions_find_their_record_in_the_top_five(samples: PatentStore) -> None:
    cases = json.loads((DATA / "similar_descriptions.json").read_text(encoding="utf-8"))
    found = sum(case["pn"] in [h.record.pn for h in samples.search(_sim(case["description"])).closest(5)] for case in cases)
    print(f"hand-written descriptions: {found} of {len(cases)} in the top five")
    assert len(cases) == 20 and found >= 18


# --- SIM= with filters, by text and by number --------------------------------------


@pytest.mark.parametrize("source", ['SIM="一種全固態電池，具有防爆洩壓閥與溫度感測單元"', "SIM=TWI700214B"])
@pytest.mark.parametrize("filters", [
    "AD=2015:2024", "ID=:20200101", "IC=H01M*", "TI=電池", "PA=虛構", "NOT PA=虛構", "(電池 OR battery)@TI,AB",
    "AD=2015:2024 NOT PA=虛構", "PN=TWI700011B", "溫度 NOT 陶瓷",
])
def test_sim_keeps_exactly_the_hits_the_filters_allow(samples: PatentStore, source: str, filters: str) -> None:
    alone = samples.search(source)
    combined = samples.search(f"{source} AND {filters}")
    allowed = {hit.record.pn for hit in samples.search(filters).hits}
    assert [h.record.pn for h in combined.hits] == [h.record.pn for h in alone.hits if h.record.pn in allowed]
    assert [h.score for h in combined.hits] == [h.score for h in alone.hits if h.record.pn in allowed]
    if "SIM=TW" in source:
        assert "TWI700214B" not in {h.record.pn for h in alone.hits}  # the patent itself is left out
    for hit in alone.hits:  # each hit shares words with the text, and holds them
        assert hit.matched and all(marking.marked_spans(_text(hit.record), [w]) for w in hit.matched)


def _text(record: PatentRecord) -> str:
    return "\n".join((record.title, record.abstract, record.claims))


@pytest.mark.parametrize(("command", "problem"), [
    ("SIM=TWI999999B", "資料庫中沒有公開公告號「TWI999999B」"),
    ('SIM="，。！？"', "沒有可檢索的字詞"),
    ("SIM=", "後面需要"),
    ('SIM="池 。"', "沒有可比較的詞"),
    ('SIM="with the 之間"', "沒有可比較的詞"),
    ("SIM=電池", "不是公開公告號"),
    ('SIM="電池" OR 電池', "只能以 AND"),
    ('NOT SIM="電池"', "只能以 AND"),
    ('SIM="電池" AND SIM="電極"', "只能有一個"),
    ("(電池)@SIM", "不能放在「@」後面"),
    ("SIM1=", "「SIM1=」後面需要"),
    ("SIM1=TWI999999B", "資料庫中沒有公開公告號「TWI999999B」"),
    ('SIM="電池" AND sim1="電極"', "只能有一個"),
    ("(電池)@TI,SIM1", "「SIM1」不能放在「@」後面"),
    ('TI=(SIM1="電池")', "SIM1= 不能加欄位限定"),
])
def test_unknown_and_empty_similarity_commands_are_refused(samples: PatentStore, command: str, problem: str) -> None:
    with pytest.raises(QueryError, match=problem):
        samples.search(command)


def test_a_text_without_any_word_of_the_collection_finds_nothing(samples: PatentStore) -> None:
    result = samples.search('SIM="zyxwvut qqqqq"')
    assert (result.total, result.hits, result.words) == (0, [], ())


# --- counts over every hit ---------------------------------------------------------------


@pytest.mark.parametrize("command", ["電池 OR battery", 'SIM="固態電池的陶瓷隔離膜" AND AD=2012:2020', "AD=2015:2024"])
@pytest.mark.parametrize("limit", [None, 3])
def test_facets_count_every_hit_whatever_was_ranked(samples: PatentStore, command: str, limit: int | None) -> None:
    every = samples.search(command).hits
    facets = samples.search(command, limit=limit).facets(top=5)
    names = Counter(n.strip() for h in every for n in set(h.record.applicants.split(";")) if n.strip())
    assert facets.applicants == sorted(names.items(), key=lambda item: (-item[1], item[0]))[:5]
    years = Counter(h.record.ad[:4] for h in every if h.record.ad)
    assert {y: c for y, c in facets.years if c} == dict(years)
    assert [y for y, _ in facets.years] == [str(y) for y in range(int(min(years)), int(max(years)) + 1)]
    classes = Counter(c for h in every for c in {code.strip()[:4] for code in h.record.ipc.split(";") if code.strip()})
    assert dict(facets.ipc) == dict(sorted(classes.items(), key=lambda item: (-item[1], item[0]))[:5])


def test_the_charts_index_counts_like_the_hits_and_follows_other_writers(tmp_path: Path) -> None:
    """A file store counts from its charts' index once built; a commit by another
    connection or by its own makes it stale (counted the slow way) until it is built again."""
    odd = PatentRecord(pn="TWI999001B", title="電池 battery", applicants=" 甲公司 ;甲公司; ;乙公司",
                       ipc="h01m 10/0525; B60L 50/64;H01M 4/13", ad="2031-05-06")
    commands = ["電池 OR battery", 'SIM="固態電池的陶瓷隔離膜"', "AD=2015:2024 NOT PA=華泰", "PA=甲公司"]
    with open_default_store(tmp_path / "db.sqlite3") as store:
        def counted(built: bool) -> list:
            assert (store.current_facet_index() is not None) == built
            return [(store.search(c, limit=3).facets(top=5), Facets.of_records((h.record for h in store.search(c).hits), 5))
                    for c in commands]

        store.prepare_facets(wait=True)
        before = counted(True)
        with PatentStore(tmp_path / "db.sqlite3") as other:  # another process importing
            add_records(other, [odd])
        after = counted(False)
        store.prepare_facets(wait=True)
        assert counted(True) == after
        add_records(store, [PatentRecord(pn="TWI999002B", title="battery", applicants="丙公司", ad="2032-01-01")])  # its own write
        own = counted(False)
    assert all(index == slow for index, slow in before + after + own)
    assert [f.years[-1] for f, _ in after[:1]] == [("2031", 1)] and ("甲公司", 1) in after[3][0].applicants
