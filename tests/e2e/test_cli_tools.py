"""kestrupload's forms besides loading (--help, --identify, --info, --list, --scan) and the
simulator's own promises as a program (propsim, propimage)."""
import fcntl
import glob
import json
import os
import re
import subprocess
import termios

import pytest

from propsim import BOARD, BOARDS, Scenario, lines, make_image, play, program, run_kestrupload, work_dir

# Every switch kestrupload takes; --help must name each, and nothing it does not take.
SWITCHES = {"-p", "--port", "--eeprom", "--no-run", "--force", "--fixed", "--dense", "--rom", "--window-timing",
            "--reset", "--trace", "--report", "--terminal", "--baud",
            "--identify", "--list", "--scan", "--info", "-h", "--help", "--version"}


@pytest.fixture(scope="module")
def identified():
    image = work_dir("identify") / "image.binary"
    make_image(image, 1024, seed=41)
    return play([
        Scenario("chip", ("--identify", "--port", BOARD, "--report", "-"),
                 boards=[("--rc-hz", "9500000", "--xtal", "6250000")]),
        Scenario("no-crystal", ("--identify", "--port", BOARD), boards=[("--xtal", "0", "--no-eeprom")]),
        Scenario("eeprom", ("--eeprom", "--port", BOARD, image), ("--identify", "--port", BOARD)),
        Scenario("silent", ("--identify", "--port", BOARD), boards=[("--silent",)]),
        Scenario("version-3", ("--identify", "--port", BOARD, "--rom"), boards=[("--version", "3")]),
        Scenario("two", ("--identify", "--port", BOARDS), boards=[(), ("--silent",)]),
    ])


def described(said, port, rc, crystal, eeprom):
    """Whether --identify's lines say this; the bootstrap's own rate follows its hello's answer."""
    return len(said) == 5 and said[:4] == ["Propeller Version = 1", f"RC clock: {rc}", crystal, eeprom] and \
        re.fullmatch(f"port: {re.escape(port)} at 230400, 460800, \\d+, 100000 baud", said[4]) is not None


def test_identify_describes_the_board_reports_it_and_shuts_the_chip_down(identified):
    s = identified["chip"]
    run = s.runs[0]
    assert run.returncode == 0, run.stderr
    # The bootstrap's own rate is the chip's clock / 16, in whole hundreds.
    said = run.stderr.decode().splitlines()
    assert described(said, s.devices[0], "9.50 MHz", "crystal: 6.25 MHz",
                     "EEPROM: answers; its size is not told (its first bytes come again every 8 KB)"), said
    report = json.loads(run.stdout)
    assert (report["rc_clock_hz"], report["crystal_hz"], report["eeprom"], report["outcome"]) == \
        (9_500_000, 6_250_000, {"answers": True, "size": None}, "identified")
    assert report["rates"] == [int(rate) for rate in re.findall(r"\d+", said[4].split(" at ")[1])]
    assert report["status_lines"] == said and 0 < report["ms"] < 1500
    # The identify program shut the chip down after the crystal's answer.
    (session,) = s.sessions
    assert (session["pilot-loads"], session["bootstrap-answers"], session["state"]) == ("K", "HKCEX", "shutdown")
    assert run.seconds < 1.5  # no console pause, no teardown wait


def test_identify_tells_a_missing_crystal_and_eeprom_and_the_size_an_eeprom_wraps_at(identified):
    s = identified["no-crystal"]
    run = s.runs[0]
    assert run.returncode == 0
    assert described(lines(run), s.devices[0], "12.00 MHz", "no crystal", "no EEPROM"), lines(run)
    # The switch stopped the chip; once that was told, a reset and the ROM's shutdown.
    first, second = s.sessions
    assert (first["bootstrap-answers"], second["command"], second["state"]) == ("HKCE", "0", "shutdown")
    assert run.seconds < 1.5
    # An image in the EEPROM: its start does not come again at 8 or 16 KB, only at 32 KB, where the
    # simulated 24xx256's address wraps.
    loaded, run = identified["eeprom"].runs
    assert (loaded.returncode, run.returncode) == (0, 0)
    assert lines(run)[3] == "EEPROM: 32 KB"


def test_identify_finds_no_propeller_on_a_silent_port_and_each_port_says_for_itself(identified):
    run = identified["silent"].runs[0]
    assert (run.stdout, run.returncode) == (b"Time Out\nNo Propeller answered\n", 1)
    assert run.seconds < 1.5
    # Through the ROM alone the version is all it tells.
    version = identified["version-3"].runs[0]
    assert (version.stdout, version.returncode) == (b"Propeller Version = 3\n", 0)
    s = identified["two"]
    good, silent = s.devices
    assert s.runs[0].returncode == 1
    said = s.runs[0].stdout.decode().splitlines()
    assert sorted(line for line in said if not line.startswith(f"{good}: ") or "Version" in line) == \
        sorted([f"{good}: Propeller Version = 1", f"{silent}: Time Out", f"{silent}: No Propeller answered"])
    assert f"{good}: crystal: 5.00 MHz" in said


