"""The help-page server: HTTPS and HTTP on one port, fixed pages, certificate upkeep."""

from __future__ import annotations

import gc
import os
import re
import select
import socket
import ssl
import threading
import urllib.request
import warnings
from collections.abc import Iterator
from datetime import datetime, timedelta, timezone
from pathlib import Path
from urllib.parse import quote

import pytest
from cryptography import x509

from varnel_host import helpserver
from varnel_host.helpserver import (
    CERT_FILE,
    KEY_FILE,
    HelpServer,
    HelpServerUnavailable,
    ensure_certificate,
    start_help_server,
)

PAGE = "/VARNEL專利檢索軟體"
ENCODED = quote(PAGE).encode()


@pytest.fixture
def cert_dir(tmp_path: Path) -> Path:
    return tmp_path / "certificate"


@pytest.fixture
def server(cert_dir: Path) -> Iterator[HelpServer]:
    with start_help_server(port=0, cert_dir=cert_dir) as running:
        yield running


def _trusting(cert_dir: Path) -> ssl.SSLContext:
    """A client context that trusts only the generated certificate and checks the host name."""
    return ssl.create_default_context(cafile=str(cert_dir / CERT_FILE))


def _exchange(port: int, raw: bytes, tls: ssl.SSLContext | None = None, host: str = "127.0.0.1"):
    """Send `raw` as it is and return (status, headers, body) of the answer."""
    with socket.create_connection((host, port), timeout=10) as plain, (
        tls.wrap_socket(plain, server_hostname="localhost") if tls else plain
    ) as conn:
        conn.sendall(raw)
        data = b""
        while chunk := conn.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return int(lines[0].split()[1]), headers, body


def _request(port: int, target: bytes, tls: ssl.SSLContext | None = None, method: bytes = b"GET"):
    """Send one request (the target exactly as given) and return (status, headers, body)."""
    return _exchange(port, method + b" " + target + b" HTTP/1.0\r\nHost: localhost:%d\r\n\r\n" % port, tls)


# ------------------------------------------------------------------- pages


@pytest.mark.parametrize("use_tls", [True, False], ids=["https", "http"])
@pytest.mark.parametrize(
    "target",
    [ENCODED, ENCODED + b"/", ENCODED + b"?lang=zh", PAGE.encode("utf-8")],
    ids=["encoded", "slash", "query", "raw-utf8"],
)
def test_page_served_over_both_protocols(server: HelpServer, cert_dir: Path, use_tls: bool, target: bytes) -> None:
    status, headers, body = _request(server.port, target, _trusting(cert_dir) if use_tls else None)
    assert status == 200
    assert headers["content-type"] == "text/html; charset=utf-8"
    assert int(headers["content-length"]) == len(body)
    assert "default-src 'self'" in headers["content-security-policy"]
    assert headers["x-content-type-options"] == "nosniff"
    page = body.decode("utf-8")
    for example in ("檢索指令", "(電池 OR battery)@TI,AB,CL", "TI=電池", "H01M*", "AD=20150101:20241231",
                    "AD=2015:2024", "ID=:20241231", "varnel-host import"):
        assert example in page


def test_url_verifies_against_generated_certificate(server: HelpServer, cert_dir: Path) -> None:
    with urllib.request.urlopen(server.url, context=_trusting(cert_dir), timeout=5) as response:
        assert response.status == 200 and "檢索指令" in response.read().decode("utf-8")
    with pytest.raises(urllib.error.URLError, match="CERTIFICATE_VERIFY_FAILED"):
        urllib.request.urlopen(server.url, context=ssl.create_default_context(), timeout=5)


def test_root_redirects_to_page(server: HelpServer) -> None:
    status, headers, _ = _request(server.port, b"/")
    assert status == 302 and headers["location"] == ENCODED.decode()


def test_stylesheet_linked_from_page_is_served(server: HelpServer) -> None:
    _, _, body = _request(server.port, ENCODED)
    links = re.findall(r'<link rel="stylesheet" href="([^"]+)">', body.decode("utf-8"))
    assert len(links) == 1
    status, headers, css = _request(server.port, links[0].encode())
    assert status == 200 and headers["content-type"] == "text/css; charset=utf-8"
    assert b"prefers-color-scheme: dark" in css
    assert not re.search(rb"(src|href)=\"?https?:|url\(", body + css)  # nothing from outside


