"""OVANPublish: what pack writes, the real launcher installs; what it cannot carry, it refuses;
check says what the launcher will do with a manifest."""
import os
import shutil
import unittest
import urllib.parse

import winetools
from harness import MANIFEST_PATH, TEST_BIN, LauncherTestCase, manifest_json, sha256_hex
from test_signed_release import KEYS, folder_routes
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

    def scratch(self, name):
        """A path beside the AppFolder with nothing left at it from an earlier run."""
        path = self.app + "-" + name
        shutil.rmtree(path, ignore_errors=True)
        if os.path.exists(path):
            os.remove(path)
        return path

    def publish(self, *args):
        result = winetools.run_windows([PUBLISH] + list(args))
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def pack(self, folder, version, base=None):
        """The flat layout: every file at the base address plus its name."""
        manifest = folder + ".json"
        code, _, err = self.publish("pack", "--flat", winetools.win_path(folder), version,
                                    base or self.server.url("/rel"), winetools.win_path(manifest))
        return code, err, manifest

    def check(self, manifest_bytes, installed=None, *options):
        path = self.app + "-check.json"
        with open(path, "wb") as f:
            f.write(manifest_bytes)
        return self.publish("check", winetools.win_path(path), *([installed] if installed else []), *options)


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
        for data in files.values():
            self.assertIn(b'", "size": "%d"}' % len(data), text)
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


class Layout(PublisherTestCase):
    """pack's output folder: every file under its digest, so no later release reuses an address."""

    def pack_into(self, out, version, files, *options):
        folder = self.release(files, "release-" + version)
        code, out_text, err = self.publish("pack", winetools.win_path(folder), version, self.server.url("/ovan/update"),
                                           winetools.win_path(out), *options)
        self.assertEqual(code, 0, err)
        return out_text

    def served(self, flat, version, files):
        """What the origin serves for a release in either layout: path -> bytes."""
        if flat:
            folder = self.release(files, "flat-" + version)
            code, err, manifest = self.pack(folder, version, self.server.url("/ovan/update"))
            self.assertEqual(code, 0, err)
            routes = {"/ovan/update/" + urllib.parse.quote(name.encode("utf-8"), safe=""): data
                      for name, data in files.items()}
            return dict(routes, **{MANIFEST_PATH: open(manifest, "rb").read()})
        out = self.scratch("out-" + version)
        self.pack_into(out, version, files)
        return folder_routes(out, "/ovan/update")

    def test_a_cache_holding_the_previous_release_breaks_only_the_flat_layout(self):
        first = {"app.dll": b"biblioteka 1.0", "read me.txt": b"bez zmian"}
        second = dict(first, **{"app.dll": b"biblioteka 2.0"})
        for flat, exit_code in [(True, 4), (False, 0)]:
            with self.subTest(flat=flat):
                self.fresh()
                older = self.served(flat, "1.0", first)
                newer = self.served(flat, "2.0", second)
                # The edge still holds yesterday's answers for every address it saw; the manifest is revalidated.
                edge = dict(newer, **{path: body for path, body in older.items() if not path.startswith(MANIFEST_PATH)})
                for path, body in edge.items():
                    self.server.routes[path] = Route(body=body)
                self.write("current.txt", b"\xef\xbb\xbf1.0")

                self.run_launcher()

                self.assertEqual(self.exit_code, exit_code, self.stderr)
                if exit_code == 0:
                    self.assertEqual(self.read("app.dll"), b"biblioteka 2.0")

    def test_a_newer_release_packed_over_an_older_one_keeps_the_older_files(self):
        out = self.scratch("out")
        first = {"app.dll": b"biblioteka 1.0", "read me.txt": b"bez zmian"}
        self.pack_into(out, "1.0", first, "--sign", os.path.join(KEYS, "first.key"))
        older = folder_routes(out, "/ovan/update")
        said = self.pack_into(out, "2.0", dict(first, **{"app.dll": b"biblioteka 2.0"}))

        newer = folder_routes(out, "/ovan/update")
        for path, body in older.items():
            if not path.startswith(MANIFEST_PATH):
                self.assertEqual(newer[path], body, path)
        # One new file and the new release's manifest copy, no signature left beside the unsigned manifest.
        self.assertEqual(len(newer), len(older) + 1)
        self.assertIn("/ovan/update/releases/2.0.json", newer)
        self.assertNotIn(MANIFEST_PATH + ".sig", newer)
        self.assertIn("manifest.json.sig", said)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "files"))),
                         sorted({sha256_hex(b"biblioteka 1.0"), sha256_hex(b"biblioteka 2.0"), sha256_hex(b"bez zmian")}))
        for path, body in newer.items():
            self.server.routes[path] = Route(body=body)
        self.write("current.txt", b"\xef\xbb\xbf1.0")

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.dll"), b"biblioteka 2.0")
        self.assertEqual(self.read("current.txt"), b"\xef\xbb\xbf2.0")


class Keys(PublisherTestCase):
    def test_keygen_never_replaces_a_key(self):
        key = self.scratch("release.key")
        code, out, err = self.publish("keygen", winetools.win_path(key))
        self.assertEqual(code, 0, err)
        written = open(key, "rb").read()
        printed = out.splitlines()[-1]
        folder = self.release({"app.dll": b"x"})
        out_folder = self.scratch("out")
        code, _, err = self.publish("pack", winetools.win_path(folder), "1.0", self.server.url("/ovan/update"),
                                    winetools.win_path(out_folder), "--sign", winetools.win_path(key))
        self.assertEqual(code, 0, err)
        manifest = os.path.join(out_folder, "manifest.json")
        code, said, _ = self.publish("check", winetools.win_path(manifest), "--public-key", printed)
        self.assertEqual(code, 0, said)

        code, _, err = self.publish("keygen", winetools.win_path(key))
        self.assertEqual(code, 1)
        self.assertIn("już istnieje", err)
        self.assertEqual(open(key, "rb").read(), written)

    def test_refuses_a_key_it_cannot_use(self):
        folder = self.release({"app.dll": b"x"})
        out = self.scratch("out")
        cases = [
            ("a missing key file", os.path.join(KEYS, "missing.key")),
            ("a public key in place of the private one", os.path.join(KEYS, "first.pub")),
            ("a folder", KEYS),
        ]
        for label, key in cases:
            with self.subTest(label):
                code, _, err = self.publish("pack", winetools.win_path(folder), "1.0", self.server.url("/ovan/update"),
                                            winetools.win_path(out), "--sign", winetools.win_path(key))
                self.assertEqual(code, 1, err)
                self.assertIn("keygen", err)
                self.assertFalse(os.path.exists(out))

    def test_check_refuses_key_lists_a_launcher_could_not_be_built_with(self):
        first = open(os.path.join(KEYS, "first.pub")).read().strip()
        manifest = manifest_json("1.1.0", [("app.dll", "https://127.0.0.1/app.dll", "A" * 64)])
        for label, keys in [("empty", ""), ("three keys", " ".join([first] * 3)), ("cut short", first[:-4]),
                            ("comma-separated", first + "," + first)]:
            with self.subTest(label):
                code, out, _ = self.check(manifest, None, "--public-key", keys)
                self.assertEqual(code, 1, out)
                self.assertIn("klucze publiczne nie są", out)


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
            ("right size", manifest_json("1.1.0", [("app.dll", url, sha256_hex(data), len(data))]), True),
            ("size not in digits", manifest_json("1.1.0", [("app.dll", url, sha256_hex(data), "7 B")]), False),
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
