"""kestrupload once under valgrind's memcheck, end to end: two boards at once (a thread each), the
dense encoding, a byte trace and the EEPROM stages. No memory error, no leak of any kind."""
import re
import shutil
import subprocess
import unittest

from propsim import Propsim, make_image, program, work_dir


class UnderMemcheck(unittest.TestCase):
    def test_two_boards_with_a_trace_and_the_eeprom_run_clean(self):
        valgrind = shutil.which("valgrind")
        self.assertIsNotNone(valgrind, "valgrind is missing (scripts/setup installs it)")
        d = work_dir("valgrind")
        image = make_image(d / "image.binary", 4096, seed=81)
        with Propsim(name="vg-a") as a, Propsim("--program-time", "300", "--verify-time", "200", name="vg-b") as b:
            run = subprocess.run(
                [valgrind, "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                 "--errors-for-leak-kinds=definite,indirect,possible", "--show-leak-kinds=definite,indirect,possible",
                 str(program("kestrupload")), "--eeprom", "--trace", str(d / "trace.txt"),
                 "--port", f"{a.device},{b.device}", str(d / "image.binary")],
                capture_output=True, timeout=300)
        report = run.stderr.decode(errors="replace")
        summary = re.search(r"ERROR SUMMARY: .*", report)
        heap = re.search(r"(All heap blocks were freed.*|in use at exit: .*)", report)
        print(f"\n  {summary.group(0) if summary else 'no summary'}; {heap.group(0) if heap else ''}", end="")
        self.assertEqual(run.returncode, 0, report)
        self.assertIsNotNone(re.search(r"ERROR SUMMARY: 0 errors from 0 contexts", report), report)
        for chip in (a, b):
            self.assertEqual(chip.received_image(), image)
            self.assertEqual([s["eeprom-acks"] for s in chip.sessions()], ["2"])
        out = run.stdout.split(b"\n")[:-1]
        for device in (a.device, b.device):
            self.assertEqual(out.count(device.encode() + b": ..EEPROM OK -> RUN"), 1, run.stdout)
            self.assertEqual(out.count(device.encode() + b": loaded"), 1)
        self.assertGreater(len((d / "trace.txt").read_text().splitlines()), 100)


if __name__ == "__main__":
    unittest.main()
