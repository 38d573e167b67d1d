"""The real chip's logic behind a pseudo-terminal (p1rtl, in ../shared/tools/p1rtl beside the
source, or KESTRUP_P1RTL): run a host command against it and read what the chip did.

A session runs at `rate` chip clocks per wall second with the host's clock slowed to match, so a
tenth of a second of the chip's time at 12 MHz costs a few wall seconds. The rig's events and pin
changes come back by chip clock.
"""
import collections
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from propsim import SOURCE, work_dir

P1RTL = Path(os.environ.get("KESTRUP_P1RTL", SOURCE.parent / "shared" / "tools" / "p1rtl"))
FAKETIME_LIB = Path("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1")


def require():
    """Skips the calling test, saying why in one line, where the rig cannot run."""
    if not (P1RTL / "run.sh").exists():
        raise unittest.SkipTest(f"no chip-logic rig at {P1RTL}")
    if not (shutil.which("faketime") and FAKETIME_LIB.exists()):
        raise unittest.SkipTest("faketime is missing (apt-get install faketime libfaketime)")
    if os.environ.get("KESTRUP_SANITIZED"):
        raise unittest.SkipTest("the rig's preloaded libraries do not go with the sanitizers")


class Session:
    """One run: the host command's exit status and output (bytes), the rig's events as (clock, text), the
    pins' changes as {pin: [(clock, level)]}, and the rig's own last line (speed and lag)."""

    def __init__(self, out, status, chip_hz):
        self.out = Path(out)
        self.status = status
        self.chip_hz = chip_hz
        self.host_output = (self.out / "host.out").read_bytes()
        line = re.compile(r"^\s*(\d+)\s+[\d.]+ ms  (.*)$")
        self.events = [(int(m.group(1)), m.group(2)) for m in map(line.match, self.read("events.log")) if m]
        self.pins = collections.defaultdict(list)
        for fields in (text.split() for text in self.read("pins.log")):
            if len(fields) == 5:
                self.pins[fields[3]].append((int(fields[0]), fields[4]))
        self.rig_line = (self.read("rig.err") or [""])[-1].strip()

    def read(self, name):
        path = self.out / name
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def clocks(self, prefix):
        """The clocks of the events whose text starts with prefix."""
        return [clock for clock, text in self.events if text.startswith(prefix)]

    def periods(self, pin):
        """The clocks between a pin's changes once it is under way: from its third change on (the
        first is a program taking the pin, the second its first toggle)."""
        changes = [clock for clock, _ in self.pins.get(pin, [])]
        return [b - a for a, b in zip(changes[2:], changes[3:])]


def run(command, name, rate=500000, chip_hz=12000000, eeprom=None, rig_args=(), linger=1, timeout=300):
    """Runs command (a list; "{pty}" stands for the rig's device) against the rig to its end and
    gives back the Session."""
    out = work_dir(name)
    args = [str(P1RTL / "run.sh"), "--out", str(out), "--rate", str(rate), "--chip-hz", str(chip_hz),
            "--linger", str(linger)]
    if eeprom:
        args += ["--eeprom", str(eeprom)]
    for arg in rig_args:
        args += ["--rig-arg", str(arg)]
    done = subprocess.run(args + ["--", *map(str, command)], capture_output=True, timeout=timeout)
    return Session(out, done.returncode, chip_hz)
