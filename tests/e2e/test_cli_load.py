"""kestrupload's loads beyond the plain one: EEPROM stages and their failures, image checks and
--force, dense and fixed encodings, the byte trace, the reset line, and progress kept off stdout."""
import json
import os
import pty
import re
import subprocess
import threading

import pytest

from propsim import BOARD, SOURCE, Propsim, Scenario, good_lines, lines, make_image, path_lines, play, run_kestrupload

LOADED = ["Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=2048", "Verify .."]
EEPROM_STAGES = LOADED + ["..OK", "Programming EEPROM .."]
FAST_EEPROM = ("--program-time", "300", "--verify-time", "200")
LOST_ANSWERS = {"begin": 4, "before-the-short-last": 68, "verdict": 84}


@pytest.fixture(scope="module")
def images(module_work):
    d = module_work
    good = make_image(d / "good.binary", 2048, seed=21)
    bad = bytearray(good)
    bad[5] ^= 0x01  # the checksum byte: the chip would reject it too
    (d / "bad-checksum.binary").write_bytes(bad)
    # A good image with more after it than the chip's RAM holds: the chip itself would take it.
    (d / "too-big.binary").write_bytes(good + bytes(32772 - len(good)))
    # pbase 0x0014, the checksum kept: the chip takes it and will not start it.
    unstartable = bytearray(good)
    unstartable[6] = 0x14
    unstartable[5] = (unstartable[5] - 4) & 0xFF
    (d / "pbase14.binary").write_bytes(unstartable)
    # An EEPROM dump: the image, then zeros up to 32 KB; only the length word's worth goes out.
    (d / "good.eeprom").write_bytes(good + bytes(32768 - len(good)))
    # The RC clock's rates are what most cases here are about: images on RCFAST.
    return {"dir": d, "good": good, "random": make_image(d / "random.binary", 8192, seed=22, rcfast=True),
            "zeros": make_image(d / "zeros.binary", 8192, zeros=True),
            "random32k": make_image(d / "random32k.binary", 32768, seed=24),
            # As large as the second stage takes: a compiled image leaves room for its stack.
            "big": make_image(d / "big.binary", 32752, seed=25, rcfast=True),
            "crystal": make_image(d / "crystal.binary", 8192, seed=26)}


