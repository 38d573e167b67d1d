"""The simulated chip and the image maker, for the script suites and scripts/bench.

Propsim serves a pseudo-terminal; its first line of output is the device path. Each instance gets
a directory of its own under the work directory for its transcript and the image it received.
"""
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(os.environ.get("KESTRUP_SOURCE", Path(__file__).resolve().parents[2]))
NATIVE_BIN = Path(os.environ.get("KESTRUP_NATIVE_BIN", SOURCE / "build" / "native" / "bin"))
# The simulator may come from another build than the programs under test: a sanitized host
# against a simulator that keeps the chip's timing.
SIM_BIN = Path(os.environ.get("KESTRUP_SIM_BIN", NATIVE_BIN))
SIM_PROGRAMS = {"propsim", "propimage"}
WORK = Path(os.environ.get("KESTRUP_WORK", SOURCE / "build" / "native" / "test-work"))


def program(name):
    path = (SIM_BIN if name in SIM_PROGRAMS else NATIVE_BIN) / name
    if not path.exists():
        sys.exit(f"missing {path}: build the native flavour first (scripts/build)")
    return path


def work_dir(prefix):
    WORK.mkdir(parents=True, exist_ok=True)
    return Path(tempfile.mkdtemp(prefix=prefix + "-", dir=WORK))


def parse_transcript(text):
    """The sessions of a transcript, oldest first, each a dict of key -> value text."""
    sessions = []
    current = None
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        if key == "session":
            current = {"session": value}
        elif key == "end":
            sessions.append(current)
            current = None
        elif current is not None:
            current[key] = value
    return sessions


class Propsim:
    """A running propsim: `device` is its pty. Stop it (or leave the `with` block) before reading
    what it recorded; a session is written when it ends."""

    def __init__(self, *args, name="propsim", start_timeout=10):
        self.dir = work_dir(name)
        self.transcript_path = self.dir / "transcript.txt"
        self.image_path = self.dir / "image.bin"
        command = [str(program("propsim")), "--transcript", str(self.transcript_path),
                   "--image-out", str(self.image_path), *map(str, args)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], start_timeout)
        line = self.process.stdout.readline().decode().strip() if ready else ""
        if not line.startswith("/dev/"):
            self.process.kill()
            _, err = self.process.communicate()
            raise RuntimeError(f"propsim did not start: {line!r} {err.decode(errors='replace')}")
        self.device = line

    def stop(self, timeout=10):
        """Stops it cleanly (SIGTERM) and returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode

    def sessions(self):
        if not self.transcript_path.exists():
            return []
        return parse_transcript(self.transcript_path.read_text())

    def received_image(self):
        return self.image_path.read_bytes() if self.image_path.exists() else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# Propsim takes this much quiet before a handshake for the board's reset, which a pty cannot carry
# (its --reset-silence, 60 ms). kestrupload's own reset is shorter, so uploads in a row on one propsim
# leave it between them, as a board's reset line would.
RESET_QUIET_S = 0.1


def make_image(path, size, seed=1, zeros=False):
    """Writes a valid image of `size` bytes with propimage; returns its bytes."""
    command = [str(program("propimage")), "--size", str(size), "--seed", str(seed), str(path)]
    if zeros:
        command.insert(1, "--zeros")
    subprocess.run(command, check=True)
    return Path(path).read_bytes()


def kestrupload(port, image, *options, timeout=60):
    """Runs kestrupload to its end; returns the CompletedProcess (bytes)."""
    return subprocess.run([str(program("kestrupload")), *map(str, options), "--port", str(port), str(image)],
                          capture_output=True, timeout=timeout)


def run_kestrupload(*args, timeout=60, **kwargs):
    """Runs kestrupload with exactly these arguments; returns the CompletedProcess (bytes) with
    `seconds`, its wall time, added."""
    started = time.monotonic()
    if "stderr" not in kwargs and "stdout" not in kwargs:
        kwargs["capture_output"] = True
    run = subprocess.run([str(program("kestrupload")), *map(str, args)], timeout=timeout, **kwargs)
    run.seconds = time.monotonic() - started
    return run


def good_lines(length):
    """The status lines of a good RAM load, as kestrupload prints them for one board."""
    return [b"Start Upload\r", b"Propeller Version = 1", b"Write in RAM Lenght=%d" % length, b"Verify ..",
            b"..OK -> RUN"]


# Placeholders in a Scenario's kestrupload arguments.
DEVICE = object()  # the first board's device
PORTS = object()   # every board's device, joined by commas


class Scenario:
    """Some uploads against boards of their own: one propsim per entry of `boards` (its switches),
    kestrupload runs in order with DEVICE and PORTS filled in (and any callable argument called with
    the devices), then what each chip saw."""

    def __init__(self, name, runs, boards=((),)):
        self.name = name
        self.board_args = boards
        self.run_args = runs
        self.runs = []
        self.devices = []
        self.chips = []  # per board: (exit status, sessions, received image)

    def play(self):
        sims = []
        try:
            for i, args in enumerate(self.board_args):
                sims.append(Propsim(*args, name=f"{self.name}-{i}"))
            self.devices = [s.device for s in sims]
            for i, args in enumerate(self.run_args):
                filled = [self.devices[0] if a is DEVICE else ",".join(self.devices) if a is PORTS else
                          a(self.devices) if callable(a) else a for a in args]
                if i:
                    time.sleep(RESET_QUIET_S)
                self.runs.append(run_kestrupload(*filled))
        finally:
            for s in sims:
                status = s.stop()
                self.chips.append((status, s.sessions(), s.received_image()))
        return self

    @property
    def sessions(self):
        return self.chips[0][1]

    @property
    def image(self):
        return self.chips[0][2]


def play_all(scenarios):
    """Plays the scenarios (anything with a name and a play()) at once: each mostly waits on the
    line and the chip. Gives them by name."""
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(scenarios)) as pool:
        return {s.name: s for s in pool.map(lambda s: s.play(), scenarios)}


# The soak's boards: a good one and three faulty ones, and the outcome each must give.
SOAK_BOARDS = [((), "loaded"), (("--reject-checksum",), "checksum"), (("--silent",), "aborted"),
               (("--wrong-bit", "5"), "aborted")]


def soak(count, image_size=1024):
    """Runs the soak harness over COUNT uploads in one process, alternating between the SOAK_BOARDS;
    returns (CompletedProcess as text, {board switches: sessions it saw})."""
    d = work_dir("soak")
    make_image(d / "image.binary", image_size, seed=71)
    sims = []
    try:
        for args, _ in SOAK_BOARDS:
            sims.append(Propsim(*args, name="soak"))
        run = subprocess.run([str(program("soak")), str(count), str(d / "image.binary"),
                              *(f"{sim.device}={outcome}" for sim, (_, outcome) in zip(sims, SOAK_BOARDS))],
                             capture_output=True, text=True, timeout=30 + 3 * count)
    finally:
        for sim in sims:
            sim.stop()
    return run, {" ".join(args) or "good": sim.sessions() for sim, (args, _) in zip(sims, SOAK_BOARDS)}
