"""Faults on the line, end to end: the board pulled off the line (propsim closes its pty) in the
middle of the handshake, in the middle of the load and as the verdict falls due, and a storm of
stray bytes. Each upload must end within its budgets with the loader's own status lines, give the
port back, and leave the next upload on a fresh board unharmed.

On Linux a pty whose master has gone reads as empty and fails every write (EIO): the loader sees
a silent line it cannot write to.
"""
import re
import subprocess
import unittest

from propsim import DEVICE, Scenario, good_lines, make_image, play_all, program, work_dir

# The loader's fixed costs: one reset of 10 + 15 ms.
FIXED_S = 0.025
HANDSHAKE_BIT_WINDOW_S = 0.1
ACK_WINDOW_S = 2.5
SLACK_S = 1.0  # process start, a loaded machine
NEXT = lambda devices: devices[1]  # noqa: E731  the fresh board after the faulty one


def lines(run):
    return run.stdout.decode(errors="replace").split("\n")[:-1]


class Faults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = cls.dir = work_dir("faults")
        cls.image = make_image(d / "image.binary", 8192, seed=51)
        make_image(d / "big.binary", 32768, seed=52)
        image, big = d / "image.binary", d / "big.binary"
        pulled = lambda where, *more: [("--hangup", where, *more), ()]  # noqa: E731
        cls.seen = play_all([
            Scenario("handshake", [("--port", DEVICE, image), ("--port", NEXT, image)], boards=pulled("handshake")),
            Scenario("load", [("--port", DEVICE, image), ("--port", NEXT, image)], boards=pulled("load")),
            # At line speed with three bits a byte: the loader is blocked in a write when the line goes.
            Scenario("load-paced", [("--fixed", "--port", DEVICE, big), ("--port", NEXT, image)],
                     boards=pulled("load", "--pace")),
            Scenario("ack", [("--port", DEVICE, image), ("--port", NEXT, image)], boards=pulled("ack")),
            Scenario("stray-storm", [("--port", DEVICE, image), ("--port", DEVICE, image)],
                     boards=[("--stray", "4096", "--faulty-sessions", "1")]),
        ])

    def pulled(self, name):
        """The faulty upload, after checking that the board went where asked and the next upload on
        a fresh board loaded."""
        s = self.seen[name]
        faulty, after = s.runs
        sessions = s.chips[0][1]
        self.assertEqual(len(sessions), 1, name)
        self.assertTrue(sessions[0]["why"].startswith("unplugged while "), sessions[0])
        self.assertEqual(lines(after), [l.decode() for l in good_lines(8192)], name)
        self.assertEqual((after.returncode, s.chips[1][2]), (0, self.image))
        self.assertEqual(faulty.returncode, 1, name)
        self.assertEqual(faulty.stderr, b"", name)
        print(f"\n  {name}: {faulty.seconds:.2f} s, {len(lines(faulty))} lines: "
              + ", ".join(f"{l!r} x{n}" if n > 1 else repr(l) for l, n in runs_of(lines(faulty))), end="")
        return faulty, sessions[0]

    def test_pulled_in_the_handshake(self):
        run, session = self.pulled("handshake")
        self.assertEqual(session["state"], "handshake")
        self.assertGreaterEqual(int(session["host-bits"]), 125)
        # No reply comes: the first bit's window runs out, the shutdown long cannot be written.
        self.assertEqual(lines(run), ["Start Upload\r", "Time Out", "Code Error -> Abort", "Unable to write"])
        self.assertLess(run.seconds, FIXED_S + HANDSHAKE_BIT_WINDOW_S + SLACK_S)

    def assertLostAfterTheHandshake(self, run, length):
        got = lines(run)
        self.assertEqual(got[:3], ["Start Upload\r", "Propeller Version = 1", f"Write in RAM Lenght={length}"])
        self.assertEqual(got[-2:], ["Time Out", "CheckSum Error"])
        middle = got[3:-2]
        self.assertIn("Verify ..", middle)
        before, after = middle[:middle.index("Verify ..")], middle[middle.index("Verify ..") + 1:]
        # Load writes that found the line gone, then the acknowledgement's clocks, each refused.
        self.assertTrue(set(before) <= {"Unable to write", "Transmit stall on"}, before)
        self.assertTrue(set(after) == {"Unable to write"}, after)
        # At most one clock a poll of 5 ms in the 2.5 s window; the first may still have gone out
        # before the board went.
        self.assertLessEqual(len(after), 500)
        self.assertGreater(len(after), 400)

    def test_pulled_in_the_load(self):
        run, session = self.pulled("load")
        self.assertEqual(session["state"], "loading")
        self.assertGreaterEqual(int(session["longs"]), 1024)
        self.assertLostAfterTheHandshake(run, 8192)
        self.assertLess(run.seconds, FIXED_S + ACK_WINDOW_S + SLACK_S)

    def test_pulled_in_a_load_at_line_speed(self):
        run, session = self.pulled("load-paced")
        self.assertEqual(session["state"], "loading")
        self.assertLostAfterTheHandshake(run, 32768)
        # 32 KB at three bits a byte is 8 s of wire; the board goes half way through.
        wire_s = (509 + 11 * (8192 + 2)) * 11 / 115200
        self.assertLess(run.seconds, FIXED_S + wire_s / 2 + ACK_WINDOW_S + SLACK_S)

    def test_pulled_as_the_verdict_falls_due(self):
        run, session = self.pulled("ack")
        self.assertEqual((session["state"], session["verdict"], session["longs"]), ("acknowledging", "none", "2048"))
        self.assertLostAfterTheHandshake(run, 8192)
        self.assertLess(run.seconds, FIXED_S + ACK_WINDOW_S + SLACK_S)

    def test_storm_of_stray_bytes_is_reported_byte_by_byte_within_the_window(self):
        s = self.seen["stray-storm"]
        storm, after = s.runs
        got = lines(storm)
        print(f"\n  stray storm: {storm.seconds:.2f} s, {got.count('Hardware lost')} x 'Hardware lost'", end="")
        self.assertEqual(got[0], "Start Upload\r")
        self.assertEqual(got[-2:], ["Time Out", "Code Error -> Abort"])
        # Each stray byte costs a 2 ms poll of the 100 ms window: 49 at most, then the time-out.
        self.assertTrue(set(got[1:-2]) == {"Hardware lost"}, got)
        self.assertLessEqual(len(got) - 3, 49)
        self.assertGreaterEqual(len(got) - 3, 25)
        self.assertEqual(storm.returncode, 1)
        self.assertLess(storm.seconds, FIXED_S + HANDSHAKE_BIT_WINDOW_S + SLACK_S)
        # The rest of the storm is purged: the next upload to the same board loads.
        self.assertEqual(lines(after), [l.decode() for l in good_lines(8192)])
        self.assertEqual(s.chips[0][1][0]["answers"][:8], "00000000")


