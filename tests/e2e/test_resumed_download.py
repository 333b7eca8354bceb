"""Files streamed to their staging file, sizes from the manifest, and transfers that break inside the body:
the default launcher reports them, one built with OVAN_RESUME_DOWNLOADS=ON continues them with a range
request, in the same run and in the next."""
import os
import shutil
import subprocess
import time

import winetools
from harness import HTTPS_PORT, MANIFEST_PATH, LauncherTestCase, manifest_json, sha256_hex, state_file
from nginx_server import NginxServer
from update_server import Route

UPDATE_HEADING = ("Jest dostępna nowa wersja programu (2.0), ale aktualizacja nie powiodła się.\n\n"
                  "Program nie zostanie uruchomiony.\n\n")
BODY = bytes(range(256)) * 4096          # 1 MiB
CUT = 300_000
FILE_PATH = "/files/app.dll"
BROKEN_READ = "WinHttpReadData nie powiodło się. kod błędu 12030"


class DownloadCase(LauncherTestCase):

    def setUp(self):
        super().setUp()
        self.write("current.txt", b"1.0")

    def offer(self, route, size=None, digest=None):
        """Version 2.0 with app.dll served by route; size, when given, stands in the manifest."""
        self.server.routes[FILE_PATH] = route
        entry = ("app.dll", self.server.url(FILE_PATH), digest or sha256_hex(BODY))
        self.serve_manifest(manifest_json("2.0", [entry + ((size,) if size is not None else ())]))

    def file_requests(self):
        return [headers for path, headers in self.server.requests if path == FILE_PATH]

    def assertInstalled(self):
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.dll"), BODY)
        self.assertEqual(self.read("current.txt"), b"\xef\xbb\xbf2.0")

    def staged(self):
        folder = self.path("_update_tmp")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class DefaultBuildTest(DownloadCase):
    """Without the option: nothing is continued and a failed download leaves nothing behind."""

    def test_broken_body_fails_and_leaves_nothing(self):
        cases = {
            "clean close": (Route(body=BODY, drop_after=CUT), BROKEN_READ),
            "reset": (Route(body=BODY, drop_after=CUT, reset=True), None),
        }
        for label, (route, text) in cases.items():
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                self.offer(route)
                self.run_launcher()
                self.assertEqual(self.exit_code, 4, self.stderr)
                if text:
                    self.assertFatal(4, UPDATE_HEADING + text)
                # Which of the two body calls meets the reset depends on whether the client was waiting for data.
                self.assertRegex(self.log_entries()[-1], r"WinHttp(ReadData|QueryDataAvailable) nie powiodło się\.")
                self.assertEqual(self.staged(), [])
                self.assertEqual(len(self.file_requests()), 1)
                self.assertNotIn("app.dll", self.listing())

    def test_manifest_size_checks_the_answer(self):
        url = self.server.url(FILE_PATH)
        cases = {
            "Content-Length differs": (Route(body=BODY, length=len(BODY) + 1, drop_after=len(BODY)), len(BODY),
                                       "Serwer podał długość 1048577 B zamiast 1048576 B podanych w manifeście "
                                       "dla pliku: app.dll"),
            "body runs past the size": (Route(body=BODY, content_length=False), len(BODY) - 1,
                                        "Serwer wysłał więcej niż 1048575 B podanych w manifeście dla pliku: app.dll"),
            "body ends short of the size": (Route(body=BODY, content_length=False), len(BODY) + 1,
                                            "Serwer wysłał 1048576 B zamiast 1048577 B podanych w manifeście "
                                            "dla pliku: app.dll"),
            "chunked body cut": (Route(body=BODY, chunked=True, chunk_size=65536, drop_after=CUT), len(BODY),
                                 "Serwer wysłał 300000 B zamiast 1048576 B podanych w manifeście dla pliku: app.dll"),
        }
        for label, (route, size, text) in cases.items():
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                self.offer(route, size=size)
                self.run_launcher()
                self.assertFatal(4, UPDATE_HEADING + text)
                self.assertEqual(self.staged(), [])
                self.assertIn(url, [self.server.url(p) for p, _ in self.server.requests])

    def test_right_size_installs(self):
        self.offer(Route(body=BODY), size=len(BODY))
        self.run_launcher()
        self.assertInstalled()


