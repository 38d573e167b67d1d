"""kestrupload through the chip's ROM boot loader on the real chip's logic (the p1rtl rig): the window
program's timing, the lean timing into RAM and into the EEPROM. Each load must end with the chip
running blink_p16, whose P16 toggles every 10,000 clocks.

The chip's RC clock is set at the ends of its range where each timing is tightest: the wait after a
reset at 8 MHz, the handshake's deadline after a capacitor-coupled reset in milliseconds that hold
for a 20 MHz chip as well.
"""
import os
import sys
from pathlib import Path

import pytest

import rig
from propsim import good_lines, program, work_dir

# The default run loads RAM once; the window program's timing and the ROM's own EEPROM programming
# (about two minutes of the rig) run from scripts/rig (KESTRUP_RIG_ALL=1).
whole_suite_only = pytest.mark.skipif(not os.environ.get("KESTRUP_RIG_ALL"),
                                      reason="the whole rig suite only (scripts/rig)")

IMAGE = rig.IMAGES / "blink_p16.binary"
CAPACITOR_RESET = ("--reset-pulse", 2000)  # the chip starts as the line comes on, after a short pulse


def blinking(session):
    return len(session.periods("P16")) >= 10


def loaded(session, lines):
    """The host said these lines and exited 0, and the chip went on to run blink_p16."""
    assert session.status == 0, (session.host_output, session.rig_line)
    assert session.host_output.decode().split("\n")[:-1] == lines, session.host_output
    periods = session.periods("P16")
    assert len(periods) >= 10, (session.pins.keys(), session.rig_line)
    assert set(periods) == {10000}, periods[:20]


def handshake_times(session):
    """Chip clocks from the chip's last start to the host's first byte and to its 250th handshake
    bit (the 251st byte, after the calibration byte)."""
    start = session.clocks("RESET released")[-1]
    sent = [clock for clock in session.clocks("host>chip") if clock >= start]
    return sent[0] - start, sent[250] - start


@whole_suite_only
def test_window_timing_leaves_a_fast_chip_time_for_the_handshake():
    rig.require()
    session = rig.run([program("kestrupload"), "--window-timing", "--fixed", "--port", "{pty}", IMAGE],
                      "rig-window", blinking, chip_hz=8000000, rig_args=CAPACITOR_RESET)
    loaded(session, good_lines(48))
    # The ROM takes the 250 bits only within 3 M clocks of its start: 150 ms on a 20 MHz chip. The
    # window program's 25 ms pulse and 50 ms wait put the last one at 99 ms; it must stay well
    # inside (the 100 ms wait it had put it at 149 ms).
    _, last_bit = handshake_times(session)
    assert last_bit < 0.125 * session.chip_hz, last_bit


def test_lean_load_into_ram_resets_once_on_rts_and_leaves_dtr_alone():
    rig.require()
    session = rig.run([program("kestrupload"), "--rom", "--reset", "rts", "--port", "{pty}", IMAGE], "rig-lean",
                      blinking, chip_hz=8000000, rig_args=("--reset-line", "rts"))
    loaded(session, good_lines(48))
    assert session.clocks("RESET asserted") and len(session.clocks("RESET released")) == 1
    assert [text for _, text in session.events if text.startswith("modem lines") and "DTR on" in text] == []
    # The ROM listens from about 8,300 clocks after the release: the first byte comes well after.
    first_byte, _ = handshake_times(session)
    assert first_byte > 5 * 8300, first_byte
    # The port closed without another reset: the chip ran on.
    acknowledged = session.clocks("chip>host FE")[-1]
    assert max(session.clocks("RESET")) < acknowledged


@whole_suite_only
def test_lean_load_into_the_eeprom_programs_it_and_runs():
    rig.require()
    eeprom = work_dir("rig-eeprom-file") / "eeprom.bin"
    eeprom.write_bytes(bytes(32768))
    # The EEPROM writes its pages at once rather than in up to 5 ms each: the ROM's own work is what
    # this checks, and the time it saves keeps the test near a minute.
    session = rig.run([program("kestrupload"), "--rom", "--eeprom", "--port", "{pty}", IMAGE], "rig-eeprom",
                      blinking, eeprom=eeprom, rig_args=("--ee-write-clocks", 2000))
    loaded(session, good_lines(48)[:4] + ["..OK", "Programming EEPROM ..", "Verifying EEPROM ..",
                                          "..EEPROM OK -> RUN"])
    image = IMAGE.read_bytes()
    assert eeprom.read_bytes()[:len(image)] == image


if __name__ == "__main__":
    # The script suites' runner starts each file itself: hand this one to pytest, from the system's
    # Python that has it.
    here = Path(__file__).resolve()
    os.execv("/usr/bin/python3", ["/usr/bin/python3", "-m", "pytest", "-q", "-p", "no:cacheprovider", str(here)]
             + sys.argv[1:])
