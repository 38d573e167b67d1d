"""kestrupload against the simulated chip over a pseudo-terminal.

The scenarios run at once, each with a propsim of its own, before the checks; each test then looks
at one scenario's outcome.
"""
import concurrent.futures
import time
import unittest

from propsim import RESET_QUIET_S, Propsim, kestrupload, make_image, work_dir

START = b"Start Upload\r\n"


def good_output(length, before_version=b""):
    return (START + before_version + b"Propeller Version = 1\nWrite in RAM Lenght=%d\nVerify ..\n..OK -> RUN\n"
            % length)


def loaded_output(length, outcome):
    return START + b"Propeller Version = 1\nWrite in RAM Lenght=%d\nVerify ..\n" % length + outcome


class Scenario:
    """What one scenario saw: the uploads' results, the chip's sessions and the image it received."""

    def __init__(self, name, propsim_args=(), uploads=()):
        self.name = name
        self.propsim_args = propsim_args
        self.uploads = uploads  # (image path, kestrupload options) per upload, in order
        self.runs = []
        self.sessions = []
        self.image = None
        self.propsim_status = None

    def play(self):
        with Propsim(*self.propsim_args, name=self.name) as chip:
            for i, (image, options) in enumerate(self.uploads):
                if i:
                    time.sleep(RESET_QUIET_S)
                self.runs.append(kestrupload(chip.device, image, *options))
        self.propsim_status = chip.process.returncode
        self.sessions = chip.sessions()
        self.image = chip.received_image()
        return self