class ResumeTest(DownloadCase):
    launcher_build = "resume"

    def assertContinuedFrom(self, offset):
        self.assertIn("Wznawianie pobierania: app.dll od bajtu %d" % offset, self.log_entries())

    def test_cut_transfer_continues_in_the_run(self):
        cases = {
            "clean close": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1), None),
            "reset": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1, reset=True), None),
            "chunked body cut": (Route(body=BODY, etag='"v1"', chunked=True, chunk_size=65536, drop_after=CUT,
                                       drops=1), len(BODY)),
            "twice": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=2), None),
        }
        for label, (route, size) in cases.items():
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                self.offer(route, size=size)
                self.run_launcher()
                self.assertInstalled()
                requests = self.file_requests()
                self.assertNotIn("Range", requests[0])
                for later in requests[1:]:
                    self.assertTrue(later["Range"].startswith("bytes="), later)
                    self.assertEqual(later["If-Range"], '"v1"')
                self.assertEqual(len(requests), 3 if label == "twice" else 2)
                self.assertEqual(self.staged(), [])

    def test_changed_or_ignoring_server_starts_over(self):
        cases = {
            # Old bytes under the old validator are cut; If-Range then gets the whole changed file.
            "file changed": Route(body=b"\0" * len(BODY), etag='"v1"', drop_after=CUT),
            "Range ignored": Route(body=BODY, headers={"ETag": '"v1"'}, drop_after=CUT, drops=1),
        }
        for label, route in cases.items():
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                self.offer(route)
                if label == "file changed":
                    route.hook = lambda: self.server.routes.__setitem__(FILE_PATH, Route(body=BODY, etag='"v2"'))
                self.run_launcher()
                self.assertInstalled()
                requests = self.file_requests()
                self.assertEqual(len(requests), 2)
                self.assertEqual(requests[1]["If-Range"], '"v1"')
                self.assertContinuedFrom(CUT)

    def test_range_at_the_wrong_offset_is_refused(self):
        self.offer(Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1, range_shift=1000))
        self.run_launcher()
        self.assertFatal(4, UPDATE_HEADING + "Serwer zwrócił HTTP 206 dla " + self.server.url(FILE_PATH))
        self.assertContinuedFrom(CUT)

    def test_three_continuations_at_most_then_the_next_run_continues(self):
        route = Route(body=BODY, etag='"v1"', drop_after=100_000, drops=4)
        self.offer(route)
        self.run_launcher()
        self.assertFatal(4, UPDATE_HEADING + BROKEN_READ)
        self.assertEqual(len(self.file_requests()), 4)
        self.assertEqual(self.staged(), ["app.dll.new", "app.dll.new.note"])
        self.assertEqual(os.path.getsize(self.path("_update_tmp", "app.dll.new")), 400_000)
        # Something the launcher did not leave is cleared as before.
        self.write("_update_tmp/stray.bin", b"x")
        self.server.requests.clear()
        self.run_launcher()
        self.assertInstalled()
        self.assertContinuedFrom(400_000)
        self.assertEqual([r["Range"] for r in self.file_requests()], ["bytes=400000-"])
        self.assertFalse(os.path.exists(self.path("_update_tmp")))

    def test_partial_file_of_another_entry_is_dropped(self):
        route = Route(body=BODY, etag='"v1"', drop_after=100_000, drops=4)
        self.offer(route)
        self.run_launcher()
        self.assertEqual(self.staged(), ["app.dll.new", "app.dll.new.note"])
        # The next release offers other bytes under the same name: they are fetched whole.
        other = BODY[::-1]
        self.server.routes[FILE_PATH] = Route(body=other, etag='"v2"')
        self.serve_manifest(manifest_json("2.0", [("app.dll", self.server.url(FILE_PATH), sha256_hex(other))]))
        self.server.requests.clear()
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.dll"), other)
        self.assertNotIn("Range", self.file_requests()[0])


