"""Why a command found nothing (explain.py), alike on the SQLite file and the PostgreSQL server."""

from __future__ import annotations

import pytest

from varnel_host.explain import explain, render
from varnel_host.loading import add_records
from varnel_host.pg_store import PgPatentStore
from varnel_host.query import parse
from varnel_host.records import PatentRecord as P
from varnel_host.store import PatentStore

# No priority dates, CPC symbols, citations or inventors anywhere; two legal statuses, one document type.
RECORDS = [
    P(pn="TWI100001B", title="pizza box", abstract="a folding pizza box", applicants="Acme", ipc="B65D5/00",
      an="104100001", ad="20150105", pd="20160101", status="ACTIVE", doctype="B"),
    P(pn="TWI100002B", title="pizza oven", abstract="an oven that bakes pizza and warms a box of bread",
      applicants="Acme", ipc="A21B1/00", an="104100002", ad="20160310", pd="20170101", status="Expired - Fee Related"),
    P(pn="TWI100003B", title="wall shelf", abstract="a box placed near the wall", applicants="Shelfco",
      ipc="A47B96/00", an="104100003", ad="20181130", pd="20190101"),
]

# (command, fragments the explanation holds, in order)
CASES = [
    ("pizza near box", ["pizza 2 筆、near 1 筆、box 3 筆，同時符合的 0 筆",
                        "「near」被當成檢索詞；若要鄰近檢索請寫 pizza NEAR/5 box", '請加引號 "near"']),
    ("xyz", ["資料庫中沒有任何專利含有「xyz」"]),
    ("xyz OR qqq*", ["資料庫中沒有任何專利含有「xyz」或「qqq*」"]),
    ('pizza AND ("box pizza" OR xyz)', ['pizza 2 筆、"box pizza" OR xyz 0 筆', "資料庫中沒有任何專利含有「box pizza」或「xyz」"]),
    ("pizza NEAR/1 wall", ["pizza 2 筆、wall 1 筆，但沒有一筆在同一欄位內兩者相距 1 個字詞以內"]),
    ("oven ADJ/2 pizza", ["oven 1 筆、pizza 2 筆，但沒有一筆在同一欄位內「pizza」在「oven」之後 2 個字詞以內"]),
    ("TI=(wall NEAR/3 xyz)", ["TI=wall 1 筆、TI=xyz 0 筆", "資料庫中沒有任何專利的專利名稱含有「xyz」"]),
    # without priority claims PRD= reads the filing dates, and so does its range
    ("pizza AND PRD=2020", ["pizza 2 筆、PRD=2020 0 筆", "最早優先權日在 2020 年的專利：0 筆（資料庫的最早優先權日範圍 2015-01-05～2018-11-30）"]),
    ("AD=2030:", ["申請日在 2030-01-01 以後的專利：0 筆（資料庫的申請日範圍 2015-01-05～2018-11-30）"]),
    ("pizza ID=2018:2019 AND AD=2016:2016", ["pizza 2 筆、ID=2018:2019 1 筆、AD=2016 1 筆，同時符合的 0 筆"]),
    ("ID=:20101231 OR CPC=H01M", ["公開公告日在 2010-12-31 以前的專利：0 筆（資料庫的公開公告日範圍 2016-01-01～2019-01-01）",
                                  "這個資料庫沒有任何 CPC 資料"]),
    ("CT=US8930553B2", ["這個資料庫沒有任何引用專利資料"]),
    ("FAM=TWI999999B", ["資料庫中沒有公開公告號「TWI999999B」的專利"]),
    ("PA=華泰", ["資料庫中沒有任何專利的申請人含有「華泰」"]),
    ("IV=陳", ["這個資料庫沒有任何發明人資料"]),
    ("IC=H01M", ["資料庫中沒有任何專利的 IPC 屬於「H01M」"]),
    ("PN=TWI999999B", ["資料庫中沒有公開公告號「TWI999999B」的專利"]),
    ("pizza -box", ["pizza 2 筆、NOT box 0 筆", "資料庫的 3 筆專利都符合「box」，排除後沒有剩下任何專利"]),
    ("TI=(pizza with shelf)", ["TI=pizza 2 筆、TI=with 0 筆、TI=shelf 1 筆", "「with」被當成檢索詞；若要鄰近檢索請寫 TI=(pizza NEAR/20 shelf)"]),
    ("(pizza adj oven) OR wall same xyz", ["「adj」被當成檢索詞；若要鄰近檢索請寫 pizza ADJ/1 oven", "wall NEAR/50 xyz"]),
    ("TI=pizza near shelf", ["「near」被當成檢索詞；若要鄰近檢索請寫 電池 NEAR/5 電極"]),  # sides of different fields
    ("TR(pizza) wall", ["TR(pizza) 2 筆、wall 1 筆，同時符合的 0 筆"]),
    ("pizza AND LS=pending", ["pizza 2 筆、LS=審查中 0 筆", "資料庫中沒有法律狀態為「審查中」的專利（各法律狀態的專利：有效 1 筆、失效 1 筆）"]),
    ("DT=新型 OR DT=design", ["資料庫中沒有文件類型為「新型」的專利（各文件類型的專利：發明公告 1 筆）；資料庫中沒有文件類型為「設計」"]),
    # a citation chain: the patent cites nothing, or nothing cites it
    ("REF/3=TWI100001B", ["資料庫中的 TWI100001B 沒有列出任何引用專利"]),
    ("pizza AND REF=TWI100002B", ["pizza 2 筆、REF=TWI100002B 0 筆", "資料庫中的 TWI100002B 沒有列出任何引用專利"]),
    ("CT/2=TWI100003B OR xyz", ["資料庫中沒有任何專利引用「TWI100003B」；資料庫中沒有任何專利含有「xyz」"]),
]


