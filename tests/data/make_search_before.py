"""Writes search_before.json.gz: what each command of a fixed set finds in a
small synthetic collection (hits in order, matched words), as the store
answered before its search path was rewritten. tests/test_search_differential.py
checks that the store still answers the same.

    PYTHONPATH=python:bench python tests/data/make_search_before.py
"""

from __future__ import annotations

import gzip
import json
import random
from pathlib import Path

from bench_search import commands
from varnel_host import synth
from varnel_host.query import parse
from varnel_host.loading import add_records
from varnel_host.store import PatentStore

RECORDS, SEED = 2000, 3


def command_set() -> list[str]:
    rng = random.Random(11)
    nouns = sorted({m + h for m in synth.MODIFIERS for h in synth.HEADS})
    extra = [
        "池", "電", "電池", "裝置", "固態 電池", "IC=H01M*", "PA=華泰", "battery", "batter*",
        '"固態 電池"', "AD=2015:2024", "(電池 OR battery)@TI,AB AND AD=2015:2024",
        "電池 NOT 電極", "NOT 電池 AND AD=2020", "電池 OR AD=2020", "CL=電極", 'TI="固態"',
        "IV=陳", "PN=TWI0000007B", "AN=1000000001", "鋰離子battery", "h01m10/0525",
        " OR ".join(rng.sample(nouns, 15)) + " AND AD=2010:2020",
        " OR ".join(rng.sample(nouns, 50)),
        " OR ".join(rng.sample(synth.HEADS, 30)),
    ]
    return extra + [command for _, command in commands()]


def main() -> None:
    out = []
    with PatentStore() as store:
        add_records(store, synth.generate(RECORDS, seed=SEED))
        for command in command_set():
            result = store.search(command)
            words = list(parse(command).words())  # bit i of a hit's mask: words[i] matched
            hits = [[int(hit.record.pn[-8:-1]), sum(1 << words.index(w) for w in hit.matched)] for hit in result.hits]
            assert all(h.matched == tuple(w for w in words if w in h.matched) for h in result.hits)
            out.append([command, result.total, hits])
    path = Path(__file__).with_name("search_before.json.gz")
    path.write_bytes(gzip.compress(json.dumps({"records": RECORDS, "seed": SEED, "runs": out}, ensure_ascii=False, separators=(",", ":")).encode(), 9, mtime=0))
    print(path, path.stat().st_size)


if __name__ == "__main__":
    main()
