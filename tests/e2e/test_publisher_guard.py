"""OVANPublish guards the maker: pack refuses a release whose own launcher, read from the resource the
build puts into it, would look for its manifest elsewhere or refuse the release's signature; check says
what a shipped launcher carries."""
import os
import unittest

import winetools
from harness import HTTPS_PORT, MANIFEST_PATH, TEST_BIN
from test_publisher import PublisherTestCase
from test_signed_release import KEYS

ORIGIN = f"https://127.0.0.1:{HTTPS_PORT}"
BUILT_IN = ORIGIN + MANIFEST_PATH


def launcher(build):
    with open(os.path.join(TEST_BIN, build, "OVANLauncher.exe"), "rb") as f:
        return f.read()


class ShippedLauncher(PublisherTestCase):
    def pack_with(self, launcher_bytes, base, *options, name="OVANLauncher.exe"):
        folder = self.release({name: launcher_bytes, "app.dll": b"biblioteka"})
        out = self.scratch("out")
        code, said, err = self.publish("pack", winetools.win_path(folder), "1.0", ORIGIN + base,
                                       winetools.win_path(out), *options)
        return code, said, err, out

    def other_key(self):
        key = self.scratch("other.key")
        code, _, err = self.publish("keygen", winetools.win_path(key))
        self.assertEqual(code, 0, err)
        return winetools.win_path(key)

    def test_pack_refuses_a_launcher_that_would_strand_its_users(self):
        first = winetools.win_path(os.path.join(KEYS, "first.key"))
        moved = ORIGIN + "/new/manifest.json"
        other = self.other_key()
        cases = [
            ("its own address", "", "/ovan/update", [], 0, "OVAN_MANIFEST_URL=" + BUILT_IN),
            ("another address", "", "/old", [], 1,
             f"launcher pobiera manifest z adresu {BUILT_IN} zamiast {ORIGIN}/old/manifest.json; klienci"),
            ("a deliberate move", "", "/old", ["--manifest-address", BUILT_IN], 0, "OVAN_MANIFEST_URL=" + BUILT_IN),
            ("a move to a third address", "", "/ovan/update", ["--manifest-address", moved], 1,
             f"z adresu {BUILT_IN} zamiast {moved}"),
            ("signed by a key it carries", "signed", "/ovan/update", ["--sign", first], 0, "OVAN_RELEASE_PUBLIC_KEYS="),
            ("signed by a key it lacks", "signed", "/ovan/update", ["--sign", other], 1,
             "launcher nie przyjmie podpisu tego wydania"),
            ("a move does not excuse the key", "signed", "/old", ["--sign", other, "--manifest-address", BUILT_IN],
             1, "nie przyjmie podpisu"),
            ("unsigned, with keys built in", "signed", "/ovan/update", [], 0, "podpisuj kolejne wydania"),
            ("signed, without keys built in", "", "/ovan/update", ["--sign", first], 0, "nie sprawdza podpisów"),
        ]
        for label, build, base, options, code_expected, text in cases:
            with self.subTest(label):
                code, said, err, out = self.pack_with(launcher(build), base, *options)
                self.assertEqual(code, code_expected, err)
                self.assertIn(text, said + err)
                self.assertEqual(os.path.exists(out), code == 0)

    def test_pack_refuses_a_launcher_it_cannot_read(self):
        with open(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), "rb") as f:
            no_choices = f.read()
        cases = [("not a program", b"MZ but nothing more", "nie da się go odczytać jako programu Windows"),
                 ("a program built without choices", no_choices, "nie zawiera ustawień launchera")]
        for label, data, text in cases:
            with self.subTest(label):
                code, _, err, out = self.pack_with(data, "/ovan/update", name="ovanlauncher.EXE")
                self.assertEqual(code, 1, err)
                self.assertIn("ovanlauncher.EXE: " + text, err)
                self.assertFalse(os.path.exists(out))

    def test_the_flat_layout_publishes_at_the_base_address_plus_the_manifest_name(self):
        folder = self.release({"OVANLauncher.exe": launcher("")})
        for manifest_name, code_expected in [("manifest.json", 0), ("release.json", 1)]:
            with self.subTest(manifest_name):
                manifest = os.path.join(self.scratch("flat"), manifest_name)
                os.makedirs(os.path.dirname(manifest))
                code, _, err = self.publish("pack", "--flat", winetools.win_path(folder), "1.0", ORIGIN + "/ovan/update",
                                            winetools.win_path(manifest))
                self.assertEqual(code, code_expected, err)

    def test_check_shows_what_the_shipped_launcher_carries(self):
        code, _, err, out = self.pack_with(launcher("patch"), "/ovan/update")
        self.assertEqual(code, 0, err)
        code, said, _ = self.publish("check", winetools.win_path(os.path.join(out, "manifest.json")))
        self.assertEqual(code, 0, said)
        for line in ["OVAN_MANIFEST_URL=" + BUILT_IN, "OVAN_RELEASE_PUBLIC_KEYS=", "OVAN_UPDATE_REQUIRED=ON",
                     "OVAN_SKIP_UNCHANGED=ON", "OVAN_KEEP_CONNECTION=OFF", "OVAN_REPAIR_INSTALLATION=OFF"]:
            self.assertIn("\n  " + line + "\r\n", said)

        code, _, err, out = self.pack_with(launcher("signed"), "/ovan/update")
        self.assertEqual(code, 0, err)
        code, said, _ = self.publish("check", winetools.win_path(os.path.join(out, "manifest.json")))
        self.assertEqual(code, 1, said)
        self.assertIn("brak pliku podpisu", said)


if __name__ == "__main__":
    unittest.main()
