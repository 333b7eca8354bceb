"""Files streamed to their staging file, sizes from the manifest, and transfers that break inside the body:
the default launcher reports them, one built with OVAN_RESUME_DOWNLOADS=ON continues them with a range
request, in the same run and in the next."""
import os
import shutil
import subprocess
import time

import winetools
from harness import HTTPS_PORT, MANIFEST_PATH, TEST_BIN, LauncherTestCase, manifest_json, sha256_hex, state_file
from nginx_server import NginxServer
from update_server import Route

UPDATE_HEADING = ("Jest dostępna nowa wersja programu (2.0), ale aktualizacja nie powiodła się.\n\n"
                  "Program nie zostanie uruchomiony.\n\n")
BODY = bytes(range(256)) * 4096          # 1 MiB
CUT = 300_000
FILE_PATH = "/files/app.dll"
BROKEN_READ = "WinHttpReadData nie powiodło się. kod błędu 12030"
LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"
# Before the first, second and third continuation of a file.
PAUSES = (1.0, 2.0, 4.0)
# Wine's sleep and this process's clock may disagree by a tick; the gaps also hold each transfer's own time.
CLOCK_TICK = 0.05
# What a body of unknown length leaves free; a volume with room for a little more, and bodies that end this far
# before and after that room (the log's few lines fit easily into the margin).
RESERVE = 64 * 1024 * 1024
VOLUME_MIB = 96
MARGIN = 4 * 1024 * 1024


class DownloadCase(LauncherTestCase):

    def setUp(self):
        super().setUp()
        self.write("current.txt", b"1.0")

    def offer(self, route, size=None, digest=None):
        """Version 2.0 with app.dll served by route; size, when given, stands in the manifest."""
        self.server.routes[FILE_PATH] = route
        entry = ("app.dll", self.server.url(FILE_PATH), digest or sha256_hex(BODY))
        self.serve_manifest(manifest_json("2.0", [entry + ((size,) if size is not None else ())]))

    def run_afresh(self, route, size=None):
        """A table's next case: a fresh AppFolder at 1.0, app.dll offered by route, and a run."""
        self.fresh()
        self.write("current.txt", b"1.0")
        self.offer(route, size=size)
        self.run_launcher()

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
                self.run_afresh(route)
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
                self.run_afresh(route, size)
                self.assertFatal(4, UPDATE_HEADING + text)
                self.assertEqual(self.staged(), [])
                self.assertIn(url, [self.server.url(p) for p, _ in self.server.requests])

    def test_right_size_installs(self):
        self.offer(Route(body=BODY), size=len(BODY))
        self.run_launcher()
        self.assertInstalled()


class SmallVolumeTest(DownloadCase):
    """The AppFolder on a small volume of its own (a tmpfs): a body of unknown length may fill it only up to
    64 MiB below the free space it had when the answer arrived."""

    def setUp(self):
        super().setUp()
        kept = {name: self.read(name) for name in self.listing()}
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % VOLUME_MIB, "tmpfs", self.app], check=True)
        self.addCleanup(subprocess.run, ["umount", "--lazy", self.app], check=True)
        for name, data in kept.items():
            self.write(name, data)

    def test_body_of_unknown_length_keeps_the_reserve_free(self):
        cases = [("ends above the reserve", "", -MARGIN), ("reaches into the reserve", "", MARGIN),
                 ("reaches into the reserve, resumed downloads", "resume", MARGIN)]
        for label, build, beyond_room in cases:
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                shutil.copy(os.path.join(TEST_BIN, build, "OVANLauncher.exe"), self.app)
                body = bytes(shutil.disk_usage(self.app).free - RESERVE + beyond_room)
                self.offer(Route(body=body, content_length=False), digest=sha256_hex(body))
                self.run_launcher()
                if beyond_room < 0:
                    self.assertEqual(self.exit_code, 0, self.stderr)
                    self.assertEqual(os.path.getsize(self.path("app.dll")), len(body))
                    continue
                self.assertFatal(4, UPDATE_HEADING + "Za mało miejsca na dysku, aby pobrać plik: app.dll")
                self.assertEqual(self.staged(), [])
                self.assertNotIn("app.dll", self.listing())


