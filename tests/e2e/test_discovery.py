"""kestrupload without --port looks for the board on every port --list shows. Simulated boards are
offered to it as /dev/ttyUSB links to their pseudo-terminals, which --list shows as ports (the
suites run as root); at most two run at once."""
import os
import time

import pytest

from propsim import RESET_QUIET_S, good_lines, lines, make_image, run_kestrupload

pytestmark = pytest.mark.skipif(not os.access("/dev", os.W_OK), reason="needs to write links in /dev")


@pytest.fixture
def offer():
    """Links a device as a ttyUSB port of its own; the links go when the test ends."""
    made = []

    def link(target):
        made.append(f"/dev/ttyUSB9{os.getpid() % 1000:03d}{len(made)}")
        os.symlink(target, made[-1])
        return made[-1]

    yield link
    for path in made:
        os.unlink(path)


@pytest.fixture
def image(work):
    make_image(work / "image.binary", 2048, seed=97)
    return work / "image.binary"


def test_no_chip_answering_lists_every_port_tried_and_loads_nothing(boards, offer, image, work):
    silent = boards("--silent", name="no-chip")
    tried = {offer(silent.device): "no Propeller", offer("/dev/null"): "is not a serial port",
             offer(str(work / "gone")): "does not exist"}
    run = run_kestrupload(image)
    assert (run.returncode, run.stdout) == (2, b"")
    err = run.stderr.decode().splitlines()
    assert err[0] == "kestrupload: no chip answered on any serial port:"
    assert {f"  {port}: {why}" for port, why in tried.items()} <= set(err[1:])
    silent.stop()
    assert [s["command"] for s in silent.sessions()] == ["0"]


def test_the_one_chip_that_answers_is_loaded_and_identified(boards, offer, image):
    chip, silent = boards(name="found"), boards("--silent", name="found-silent")
    port = offer(chip.device)
    offer(silent.device)
    identified = run_kestrupload("--identify")
    assert identified.returncode == 0
    assert lines(identified)[:2] == ["Propeller Version = 1", "RC clock: 12.00 MHz"]
    assert lines(identified)[-1].startswith(f"port: {port} at ")
    time.sleep(RESET_QUIET_S)
    run = run_kestrupload(image)
    assert (run.returncode, lines(run)) == (0, good_lines(2048))
    assert run.stderr.decode().startswith(f"kestrupload: a chip answered on {port}\n")
    chip.stop()
    assert chip.received_image() == image.read_bytes()


def test_several_chips_answering_load_none_and_ask_for_the_port(boards, offer, image):
    chips = [boards(name="several") for _ in range(2)]
    ports = [offer(chip.device) for chip in chips]
    run = run_kestrupload(image)
    assert (run.returncode, run.stdout) == (2, b"")
    err = run.stderr.decode().splitlines()
    assert err[0] == "kestrupload: chips answered on several ports; choose one with --port PORT:"
    assert sorted(err[1:]) == [f"  {port}: Propeller version 1" for port in ports]
    for chip in chips:
        chip.stop()
        assert chip.received_image() is None


def test_scan_describes_each_board_that_answers(boards, offer):
    chip, silent = boards("--rc-hz", "10000000", "--no-eeprom", name="scanned"), boards("--silent", name="scan-silent")
    ports = offer(chip.device), offer(silent.device)
    run = run_kestrupload("--scan")
    assert run.returncode == 0
    said = run.stdout.decode().splitlines()
    found = said.index(f"{ports[0]}: Propeller version 1")
    assert said[found + 1:found + 4] == ["  RC clock: 10.00 MHz", "  crystal: 5.00 MHz", "  no EEPROM"]
    assert said[found + 4].startswith(f"  port: {ports[0]} at 230400, 460800, ")
    assert f"{ports[1]}: no Propeller" in said
    chip.stop()
    assert chip.sessions()[0]["bootstrap-answers"] == "HKCEX"
