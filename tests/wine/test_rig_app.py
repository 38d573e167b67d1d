"""kestrup.exe's Compile and Upload under Wine, its COM port on the real chip's logic (the p1rtl rig):
the stand-in IDE saves a real compiled image, the console "Kestrupload" shows the status lines as
the window program prints them, and the chip runs the image. Once on the window program's own
timing, once with FastLoad=1 through the second stage, whose path line follows the status lines.

The rig's host.sh (its modem-line shim and slowed clock) runs the whole Wine session: the program
for its reset and its pauses, the server for the port's read timeouts, the helpers so that their
waits keep to the same clock. Each case is one rig session with a Wine session of its own.
"""
import re

import pytest

import desktop
import rig
import wine
from desktop import COMPILE, UPLOAD_IDS, ConsoleWatch, Program, Standin

COM = 31
PATH_LINE = re.compile(r"second stage at \d+ baud|ROM path.*")


@pytest.fixture(scope="module", autouse=True)
def chip_rig():
    rig.require()


def until_path_line_or_gone(console):
    """Whether the console has gone (its lines are all in) or has shown its path line, which comes
    last for a started image: the console stays open a while after its last line."""
    return console.poll() or any(PATH_LINE.fullmatch(line) for line in console.lines)


# blink_p16 (48 bytes) toggles P16 every 10,000 clocks; big_table does the same on P20 only when its
# 30 KB table arrived whole, and is large enough for the second stage to pay.
@pytest.mark.parametrize("fast_load, name, pin, rate", [(False, "blink_p16", "P16", rig.RATE),
                                                         (True, "big_table", "P20", rig.STAGE_RATE)])
def test_compile_and_upload_run_a_real_image_on_the_chip(fast_load, name, pin, rate):
    image = rig.IMAGES / f"{name}.binary"
    expected = ["Start Upload", "Propeller Version = 1", f"Write in RAM Lenght={image.stat().st_size}", "Verify ..",
                "..OK -> RUN"]
    with rig.Rig(f"wine-rig-{name}", rate) as chip, wine.under(chip.host([])):
        wine.link_com(COM, chip.device)
        started = []
        try:
            ide = Standin(desktop.WORK / f"rig-{name}-ide.log", image=image)
            started.append(ide.process)
            program = Program(f"rig-{name}", settings=desktop.settings([COM], fast_load=fast_load))
            program.start()
            started.append(program.process)
            program.click(COMPILE)
            ide.wait_for("compiled 1", timeout=60)
            assert program.wait_uploads(True, timeout=60), program.uploads_enabled()
            # Limits in the helpers' slowed time: the wait for the console is in real time below.
            console = ConsoleWatch(ms=60000)
            started.append(console.process)
            program.click(UPLOAD_IDS[0])
            assert wine.wait_until(lambda: until_path_line_or_gone(console), timeout=300, step=0.5), console.facts
            rig.wait(chip.session(None), lambda s: len(s.periods(pin)) >= 10, most=60)
        finally:
            # The session's end takes the rest of its programs.
            for process in started:
                process.kill()
                process.wait()
    wine.unlink_com(COM)
    session = chip.session(None)
    path_lines = console.lines[5:]
    assert (console.lines[:5], len(path_lines)) == (expected, int(fast_load)), console.facts
    assert all(re.fullmatch(r"second stage at \d+ baud", line) for line in path_lines), console.facts
    assert (program.folder / "compiled.binary").read_bytes() == image.read_bytes()
    # Without FastLoad the window program's own path: the ROM alone, at 115200 throughout.
    rates = {re.search(r"set (\d+) baud", text)[1] for _, text in session.events if text.startswith("line: host set")}
    assert fast_load or rates == {"115200"}, rates
    periods = session.periods(pin)
    assert len(periods) >= 10 and set(periods) == {10000}, (periods[:20], session.rig_line)
