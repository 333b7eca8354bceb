"""A file whose size and offsets do not fit in 32 bits, served by nginx: a download that an earlier run left past
the 4 GiB offset is continued there, and the file of over 4 GiB installs byte for byte with memory bounded. Only a
32-bit launcher can get these wrong by a size_t or a DWORD; a 64-bit one runs it too.

The earlier run's leftover is laid down by the test, as a run killed past 4 GiB leaves it: under Wine, the 32-bit
WinHTTP ends the body of one answer after 2^31 - 1 bytes (measured: 2,147,483,647 bytes of a 4 GiB answer, then the
body broke off), so no single answer carries a 32-bit launcher past 4 GiB there (see the README)."""
import hashlib
import os
import shutil
import ssl
import subprocess
import time
import urllib.request

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


class FourGibCase(LauncherTestCase):
    """nginx serving the release 2.0 of one file beyond 4 GiB (a hole on its disk, but for the marks)."""
    with_update_server = False

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
        self.served_file = self.nginx.file(FILE_PATH)
        self.digest = write_sparse(self.served_file, SIZE)
        self.url = self.nginx.url(FILE_PATH)
        manifest = manifest_json("2.0", [("big.bin", self.url, self.digest, SIZE)])
        os.makedirs(os.path.dirname(self.nginx.file(MANIFEST_PATH)), exist_ok=True)
        with open(self.nginx.file(MANIFEST_PATH), "wb") as f:
            f.write(manifest)

    def run_measured(self):
        """Runs the launcher to its end; returns its peak resident memory."""
        launcher = subprocess.Popen([winetools.wine(), self.path("OVANLauncher.exe")], cwd=self.app,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        peak = 0
        deadline = time.monotonic() + 900
        while launcher.poll() is None and time.monotonic() < deadline:
            peak = max(peak, winetools.high_water_mark(launcher.pid))
            time.sleep(0.01)
        if launcher.poll() is None:
            launcher.kill()
        self.stderr = launcher.communicate()[1]
        self.exit_code = launcher.returncode
        return peak

    def assertInstalledWhole(self):
        self.assertEqual(self.exit_code, 0, self.stderr)
        installed = self.path("big.bin")
        self.assertEqual(os.path.getsize(installed), SIZE)
        with open(installed, "rb") as f:
            for offset in MARKS:
                f.seek(offset)
                self.assertTrue(f.read(MIB) == mark(offset), "the bytes at %d" % offset)
        self.assertEqual(sha256_of(installed), self.digest)
        self.assertEqual(self.read("current.txt"), b"\xef\xbb\xbf2.0")
        self.assertIsNotNone(self.wait_started())


class ResumeBeyondFourGibTest(FourGibCase):
    launcher_build = "resume"

    def test_download_kept_past_4_gib_is_continued_there(self):
        # As a run killed there leaves it: the staged bytes so far, and the note of what they belong to.
        kept = FOUR_GIB + MIB + 77
        staging = self.path("_update_tmp")
        os.makedirs(staging)
        staged = os.path.join(staging, "big.bin.new")
        copy_sparse(self.served_file, staged, kept)
        with open(staged + ".note", "wb") as f:
            f.write(("%s\n%s\n%d\n%s\n" % (self.url, self.etag(), SIZE, self.digest)).encode())

        peak = self.run_measured()

        self.assertInstalledWhole()
        self.assertIn("Wznawianie pobierania: big.bin od bajtu %d" % kept, self.log_entries())
        self.assertEqual([(row.status, row.size) for row in self.nginx.served() if row.path == FILE_PATH],
                         [(206, SIZE - kept)])
        self.assertLess(peak, PEAK_LIMIT)

    def etag(self):
        """nginx's validator for the served file, as its answers carry it."""
        context = ssl.create_default_context(cafile=state_file("ca.pem"))
        request = urllib.request.Request(self.url, method="HEAD")
        with urllib.request.urlopen(request, context=context) as answer:
            etag = answer.headers["ETag"]
        # nginx logs the answer just after it sends it: cleared once it is there.
        deadline = time.monotonic() + 10
        while not self.nginx.served() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.nginx.clear_log()
        return etag


def write_sparse(path, size):
    """A file of size bytes whose marks are written and the rest left a hole; returns its SHA-256."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)
        for offset in MARKS:
            f.seek(offset)
            f.write(mark(offset))
    return sha256_of(path)


def copy_sparse(source, target, length):
    """The first length bytes of source, its holes kept as holes."""
    with open(target, "wb") as f:
        f.truncate(length)
        with open(source, "rb") as s:
            for offset in MARKS:
                if offset < length:
                    s.seek(offset)
                    f.seek(offset)
                    f.write(s.read(min(MIB, length - offset)))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(8 * MIB), b""):
            digest.update(piece)
    return digest.hexdigest().upper()