@pytest.mark.parametrize(
    "target",
    [
        b"/other",
        ENCODED + b"/index.html",
        ENCODED + b"//style.css",
        ENCODED + b"/../../etc/passwd",
        (PAGE + "/../../etc/passwd").encode("utf-8"),
        ENCODED + b"/%2e%2e/%2e%2e/etc/passwd",
        ENCODED + b"/..%2f..%2fetc%2fpasswd",
        ENCODED + b"%2f..%2f..%2fetc%2fpasswd",
        ENCODED + b"/%252e%252e/%252e%252e/etc/passwd",
        b"/..%5c..%5cwindows%5cwin.ini",
        b"/%ff%fe",
        b"/help_page/",
    ],
)
def test_anything_else_is_not_found(server: HelpServer, cert_dir: Path, target: bytes) -> None:
    for tls in (None, _trusting(cert_dir)):
        status, headers, _ = _request(server.port, target, tls)
        assert status == 404
        assert headers["x-content-type-options"] == "nosniff"


def test_silent_client_does_not_block_others(server: HelpServer) -> None:
    with socket.create_connection(("127.0.0.1", server.port)):  # connects, never sends
        assert _request(server.port, ENCODED)[0] == 200


# ----------------------------------------------------------- certificate


def test_certificate_made_for_localhost(server: HelpServer, cert_dir: Path) -> None:
    cert = x509.load_pem_x509_certificate((cert_dir / CERT_FILE).read_bytes())
    names = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    assert "localhost" in names.get_values_for_type(x509.DNSName)
    assert "127.0.0.1" in {str(ip) for ip in names.get_values_for_type(x509.IPAddress)}
    assert cert.not_valid_after_utc - datetime.now(timezone.utc) > timedelta(days=3640)


def test_certificate_reused_on_next_start(cert_dir: Path) -> None:
    with start_help_server(port=0, cert_dir=cert_dir):
        pass
    first = (cert_dir / CERT_FILE).read_bytes(), (cert_dir / KEY_FILE).read_bytes()
    if os.name != "nt":
        assert (cert_dir / KEY_FILE).stat().st_mode & 0o777 == 0o600
    os.chmod(cert_dir / KEY_FILE, 0o644)
    with start_help_server(port=0, cert_dir=cert_dir) as again:
        assert ((cert_dir / CERT_FILE).read_bytes(), (cert_dir / KEY_FILE).read_bytes()) == first
        assert _request(again.port, ENCODED, _trusting(cert_dir))[0] == 200
    if os.name != "nt":
        assert (cert_dir / KEY_FILE).stat().st_mode & 0o777 == 0o600


def _expire(cert_dir: Path) -> None:
    ensure_certificate(cert_dir, renew=True, now=datetime.now(timezone.utc) - timedelta(days=3700))


def _mismatch(cert_dir: Path) -> None:
    other = cert_dir.parent / "other"
    ensure_certificate(other)
    (cert_dir / KEY_FILE).write_bytes((other / KEY_FILE).read_bytes())


@pytest.mark.parametrize(
    "damage",
    [
        lambda d: (d / CERT_FILE).write_bytes(b"-----BEGIN CERTIFICATE-----\nnot base64\n"),
        lambda d: (d / KEY_FILE).write_bytes(b"garbage"),
        lambda d: (d / CERT_FILE).write_bytes(b""),
        lambda d: (d / KEY_FILE).unlink(),
        _expire,
        _mismatch,
    ],
    ids=["corrupt-cert", "corrupt-key", "empty-cert", "missing-key", "expired", "mismatched-key"],
)
def test_certificate_regenerated_when_unusable(cert_dir: Path, damage) -> None:
    ensure_certificate(cert_dir)
    damage(cert_dir)
    damaged = (cert_dir / CERT_FILE).read_bytes()
    with start_help_server(port=0, cert_dir=cert_dir) as running:
        assert (cert_dir / CERT_FILE).read_bytes() != damaged
        assert _request(running.port, ENCODED, _trusting(cert_dir))[0] == 200


# --------------------------------------------------------------- binding


def _non_loopback_address() -> str | None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet is sent; this only picks a route
        except OSError:
            return None
        address = probe.getsockname()[0]
    return None if address.startswith("127.") else address


def test_binds_loopback_only(server: HelpServer) -> None:
    assert server.host == "127.0.0.1"
    address = _non_loopback_address()
    if address is None:
        pytest.skip("this machine has no non-loopback address")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((address, server.port), timeout=5).close()


@pytest.mark.parametrize("host", ["0.0.0.0", "192.0.2.2", "::"])
def test_refuses_non_loopback_host(cert_dir: Path, host: str) -> None:
    with pytest.raises(ValueError):
        start_help_server(port=0, cert_dir=cert_dir, host=host)


