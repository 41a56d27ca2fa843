"""A start request from the window, read once into typed values.

The window sends a dict: the command under 檢索指令 and the report settings
exactly as the user set them. The worker turns it into a RunRequest before
anything runs: the command parsed to a Query, the settings clamped with a note
for each adjustment. Everything downstream (the search, the report) takes the
RunRequest and never looks at the raw dict again.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

from .query import Query, parse
from .settings import ReportSettings, read_settings

COMMAND_KEY = "檢索指令"
# A sheet holds 1,048,576 rows. The list stops well before that: beyond
# 100,000 hits a list is no longer read, only filtered, the command wants
# narrowing, and the report stays a few seconds' work and memory.
LIST_ROW_CAP = 100_000


class RequestError(ValueError):
    """A start request that cannot be run; the message is for the user."""


@dataclass(frozen=True)
class RunRequest:
    query: Query
    settings: ReportSettings
    # Why a run found nothing (explain.py), for the report's conditions sheet.
    explanation: tuple[str, ...] = ()
    # A command holding TR(…): the command as translated (run as it is, it
    # finds the same hits) and the log box's lines on its translations.
    translated: str = ""
    translation: tuple[str, ...] = ()
    # The most hits the report's list sheet holds; the search ranks and reads
    # no more than these and the closest hits.
    list_row_cap: int = LIST_ROW_CAP
    # A kept strategy's run (strategies.py): its name as written (#固態電池監控)
    # and the run it was kept from; `only_new`: only the records it gained
    # that were not yet looked at.
    strategy: str = ""
    kept_from: int = 0
    only_new: bool = False

    @classmethod
    def read(cls, raw: Mapping[str, object], command: str, sets: Mapping[int, str] | None = None,
             unreadable: str = "") -> RunRequest:
        """The typed request for `command` (from request_command(raw)); `sets`
        the numbered result sets #k may name, `unreadable` why they could not
        be read. Raises query.QueryError for a command that cannot be run."""
        return cls(parse(command, sets, unreadable), read_settings(raw), list_row_cap=LIST_ROW_CAP)

    @property
    def command(self) -> str:
        return self.query.command

    @property
    def search_limit(self) -> int:
        """The hits the search ranks and reads: those the list sheet and the closest sheet can hold."""
        return max(self.list_row_cap, self.settings.top_count)


def request_command(raw: object) -> str:
    """The command of a start request; RequestError when there is none to run."""
    if not isinstance(raw, Mapping) or COMMAND_KEY not in raw:
        raise RequestError("錯誤：收到的檢索要求格式不正確，已略過")
    command = raw[COMMAND_KEY]
    if not isinstance(command, str) or not command.strip():
        raise RequestError("錯誤：檢索指令是空白的，請輸入關鍵字")
    return command

