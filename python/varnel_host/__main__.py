"""The reference host program: `varnel-host` or `python -m varnel_host`.

    varnel-host                 open the main window attached to the search worker
    varnel-host import PATH...  import patent records (files, folders, .zip) into the database
    varnel-host check           check the whole database (exit 0 sound, 1 damaged, 2 not checked);
                                on a server: the share of stale postings entries
    varnel-host rebuild-index   rebuild the full-text index from the stored records;
                                on a server: reclaim the stale postings entries
"""

from __future__ import annotations

import argparse
import functools
import logging
import multiprocessing
import os
import sqlite3
import sys
from dataclasses import replace
from pathlib import Path

from . import paths, stores, strategies
from .channel import END_KEY, START_KEY, make_channel
from .contract import StoreError
from .records import UNREADABLE_PROBLEM, named_numbers
from .strategies import Strategies
from .supervisor import Supervisor
from .worker import WorkerConfig, default_config

log = logging.getLogger("varnel_host")

WORKER_EXIT_SECONDS = 30
HELP_PAGE_NOTE = "注意：{reason}；問號按鈕暫時無法開啟說明頁面"


class WindowUnavailable(RuntimeError):
    """The window module cannot be loaded; the message is for the user."""


def run_window(config: WorkerConfig, help_page: bool = True) -> int:
    """Window and supervised worker process; returns the exit status once both
    have ended (and the help page server has stopped)."""
    help_server, reason = start_help_page() if help_page else (None, None)
    if reason:
        config = replace(config, startup_notes=(*config.startup_notes, HELP_PAGE_NOTE.format(reason=reason)))
    # The window's channel lives in this process; the supervisor relays it to the worker process.
    queues, events = make_channel()
    supervisor = Supervisor(queues, events, config, multiprocessing.get_context("spawn"))
    status = 0
    try:
        supervisor.start()
        try:
            window = load_window()
        except WindowUnavailable as error:
            print(error, file=sys.stderr)
            status = 1
        else:
            try:
                window.GUI(queues, events)
            except Exception as error:
                log.debug("the window failed", exc_info=True)
                print(f"視窗意外結束（{type(error).__name__}: {_short(error)}）。 / The window ended unexpectedly "
                      f"({type(error).__name__}: {_short(error)}).", file=sys.stderr)
                status = 1
    finally:
        # The window sends its shutdown signals when it closes; send them for
        # a window that never opened or failed, too (a second time is harmless).
        events[END_KEY].set()
        queues[START_KEY].put(None)
        supervisor.stop(WORKER_EXIT_SECONDS)
        if help_server is not None:
            help_server.stop()
    return status


def load_window():
    """The window module `GUI`; WindowUnavailable with a short bilingual message when it cannot load."""
    try:
        import GUI
    except (Exception, SystemExit) as error:
        log.debug("import GUI failed", exc_info=True)
        raise WindowUnavailable(window_failure_message(error)) from None
    return GUI


def window_failure_message(error: BaseException) -> str:
    if _is_xauth_error(error):
        file = os.environ.get("XAUTHORITY") or "~/.Xauthority"
        return (f"無法開啟視窗：找不到 X 顯示器的授權檔 {file}。請執行 touch {file}（或以 xauth 建立）後再試。"
                f" / Cannot open the window: the X authority file {file} does not exist; run touch {file}"
                " (or create it with xauth) and try again.")
    if sys.platform.startswith("linux") and not os.environ.get("DISPLAY"):
        return ("無法開啟視窗：沒有可用的顯示器（未設定 DISPLAY）。請在桌面工作階段中執行，或設定 DISPLAY 後再試。"
                " / Cannot open the window: no display (DISPLAY is not set); run it in a desktop session"
                " or set DISPLAY and try again.")
    detail = _short(error)
    return (f"無法開啟視窗：視窗模組 GUI 無法載入（{type(error).__name__}: {detail}）。請重新執行 scripts/run.sh "
            f"安裝所需元件。 / Cannot open the window: the GUI module failed to load "
            f"({type(error).__name__}: {detail}); run scripts/run.sh again to install what it needs.")


def _short(error: BaseException) -> str:
    return " ".join(str(error).split())[:200] or "-"


def _is_xauth_error(error: BaseException | None) -> bool:
    """python-xlib (under pyautogui) refuses a display without an authority file."""
    try:
        from Xlib.error import XauthError
    except ImportError:
        return False
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, XauthError):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def start_help_page():
    """(the help page server, None), or (None, the reason) when it cannot start."""
    from . import helpserver  # the subcommands never need it

    try:
        return helpserver.start_help_server(cert_dir=paths.certificate_folder()), None
    except Exception as error:  # the window works without its help page; the user is told why
        log.warning("help page not available: %s", error)
        return None, str(error) or type(error).__name__


