"""The worker's real path at scale, with two peers side by side.

    .venv/bin/python bench/bench_scale.py [--records 100000] [--no-peers] [--no-report] [--enter-to-done]

Builds the synthetic collection (varnel_host.synth, seed 1) once and keeps it
under ~/.cache/varnel-bench (or --cache; keyed by count, segmentation and
schema version), then for a fixed set of commands covering every command form
prints the hits, the search time and the report time, plus import rate,
database size against the text it indexes, and peak memory.

The search time is what Worker.run does before the report: the request read,
store.search() capped at the list sheet's rows (the request's list_row_cap; total
still counts every hit), every listed row with its matched words, and the
closest hits with full records. The report time is write_report() on that
result, which streams the listed rows once more as it writes them.

--enter-to-done adds what the user waits for, wall clock: each command handed
to a Worker as the window hands it (one worker, its charts' index built),
timed from the hand-over to its 找到 line and to its 完成 (the report written
and renamed into place).

Times are CPU seconds of this process (time.process_time: SQLite and Tantivy
run inside it), so that a machine shared with other work still gives
comparable figures; on an idle machine they are the wall-clock times. Import
is also given as CPU of the writing thread alone (a second thread segments
and compresses the next records meanwhile) and as wall-clock time.

Peers, fed the same records: SQLite FTS5 with its built-in trigram
tokenizer, and Tantivy (the `bench` extra) fed our tokens, whitespace-
tokenised. A peer's time is its count and ranking of every hit; "—" where it
cannot express the command. Ratios are ours / peer.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import random
import re
import resource
import shutil
import sqlite3
import tempfile
import time
from dataclasses import astuple
from pathlib import Path

from varnel_host import segment, synth
from varnel_host.query import And, Not, Or, Term, parse
from varnel_host.records import CODE_FIELDS, FIELDS
from varnel_host import report
from varnel_host.query import QueryError
from varnel_host.report import write_report
from varnel_host.report_data import gather
from varnel_host.request import RunRequest
from varnel_host.sqlite_schema import SCHEMA_VERSION
from varnel_host.store import PatentStore

BATCH = 5000
COLUMNS = ("title", "abstract", "claims", "applicants", "inventors", "ipc", "pn", "an")
CODES = {attribute: code for code, (attribute, _) in FIELDS.items()}


def command_set() -> list[tuple[str, str]]:
    rng = random.Random(5)
    nouns = sorted({m + h for m in synth.MODIFIERS for h in synth.HEADS})
    sample = list(synth.generate(50, seed=1))  # the collection's first records
    return [
        ("compound", "固態電池"),
        ("two words", "固態 電池"),
        ("two-char", "電池"),
        ("one-char", "池"),
        ("generic word", "裝置"),
        ("latin", "battery"),
        ("truncation", "IC=H01M*"),
        ("latin truncation", "batter*"),
        ("field group + date", "(電池 OR battery)@TI,AB AND AD=2015:2024"),
        ("date only", "AD=2020"),
        ("applicant", "PA=華泰"),
        ("phrase", '"固態 電池"'),
        ("not", "電池 NOT 電極"),
        ("or of 15 + date", " OR ".join(rng.sample(nouns, 15)) + " AND AD=2010:2020"),
        ("or of 50", " OR ".join(rng.sample(nouns, 50))),
        ("or of 800", " OR ".join(rng.choice(nouns) for _ in range(800))[:3990].rsplit(" OR ", 1)[0]),
        ("simplified", "固态电池"),
        ("number", "PN=" + next(r.pn for r in synth.generate(50, seed=1) if r.pn.startswith("TWI"))[2:-1]),
        ("subclass", "IC=H01M"),
        ("main group", "IC=H01M10"),
        ("proximity", "電池 NEAR/5 電極"),
        ("latin proximity", "battery NEAR/5 electrode"),
        ("proximity of ORs", "(電池 OR battery) NEAR/5 (電極 OR electrode)"),
        ("ordered proximity", "裝置 ADJ/3 系統"),
        ("wildcard", "bat?ery"),
        ("inner *", "cat*ter"),
        ("chinese wildcard", "電?池"),
        ("word forms", "batteries"),
        ("two sets (#k AND #m)", "(電池) AND (battery)"),  # what #k AND #m runs, k and m being these commands
        ("cpc main group", "CPC=H01M10"),
        ("cpc subclass + word", "CPC=Y02E* AND 電池"),
        ("priority date", "PRD=2015"),
        ("cited", "CT=" + sample[5].pn),
        ("citing chain 2", "CT/2=" + sample[5].pn),
        ("citing chain 3", "CT/3=" + sample[5].pn),
        ("cited chain 2", "REF/2=" + sample[45].pn),
        ("cited chain 3", "REF/3=" + sample[45].pn),
        ("family", "FAM=" + sample[8].pn),
        ("prior art by date", "SIM=" + sample[40].pn + " AND PRIOR=" + sample[40].pn),
    ]


def batches(n: int):
    chunk = []
    for record in synth.generate(n, seed=1):
        chunk.append(record)
        if len(chunk) == BATCH:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def build_ours(path: Path, n: int) -> dict:
    info = path.with_suffix(".json")
    if path.exists() and info.exists():
        return json.loads(info.read_text())
    for stale in (path, Path(f"{path}-wal"), Path(f"{path}-shm")):
        stale.unlink(missing_ok=True)
    text = 0
    seconds = {"rate": 0.0, "wall": 0.0, "thread": 0.0}
    with PatentStore(path) as store:
        for chunk in batches(n):  # generating the records is not timed
            started = (time.process_time(), time.perf_counter(), time.thread_time())
            store.write_batch(chunk)
            ended = (time.process_time(), time.perf_counter(), time.thread_time())
            for key, start, end in zip(seconds, started, ended):
                seconds[key] += end - start
            text += sum(len(value.encode()) for record in chunk for value in astuple(record))
    facts = {"text": text, "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}
    facts.update((key, n / spent) for key, spent in seconds.items())
    info.write_text(json.dumps(facts))
    return facts


def build_trigram(path: Path, n: int) -> float:
    if path.with_suffix(".json").exists():
        return json.loads(path.with_suffix(".json").read_text())["rate"]
    for stale in (path, Path(f"{path}-journal")):
        stale.unlink(missing_ok=True)
    db = sqlite3.connect(path, isolation_level=None)
    db.execute(f"CREATE VIRTUAL TABLE t USING fts5({', '.join(COLUMNS)}, tokenize='trigram')")
    seconds = 0.0
    for chunk in batches(n):
        rows = [tuple(getattr(r, c) for c in COLUMNS) for r in chunk]
        started = time.process_time()
        with db:
            db.execute("BEGIN")
            db.executemany(f"INSERT INTO t VALUES ({', '.join('?' * len(COLUMNS))})", rows)
        seconds += time.process_time() - started
    rate = n / seconds
    db.close()
    path.with_suffix(".json").write_text(json.dumps({"rate": rate}))
    return rate


def build_tantivy(folder: Path, n: int):
    import tantivy

    builder = tantivy.SchemaBuilder()
    for column in COLUMNS:
        builder.add_text_field(column, tokenizer_name="whitespace")
    schema = builder.build()
    done = folder / "done.json"
    if folder.exists() and not done.exists():  # an interrupted build
        shutil.rmtree(folder)
    folder.mkdir(parents=True, exist_ok=True)
    index = tantivy.Index(schema, path=str(folder))
    if not done.exists():
        writer = index.writer(heap_size=200_000_000, num_threads=1)
        seconds = 0.0
        for chunk in batches(n):  # our segmentation is timed, as it is part of feeding the peer
            started = time.process_time()
            for record in chunk:
                writer.add_document(tantivy.Document(**{c: segment.index_text(getattr(record, c), ipc=c == "ipc") for c in COLUMNS}))
            seconds += time.process_time() - started
        started = time.process_time()
        writer.commit()
        writer.wait_merging_threads()
        seconds += time.process_time() - started
        done.write_text(json.dumps({"rate": n / seconds}))
        index = tantivy.Index(schema, path=str(folder))
    index.reload()
    return index, json.loads(done.read_text())["rate"]


def peer_query(node, term) -> str | None:
    """A peer's query string for a parsed command; None if it cannot express it."""
    if isinstance(node, Term):
        return term(node)
    if isinstance(node, (And, Or)):
        parts = [peer_query(item, term) for item in node.items]
        if any(p is None for p in parts):
            return None
        return "(" + f" {type(node).__name__.upper()} ".join(parts) + ")"
    # Tantivy's phrase slop is unordered and phrase-only, the trigram peer has no proximity;
    # neither holds dates, CPC symbols, citations or families
    return None


