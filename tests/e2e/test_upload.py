"""kestrupload through the ROM alone (--rom) against simulated chips over pseudo-terminals: good
loads, each fault a chip can show, files the loader refuses, and several boards in one run. The
default path (the second stage) has its cases in test_cli_load.py."""
import pytest

from propsim import BOARD, BOARDS, Scenario, good_lines, lines, make_image, play, run_kestrupload

START = "Start Upload\r"
LOADED = [START, "Propeller Version = 1", "Write in RAM Lenght=2048", "Verify .."]
ABORTED = [START, "Propeller Version = 1", "Code Error -> Abort"]
SUMMARY = {"loaded": "loaded", "aborted": "aborted (image shorter than its header)", "no-chip": "no chip answered",
           "checksum": "checksum error or no acknowledgement", "missing": "port does not exist"}


@pytest.fixture(scope="module")
def images(module_work):
    d = module_work
    good = make_image(d / "good.binary", 2048, seed=11)
    # Trailing bytes past the length word's end: only the first length/4 longs may be sent.
    (d / "trailing.binary").write_bytes(good + bytes(range(1, 9)))
    (d / "short.binary").write_bytes(good[:-4])
    (d / "tiny.binary").write_bytes(good[:10])
    return {"dir": d, "good": good, "second": make_image(d / "second.binary", 1024, seed=12),
            "four": make_image(d / "four.binary", 4096, seed=31)}


@pytest.fixture(scope="module")
def seen(images):
    d = images["dir"]
    good, missing = d / "good.binary", str(d / "no-such-tty")

    def one(*switches, image=good, boards=None):
        return ("--rom", "--port", BOARD, image), boards or (switches,)

    cases = {
        "good": one(image=d / "trailing.binary"),
        "silent": one("--silent"),
        "stray": one("--stray", "3"),
        "version-0": one("--version", "0"),
        "missing-version-bit": one("--missing-version-bit"),
        "reject": one("--reject-checksum"),
        "no-ack": one("--no-ack"),
        "missing-file": one(image=d / "no-such.binary"),
        "short-by-a-long": one(image=d / "short.binary"),
        "tiny": one(image=d / "tiny.binary"),
    }
    scenarios = [Scenario(name, run, boards=boards) for name, (run, boards) in cases.items()]
    scenarios += [
        Scenario("fixed-paced", ("--rom", "--fixed", "--port", BOARD, good), boards=[("--pace",)]),
        # Paced, so that replies still arrive after the first upload's purge and wait in the line
        # for the second one.
        Scenario("wrong-bit", ("--rom", "--port", BOARD, good), ("--rom", "--port", BOARD, good),
                 boards=[("--wrong-bit", "0", "--faulty-sessions", "1", "--pace")]),
        Scenario("twice", ("--rom", "--port", BOARD, good), ("--rom", "--port", BOARD, d / "second.binary")),
        Scenario("one", ("--rom", "--port", BOARD, d / "four.binary")),
        Scenario("two", ("--rom", "--port", BOARDS, d / "four.binary"), boards=[(), ()]),
        Scenario("one-silent", ("--rom", "--port", BOARDS, d / "four.binary"), boards=[("--silent",), ()]),
        Scenario("repeated", ("--rom", "--port", BOARD, "--port", lambda devices: devices[1], d / "four.binary"),
                 boards=[(), ("--reject-checksum",)]),
        Scenario("one-missing", ("--rom", "--port", lambda devices: f"{devices[0]},{missing}", d / "four.binary")),
    ]
    played = play(scenarios)
    for s in played.values():
        assert [chip.status for chip in s.chips] == [0] * len(s.chips), f"{s.name}: propsim did not stop cleanly"
    played["missing"] = missing
    return played


def check(run, expected_lines, status):
    assert (lines(run), run.returncode, run.stderr) == (expected_lines, status, b"")


def test_good_load_sends_exactly_the_longs_the_header_counts(seen, images):
    s = seen["good"]
    check(s.runs[0], good_lines(2048), 0)
    (session,) = s.sessions
    assert (session["handshake"], session["command"], session["count"], session["longs"]) == ("ok", "1", "512", "512")
    assert (session["sum"], session["verdict"], session["state"]) == ("00", "FE", "running")
    assert s.image == images["good"]


def test_good_load_at_line_speed_with_three_bits_a_byte(seen, images):
    s = seen["fixed-paced"]
    check(s.runs[0], good_lines(2048), 0)
    # 343 handshake bytes (the calibration, 250 bits three a byte, 258 clocks), 11 per long (command
    # and count included), then the acknowledgement's clocks, one every 1.1 ms: at least two, since
    # the chip computes first (100 ms), and not many more than that time and the end of the load
    # still on the line (which a pty's drain does not wait for) call for.
    clocks = int(s.sessions[0]["came"]) - 343 - 11 * (512 + 2)
    assert 2 <= clocks < 2000, clocks
    assert s.image == images["good"]


