"""The IDE automation's Win32 backends under Wine, against the stand-in IDE and terminal.

ide_driver.exe runs the real window lookup and keystroke sequences as the buttons chain them; the
stand-ins log every key message and show change they see, so the keys are checked as the IDE
receives them, and the image as the IDE writes it.
"""
import pytest

import desktop
import wine
from desktop import IDE_TITLE, Standin, ide, key_events, typed_characters

NOT_FOUND = ["box Error: Propeller IDE not found"]
SHIFT, CONTROL, ALT, ENTER, F8, PACKET = 0x10, 0x11, 0x12, 0x0D, 0x77, 0xE7


@pytest.fixture
def start(request):
    """Starts stand-ins for the test (the IDE, or the terminal), closed after it."""
    started = []

    def one(title=IDE_TITLE, terminal=False):
        log = desktop.WORK / f"{request.node.originalname}-{len(started)}.log"
        started.append(desktop.terminal(log) if terminal else Standin(log, title))
        return started[-1]

    yield one
    for standin in started:
        standin.close()


@pytest.fixture
def image(request):
    def path(*folders):
        p = desktop.WORK.joinpath(request.node.originalname, *folders, "compiled.binary")
        p.parent.mkdir(parents=True, exist_ok=True)
        p.unlink(missing_ok=True)
        return p
    return path


def held_modifiers_at(keys, index):
    held = set()
    for direction, key in keys[:index]:
        if key in (SHIFT, CONTROL, ALT):
            (held.add if direction == "down" else held.discard)(key)
    return held


def time_of(entries, event, start=0):
    """Milliseconds of the first entry from `start` on that `event` accepts, and its index."""
    return next((entries[i][0], i) for i in range(start, len(entries)) if event(entries[i][1]))


def test_compile_then_save_image_makes_the_ide_write_the_image_at_the_typed_path(start, image):
    terminal = start(terminal=True)
    standin = start()
    path = image("Kestrup Tool", "run 2")
    typed = wine.windows_path(path)

    # Compile: the terminal goes out of the way, the IDE comes forward and gets F8 alone.
    assert ide("compile") == ["buttons on", "terminal showCmd 2"]
    standin.wait_for("compiled 1")
    # The stand-in compiles on the key's press; its release may reach the log a moment later.
    standin.wait_for("key up 0x77")
    assert "size minimized" in terminal.events()
    entries = standin.entries()
    active, i = time_of(entries, lambda e: e == "active")
    f8, _ = time_of(entries, lambda e: e == "key down 0x77", i)
    assert f8 - active >= 150, "F8 follows the raise after a pause"
    assert key_events(standin.events()) == [("down", F8), ("up", F8)]

    # Upload: Alt+B, the whole path, Enter, Alt+C.
    assert ide("save", typed) == ["buttons off"]
    standin.wait_for("saved")
    events = standin.events()
    after_compile = events[events.index("compiled 1"):]
    keys = key_events(after_compile)
    assert keys[:5] == [("up", F8), ("down", ALT), ("down", 0x42), ("up", 0x42), ("up", ALT)]
    assert keys[-6:] == [("down", ENTER), ("up", ENTER), ("down", ALT), ("down", 0x43), ("up", 0x43), ("up", ALT)]
    assert held_modifiers_at(keys, len(keys)) == set(), "no modifier is left held"
    assert typed_characters(after_compile) == typed + "\r"
    assert f"prompt path {typed}" in events and f"saved 256 {typed}" in events
    assert desktop.image_is_valid(path.read_bytes())

    entries = standin.entries()
    prompt, i = time_of(entries, lambda e: e == "prompt open")
    first, _ = time_of(entries, lambda e: e.startswith("char ") and not e.endswith(" sys"), i)
    enter, i = time_of(entries, lambda e: e == "key down 0x0D", i)
    alt_c, _ = time_of(entries, lambda e: e == "key down 0x12 sys", i)
    assert first - prompt >= 150 and alt_c - enter >= 150

    # After an upload on the first row the terminal comes back to the front.
    minimized = terminal.events().index("size minimized")
    assert ide("terminal", "6") == ["terminal showCmd 1"]
    terminal.wait_for("size restored", after=minimized)
    assert terminal.events()[-1] == "active"


def test_character_the_layout_cannot_type_arrives_as_itself(start, image):
    answers = ide("scan", "\u00e9")
    if answers != ["E9 -1"]:
        pytest.skip(f"this layout or code page types it otherwise: {answers}")
    standin = start()
    path = image("Caf\u00e9")
    typed = wine.windows_path(path)
    ide("compile")
    assert ide("save", typed) == ["buttons off"]
    standin.wait_for("saved")
    assert desktop.image_is_valid(path.read_bytes())
    assert typed_characters(standin.events()) == typed + "\r"
    keys = key_events(standin.events())
    packet = keys.index(("down", PACKET))
    assert keys[packet + 1] == ("up", PACKET)
    assert held_modifiers_at(keys, packet) == set()


def test_save_without_a_compile_leaves_no_image_not_even_the_old_one(start, image):
    standin = start()
    path = image()
    path.write_bytes(b"an image of an earlier save")
    assert ide("save", wine.windows_path(path)) == ["buttons off"]
    standin.wait_for("save refused: not compiled")
    assert not path.exists()


@pytest.mark.parametrize("title, found", [
    ("Parallax Propeller Tool - Blink.spin", True),  # words in front
    ("propeller tool - blink.spin", False),  # lower case
    ("Propeller Tool- Blink.spin", False),  # no blank before the dash
    ("x" * 238 + "Propeller Tool - Blink.spin", True),  # the occurrence ends at 254
    ("x" * 239 + "Propeller Tool - Blink.spin", False),  # ... at 255
])
def test_title_search_under_wine(start, title, found):
    start(title)
    assert ide("lookup") == ([f"ide {title[:254]}"] if found else NOT_FOUND)


def test_the_whole_title_is_preferred_to_one_containing_it(start):
    start("Propeller Tool - Blink.spin")
    start("Propeller Tool")
    assert ide("lookup") == ["ide Propeller Tool"]


def test_without_the_ide_compile_and_save_show_the_box_and_touch_nothing(start, image):
    terminal = start(terminal=True)
    path = image()
    assert ide("compile") == NOT_FOUND
    assert ide("save", wine.windows_path(path)) == NOT_FOUND
    assert not path.exists()
    assert ide("terminal", "0") == ["terminal showCmd 1"]
    assert "size minimized" not in terminal.events()


def test_terminal_control_flags_and_a_missing_terminal(start):
    assert ide("terminal", "6") == ["terminal none"]
    terminal = start(terminal=True)
    assert ide("terminal", "1") == ["terminal showCmd 2"]
    assert ide("terminal", "1") == ["terminal showCmd 2"]
    assert terminal.events().count("size minimized") == 1
    assert ide("terminal", "4") == ["terminal showCmd 2"], "front alone leaves it minimized"
    assert ide("terminal", "6") == ["terminal showCmd 1"]
    terminal.wait_for("size restored", after=terminal.events().index("size minimized"))
