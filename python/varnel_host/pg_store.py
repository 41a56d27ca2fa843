"""The patent collection on a PostgreSQL server: many windows on many
machines search one collection while it is being updated.

The store contract of contract.py, with the same answers as the SQLite
file (store.py): the same tokens (segment.py cuts the text here, the server
only stores them, see pg_query.py), the same hits, ranked by the same bm25
(pg_query.bm25_sql) over the same statistics, ties broken alike (id, given
in order of first import). SIM= commands choose their
words in similar.py from document frequencies counted here (_PgCollection)
and rank by the chosen tokens with the same bm25.

Tables: `records` (one row per patent, pn unique, `number` its number part,
`batch` the import chunk that wrote its postings), `patent_tokens` (per
record: every text field's tokens, their count and the GIN-indexed
tsvector), `record_lengths` (per record: its number of tokens alone, what
ranking reads), `postings` and `stale_postings` (per import chunk and
lexeme: the records holding it and how often; entries left behind by a
record written again or removed, see pg_query), `index_stats` (one row
added per write: records and tokens added, summed for the collection's
totals, so concurrent writers never wait on one counter row), `codes` (per
record: CPC symbols, cited publications and listed family members,
contract.code_values()), `vocabulary` (every token ever indexed: what
wildcards and English word forms expand to; a token no record holds any more
stands for a word that finds nothing) and `varnel_meta`.

A write is one transaction: the changed records are copied (COPY) into a
temporary table, then upserted on pn, so two imports of overlapping files at
once store each record once; a deadlock between them is retried. A search
runs in one REPEATABLE READ transaction (statistics, IDF and hits from the
same state: before or after any write, never in between) and keeps its
ranked ids in a temporary table that rows() streams from through a
server-side cursor.

Every connection has a connect time-out and a statement time-out (the URL
may set its own); the server's failures reach the caller as StoreError in
Traditional Chinese, naming the server without its password.
"""

from __future__ import annotations

import itertools
import logging
import os
import re
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager

import psycopg
from psycopg import conninfo, errors

from . import _postings, pg_compact, pn, segment, similar
from .contract import (
    LIST_FIELDS, ROW_BATCH, BatchCounts, Cancelled, CheckedBatch, ImportProblem, ImportReport, ListRow, RankedHits,
    Row, StoreError, checked_batch, CITED_KIND, MEMBER_KIND, checked_chunks, code_values, import_report, sample_numbers,
    span_sql,
)
from .expand import expand
from .facets import Facets
from .pg_query import (
    GROUP_COLUMN, LEXEME_CHARS, NO_SCORE, RECORDS, TOKENS, CompiledQuery, Phrase, Scoring, bm25_sql, code_select,
    compile_query, condition, group_text, lexemes, listed_select, looked_up, looked_up_nodes, number_condition,
    phrase_counts, posted, posted_counts, posted_frequencies, posted_ids, ranked_phrases, similar_query, token_column,
    token_phrase,
)
from .query import Node, Query, parse
from .query_plan import (
    both_sides, code_terms, family_of, near_check, near_fields, prior_dates, priors, proximities, with_ids,
)
from .records import ATTRIBUTES, DATE_ATTRIBUTES, ROW_ATTRIBUTES, TEXT_FIELDS, Hit, PatentRecord

SCHEMA_VERSION = "4"
INDEX_VERSION = f"{segment.VERSION}/tsvector-lexemes/vocabulary"
CONNECT_SECONDS = 10
STATEMENT_SECONDS = 300
DEADLOCK_RETRIES = 5
WORK_MEM = "64MB"
_CHUNK = 2000
_POSTED_CHUNK = 20_000  # records a chunk when postings are made for stored records
_QUIET_BATCHES = 8  # the compaction after a write says how far it got when it has more batches
_PASSWORD = re.compile(r"(://[^:/@]*:)[^@]*@")  # the password in a URL
_RECORDS_USED = re.compile(rf"\b{RECORDS}\.")  # SQL reading the records table
_TOKEN_TEXT_USED = re.compile(rf"\b{TOKENS}\.(?!id\b|ntokens\b)")  # SQL reading the token text or tsvector
_TOKEN_COLUMNS = tuple(token_column(code) for code in TEXT_FIELDS)
_STAGED = (*ATTRIBUTES, "number", *(f"x_{c}" for c in _TOKEN_COLUMNS), "ntokens", "lexemes")


log = logging.getLogger(__name__)


def describe(url: str) -> str:
    """The server and database a URL names, without its password."""
    try:
        parts = conninfo.conninfo_to_dict(url)
    except psycopg.ProgrammingError:
        return "（無法解讀的資料庫網址）"
    user = f"{parts['user']}@" if parts.get("user") else ""
    port = f":{parts['port']}" if parts.get("port") else ""
    return f"postgresql://{user}{parts.get('host', '')}{port}/{parts.get('dbname', '')}"


# Common words of the server and of its client library, and what they mean.
_SERVER_REASONS = (
    ("password authentication failed", "帳號或密碼不正確"),
    ("does not exist", "資料庫或帳號不存在"),
    ("timeout expired", "連線逾時，伺服器沒有回應"),
    ("Connection refused", "伺服器沒有接受連線（可能未啟動，或主機、埠號不正確）"),
    ("no pg_hba.conf entry", "伺服器不允許從這台電腦連線（請管理者設定 pg_hba.conf）"),
    ("could not translate host name", "找不到這個主機名稱"),
    ("permission denied", "資料庫帳號沒有需要的權限"),
    ("terminating connection", "伺服器中斷了這個連線"),
    ("server closed the connection", "伺服器中斷了這個連線"),
)


