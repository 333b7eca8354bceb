"""An update cut off for real: the launcher killed, and the wineserver with it, while one move of the
swap (or the write of current.txt, or the clean-up) is held back, as a power cut would leave the
AppFolder. Whatever instant it hit, the next start finds one whole release and starts nothing else."""
import os
import unittest

import interruption
from test_update_transaction import BOM, TransactionTestCase, payload

OLD, NEW = "1.0.0", "1.1.0"
# The added file comes first, so that most cuts leave it in place for the next start to take away again.
RELEASE_NAMES = ("d.dll", "a.dll", "b.dll", "c.dll")
OLD_NAMES = ("a.dll", "b.dll", "c.dll")
# Last in the swap: held by another program, it stops whatever has to move it.
HELD = "c.dll"
RECORD = "_update_journal"
STAGING = "_update_tmp"
# Where the record is drafted is the launcher's own business: its move is known by where it goes.
ANY = None

# Every move of an update that replaces a.dll, b.dll, c.dll and adds d.dll, in order.
MOVES = [
    ("the record into place", (ANY, RECORD)),
    ("d.dll added", (STAGING + "/d.dll.new", "d.dll")),
    ("a.dll backed up", ("a.dll", "a.dll.old")),
    ("a.dll replaced", (STAGING + "/a.dll.new", "a.dll")),
    ("b.dll backed up", ("b.dll", "b.dll.old")),
    ("b.dll replaced", (STAGING + "/b.dll.new", "b.dll")),
    ("c.dll backed up", ("c.dll", "c.dll.old")),
    ("c.dll replaced", (STAGING + "/c.dll.new", "c.dll")),
    ("current.txt replaced", ("current.txt.tmp", "current.txt")),
]
FOUND_RECORD = {False: "Przywracanie poprzedniej wersji po przerwanej aktualizacji do wersji " + NEW,
                True: "Kończenie przerwanej aktualizacji do wersji " + NEW}
SYSTEM_NAMES = ("OVANLauncher.exe", "Pellaron.exe", "update.log", "started.txt")
ORDINARY_SYSCALLS = ["rename", "fsync", "fdatasync", "openat", "ftruncate", "truncate", "write", "pwrite64"]


def release(version):
    names = RELEASE_NAMES if version == NEW else OLD_NAMES
    return {name: payload(name, version) for name in names}


def described(name, data):
    """Which release a file's bytes come from ("a.dll 1.0.0", also for a.dll.old), else the bytes."""
    if data is None:
        return "folder"
    for version in (OLD, NEW):
        for origin in {name, name[:-len(".old")] if name.endswith(".old") else name}:
            if data == payload(origin, version):
                return origin + " " + version
    return repr(data) if len(data) < 40 else "%d other bytes" % len(data)


def whole(version):
    """What the AppFolder holds of one release, and nothing else."""
    files = dict(release(version), **{"current.txt": BOM + version.encode()})
    return {name: described(name, data) for name, data in files.items()}


def matches(move, expected):
    return all(want is ANY or want == got for got, want in zip(move, expected))


