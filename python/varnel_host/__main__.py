"""The reference host program: `varnel-host` or `python -m varnel_host`.

    varnel-host                 open the main window attached to the search worker
    varnel-host import PATH...  import patent records (files, folders, .zip) into the database
    varnel-host check           check the whole database (exit 0 sound, 1 damaged, 2 not checked)
    varnel-host rebuild-index   rebuild the full-text index from the stored records
"""

from __future__ import annotations

import argparse
import logging
import multiprocessing
import sqlite3
import sys
from pathlib import Path

from . import paths
from .channel import END_KEY, START_KEY, make_channel
from .worker import WorkerConfig, default_config, serve

log = logging.getLogger("varnel_host")

WORKER_EXIT_SECONDS = 30


def run_window(config: WorkerConfig, help_page: bool = True) -> int:
    """Window and worker process; returns when both have ended."""
    ctx = multiprocessing.get_context("spawn")
    queues, events = make_channel(processes=True, context=ctx)
    help_server = start_help_page() if help_page else None
    worker = ctx.Process(target=serve, args=(queues, events, config), name="varnel-worker")
    worker.start()
    window_closed_cleanly = False
    try:
        import GUI

        GUI.GUI(queues, events)
        window_closed_cleanly = True
    finally:
        if not window_closed_cleanly:
            # The window did not send its shutdown signals: send them for it.
            events[END_KEY].set()
            queues[START_KEY].put(None)
        worker.join(WORKER_EXIT_SECONDS)
        if worker.is_alive():
            log.warning("worker did not finish within %s s; stopping it", WORKER_EXIT_SECONDS)
            worker.terminate()
            worker.join()
        if help_server is not None:
            help_server.stop()
    return 0


def start_help_page():
    """The help page server, or None (logged) when it cannot start."""
    from .helpserver import HelpServerUnavailable, start_help_server

    try:
        return start_help_server(cert_dir=paths.certificate_folder())
    except HelpServerUnavailable as error:
        log.warning("%s", error)
        return None


def import_files(config: WorkerConfig, files: list[Path]) -> int:
    """Import files, folders and .zip archives into the database; no sample
    records are put in first. Exit status 0, 1 (some problem) or 130 (Ctrl-C)."""
    import sqlite3

    from .ingest import import_paths
    from .store import PatentStore, StoreError

    try:
        config.database.parent.mkdir(parents=True, exist_ok=True)
        with PatentStore(config.database) as store:
            status = import_paths(store, files)
            print(f"資料庫共有 {store.count()} 筆專利：{config.database}")
        return status
    except KeyboardInterrupt:
        print("\n匯入已中斷：已寫入的批次完整保留，再執行同一指令即可接續完成（不會重複）。")
        return 130
    except (StoreError, sqlite3.Error, OSError) as error:
        print(f"資料庫無法使用，匯入停止：{error}（已寫入的批次完整保留）")
        return 1


def _existing_store(config: WorkerConfig):
    """The database opened for maintenance, or the exit status after saying why it cannot be."""
    from .dbcheck import Unusable, open_existing

    try:
        return open_existing(config.database)
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
    if all(problem.startswith("全文索引") for problem in problems):
        print("專利資料本身完好：執行 varnel-host rebuild-index 重建全文索引即可。")
    else:
        print("資料庫檔案已損壞：請關閉視窗，以備份取代此檔案，或把它改名保存後重新匯入資料。")
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

    with store:
        try:
            done = store.rebuild_index(progress)
        except sqlite3.DatabaseError as error:
            print(f"錯誤：無法重建全文索引（{error}），資料庫未變更；請先執行 varnel-host check。")
            return 1
    print(f"全文索引已重建：{done} 筆專利（{config.database}）")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="varnel-host", description="VARNEL專利檢索軟體")
    parser.add_argument("--no-help-page", action="store_true", help="do not serve the help page")
    sub = parser.add_subparsers(dest="command")
    importer = sub.add_parser(
        "import",
        help="import patent records: Lens.org / Google Patents CSV, USPTO / Taiwan IPO / EPO XML, "
        "our CSV / JSON Lines; files, folders or .zip archives",
    )
    importer.add_argument("files", nargs="+", type=Path, metavar="PATH")
    sub.add_parser("check", help="check the whole database and its full-text index")
    sub.add_parser("rebuild-index", help="rebuild the full-text index from the stored records")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    config = default_config()
    if args.command == "import":
        return import_files(config, args.files)
    if args.command in ("check", "rebuild-index"):
        return (check_database if args.command == "check" else rebuild_index)(config)
    return run_window(config, help_page=not args.no_help_page)


if __name__ == "__main__":
    sys.exit(main())