def trigram_term(term: Term) -> str | None:
    if term.truncated or term.wildcard or term.fields == ("PN",) or term.fields[0] in CODE_FIELDS:
        return None
    columns = " ".join(FIELDS[code][0] for code in term.fields)
    return f'{{{columns}}} : "{term.text}"'


def tantivy_term(term: Term) -> str | None:
    tokens, prefix = segment.search_tokens(term.text, term.truncated)
    if prefix or term.wildcard or term.fields == ("PN",) or term.fields[0] in CODE_FIELDS:
        return None
    return "(" + " OR ".join(f'{FIELDS[code][0]}:"{" ".join(tokens)}"' for code in term.fields) + ")"


def latin_pattern_query(index, command: str):
    """Tantivy's regex query over the token dictionary for a command that is
    one Latin wildcard pattern (bat?ery, cat*ter), else None: it has no
    pattern over CJK bigrams."""
    import tantivy

    term = parse(command).root
    if not (isinstance(term, Term) and term.wildcard and term.text.isascii()):
        return None
    regex = "".join({"?": ".", "*": ".*"}.get(c, re.escape(c)) for c in term.text.lower())
    fields = [FIELDS[code][0] for code in term.fields]
    return tantivy.Query.boolean_query([(tantivy.Occur.Should, tantivy.Query.regex_query(index.schema, f, regex)) for f in fields])


