"""The PostgreSQL server's tables: what each schema version adds, and the
upgrade of an older collection.

Tables: `records` (one row per patent, pn unique, `number` its number part,
`batch` the import chunk that wrote its postings), `patent_tokens` (per
record: every text field's tokens, their count and the GIN-indexed
tsvector), `record_lengths` (per record: its number of tokens alone, what
ranking reads), `postings` and `stale_postings` (per import chunk and
lexeme: the records holding it and how often; entries left behind by a
record written again or removed, see pg_query), `index_stats` (one row
added per write: records and tokens added, summed for the collection's
totals, so concurrent writers never wait on one counter row), `codes` (per
record: CPC symbols, cited publications, listed family members and the
values of its legal status and document type, contract.code_values()), `vocabulary` (every token ever indexed: what
wildcards and English word forms expand to; a token no record holds any more
stands for a word that finds nothing), `term_pairs` (the bilingual word
pairs mined at the end of an import, terms/mining.py; the stamp of their
last replacement in `varnel_meta`) and `varnel_meta`.

What each version adds: 1 the records and their tokens; 2 the
bibliographic columns and `codes`; 3 the postings (made for the stored
records of an older collection, with progress); 4 the postings' indexes by
batch; 5 the title and abstract in other languages (records' columns, and
their tokens' columns, empty in the records stored before: their tokens,
lexemes, lengths and postings are what the new columns make of empty texts,
so nothing is indexed again); 6 `term_pairs`; 7 the codes rows of the stored
legal statuses and document types, the values LS= and DT= compare
(normalised_codes(), with progress past UPGRADE_STEPS records). The steps run in one transaction. Every statement is idempotent and
every step runs on each upgrade:
some tables joined a version after its number was first given (vocabulary,
record_lengths), so a collection is not trusted to hold all its version
names. A changed segmentation makes the tokens anew from the records.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

import psycopg

from . import segment
from .contract import NORMALISED_FIELDS, StoreError, remake_normalised
from .pg_query import token_column
from .records import ATTRIBUTES, DATE_ATTRIBUTES, TEXT_FIELDS

SCHEMA_VERSION = "7"
INDEX_VERSION = f"{segment.VERSION}/tsvector-lexemes/vocabulary"
POSTINGS_VERSION = "3"  # a collection of an earlier version gets postings made for its stored records
NORMALISED_VERSION = "7"  # a collection of an earlier version gets the codes rows of its legal statuses and document types
UPGRADE_STEPS = 50_000  # records between the progress lines of those rows
TOKEN_COLUMNS = tuple(token_column(code) for code in TEXT_FIELDS)

_COLUMNS = ", ".join(f"{a} text NOT NULL DEFAULT ''" for a in ATTRIBUTES if a != "pn")
_TOKENS = ", ".join(f"{c} text NOT NULL" for c in TOKEN_COLUMNS)


class Step(NamedTuple):
    version: str
    statements: tuple[str, ...]
    note: str = ""  # said before the statements when the collection is of the version just before


# In the order they run, which is not the versions' order: the records'
# columns are altered first, so that an upgrade takes the records table's lock
# before any other table's and waits for the writers already running, never
# holding a table one of them needs next (a deadlock).
STEPS = (
    Step("1", (
        "CREATE TABLE IF NOT EXISTS varnel_meta (key text PRIMARY KEY, value text NOT NULL)",
        f"CREATE TABLE IF NOT EXISTS records (id bigserial PRIMARY KEY, pn text NOT NULL UNIQUE, {_COLUMNS}, "
        "number text NOT NULL DEFAULT '')",
    )),
    Step("2", (
        # a database of schema 1 lacks the bibliographic columns; every column's index once they are there
        *(f"ALTER TABLE records ADD COLUMN IF NOT EXISTS {attribute} text NOT NULL DEFAULT ''" for attribute in ATTRIBUTES),
        *(f"CREATE INDEX IF NOT EXISTS records_{column} ON records ({column})" for column in ("number", *DATE_ATTRIBUTES, "family", "an")),
        "CREATE TABLE IF NOT EXISTS codes (kind text NOT NULL, value text COLLATE \"C\" NOT NULL, "
        "id bigint NOT NULL REFERENCES records ON DELETE CASCADE, given text NOT NULL)",
        "CREATE INDEX IF NOT EXISTS codes_value ON codes (kind, value)",
        "CREATE INDEX IF NOT EXISTS codes_id ON codes (id)",
    )),
    Step("1", (
        "CREATE TABLE IF NOT EXISTS patent_tokens (id bigint PRIMARY KEY REFERENCES records ON DELETE CASCADE, "
        f"{_TOKENS}, ntokens integer NOT NULL, lexemes tsvector NOT NULL)",
        "CREATE INDEX IF NOT EXISTS patent_tokens_lexemes ON patent_tokens USING gin (lexemes)",
        "CREATE TABLE IF NOT EXISTS index_stats (records bigint NOT NULL, tokens bigint NOT NULL)",
        # every token ever indexed, in code-point order: what patterns and word forms expand to (expand.py)
        'CREATE TABLE IF NOT EXISTS vocabulary (token text COLLATE "C" PRIMARY KEY)',
    )),
    # The postings (see pg_query), their chunks' numbers, the list of entries
    # left behind by records written again or removed, and the trigger keeping that list.
    Step(POSTINGS_VERSION, (
        "ALTER TABLE records ADD COLUMN IF NOT EXISTS batch bigint NOT NULL DEFAULT 0",
        "CREATE SEQUENCE IF NOT EXISTS postings_batch",
        'CREATE TABLE IF NOT EXISTS postings (lexeme text COLLATE "C" NOT NULL, batch bigint NOT NULL, '
        "ids integer[] NOT NULL, tfs integer[] NOT NULL)",
        "CREATE INDEX IF NOT EXISTS postings_lexeme ON postings (lexeme)",
        "CREATE TABLE IF NOT EXISTS stale_postings (id integer NOT NULL, batch bigint NOT NULL)",
    )),
    # a batch's rows and its stale entries, found without reading the others' (pg_compact)
    Step("4", (
        "CREATE INDEX IF NOT EXISTS postings_by_batch ON postings (batch)",
        "CREATE INDEX IF NOT EXISTS stale_postings_by_batch ON stale_postings (batch, id)",
    ), "正在更新伺服器資料庫格式（依批次找出詞頻索引列的索引）…"),
    # the tokens of the title and abstract in other languages (records.REGISTRY's TI2, AB2); their
    # records' columns come with every attribute's in step 2, the records table being altered first
    Step("5", tuple(
        f"ALTER TABLE patent_tokens ADD COLUMN IF NOT EXISTS {column} text NOT NULL DEFAULT ''"
        for column in TOKEN_COLUMNS[TOKEN_COLUMNS.index("ti2"):]
    ), "正在更新伺服器資料庫格式（其他語言的專利名稱與摘要）…"),
    Step(POSTINGS_VERSION, (
        # each record's number of tokens (bm25's document length) apart from its token text: ranking reads only this
        "CREATE TABLE IF NOT EXISTS record_lengths (id bigint PRIMARY KEY REFERENCES records ON DELETE CASCADE, "
        "ntokens integer NOT NULL)",
        # the old row as it was last committed, also when this writer waited on another's upsert of the same number
        "CREATE OR REPLACE FUNCTION varnel_stale_postings() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF TG_OP = 'DELETE' OR OLD.batch <> NEW.batch THEN "
        "INSERT INTO stale_postings (id, batch) VALUES (OLD.id, OLD.batch); END IF; RETURN NULL; END $$",
        "CREATE OR REPLACE TRIGGER records_stale_postings AFTER UPDATE OF batch OR DELETE ON records "
        "FOR EACH ROW EXECUTE FUNCTION varnel_stale_postings()",
    )),
    Step("6", (
        "CREATE TABLE IF NOT EXISTS term_pairs (zh text NOT NULL, en text NOT NULL, forward float8 NOT NULL, "
        "backward float8 NOT NULL, count integer NOT NULL, records text NOT NULL, PRIMARY KEY (zh, en))",
    )),
    # the codes rows LS= and DT= compare: no statement of its own, made from the
    # stored texts by normalised_codes() on an upgrade from an earlier version
    Step(NORMALISED_VERSION, ()),
)
assert max(int(step.version) for step in STEPS) == int(SCHEMA_VERSION)


def meta(db: psycopg.Connection, key: str) -> str | None:
    if db.execute("SELECT to_regclass('varnel_meta')").fetchone()[0] is None:
        return None
    row = db.execute("SELECT value FROM varnel_meta WHERE key = %s", (key,)).fetchone()
    return row[0] if row else None


def ensure(
    db: psycopg.Connection,
    where: str,
    say: Callable[[str], None],
    reindex: Callable[[], None],
    post_stored: Callable[[], None],
) -> None:
    """Create the tables of a new collection, or bring an older one up to
    SCHEMA_VERSION and INDEX_VERSION in one transaction: `reindex` makes the
    tokens anew, `post_stored` the postings of the stored records (both
    inside that transaction), normalised_codes() the codes rows of the
    stored legal statuses and document types; `say` gets Chinese lines on long upgrades."""
    if meta(db, "segmentation") == INDEX_VERSION and meta(db, "schema") == SCHEMA_VERSION:
        return
    with db.transaction():
        # Two processes creating the schema at once: one at a time.
        db.execute("SELECT pg_advisory_xact_lock(hashtext('varnel schema'))")
        version = meta(db, "schema")
        if version not in (None, *(step.version for step in STEPS)):
            raise StoreError(f"資料庫「{where}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）")
        for step in STEPS:
            if step.note and version == str(int(step.version) - 1):
                say(step.note)
            for statement in step.statements:
                db.execute(statement)
        if meta(db, "segmentation") not in (None, INDEX_VERSION):
            reindex()
        elif version is not None and int(version) < int(POSTINGS_VERSION):
            post_stored()
        if version is not None and int(version) < int(NORMALISED_VERSION):
            normalised_codes(db, say)
        db.execute(
            "INSERT INTO varnel_meta (key, value) VALUES ('schema', %s), ('segmentation', %s) "
            "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
            (SCHEMA_VERSION, INDEX_VERSION),
        )


def normalised_codes(db: psycopg.Connection, say: Callable[[str], None]) -> None:
    """The codes rows LS= and DT= compare, made from the stored legal
    statuses and document types (contract.remake_normalised), those held deleted first."""
    db.execute("DELETE FROM codes WHERE kind = ANY(%s)", ([field.stored for field in NORMALISED_FIELDS],))

    def insert(rows: list[tuple[str, str, int, str]]) -> None:
        with db.cursor().copy("COPY codes (kind, value, id, given) FROM STDIN") as copy:
            for row in rows:
                copy.write_row(row)

    remake_normalised(lambda sql, params: db.execute(sql, params).fetchall(), insert, "%s", say, UPGRADE_STEPS)
