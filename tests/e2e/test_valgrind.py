"""kestrupload once under valgrind's memcheck, end to end: two boards at once (a thread each), the
dense encoding, a byte trace, and the EEPROM through the second stage. No memory error, no leak of any kind."""
import re
import shutil
import subprocess

from propsim import make_image, program


def test_two_boards_with_a_trace_and_the_eeprom_run_clean(boards, work):
    valgrind = shutil.which("valgrind")
    assert valgrind, "valgrind is missing (scripts/setup installs it)"
    image = make_image(work / "image.binary", 4096, seed=81)
    a, b = boards(name="vg-a"), boards("--program-time", "300", "--verify-time", "200", name="vg-b")
    run = subprocess.run(
        [valgrind, "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
         "--errors-for-leak-kinds=definite,indirect,possible", "--show-leak-kinds=definite,indirect,possible",
         str(program("kestrupload")), "--eeprom", "--trace", str(work / "trace.txt"),
         "--port", f"{a.device},{b.device}", str(work / "image.binary")],
        capture_output=True, timeout=300)
    a.stop()
    b.stop()
    report = run.stderr.decode(errors="replace")
    assert run.returncode == 0, report
    assert re.search(r"ERROR SUMMARY: 0 errors from 0 contexts", report), report
    out = run.stdout.decode().split("\n")
    for chip in (a, b):
        assert chip.received_image() == image
        # Through the second stage's EEPROM build.
        assert [(s["stage"], s["command"], s["state"]) for s in chip.sessions()] == [("eeprom", "3", "running")]
        assert out.count(f"{chip.device}: ..EEPROM OK -> RUN") == 1, run.stdout
        assert out.count(f"{chip.device}: loaded") == 1
    assert len((work / "trace.txt").read_text().splitlines()) > 100
