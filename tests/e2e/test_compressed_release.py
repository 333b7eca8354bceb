"""Compressed copies: pack writes a zlib copy beside each file that is clearly smaller so, check verifies
them, and a launcher built with compressed downloads installs through them byte for byte."""
import json
import os
import unittest
import zlib

import winetools
from harness import HTTPS_PORT, TEST_BIN
from test_publisher import PublisherTestCase

BASE = f"https://127.0.0.1:{HTTPS_PORT}/ovan/update"


def compressible(size, seed=b"Pellaron"):
    """Bytes that deflate to about a third, like program code."""
    pattern = (seed + os.urandom(16).hex().encode()) * (size // 40 + 1)
    return pattern[:size]


class PackedCopies(PublisherTestCase):
    def pack_into(self, files, version="1.0"):
        folder = self.release(files, "release-" + version)
        out = self.scratch("out")
        code, _, err = self.publish("pack", winetools.win_path(folder), version, BASE, winetools.win_path(out))
        self.assertEqual(code, 0, err)
        with open(os.path.join(out, "manifest.json"), "rb") as f:
            return out, {entry["name"]: entry for entry in json.loads(f.read())["files"]}

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
                self.assertEqual(entry["zlib_size"], len(copy))
                self.assertEqual(zlib.decompress(copy), data)
                self.assertLessEqual(len(copy), len(data) * 0.9)


if __name__ == "__main__":
    unittest.main()