class PgPatentStore:
    """Patent records with full-text search on a PostgreSQL server. Use from
    one thread at a time (one connection)."""

    def __init__(self, url: str, progress: Callable[[str], None] | None = None):
        self._url = url
        self._where = describe(url)
        self._password = ""
        self._time_limit = ""
        self._results = itertools.count(1)
        self._stale: list[str] = []
        self._extra: dict[str, list[str]] = {}  # a hit table -> the proximity tables that go with it
        self._live: weakref.WeakSet[PgSearchResult] = weakref.WeakSet()
        self._staged_tokens: set[str] = set()  # the tokens of the records staged last
        self._staged_texts: dict[str, tuple[str, ...]] = {}  # their text fields' tokens, by pn
        self._progress = progress
        self._stale_entries = True  # whether the postings have stale entries, as the search's transaction sees them
        with self.errors():
            try:
                parts = conninfo.conninfo_to_dict(url)
            except psycopg.ProgrammingError:
                shown = _PASSWORD.sub(r"\1***@", url)
                raise StoreError(f"資料庫網址「{shown}」格式不正確，應為 postgresql://使用者@主機:埠/資料庫") from None
            self._password = parts.get("password") or ""
            parts.setdefault("connect_timeout", CONNECT_SECONDS)
            options = parts.get("options", "")
            if "statement_timeout" not in options:
                options += f" -c statement_timeout={STATEMENT_SECONDS * 1000}"
            if "work_mem" not in options:  # a broad word's hits as one exact bitmap, not lossy pages rechecked
                options += f" -c work_mem={WORK_MEM}"
            parts["options"] = options.strip()
            parts.setdefault("application_name", "varnel")
            self._parts = parts
            self._db = psycopg.connect(**parts, autocommit=True)
        try:
            with self.errors():
                self._time_limit = self._db.execute("SHOW statement_timeout").fetchone()[0]
                self._ensure_schema()
        except BaseException:
            self._db.close()
            raise

    def __enter__(self) -> PgPatentStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        for result in list(self._live):
            try:
                result.hits  # noqa: B018 (results still held keep their hits)
            except StoreError:
                pass
        self._db.close()

    def count(self) -> int:
        self._reconnect_if_dropped()
        with self.errors():
            return self._db.execute("SELECT count(*) FROM records").fetchone()[0]

    def span(self, code: str) -> tuple[str, str] | None:
        """See PatentStore.span."""
        self._reconnect_if_dropped()
        with self.errors():
            first, last = self._db.execute(span_sql(code)).fetchone()
        return (first, last) if first else None

    def _reconnect_if_dropped(self) -> None:
        """Open the connection again, once, when the server dropped it since
        its last statement (a restart, an idle time-out, a fail-over): found
        by a one-row probe, so that the search after it runs as usual. The
        session's temporary tables went with it."""
        if not self._db.closed and not self._db.broken:
            try:
                self._db.execute("SELECT 1")
                return
            except psycopg.OperationalError:
                pass
        self._db.close()
        with self.errors():
            self._db = psycopg.connect(**self._parts, autocommit=True)
        self._stale.clear()
        self._extra.clear()

    @property
    def connection(self) -> psycopg.Connection:
        """The store's connection, which its results read through."""
        return self._db

    def new_number(self) -> int:
        """A number not used before by this store (names of its temporary objects)."""
        return next(self._results)

    def prepare_facets(self, wait: bool = False) -> None:
        """The server groups the charts' counts itself: nothing to prepare."""

    # --- errors --------------------------------------------------------

    @contextmanager
    def errors(self) -> Iterator[None]:
        """The server's failures that a user can act on, as StoreError in Chinese."""
        try:
            yield
        except errors.DiskFull as error:
            raise StoreError(f"資料庫伺服器「{self._where}」磁碟空間已滿，無法寫入；資料庫內容未變更") from error
        except errors.QueryCanceled as error:
            raise StoreError(
                f"資料庫伺服器「{self._where}」未能在時限（{self._time_limit}）內完成；請稍後再試或縮小檢索範圍"
            ) from error
        except (errors.DeadlockDetected, errors.SerializationFailure) as error:
            raise StoreError(f"資料庫「{self._where}」正被其他程式大量寫入，多次重試仍無法完成；請稍後再試") from error
        except errors.LockNotAvailable as error:
            raise StoreError(f"資料庫「{self._where}」正被其他程式寫入，等候逾時；請稍後再試") from error
        except psycopg.OperationalError as error:
            raise StoreError(f"無法連線到資料庫伺服器「{self._where}」或連線已中斷：{self._reason(error)}") from error
        except psycopg.Error as error:  # e.g. a role without the rights it needs
            raise StoreError(f"資料庫伺服器「{self._where}」回報錯誤：{self._reason(error)}") from error

    def _reason(self, error: psycopg.Error) -> str:
        """The first line of the server's (or the client library's) words,
        password hidden, after what they mean in Chinese when they are common."""
        text = self._hidden(str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__)
        meaning = next((said for words, said in _SERVER_REASONS if words in text), "")
        return f"{meaning}（{text}）" if meaning else text

    def _hidden(self, text: str) -> str:
        text = _PASSWORD.sub(r"\1***@", text)
        return text.replace(self._password, "***") if self._password else text

    # --- schema --------------------------------------------------------

    def _ensure_schema(self) -> None:
        if self._meta("segmentation") == INDEX_VERSION and self._meta("schema") == SCHEMA_VERSION:
            return
        with self._db.transaction():
            # Two processes creating the schema at once: one at a time.
            self._db.execute("SELECT pg_advisory_xact_lock(hashtext('varnel schema'))")
            self._db.execute("CREATE TABLE IF NOT EXISTS varnel_meta (key text PRIMARY KEY, value text NOT NULL)")
            columns = ", ".join(f"{a} text NOT NULL DEFAULT ''" for a in ATTRIBUTES if a != "pn")
            self._db.execute(
                f"CREATE TABLE IF NOT EXISTS records (id bigserial PRIMARY KEY, pn text NOT NULL UNIQUE, {columns}, "
                "number text NOT NULL DEFAULT '')"
            )
            for attribute in ATTRIBUTES:  # a database of schema 1 lacks the bibliographic columns
                self._db.execute(f"ALTER TABLE records ADD COLUMN IF NOT EXISTS {attribute} text NOT NULL DEFAULT ''")
            for column in ("number", *DATE_ATTRIBUTES, "family", "an"):
                self._db.execute(f"CREATE INDEX IF NOT EXISTS records_{column} ON records ({column})")
            self._db.execute(
                "CREATE TABLE IF NOT EXISTS codes (kind text NOT NULL, value text COLLATE \"C\" NOT NULL, "
                "id bigint NOT NULL REFERENCES records ON DELETE CASCADE, given text NOT NULL)"
            )
            self._db.execute("CREATE INDEX IF NOT EXISTS codes_value ON codes (kind, value)")
            self._db.execute("CREATE INDEX IF NOT EXISTS codes_id ON codes (id)")
            tokens = ", ".join(f"{c} text NOT NULL" for c in _TOKEN_COLUMNS)
            self._db.execute(
                "CREATE TABLE IF NOT EXISTS patent_tokens (id bigint PRIMARY KEY REFERENCES records ON DELETE CASCADE, "
                f"{tokens}, ntokens integer NOT NULL, lexemes tsvector NOT NULL)"
            )
            self._db.execute("CREATE INDEX IF NOT EXISTS patent_tokens_lexemes ON patent_tokens USING gin (lexemes)")
            self._db.execute("CREATE TABLE IF NOT EXISTS index_stats (records bigint NOT NULL, tokens bigint NOT NULL)")
            # every token ever indexed, in code-point order: what patterns and word forms expand to (expand.py)
            self._db.execute('CREATE TABLE IF NOT EXISTS vocabulary (token text COLLATE "C" PRIMARY KEY)')
            version = self._meta("schema")
            if version not in (None, "1", "2", "3", SCHEMA_VERSION):
                raise StoreError(f"資料庫「{self._where}」的格式版本 {version} 不受支援（本程式使用版本 {SCHEMA_VERSION}）")
            if version == "3":
                self._say("正在更新伺服器資料庫格式（依批次找出詞頻索引列的索引）…")
            self._create_postings()
            if self._meta("segmentation") not in (None, INDEX_VERSION):
                self._reindex()
            elif version in ("1", "2"):
                self._post_stored()
            self._db.execute(
                "INSERT INTO varnel_meta (key, value) VALUES ('schema', %s), ('segmentation', %s) "
                "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
                (SCHEMA_VERSION, INDEX_VERSION),
            )

    def _create_postings(self) -> None:
        """The postings (see pg_query), their chunks' numbers, the list of
        entries left behind by records written again or removed, and the
        trigger keeping that list."""
        self._db.execute("ALTER TABLE records ADD COLUMN IF NOT EXISTS batch bigint NOT NULL DEFAULT 0")
        self._db.execute("CREATE SEQUENCE IF NOT EXISTS postings_batch")
        self._db.execute(
            'CREATE TABLE IF NOT EXISTS postings (lexeme text COLLATE "C" NOT NULL, batch bigint NOT NULL, '
            "ids integer[] NOT NULL, tfs integer[] NOT NULL)"
        )
        self._db.execute("CREATE INDEX IF NOT EXISTS postings_lexeme ON postings (lexeme)")
        self._db.execute("CREATE TABLE IF NOT EXISTS stale_postings (id integer NOT NULL, batch bigint NOT NULL)")
        # a batch's rows and its stale entries, found without reading the others' (pg_compact)
        self._db.execute("CREATE INDEX IF NOT EXISTS postings_by_batch ON postings (batch)")
        self._db.execute("CREATE INDEX IF NOT EXISTS stale_postings_by_batch ON stale_postings (batch, id)")
        # each record's number of tokens (bm25's document length) apart from its token text: ranking reads only this
        self._db.execute(
            "CREATE TABLE IF NOT EXISTS record_lengths (id bigint PRIMARY KEY REFERENCES records ON DELETE CASCADE, "
            "ntokens integer NOT NULL)"
        )
        # the old row as it was last committed, also when this writer waited on another's upsert of the same number
        self._db.execute(
            "CREATE OR REPLACE FUNCTION varnel_stale_postings() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
            "IF TG_OP = 'DELETE' OR OLD.batch <> NEW.batch THEN "
            "INSERT INTO stale_postings (id, batch) VALUES (OLD.id, OLD.batch); END IF; RETURN NULL; END $$"
        )
        self._db.execute(
            "CREATE OR REPLACE TRIGGER records_stale_postings AFTER UPDATE OF batch OR DELETE ON records "
            "FOR EACH ROW EXECUTE FUNCTION varnel_stale_postings()"
        )

    def _post_stored(self) -> None:
        """Postings made for the stored records from their stored tokens (a
        collection written before the postings existed), with progress."""
        total = self._db.execute("SELECT count(*) FROM records").fetchone()[0]
        self._say(f"正在更新伺服器資料庫格式（詞頻索引）：共 {total:,} 筆專利…")
        self._db.execute("INSERT INTO record_lengths (id, ntokens) SELECT id, ntokens FROM patent_tokens ON CONFLICT DO NOTHING")
        reader = self._db.cursor(name="varnel_post_stored")
        reader.execute(f"SELECT r.id, r.batch, {', '.join(f't.{c}' for c in _TOKEN_COLUMNS)} "
                       "FROM records r JOIN patent_tokens t ON t.id = r.id ORDER BY r.id")
        done = 0
        while batch := reader.fetchmany(_POSTED_CHUNK):
            self._post([(row[0], row[1], row[2:]) for row in batch])
            done += len(batch)
            self._say(f"詞頻索引：{done:,} / {total:,} 筆")
        reader.close()

    def _say(self, line: str) -> None:
        if self._progress is not None:
            self._progress(line)

    def _post(self, rows: Sequence[tuple[int, int, Sequence[str]]]) -> None:
        """The postings of records (id, batch, each text field's tokens), ids ascending."""
        for batch, group in itertools.groupby(sorted(rows, key=lambda row: (row[1], row[0])), key=lambda row: row[1]):
            records = [(row[0], (*row[2], group_text(dict(zip(TEXT_FIELDS, row[2]))))) for row in group]
            payload = _postings.copy_rows(batch, (*_TOKEN_COLUMNS, GROUP_COLUMN), records, LEXEME_CHARS)
            with self._db.cursor().copy("COPY postings (lexeme, batch, ids, tfs) FROM STDIN") as copy:
                copy.write(payload)

    def _meta(self, key: str) -> str | None:
        if self._db.execute("SELECT to_regclass('varnel_meta')").fetchone()[0] is None:
            return None
        row = self._db.execute("SELECT value FROM varnel_meta WHERE key = %s", (key,)).fetchone()
        return row[0] if row else None

    def _reindex(self) -> None:
        """Tokens made anew from the records with the current segmenter (inside
        the caller's transaction)."""
        self._db.execute("DELETE FROM patent_tokens")
        self._db.execute("DELETE FROM postings")
        self._db.execute("DELETE FROM stale_postings")
        self._db.execute("DELETE FROM record_lengths")
        self._db.execute("DELETE FROM index_stats")
        self._db.execute("DELETE FROM vocabulary")
        reader = self._db.cursor(name="varnel_reindex")
        reader.execute(f"SELECT {', '.join(ATTRIBUTES)} FROM records ORDER BY id")
        while batch := reader.fetchmany(_CHUNK):
            self._stage([PatentRecord(*row) for row in batch])
            self._store_tokens()
        reader.close()

    # --- writing -------------------------------------------------------

    def prepare(self, records: Sequence[PatentRecord], *, checked: bool = False) -> CheckedBatch:
        """The records checked for write_batch() (see PatentStore.prepare);
        their tokens are made while the batch is written."""
        return CheckedBatch(records if checked else checked_batch(records))

    def write_batch(self, records: Sequence[PatentRecord], *, cancel: Callable[[], bool] | None = None) -> BatchCounts:
        """Add or update records (same pn = same record) in one transaction; see
        PatentStore.write_batch (cancel() asked before each chunk)."""
        return self._store_all(records if isinstance(records, CheckedBatch) else checked_batch(records), cancel)

    def add(self, records: Iterable[PatentRecord]) -> ImportReport:
        """Add records, replacing those with the same pn; one transaction."""
        return self._write(enumerate(records, 1))

    def import_file(self, path: str | os.PathLike[str]) -> ImportReport:
        """Import a .csv or .jsonl file of our own layout; one transaction."""
        from .ingest.tables import import_own_file  # the readers load only when a file is imported

        return import_own_file(path, self._write)

    def _write(self, rows: Iterable[Row]) -> ImportReport:
        problems: list[ImportProblem] = []
        checked = [record for chunk in checked_chunks(rows, problems, _CHUNK) for record in chunk]
        return import_report(self._store_all(checked), problems)

    def _store_all(self, records: Sequence[PatentRecord], cancel: Callable[[], bool] | None = None) -> BatchCounts:
        """Write checked records in one transaction, retried when the server
        breaks a deadlock with another writer by aborting this one; Cancelled
        (the transaction rolled back) when cancel() is True before a chunk."""
        with self.errors():
            for attempt in itertools.count():
                try:
                    with self._db.transaction():
                        counts = [0, 0, 0]
                        for start in range(0, len(records), _CHUNK):
                            if cancel is not None and cancel():
                                raise Cancelled
                            self._write_chunk(records[start : start + _CHUNK], counts)
                    break
                except (errors.DeadlockDetected, errors.SerializationFailure):
                    if attempt >= DEADLOCK_RETRIES:
                        raise
        self._reclaim(cancel)
        return BatchCounts(*counts)

    def _reclaim(self, cancel: Callable[[], bool] | None = None) -> pg_compact.Compacted | None:
        """Compact the postings entries that writes committed so far left
        stale (pg_compact), after the write's own transaction. Its failure
        loses nothing (every read skips stale entries; rebuild-index reclaims
        them later): it is logged and said, the write stays a success."""
        try:
            batches = pg_compact.stale_batches(self._db)
            progress = self._progress if len(batches) > _QUIET_BATCHES else None
            return pg_compact.compact(self._db, progress, cancel, batches)
        except psycopg.Error as error:
            log.warning("the stale postings were not compacted", exc_info=True)
            self._say(f"注意：被取代或移除的專利留下的舊索引項目這次未能回收（{self._reason(error)}）；"
                      "檢索結果不受影響，稍後執行 varnel-host rebuild-index 即可回收")
            return None

    def compact_postings(self, progress: Callable[[str], None] | None = None) -> pg_compact.Compacted:
        """Reclaim every stale postings entry, saying how far it got, then let
        the server reuse the space at once (VACUUM, which the server skips
        with a warning for a role not owning the table; autovacuum does it
        later when it cannot run here)."""
        say = progress or (lambda line: None)
        with self.errors():
            batches = pg_compact.stale_batches(self._db)
            say(f"回收舊索引項目：共 {len(batches):,} 批詞頻索引含有被取代或移除的專利，逐批整理")
            done = pg_compact.compact(self._db, progress, batches=batches)
        say("整理詞頻索引表（VACUUM）…")
        try:
            self._db.execute("VACUUM (ANALYZE) postings, stale_postings")
        except psycopg.Error as error:
            say(f"注意：VACUUM 未完成（{self._reason(error)}）；舊項目已回收，空間稍後由伺服器的 autovacuum 整理")
        return done

    def stale_share(self) -> pg_compact.StaleShare:
        """How much of the postings is stale (pg_compact.stale_share)."""
        with self.errors():
            return pg_compact.stale_share(self._db)

    def _write_chunk(self, chunk: Sequence[PatentRecord], counts: list[int]) -> None:
        """counts (added, updated, unchanged) as the SQLite store counts them:
        a pn met earlier in the chunk compares with that record."""
        stored = {
            row[0]: PatentRecord(*row)
            for row in self._db.execute(
                f"SELECT {', '.join(ATTRIBUTES)} FROM records WHERE pn = ANY(%s)", ([r.pn for r in chunk],)
            )
        }
        final: dict[str, PatentRecord] = {}
        for record in chunk:
            before = final.get(record.pn, stored.get(record.pn))
            counts[0 if before is None else 2 if before == record else 1] += 1
            final[record.pn] = record
        changed = [record for number, record in final.items() if stored.get(number) != record]
        if changed:
            self._stage(changed)
            batch = self._db.execute("SELECT nextval('postings_batch')").fetchone()[0]
            self._db.execute(
                f"INSERT INTO records ({', '.join(ATTRIBUTES)}, number, batch) "
                f"SELECT {', '.join(ATTRIBUTES)}, number, %s FROM varnel_staging ORDER BY ord "
                f"ON CONFLICT (pn) DO UPDATE SET {', '.join(f'{a} = EXCLUDED.{a}' for a in (*ATTRIBUTES, 'number', 'batch'))}",
                (batch,),
            )
            self._store_tokens()
            ids = dict(self._db.execute("SELECT pn, id FROM records WHERE pn = ANY(%s)", ([r.pn for r in changed],)).fetchall())
            self._db.execute("DELETE FROM codes WHERE id = ANY(%s)", (list(ids.values()),))
            with self._db.cursor().copy('COPY codes (kind, value, id, given) FROM STDIN') as copy:
                for record in changed:
                    for kind, value, given in code_values(record):
                        copy.write_row((kind, value, ids[record.pn], given))

    def _stage(self, records: Sequence[PatentRecord]) -> None:
        """Copy records and their tokens into the temporary staging table."""
        columns = ", ".join(f"{a} text" for a in _STAGED[:-2])
        self._db.execute(
            f"CREATE TEMP TABLE IF NOT EXISTS varnel_staging (ord integer, {columns}, ntokens integer, lexemes text) "
            "ON COMMIT DELETE ROWS"
        )
        self._db.execute("DELETE FROM varnel_staging")
        self._staged_tokens = set()
        self._staged_texts = {}
        with self._db.cursor().copy(f"COPY varnel_staging (ord, {', '.join(_STAGED)}) FROM STDIN") as copy:
            for position, record in enumerate(records):
                texts = self._staged_texts[record.pn] = segment.index_values(record)
                for text in texts:
                    self._staged_tokens.update(text.split())
                copy.write_row(
                    (position, *vars(record).values(), pn.number_part(record.pn), *(f" {text} " for text in texts),
                     sum(text.count(" ") + 1 for text in texts if text),
                     " ".join(lexemes(code, text) for code, text in zip(TEXT_FIELDS, texts)))
                )

    def _store_tokens(self) -> None:
        """The staged records' tokens stored, and the collection's totals moved."""
        old_records, old_tokens = self._db.execute(
            "SELECT count(*), coalesce(sum(t.ntokens), 0) FROM record_lengths t "
            "JOIN records r ON r.id = t.id JOIN varnel_staging s ON s.pn = r.pn"
        ).fetchone()
        targets = ", ".join(_TOKEN_COLUMNS)
        self._db.execute(
            f"INSERT INTO patent_tokens (id, {targets}, ntokens, lexemes) "
            f"SELECT r.id, {', '.join(f's.x_{c}' for c in _TOKEN_COLUMNS)}, s.ntokens, s.lexemes::tsvector "
            "FROM varnel_staging s JOIN records r ON r.pn = s.pn "
            f"ON CONFLICT (id) DO UPDATE SET {', '.join(f'{c} = EXCLUDED.{c}' for c in (*_TOKEN_COLUMNS, 'ntokens', 'lexemes'))}"
        )
        self._db.execute(
            "INSERT INTO index_stats (records, tokens) "
            "SELECT count(*) - %s, coalesce(sum(ntokens), 0) - %s FROM varnel_staging",
            (old_records, old_tokens),
        )
        self._db.execute(
            "INSERT INTO record_lengths (id, ntokens) SELECT r.id, s.ntokens FROM varnel_staging s JOIN records r ON r.pn = s.pn "
            "ON CONFLICT (id) DO UPDATE SET ntokens = EXCLUDED.ntokens"
        )
        written = self._db.execute("SELECT s.pn, r.id, r.batch FROM varnel_staging s JOIN records r ON r.pn = s.pn")
        self._post([(record_id, batch, self._staged_texts[number]) for number, record_id, batch in written])
        # in one order, so that two importers adding the same tokens never wait on each other in a cycle
        self._db.execute(
            "INSERT INTO vocabulary (token) SELECT unnest(%s::text[]) ON CONFLICT DO NOTHING", (sorted(self._staged_tokens),)
        )

    def only_samples(self) -> bool:
        """Whether the database holds the shipped sample records and nothing else."""
        with self.errors():
            return self._db.execute(
                "SELECT EXISTS (SELECT 1 FROM records) AND NOT EXISTS (SELECT 1 FROM records WHERE pn <> ALL(%s))",
                (sorted(sample_numbers()),),
            ).fetchone()[0]

    def remove_samples(self) -> int:
        """Remove the shipped sample records; returns how many were removed."""
        return self.remove(sorted(sample_numbers()))

    def stored(self, numbers: Sequence[str]) -> dict[str, PatentRecord]:
        """The stored records of these publication numbers, by number (those not stored left out)."""
        with self.errors():
            rows = self._db.execute(f"SELECT {', '.join(ATTRIBUTES)} FROM records WHERE pn = ANY(%s)", (list(numbers),))
            return {row[0]: PatentRecord(*row) for row in rows}

    def remove(self, numbers: Sequence[str]) -> int:
        """Remove the records of these publication numbers in one transaction; returns how many were removed."""
        numbers = list(numbers)
        with self.errors(), self._db.transaction():
            gone, tokens = self._db.execute(
                "WITH gone AS (DELETE FROM patent_tokens t USING records r WHERE r.id = t.id AND r.pn = ANY(%s) "
                "RETURNING t.ntokens) SELECT count(*), coalesce(sum(ntokens), 0) FROM gone",
                (numbers,),
            ).fetchone()
            removed = self._db.execute("DELETE FROM records WHERE pn = ANY(%s)", (numbers,)).rowcount
            self._db.execute("INSERT INTO index_stats (records, tokens) VALUES (%s, %s)", (-gone, -tokens))
        self._reclaim()
        return removed

    # --- searching -----------------------------------------------------

    def search(
        self, command: str | Query, limit: int | None = None, *, cancel: Callable[[], bool] | None = None
    ) -> PgSearchResult:
        """Run a search command (or a parsed Query): every hit (at most `limit`)
        ranked, best first; see PatentStore.search."""
        if limit is not None and limit < 0:
            raise ValueError("limit 不能是負數")
        query = parse(command) if isinstance(command, str) else command
        if not proximities(query) and not query.similar() and not priors(query):
            compile_query(query)  # a command the server cannot run fails before the server is asked
        self._reconnect_if_dropped()
        table = f"varnel_hits_{self.new_number()}"
        plan = None
        with self.errors(), self.polling(cancel):
            self._drop_stale()
            with self._db.transaction():
                self._db.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
                self._stale_entries = self._db.execute("SELECT EXISTS (SELECT 1 FROM stale_postings)").fetchone()[0]
                query = expand(query, _PgVocabulary(self._db), cancel)
                query = self._resolve_codes(query, table)
                words = self.word_tables(query.root, table, {})
                query = self._resolve_proximity(query, table, words)
                if query.similar():  # the words chosen from the same state the hits come from
                    records = self._db.execute("SELECT count(*) FROM records").fetchone()[0]
                    plan = similar.plan(_PgCollection(self._db, self, table), query, records)
                    compiled = plan.compiled
                else:
                    compiled = compile_query(query, words)
                total = self._rank(compiled, limit, table)
        result = PgSearchResult(self, query, table, total, cancel, compiled, plan)
        self._live.add(result)
        return result

    def _rank(self, compiled: CompiledQuery, limit: int | None, table: str) -> int:
        """Store (rank, id, score) of the best `limit` hits in `table`; returns
        the number of all hits."""
        score, score_params, join, join_params, group = self._score(compiled, table)
        order = "score DESC, id" if compiled.indexed else "score DESC, ad COLLATE \"C\" DESC, id"
        # the token text only when the command reads it (a guard, a token too long for the postings)
        read = f"{compiled.where} {score} {join}"
        found = f"FROM {'patent_tokens' if _TOKEN_TEXT_USED.search(read) else 'record_lengths'} {TOKENS}"
        ad = "''"
        if not compiled.indexed or _RECORDS_USED.search(read):
            found += f" JOIN records {RECORDS} ON {RECORDS}.id = {TOKENS}.id"
            ad, group = f"{RECORDS}.ad", group and f"{group}, {RECORDS}.id"
        where = f" WHERE {compiled.where}"
        self._db.execute(f"CREATE TEMP TABLE {table} (rank bigint PRIMARY KEY, id bigint NOT NULL, score float8 NOT NULL)")
        # every hit scored once: the best `limit` kept (a bounded sort) and numbered, all of them counted
        return self._db.execute(
            f"WITH hit AS MATERIALIZED (SELECT {TOKENS}.id, {ad} AS ad, {score} AS score {found}{join}{where}{group}), "
            f"best AS (INSERT INTO {table} (rank, id, score) SELECT row_number() OVER (ORDER BY {order}), id, score "
            f"FROM (SELECT * FROM hit ORDER BY {order} LIMIT %s) kept RETURNING 1) "
            "SELECT count(*) FROM hit",
            (*score_params, *join_params, *compiled.params, limit),
        ).fetchone()[0]

    def _score(self, compiled: CompiledQuery, table: str) -> Scoring:
        """bm25 over the collection's statistics as it is in this transaction
        (the phrases' frequencies kept in a table going with `table`)."""
        if not compiled.ranked:
            return NO_SCORE
        records, tokens = self._db.execute(
            "SELECT coalesce(sum(records), 0)::bigint, coalesce(sum(tokens), 0)::bigint FROM index_stats"
        ).fetchone()
        phrases = ranked_phrases(compiled)
        frequencies = ""
        if posted(compiled):
            frequencies = self._analyzed(table, "f", *posted_frequencies(phrases, self._stale_entries))
            held = dict(self._db.execute(f"SELECT phrase, count(*) FROM {frequencies} GROUP BY phrase").fetchall())
            hits = [held.get(number, 0) for number in range(len(phrases))]
        else:
            sql, params = phrase_counts(phrases)
            hits = self._db.execute(sql, params).fetchone()
        return bm25_sql(compiled, hits, records, tokens, frequencies)

    @contextmanager
    def polling(self, cancel: Callable[[], bool] | None) -> Iterator[None]:
        """Statements run inside stop with Cancelled once cancel() is True (the
        server is asked to cancel the statement running)."""
        if cancel is None:
            yield
            return
        if cancel():
            raise Cancelled
        done, fired = threading.Event(), threading.Event()

        def watch() -> None:
            while not done.wait(0.05):
                if cancel():
                    fired.set()
                    self._db.cancel_safe()
                    return

        watcher = threading.Thread(target=watch, name="varnel-pg-cancel", daemon=True)
        watcher.start()
        try:
            yield
        except errors.QueryCanceled:
            if fired.is_set():
                raise Cancelled from None
            raise
        except StoreError as error:
            if fired.is_set() and isinstance(error.__cause__, errors.QueryCanceled):
                raise Cancelled from None
            raise
        finally:
            done.set()
            watcher.join()
        if fired.is_set():
            raise Cancelled

    def word_tables(self, root: Node, table: str, tables: dict[Node, str]) -> dict[Node, str]:
        """`tables` with a table of the ids of each part of `root` the
        postings answer (pg_query.looked_up_nodes), made once per search."""
        for node in looked_up_nodes(root):
            if node not in tables:
                tables[node] = self.ids_table(table, looked_up(node))
        return tables

    @property
    def stale_entries(self) -> bool:
        return self._stale_entries

    def ids_table(self, table: str, phrases: Sequence[Phrase]) -> str:
        """A temporary table (going with the result `table`) of the ids of
        the records holding any of the phrases, from the postings."""
        sql, params = posted_ids(phrases, self._stale_entries)
        return self._analyzed(table, "ids", f"SELECT DISTINCT id FROM ({sql}) found", params)

    def _analyzed(self, table: str, kind: str, sql: str, params: Sequence[object]) -> str:
        """A temporary table of the rows of `sql`, going with the result
        `table`, analyzed: the plans that join it know how many rows it has."""
        extra = self._extra.setdefault(table, [])
        name = f"{table}_{kind}{len(extra)}"
        extra.append(name)
        self._db.execute(f"CREATE TEMP TABLE {name} AS {sql}", params)
        self._db.execute(f"ANALYZE {name}")
        return name

    def _resolve_proximity(self, query: Query, table: str, words: dict[Node, str]) -> Query:
        """The command with each NEAR/ADJ replaced by its sides and a table of
        the records where it holds (query_plan.with_ids): the records holding
        both sides are read with their fields' tokens and checked. The tables
        go with the result (its charts may run the condition again)."""
        tables: dict = {}
        for number, near in enumerate(proximities(query)):
            name = tables[near] = f"{table}_near{number}"
            self._db.execute(f"CREATE TEMP TABLE {name} (id bigint PRIMARY KEY)")
            fields = near_fields(near)
            sides = both_sides(near)
            sql, params = condition(sides, self.word_tables(sides, table, words))
            columns = ", ".join(f"{TOKENS}.{token_column(code)}" for code in fields)
            records = f" JOIN records {RECORDS} ON {RECORDS}.id = {TOKENS}.id" if _RECORDS_USED.search(sql) else ""
            rows = self._db.execute(
                f"SELECT {TOKENS}.id, {columns} FROM patent_tokens {TOKENS}{records} WHERE {sql}", params
            )
            check = near_check(near)
            held = [(row[0],) for row in rows if check.in_tokens(row[1:])]
            if held:
                with self._db.cursor().copy(f"COPY {name} (id) FROM STDIN") as copy:
                    for row in held:
                        copy.write_row(row)
        self._extra.setdefault(table, []).extend(tables.values())
        return with_ids(query, tables)

    def _resolve_codes(self, query: Query, table: str) -> Query:
        """The command with each CPC=, CT= and FAM= term replaced by a table
        of its records and each PRIOR= by its date range (query_plan.with_ids);
        the tables go with the result."""
        tables: dict = {}
        for number, term in enumerate(code_terms(query)):
            name = tables[term] = f"{table}_code{number}"
            self._db.execute(f"CREATE TEMP TABLE {name} (id bigint PRIMARY KEY)")
            if term.fields[0] == "FAM":
                ids = sorted(family_of(_PgFamilyLinks(self._db), term))
                self._db.execute(f"INSERT INTO {name} (id) SELECT unnest(%s::bigint[])", (ids,))
            else:
                sql, params = code_select(term)
                self._db.execute(f"INSERT INTO {name} (id) {sql} ON CONFLICT DO NOTHING", params)
        self._extra.setdefault(table, []).extend(tables.values())

        def earliest(parts: pn.Parts) -> tuple[int, str | None]:
            condition, params = number_condition(parts)
            return self._db.execute(f"SELECT count(*), min(coalesce(NULLIF(r.prd, ''), NULLIF(r.ad, ''))) FROM records r WHERE {condition}", params).fetchone()

        dates = prior_dates(query, earliest)
        return with_ids(query, tables, dates)

    def _drop_stale(self) -> None:
        while self._stale:
            self._db.execute(f"DROP TABLE IF EXISTS {self._stale.pop()}")

    def release(self, table: str) -> None:
        self._stale += (table, *self._extra.pop(table, ()))


