"""The product's help page, served on the user's own machine.

The page lives at https://localhost:34008/VARNEL專利檢索軟體 and is reachable
from this machine only: the server binds both loopback addresses (127.0.0.1
and [::1], so no other program can take the one a browser tries first) and
answers only requests whose Host is localhost, 127.0.0.1 or [::1] with the
port, so a page elsewhere cannot read it through DNS rebinding. The
certificate is self-signed, made on first run and kept in the product's
certificate folder; a certificate file is only read when it is a regular file.

The window's help button falls back to plain http:// on the same port when its
https:// attempt fails, so one port serves both: the first byte of every
connection is peeked without consuming it. 0x16 opens a TLS handshake (the TLS
record type "handshake") and the connection is wrapped in TLS; anything else is
taken as a plain HTTP request line.

Only a fixed set of files from help_page/ is served, looked up by exact
(percent-decoded) path, so no request can reach any other file.
"""

from __future__ import annotations

import asyncio
import errno
import functools
import io
import ipaddress
import logging
import os
import socket
import ssl
import stat
import threading
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler
from pathlib import Path
from types import TracebackType
from typing import Any, TypeVar
from urllib.parse import quote, unquote_to_bytes

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from . import paths

_log = logging.getLogger(__name__)

PAGE_HOST, PAGE_PATH, DEFAULT_PORT = paths.PAGE_HOST, paths.PAGE_PATH, paths.HELP_PORT
CERT_FILE = "localhost.crt"
KEY_FILE = "localhost.key"
CERT_VALIDITY = timedelta(days=3650)
RENEW_BEFORE = timedelta(days=30)  # replace a certificate this close to expiry
LOOPBACK_HOSTS = ("127.0.0.1", "::1")
REQUEST_SECONDS = 5.0  # a request must arrive whole, TLS handshake included, within this
SEND_SECONDS = 10.0  # and its answer be taken within this
MAX_CONNECTIONS = 200  # open at once (also under the 512 sockets select() handles on Windows)
MAX_REQUEST_HEAD = 64 * 1024
BACKLOG = 128  # a browser opening the page and its assets at once
CERT_SECONDS = 10.0  # the certificate step may take this long before the page is given up
_MAX_PEM_BYTES = 64 * 1024
_TLS_HANDSHAKE = 0x16
_HTTP_VERSIONS = ("HTTP/1.0", "HTTP/1.1")
_ACCEPT_PAUSE = 0.1
_PORT_ATTEMPTS = 20
_ADDRESS_IN_USE = {errno.EADDRINUSE, getattr(errno, "WSAEADDRINUSE", errno.EADDRINUSE)}
_ADDRESS_MISSING = {errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT, getattr(errno, "WSAEADDRNOTAVAIL", errno.EADDRNOTAVAIL)}
_T = TypeVar("_T")


class HelpServerUnavailable(RuntimeError):
    """The help page cannot be served; the host logs this and carries on without it."""


# ------------------------------------------------------------- certificate


def ensure_certificate(
    cert_dir: Path, *, renew: bool = False, now: datetime | None = None
) -> tuple[Path, Path]:
    """Return (certificate, key) in `cert_dir`, making a new self-signed pair when
    there is none, either file is unreadable, they do not match, the certificate
    is near expiry, or `renew` is set."""
    now = now or datetime.now(timezone.utc)
    cert_path, key_path = cert_dir / CERT_FILE, cert_dir / KEY_FILE
    if not renew and _certificate_usable(cert_path, key_path, now):
        _restrict(key_path)
        return cert_path, key_path
    cert_dir.mkdir(parents=True, exist_ok=True, mode=0o700)
    cert_pem, key_pem = _new_certificate(now)
    _replace_file(key_path, key_pem, 0o600)
    _replace_file(cert_path, cert_pem, 0o644)
    _log.info("help page certificate created in %s", cert_dir)
    return cert_path, key_path


def _certificate_usable(cert_path: Path, key_path: Path, now: datetime) -> bool:
    try:
        cert = x509.load_pem_x509_certificate(_read_regular(cert_path))
        key = serialization.load_pem_private_key(_read_regular(key_path), password=None)
    except (OSError, ValueError, TypeError, UnsupportedAlgorithm):
        return False
    if not cert.not_valid_before_utc <= now < cert.not_valid_after_utc - RENEW_BEFORE:
        return False
    spki = serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
    return cert.public_key().public_bytes(*spki) == key.public_key().public_bytes(*spki)


