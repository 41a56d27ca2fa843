"""Kept search strategies: the command of a numbered run kept under a name
and run again on the collection as it grows, the records it gained shown.

The forms (a name is written after "#", as a numbered set is; a word
starting with "#" that is not a number is refused by the command language,
so none of these forms is a search of its own):

    #3 保存為 #固態電池監控   keep run 3's command under that name (保存 also)
    #固態電池監控             run it on the collection as it is now; the report
                              marks the records it gained that were not yet looked at
    #固態電池監控 新增        only the records it gained since they were last looked at;
                              the ones the report lists are then looked at
    #固態電池監控 刪除        remove it
    #                         lists the numbered runs, then the kept strategies

A strategy remembers the publication numbers it found when last run (`had`)
and those it gained that were not yet looked at (`new`): every run of it,
and every import (after_import), compares what it finds now with `had`, so
"gained" is exact whichever window or machine imported the records. Its
command keeps the numbered sets it used (k -> command, as they were when it
was kept): it runs alike once the history has dropped or renumbered them.

The file strategies.jsonl lies beside history.jsonl, one JSON object a line:
{"name", "command", "sets", "number", "kept", "checked", "had", "new"},
where `had` and `new` are {"count", "numbers"}: the sorted numbers, one a
line, zlib-compressed and in base64. Every change reads the file and puts a
new one in its place at once (history.replace_file), under the lock
strategies.jsonl.lock beside it (filelock, as the history), so windows and
imports at work together never lose each other's changes. A line that
cannot be read is passed over, named by its line number, and written back
as it was: nothing is lost, and the user can look at it.
"""

from __future__ import annotations

import base64
import binascii
import json
import logging
import re
import zlib
from collections.abc import Callable, Collection, Iterable
from dataclasses import dataclass, replace
from datetime import datetime
from pathlib import Path

import filelock

from .contract import StoreError
from .history import LOCK_SECONDS, locked, replace_file
from .query import Query, QueryError, parse
from .shown import os_reason

FILE_NAME = "strategies.jsonl"
KEEP_WORDS = ("保存為", "保存")
NEW_WORD = "新增"
REMOVE_WORD = "刪除"
NAME_CHARS = 40

_log = logging.getLogger(__name__)

# Full-width forms and quotes as the command language reads them (query.py).
_WIDTH = {code: code - 0xFEE0 for code in range(0xFF01, 0xFF5F)}
_WIDTH.update({0x3000: " ", **dict.fromkeys(map(ord, "“”「」『』"), '"')})
_SET = re.compile(r"#(\d{1,9})")
# A name: not digits alone (#3 is a numbered set), no white space, control
# character or character the command language reads as a sign.
_NAME = re.compile(rf'#(?!\d+$)[^\s\x00-\x1f\x7f-\x9f()"@=#]{{1,{NAME_CHARS}}}')


def beside(history: Path) -> Path:
    """The strategies' file beside the history file."""
    return Path(history).with_name(FILE_NAME)


def _pack(numbers: Collection[str]) -> dict[str, object]:
    text = "\n".join(sorted(numbers)).encode("utf-8")
    return {"count": len(numbers), "numbers": base64.b64encode(zlib.compress(text, 9)).decode("ascii")}


def _unpack(item: object) -> frozenset[str]:
    """ValueError when `item` is not what _pack made (zlib checks its own bytes)."""
    if not isinstance(item, dict) or type(item.get("count")) is not int or not isinstance(item.get("numbers"), str):
        raise ValueError("not a set of numbers")
    try:
        text = zlib.decompress(base64.b64decode(item["numbers"], validate=True)).decode("utf-8")
    except (binascii.Error, zlib.error) as error:
        raise ValueError(str(error)) from None
    numbers = frozenset(text.split("\n")) if text else frozenset()
    if len(numbers) != item["count"]:
        raise ValueError("count differs")
    return numbers