class _PgFamilyLinks:
    """The server's family links (query_plan.FamilyLinks), read in the search's transaction."""

    def __init__(self, db: psycopg.Connection):
        self._db = db

    def numbered(self, parts: pn.Parts) -> set[int]:
        sql, params = number_condition(parts)
        return {row[0] for row in self._db.execute(f"SELECT r.id FROM records r WHERE {sql}", params)}

    def listing(self, parts: pn.Parts) -> set[int]:
        return {row[0] for row in self._db.execute(*listed_select(MEMBER_KIND, parts))}

    def linked(self, ids: set[int]) -> set[int]:
        # a member listed without its kind is every kind of that number
        member = "(m.pn = c.given OR m.pn ~ ('^' || c.given || '[A-Z][0-9]?$'))"
        sql = (
            "SELECT o.id FROM records r JOIN records o ON o.family = r.family WHERE r.id = ANY(%(ids)s) AND r.family <> '' "
            "UNION SELECT o.id FROM records r JOIN records o ON o.an = r.an WHERE r.id = ANY(%(ids)s) AND r.an <> '' "
            f"UNION SELECT m.id FROM codes c JOIN records m ON m.number = c.value "
            f"WHERE c.kind = '{MEMBER_KIND}' AND c.id = ANY(%(ids)s) AND {member} "
            f"UNION SELECT c.id FROM records m JOIN codes c ON c.kind = '{MEMBER_KIND}' AND c.value = m.number "
            f"WHERE m.id = ANY(%(ids)s) AND {member}"
        )
        return {row[0] for row in self._db.execute(sql, {"ids": sorted(ids)})}


