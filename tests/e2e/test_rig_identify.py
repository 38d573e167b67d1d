"""kestrupload --identify on the real chip's logic (shared/tools/p1rtl): the identify program, carried
by the bootstrap, tells the RC clock and the crystal to 1% and the EEPROM's size, within half a second
of the chip's time, and a chip with no crystal is told so and left shut down. One session at a time:
a rig session keeps a core busy. KESTRUP_RIG_RATE sets the rig's clocks per wall second."""
import os
import random
import re

import pytest

import rig
from propsim import program, work_dir

RATE = int(os.environ.get("KESTRUP_RIG_RATE", "400000"))
CHIP_HZ = 9_500_000


@pytest.fixture(scope="module", autouse=True)
def chip_rig():
    rig.require()


def halted(times):
    """Until the chip's clock has stopped this many times: the shutdown may follow the host's exit."""
    return lambda session: sum("halted until reset" in text for _, text in session.events) >= times


def identify(name, until, rig_args=(), eeprom=True):
    image = None
    if eeprom:
        # Contents that differ at 8 and 16 KB from their start: only the wrap at 32 KB repeats it.
        image = work_dir("rig-" + name) / "eeprom.bin"
        image.write_bytes(random.Random(7).randbytes(32768))
    s = rig.run([program("kestrupload"), "--identify", "--port", "{pty}"], "rig-" + name, until,
                rate=RATE, chip_hz=CHIP_HZ, eeprom=image, rig_args=rig_args)
    assert s.status == 0, s.host
    return s


def megahertz(session, label):
    found = re.search(rf"^{label}: (\d+\.\d\d) MHz$", session.host, re.M)
    assert found, session.host
    return float(found.group(1))


def test_identify_tells_the_rc_clock_the_crystal_and_the_eeprom_in_half_a_second():
    s = identify("identify", halted(1))
    assert abs(megahertz(s, "RC clock") - 9.5) <= 0.095
    assert abs(megahertz(s, "crystal") - 5.0) <= 0.05
    assert "\nEEPROM: 32 KB\n" in s.host, s.host
    assert re.search(r"^port: \S+ at 230400, 460800, \d+, 100000 baud$", s.host, re.M), s.host
    # The chip's time from the reset to the crystal's answer, its last byte.
    start = s.clock_of("RESET released")
    answered = [clock for clock, text in s.events if text.startswith("chip>host")][-1]
    chip_ms = (answered - start) * 1000 / CHIP_HZ
    print(f"  identify at 9.5 MHz: {chip_ms:.1f} ms of chip time from the reset to the last answer")
    assert chip_ms < 500
    # Left as the ROM's shutdown leaves a chip, with no reset after it: the clock stopped by XINPUT
    # with the oscillator off.
    clock_writes = [text for _, text in s.events if "CLKSET" in text]
    assert clock_writes[-2:] == ["CLKSET $02: XINPUT", "chip clock stopped by CLKSET $02: halted until reset"]
    assert s.clocks("RESET released") == [start]


def test_identify_behind_a_slow_usb_adapter_tells_a_missing_crystal_and_eeprom_and_shuts_the_chip_down():
    # FTDI's rates and its 16 ms latency timer: every answer may come that late.
    s = identify("identify-no-crystal", halted(2), ("--xtal", "0", "--adapter", "ftdi", "--usb-latency", "16"), eeprom=False)
    assert abs(megahertz(s, "RC clock") - 9.5) <= 0.095
    assert "\nno crystal\n" in s.host and "\nno EEPROM\n" in s.host, s.host
    # The switch to the missing crystal stopped the chip; once that was told, a reset and the ROM's
    # shutdown, and no image started after it.
    stopped = s.clock_of("chip clock stopped by CLKSET $2A")
    resets = s.clocks("RESET released")
    assert len(resets) == 2 and resets[1] > stopped
    last = [text for clock, text in s.events if clock > resets[1] and "COGINIT cog 0: code $F004" in text]
    assert last == []
    assert [text for _, text in s.events if "CLKSET" in text][-1] == \
        "chip clock stopped by CLKSET $02: halted until reset"
