"""kestrupload's loads beyond the plain one: EEPROM stages and their failures, image checks and
--force, dense and fixed encodings, the byte trace, the reset line, and progress kept off stdout.

The scenarios run at once, each against propsims of its own, before the checks.
"""
import os
import pty
import re
import subprocess
import threading
import unittest

from propsim import DEVICE, Propsim, Scenario, good_lines, make_image, play_all, run_kestrupload, work_dir


def lines(run):
    return run.stdout.split(b"\n")[:-1] if run.stdout.endswith(b"\n") else run.stdout.split(b"\n")


LOADED = [b"Start Upload\r", b"Propeller Version = 1", b"Write in RAM Lenght=2048", b"Verify .."]
EEPROM_STAGES = LOADED + [b"..OK", b"Programming EEPROM .."]
FAST_EEPROM = ("--program-time", "300", "--verify-time", "200")


class CliLoads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = cls.dir = work_dir("cli-load")
        cls.image = make_image(d / "good.binary", 2048, seed=21)
        cls.random8k = make_image(d / "random.binary", 8192, seed=22)
        cls.zeros8k = make_image(d / "zeros.binary", 8192, zeros=True)
        make_image(d / "random32k.binary", 32768, seed=24)
        bad = bytearray(cls.image)
        bad[5] ^= 0x01  # the checksum byte: the chip would reject it too
        (d / "bad-checksum.binary").write_bytes(bad)
        # A good image with more after it than the chip's RAM holds: the chip itself would take it.
        (d / "too-big.binary").write_bytes(cls.image + bytes(32772 - len(cls.image)))
        # An EEPROM dump: the image, then zeros up to 32 KB; only the length word's worth goes out.
        (d / "good.eeprom").write_bytes(cls.image + bytes(32768 - len(cls.image)))

        good = d / "good.binary"
        cls.trace_path = d / "load.trace"
        cls.rts_trace = d / "rts.trace"
        cls.seen = play_all([
            Scenario("eeprom-run", [("--eeprom", "--port", DEVICE, good)]),  # the chip's own delays
            Scenario("eeprom-shutdown", [("--eeprom", "--no-run", "--port", DEVICE, good)], boards=[FAST_EEPROM]),
            Scenario("eeprom-verify-fails", [("--eeprom", "--port", DEVICE, good)],
                     boards=[FAST_EEPROM + ("--eeprom-verify-fails",)]),
            Scenario("eeprom-program-fails", [("--eeprom", "--no-run", "--port", DEVICE, good)],
                     boards=[FAST_EEPROM + ("--eeprom-program-fails",)]),
            Scenario("bad-checksum", [("--port", DEVICE, d / "bad-checksum.binary")]),
            Scenario("bad-checksum-forced", [("--force", "--port", DEVICE, d / "bad-checksum.binary")]),
            Scenario("too-big", [("--port", DEVICE, d / "too-big.binary"),
                                 ("--force", "--port", DEVICE, d / "too-big.binary")]),
            Scenario("eeprom-file", [("--port", DEVICE, d / "good.eeprom")]),
            Scenario("random-fixed", [("--fixed", "--port", DEVICE, d / "random.binary")]),
            Scenario("random-dense", [("--dense", "--port", DEVICE, d / "random.binary"),
                                      ("--port", DEVICE, d / "random.binary")]),
            Scenario("zeros-fixed", [("--fixed", "--port", DEVICE, d / "zeros.binary")]),
            Scenario("zeros-dense", [("--dense", "--port", DEVICE, d / "zeros.binary")]),
            # Paced, so that the chip's replies come in several reads as on a real line.
            Scenario("trace", [("--trace", cls.trace_path, "--port", DEVICE, good)], boards=[("--pace",)]),
            ProgressOnATerminal(d / "random32k.binary"),
            Scenario("reset-rts", [("--reset", "rts", "--trace", cls.rts_trace, "--port", DEVICE, good)]),
        ])

    def scenario(self, name):
        s = self.seen[name]
        for status, _, _ in s.chips:
            self.assertEqual(status, 0, f"{name}: propsim did not stop cleanly")
        return s

    # EEPROM

    def test_eeprom_and_run_shows_each_stage_and_the_chip_runs_it(self):
        s = self.scenario("eeprom-run")
        run = s.runs[0]
        self.assertEqual(lines(run), EEPROM_STAGES + [b"Verifying EEPROM ..", b"..EEPROM OK -> RUN"])
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        (session,) = s.sessions
        self.assertEqual((session["command"], session["verdict"], session["eeprom-acks"], session["state"]),
                         ("3", "FE", "2", "running"))
        self.assertEqual(s.image, self.image)
        # Programming (2 s) and verifying (0.8 s) are waited out, within the 7 s and 3 s windows.
        self.assertGreater(run.seconds, 2.0 + 0.8)
        self.assertLess(run.seconds, 2.0 + 0.8 + 2.0)

    def test_eeprom_without_run_shuts_the_chip_down(self):
        s = self.scenario("eeprom-shutdown")
        run = s.runs[0]
        self.assertEqual(lines(run), EEPROM_STAGES + [b"Verifying EEPROM ..", b"..EEPROM OK -> SHUTDOWN"])
        self.assertEqual(run.returncode, 0)
        (session,) = s.sessions
        self.assertEqual((session["command"], session["eeprom-acks"], session["state"]), ("2", "2", "shutdown"))

    def test_eeprom_verify_failure(self):
        s = self.scenario("eeprom-verify-fails")
        run = s.runs[0]
        self.assertEqual(lines(run), EEPROM_STAGES + [b"Verifying EEPROM ..", b"EEPROM verify failed"])
        self.assertEqual(run.returncode, 1)
        (session,) = s.sessions
        self.assertEqual((session["command"], session["eeprom-acks"], session["why"]), ("3", "1", "EEPROM verify failed"))

    def test_eeprom_programming_failure(self):
        s = self.scenario("eeprom-program-fails")
        run = s.runs[0]
        self.assertEqual(lines(run), EEPROM_STAGES + [b"EEPROM programming failed"])
        self.assertEqual(run.returncode, 1)
        (session,) = s.sessions
        self.assertEqual((session["command"], session["why"]), ("2", "EEPROM not programmed"))
        self.assertNotIn("eeprom-acks", session)

    # Image checks

    def test_bad_image_is_refused_with_its_fault_and_nothing_is_sent(self):
        s = self.scenario("bad-checksum")
        run = s.runs[0]
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.returncode, 1)
        err = run.stderr.decode()
        self.assertIn("bad-checksum.binary is not a loadable image", err)
        self.assertIn("the checksum does not hold", err)
        self.assertIn("Nothing was sent. Use --force to load it anyway.", err)
        self.assertEqual(s.sessions, [])
        self.assertLess(run.seconds, 1.0)  # no port opened, no pauses

    def test_force_sends_a_refused_image_and_the_chip_judges_it(self):
        s = self.scenario("bad-checksum-forced")
        run = s.runs[0]
        self.assertEqual(lines(run), LOADED + [b"CheckSum Error"])
        self.assertEqual((run.returncode, run.stderr), (1, b""))
        (session,) = s.sessions
        self.assertNotEqual(session["sum"], "00")
        self.assertEqual(session["verdict"], "FF")

    def test_file_larger_than_the_ram_is_refused_and_forced_sends_its_length_words_worth(self):
        s = self.scenario("too-big")
        refused, forced = s.runs
        self.assertEqual((refused.stdout, refused.returncode), (b"", 1))
        self.assertIn(b"more than the chip's 32768 of RAM", refused.stderr)
        self.assertEqual(lines(forced), good_lines(2048))
        self.assertEqual(forced.returncode, 0)
        self.assertEqual(len(s.sessions), 1)  # the refused run never reached the chip
        self.assertEqual(s.image, self.image)

    def test_eeprom_file_of_32k_sends_only_the_image(self):
        s = self.scenario("eeprom-file")
        self.assertEqual(lines(s.runs[0]), good_lines(2048))
        self.assertEqual(s.sessions[0]["count"], "512")
        self.assertEqual(s.image, self.image)

    # Encodings

    def load_bytes(self, session):
        """Bytes on the line for command, count and longs: all the chip took, less the handshake
        (509) and the acknowledgement's clocks (each answered poll sends one)."""
        return int(session["came"]) - 509

    def test_dense_is_the_default_and_the_chip_receives_every_byte_with_fewer_on_the_line(self):
        fixed, dense = self.scenario("random-fixed"), self.scenario("random-dense")
        for s in (fixed, dense):
            for run in s.runs:
                self.assertEqual(lines(run), good_lines(8192), s.name)
                self.assertEqual(run.returncode, 0)
            for session in s.sessions:
                self.assertEqual((session["sum"], session["verdict"], session["state"]), ("00", "FE", "running"))
            self.assertEqual(s.image, self.random8k)
        explicit, default = dense.sessions
        # The default run put exactly the --dense run's bytes on the line (clocks aside).
        self.assertLess(abs(int(explicit["came"]) - int(default["came"])), 8)
        fixed_bytes = self.load_bytes(fixed.sessions[0])
        self.assertGreaterEqual(fixed_bytes, 11 * (2048 + 2))
        self.assertLess(self.load_bytes(explicit), 0.8 * fixed_bytes)

    def test_dense_never_sends_more_than_fixed_even_for_zeros(self):
        fixed, dense = self.scenario("zeros-fixed"), self.scenario("zeros-dense")
        for s in (fixed, dense):
            self.assertEqual(lines(s.runs[0]), good_lines(8192))
            self.assertEqual(s.image, self.zeros8k)
        # Zeros gain nothing but may not cost more; a few acknowledgement clocks either way.
        self.assertLessEqual(self.load_bytes(dense.sessions[0]), self.load_bytes(fixed.sessions[0]) + 4)

    # Trace and reset line

    def test_trace_holds_every_byte_written_and_read_with_time_stamps(self):
        s = self.scenario("trace")
        self.assertEqual(lines(s.runs[0]), good_lines(2048))
        (session,) = s.sessions
        stamps, written, read, events, read_stamps = [], bytearray(), bytearray(), [], []
        for line in self.trace_path.read_text().splitlines():
            m = re.fullmatch(r"\s*(\d+\.\d{6}) (.*)", line)
            self.assertIsNotNone(m, line)
            stamps.append(float(m.group(1)))
            what = m.group(2)
            if w := re.fullmatch(r"write (\d+)/(\d+):((?: [0-9A-F]{2})+)", what):
                data = bytes.fromhex(w.group(3))
                self.assertEqual(int(w.group(2)), len(data))
                self.assertEqual(w.group(1), w.group(2), "a short write on a healthy line")
                written += data
            elif r := re.fullmatch(r"read (\d+):((?: [0-9A-F]{2})+)", what):
                data = bytes.fromhex(r.group(2))
                self.assertEqual(int(r.group(1)), len(data))
                read += data
                read_stamps.append(stamps[-1])
            else:
                events.append(what)
        self.assertEqual(stamps, sorted(stamps))
        self.assertEqual(stamps[0], 0.0)
        self.assertEqual(events[:5], [f"open {s.devices[0]}", "configure 115200 8N2", "dtr on", "dtr off",
                                      "purge receive"])
        # The line drains before the acknowledgement is clocked, and the port closes once it has come.
        self.assertIn("drain", events)
        self.assertEqual(events[-2:], ["purge receive", "close"])
        self.assertLess(stamps[-1] - read_stamps[-1], 0.1)
        self.assertTrue(any(re.fullmatch(r"\(\d+ empty reads\)", e) for e in events), events)
        # What the chip took is exactly what the trace says was written, and what it answered was read.
        self.assertEqual(len(written), int(session["came"]))
        self.assertEqual(written[0], 0xF9)
        self.assertTrue(set(written[1:251]) <= {0xFE, 0xFF})
        self.assertEqual(read.hex().upper(), session["answers"])
        self.assertGreater(len(read), 258)

    def test_progress_goes_to_a_terminal_on_stderr_and_never_to_stdout(self):
        p = self.seen["progress"]
        self.assertEqual(p.run.returncode, 0)
        self.assertEqual(p.run.stdout.split(b"\n")[:-1], good_lines(32768))
        text = p.seen.decode(errors="replace")
        bars = re.findall(r"\[[=> ]{30}\] (\d+)/(\d+) bytes +[\d.]+ kB/s +[\d.]+ s left", text)
        self.assertGreater(len(bars), 3, text[:400])
        self.assertEqual({int(total) for _, total in bars}, {11 * 8192})
        sent = [int(n) for n, _ in bars]
        self.assertEqual(sent, sorted(sent))
        self.assertNotIn("Verify", text)
        # Wiped before each status line and at the end: the terminal is left with blanks and a CR.
        self.assertTrue(text.endswith("\r") and text.rstrip("\r").endswith(" "), repr(text[-80:]))

    def test_reset_on_rts_pulses_rts_instead_of_dtr(self):
        s = self.scenario("reset-rts")
        self.assertEqual(lines(s.runs[0]), good_lines(2048))
        events = [line.split(" ", 1)[1] for line in (l.strip() for l in self.rts_trace.read_text().splitlines())]
        self.assertEqual(events.count("rts on"), 1)
        self.assertEqual(events.count("rts off"), 1)
        self.assertEqual([e for e in events if e.startswith("dtr")], [])


class ProgressOnATerminal:
    """A load with standard error on a terminal of its own, standard output on a pipe. 32 KB at line
    speed: more than a pty takes before the writer blocks, so the bar has something to show."""

    name = "progress"

    def __init__(self, image):
        self.image = image

    def play(self):
        master, slave = pty.openpty()
        self.seen = bytearray()
        reader = threading.Thread(target=self.drain, args=(master,))
        reader.start()
        try:
            with Propsim("--pace", name="progress") as chip:
                self.run = run_kestrupload("--fixed", "--port", chip.device, self.image,
                                           stdout=subprocess.PIPE, stderr=slave, timeout=60)
        finally:
            os.close(slave)
            reader.join()
            os.close(master)
        return self

    def drain(self, master):
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the writer is gone
                return
            if not chunk:
                return
            self.seen += chunk


if __name__ == "__main__":
    unittest.main()
