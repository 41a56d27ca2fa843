"""Mining word pairs from bilingual records (varnel_host.terms.mining):
records mined per second and how many of the known pairs were found.

    .venv/bin/python bench/bench_terms.py [--records 5000] [--seed 1]

The records are synthetic: each title and abstract is written twice, in
Chinese and in English, from a list of known word pairs with function words
and generic words around them, in a different order in each language. The
store is an SQLite database in memory; the dictionary is read before the
clock starts (a worker reads it once).
"""

from __future__ import annotations

import argparse
import random
import resource
import time

from varnel_host.records import PatentRecord
from varnel_host.store import PatentStore
from varnel_host.terms import mining, table

PAIRS = [
    ("電池", "battery"), ("電極", "electrode"), ("隔膜", "diaphragm"), ("電解質", "electrolyte"), ("陰極", "cathode"),
    ("陽極", "anode"), ("渦輪", "turbine"), ("葉片", "blade"), ("齒輪", "gear"), ("軸承", "bearing"),
    ("馬達", "motor"), ("線圈", "coil"), ("天線", "antenna"), ("晶片", "chip"), ("基板", "substrate"),
    ("透鏡", "lens"), ("雷射", "laser"), ("閥門", "valve"), ("泵", "pump"), ("感測器", "sensor"),
    ("記憶體", "memory"), ("處理器", "processor"), ("伺服器", "server"), ("螢幕", "screen"), ("薄膜", "film"),
    ("塗層", "coating"), ("纖維", "fiber"), ("樹脂", "resin"), ("觸媒", "catalyst"), ("陶瓷", "ceramic"),
    ("冷卻", "cooling"), ("加熱", "heating"), ("充電", "charging"), ("焊接", "welding"), ("壓縮機", "compressor"),
    ("車輛", "vehicle"), ("引擎", "engine"), ("輪胎", "tire"), ("鏡頭", "camera"), ("光纖", "optical"),
]
GENERIC = [("裝置", "device"), ("方法", "method"), ("系統", "system"), ("結構", "structure"), ("模組", "module")]


def bilingual(n: int, seed: int, sentences: int = 3) -> list[PatentRecord]:
    rng = random.Random(seed)
    records = []
    for i in range(n):
        words = rng.sample(PAIRS, rng.randint(2, 4)) + [rng.choice(GENERIC)]
        title = "一種" + "".join(zh for zh, _ in words)
        english = list(reversed(words))
        title_alt = f"{english[0][1].capitalize()} for " + " and ".join(en for _, en in english[1:])
        body = [rng.sample(PAIRS, rng.randint(2, 3)) for _ in range(rng.randint(sentences - 1, sentences + 1))]
        abstract = "。".join("本發明之" + "與".join(zh for zh, _ in part) + "係可提升效率" for part in body)
        abstract_alt = " ".join(f"The {' of the '.join(en for _, en in reversed(part))} improves efficiency." for part in body)
        records.append(PatentRecord(f"TW{i:07d}A", title, abstract, title_alt=title_alt, abstract_alt=abstract_alt,
                                    pd=f"2020{1 + i % 12:02d}01"))
    return records


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sentences", type=int, default=3, help="sentences of an abstract, about (2 to 4 words each)")
    args = parser.parse_args()
    with PatentStore() as store:
        store.write_batch(bilingual(args.records, args.seed, args.sentences))
        table.without_mined()  # the dictionary read before the clock starts
        lines: list[str] = []
        started = time.perf_counter()
        stored = mining.mine(store, lines.append)
        seconds = time.perf_counter() - started
        found = {(pair.zh, pair.en) for pair in store.term_pairs()}
    known = set(PAIRS + GENERIC)
    print("\n".join(lines))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    print(f"{args.records:,} records ({2 * args.records:,} sentence pairs) mined in {seconds:.2f} s: "
          f"{args.records / seconds:,.0f} records/s; {stored} pairs stored, "
          f"{len(found & known)} of {len(known)} known pairs found, {len(found - known)} others: {sorted(found - known)[:10]}; peak memory of the process {peak} MB")


if __name__ == "__main__":
    main()
