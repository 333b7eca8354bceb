"""The cuts of test_interrupted_update from the later moves of the swap on: the last files, current.txt
and the clean-up after the commit, in a program of their own so that both halves run side by side."""
import test_interrupted_update as cuts


class InterruptedCommit(cuts.InterruptedUpdate):
    def cuts_tried_here(self):
        every = self.cuts()
        later = [cut for cut in every if cut[0] not in cuts.EARLY_CUTS]
        # Together the two programs try every cut.
        self.assertEqual(len(later) + len(cuts.EARLY_CUTS), len(every))
        return later
