"""Runs an update that replaces Pellaron.exe, and the start of the new one, many times over, to catch a start
that fails now and then. A tool for looking into such a failure, not a test.

    python3 tools/start_loop.py --build build-x64 [--runs 300] [--winedebug CHANNELS] [--launcher EXE] [--cold]
                                [--same-application]

It works in a prefix of its own (<build>/start-loop), made as the tests make theirs, with the test launcher of
the first lane (its address, the build's OVAN_TEST_HTTPS_PORT, is where this tool serves), or another
launcher built for that address. The runs follow one another in one AppFolder, as the cases of a test do:
run n finds 1.n installed and is offered 1.(n+1) with a new Pellaron.exe (the stand-in with other trailing
bytes) and a.dll, right after the application run n-1 started has written its record. The tool counts how
the runs ended and keeps, for each run that did not end with 0 and a started application, a copy of the
AppFolder, its standard error and Wine's trace (WINEDEBUG, which goes to the same standard error) in
<build>/start-loop/failed-<n>. With --cold the prefix's wineserver is stopped before each run, so that the
launcher starts beside Wine's own services and desktop coming up, as the first program of a prefix does.
With --same-application the releases leave Pellaron.exe out, so that each run starts the very file the run
before started, as the proxy tests' cases do.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

from localbuild import ROOT, WinePrefix

import winetools  # noqa: E402
from harness import MANIFEST_PATH, manifest_json, sha256_hex  # noqa: E402
from update_server import Route, UpdateServer  # noqa: E402

BOM = b"\xef\xbb\xbf"


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(r"^%s:\w+=(.*)$" % name, f.read(), re.M).group(1)


def build_wine(build):
    """The Wine loader the build's tests run under, as its toolchain file names it."""
    with open(cache_value(build, "CMAKE_TOOLCHAIN_FILE")) as f:
        return re.search(r"CMAKE_CROSSCOMPILING_EMULATOR\s+(\S+)\)", f.read()).group(1)


def wait_started(app, timeout):
    record = os.path.join(app, "started.txt")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(record):
            with open(record, "rb") as f:
                if f.read().count(b"\n") >= 2:
                    return True
        time.sleep(0.01)
    return False


class Loop:
    def __init__(self, build, launcher, server, winedebug, cold, same_application):
        self.bin = os.path.join(build, "tests", "bin")
        self.launcher = launcher or os.path.join(self.bin, "OVANLauncher.exe")
        self.failed = os.path.join(build, "start-loop")
        self.server = server
        self.winedebug = winedebug
        self.cold = cold
        self.same_application = same_application
        with open(os.path.join(self.bin, "ovan_stand_in_app.exe"), "rb") as f:
            self.application = f.read()
        self.app = os.path.join(build, "start-loop", "app")
        shutil.rmtree(self.app, ignore_errors=True)
        os.makedirs(self.app)
        self.install()

    def offer(self, run):
        if self.same_application:
            new_application = self.application
            files = {"a.dll": b"a.dll of run %d" % run}
        else:
            new_application = self.application + b"release 1.%d of run %d" % (run + 1, run)
            files = {"Pellaron.exe": new_application, "a.dll": b"a.dll of run %d" % run}
        entries = []
        for name, data in files.items():
            path = "/files/%d/%s" % (run, name)
            self.server.routes[path] = Route(body=data, keep_alive=True)
            entries.append((name, self.server.url(path), sha256_hex(data)))
        self.server.routes[MANIFEST_PATH] = Route(body=manifest_json("1.%d" % (run + 1), entries), keep_alive=True)
        return new_application

    def install(self):
        shutil.copy(self.launcher, os.path.join(self.app, "OVANLauncher.exe"))
        with open(os.path.join(self.app, "Pellaron.exe"), "wb") as f:
            f.write(self.application)
        with open(os.path.join(self.app, "current.txt"), "wb") as f:
            f.write(BOM + b"1.0")

    def run(self, run):
        """(exit code, whether the application started, the new Pellaron.exe in place)."""
        record = os.path.join(self.app, "started.txt")
        if os.path.exists(record):
            os.remove(record)
        new_application = self.offer(run)
        if self.cold:
            subprocess.run([winetools.wineserver(), "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        environment = dict(os.environ, WINEDEBUG=self.winedebug)
        result = subprocess.run([winetools.wine(), os.path.join(self.app, "OVANLauncher.exe")], cwd=self.app,
                                env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
        started = wait_started(self.app, 15 if result.returncode == 0 else 0.5)
        with open(os.path.join(self.app, "Pellaron.exe"), "rb") as f:
            replaced = f.read() == new_application
        if result.returncode != 0 or not started:
            kept = os.path.join(self.failed, "failed-%d" % run)
            shutil.rmtree(kept, ignore_errors=True)
            shutil.copytree(self.app, kept)
            with open(os.path.join(kept, "stderr.txt"), "wb") as f:
                f.write(result.stderr)
        return result.returncode, started, replaced


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build-x64"))
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--launcher", help="the launcher to run (else the first lane's test launcher)")
    parser.add_argument("--port", type=int, help="the port its address names (else the build's test port)")
    parser.add_argument("--cold", action="store_true", help="stop the prefix's wineserver before each run")
    parser.add_argument("--same-application", action="store_true", help="releases without Pellaron.exe")
    parser.add_argument("--winedebug", default="-all", help="Wine's trace channels for the launcher's runs")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    wine = build_wine(build)
    folder = os.path.join(build, "start-loop")
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        if name.startswith("failed-"):
            shutil.rmtree(os.path.join(folder, name))
    with WinePrefix(build, wine, folder) as prefix:
        server = UpdateServer(args.port or int(cache_value(build, "OVAN_TEST_HTTPS_PORT")), *prefix.certificate())
        outcomes = {}
        try:
            loop = Loop(build, args.launcher, server, args.winedebug, args.cold, args.same_application)
            for run in range(args.runs):
                outcome = loop.run(run)
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                if outcome != (0, True, True):
                    print("run %d: exit %d, started %s, new Pellaron.exe %s" % ((run,) + outcome), flush=True)
        finally:
            server.stop()
            print("outcomes (exit code, application started, new Pellaron.exe in place): runs")
            for outcome, count in sorted(outcomes.items()):
                print("  %s: %d" % (outcome, count), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
