"""The run as a user sees it before any download: the single-instance lock, the installed version,
update.log bytes and the fatal report."""
import os
import re
import signal
import threading
import time

import winetools
from harness import LauncherTestCase, MANIFEST_PATH, manifest_json
from update_server import Route

CURRENT = ["Wersja lokalna jest aktualna", "Uruchamiam program główny", "Koniec pracy launchera"]
UNREADABLE = "Nie udało się odczytać pliku current.txt"


class RunSequenceTest(LauncherTestCase):

    def serve_current(self, version="1.0.0"):
        """A manifest that offers nothing newer, so the run ends by starting the application."""
        self.serve_manifest(manifest_json(version, [("a.dll", self.server.url("/files/a.dll"), "00")]))

    def test_second_launcher_is_refused_while_the_first_runs(self):
        self.write("current.txt", b"1.0.0")
        self.serve_current()
        answer = threading.Event()
        self.addCleanup(answer.set)
        self.server.routes[MANIFEST_PATH].hook = lambda: answer.wait(60)
        first = winetools.start_windows([self.path("OVANLauncher.exe")], cwd=self.app)
        deadline = time.time() + 30
        while not self.server.requests and time.time() < deadline:
            time.sleep(0.02)
        self.assertTrue(self.server.requests, "the first launcher never asked for the manifest")
        # The first stays stopped while the second runs, however long that takes: no wait of its own for the
        # answer can run out meanwhile. It goes on once the answer lies in its socket.
        os.kill(first.pid, signal.SIGSTOP)
        self.addCleanup(lambda: first.poll() is None and os.kill(first.pid, signal.SIGCONT))
        log_before = self.log_bytes()

        self.run_launcher()
        self.assertEqual(self.exit_code, 10)
        self.assertEqual(self.stderr, b"")
        self.assertEqual(self.log_bytes(), log_before)
        self.assertEqual(len(self.server.requests), 1)
        self.assertIsNone(self.started())

        answer.set()
        deadline = time.time() + 30
        while not self.server.body_bytes and time.time() < deadline:
            time.sleep(0.02)
        os.kill(first.pid, signal.SIGCONT)
        self.assertEqual(first.wait(60), 0)
        self.assertEqual(self.log_entries(), ["Start launchera", "Wersja lokalna: 1.0.0", "Manifest pobrany",
                                              "Wersja z manifestu: 1.0.0"] + CURRENT)
        # The lock went with the first launcher: the next one runs.
        self.run_launcher()
        self.assertEqual(self.exit_code, 0)

    def test_version_file_failures_end_with_1(self):
        cases = [
            ("not UTF-8", b"\xe9" b"1.0", UNREADABLE),
            ("UTF-16", "1.0".encode("utf-16"), UNREADABLE),
            ("zero bytes", b"", "Plik current.txt jest pusty"),
            ("mark and blanks only", b"\xef\xbb\xbf \r\n\t", "Plik current.txt jest pusty"),
            ("folder of that name", None, UNREADABLE),
        ]
        for label, content, text in cases:
            with self.subTest(label):
                self.fresh()
                self.serve_current()
                if content is None:
                    os.mkdir(self.path("current.txt"))
                else:
                    self.write("current.txt", content)
                self.run_launcher()
                self.assertFatal(1, text)
                self.assertEqual(self.log_entries(), ["Start launchera", "FATAL: " + text])
                self.assertEqual(self.server.requests, [])
                if content is not None:
                    self.assertEqual(self.read("current.txt"), content)

    def test_missing_version_file_counts_as_0_0_0(self):
        self.serve_current("0.0.0")
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.log_entries()[:4], ["Start launchera", "Wersja lokalna: 0.0.0", "Manifest pobrany",
                                                  "Wersja z manifestu: 0.0.0"])
        self.assertFalse(os.path.exists(self.path("current.txt")))

    def test_log_bytes_are_appended_entries_in_utf8_with_crlf(self):
        self.write("update.log", b"stary wpis\r\n")
        self.write("current.txt", b"\xef\xbb\xbf1.0-\xc5\x82\r\n")
        self.serve_manifest(b"", status=404)
        self.run_launcher()
        log = self.log_bytes()
        self.assertTrue(log.startswith(b"stary wpis\r\n"))
        stamp = rb"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] "
        expected = (rb"stary wpis\r\n" + stamp + rb"Start launchera\r\n" + stamp +
                    "Wersja lokalna: 1.0-ł\r\n".encode("utf-8") + stamp +
                    "FATAL: Nie udało się pobrać manifestu aktualizacji.\r\n\r\nSerwer zwrócił HTTP 404 dla "
                    .encode("utf-8") + re.escape(self.server.url(MANIFEST_PATH).encode()) + rb"\r\n")
        self.assertRegex(log, b"\\A" + expected + b"\\Z")
        self.assertEqual(self.exit_code, 2)
        self.assertEqual(self.stderr, "Nie udało się pobrać manifestu aktualizacji.\r\n\r\nSerwer zwrócił HTTP 404 dla "
                         .encode("utf-8") + self.server.url(MANIFEST_PATH).encode() + b"\r\n")

    def test_log_that_cannot_be_written_changes_nothing_else(self):
        os.mkdir(self.path("update.log"))
        self.write("current.txt", b"1.0.0")
        self.serve_current()
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.stderr, b"")
        self.assertEqual(self.wait_started(), ('"%s" /start' % self.win("Pellaron.exe"), self.win()))
        self.assertTrue(os.path.isdir(self.path("update.log")))
        self.assertEqual(os.listdir(self.path("update.log")), [])
        # A failure is still reported on standard error.
        os.remove(self.path("current.txt"))
        self.write("current.txt", b"")
        os.remove(self.path("started.txt"))
        self.run_launcher()
        self.assertEqual(self.exit_code, 1)
        self.assertEqual(self.stderr, b"Plik current.txt jest pusty\r\n")

    def test_launcher_in_a_drive_root(self):
        drive = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "r:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(self.app, drive)
        self.addCleanup(os.remove, drive)
        self.write("current.txt", b"1.0.0")
        self.serve_current()
        result = winetools.run_windows(["R:\\OVANLauncher.exe"], cwd=self.app)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.wait_started(), ('"R:\\Pellaron.exe" /start', "R:\\"))
        self.assertEqual(self.log_entries()[-3:], CURRENT)
