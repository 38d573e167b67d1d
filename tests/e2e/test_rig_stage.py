"""The second stage on the real chip's logic (shared/tools/p1rtl): real images loaded through it run,
at the RC clocks a chip may have, into RAM and into the EEPROM, and the committed stage is its source.

Each case is one rig session: stageload resets the board, has the ROM load the stage (230400 baud,
three bits a byte, which the ROM takes at 8 MHz too) and loads the image through it. What ran is
read from the rig's pin log; the chip times from its event log. One case at a time, since a rig
session already keeps a core busy. KESTRUP_RIG_RATE sets the rig's clocks per wall second."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import rig
from propsim import SOURCE, good_lines, program, work_dir

OPENSPIN = Path(os.environ.get("OPENSPIN", SOURCE.parent / "shared" / "tools" / "openspin" / "openspin"))
TRANSCRIPTS = SOURCE / "tests" / "conformance" / "stage.transcripts"
CRYSTAL_TRANSCRIPT = "a-crystal-clock"
DEFAULT_TRANSCRIPTS = ("contact-rates-and-the-largest-image", "packets-refused-and-a-lost-byte",
                       "a-last-packet-at-its-boundary")
IMAGES = rig.IMAGES
# The stage's high rates leave the host's slowed clock less slack than the ROM's: a slower rig.
RATE = int(os.environ.get("KESTRUP_RIG_RATE", "400000"))

# The default run proves each path once; the other clocks, images and the step-down take the rig
# about as long again, so they run from scripts/rig (KESTRUP_RIG_ALL=1).
whole_suite_only = pytest.mark.skipif(not os.environ.get("KESTRUP_RIG_ALL"),
                                      reason="the whole rig suite only (scripts/rig)")


@pytest.fixture(scope="module", autouse=True)
def chip_rig():
    rig.require()


def toggling(pin):
    return lambda session: len(session.toggles(pin)) > 20


def shut_down(session):
    running = [text for _, text in session.events if text.startswith("cogs running")]
    return bool(running) and running[-1].endswith(": 00")


def load(name, image, until, chip_hz=12_000_000, eeprom=None, *stage_args, outcome="loaded"):
    command = [program("stageload"), "--fixed", "--rom-baud", "230400", "--settle", "20", *stage_args,
               "--port", "{pty}", image]
    session = rig.run(command, "rig-" + name, until, rate=RATE, chip_hz=chip_hz, eeprom=eeprom, dump_ram=True)
    assert session.status == (0 if outcome == "loaded" else 1), f"stageload: {session.status}\n{session.host}"
    assert f"stage: {outcome}" in session.host, session.host
    return session


def report(case, session):
    rate = re.search(r"(\d+) baud, (\d+) resent", session.host)
    print(f"  {case}: reset to start {session.launch_ms():.1f} ms of chip time, {rate.group(1)} baud, "
          f"{rate.group(2)} resent")


def test_the_committed_stage_is_its_source():
    if not OPENSPIN.exists():
        pytest.skip(f"no Spin compiler at {OPENSPIN}")
    check = subprocess.run([str(SOURCE / "scripts" / "make-second-stage"), "--check", "--openspin", str(OPENSPIN)],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stderr


def segments(session):
    """The events after each reset's release, until the next reset, in order."""
    found = []
    for clock, text in session.events:
        if text.startswith("RESET released"):
            found.append([])
        elif found:
            found[-1].append(text)
    return found


def ending(events):
    """What the chip did once the stage's talker (cog 1) had started: ran an image, or shut down."""
    talker = max(i for i, text in enumerate(events) if text.startswith("COGINIT cog 1"))
    after = events[talker:]
    if any(text.startswith("COGINIT cog 0: code $F004, PAR $0004") for text in after):
        return "running"
    running = [text for text in after if text.startswith("cogs running")]
    return "shutdown" if running and running[-1].endswith(": 00") else "neither"


