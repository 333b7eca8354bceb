"""OVANPublish: what pack writes, the real launcher installs; what it cannot carry, it refuses;
check says what the launcher will do with a manifest."""
import os
import shutil
import unittest
import urllib.parse

import winetools
from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase, manifest_json, sha256_hex
from update_server import Route

PUBLISH = os.path.join(os.path.dirname(os.path.dirname(TEST_BIN)), "bin", "OVANPublish.exe")


class PublisherTestCase(LauncherTestCase):
    def release(self, files, name="release"):
        folder = os.path.join(self.app + "-" + name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for file_name, data in files.items():
            with open(os.path.join(folder, file_name), "wb") as f:
                f.write(data)
        return folder

    def publish(self, *args):
        result = winetools.run_windows([PUBLISH] + list(args))
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def pack(self, folder, version, base=None):
        """The flat layout: every file at the base address plus its name."""
        manifest = folder + ".json"
        code, _, err = self.publish("pack", "--flat", winetools.win_path(folder), version,
                                    base or self.server.url("/rel"), winetools.win_path(manifest))
        return code, err, manifest

    def check(self, manifest_bytes, installed=None):
        path = self.app + "-check.json"
        with open(path, "wb") as f:
            f.write(manifest_bytes)
        return self.publish("check", winetools.win_path(path), *([installed] if installed else []))


class Pack(PublisherTestCase):
    def test_the_launcher_installs_what_pack_writes(self):
        files = {"Pellaron.exe": open(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), "rb").read(),
                 "app.dll": b"\r\n\x1a binary \x00",
                 "read me (1).txt": b"blanks and brackets in the name",
                 "zażółć.txt": "gęślą".encode("utf-8")}
        folder = self.release(files)
        code, err, manifest = self.pack(folder, "1.1.0")
        self.assertEqual(code, 0, err)
        text = open(manifest, "rb").read()
        self.assertTrue(text.startswith(b'{\n  "version": "1.1.0",'), text)
        self.assertIn(b"read%20me%20%281%29.txt", text)
        for name, data in files.items():
            self.server.routes["/rel/" + urllib.parse.quote(name.encode("utf-8"), safe="")] = Route(body=data)
        self.serve_manifest(text)
        self.write("current.txt", b"\xef\xbb\xbf1.0.0")

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        for name, data in files.items():
            self.assertEqual(self.read(name), data, name)
        self.assertEqual(self.read("current.txt"), b"\xef\xbb\xbf1.1.0")
        self.assertIsNotNone(self.wait_started())

    def test_refuses_what_the_launcher_could_not_carry(self):
        cases = [
            ("bracket in a name", {"a]b.dll": b"x"}, "1.0", "a]b.dll"),
            ("brace in a name", {"a}b.dll": b"x"}, "1.0", "a}b.dll"),
            ("names differing in case", {"App.dll": b"x", "app.dll": b"y"}, "1.0", "app.dll"),
            ("a name that is another's backup", {"app.dll": b"x", "app.dll.old": b"y"}, "1.0", "app.dll.old"),
            ("a version read as 0", {"app.dll": b"x"}, "V2.0", "V2"),
            ("a suffix the comparison ignores", {"app.dll": b"x"}, "1.0-beta", "0-beta"),
            ("a name the launcher uses itself", {"app.dll": b"x", "Update.log": b"y"}, "1.0", "Update.log"),
            ("an empty folder", {}, "1.0", "release"),
        ]
        for label, files, version, named in cases:
            with self.subTest(label):
                folder = self.release(files)
                code, err, manifest = self.pack(folder, version)
                self.assertEqual(code, 1, err)
                self.assertIn(named, err)
                self.assertFalse(os.path.exists(manifest))

    def test_refuses_a_subfolder(self):
        folder = self.release({"app.dll": b"x"})
        os.makedirs(os.path.join(folder, "plugins"))
        code, err, _ = self.pack(folder, "1.0")
        self.assertEqual(code, 1)
        self.assertIn("plugins", err)


class Check(PublisherTestCase):
    def test_agrees_with_the_launcher(self):
        """check passes exactly the manifests that the launcher installs (as far as a manifest can tell)."""
        data = b"payload"
        url = self.server.url("/rel/app.dll")
        self.server.routes["/rel/app.dll"] = Route(body=data)
        good = manifest_json("1.1.0", [("app.dll", url, sha256_hex(data))])
        cases = [
            ("good", good, True),
            ("with a byte-order mark", b"\xef\xbb\xbf" + good, True),
            ("lower-case digest", manifest_json("1.1.0", [("app.dll", url, sha256_hex(data).lower())]), True),
            ("digest one digit short", manifest_json("1.1.0", [("app.dll", url, sha256_hex(data)[:-1])]), False),
            ("name with a folder", manifest_json("1.1.0", [("..\\\\app.dll", url, sha256_hex(data))]), False),
            ("repeated name", manifest_json("1.1.0", [("app.dll", url, sha256_hex(data)),
                                                      ("APP.DLL", url, sha256_hex(data))]), False),
            ("no files", b'{"version": "1.1.0", "files": []}', False),
            ("the staging folder's name", manifest_json("1.1.0", [("_update_tmp", url, sha256_hex(data))]), False),
            ("numeric version", b'{"version": 2, "files": [{"name": "a", "url": "u", "sha256": "s"}]}', False),
            ("not UTF-8", good.replace(b"1.1.0", b"1.1.\xff"), False),
        ]
        for label, manifest, installs in cases:
            with self.subTest(label):
                code, out, _ = self.check(manifest, "1.0.0")
                self.assertEqual(code == 0, installs, out)
                self.write("current.txt", b"\xef\xbb\xbf1.0.0")
                self.serve_manifest(manifest)
                self.run_launcher()
                installed = self.exit_code == 0 and self.read("current.txt") == b"\xef\xbb\xbf1.1.0"
                self.assertEqual(installed, installs, self.stderr)
                if installed:
                    self.write("app.dll", b"old")

    def test_reports_version_entries_and_decision(self):
        manifest = manifest_json("2.0", [("app.dll", "https://127.0.0.1/app.dll", "A" * 64)])
        code, out, _ = self.check(manifest, "1.9")
        self.assertEqual(code, 0, out)
        self.assertIn("Wersja: 2.0", out)
        self.assertIn("app.dll", out)
        self.assertIn("zaktualizuje się do 2.0", out)
        code, out, _ = self.check(manifest, "2.0.0")
        self.assertIn("nie zaktualizuje się", out)


if __name__ == "__main__":
    unittest.main()
