"""Faults on the line, end to end: the board pulled off the line (propsim closes its pty) in the
middle of the handshake, in the middle of the load and as the verdict falls due, and a storm of
stray bytes. Each upload must end within its budgets with the loader's own status lines, give the
port back, and leave the next upload on a fresh board unharmed. Then many uploads in one process
(the soak harness): each ends as its board dictates and nothing grows.

On Linux a pty whose master has gone reads as empty and fails every write (EIO): the loader sees
a silent line it cannot write to.
"""
import os
import re

import pytest

from propsim import BOARD, SOAK_BOARDS, Scenario, good_lines, lines, make_image, play, soak

# Budgets, in seconds: the loader's one reset (0.025), the window it waits in when the board goes (a
# handshake bit's 0.1, or the acknowledgement's 2.5, after half of 32 KB at three bits a byte: 4.3),
# and three seconds for a sanitized loader on a busy machine. A loader that hangs, or starts over,
# still overruns them.
HANDSHAKE_BUDGET = 3.2
LOAD_BUDGET = 5.6
PACED_LOAD_BUDGET = 9.9
SOAK_COUNT = int(os.environ.get("KESTRUP_SOAK_COUNT", "60"))


@pytest.fixture(scope="module")
def seen(module_work):
    d = module_work
    image, big = d / "image.binary", d / "big.binary"
    make_image(image, 8192, seed=51)
    make_image(big, 32768, seed=52)
    fresh = lambda devices: devices[1]  # noqa: E731  the fresh board after the pulled one
    # Through the ROM alone: these are the ROM protocol's faults, one session each.
    played = play([
        Scenario("handshake", ("--rom", "--port", BOARD, image), ("--rom", "--port", fresh, image), boards=[("--hangup", "handshake"), ()], at_once=1),
        Scenario("load", ("--rom", "--port", BOARD, image), ("--rom", "--port", fresh, image), boards=[("--hangup", "load"), ()], at_once=1),
        # At line speed with three bits a byte: the loader is blocked in a write when the line goes.
        Scenario("load-paced", ("--rom", "--fixed", "--port", BOARD, big), ("--rom", "--port", fresh, image),
                 boards=[("--hangup", "load", "--pace"), ()], at_once=1),
        Scenario("ack", ("--rom", "--port", BOARD, image), ("--rom", "--port", fresh, image), boards=[("--hangup", "ack"), ()], at_once=1),
        Scenario("stray-storm", ("--rom", "--port", BOARD, image), ("--rom", "--port", BOARD, image),
                 boards=[("--stray", "4096", "--faulty-sessions", "1")]),
    ])
    played["image"] = image.read_bytes()
    return played


def pulled(seen, name):
    """The faulty upload and the pulled board's session, once the board went where asked and the
    next upload on a fresh board loaded."""
    s = seen[name]
    faulty, after = s.runs
    (session,) = s.chips[0].sessions()
    assert session["why"].startswith("unplugged while "), (lines(faulty), session)
    assert (lines(after), after.returncode, s.chips[1].received_image()) == (good_lines(8192), 0, seen["image"])
    assert (faulty.returncode, faulty.stderr) == (1, b"")
    return faulty, session


def assert_lost_after_the_handshake(run, length):
    got = lines(run)
    assert got[:3] == ["Start Upload\r", "Propeller Version = 1", f"Write in RAM Lenght={length}"]
    assert got[-2:] == ["Time Out", "CheckSum Error"]
    middle = got[3:-2]
    assert "Verify .." in middle
    cut = middle.index("Verify ..")
    # Load writes that found the line gone, then the acknowledgement's clocks, each refused: at most
    # one a poll of 2 ms in the 2.5 s window (fewer when a busy machine makes the polls late); the
    # first may still have gone out before the board went.
    assert set(middle[:cut]) <= {"Unable to write", "Transmit stall on"}, middle[:cut]
    assert set(middle[cut + 1:]) == {"Unable to write"}
    assert 100 < len(middle[cut + 1:]) <= 1250