def test_the_stage_answers_its_transcripts():
    # The transcripts of the protocol (tests/conformance/stage.transcripts), each on a stage started
    # afresh, in one session: the stage's answers are the transcripts', as propsim's model's are
    # (tests/unit/conformance_test.cpp), and the chip runs the image or shuts down as each one ends.
    eeprom = work_dir("rig-transcripts") / "eeprom.bin"
    eeprom.write_bytes(bytes(32768))
    command = [program("stageload"), "--fixed", "--rom-baud", "230400", "--settle", "20", "--transcripts",
               TRANSCRIPTS, "--port", "{pty}"]
    # The default run plays those that hold the contact, the rates, every refusal, a lost byte at
    # both rates and both image ends; the verdicts that shut down and the EEPROM build run in the
    # whole suite (scripts/rig), each a start of the stage more.
    # The crystal's transcript runs on the PLL, at a pace of its own (below).
    chosen = DEFAULT_TRANSCRIPTS if not os.environ.get("KESTRUP_RIG_ALL") else [
        name for name in re.findall(r"^transcript (\S+)", TRANSCRIPTS.read_text(), re.M) if name != CRYSTAL_TRANSCRIPT]
    command[-2:-2] = ["--only", ",".join(chosen)]
    s = rig.run(command, "rig-transcripts", lambda session: True, rate=RATE, eeprom=eeprom, timeout=900)
    assert s.status == 0, s.host
    assert "transcripts: 0 differ" in s.host, s.host
    # Each transcript's end, in the events after the last start (a reset) before it.
    starts, ends = 0, []
    for line in s.host.splitlines():
        if re.match(r"\s+start \d+", line):
            starts += 1
        elif m := re.search(r"line \d+: end: (running|shutdown), for the rig's events to tell", line):
            ends.append((starts - 1, m.group(1)))
    resets = segments(s)
    assert len(resets) == starts, (len(resets), starts)
    assert len(ends) == len(re.findall(r"^transcript \S+$", s.host, re.M)), s.host
    for reset, want in ends:
        assert ending(resets[reset]) == want, (reset, want)


