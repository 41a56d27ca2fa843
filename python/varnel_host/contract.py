"""The contract both stores honour: the SQLite file (store.py) and the
PostgreSQL server (pg_store.py) answer the same calls the same way.

A store is a context manager with count(), prepare(records),
write_batch(records, cancel=), stored(numbers), remove(numbers), only_samples(), remove_samples(),
prepare_facets(), search(command, limit, cancel=), span(code) and close(); loading.py writes records,
files and the samples through write_batch(). Its failures that a user can act on are StoreError in
Traditional Chinese; a search or a batch's write stopped by its cancel hook
raises Cancelled. What is shared lives here: the one check
a record passes before it is stored, the loop that turns an import's rows
into checked records and problems, the import counts and their summary, the
shipped sample collection, and the base of both stores' search results.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from pathlib import Path
from typing import NamedTuple, Protocol, Union

from . import citations, pn
from .facets import Facets
from .families import Families
from .records import ATTRIBUTES, CAPTIONS, DATE_ATTRIBUTES, DATE_STANDINS, FIELDS, REGISTRY, Hit, PatentRecord
from .dates import iso_date
from .field_values import NORMALISED

ROW_BATCH = 2000  # rows fetched at a time when streaming hits
# A row of the list sheet: these fields of a hit, then its score.
LIST_FIELDS = ("pn", "title", "applicants", "ad", "pd", "ipc")
ListRow = tuple[str, str, str, str, str, str, float]
SAMPLE_FILE = ("sample_data", "sample_patents.jsonl")

# (line in the file, or position of the record; the record or the problem with it)
Row = tuple[int, Union[PatentRecord, str]]


class StoreError(Exception):
    """The collection cannot be used (locked, disk full, server away…); the
    message says why in Traditional Chinese."""


class Cancelled(Exception):
    """A search or a batch's write stopped because its cancel() returned True
    (the batch then written not at all)."""


class BatchCounts(NamedTuple):
    added: int
    updated: int
    unchanged: int


def import_summary(added: int, updated: int, unchanged: int, skipped: int) -> str:
    """The one line an import gives per file or call."""
    return f"新增 {added} 筆、更新 {updated} 筆、未變更 {unchanged} 筆、略過 {skipped} 筆"


@dataclass(frozen=True)
class ImportProblem:
    """A skipped row: its line in the file (or position in the records given to add())."""

    line: int
    message: str

    def __str__(self) -> str:
        return f"第 {self.line} 行：{self.message}"


@dataclass(frozen=True)
class ImportReport:
    added: int = 0
    updated: int = 0
    skipped: int = 0
    problems: tuple[ImportProblem, ...] = ()
    ignored_columns: tuple[str, ...] = ()
    unchanged: int = 0

    @property
    def summary(self) -> str:
        return import_summary(self.added, self.updated, self.unchanged, self.skipped)


# --- the mined word pairs -------------------------------------------------------


class TermPair(NamedTuple):
    """A Chinese and an English word aligned in the collection's bilingual
    records (terms/mining.py), as each store's `term_pairs` table holds it."""

    zh: str  # Traditional Chinese
    en: str  # English, lower case
    forward: float  # p(en | zh)
    backward: float  # p(zh | en)
    count: int  # sentence pairs in which each was the other's best link
    records: tuple[str, ...]  # publication numbers of a few of them


PAIR_COLUMNS = "zh, en, forward, backward, count, records"  # of the stores' term_pairs table
TERM_PAIRS_STAMP = "term_pairs"  # meta key whose value changes with every replacement of the pairs
RECORDS_SEPARATOR = "; "  # between a pair's publication numbers in its row


def bilingual_sql(alias: str) -> str:
    """The condition on `records` (named `alias`) of a record holding a title
    in its other language (its abstract there comes with it: the file keeps
    that abstract in the packed texts, where no condition reaches)."""
    return f"{alias}.title_alt <> ''"


BILINGUAL_CHUNK = 1000  # records read at a time by bilingual_records()


