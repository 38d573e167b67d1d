"""kestrup.exe: an Upload row converts its own COM field and a port that does not exist gives the
"No COM" box, modal to the program."""
import unittest

import app_window
import ide_standins as ide
import wine
from app_window import TITLE, UPLOAD_IDS, Program

standin = None


def setUpModule():
    global standin
    wine.skip_unless_available()
    app_window.prepare()
    # Every Upload first has the IDE save its image; without one it would stop at the "Error" box.
    standin = ide.start_ide(app_window.WORK / "upload-ide.log")
    for n in (0, 41, 42, 43, 44):
        wine.unlink_com(n)


def tearDownModule():
    if standin is not None:
        standin.close(standin.title)
    wine.kill_server()


class NoCom(unittest.TestCase):
    def setUp(self):
        self.program = Program("upload").start()
        # Only a Compile enables them; the test does it.
        for cid in UPLOAD_IDS:
            app_window.driver("enable", TITLE, cid)

    def tearDown(self):
        self.program.kill()

    def box(self):
        lines = app_window.driver("box", "No COM", 10000).splitlines()
        return dict(line.split(" ", 1) for line in lines)

    def test_each_row_reads_its_own_field(self):
        for cid, text in zip(app_window.FIELD_IDS, ("41", "  42", "43abc", "+44")):
            self.program.set_field(cid, text)
        for row, cid in enumerate(UPLOAD_IDS):
            with self.subTest(row=row + 1):
                self.program.click(cid)
                box = self.box()
                self.assertEqual(box["text"], f'"Com{41 + row} not found"')
                self.assertEqual(box["buttons"], "1")
                self.assertEqual(box["button"], '1 "OK"')
                self.assertEqual(box["main-enabled"], "0")
                self.assertEqual(box["closed"], "1")
                self.assertEqual(box["main-enabled-after"], "1")

    def test_text_without_a_number_names_port_zero(self):
        self.program.set_field(10, "COM3")
        self.program.click(8)
        self.assertEqual(self.box()["text"], '"Com0 not found"')
        # The program goes on: the window answers and closes normally.
        self.assertEqual(self.program.close(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