def _read_regular(path: Path) -> bytes:
    """The file's bytes; OSError unless it is a regular file (reading a FIFO or a device would block)."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with os.fdopen(fd, "rb") as stream:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", str(path))
        return stream.read(_MAX_PEM_BYTES)


def _new_certificate(now: datetime) -> tuple[bytes, bytes]:
    """A self-signed EC P-256 certificate for localhost: (certificate PEM, key PEM)."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, PAGE_HOST)])
    alt_names = [
        x509.DNSName(PAGE_HOST),
        x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
        x509.IPAddress(ipaddress.ip_address("::1")),
    ]
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - timedelta(days=1))  # tolerate a clock slightly behind
        .not_valid_after(now + CERT_VALIDITY)
        .add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
        # An end-entity certificate: browsers refuse a CA certificate as a server's.
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    return cert.public_bytes(serialization.Encoding.PEM), key_pem


def _replace_file(path: Path, data: bytes, mode: int) -> None:
    """Write `data` to `path` atomically; the file never exists with a wider mode than `mode`."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    temporary.unlink(missing_ok=True)  # whatever a crash left there, a FIFO included
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), mode)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        _restrict(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _restrict(path: Path, mode: int = 0o600) -> None:
    # The creation mode is filtered by the umask, and an older key may have been copied in with a wider one.
    os.chmod(path, mode)


def _tls_context(cert_dir: Path) -> ssl.SSLContext:
    """A server TLS context, renewing the certificate once if OpenSSL refuses the stored pair."""
    try:
        return _load_context(*ensure_certificate(cert_dir))
    except ssl.SSLError as error:
        _log.warning("help page certificate in %s refused (%s); making a new one", cert_dir, error)
        return _load_context(*ensure_certificate(cert_dir, renew=True))


def _load_context(cert_path: Path, key_path: Path) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_path, key_path)
    return context


# ------------------------------------------------------------------- pages


def _load_pages() -> dict[str, tuple[bytes, str]]:
    """The served files by request path: (content, content type)."""
    folder = Path(__file__).with_name("help_page")
    page = ((folder / "index.html").read_bytes(), "text/html; charset=utf-8")
    style = ((folder / "style.css").read_bytes(), "text/css; charset=utf-8")
    return {PAGE_PATH: page, PAGE_PATH + "/": page, PAGE_PATH + "/style.css": style}


def _decode_path(target: str) -> str | None:
    """The request target's path, percent-decoded as UTF-8; None when it is not valid UTF-8.

    http.server decodes the request line as Latin-1, so encoding back to Latin-1
    recovers the bytes, whether the client percent-encoded them or not.
    """
    raw = target.split("?", 1)[0].split("#", 1)[0]
    try:
        return unquote_to_bytes(raw.encode("latin-1")).decode("utf-8")
    except UnicodeDecodeError:
        return None


class _HelpHandler(BaseHTTPRequestHandler):
    """Answers one request whose head has already arrived whole: `request` is those
    bytes (None when they were too long), the answer is left in wfile."""

    server: HelpServer
    request: bytes | None
    server_version = "VARNEL-help"
    sys_version = ""  # do not announce the Python version
    default_request_version = "HTTP/1.0"  # so that every error answer carries its headers

    def setup(self) -> None:
        self.rfile = io.BytesIO(self.request or b"")
        self.wfile = io.BytesIO()

    def handle(self) -> None:
        if self.request is None:
            self.requestline, self.request_version, self.command = "", "HTTP/1.0", ""
            self.send_error(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE)
            return
        self.handle_one_request()

    def finish(self) -> None:
        pass  # the answer stays in wfile for the connection to send

    def parse_request(self) -> bool:
        if not super().parse_request():
            return False
        words = self.requestline.split()
        if len(words) != 3 or words[2] not in _HTTP_VERSIONS:
            # Without this, HTTP/0.9 and other versions would get a bare body, no headers.
            self.request_version = "HTTP/1.0"
            self.send_error(HTTPStatus.HTTP_VERSION_NOT_SUPPORTED)
            return False
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.server.host_names:
            # Another name pointing at 127.0.0.1 (DNS rebinding) must not read the page.
            self.send_error(HTTPStatus.MISDIRECTED_REQUEST, "Unknown host")
            return False
        return True

    def do_GET(self) -> None:
        self._respond(with_body=True)

    def do_HEAD(self) -> None:
        self._respond(with_body=False)

    def _respond(self, with_body: bool) -> None:
        path = _decode_path(self.path)
        if path == "/":
            self.send_response(302)
            self.send_header("Location", quote(PAGE_PATH))
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        found = self.server.pages.get(path) if path is not None else None
        if found is None:
            self.send_error(404)
            return
        content, content_type = found
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(content)))
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        if with_body:
            self.wfile.write(content)

    def end_headers(self) -> None:
        # On every response, error pages included.
        self.send_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; form-action 'none'")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        super().end_headers()

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        # Requests and errors alike (log_error calls this) go to logging, not stderr.
        _log.info("help page %s %s", self.address_string(), format % args)


# ------------------------------------------------------------------ server


class HelpServer:
    """A running help-page server; stop it with stop() or by leaving a `with` block.

    One thread runs an event loop for every connection, so a slow or silent
    client costs a socket, not a thread. A request must arrive whole (TLS
    handshake included) within REQUEST_SECONDS; at most MAX_CONNECTIONS are
    open at once, and a new connection beyond that closes the oldest one.
    """

    def __init__(self, listeners: list[socket.socket], tls: ssl.SSLContext, pages: dict[str, tuple[bytes, str]]):
        self.pages = pages
        self._tls = tls
        self._listeners = listeners
        self.hosts = tuple(str(listener.getsockname()[0]) for listener in listeners)
        self.port = int(listeners[0].getsockname()[1])
        self.host_names = frozenset(f"{name}:{self.port}" for name in (PAGE_HOST, "127.0.0.1", "[::1]"))
        self._connections: dict[asyncio.Task[None], None] = {}  # open connections, oldest first
        self._loop = asyncio.SelectorEventLoop()  # add_reader (the first-byte peek) on every platform
        self._stopping = asyncio.Event()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="varnel-help-page", daemon=True)
        self._thread.start()

    @property
    def host(self) -> str:
        return self.hosts[0]

    @property
    def open_connections(self) -> int:
        return len(self._connections)

    @property
    def url(self) -> str:
        """The page's https:// address, percent-encoded (plain http:// works on the same port)."""
        return f"https://{PAGE_HOST}:{self.port}{quote(PAGE_PATH)}"

    def stop(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        try:
            self._loop.call_soon_threadsafe(self._stopping.set)
        except RuntimeError:  # the loop has already ended
            pass
        self._thread.join()

    def __enter__(self) -> HelpServer:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.stop()

    def _run(self) -> None:
        try:
            self._loop.run_until_complete(self._serve())
        finally:
            for listener in self._listeners:
                listener.close()
            self._loop.close()

    async def _serve(self) -> None:
        accepting = [asyncio.create_task(self._accept(listener)) for listener in self._listeners]
        await self._stopping.wait()
        running = [*accepting, *self._connections]
        for task in running:
            task.cancel()
        await asyncio.gather(*running, return_exceptions=True)

    async def _accept(self, listener: socket.socket) -> None:
        while not self._stopping.is_set():
            try:
                connection, address = await self._loop.sock_accept(listener)
            except OSError as error:  # e.g. out of file descriptors: wait rather than spin
                _log.warning("help page cannot accept a connection: %s", error)
                await asyncio.sleep(_ACCEPT_PAUSE)
                continue
            if len(self._connections) >= MAX_CONNECTIONS:
                oldest = next(iter(self._connections))
                del self._connections[oldest]
                oldest.cancel()
            task = asyncio.create_task(self._serve_connection(connection, address))
            self._connections[task] = None
            task.add_done_callback(functools.partial(self._ended, connection))

    def _ended(self, connection: socket.socket, task: asyncio.Task[None]) -> None:
        self._connections.pop(task, None)
        # A task cancelled before its first step never ran its own clean-up;
        # closing again after a transport has closed the socket does nothing.
        connection.close()

    async def _serve_connection(self, connection: socket.socket, address: tuple[str, int]) -> None:
        """Read one request head (TLS-wrapped if the first byte opens a handshake), answer, close."""
        transport: asyncio.BaseTransport | None = None
        try:
            async with asyncio.timeout(REQUEST_SECONDS):
                await self._readable(connection)
                first = connection.recv(1, socket.MSG_PEEK)
                if not first:
                    return
                reader = asyncio.StreamReader(limit=MAX_REQUEST_HEAD)
                protocol = asyncio.StreamReaderProtocol(reader)
                transport, _ = await self._loop.connect_accepted_socket(
                    lambda: protocol,
                    connection,
                    ssl=self._tls if first[0] == _TLS_HANDSHAKE else None,
                    ssl_handshake_timeout=REQUEST_SECONDS if first[0] == _TLS_HANDSHAKE else None,
                )
                try:
                    head: bytes | None = await reader.readuntil(b"\r\n\r\n")
                except asyncio.LimitOverrunError:
                    head = None
            writer = asyncio.StreamWriter(transport, protocol, reader, self._loop)  # type: ignore[arg-type]
            writer.write(_HelpHandler(head, address, self).wfile.getvalue())  # type: ignore[arg-type]
            async with asyncio.timeout(SEND_SECONDS):
                await writer.drain()
                writer.close()
                await writer.wait_closed()
        except Exception as error:  # timeouts, resets, TLS errors: this connection only
            _log.info("help page connection from %s dropped: %r", address[0], error)
        finally:
            if transport is None:
                connection.close()
            else:
                transport.abort()

    async def _readable(self, connection: socket.socket) -> None:
        ready = self._loop.create_future()
        self._loop.add_reader(connection.fileno(), lambda: ready.done() or ready.set_result(None))
        try:
            await ready
        finally:
            self._loop.remove_reader(connection.fileno())


def _bind(hosts: tuple[str, ...], port: int) -> list[socket.socket]:
    """Listening sockets on `hosts`, all on one port (port 0: a free one). An address
    this machine does not have (no IPv6) is left out while another one binds."""
    for _ in range(_PORT_ATTEMPTS):
        listeners: list[socket.socket] = []
        try:
            for host in hosts:
                listener = _listener(host, port if not listeners else listeners[0].getsockname()[1])
                if listener is not None:
                    listeners.append(listener)
        except OSError as error:
            for listener in listeners:
                listener.close()
            if port == 0 and listeners and error.errno in _ADDRESS_IN_USE:
                continue  # the free port of the first address is taken on another one: pick again
            raise
        if not listeners:
            raise OSError(errno.EADDRNOTAVAIL, "no loopback address on this machine")
        return listeners
    raise OSError(errno.EADDRINUSE, "no port free on every loopback address")


def _listener(host: str, port: int) -> socket.socket | None:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    try:
        listener = socket.socket(family, socket.SOCK_STREAM)
    except OSError:
        return None
    try:
        if family == socket.AF_INET6:
            listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        if os.name != "nt":  # on Windows SO_REUSEADDR would let a second server bind a port already in use
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, port))
        listener.listen(BACKLOG)
        listener.setblocking(False)
    except OSError as error:
        listener.close()
        if error.errno in _ADDRESS_MISSING:
            return None
        raise
    return listener