def not_query(command: str, term) -> str | None:
    root = parse(command).root
    if isinstance(root, And) and len(root.items) == 2 and isinstance(root.items[1], Not):
        first, second = peer_query(root.items[0], term), peer_query(root.items[1].item, term)
        return None if first is None or second is None else f"{first} NOT {second}"
    return peer_query(root, term)


def timed(run) -> tuple[float, object]:
    started = time.process_time()
    value = run()
    return (time.process_time() - started) * 1000, value


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "varnel-bench")
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--skip", action="append", default=[], help="a command kind not to run")
    parser.add_argument("--similar-only", action="store_true", help="only the SIM= commands and the charts' cost")
    parser.add_argument("--no-report", action="store_true", help="time the searches only")
    parser.add_argument("--database", help="postgresql:// URL of an empty database: the server store's figures too")
    parser.add_argument("--enter-to-done", action="store_true", help="also time each command through a worker, Enter to 完成")
    args = parser.parse_args()
    n = args.records
    args.cache.mkdir(parents=True, exist_ok=True)
    tag = getattr(segment, "VERSION", "before").replace("/", "_")
    ours_path = args.cache / f"ours-{n}-{tag}-schema{SCHEMA_VERSION}.sqlite3"
    facts = build_ours(ours_path, n)
    if args.similar_only:
        with tempfile.TemporaryDirectory() as reports:
            bench_similarity(ours_path, Path(reports))
        return
    size = sum(p.stat().st_size for p in args.cache.glob(ours_path.name + "*"))
    print(f"{n:,} records: import {facts['rate']:,.0f} records/s CPU of the process, "
          f"{facts.get('thread', 0):,.0f}/s CPU of the writing thread, {facts.get('wall', 0):,.0f}/s wall; database {size / 2**20:,.0f} MiB = "
          f"{size / facts['text']:.2f} x the {facts['text'] / 2**20:,.0f} MiB of text; import peak {facts['peak_kib'] / 1024:,.0f} MiB")
    peers = {}
    if not args.no_peers:
        trigram_path = args.cache / f"trigram-{n}.sqlite3"
        rate = build_trigram(trigram_path, n)
        peers["trigram"] = (sqlite3.connect(trigram_path), rate)
        index, rate = build_tantivy(args.cache / f"tantivy-{n}-{tag}", n)
        peers["tantivy"] = (index, rate)
        print("peer import: " + ", ".join(f"{name} {rate:,.0f} records/s" for name, (_, rate) in peers.items()))
    raw = {"分析最接近專利數量": 5}
    header = f"{'kind':>20} {'hits':>9} {'search ms':>10} {'families ms':>12} {'report s':>9}"
    if peers:
        header += f" {'trigram':>16} {'tantivy':>16}"
    print(header)
    searches = []
    with PatentStore(ours_path) as store, tempfile.TemporaryDirectory() as reports:
        segment.prepare()  # as the worker does when it opens the store
        print(f"charts' index built on its own thread at the worker's start: {charts_index(store):.2f} s wall-clock")
        for kind, command in command_set():
            if kind in args.skip:
                print(f"{kind:>20} {'(skipped)':>9}")
                continue
            try:
                ms, (request, result) = timed(lambda: worker_search(store, raw, command))
            except QueryError as error:  # a command refused at once
                ms, _ = timed(lambda: _refused(store, raw, command))
                print(f"{kind:>20} {'refused':>9} {ms:10.1f}   ({str(error)[:40]}…)")
                continue
            searches.append((kind, result.total, ms))
            grouping, _ = timed(lambda: family_grouping(result))
            line = f"{kind:>20} {result.total:9,} {ms:10.1f} {grouping:12.1f}"
            if args.no_report:
                line += f" {'—':>9}"
            else:
                seconds, _ = timed(lambda: write_report(Path(reports), request, gather(request, result)))
                line += f" {seconds / 1000:9.2f}"
            line += "".join(_peer(name, peer, command, ms) for name, (peer, _) in peers.items())
            print(line)
            del result
    small = sorted(ms for _, hits, ms in searches if hits <= 10_000)
    if small:
        print(f"search p95 over commands with at most 10,000 hits: {small[min(len(small) - 1, int(0.95 * len(small)))]:.1f} ms; "
              f"slowest of all: {max(ms for _, _, ms in searches):.1f} ms")
    print(f"peak memory of this process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.0f} MiB")
    largest = [kind for kind, _, _ in sorted(searches, key=lambda search: -search[1])[:2]]
    if largest:
        print(f"peak memory of the worker's path alone ({', '.join(largest)}, search and report, own process): "
              f"{worker_peak(ours_path, largest) / 1024:,.0f} MiB")
    if "trigram" in peers:
        missed = _trigram_misses(ours_path, peers["trigram"][0])
        print(f"two-character Chinese words of the vocabulary the trigram peer misses: {missed[0]} of {missed[1]}")
    if args.enter_to_done:
        enter_to_done(ours_path, [c for c in command_set() if c[0] not in args.skip])
    if args.database:
        from bench_shared import server_scale

        server_scale(args.database, n, [c for c in command_set() + similarity_commands() if c[0] not in args.skip], args.cache, ours_path)


