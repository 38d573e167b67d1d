"""kestrupload --terminal against propsim's echo program, as a script drives a board's console:
after a load on the port the load kept open, and alone on a board already running; and --report,
as a bench reads it."""
import fcntl
import json
import os
import select
import subprocess
import time

import pytest

from propsim import SMALL_IMAGE_PATH, Propsim, good_lines, make_image, program, run_kestrupload

GREETING = b"Hello from propsim\r\n"


@pytest.fixture(scope="module")
def image(module_work):
    path = module_work / "hello.binary"
    make_image(path, 512, seed=61)
    return path


def terminal(*args):
    return subprocess.Popen([str(program("kestrupload")), "--terminal", *map(str, args)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read_until(process, marker, timeout=30):
    """What the process has written to stdout up to and including `marker`; fails if it ends first."""
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen:
        left = deadline - time.monotonic()
        assert left > 0, f"no {marker!r} in {seen!r}"
        if select.select([process.stdout], [], [], left)[0]:
            chunk = os.read(process.stdout.fileno(), 4096)
            assert chunk, f"the output ended before {marker!r}: {seen!r}"
            seen += chunk
    return seen


def finish(process, typed=b""):
    """Sends the last input, ends it and waits for the drain; (the rest of stdout, stderr, exit status)."""
    out, err = process.communicate(typed, timeout=30)
    return out, err.decode(), process.returncode


def test_after_a_load_the_terminal_shows_the_program_and_carries_what_a_script_types(image, work):
    with Propsim("--program", "echo", name="term-load") as board:
        term = terminal("--report", work / "load.json", "--port", board.device, image)
        shown = read_until(term, GREETING)
        # Ctrl+] from a script is a byte like any other.
        term.stdin.write(b"ping \x1d pong\r")
        term.stdin.flush()
        shown += read_until(term, b"pong\r")
        rest, err, status = finish(term, b"bye\r")
    lines = [line.encode("latin-1") for line in good_lines(512)]
    assert shown + rest == b"\n".join(lines) + b"\n" + GREETING + b"ping \x1d pong\rbye\r"
    assert (err, status) == (f"kestrupload: {board.device}: {SMALL_IMAGE_PATH}\n"
                             f"kestrupload: terminal on {board.device} at 115200 baud; the end of input ends it\n", 0)
    (session,) = board.sessions()
    assert (session["command"], session["state"]) == ("1", "running")
    # One board: its report is one object, written before the terminal took over.
    report = json.loads((work / "load.json").read_text())
    assert (report["port"], report["outcome"], report["exit_status"]) == (board.device, "loaded", 0)


def test_alone_the_terminal_joins_the_running_board_without_a_new_session_and_at_its_rate_only(image):
    with Propsim("--program", "echo", name="term-alone") as board:
        # Locked by another program, as kestrupload locks it: refused in so many words.
        fd = os.open(board.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            busy = run_kestrupload("--terminal", "--port", board.device, stdin=subprocess.DEVNULL)
        finally:
            os.close(fd)
        assert (busy.returncode, busy.stdout, busy.stderr.decode()) == \
            (2, b"", f"kestrupload: {board.device} is busy (another program has it open)\n")
        assert run_kestrupload("--port", board.device, image).returncode == 0
        term = terminal("--port", board.device)
        # Said while the load's port was closed, or as the terminal listens: either way it is shown.
        read_until(term, GREETING)
        term.stdin.write(b"still there?\r")
        term.stdin.flush()
        read_until(term, b"still there?\r")
        assert finish(term)[1:] == (f"kestrupload: terminal on {board.device} at 115200 baud; "
                                    "the end of input ends it\n", 0)
        # At another rate than the program's the echo comes back garbled, as on a real line.
        wrong = terminal("--baud", "9600", "--port", board.device)
        out, _, status = finish(wrong, b"abc")
        assert status == 0 and out and b"abc" not in out, out
    (session,) = board.sessions()
    assert (session["command"], session["state"]) == ("1", "running")


def test_a_bench_report_of_four_boards_one_of_them_silent(image):
    """Four boards at once, as a bench loads them; the report on stdout, the status lines on stderr."""
    boards = [Propsim(*args, name="bench") for args in ((), (), ("--silent",), ())]
    try:
        ports = [b.device for b in boards]
        run = run_kestrupload("--report", "-", "--port", ",".join(ports), image)
    finally:
        for b in boards:
            b.stop()
    assert run.returncode == 1
    silent_summary = f"{ports[2]}: no chip answered"
    assert sorted(run.stderr.decode().splitlines()[-4:]) == \
        sorted([f"{p}: loaded" for p in ports[:2] + ports[3:]] + [silent_summary])
    report = json.loads(run.stdout)
    checksum = image.read_bytes()[5]
    assert [r["port"] for r in report] == ports
    for r, port in zip(report, ports):
        silent = port == ports[2]
        assert list(r) == ["port", "chip_version", "image", "path", "path_line", "encoding", "timing", "target",
                           "stages", "eeprom_pages", "eeprom_failed_page", "status_lines", "outcome", "exit_status",
                           "ms"]
        # No path took an image where no chip answered.
        assert {k: r[k] for k in ("image", "path", "path_line", "encoding", "timing", "target")} == {
            "image": {"name": str(image), "size": 512, "checksum_byte": checksum}, "path": "rom",
            "path_line": None if silent else SMALL_IMAGE_PATH, "encoding": "dense", "timing": "lean", "target": "ram"}
        stages = [(s["stage"], s["result"]) for s in r["stages"]]
        if silent:
            assert (r["chip_version"], stages, r["outcome"], r["exit_status"]) == \
                (None, [("open", "ok"), ("handshake", "failed")], "no-chip", 1)
            assert r["status_lines"] == ["Start Upload\r", "Time Out", "Code Error -> Abort"]
        else:
            assert (r["chip_version"], stages, r["outcome"], r["exit_status"]) == \
                (1, [("open", "ok"), ("handshake", "ok"), ("load", "ok"), ("verify", "ok")], "loaded", 0)
            assert r["status_lines"] == good_lines(512)
        spent = [s["ms"] for s in r["stages"]]
        assert min(spent) >= 0 and sum(spent) <= r["ms"] + 0.5, r
        # The chip takes about 100 ms to sum its RAM before it answers the verdict.
        assert silent or r["stages"][3]["ms"] >= 90, r