class ResumeOnKeptConnectionTest(DownloadCase):
    """A kept connection the server closed while idle fails the next request under Wine (12152) when Wine has
    not yet seen the close: that request is sent again on a new connection at once, before any continuation."""
    launcher_build = "resume_keep"

    def test_stale_kept_connection_is_retried(self):
        second = BODY[::-1]
        self.server.routes[FILE_PATH] = Route(body=BODY, closes_when_idle=True)
        self.server.routes["/files/b.dll"] = Route(body=second)
        self.serve_manifest(manifest_json("2.0", [("app.dll", self.server.url(FILE_PATH), sha256_hex(BODY)),
                                                  ("b.dll", self.server.url("/files/b.dll"), sha256_hex(second))]))
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("b.dll"), second)
        self.assertEqual(self.read("app.dll"), BODY)
        self.assertNotIn("Wznawianie pobierania: b.dll od bajtu 0", self.log_entries())


class ResumeAfterKillTest(LauncherTestCase):
    """nginx serves ranges itself: a launcher killed in the middle of a large file continues it at the next start."""
    launcher_build = "resume"
    with_update_server = False

    def setUp(self):
        super().setUp()
        self.write("current.txt", b"1.0")
        self.site = self.app + "-nginx"
        shutil.rmtree(self.site, ignore_errors=True)
        self.nginx = NginxServer(HTTPS_PORT, os.path.join(self.site, "root"), state_file("server.pem"),
                                 state_file("server.key"), self.site)
        self.addCleanup(self.nginx.stop)

    def kill_while_staging(self, staged, after_bytes):
        """Starts the launcher and kills it once the staging file holds more than after_bytes."""
        launcher = subprocess.Popen([winetools.wine(), self.path("OVANLauncher.exe")], cwd=self.app,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and launcher.poll() is None:
            if os.path.exists(staged) and os.path.getsize(staged) > after_bytes:
                launcher.kill()
                break
            time.sleep(0.005)
        launcher.wait()
        return os.path.getsize(staged) if os.path.exists(staged) else 0

    def test_killed_run_is_continued_by_the_next(self):
        size = 256 * 1024 * 1024
        data = os.urandom(1024 * 1024) * (size // (1024 * 1024))
        for path in ("/files/big.bin", MANIFEST_PATH):
            os.makedirs(os.path.dirname(self.nginx.file(path)), exist_ok=True)
        with open(self.nginx.file("/files/big.bin"), "wb") as f:
            f.write(data)
        manifest = manifest_json("2.0", [("big.bin", self.nginx.url("/files/big.bin"), sha256_hex(data), size)])
        with open(self.nginx.file(MANIFEST_PATH), "wb") as f:
            f.write(manifest)
        kept = self.kill_while_staging(self.path("_update_tmp", "big.bin.new"), 8 * 1024 * 1024)
        self.assertGreater(kept, 0)
        self.assertLess(kept, size)
        # nginx logs the cut answer once it notices that the client is gone.
        deadline = time.monotonic() + 10
        while "/files/big.bin" not in self.nginx.requested() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.nginx.clear_log()

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        with open(self.path("big.bin"), "rb") as f:
            self.assertTrue(f.read() == data)
        continued = [e for e in self.log_entries() if e.startswith("Wznawianie pobierania: big.bin od bajtu ")]
        self.assertEqual(len(continued), 1)
        offset = int(continued[0].rsplit(" ", 1)[1])
        self.assertGreaterEqual(offset, kept)
        served = [row for row in self.nginx.served() if row.path == "/files/big.bin"]
        self.assertEqual([(row.status, row.size) for row in served], [(206, size - offset)])