def similarity_commands() -> list[tuple[str, str]]:
    """SIM= commands: a one-page description (about 1,500 characters, from
    records not in the collection), alone and with filters, and one by
    publication number."""
    page = "".join(r.title + "。" + r.abstract + r.claims for r in synth.generate(4, seed=99)).replace('"', " ")[:1500]
    number = next(r.pn for r in synth.generate(50, seed=1) if r.pn.startswith("TWI"))
    return [
        ("SIM page", f'SIM="{page}"'),
        ("SIM page + filters", f'SIM="{page}" AND AD=2015:2024 NOT PA=華泰'),
        ("SIM number", f"SIM={number}"),
        ("SIM number + IC", f"SIM={number} AND IC=H01M*"),
    ]


def open_read_only(path: Path) -> PatentStore:
    """The benchmark's database opened so that nothing can change it."""
    real = sqlite3.connect

    def connect(target, *args, **kwargs):
        return real(f"file:{target}?immutable=1", *args, uri=True, **kwargs)

    sqlite3.connect = connect
    try:
        return PatentStore(path)
    finally:
        sqlite3.connect = real


def bench_similarity(path: Path, reports: Path) -> None:
    """Search time of SIM= commands (the worker's path before the report:
    ranking and counting, the closest five with their shared words), the
    report's time and how much of it the charts take (their counts over
    every hit, result.facets())."""
    print(f"{'kind':>20} {'hits':>9} {'search ms':>10} {'report s':>9} {'charts s':>9} {'charts %':>9}")
    with open_read_only(path) as store:
        print(f"charts' index built on its own thread at the worker's start: {charts_index(store):.2f} s wall-clock")
        for kind, command in similarity_commands():
            ms, (request, result) = timed(lambda: worker_search(store, {"分析最接近專利數量": 5}, command))
            whole, _ = timed(lambda: report.write_report(reports, request, gather(request, result)))
            charts, _ = timed(result.facets)
            print(f"{kind:>20} {result.total:9,} {ms:10.1f} {whole / 1000:9.2f} {charts / 1000:9.2f} "
                  f"{100 * charts / max(whole, 0.01):8.1f}%")
            del result


