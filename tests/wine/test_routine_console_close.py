"""Closing the upload console in the middle of an upload ends kestrup.exe, as its close box is the
only way to stop an upload; the port it was loading through is given back, so the next program's
upload to the same board works."""
import os
import unittest
from pathlib import Path

import app_window
import ide_standins as ide
import routine
import wine
from app_window import TITLE, Program

WORK = Path(os.environ.get("KESTRUP_WORK", wine.SOURCE / "build" / "test-work")) / "routine"
COM = 53
board = None


def setUpModule():
    global board
    wine.skip_unless_available()
    app_window.prepare()
    WORK.mkdir(parents=True, exist_ok=True)
    # A chip slow to sum its RAM keeps the upload waiting for the verdict long enough to be cut
    # there for certain, and still answers within the loader's time.
    board = routine.Board(COM, "--pace", "--checksum-time", "1500")


def tearDownModule():
    wine.kill_server()
    if board is not None:
        board.stop()


class ConsoleClose(unittest.TestCase):
    def start_program(self):
        program = Program("routine-console-close", settings=routine.settings([COM]))
        program.start()
        self.addCleanup(program.kill)
        program.click(0)
        self.assertTrue(routine.wait_upload_buttons(program, True))
        return program

    def test_closing_the_console_mid_upload_ends_the_program_and_frees_the_port(self):
        standin = ide.start_ide(WORK / f"{self._testMethodName}-ide.log")
        self.addCleanup(standin.close, standin.title)

        first = self.start_program()
        watch = routine.ConsoleWatch(close_at="Verify ..")
        first.click(app_window.UPLOAD_IDS[0])
        self.assertIn("closed Verify ..", watch.wait())
        # It ends by itself: nothing holds it back, not the upload's port operation under way.
        first.wait(timeout=15)
        self.assertEqual(app_window.driver("gone", TITLE, 5000, check=False), "")
        self.assertTrue(app_window.wait_for(lambda: board.sim.sessions(), timeout=5))
        (cut,) = board.sim.sessions()
        self.assertEqual((cut["longs"], cut["verdict"]), ("64", "none"), "cut while the chip summed the image")

        second = self.start_program()
        watch = routine.ConsoleWatch()
        second.click(app_window.UPLOAD_IDS[0])
        watch.wait()
        self.assertEqual(watch.lines, routine.GOOD_LINES)
        (load,) = [s for s in board.sim.sessions() if s.get("verdict") == "FE"]
        self.assertEqual(load["state"], "running")
        self.assertEqual(board.sim.received_image(), (second.folder / "compiled.binary").read_bytes())
        self.assertEqual(second.close(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
