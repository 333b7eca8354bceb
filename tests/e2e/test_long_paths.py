"""An AppFolder whose path is longer than the classic 260-character limit: the launcher installs the
release in that folder, each step either works or fails with its usual text, and the folder above it,
with an unrelated installation of its own, stays exactly as it was."""
import os
import shutil
import unittest

import winetools
from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase

BOM = b"\xef\xbb\xbf"
# The last element of the AppFolder: long enough to hold the 260th character of a 300-character path,
# so that a path cut there names the parent folder.
LAST_ELEMENT = 60
# What an unrelated installation in the parent folder holds: the names a wrong AppFolder would touch.
PARENT_FILES = {"app.dll": b"the parent's own app.dll", "current.txt": BOM + b"0.9.0",
                "update.log": b"the parent's own log\r\n", "notes.txt": b"unrelated"}


def tree(folder, skip):
    """Every file and folder below folder, except the subtree skip: relative path -> bytes (None for a folder)."""
    found = {}
    for top, folders, files in os.walk(folder):
        folders[:] = [name for name in folders if os.path.join(top, name) != skip]
        for name in folders:
            found[os.path.relpath(os.path.join(top, name), folder)] = None
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                found[os.path.relpath(os.path.join(top, name), folder)] = f.read()
    return found


class LongAppFolder(LauncherTestCase):
    def long_app_folder(self, base, length):
        """Makes base\\<padding>\\<last element> an AppFolder whose Windows path is length characters long,
        holding the launcher and the application; its parent holds an unrelated installation."""
        shutil.rmtree(base)
        padding = length - LAST_ELEMENT - 2 - len(winetools.win_path(base))
        self.parent = os.path.join(base, "p" * padding)
        self.app = os.path.join(self.parent, "a" * LAST_ELEMENT)
        os.makedirs(self.app)
        shutil.copy(os.path.join(TEST_BIN, "OVANLauncher.exe"), self.app)
        shutil.copy(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), self.path("Pellaron.exe"))
        for name, data in PARENT_FILES.items():
            with open(os.path.join(self.parent, name), "wb") as f:
                f.write(data)
        self.assertEqual(len(self.win()), length)

    def test_update_in_a_long_app_folder_leaves_the_parent_untouched(self):
        base = self.app
        for length in (250, 300):
            with self.subTest(length=length):
                self.long_app_folder(base, length)
                self.server.routes.clear()
                self.server.requests.clear()
                self.write("current.txt", BOM + b"1.0.0")
                self.write("app.dll", b"old app.dll")
                parent_before = tree(self.parent, skip=self.app)
                release = {"app.dll": b"new app.dll", "plugin.dll": b"new plugin"}
                self.serve_release("1.1.0", release)

                self.run_launcher(cwd=base)

                self.assertEqual(tree(self.parent, skip=self.app), parent_before)
                for name, data in release.items():
                    self.assertEqual(self.read(name), data, name)
                self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")
                self.assertEqual(self.requested(), [MANIFEST_PATH, "/files/app.dll", "/files/plugin.dll"])
                self.assertIn("Aktualizacja zakończona pomyślnie", self.log_entries())
                # The clean-up works in a long folder too: no backup, staging folder or record is left.
                self.assertEqual([n for n in self.listing() if n.endswith(".old") or n.startswith("_update")], [])
                # Wine's CreateProcessW refuses a path this long; Windows with long paths enabled does not.
                if self.exit_code == 0:
                    self.assertEqual(self.wait_started(), ('"%s" /start' % self.win("Pellaron.exe"), self.win()))
                else:
                    self.assertFatal(5, "Nie udało się uruchomić programu głównego.")

if __name__ == "__main__":
    unittest.main()
