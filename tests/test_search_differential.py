"""The search path gives what it gave before it was rewritten: same hits, same
order, same matched words, for a fixed command set on a synthetic collection
(expectations in data/search_before.json.gz, see data/make_search_before.py);
records in two languages, alike on both stores."""

from __future__ import annotations

import dataclasses
import gzip
import json
import random
from pathlib import Path

import pytest

from varnel_host import citations, synth
from varnel_host.explain import render
from varnel_host.query import parse
from varnel_host import store as store_module
from varnel_host.pg_store import PgPatentStore
from varnel_host.store import PatentStore

BEFORE = json.loads(gzip.decompress((Path(__file__).parent / "data" / "search_before.json.gz").read_bytes()))


@pytest.fixture(scope="module")
def store():
    with PatentStore() as collection:
        collection.write_batch(list(synth.generate(BEFORE["records"], seed=BEFORE["seed"])))
        yield collection


def test_every_command_finds_the_same_hits_in_the_same_order_with_the_same_words(store):
    differences = []
    for command, total, hits in BEFORE["runs"]:
        words = parse(command).words()
        expected = [(number, tuple(w for i, w in enumerate(words) if mask >> i & 1)) for number, mask in hits]
        result = store.search(command)
        found = [(int(hit.record.pn[-8:-1]), hit.matched) for hit in result.rows()]
        if (result.total, found) != (total, expected):
            differences.append(command)
    assert differences == []


@pytest.mark.parametrize("command", [
    "固態電池 OR 散熱 AND AD=2010:2020",
    "(電池 AND AD=2015:2024) OR (battery NOT 電極)",
    "電池 OR PN=I0000002 AND 散熱",
    '"固態 電池" OR IC=H01M* AND ID=2019:2023',
    "電池 OR (裝置 AND NOT AD=2000:2015)",
])
def test_a_search_started_from_its_ranking_words_finds_what_reading_every_record_finds(store, monkeypatch, command):
    """Commands FTS5 cannot express whole but whose every hit holds a ranking
    word start from that word's records; the answer is the one the scan of
    every record gives, scores, ties and all."""
    import dataclasses

    assert store_module.compile_query(parse(command)).rank_finds_all
    started = [(h.record.pn, h.score, h.matched) for h in store.search(command).rows()]
    real = store_module.compile_query
    monkeypatch.setattr(store_module, "compile_query", lambda q: dataclasses.replace(real(q), rank_finds_all=False))
    scanned = [(h.record.pn, h.score, h.matched) for h in store.search(command).rows()]
    assert started == scanned and started


# --- records in two languages ------------------------------------------------------

_ACROSS = ['"法 solid"', "法 ADJ/1 solid", "TI=(置 NEAR/1 solid)"]  # only from the Chinese title into the other one
BILINGUAL_COMMANDS = _ACROSS + [
    "battery", "TI=battery", "AB=lithium-ion", "TI=(battery OR 電池) AND AD=2010:2020", "batteries", "batter*", "bat?ery",
    "solid 電池 -GaN", "TI=festkörper", '"solid battery"', "solid ADJ/1 battery", "lithium-ion NEAR/3 module",
    "電池 NOT TI=battery", "IC=H01M* AND TI=module", "SIM={first}", 'SIM="solid battery 固態電池"',
    "battery AND LS=有效", "(solid OR 電池) NOT DT=發明公開 NOT LS=inactive",
]


@pytest.fixture(scope="module")
def two_languages(pg_server):
    """Records, every third with a title and abstract in other languages, on the file and a
    server; on a file with those texts merged into its title and abstract instead."""
    records = list(synth.generate(600, seed=BEFORE["seed"]))
    with PatentStore() as lite, PgPatentStore(pg_server.new_database()) as pg, PatentStore() as merged:
        for store in (lite, pg, merged):
            rng, written = random.Random(7), list(records)
            for i in range(0, len(records), 3):
                terms, record = rng.sample(synth.ENGLISH, 3), records[i]
                title = f"solid {terms[0]} {rng.choice(('battery module', 'device'))}\nFestkörper {terms[1]}"
                abstract = f"A {terms[2]} module with a battery.\n\nUn module {terms[0]}."
                written[i] = dataclasses.replace(record, title_alt=title, abstract_alt=abstract) if store is not merged else \
                    dataclasses.replace(record, title=f"{record.title} {title}", abstract=f"{record.abstract} {abstract}")
            store.write_batch(written)
        yield lite, pg, merged, records[0].pn


def _ranked(store, command):
    return [(hit.record.pn, frozenset(hit.matched), hit.score) for hit in store.search(command).rows()]