@dataclass(frozen=True)
class Strategy:
    name: str  # as written after "#"
    command: str
    sets: tuple[tuple[int, str], ...]  # the numbered sets the command used, as they were when kept
    number: int  # the run it was kept from
    kept: str  # "YYYY-MM-DD HH:MM"
    checked: str  # when it was last run
    had: frozenset[str]  # the publication numbers it found when last run
    new: frozenset[str]  # those it gained that were not yet looked at

    @property
    def label(self) -> str:
        return f"#{self.name}"

    def query(self) -> Query:
        """The command parsed with its own sets; QueryError when it no longer parses."""
        return parse(self.command, dict(self.sets))

    def gaining(self, found: frozenset[str], now: str) -> tuple[Strategy, int]:
        """The strategy once a run found `found`, and how many it gained."""
        gained = found - self.had
        return replace(self, had=found, new=(self.new | gained) & found, checked=now), len(gained)

    def __str__(self) -> str:
        unseen = f"；未查看的新增 {len(self.new):,} 筆" if self.new else ""
        return (f"{self.label}：{self.command}（保存自 #{self.number}；{self.checked} 檢索時 {len(self.had):,} 筆"
                f"{unseen}）")

    def line(self) -> bytes:
        item = {"name": self.name, "command": self.command, "sets": [list(pair) for pair in self.sets],
                "number": self.number, "kept": self.kept, "checked": self.checked,
                "had": _pack(self.had), "new": _pack(self.new)}
        return json.dumps(item, ensure_ascii=False).encode("utf-8", "backslashreplace") + b"\n"


def _strategy(raw: bytes) -> Strategy:
    """One line as a Strategy; ValueError (or the decoder's own errors) when it is not one."""
    item = json.loads(raw.decode("utf-8"))
    name, command, number, kept, checked = item["name"], item["command"], item["number"], item["kept"], item["checked"]
    sets = tuple((k, c) for k, c in item["sets"])
    if not (isinstance(name, str) and _NAME.fullmatch("#" + name) and isinstance(command, str) and command
            and type(number) is int and number > 0 and isinstance(kept, str) and isinstance(checked, str)
            and all(type(k) is int and isinstance(c, str) for k, c in sets)):
        raise ValueError("not a kept strategy")
    return Strategy(name, command, sets, number, kept, checked, _unpack(item["had"]), _unpack(item["new"]))


@dataclass(frozen=True)
class Shelf:
    """The file as one read found it."""

    items: tuple[Strategy | bytes, ...] = ()  # in file order; bytes: a line that could not be read, kept as it is
    damaged: tuple[int, ...] = ()  # the line numbers of those

    @property
    def entries(self) -> tuple[Strategy, ...]:
        return tuple(item for item in self.items if isinstance(item, Strategy))

    def get(self, name: str) -> Strategy | None:
        return next((entry for entry in self.entries if entry.name == name), None)

    def names(self) -> str:
        """"#a、#b" of the strategies kept, for messages."""
        return "、".join(entry.label for entry in self.entries)

    def note(self, path: Path) -> str:
        """The word on the lines passed over ("" when there are none)."""
        if not self.damaged:
            return ""
        lines = "、".join(map(str, self.damaged[:10])) + ("…" if len(self.damaged) > 10 else "")
        return (f"注意：保存的檢索 {path} 第 {lines} 行已損壞、無法讀取，已略過（原內容仍留在檔案中，可用文字編輯器查看）；"
                "其餘的保存檢索照常可用")

    def listing(self) -> list[str]:
        """The lines "#" adds after the numbered runs ([] when none is kept)."""
        if not self.entries:
            return []
        return [f"保存的檢索（{len(self.entries)} 個，#名稱 新增 只列出新增的專利）：", *map(str, self.entries)]


