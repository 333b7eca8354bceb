"""Entry names that do not address a plain file of the release: Windows device names (NUL swallows a
download, CON writes it to the console) and the names the launcher keeps for itself. The launcher
refuses such a manifest before any download, and OVANPublish refuses to pack or pass it."""
import os
import unittest

import test_update_transaction
from harness import manifest_json
from test_publisher import PublisherTestCase

DEVICE_NAMES = ["NUL", "CON", "AUX.dll", "com1.txt", "Lpt9", "prn.tar.gz", "nul .txt", "CONIN$", "conout$"]
WORKING_NAMES = ["_update_tmp", "Current.TXT", "update.log", "current.txt.tmp", "_update_journal", "update.log.old",
                 "_Installed_Files", "_installed_files.tmp"]


class ReservedNamesInTheLauncher(test_update_transaction.RefusedNames):
    cases = [(name, name) for name in DEVICE_NAMES + WORKING_NAMES]


class ReservedNamesInThePublisher(PublisherTestCase):
    def test_pack_refuses_a_release_that_holds_one(self):
        # The release folder is made on Linux, where these are ordinary file names.
        for name in ["NUL", "aux.dll", "COM1", "conout$", "_update_journal", "current.txt.tmp"]:
            with self.subTest(name):
                folder = self.release({"app.dll": b"x", name: b"y"})
                code, err, manifest = self.pack(folder, "1.0")
                self.assertEqual(code, 1, err)
                self.assertIn(name, err)
                self.assertFalse(os.path.exists(manifest))

    def test_check_fails_a_manifest_that_lists_one(self):
        url = self.server.url("/rel/app.dll")
        for name in ["NUL", "Con.dll", "_update_journal", "update.log"]:
            with self.subTest(name):
                code, out, _ = self.check(manifest_json("1.1.0", [("app.dll", url, "A" * 64), (name, url, "A" * 64)]),
                                          "1.0.0")
                self.assertEqual(code, 1, out)
                self.assertIn("launcher odrzuci manifest", out)
                self.assertIn("wpis 2 listy plików", out)


if __name__ == "__main__":
    unittest.main()
