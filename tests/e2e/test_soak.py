"""Many uploads in one process, alternating a good board with three faulty ones (a rejected
checksum, a silent chip, a wrong handshake bit): each must end as its board dictates, and neither
open descriptors nor memory may grow. 60 uploads here to keep the suite short; scripts/soak runs
200 (KESTRUP_SOAK_COUNT sets the number here too).
"""
import os
import re
import unittest

from propsim import SOAK_BOARDS, soak

COUNT = int(os.environ.get("KESTRUP_SOAK_COUNT", "60"))


class Soak(unittest.TestCase):
    def test_every_upload_ends_as_its_board_dictates_and_nothing_grows(self):
        self.assertEqual(COUNT % len(SOAK_BOARDS), 0)
        run, sessions = soak(COUNT)
        print("\n" + run.stdout + run.stderr, end="")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        per_board = COUNT // len(SOAK_BOARDS)
        self.assertIn(f"uploads {COUNT}: loaded {per_board}, aborted {2 * per_board}, checksum {per_board}, wrong 0",
                      run.stdout)
        fds = re.search(r"open descriptors: before (\d+), after first round (\d+), after (\d+)", run.stdout)
        self.assertEqual(fds.group(1), fds.group(3))
        rss = [int(x) for x in re.search(r"before (\d+) kB, after first round (\d+) kB, after (\d+) kB",
                                         run.stdout).groups()]
        self.assertLessEqual(rss[2] - rss[1], 256)
        self.assertIn(f"consoles opened {COUNT}, closed {COUNT}", run.stdout)
        # What the chips saw agrees: every session of the good board ran, every one of the others did not.
        for board, seen in sessions.items():
            self.assertEqual(len(seen), per_board, board)
            verdicts = {s["verdict"] for s in seen}
            expected = {"good": {"FE"}, "--reject-checksum": {"FF"}}.get(board, {"none"})
            self.assertEqual(verdicts, expected, board)
            if board == "good":
                self.assertEqual({s["state"] for s in seen}, {"running"})


if __name__ == "__main__":
    unittest.main()
