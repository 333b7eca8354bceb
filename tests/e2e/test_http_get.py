"""httpGet on its own, through ovan_http_probe: the body it hands back and the wording of each way a
download fails, against loopback servers over https, plain http and an untrusted certificate."""
import os

import winetools
from harness import TEST_BIN, LauncherTestCase, state_file
from update_server import Route, UpdateServer

PROBE = os.path.join(TEST_BIN, "ovan_http_probe.exe")
SENTINEL = "<nietknięty>"
# Every byte value, zeros included, and large enough to span many reads.
BODY = bytes(range(256)) * 1200
NOT_SPLIT = "Nie udało się zinterpretować URL: "


class HttpGetTest(LauncherTestCase):
    with_application = False

    def second_server(self, *cert):
        """Another loopback server on a free port: plain http, or https with the given certificate."""
        server = UpdateServer(0, *cert)
        self.addCleanup(server.stop)
        return server

    def get_all(self, urls, keep):
        """Downloads urls in one probe, on one kept session or each on its own: (succeeded, error text, bodies)."""
        paths = [self.path("body%d.bin" % i) for i in range(len(urls))]
        args = [PROBE] + (["--keep"] if keep else [])
        for url, path in zip(urls, paths):
            args += [url, winetools.win_path(path)]
        result = winetools.run_windows(args)
        self.assertIn(result.returncode, (0, 1), result)
        bodies = [self.read(os.path.basename(path)) if os.path.exists(path) else None for path in paths]
        return result.returncode == 0, result.stdout.decode("utf-8"), bodies

    def get(self, url):
        """(succeeded, error text, body written or None)."""
        body_path = self.path("body.bin")
        if os.path.exists(body_path):
            os.remove(body_path)
        result = winetools.run_windows([PROBE, url, winetools.win_path(body_path)])
        self.assertIn(result.returncode, (0, 1), result)
        body = self.read("body.bin") if os.path.exists(body_path) else None
        return result.returncode == 0, result.stdout.decode("utf-8"), body

    def test_body_arrives_byte_exact(self):
        plain = self.second_server()
        cases = [
            ("empty body", self.server, Route(body=b"")),
            ("many small pieces", self.server, Route(body=BODY, chunk_size=997, chunk_delay=0.002)),
            ("no announced length", self.server, Route(body=BODY, content_length=False, chunk_size=4096)),
            ("plain http on its own port", plain, Route(body=BODY, chunk_size=997, chunk_delay=0.002)),
        ]
        for label, server, route in cases:
            with self.subTest(label):
                server.routes["/files/body.bin"] = route
                self.assertEqual(self.get(server.url("/files/body.bin")), (True, SENTINEL, route.body))
                path, headers = server.requests[-1]
                self.assertEqual(path, "/files/body.bin")
                self.assertEqual(headers.get("User-Agent"), "OVANLauncher/1.0")

    def test_status_other_than_200_is_refused(self):
        cases = [
            (404, Route(status=404, body=b"not found")),
            (204, Route(status=204)),
            (206, Route(status=206, body=b"abc", headers={"Content-Range": "bytes 0-2/10"})),
            (201, Route(status=201, body=b"created")),
            (500, Route(status=500, body=b"oops")),
        ]
        # The query stays in the text: the address is quoted as it was given.
        url = self.server.url("/files/app.dll?v=2")
        for status, route in cases:
            with self.subTest(status=status):
                self.server.routes["/files/app.dll"] = route
                self.assertEqual(self.get(url), (False, "Serwer zwrócił HTTP %d dla %s" % (status, url), None))

    def test_connection_dropped_inside_the_body(self):
        plain = self.second_server()
        cases = [
            ("before the first byte", self.server, 0),
            ("midway over https", self.server, 5000),
            ("midway over http", plain, len(BODY) - 1),
        ]
        for label, server, sent in cases:
            with self.subTest(label):
                server.routes["/files/app.dll"] = Route(body=BODY, drop_after=sent, chunk_size=4096)
                self.assertEqual(self.get(server.url("/files/app.dll")),
                                 (False, "WinHttpReadData nie powiodło się. kod błędu 12030", None))

    def test_untrusted_certificate_is_refused(self):
        untrusted = self.second_server(state_file("untrusted.pem"), state_file("untrusted.key"))
        untrusted.routes["/files/app.dll"] = Route(body=BODY)
        self.assertEqual(self.get(untrusted.url("/files/app.dll")),
                         (False, "WinHttpSendRequest nie powiodło się. kod błędu 12157", None))
        self.assertEqual(untrusted.requests, [])

    def test_address_that_cannot_be_split(self):
        cases = [
            "nie-url",
            "",
            "ftp://127.0.0.1/app.dll",
            "https://" + "a" * 256 + "/app.dll",
            self.server.url("/" + "a" * 2047),
        ]
        for url in cases:
            with self.subTest(url=url[:40]):
                self.assertEqual(self.get(url), (False, NOT_SPLIT + url, None))
        self.assertEqual(self.server.requests, [])

    def test_longest_host_and_path_still_split(self):
        # One character less than the buffers hold: the address is split and the request goes out.
        path = "/" + "a" * 2046
        self.assertEqual(self.get(self.server.url(path)),
                         (False, "Serwer zwrócił HTTP 404 dla " + self.server.url(path), None))
        self.assertEqual(self.requested(), [path])
        self.assertEqual(self.get("https://" + "a" * 255 + "/app.dll"),
                         (False, "WinHttpSendRequest nie powiodło się. kod błędu 12007", None))

    def test_kept_session_reuses_a_connection_the_server_keeps(self):
        bodies = [BODY[i:] for i in range(3)]
        cases = [
            # (label, server keeps the connection, connections expected)
            ("server keeps connections", True, 1),
            ("server closes each connection", False, 3),
        ]
        for label, keep_alive, connections in cases:
            with self.subTest(label):
                self.fresh()
                urls = []
                for i, body in enumerate(bodies):
                    self.server.routes["/files/%d.bin" % i] = Route(body=body, chunk_size=4096, keep_alive=keep_alive)
                    urls.append(self.server.url("/files/%d.bin" % i))
                self.server.httpd.connections = 0
                self.assertEqual(self.get_all(urls, keep=True), (True, SENTINEL, bodies))
                self.assertEqual(self.server.connections, connections)
                self.assertEqual(self.requested(), ["/files/%d.bin" % i for i in range(3)])
                for _, headers in self.server.requests:
                    self.assertEqual(headers.get("User-Agent"), "OVANLauncher/1.0")
