"""Text as a line of the log box or of the import's output shows it: one
line, without control or direction-formatting characters (a terminal or the
log box would act on them), cut to a length. Reports keep the whole text."""

from __future__ import annotations

import errno
import re

LINE_CHARS = 1000  # the longest line shown

# C0 and C1 controls, bidirectional and other invisible formatting marks,
# line and paragraph separators, lone surrogates.
_HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u206f\ufeff\ud800-\udfff]+")


def shown(text: str, limit: int = LINE_CHARS) -> str:
    """`text` on one line: hidden characters as spaces, runs of white space
    as one, at most `limit` characters ("…" marks a cut)."""
    text = " ".join(_HIDDEN.sub(" ", text).split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


# What the operating system's common answers mean, in the words the log box uses.
_OS_REASONS = {
    errno.ENOENT: "找不到檔案或資料夾",
    errno.EACCES: "沒有權限",
    errno.EPERM: "沒有權限",
    errno.EISDIR: "這是資料夾，不是檔案",
    errno.ENOTDIR: "路徑中有一段不是資料夾",
    errno.ENOSPC: "磁碟空間已滿",
    errno.EROFS: "磁碟是唯讀的",
    errno.EIO: "磁碟讀寫錯誤",
    errno.EMFILE: "同時開啟的檔案過多",
    errno.ENAMETOOLONG: "檔名過長",
    errno.EBUSY: "檔案正被其他程式使用",
}


def os_reason(error: OSError) -> str:
    """Why a file operation failed, in Chinese for the common causes (the
    system's own text for the others)."""
    return _OS_REASONS.get(error.errno or 0) or shown(error.strerror or str(error) or type(error).__name__, 200)
