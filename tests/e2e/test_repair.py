"""A launcher built to repair its installation: a start that finds the installed version current checks every
file the manifest lists, by the record of the installed files or by reading it, and fetches again through the
update transaction what is missing, not a file, or differs; nothing the manifest does not list is touched."""
import os
import unittest

import interruption
from harness import MANIFEST_PATH
from test_update_transaction import BOM, SHARING_VIOLATION, TransactionTestCase, files_of, payload
from update_server import Route

VERSION = "1.0.0"
RECORD = "_installed_files"
FAILED = ("Zainstalowana wersja programu (1.0.0) jest uszkodzona, a jej naprawa nie powiodła się.\n\n"
          "Program nie zostanie uruchomiony.\n\n")
QUIET_START = ["Start launchera", "Wersja lokalna: 1.0.0", "Manifest pobrany", "Wersja z manifestu: 1.0.0",
               "Wersja lokalna jest aktualna", "Uruchamiam program główny", "Koniec pracy launchera"]
# Beside the release, never listed by it: they must outlive every repair as they are.
UNLISTED = {"notes.txt": b"the user's own", "OVANView.exe": b"an older release's viewer"}


class RepairTestCase(TransactionTestCase):
    launcher_build = "repair"

    def install_release(self):
        """Installs the release by an update from nothing, so that the launcher wrote its record, with the
        unlisted files beside it; the log, the requests and the started application are then cleared."""
        release = dict(files_of(VERSION, "app.dll", "data.bin"), **{"Pellaron.exe": self.read("Pellaron.exe")})
        self.serve_release(VERSION, release)
        self.run_launcher()
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertIsNotNone(self.wait_started())
        self.assertTrue(os.path.isfile(self.path(RECORD)))
        for name, data in UNLISTED.items():
            self.write(name, data)
        self.settle()
        return release

    def settle(self):
        """The log, the requests and the started application of earlier runs cleared."""
        for name in ("started.txt", "update.log"):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        self.server.requests.clear()

    def change_in_place(self, name, size_delta=0, time_delta_ns=0):
        """Other bytes in the file (its last byte, which leaves an executable runnable), its last write time put
        back as it was plus time_delta_ns."""
        before = os.stat(self.path(name))
        data = self.read(name)
        self.write(name, data[:-1] + bytes([data[-1] ^ 0xFF]) + b"x" * size_delta)
        os.utime(self.path(name), ns=(before.st_atime_ns, before.st_mtime_ns + time_delta_ns))

    def assertStartedQuietly(self):
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.log_entries(), QUIET_START)
        self.assertEqual(self.requested(), [MANIFEST_PATH])
        self.assertIsNotNone(self.wait_started())

    def assertRepaired(self, name, existed, damage_line):
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.log_entries()[4:], [
            damage_line,
            "Rozpoczynam naprawę instalacji",
            "Przygotowanie katalogu tymczasowego",
            "Pobieranie pliku: " + name,
            "SHA-256 poprawny dla: " + name,
            "Rozpoczynam podmianę plików",
        ] + (["Tworzenie kopii: " + name] if existed else []) + [
            "Podmiana pliku: " + name,
            "Naprawa zakończona pomyślnie",
            "Uruchamiam program główny",
            "Koniec pracy launchera",
        ])
        self.assertEqual(self.requested(), [MANIFEST_PATH, "/files/" + name])
        self.assertIsNotNone(self.wait_started())