def _within(seconds: float, work: Callable[[], _T]) -> _T:
    """`work()`'s result; TimeoutError if it has not finished within `seconds` (a daemon
    thread, so a file that never answers cannot hold the host)."""
    outcome: list[Any] = []

    def run() -> None:
        try:
            outcome.append((True, work()))
        except BaseException as error:  # handed to the caller
            outcome.append((False, error))

    thread = threading.Thread(target=run, name="varnel-help-certificate", daemon=True)
    thread.start()
    thread.join(seconds)
    if not outcome:
        raise TimeoutError(f"not finished within {seconds:g} s")
    finished, value = outcome[0]
    if not finished:
        raise value
    return value


def start_help_server(
    port: int = DEFAULT_PORT, cert_dir: Path | None = None, host: str | None = None
) -> HelpServer:
    """Serve the help page on `port` (0 picks a free port) until stopped.

    Both loopback addresses, 127.0.0.1 and [::1], are bound (so no other program
    can take the one a browser tries first), or only `host`, which must be a
    loopback address. `cert_dir` defaults to the product's certificate folder.
    Raises HelpServerUnavailable with the reason, in words for the user, when
    the pages, the certificate or the port cannot be had.
    """
    hosts = LOOPBACK_HOSTS if host is None else (host,)
    for address in hosts:
        if not ipaddress.ip_address(address).is_loopback:
            raise ValueError(f"the help page is served on loopback addresses only, not {address}")
    cert_dir = paths.certificate_folder() if cert_dir is None else Path(cert_dir)
    try:
        pages = _load_pages()
    except OSError as error:
        raise HelpServerUnavailable(f"說明頁無法提供：頁面檔案遺失（{error}）") from error
    try:
        tls = _within(CERT_SECONDS, lambda: _tls_context(cert_dir))
    except TimeoutError as error:
        raise HelpServerUnavailable(
            f"說明頁無法提供：憑證資料夾「{cert_dir}」在 {CERT_SECONDS:g} 秒內無法讀取"
        ) from error
    except (OSError, ValueError) as error:
        raise HelpServerUnavailable(f"說明頁無法提供：無法建立或讀取憑證（{error}）") from error
    try:
        listeners = _bind(hosts, port)
    except OSError as error:
        if error.errno in _ADDRESS_IN_USE:
            raise HelpServerUnavailable(
                f"說明頁無法提供：連接埠 {port} 已被其他程式使用；請關閉該程式後重新開啟視窗"
            ) from error
        raise HelpServerUnavailable(f"說明頁無法提供：無法使用連接埠 {port}（{error}）") from error
    server = HelpServer(listeners, tls, pages)
    _log.info("help page served at %s on %s", server.url, ", ".join(server.hosts))
    return server
