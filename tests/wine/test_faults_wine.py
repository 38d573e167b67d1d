"""kestrupload.exe under Wine when the board is pulled off its COM port: in the handshake, in the
load and as the verdict falls due.

Wine sees a pty whose master has closed as a line where ReadFile keeps returning 0 bytes and
WriteFile fails (error 21). Closing the master also hangs up wineserver, which holds the pty as its
controlling terminal: it dumps its objects to the standard error it inherited. So each pulled board
is a propsim of its own, the dump is kept out of the assertions, and wineserver is ended cleanly
before the next upload, which must load a fresh board.
"""
import subprocess
import unittest
from pathlib import Path

import propsim
import wine

COM = 24
# kestrupload's one reset; the acknowledgement window; slack for a loaded machine.
FIXED_S = 0.025
ACK_WINDOW_S = 2.5
SLACK_S = 1.0


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def setUpModule():
    reason = wine.available()
    if reason:
        raise RuntimeError(reason)
    wine.ensure_prefix()


def tearDownModule():
    wine.unlink_com(COM)
    wine.kill_server()


class PulledUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = propsim.work_dir("wine-faults")
        cls.image = propsim.make_image(cls.dir / "image.binary", 8192, seed=61)

    def upload(self, sim, trace):
        wine.link_com(COM, sim.device)
        args = ["--port", COM, windows_path(self.dir / "image.binary")]
        if trace:
            args[:0] = ["--trace", windows_path(trace)]
        # Only the last upload's: a hung-up wineserver's dump runs to megabytes.
        with open(self.dir / "wine-stderr.txt", "wb") as err:
            return subprocess.run(["wine", str(wine.exe("kestrupload.exe")), *map(str, args)], env=wine.env(),
                                  stdout=subprocess.PIPE, stderr=err, timeout=120)

    def pull(self, where):
        trace = self.dir / f"{where}.trace"
        sim = propsim.Propsim("--hangup", where, name=f"wine-pulled-{where}")
        try:
            run = self.upload(sim, trace)
        finally:
            sim.stop()
        # The hung-up wineserver goes; the next program starts a fresh one.
        wine.kill_server()
        (session,) = sim.sessions()
        self.assertTrue(session["why"].startswith("unplugged while "), session)

        # Time inside the program, from the port's opening to its closing: Wine's start-up aside.
        stamps = [line.split()[0] for line in trace.read_text().splitlines()]
        last = trace.read_text().splitlines()[-1].split()
        self.assertEqual(last[1:], ["close"], "the port was not closed")
        seconds = float(stamps[-1])

        good = propsim.Propsim(name="wine-after-pulled")
        try:
            after = self.upload(good, None)
            wine.wait_server()
        finally:
            good.stop()
        self.assertEqual(after.stdout, b"Start Upload\r\nPropeller Version = 1\nWrite in RAM Lenght=8192\n"
                                       b"Verify ..\n..OK -> RUN\n")
        self.assertEqual(after.returncode, 0)
        self.assertEqual(good.received_image(), self.image)

        got = run.stdout.decode(errors="replace").split("\n")[:-1]
        print(f"\n  {where}: {seconds:.2f} s from open to close, {got.count('Unable to write')} x "
              f"'Unable to write', last lines {got[-2:]}", end="")
        self.assertEqual(run.returncode, 1)
        return got, seconds, session

    def test_pulled_in_the_handshake(self):
        got, seconds, session = self.pull("handshake")
        # Wine may still have had the handshake's writes in flight when the line went.
        self.assertEqual(got[0], "Start Upload\r")
        self.assertEqual(got[-3:], ["Time Out", "Code Error -> Abort", "Unable to write"])
        self.assertTrue(set(got[1:-3]) <= {"Unable to write", "Transmit stall on"}, got)
        self.assertLess(seconds, FIXED_S + 0.1 + SLACK_S)

    def assertLostAfterTheHandshake(self, got):
        self.assertEqual(got[:3], ["Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=8192"])
        self.assertEqual(got[-2:], ["Time Out", "CheckSum Error"])
        middle = got[3:-2]
        self.assertIn("Verify ..", middle)
        cut = middle.index("Verify ..")
        # Load writes that found the line gone (Wine writes behind the program's back), then the
        # acknowledgement's clocks, at most one a poll of 5 ms in the 2.5 s window.
        self.assertTrue(set(middle[:cut]) <= {"Unable to write", "Transmit stall on"}, middle[:cut])
        self.assertEqual(set(middle[cut + 1:]), {"Unable to write"})
        self.assertLessEqual(len(middle[cut + 1:]), 500)

    def test_pulled_in_the_load(self):
        got, seconds, session = self.pull("load")
        self.assertEqual(session["state"], "loading")
        self.assertLostAfterTheHandshake(got)
        self.assertLess(seconds, FIXED_S + ACK_WINDOW_S + SLACK_S)

    def test_pulled_as_the_verdict_falls_due(self):
        got, seconds, session = self.pull("ack")
        self.assertEqual((session["state"], session["verdict"]), ("acknowledging", "none"))
        self.assertLostAfterTheHandshake(got)
        self.assertLess(seconds, FIXED_S + ACK_WINDOW_S + SLACK_S)


if __name__ == "__main__":
    unittest.main(verbosity=2)
