"""Signed releases: a launcher built with public keys installs only manifests that one of them signed,
checks the signature before it downloads anything else, and OVANPublish check says the same."""
import base64
import os
import shutil
import unittest
import urllib.parse

import winetools
from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase
from update_server import Route

PUBLISH = os.path.join(os.path.dirname(os.path.dirname(TEST_BIN)), "bin", "OVANPublish.exe")
KEYS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "keys")
SIGNATURE_PATH = MANIFEST_PATH + ".sig"
BOM = b"\xef\xbb\xbf"


def key_file(name):
    return os.path.join(KEYS, name + ".key")


def public_key(name):
    with open(os.path.join(KEYS, name + ".pub")) as f:
        return f.read().strip()


BUILT_IN_KEYS = public_key("first") + " " + public_key("second")


def publish(*args):
    result = winetools.run_windows([PUBLISH] + [str(a) for a in args])
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def folder_routes(folder, prefix):
    """What a static server serving folder at prefix answers: path -> bytes."""
    routes = {}
    for root, _, names in os.walk(folder):
        for name in names:
            relative = os.path.relpath(os.path.join(root, name), folder).split(os.sep)
            path = prefix + "/" + "/".join(urllib.parse.quote(part.encode("utf-8"), safe="") for part in relative)
            with open(os.path.join(root, name), "rb") as f:
                routes[path] = f.read()
    return routes


class SignedReleaseTestCase(LauncherTestCase):
    launcher = os.path.join(TEST_BIN, "signed", "OVANLauncher.exe")

    def setUp(self):
        super().setUp()
        shutil.copy(self.launcher, self.path("OVANLauncher.exe"))
        self.scratch = self.app + "-releases"
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)

    def pack(self, label, version, files, key):
        """Packs files (name -> bytes) signed by key into an output folder of its own; returns what a
        server serving it at /ovan/update answers."""
        release = os.path.join(self.scratch, label, "release")
        out = os.path.join(self.scratch, label, "out")
        os.makedirs(release)
        for name, data in files.items():
            with open(os.path.join(release, name), "wb") as f:
                f.write(data)
        code, _, err = publish("pack", winetools.win_path(release), version, self.server.url("/ovan/update"),
                               winetools.win_path(out), "--sign", winetools.win_path(key))
        self.assertEqual(code, 0, err)
        return folder_routes(out, "/ovan/update")

    def serve(self, routes):
        self.server.routes.clear()
        self.server.requests.clear()
        for path, body in routes.items():
            self.server.routes[path] = Route(body=body)

    def check_accepts(self, manifest, signature):
        """OVANPublish check with the built-in keys on the manifest and signature (None: no .sig file)."""
        folder = os.path.join(self.scratch, "check")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        path = os.path.join(folder, "manifest.json")
        with open(path, "wb") as f:
            f.write(manifest)
        if signature is not None:
            with open(path + ".sig", "wb") as f:
                f.write(signature)
        code, out, _ = publish("check", winetools.win_path(path), "--public-key", BUILT_IN_KEYS)
        return code == 0, out


class SignedRelease(SignedReleaseTestCase):
    files = {"app.dll": b"biblioteka 1.1.0\x00", "zażółć.txt": "gęślą".encode("utf-8")}

    def test_a_release_signed_by_either_built_in_key_installs(self):
        first = self.pack("first", "1.1.0", self.files, key_file("first"))
        second = self.pack("second", "1.1.0", self.files, key_file("second"))
        without_line_end = dict(first, **{SIGNATURE_PATH: first[SIGNATURE_PATH].rstrip(b"\n")})
        for label, routes in [("first key", first), ("second key", second), ("no line end", without_line_end)]:
            with self.subTest(label):
                self.fresh()
                self.serve(routes)
                self.write("current.txt", BOM + b"1.0.0")
                self.assertEqual(self.check_accepts(routes[MANIFEST_PATH], routes[SIGNATURE_PATH])[0], True)

                self.run_launcher()

                self.assertEqual(self.exit_code, 0, self.stderr)
                for name, data in self.files.items():
                    self.assertEqual(self.read(name), data, name)
                self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")
                self.assertEqual(self.requested()[:2], [MANIFEST_PATH, SIGNATURE_PATH])
                self.assertEqual(len(self.requested()), 2 + len(self.files))
                self.assertIsNotNone(self.wait_started())

    def test_refuses_every_manifest_the_keys_did_not_sign_before_downloading_anything(self):
        unknown = os.path.join(self.scratch, "unknown.key")
        code, _, err = publish("keygen", winetools.win_path(unknown))
        self.assertEqual(code, 0, err)
        good = self.pack("good", "1.1.0", self.files, key_file("first"))
        other = self.pack("other", "1.2.0", self.files, key_file("first"))
        stranger = self.pack("stranger", "1.1.0", self.files, unknown)
        manifest, signature = good[MANIFEST_PATH], good[SIGNATURE_PATH]
        raw = bytearray(base64.b64decode(signature))
        raw[40] ^= 0x01
        bad_signature = "Podpis manifestu aktualizacji jest niepoprawny."
        cases = [
            ("one byte of the manifest changed", manifest.replace(b'"1.1.0"', b'"1.1.1"'), signature, 3, bad_signature),
            ("a byte-order mark added", BOM + manifest, signature, 3, bad_signature),
            ("the signature of another manifest", manifest, other[SIGNATURE_PATH], 3, bad_signature),
            ("signed by a key not built in", manifest, stranger[SIGNATURE_PATH], 3, bad_signature),
            ("one bit of the signature changed", manifest, base64.b64encode(bytes(raw)) + b"\n", 3, bad_signature),
            ("an empty signature file", manifest, b"", 3, bad_signature),
            ("garbage", manifest, b"<html>not found</html>\n", 3, bad_signature),
            ("two line ends", manifest, signature + b"\n", 3, bad_signature),
            ("no signature", manifest, None, 2, "Nie udało się pobrać podpisu manifestu aktualizacji.\n\n"
                                                 "Serwer zwrócił HTTP 404 dla " + self.server.url(SIGNATURE_PATH)),
        ]
        for label, served_manifest, served_signature, exit_code, text in cases:
            with self.subTest(label):
                self.fresh()
                routes = dict(good, **{MANIFEST_PATH: served_manifest})
                if served_signature is None:
                    del routes[SIGNATURE_PATH]
                else:
                    routes[SIGNATURE_PATH] = served_signature
                self.serve(routes)
                self.write("current.txt", BOM + b"1.0.0")
                self.assertFalse(self.check_accepts(served_manifest, served_signature)[0])

                self.run_launcher()

                self.assertFatal(exit_code, text)
                self.assertEqual(self.requested(), [MANIFEST_PATH, SIGNATURE_PATH])
                self.assertEqual(self.listing(), ["OVANLauncher.exe", "Pellaron.exe", "current.txt", "update.log"])
                self.assertEqual(self.read("current.txt"), BOM + b"1.0.0")

    def test_an_unsigned_launcher_asks_for_no_signature(self):
        shutil.copy(os.path.join(TEST_BIN, "OVANLauncher.exe"), self.path("OVANLauncher.exe"))
        self.serve(self.pack("good", "1.1.0", self.files, key_file("first")))
        self.write("current.txt", BOM + b"1.0.0")

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertNotIn(SIGNATURE_PATH, self.requested())
        self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")


if __name__ == "__main__":
    unittest.main()
