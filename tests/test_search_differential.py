"""The search path gives what it gave before it was rewritten: same hits, same
order, same matched words, for a fixed command set on a synthetic collection
(expectations in data/search_before.json.gz, see data/make_search_before.py)."""

from __future__ import annotations

import gzip
import json
from pathlib import Path

import pytest

from varnel_host import synth
from varnel_host.query import parse
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