def bilingual_records(ids: Sequence[int], read: Callable[[list[int]], dict[int, PatentRecord]]) -> Iterator[PatentRecord]:
    """The records of these ids in their order, read BILINGUAL_CHUNK at a time
    by `read` (id -> record of those it finds; a record removed meanwhile is passed over)."""
    for start in range(0, len(ids), BILINGUAL_CHUNK):
        chunk = list(ids[start : start + BILINGUAL_CHUNK])
        found = read(chunk)
        yield from (found[record_id] for record_id in chunk if record_id in found)


def pair_row(pair: TermPair) -> tuple[str, str, float, float, int, str]:
    """A pair as the stores' row values."""
    return (*pair[:5], RECORDS_SEPARATOR.join(pair.records))


def pair_of(row: Sequence) -> TermPair:
    """A pair from a row of (zh, en, forward, backward, count, records)."""
    return TermPair(row[0], row[1], float(row[2]), float(row[3]), int(row[4]), tuple(filter(None, row[5].split(RECORDS_SEPARATOR))))


# --- the stored codes ------------------------------------------------------------

# Kinds of the (kind, value, given) rows each store keeps per record beside
# it, indexed on (kind, value): those of each code field (records.REGISTRY,
# its `stored` kind) and listed family members. A classification symbol's
# value is the symbol, upper case, no spaces; a publication number's value
# its number part, given the number as stored, as records.number and pn are.
# A legal status's or document type's value is the one it maps to
# (field_values.NORMALISED), given the text as stored.
CPC_KIND, CITED_KIND, MEMBER_KIND = REGISTRY["CPC"].stored, REGISTRY["CT"].stored, "fm"
NORMALISED_FIELDS = tuple(field for field in REGISTRY.values() if field.kind == "code" and field.scheme in NORMALISED)
_LISTED = tuple(field for field in REGISTRY.values() if field.kind == "code" and field not in NORMALISED_FIELDS)


def code_values(record: PatentRecord) -> list[tuple[str, str, str]]:
    """The stored code rows of one record."""
    rows: dict[tuple[str, str, str], None] = {}
    for field in _LISTED:
        for value in pn.listed(getattr(record, field.attribute)):
            rows[(field.stored, value, "") if field.levels else (field.stored, pn.number_part(value), value)] = None
    for number in pn.listed(record.members):
        rows[(MEMBER_KIND, pn.number_part(number), number)] = None
    return list(rows) + normalised_values([getattr(record, field.attribute) for field in NORMALISED_FIELDS])


def normalised_values(texts: Sequence[str]) -> list[tuple[str, str, str]]:
    """The code rows of a record's texts of NORMALISED_FIELDS (in that order): LS= and DT= compare them."""
    return [(field.stored, value, text.strip()) for field, text in zip(NORMALISED_FIELDS, texts)
            if (value := NORMALISED[field.scheme].of(text))]


# records that hold a text of NORMALISED_FIELDS, read by remake_normalised() from the id after `mark`
_NORMALISED_HELD = " OR ".join(f"{field.attribute} <> ''" for field in NORMALISED_FIELDS)
_NORMALISED_SQL = (f"SELECT id, {', '.join(field.attribute for field in NORMALISED_FIELDS)} FROM records "
                   f"WHERE id > {{mark}} AND ({_NORMALISED_HELD}) ORDER BY id LIMIT {{limit}}")