@pytest.fixture(scope="module")
def seen(images):
    d = images["dir"]
    good = d / "good.binary"
    played = play([
        # The ROM's own EEPROM stages (by default the EEPROM goes through the second stage).
        Scenario("eeprom-run", ("--rom", "--eeprom", "--port", BOARD, good)),  # the chip's own delays
        Scenario("eeprom-shutdown", ("--rom", "--eeprom", "--no-run", "--port", BOARD, good), boards=[FAST_EEPROM]),
        Scenario("eeprom-verify-fails", ("--rom", "--eeprom", "--port", BOARD, good),
                 boards=[FAST_EEPROM + ("--eeprom-verify-fails",)]),
        Scenario("eeprom-program-fails", ("--rom", "--eeprom", "--no-run", "--port", BOARD, good),
                 boards=[FAST_EEPROM + ("--eeprom-program-fails",)]),
        # The ROM's own judgement of a forced image.
        Scenario("bad-checksum", ("--report", d / "refused.json", "--port", BOARD, d / "bad-checksum.binary"),
                 ("--rom", "--force", "--port", BOARD, d / "bad-checksum.binary")),
        Scenario("too-big", ("--port", BOARD, d / "too-big.binary"), ("--force", "--port", BOARD, d / "too-big.binary")),
        Scenario("eeprom-file", ("--port", BOARD, d / "good.eeprom")),
        # The ROM's encodings, compared on the ROM path.
        Scenario("random-fixed", ("--rom", "--fixed", "--port", BOARD, d / "random.binary")),
        Scenario("random-dense", ("--rom", "--dense", "--port", BOARD, d / "random.binary"),
                 ("--rom", "--port", BOARD, d / "random.binary")),
        Scenario("zeros-fixed", ("--rom", "--fixed", "--port", BOARD, d / "zeros.binary")),
        Scenario("zeros-dense", ("--rom", "--dense", "--port", BOARD, d / "zeros.binary")),
        # Paced, so that the chip's replies come in several reads as on a real line.
        Scenario("trace", ("--rom", "--trace", d / "load.trace", "--port", BOARD, good), boards=[("--pace",)]),
        Scenario("reset-rts", ("--reset", "rts", "--trace", d / "rts.trace", "--port", BOARD, good)),
        Scenario("window-trace", ("--window-timing", "--trace", d / "window.trace", "--port", BOARD, good)),
        # The default path: the second stage, then the ROM path alone, on the same paced board.
        Scenario("stage", ("--port", BOARD, d / "big.binary"), ("--rom", "--port", BOARD, d / "big.binary"),
                 boards=[("--pace",)]),
        Scenario("stage-eeprom", ("--eeprom", "--port", BOARD, d / "random.binary"), boards=[FAST_EEPROM]),
        Scenario("stage-eeprom-fails", ("--eeprom", "--report", d / "eeprom-fails.json", "--port", BOARD,
                                        d / "random.binary"), boards=[FAST_EEPROM + ("--eeprom-program-fails",)]),
        # Behind an FTDI adapter with its 16 ms latency timer, a 20 MHz chip, whose clock / 12 lies
        # between the adapter's rates.
        Scenario("ftdi", ("--port", BOARD, d / "big.binary"),
                 boards=[("--pace", "--chip-hz", "20000000", "--adapter", "ftdi", "--usb-latency", "16")]),
        # A crystal image: the chip on its PLL for the load, behind an FTDI adapter; on a board whose
        # crystal does not run, one more reset and the RC clock's rates.
        Scenario("crystal", ("--port", BOARD, d / "crystal.binary"),
                 boards=[("--pace", "--adapter", "ftdi", "--usb-latency", "16")]),
        Scenario("dead-crystal", ("--port", BOARD, d / "crystal.binary"), boards=[("--pace", "--xtal", "0")]),
        # A stage that never answers: the default path falls back to the ROM's own load.
        Scenario("fallback", ("--port", BOARD, d / "random.binary"), ("--rom", "--port", BOARD, d / "random.binary"),
                 boards=[("--pace", "--stage-silent")]),
        Scenario("fallback-eeprom", ("--eeprom", "--no-run", "--port", BOARD, good),
                 boards=[FAST_EEPROM + ("--stage-silent",)]),
        # One answer of the stage lost on the line (random: 9 packets, the last of 8 longs; at the
        # stage's 1,000,000 baud, its clock / 12, eight bytes an answer: begin's, packet k's, the
        # verdict's).
        *(Scenario(f"lost-{name}", ("--port", BOARD, d / "random.binary"),
                   boards=[("--fault", f"to-host:1000000:{byte}:drop")]) for name, byte in LOST_ANSWERS.items()),
        # The begin, the first message at the image's rate, damaged: the stage says "N" there, so it
        # takes that rate.
        Scenario("fast-begin-damaged", ("--port", BOARD, d / "random.binary"),
                 boards=[("--fault", "to-chip:1000000:5:flip")]),
        # The bootstrap, which takes the stage at 750000 baud: its 'K' lost, or a byte of the stage.
        *(Scenario(f"bootstrap-{name}", ("--port", BOARD, d / "random.binary"), boards=[("--fault", fault)])
          for name, fault in (("k-lost", "to-host:750000:1:drop"), ("byte-lost", "to-chip:750000:500:drop"))),
        Scenario("not-started", ("--force", "--report", d / "pbase.json", "--port", BOARD, d / "pbase14.binary"),
                 ("--rom", "--force", "--port", BOARD, d / "pbase14.binary")),
    ])
    for s in played.values():
        assert [chip.status for chip in s.chips] == [0], f"{s.name}: propsim did not stop cleanly"
    return played


