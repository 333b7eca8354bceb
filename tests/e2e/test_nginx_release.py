"""A release as makers publish it: packed by OVANPublish and served by nginx, not by a test script.
The launcher installs it into an empty AppFolder, updates to the next one and then finds it current."""
import json
import os
import shutil
import unittest
import urllib.parse

from harness import HTTPS_PORT, MANIFEST_PATH, TEST_BIN, LauncherTestCase, state_file
from nginx_server import NginxServer, publish_with_pack

PUBLISH = os.path.join(os.path.dirname(os.path.dirname(TEST_BIN)), "bin", "OVANPublish.exe")
BOM = b"\xef\xbb\xbf"


class NginxRelease(LauncherTestCase):
    with_update_server = False

    def setUp(self):
        super().setUp()
        self.site = self.app + "-nginx"
        shutil.rmtree(self.site, ignore_errors=True)
        self.nginx = NginxServer(HTTPS_PORT, os.path.join(self.site, "root"), state_file("server.pem"),
                                 state_file("server.key"), self.site)
        self.addCleanup(self.nginx.stop)
        with open(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), "rb") as f:
            self.application = f.read()

    def publish(self, version, files):
        """Packs and serves a release of files (name -> bytes) plus the stand-in application;
        returns the paths its manifest tells the launcher to fetch."""
        folder = os.path.join(self.site, "releases", version)
        os.makedirs(folder)
        for name, data in dict(files, **{"Pellaron.exe": self.application}).items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        result = publish_with_pack(PUBLISH, self.nginx, folder, version, MANIFEST_PATH)
        self.assertEqual(result.returncode, 0, result.stderr.decode("utf-8"))
        with open(self.nginx.file(MANIFEST_PATH), "rb") as f:
            listed = json.loads(f.read().decode("utf-8-sig"))["files"]
        self.nginx.clear_log()
        return [urllib.parse.urlsplit(self.fetched(entry)).path for entry in listed]

    def fetched(self, entry):
        """The address of a manifest entry this launcher asks for."""
        return entry["url"]

    def assertRunServed(self, version, files, paths):
        """One launcher run ends with the application started, version and files installed, and
        nginx asked for the manifest and then exactly the given paths, each answered 200."""
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertIsNotNone(self.wait_started())
        self.assertEqual(self.read("current.txt"), BOM + version.encode())
        for name, data in files.items():
            self.assertEqual(self.read(name), data, name)
        served = self.nginx.served()
        self.assertEqual([row.path for row in served], [MANIFEST_PATH] + paths)
        self.assertEqual({row.status for row in served}, {200})
        os.remove(self.path("started.txt"))
        self.nginx.clear_log()

    def test_installs_updates_and_then_finds_it_current(self):
        first = {"app.dll": b"biblioteka 1.0.0\x00\r\n", "read me (1).txt": b"Pellaron 1.0.0",
                 "zażółć.txt": "gęślą jaźń".encode("utf-8")}
        self.assertRunServed("1.0.0", first, self.publish("1.0.0", first))

        second = dict(first, **{"app.dll": b"biblioteka 1.1.0", "plugin.dll": os.urandom(3 * 1024 * 1024)})
        self.assertRunServed("1.1.0", second, self.publish("1.1.0", second))
        self.assertIn("Aktualizacja zakończona pomyślnie", self.log_entries())

        self.assertRunServed("1.1.0", second, [])
        self.assertIn("Wersja lokalna jest aktualna", self.log_entries())


if __name__ == "__main__":
    unittest.main()
