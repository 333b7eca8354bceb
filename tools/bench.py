"""make bench: the launcher against the platform floor, measured side by side under the same Wine.

The releases are served by nginx over https on loopback. The floor (tools/bench/floor.cpp) makes the
launcher's requests with the fewest WinHTTP and bcrypt calls, over one kept-alive connection. Compared,
medians of alternating runs:

1. an update of four files of 64 MiB against the floor fetching, writing, reading back and hashing them;
2. a patch release (one of those four changed) by a launcher that skips unchanged files, against the
   full update, and which paths the server was asked for; the installed release is one that launcher
   installed, so its record of the installed files lies beside it;
3. a release of 2,000 files of 4 KiB by the launcher without and with one session kept, against the floor;
4. the update with flushes against a build without them;
5. peak memory applying a release whose largest file is 256 MiB, and one of a single 1 GiB file against
   the idle launcher;
6. a file of 256 MiB whose first transfer the server cuts at half: the bytes served in all by a launcher
   that continues it, and its time against a build without the option (which fails, then succeeds in a
   second run); this server is the tests' own (it can cut a body and answer ranges), the manifest nginx's;
7. a start with no update due until the application runs, against the floor's one GET and start; the same
   for a launcher with every choice of the recommended preset, on internet settings never changed (none
   stored, read as auto-detection switched on, which finds nothing on loopback);
8. a full update of real Windows binaries (Wine's own PE DLLs of 1.0 to 1.6 MB) packed by OVANPublish, by a
   launcher with compressed downloads against the shipped one: bytes nginx sent, time on loopback, and time
   through nginx limited to 10 MB/s per connection;
9. a start with no update due of 200 installed files of 1 MiB (installed by the launcher, with its record), by a
   launcher that checks the installation for damage against the shipped one;
10. an update of Windows binaries from npm at two consecutive versions, packed by OVANPublish with patches, by a
    launcher with patched and compressed downloads against one with compressed downloads only: bytes nginx
    sent and time, on loopback and on the slow line; the patches' size against Debian's bsdiff on the same
    pairs; the publisher's time and peak memory making them; and peak memory applying a patch to 256 MiB.
Native curl figures are shown for information only. OVAN_BENCH_RUNS sets the number of runs (5; four
times as many for the start). `bench.py start` measures the starts alone.
"""
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import time
import urllib.parse

from localbuild import ROOT, WinePrefix, build

import winetools  # noqa: E402
from harness import MANIFEST_PATH, manifest_json, sha256_hex  # noqa: E402
from nginx_server import NginxServer, publish_with_pack  # noqa: E402
from update_server import Route, UpdateServer  # noqa: E402

# Each width runs in a process of its own (OVAN_BENCH_WIDTH); make bench runs both, the shipped i686 image last.
WIDTHS = os.environ.get("OVAN_BENCH_WIDTHS", "x86_64 i686").split()
WIDTH = os.environ.get("OVAN_BENCH_WIDTH", "")
BUILD = os.path.join(ROOT, "build-bench" if WIDTH != "x86_64" else "build-bench-x64")
PORT = int(os.environ.get("OVAN_BENCH_PORT", "47943"))
MANIFEST_URL = f"https://127.0.0.1:{PORT}{MANIFEST_PATH}"
TARGETS = ["OVANLauncher", "ovan_bench_patch", "ovan_bench_keep", "ovan_bench_no_flush", "ovan_bench_resume",
           "ovan_bench_recommended", "ovan_stand_in_app",
           "ovan_trust_ca", "ovan_idle", "ovan_bench_sha256", "ovan_bench_fetch", "ovan_bench_floor",
           "ovan_bench_compressed", "ovan_bench_repair", "ovan_bench_delta", "OVANPublish"]
# The shipped launcher's choices, stated so that a cache left by another configuration cannot change them.
OPTIONS = ["-DOVAN_RELEASE_PUBLIC_KEYS=", "-DOVAN_UPDATE_REQUIRED=ON", "-DOVAN_SKIP_UNCHANGED=OFF",
           "-DOVAN_KEEP_CONNECTION=OFF", "-DOVAN_SYSTEM_PROXY=OFF", "-DOVAN_NETWORK_TEXTS=OFF",
           "-DOVAN_RESUME_DOWNLOADS=OFF", "-DOVAN_COMPRESSED_DOWNLOADS=OFF", "-DOVAN_REPAIR_INSTALLATION=OFF",
           "-DOVAN_DELTA_DOWNLOADS=OFF",
           "-DOVAN_BUILD_TESTS=ON"]
RUNS = int(os.environ.get("OVAN_BENCH_RUNS", "5"))
MIB = 1024 * 1024