def test_help_names_every_switch_and_only_switches_that_exist():
    run = run_kestrupload("--help")
    assert (run.returncode, run.stderr) == (0, b"")
    text = run.stdout.decode()
    assert set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", text)) == SWITCHES
    assert "Examples:" in text
    for switch in sorted(SWITCHES):
        assert b"unknown option" not in run_kestrupload(switch, "x", "y", "z", timeout=10).stderr, switch


@pytest.mark.parametrize("args, message", [
    (("--bogus",), "unknown option --bogus"),
    (("--reset", "cts", "--port", "/dev/x", "i"), "--reset takes dtr or rts, not cts"),
    (("--no-run", "--port", "/dev/x", "i"), "--no-run goes with --eeprom"),
    (("--identify", "--scan"), "exclude each other"),
    (("--terminal",), "no port given"),
])
def test_a_wrong_command_line_says_what_is_wrong_and_how_to_use_it(args, message):
    run = run_kestrupload(*args)
    assert (run.returncode, run.stdout) == (2, b"")
    err = run.stderr.decode()
    assert err.startswith("kestrupload: ") and message in err.split("\n")[0], err
    assert "Usage: kestrupload" in err


def test_version():
    run = run_kestrupload("--version")
    assert run.returncode == 0
    assert re.fullmatch(r"kestrupload \S+\n", run.stdout.decode())


def test_info_prints_the_header_and_the_verdict(work):
    make_image(work / "good.binary", 2048, seed=41)
    run = run_kestrupload("--info", work / "good.binary")
    assert run.returncode == 0, run.stderr
    fields = dict(line.split(None, 1) for line in run.stdout.decode().splitlines())
    assert {k: fields[k] for k in ("file", "clkfreq", "pbase", "vbase", "dbase", "verdict")} == {
        "file": "size   2048 bytes", "clkfreq": "80000000 Hz", "pbase": "0x0010",
        "vbase": "0x0800 (image length 2048 bytes, 512 longs)", "dbase": "0x0808", "verdict": "OK"}

    bad = bytearray((work / "good.binary").read_bytes())
    bad[6] = 0x20  # pbase
    (work / "bad.binary").write_bytes(bad)
    run = run_kestrupload("--info", work / "bad.binary")
    assert run.returncode == 1
    text = run.stdout.decode()
    for part in ("pbase       0x0020\n", "verdict     REFUSED\n",
                 "  - pbase is 0x0020, not 0x0010: the chip would not start it\n", "  - the checksum does not hold"):
        assert part in text

    missing = run_kestrupload("--info", work / "none.binary")
    assert (missing.returncode, missing.stdout) == (2, b"")
    assert b"no such file" in missing.stderr


def ports_of_this_machine():
    """What --list should find here: stable names, then ttyUSB and ttyACM devices not behind one."""
    found = sorted(glob.glob("/dev/serial/by-id/*"))
    behind = {os.path.realpath(link) for link in found}
    devices = sorted(glob.glob("/dev/ttyUSB*") + glob.glob("/dev/ttyACM*"), key=os.path.basename)
    return found + [d for d in devices if d not in behind]


def test_list_and_scan_agree_with_the_system_and_end_in_time():
    """Pseudo-terminals are not serial ports to --list, so propsim cannot be found this way."""
    expected = ports_of_this_machine()
    none = b"kestrupload: no serial ports found\n"
    listed = run_kestrupload("--list")
    assert listed.returncode == 0
    assert [line.split("  ", 1)[0] for line in listed.stdout.decode().splitlines()] == expected
    assert listed.stderr == (b"" if expected else none)

    scanned = run_kestrupload("--scan", timeout=60)
    assert scanned.seconds < 5  # each port gets 3 s at most, all at once
    if not expected:
        assert (scanned.returncode, scanned.stdout, scanned.stderr) == (1, b"", none)
    for line, port in zip(scanned.stdout.decode().splitlines(), expected, strict=True):
        assert re.fullmatch(re.escape(port) + r": (Propeller version \d+|no Propeller|does not exist|is busy .*|"
                            r"is not a serial port|may not be opened .*|refuses .*|cannot be opened .*|"
                            r"no answer within 3 s)", line)