@pytest.mark.parametrize("name, tail, status, session", [
    ("eeprom-run", ["Verifying EEPROM ..", "..EEPROM OK -> RUN"], 0,
     {"command": "3", "verdict": "FE", "eeprom-acks": "2", "state": "running"}),
    ("eeprom-shutdown", ["Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"], 0,
     {"command": "2", "eeprom-acks": "2", "state": "shutdown"}),
    ("eeprom-verify-fails", ["Verifying EEPROM ..", "EEPROM verify failed"], 1,
     {"command": "3", "eeprom-acks": "1", "why": "EEPROM verify failed"}),
    ("eeprom-program-fails", ["EEPROM programming failed"], 1,
     {"command": "2", "why": "EEPROM not programmed", "eeprom-acks": None}),
])
def test_eeprom_stages_and_their_failures(seen, images, name, tail, status, session):
    s = seen[name]
    run = s.runs[0]
    assert (lines(run), run.returncode, run.stderr) == (EEPROM_STAGES + tail, status, b"")
    (got,) = s.sessions
    assert {key: got.get(key) for key in session} == session
    assert s.image == images["good"]
    if name == "eeprom-run":
        # Programming (2 s) and verifying (0.8 s) are waited out, within the 7 s and 3 s windows.
        assert 2.0 + 0.8 < run.seconds < 2.0 + 0.8 + 2.0