class _PgVocabulary:
    """The tokens ever indexed (expand.Vocabulary), read in the search's transaction."""

    def __init__(self, db: psycopg.Connection):
        self._db = db

    def tokens(self, prefix: str, limit: int) -> list[str]:
        rows = self._db.execute(
            "SELECT token FROM vocabulary WHERE token >= %s AND token < %s ORDER BY token LIMIT %s",
            (prefix, prefix + "\U0010ffff", limit),
        )
        return [row[0] for row in rows]


class _PgCollection(similar.RecordIds):
    """The server's side of a similarity command (similar.Collection), read
    in the search's transaction."""

    MARK = "%s"
    _db: psycopg.Connection

    def __init__(self, db: psycopg.Connection, store: PgPatentStore, table: str):
        super().__init__(db)
        self._store = store
        self._table = table

    def token_hits(self, tokens: Sequence[str], last_id: int | None) -> list[int]:
        if not tokens:
            return []
        phrases = [token_phrase(token) for token in tokens]
        if all(phrase.posted for phrase in phrases):
            held = dict(self._db.execute(*posted_counts(phrases, last_id, self._store.stale_entries)).fetchall())
            return [held.get(number, 0) for number in range(len(phrases))]
        below = "" if last_id is None else f" AND {TOKENS}.id <= %s"
        # One statement per token, sent together (one statement holding them
        # all is planned ten times slower); each reads its token's entries in
        # the GIN index, where the planner would scan every row for a common one.
        before = self._db.execute("SHOW enable_seqscan").fetchone()[0]
        self._db.execute("SET LOCAL enable_seqscan = off")
        try:
            with self._db.pipeline():
                cursors = []
                for token in tokens:
                    sql, params = token_phrase(token).condition()
                    cursors.append(self._db.execute(
                        f"SELECT count(*) FROM patent_tokens {TOKENS} WHERE {sql}{below}",
                        (*params, *(() if last_id is None else (last_id,))),
                    ))
            return [cursor.fetchone()[0] for cursor in cursors]
        finally:
            self._db.execute(f"SET LOCAL enable_seqscan = {'on' if before == 'on' else 'off'}")

    def source(self, parts: pn.Parts) -> list[tuple[int, str]]:
        sql, params = number_condition(parts)
        rows = self._db.execute(f"SELECT r.id, r.title, r.abstract, r.claims FROM records r WHERE {sql} ORDER BY r.id", params)
        return [(record_id, "\n".join(texts)) for record_id, *texts in rows]

    def compile(self, tokens: Sequence[str], filters: Query | None, excluded: Sequence[int]) -> CompiledQuery:
        phrases = [token_phrase(token) for token in tokens]
        found = self._store.ids_table(self._table, phrases) if phrases and all(p.posted for p in phrases) else ""
        tables = self._store.word_tables(filters.root, self._table, {}) if filters is not None else None
        return similar_query(tokens, filters, excluded, tables, found)


