"""The user's glossary: a plain CSV file of `中文,English` pairs in the
product folder (paths.glossary_path(), 詞彙表.csv).

UTF-8 with or without a byte-order mark; one pair a line (a full-width comma
or a tab also separates the two); a first line naming the columns (中文,
English) is passed over, and so are empty lines and lines starting with #.
Several lines may give one Chinese word several English words, or one
English word several Chinese ones. A line that is not a pair (one column or
three, no Chinese in the first, Chinese or no letter in the second, bytes
that are not UTF-8) is left out and named, with its line number, in the
problems; the other lines are used.
"""

from __future__ import annotations

import csv
from dataclasses import dataclass
from pathlib import Path

from ..shown import os_reason, shown
from .forms import english_words, is_chinese

SHOWN_PROBLEMS = 20  # lines named; the rest are counted
_HEADERS = ({"中文", "chinese", "zh"}, {"english", "英文", "en"})
_EXAMPLE = "每行請寫「中文,English」，例如「電池,battery」"


@dataclass(frozen=True)
class Glossary:
    pairs: tuple[tuple[str, str], ...] = ()  # (Chinese as written, English lower case), in the file's order
    problems: tuple[str, ...] = ()  # lines for the user, in Traditional Chinese


def read(path: Path) -> Glossary:
    """The glossary at `path`; none when there is no such file."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return Glossary()
    except OSError as error:
        return Glossary(problems=(f"詞彙表「{path}」無法讀取（{os_reason(error)}），這次不使用詞彙表",))
    pairs: list[tuple[str, str]] = []
    problems: list[str] = []
    first = True
    for number, raw in enumerate(data.removeprefix(b"\xef\xbb\xbf").split(b"\n"), 1):
        try:
            line = raw.decode("utf-8").strip()
        except UnicodeDecodeError:
            problems.append(f"第 {number} 行：不是 UTF-8 文字，已略過；請以 UTF-8 另存詞彙表")
            continue
        if not line or line.startswith("#"):
            continue
        cells = _cells(line)
        header = first and len(cells) == 2 and all(cell.lower() in names for cell, names in zip(cells, _HEADERS))
        first = False
        if header:
            continue
        problem = _problem(cells)
        if problem:
            problems.append(f"第 {number} 行：{problem}，已略過；{_EXAMPLE}")
        else:
            pairs.append(("".join(cells[0].split()), " ".join(cells[1].lower().split())))
    shown_problems = [f"詞彙表「{path.name}」{problem}" for problem in problems[:SHOWN_PROBLEMS]]
    if len(problems) > SHOWN_PROBLEMS:
        shown_problems.append(f"詞彙表「{path.name}」另有 {len(problems) - SHOWN_PROBLEMS} 行有問題，未逐一列出（都已略過）")
    return Glossary(tuple(dict.fromkeys(pairs)), tuple(shown_problems))


def _cells(line: str) -> list[str]:
    try:
        cells = next(csv.reader([line]))
    except csv.Error:  # a NUL character
        return [line]
    if len(cells) == 1:
        for separator in ("，", "\t"):
            if separator in line:
                cells = line.split(separator)
                break
    cells = [cell.strip() for cell in cells]
    while len(cells) > 2 and not cells[-1]:
        cells.pop()
    return cells


def _problem(cells: list[str]) -> str:
    """What is wrong with a line's cells, "" for a pair."""
    if len(cells) != 2:
        return f"有 {len(cells)} 欄，應為中文與英文兩欄"
    chinese, english = cells
    if not is_chinese(chinese):
        return f"第一欄「{shown(chinese, 30)}」不是中文詞"
    if is_chinese(english) or not english_words(english):
        return f"第二欄「{shown(english, 30)}」不是英文詞"
    return ""
