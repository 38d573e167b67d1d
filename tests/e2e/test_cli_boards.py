"""kestrupload loading several boards at once: every status line carries its port, a summary line
per port closes the run, and the exit status is 0 only when every board acknowledged.
"""
import re
import unittest

from propsim import DEVICE, PORTS, Scenario, good_lines, make_image, play_all, work_dir

STATUS = {b"loaded": b"loaded", b"aborted": b"aborted (image shorter than its header, or no chip)",
          b"missing": b"port not found", b"checksum": b"checksum error or no acknowledgement"}


def by_port(run, devices):
    """Status lines per device, in order, and the summary lines, in order; fails on anything else."""
    per = {d.encode(): [] for d in devices}
    summary = []
    body = run.stdout.split(b"\n")
    assert body[-1] == b"", run.stdout
    for line in body[:-1]:
        port, sep, rest = line.partition(b": ")
        if sep and port in per:
            # The summary comes last, one line a port; a status line after it would be out of place.
            if rest in STATUS.values():
                summary.append((port, rest))
            else:
                assert not summary, f"status line after the summary: {line!r}"
                per[port].append(rest)
        else:
            raise AssertionError(f"line without a port: {line!r}")
    return per, summary


class SeveralBoards(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = cls.dir = work_dir("cli-boards")
        cls.image = make_image(d / "image.binary", 4096, seed=31)
        image = d / "image.binary"
        cls.missing = str(d / "no-such-tty")
        cls.seen = play_all([
            Scenario("one", [("--port", DEVICE, image)]),
            Scenario("four", [("--port", PORTS, image)], boards=[()] * 4),
            Scenario("one-silent", [("--port", PORTS, image)], boards=[(), (), ("--silent",), ()]),
            Scenario("repeated", [("--port", DEVICE, "--port", lambda devices: devices[1], image)], boards=[(), ("--reject-checksum",)]),
            Scenario("one-missing", [("--port", lambda devices: ",".join(devices + [cls.missing]), image)],
                     boards=[(), ()]),
        ])

    def test_four_boards_load_at_once_each_line_with_its_port(self):
        s = self.seen["four"]
        run = s.runs[0]
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        per, summary = by_port(run, s.devices)
        for device, lines in per.items():
            self.assertEqual(lines, good_lines(4096), device)
        # One summary line a port, in the order given.
        self.assertEqual(summary, [(dev.encode(), b"loaded") for dev in s.devices])
        for status, sessions, image in s.chips:
            self.assertEqual(status, 0)
            self.assertEqual([x["verdict"] for x in sessions], ["FE"])
            self.assertEqual(image, self.image)
        # At once, not one after another: four loads take about as long as one.
        single = self.seen["one"].runs[0].seconds
        self.assertLess(run.seconds, single * 1.5 + 0.5, (run.seconds, single))

    def test_one_silent_board_fails_the_run_and_the_others_still_load(self):
        s = self.seen["one-silent"]
        run = s.runs[0]
        self.assertEqual(run.returncode, 1)
        per, summary = by_port(run, s.devices)
        silent = s.devices[2].encode()
        self.assertEqual(per[silent], [b"Start Upload\r", b"Time Out", b"Code Error -> Abort"])
        for i, device in enumerate(s.devices):
            if i != 2:
                self.assertEqual(per[device.encode()], good_lines(4096))
                self.assertEqual(s.chips[i][2], self.image)
        self.assertEqual(summary, [(dev.encode(), STATUS[b"aborted"] if i == 2 else b"loaded")
                                   for i, dev in enumerate(s.devices)])
        self.assertEqual(s.chips[2][1][0]["answered"], "0")

    def test_port_repeated_on_the_command_line_and_a_rejected_checksum(self):
        s = self.seen["repeated"]
        run = s.runs[0]
        self.assertEqual(run.returncode, 1)
        per, summary = by_port(run, s.devices)
        self.assertEqual(per[s.devices[0].encode()], good_lines(4096))
        self.assertEqual(per[s.devices[1].encode()][-1], b"CheckSum Error")
        self.assertEqual(summary, [(s.devices[0].encode(), b"loaded"),
                                   (s.devices[1].encode(), b"checksum error or no acknowledgement")])

    def test_a_port_that_cannot_be_opened_gives_status_2_and_the_others_load(self):
        s = self.seen["one-missing"]
        run = s.runs[0]
        self.assertEqual(run.returncode, 2)
        self.assertEqual(run.stderr, self.missing.encode() + b" not found\n")
        per, summary = by_port(run, s.devices + [self.missing])
        self.assertEqual(per[self.missing.encode()], [])
        self.assertEqual([p for p, verdict in summary if verdict == b"loaded"], [d.encode() for d in s.devices])
        self.assertEqual(summary[-1], (self.missing.encode(), b"port not found"))


if __name__ == "__main__":
    unittest.main()