@pytest.mark.parametrize("command", BILINGUAL_COMMANDS)
def test_records_in_two_languages_rank_alike_on_both_stores_and_as_their_texts_merged(two_languages, command):
    lite, pg, merged, first = two_languages
    command = command.format(first=first)
    found, on_server = _ranked(lite, command), _ranked(pg, command)
    assert [hit[:2] for hit in on_server] == [hit[:2] for hit in found]
    assert [hit[2] for hit in on_server] == pytest.approx([hit[2] for hit in found], rel=1e-12, abs=1e-12)
    if command in _ACROSS:  # a phrase or proximity never runs from one language's text into the other's
        assert found == [] and _ranked(merged, command)
    elif not any(mark in command for mark in ("ADJ", "NEAR", '"')):  # a word weighed and measured as in the title and abstract
        assert found == _ranked(merged, command) and found


# Commands holding TR(…) (tests/fake_terms.py is the term table): each runs
# alike on both stores (tests/test_pg_store.py), and the command as translated,
# the report's, finds the same hits with the same words (its groups written
# as ORs: ranked as ORs, not each as one term). Groups of 2-3 members (with
# the word forms) under an OR branch, beside a member of their own, twice,
# in a command the index cannot answer whole.
TRANSLATED = [
    "TR(電池 NEAR/3 電極)", "TR(固態 電池)@TI,AB", "TR(battery) AND AD=2015:2024", "TR(散熱) OR TR(wafer*)",
    "TR(晶圓 OR 電極) NEAR/5 TR(wafer)", "TR(battery ADJ/2 電極) NOT 負極", "TR(固態 散熱) -TR(晶圓)",
    "(TR(電池) AND 電極) OR TR(wafer)", "TR(電池) AND battery", "TR(電極) OR 電池 OR TR(電極)",
    "TR(電池)@TI OR TR(battery)@TI OR ID=2010:2012", "TR(電極) OR AD=2015:2016 NOT TR(wafer)",
    "TR(battery) AND DT=新型 NOT LS=失效",
]


@pytest.mark.parametrize("command", TRANSLATED)
def test_the_command_as_translated_finds_what_the_command_finds(store, command):
    result = store.search(command)
    written = store.search(render(result.translation.query.root))
    assert result.total == written.total > 0
    assert {h.record.pn: h.matched for h in result.rows()} == {h.record.pn: h.matched for h in written.rows()}


# --- citation chains -----------------------------------------------------------------

_CHAINED = [(0, "CT/3"), (4, "CT/2"), (37, "CT/2"), (20, "REF/3"), (1500, "REF/2"), (1999, "REF")]
# Chains of the synthetic collection's records (each cites up to six earlier ones), alone and combined; both stores
# run them (tests/test_pg_store.py), each checked here against chains made of CT= and PN= searches.
CHAINS = [f"{code}={synth_pn}" for synth_pn, code in
          ((record.pn, code) for n, code in _CHAINED for record in [list(synth.generate(n + 1, seed=BEFORE["seed"]))[n]])]
CHAINS_COMBINED = [f"{CHAINS[0]} AND AD=2010:2020", f"{CHAINS[1]} OR {CHAINS[3]}", f"電池 NOT {CHAINS[4]}", f"({CHAINS[2]}) -散熱"]


@pytest.mark.parametrize("command", CHAINS)
def test_a_chain_is_its_levels_of_single_citations(store, command):
    """CT/n= is CT= of the patent, then CT= of each record found, level by level;
    REF/n= is PN= of each number the patent cites, then of each such record's
    citations: each record once, at its lowest level, never the patent itself."""
    chain = parse(command).root
    start = {hit.record.pn: hit.record for hit in store.search(f"PN={chain.number}").hits}
    seen, frontier, levels = set(start), dict(start), []
    for _ in range(chain.depth):
        found = {}
        for record in frontier.values():
            commands = [f"PN={c}" for c in record.cites.split("; ") if c] if chain.backward else [f"CT={record.pn}"]
            found.update((hit.record.pn, hit.record) for c in commands for hit in store.search(c).hits)
        frontier = {number: record for number, record in found.items() if number not in seen}
        seen |= set(frontier)
        levels.append(set(frontier))
    result = store.search(command)
    assert {hit.record.pn for hit in result.hits} == set().union(*levels) and levels[0]
    counts = [len(level) for level in levels[: next((k + 1 for k, level in enumerate(levels) if not level), len(levels))]]
    assert result.chain_lines() == [citations.chain_line(result.chains[0], counts)]
    assert [len(level) for level in result.chains[0].levels] == counts
