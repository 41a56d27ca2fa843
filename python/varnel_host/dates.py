"""Record dates: every date a store holds is YYYYMMDD text ("" when unknown)."""

from __future__ import annotations

import datetime
import functools
import re

_ISO = re.compile(r"(\d{4})(\d{2})(\d{2})|(\d{4})([-/.])(\d{1,2})\5(\d{1,2})")


def valid_date(year: int, month: int, day: int) -> str:
    """YYYYMMDD of a day that exists; ValueError otherwise."""
    return datetime.date(year, month, day).strftime("%Y%m%d")


@functools.lru_cache(maxsize=1 << 16)
def iso_date(value: str) -> str:
    """YYYYMMDD from YYYYMMDD, YYYY-MM-DD, YYYY/MM/DD or YYYY.MM.DD (a time
    after the date is dropped); "" for ""; ValueError otherwise."""
    value = value.strip()
    if not value:
        return ""
    match = _ISO.fullmatch(value.split("T")[0].split(" ")[0])
    if not match:
        raise ValueError(value)
    if match[1]:
        return valid_date(int(match[1]), int(match[2]), int(match[3]))
    return valid_date(int(match[4]), int(match[6]), int(match[7]))