class Strategies:
    """The kept strategies' file; every change under its lock."""

    def __init__(self, path: str | Path):
        self.path = Path(path)
        self._lock = filelock.FileLock(f"{self.path}.lock", timeout=LOCK_SECONDS)

    def read(self) -> Shelf:
        """An empty Shelf when there is no file yet; OSError when it cannot be read."""
        with locked(self._lock, required=False):
            return self._read()

    def _read(self) -> Shelf:
        try:
            data = self.path.read_bytes()
        except FileNotFoundError:
            return Shelf()
        items: list[Strategy | bytes] = []
        damaged: list[int] = []
        names: set[str] = set()
        for number, raw in enumerate(data.splitlines(keepends=True), start=1):
            if not raw.strip():
                continue
            try:
                entry = _strategy(raw)
                if entry.name in names:  # a second line of one name (a file edited by hand) is not read
                    raise ValueError("name given twice")
            except (ValueError, KeyError, TypeError, OverflowError, RecursionError):
                damaged.append(number)
                items.append(raw if raw.endswith(b"\n") else raw + b"\n")
                continue
            names.add(entry.name)
            items.append(entry)
        if damaged:
            _log.warning("unreadable lines %s in %s", damaged, self.path)
        return Shelf(tuple(items), tuple(damaged))

    def _change(self, change: Callable[[list[Strategy | bytes]], None]) -> None:
        """Read, change the items in place, put the new file in place; OSError when it cannot be."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with locked(self._lock, required=True):
            items = list(self._read().items)
            change(items)
            replace_file(self.path, b"".join(item if isinstance(item, bytes) else item.line() for item in items))

    def keep(self, strategy: Strategy) -> Strategy | None:
        """Add `strategy`; the one already kept under its name (nothing changed) if there is one."""
        taken: list[Strategy] = []

        def change(items: list[Strategy | bytes]) -> None:
            taken.extend(item for item in items if isinstance(item, Strategy) and item.name == strategy.name)
            if not taken:
                items.append(strategy)

        self._change(change)
        return taken[0] if taken else None

    def remove(self, name: str) -> Strategy | None:
        """Remove the strategy `name`; the one removed, None when there was none."""
        removed: list[Strategy] = []

        def change(items: list[Strategy | bytes]) -> None:
            removed.extend(item for item in items if isinstance(item, Strategy) and item.name == name)
            items[:] = [item for item in items if not (isinstance(item, Strategy) and item.name == name)]

        self._change(change)
        return removed[0] if removed else None

    def _update(self, name: str, step: Callable[[Strategy], Strategy]) -> Strategy | None:
        """The strategy `name` as stored once `step` made it; None when it is no longer kept."""
        done: list[Strategy] = []

        def change(items: list[Strategy | bytes]) -> None:
            for at, item in enumerate(items):
                if isinstance(item, Strategy) and item.name == name:
                    items[at] = step(item)
                    done.append(items[at])

        self._change(change)
        return done[0] if done else None

    def found(self, name: str, numbers: frozenset[str], now: str) -> tuple[Strategy | None, int]:
        """Record that a run of `name` found `numbers`: (the strategy as stored, how many it gained)."""
        gained = [0]

        def step(entry: Strategy) -> Strategy:
            changed, gained[0] = entry.gaining(numbers, now)
            return changed

        return self._update(name, step), gained[0]

    def looked(self, name: str, numbers: Iterable[str]) -> Strategy | None:
        """The records `numbers` of `name` are looked at: no longer new."""
        seen = frozenset(numbers)
        return self._update(name, lambda entry: replace(entry, new=entry.new - seen))


# ------------------------------------------------------------------ forms


@dataclass(frozen=True)
class Form:
    """A command about kept strategies. action: "keep" (run `number` under
    `name`), "run", "new", "remove", "combined" (#name inside another
    command), "refused" (`problem` says what to write)."""

    action: str
    name: str = ""
    number: int = 0
    problem: str = ""


def form_of(command: str) -> Form | None:
    """The strategy form `command` is, or None for a search command. A
    command naming #name among other words is "combined": refused when that
    name is kept, else left to the command language (which refuses it)."""
    words = command.translate(_WIDTH).split()
    if len(words) == 3 and _SET.fullmatch(words[0]) and words[1] in KEEP_WORDS:
        number = int(words[0][1:])
        if _NAME.fullmatch(words[2]):
            return Form("keep", words[2][1:], number)
        if words[2].startswith("#"):
            return Form("refused", problem=f"「{words[2]}」不能當作保存的名稱：名稱寫在 # 之後，最多 {NAME_CHARS} 個字，"
                        "不能全是數字，也不能含空白、括號、引號、@、= 或 #，例如 #3 保存為 #固態電池監控")
        if words[1] == KEEP_WORDS[0]:
            return Form("refused", problem=f"要保存檢索，名稱前請加 #，例如 {words[0]} 保存為 #{words[2]}；"
                        f"若要檢索「{words[1]}」這個詞，請加引號 \"{words[1]}\"")
        return None
    if words and _NAME.fullmatch(words[0]):
        if len(words) == 1:
            return Form("run", words[0][1:])
        if len(words) == 2 and words[1] in (NEW_WORD, REMOVE_WORD):
            return Form("new" if words[1] == NEW_WORD else "remove", words[0][1:])
    first = next((word for word in words if _NAME.fullmatch(word)), "")
    return Form("combined", first[1:]) if first else None


def combined(strategy: Strategy) -> str:
    return (f"保存的檢索 {strategy.label} 不能與其他條件組合：請單獨輸入 {strategy.label}，或寫成 {strategy.label} {NEW_WORD}；"
            f"要組合條件，請改用它的指令：{strategy.command}")


def unknown(name: str, shelf: Shelf) -> str:
    kept = f"目前保存的有：{shelf.names()}" if shelf.entries else "目前沒有保存的檢索"
    return (f"「#{name}」不是檢索結果編號，也沒有這個名稱的保存檢索（{kept}）；"
            "檢索結果編號請寫成 #1、#2…，單獨輸入 # 可列出歷次檢索與保存的檢索")


def stamp(now: datetime | None = None) -> str:
    return (now or datetime.now()).strftime("%Y-%m-%d %H:%M")


def found_numbers(store, query: Query, cancel: Callable[[], bool] | None = None) -> frozenset[str]:
    """The publication number of every record `query` finds in `store` now."""
    return frozenset(store.search(query, limit=None, cancel=cancel).numbers())


# ----------------------------------------------------------- after an import


def after_import(store, strategies: Strategies, say: Callable[[str], None]) -> None:
    """Run every kept strategy on the collection as the import left it; the
    last lines name those that gained records (固態電池監控（#3）：新增 12 筆),
    or say that none did. Nothing is said when none is kept. A strategy that
    cannot be run or recorded is named; its gains are counted at its next run."""
    try:
        shelf = strategies.read()
    except OSError as error:
        say(f"無法讀取保存的檢索 {strategies.path}（{os_reason(error)}），匯入後未重新檢索")
        return
    if note := shelf.note(strategies.path):
        say(note)
    if not shelf.entries:
        return
    say(f"匯入後重新檢索保存的檢索（{len(shelf.entries)} 個；#名稱 {NEW_WORD} 只列出新增的專利）：")
    gains: list[str] = []
    failed = 0
    for entry in shelf.entries:
        shown = f"{entry.name}（#{entry.number}）"
        try:
            numbers = found_numbers(store, entry.query())
        except QueryError as error:
            say(f"{shown}：指令已無法執行（{error.problem}），未重新檢索")
            failed += 1
            continue
        except StoreError as error:
            say(f"{shown}：無法重新檢索（{error}），新增的專利會在下次檢索時算出")
            failed += 1
            continue
        try:
            stored, gained = strategies.found(entry.name, numbers, stamp())
        except OSError as error:  # `had` stays as it was: the next run counts the same gain
            stored, gained = entry.gaining(numbers, stamp())
            say(f"無法寫入保存的檢索 {strategies.path}（{os_reason(error)}）：{entry.name} 的新增筆數未記下，下次檢索時會再算出")
        if stored is not None and gained:  # None: removed by another window meanwhile
            gains.append(f"{shown}：新增 {gained:,} 筆")
    if not gains:
        gains.append("其餘保存的檢索都沒有新增的專利" if failed else f"保存的檢索都沒有新增的專利（共 {len(shelf.entries)} 個）")
    for line in gains:
        say(line)
