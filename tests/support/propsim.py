"""The simulated chip, the image maker and the loader, for the test suites, scripts/bench and
scripts/soak.

Propsim serves a pseudo-terminal; its first line of output is the device path. Each instance gets
a directory of its own under the work directory for its transcript and the image it received.
The machine has two cores: at most two boards with their loaders run at once (`play`).
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SOURCE = Path(os.environ.get("KESTRUP_SOURCE", Path(__file__).resolve().parents[2]))
NATIVE_BIN = Path(os.environ.get("KESTRUP_NATIVE_BIN", SOURCE / "build" / "native" / "bin"))
# The simulator may come from another build than the programs under test: a sanitized host
# against a simulator that keeps the chip's timing.
SIM_BIN = Path(os.environ.get("KESTRUP_SIM_BIN", NATIVE_BIN))
WORK = Path(os.environ.get("KESTRUP_WORK", SOURCE / "build" / "native" / "test-work"))
CORES = 2


def program(name):
    path = (SIM_BIN if name in ("propsim", "propimage") else NATIVE_BIN) / name
    if not path.exists():
        sys.exit(f"missing {path}: build the native flavour first (scripts/build)")
    return path


# Every work folder made so far, oldest first: the suites remove a test's own once it has passed.
MADE = []


def work_dir(prefix):
    WORK.mkdir(parents=True, exist_ok=True)
    MADE.append(Path(tempfile.mkdtemp(prefix=prefix + "-", dir=WORK)))
    return MADE[-1]


def parse_transcript(text):
    """The sessions of a transcript, oldest first, each a dict of key -> value text."""
    sessions, current = [], None
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


def lines(run):
    """A program's standard output as text lines; a last line without its newline is marked."""
    text = run.stdout.decode("latin-1")
    return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n") + ["(no newline at the end)"]


def good_lines(length):
    """What a good RAM load prints for one board."""
    return ["Start Upload\r", "Propeller Version = 1", f"Write in RAM Lenght={length}", "Verify ..", "..OK -> RUN"]


# The path line of a default load of an image the ROM alone loads sooner than the second stage.
SMALL_IMAGE_PATH = "ROM path (image too small for the second stage to pay)"


def path_lines(run):
    """The path lines of a default load on standard error, without their "kestrupload: PORT: ", and
    the rest of standard error."""
    paths, rest = [], b""
    for line in run.stderr.splitlines(keepends=True):
        if m := re.fullmatch(rb"kestrupload: .+?: ((?:ROM path|second stage at ).*)\n", line):
            paths.append(m.group(1).decode())
        else:
            rest += line
    return paths, rest


class Propsim:
    """A running propsim: `device` is its pty. Stop it (or leave the `with` block) before reading
    what it recorded in full; a session is written when it ends."""

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
        self.status = None

    def stop(self, timeout=10):
        """Stops it cleanly (SIGTERM); its exit status."""
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
        self.status = self.process.returncode
        return self.status

    def sessions(self):
        return parse_transcript(self.transcript_path.read_text()) if self.transcript_path.exists() else []

    def loads(self):
        """The sessions so far that loaded an image and gave a verdict."""
        return [s for s in self.sessions() if s.get("command") == "1" and "verdict" in s]

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


def make_image(path, size, seed=1, zeros=False, rcfast=False):
    """Writes a valid image of `size` bytes with propimage; returns its bytes. Its clock: a 5 MHz
    crystal and PLL x16, as most programs have it, or with `rcfast` the RC clock alone."""
    command = [str(program("propimage")), "--size", str(size), "--seed", str(seed), str(path)]
    if zeros:
        command.insert(1, "--zeros")
    if rcfast:
        command[1:1] = ["--clkmode", "0", "--clkfreq", "12000000"]
    subprocess.run(command, check=True)
    return Path(path).read_bytes()


