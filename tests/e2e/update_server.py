"""A loopback update server for the tests: chosen bodies and statuses per path, over http or https.

A route can answer slowly, deliver its body in small pieces, drop the connection inside the body
(announcing the whole length but sending less), or run a hook before it answers.
"""
import http.server
import ssl
import threading
import time
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
    hook: Optional[Callable[[], None]] = None


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        server.requests.append((self.path, dict(self.headers)))
        route = server.routes.get(self.path.split("?")[0])
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
            self.send_header("Content-Length", str(len(route.body)))
        self.send_header("Connection", "close")
        self.end_headers()
        body = route.body if route.drop_after is None else route.body[:route.drop_after]
        step = route.chunk_size or max(len(body), 1)
        for start in range(0, len(body), step):
            self.wfile.write(body[start:start + step])
            self.wfile.flush()
            if route.chunk_delay:
                time.sleep(route.chunk_delay)
        self.close_connection = True


class UpdateServer:
    """Serves routes on 127.0.0.1:port; certfile/keyfile make it https."""

    def __init__(self, port, certfile=None, keyfile=None):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.requests = []
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

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