@whole_suite_only
def test_the_stage_answers_the_crystal_transcript():
    # The clock message on the chip's logic: the stage moved to 80 MHz, where the rig needs a slower pace.
    command = [program("stageload"), "--fixed", "--rom-baud", "230400", "--settle", "20", "--transcripts",
               TRANSCRIPTS, "--only", CRYSTAL_TRANSCRIPT, "--port", "{pty}"]
    s = rig.run(command, "rig-transcript-crystal", lambda session: True, rate=RATE * 7 // 40, timeout=900)
    assert s.status == 0, s.host
    assert "transcripts: 0 differ" in s.host, s.host
    assert ending(segments(s)[-1]) == "running"


def test_blink_p16_runs():
    s = load("blink", IMAGES / "blink_p16.binary", toggling("P16"))
    assert len(s.toggles("P16")) > 20
    report("blink_p16 at 12 MHz", s)


@whole_suite_only
def test_pasm_p17_starts_its_cog_and_raises_p18():
    s = load("pasm", IMAGES / "pasm_p17.binary", toggling("P17"))
    assert len(s.toggles("P17")) > 20
    assert s.toggles("P18") == ["0", "1"]
    report("pasm_p17 at 12 MHz", s)


@whole_suite_only
def test_a_rate_too_fast_for_the_chip_is_stepped_down():
    # 921600 baud is 13 clocks a bit at 12 MHz: the stage takes no sync that short, the hello at it
    # goes unanswered, and the host goes on at the next rate.
    s = load("stepdown", IMAGES / "blink_p16.binary", toggling("P16"), 12_000_000, None, "--rates", "921600,460800")
    rates = [text.split("host set ")[1].split(" baud")[0] for _, text in s.events if "host set" in text]
    # Back at the contact's rate in between, or not: how the stage took the pulses at 921600 decides.
    assert rates[-1] == "460800" and "921600" in rates[rates.index("230400"):], rates
    assert "Second stage: chip at 12.0 MHz, 460800 baud" in s.host, s.host
    assert len(s.toggles("P16")) > 20
    report("blink_p16 at 12 MHz, 921600 tried first", s)


def test_an_image_failing_the_checksum_is_refused_and_the_chip_shut_down():
    image = bytearray((IMAGES / "xtal_blink.binary").read_bytes())
    image[5] ^= 0x01  # the checksum byte: the RAM picture then sums to 1
    bad = work_dir("rig-badsum") / "bad.binary"
    bad.write_bytes(image)
    s = load("badsum", bad, shut_down, outcome="refused")
    assert "Second stage: checksum error" in s.host, s.host
    texts = [text for _, text in s.events]
    after_stage = texts[max(i for i, text in enumerate(texts) if "COGINIT cog 1" in text):]
    assert not any("$F004, PAR $0004" in line for line in after_stage)
    assert [line for line in after_stage if "cogs running" in line][-1].endswith("cogs running: 00")
    # The oscillator that packet 0 started is stopped again, as the ROM never starts it.
    assert [line for line in after_stage if "CLKSET" in line][-1].startswith("CLKSET $00"), after_stage
    assert s.toggles("P21") == []


@whole_suite_only
def test_xtal_blink_starts_on_the_crystal_and_pll_as_the_rom_would():
    # The oscillator and the PLL start as packet 0 is in and settle for 400,000 clocks of RC, the
    # verdict and go included: the rig has to run that long after the load.
    s = load("xtal", IMAGES / "xtal_blink.binary", toggling("P21"))
    clock_writes = [text for _, text in s.events if "CLKSET" in text]
    assert clock_writes[-1] == "CLKSET $6F: XTAL+PLL16X, PLL on, oscillator on", clock_writes
    assert set(clock_writes[:-1]) == {"CLKSET $68: RCFAST, PLL on, oscillator on"}, clock_writes
    settle = s.clock_of("CLKSET $6F") - s.clocks("CLKSET $68")[0]
    assert 400_000 <= settle < 420_000, settle
    assert s.clock_of("COGINIT cog 0: code $F004") >= s.clock_of("CLKSET $6F")
    assert len(s.toggles("P21")) > 20
    report("xtal_blink at 12 MHz", s)


def assert_the_chips_own_rate(baud, chip_hz, clocks_per_bit=12):
    # The chip's own fastest rate as the stage measured its clock, one an FTDI adapter makes (24 MHz
    # over whole eighths): 12 clocks a bit for the stage's sampling by instruction time, within
    # 3.5%; 15.25 or 16 or more for the receivers that time bits by the clock, within a divisor's step.
    assert abs(baud - 24_000_000 / round(24_000_000 / baud)) <= 0.5, f"{baud} baud is no adapter's"
    ratio = chip_hz / baud / clocks_per_bit
    assert (abs(ratio - 1) <= 0.035 if clocks_per_bit == 12 else 1 <= ratio < 1.07), f"{baud} baud for {chip_hz} Hz"


def big_table_at(mhz, *stage_args, clocks_per_bit=12):
    # P20 toggles only when the table's last long arrived intact.
    s = load(f"big-{mhz}", IMAGES / "big_table.binary", toggling("P20"), mhz * 1_000_000, None, *stage_args)
    assert len(s.toggles("P20")) > 20
    # The chip's own fastest rate, held for the whole image.
    held = re.search(r" Hz, (\d+) baud, 0 resent", s.host)
    assert held, s.host
    assert_the_chips_own_rate(int(held.group(1)), mhz * 1_000_000, clocks_per_bit)
    # With one stop bit at 12 clocks a bit: the stage's two receivers take the longs in turn.
    settings = [text for _, text in s.events if "host set" in text]
    stop_bits = 1 if clocks_per_bit == 12 else 2
    assert f"host set {held.group(1)} baud" in settings[-1] and f"{stop_bits} stop bits" in settings[-1], settings
    report(f"big_table (30,464 bytes) at {mhz} MHz", s)
    return s


@whole_suite_only
def test_big_table_arrives_whole_at_8_mhz():
    big_table_at(8)


def test_big_table_arrives_whole_at_12_mhz():
    s = big_table_at(12)
    # The RAM picture the ROM would have made: the image, the stack markers below dbase ($7708),
    # zeros above the running program's few stack longs (dcurr $7710).
    ram = (s.out / "ram.bin").read_bytes()
    assert ram[:30464] == (IMAGES / "big_table.binary").read_bytes()
    assert ram[0x7700:0x7708] == bytes.fromhex("FFFFF9FF FFFFF9FF")
    assert ram[0x7800:] == bytes(0x8000 - 0x7800)


@whole_suite_only
def test_big_table_arrives_whole_at_20_mhz():
    # No adapter rate lies within 3.5% of the clock / 12 (1,666,667 baud, between 1.5 and 2 Mbaud):
    # the image goes at 24 MHz / 19, 15.8 clocks a bit; the stage through the bootstrap at 16 or more.
    s = big_table_at(20, "--boot", clocks_per_bit=15.25)
    boot = re.search(r"bootstrap: chip (\d+) Hz, stage at (\d+) baud", s.host)
    assert boot, s.host
    assert_the_chips_own_rate(int(boot.group(2)), 20_000_000, 16)


@whole_suite_only
def test_32_kb_load_at_12_mhz():
    if not OPENSPIN.exists():
        pytest.skip(f"no Spin compiler at {OPENSPIN} to build the 32 KB image")
    # big_table's generator with 8160 longs: vbase $7FC0, the stack just below the top of RAM.
    build = work_dir("rig-big32-build")
    generate = ("import importlib.util, sys\n"
                f"spec = importlib.util.spec_from_file_location('g', {str(IMAGES / 'gen_big_table.py')!r})\n"
                "g = importlib.util.module_from_spec(spec); spec.loader.exec_module(g)\n"
                f"g.COUNT = 8160; sys.argv = ['g', {str(build / 'big32.spin')!r}]; g.main()\n")
    subprocess.run([sys.executable, "-c", generate], check=True)
    subprocess.run([str(OPENSPIN), "-q", "-b", "-o", str(build / "big32.binary"), str(build / "big32.spin")],
                   check=True)
    assert (build / "big32.binary").stat().st_size == 32704
    s = load("big32", build / "big32.binary", toggling("P20"))
    assert len(s.toggles("P20")) > 20
    # At 460800 baud, the fastest the rig makes that 12 MHz takes, the 32 packets alone are 789 ms
    # on the line; the ROM's part (handshake, the stage, its checksum, its clock wait) about 410.
    assert s.launch_ms() < 1300, s.launch_ms()
    report("32,704 bytes at 12 MHz", s)


@whole_suite_only
def test_kestruploads_default_path_goes_by_the_stage():
    # The stage carried by the ROM at 115200 baud, dense, after the lean reset; the hellos within
    # the short window the default path gives them.
    s = rig.run([program("kestrupload"), "--port", "{pty}", IMAGES / "big_table.binary"], "rig-default",
                toggling("P20"), rate=RATE)
    out = s.host.split("\n")
    assert s.status == 0, s.host
    assert out[:5] == good_lines(30464), out
    path = re.fullmatch(r"kestrupload: \S+: second stage at (\d+) baud", out[5])
    assert path, out
    assert_the_chips_own_rate(int(path.group(1)), 12_000_000)
    assert len(s.toggles("P20")) > 20
    print(f"  kestrupload, big_table at 12 MHz: reset to start {s.launch_ms():.1f} ms of chip time")


@whole_suite_only
def test_eeprom_load_writes_the_ram_picture_and_runs_it():
    eeprom = work_dir("rig-eeprom") / "eeprom.bin"
    eeprom.write_bytes(bytes(32768))
    s = load("eeprom", IMAGES / "blink_p16.binary", toggling("P16"), 12_000_000, eeprom, "--eeprom")
    assert "Second stage: EEPROM programmed and verified (pages written: 512)" in s.host, s.host
    assert eeprom.read_bytes() == (IMAGES / "blink_p16.eeprom").read_bytes()
    # Every page, the header's last.
    writes = [text.split()[3] for _, text in s.events if text.startswith("eeprom: page write")]
    assert (len(writes), writes[-1]) == (512, "$0000"), writes[-3:]
    assert len(s.toggles("P16")) > 20
    report("blink_p16 into the EEPROM at 12 MHz", s)



def test_an_eeprom_load_with_a_byte_lost_writes_only_what_came_checked():
    # big_table into the EEPROM at the EEPROM build's 774194 baud, 15.5 clocks a bit: a byte of the
    # image (the 12000th at that rate, where only the stage's contact came before it) lost on the
    # way while pages go into the EEPROM. The packet is refused and sent again, and the
    # EEPROM ends as the image's EEPROM file, which then runs. A part that writes a page in 1 ms
    # (the 24xx256 takes up to 5, as the whole rig suite has it) keeps the default run short.
    eeprom = work_dir("rig-eeprom-lost") / "eeprom.bin"
    eeprom.write_bytes(bytes(32768))
    s = rig.run([program("kestrupload"), "--eeprom", "--port", "{pty}", IMAGES / "big_table.binary"],
                "rig-eeprom-lost", toggling("P20"), rate=RATE, eeprom=eeprom,
                rig_args=["--fault", "to-chip:774194:12000:drop", "--ee-write-clocks", "12000"])
    assert s.status == 0, s.host
    assert any("fault" in text for _, text in s.events), "the rig's fault never struck"
    assert "EEPROM: 512 pages written and verified" in s.host, s.host
    assert eeprom.read_bytes() == (IMAGES / "big_table.eeprom").read_bytes()
    assert len(s.toggles("P20")) > 20
    print(f"  big_table into the EEPROM at 12 MHz, a byte lost: reset to start {s.launch_ms():.1f} ms of chip time")


@whole_suite_only
def test_a_lost_answer_before_the_short_last_packet_costs_one_query():
    # big_table's 30 packets: the answer to packet 28 (the host's 30th answer at the image's rate,
    # after begin's: bytes 233-240) is lost; the host asks, and the stage's answer names the packet
    # it expects.
    s = rig.run([program("kestrupload"), "--port", "{pty}", IMAGES / "big_table.binary"],
                "rig-lost-answer", toggling("P20"), rate=RATE, rig_args=["--fault", "to-host:1000000:236:drop"])
    out = s.host.split("\n")
    assert s.status == 0, s.host
    assert out[:5] == good_lines(30464), out
    assert re.fullmatch(r"kestrupload: \S+: second stage at 1000000 baud", out[5]), out
    assert any("fault" in text for _, text in s.events), "the rig's fault never struck"
    assert len(s.toggles("P20")) > 20
    print(f"  big_table at 12 MHz, an answer lost: reset to start {s.launch_ms():.1f} ms of chip time")


# An FTDI adapter as boards carry one: the rate it makes of the one asked, and its 16 ms latency timer.
FTDI = ["--adapter", "ftdi", "--usb-latency", "16"]


@pytest.mark.parametrize("mhz, baud, fault", [
    # The lost answer's load below is this one's too.
    pytest.param(12, 1_000_000, None, marks=whole_suite_only),
    # 24 MHz / 19, 15.8 clocks a bit: no adapter rate lies near 20 MHz / 12, between 1.5 and 2 Mbaud.
    (20, 1_263_158, None),
    # The answer to packet 20 lost (bytes 169-176 at the image's rate): a query, and on.
    (12, 1_000_000, "to-host:1000000:172:drop"),
])
def test_behind_an_ftdi_adapter_the_stage_loads_at_a_rate_it_makes(mhz, baud, fault):
    name = f"rig-ftdi-{mhz}" + ("-lost" if fault else "")
    s = rig.run([program("kestrupload"), "--port", "{pty}", IMAGES / "big_table.binary"], name, toggling("P20"),
                rate=RATE, chip_hz=mhz * 1_000_000, rig_args=FTDI + (["--fault", fault] if fault else []))
    out = s.host.split("\n")
    assert s.status == 0, s.host
    assert out[:5] == good_lines(30464), out
    assert re.fullmatch(rf"kestrupload: \S+: second stage at {baud} baud", out[5]), out
    # Asked as made, as every rate the host set once the chip's clock was known.
    made = [text for _, text in s.events if f"host set {baud} baud" in text]
    assert made and all(f"(the adapter makes {baud})" in text for text in made), made
    assert not fault or any("fault" in text for _, text in s.events), "the rig's fault never struck"
    assert len(s.toggles("P20")) > 20
    print(f"  big_table at {mhz} MHz behind an FTDI adapter{', an answer lost' if fault else ''}: "
          f"reset to start {s.launch_ms():.1f} ms of chip time")


def test_a_crystal_program_loads_on_its_pll_and_is_heard_through_the_terminal():
    # serial_echo_pll declares xtal1 + pll16x: the pilot starts the crystal, the stage moves the chip
    # to its 80 MHz for the image, and the program greets at 115200 baud the moment it starts: the
    # host's line is at that rate before the stage starts it. On the PLL the rig needs a slower pace.
    command = ["sh", "-c", f'exec "{program("kestrupload")}" --terminal --port "$0" "$1" </dev/null', "{pty}",
               IMAGES / "serial_echo_pll.binary"]
    s = rig.run(command, "rig-echo-pll", lambda session: b"HELLO" in session.host_output, rate=RATE * 7 // 40,
                timeout=600)
    assert s.status == 0, s.host
    assert re.search(r"second stage at 3000000 baud on the crystal's PLL\n.*terminal on \S+ at 115200 baud",
                     s.host), s.host
    assert b"HELLO\r\n" in s.host_output, s.host_output[-200:]
    clock = [text for _, text in s.events if text.startswith("CLKSET")]
    assert clock[:2] == ["CLKSET $68: RCFAST, PLL on, oscillator on", "CLKSET $6F: XTAL+PLL16X, PLL on, oscillator on"], clock
    print(f"  serial_echo_pll on its PLL: reset to start {s.launch_ms():.1f} ms of chip time")