def remake_normalised(
    fetch: Callable[[str, tuple], list[tuple]],
    insert: Callable[[list[tuple[str, str, int, str]]], None],
    mark: str,
    say: Callable[[str], None] | None,
    steps: int,
    chunk: int = 1000,
) -> int:
    """The code rows of NORMALISED_FIELDS made anew from the stored texts (a
    schema upgrade; the store has deleted those it held): `fetch(sql, params)`
    reads rows, `insert` writes (kind, value, id, given) rows, `mark` is the
    store's placeholder. Past `steps` records `say` gets a line at the start
    and one every `steps` records. Returns the number of records read."""
    total = fetch(f"SELECT count(*) FROM records WHERE {_NORMALISED_HELD}", ())[0][0]
    talking = say if say is not None and total > steps else None
    if talking is not None:
        talking(f"正在整理法律狀態與文件類型的檢索值（{total:,} 筆專利，完成前請勿關閉程式）…")
    last = done = 0
    while rows := fetch(_NORMALISED_SQL.format(mark=mark, limit=chunk), (last,)):
        insert([(kind, value, row[0], given) for row in rows for kind, value, given in normalised_values(row[1:])])
        last, done = rows[-1][0], done + len(rows)
        if talking is not None and done % steps < len(rows) and done < total:
            talking(f"法律狀態與文件類型已整理 {done:,} / {total:,} 筆")
    return done


# Fields whose stored values span_sql() reads: the dates, CPC, CT, LS and DT
# from their stored codes, and the records' columns of short fields.
SPAN_FIELDS = ("AD", "ID", "PRD", "CPC", "CT", "PA", "IV", "IC", "AN", "LS", "DT")


def earliest_sql(condition: str) -> str:
    """A SELECT of how many records `condition` (on records r) holds for and
    the earliest of their priority dates (the application date where none is
    given), for PRIOR= (query_plan.prior_dates)."""
    return f"SELECT count(*), min(coalesce(NULLIF(r.prd, ''), NULLIF(r.ad, ''))) FROM records r WHERE {condition}"


class CitationLinks:
    """A store's look-ups for following citations (citations.CitationLinks),
    the same SELECTs on every engine: `among` is the engine's test of a
    column against a list given as one parameter (e.g. "= ANY(%s)"), `rows`
    runs a SELECT with that list bound."""

    def __init__(self, among: str, rows: Callable[[str, list], Iterable[tuple]]):
        self._among, self._rows = among, rows

    def _read(self, sql: str, values: Iterable[object]) -> list[tuple]:
        values = sorted(set(values))
        return list(self._rows(sql.format(among=self._among), values)) if values else []

    def numbered(self, numbers: Iterable[str]) -> list[tuple[int, str]]:
        return self._read("SELECT id, pn FROM records WHERE number {among}", numbers)

    def citing(self, numbers: Iterable[str]) -> list[tuple[int, str, str]]:
        return self._read(
            f"SELECT c.id, r.pn, c.given FROM codes c JOIN records r ON r.id = c.id WHERE c.kind = '{CITED_KIND}' AND c.value {{among}}",
            numbers,
        )

    def cites(self, ids: Iterable[int]) -> list[tuple[int, str]]:
        return self._read("SELECT id, cites FROM records WHERE id {among}", ids)

    def titles(self, ids: Iterable[int]) -> dict[int, str]:
        return dict(self._read("SELECT id, title FROM records WHERE id {among}", ids))


def linked_sql(among: str, member: str) -> str:
    """A SELECT of the ids of the records linked to those whose id is
    `among` (the engine's test of a record id against the ids given, e.g.
    "= ANY(%(ids)s)"): sharing a family identity or an application number
    with one, listed as a family member by one, or listing one
    (query_plan.FamilyLinks.linked). `member` is the engine's condition that
    the record m is the member the codes row c lists (a member listed
    without its kind is every kind of that number)."""
    return (
        f"SELECT o.id FROM records r JOIN records o ON o.family = r.family WHERE r.id {among} AND r.family <> '' "
        f"UNION SELECT o.id FROM records r JOIN records o ON o.an = r.an WHERE r.id {among} AND r.an <> '' "
        f"UNION SELECT m.id FROM codes c JOIN records m ON m.number = c.value "
        f"WHERE c.kind = '{MEMBER_KIND}' AND c.id {among} AND {member} "
        f"UNION SELECT c.id FROM records m JOIN codes c ON c.kind = '{MEMBER_KIND}' AND c.value = m.number "
        f"WHERE m.id {among} AND {member}"
    )