SHIPPED = ("bin",)
PATCH = ("bench", "patch")
KEEP = ("bench", "keep")
NO_FLUSH = ("bench", "no_flush")
RESUME = ("bench", "resume")
COMPRESSED = ("bench", "compressed")
RECOMMENDED = ("bench", "recommended")
REPAIR = ("bench", "repair")
DELTA = ("bench", "delta")
# Windows binaries from npm, each at two consecutive versions: (package, old, new, files inside it).
NPM_CORPUS = [("@esbuild/win32-x64", "0.24.1", "0.24.2", ["esbuild.exe"]),
              ("@rollup/rollup-win32-x64-msvc", "4.68.7", "4.68.8", ["rollup.win32-x64-msvc.node"]),
              ("@img/sharp-win32-x64", "0.33.4", "0.33.5", ["lib/libvips-42.dll", "lib/sharp-win32-x64.node"])]
SLOW_LINE = "10m"


def bin_path(*names):
    return os.path.join(BUILD, *names)


def timed(args, stdout=subprocess.DEVNULL, must_succeed=True, **kwargs):
    """Wall time and peak resident memory (bytes) of one process run to its end.

    The peak is read from /proc while the process runs: the rusage of a child forked from this
    script would count this script's own memory, copied into the child before exec."""
    start = time.perf_counter()
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL, **kwargs)
    peak = 0
    while process.poll() is None:
        peak = max(peak, winetools.high_water_mark(process.pid))
        time.sleep(0.002)
    elapsed = time.perf_counter() - start
    if must_succeed and process.returncode != 0:
        sys.exit(f"benchmark step failed ({process.returncode}): {args[:4]}")
    return elapsed, peak


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def wait_for(path, timeout=30):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            sys.exit(f"benchmark step did not finish: no {path}")
        time.sleep(0.001)


