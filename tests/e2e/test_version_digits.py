"""Digits of other scripts in a manifest's version: those the runtime's wcstol reads count with their
value, the others end the number as any letter does."""
import unittest

from harness import MANIFEST_PATH, LauncherTestCase

BOM = b"\xef\xbb\xbf"


class VersionDigits(LauncherTestCase):
    def test_only_the_runtime_digits_make_a_version_higher(self):
        cases = [
            ("Arabic-Indic two", "\u0662.0", True),
            ("full-width two", "\uff12.0", True),
            ("N'Ko two", "\u07c2.0", False),
            ("Tamil two", "\u0be8.0", False),
            ("Vai two", "\ua622.0", False),
        ]
        for label, version, updates in cases:
            with self.subTest(label):
                self.fresh()
                self.write("current.txt", BOM + b"1.0")
                self.serve_release(version, {"app.dll": b"new app.dll"})

                self.run_launcher()

                self.assertEqual(self.exit_code, 0, self.stderr)
                entries_log = self.log_entries()
                self.assertIn("Wersja z manifestu: " + version, entries_log)
                if updates:
                    self.assertEqual(self.requested(), [MANIFEST_PATH, "/files/app.dll"])
                    self.assertEqual(self.read("current.txt"), BOM + version.encode("utf-8"))
                else:
                    self.assertIn("Wersja lokalna jest aktualna", entries_log)
                    self.assertEqual(self.requested(), [MANIFEST_PATH])
                    self.assertEqual(self.read("current.txt"), BOM + b"1.0")
                self.assertIsNotNone(self.wait_started())


if __name__ == "__main__":
    unittest.main()