def test_busy_port_raises_unavailable(server: HelpServer, cert_dir: Path) -> None:
    with pytest.raises(HelpServerUnavailable, match=f"連接埠 {server.port} 已被其他程式使用"):
        start_help_server(port=server.port, cert_dir=cert_dir)
    assert _request(server.port, ENCODED)[0] == 200  # the running server is unharmed


def test_stop_releases_port(cert_dir: Path) -> None:
    running = start_help_server(port=0, cert_dir=cert_dir)
    running.stop()
    running.stop()  # a second stop is harmless
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", running.port), timeout=5).close()


def test_binds_both_loopback_addresses(server: HelpServer) -> None:
    assert set(server.hosts) == {"127.0.0.1", "::1"}
    for host in server.hosts:
        raw = b"GET %s HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % (ENCODED, server.port)
        assert _exchange(server.port, raw, host=host)[0] == 200


@pytest.mark.parametrize("taken", ["127.0.0.1", "::1"])
def test_port_taken_on_either_loopback_address_is_reported(cert_dir: Path, taken: str) -> None:
    with socket.socket(socket.AF_INET6 if ":" in taken else socket.AF_INET) as other:
        other.bind((taken, 0))
        other.listen()
        port = other.getsockname()[1]
        with pytest.raises(HelpServerUnavailable, match=f"^說明頁無法提供：連接埠 {port} 已被其他程式使用"):
            start_help_server(port=port, cert_dir=cert_dir)


# ------------------------------------------------------------- hostile clients


@pytest.mark.parametrize(
    "raw, status",
    [
        (b"GET %(page)s\r\n\r\n", 505),
        (b"GET %(page)s HTTP/0.9\r\nHost: localhost:%(port)d\r\n\r\n", 505),
        (b"GET %(page)s HTTP/1.2\r\nHost: localhost:%(port)d\r\n\r\n", 505),
        (b"GET %(page)s HTTP/2.0\r\nHost: localhost:%(port)d\r\n\r\n", 505),
        (b"GET %(page)s HTTP/x\r\nHost: localhost:%(port)d\r\n\r\n", 400),
        (b"GET %(page)s HTTP/1.1 more\r\nHost: localhost:%(port)d\r\n\r\n", 400),
        (b"BREW %(page)s HTTP/1.1\r\nHost: localhost:%(port)d\r\n\r\n", 501),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost:%(port)d\r\nX: " + b"a" * 70000 + b"\r\n\r\n", 431),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost:%(port)d\r\n\r\n", 200),
        (b"GET %(page)s HTTP/1.1\r\nHost: 127.0.0.1:%(port)d\r\n\r\n", 200),
        (b"GET %(page)s HTTP/1.1\r\nHost: [::1]:%(port)d\r\n\r\n", 200),
        (b"GET %(page)s HTTP/1.1\r\nHost: LocalHost:%(port)d\r\n\r\n", 200),
        (b"GET %(page)s HTTP/1.1\r\nHost: rebound.example:%(port)d\r\n\r\n", 421),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost.rebound.example:%(port)d\r\n\r\n", 421),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost\r\n\r\n", 421),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost:1\r\n\r\n", 421),
        (b"GET %(page)s HTTP/1.0\r\n\r\n", 421),
        (b"GET %(page)s HTTP/1.1\r\nHost: localhost:%(port)d\r\nHost: rebound.example\r\n\r\n", 421),
    ],
    ids=["no-version", "http0.9", "http1.2", "http2", "bad-version", "four-words", "unknown-method",
         "huge-head", "localhost", "ipv4", "ipv6", "host-case", "rebinding", "rebinding-suffix",
         "no-port", "other-port", "no-host", "two-hosts"],
)
def test_every_answer_has_status_and_security_headers(server: HelpServer, raw: bytes, status: int) -> None:
    answer = _exchange(server.port, raw % {b"page": ENCODED, b"port": server.port})
    assert answer[0] == status
    assert answer[1]["x-content-type-options"] == "nosniff"
    assert "frame-ancestors 'none'" in answer[1]["content-security-policy"]
    assert (b"\xe6\xaa\xa2\xe7\xb4\xa2" in answer[2]) == (status == 200)  # the page's 檢索 only when served


@pytest.mark.parametrize(
    "opening", [b"", b"GET / HTTP/1.1\r\nHost: loc", b"\x16\x03\x01\x02\x00\x01"], ids=["silent", "partial", "partial-tls"]
)
def test_request_not_whole_in_time_is_closed(cert_dir: Path, monkeypatch, opening: bytes) -> None:
    monkeypatch.setattr(helpserver, "REQUEST_SECONDS", 0.5)
    with start_help_server(port=0, cert_dir=cert_dir) as running:
        with socket.create_connection(("127.0.0.1", running.port), timeout=10) as slow:
            slow.sendall(opening)
            assert slow.recv(1024) == b""  # closed by the server, nothing answered


