"""kestrup.exe: an Upload row converts its own COM field and a port that does not exist gives the
"No COM" box, modal to the program."""
import pytest

import desktop
import wine
from desktop import FIELD_IDS, TITLE, UPLOAD_IDS, Program


@pytest.fixture(scope="module")
def standin():
    # Every Upload first has the IDE save its image; without one it would stop at the "Error" box.
    ide = desktop.Standin(desktop.WORK / "upload-ide.log")
    for n in (0, 41, 42, 43, 44):
        wine.unlink_com(n)
    yield ide
    ide.close()


@pytest.fixture
def program(standin):
    started = Program("upload").start()
    for cid in UPLOAD_IDS:  # only a Compile enables them; the test does it
        desktop.app("enable", TITLE, cid)
    yield started
    started.kill()


def no_com_box():
    return dict(line.split(" ", 1) for line in desktop.app("box", "No COM", 10000))


def test_each_row_reads_its_own_field(program):
    for cid, text in zip(FIELD_IDS, ("41", "  42", "43abc", "+44")):
        program.set_field(cid, text)
    for row, cid in enumerate(UPLOAD_IDS):
        program.click(cid)
        expected = {"text": f'"Com{41 + row} not found"', "buttons": "1", "button": '1 "OK"', "main-enabled": "0",
                    "closed": "1", "main-enabled-after": "1"}
        box = no_com_box()
        assert {key: box.get(key) for key in expected} == expected


def test_text_without_a_number_names_port_zero_and_the_program_goes_on(program):
    program.set_field(10, "COM3")
    program.click(8)
    assert no_com_box()["text"] == '"Com0 not found"'
    assert program.close() == 0
