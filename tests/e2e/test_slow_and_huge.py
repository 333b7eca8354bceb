"""Servers that would end the launcher abnormally or hold it without end: lengths no buffer can hold,
a version file or manifest larger than memory, held response headers, bodies that drip."""
import os
import struct
import time

from harness import HEADER_WAIT, MANIFEST_PATH, TEST_BIN, WINDOW_DIVISOR, LauncherTestCase, manifest_json, sha256_hex
from update_server import Route

MANIFEST_HEADING = "Nie udało się pobrać manifestu aktualizacji.\n\n"
UPDATE_HEADING = ("Jest dostępna nowa wersja programu (2.0), ale aktualizacja nie powiodła się.\n\n"
                  "Program nie zostanie uruchomiony.\n\n")
READ_TIMEOUT = "WinHttpReadData nie powiodło się. kod błędu 12002"
# A shipped launcher waits 20 s for response headers and for each piece, and wants another 64 KiB within
# every 60 s; the test launchers' windows are shorter by WINDOW_DIVISOR, and so is every wait here.
PACE_WINDOW = 60 / WINDOW_DIVISOR
# The launcher gives up on a slow server well before this.
PATIENCE = 1.5 * PACE_WINDOW


def launcher_is_32_bit():
    with open(os.path.join(TEST_BIN, "OVANLauncher.exe"), "rb") as f:
        image = f.read(4096)
    header = struct.unpack_from("<I", image, 0x3C)[0]
    return struct.unpack_from("<H", image, header + 4)[0] == 0x14C


class SlowAndHugeTest(LauncherTestCase):

    def setUp(self):
        super().setUp()
        self.write("current.txt", b"1.0")

    def offer_file(self, route):
        """A release of version 2.0 whose one file is served by route."""
        self.serve_release("2.0", {"app.dll": route.body}, routes={"app.dll": route})

    def timed_run(self):
        """The time from the last request's arrival to the end of the run: how long the launcher waited on
        the server, without its own start, which emulation and load make slower."""
        self.run_launcher()
        return time.monotonic() - self.server.arrivals[-1]

    def assertNothingInstalled(self):
        self.assertNotIn("app.dll", self.listing())
        self.assertEqual(self.read("current.txt"), b"1.0")

    def test_length_beyond_any_buffer_ends_through_the_fatal_report(self):
        if not launcher_is_32_bit():
            self.skipTest("a 64-bit buffer can hold these lengths")
        manifest_url = self.server.url(MANIFEST_PATH)
        for length in (3_000_000_000, 2_147_483_648):
            for then in ("closes", "holds"):
                route = Route(body=b"x" * 1000, length=length, hold=30 if then == "holds" else 0)
                with self.subTest("manifest", length=length, then=then):
                    self.fresh()
                    self.write("current.txt", b"1.0")
                    self.serve_manifest(route.body, length=route.length, hold=route.hold)
                    self.run_launcher()
                    self.assertFatal(2, MANIFEST_HEADING + "Za mało pamięci, aby pobrać " + manifest_url)
                with self.subTest("file", length=length, then=then):
                    # A file goes to disk as it arrives: the length is no memory problem, the short body a broken read.
                    self.fresh()
                    self.write("current.txt", b"1.0")
                    self.offer_file(route)
                    self.run_launcher()
                    self.assertEqual(self.exit_code, 4, self.stderr)
                    self.assertNotIn("Za mało pamięci", self.log_entries()[-1])
                    # A body that stops: the connection closed (12030) or, held, a wait run out, which Wine
                    # words as 12002 or as 10060 depending on the call that waited.
                    self.assertRegex(self.log_entries()[-1], r"WinHttp\w+ nie powiodło się\. kod błędu (120\d\d|10060)$")
                    self.assertNothingInstalled()
                    self.assertFalse(os.path.exists(self.path("_update_tmp", "app.dll.new")))

    def test_text_larger_than_memory_ends_through_the_fatal_report(self):
        if not launcher_is_32_bit():
            self.skipTest("a 64-bit process holds these texts")
        with self.subTest("current.txt beyond any buffer"):
            with open(self.path("current.txt"), "wb") as f:
                f.truncate(3_000_000_000)
            self.serve_manifest(manifest_json("2.0", [("a.dll", self.server.url("/files/a.dll"), "00")]))
            self.run_launcher()
            self.assertFatal(1, "Za mało pamięci, aby odczytać plik current.txt")
            self.assertEqual(self.server.requests, [])
        with self.subTest("manifest that fits as bytes but not as text"):
            self.fresh()
            self.write("current.txt", b"1.0")
            # More characters than a wide string of this process can hold.
            self.serve_manifest(b" " * 540_000_000)
            # Over 500 MB through the emulated TLS take their time.
            self.run_launcher(timeout=900)
            self.assertFatal(2, MANIFEST_HEADING + "Za mało pamięci, aby odczytać manifest aktualizacji.")

    def test_held_response_headers_time_out(self):
        self.serve_manifest(b"{}", delay=2 * HEADER_WAIT)
        elapsed = self.timed_run()
        self.assertFatal(2, MANIFEST_HEADING + "WinHttpReceiveResponse nie powiodło się. kod błędu 10060")
        self.assertLess(elapsed, PATIENCE)

    def test_dripping_body_times_out(self):
        drip = dict(chunk_size=1, chunk_delay=HEADER_WAIT / 2)
        with self.subTest("manifest"):
            good = manifest_json("2.0", [("app.dll", self.server.url("/files/app.dll"), sha256_hex(b"x"))])
            self.serve_manifest(good, **drip)
            elapsed = self.timed_run()
            self.assertFatal(2, MANIFEST_HEADING + READ_TIMEOUT)
            self.assertLess(elapsed, PATIENCE)
        with self.subTest("file"):
            self.fresh()
            self.write("current.txt", b"1.0")
            self.offer_file(Route(body=b"MZ" * 4096, **drip))
            elapsed = self.timed_run()
            self.assertFatal(4, UPDATE_HEADING + READ_TIMEOUT)
            self.assertNothingInstalled()
            self.assertLess(elapsed, PATIENCE)