def date_range_sql(field: str, bounds: tuple[str, str], mark: str, alias: str) -> tuple[str, tuple[str, ...]]:
    """The condition that the date field `field` of the records `alias` lies
    within the inclusive `bounds` (query_plan.date_bounds), written with the
    store's placeholder `mark` ("?" or "%s"), and its parameters. A record
    without a priority claim (its PRD empty) counts from its filing date in
    PRD= and PRIOR= (records.DATE_STANDINS): the stored value stays as
    imported, and PRD is compared as `prd in range OR (prd = '' AND ad in
    range)`, both parts answered by the index of priority dates (or of filing dates)."""
    column = f"{alias}.{FIELDS[field][0]}"
    within = f"{column} BETWEEN {mark} AND {mark}"
    if field not in DATE_STANDINS:
        return within, bounds
    standin = f"{alias}.{FIELDS[DATE_STANDINS[field]][0]}"
    return f"({within} OR ({column} = '' AND {standin} BETWEEN {mark} AND {mark}))", bounds * 2


def span_sql(code: str) -> str:
    """A SELECT of the first and the last value records hold in field `code`
    (one of SPAN_FIELDS) in its index's order, both NULL when no record holds
    one: a date field's earliest and latest dates, the smallest and largest
    CPC symbol or cited number; of a field without an index (PA, IV, IC) one
    stored value as both, which says that the field is held. Both stores run it
    as it is (an index's first or last entry, or the first row holding one)."""
    if REGISTRY[code].kind == "code":
        table, column, held = "codes", "value", f"kind = '{REGISTRY[code].stored}'"
    else:
        table, column = "records", FIELDS[code][0]
        held = f"{column} > ''"
    if code in ("PA", "IV", "IC"):
        one = f"(SELECT {column} FROM {table} WHERE {held} LIMIT 1)"
        return f"SELECT {one}, {one}"
    if code in DATE_STANDINS:  # PRD= reads the filing date of a record without a priority claim
        standin = FIELDS[DATE_STANDINS[code]][0]
        ends = [f"SELECT {end}({name}) AS day FROM records WHERE {condition}" for end in ("min", "max")
                for name, condition in ((column, held), (standin, f"{column} = '' AND {standin} > ''"))]
        return f"SELECT min(day), max(day) FROM ({' UNION ALL '.join(ends)}) AS ends"
    return f"SELECT (SELECT min({column}) FROM {table} WHERE {held}), (SELECT max({column}) FROM {table} WHERE {held})"


# --- the record check ----------------------------------------------------------


def checked(record: PatentRecord, number: Callable[[str], str] = str.strip) -> PatentRecord:
    """The record as stored: text fields only (valid Unicode, a NUL character
    read as a space, as it separates what it stands between), its publication number in the form `number` gives (trimmed by
    default), dates as YYYYMMDD. ValueError, a Traditional-Chinese message
    naming the field, when it cannot be stored."""
    values = dict(zip(ATTRIBUTES, (getattr(record, attribute) for attribute in ATTRIBUTES)))
    try:
        everything = "".join(values.values())
        everything.encode("utf-8")
    except (TypeError, UnicodeEncodeError):  # find the field to name it
        for attribute, value in values.items():
            if not isinstance(value, str):
                raise ValueError(f"欄位「{CAPTIONS[attribute]}」應為文字") from None
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"欄位「{CAPTIONS[attribute]}」含有無效的 Unicode 字元（孤立的代理字元）") from None
    if "\x00" in everything:  # a server's text cannot hold it
        values = {attribute: value.replace("\x00", " ") for attribute, value in values.items()}
    values["pn"] = number(values["pn"])
    if not values["pn"]:
        raise ValueError("缺少公開公告號（pn）")
    for attribute in DATE_ATTRIBUTES:
        try:
            values[attribute] = iso_date(values[attribute])
        except ValueError:
            raise ValueError(
                f"{CAPTIONS[attribute]}「{values[attribute].strip()}」不是有效日期（應為 YYYYMMDD、YYYY-MM-DD 或 YYYY/MM/DD）"
            ) from None
    return PatentRecord(**values)


