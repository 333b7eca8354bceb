"""The user's proxy: launchers built with OVAN_SYSTEM_PROXY go out the way the Windows internet settings in
the prefix say, through a real tinyproxy on loopback. The proxy is written as localhost and the servers as
127.0.0.1 (Wine does not proxy a host written like its proxy); a host meant to be reached directly is
written as localhost."""
import os
import shutil
import time
import unittest

import internet_settings as settings
from harness import HEADER_WAIT, HTTPS_PORT, TEST_BIN, MANIFEST_PATH, LauncherTestCase, manifest_json, sha256_hex
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


class WhenTheWayOutFails(SystemProxyCase):
    def install_old(self):
        """An installed 1.0.0 whose files must stay as they are."""
        self.write("current.txt", BOM + b"1.0.0")
        self.write("a.dll", b"old")

    def assertNothingChanged(self):
        self.assertEqual(self.read("current.txt"), BOM + b"1.0.0")
        self.assertEqual(self.read("a.dll"), b"old")
        self.assertEqual([name for name in self.listing() if name != "_update_tmp"],
                         ["OVANLauncher.exe", "Pellaron.exe", "a.dll", "current.txt", "update.log"])

    def test_automatic_settings_that_find_nothing_go_direct_with_one_line(self):
        """Straight, as browsers go: not through a static proxy set beside them either."""
        self.start_proxy()
        self.plain.routes["/broken.pac"] = Route(body=b"function FindProxyForURL(url, host) { return (; }")
        missing = ("Nie udało się użyć skryptu konfiguracji proxy %s, połączenie bezpośrednie | "
                   "Nie udało się pobrać skryptu konfiguracji serwera proxy.")
        detection = ("Automatyczne wykrywanie serwera proxy nie powiodło się, połączenie bezpośrednie | "
                     "Automatyczne wykrywanie serwera proxy niczego nie znalazło.")
        cases = [
            ("missing script", settings.SCRIPT, "missing.pac", missing),
            # Wine reports a script error as 14007, a code it has no text for and Windows uses otherwise.
            ("broken script", settings.SCRIPT, "broken.pac",
             "Nie udało się użyć skryptu konfiguracji proxy %s, połączenie bezpośrednie | kod błędu 14007"),
            # Detection alone is the normal case and says nothing; beside a proxy it was chosen, and failed.
            ("missing script beside a static proxy", settings.SCRIPT | settings.STATIC_PROXY, "missing.pac", missing),
            ("auto-detection beside a static proxy", settings.AUTO_DETECT | settings.STATIC_PROXY, "", detection),
        ]
        for label, flag, script, line in cases:
            with self.subTest(label):
                self.fresh_app("proxy")
                script_url = self.pac_url(script) if script else ""
                self.user.set(settings.DIRECT | flag, PROXY if flag & settings.STATIC_PROXY else "", script=script_url)
                files = [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", b"A"),
                         (self.plain_url("localhost", "b.dll"), "b.dll", b"B")]
                self.serve("2.0.0", files)
                self.run_launcher()
                self.assertUpdated("2.0.0", files)
                self.assertEqual(self.proxy.requests(), [])
                self.assertEqual(self.via_proxy("a.dll") + self.via_proxy("b.dll"), [False, False])
                lines = self.proxy_lines()
                self.assertEqual(len(lines), 1, lines)
                self.assertEqual(lines, [line % script_url if script else line])
                self.assertEqual([path for path, _ in self.plain.requests].count("/" + script), 1 if script else 0)

    def test_proxy_that_is_down(self):
        self.install_old()
        down = "localhost:%d" % DOWN_PORT
        self.user.set(settings.DIRECT | settings.STATIC_PROXY, down)
        self.serve("2.0.0", [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", b"new")])
        self.run_launcher()
        self.assertFatal(2, "Nie udało się pobrać manifestu aktualizacji.\n\nNie udało się połączyć z serwerem proxy "
                         "%s. Nie udało się nawiązać połączenia z serwerem. Sprawdź połączenie z internetem.\n\n%s"
                         % (down, WHAT_TO_DO))
        self.assertEqual(self.server.requests, [])
        self.assertNothingChanged()

    def test_proxy_asking_for_basic_credentials_over_http(self):
        """The manifest goes direct past the bypass list; the file, on a host written otherwise than the proxy,
        meets the proxy's 407, which is never answered."""
        self.install_old()
        proxy = "127.0.0.1:%d" % PROXY_PORT
        self.start_proxy(basic_auth=("user", "secret"))
        self.user.set(settings.DIRECT | settings.STATIC_PROXY, proxy, "127.0.0.1")
        url = self.plain_url("localhost", "a.dll")
        self.serve("2.0.0", [(url, "a.dll", b"new")])
        self.run_launcher()
        self.assertFatal(4, "Jest dostępna nowa wersja programu (2.0.0), ale aktualizacja nie powiodła się.\n\n"
                         "Program nie zostanie uruchomiony.\n\nSerwer proxy %s wymaga logowania (HTTP 407) przy "
                         "pobieraniu %s\n\nProgram aktualizacji loguje się na serwerze proxy tylko jako zalogowany "
                         "użytkownik Windows i nie podaje żadnego hasła. Poproś administratora sieci, aby serwer proxy "
                         "przepuszczał ten adres bez logowania albo przyjmował logowanie do domeny Windows."
                         % (proxy, url))
        self.assertEqual(self.proxy.requests(), [("GET", url)])
        self.assertEqual(self.plain.requests, [])
        self.assertNothingChanged()

    def test_proxy_asking_for_basic_credentials_over_https(self):
        """Under Wine the 407 to CONNECT never reaches the launcher: the tunnel fails as a secure channel
        error when the proxy closes it (tinyproxy does), or the header wait ends the download when it does not."""
        self.install_old()
        self.start_proxy(basic_auth=("user", "secret"))
        self.user.set(settings.DIRECT | settings.STATIC_PROXY, PROXY)
        self.serve("2.0.0", [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", b"new")])
        started = time.monotonic()
        self.run_launcher()
        self.assertLess(time.monotonic() - started, 25)
        failures = ["WinHttpSendRequest nie powiodło się. Nie udało się nawiązać bezpiecznego połączenia z serwerem.",
                    "WinHttpReceiveResponse nie powiodło się. Serwer nie odpowiedział w wyznaczonym czasie."]
        texts = ["Nie udało się pobrać manifestu aktualizacji.\n\n%s\n\nPołączenie prowadziło przez serwer proxy %s. %s"
                 % (failure, PROXY, WHAT_TO_DO) for failure in failures]
        self.assertIn(self.log_entries()[-1][len("FATAL: "):], texts)
        self.assertFatal(2, self.log_entries()[-1][len("FATAL: "):])
        self.assertEqual(self.proxy.requests(), [("CONNECT", TUNNEL)])
        self.assertEqual(self.server.requests, [])
        self.assertNothingChanged()


class WithoutTheOption(SystemProxyCase):
    launcher_build = ""

    def test_settings_are_ignored(self):
        self.start_proxy()
        self.plain.routes["/proxy.pac"] = Route(body=PAC.encode())
        cases = [
            ("static proxy", settings.STATIC_PROXY, PROXY, ""),
            ("proxy that is down", settings.STATIC_PROXY, "localhost:%d" % DOWN_PORT, ""),
            ("PAC file", settings.SCRIPT, "", self.pac_url("proxy.pac")),
            ("everything", settings.STATIC_PROXY | settings.SCRIPT | settings.AUTO_DETECT, PROXY,
             self.pac_url("proxy.pac")),
        ]
        for label, flags, proxy, script in cases:
            with self.subTest(label):
                self.fresh_app("")
                self.user.set(settings.DIRECT | flags, proxy, "", script)
                files = [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", b"A")]
                self.serve("2.0.0", files)
                self.run_launcher()
                self.assertUpdated("2.0.0", files)
                self.assertEqual(self.proxy.requests(), [])
                self.assertEqual([path for path, _ in self.plain.requests], ["/files/a.dll"])
                self.assertEqual(self.via_proxy("a.dll"), [False])
                self.assertEqual(self.proxy_lines(), [])


class NothingSet(SystemProxyCase):
    def test_update_goes_as_without_the_option(self):
        """Direct only: not a line more. No value at all reads, as on Windows, as auto-detection switched on,
        which finds nothing here: the normal case on a machine whose settings were never changed, and just as
        quiet."""
        self.start_proxy()
        for label, flags in (("direct only", settings.DIRECT), ("no value at all", None),
                             ("auto-detection alone", settings.DIRECT | settings.AUTO_DETECT)):
            with self.subTest(label):
                self.fresh_app("proxy")
                if flags is None:
                    self.user.restore()
                else:
                    self.user.set(flags)
                files = [(self.plain_url("127.0.0.1", "a.dll"), "a.dll", b"A")]
                self.serve("2.0.0", files)
                self.run_launcher()
                self.assertUpdated("2.0.0", files)
                self.assertEqual(self.proxy.requests(), [])
                self.assertEqual(self.via_proxy("a.dll"), [False])
                self.assertEqual(self.proxy_lines(), [])

    def test_network_failures_in_words(self):
        """The build also carries OVAN_NETWORK_TEXTS: codes without a system text read as sentences."""
        heading = "Nie udało się pobrać manifestu aktualizacji.\n\n"
        self.serve_manifest(b'{"version": "2.0.0", "files": []}', drop_after=10)
        self.run_launcher()
        self.assertFatal(2, heading + "WinHttpReadData nie powiodło się. Połączenie z serwerem zostało przerwane.")
        # A server that takes the request and never answers: Wine reports 10060 for the header wait, Windows 12002;
        # either way the server did not answer, which is not a failed attempt to connect.
        self.serve_manifest(b'{"version": "2.0.0", "files": []}', delay=2 * HEADER_WAIT)
        self.run_launcher()
        self.assertFatal(2, heading + "WinHttpReceiveResponse nie powiodło się. Serwer nie odpowiedział w wyznaczonym "
                         "czasie.")
        self.server.stop()
        self.run_launcher()
        self.assertFatal(2, heading + "WinHttpSendRequest nie powiodło się. Nie udało się nawiązać połączenia z "
                         "serwerem. Sprawdź połączenie z internetem.")
