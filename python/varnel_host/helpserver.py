"""The product's help page, served on the user's own machine.

The page lives at https://localhost:34008/VARNEL專利檢索軟體 and is reachable
from this machine only (the server binds a loopback address). The certificate
is self-signed, made on first run and kept in the product's certificate folder.

The window's help button falls back to plain http:// on the same port when its
https:// attempt fails, so one port serves both: the first byte of every
connection is peeked without consuming it. 0x16 opens a TLS handshake (the TLS
record type "handshake") and the connection is wrapped in TLS; anything else is
taken as a plain HTTP request line.

Only a fixed set of files from help_page/ is served, looked up by exact
(percent-decoded) path, so no request can reach any other file.
"""

from __future__ import annotations

import errno
import ipaddress
import logging
import os
import socket
import socketserver
import ssl
import threading
from datetime import datetime, timedelta, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import TracebackType
from urllib.parse import quote, unquote_to_bytes

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from . import paths

_log = logging.getLogger(__name__)

PAGE_PATH = "/VARNEL專利檢索軟體"
DEFAULT_PORT = 34008
CERT_FILE = "localhost.crt"
KEY_FILE = "localhost.key"
CERT_VALIDITY = timedelta(days=3650)
RENEW_BEFORE = timedelta(days=30)  # replace a certificate this close to expiry
_TLS_HANDSHAKE = 0x16
_CONNECTION_TIMEOUT = 15.0  # seconds a silent client may hold its thread
_SHUTDOWN_POLL = 0.1  # seconds stop() may wait for the accept loop to notice
_ADDRESS_IN_USE = {errno.EADDRINUSE, getattr(errno, "WSAEADDRINUSE", errno.EADDRINUSE)}


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
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        key = serialization.load_pem_private_key(key_path.read_bytes(), password=None)
    except (OSError, ValueError, TypeError, UnsupportedAlgorithm):
        return False
    if not cert.not_valid_before_utc <= now < cert.not_valid_after_utc - RENEW_BEFORE:
        return False
    spki = serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
    return cert.public_key().public_bytes(*spki) == key.public_key().public_bytes(*spki)


def _new_certificate(now: datetime) -> tuple[bytes, bytes]:
    """A self-signed EC P-256 certificate for localhost: (certificate PEM, key PEM)."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    alt_names = [
        x509.DNSName("localhost"),
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
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_BINARY", 0), mode)
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
    server: _HelpHTTPServer
    server_version = "VARNEL-help"
    sys_version = ""  # do not announce the Python version
    timeout = _CONNECTION_TIMEOUT

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


class _HelpHTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    # On Windows SO_REUSEADDR would let a second server bind a port already in use.
    allow_reuse_address = os.name != "nt"

    def __init__(
        self, address: tuple[str, int], tls: ssl.SSLContext, pages: dict[str, tuple[bytes, str]]
    ) -> None:
        self.tls = tls
        self.pages = pages
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        super().__init__(address, _HelpHandler)

    def server_bind(self) -> None:
        # HTTPServer.server_bind looks up the host's FQDN, which can stall on a
        # machine without working DNS; the name is always localhost here.
        socketserver.TCPServer.server_bind(self)
        self.server_name = "localhost"
        self.server_port = self.server_address[1]

    def finish_request(  # type: ignore[override]
        self, request: socket.socket, client_address: tuple[str, int]
    ) -> None:
        # Runs in the connection's own thread, so a slow client delays no one else.
        connection = self._negotiate(request)
        if connection is None:
            return
        try:
            self.RequestHandlerClass(connection, client_address, self)
        finally:
            if connection is not request:
                self.shutdown_request(connection)

    def _negotiate(self, request: socket.socket) -> socket.socket | None:
        """The connection to speak HTTP on: TLS-wrapped if it opens with a handshake."""
        request.settimeout(_CONNECTION_TIMEOUT)
        try:
            first = request.recv(1, socket.MSG_PEEK)
            if not first:
                return None
            if first[0] != _TLS_HANDSHAKE:
                return request
            return self.tls.wrap_socket(request, server_side=True)
        except OSError as error:  # includes ssl.SSLError and timeouts
            _log.info("help page connection dropped before a request: %s", error)
            return None


class HelpServer:
    """A running help-page server; stop it with stop() or by leaving a `with` block."""

    def __init__(self, httpd: _HelpHTTPServer) -> None:
        self._httpd = httpd
        self._stopped = False
        self._thread = threading.Thread(
            target=httpd.serve_forever, args=(_SHUTDOWN_POLL,), name="varnel-help-page", daemon=True
        )
        self._thread.start()

    @property
    def host(self) -> str:
        return str(self._httpd.server_address[0])

    @property
    def port(self) -> int:
        return int(self._httpd.server_address[1])

    @property
    def url(self) -> str:
        """The page's https:// address, percent-encoded (plain http:// works on the same port)."""
        return f"https://localhost:{self.port}{quote(PAGE_PATH)}"

    def stop(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def __enter__(self) -> HelpServer:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.stop()


def start_help_server(
    port: int = DEFAULT_PORT, cert_dir: Path | None = None, host: str = "127.0.0.1"
) -> HelpServer:
    """Serve the help page on `host`:`port` (port 0 picks a free port) until stopped.

    `host` must be a loopback address. `cert_dir` defaults to the product's
    certificate folder. Raises HelpServerUnavailable when the certificate cannot
    be made or the port cannot be bound.
    """
    if not ipaddress.ip_address(host).is_loopback:
        raise ValueError(f"the help page is served on loopback addresses only, not {host}")
    cert_dir = paths.certificate_folder() if cert_dir is None else Path(cert_dir)
    try:
        pages = _load_pages()
    except OSError as error:
        raise HelpServerUnavailable(f"說明頁面無法啟動：頁面檔案遺失（{error}）") from error
    try:
        tls = _tls_context(cert_dir)
    except (OSError, ValueError) as error:
        raise HelpServerUnavailable(f"說明頁面無法啟動：無法建立或讀取憑證（{error}）") from error
    try:
        httpd = _HelpHTTPServer((host, port), tls, pages)
    except OSError as error:
        if error.errno in _ADDRESS_IN_USE:
            raise HelpServerUnavailable(f"說明頁面無法啟動：連接埠 {port} 已被其他程式使用") from error
        raise HelpServerUnavailable(f"說明頁面無法啟動：無法使用連接埠 {port}（{error}）") from error
    server = HelpServer(httpd)
    _log.info("help page served at %s", server.url)
    return server