@pytest.mark.parametrize("name, expected, session", [
    # The shutdown long comes after the host's 100 ms wait, within the time the chip waits.
    ("silent", [START, "Time Out", "Code Error -> Abort"],
     {"answered": "0", "handshake": "ok", "command": "0", "state": "shutdown"}),
    ("version-0", [START, "Propeller Version = 0", "Code Error -> Abort"], {"command": "0", "state": "shutdown"}),
    # Bits 1,0,0,0,0,0,0 then a time-out (-1) shifted in at bit 7: 2 >> 1 | -128.
    ("missing-version-bit", [START, "Time Out", "Propeller Version = -127", "Code Error -> Abort"],
     {"answered": "257"}),
    ("reject", LOADED + ["CheckSum Error"], {"sum": "00", "verdict": "FF"}),
    ("no-ack", LOADED + ["Time Out", "CheckSum Error"], {"longs": "512", "verdict": "none"}),
    # A file one long short of its header, or shorter than its length word: aborted after the handshake.
    ("short-by-a-long", ABORTED, {"handshake": "ok", "command": "0"}),
    ("tiny", ABORTED, {"handshake": "ok", "command": "0"}),
])
def test_a_faulty_chip_or_file_fails_the_load_with_the_loaders_lines(seen, name, expected, session):
    s = seen[name]
    check(s.runs[0], expected, 1)
    (got,) = s.sessions
    assert {key: got.get(key) for key in session} == session
    if name != "reject" and name != "no-ack":
        assert s.image is None


def test_stray_bytes_are_reported_and_the_load_goes_on(seen):
    s = seen["stray"]
    check(s.runs[0], [START] + ["Hardware lost"] * 3 + good_lines(2048)[1:], 0)
    assert s.sessions[0]["answers"][:6] == "000000"


def test_missing_file_sends_nothing(seen):
    s = seen["missing-file"]
    check(s.runs[0], [START, "No such file\r"], 1)
    assert s.sessions == []


def test_a_wrong_handshake_bit_aborts_and_its_replies_do_not_spoil_the_next_upload(seen):
    s = seen["wrong-bit"]
    check(s.runs[0], [START, "Code Error -> Abort"], 1)
    check(s.runs[1], good_lines(2048), 0)
    first, second = s.sessions
    assert first["answers"][:2] == "FF"  # the first reply inverted (a good chip says FE)
    assert (first["command"], first["state"]) == ("0", "shutdown")
    assert (second["faulty"], second["verdict"], second["state"]) == ("no", "FE", "running")


def test_two_uploads_in_a_row_to_the_same_port(seen, images):
    s = seen["twice"]
    check(s.runs[0], good_lines(2048), 0)
    check(s.runs[1], good_lines(1024), 0)
    assert [x["verdict"] for x in s.sessions] == ["FE", "FE"]
    assert s.image == images["second"]


def test_port_that_does_not_exist(images):
    missing = str(images["dir"] / "no-such-tty")
    run = run_kestrupload("--port", missing, images["dir"] / "good.binary")
    assert (run.stdout, run.stderr, run.returncode) == (b"", f"kestrupload: {missing} does not exist\n".encode(), 2)


def by_port(run, devices):
    """Status lines per device, in order, and the summary lines at the end, in order."""
    per, summary = {d: [] for d in devices}, []
    for line in lines(run):
        port, sep, rest = line.partition(": ")
        assert sep and port in per, f"line without a port: {line!r}"
        if rest in SUMMARY.values():
            summary.append((port, rest))
        else:
            assert not summary, f"status line after the summary: {line!r}"
            per[port].append(rest)
    return per, summary


def test_two_boards_load_at_once_each_line_with_its_port(seen, images):
    s = seen["two"]
    run = s.runs[0]
    assert (run.returncode, run.stderr) == (0, b"")
    per, summary = by_port(run, s.devices)
    assert per == {device: good_lines(4096) for device in s.devices}
    assert summary == [(device, "loaded") for device in s.devices]  # in the order given
    for chip in s.chips:
        assert [x["verdict"] for x in chip.sessions()] == ["FE"]
        assert chip.received_image() == images["four"]
    # At once, not one after another: two loads take about as long as one.
    single = seen["one"].runs[0].seconds
    assert run.seconds < single * 1.5 + 0.5, (run.seconds, single)


def test_one_silent_board_fails_the_run_and_the_other_still_loads(seen, images):
    s = seen["one-silent"]
    silent, good = s.devices
    per, summary = by_port(s.runs[0], s.devices)
    assert s.runs[0].returncode == 1
    assert per == {silent: [START, "Time Out", "Code Error -> Abort"], good: good_lines(4096)}
    assert summary == [(silent, SUMMARY["no-chip"]), (good, "loaded")]
    assert s.chips[1].received_image() == images["four"]
    assert s.chips[0].sessions()[0]["answered"] == "0"


def test_a_port_repeated_on_the_command_line_and_a_rejected_checksum(seen):
    s = seen["repeated"]
    per, summary = by_port(s.runs[0], s.devices)
    assert s.runs[0].returncode == 1
    assert per[s.devices[0]] == good_lines(4096)
    assert per[s.devices[1]][-1] == "CheckSum Error"
    assert summary == [(s.devices[0], "loaded"), (s.devices[1], SUMMARY["checksum"])]


def test_a_port_that_cannot_be_opened_gives_status_2_and_the_other_loads(seen):
    s, missing = seen["one-missing"], seen["missing"]
    run = s.runs[0]
    assert (run.returncode, run.stderr) == (2, f"kestrupload: {missing} does not exist\n".encode())
    per, summary = by_port(run, s.devices + [missing])
    assert per == {s.devices[0]: good_lines(4096), missing: []}
    assert summary == [(s.devices[0], "loaded"), (missing, SUMMARY["missing"])]