@pytest.fixture(scope="module", params=["sqlite", "pg"])
def store(request):
    if request.param == "sqlite":
        opened = PatentStore()
    else:
        opened = PgPatentStore(request.getfixturevalue("pg_server").new_database())
    with opened:
        add_records(opened, RECORDS)
        yield opened


@pytest.mark.parametrize(("command", "fragments"), CASES, ids=[command for command, _ in CASES])
def test_a_command_that_finds_nothing_says_which_part_left_nothing(store, command, fragments):
    query = parse(command)
    assert store.search(query).total == 0
    said = "\n".join(explain(store, query))
    at = 0
    for fragment in fragments:  # each in order
        found = said.find(fragment, at)
        assert found >= 0, f"{fragment!r} not after {at} in {said!r}"
        at = found + len(fragment)
    assert "找到" not in said and len(said.splitlines()) <= 2 + said.count("被當成檢索詞")


@pytest.mark.parametrize("command", [
    "電池 OR (battery AND NOT 充電器)", "(電池 OR battery)@TI,AB AND AD=2015:2024", "TI=電池 模組", "PA=(虛構 OR fictional)",
    '"固態 電池"* -PA=華泰 AND IC=H01M10', "(電池 OR battery) NEAR/5 (電極 OR electrode)", "TI=(電池 NEAR/3 模組) OR 散熱",
    "-(燃料 OR 氫) AND ID=:20241231 AND PRD=2020", "bat?ery OR 電?池", 'SIM="固態電池" AND CPC=Y02E* AND CT=US8930553B2',
    "電池@PA,IV NOT FAM=TWI700214B", "NOT (a NEAR/3 b)", "TR(電池 NEAR/3 電極) OR TR(固態 電池)@TI,PA", "IC=TR(H01M*)", "AD=201503:202406", 'x AND "and"', "PRIOR=TWI700214B pizza",
    "LS=active AND DT=(新型 OR design) NOT LS=失效",
    "REF/2=TWI700214B OR CT/3=US8930553B2 AND NOT REF=TWI1", "-(REF/3=US8930553B2 OR CT/1=TWI1)",
])
def test_an_operand_is_written_back_as_a_command_that_reads_the_same(command):
    root = parse(command).root
    assert parse(render(root)).root == root
