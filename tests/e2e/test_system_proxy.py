"""The user's proxy: launchers built with OVAN_SYSTEM_PROXY go out the way the Windows internet settings in
the prefix say, through a real tinyproxy on loopback. The proxy is written as localhost and the servers as
127.0.0.1 (Wine does not proxy a host written like its proxy); a host meant to be reached directly is
written as localhost."""
import os
import shutil
import time
import unittest

import internet_settings as settings
from harness import HTTPS_PORT, TEST_BIN, MANIFEST_PATH, LauncherTestCase, manifest_json, sha256_hex
from proxy_server import TinyProxy
from update_server import Route, UpdateServer

BOM = b"\xef\xbb\xbf"
PROXY_PORT = HTTPS_PORT + 1
# Nothing listens here: a proxy that is down.
DOWN_PORT = HTTPS_PORT + 2
PROXY = "localhost:%d" % PROXY_PORT
TUNNEL = "127.0.0.1:%d" % HTTPS_PORT
WHAT_TO_DO = ("Ten serwer proxy wskazują ustawienia internetowe systemu Windows (Opcje internetowe, zakładka "
              "Połączenia). Sprawdź połączenie z siecią albo poproś administratora sieci o sprawdzenie serwera "
              "proxy i tych ustawień.")
PAC = """function FindProxyForURL(url, host) {
    if (isPlainHostName(host)) return "DIRECT";
    if (shExpMatch(host, "127.0.0.*")) return "PROXY %s";
    return "DIRECT";
}
""" % PROXY


class SystemProxyCase(LauncherTestCase):
    launcher_build = "proxy"

    def setUp(self):
        super().setUp()
        self.plain = UpdateServer(0)
        self.addCleanup(self.plain.stop)
        self.user = settings.UserInternetSettings()
        self.addCleanup(self.user.restore)
        self.proxy = None

    def start_proxy(self, basic_auth=None):
        self.proxy = TinyProxy(PROXY_PORT, self.app + "-proxy", basic_auth)
        self.addCleanup(self.proxy.stop)
        return self.proxy

    def fresh_app(self, build):
        """An AppFolder as setUp left it, with the launcher of the given build, and clean server and proxy logs."""
        self.fresh()
        shutil.copy(os.path.join(TEST_BIN, build, "OVANLauncher.exe"), self.app)
        self.plain.requests.clear()
        if self.proxy:
            self.proxy.clear_log()

    def pac_url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.plain.port, name)

    def plain_url(self, host, name):
        return "http://%s:%d/files/%s" % (host, self.plain.port, name)

    def serve(self, version, files):
        """files: (url, name, bytes); the manifest at the launcher's address lists them."""
        entries = []
        for url, name, data in files:
            self.plain.routes["/files/" + name] = Route(body=data)
            entries.append((name, url, sha256_hex(data)))
        self.serve_manifest(manifest_json(version, entries))

    def assertUpdated(self, version, files):
        self.assertEqual(self.exit_code, 0, self.stderr.decode("utf-8", "replace"))
        self.assertEqual(self.read("current.txt"), BOM + version.encode())
        for _, name, data in files:
            self.assertEqual(self.read(name), data, name)
        self.assertIsNotNone(self.wait_started())

    def via_proxy(self, name):
        """Whether the plain server got the file's request through the proxy (tinyproxy adds Via)."""
        return [("Via" in headers) for path, headers in self.plain.requests if path == "/files/" + name]

    def proxy_lines(self):
        return [entry for entry in self.log_entries() if "proxy" in entry]


class ThroughTheProxy(SystemProxyCase):
    """Updates that go out as the settings say end exactly as without a proxy; the proxy's log shows what it
    carried, and the plain server shows which requests came without it."""

    def update_through(self, build, flags, bypass="", script="", also_direct=False):
        self.launcher_build = build
        self.fresh_app(build)
        self.user.set(flags, PROXY if flags & settings.STATIC_PROXY else "", bypass, script)
        files = [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", os.urandom(70000))]
        if also_direct:
            files.append((self.plain_url("localhost", "b.dll"), "b.dll", b"direct"))
        self.serve("2.0.0", files)
        self.run_launcher()
        self.assertUpdated("2.0.0", files)
        self.assertEqual(self.proxy.requests(),
                         [("CONNECT", TUNNEL), ("GET", self.plain_url("127.0.0.1", "a.dll"))])
        self.assertEqual(self.via_proxy("a.dll"), [True])
        if also_direct:
            self.assertEqual(self.via_proxy("b.dll"), [False])
        self.assertEqual(self.proxy_lines(), ["Połączenie przez serwer proxy: " + PROXY])

    def test_static_proxy_https_and_http(self):
        self.start_proxy()
        for build in ("proxy", "proxy_kept"):
            with self.subTest(build):
                self.update_through(build, settings.DIRECT | settings.STATIC_PROXY)

    def test_bypass_entry_sends_one_host_direct(self):
        self.start_proxy()
        for build, bypass in (("proxy", "localhost"), ("proxy_kept", "*.example.com;<local>")):
            with self.subTest(build=build, bypass=bypass):
                self.update_through(build, settings.DIRECT | settings.STATIC_PROXY, bypass=bypass, also_direct=True)

    def test_pac_file_sends_the_update_host_through_the_proxy_and_another_direct(self):
        self.start_proxy()
        self.plain.routes["/proxy.pac"] = Route(body=PAC.encode(),
                                                headers={"Content-Type": "application/x-ns-proxy-autoconfig"})
        self.update_through("proxy", settings.DIRECT | settings.SCRIPT, script=self.pac_url("proxy.pac"),
                            also_direct=True)