class PgSearchResult(RankedHits):
    """The hits of one search, best first (see contract.RankedHits)."""

    def __init__(
        self,
        store: PgPatentStore,
        query: Query,
        table: str,
        total: int,
        cancel: Callable[[], bool] | None,
        compiled: CompiledQuery,
        plan: similar.Plan | None = None,
    ):
        super().__init__(table, total, plan.words if plan else query.words(), cancel, store.release)
        self._store = store
        self._query = query
        self._compiled = compiled
        self._plan = plan

    def facets(self, top: int = 10) -> Facets:
        """Counts over every hit, grouped on the server (see
        store.SearchResult.facets): from the ranked hits when all of them were
        kept, else from the command's condition run again."""
        store = self._store
        ranked = store.connection.execute(f"SELECT count(*) FROM {self._table}").fetchone()[0]
        if ranked == self.total:
            found, params = f"FROM records r WHERE r.id IN (SELECT id FROM {self._table})", ()
        else:
            found = f"FROM records r JOIN patent_tokens {TOKENS} ON {TOKENS}.id = r.id WHERE {self._compiled.where}"
            params = self._compiled.params
        with store.errors(), store.polling(self._cancel):
            grouped = [
                store.connection.execute(f"SELECT {column}, count(*) {found} GROUP BY 1", params).fetchall()
                for column in ("r.applicants", "r.ipc", "substr(r.ad, 1, 4)", "substr(r.prd, 1, 4)")
            ]
        return Facets.of(*grouped[:3], top, grouped[3])

    def cited_by(self, numbers: Sequence[str]) -> dict[str, int]:
        # a citation given without its kind names every kind of that number
        cited = "(value = %s AND (given = %s OR %s ~ ('^' || given || '[A-Z][0-9]?$')))"
        store = self._store
        counts = {}
        with store.errors():
            for number in numbers:
                forms = pn.writings(number)
                sql = f"SELECT count(DISTINCT id) FROM codes WHERE kind = '{CITED_KIND}' AND ({' OR '.join([cited] * len(forms))})"
                params = [value for form in forms for value in (pn.number_part(form), form, form)]
                counts[number] = store.connection.execute(sql, params).fetchone()[0]
        return counts

    def _batches(self, sql: str, params: Sequence[object], cancel: Callable[[], bool] | None) -> Iterator[list[tuple]]:
        """The rows of `sql`, ROW_BATCH at a time, through a server-side cursor."""
        store = self._store
        with store.errors(), store.polling(cancel):
            cursor = store.connection.cursor(name=f"{self._table}_rows_{store.new_number()}", withhold=True)
            cursor.execute(sql, params)
        try:
            while True:
                with store.errors(), store.polling(cancel):
                    batch = cursor.fetchmany(ROW_BATCH)
                if not batch:
                    return
                yield batch
        finally:
            if not store.connection.closed:
                cursor.close()

    def _list_rows(self, cancel: Callable[[], bool] | None) -> Iterator[ListRow]:
        columns = ", ".join(f"r.{field}" for field in LIST_FIELDS)
        sql = f"SELECT {columns}, h.score FROM {self._table} h JOIN records r ON r.id = h.id ORDER BY h.rank"
        for batch in self._batches(sql, (), cancel):
            yield from batch

    def _family_rows(self) -> Iterator[tuple[str, str, str, str, str]]:
        store = self._store
        with store.errors():  # the listed hits' family columns, a short read: never stopped halfway
            rows = store.connection.execute(
                f"SELECT r.pn, r.an, r.family, r.members, r.number FROM {self._table} h JOIN records r ON r.id = h.id ORDER BY h.rank"
            ).fetchall()
        yield from rows

    def _hits_of(self, full: bool, limit: int | None, cancel: Callable[[], bool] | None) -> Iterator[Hit]:
        """Rows with the words each contains: every distinct word condition
        (and each token a similarity command chose) evaluated on the hit,
        mapped to words in Python."""
        conditions = {condition(term): None for term in self._query.terms()}
        checks = list(conditions)
        words = {
            word: [checks.index(condition(term)) for term in self._query.terms() if term.word == word]
            for word in self._query.words()
        }
        filtered = len(checks)
        if self._plan is not None:
            checks += [token_phrase(token).condition() for token in self._plan.selection.tokens]
            shared = similar.shared_words(self._plan.selection)
        flags = ", ".join(sql for sql, _ in checks) or "NULL"
        attributes = ATTRIBUTES if full else ROW_ATTRIBUTES
        selected = ", ".join(f"r.{a}" if a in attributes else "''" for a in ATTRIBUTES)
        matched_by: dict[tuple[bool, ...], tuple[str, ...]] = {}
        sql = (f"SELECT h.score, ARRAY[{flags}]::boolean[], {selected} FROM {self._table} h "
               f"JOIN records r ON r.id = h.id JOIN patent_tokens {TOKENS} ON {TOKENS}.id = h.id "
               "ORDER BY h.rank LIMIT %s")
        for batch in self._batches(sql, (*(p for _, params in checks for p in params), limit), cancel):
            for score, found, *values in batch:
                key = tuple(found or ())
                matched = matched_by.get(key)
                if matched is None:
                    matched = tuple(w for w, at in words.items() if any(key[i] for i in at))
                    if self._plan is not None:
                        mask = sum(1 << bit for bit, held in enumerate(key[filtered:]) if held)
                        matched = shared(mask) + matched
                    matched_by[key] = matched
                yield Hit(PatentRecord(*values), score, matched)
