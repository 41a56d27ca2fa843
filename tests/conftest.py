"""Test session set-up. Window tests (`pytestmark = pytest.mark.usefixtures("display")`)
get a private Xvfb display, never the user's; the others run without a display.
Without Xvfb the window tests fail."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile

import pytest

pytest_plugins = ["pg_server"]  # a throw-away PostgreSQL server for the store tests


def _start_xvfb() -> tuple[subprocess.Popen, str]:
    binary = shutil.which("Xvfb")
    if binary is None:
        pytest.fail("Xvfb is not installed: the window tests need a virtual display", pytrace=False)
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
        pytest.fail("Xvfb did not start", pytrace=False)
    return proc, ":" + number


def pytest_configure(config):
    # Folders the window creates on "drive C:" go to a scratch folder.
    if "TESSALOOM_DRIVE_C" not in os.environ:
        os.environ["TESSALOOM_DRIVE_C"] = tempfile.mkdtemp(prefix="varnel-drive-")
    # A command holding TR(…) reads a small term table of the tests' own.
    import fake_terms
    from varnel_host import translate

    translate.loader = fake_terms.load
    # The user's own display is never used; a window test gets the private one.
    if not os.environ.get("VARNEL_TEST_DISPLAY"):
        os.environ.pop("DISPLAY", None)


@pytest.fixture(scope="session")
def display():
    """The private X display, started on first use and stopped at the end of the session."""
    if os.environ.get("VARNEL_TEST_DISPLAY"):  # reuse a display started by a parent run
        os.environ["DISPLAY"] = os.environ["VARNEL_TEST_DISPLAY"]
        yield os.environ["DISPLAY"]
        return
    xvfb, number = _start_xvfb()
    os.environ["DISPLAY"] = number
    os.environ["VARNEL_TEST_DISPLAY"] = number
    # Xvfb runs without access control for local clients; python-xlib (under
    # pyautogui) still wants an authority file to read, so give it an empty one.
    fd, authority = tempfile.mkstemp(prefix="varnel-xauth-")
    os.close(fd)
    os.environ["XAUTHORITY"] = authority
    try:
        yield number
    finally:
        for name in ("DISPLAY", "VARNEL_TEST_DISPLAY"):
            os.environ.pop(name, None)
        xvfb.terminate()
        xvfb.wait(timeout=10)
        os.unlink(authority)