class ResumeTest(DownloadCase):
    launcher_build = "resume"

    def assertContinuedFrom(self, offset):
        self.assertIn("Wznawianie pobierania: app.dll od bajtu %d" % offset, self.log_entries())

    def assertNotContinued(self):
        self.assertEqual([e for e in self.log_entries() if e.startswith("Wznawianie pobierania")], [])

    def assertPaused(self):
        """Each continuation arrived at least its pause after the request before it, as the server saw them."""
        arrivals = [at for (path, _), at in zip(self.server.requests, self.server.arrivals) if path == FILE_PATH]
        gaps = [later - earlier for earlier, later in zip(arrivals, arrivals[1:])]
        for gap, pause in zip(gaps, PAUSES):
            self.assertGreaterEqual(gap, pause - CLOCK_TICK, gaps)

    def test_cut_transfer_continues_in_the_run(self):
        cases = {
            "clean close": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1), None, '"v1"'),
            "reset": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1, reset=True), None, '"v1"'),
            "chunked body cut": (Route(body=BODY, etag='"v1"', chunked=True, chunk_size=65536, drop_after=CUT,
                                       drops=1), len(BODY), '"v1"'),
            "twice": (Route(body=BODY, etag='"v1"', drop_after=CUT, drops=2), None, '"v1"'),
            # The ETag is the stronger validator: the date goes only where there is no ETag.
            "ETag beside Last-Modified": (Route(body=BODY, etag='"v1"', last_modified=LAST_MODIFIED, drop_after=CUT,
                                                drops=1), None, '"v1"'),
            "Last-Modified alone": (Route(body=BODY, last_modified=LAST_MODIFIED, drop_after=CUT, drops=1), None,
                                    LAST_MODIFIED),
        }
        for label, (route, size, validator) in cases.items():
            with self.subTest(label):
                self.run_afresh(route, size)
                self.assertInstalled()
                requests = self.file_requests()
                self.assertNotIn("Range", requests[0])
                for later in requests[1:]:
                    self.assertTrue(later["Range"].startswith("bytes="), later)
                    self.assertEqual(later["If-Range"], validator)
                self.assertEqual(len(requests), 3 if label == "twice" else 2)
                self.assertPaused()
                self.assertEqual(self.staged(), [])

    def test_answers_that_cannot_be_continued_fail_at_once(self):
        cases = {
            "neither ETag nor Last-Modified": Route(body=BODY, drop_after=CUT, drops=1),
            "unknown length": Route(body=BODY, etag='"v1"', content_length=False, drop_after=CUT, drops=1,
                                    reset=True),
        }
        for label, route in cases.items():
            with self.subTest(label):
                self.run_afresh(route)
                self.assertEqual(self.exit_code, 4, self.stderr)
                self.assertEqual(len(self.file_requests()), 1)
                self.assertNotContinued()
                self.assertEqual(self.staged(), [])
                self.assertNotIn("app.dll", self.listing())

    def test_continuation_that_brings_nothing_ends_the_tries(self):
        route = Route(body=BODY, etag='"v1"', drop_after=CUT)
        # Every later answer breaks off before its first byte.
        route.hook = lambda: self.server.routes.__setitem__(FILE_PATH, Route(body=BODY, etag='"v1"', drop_after=0))
        self.offer(route)
        self.run_launcher()
        self.assertFatal(4, UPDATE_HEADING + BROKEN_READ)
        self.assertEqual([r.get("Range") for r in self.file_requests()], [None, "bytes=%d-" % CUT])
        self.assertEqual(self.staged(), ["app.dll.new", "app.dll.new.note"])
        self.assertEqual(os.path.getsize(self.path("_update_tmp", "app.dll.new")), CUT)

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

    def test_range_at_another_offset_or_total_is_refused(self):
        cases = {
            "another offset": Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1, range_shift=1000),
            # The bytes asked for, but of a file of another length than the first answer's.
            "another total": Route(body=BODY, etag='"v1"', drop_after=CUT, drops=1, range_total=len(BODY) + 1),
        }
        for label, route in cases.items():
            with self.subTest(label):
                self.run_afresh(route)
                self.assertFatal(4, UPDATE_HEADING + "Serwer zwrócił HTTP 206 dla " + self.server.url(FILE_PATH))
                self.assertContinuedFrom(CUT)
                self.assertNotIn("app.dll", self.listing())

    def test_three_continuations_at_most_then_the_next_run_continues(self):
        route = Route(body=BODY, etag='"v1"', drop_after=100_000, drops=4)
        self.offer(route)
        self.run_launcher()
        self.assertFatal(4, UPDATE_HEADING + BROKEN_READ)
        self.assertEqual(len(self.file_requests()), 4)
        self.assertPaused()
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

    def test_staged_file_holding_the_whole_length_is_fetched_again(self):
        """A range from the whole length on asks for nothing (real servers answer 416), so such a staged file
        and its note, kept by a run that ended before the digest, are not continued."""
        route = Route(body=BODY, etag='"v1"', drop_after=CUT)
        route.hook = lambda: self.server.routes.__setitem__(FILE_PATH, Route(body=b"busy", status=503))
        self.offer(route)
        self.run_launcher()
        self.assertEqual(self.staged(), ["app.dll.new", "app.dll.new.note"])
        note = self.read(os.path.join("_update_tmp", "app.dll.new.note"))
        for label, staged in {"the whole length": BODY, "more than that": BODY + b"x" * 1000}.items():
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", b"1.0")
                os.mkdir(self.path("_update_tmp"))
                self.write(os.path.join("_update_tmp", "app.dll.new"), staged)
                self.write(os.path.join("_update_tmp", "app.dll.new.note"), note)
                self.offer(Route(body=BODY, etag='"v1"'))
                self.run_launcher()
                self.assertInstalled()
                self.assertEqual([r.get("Range") for r in self.file_requests()], [None])
                self.assertNotContinued()

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

        # Most of 256 MiB through TLS and the digest, which under the emulator take minutes on a busy machine.
        self.run_launcher(timeout=600)

        self.assertEqual(self.exit_code, 0, self.stderr)
        with open(self.path("big.bin"), "rb") as f:
            self.assertTrue(f.read() == data)
        continued = [e for e in self.log_entries() if e.startswith("Wznawianie pobierania: big.bin od bajtu ")]
        self.assertEqual(len(continued), 1)
        offset = int(continued[0].rsplit(" ", 1)[1])
        self.assertGreaterEqual(offset, kept)
        served = [row for row in self.nginx.served() if row.path == "/files/big.bin"]
        self.assertEqual([(row.status, row.size) for row in served], [(206, size - offset)])
