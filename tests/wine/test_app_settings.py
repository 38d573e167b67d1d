"""kestrup.exe: "Kestrup.ini" restored at start and written by Save, beside the program."""
import pytest

import desktop
import wine
from desktop import FIELD_IDS, SAVE, UPLOAD_IDS, Program

HEADER = b"/* Kestrup Settings v0.1 */'\r\n[Config]\r\n"


@pytest.fixture
def programs():
    started = []
    yield started
    for program in started:
        program.kill()


def start(programs, name, **kwargs):
    programs.append(Program(name, **kwargs).start())
    return programs[-1]


def save(program):
    """Presses Save; the file once it has changed."""
    before = program.settings_path.read_bytes() if program.settings_path.exists() else None
    program.click(SAVE)
    return wine.wait_until(lambda: program.settings_path.exists() and program.settings_path.read_bytes() != before
                           and program.settings_path.read_bytes())


def test_typed_numbers_are_saved_as_the_eight_lines_and_a_second_save_replaces_the_first(programs):
    program = start(programs, "save")
    program.set_field(4, "3")
    program.set_field(7, "4")
    assert save(program) == HEADER + b"WinX=630\r\nWinY=200\r\nComN0=3\r\nComN1=4\r\nComN2=\r\nComN3=\r\n"
    # Texts go out as typed, blanks and "=" included.
    program.set_field(10, " 5 x=y")
    program.set_field(13, "COM3")
    assert save(program) == HEADER + b"WinX=630\r\nWinY=200\r\nComN0=3\r\nComN1=4\r\nComN2= 5 x=y\r\nComN3=COM3\r\n"
    assert sorted(p.name for p in program.folder.iterdir()) == ["Kestrup.ini", "kestrup.exe"]


def test_a_failed_save_leaves_the_old_file(programs):
    old = HEADER + b"WinX=10\r\nWinY=20\r\nComN0=1\r\nComN1=\r\nComN2=\r\nComN3=\r\n"
    program = Program("failed-save", settings=old)
    # Where the new file would be written stands a folder: the write fails before any replace.
    (program.folder / "Kestrup.ini.new").mkdir()
    programs.append(program.start())
    program.set_field(4, "99")
    program.click(SAVE)
    program.set_field(7, "sync")  # returns once the Save has run: both go through one queue
    assert program.settings_path.read_bytes() == old
    assert program.close() == 0


def test_a_folder_path_longer_than_512_characters(programs):
    deep = desktop.WORK / "long-path"
    for i in range(12):
        deep = deep / f"folder-{i:02}-{'x' * 40}"
    assert len(str(deep)) > 512
    program = start(programs, "long-path", folder=deep)
    program.set_field(13, "8")
    assert save(program).endswith(b"ComN3=8\r\n")
    assert program.close() == 0


@pytest.mark.parametrize("name, settings, position, fields", [
    ("saved", HEADER + b"WinX=120\r\nWinY=340\r\nComN0=3\r\nComN1= 12 \r\nComN2=a=b\r\nComN3=\r\n",
     (120, 340), ["3", "12", "a=b", ""]),
    ("own-layout", b"\xef\xbb\xbf; by hand\n\n[config]\n  winy = -5\nwinx=\ncomn3=\xc3\xa97\n", (0, -5), ["", "", "", "\xe97"]),
    ("without-the-group", b"WinX=5\r\nWinY=5\r\nComN0=1\r\n", (630, 200), ["", "", "", ""]),
])
def test_a_file_at_start_moves_the_window_and_fills_the_fields_and_is_left_as_it_was(
        programs, name, settings, position, fields):
    program = start(programs, name, settings=settings)
    # The window manager places the new window too: wait for the program's own move to show.
    info = program.describe_once(lambda i: i["window"][:2] == position)
    assert info["window"][:2] == position
    assert info["client"][2:] == (118, 116)
    assert [info["controls"][cid]["text"] for cid in FIELD_IDS] == fields
    assert not any(info["controls"][cid]["enabled"] for cid in UPLOAD_IDS)
    assert program.close() == 0
    assert program.settings_path.read_bytes() == settings