class Repair(RepairTestCase):
    def test_an_intact_installation_starts_as_before(self):
        self.install_release()
        before = self.installation()

        self.run_launcher()

        self.assertStartedQuietly()
        self.assertEqual(self.installation(), dict(before, **{"started.txt": self.read("started.txt")}))

    def test_missing_changed_or_displaced_files_are_fetched_again(self):
        def displace(name):
            os.remove(self.path(name))
            os.makedirs(self.path(name, "inside"))
            self.write(os.path.join(name, "inside", "keep.txt"), b"left in the folder")
        cases = [
            ("a deleted DLL", "app.dll", lambda name: os.remove(self.path(name)), False, "Brak pliku: app.dll"),
            ("a changed executable", "Pellaron.exe", lambda name: self.change_in_place(name, time_delta_ns=10**9),
             True, "Plik uszkodzony: Pellaron.exe"),
            ("a folder in a file's place", "data.bin", displace, True, "W miejscu pliku jest katalog: data.bin"),
        ]
        for label, name, damage, existed, damage_line in cases:
            with self.subTest(label):
                self.fresh()
                release = self.install_release()
                version_file = self.read("current.txt")
                damage(name)

                self.run_launcher()

                self.assertRepaired(name, existed, damage_line)
                self.assertEqual({name: self.read(name) for name in release}, release)
                self.assertEqual(self.read("current.txt"), version_file)
                self.assertEqual({name: self.read(name) for name in UNLISTED}, UNLISTED)
                if name == "data.bin":
                    # The folder goes aside as the file's backup, as an update moves it, with what it holds.
                    self.assertEqual(self.read(os.path.join("data.bin.old", "inside", "keep.txt")),
                                     b"left in the folder")
                else:
                    self.assertFalse(os.path.exists(self.path(name + ".old")))
                self.assertFalse(os.path.exists(self.path("_update_tmp")))

                # The record was written again with the repaired file: a change that keeps its size and
                # time is no longer looked for.
                self.settle()
                self.change_in_place(name)
                self.run_launcher()
                self.assertStartedQuietly()

    def test_the_record_stands_for_a_file_only_while_its_size_and_time_hold(self):
        def remove_record():
            os.remove(self.path(RECORD))

        def damage_record():
            with open(self.path(RECORD), "r+b") as f:
                f.truncate(os.path.getsize(self.path(RECORD)) - 1)
        cases = [
            # (label, what else changes, size change, time change, whether the change is seen)
            ("size and time as recorded", None, 0, 0, False),
            ("another time", None, 0, 1000, True),
            ("another size", None, 1, 0, True),
            ("no record", remove_record, 0, 0, True),
            ("a damaged record", damage_record, 0, 0, True),
        ]
        for label, spoil, size_delta, time_delta_ns, seen in cases:
            with self.subTest(label):
                self.fresh()
                self.install_release()
                self.change_in_place("app.dll", size_delta, time_delta_ns)
                if spoil:
                    spoil()

                self.run_launcher()

                if seen:
                    self.assertRepaired("app.dll", True, "Plik uszkodzony: app.dll")
                    self.assertEqual(self.read("app.dll"), payload("app.dll", VERSION))
                else:
                    self.assertStartedQuietly()

    def test_a_record_that_no_longer_describes_the_files_is_written_again(self):
        self.install_release()
        os.remove(self.path(RECORD))
        # Only touched: the same bytes, found intact by reading them.
        os.utime(self.path("data.bin"))

        self.run_launcher()

        self.assertStartedQuietly()
        self.assertTrue(os.path.isfile(self.path(RECORD)))
        # Read no more: a change that keeps size and time now goes unseen.
        self.settle()
        self.change_in_place("data.bin")
        self.run_launcher()
        self.assertStartedQuietly()

    def test_a_failed_repair_leaves_the_installation_as_it_was(self):
        cases = [
            ("the file not found", "app.dll", Route(body=b"gone", status=404), False,
             "Serwer zwrócił HTTP 404 dla " + self.server.url("/files/app.dll")),
            # Held without sharing, the file cannot be read, so it is fetched, but not moved aside.
            ("the file held by another program", "data.bin", None, True,
             "Nie udało się utworzyć kopii pliku: " + self.win("data.bin") + "\n\n" + SHARING_VIOLATION),
        ]
        for label, name, route, held, reason in cases:
            with self.subTest(label):
                self.fresh()
                release = self.install_release()
                self.change_in_place(name, time_delta_ns=10**9)
                if route:
                    self.server.routes["/files/" + name] = route
                if held:
                    self.hold(name).wait_until_held()
                before = self.installation()

                self.run_launcher()

                self.assertFatal(4, FAILED + reason)
                self.assertEqual(self.installation(), before)
                self.assertNotEqual(self.read(name), release[name])

    def test_an_older_manifest_repairs_nothing(self):
        self.install_release()
        self.write("current.txt", BOM + b"1.1.0")
        os.remove(self.path("app.dll"))

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertEqual(self.log_entries()[4:5], ["Wersja lokalna jest aktualna"])
        self.assertEqual(self.requested(), [MANIFEST_PATH])
        self.assertFalse(os.path.exists(self.path("app.dll")))
        self.assertIsNotNone(self.wait_started())


