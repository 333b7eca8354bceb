"""A release that cannot fit fails before its first download: the sizes the manifest gives for the files to be
downloaded, with the 64 MiB the launcher keeps free, against the free space of the AppFolder's volume. The
volume is a small tmpfs mounted for the test and given to the prefix as drive T:."""
import os
import re
import shutil
import subprocess
import unittest

from harness import MANIFEST_PATH, TEST_BIN, manifest_json
from test_update_transaction import FAILED, TransactionTestCase, files_of, payload

MIB = 1024 * 1024
VOLUME_MIB = 100
DRIVE = "t:"
SHORT = re.compile(r"Za mało miejsca na dysku, aby pobrać pliki programu: potrzeba (\d+,\d) MB, "
                   r"a wolne jest tylko (\d+,\d) MB\.")


def free_bytes(path):
    stats = os.statvfs(path)
    return stats.f_bavail * stats.f_frsize


def megabytes(text):
    return float(text.replace(",", "."))


def blob(label, size):
    return (label.encode() * (size // len(label) + 1))[:size]


class DiskSpace(TransactionTestCase):
    def setUp(self):
        super().setUp()
        volume = self.app + "-volume"
        os.makedirs(volume, exist_ok=True)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % VOLUME_MIB, "tmpfs", volume],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("no tmpfs can be mounted here: " + mounted.stderr.decode(errors="replace"))
        self.addCleanup(subprocess.run, ["umount", "-l", volume], capture_output=True)
        drive = os.path.join(os.environ["WINEPREFIX"], "dosdevices", DRIVE)
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(volume, drive)
        self.addCleanup(os.remove, drive)
        # The AppFolder moves onto the volume, with what setUp put in it.
        inside = os.path.join(volume, "app")
        shutil.copytree(self.app, inside)
        self.app = inside

    def use_launcher(self, build):
        shutil.copy(os.path.join(TEST_BIN, build, "OVANLauncher.exe"), self.path("OVANLauncher.exe"))

    def release_of(self, sizes):
        """name -> (bytes, whether the manifest gives its size); served, with a size where it is given."""
        entries = self.serve_release("1.1.0", {name: data for name, (data, _) in sizes.items()})
        listed = [entry + ((str(len(sizes[entry[0]][0])),) if sizes[entry[0]][1] else ()) for entry in entries]
        self.serve_manifest(manifest_json("1.1.0", listed))

    def test_a_release_that_does_not_fit_fails_before_its_first_download(self):
        self.install("1.0.0", files_of("1.0.0", "app.dll"))
        before = self.installation()
        self.release_of({"app.dll": (payload("app.dll", "1.1.0"), True), "big.bin": (blob("big", 40 * MIB), True),
                         "small.dll": (blob("small", MIB), False)})
        free_before = free_bytes(self.app)

        self.run_launcher()

        self.assertEqual(self.exit_code, 4, self.stderr)
        reason = self.log_entries()[-1][len("FATAL: " + FAILED):]
        self.assertFatal(4, FAILED + reason)
        shown = SHORT.fullmatch(reason)
        self.assertIsNotNone(shown, reason)
        # Counted: the two sizes the manifest gives (40 MiB and 605 B) and the reserve, rounded up; the file
        # without one is not.
        self.assertEqual(shown.group(1), "104,1")
        self.assertLessEqual(megabytes(shown.group(2)), free_before / MIB)
        self.assertGreater(megabytes(shown.group(2)), free_before / MIB - 0.2)
        self.assertEqual(self.log_entries()[-2], "Przygotowanie katalogu tymczasowego")
        self.assertEqual(self.requested(), [MANIFEST_PATH])
        self.assertEqual(self.installation(), before)

    def test_an_unchanged_file_is_not_counted(self):
        # 21 MiB and the reserve would not fit beside the installed 20 MiB; 1 MiB and the reserve do.
        self.use_launcher("patch")
        unchanged = blob("unchanged", 20 * MIB)
        self.install("1.0.0", {"unchanged.bin": unchanged})
        self.release_of({"unchanged.bin": (unchanged, True), "app.dll": (blob("app", MIB), True)})

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.requested(), [MANIFEST_PATH, "/files/app.dll"])
        self.assertEqual(self.read("app.dll"), blob("app", MIB))

if __name__ == "__main__":
    unittest.main()