def import_files(config: WorkerConfig, files: list[Path]) -> int:
    """Import files, folders and .zip archives into the database; no sample
    records are put in first. Exit status 0, 1 (some problem) or 130 (Ctrl-C)."""
    from .ingest import import_paths  # the readers load only for this subcommand
    from .ingest.run import ImportStopped

    try:
        with stores.open_store(config.database, samples=False, progress=print) as store:
            status = import_paths(store, files)
            print(f"資料庫共有 {store.count()} 筆專利：{stores.shown(config.database)}")
            try:  # the last lines: the kept strategies that gained records
                strategies.after_import(store, Strategies(strategies.beside(config.history_file)), print)
            except KeyboardInterrupt:
                print("\n保存的檢索重新檢索已中斷：匯入已完成；尚未重新檢索的保存檢索，下次匯入或執行時會一併算出新增的專利。")
                return 130
        return status
    except KeyboardInterrupt:
        print("\n匯入已中斷：已寫入的批次完整保留，再執行同一指令即可接續完成（不會重複）。")
        return 130
    except ImportStopped as error:  # its line counts the records kept
        print(error)
        return 1
    except StoreError as error:
        print(f"資料庫無法使用，匯入停止：{error}（已寫入的批次完整保留）")
        return 1
    except (sqlite3.Error, OSError):
        log.debug("the database cannot be used", exc_info=True)
        print(f"資料庫無法使用，匯入停止：無法開啟或寫入「{stores.shown(config.database)}」；請確認檔案與所在資料夾存在、"
              "可以寫入，且磁碟未滿（已寫入的批次完整保留）")
        return 1


def _existing_store(config: WorkerConfig):
    """The database opened for maintenance, or the exit status after saying why it cannot be."""
    from .dbcheck import Unusable, open_existing

    try:
        return open_existing(Path(config.database))
    except Unusable as error:
        print(f"錯誤：{error}")
        return 1 if error.damaged else 2


def check_database(config: WorkerConfig) -> int:
    """The full check with a summary; exit status 0 sound, 1 damaged, 2 not checked."""
    store = _existing_store(config)
    if isinstance(store, int):
        return store
    with store:
        problems = store.check(progress=lambda step: print(f"{step}…", flush=True))
        if not problems:
            print(f"檢查完成：資料庫完好，共 {store.count()} 筆專利（{config.database}）")
            return 0
    print(f"檢查完成：發現 {len(problems)} 項問題（{config.database}）")
    for problem in problems:
        print(f"  {problem}")
    texts = [problem for problem in problems if UNREADABLE_PROBLEM in problem]
    others = [problem for problem in problems if problem not in texts and not problem.startswith("全文索引")]
    if others:
        print("資料庫檔案已損壞：請關閉視窗，以備份取代此檔案，或把它改名保存後重新匯入資料。")
    elif texts:
        print("其餘資料可以使用：請執行 varnel-host rebuild-index 重建全文索引（會略過上列損壞的專利），"
              "再重新匯入這些專利的原始檔案；或關閉視窗後以備份取代此檔案。")
    else:
        print("專利資料本身完好：執行 varnel-host rebuild-index 重建全文索引即可。")
    return 1


def rebuild_index(config: WorkerConfig) -> int:
    """Rebuild the full-text index from the stored records, printing progress."""
    store = _existing_store(config)
    if isinstance(store, int):
        return store
    shown = [-1]

    def progress(done: int, total: int) -> None:
        tenth = done * 10 // max(total, 1)
        if tenth != shown[0]:
            shown[0] = tenth
            print(f"重建全文索引：{done}/{total} 筆", flush=True)

    skipped: list[str] = []
    with store:
        try:
            done = store.rebuild_index(progress, skipped)
        except sqlite3.DatabaseError as error:
            print(f"錯誤：無法重建全文索引（{error}），資料庫未變更；請先執行 varnel-host check。")
            return 1
    print(f"全文索引已重建：{done} 筆專利（{config.database}）")
    if skipped:
        print(f"略過 {len(skipped)} 筆摘要與專利範圍已損壞、無法讀取的專利：{named_numbers(skipped)}。"
              "它們不在全文索引中，檢索不到；請重新匯入這些專利的原始檔案，或關閉視窗後以備份取代資料庫。")
        return 1
    return 0


def _import_help(argv: list[str]) -> str:
    """The import subcommand's line in --help, naming the registered formats;
    their readers (lxml) load only when help is asked for, not on every start."""
    if not {"-h", "--help"} & set(argv):
        return "import patent records"
    from .ingest import formats

    return f"import patent records: {formats.NAMES}; files, folders or .zip archives"


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(prog="varnel-host", description="VARNEL專利檢索軟體")
    parser.add_argument("--no-help-page", action="store_true", help="do not serve the help page")
    sub = parser.add_subparsers(dest="command")
    importer = sub.add_parser(
        "import",
        help=_import_help(argv),
    )
    importer.add_argument("files", nargs="+", type=Path, metavar="PATH")
    checker = sub.add_parser("check", help="check the whole database and its full-text index "
                             "(on a server: the share of stale postings entries)")
    rebuilder = sub.add_parser("rebuild-index", help="rebuild the full-text index from the stored records "
                               "(on a server: reclaim the stale postings entries)")
    for command in (parser, importer, checker, rebuilder):
        command.add_argument(
            "--database", metavar="URL", default=argparse.SUPPRESS,
            help="postgresql://user@host:port/db: use the collection on that PostgreSQL server "
            "(default: VARNEL_DATABASE_URL, else the database file in the product folder)",
        )
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    config = default_config()
    if "database" in args:
        if not stores.is_server(args.database):
            parser.error("--database 需要 postgresql:// 開頭的網址 / --database needs a postgresql:// URL")
        config = replace(config, database=args.database)
    if stores.is_server(config.database) and args.command in ("check", "rebuild-index"):
        from .dbcheck import check_server, rebuild_server_index

        say = functools.partial(print, flush=True)
        return (check_server if args.command == "check" else rebuild_server_index)(config.database, say)
    if args.command == "import":
        return import_files(config, args.files)
    if args.command in ("check", "rebuild-index"):
        return (check_database if args.command == "check" else rebuild_index)(config)
    return run_window(config, help_page=not args.no_help_page)


if __name__ == "__main__":
    sys.exit(main())