@unittest.skipUnless(interruption.can_trace(), "strace cannot trace here (ptrace not permitted)")
class InterruptedRepair(RepairTestCase):
    def setUp(self):
        super().setUp()
        self.work = self.app + "-trace"
        os.makedirs(self.work, exist_ok=True)
        self.addCleanup(interruption.start_prefix_if_down)

    def cut(self, cut):
        pending = interruption.cut_off([self.path("OVANLauncher.exe")], self.app, cut,
                                       os.path.join(self.work, "cut.strace"))
        self.assertIsNotNone(pending, "the launcher ended before the cut")
        interruption.start_prefix_if_down()

    def test_a_repair_cut_off_is_finished_by_the_next_start(self):
        # app.dll is missing and data.bin damaged: the swap adds the one and replaces the other.
        # A move is known by the file it moves: the wineserver names the target as the program gave it.
        for label, moved in (("data.bin backed up", "data.bin"), ("data.bin replaced", "_update_tmp/data.bin.new")):
            with self.subTest(label):
                self.fresh()
                release = self.install_release()
                os.remove(self.path("app.dll"))
                self.change_in_place("data.bin", time_delta_ns=10**9)
                self.cut(interruption.Cut("server", ("rename",), 1, (self.path(moved),)))
                self.assertTrue(os.path.exists(self.path("_update_journal")))
                # Held back before its move: only the replacement leaves the file missing.
                self.assertEqual(os.path.exists(self.path("data.bin")), moved == "data.bin")
                self.settle()

                self.run_launcher()

                self.assertEqual(self.exit_code, 0, self.stderr)
                entries = self.log_entries()
                self.assertIn("Kończenie przerwanej aktualizacji do wersji " + VERSION, entries)
                self.assertIn("Naprawa zakończona pomyślnie", entries)
                self.assertEqual({name: self.read(name) for name in release}, release)
                self.assertEqual({name: self.read(name) for name in UNLISTED}, UNLISTED)
                self.assertEqual(sorted(set(self.listing()) - set(release) - set(UNLISTED)),
                                 sorted([RECORD, "OVANLauncher.exe", "current.txt", "started.txt", "update.log"]))
                self.assertIsNotNone(self.wait_started())

    def test_an_update_cut_off_after_its_version_was_written_keeps_its_record(self):
        self.install_release()
        self.serve_release("1.1.0", files_of("1.1.0", "app.dll", "data.bin"))
        self.cut(interruption.Cut("server", ("rename",), 1, (self.path(RECORD + ".tmp"),)))
        self.assertEqual(self.read("current.txt"), BOM + b"1.1.0")
        self.settle()
        # Only a record that describes the new files takes this change, which keeps size and time, for none.
        self.change_in_place("app.dll")

        self.run_launcher()

        self.assertEqual(self.exit_code, 0, self.stderr)
        entries = self.log_entries()
        self.assertIn("Kończenie przerwanej aktualizacji do wersji 1.1.0", entries)
        self.assertEqual(entries[-3:], ["Wersja lokalna jest aktualna", "Uruchamiam program główny",
                                        "Koniec pracy launchera"])
        self.assertEqual(self.requested(), [MANIFEST_PATH])
        self.assertFalse(os.path.exists(self.path(RECORD + ".tmp")))


if __name__ == "__main__":
    unittest.main()
