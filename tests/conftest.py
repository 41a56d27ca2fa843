"""Test session set-up: every test runs against a private Xvfb display.

The display is started here, not borrowed from the environment, so a run on a
desktop opens no windows on the user's screen. Without Xvfb the run fails.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile

import pytest

pytest_plugins = ["pg_server"]  # a throw-away PostgreSQL server for the store tests

_xvfb: subprocess.Popen | None = None


def _start_xvfb() -> tuple[subprocess.Popen, str]:
    binary = shutil.which("Xvfb")
    if binary is None:
        raise pytest.UsageError("Xvfb is not installed: the window tests need a virtual display")
    read_fd, write_fd = os.pipe()
    # The display server is not ours to check: keep sanitizer preloads out of it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    proc = subprocess.Popen(
        [binary, "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,),
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        proc.kill()
        raise pytest.UsageError("Xvfb did not start")
    return proc, ":" + number


def pytest_configure(config):
    global _xvfb
    # Folders the window creates on "drive C:" go to a scratch folder.
    if "TESSALOOM_DRIVE_C" not in os.environ:
        os.environ["TESSALOOM_DRIVE_C"] = tempfile.mkdtemp(prefix="varnel-drive-")
    if os.environ.get("VARNEL_TEST_DISPLAY"):  # reuse a display started by a parent run
        os.environ["DISPLAY"] = os.environ["VARNEL_TEST_DISPLAY"]
        return
    _xvfb, display = _start_xvfb()
    os.environ["DISPLAY"] = display
    os.environ["VARNEL_TEST_DISPLAY"] = display
    # Xvfb runs without access control for local clients; python-xlib (under
    # pyautogui) still wants an authority file to read, so give it an empty one.
    fd, authority = tempfile.mkstemp(prefix="varnel-xauth-")
    os.close(fd)
    os.environ["XAUTHORITY"] = authority


def pytest_unconfigure(config):
    if _xvfb is not None:
        _xvfb.terminate()
        _xvfb.wait(timeout=10)