def run_kestrupload(*args, timeout=60, **kwargs):
    """Runs kestrupload with these arguments to its end; the CompletedProcess (bytes) with
    `seconds`, its wall time."""
    started = time.monotonic()
    if "stdout" not in kwargs and "stderr" not in kwargs:
        kwargs["capture_output"] = True
    run = subprocess.run([str(program("kestrupload")), *map(str, args)], timeout=timeout, **kwargs)
    run.seconds = time.monotonic() - started
    return run


def kestrupload(port, image, *options, timeout=60):
    return run_kestrupload(*options, "--port", port, image, timeout=timeout)


# Placeholders in a Scenario's kestrupload arguments.
BOARD = object()   # the first board's device
BOARDS = object()  # every board's device, joined by commas


class Scenario:
    """Uploads against boards of their own: a propsim per entry of `boards` (its switches), then
    kestrupload once per entry of `runs`, in order, with BOARD, BOARDS and any callable of the
    devices filled in. Afterwards `runs`, `devices` and `chips` (the stopped Propsims). `at_once`:
    how many of the boards one run loads, when it is fewer than all."""

    def __init__(self, name, *runs, boards=((),), at_once=None):
        self.name, self.run_args, self.board_args = name, runs, boards
        # A paced board keeps the kernel's pty work busy: on a loaded machine every other pty's
        # bytes then wait up to 300 ms, longer than a reply window. It has the machine to itself.
        paced = any("--pace" in args for args in boards)
        self.at_once = CORES if paced else at_once or len(boards)
        self.runs, self.devices, self.chips = [], [], []

    def play(self):
        try:
            for i, args in enumerate(self.board_args):
                self.chips.append(Propsim(*args, name=f"{self.name}-{i}"))
            self.devices = [chip.device for chip in self.chips]
            for i, args in enumerate(self.run_args):
                if i:
                    time.sleep(RESET_QUIET_S)
                self.runs.append(run_kestrupload(*(self.fill(a) for a in args)))
        finally:
            for chip in self.chips:
                chip.stop()
        return self

    def fill(self, arg):
        if arg is BOARD:
            return self.devices[0]
        if arg is BOARDS:
            return ",".join(self.devices)
        return arg(self.devices) if callable(arg) else arg

    @property
    def sessions(self):
        return self.chips[0].sessions()

    @property
    def image(self):
        return self.chips[0].received_image()


def play(scenarios):
    """Plays the scenarios, as many at once as there are cores for their boards; each mostly waits
    on the line and the chip. Gives them by name."""
    free = [CORES]
    turn = threading.Condition()

    def one(scenario):
        need = min(scenario.at_once, CORES)
        with turn:
            turn.wait_for(lambda: free[0] >= need)
            free[0] -= need
        try:
            return scenario.play()
        finally:
            with turn:
                free[0] += need
                turn.notify_all()

    with ThreadPoolExecutor(max_workers=CORES) as pool:
        return {s.name: s for s in pool.map(one, scenarios)}


# The soak's boards: a good one and three faulty ones, and the outcome each must give.
SOAK_BOARDS = [((), "loaded"), (("--reject-checksum",), "checksum"), (("--silent",), "aborted"),
               (("--wrong-bit", "5"), "aborted")]


def soak(count, boards=SOAK_BOARDS, image_size=1024):
    """Runs the soak harness over COUNT uploads in one process, going round the boards (switches,
    outcome); (CompletedProcess as text, {board switches: sessions it saw})."""
    d = work_dir("soak")
    make_image(d / "image.binary", image_size, seed=71)
    sims = []
    try:
        for args, _ in boards:
            sims.append(Propsim(*args, name="soak"))
        run = subprocess.run([str(program("soak")), str(count), str(d / "image.binary"),
                              *(f"{sim.device}={outcome}" for sim, (_, outcome) in zip(sims, boards))],
                             capture_output=True, text=True, timeout=30 + 3 * count)
    finally:
        for sim in sims:
            sim.stop()
    return run, {" ".join(args) or "good": sim.sessions() for sim, (args, _) in zip(sims, boards)}
