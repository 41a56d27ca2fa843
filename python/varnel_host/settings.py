"""The report settings of a start request, checked and clamped once per run.

The window sends the settings exactly as the user set them (the entries of
its settings record); read_settings() turns nonsense into the defaults or the
nearest allowed value, with a Traditional-Chinese note per adjustment that the
worker prints and the report lists.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from .cell_text import clean_text

# The settings record's entries, as the window names them.
RATIO_KEY = "文字大小比例"
CHINESE_FONT_KEY = "中文文字字體"
LATIN_FONT_KEY = "英文文字字體"
COUNT_KEY = "分析最接近專利數量"

FONT_NAME_LIMIT = 31  # longer font names make Excel repair the file
BASE_FONT_SIZE = 11.0
RATIO_RANGE = (0.5, 3.0)
DEFAULT_RATIO = 1.0
COUNT_RANGE = (0, 100)
DEFAULT_COUNT = 5
DEFAULT_CHINESE_FONT = "標楷體"
DEFAULT_LATIN_FONT = "Calibri"


@dataclass(frozen=True)
class ReportSettings:
    """The report settings as used, after clamping; `notes` explain each adjustment."""

    ratio: float
    chinese_font: str
    latin_font: str
    top_count: int
    notes: tuple[str, ...] = ()

    @property
    def font_size(self) -> float:
        """11 pt × ratio, rounded to half points as Excel's own size box does."""
        return round(BASE_FONT_SIZE * self.ratio * 2) / 2



_MISSING = object()


def read_settings(request: Mapping[str, object]) -> ReportSettings:
    """Take the report settings from a start request, clamping nonsense values."""
    notes: list[str] = []
    ratio = _read_ratio(request.get(RATIO_KEY, _MISSING), notes)
    chinese = _read_font(CHINESE_FONT_KEY, request.get(CHINESE_FONT_KEY, _MISSING), DEFAULT_CHINESE_FONT, notes)
    latin = _read_font(LATIN_FONT_KEY, request.get(LATIN_FONT_KEY, _MISSING), DEFAULT_LATIN_FONT, notes)
    count = _read_count(request.get(COUNT_KEY, _MISSING), notes)
    return ReportSettings(ratio, chinese, latin, count, tuple(notes))


def _shown(value: object) -> str:
    """A short printable form of a user-typed value for a note."""
    if isinstance(value, str):
        text = clean_text(value)
        return f"「{text[:20]}…」" if len(text) > 20 else f"「{text}」"
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    try:
        text = clean_text(str(value))
    except ValueError:  # an int beyond Python's digit limit for str()
        text = type(value).__name__
    return text[:20] + "…" if len(text) > 20 else text


def _as_real(value: object) -> float | None:
    """The value as a float, or None when it is not a number (bools are not)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    try:
        number = float(value)
    except OverflowError:  # an int too large for a float
        return math.inf if value > 0 else -math.inf
    return None if math.isnan(number) else number


def percent(ratio: float) -> str:
    return f"{ratio * 100:g}%"


def _read_number(name: str, value: object, notes: list[str], default: float, bounds: tuple[float, float],
                 whole: bool, shown: Callable[[float], str]) -> float:
    """A number setting: the default when missing or not a number (not a
    whole one, with `whole`), else clamped to `bounds`; a note for each change."""
    if value is _MISSING:
        notes.append(f"{name} 未設定，已改用 {shown(default)}")
        return default
    number = _as_real(value)
    if number is None or (whole and math.isfinite(number) and not number.is_integer()):
        notes.append(f"{name} {_shown(value)} 不是{'整數' if whole else '數字'}，已改用 {shown(default)}")
        return default
    low, high = bounds
    used = min(max(number, low), high)
    if used != number:
        notes.append(f"{name} {_shown(value)} 不合理，已改用 {shown(used)}")
    return used


def _read_ratio(value: object, notes: list[str]) -> float:
    return _read_number(RATIO_KEY, value, notes, DEFAULT_RATIO, RATIO_RANGE, False, percent)


def _read_count(value: object, notes: list[str]) -> int:
    return int(_read_number(COUNT_KEY, value, notes, DEFAULT_COUNT, COUNT_RANGE, True, str))


def _read_font(name: str, value: object, default: str, notes: list[str]) -> str:
    if value is _MISSING:
        notes.append(f"{name} 未設定，已改用 {default}")
        return default
    if not isinstance(value, str):
        notes.append(f"{name} {_shown(value)} 不是文字，已改用 {default}")
        return default
    font = " ".join(clean_text(value).split())  # line breaks and tabs make no font name
    if not font:
        notes.append(f"{name} 是空白，已改用 {default}")
        return default
    if len(font) > FONT_NAME_LIMIT:
        font = font[:FONT_NAME_LIMIT].rstrip()
        notes.append(f"{name} 過長，已截為前 {FONT_NAME_LIMIT} 字：{font}")
    return font
