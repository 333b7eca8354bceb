"""A kept connection that the server drops just as the next request goes out: launchers that keep one session
for the run (alone, and with every choice of the recommended preset) send that request once more on a new
connection, silently; a failure on a fresh connection, or after bytes of the answer arrived, ends as before."""
import os
import shutil
import unittest

from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase, manifest_json, sha256_hex
from update_server import Route

BOM = b"\xef\xbb\xbf"
FILE_PATH = "/files/app.dll"
BODY = bytes(range(256)) * 400
BUILDS = ("keep", "recommended")
UPDATE_FAILED = ("Jest dostępna nowa wersja programu (2.0), ale aktualizacja nie powiodła się.\n\n"
                 "Program nie zostanie uruchomiony.\n\n")
UPDATED_LOG = [
    "Start launchera", "Wersja lokalna: 1.0", "Manifest pobrany", "Wersja z manifestu: 2.0",
    "Wykryto nową wersję, rozpoczynam aktualizację", "Przygotowanie katalogu tymczasowego",
    "Pobieranie pliku: app.dll", "SHA-256 poprawny dla: app.dll", "Rozpoczynam podmianę plików",
    "Podmiana pliku: app.dll", "Zapisano nową wersję do current.txt: 2.0", "Aktualizacja zakończona pomyślnie",
    "Uruchamiam program główny", "Koniec pracy launchera"]


class KeptConnectionCase(LauncherTestCase):
    def run_build(self, build, manifest_route, file_route):
        """A fresh AppFolder with 1.0 installed and the launcher of the build, offered 2.0 with app.dll."""
        self.fresh()
        shutil.copy(os.path.join(TEST_BIN, build, "OVANLauncher.exe"), self.app)
        self.write("current.txt", b"1.0")
        manifest_route.body = manifest_json("2.0", [("app.dll", self.server.url(FILE_PATH), sha256_hex(BODY))])
        self.server.routes[MANIFEST_PATH] = manifest_route
        file_route.body = BODY
        self.server.routes[FILE_PATH] = file_route
        connections = self.server.connections
        self.run_launcher()
        return self.server.connections - connections

    def file_requests(self):
        return self.requested().count(FILE_PATH)


class DroppedKeptConnection(KeptConnectionCase):
    def test_request_on_a_dropped_kept_connection_is_sent_again_on_a_new_one(self):
        for build in BUILDS:
            with self.subTest(build):
                connections = self.run_build(build, Route(resets_next=True), Route())
                self.assertEqual(self.exit_code, 0, self.stderr)
                self.assertEqual(self.read("app.dll"), BODY)
                self.assertEqual(self.read("current.txt"), BOM + b"2.0")
                self.assertEqual(self.requested(), [MANIFEST_PATH, FILE_PATH, FILE_PATH])
                self.assertEqual(connections, 2)
                # Nothing in the log tells of the first try.
                self.assertEqual(self.log_entries(), UPDATED_LOG)
                self.assertIsNotNone(self.wait_started())

    def test_other_failures_end_as_before(self):
        """A reset on a fresh connection, a second reset on the new one, and a reset after bytes of the answer
        arrived: the request goes out no more often than without the retry, and the update fails as before.
        A reset right after the request reads under Wine as the reset itself or, when nothing arrived, as 12152
        (which resumed downloads continue, so those cases are left to the build without them)."""
        before_answer = ("WinHttpReceiveResponse nie powiodło się. Connection reset by peer.",
                         "WinHttpReceiveResponse nie powiodło się. kod błędu 12152")
        after_bytes = ("WinHttpQueryDataAvailable nie powiodło się. Connection reset by peer.",)
        cases = [
            # build, label, manifest route, file route, requests for the file, the reasons it may fail with
            ("keep", "reset on a fresh connection", Route(), Route(resets_at_once=True), 1, before_answer),
            ("keep", "reset again on the new connection", Route(resets_next=True), Route(resets_at_once=True), 2,
             before_answer),
            ("keep", "reset after bytes arrived", Route(keep_alive=True), Route(drop_after=1000, reset=True), 1,
             after_bytes),
            ("recommended", "reset after bytes arrived", Route(keep_alive=True), Route(drop_after=1000, reset=True),
             1, after_bytes),
        ]
        for build, label, manifest_route, file_route, requests, reasons in cases:
            with self.subTest(build=build, case=label):
                self.run_build(build, manifest_route, file_route)
                reason = self.log_entries()[-1].split("\n\n")[-1]
                self.assertIn(reason, reasons)
                self.assertFatal(4, UPDATE_FAILED + reason)
                self.assertEqual(self.file_requests(), requests)
                self.assertEqual(self.read("current.txt"), b"1.0")
                self.assertNotIn("app.dll", self.listing())

if __name__ == "__main__":
    unittest.main()