def checked_batch(records: Sequence[PatentRecord]) -> list[PatentRecord]:
    """Every record of a write_batch() checked; ValueError naming the first
    unusable one by its position and number (then nothing is written)."""
    out = []
    for position, record in enumerate(records, 1):
        try:
            out.append(checked(record))
        except ValueError as error:
            raise ValueError(f"第 {position} 筆（{getattr(record, 'pn', '')}）：{error}") from None
    return out


class CheckedBatch(list):
    """Records that passed checked(), in write order, as a store's prepare()
    gives them: write_batch() takes them without checking them again. A
    store may keep beside them what it worked out for writing them apart
    from the database."""


def checked_rows(rows: Iterable[Row], problems: list[ImportProblem]) -> CheckedBatch:
    """The usable records of an import's numbered rows, in order, for one
    write_batch(); every row that is a problem or fails the check is
    appended to `problems`."""
    batch = CheckedBatch()
    for line, item in rows:
        try:
            if isinstance(item, str):
                raise ValueError(item)
            batch.append(checked(item))
        except ValueError as error:
            problems.append(ImportProblem(line, str(error)))
    return batch


def import_report(counts: BatchCounts, problems: Sequence[ImportProblem], ignored: Iterable[str] = ()) -> ImportReport:
    return ImportReport(
        counts.added, counts.updated, len(problems), tuple(problems), tuple(sorted(ignored)), counts.unchanged
    )


# --- the shipped sample collection ---------------------------------------------


@contextmanager
def sample_path() -> Iterator[Path]:
    """The sample collection shipped with the package, as a file to import."""
    with resources.as_file(resources.files(__package__).joinpath(*SAMPLE_FILE)) as path:
        yield Path(path)


@lru_cache(maxsize=1)
def sample_numbers() -> frozenset[str]:
    """The publication numbers of the sample collection."""
    with resources.files(__package__).joinpath(*SAMPLE_FILE).open(encoding="utf-8") as file:
        return frozenset(json.loads(line)["pn"].strip() for line in file if line.strip())


# --- results -------------------------------------------------------------------


class Releasing(Protocol):
    """The store that made a result: it drops the result's tables once handed back."""

    def release(self, table: str) -> None: ...


class Worded(Protocol):
    """A parsed command (query.Query): its words in command order."""

    def words(self) -> tuple[str, ...]: ...


class Chosen(Protocol):
    """A similarity command's plan (similar.Plan): the words it ranks by,
    those of the filters with them, and those it compares the text by."""

    words: tuple[str, ...]
    compared: tuple[str, ...]


