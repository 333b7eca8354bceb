"""An update cut off in its swap while backups of an earlier run lay in the AppFolder: the one whose file
is there is thrown away before the swap, so that none is taken for this run's; the one whose file is
missing may be the only copy of it and outlives the rollback."""
import interruption
import test_interrupted_update as cuts

LEFTOVERS = {"a.dll.old": b"a backup of an older run", "d.dll.old": b"the only copy of an older d.dll"}
# The added file in place, an installed file moved to its backup, and one replaced by the new release.
CUT_AT = ("d.dll added", "a.dll backed up", "a.dll replaced")


class InterruptedUpdateWithLeftovers(cuts.InterruptionTestCase):
    def test_rollback_keeps_the_only_copy_and_never_takes_an_old_backup(self):
        cut_at = [cut for cut in self.cuts() if cut[0] in CUT_AT]
        self.assertEqual([cut[0] for cut in cut_at], list(CUT_AT))
        for label, snapshot in self.cut_updates(cut_at, LEFTOVERS):
            with self.subTest(label):
                interruption.copy_folder(snapshot, self.app)
                self.serve_release(cuts.OLD, cuts.release(cuts.OLD))
                self.run_launcher()
                self.assertStartedOn(cuts.OLD, count_staging=False, also={
                    "d.dll.old": cuts.described("d.dll.old", LEFTOVERS["d.dll.old"])})
