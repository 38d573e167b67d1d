"""kestrup.exe: the main window as it starts, its controls, Tab order, and its end."""
import pytest

import desktop
from desktop import FIELD_IDS, TITLE, UPLOAD_IDS, Program

WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, WS_MAXIMIZEBOX, WS_THICKFRAME = 0xC00000, 0x80000, 0x20000, 0x10000, 0x40000
WS_TABSTOP, WS_EX_TOPMOST, WS_EX_CLIENTEDGE, ES_AUTOHSCROLL = 0x10000, 0x8, 0x200, 0x80

# The controls as the user must find them, in creation order: id, class, x, y, width, height, text.
CONTROLS = [
    (0, "Button", 4, 4, 60, 18, "Compile"),
    (14, "Button", 74, 4, 40, 18, "Save"),
    (2, "Button", 4, 28, 50, 18, "Upload"),
    (3, "Static", 60, 29, 25, 18, "Com"),
    (4, "Edit", 88, 28, 25, 18, ""),
    (5, "Button", 4, 50, 50, 18, "Upload"),
    (6, "Static", 60, 51, 25, 18, "Com"),
    (7, "Edit", 88, 50, 25, 18, ""),
    (8, "Button", 4, 72, 50, 18, "Upload"),
    (9, "Static", 60, 73, 25, 18, "Com"),
    (10, "Edit", 88, 72, 25, 18, ""),
    (11, "Button", 4, 94, 50, 18, "Upload"),
    (12, "Static", 60, 95, 25, 18, "Com"),
    (13, "Edit", 88, 94, 25, 18, ""),
]


@pytest.fixture
def program():
    started = Program("window").start()
    yield started
    started.kill()


def test_first_start_window_and_every_control_in_creation_order(program):
    """No settings file: the window where it is created, topmost with caption and close box only,
    empty fields, Upload buttons disabled; the client area 118 x 116."""
    # The program makes itself topmost once created: wait for it.
    info = program.describe_once(lambda i: i["window"][:2] == (630, 200) and i["exstyle"] & WS_EX_TOPMOST)
    assert (info["window"][:2], info["client"][2:], info["visible"]) == ((630, 200), (118, 116), True)
    style = info["style"]
    assert style & (WS_CAPTION | WS_SYSMENU) == WS_CAPTION | WS_SYSMENU
    assert not style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)
    assert info["exstyle"] & WS_EX_TOPMOST
    controls = info["controls"]
    assert sorted(controls, key=lambda c: controls[c]["order"]) == [cid for cid, *_ in CONTROLS]
    for cid, cls, x, y, w, h, text in CONTROLS:
        c = controls[cid]
        assert (c["class"], c["rect"], c["text"], c["visible"]) == (cls, (x, y, w, h), text, True), cid
        assert c["enabled"] == (cid not in UPLOAD_IDS), cid
        assert bool(c["style"] & WS_TABSTOP) == (cls != "Static"), cid
    for cid in FIELD_IDS:
        assert controls[cid]["exstyle"] & WS_EX_CLIENTEDGE and controls[cid]["style"] & ES_AUTOHSCROLL
    shot = desktop.screenshot(desktop.WORK / "kestrup-01.png", info["window"])
    assert shot.stat().st_size > 1000


def test_tab_and_shift_tab_walk_the_table_wrapping_over_labels_and_disabled_buttons(program):
    assert desktop.app("tab", TITLE, 7)[0].split()[1:] == ["0", "14", "4", "7", "10", "13", "0"]
    assert desktop.app("tab", TITLE, 3, "shift")[0].split()[1:] == ["13", "10", "7"]


def test_enabled_upload_buttons_take_their_turn(program):
    for cid in UPLOAD_IDS:
        desktop.app("enable", TITLE, cid)
    assert desktop.app("tab", TITLE, 5)[0].split()[1:] == ["0", "14", "2", "4", "5"]


def test_closing_exits_with_zero_and_writes_nothing(program):
    program.set_field(4, "7")
    assert program.close() == 0
    assert [p.name for p in program.folder.iterdir()] == ["kestrup.exe"]
