"""The numbered result sets: every run that finds hits gets the next number,
kept with its command in the product folder, so that a later command can
name it (#3 AND #5) after a restart too. A set is its command: #k runs that
command again on the collection as it is now (after an import, the set may
hold new records).

One JSON object per line: {"number", "command", "total", "time"}. A line
that cannot be read (a file cut short by a crash) is passed over.
"""

from __future__ import annotations

import json
import logging
import os
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

SHOWN = 50  # entries the "#" listing shows, the newest

_log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Entry:
    number: int
    command: str
    total: int
    time: str  # "YYYY-MM-DD HH:MM"

    def __str__(self) -> str:
        return f"#{self.number}：{self.command}（{self.total:,} 筆，{self.time}）"


class History:
    def __init__(self, path: str | os.PathLike[str]):
        self.path = Path(path)

    def entries(self) -> list[Entry]:
        """Every numbered run, oldest first; [] when there is none yet."""
        try:
            lines = self.path.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            try:
                item = json.loads(line)
                entries.append(Entry(int(item["number"]), str(item["command"]), int(item["total"]), str(item["time"])))
            except (ValueError, KeyError, TypeError):
                _log.warning("unreadable line in %s: %.80r", self.path, line)
        return entries

    def sets(self) -> dict[int, str]:
        """number -> command, for query.parse()."""
        return {entry.number: entry.command for entry in self.entries()}

    def add(self, command: str, total: int, now: datetime | None = None) -> int:
        """Number a run that found `total` hits; returns its number."""
        number = max((entry.number for entry in self.entries()), default=0) + 1
        stamp = (now or datetime.now()).strftime("%Y-%m-%d %H:%M")
        line = json.dumps({"number": number, "command": command, "total": total, "time": stamp}, ensure_ascii=False)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with self.path.open("a", encoding="utf-8") as file:
            file.write(line + "\n")
        return number

    def listing(self) -> list[str]:
        """The log box's lines for "#": the newest SHOWN numbered runs."""
        entries = self.entries()
        if not entries:
            return ["還沒有任何編號的檢索結果：每次找到專利的檢索都會得到一個編號（#1、#2…），可在之後的指令中使用，例如 #1 AND #2"]
        older = [f"（另有 {len(entries) - SHOWN:,} 筆較早的檢索未列出）"] if len(entries) > SHOWN else []
        return older + [str(entry) for entry in entries[-SHOWN:]]
