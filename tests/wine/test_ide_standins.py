"""The IDE automation's Win32 backends under Wine, against the stand-in IDE and terminal.

ide_driver.exe runs the real window lookup and keystroke sequences as the buttons chain them; the
stand-ins log every key message and show change they see, so the keys are checked as the IDE
receives them, and the image as the IDE writes it.
"""
import os
import sys
import unittest
from pathlib import Path

import ide_standins as ide
import wine

WORK = Path(os.environ.get("KESTRUP_WORK", wine.SOURCE / "build" / "test-work")) / "ide_standins"
NOT_FOUND = ["box Error: Propeller IDE not found"]
SHIFT, CONTROL, ALT, ENTER, F8, PACKET = 0x10, 0x11, 0x12, 0x0D, 0x77, 0xE7


def held_modifiers_at(keys, index):
    held = set()
    for direction, key in keys[:index]:
        if key in (SHIFT, CONTROL, ALT):
            (held.add if direction == "down" else held.discard)(key)
    return held


def time_of(entries, predicate, start=0):
    """Milliseconds of the first entry from `start` on whose event satisfies predicate, and its index."""
    for i in range(start, len(entries)):
        if predicate(entries[i][1]):
            return entries[i][0], i
    raise AssertionError(f"no such event after {start}: {entries}")


class IdeStandinsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine.skip_unless_available()
        wine.ensure_prefix()
        WORK.mkdir(parents=True, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        wine.kill_server()

    def start_ide(self, name="ide", title=ide.IDE_TITLE):
        standin = ide.start_ide(WORK / f"{self._testMethodName}-{name}.log", title)
        self.addCleanup(standin.close, title)
        return standin

    def start_terminal(self):
        standin = ide.start_terminal(WORK / f"{self._testMethodName}-terminal.log")
        self.addCleanup(standin.close, "Tavlund")
        return standin

    def image_path(self, *folders):
        path = WORK.joinpath(self._testMethodName, *folders, "compiled.binary")
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists():
            path.unlink()
        return path

    def test_compile_then_save_image_makes_the_ide_write_the_image_at_the_typed_path(self):
        terminal = self.start_terminal()
        standin = self.start_ide()
        path = self.image_path("Kestrup Tool", "run 2")
        typed = ide.windows_path(path)

        # Compile: the terminal goes out of the way, the IDE comes forward and gets F8 alone.
        self.assertEqual(ide.driver("compile"), ["buttons on", "terminal showCmd 2"])
        standin.log.wait_for("compiled 1")
        # The stand-in compiles on the key's press; its release may reach the log a moment later.
        standin.log.wait_for("key up 0x77")
        self.assertIn("size minimized", terminal.log.events())
        entries = standin.log.entries()
        active, start = time_of(entries, lambda e: e == "active", 0)
        f8, _ = time_of(entries, lambda e: e == "key down 0x77", start)
        self.assertGreaterEqual(f8 - active, 150, "F8 follows the raise after a pause")
        self.assertEqual(ide.key_events(standin.log.events()), [("down", F8), ("up", F8)])

        # Upload: Alt+B, the whole path, Enter, Alt+C.
        self.assertEqual(ide.driver("save", typed), ["buttons off"])
        standin.log.wait_for("saved")
        events = standin.log.events()
        after_compile = events[events.index("compiled 1"):]
        keys = ide.key_events(after_compile)
        self.assertEqual(keys[:5], [("up", F8), ("down", ALT), ("down", 0x42), ("up", 0x42), ("up", ALT)])
        self.assertEqual(keys[-6:], [("down", ENTER), ("up", ENTER), ("down", ALT), ("down", 0x43), ("up", 0x43),
                                     ("up", ALT)])
        self.assertEqual(held_modifiers_at(keys, len(keys)), set(), "no modifier is left held")
        self.assertEqual(ide.typed_characters(after_compile), typed + "\r")
        self.assertIn(f"prompt path {typed}", events)
        self.assertIn(f"saved 256 {typed}", events)
        self.assertTrue(ide.image_is_valid(path.read_bytes()))

        entries = standin.log.entries()
        prompt, i = time_of(entries, lambda e: e == "prompt open")
        first, _ = time_of(entries, lambda e: e.startswith("char ") and not e.endswith(" sys"), i)
        enter, i = time_of(entries, lambda e: e == "key down 0x0D", i)
        alt_c, _ = time_of(entries, lambda e: e == "key down 0x12 sys", i)
        self.assertGreaterEqual(first - prompt, 150)
        self.assertGreaterEqual(alt_c - enter, 150)

        # After an upload on the first row the terminal comes back to the front.
        self.assertEqual(ide.driver("terminal", "6"), ["terminal showCmd 1"])
        terminal.log.wait_for("size restored")
        self.assertEqual(terminal.log.events()[-1], "active")

    def test_character_the_layout_cannot_type_arrives_as_itself(self):
        folder = "Caf\u00e9"
        answers = ide.driver("scan", "\u00e9")
        if answers != ["E9 -1"]:
            self.skipTest(f"this layout or code page types it otherwise: {answers}")
        standin = self.start_ide()
        path = self.image_path(folder)
        typed = ide.windows_path(path)

        ide.driver("compile")
        self.assertEqual(ide.driver("save", typed), ["buttons off"])
        standin.log.wait_for("saved")
        self.assertTrue(ide.image_is_valid(path.read_bytes()))
        events = standin.log.events()
        self.assertEqual(ide.typed_characters(events), typed + "\r")
        keys = ide.key_events(events)
        packet = keys.index(("down", PACKET))
        self.assertEqual(keys[packet + 1], ("up", PACKET))
        self.assertEqual(held_modifiers_at(keys, packet), set())

    def test_save_without_a_compile_leaves_no_image_not_even_the_old_one(self):
        standin = self.start_ide()
        path = self.image_path()
        path.write_bytes(b"an image of an earlier save")
        self.assertEqual(ide.driver("save", ide.windows_path(path)), ["buttons off"])
        standin.log.wait_for("save refused: not compiled")
        self.assertFalse(path.exists())

    def test_title_search_under_wine(self):
        padding = lambda n: "x" * n
        cases = [
            ("words in front", "Parallax Propeller Tool - Blink.spin", True),
            ("lower case", "propeller tool - blink.spin", False),
            ("no blank before the dash", "Propeller Tool- Blink.spin", False),
            ("occurrence ends at 254", padding(238) + "Propeller Tool - Blink.spin", True),
            ("occurrence ends at 255", padding(239) + "Propeller Tool - Blink.spin", False),
        ]
        for what, title, found in cases:
            with self.subTest(what):
                standin = ide.start_ide(WORK / f"title-{what.replace(' ', '-')}.log", title)
                try:
                    self.assertEqual(ide.driver("lookup"), [f"ide {title[:254]}"] if found else NOT_FOUND)
                finally:
                    standin.close(title)

        self.start_ide("containing", "Propeller Tool - Blink.spin")
        self.start_ide("whole", "Propeller Tool")
        self.assertEqual(ide.driver("lookup"), ["ide Propeller Tool"])

    def test_without_the_ide_compile_and_save_show_the_box_and_touch_nothing(self):
        terminal = self.start_terminal()
        path = self.image_path()
        self.assertEqual(ide.driver("compile"), NOT_FOUND)
        self.assertEqual(ide.driver("save", ide.windows_path(path)), NOT_FOUND)
        self.assertFalse(path.exists())
        self.assertEqual(ide.driver("terminal", "0"), ["terminal showCmd 1"])
        self.assertNotIn("size minimized", terminal.log.events())

    def test_terminal_control_flags_and_a_missing_terminal(self):
        self.assertEqual(ide.driver("terminal", "6"), ["terminal none"])
        terminal = self.start_terminal()
        self.assertEqual(ide.driver("terminal", "1"), ["terminal showCmd 2"])
        self.assertEqual(ide.driver("terminal", "1"), ["terminal showCmd 2"])
        self.assertEqual(terminal.log.events().count("size minimized"), 1)
        self.assertEqual(ide.driver("terminal", "4"), ["terminal showCmd 2"], "front alone leaves it minimized")
        self.assertEqual(ide.driver("terminal", "6"), ["terminal showCmd 1"])
        terminal.log.wait_for("size restored")


if __name__ == "__main__":
    unittest.main(verbosity=2)
