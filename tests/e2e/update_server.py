"""A loopback update server for the tests: chosen bodies and statuses per path, over http or https.

A route can answer slowly, deliver its body in small pieces, drop the connection inside the body
(announcing the whole length but sending less), announce a length of its own and then close or
hold the connection, keep the connection open for the next request, or run a hook before it answers.
The server counts the connections it accepted.
"""
import http.server
import ssl
import sys
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
        route = server.routes.get(path.split("?")[0])
        if route is None:
            route = Route(body=b"not found", status=404)
        if route.hook:
            route.hook()
        if route.delay:
            time.sleep(route.delay)
        self.send_response(route.status)
        for name, value in route.headers.items():
            self.send_header(name, value)
        if route.content_length:
            self.send_header("Content-Length", str(len(route.body) if route.length is None else route.length))
        if not route.keep_alive:
            self.send_header("Connection", "close")
        self.end_headers()
        body = route.body if route.drop_after is None else route.body[:route.drop_after]
        step = route.chunk_size or max(len(body), 1)
        for start in range(0, len(body), step):
            self.wfile.write(body[start:start + step])
            self.wfile.flush()
            if route.chunk_delay:
                time.sleep(route.chunk_delay)
        if route.hold:
            time.sleep(route.hold)
        self.close_connection = not route.keep_alive


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
        self.httpd.connections = 0
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
    def connections(self):
        return self.httpd.connections

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