def charts_index(store: PatentStore) -> float:
    """Seconds to build the store's charts' index, which the worker starts
    when it opens the store; the charts' figures that follow use it."""
    started = time.perf_counter()
    store.prepare_facets(wait=True)
    return time.perf_counter() - started


def worker_search(store, raw, command):
    """What Worker.run does before the report, but for the family grouping
    (family_grouping()): the request read once, the search capped at the
    rows the report can list (every hit still counted) and the closest hits
    with full records and matched words. The listed rows are streamed by the
    report as it writes them, so their reading is in the report's time."""
    request = RunRequest.read(raw, command)
    result = store.search(request.query, limit=request.search_limit)
    result.closest(request.settings.top_count)
    return request, result


def family_grouping(result, top: int = 5) -> None:
    """What the worker does next, before its 找到 line: the ranked hits
    grouped into families, and the closest hit of each of the best families."""
    result.families()
    result.closest_families(top)


def _worker_run(path: Path, kinds: list[str], answer) -> None:
    commands = dict(command_set())
    raw = {"分析最接近專利數量": 5}
    with PatentStore(path) as store, tempfile.TemporaryDirectory() as reports:
        segment.prepare()
        store.prepare_facets()  # as the worker does: built while the first search runs
        for kind in kinds:
            request, result = worker_search(store, raw, commands[kind])
            family_grouping(result)
            write_report(Path(reports), request, gather(request, result))
            del result
    answer.put(own_peak_kib())


def own_peak_kib() -> int:
    """Peak resident KiB of this process's own memory since it started. Not
    ru_maxrss: on Linux that keeps the parent's resident size at the fork
    that preceded the spawn's exec."""
    with open("/proc/self/status", encoding="ascii") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def worker_peak(path: Path, kinds: list[str]) -> int:
    """Peak resident KiB of a fresh process doing the worker's search and
    report for these command kinds, one after the other."""
    context = multiprocessing.get_context("spawn")
    answer = context.Queue()
    process = context.Process(target=_worker_run, args=(path, kinds, answer))
    process.start()
    peak = answer.get()
    process.join()
    return peak


