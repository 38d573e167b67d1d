"""kestrup.exe: "Kestrup.ini" restored at start and written by Save, beside the program."""
import unittest

import app_window
import wine
from app_window import Program

HEADER = b"/* Kestrup Settings v0.1 */'\r\n[Config]\r\n"


def setUpModule():
    wine.skip_unless_available()
    app_window.prepare()


def tearDownModule():
    wine.kill_server()


def save(program, timeout=5.0):
    """Presses Save and waits until the file has changed."""
    before = program.settings_path.read_bytes() if program.settings_path.exists() else None
    program.click(14)
    app_window.wait_for(lambda: program.settings_path.exists() and program.settings_path.read_bytes() != before,
                        timeout)


class Save(unittest.TestCase):
    program = None

    def tearDown(self):
        if self.program:
            self.program.kill()

    def test_typed_numbers_are_saved_as_the_eight_lines(self):
        self.program = Program("save").start()
        self.program.set_field(4, "3")
        self.program.set_field(7, "4")
        save(self.program)
        self.assertEqual(self.program.settings_path.read_bytes(),
                         HEADER + b"WinX=630\r\nWinY=200\r\nComN0=3\r\nComN1=4\r\nComN2=\r\nComN3=\r\n")
        # Texts go out as typed, blanks and "=" included, and a second Save replaces the first.
        self.program.set_field(10, " 5 x=y")
        self.program.set_field(13, "COM3")
        save(self.program)
        self.assertEqual(self.program.settings_path.read_bytes(),
                         HEADER + b"WinX=630\r\nWinY=200\r\nComN0=3\r\nComN1=4\r\nComN2= 5 x=y\r\nComN3=COM3\r\n")
        self.assertEqual(sorted(p.name for p in self.program.folder.iterdir()), ["Kestrup.ini", "kestrup.exe"])

    def test_a_failed_save_leaves_the_old_file(self):
        old = HEADER + b"WinX=10\r\nWinY=20\r\nComN0=1\r\nComN1=\r\nComN2=\r\nComN3=\r\n"
        self.program = Program("failed-save", settings=old)
        # Where the new file would be written stands a folder: the write fails before any replace.
        (self.program.folder / "Kestrup.ini.new").mkdir()
        self.program.start()
        self.program.set_field(4, "99")
        self.program.click(14)
        self.program.set_field(7, "sync")  # returns once the Save has run: both go through one queue
        self.assertEqual(self.program.settings_path.read_bytes(), old)
        self.assertEqual(self.program.close(), 0)

    def test_a_folder_path_longer_than_512_characters(self):
        deep = app_window.WORK / "long-path"
        for i in range(12):
            deep = deep / f"folder-{i:02}-{'x' * 40}"
        self.assertGreater(len(str(deep)), 512)
        self.program = Program("long-path", folder=deep).start()
        self.program.set_field(13, "8")
        save(self.program)
        self.assertTrue(self.program.settings_path.read_bytes().endswith(b"ComN3=8\r\n"))
        self.assertEqual(self.program.close(), 0)


class Load(unittest.TestCase):
    program = None

    def tearDown(self):
        if self.program:
            self.program.kill()

    def check(self, settings, position, fields):
        self.program = Program(self.id().rsplit(".", 1)[-1], settings=settings).start()
        info = self.program.describe()
        self.assertEqual(info["window"][:2], position)
        self.assertEqual(info["client"][2:], (118, 116))
        self.assertEqual([info["controls"][cid]["text"] for cid in app_window.FIELD_IDS], fields)
        self.assertTrue(all(not info["controls"][cid]["enabled"] for cid in app_window.UPLOAD_IDS))
        self.assertEqual(self.program.close(), 0)
        self.assertEqual(self.program.settings_path.read_bytes(), settings)

    def test_a_saved_file_moves_the_window_and_fills_the_fields(self):
        self.check(HEADER + b"WinX=120\r\nWinY=340\r\nComN0=3\r\nComN1= 12 \r\nComN2=a=b\r\nComN3=\r\n",
                   (120, 340), ["3", "12", "a=b", ""])

    def test_a_file_with_the_byte_order_mark_and_its_own_layout(self):
        self.check(b"\xef\xbb\xbf; by hand\n\n[config]\n  winy = -5\nwinx=\ncomn3=\xc3\xa97\n",
                   (0, -5), ["", "", "", "\xe97"])

    def test_a_file_without_the_group_leaves_the_window_at_its_place(self):
        self.check(b"WinX=5\r\nWinY=5\r\nComN0=1\r\n", (630, 200), ["", "", "", ""])


if __name__ == "__main__":
    unittest.main(verbosity=2)