class UploadAgainstPropsim(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = work_dir("upload-images")
        cls.dir = d
        cls.image = make_image(d / "good.binary", 2048, seed=11)
        # Trailing bytes past the length word's end: only the first length/4 longs may be sent.
        (d / "trailing.binary").write_bytes(cls.image + b"\x01\x02\x03\x04\x05\x06\x07\x08")
        cls.second = make_image(d / "second.binary", 1024, seed=12)
        cls.short_by_a_long = cls.image[:-4]
        (d / "short.binary").write_bytes(cls.short_by_a_long)
        (d / "tiny.binary").write_bytes(cls.image[:10])

        good = (d / "good.binary", ())
        scenarios = [
            Scenario("good", uploads=[(d / "trailing.binary", ())]),
            Scenario("fixed-paced", ["--pace"], uploads=[(d / "good.binary", ("--fixed",))]),
            Scenario("silent", ["--silent"], uploads=[good]),
            # Paced, so that replies still arrive after the first upload's purge and wait in the line
            # for the second one.
            Scenario("wrong-bit", ["--wrong-bit", "0", "--faulty-sessions", "1", "--pace"], uploads=[good, good]),
            Scenario("stray", ["--stray", "3"], uploads=[good]),
            Scenario("version-0", ["--version", "0"], uploads=[good]),
            Scenario("missing-version-bit", ["--missing-version-bit"], uploads=[good]),
            Scenario("reject", ["--reject-checksum"], uploads=[good]),
            Scenario("no-ack", ["--no-ack"], uploads=[good]),
            Scenario("missing-file", uploads=[(d / "no-such.binary", ())]),
            Scenario("short-by-a-long", uploads=[(d / "short.binary", ())]),
            Scenario("tiny", uploads=[(d / "tiny.binary", ())]),
            Scenario("twice", uploads=[good, (d / "second.binary", ())]),
        ]
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(scenarios)) as pool:
            cls.seen = {s.name: s for s in pool.map(Scenario.play, scenarios)}

    def scenario(self, name):
        s = self.seen[name]
        self.assertEqual(s.propsim_status, 0, f"{name}: propsim did not stop cleanly")
        return s

    def assertRun(self, run, stdout, status):
        self.assertEqual(run.stdout, stdout)
        self.assertEqual(run.returncode, status, run.stderr)
        self.assertEqual(run.stderr, b"")

    def test_good_load_sends_exactly_the_longs_the_header_counts(self):
        s = self.scenario("good")
        self.assertRun(s.runs[0], good_output(2048), 0)
        self.assertEqual(len(s.sessions), 1)
        session = s.sessions[0]
        self.assertEqual(session["handshake"], "ok")
        self.assertEqual((session["command"], session["count"], session["longs"]), ("1", "512", "512"))
        self.assertEqual((session["sum"], session["verdict"], session["state"]), ("00", "FE", "running"))
        self.assertEqual(s.image, self.image)

    def test_good_load_at_line_speed_with_three_bits_a_byte(self):
        s = self.scenario("fixed-paced")
        self.assertRun(s.runs[0], good_output(2048), 0)
        session = s.sessions[0]
        # 509 handshake bytes, 11 per long (command and count included), then the acknowledgement's
        # clocks, one every 5 ms: at least two, since the chip computes first (100 ms), and not many
        # more than that time and the end of the load still on the line (which a pty's drain does
        # not wait for) call for.
        clocks = int(session["came"]) - 509 - 11 * (512 + 2)
        self.assertGreaterEqual(clocks, 2)
        self.assertLess(clocks, 80)
        self.assertEqual(s.image, self.image)

    def test_silent_chip_times_out_and_gets_the_shutdown_command(self):
        s = self.scenario("silent")
        self.assertRun(s.runs[0], START + b"Time Out\nCode Error -> Abort\n", 1)
        # The shutdown long comes after the host's 100 ms wait, within the time the chip waits.
        self.assertEqual(len(s.sessions), 1)
        session = s.sessions[0]
        self.assertEqual((session["answered"], session["handshake"]), ("0", "ok"))
        self.assertEqual((session["command"], session["state"]), ("0", "shutdown"))

    def test_wrong_handshake_bit_aborts_and_the_next_upload_is_not_spoilt_by_its_replies(self):
        s = self.scenario("wrong-bit")
        self.assertRun(s.runs[0], START + b"Code Error -> Abort\n", 1)
        self.assertRun(s.runs[1], good_output(2048), 0)
        first, second = s.sessions
        self.assertEqual(first["answers"][:2], "FF")  # the first reply inverted (a good chip says FE)
        self.assertEqual((first["command"], first["state"]), ("0", "shutdown"))
        self.assertEqual((second["faulty"], second["verdict"], second["state"]), ("no", "FE", "running"))

    def test_stray_bytes_are_reported_and_the_load_goes_on(self):
        s = self.scenario("stray")
        self.assertRun(s.runs[0], good_output(2048, before_version=b"Hardware lost\n" * 3), 0)
        self.assertEqual(s.sessions[0]["answers"][:6], "000000")

    def test_version_0_is_refused_with_the_shutdown_command(self):
        s = self.scenario("version-0")
        self.assertRun(s.runs[0], START + b"Propeller Version = 0\nCode Error -> Abort\n", 1)
        self.assertEqual((s.sessions[0]["command"], s.sessions[0]["state"]), ("0", "shutdown"))
        self.assertIsNone(s.image)

    def test_missing_version_bit_gives_a_negative_version(self):
        s = self.scenario("missing-version-bit")
        # Bits 1,0,0,0,0,0,0 then a time-out (-1) shifted in at bit 7: 2 >> 1 | -128.
        self.assertRun(s.runs[0], START + b"Time Out\nPropeller Version = -127\nCode Error -> Abort\n", 1)
        self.assertEqual(s.sessions[0]["answered"], "257")

    def test_rejected_checksum(self):
        s = self.scenario("reject")
        self.assertRun(s.runs[0], loaded_output(2048, b"CheckSum Error\n"), 1)
        self.assertEqual((s.sessions[0]["sum"], s.sessions[0]["verdict"]), ("00", "FF"))

    def test_no_acknowledgement(self):
        s = self.scenario("no-ack")
        self.assertRun(s.runs[0], loaded_output(2048, b"Time Out\nCheckSum Error\n"), 1)
        self.assertEqual((s.sessions[0]["longs"], s.sessions[0]["verdict"]), ("512", "none"))

    def test_missing_file_sends_nothing(self):
        s = self.scenario("missing-file")
        self.assertRun(s.runs[0], START + b"No such file\r\n", 1)
        self.assertEqual(s.sessions, [])

    def test_file_one_long_short_of_its_header_is_aborted_after_the_handshake(self):
        s = self.scenario("short-by-a-long")
        self.assertRun(s.runs[0], START + b"Propeller Version = 1\nCode Error -> Abort\n", 1)
        self.assertEqual((s.sessions[0]["handshake"], s.sessions[0]["command"]), ("ok", "0"))

    def test_file_shorter_than_its_length_word_is_aborted_after_the_handshake(self):
        s = self.scenario("tiny")
        self.assertRun(s.runs[0], START + b"Propeller Version = 1\nCode Error -> Abort\n", 1)
        self.assertEqual((s.sessions[0]["handshake"], s.sessions[0]["command"]), ("ok", "0"))

    def test_two_uploads_in_a_row_to_the_same_port(self):
        s = self.scenario("twice")
        self.assertRun(s.runs[0], good_output(2048), 0)
        self.assertRun(s.runs[1], good_output(1024), 0)
        self.assertEqual([x["verdict"] for x in s.sessions], ["FE", "FE"])
        self.assertEqual(s.image, self.second)

    def test_port_that_does_not_exist(self):
        missing = str(self.dir / "no-such-tty")
        run = kestrupload(missing, self.dir / "good.binary")
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.stderr, missing.encode() + b" not found\n")
        self.assertEqual(run.returncode, 2)


if __name__ == "__main__":
    unittest.main()