class PulledInOneProcess(unittest.TestCase):
    def test_uploads_to_pulled_boards_give_their_ports_back(self):
        """The soak harness's uploads in one process: three boards pulled at each point, then a good
        one; the descriptors afterwards must be those before."""
        from propsim import Propsim
        d = work_dir("faults-soak")
        make_image(d / "image.binary", 4096, seed=53)
        sims = [Propsim("--hangup", where, name=f"pulled-{where}") for where in ("handshake", "load", "ack")]
        sims.append(Propsim(name="after-pulled"))
        try:
            outcomes = ["aborted", "checksum", "checksum", "loaded"]
            run = subprocess.run([str(program("soak")), "4", str(d / "image.binary"),
                                  *(f"{s.device}={o}" for s, o in zip(sims, outcomes))],
                                 capture_output=True, timeout=60)
        finally:
            for s in sims:
                s.stop()
        out = run.stdout.decode()
        print("\n  " + out.replace("\n", "\n  ").rstrip(), end="")
        self.assertEqual(run.returncode, 0, out + run.stderr.decode())
        self.assertIn("uploads 4: loaded 1, aborted 1, checksum 2, wrong 0", out)
        before, _, after = map(int, re.search(r"before (\d+), after first round (\d+), after (\d+)", out).groups())
        self.assertEqual(before, after)


def runs_of(items):
    out = []
    for item in items:
        if out and out[-1][0] == item:
            out[-1][1] += 1
        else:
            out.append([item, 1])
    return out


if __name__ == "__main__":
    unittest.main(verbosity=2)