def test_pulled_in_the_handshake(seen):
    run, session = pulled(seen, "handshake")
    assert session["state"] == "handshake"
    assert int(session["host-bits"]) >= 125
    # No reply comes: the first bit's window runs out, the shutdown long cannot be written. The
    # handshake's second write, or a read of its reply, may already find the line gone.
    got = lines(run)
    assert got[-3:] == ["Time Out", "Code Error -> Abort", "Unable to write"]
    assert got[0] == "Start Upload\r" and set(got[1:-3]) <= {"Unable to write", "Unable to read"}, got
    assert len(got) <= 6, got
    assert run.seconds < HANDSHAKE_BUDGET


@pytest.mark.parametrize("name, state, length, budget", [
    ("load", "loading", 8192, LOAD_BUDGET),
    ("load-paced", "loading", 32768, PACED_LOAD_BUDGET),
    ("ack", "acknowledging", 8192, LOAD_BUDGET),
])
def test_pulled_after_the_handshake(seen, name, state, length, budget):
    run, session = pulled(seen, name)
    assert session["state"] == state
    if name == "load":
        assert int(session["longs"]) >= 1024
    if name == "ack":
        assert (session["verdict"], session["longs"]) == ("none", "2048")
    assert_lost_after_the_handshake(run, length)
    assert run.seconds < budget


def test_storm_of_stray_bytes_is_reported_byte_by_byte_within_the_window(seen):
    s = seen["stray-storm"]
    storm, after = s.runs
    got = lines(storm)
    assert (got[0], got[-2:], storm.returncode) == ("Start Upload\r", ["Time Out", "Code Error -> Abort"], 1)
    # Each stray byte costs a 1 ms poll of the 100 ms window: 99 at most (fewer when a busy machine
    # makes the polls late), then the time-out.
    assert set(got[1:-2]) == {"Hardware lost"} and 3 <= len(got) - 3 <= 99, got
    assert storm.seconds < HANDSHAKE_BUDGET
    # The rest of the storm is purged: the next upload to the same board loads.
    assert lines(after) == good_lines(8192)
    assert s.sessions[0]["answers"][:8] == "00000000"


def soak_readings(out):
    fds = [int(x) for x in re.search(r"open descriptors: before (\d+), after first round (\d+), after (\d+)", out).groups()]
    rss = [int(x) for x in re.search(r"before (\d+) kB, after first round (\d+) kB, after (\d+) kB", out).groups()]
    return fds, rss


def test_uploads_to_pulled_boards_in_one_process_give_their_ports_back():
    run, _ = soak(4, boards=[(("--hangup", "handshake"), "aborted"), (("--hangup", "load"), "checksum"),
                             (("--hangup", "ack"), "checksum"), ((), "loaded")], image_size=4096)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "uploads 4: loaded 1, aborted 1, checksum 2, wrong 0" in run.stdout
    fds, _ = soak_readings(run.stdout)
    assert fds[0] == fds[2]


def test_many_uploads_in_one_process_end_as_their_boards_dictate_and_nothing_grows():
    """60 uploads here to keep the suite short; scripts/soak runs 200 (KESTRUP_SOAK_COUNT here)."""
    assert SOAK_COUNT % len(SOAK_BOARDS) == 0
    run, sessions = soak(SOAK_COUNT)
    assert run.returncode == 0, run.stdout + run.stderr
    each = SOAK_COUNT // len(SOAK_BOARDS)
    assert f"uploads {SOAK_COUNT}: loaded {each}, aborted {2 * each}, checksum {each}, wrong 0" in run.stdout
    assert f"consoles opened {SOAK_COUNT}, closed {SOAK_COUNT}" in run.stdout
    fds, rss = soak_readings(run.stdout)
    assert fds[0] == fds[2]
    assert rss[2] - rss[1] <= 256
    # What the chips saw agrees: every session of the good board ran, every one of the others did not.
    expected = {"good": {"FE"}, "--reject-checksum": {"FF"}, "--silent": {"none"}, "--wrong-bit 5": {"none"}}
    assert {board: {s["verdict"] for s in seen} for board, seen in sessions.items()} == expected
    assert {board: len(seen) for board, seen in sessions.items()} == dict.fromkeys(expected, each)
    assert {s["state"] for s in sessions["good"]} == {"running"}
