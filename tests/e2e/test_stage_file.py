"""stageFile on its own, through ovan_stage_probe: one entry downloaded from the loopback server
to a staging path and checked against its digest; the texts, the log and the staging file."""
import hashlib
import os

import winetools
from harness import TEST_BIN, LauncherTestCase, sha256_hex
from update_server import Route

SENTINEL = "<bez zmian>"
BODY = b"MZ\x90\x00 staged bytes \r\n\x1a\x00" * 300


class StageFileTest(LauncherTestCase):
    with_application = False

    def setUp(self):
        super().setUp()
        os.makedirs(self.path("_update_tmp"))
        self.staging = self.path("_update_tmp", "app.dll.new")
        self.server.routes["/files/app.dll"] = Route(body=BODY)

    def stage(self, digest, name="app.dll", path="/files/app.dll", staging=None):
        staging = staging or self.staging
        result = winetools.run_windows(
            [os.path.join(TEST_BIN, "ovan_stage_probe.exe"), name, self.server.url(path), digest,
             winetools.win_path(staging), winetools.win_path(self.app)])
        self.assertIn(result.returncode, (0, 1), result)
        return result.returncode == 0, result.stdout.decode("utf-8")

    def staged_bytes(self):
        with open(self.staging, "rb") as f:
            return f.read()

    def test_matching_digest_in_either_case(self):
        for digest in (sha256_hex(BODY), sha256_hex(BODY).lower()):
            with self.subTest(digest=digest):
                if os.path.exists(self.path("update.log")):
                    os.remove(self.path("update.log"))
                self.assertEqual(self.stage(digest), (True, SENTINEL))
                self.assertEqual(self.staged_bytes(), BODY)
                self.assertEqual(self.log_entries(), ["Pobieranie pliku: app.dll", "SHA-256 poprawny dla: app.dll"])

    def test_digest_that_does_not_match_keeps_the_downloaded_file(self):
        good = sha256_hex(BODY)
        cases = {
            "63 digits": good[:63],
            "65 digits": good + "0",
            "not hex": good[:63] + "G",
            "empty": "",
            "blank around": " " + good,
            "other file": sha256_hex(BODY + b"!"),
        }
        for label, digest in cases.items():
            with self.subTest(label):
                if os.path.exists(self.staging):
                    os.remove(self.staging)
                self.assertEqual(self.stage(digest), (False, "Błędny SHA-256 dla pliku: app.dll"))
                self.assertEqual(self.staged_bytes(), BODY)
                self.assertEqual(self.log_entries()[-1], "Pobieranie pliku: app.dll")

    def test_empty_body_gives_an_empty_file(self):
        self.server.routes["/files/empty.dat"] = Route(body=b"")
        empty_digest = hashlib.sha256(b"").hexdigest()
        self.assertEqual(self.stage(empty_digest, name="empty.dat", path="/files/empty.dat"), (True, SENTINEL))
        self.assertEqual(self.staged_bytes(), b"")
        # The digest of nothing does not match a file that has bytes.
        self.assertEqual(self.stage(empty_digest), (False, "Błędny SHA-256 dla pliku: app.dll"))

    def test_staging_folder_missing(self):
        staging = self.path("missing", "app.dll.new")
        self.assertEqual(self.stage(sha256_hex(BODY), staging=staging),
                         (False, "Nie udało się zapisać pliku: " + winetools.win_path(staging)))
        self.assertFalse(os.path.exists(self.path("missing")))
        # The file was downloaded before the write failed.
        self.assertEqual(self.requested(), ["/files/app.dll"])

    def test_failed_download_creates_nothing(self):
        self.server.routes["/files/app.dll"] = Route(body=b"gone", status=404)
        self.assertEqual(self.stage(sha256_hex(b"gone")),
                         (False, "Serwer zwrócił HTTP 404 dla " + self.server.url("/files/app.dll")))
        self.assertEqual(self.listing("_update_tmp"), [])
        self.assertEqual(self.log_entries(), ["Pobieranie pliku: app.dll"])

    def test_longer_staging_file_is_truncated(self):
        with open(self.staging, "wb") as f:
            f.write(b"\xff" * (len(BODY) * 3))
        self.assertEqual(self.stage(sha256_hex(BODY)), (True, SENTINEL))
        self.assertEqual(self.staged_bytes(), BODY)