REQUEST = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 5}


class _Stamped:
    """A receipt queue that notes when each receipt arrived."""

    def __init__(self):
        self.receipts: list[tuple[float, str]] = []

    def put(self, receipt, *args, **kwargs) -> None:
        self.receipts.append((time.perf_counter(), receipt))

    def qsize(self) -> int:
        return 0


def enter_to_done(path: Path, commands: list[tuple[str, str]]) -> None:
    """Wall-clock seconds from handing a command to the worker to its 找到
    line and to 完成, as the window would see them."""
    from varnel_host.channel import COMPLETION_MARKER
    from varnel_host.worker import Worker, WorkerConfig

    print(f"{'kind':>20} {'hits':>9} {'找到 s':>8} {'完成 s':>8}   (through the worker, wall clock)")
    with tempfile.TemporaryDirectory() as folder:
        stamped = _Stamped()
        worker = Worker(WorkerConfig(path, Path(folder) / "reports", history=Path(folder) / "history.jsonl"), stamped)
        worker.handle({**REQUEST, "檢索指令": "PN=0"})  # opens the store as the first run does
        worker.store.prepare_facets(wait=True)
        for kind, command in commands:
            stamped.receipts.clear()
            started = time.perf_counter()
            worker.handle({**REQUEST, "檢索指令": command})
            found = next(((at, text) for at, text in stamped.receipts if text.startswith("找到 ")), None)
            done = next((at for at, text in stamped.receipts if text == COMPLETION_MARKER), None)
            if found is None or done is None:
                said = [text for _, text in stamped.receipts[1:] if text != COMPLETION_MARKER]  # after the echo
                print(f"{kind:>20} {'—':>9}   {(said or ['no 找到 line'])[0][:60]}")
                continue
            hits = re.search(r"找到 ([\d,]+) 筆", found[1])
            print(f"{kind:>20} {hits.group(1) if hits else '?':>9} {found[0] - started:8.2f} {done - started:8.2f}")
            for made in (Path(folder) / "reports").glob("*.xlsx"):
                made.unlink()


def _refused(store, raw, command):
    try:
        worker_search(store, raw, command)
    except QueryError:
        pass


def _peer(name, peer, command, ours_ms) -> str:
    if name == "trigram":
        query = not_query(command, trigram_term)
        if query is None:
            return f" {'—':>16}"
        ms, hits = timed(lambda: len(peer.execute("SELECT rowid, bm25(t) AS s FROM t WHERE t MATCH ? ORDER BY s", (query,)).fetchall()))
    else:
        query = not_query(command, tantivy_term)
        parsed = latin_pattern_query(peer, command) if query is None else peer.parse_query(query, list(COLUMNS))
        if parsed is None:
            return f" {'—':>16}"
        searcher = peer.searcher()
        def run():
            count = searcher.search(parsed, 1).count
            return len(searcher.search(parsed, max(count, 1)).hits) if count else 0
        ms, hits = timed(run)
    return f" {hits:>7,} {ours_ms / max(ms, 0.01):6.2f}x"


def _trigram_misses(ours_path: Path, trigram) -> tuple[int, int]:
    words = sorted({w for heads in synth.TOPIC_HEADS for w in heads if len(w) == 2} | {w for w in synth.GENERIC_HEADS if len(w) == 2})
    missed = 0
    with PatentStore(ours_path) as store:
        for word in words:
            ours = store.search(word, limit=1).total
            theirs = trigram.execute("SELECT count(*) FROM t WHERE t MATCH ?", (f'"{word}"',)).fetchone()[0]
            missed += ours > 0 and theirs == 0
    return missed, len(words)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
