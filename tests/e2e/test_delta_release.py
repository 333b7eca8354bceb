"""Patches: pack writes one from each version a changed file had in the last releases packed into the same
folder, check applies every one, and launchers that do not use them still install such a release."""
import hashlib
import json
import os
import random
import unittest
import urllib.parse

import winetools
from harness import MANIFEST_PATH, TEST_BIN
from test_compressed_release import BASE, PackingTestCase
from test_signed_release import folder_routes
from test_update_transaction import BOM
from update_server import Route


def program_builds(count, seed=7):
    """count builds of a program: the real launcher image, each next one with code inserted and the
    addresses after it moved, as consecutive builds differ."""
    with open(os.path.join(TEST_BIN, "OVANLauncher.exe"), "rb") as f:
        build = bytearray(f.read())
    rng = random.Random(seed)
    builds = [bytes(build)]
    for _ in range(count - 1):
        at = rng.randrange(len(build) // 4, len(build) // 2)
        build[at:at] = rng.randbytes(3000)
        for i in range(at + 3000, len(build), 512):
            build[i] = (build[i] + 0x30) & 0xFF
        builds.append(bytes(build))
    return builds


def sha256(data):
    return hashlib.sha256(data).hexdigest().upper()


class DeltaPacking(PackingTestCase):
    def pack_versions(self, releases, *options):
        """Packs each release (version -> files) into one output folder in turn; returns the folder and the
        last manifest."""
        out = self.scratch("out")
        for version, files in releases.items():
            folder = self.release(files, "release-" + version)
            code, said, err = self.publish("pack", winetools.win_path(folder), version, BASE, winetools.win_path(out),
                                           *options)
            self.assertEqual(code, 0, err)
        with open(os.path.join(out, "manifest.json"), "rb") as f:
            return out, json.loads(f.read())

    def deltas_of(self, manifest, name):
        return [delta for delta in manifest.get("deltas", []) if delta["name"] == name]

    def test_pack_writes_patches_from_the_last_three_releases(self):
        builds = program_builds(5)
        steady = os.urandom(20000)
        releases = {f"1.{i}": {"app.exe": builds[i], "steady.bin": steady, "noise.bin": os.urandom(50000)}
                    for i in range(5)}
        out, manifest = self.pack_versions(releases)

        entry = next(entry for entry in manifest["files"] if entry["name"] == "app.exe")
        deltas = self.deltas_of(manifest, "app.exe")
        self.assertEqual([delta["source_sha256"] for delta in deltas], [sha256(build) for build in builds[3:0:-1]])
        for delta in deltas:
            relative = f"files/{entry['sha256']}.from.{delta['source_sha256']}/app.exe"
            self.assertEqual(delta["url"], BASE + "/" + relative)
            with open(os.path.join(out, *relative.split("/")), "rb") as f:
                patch = f.read()
            self.assertEqual((delta["sha256"], delta["size"]), (sha256(patch), str(len(patch))))
            self.assertLess(len(patch) * 10, int(entry["zlib_size"]))
        # Unchanged, or changed beyond what a patch saves: no patch.
        self.assertEqual(self.deltas_of(manifest, "steady.bin") + self.deltas_of(manifest, "noise.bin"), [])
        code, said, _ = self.publish("check", winetools.win_path(os.path.join(out, "manifest.json")))
        self.assertEqual(code, 0, said)
        self.assertEqual(said.count("app.exe: poprawka z "), 3)

    def test_no_patches_when_turned_off_or_without_earlier_releases(self):
        builds = program_builds(2)
        for label, releases, options in [("first release", {"1.0": {"app.exe": builds[0]}}, ()),
                                         ("turned off", {"1.0": {"app.exe": builds[0]}, "1.1": {"app.exe": builds[1]}},
                                          ("--delta-releases", "0"))]:
            with self.subTest(label):
                out, manifest = self.pack_versions(releases, *options)
                self.assertNotIn("deltas", manifest)
                self.assertFalse(any(".from." in name for name in os.listdir(os.path.join(out, "files"))))

    def test_check_applies_every_patch(self):
        builds = program_builds(3)
        out, manifest = self.pack_versions({f"2.{i}": {"app.exe": build} for i, build in enumerate(builds)})
        manifest_path = os.path.join(out, "manifest.json")
        with open(manifest_path, "rb") as f:
            manifest_bytes = f.read()
        first, second = self.deltas_of(manifest, "app.exe")
        patch_path = os.path.join(out, *urllib.parse.urlsplit(first["url"]).path.split("/")[3:])
        other_path = os.path.join(out, *urllib.parse.urlsplit(second["url"]).path.split("/")[3:])
        with open(patch_path, "rb") as f:
            good = f.read()
        with open(other_path, "rb") as f:
            other = f.read()
        damaged = bytearray(good)
        damaged[len(good) // 2] ^= 0x55

        def described_as(patch):
            return manifest_bytes.replace(first["sha256"].encode(), sha256(patch).encode()).replace(
                b'"size": "%d"}' % len(good), b'"size": "%d"}' % len(patch))
        cases = [
            ("as packed", good, manifest_bytes, 0, "Manifest jest poprawny."),
            ("damaged", bytes(damaged), manifest_bytes, 1, "poprawka ma inny rozmiar albo SHA-256, niż podaje manifest"),
            ("damaged and so described", bytes(damaged), described_as(bytes(damaged)), 1, "BŁĄD: app.exe: poprawka z "),
            ("for another source", other, described_as(other), 1, "BŁĄD: app.exe: poprawka z "),
            ("missing", None, manifest_bytes, 0, "UWAGA: app.exe: poprawka z "),
        ]
        for label, patch, described, code_expected, said_text in cases:
            with self.subTest(label):
                if patch is None:
                    os.remove(patch_path)
                else:
                    with open(patch_path, "wb") as f:
                        f.write(patch)
                with open(manifest_path, "wb") as f:
                    f.write(described)
                code, said, _ = self.publish("check", winetools.win_path(manifest_path))
                self.assertEqual(code, code_expected, said)
                self.assertIn(said_text, said)

    def test_a_later_pack_keeps_a_sound_patch(self):
        builds = program_builds(2)
        out, manifest = self.pack_versions({"3.0": {"app.exe": builds[0]}, "3.1": {"app.exe": builds[1]}})
        (delta,) = self.deltas_of(manifest, "app.exe")
        patch_path = os.path.join(out, *urllib.parse.urlsplit(delta["url"]).path.split("/")[3:])
        stamp = os.stat(patch_path).st_mtime_ns
        folder = self.release({"app.exe": builds[1]}, "again")
        code, _, err = self.publish("pack", winetools.win_path(folder), "3.1", BASE, winetools.win_path(out))
        self.assertEqual(code, 0, err)
        with open(os.path.join(out, "manifest.json"), "rb") as f:
            self.assertEqual(self.deltas_of(json.loads(f.read()), "app.exe"), [delta])
        self.assertEqual(os.stat(patch_path).st_mtime_ns, stamp)


def path_of(url):
    return urllib.parse.urlsplit(url).path


def described(manifest_bytes, delta, patch):
    """The manifest with the patch's digest and length in delta's place."""
    return manifest_bytes.replace(delta["sha256"].encode(), sha256(patch).encode()).replace(
        b'"size": "%s"}' % delta["size"].encode(), b'"size": "%d"}' % len(patch))


class PatchedDownloads(PackingTestCase):
    """A launcher built with patched downloads (and compressed and resumed ones, and patch releases) fetches
    the patch from the installed file, and any patch it cannot use costs only the patch: the file then comes
    through its compressed copy in the same run."""
    launcher_build = "delta"

    def pack_pair(self, old, new, name="out"):
        """Packs 1.0.0 and 1.1.0 of app.exe (with a file that does not change) into one folder; returns the
        routes a static server of it answers, the manifest's bytes and its app.exe entry and patch."""
        out = self.scratch(name)
        for version, build in (("1.0.0", old), ("1.1.0", new)):
            folder = self.release({"app.exe": build, "same.txt": b"bez zmian"}, "release-" + version)
            code, _, err = self.publish("pack", winetools.win_path(folder), version, BASE, winetools.win_path(out))
            self.assertEqual(code, 0, err)
        routes = folder_routes(out, "/ovan/update")
        manifest = json.loads(routes[MANIFEST_PATH])
        (delta,) = manifest["deltas"]
        entry = next(entry for entry in manifest["files"] if entry["name"] == "app.exe")
        return routes, routes[MANIFEST_PATH], entry, delta

    def serve(self, routes, installed, **patch_route):
        self.fresh()
        for path, body in routes.items():
            self.server.routes[path] = Route(body=body, **(patch_route if ".from." in path else {}))
        self.write("current.txt", BOM + b"1.0.0")
        self.write("app.exe", installed)
        self.write("same.txt", b"bez zmian")

    def assertInstalled(self, new):
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.exe"), new)
        self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")
        self.assertFalse(os.path.exists(self.path("_update_tmp")))

    def test_the_patch_installs_byte_for_byte(self):
        old, new = program_builds(2)
        routes, _, entry, delta = self.pack_pair(old, new)
        self.serve(routes, old)

        self.run_launcher()

        self.assertInstalled(new)
        self.assertEqual(self.requested(), [MANIFEST_PATH, path_of(delta["url"])])
        log = self.log_entries()
        self.assertIn("Pobieranie poprawki: app.exe", log)
        self.assertIn("SHA-256 poprawny dla: app.exe", log)
        self.assertNotIn("Pobieranie pliku: app.exe", log)

    def test_a_patch_that_cannot_be_used_falls_back_to_the_compressed_copy(self):
        old, new, other = program_builds(3)
        routes, manifest, entry, delta = self.pack_pair(old, new)
        # A sound patch from the installed file, but to other bytes than the release's.
        other_routes, _, _, other_delta = self.pack_pair(old, other, "other")
        to_other = other_routes[path_of(other_delta["url"])]
        patch = routes[path_of(delta["url"])]
        # A patch from another version of the file: the one from 1.0.0 a 1.2.0 would carry.
        from_elsewhere = self.pack_pair(new, other, "elsewhere")[0]
        elsewhere = next(body for path, body in from_elsewhere.items() if ".from." in path)
        damaged = bytearray(patch)
        damaged[len(patch) // 2] ^= 0x55
        cases = [
            ("not on the server", None, manifest, "Serwer zwrócił HTTP 404"),
            ("damaged", bytes(damaged), manifest, "Poprawka ma inny SHA-256, niż podaje manifest."),
            ("for another source", elsewhere, described(manifest, delta, elsewhere),
             "Poprawka jest przeznaczona dla pliku innej długości niż zainstalowany."),
            ("to other bytes", to_other, described(manifest, delta, to_other), "Błędny SHA-256 dla pliku: app.exe"),
            ("cut short", patch[:len(patch) // 2], described(manifest, delta, patch[:len(patch) // 2]),
             "Poprawka jest ucięta."),
            ("too long", patch + b"\0", described(manifest, delta, patch + b"\0"), "Poprawka jest uszkodzona."),
        ]
        for label, served, manifest_bytes, why in cases:
            with self.subTest(label):
                case_routes = dict(routes, **{MANIFEST_PATH: manifest_bytes})
                if served is None:
                    del case_routes[path_of(delta["url"])]
                else:
                    case_routes[path_of(delta["url"])] = served
                self.serve(case_routes, old)

                self.run_launcher()

                self.assertInstalled(new)
                self.assertEqual(self.requested(), [MANIFEST_PATH, path_of(delta["url"]), path_of(entry["zlib_url"])])
                fallbacks = [entry for entry in self.log_entries() if "Nie użyto poprawki" in entry]
                self.assertEqual(len(fallbacks), 1, fallbacks)
                self.assertIn("Nie użyto poprawki pliku app.exe, pobieranie całego pliku. Powód: ", fallbacks[0])
                self.assertIn(why, fallbacks[0])

    def test_a_cut_patch_continues(self):
        old, new = program_builds(2)
        routes, _, entry, delta = self.pack_pair(old, new)
        patch = routes[path_of(delta["url"])]
        self.serve(routes, old, etag='"p1"', drop_after=len(patch) // 3, drops=1)

        self.run_launcher()

        self.assertInstalled(new)
        ranges = [headers.get("Range") for path, headers in self.server.requests if path == path_of(delta["url"])]
        self.assertEqual(ranges, [None, f"bytes={len(patch) // 3}-"])
        self.assertNotIn(path_of(entry["zlib_url"]), self.requested())

    def test_a_cut_patch_continues_in_the_next_run(self):
        old, new = program_builds(2)
        routes, _, entry, delta = self.pack_pair(old, new)
        patch = routes[path_of(delta["url"])]
        self.serve(routes, old, etag='"p1"', drop_after=len(patch) // 10, drops=4)
        copy = routes[path_of(entry["zlib_url"])]
        self.server.routes[path_of(entry["zlib_url"])] = Route(body=copy, etag='"z1"', drop_after=100, drops=4)

        self.run_launcher()

        self.assertEqual(self.exit_code, 4, self.stderr)
        self.assertEqual(self.read("app.exe"), old)
        self.assertIn("app.exe.patch.note", self.listing("_update_tmp"))
        kept = os.path.getsize(self.path("_update_tmp", "app.exe.patch"))
        self.server.requests.clear()

        self.run_launcher()

        self.assertInstalled(new)
        ranges = [headers.get("Range") for path, headers in self.server.requests if path == path_of(delta["url"])]
        self.assertEqual(ranges, [f"bytes={kept}-"])
        self.assertNotIn(path_of(entry["zlib_url"]), self.requested())

    def test_an_installed_file_that_matches_no_patch_comes_compressed(self):
        old, new = program_builds(2)
        routes, _, entry, _ = self.pack_pair(old, new)
        self.serve(routes, old[:-1] + b"#")

        self.run_launcher()

        self.assertInstalled(new)
        self.assertEqual(self.requested(), [MANIFEST_PATH, path_of(entry["zlib_url"])])
        self.assertFalse([entry for entry in self.log_entries() if "poprawki" in entry])


class LaunchersWithoutPatches(PackingTestCase):
    """The patches stand in a list after the files: a launcher that reads only the files installs every one."""

    def test_a_release_with_patches_installs_whole(self):
        builds = program_builds(2)
        out = self.scratch("out")
        for version, build in (("1.0.0", builds[0]), ("1.1.0", builds[1])):
            folder = self.release({"app.exe": build, "a.txt": version.encode(), "z.txt": version.encode()},
                                  "release-" + version)
            code, _, err = self.publish("pack", winetools.win_path(folder), version, BASE, winetools.win_path(out))
            self.assertEqual(code, 0, err)
        with open(os.path.join(out, "manifest.json"), "rb") as f:
            manifest = json.loads(f.read())
        self.assertEqual(len(manifest["deltas"]), 1)
        for path, body in folder_routes(out, "/ovan/update").items():
            self.server.routes[path] = Route(body=body)
        self.write("current.txt", BOM + b"1.0.0")
        self.write("app.exe", builds[0])

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.exe"), builds[1])
        self.assertEqual(self.read("z.txt"), b"1.1.0")
        self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")
        self.assertEqual(self.requested(), [MANIFEST_PATH] + [urllib.parse.urlsplit(entry["url"]).path
                                                              for entry in manifest["files"]])


if __name__ == "__main__":
    unittest.main()
