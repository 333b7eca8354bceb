"""A file whose size and offsets do not fit in 32 bits, served by nginx: its answer of over 4 GiB is taken as it
comes, a run killed past the 4 GiB offset is continued there by the next, and the file installs byte for byte with
memory bounded. Only a 32-bit launcher can get these wrong by a size_t or a DWORD; a 64-bit one runs it too."""
import hashlib
import os
import shutil
import subprocess
import time

import winetools
from harness import HTTPS_PORT, MANIFEST_PATH, LauncherTestCase, manifest_json, state_file
from nginx_server import NginxServer

MIB = 1024 * 1024
FOUR_GIB = 4 * 1024 * MIB
# Past 4 GiB by an amount that is no multiple of any piece or buffer, so that no count wraps to a round number.
SIZE = FOUR_GIB + 3 * MIB + 4321
# Distinct bytes at the start, across the 4 GiB boundary and at the end; zeros (a hole on the server) between.
MARKS = (0, FOUR_GIB - MIB // 2, SIZE - MIB)
FILE_PATH = "/files/big.bin"
# The launcher streams the file through pieces of 1 MiB at most; a 32-bit process under the emulator
# measured 45 MB resident for a 1 GiB file, qemu's own share included.
PEAK_LIMIT = 128 * MIB


def mark(offset):
    return hashlib.sha256(b"%d" % offset).digest() * (MIB // 32)


class BeyondFourGibTest(LauncherTestCase):
    """nginx serving the release 2.0 of one file beyond 4 GiB (a hole on its disk, but for the marks)."""
    with_update_server = False
    launcher_build = "resume"

    def setUp(self):
        super().setUp()
        self.write("current.txt", b"1.0")
        # Some 4 GiB land in the AppFolder: gone again with the test.
        self.addCleanup(shutil.rmtree, self.app, True)
        self.site = self.app + "-nginx"
        shutil.rmtree(self.site, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.site, True)
        self.nginx = NginxServer(HTTPS_PORT, os.path.join(self.site, "root"), state_file("server.pem"),
                                 state_file("server.key"), self.site)
        self.addCleanup(self.nginx.stop)
        self.digest = write_sparse(self.nginx.file(FILE_PATH), SIZE)
        manifest = manifest_json("2.0", [("big.bin", self.nginx.url(FILE_PATH), self.digest, SIZE)])
        os.makedirs(os.path.dirname(self.nginx.file(MANIFEST_PATH)), exist_ok=True)
        with open(self.nginx.file(MANIFEST_PATH), "wb") as f:
            f.write(manifest)

    def run_measured(self, kill_past=None):
        """Runs the launcher to its end, or kills it once its staged file holds more than kill_past bytes;
        returns its peak resident memory."""
        staged = self.path("_update_tmp", "big.bin.new")
        launcher = subprocess.Popen([winetools.wine(), self.path("OVANLauncher.exe")], cwd=self.app,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        peak = 0
        deadline = time.monotonic() + 900
        while launcher.poll() is None and time.monotonic() < deadline:
            peak = max(peak, winetools.high_water_mark(launcher.pid))
            if kill_past is not None and os.path.exists(staged) and os.path.getsize(staged) > kill_past:
                break
            time.sleep(0.005)
        if launcher.poll() is None:
            launcher.kill()
        self.stderr = launcher.communicate()[1]
        self.exit_code = launcher.returncode
        return peak

    def served(self):
        return [(row.status, row.size) for row in self.nginx.served() if row.path == FILE_PATH]

    def test_killed_past_4_gib_then_continued_there_and_installed_whole(self):
        # The first run takes the whole answer of over 4 GiB as it comes, and is killed past the 4 GiB offset.
        peaks = [self.run_measured(kill_past=FOUR_GIB + MIB)]
        kept = os.path.getsize(self.path("_update_tmp", "big.bin.new"))
        self.assertGreater(kept, FOUR_GIB + MIB)
        self.assertLess(kept, SIZE)
        # nginx logs the cut answer once it notices that the client is gone.
        deadline = time.monotonic() + 30
        while not self.served() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([status for status, _ in self.served()], [200])
        self.nginx.clear_log()

        peaks.append(self.run_measured())

        self.assertEqual(self.exit_code, 0, self.stderr)
        continued = [e for e in self.log_entries() if e.startswith("Wznawianie pobierania: big.bin od bajtu ")]
        self.assertEqual(len(continued), 1, self.log_entries())
        offset = int(continued[0].rsplit(" ", 1)[1])
        self.assertGreaterEqual(offset, kept)
        self.assertEqual(self.served(), [(206, SIZE - offset)])
        installed = self.path("big.bin")
        self.assertEqual(os.path.getsize(installed), SIZE)
        with open(installed, "rb") as f:
            for at in MARKS:
                f.seek(at)
                self.assertTrue(f.read(MIB) == mark(at), "the bytes at %d" % at)
        self.assertEqual(sha256_of(installed), self.digest)
        self.assertEqual(self.read("current.txt"), b"\xef\xbb\xbf2.0")
        self.assertIsNotNone(self.wait_started())
        for peak in peaks:
            self.assertLess(peak, PEAK_LIMIT)


def write_sparse(path, size):
    """A file of size bytes whose marks are written and the rest left a hole; returns its SHA-256."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)
        for offset in MARKS:
            f.seek(offset)
            f.write(mark(offset))
    return sha256_of(path)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(8 * MIB), b""):
            digest.update(piece)
    return digest.hexdigest().upper()