class Bench:
    def __init__(self, server, wine, ca):
        self.server = server
        self.wine = wine
        self.ca = ca
        self.work = bin_path("bench-work")
        self.runs = 0
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    def folder(self, kind):
        self.runs += 1
        path = os.path.join(self.work, f"{kind}{self.runs}")
        os.makedirs(path)
        return path

    # --- releases on the server ---------------------------------------------------------------

    def publish(self, version, files):
        """Serves files (name -> bytes) under /r<version>/ and their manifest at the launcher's address;
        returns each address the launcher will fetch, the manifest's first, with its digest."""
        entries = []
        for name, data in files.items():
            path = f"/r{version}/{urllib.parse.quote(name)}"
            write_file(self.server.file(path), data)
            entries.append((name, self.server.url(path), sha256_hex(data)))
        manifest = manifest_json(version, entries)
        write_file(self.server.file(MANIFEST_PATH), manifest)
        return dict([(MANIFEST_URL, sha256_hex(manifest))] + [(url, digest) for _, url, digest in entries])

    # --- the launcher ---------------------------------------------------------------------------

    def app_folder(self, launcher, installed, files=None):
        """A new AppFolder each run: the launcher of the given build, the stand-in application,
        current.txt and installed files linked from files (name -> path)."""
        app = self.folder("app")
        shutil.copy(bin_path(*launcher, "OVANLauncher.exe"), app)
        shutil.copy(bin_path("tests", "bin", "ovan_stand_in_app.exe"), os.path.join(app, "Pellaron.exe"))
        with open(os.path.join(app, "current.txt"), "wb") as f:
            f.write(b"\xef\xbb\xbf" + installed.encode())
        for name, path in (files or {}).items():
            os.link(path, os.path.join(app, name))
        return app

    def publish_big(self, version, name, size):
        """A release of one file of size bytes, written and hashed piece by piece."""
        path = f"/r{version}/{name}"
        digest = hashlib.sha256()
        os.makedirs(os.path.dirname(self.server.file(path)), exist_ok=True)
        with open(self.server.file(path), "wb") as f:
            piece = os.urandom(64 * MIB)
            for _ in range(size // len(piece)):
                f.write(piece)
                digest.update(piece)
        entry = (name, self.server.url(path), digest.hexdigest().upper())
        write_file(self.server.file(MANIFEST_PATH), manifest_json(version, [entry]))

    def launcher(self, launcher, installed, files=None):
        """Time and peak memory of one launcher run, and the paths the server was asked for."""
        app = self.app_folder(launcher, installed, files)
        self.server.clear_log()
        elapsed, peak = timed([self.wine, os.path.join(app, "OVANLauncher.exe")], cwd=app)
        requested = self.server.served()
        wait_for(os.path.join(app, "started.txt"))
        shutil.rmtree(app, ignore_errors=True)
        return elapsed, peak, requested

    def flushes(self, launcher, installed):
        """How many times one launcher run flushed a file to the disk (fsync and fdatasync, counted by strace)."""
        app = self.app_folder(launcher, installed)
        log = os.path.join(self.work, "flushes.strace")
        subprocess.run(["strace", "-f", "-e", "trace=fsync,fdatasync", "-o", log, self.wine,
                        os.path.join(app, "OVANLauncher.exe")], cwd=app, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(os.path.join(app, "started.txt"))
        shutil.rmtree(app, ignore_errors=True)
        with open(log) as f:
            return sum(1 for line in f if " fsync(" in line or " fdatasync(" in line)

    def cut_and_finished(self, launcher, cutter, route):
        """Runs the launcher until the application starts (twice at most, in one AppFolder) while the
        cutting server cuts the first answer at half; the time and the body bytes it served in all."""
        app = self.app_folder(launcher, "1.0.0")
        served_before = cutter.body_bytes
        route.drops = 1
        start = time.perf_counter()
        for _ in range(2):
            timed([self.wine, os.path.join(app, "OVANLauncher.exe")], must_succeed=False, cwd=app)
            if os.path.exists(os.path.join(app, "started.txt")):
                break
        elapsed = time.perf_counter() - start
        wait_for(os.path.join(app, "started.txt"))
        shutil.rmtree(app, ignore_errors=True)
        return elapsed, cutter.body_bytes - served_before

    def installed_by(self, launcher, version, files):
        """The files (name -> bytes) as the launcher installs them from nothing, with the record it writes
        beside them: name -> path, for app_folder. The release's files are taken off the server again; its
        manifest stays until the next is published."""
        self.publish(version, files)
        app = self.app_folder(launcher, "0.0.0")
        timed([self.wine, os.path.join(app, "OVANLauncher.exe")], cwd=app)
        wait_for(os.path.join(app, "started.txt"))
        shutil.rmtree(self.server.file(f"/r{version}"), ignore_errors=True)
        return {name: os.path.join(app, name) for name in list(files) + ["_installed_files"]}

    def launcher_until_started(self, installed, launcher=SHIPPED, files=None):
        app = self.app_folder(launcher, installed, files)
        start = time.perf_counter()
        timed([self.wine, os.path.join(app, "OVANLauncher.exe")], cwd=app)
        wait_for(os.path.join(app, "started.txt"))
        return time.perf_counter() - start

    # --- the floor and the native references ----------------------------------------------------

    def floor_fetch(self, digests):
        """The floor fetching every address; each digest it prints must be the published one."""
        folder = self.folder("floor")
        listing = os.path.join(folder, "urls.txt")
        with open(listing, "w") as f:
            f.write("\n".join(digests) + "\n")
        self.server.clear_log()
        with open(os.path.join(self.work, "floor.out"), "w+b") as out:
            elapsed = timed([self.wine, bin_path("bin", "ovan_bench_floor.exe"), "fetch", winetools.win_path(folder),
                             "@" + winetools.win_path(listing)], stdout=out)[0]
            out.seek(0)
            printed = out.read().decode().split()
        if printed != list(digests.values()):
            sys.exit("the floor did not fetch the published files")
        connections = {row.connection for row in self.server.served()}
        shutil.rmtree(folder, ignore_errors=True)
        return elapsed, len(connections)

    def floor_start(self, installed):
        app = self.app_folder(SHIPPED, installed)
        start = time.perf_counter()
        timed([self.wine, bin_path("bin", "ovan_bench_floor.exe"), "start", MANIFEST_URL,
               winetools.win_path(os.path.join(app, "Pellaron.exe"))])
        wait_for(os.path.join(app, "started.txt"))
        return time.perf_counter() - start

    def curl(self, url, target):
        return timed(["curl", "-sSf", "--cacert", self.ca, "-o", target, url])[0]

    def curl_update(self, urls):
        """Native curl writing each file, then a minimal exe hashing each under Wine."""
        folder = self.folder("curl")
        targets = [os.path.join(folder, f"file{i}") for i in range(len(urls))]
        elapsed = sum(self.curl(url, target) for url, target in zip(urls, targets))
        elapsed += timed([self.wine, bin_path("bin", "ovan_bench_sha256.exe")]
                         + [winetools.win_path(t) for t in targets])[0]
        shutil.rmtree(folder, ignore_errors=True)
        return elapsed

    def curl_start(self, installed):
        app = self.app_folder(SHIPPED, installed)
        elapsed = self.curl(MANIFEST_URL, os.path.join(self.work, "manifest.json"))
        return elapsed + timed([self.wine, os.path.join(app, "Pellaron.exe")], cwd=app)[0]

    def publish_packed(self, version, paths):
        """A release of the given files packed by OVANPublish into the folder nginx serves the manifest from."""
        folder = self.folder("release")
        for path in paths:
            shutil.copy(path, folder)
        result = publish_with_pack(bin_path("bin", "OVANPublish.exe"), self.server, folder, version, MANIFEST_PATH)
        if result.returncode != 0:
            sys.exit("OVANPublish pack failed: " + result.stderr.decode("utf-8"))

    def download_only(self, urls):
        return timed([self.wine, bin_path("bin", "ovan_bench_fetch.exe")] + list(urls))[0]


def npm_corpus():
    """(old path, new path) of each corpus file, fetched once with npm pack into the bench build's cache."""
    cache = bin_path("npm-corpus")
    pairs = []
    for package, old, new, files in NPM_CORPUS:
        folders = []
        for version in (old, new):
            folder = os.path.join(cache, package.replace("/", "_") + "-" + version)
            if not os.path.isdir(folder):
                os.makedirs(cache, exist_ok=True)
                name = subprocess.run(["npm", "pack", "--silent", f"{package}@{version}"], cwd=cache, check=True,
                                      capture_output=True, text=True).stdout.split()[-1]
                with tarfile.open(os.path.join(cache, name)) as archive:
                    archive.extractall(folder + ".part", filter="data")
                os.rename(folder + ".part", folder)
            folders.append(os.path.join(folder, "package"))
        pairs += [(os.path.join(folders[0], f), os.path.join(folders[1], f)) for f in files]
    return pairs


def wine_dlls():
    """Real Windows binaries: the PE DLLs of 1.0 to 1.6 MB that Debian's libwine for amd64 ships."""
    listed = subprocess.run(["dpkg", "-L", "libwine:amd64"], capture_output=True, text=True, check=True).stdout.split()
    return sorted(path for path in listed if "/x86_64-windows/" in path and path.endswith(".dll")
                  and 1_000_000 <= os.path.getsize(path) <= 1_600_000)


def main():
    if not WIDTH:
        for width in WIDTHS:
            subprocess.run([sys.executable, os.path.abspath(__file__)] + sys.argv[1:], check=True,
                           env=dict(os.environ, OVAN_BENCH_WIDTH=width))
        return
    starts_only = sys.argv[1:] == ["start"]
    print(f"Building the {WIDTH} launchers for the benchmark ...", flush=True)
    wine = build(BUILD, MANIFEST_URL, TARGETS, OPTIONS, arch=WIDTH)
    with WinePrefix(BUILD, wine) as prefix:
        site = bin_path("bench-site")
        shutil.rmtree(site, ignore_errors=True)
        with NginxServer(PORT, os.path.join(site, "root"), *prefix.certificate(), site) as server:
            try:
                bench = Bench(server, wine, os.path.join(prefix.state, "ca.pem"))
                bench.certificate = prefix.certificate()
                if starts_only:
                    print("Measuring: start ...", flush=True)
                    report_start(measure_start(bench))
                    return
                results = measure(bench)
            finally:
                shutil.rmtree(bin_path("bench-work"), ignore_errors=True)
        # The same release as the last measure, served again with each connection held to a slow line's pace.
        with NginxServer(PORT, os.path.join(site, "root"), *prefix.certificate(), site, SLOW_LINE) as server:
            try:
                print(f"Measuring: compressed downloads, limit_rate {SLOW_LINE} ...", flush=True)
                results.update(measure_compressed(Bench(server, wine, os.path.join(prefix.state, "ca.pem")), "slow"))
            finally:
                shutil.rmtree(bin_path("bench-work"), ignore_errors=True)
        shutil.rmtree(site, ignore_errors=True)
        results.update(measure_deltas(wine, prefix, site))
        shutil.rmtree(site, ignore_errors=True)
    report(results)


def medians(rows):
    """rows: one dict of figures per run; the median of each figure."""
    return {key: statistics.median(row[key] for row in rows) for key in rows[0]}


def measure(bench):
    print("Measuring: start ...", flush=True)
    results = measure_start(bench)
    print("Measuring: update, patch release and durability ...", flush=True)
    results.update(measure_update(bench))
    print("Measuring: many small files ...", flush=True)
    results.update(measure_many_files(bench))
    print("Measuring: a start that checks the installation ...", flush=True)
    results.update(measure_repair_start(bench))
    print("Measuring: peak memory ...", flush=True)
    results.update(measure_memory(bench))
    print("Measuring: a cut transfer continued ...", flush=True)
    results.update(measure_resume(bench))
    print("Measuring: compressed downloads on loopback ...", flush=True)
    dlls = wine_dlls()
    bench.publish_packed("6.0.0", dlls)
    results.update(measure_compressed(bench, "loopback"))
    results["dll_count"] = len(dlls)
    results["dll_bytes"] = sum(os.path.getsize(path) for path in dlls)
    return results


def measure_start(bench):
    bench.publish("5.0.0", {"app.dll": b"x"})
    rows = []
    # A start takes a few tenths of a second, so a busy machine's jitter needs more runs to even out.
    for _ in range(4 * RUNS + 1):
        rows.append(dict(start_launcher=bench.launcher_until_started("5.0.0"),
                         start_floor=bench.floor_start("5.0.0"),
                         start_recommended=bench.launcher_until_started("5.0.0", RECOMMENDED),
                         start_curl=bench.curl_start("5.0.0"),
                         manifest_only=bench.download_only([MANIFEST_URL]),
                         idle_memory=bench.launcher(SHIPPED, "5.0.0")[1]))
    return medians(rows[1:])  # the first run warms caches and Wine's first start of each program


def measure_update(bench):
    """Installed: four files of 1.0.0; offered: 2.0.0, in which only part2.bin differs."""
    installed = {f"part{i}.bin": os.urandom(64 * MIB) for i in range(4)}
    offered = dict(installed, **{"part2.bin": os.urandom(64 * MIB)})
    installed_files = bench.installed_by(PATCH, "1.0.0", installed)
    digests = bench.publish("2.0.0", offered)
    del installed, offered
    files = [url for url in digests if url != MANIFEST_URL]
    changed = [MANIFEST_PATH, "/r2.0.0/part2.bin"]
    rows, patch_requests = [], []
    for run in range(RUNS + 1):
        full, peak, _ = bench.launcher(SHIPPED, "1.0.0", installed_files)
        floor = bench.floor_fetch(digests)[0]
        patch, _, served = bench.launcher(PATCH, "1.0.0", installed_files)
        no_flush = bench.launcher(NO_FLUSH, "1.0.0", installed_files)[0]
        patch_requests.append([row.path for row in served])
        rows.append(dict(update_launcher=full, update_floor=floor, update_memory=peak, patch_launcher=patch,
                         update_no_flush=no_flush, update_curl=bench.curl_update(files),
                         download_only=bench.download_only(files)))
    result = medians(rows[1:])
    result["patch_requests"] = patch_requests[-1]
    result["patch_requests_right"] = all(paths == changed for paths in patch_requests)
    return result


MANY_FILES = 2000
REPAIR_FILES = 200


def measure_many_files(bench):
    digests = bench.publish("4.0.0", {f"f{i:04}.bin": os.urandom(4096) for i in range(MANY_FILES)})
    flushes = bench.flushes(KEEP, "1.0.0")
    rows = []
    for _ in range(RUNS):
        before, _, served_before = bench.launcher(SHIPPED, "1.0.0")
        after, _, served_after = bench.launcher(KEEP, "1.0.0")
        floor, floor_connections = bench.floor_fetch(digests)
        rows.append(dict(many_before=before, many_after=after, many_floor=floor,
                         connections_before=len({row.connection for row in served_before}),
                         connections_after=len({row.connection for row in served_after}),
                         connections_floor=floor_connections))
    return dict(medians(rows), many_flushes=flushes)


def measure_repair_start(bench):
    """Both launchers start on the same installed files and record, alternating; nothing is damaged, so the
    repairing one only checks."""
    files = bench.installed_by(REPAIR, "8.0.0", {f"f{i:03}.bin": os.urandom(MIB) for i in range(REPAIR_FILES)})
    if [row.path for row in bench.launcher(REPAIR, "8.0.0", files)[2]] != [MANIFEST_PATH]:
        sys.exit("the installation the repair start measures was not found intact")
    rows = []
    for _ in range(4 * RUNS + 1):
        rows.append(dict(start_plain=bench.launcher_until_started("8.0.0", SHIPPED, files),
                         start_repair=bench.launcher_until_started("8.0.0", REPAIR, files)))
    return medians(rows[1:])


def measure_memory(bench):
    bench.publish("3.0.0", {"big.bin": os.urandom(256 * MIB), "small.dll": os.urandom(MIB)})
    result = dict(big_memory=statistics.median(bench.launcher(SHIPPED, "1.0.0")[1] for _ in range(max(3, RUNS // 2))))
    shutil.rmtree(bench.server.file("/r3.0.0"), ignore_errors=True)
    bench.publish_big("6.0.0", "huge.bin", 1024 * MIB)
    result["gib_memory"] = statistics.median(bench.launcher(SHIPPED, "1.0.0")[1] for _ in range(3))
    shutil.rmtree(bench.server.file("/r6.0.0"), ignore_errors=True)
    return result


def measure_resume(bench):
    """A 256 MiB file served with an ETag by the tests' server on the next port, its first answer cut at half."""
    data = os.urandom(256 * MIB)
    route = Route(body=data, etag='"bench"', drop_after=len(data) // 2)
    cutter = UpdateServer(PORT + 1, *bench.certificate)
    try:
        cutter.routes["/cut.bin"] = route
        write_file(bench.server.file(MANIFEST_PATH),
                   manifest_json("7.0.0", [("cut.bin", cutter.url("/cut.bin"), sha256_hex(data))]))
        rows = []
        for _ in range(max(3, RUNS // 2)):
            resumed, resumed_bytes = bench.cut_and_finished(RESUME, cutter, route)
            again, again_bytes = bench.cut_and_finished(SHIPPED, cutter, route)
            rows.append(dict(resume_time=resumed, resume_bytes=resumed_bytes / len(data),
                             again_time=again, again_bytes=again_bytes / len(data)))
    finally:
        cutter.stop()
    return medians(rows)


def measure_compressed(bench, line):
    """A full update to the packed release by the shipped launcher and by one with compressed downloads,
    alternating: seconds and bytes nginx sent for each."""
    rows = []
    for _ in range(RUNS + 1):
        row = {}
        for kind, launcher in (("plain", SHIPPED), ("compressed", COMPRESSED)):
            elapsed, _, served = bench.launcher(launcher, "1.0.0")
            row[f"{line}_{kind}"] = elapsed
            row[f"{line}_{kind}_bytes"] = sum(served_row.size for served_row in served)
        rows.append(row)
    return medians(rows[1:])


def pack_pair(bench, pairs, kind):
    """Packs the old files as 1.0.0, then the new ones as 1.1.0, into nginx's folder; the second pack's time
    and peak memory (it makes the patches)."""
    for version, index in (("1.0.0", 0), ("1.1.0", 1)):
        folder = bench.folder(kind)
        for pair in pairs:
            shutil.copy(pair[index], folder)
        command = [bin_path("bin", "OVANPublish.exe"), "pack", winetools.win_path(folder), version,
                   bench.server.url("/ovan/update"), winetools.win_path(bench.server.file("/ovan/update"))]
        elapsed, peak = timed([bench.wine] + command)
    return elapsed, peak


def bsdiff_bytes(bench, pairs):
    total = 0
    for old, new in pairs:
        patch = os.path.join(bench.work, "bsdiff.patch")
        subprocess.run(["bsdiff", old, new, patch], check=True)
        total += os.path.getsize(patch)
    return total


def measure_delta_updates(bench, pairs, line):
    """The update from the old files by a launcher with patched and compressed downloads and by one with
    compressed downloads only, alternating: seconds and bytes nginx sent."""
    installed = {os.path.basename(new): old for old, new in pairs}
    rows = []
    for _ in range(RUNS + 1):
        row = {}
        for kind, launcher in (("compressed", COMPRESSED), ("delta", DELTA)):
            elapsed, _, served = bench.launcher(launcher, "1.0.0", installed)
            row[f"delta_{line}_{kind}"] = elapsed
            row[f"delta_{line}_{kind}_bytes"] = sum(served_row.size for served_row in served)
        rows.append(row)
    return medians(rows[1:])


def big_pair(bench):
    """256 MiB of random bytes and its next version with a few stretches changed."""
    old = os.path.join(bench.work, "big-old", "big.bin")
    new = os.path.join(bench.work, "big-new", "big.bin")
    data = bytearray(os.urandom(256 * MIB))
    write_file(old, bytes(data))
    for at in range(0, len(data), 16 * MIB):
        data[at:at + 4096] = os.urandom(4096)
    write_file(new, bytes(data))
    return old, new


def measure_deltas(wine, prefix, site):
    pairs = npm_corpus()
    results = {}
    for line in ("loopback", "slow"):
        with NginxServer(PORT, os.path.join(site, "root"), *prefix.certificate(), site,
                         SLOW_LINE if line == "slow" else None) as server:
            bench = Bench(server, wine, os.path.join(prefix.state, "ca.pem"))
            try:
                if line == "loopback":
                    print("Measuring: patches of the npm corpus ...", flush=True)
                    results["delta_pack_time"], results["delta_pack_memory"] = pack_pair(bench, pairs, "npm")
                    with open(server.file(MANIFEST_PATH), "rb") as f:
                        manifest = json.loads(f.read())
                    results["delta_patch_bytes"] = sum(int(delta["size"]) for delta in manifest["deltas"])
                    results["delta_zlib_bytes"] = sum(int(entry.get("zlib_size", entry["size"]))
                                                      for entry in manifest["files"])
                    results["delta_bsdiff_bytes"] = bsdiff_bytes(bench, pairs)
                print(f"Measuring: patched downloads, {line} ...", flush=True)
                results.update(measure_delta_updates(bench, pairs, line))
                if line == "slow":
                    continue
                print("Measuring: a patch applied to 256 MiB ...", flush=True)
                shutil.rmtree(server.file("/ovan/update"), ignore_errors=True)
                big = big_pair(bench)
                pack_pair(bench, [big], "big")
                results["delta_big_memory"] = bench.launcher(DELTA, "1.0.0", {"big.bin": big[0]})[1]
            finally:
                shutil.rmtree(bin_path("bench-work"), ignore_errors=True)
    return results


def verdict(name, measured, digits, limit, below=False):
    """One target line, the figure judged as it is printed; limit is a text ("1.10"), reached unless below.
    The shipped i686 image's lines carry the bare names, the x86_64 build's end in _x86_64."""
    shown = round(measured, digits)
    met = shown < float(limit) if below else shown <= float(limit)
    return f"bench: {named(name)} {shown:.{digits}f} {'<' if below else '<='}{limit} {'met' if met else 'MISSED'}"


def named(name):
    return name if WIDTH == "i686" else f"{name}_{WIDTH}"


ROW = "{:58} {:>10} {:>10} {:>6}"


def start_rows(r):
    print(ROW.format("7. start without update, until the app runs (s)", f"{r['start_launcher']:.3f}",
                     f"{r['start_floor']:.3f}", f"{r['start_launcher'] / r['start_floor']:.2f}"))
    print(ROW.format("   the same, recommended build, settings never changed (s)", f"{r['start_recommended']:.3f}",
                     f"{r['start_floor']:.3f}", f"{r['start_recommended'] / r['start_floor']:.2f}"))
    print(ROW.format("   one https request with a Wine start (s)", f"{r['manifest_only']:.3f}", "", ""))
    print(ROW.format("   native curl + Wine start, information only (s)", f"{r['start_curl']:.3f}", "", ""))


def start_verdicts(r):
    print(verdict("start_vs_floor", r["start_launcher"] / r["start_floor"], 3, "1.15"))
    print(verdict("start_recommended_vs_floor", r["start_recommended"] / r["start_floor"], 3, "1.15"))


def report_start(r):
    print()
    print(f"medians of {4 * RUNS} alternating runs, nginx over https on loopback")
    print(ROW.format("measure", "launcher", "floor", "ratio"))
    start_rows(r)
    print()
    start_verdicts(r)


def report(r):
    update_ratio = r["update_launcher"] / r["update_floor"]
    patch_ratio = r["patch_launcher"] / r["update_launcher"]
    many_ratio = r["many_after"] / r["many_floor"]
    flush_cost = (r["update_launcher"] - r["update_no_flush"]) / r["update_no_flush"] * 100
    fetched = len(r["patch_requests"]) - 1
    memory_bound = 256 * MIB + 32 * MIB
    bytes_ratio = r["loopback_compressed_bytes"] / r["loopback_plain_bytes"]
    loopback_ratio = r["loopback_compressed"] / r["loopback_plain"]
    slow_ratio = r["slow_compressed"] / r["slow_plain"]
    repair_ratio = r["start_repair"] / r["start_plain"]
    row = ROW
    print()
    print(f"{WIDTH} images{' (the shipped width; under qemu-i386 where the kernel runs no 32-bit code)' if WIDTH == 'i686' else ''}: "
          f"medians of {RUNS} alternating runs ({4 * RUNS} for the start), nginx over https on loopback")
    print(row.format("measure", "launcher", "floor", "ratio"))
    print(row.format("1. update, 4 files of 64 MiB (s)", f"{r['update_launcher']:.2f}", f"{r['update_floor']:.2f}",
                     f"{update_ratio:.2f}"))
    print(row.format("   the launcher's download step alone (s)", f"{r['download_only']:.2f}", "", ""))
    print(row.format("   native curl + bcrypt exe, information only (s)", f"{r['update_curl']:.2f}", "", ""))
    print(row.format("2. patch release, 1 of 4 files changed (s)", f"{r['patch_launcher']:.2f}",
                     f"{r['update_launcher']:.2f}", f"{patch_ratio:.2f}"))
    print(f"   asked for: {', '.join(r['patch_requests'])}")
    print(row.format("3. 2,000 files of 4 KiB, one session kept (s)", f"{r['many_after']:.2f}",
                     f"{r['many_floor']:.2f}", f"{many_ratio:.2f}"))
    print(row.format("   same, a session per file (s)", f"{r['many_before']:.2f}", f"{r['many_floor']:.2f}",
                     f"{r['many_before'] / r['many_floor']:.2f}"))
    print(f"   flushes to the disk in one update of {MANY_FILES} files: {r['many_flushes']}")
    print(f"   connections nginx saw: session kept {r['connections_after']:.0f}, "
          f"session per file {r['connections_before']:.0f}, floor {r['connections_floor']:.0f}")
    print(row.format("4. update with flushes / without (s)", f"{r['update_launcher']:.2f}",
                     f"{r['update_no_flush']:.2f}", f"{r['update_launcher'] / r['update_no_flush']:.2f}"))
    print(row.format("5. peak memory, largest file 256 MiB (MiB)", f"{r['big_memory'] / MIB:.1f}", "", ""))
    print(row.format("   peak memory, 4 files of 64 MiB (MiB)", f"{r['update_memory'] / MIB:.1f}", "", ""))
    print(row.format("   peak memory, no update (Wine itself) (MiB)", f"{r['idle_memory'] / MIB:.1f}", "", ""))
    print(row.format("   peak memory, one file of 1 GiB (MiB)", f"{r['gib_memory'] / MIB:.1f}", "", ""))
    print(row.format("6. 256 MiB cut at half, continued / run again (s)", f"{r['resume_time']:.2f}",
                     f"{r['again_time']:.2f}", f"{r['resume_time'] / r['again_time']:.2f}"))
    print(row.format("   bytes served / file, continued / run again", f"{r['resume_bytes']:.3f}",
                     f"{r['again_bytes']:.3f}", ""))
    start_rows(r)
    print(f"8. update to {r['dll_count']:.0f} Wine DLLs ({r['dll_bytes'] / 1e6:.1f} MB), compressed / plain downloads:")
    print(row.format("   bytes nginx sent (MB)", f"{r['loopback_compressed_bytes'] / 1e6:.1f}",
                     f"{r['loopback_plain_bytes'] / 1e6:.1f}", f"{bytes_ratio:.2f}"))
    print(row.format("   loopback (s)", f"{r['loopback_compressed']:.2f}", f"{r['loopback_plain']:.2f}",
                     f"{loopback_ratio:.2f}"))
    print(row.format(f"   limit_rate {SLOW_LINE} per connection (s)", f"{r['slow_compressed']:.2f}",
                     f"{r['slow_plain']:.2f}", f"{slow_ratio:.2f}"))
    print(row.format(f"9. start, {REPAIR_FILES} files of 1 MiB, checked / not (s)", f"{r['start_repair']:.3f}",
                     f"{r['start_plain']:.3f}", f"{repair_ratio:.2f}"))
    print()
    print(verdict("update_vs_floor", update_ratio, 3, "1.10"))
    start_verdicts(r)
    print(verdict("patch_vs_full_update", patch_ratio, 3, "0.30"))
    print(f"bench: {named('patch_files_fetched')} {fetched} 1 {'met' if r['patch_requests_right'] else 'MISSED'}")
    print(verdict("many_files_kept_vs_floor", many_ratio, 3, "1.50"))
    print(verdict("durable_writes_cost_pct", flush_cost, 1, "10", below=True))
    print(verdict("flushes_per_update", r["many_flushes"], 0, str(MANY_FILES + 3)))
    print(verdict("peak_memory_mib", r["big_memory"] / MIB, 1, str(memory_bound // MIB)))
    print(verdict("peak_memory_1gib_mib", r["gib_memory"] / MIB, 1, f"{r['idle_memory'] / MIB + 32:.1f}"))
    print(f"resume: time {r['resume_time']:.2f} s, without the option {r['again_time']:.2f} s in two runs")
    print(verdict("resume_bytes_ratio", r["resume_bytes"], 3, "1.05"))
    print(verdict("compressed_bytes_ratio", bytes_ratio, 3, "0.33"))
    print(verdict("compressed_slow_line_ratio", slow_ratio, 3, "0.45"))
    print(verdict("compressed_loopback_ratio", loopback_ratio, 3, "1.15"))
    print(verdict("start_with_repair_vs_start", repair_ratio, 3, "1.10"))
    report_deltas(r)


def report_deltas(r):
    print()
    print(f"npm corpus: patches {r['delta_patch_bytes']} B, bsdiff {r['delta_bsdiff_bytes']} B, "
          f"compressed copies {r['delta_zlib_bytes']} B")
    print(f"publisher making the patches: {r['delta_pack_time']:.1f} s, peak memory {r['delta_pack_memory'] / MIB:.0f} MiB")
    for line in ("loopback", "slow"):
        print(f"update with patches / compressed only, {line}: {r[f'delta_{line}_delta']:.2f} s / "
              f"{r[f'delta_{line}_compressed']:.2f} s, {r[f'delta_{line}_delta_bytes']} B / "
              f"{r[f'delta_{line}_compressed_bytes']} B")
    print(verdict("delta_bytes_ratio", r["delta_loopback_delta_bytes"] / r["delta_loopback_compressed_bytes"], 3, "0.16"))
    print(verdict("delta_vs_bsdiff", r["delta_patch_bytes"] / r["delta_bsdiff_bytes"], 3, "1.10"))
    print(verdict("delta_update_vs_compressed", r["delta_loopback_delta"] / r["delta_loopback_compressed"], 3, "1.00")
          + f" (limit_rate {SLOW_LINE}: {r['delta_slow_delta'] / r['delta_slow_compressed']:.3f})")
    print(verdict("peak_memory_delta_mib", r["delta_big_memory"] / MIB, 1, f"{r['idle_memory'] / MIB + 32:.1f}"))

if __name__ == "__main__":
    main()