def pilot_longs():
    """The longs of the pilot, which the ROM loads to take the bootstrap, which takes the stage."""
    return str((SOURCE / "loader" / "stage" / "firmware" / "pilot.binary").stat().st_size // 4)


def stage_rate(run):
    """The rate of a load through the second stage, from its path line, the only one on stderr."""
    # The simulated chip's 12 MHz clock takes its clock / 12 (1000000 baud, as the stage times it),
    # not 921600; a busy machine may make a probe's answer late, and the host then goes one rate lower.
    paths, rest = path_lines(run)
    assert len(paths) == 1 and rest == b"", run.stderr
    baud = paths[0].removeprefix("second stage at ").removesuffix(" baud")
    assert baud == "460800" or any(abs(int(baud) - r) < r // 100 for r in (1000000, 774194)), paths
    return baud


def test_the_default_path_takes_the_image_through_the_second_stage(seen, images):
    s = seen["stage"]
    staged, rom = s.runs
    for run in (staged, rom):
        assert (lines(run), run.returncode) == (good_lines(32752), 0)
    baud = stage_rate(staged)
    assert rom.stderr == b""
    stage, again = s.sessions
    assert (stage["stage"], stage["stage-baud"], stage["count"], stage["state"]) == ("ram", baud, "8188", "running")
    assert again.get("stage") is None
    assert s.image == images["big"]
    print(f"32 KB: default path {staged.seconds:.2f} s, ROM path {rom.seconds:.2f} s")
    assert staged.seconds < rom.seconds / 2


def test_behind_an_ftdi_adapter_the_stage_goes_at_a_rate_it_makes_and_waits_out_its_latency(seen, images):
    s = seen["ftdi"]
    (run,) = s.runs
    assert (lines(run), run.returncode) == (good_lines(32752), 0)
    # 24 MHz / 19: 15.8 clocks a bit, asked as made; no rate went unheard, no answer was missed.
    assert path_lines(run) == (["second stage at 1263158 baud"], b"")
    (session,) = s.sessions
    assert (session["stage"], session["state"]) == ("ram", "running")
    # The hellos of the bootstrap's first 4 ms, each answered, then its load's 'K', taken for no other.
    assert re.fullmatch("H{1,5}K", session["bootstrap-answers"]), session["bootstrap-answers"]
    # The hello at the bootstrap's rate (24 MHz / 20, 16.7 clocks a bit), the rate message, begin at
    # the new rate, and no answer asked twice.
    assert re.fullmatch("HRB" + "A" * 33 + "VG", session["stage-answers"]), session["stage-answers"]
    assert s.image == images["big"]


def test_the_eeprom_goes_through_the_stages_eeprom_build(seen, images):
    s = seen["stage-eeprom"]
    run = s.runs[0]
    assert (lines(run), run.returncode) == (good_lines(8192)[:4] + ["..OK", "Programming EEPROM ..",
                                                                    "Verifying EEPROM ..", "..EEPROM OK -> RUN"], 0)
    # Standard error is no terminal: the pages now and then, and all of them verified, before the path.
    paths, rest = path_lines(run)
    assert re.fullmatch(r"(kestrupload: \S+: Programming EEPROM: page \d+ of 512\n){1,3}"
                        r"kestrupload: \S+: EEPROM: 512 pages written and verified\n", rest.decode()), run.stderr
    assert len(paths) == 1 and paths[0].startswith("second stage at "), paths
    (session,) = s.sessions
    assert (session["stage"], session["command"], session["state"]) == ("eeprom", "3", "running")
    assert s.image == images["random"]


def test_an_eeprom_page_the_stage_finds_not_acknowledged_is_named_and_fails_the_load(seen, images):
    s = seen["stage-eeprom-fails"]
    run = s.runs[0]
    assert (lines(run), run.returncode) == (good_lines(8192)[:4] + ["..OK", "Programming EEPROM ..",
                                                                    "EEPROM programming failed"], 1)
    paths, rest = path_lines(run)
    assert re.fullmatch(r"kestrupload: \S+: EEPROM page 1 not acknowledged\n", rest.decode()), run.stderr
    assert b"written and verified" not in run.stderr
    report = json.loads((images["dir"] / "eeprom-fails.json").read_text())
    assert (report["outcome"], report["eeprom_failed_page"], report["exit_status"]) == ("eeprom-failed", 1, 1)
    (session,) = s.sessions
    assert session["state"] == "shutdown"


def test_a_silent_second_stage_gives_way_to_the_rom_path_within_the_window(seen, images):
    s = seen["fallback"]
    fallback, rom = s.runs
    assert (lines(fallback), fallback.returncode) == (good_lines(8192), 0)
    assert path_lines(fallback) == (["ROM path (second stage did not answer)"], b"")
    assert (lines(rom), rom.returncode, rom.stderr) == (good_lines(8192), 0, b"")
    stage, image, again = s.sessions
    # The pilot, which took the bootstrap, which took the stage's RAM build and started it, silent;
    # then the image, by the ROM alone, twice.
    assert (stage["count"], stage["pilot-loads"], stage["stage"], stage["stage-answers"]) == (pilot_longs(), "K", "ram", "none")
    assert re.fullmatch("H+K", stage["bootstrap-answers"]), stage["bootstrap-answers"]
    assert [(x["count"], x["verdict"]) for x in (image, again)] == [("2048", "FE")] * 2
    assert s.image == images["random"]
    # The pilot's load through the ROM and the chip's checksum, the bootstrap through the pilot, the
    # stage through the bootstrap, and the 0.11 s the stage is given to answer.
    print(f"fallback {fallback.seconds:.2f} s, ROM path {rom.seconds:.2f} s")
    assert fallback.seconds - rom.seconds < 1.0


def test_the_eeprom_falls_back_to_the_roms_own_programming(seen):
    s = seen["fallback-eeprom"]
    run = s.runs[0]
    assert (lines(run), run.returncode) == (EEPROM_STAGES + ["Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"], 0)
    assert path_lines(run) == (["ROM path (second stage did not answer)"], b"")
    stage, image = s.sessions
    assert (stage["count"], stage["stage"]) == (pilot_longs(), "eeprom")
    assert re.fullmatch("H+K", stage["bootstrap-answers"]), stage["bootstrap-answers"]
    assert (image["command"], image["eeprom-acks"], image["state"]) == ("2", "2", "shutdown")


def test_a_bad_image_is_refused_with_its_fault_unless_forced_and_then_the_chip_judges_it(seen, images):
    refused, forced = seen["bad-checksum"].runs
    assert (refused.stdout, refused.returncode) == (b"", 1)
    err = refused.stderr.decode()
    for part in ("bad-checksum.binary is not a loadable image", "the checksum does not hold",
                 "Nothing was sent. Use --force to load it anyway."):
        assert part in err
    assert refused.seconds < 1.0  # no port opened, no pauses
    assert (lines(forced), forced.returncode, forced.stderr) == (LOADED + ["CheckSum Error"], 1, b"")
    (session,) = seen["bad-checksum"].sessions  # the refused run never reached the chip
    assert (session["sum"] != "00", session["verdict"]) == (True, "FF")
    # The report of a board that the refusal left untouched.
    report = json.loads((images["dir"] / "refused.json").read_text())
    bad = images["dir"] / "bad-checksum.binary"
    assert {k: v for k, v in report.items() if k != "port"} == {
        "chip_version": None, "image": {"name": str(bad), "size": 2048, "checksum_byte": bad.read_bytes()[5]},
        "path": "rom", "path_line": None, "encoding": "dense", "timing": "lean", "target": "ram", "stages": [],
        "eeprom_pages": None, "eeprom_failed_page": None, "status_lines": [], "outcome": "image-refused",
        "exit_status": 1, "ms": 0}


def test_file_larger_than_the_ram_is_refused_and_forced_sends_its_length_words_worth(seen, images):
    s = seen["too-big"]
    refused, forced = s.runs
    assert (refused.stdout, refused.returncode) == (b"", 1)
    assert b"more than the chip's 32768 of RAM" in refused.stderr
    assert (lines(forced), forced.returncode) == (good_lines(2048), 0)
    assert len(s.sessions) == 1
    assert s.image == images["good"]


def test_eeprom_file_of_32k_sends_only_the_image(seen, images):
    s = seen["eeprom-file"]
    assert lines(s.runs[0]) == good_lines(2048)
    assert s.sessions[0]["count"] == "512"
    assert s.image == images["good"]


def load_bytes(session):
    """Bytes on the line for command, count and longs: all the chip took, less the handshake (343:
    the calibration, 250 bits three a byte, 258 clocks) and the acknowledgement's clocks."""
    return int(session["came"]) - 343


@pytest.mark.parametrize("content", ["random", "zeros"])
def test_dense_is_the_default_and_never_puts_more_on_the_line_than_fixed(seen, images, content):
    fixed, dense = seen[f"{content}-fixed"], seen[f"{content}-dense"]
    for s in (fixed, dense):
        for run in s.runs:
            assert (lines(run), run.returncode) == (good_lines(8192), 0)
        for session in s.sessions:
            assert (session["sum"], session["verdict"], session["state"]) == ("00", "FE", "running")
        assert s.image == images[content]
    fixed_bytes, dense_bytes = load_bytes(fixed.sessions[0]), load_bytes(dense.sessions[0])
    assert fixed_bytes >= 11 * (2048 + 2)
    if content == "zeros":
        # Zeros gain nothing but may not cost more; a few acknowledgement clocks either way.
        assert dense_bytes <= fixed_bytes + 4
    else:
        explicit, default = dense.sessions
        # The same bytes, the acknowledgement's clocks aside: one every 1.1 ms while the chip sums.
        assert abs(int(explicit["came"]) - int(default["came"])) < 100
        assert dense_bytes < 0.8 * fixed_bytes


def trace_events(path):
    """(seconds, event) of each line of a trace."""
    out = []
    for line in path.read_text().splitlines():
        m = re.fullmatch(r"\s*(\d+\.\d{6}) (.*)", line)
        assert m, line
        out.append((float(m.group(1)), m.group(2)))
    return out


def test_trace_holds_every_byte_written_and_read_with_time_stamps(seen, images):
    s = seen["trace"]
    assert lines(s.runs[0]) == good_lines(2048)
    (session,) = s.sessions
    written, read, events, read_stamps = bytearray(), bytearray(), [], []
    entries = trace_events(images["dir"] / "load.trace")
    for stamp, what in entries:
        if w := re.fullmatch(r"write (\d+)/(\d+):((?: [0-9A-F]{2})+)", what):
            data = bytes.fromhex(w.group(3))
            assert int(w.group(1)) == int(w.group(2)) == len(data), "a short write on a healthy line"
            written += data
        elif r := re.fullmatch(r"read (\d+):((?: [0-9A-F]{2})+)", what):
            data = bytes.fromhex(r.group(2))
            assert int(r.group(1)) == len(data)
            read += data
            read_stamps.append(stamp)
        else:
            events.append(what)
    stamps = [stamp for stamp, _ in entries]
    assert stamps == sorted(stamps) and stamps[0] == 0.0
    assert events[:5] == [f"open {s.devices[0]}", "configure 115200 8N2", "dtr on", "dtr off", "purge receive"]
    # The line drains before the acknowledgement is clocked, and the port closes once it has come.
    assert "drain" in events and events[-2:] == ["purge receive", "close"]
    assert stamps[-1] - read_stamps[-1] < 0.1
    assert any(re.fullmatch(r"\(\d+ empty reads\)", e) for e in events), events
    # What the chip took is exactly what the trace says was written, and what it answered was read.
    assert len(written) == int(session["came"])
    # The calibration, then the 250 handshake bits three a byte (at bits 0, 3 and 6; the last byte
    # carries one), then the 258 clocks.
    assert written[0] == 0xF9 and all(b & 0xB6 == 0x92 for b in written[1:84]) and written[84] in (0xFE, 0xFF)
    assert set(written[85:85 + 258]) == {0xF9}
    assert read.hex().upper() == session["answers"]
    assert len(read) > 258


def test_the_window_programs_path_sends_a_byte_a_handshake_bit(seen, images):
    assert lines(seen["window-trace"].runs[0]) == good_lines(2048)
    written = bytearray()
    for _, what in trace_events(images["dir"] / "window.trace"):
        if what.startswith(("read ", "(")):
            break
        if w := re.fullmatch(r"write \d+/\d+:((?: [0-9A-F]{2})+)", what):
            written += bytes.fromhex(w.group(1))
    # Before the first reply is read: the calibration, the 250 bits a byte each (0xFE a 0, 0xFF a 1)
    # and the 258 clocks.
    assert (written[:9].hex(" ").upper(), len(written)) == ("F9 FE FF FE FF FF FF FE FE", 509)


def test_reset_on_rts_pulses_rts_instead_of_dtr(seen, images):
    assert lines(seen["reset-rts"].runs[0]) == good_lines(2048)
    events = [what for _, what in trace_events(images["dir"] / "rts.trace")]
    assert (events.count("rts on"), events.count("rts off")) == (1, 1)
    assert [e for e in events if e.startswith("dtr")] == []


def test_progress_goes_to_a_terminal_on_stderr_and_never_to_stdout(images):
    """Standard error on a terminal of its own, standard output on a pipe. 32 KB at line speed:
    more than a pty takes before the writer blocks, so the bar has something to show."""
    master, slave = pty.openpty()
    seen = bytearray()

    def drain():
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the writer is gone
                return
            if not chunk:
                return
            seen.extend(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        with Propsim("--pace", name="progress") as chip:
            run = run_kestrupload("--rom", "--fixed", "--port", chip.device, images["dir"] / "random32k.binary",
                                  stdout=subprocess.PIPE, stderr=slave, timeout=60)
    finally:
        os.close(slave)
        reader.join()
        os.close(master)
    assert (run.returncode, lines(run)) == (0, good_lines(32768))
    text = seen.decode(errors="replace")
    bars = re.findall(r"\[[=> ]{30}\] (\d+)/(\d+) bytes +[\d.]+ kB/s +[\d.]+ s left", text)
    assert len(bars) > 3, text[:400]
    assert {int(total) for _, total in bars} == {11 * 8192}
    sent = [int(n) for n, _ in bars]
    assert sent == sorted(sent)
    assert "Verify" not in text
    # Wiped before each status line and at the end: the terminal is left with blanks and a CR.
    assert text.endswith("\r") and text.rstrip("\r").endswith(" "), repr(text[-80:])


def test_a_crystal_image_comes_on_its_pll_and_a_dead_crystal_costs_one_more_reset(seen, images):
    (run,) = seen["crystal"].runs
    assert (lines(run), run.returncode) == (good_lines(8192), 0)
    assert path_lines(run) == (["second stage at 3000000 baud on the crystal's PLL"], b"")
    (session,) = seen["crystal"].sessions
    # The contact on the RC clock, the clock message, a hello on the PLL, then the image.
    assert re.fullmatch("HCHB" + "A" * 9 + "VG", session["stage-answers"]), session["stage-answers"]
    (run,) = seen["dead-crystal"].runs
    assert (lines(run), run.returncode) == (good_lines(8192), 0)
    assert path_lines(run) == (
        ["second stage at 1000000 baud (silent on the crystal's PLL: loaded on the RC clock)"], b"")
    stopped, loaded = seen["dead-crystal"].sessions
    assert "clock stopped" in stopped["why"], stopped
    assert loaded["state"] == "running"
    assert seen["dead-crystal"].image == images["crystal"]


@pytest.mark.parametrize("name, answers", [
    # A loss costs a query, whose answer names where the stage is: begun, or its verdict held;
    # an acknowledgement lost while the next packet is on the line costs nothing: the next one's
    # names the packet expected. Begin's answer, the first at the new rate, lost: the way back asked
    # at that rate is answered there, and the begin goes once more.
    ("begin", "BRB" + "A" * 9 + "VG"),
    ("before-the-short-last", "B" + "A" * 9 + "VG"),
    ("verdict", "B" + "A" * 9 + "VVG"),
])
def test_a_lost_answer_costs_a_query_not_the_stage(seen, images, name, answers):
    s = seen[f"lost-{name}"]
    (run,) = s.runs
    assert (lines(run), run.returncode) == (good_lines(8192), 0)
    assert path_lines(run) == (["second stage at 1000000 baud"], b"")
    (session,) = s.sessions
    assert session["stage-answers"].endswith(answers), session["stage-answers"]
    assert session["state"] == "running"
    assert s.image == images["random"]


def test_a_damaged_begin_at_the_images_rate_costs_one_more_begin_not_the_rate(seen, images):
    (run,) = seen["fast-begin-damaged"].runs
    assert (lines(run), run.returncode) == (good_lines(8192), 0)
    assert path_lines(run) == (["second stage at 1000000 baud"], b"")
    (session,) = seen["fast-begin-damaged"].sessions
    assert "NB" in session["stage-answers"], session["stage-answers"]
    assert seen["fast-begin-damaged"].image == images["random"]


@pytest.mark.parametrize("name, answers, baud", [
    # The stage answers its own hello at 115200 baud: the load goes on with it, from that rate,
    # whose sync times the chip's clock closer.
    ("k-lost", "H+K", 1000000),
    # No stage answers; the bootstrap's hellos complete what it counts, it refuses that, and the
    # stage goes again. (A hello may be answered twice: the next is sent before the answer is in.)
    ("byte-lost", "H+XH+K", 1000000),
])
def test_a_fault_on_the_bootstraps_line_costs_at_most_one_load_of_the_stage(seen, images, name, answers, baud):
    s = seen[f"bootstrap-{name}"]
    (run,) = s.runs
    assert (lines(run), run.returncode, path_lines(run)) == (good_lines(8192), 0, ([f"second stage at {baud} baud"], b""))
    (session,) = s.sessions
    assert re.fullmatch(answers, session["bootstrap-answers"]), session["bootstrap-answers"]
    assert session["stage-answers"].endswith("B" + "A" * 9 + "VG"), session["stage-answers"]
    assert session["state"] == "running"
    assert s.image == images["random"]


def test_an_image_the_chip_will_not_start_is_a_failure_by_either_path(seen, images):
    staged, rom = seen["not-started"].runs
    told = b"the chip will not start the image: pbase is 0x0014, not 0x0010\n"
    for run in (staged, rom):
        # The chip acknowledges it as the ROM would, then shuts down.
        assert (lines(run), run.returncode) == (good_lines(2048), 1)
        assert run.stderr.endswith(told), run.stderr
    assert path_lines(staged)[0] == ["second stage at 3000000 baud on the crystal's PLL"]
    report = json.loads((images["dir"] / "pbase.json").read_text())
    assert (report["outcome"], report["exit_status"]) == ("not-started", 1)
    assert [session["state"] for session in seen["not-started"].sessions] == ["shutdown", "shutdown"]
