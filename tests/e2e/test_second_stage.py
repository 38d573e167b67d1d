"""The second stage on the simulated chip: stageload (tests/rig) has the boot ROM load the stage into a
paced propsim, then loads the image through it at the rate the simulated 12 MHz RC clock takes, into
RAM and into the EEPROM; a packet damaged on the way is sent once more; a stage that never answers
leaves the chip to a plain ROM load after a reset. One board at a time: a paced board has the
machine to itself."""
import re
import subprocess
import time

from propsim import RESET_QUIET_S, good_lines, kestrupload, lines, make_image, program

# The stage times the first hello's sync at 115200 baud as 417 clocks of its 12 MHz clock; the
# fastest rate of the host's ladder with 16 clocks a bit or more is then 460800.
CONTACT = "Second stage: chip at 12.0 MHz, 460800 baud"
# The host says hello until the stage answers, then asks for a rate, whose begin is its proof: the
# contact's hellos answered one time or more, as the host's reads fall; a rate not taken costs the
# begin refused or unheard, a query (answered "I" for idle) and the next rate.
HELLOS = "H+(?:[RNI]+H*)+"
# stageload polls for the ROM's verdict on the stage with the window program's pauses, which a busy
# machine stretches past the chip's 166 ms now and then; the ROM's limits are not what these test.
PACED = ("--pace", "--gap-limit", "1000")


def stageload(board, image, *options, timeout=60):
    return subprocess.run([str(program("stageload")), *map(str, options), "--port", board.device, str(image)],
                          capture_output=True, timeout=timeout)


def test_a_32_kb_image_goes_into_ram_at_460800_baud(boards, work):
    image = make_image(work / "big.binary", 32752, seed=81)
    board = boards(*PACED, name="stage-ram")
    # The rate named: on a busy machine the answer to a second hello at the ROM's rate can come in
    # as the host probes the ladder's rate, which the host then takes for a wrong one.
    run = stageload(board, work / "big.binary", "--rates", "460800")
    board.stop()
    assert (run.returncode, lines(run)[-2:]) == (0, [CONTACT, "stage: loaded, chip 12009600 Hz, 460800 baud, 0 resent"])
    (session,) = board.sessions()
    assert {key: session.get(key) for key in ("command", "count", "stage", "stage-baud", "state")} == {
        "command": "1", "count": "8188", "stage": "ram", "stage-baud": "460800", "state": "running"}
    # 33 packets of 255 longs, the proof of the RAM, the go.
    assert re.fullmatch(HELLOS + "B" + "A" * 33 + "VG", session["stage-answers"]), session
    assert board.received_image() == image
    # Paced at the host's rate: the 32 packets are 789 ms on the line at 460800 baud, 3.2 s at 115200.
    assert 788_000 <= int(session["load-us"]) < 2_500_000


def test_an_eeprom_load_writes_every_page_and_reads_it_back(boards, work):
    image = make_image(work / "image.binary", 8192, seed=82)
    # A millisecond to write a page and half of one to read it: the erased EEPROM's 512 pages in a second.
    board = boards(*PACED, "--program-time", "512", "--verify-time", "256", name="stage-eeprom")
    first = stageload(board, work / "image.binary", "--eeprom")
    time.sleep(RESET_QUIET_S)
    again = stageload(board, work / "image.binary", "--eeprom", "--no-run")
    board.stop()
    assert (first.returncode, again.returncode) == (0, 0), (lines(first), lines(again))
    # Nothing is compared first: the second load writes every page again.
    assert "Second stage: EEPROM programmed and verified (pages written: 512)" in lines(first)
    assert "Second stage: EEPROM programmed and verified (pages written: 512)" in lines(again)
    run, programmed = board.sessions()
    assert [(s["command"], s["stage"], s["state"]) for s in (run, programmed)] == [
        ("3", "eeprom", "running"), ("2", "eeprom", "shutdown")]
    # 9 packets, pages written while they come; then progress from the pages done so far, every 16.
    progress = HELLOS + "B" + "A" * 9 + "p{25,32}E"
    assert re.fullmatch(progress + "VG", run["stage-answers"]), run
    assert re.fullmatch(progress + "VG", programmed["stage-answers"]), programmed
    assert board.received_image() == image


def test_a_damaged_packet_is_refused_and_sent_once_more(boards, work):
    image = make_image(work / "image.binary", 8192, seed=83)
    board = boards(*PACED, "--damage-packet", "3", name="stage-damaged")
    # 921600 baud first: 13 clocks a bit, too fast for the stage, which leaves that hello unanswered.
    run = stageload(board, work / "image.binary", "--rates", "921600,460800", "--trace", work / "trace.txt")
    board.stop()
    assert (run.returncode, lines(run)[-2:]) == (0, [CONTACT, "stage: loaded, chip 12009600 Hz, 460800 baud, 1 resent"])
    (session,) = board.sessions()
    # Packet 4 was on the line behind it: refused as another packet than expected, and both go
    # again, with no query between.
    assert re.fullmatch(HELLOS + "BAAANN" + "A" * 6 + "VG", session["stage-answers"]), session
    # Every full packet's trailer ('D', k, 2048 longs) as it went out, with its filler: packets 3
    # and 4 twice, at 460800 baud.
    trace = (work / "trace.txt").read_text()
    assert re.findall(r"write 1038/1038: F8 FF (?:\S\S ){1020}44 (\S\S) 00 08", trace) == [
        "00", "01", "02", "03", "04", "03", "04", "05", "06", "07"]
    # No terminal follows: the line stays at the stage's rate until the port closes.
    bauds = re.findall(r"baud (\d+)", trace)
    assert "921600" in bauds and bauds[-1] == "460800", bauds
    assert board.received_image() == image


def test_a_silent_stage_leaves_the_chip_to_the_rom_after_a_reset(boards, work):
    image = make_image(work / "image.binary", 8192, seed=84)
    board = boards(*PACED, "--stage-silent", name="stage-silent")
    run = stageload(board, work / "image.binary")
    after = kestrupload(board.device, work / "image.binary", "--rom")
    board.stop()
    assert (run.returncode, lines(run)[-1]) == (2, "stage: no answer, chip 0 Hz, 0 baud, 0 resent")
    assert (after.returncode, lines(after)) == (0, good_lines(8192))
    stage, rom = board.sessions()
    assert (stage["stage"], stage["stage-answers"], stage["state"]) == ("ram", "none", "stage")
    assert (rom["command"], rom["state"], "stage" in rom) == ("1", "running", False)
    assert board.received_image() == image