class RankedHits:
    """The base of both stores' search results: `total` counts every hit,
    `words` are the command's words in command order (the plan's for a
    similarity command), `compared` the words a similarity command compares
    its text by (none for others). The hits are ranked in the store's table `table`
    (h: id, rank, score), handed back to `store` when the result goes.
    rows(), closest(n) and hits read through the subclass's
    _hits_of(full, limit, cancel); the list rows, families and citation
    counts are read here through its _batches() and _fetch(), with the
    SQL of its engine where it differs (RECORDS_JOIN, _cited())."""

    total: int
    words: tuple[str, ...]
    compared: tuple[str, ...]
    # how the ranked hits h are joined to their records r
    RECORDS_JOIN = "JOIN records r ON r.id = h.id"
    # The TR step's outcome (translate.Outcome: the command as translated and
    # the log box's lines on it); None when the command held no TR(…).
    translation = None
    # The command's citation chains as followed (citations.Chained), in command order.
    chains: tuple[citations.Chained, ...] = ()

    def __init__(self, store: Releasing, query: Worded, table: str, total: int,
                 cancel: Callable[[], bool] | None = None, plan: Chosen | None = None):
        self._store = store
        self._query = query
        self._plan = plan
        self._table = table
        self.total = total
        self.words = plan.words if plan is not None else query.words()
        self.compared = plan.compared if plan is not None else ()
        self._cancel = cancel
        self._hits: list[Hit] | None = None
        self._families: Families | None = None

    def __del__(self) -> None:
        self._store.release(self._table)

    def rows(self, *, cancel: Callable[[], bool] | None = None) -> Iterator[Hit]:
        """Every hit, best first, fetched in batches (records.ROW_ATTRIBUTES
        only, the other fields empty); Cancelled when cancel() (default: the
        search's) returns True."""
        if self._hits is not None:
            yield from self._hits
        else:
            yield from self._hits_of(False, None, cancel or self._cancel)

    def list_rows(self, *, cancel: Callable[[], bool] | None = None) -> Iterator[ListRow]:
        """The LIST_FIELDS and the score of every hit, best first, as plain
        tuples fetched in batches (the list sheet's rows: no record or hit
        is made for them); Cancelled as rows()."""
        if self._hits is not None:
            yield from (list_row(hit) for hit in self._hits)
        else:
            columns = ", ".join(f"r.{field}" for field in LIST_FIELDS)
            for batch in self._batches(self._ranked_sql(f"{columns}, h.score"), (), cancel or self._cancel):
                yield from batch

    def numbers(self, *, cancel: Callable[[], bool] | None = None) -> Iterator[str]:
        """The publication number of every ranked hit, best first (of every
        hit when the search had no limit); Cancelled as rows()."""
        for batch in self._batches(self._ranked_sql("r.pn"), (), cancel or self._cancel):
            yield from (row[0] for row in batch)

    def narrow(self, numbers: Collection[str]) -> None:
        """Keep only the ranked hits whose publication number is among
        `numbers`, in their order; `total` counts them. Every later read (rows,
        families, charts) sees those alone: call it on a search without a
        limit, before reading anything."""
        self._narrow(sorted(numbers))
        self.total = self._fetch(f"SELECT count(*) FROM {self._table}")[0][0]
        self._hits = self._families = None

    def closest(self, n: int) -> list[Hit]:
        """The n best hits with their full records."""
        if self._hits is not None:
            return self._hits[:n]
        return list(self._hits_of(True, n, self._cancel))

    @property
    def hits(self) -> list[Hit]:
        """Every hit with its full record, best first (for callers that hold them all)."""
        if self._hits is None:
            self._hits = list(self._hits_of(True, None, None))
        return self._hits

    def families(self) -> Families:
        """The ranked hits grouped into patent families (families.py), from
        their (pn, an, family, members, number part), a short read: never stopped halfway."""
        if self._families is None:
            self._families = Families(self._fetch(self._ranked_sql("r.pn, r.an, r.family, r.members, r.number")))
        return self._families

    def closest_families(self, n: int) -> list[Hit]:
        """The best hits of the n best families (one hit each), with full
        records: two publications of one family are one prior-art document."""
        families = self.families()
        return [hit for hit in self.closest(families.window(n)) if families.is_first(hit.record.pn)][:n]

    def facets(self, top: int = 10) -> Facets:
        """Counts over every hit: the `top` applicants and IPC subclasses, and hits per filing year."""
        raise NotImplementedError

    def cited_by(self, numbers: Sequence[str]) -> dict[str, int]:
        """How many records of the collection cite each stored publication
        number (a citation without kind cites every kind of that number)."""
        counts = {}
        for number in numbers:
            cited = [self._cited(form) for form in pn.writings(number)]
            sql = (f"SELECT count(DISTINCT id) FROM codes WHERE kind = '{CITED_KIND}' "
                   f"AND ({' OR '.join(condition for condition, _ in cited)})")
            counts[number] = self._fetch(sql, [value for _, params in cited for value in params])[0][0]
        return counts

    def chain_lines(self) -> list[str]:
        """The log box's line on each citation chain of the command: its hits at each level (citations.chain_line)."""
        lines = []
        for chained in self.chains:
            with self._reading():
                held = self._hit_ids(chained.ids())
            lines.append(citations.chain_line(chained, [len(held.intersection(level)) for level in chained.levels]))
        return lines

    def citation_rows(self, closest: Sequence[PatentRecord]) -> list[citations.Citation]:
        """The citations between each of the `closest` records and every hit
        of the search, both ways (citations.among_hits), with their levels
        where the command holds chains."""
        with self._reading():
            return citations.among_hits(self._links(), [(r.pn, r.cites) for r in closest], self._hit_ids, self.chains)

    def _links(self) -> CitationLinks:
        """The engine's look-ups of citations, read in the result's connection."""
        raise NotImplementedError

    def _hit_ids(self, ids: set[int]) -> set[int]:
        """Those of `ids` that are hits of the search (ranked or not)."""
        raise NotImplementedError

    def _reading(self) -> AbstractContextManager[None]:
        """The context the result's own reads run in (cancel polled, the engine's errors said in Chinese)."""
        raise NotImplementedError

    def _all_ranked(self) -> bool:
        """Whether the table of ranked hits holds every hit (no limit cut it)."""
        return self._fetch(f"SELECT count(*) FROM {self._table}")[0][0] == self.total

    def _ranked_sql(self, columns: str) -> str:
        """A SELECT of `columns` of the ranked hits h and their records r, best first."""
        return f"SELECT {columns} FROM {self._table} h {self.RECORDS_JOIN} ORDER BY h.rank"

    def _cited(self, form: str) -> tuple[str, tuple[str, ...]]:
        """The condition on a codes row that it cites the publication number
        written `form` (a citation given without its kind names every kind of
        that number), and its parameters."""
        raise NotImplementedError

    def _fetch(self, sql: str, params: Sequence[object] = ()) -> list[tuple]:
        """Every row of a short read."""
        raise NotImplementedError

    def _narrow(self, numbers: list[str]) -> None:
        """Remove from the table of ranked hits those whose number is not in `numbers`."""
        raise NotImplementedError

    def _batches(self, sql: str, params: Sequence[object], cancel: Callable[[], bool] | None) -> Iterator[list[tuple]]:
        """The rows of `sql`, ROW_BATCH at a time; Cancelled once cancel() returns True."""
        raise NotImplementedError

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        raise NotImplementedError


