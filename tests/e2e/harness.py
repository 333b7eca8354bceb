"""Shared pieces of the end-to-end tests: a temporary AppFolder with the real launcher in it,
the loopback update server the launcher's built-in address points at, and readers for what
a user would see (exit code, standard error, update.log, files on disk, the started application)."""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

import winetools
from update_server import Route, UpdateServer

TEST_BIN = os.environ.get("OVAN_TEST_BIN", "")
STATE = os.environ.get("OVAN_TEST_STATE", "")
WORK = os.environ.get("OVAN_TEST_WORK", "/tmp/ovan-e2e")
HTTPS_PORT = int(os.environ.get("OVAN_TEST_HTTPS_PORT", "47443"))
# The test launchers wait on a slow server this many times shorter than a shipped one.
WINDOW_DIVISOR = int(os.environ.get("OVAN_TEST_WINDOW_DIVISOR", "1"))
# How long a test launcher waits for response headers (a shipped one 20 s).
HEADER_WAIT = 20 / WINDOW_DIVISOR
MANIFEST_PATH = "/ovan/update/manifest.json"

LOG_ENTRY = re.compile(rb"\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] ")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest().upper()


def manifest_json(version, entries):
    """entries: (name, url, sha256) or (name, url, sha256, size) tuples; written the way the launcher's scanner expects."""
    files = ",\n".join(
        '    {"name": "%s", "url": "%s", "sha256": "%s"%s}' % (entry[:3] + (
            ', "size": "%s"' % entry[3] if len(entry) > 3 else "",)) for entry in entries)
    return ('{\n  "version": "%s",\n  "files": [\n%s\n  ]\n}\n' % (version, files)).encode("utf-8")


def publish_release(server, version, files, routes=None):
    """Serves files (name -> bytes) under /files/ and a manifest for them at the launcher's address;
    routes may replace the route of a file by name. Returns the manifest entries."""
    entries = []
    for name, data in files.items():
        path = "/files/" + name
        server.routes[path] = (routes or {}).get(name) or Route(body=data)
        entries.append((name, server.url(path), sha256_hex(data)))
    server.routes[MANIFEST_PATH] = Route(body=manifest_json(version, entries))
    return entries


def state_file(name):
    return os.path.join(STATE, name)


class LauncherTestCase(unittest.TestCase):
    """Each test gets a fresh AppFolder holding OVANLauncher.exe and a stand-in Pellaron.exe,
    and an https update server on the port built into the test launcher."""

    with_application = True
    # The folder of tests/bin whose launcher the test runs: "" for the default build, or one built with other choices.
    launcher_build = ""
    with_update_server = True

    def setUp(self):
        self.app = os.path.join(WORK, self.id().replace("/", "_"))
        shutil.rmtree(self.app, ignore_errors=True)
        os.makedirs(self.app)
        shutil.copy(os.path.join(TEST_BIN, self.launcher_build, "OVANLauncher.exe"), self.app)
        if self.with_application:
            shutil.copy(os.path.join(TEST_BIN, "ovan_stand_in_app.exe"), self.path("Pellaron.exe"))
        if self.with_update_server:
            self.server = UpdateServer(HTTPS_PORT, state_file("server.pem"), state_file("server.key"))
            self.addCleanup(self.server.stop)

    # --- the AppFolder --------------------------------------------------------------------------

    def path(self, *names):
        return os.path.join(self.app, *names)

    def win(self, *names):
        return winetools.win_path(self.path(*names))

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self, *names):
        """Files and folders in the AppFolder (or below it), sorted."""
        return sorted(os.listdir(self.path(*names)))

    def fresh(self):
        """An AppFolder as setUp left it and an empty server, for the next case of a table."""
        for name in self.listing():
            if name not in ("OVANLauncher.exe", "Pellaron.exe"):
                path = self.path(name)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
        self.server.routes.clear()
        self.server.requests.clear()
        self.server.arrivals.clear()

    # --- the update server ----------------------------------------------------------------------

    def serve_manifest(self, body, **route_options):
        self.server.routes[MANIFEST_PATH] = Route(body=body, **route_options)

    def serve_release(self, version, files, routes=None):
        return publish_release(self.server, version, files, routes)

    def requested(self):
        """The paths the server was asked for, in order."""
        return [path for path, _ in self.server.requests]

    # --- running the launcher and reading what it left ------------------------------------------

    def run_launcher(self, cwd=None, exe="OVANLauncher.exe", timeout=120):
        result = winetools.run_windows([self.path(exe)], cwd=cwd or self.app, timeout=timeout, exit_code_from_wine=True)
        self.exit_code = result.returncode
        self.stderr = result.stderr
        return result

    def run_launcher_stopped_at(self, path, until):
        """run_launcher(), but the launcher is stopped (SIGSTOP) the moment path appears in the AppFolder and
        goes on once until() has returned: another program gets all the time it needs to act on a file that
        exists only for a moment, however slowly it starts."""
        launcher = subprocess.Popen([winetools.wine(), self.path("OVANLauncher.exe")], cwd=self.app,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 120
        while launcher.poll() is None and not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.001)
        if launcher.poll() is None:
            launcher.send_signal(signal.SIGSTOP)
            try:
                until()
            finally:
                launcher.send_signal(signal.SIGCONT)
        self.stderr = launcher.communicate(timeout=120)[1]
        self.exit_code = launcher.returncode

    def log_bytes(self):
        return self.read("update.log") if os.path.exists(self.path("update.log")) else b""

    def log_entries(self):
        """The messages of update.log, timestamps removed, decoded; each entry may hold line breaks."""
        raw = self.log_bytes()
        starts = [m for m in LOG_ENTRY.finditer(raw)]
        self.assertTrue(raw == b"" or (starts and starts[0].start() == 0), raw[:80])
        entries = []
        for i, match in enumerate(starts):
            end = starts[i + 1].start() if i + 1 < len(starts) else len(raw)
            chunk = raw[match.end():end]
            self.assertTrue(chunk.endswith(b"\r\n"), chunk)
            entries.append(chunk[:-2].decode("utf-8").replace("\r\n", "\n"))
        return entries

    def started(self):
        """(command line, current directory) the stand-in application recorded, or None."""
        if not os.path.exists(self.path("started.txt")):
            return None
        lines = self.read("started.txt").decode("utf-8").split("\n")
        return lines[0], lines[1]

    def wait_started(self, timeout=15):
        """started(), once the application has written its whole record: the launcher does not wait for it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.path("started.txt")) and self.read("started.txt").count(b"\n") >= 2:
                return self.started()
            time.sleep(0.05)
        return None

    def assertFatal(self, exit_code, text):
        """The run ended through the fatal report: exit code, the FATAL log entry, the same text on stderr."""
        self.assertEqual(self.exit_code, exit_code, self.stderr)
        self.assertEqual(self.log_entries()[-1], "FATAL: " + text)
        self.assertEqual(self.stderr, (text + "\n").replace("\n", "\r\n").encode("utf-8"))
        self.assertIsNone(self.started())
