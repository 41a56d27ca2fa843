"""The file a report is written to, and what can go wrong with it, said in Chinese.

A report is written to a hidden part file in the reports folder
(PartFile), which its writer holds until the finished report has its name:
on POSIX under an exclusive lock, elsewhere by keeping it open, which keeps
Windows from deleting it. A part file nobody holds is what a killed writer
left: remove_stale_parts() deletes those, at every start of the worker and
before every report, while the parts of other windows' runs stay.

The stream handed to the workbook goes quiet once the writing has failed
or ended: the zip archive the workbook was writing, collected later, then
finishes into nothing instead of failing on a closed or full file.
"""

from __future__ import annotations

import errno
import os
import tempfile
from pathlib import Path

try:
    import fcntl
except ImportError:  # Windows: an open file cannot be deleted, which is hold enough
    fcntl = None

PART_PREFIX = ".檢索報告_"
PART_SUFFIX = ".part"
_AGAIN = "再按一次「輸出檢索列表」"


def _lock(descriptor: int, wait: bool) -> bool:
    """An exclusive lock on an open file; False when another process holds one."""
    if fcntl is None:
        return True
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    return True


def remove_stale_parts(folder: Path) -> None:
    """Delete the part files in `folder` that no writer holds."""
    for part in folder.glob(f"{PART_PREFIX}*{PART_SUFFIX}"):
        try:
            if fcntl is None:
                part.unlink()  # refused while a writer has it open
                continue
            descriptor = os.open(part, os.O_RDONLY)
        except OSError:
            continue  # held, gone already, or not ours to read
        try:
            if _lock(descriptor, wait=False):
                part.unlink()
        except OSError:
            pass
        finally:
            os.close(descriptor)


class _QuietStream:
    """A binary file that, once quiet() has been called, writes nowhere and
    only counts its position (a zip archive's end record is computed from it)."""

    def __init__(self, file) -> None:
        self._file = file
        self._position: int | None = None  # set when quiet

    def quiet(self) -> None:
        if self._position is None:
            self._position = 0

    def write(self, data) -> int:
        if self._position is None:
            return self._file.write(data)
        self._position += len(data)
        return len(data)

    def tell(self) -> int:
        return self._file.tell() if self._position is None else self._position

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        if self._position is None:
            return self._file.seek(offset, whence)
        self._position = offset if whence == os.SEEK_SET else self._position + (offset if whence == os.SEEK_CUR else 0)
        return self._position

    def flush(self) -> None:
        if self._position is None:
            self._file.flush()


class PartFile:
    """A new hidden part file in `folder`, held from creation until close().

    `stream` is what the workbook writes; finish() flushes and closes the
    file itself (the hold stays), close() lets go and deletes the part
    unless it has been given its report name."""

    def __init__(self, folder: Path) -> None:
        while True:
            descriptor, name = tempfile.mkstemp(prefix=PART_PREFIX, suffix=PART_SUFFIX, dir=folder)
            _lock(descriptor, wait=True)
            if os.fstat(descriptor).st_nlink:  # not removed by a cleaner between creation and lock
                break
            os.close(descriptor)
        self.path = Path(name)
        # POSIX: the lock lives while a descriptor of this open file does.
        self._hold = os.dup(descriptor) if fcntl is not None else None
        self._file = open(descriptor, "wb")
        self.stream = _QuietStream(self._file)

    def finish(self) -> None:
        self.stream.quiet()
        self._file.close()

    def close(self) -> None:
        self.stream.quiet()
        try:
            self._file.close()
        except OSError:
            pass  # a full disk refuses the last buffered bytes: the part goes anyway
        self.path.unlink(missing_ok=True)
        if self._hold is not None:
            os.close(self._hold)
            self._hold = None


def os_error_of(error: BaseException) -> OSError | None:
    """The OSError behind an error (xlsxwriter wraps it in FileCreateError)."""
    seen = 0
    while error is not None and seen < 10:
        if isinstance(error, OSError):
            return error
        wrapped = error.args[0] if error.args and isinstance(error.args[0], BaseException) else None
        error = wrapped or error.__cause__ or error.__context__
        seen += 1
    return None


def problem(folder: Path, error: OSError) -> str:
    """Why a report could not be written in `folder`, and what to do: a Chinese sentence."""
    code = error.errno
    if code in (errno.EEXIST, errno.ENOTDIR) or isinstance(error, (FileExistsError, NotADirectoryError)):
        return (f"報告資料夾「{folder}」的位置上是一個檔案，不是資料夾；請把這個檔案改名或移走，{_AGAIN}")
    if code in (errno.EACCES, errno.EPERM) or isinstance(error, PermissionError):
        return f"沒有寫入權限：無法在報告資料夾「{folder}」建立檔案；請確認這個資料夾可以寫入，{_AGAIN}"
    if code == errno.EROFS:
        return f"報告資料夾「{folder}」所在的磁碟是唯讀的；請改用可以寫入的磁碟，{_AGAIN}"
    if code in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC)):
        return f"磁碟空間已滿，報告無法寫入「{folder}」；請清出磁碟空間後{_AGAIN}"
    return (f"報告無法寫入「{folder}」（系統錯誤代碼 {code}）；請確認磁碟與資料夾可以正常使用，{_AGAIN}")