def test_every_command_says_alike_why_a_port_did_not_open(boards, work):
    make_image(work / "image.binary", 1024, seed=43)
    locked = boards(name="locked")
    fd = os.open(locked.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        why = {"/dev/null": "is not a serial port", str(work / "none"): "does not exist",
               locked.device: "is busy (another program has it open)"}
        for port, reason in why.items():
            said = f"kestrupload: {port} {reason}\n".encode()
            for args in (("--port", port, work / "image.binary"), ("--identify", "--port", port),
                         ("--terminal", "--port", port)):
                run = run_kestrupload(*args, stdin=subprocess.DEVNULL)
                assert (run.returncode, run.stdout, run.stderr) == (2, b"", said), args
        several = run_kestrupload("--port", ",".join(why), work / "image.binary")
    finally:
        os.close(fd)
    assert several.returncode == 2
    assert sorted(several.stderr.decode().splitlines()) == sorted(f"kestrupload: {p} {r}" for p, r in why.items())
    assert several.stdout.decode().splitlines() == [f"{p}: port {r}" for p, r in why.items()]
    assert locked.stop() == 0 and locked.sessions() == []


def test_a_file_bigger_than_the_ram_is_refused_with_its_own_size(work):
    big = work / "big.binary"
    head = bytearray((make_image(work / "good.binary", 2048, seed=44))[:16])
    head[8:10] = (37352).to_bytes(2, "little")  # the length word asks for more than there is RAM
    big.write_bytes(head)
    os.truncate(big, 5_000_000_000)  # sparse: the checks must not read it
    info = run_kestrupload("--info", big, timeout=10)
    assert info.returncode == 1
    assert "file size   5000000000 bytes\n" in info.stdout.decode()
    assert "  - the file has 5000000000 bytes, more than the chip's 32768 of RAM\n" in info.stdout.decode()
    assert "the header says" not in info.stdout.decode()
    load = run_kestrupload("--port", "/dev/null", big, timeout=10)
    assert (load.returncode, load.stdout) == (1, b"")
    assert "  - the file has 5000000000 bytes, more than the chip's 32768 of RAM\n" in load.stderr.decode()


def test_a_file_that_cannot_be_read_is_said_in_the_systems_words_and_nothing_is_sent(boards):
    # It opens, but its first bytes are no memory of the process reading it: the read fails.
    unreadable = "/proc/self/mem"
    info = run_kestrupload("--info", unreadable)
    assert (info.returncode, info.stdout, info.stderr) == \
        (2, b"", b"kestrupload: /proc/self/mem: cannot be read: Input/output error\n")
    board = boards(name="unreadable")
    load = run_kestrupload("--report", "-", "--port", board.device, unreadable)
    assert (load.returncode, load.stderr) == (1, b"Start Upload\r\nUnable to read the file: Input/output error\n")
    report = json.loads(load.stdout)
    assert [(s["stage"], s["result"]) for s in report["stages"]] == [("open", "ok"), ("file", "failed")]
    assert (report["outcome"], report["exit_status"], report["image"]["size"]) == ("file-unreadable", 1, None)
    assert board.stop() == 0 and board.sessions() == []


def test_propsim_serves_a_raw_pty_and_stops_cleanly_on_sigterm(boards):
    chip = boards(name="raw")
    # Raw before any host touches it: a stray newline would otherwise become CR LF.
    fd = os.open(chip.device, os.O_RDWR | os.O_NOCTTY)
    try:
        _, oflag, cflag, lflag, *_ = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    assert (oflag & termios.OPOST, lflag & (termios.ICANON | termios.ECHO), bool(cflag & termios.CSTOPB)) == \
        (0, 0, True)
    assert chip.stop() == 0


def test_propsim_ends_after_its_sessions_once_the_host_is_done(boards, work):
    make_image(work / "image.binary", 512)
    chip = boards("--sessions", "1", "--linger", "200", name="sessions")
    run = run_kestrupload("--port", chip.device, work / "image.binary")
    assert run.returncode == 0, run.stdout
    assert chip.process.wait(timeout=10) == 0
    assert len(chip.sessions()) == 1


def test_propsim_and_propimage_refuse_what_they_cannot_do(work):
    run = subprocess.run([str(program("propsim")), "--wrong-bit", "250"], capture_output=True, timeout=10)
    assert (run.returncode, run.stdout) == (2, b"")
    assert b"--wrong-bit" in run.stderr
    bad = subprocess.run([str(program("propimage")), "--size", "1001", str(work / "bad.binary")],
                         capture_output=True, timeout=10)
    assert bad.returncode == 2
    assert not (work / "bad.binary").exists()


def test_propimage_writes_what_was_asked(work):
    a = make_image(work / "a.binary", 4096, seed=5)
    assert len(a) == 4096
    assert a == make_image(work / "b.binary", 4096, seed=5)
    assert a != make_image(work / "c.binary", 4096, seed=6)
    assert make_image(work / "z.binary", 64, zeros=True)[16:] == bytes(48)
