"""The real chip's logic behind a pseudo-terminal (p1rtl, in ../shared/tools/p1rtl beside the
source, or KESTRUP_P1RTL): run a host command against it and read what the chip did.

A session runs at `rate` chip clocks per wall second with the host's clock slowed to match (the
rig's host.sh), so a tenth of a second of the chip's time at 12 MHz costs a few wall seconds. The
rig's events and pin changes come back by chip clock.

The rig stands in for hardware, which no other program slows down: where the harness may, it runs
the rig at a higher priority than everything else, so that a busy machine does not make it slip
behind the host's clock.
"""
import collections
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from propsim import SOURCE, work_dir

P1RTL = Path(os.environ.get("KESTRUP_P1RTL", SOURCE.parent / "shared" / "tools" / "p1rtl"))
IMAGES = Path(os.environ.get("KESTRUP_IMAGES", P1RTL.parent.parent / "images"))
FAKETIME_LIB = Path("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1")
# Chip clocks a wall second: what one core holds with room to spare.
RATE = int(os.environ.get("KESTRUP_RIG_RATE", "500000"))
# The second stage's high rates leave the host's slowed clock less slack than the ROM's: a slower rig.
STAGE_RATE = int(os.environ.get("KESTRUP_RIG_RATE", "400000"))


def require():
    """Skips the calling test, saying why in one line, where the rig cannot run."""
    import pytest  # the benchmarks use the rig without it
    if not (P1RTL / "p1rtl").exists():
        pytest.skip(f"no chip-logic rig at {P1RTL}")
    if not (shutil.which("faketime") and FAKETIME_LIB.exists()):
        pytest.skip("faketime is missing (scripts/setup installs it)")
    if os.environ.get("KESTRUP_SANITIZED"):
        pytest.skip("the rig's preloaded libraries do not go with the sanitizers")


class Session:
    """One run: the host command's exit status and output, the rig's events as (clock, text), the
    pins' changes as {pin: [(clock, level)]}, and the rig's own last line (speed and lag)."""

    def __init__(self, out, status, chip_hz):
        self.out = Path(out)
        self.status = status
        self.chip_hz = chip_hz
        host_out = self.out / "host.out"
        self.host_output = host_out.read_bytes() if host_out.exists() else b""
        self.host = self.host_output.decode(errors="replace")
        self.rig_line = (self.read("rig.err") or [""])[-1].strip()
        self.reread()

    def reread(self):
        line = re.compile(r"^\s*(\d+)\s+([\d.]+) ms  (.*)$")
        matched = [m for m in map(line.match, self.read("events.log")) if m]
        self.events = [(int(m.group(1)), m.group(3)) for m in matched]
        # Chip time, which a clock count alone does not give once the chip runs on its crystal.
        self.event_ms = [(float(m.group(2)), m.group(3)) for m in matched]
        self.pins = collections.defaultdict(list)
        for fields in (text.split() for text in self.read("pins.log")):
            if len(fields) == 5:
                self.pins[fields[3]].append((int(fields[0]), fields[4]))

    def read(self, name):
        path = self.out / name
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def clocks(self, prefix):
        """The clocks of the events whose text starts with prefix."""
        return [clock for clock, text in self.events if text.startswith(prefix)]

    def clock_of(self, text):
        """The clock of the last event containing text."""
        found = [clock for clock, event in self.events if text in event]
        assert found, f"no event '{text}' in {self.out}/events.log"
        return found[-1]

    def toggles(self, pin):
        return [level for _, level in self.pins.get(pin, [])]

    def periods(self, pin):
        """The clocks between a pin's changes once it is under way: from its third change on (the
        first is a program taking the pin, the second its first toggle)."""
        changes = [clock for clock, _ in self.pins.get(pin, [])]
        return [b - a for a, b in zip(changes[2:], changes[3:])]

    def launch_ms(self):
        """Chip time from the last reset's release to the image's start (cog 0 at $F004)."""
        def last(text):
            found = [ms for ms, event in self.event_ms if text in event]
            assert found, f"no event '{text}' in {self.out}/events.log"
            return found[-1]
        return last("COGINIT cog 0: code $F004, PAR $0004") - last("RESET released")


class Rig:
    """The rig running for a with-block: its pty (`device`) and host(command), the command run under
    host.sh against it. session(status) reads what the chip did so far."""

    def __init__(self, name, rate=RATE, chip_hz=12_000_000, eeprom=None, rig_args=(), dump_ram=False):
        self.out, self.rate, self.chip_hz = work_dir(name), rate, chip_hz
        out = self.out
        args = [str(P1RTL / "p1rtl"), "--rate", str(rate), "--chip-hz", str(chip_hz), "--log", str(out / "events.log"),
                "--pin-log", str(out / "pins.log"), "--stats", "10"]
        if eeprom:
            args += ["--eeprom", str(eeprom)]
        if dump_ram:
            args += ["--dump-ram", str(out / "ram.bin")]
        args += [str(arg) for arg in rig_args]
        if os.geteuid() == 0:
            args = ["nice", "-n", "-10"] + args
        with open(out / "rig.err", "wb") as rig_err:
            self.chip = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=rig_err, text=True)
        try:
            self.device = self.chip.stdout.readline().strip()
            self.ctl = self.chip.stdout.readline().split()[-1]
        except BaseException:
            self.stop()
            raise

    def host(self, command):
        return [str(P1RTL / "host.sh"), "--ctl", self.ctl, "--rate", str(self.rate), "--chip-hz", str(self.chip_hz),
                "--pty", self.device, "--", *(str(arg).replace("{pty}", self.device) for arg in command)]

    def session(self, status):
        return Session(self.out, status, self.chip_hz)

    def stop(self):
        if self.chip.poll() is None:
            self.chip.terminate()
        self.chip.wait(timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


def run(command, name, until, rate=RATE, chip_hz=12_000_000, eeprom=None, rig_args=(), dump_ram=False,
        most=120, timeout=300):
    """Runs command (a list; "{pty}" stands for the rig's device) against the rig, then lets the chip
    run on until until(session) holds or `most` wall seconds have passed, and gives back the
    Session."""
    with Rig(name, rate, chip_hz, eeprom, rig_args, dump_ram) as chip:
        with open(chip.out / "host.out", "wb") as host_out:
            status = subprocess.run(chip.host(command), stdout=host_out, stderr=subprocess.STDOUT,
                                    timeout=timeout).returncode
        wait(chip.session(status), until, most)
    # The rig's files are complete only now: read them once more.
    return chip.session(status)


def wait(session, until, most):
    """Rereads the session until until(session) holds or `most` wall seconds have passed."""
    deadline = time.monotonic() + most
    while not until(session) and time.monotonic() < deadline:
        time.sleep(0.2)
        session.reread()
    return session
