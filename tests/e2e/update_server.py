"""A loopback update server for the tests: chosen bodies and statuses per path, over http or https.

A route can answer slowly, deliver its body in small pieces, drop the connection inside the body
(announcing the whole length but sending less), announce a length of its own and then close or
hold the connection, keep the connection open for the next request, or run a hook before it answers.
A route can also send its body chunked, end a dropped connection with a reset, and answer
"Range: bytes=N-" with a 206 as a server with ETag and If-Range does (or with a 206 at another offset).
The server counts the connections it accepted.
"""
import fcntl
import http.server
import socket
import ssl
import struct
import sys
import termios
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from typing import Callable, Optional


@dataclass
class Route:
    body: bytes = b""
    status: int = 200
    headers: dict = field(default_factory=dict)
    chunk_size: Optional[int] = None      # send the body in pieces of this size
    chunk_delay: float = 0.0              # pause between pieces
    delay: float = 0.0                    # pause before the status line
    drop_after: Optional[int] = None      # close the connection after this many body bytes
    content_length: bool = True           # announce Content-Length (else close-delimited)
    length: Optional[int] = None          # the Content-Length to announce instead of the body's
    hold: float = 0.0                     # keep the connection open this long after the body
    keep_alive: bool = False              # leave the connection open for the next request
    hook: Optional[Callable[[], None]] = None
    chunked: bool = False                 # Transfer-Encoding: chunked, one chunk a piece
    reset: bool = False                   # a dropped connection ends with a reset, not a clean close
    drops: Optional[int] = None           # drop only this many answers, then send whole ones
    etag: Optional[str] = None            # send this ETag and answer ranges that If-Range allows
    range_shift: int = 0                  # a 206 starts this many bytes later than asked
    closes_when_idle: bool = False        # promise to keep the connection, then close it after the body


def _asked_offset(route, headers):
    """The offset a range request may be answered from, or None for a whole answer."""
    asked = headers.get("Range", "")
    if route.etag is None or not asked.startswith("bytes=") or not asked.endswith("-"):
        return None
    if headers.get("If-Range", route.etag) != route.etag:
        return None
    return int(asked[len("bytes="):-1])


def _origin_form(target):
    """The path of a request target; a client behind a proxy may send the absolute address, as servers accept."""
    parts = urllib.parse.urlsplit(target)
    if not parts.scheme:
        return target
    return (parts.path or "/") + ("?" + parts.query if parts.query else "")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes: without this, a kept connection waits for the
    # client's delayed acknowledgement before every body.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.lock:
            self.server.connections += 1

    def do_GET(self):
        server = self.server
        path = _origin_form(self.path)
        server.requests.append((path, dict(self.headers)))
        server.arrivals.append(time.monotonic())
        route = server.routes.get(path.split("?")[0])
        if route is None:
            route = Route(body=b"not found", status=404)
        if route.hook:
            route.hook()
        if route.delay:
            time.sleep(route.delay)
        offset = _asked_offset(route, self.headers)
        whole = route.body if offset is None else route.body[offset + route.range_shift:]
        self.send_response(route.status if offset is None else 206)
        for name, value in route.headers.items():
            self.send_header(name, value)
        if route.etag is not None:
            self.send_header("ETag", route.etag)
        if offset is not None:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (offset + route.range_shift, len(route.body) - 1,
                                                                  len(route.body)))
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.content_length:
            self.send_header("Content-Length", str(len(whole) if route.length is None else route.length))
        if not route.keep_alive and not route.closes_when_idle:
            self.send_header("Connection", "close")
        self.end_headers()
        dropped = route.drop_after is not None and (route.drops is None or route.drops > 0)
        if dropped and route.drops is not None:
            route.drops -= 1
        body = whole[:route.drop_after] if dropped else whole
        step = route.chunk_size or max(len(body), 1)
        for start in range(0, len(body), step):
            piece = body[start:start + step]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if route.chunked else piece)
            self.wfile.flush()
            with server.lock:
                server.body_bytes += len(piece)
            if route.chunk_delay:
                time.sleep(route.chunk_delay)
        if route.chunked and not dropped:
            self.wfile.write(b"0\r\n\r\n")
        if dropped and route.reset:
            _wait_until_taken(self.request)
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.request.close()
        if route.hold:
            time.sleep(route.hold)
        if route.closes_when_idle:
            # A TLS close alert as a server's idle timeout sends it.
            self.request.unwrap()
        self.close_connection = not route.keep_alive or dropped


def _wait_until_taken(connection, timeout=10):
    """Until the client has taken every byte sent, and a moment more to read them: a reset makes the
    client drop what it has not read yet, and a slow client would then lose the answer's head instead of
    seeing its body break off. For a body larger than a fresh connection's receive buffer (128 KiB here; the
    tests cut at 300,000 bytes) an empty send queue also means the client has been reading it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        unsent = struct.unpack("i", fcntl.ioctl(connection.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
        if unsent == 0:
            break
        time.sleep(0.005)
    time.sleep(0.1)


class _Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that goes away in the middle of an answer is what many tests make it do.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


class UpdateServer:
    """Serves routes on 127.0.0.1:port; certfile/keyfile make it https."""

    def __init__(self, port, certfile=None, keyfile=None):
        self.httpd = _Server(("127.0.0.1", port), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.requests = []
        # When each request arrived (time.monotonic()), in the order of requests.
        self.httpd.arrivals = []
        self.httpd.connections = 0
        self.httpd.body_bytes = 0
        self.httpd.lock = threading.Lock()
        if certfile:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certfile, keyfile)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.scheme = "https" if certfile else "http"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def routes(self):
        return self.httpd.routes

    @property
    def requests(self):
        return self.httpd.requests

    @property
    def arrivals(self):
        return self.httpd.arrivals

    @property
    def body_bytes(self):
        """Body bytes sent in all answers so far."""
        return self.httpd.body_bytes

    @property
    def connections(self):
        return self.httpd.connections

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
