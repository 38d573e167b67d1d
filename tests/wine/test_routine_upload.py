"""The whole routine from kestrup.exe's buttons under Wine: the stand-in IDE and terminal, simulated
boards behind COM ports. Compile minimizes the terminal and has the IDE compile; an Upload has it
save the image where the program reads it, loads that image into the row's board, and on row 1
brings the terminal back. Without the IDE each press shows one box and changes nothing else."""
import os
import unittest
from pathlib import Path

import app_window
import ide_standins as ide
import routine
import wine
from app_window import TITLE, Program

WORK = Path(os.environ.get("KESTRUP_WORK", wine.SOURCE / "build" / "test-work")) / "routine"
ROW1_COM, ROW3_COM = 51, 52
ALT, ENTER, F8, KEY_B, KEY_C = 0x12, 0x0D, 0x77, 0x42, 0x43
boards = {}


def setUpModule():
    wine.skip_unless_available()
    app_window.prepare()
    WORK.mkdir(parents=True, exist_ok=True)
    for com in (ROW1_COM, ROW3_COM):
        boards[com] = routine.Board(com)


def tearDownModule():
    wine.kill_server()
    # Only now: Wine holds a pty it has opened until its server has gone.
    for board in boards.values():
        board.stop()


class Routine(unittest.TestCase):
    def setUp(self):
        name = self._testMethodName
        self.terminal = ide.start_terminal(WORK / f"{name}-terminal.log")
        self.addCleanup(self.terminal.close, "Tavlund")
        # Rows 2 and 4 name ports that do not exist: reading them would end in a "No COM" box.
        self.program = Program(f"routine-{name}",
                               settings=routine.settings([ROW1_COM, 61, ROW3_COM, 62], position=(630, 300)))
        self.image = self.program.folder / "compiled.binary"
        self.loads_before = {com: len(board.loads()) for com, board in boards.items()}

    def start(self, with_ide=True):
        if with_ide:
            self.ide = ide.start_ide(WORK / f"{self._testMethodName}-ide.log")
            self.addCleanup(self.ide.close, self.ide.title)
        self.program.start()
        self.addCleanup(self.program.kill)

    def compile(self):
        self.program.click(0)
        self.ide.log.wait_for("compiled 1")
        self.assertTrue(routine.wait_upload_buttons(self.program, True), routine.upload_buttons_enabled(self.program))
        self.terminal.log.wait_for("size minimized")
        self.assertEqual(ide.key_events(self.ide.log.events()), [("down", F8), ("up", F8)])
        self.assertEqual(routine.window_state("Tavlund")["showCmd"], 2)

    def upload(self, row):
        watch = routine.ConsoleWatch()
        self.program.click(app_window.UPLOAD_IDS[row - 1])
        watch.wait()
        return watch

    def new_loads(self, com):
        return boards[com].wait_loads(self.loads_before[com] + 1)[self.loads_before[com]:]

    def assert_saved_and_loaded(self, com):
        typed = ide.windows_path(self.image)
        self.ide.log.wait_for("saved")
        events = self.ide.log.events()
        after_compile = events[events.index("compiled 1") + 1:]
        keys = ide.key_events(after_compile)
        self.assertEqual(keys[:5], [("up", F8), ("down", ALT), ("down", KEY_B), ("up", KEY_B), ("up", ALT)])
        self.assertEqual(keys[-6:], [("down", ENTER), ("up", ENTER), ("down", ALT), ("down", KEY_C), ("up", KEY_C),
                                     ("up", ALT)])
        self.assertEqual(ide.typed_characters(after_compile), typed + "\r")
        self.assertIn(f"saved 256 {typed}", events)

        image = self.image.read_bytes()
        self.assertTrue(ide.image_is_valid(image))
        (load,) = self.new_loads(com)
        self.assertEqual((load["count"], load["longs"], load["verdict"], load["state"]), ("64", "64", "FE", "running"))
        self.assertEqual(boards[com].sim.received_image(), image)

    def test_compile_then_upload_on_row_one(self):
        self.start()
        self.compile()
        # The terminal is out of the way; the IDE has the keys.
        state = routine.window_state(ide.IDE_TITLE)
        self.assertEqual((state["showCmd"], state["foreground"]), (1, True), state)

        watch = self.upload(1)
        self.assertEqual(watch.lines, routine.GOOD_LINES)
        self.assert_saved_and_loaded(ROW1_COM)
        self.assertEqual(self.loads_before[ROW3_COM], len(boards[ROW3_COM].loads()))

        # Raised as it is restored. Whether it stays in front is up to the window manager too:
        # under Wine with openbox, the closing console hands the activation back to "Kestrup 01"
        # now and then, a moment after the terminal got it.
        self.terminal.log.wait_for("size restored")
        events = self.terminal.log.events()
        restored = events.index("size restored", events.index("size minimized"))
        self.assertIn("active", events[restored + 1:])
        self.assertEqual(routine.window_state("Tavlund")["showCmd"], 1)
        self.assertEqual(routine.upload_buttons_enabled(self.program), [False] * 4)
        self.assertEqual(self.program.close(), 0)

    def test_upload_on_row_three_reads_its_own_field_and_leaves_the_terminal(self):
        self.start()
        self.compile()
        minimized = len(self.terminal.log.events())

        watch = self.upload(3)
        self.assertEqual(watch.lines, routine.GOOD_LINES)
        self.assert_saved_and_loaded(ROW3_COM)
        self.assertEqual(self.loads_before[ROW1_COM], len(boards[ROW1_COM].loads()))
        self.assertEqual(routine.upload_buttons_enabled(self.program), [False] * 4)
        self.assertEqual(routine.window_state("Tavlund")["showCmd"], 2)
        self.assertNotIn("size restored", self.terminal.log.events()[minimized:])

    def test_without_the_ide_each_press_shows_one_box_and_changes_nothing_else(self):
        earlier = b"an image from an earlier save"
        self.image.write_bytes(earlier)
        self.start(with_ide=False)
        self.program.click(0)
        self.assert_one_error_box()
        self.assertEqual(routine.upload_buttons_enabled(self.program), [False] * 4)

        # Only a Compile could enable them; with no IDE the test does it.
        app_window.driver("enable", TITLE, app_window.UPLOAD_IDS[0])
        watch = routine.ConsoleWatch(ms=4000)
        self.program.click(app_window.UPLOAD_IDS[0])
        self.assert_one_error_box()
        self.assertIn("no console", watch.wait())
        self.assertEqual(routine.upload_buttons_enabled(self.program), [True, False, False, False])

        self.assertEqual(self.image.read_bytes(), earlier, "the old image is neither deleted nor replaced")
        self.assertEqual(self.loads_before[ROW1_COM], len(boards[ROW1_COM].loads()))
        self.assertNotIn("size minimized", self.terminal.log.events())
        self.assertEqual(routine.window_state("Tavlund")["showCmd"], 1)
        self.assertEqual(self.program.close(), 0)

    def assert_one_error_box(self):
        box = dict(line.split(" ", 1) for line in app_window.driver("box", "Error", 10000).splitlines())
        self.assertEqual((box["text"], box["buttons"], box["closed"]), ('"Propeller IDE not found"', "1", "1"))
        self.assertEqual(app_window.driver("box", "Error", 1000, check=False).strip(), "no box")


if __name__ == "__main__":
    unittest.main(verbosity=2)