@unittest.skipUnless(interruption.can_trace(), "strace cannot trace here (ptrace not permitted)")
class InterruptionTestCase(TransactionTestCase):
    maxDiff = None

    def setUp(self):
        super().setUp()
        self.work = self.app + "-trace"
        os.makedirs(self.work, exist_ok=True)
        # A cut leaves the prefix down; whatever runs next finds it up again.
        self.addCleanup(interruption.start_prefix_if_down)

    def start_update(self):
        """The installed 1.0.0 and the offered 1.1.0 of every case."""
        self.install(OLD, release(OLD))
        self.serve_release(NEW, release(NEW))

    def launcher(self):
        return [self.path("OVANLauncher.exe")]

    # One ordinary update traced per program, shared by every test that reads it: (its AppFolder, the run).
    _ordinary = None

    def ordinary_update(self):
        """An ordinary update of the installed 1.0.0 to 1.1.0 under strace, the AppFolder fresh again after it."""
        if InterruptionTestCase._ordinary is None:
            self.start_update()
            run = interruption.TracedRun(self.launcher(), self.app, ORDINARY_SYSCALLS, self.work)
            self.assertEqual(run.returncode, 0)
            InterruptionTestCase._ordinary = (self.app, run)
        self.fresh()
        return InterruptionTestCase._ordinary

    def on_disk(self, count_staging=True):
        """The AppFolder as name -> which release each file comes from, without the launcher, the
        application and what they write for themselves; the staging folder left out unless count_staging."""
        state = {}
        for name in self.listing():
            if name in SYSTEM_NAMES or (name == STAGING and not count_staging):
                continue
            state[name] = described(name, None if os.path.isdir(self.path(name)) else self.read(name))
        return state

    def assertStartedOn(self, version, count_staging=True, also=None):
        """Exit 0, the application started, and exactly one whole release in the AppFolder (with what also
        names beside it)."""
        self.assertEqual(self.exit_code, 0, self.stderr)
        self.assertIsNotNone(self.wait_started())
        self.assertEqual(self.on_disk(count_staging), dict(whole(version), **(also or {})))

    def assertNothingOldLost(self):
        for name, data in release(OLD).items():
            kept = [where for where in (name, name + ".old")
                    if os.path.isfile(self.path(where)) and self.read(where) == data]
            self.assertTrue(kept, "the previous %s is gone" % name)
        self.assertEqual(self.read("current.txt"), BOM + OLD.encode())

    def assertFatalReport(self, exit_code):
        """The run ended through the fatal report, whatever its text."""
        last = self.log_entries()[-1]
        self.assertTrue(last.startswith("FATAL: "), last)
        self.assertFatal(exit_code, last[len("FATAL: "):])

    def cuts(self):
        """(label, cut, whether current.txt held the new version when it hit, the move it holds back):
        every move of the swap, found by its place among the renames of an ordinary traced update;
        the write of current.txt; the clean-up after the commit."""
        folder, run = self.ordinary_update()
        renames = [interruption.move_of(call, folder) for call in run.server_calls if call.name == "rename"]
        cuts = []
        for label, expected in MOVES:
            places = [k for k, move in enumerate(renames, 1) if matches(move, expected)]
            source = renames[places[0] - 1][0] if places else None
            cuts.append((label, interruption.move_from(self.path(source)) if source else None, False, expected))
        cuts.insert(-1, ("current.txt being written",
                         interruption.first_write_to(self.path("current.txt"), self.path("current.txt.tmp")),
                         False, None))
        cuts.append(("clean-up after the commit", interruption.deletion_of(self.path("a.dll.old")), True, None))
        return cuts

    def cut_updates(self, cuts, leftovers=None):
        """Cuts the update off at each cut, with leftovers (name -> bytes) of an earlier run beside the
        installed release; returns (label, a copy of the AppFolder as the cut left it) for each cut made.
        The cuts run one after another while the prefix is down, which is brought up again at the end."""
        made = []
        for k, (label, cut, _, expected_move) in enumerate(cuts):
            with self.subTest(label):
                self.assertIsNotNone(cut, "an ordinary update makes no such move")
                self.fresh()
                self.start_update()
                for name, data in (leftovers or {}).items():
                    self.write(name, data)
                pending = interruption.cut_off(self.launcher(), self.app, cut,
                                               os.path.join(self.work, "cut.strace"))
                self.assertIsNotNone(pending, "the launcher ended before the cut")
                if expected_move:
                    source, _ = interruption.move_of(pending, self.app)
                    self.assertTrue(matches((source, _), expected_move), pending.text)
                    self.assertTrue(os.path.exists(self.path(source)), "the held-back move was made")
                snapshot = "%s-cut%d" % (self.app, k)
                interruption.copy_folder(self.app, snapshot)
                made.append((label, snapshot))
        interruption.start_prefix_if_down()
        return made