def test_slow_connections_do_not_pile_up_or_block_a_request(server: HelpServer) -> None:
    threads = threading.active_count()
    slow = []
    try:
        for _ in range(500):
            connection = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            connection.sendall(b"G")  # and never the rest
            slow.append(connection)
        assert _request(server.port, ENCODED)[0] == 200
        assert threading.active_count() == threads
        assert server.open_connections <= helpserver.MAX_CONNECTIONS
    finally:
        for connection in slow:
            connection.close()


def test_connections_dropped_before_they_were_served_are_closed(server: HelpServer, monkeypatch) -> None:
    """More connections waiting than the server keeps open: the ones it drops
    before serving them are closed, not left for the collector to find."""
    monkeypatch.setattr(helpserver, "MAX_CONNECTIONS", 10)
    paused, release = threading.Event(), threading.Event()
    server._loop.call_soon_threadsafe(lambda: (paused.set(), release.wait(30)))
    assert paused.wait(10)
    waiting = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        try:
            for _ in range(100):
                waiting.append(socket.create_connection(("127.0.0.1", server.port), timeout=10))
            release.set()
            assert _request(server.port, ENCODED)[0] == 200
            gc.collect()
        finally:
            release.set()
            for connection in waiting:
                connection.close()
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []


def test_connection_burst_waits_in_the_backlog(server: HelpServer) -> None:
    """100 connections opened while the server is not accepting all complete (a backlog of 5 would drop most)."""
    paused, release = threading.Event(), threading.Event()
    server._loop.call_soon_threadsafe(lambda: (paused.set(), release.wait(30)))
    assert paused.wait(10)
    burst = [socket.socket() for _ in range(100)]
    try:
        for connection in burst:
            connection.setblocking(False)
            connection.connect_ex(("127.0.0.1", server.port))
        pending = list(burst)
        for _ in range(100):  # until every handshake has completed, at most 10 s
            _, writable, _ = select.select([], pending, [], 0.1)
            pending = [c for c in pending if c not in writable or c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)]
            if not pending:
                break
        assert not pending
    finally:
        release.set()
        for connection in burst:
            connection.close()
    assert _request(server.port, ENCODED)[0] == 200


# ------------------------------------------------------ certificate hazards


def _fifo(path: Path) -> None:
    path.unlink(missing_ok=True)
    os.mkfifo(path)


def _directory(path: Path) -> None:
    path.unlink(missing_ok=True)
    path.mkdir()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes in the file system are a POSIX thing")
@pytest.mark.parametrize("name", [CERT_FILE, KEY_FILE])
@pytest.mark.parametrize("make", [_fifo, _directory], ids=["fifo", "directory"])
def test_certificate_file_that_is_not_regular_does_not_hang(cert_dir: Path, name: str, make) -> None:
    ensure_certificate(cert_dir)
    make(cert_dir / name)
    outcome: list[HelpServer | str] = []
    starting = threading.Thread(target=lambda: outcome.append(_start_or_reason(cert_dir)), daemon=True)
    starting.start()
    starting.join(60)
    if starting.is_alive():  # let the blocked reader go before failing
        open(cert_dir / name, "wb").close()
    assert outcome, "the certificate step hung"
    if make is _directory:  # a folder cannot be replaced by a file: the reason is given instead
        assert str(outcome[0]).startswith("說明頁無法提供：無法建立或讀取憑證")
        return
    with outcome[0] as running:  # a FIFO is replaced by a new certificate
        assert _request(running.port, ENCODED, _trusting(cert_dir))[0] == 200


def _start_or_reason(cert_dir: Path) -> HelpServer | str:
    try:
        return start_help_server(port=0, cert_dir=cert_dir)
    except HelpServerUnavailable as error:
        return str(error)


def test_certificate_step_is_time_boxed(cert_dir: Path, monkeypatch) -> None:
    release = threading.Event()
    monkeypatch.setattr(helpserver, "CERT_SECONDS", 0.5)
    monkeypatch.setattr(helpserver, "_tls_context", lambda folder: release.wait(30))
    try:
        with pytest.raises(HelpServerUnavailable, match="^說明頁無法提供：憑證"):
            start_help_server(port=0, cert_dir=cert_dir)
    finally:
        release.set()
