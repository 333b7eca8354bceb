"""Compressed copies: pack writes a zlib copy beside each file that is clearly smaller so, check verifies
them, and a launcher built with compressed downloads installs through them byte for byte."""
import json
import os
import re
import unittest
import urllib.parse
import zlib

import test_nginx_release
import winetools
from harness import HTTPS_PORT, MANIFEST_PATH, TEST_BIN
from test_publisher import PublisherTestCase
from test_signed_release import folder_routes
from test_update_transaction import BOM, FAILED
from update_server import Route

BASE = f"https://127.0.0.1:{HTTPS_PORT}/ovan/update"


def compressible(size, seed=b"Pellaron"):
    """Bytes that deflate to a small part of their size."""
    pattern = (seed + os.urandom(16).hex().encode()) * (size // 40 + 1)
    return pattern[:size]


def path_of(url):
    return urllib.parse.urlsplit(url).path


def endless(size):
    """A small zlib stream of size zero bytes, made without holding them."""
    compressor = zlib.compressobj(9)
    piece = bytes(1024 * 1024)
    return b"".join(compressor.compress(piece) for _ in range(size // len(piece))) + compressor.flush()


class PackingTestCase(PublisherTestCase):
    def pack_into(self, files, version="1.0"):
        folder = self.release(files, "release-" + version)
        out = self.scratch("out")
        code, _, err = self.publish("pack", winetools.win_path(folder), version, BASE, winetools.win_path(out))
        self.assertEqual(code, 0, err)
        with open(os.path.join(out, "manifest.json"), "rb") as f:
            return out, {entry["name"]: entry for entry in json.loads(f.read())["files"]}


class PackedCopies(PackingTestCase):
    def test_pack_writes_a_copy_only_where_it_is_clearly_smaller(self):
        with open(os.path.join(TEST_BIN, "OVANLauncher.exe"), "rb") as f:
            program = f.read()
        files = {"program.exe": program, "text.txt": compressible(200000), "random.bin": os.urandom(100000),
                 "already.zip": zlib.compress(compressible(300000), 9), "tiny.txt": b"a" * 900}
        out, entries = self.pack_into(files)
        for name, data in files.items():
            with self.subTest(name):
                entry = entries[name]
                if name in ("random.bin", "already.zip", "tiny.txt"):
                    self.assertNotIn("zlib_url", entry)
                    continue
                relative = f"files/{entry['sha256']}.zlib/{name}"
                self.assertEqual(entry["zlib_url"], BASE + "/" + relative)
                with open(os.path.join(out, *relative.split("/")), "rb") as f:
                    copy = f.read()
                self.assertEqual(entry["zlib_size"], str(len(copy)))
                self.assertEqual(zlib.decompress(copy), data)
                self.assertLessEqual(len(copy), len(data) * 0.9)

    def test_a_later_pack_keeps_a_sound_copy_and_replaces_a_broken_one(self):
        text = compressible(200000)
        out, entries = self.pack_into({"text.txt": text})
        copy = os.path.join(out, "files", entries["text.txt"]["sha256"] + ".zlib", "text.txt")
        for label, present, kept in [("another zlib's copy", zlib.compress(text, 1), True),
                                     ("a broken copy", b"\x78\x9c broken", False)]:
            with self.subTest(label):
                with open(copy, "wb") as f:
                    f.write(present)
                folder = self.release({"text.txt": text}, "again")
                code, _, err = self.publish("pack", winetools.win_path(folder), "1.1", BASE, winetools.win_path(out))
                self.assertEqual(code, 0, err)
                with open(copy, "rb") as f:
                    now = f.read()
                with open(os.path.join(out, "manifest.json"), "rb") as f:
                    entry = json.loads(f.read())["files"][0]
                self.assertEqual(now == present, kept)
                self.assertEqual(zlib.decompress(now), text)
                self.assertEqual(entry["zlib_size"], str(len(now)))

    def test_check_inflates_every_copy(self):
        text = compressible(200000)
        out, entries = self.pack_into({"text.txt": text, "other.txt": compressible(100000, b"inny")})
        manifest_path = os.path.join(out, "manifest.json")
        copy = os.path.join(out, "files", entries["text.txt"]["sha256"] + ".zlib", "text.txt")
        with open(copy, "rb") as f:
            good = f.read()
        with open(manifest_path, "rb") as f:
            manifest = f.read()
        size_member = b'"zlib_size": "%d"' % len(good)
        cases = [
            ("as packed", good, manifest, 0, "Manifest jest poprawny."),
            ("damaged", good[:100] + bytes([good[100] ^ 0x55]) + good[101:], manifest, 1, "jest uszkodzona: text.txt"),
            ("other bytes", zlib.compress(text[:-1] + b"#", 9), manifest, 1,
             "po rozpakowaniu SHA-256 nie zgadza się z plikiem"),
            ("another zlib_size", good, manifest.replace(size_member, b'"zlib_size": "%d"' % (len(good) + 1)), 1,
             'skompresowana kopia ma inny rozmiar niż "zlib_size"'),
            ("no size", good, re.sub(rb', "size": "\d+"', b"", manifest), 1, 'manifest nie podaje rozmiaru ("size")'),
            ("missing", None, manifest, 0, "UWAGA: text.txt: obok manifestu nie ma skompresowanej kopii"),
        ]
        for label, replaced, manifest_bytes, code_expected, said_text in cases:
            with self.subTest(label):
                if replaced is None:
                    os.remove(copy)
                else:
                    with open(copy, "wb") as f:
                        f.write(replaced)
                with open(manifest_path, "wb") as f:
                    f.write(manifest_bytes)
                code, said, _ = self.publish("check", winetools.win_path(manifest_path))
                self.assertEqual(code, code_expected, said)
                self.assertIn(said_text, said)


class CompressedNginxRelease(test_nginx_release.NginxRelease):
    """The nginx release test, run by a launcher with compressed downloads: it asks for each copy instead."""
    launcher_build = "compressed"

    def fetched(self, entry):
        return entry.get("zlib_url", entry["url"])

    def assertRunServed(self, version, files, paths):
        super().assertRunServed(version, files, paths)
        self.assertTrue(not paths or any(".zlib/" in path for path in paths), paths)


class CompressedDownloads(PackingTestCase):
    launcher_build = "compressed"
    # What a copy longer than its zlib_size fails with: its stream is cut off there.
    longer_than_zlib_size = "Skompresowana kopia pliku jest uszkodzona: app.dll"

    def serve_packed(self, files, altered=None, own_lengths=True, unsized=()):
        """Packs 1.1.0 of files, serves its output folder with the copies of altered (name -> bytes) swapped,
        each with its length in the manifest unless not own_lengths, and the objects of the names in unsized
        without their size; returns the manifest's entries as packed."""
        out, entries = self.pack_into(files, "1.1.0")
        routes = folder_routes(out, "/ovan/update")
        for name, copy in (altered or {}).items():
            routes[path_of(entries[name]["zlib_url"])] = copy
            if own_lengths:
                routes[MANIFEST_PATH] = routes[MANIFEST_PATH].replace(
                    b'"zlib_size": "%s"' % entries[name]["zlib_size"].encode(), b'"zlib_size": "%d"' % len(copy))
        for name in unsized:
            digest = entries[name]["sha256"].encode()
            routes[MANIFEST_PATH] = routes[MANIFEST_PATH].replace(
                b'"%s", "size": "%s"' % (digest, entries[name]["size"].encode()), b'"%s"' % digest)
        for path, body in routes.items():
            self.server.routes[path] = Route(body=body)
        self.write("current.txt", BOM + b"1.0.0")
        self.write("app.dll", b"biblioteka 1.0.0")
        return entries

    def test_a_copy_that_is_not_the_file_changes_nothing(self):
        plain = compressible(300000)
        stream = zlib.compress(plain, 9)
        flipped = bytearray(stream)
        flipped[len(stream) // 2] ^= 0x55
        damaged = "Skompresowana kopia pliku jest uszkodzona: app.dll"
        too_long = "Skompresowana kopia pliku rozpakowuje się do więcej bajtów, niż podaje manifest: app.dll"
        too_short = "Skompresowana kopia pliku rozpakowuje się do mniej bajtów, niż podaje manifest: app.dll"
        # The file itself, in stored blocks: far longer than the copy the manifest names.
        stored = zlib.compress(plain, 0)
        cases = [
            ("a byte changed", bytes(flipped), damaged, True),
            ("cut short", stream[:len(stream) // 2], damaged, True),
            ("not compressed", plain, damaged, True),
            ("inflating without end", endless(512 * 1024 * 1024), too_long, True),
            ("one byte too many", zlib.compress(plain + b"x", 9), too_long, True),
            ("one byte too few", zlib.compress(plain[:-1], 9), too_short, True),
            ("longer than zlib_size", stored, self.longer_than_zlib_size, False),
        ]
        for label, copy, text, own_length in cases:
            with self.subTest(label):
                self.fresh()
                entries = self.serve_packed({"app.dll": plain, "data.bin": compressible(50000, b"dane")},
                                            {"app.dll": copy}, own_length)

                self.run_launcher()

                self.assertFatal(4, FAILED + text.format(sent=len(copy), zlib_size=entries["app.dll"]["zlib_size"]))
                self.assertEqual(self.read("app.dll"), b"biblioteka 1.0.0")
                self.assertEqual(self.read("current.txt"), BOM + b"1.0.0")
                self.assertFalse(os.path.exists(self.path("data.bin")))
                staged = self.path("_update_tmp")
                sizes = [os.path.getsize(os.path.join(staged, name)) for name in os.listdir(staged)] \
                    if os.path.isdir(staged) else []
                self.assertTrue(all(size <= len(plain) for size in sizes), sizes)

    def test_files_without_a_copy_come_as_they_are(self):
        """So does a file whose object names a copy but not the file's size, which the inflated bytes need."""
        files = {"app.dll": compressible(300000), "random.bin": os.urandom(100000),
                 "unsized.dll": compressible(200000, b"bez rozmiaru")}
        entries = self.serve_packed(files, unsized=["unsized.dll"])
        self.assertIn("zlib_url", entries["unsized.dll"])

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        for name, data in files.items():
            self.assertEqual(self.read(name), data)
        self.assertEqual(sorted(self.requested()), sorted([MANIFEST_PATH, path_of(entries["app.dll"]["zlib_url"]),
                                                           path_of(entries["random.bin"]["url"]),
                                                           path_of(entries["unsized.dll"]["url"])]))



def program_like(size):
    """Random bytes of 16 values: a copy of about half the size, long enough to be cut."""
    return os.urandom(size).translate(bytes(i % 16 for i in range(256)))


class CompressedResumedPatch(CompressedDownloads):
    """With resumed downloads the copy is fetched whole beside the staging file, continued by range requests
    in the run and the next, then inflated; with patch releases an unchanged file is not fetched at all."""
    launcher_build = "compressed_resume"
    # The copy is a download of its own, of the length zlib_size names.
    longer_than_zlib_size = ("Serwer podał długość {sent} B zamiast {zlib_size} B podanych w manifeście dla pliku: "
                             "app.dll")

    def serve_cut(self, drops):
        plain = program_like(2 * 1024 * 1024)
        unchanged = compressible(100000, b"bez zmian")
        entries = self.serve_packed({"app.dll": plain, "same.dll": unchanged})
        self.write("same.dll", unchanged)
        copy_path = path_of(entries["app.dll"]["zlib_url"])
        copy = self.server.routes[copy_path].body
        self.server.routes[copy_path] = Route(body=copy, etag='"v1"', drop_after=len(copy) // 10, drops=drops)
        return plain, copy_path

    def copy_requests(self, copy_path):
        return [headers.get("Range") for path, headers in self.server.requests if path == copy_path]

    def test_a_cut_copy_continues_in_the_run(self):
        plain, copy_path = self.serve_cut(drops=1)

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.dll"), plain)
        ranges = self.copy_requests(copy_path)
        self.assertEqual(len(ranges), 2)
        self.assertIsNone(ranges[0])
        self.assertTrue(ranges[1].startswith("bytes="), ranges)
        self.assertIn("Plik bez zmian: same.dll", self.log_entries())
        self.assertNotIn("same.dll", "".join(self.requested()))

    def test_a_cut_copy_continues_in_the_next_run(self):
        plain, copy_path = self.serve_cut(drops=4)

        self.run_launcher()

        self.assertEqual(self.exit_code, 4, self.stderr)
        self.assertEqual(self.read("app.dll"), b"biblioteka 1.0.0")
        self.assertEqual(self.listing("_update_tmp"), ["app.dll.zlib", "app.dll.zlib.note"])
        kept = os.path.getsize(self.path("_update_tmp", "app.dll.zlib"))
        self.server.requests.clear()

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.read("app.dll"), plain)
        self.assertEqual(self.copy_requests(copy_path), [f"bytes={kept}-"])
        self.assertFalse(os.path.exists(self.path("_update_tmp")))


if __name__ == "__main__":
    unittest.main()