def list_row(hit: Hit) -> ListRow:
    """A hit as a row of the list sheet (RankedHits.list_rows)."""
    record = hit.record
    return (record.pn, record.title, record.applicants, record.ad, record.pd, record.ipc, hit.score)


class Store(Protocol):
    """What the worker, the importer and the report use of a store."""

    def __enter__(self) -> Store: ...

    def __exit__(self, *exc_info: object) -> None: ...

    def close(self) -> None: ...

    def count(self) -> int: ...

    def prepare(self, records: Sequence[PatentRecord], *, checked: bool = False) -> CheckedBatch: ...

    def write_batch(self, records: Sequence[PatentRecord], *, cancel: Callable[[], bool] | None = None) -> BatchCounts: ...

    def stored(self, numbers: Sequence[str]) -> dict[str, PatentRecord]: ...

    def remove(self, numbers: Sequence[str]) -> int: ...

    def only_samples(self) -> bool: ...

    def remove_samples(self) -> int: ...

    def prepare_facets(self, wait: bool = False) -> None: ...

    def search(self, command, limit: int | None = None, *, cancel: Callable[[], bool] | None = None) -> RankedHits: ...

    def span(self, code: str) -> tuple[str, str] | None: ...

    def bilingual_records(self, limit: int) -> Iterator[PatentRecord]: ...

    def term_pairs(self) -> list[TermPair]: ...

    def replace_term_pairs(self, pairs: Iterable[TermPair]) -> int: ...

    def term_pairs_stamp(self) -> str: ...