class OrdinaryUpdateUnderTrace(InterruptionTestCase):
    def test_the_swap_moves_the_record_each_file_and_then_the_version(self):
        folder, run = self.ordinary_update()
        moves = [move[:2] for move in interruption.moves_in(run.server_calls, folder)]
        self.assertEqual(len(moves), len(MOVES), moves)
        for move, (label, expected) in zip(moves, MOVES):
            self.assertTrue(matches(move, expected), "%s: %s" % (label, move))

    def test_staged_files_and_the_version_reach_the_disk_before_they_are_moved(self):
        folder, run = self.ordinary_update()
        flushes = [(interruption.under(folder, call.fd_path() or ""), call.end) for call in run.calls
                   if call.name in ("fsync", "fdatasync")]
        moves = interruption.moves_in(run.calls, folder)

        def flushed(name, before, after=0.0):
            return any(path == name and after < end < before for path, end in flushes)

        swap_begins = min([begin for source, _, begin in moves if source and source.startswith(STAGING + "/")],
                          default=0.0)
        for name in RELEASE_NAMES:
            with self.subTest(name):
                self.assertTrue(flushed(STAGING + "/" + name + ".new", swap_begins), "not flushed before the swap")
        with self.subTest("the record, whole and flushed, before the first move of the swap"):
            record_paths = {path for path, _ in flushes if path and path.split("/")[-1] == RECORD}
            into_place = [begin for source, target, begin in moves if target == RECORD]
            self.assertEqual(len(into_place), 1, moves)
            first_of_swap = min(begin for source, target, begin in moves if target not in (RECORD, "current.txt"))
            self.assertTrue(any(flushed(path, into_place[0]) for path in record_paths), "the record was not flushed")
            self.assertLess(into_place[0], first_of_swap)
        with self.subTest("current.txt replaced by a flushed file"):
            replacing = [(source, begin) for source, target, begin in moves if target == "current.txt"]
            self.assertEqual(len(replacing), 1, moves)
            self.assertTrue(flushed(*replacing[0]), "%s not flushed before it replaced current.txt" % replacing[0][0])
        with self.subTest("current.txt never changed in place"):
            self.assertEqual([call.name + "(" + call.text + ")" for call in run.calls
                              if self.changes_in_place(call, folder, "current.txt")], [])

    def changes_in_place(self, call, folder, name):
        """A write to the file itself, a truncation of it, or an opening of it for writing."""
        if call.name in ("write", "pwrite64", "ftruncate"):
            return interruption.under(folder, call.fd_path() or "") == name
        opened = [path for path in call.strings()[:1] if interruption.under(folder, path) == name]
        return bool(opened) and (call.name == "truncate" or any(
            flag in call.text for flag in ("O_WRONLY", "O_RDWR", "O_TRUNC")))


# The cuts are tried in two programs that run side by side: the earlier moves of the swap here, the later
# ones and the commit in test_interrupted_commit.
EARLY_CUTS = ("the record into place", "d.dll added", "a.dll backed up", "a.dll replaced", "b.dll backed up")


class InterruptedUpdate(InterruptionTestCase):
    def cuts_tried_here(self):
        return [cut for cut in self.cuts() if cut[0] in EARLY_CUTS]

    def test_next_start_finds_a_whole_release(self):
        tried = self.cuts_tried_here()
        committed_at = {label: committed for label, _, committed, _ in tried}
        for label, snapshot in self.cut_updates(tried):
            committed = committed_at[label]
            found_record = os.path.exists(os.path.join(snapshot, RECORD))
            # The held file lies elsewhere than before the update began: the next start has to move it back.
            held = os.path.join(snapshot, HELD)
            held_moved = not os.path.isfile(held) or open(held, "rb").read() != payload(HELD, OLD)

            with self.subTest(label, then="the release still offered"):
                interruption.copy_folder(snapshot, self.app)
                self.serve_release(NEW, release(NEW))
                self.run_launcher()
                self.assertStartedOn(NEW)
                if found_record:
                    self.assertIn(FOUND_RECORD[committed], self.log_entries())

            if not committed:
                with self.subTest(label, then="a later file held, then free and the release withdrawn"):
                    interruption.copy_folder(snapshot, self.app)
                    self.serve_release(NEW, release(NEW))
                    hook, let_go = self.hold_during_swap(
                        HELD if os.path.exists(self.path(HELD)) else HELD + ".old")
                    hook()  # taken at once, before the launcher starts
                    self.run_launcher()
                    let_go()
                    self.assertFatalReport(4)
                    self.assertNothingOldLost()
                    self.assertEqual(os.path.exists(self.path(RECORD)), found_record and held_moved)

                    self.serve_release(OLD, release(OLD))
                    self.run_launcher()
                    self.assertStartedOn(OLD, count_staging=False)

            with self.subTest(label, then="the release withdrawn"):
                interruption.copy_folder(snapshot, self.app)
                self.serve_release(OLD, release(OLD))
                self.run_launcher()
                self.assertStartedOn(NEW if committed else OLD, count_staging=found_record)


if __name__ == "__main__":
    unittest.main()
