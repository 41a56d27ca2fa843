"""A PostgreSQL server named by a URL: how the store connects to it, the
server's failures as StoreError in Traditional Chinese (naming the server
without its password), and statements stopped when the user cancels.

Every connection has a connect time-out and a statement time-out (the URL
may set its own).
"""

from __future__ import annotations

import re
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager

import psycopg
from psycopg import conninfo, errors

from .contract import Cancelled, StoreError

CONNECT_SECONDS = 10
STATEMENT_SECONDS = 300
WORK_MEM = "64MB"
_PASSWORD = re.compile(r"(://[^:/@]*:)[^@]*@")  # the password in a URL

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


def describe(url: str) -> str:
    """The server and database a URL names, without its password."""
    try:
        parts = conninfo.conninfo_to_dict(url)
    except psycopg.ProgrammingError:
        return "（無法解讀的資料庫網址）"
    user = f"{parts['user']}@" if parts.get("user") else ""
    port = f":{parts['port']}" if parts.get("port") else ""
    return f"postgresql://{user}{parts.get('host', '')}{port}/{parts.get('dbname', '')}"


class Server:
    """The server of a URL: its connection parameters, and its failures in
    Chinese. `time_limit` is the statement time-out the server reports."""

    def __init__(self, url: str):
        self.where = describe(url)
        self.time_limit = ""
        self._password = ""
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

    def connect(self) -> psycopg.Connection:
        with self.errors():
            return psycopg.connect(**self._parts, autocommit=True)

    @contextmanager
    def errors(self) -> Iterator[None]:
        """The server's failures that a user can act on, as StoreError in Chinese."""
        try:
            yield
        except errors.DiskFull as error:
            raise StoreError(f"資料庫伺服器「{self.where}」磁碟空間已滿，無法寫入；資料庫內容未變更") from error
        except errors.QueryCanceled as error:
            raise StoreError(
                f"資料庫伺服器「{self.where}」未能在時限（{self.time_limit}）內完成；請稍後再試或縮小檢索範圍"
            ) from error
        except (errors.DeadlockDetected, errors.SerializationFailure) as error:
            raise StoreError(f"資料庫「{self.where}」正被其他程式大量寫入，多次重試仍無法完成；請稍後再試") from error
        except errors.LockNotAvailable as error:
            raise StoreError(f"資料庫「{self.where}」正被其他程式寫入，等候逾時；請稍後再試") from error
        except psycopg.OperationalError as error:
            raise StoreError(f"無法連線到資料庫伺服器「{self.where}」或連線已中斷：{self.reason(error)}") from error
        except psycopg.Error as error:  # e.g. a role without the rights it needs
            raise StoreError(f"資料庫伺服器「{self.where}」回報錯誤：{self.reason(error)}") from error

    def reason(self, error: psycopg.Error) -> str:
        """The first line of the server's (or the client library's) words,
        password hidden, after what they mean in Chinese when they are common."""
        text = self._hidden(str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__)
        meaning = next((said for words, said in _SERVER_REASONS if words in text), "")
        return f"{meaning}（{text}）" if meaning else text

    def _hidden(self, text: str) -> str:
        text = _PASSWORD.sub(r"\1***@", text)
        return text.replace(self._password, "***") if self._password else text


def alive(db: psycopg.Connection) -> bool:
    """Whether the server still holds the connection, found by a one-row
    probe (a restart, an idle time-out or a fail-over drops it)."""
    if not db.closed and not db.broken:
        try:
            db.execute("SELECT 1")
            return True
        except psycopg.OperationalError:
            pass
    return False


@contextmanager
def polling(db: psycopg.Connection, cancel: Callable[[], bool] | None) -> Iterator[None]:
    """Statements run inside on `db` stop with Cancelled once cancel() is
    True (a thread asks the server to cancel the statement running)."""
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
                db.cancel_safe()
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
