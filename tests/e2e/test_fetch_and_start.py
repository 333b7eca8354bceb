"""The launcher's run when no update is due: the manifest fetched and read, the main application
started from its own folder; and the runs that end early because the manifest or the application
is not usable."""
import os
import shutil

from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase, manifest_json, sha256_hex
from update_server import Route

BOM = b"\xef\xbb\xbf"
NEW_APP = b"MZ a newer build that must not be fetched"
# Files the run leaves behind by design; everything else must stay as it was.
RUN_RECORDS = {"update.log", "started.txt"}


class FetchAndStartTest(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.write("current.txt", BOM + b"1.0.0")
        self.elsewhere = self.app + "-elsewhere"
        os.makedirs(self.elsewhere, exist_ok=True)

    def offer(self, version):
        """A manifest of this version whose files, if fetched, would replace the application."""
        self.serve_release(version, {"Pellaron.exe": NEW_APP, "app.dll": b"library"})

    def snapshot(self):
        state = {}
        for root, folders, files in os.walk(self.app):
            for name in folders:
                state[os.path.relpath(os.path.join(root, name), self.app) + "/"] = None
            for name in files:
                relative = os.path.relpath(os.path.join(root, name), self.app)
                if relative not in RUN_RECORDS:
                    with open(os.path.join(root, name), "rb") as f:
                        state[relative] = f.read()
        return state

    def fresh_run(self, cwd=None):
        for name in RUN_RECORDS:
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        self.server.requests.clear()
        before = self.snapshot()
        self.run_launcher(cwd=cwd)
        self.assertEqual(self.snapshot(), before)

    def test_no_newer_version_starts_the_application_and_changes_nothing(self):
        base = self.app
        cases = [
            ("same version", "same", "1.2.0", "1.2.0"),
            ("older version offered", "older", "1.2.0", "1.1.9"),
            ("blanks and Polish letters in the folder", os.path.join("Moje programy", "Gra źdźbło ąę"), "2.0", "2.0"),
        ]
        for label, folder, installed, offered in cases:
            with self.subTest(label):
                self.app = os.path.join(base, folder)
                os.makedirs(self.app)
                shutil.copy(os.path.join(TEST_BIN, "OVANLauncher.exe"), self.app)
                shutil.copy(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), self.path("Pellaron.exe"))
                self.write("current.txt", BOM + installed.encode())
                self.offer(offered)

                self.fresh_run(cwd=self.elsewhere)

                self.assertEqual(self.exit_code, 0, self.stderr)
                self.assertEqual(self.stderr, b"")
                self.assertEqual(self.log_entries(), [
                    "Start launchera",
                    "Wersja lokalna: " + installed,
                    "Manifest pobrany",
                    "Wersja z manifestu: " + offered,
                    "Wersja lokalna jest aktualna",
                    "Uruchamiam program główny",
                    "Koniec pracy launchera",
                ])
                self.assertEqual(self.requested(), [MANIFEST_PATH])
                self.assertEqual(self.wait_started(), ('"%s" /start' % self.win("Pellaron.exe"), self.win()))

    def test_manifest_that_cannot_be_fetched(self):
        good = manifest_json("2.0", [("app.dll", self.server.url("/files/app.dll"), sha256_hex(b"x"))])
        url = self.server.url(MANIFEST_PATH)
        cases = [
            ("missing", Route(status=404, body=b"not found"), "Serwer zwrócił HTTP 404 dla " + url),
            ("not UTF-8", Route(body=good.replace(b"2.0", b"2.\xff")), "Manifest nie jest poprawnym UTF-8."),
            ("cut inside a character", Route(body=BOM + good + "ą".encode()[:1]), "Manifest nie jest poprawnym UTF-8."),
            ("connection dropped", Route(body=good, drop_after=20), "WinHttpReadData nie powiodło się. kod błędu 12030"),
        ]
        for label, route, reason in cases:
            with self.subTest(label):
                self.server.routes[MANIFEST_PATH] = route
                self.fresh_run()
                self.assertFatal(2, "Nie udało się pobrać manifestu aktualizacji.\n\n" + reason)
                self.assertEqual(self.log_entries()[:-1], ["Start launchera", "Wersja lokalna: 1.0.0"])
                self.assertEqual(self.requested(), [MANIFEST_PATH])

    def test_manifest_that_is_refused(self):
        url = self.server.url("/files/app.dll")
        self.server.routes["/files/app.dll"] = Route(body=b"x")
        digest = sha256_hex(b"x")
        cases = [
            ("empty body", b""),
            ("byte-order mark only", BOM),
            ("name reaching out of the folder", manifest_json("2.0", [("..\\\\x.dll", url, digest)])),
            ("names differing only in case", manifest_json("2.0", [("app.dll", url, digest),
                                                                   ("APP.DLL", url, digest)])),
        ]
        for label, body in cases:
            with self.subTest(label):
                self.serve_manifest(body)
                self.fresh_run()
                self.assertFatal(3, "Manifest aktualizacji jest niepoprawny.")
                self.assertEqual(self.log_entries()[:-1],
                                 ["Start launchera", "Wersja lokalna: 1.0.0", "Manifest pobrany"])
                self.assertEqual(self.requested(), [MANIFEST_PATH])

    def test_main_application_that_cannot_be_started(self):
        self.offer("1.0.0")
        os.remove(self.path("Pellaron.exe"))
        cases = [
            ("missing", None, "Nie znaleziono programu głównego:\n" + self.win("Pellaron.exe")),
            ("a folder of that name", "Pellaron.exe", "Nie udało się uruchomić programu głównego."),
        ]
        for label, folder, text in cases:
            with self.subTest(label):
                if folder:
                    os.makedirs(self.path(folder))
                self.fresh_run()
                self.assertFatal(5, text)
                self.assertEqual(self.log_entries()[:-1], [
                    "Start launchera",
                    "Wersja lokalna: 1.0.0",
                    "Manifest pobrany",
                    "Wersja z manifestu: 1.0.0",
                    "Wersja lokalna jest aktualna",
                    "Uruchamiam program główny",
                ])
                self.assertEqual(self.requested(), [MANIFEST_PATH])
