"""kestrup.exe: the main window as it starts, its controls, Tab order, and its end."""
import unittest

import app_window
import wine
from app_window import CONTROLS, FIELD_IDS, TITLE, UPLOAD_IDS, Program

WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, WS_MAXIMIZEBOX, WS_THICKFRAME = 0xC00000, 0x80000, 0x20000, 0x10000, 0x40000
WS_TABSTOP, WS_EX_TOPMOST, WS_EX_CLIENTEDGE, ES_AUTOHSCROLL = 0x10000, 0x8, 0x200, 0x80


def setUpModule():
    wine.skip_unless_available()
    app_window.prepare()


def tearDownModule():
    wine.kill_server()


class FirstStart(unittest.TestCase):
    """No settings file: the window where it is created, empty fields, Upload buttons disabled."""

    @classmethod
    def setUpClass(cls):
        cls.program = Program("first-start").start()
        cls.info = cls.program.describe()

    @classmethod
    def tearDownClass(cls):
        cls.program.kill()

    def test_window_at_its_place_topmost_with_caption_and_close_box_only(self):
        self.assertEqual(self.info["window"][:2], (630, 200))
        style = self.info["style"]
        self.assertEqual(style & WS_CAPTION, WS_CAPTION)
        self.assertTrue(style & WS_SYSMENU)
        self.assertFalse(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME))
        self.assertTrue(self.info["exstyle"] & WS_EX_TOPMOST)
        self.assertTrue(self.info["visible"])

    def test_every_control_with_its_id_text_place_and_size_in_creation_order(self):
        controls = self.info["controls"]
        self.assertEqual([cid for cid, *_ in CONTROLS], sorted(controls, key=lambda c: controls[c]["order"]))
        for cid, cls, x, y, w, h, text in CONTROLS:
            with self.subTest(id=cid):
                c = controls[cid]
                self.assertEqual(c["class"], cls)
                self.assertEqual(c["rect"], (x, y, w, h))
                self.assertEqual(c["text"], text)
                self.assertTrue(c["visible"])
                self.assertEqual(c["enabled"], cid not in UPLOAD_IDS)
                self.assertEqual(bool(c["style"] & WS_TABSTOP), cls != "Static")
        for cid in FIELD_IDS:
            self.assertTrue(controls[cid]["exstyle"] & WS_EX_CLIENTEDGE)
            self.assertTrue(controls[cid]["style"] & ES_AUTOHSCROLL)

    def test_client_area_holds_every_control_whole_with_equal_side_margins(self):
        _, _, width, height = self.info["client"]
        rects = [c["rect"] for c in self.info["controls"].values()]
        left = min(x for x, _, _, _ in rects)
        right = max(x + w for x, _, w, _ in rects)
        self.assertEqual(width - right, left)
        self.assertEqual(height, 116)
        for x, y, w, h in rects:
            self.assertTrue(0 <= x and x + w <= width and 0 <= y and y + h <= height, (x, y, w, h))

    def test_screenshot_is_kept(self):
        path = self.program.screenshot(app_window.WORK / "kestrup-01.png", self.info["window"])
        self.assertGreater(path.stat().st_size, 1000)
        print(f"\nscreenshot: {path}")


class Keyboard(unittest.TestCase):
    def setUp(self):
        self.program = Program("keyboard").start()

    def tearDown(self):
        self.program.kill()

    def test_tab_and_shift_tab_walk_the_table_wrapping_over_labels_and_disabled_buttons(self):
        forward = app_window.driver("tab", TITLE, 7).split()[1:]
        self.assertEqual(forward, ["0", "14", "4", "7", "10", "13", "0"])
        backward = app_window.driver("tab", TITLE, 3, "shift").split()[1:]
        self.assertEqual(backward, ["13", "10", "7"])

    def test_enabled_upload_buttons_take_their_turn(self):
        for cid in UPLOAD_IDS:
            app_window.driver("enable", TITLE, cid)
        self.assertEqual(app_window.driver("tab", TITLE, 5).split()[1:], ["0", "14", "2", "4", "5"])


class End(unittest.TestCase):
    def test_closing_exits_with_zero_and_writes_nothing(self):
        program = Program("close").start()
        try:
            program.set_field(4, "7")
            self.assertEqual(program.close(), 0)
            self.assertFalse(program.settings_path.exists())
            self.assertEqual(sorted(p.name for p in program.folder.iterdir()), ["kestrup.exe"])
        finally:
            program.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
