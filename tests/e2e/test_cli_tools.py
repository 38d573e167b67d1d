"""kestrupload's forms besides loading: --help, --identify, --info, --list and --scan."""
import glob
import os
import re
import unittest

from propsim import DEVICE, PORTS, Scenario, make_image, play_all, run_kestrupload, work_dir

# Every switch the parser takes (options.cpp); --help must name each, and nothing it does not take.
SWITCHES = {"-p", "--port", "--eeprom", "--no-run", "--force", "--fixed", "--dense", "--rom", "--window-timing",
            "--reset", "--trace",
            "--identify", "--list", "--scan", "--info", "-h", "--help", "--version"}


class Identify(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.seen = play_all([
            Scenario("chip", [("--identify", "--port", DEVICE)]),
            Scenario("silent", [("--identify", "--port", DEVICE)], boards=[("--silent",)]),
            Scenario("version-3", [("--identify", "--port", DEVICE)], boards=[("--version", "3")]),
            Scenario("two", [("--identify", "--port", PORTS)], boards=[(), ("--silent",)]),
        ])

    def test_a_chip_answers_with_its_version_and_is_shut_down(self):
        s = self.seen["chip"]
        run = s.runs[0]
        self.assertEqual((run.stdout, run.stderr, run.returncode), (b"Propeller Version = 1\n", b"", 0))
        (session,) = s.sessions
        self.assertEqual((session["handshake"], session["replies"], session["command"], session["state"]),
                         ("ok", "258", "0", "shutdown"))
        self.assertIsNone(s.image)
        self.assertLess(run.seconds, 1.5)  # no console pause, no teardown wait

    def test_the_version_is_the_chips(self):
        run = self.seen["version-3"].runs[0]
        self.assertEqual((run.stdout, run.returncode), (b"Propeller Version = 3\n", 0))

    def test_a_silent_port_is_no_propeller(self):
        s = self.seen["silent"]
        run = s.runs[0]
        self.assertEqual((run.stdout, run.returncode), (b"Time Out\nNo Propeller answered\n", 1))
        self.assertLess(run.seconds, 1.5)

    def test_several_ports_each_say_for_themselves(self):
        s = self.seen["two"]
        run = s.runs[0]
        self.assertEqual(run.returncode, 1)
        good, silent = (d.encode() for d in s.devices)
        self.assertEqual(sorted(run.stdout.split(b"\n")[:-1]),
                         sorted([good + b": Propeller Version = 1", silent + b": Time Out",
                                 silent + b": No Propeller answered"]))


class Tools(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = work_dir("cli-tools")

    def test_help_names_every_switch_and_only_switches_that_exist(self):
        run = run_kestrupload("--help")
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        text = run.stdout.decode()
        named = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", text))
        self.assertEqual(SWITCHES - named, set())
        for switch in named - SWITCHES:
            self.fail(f"--help names {switch}, which the parser does not take")
        self.assertIn("Examples:", text)
        # Each switch named is one the parser knows, not an "unknown option".
        for switch in sorted(named):
            probe = run_kestrupload(switch, "x", "y", "z", timeout=10)
            self.assertNotIn(b"unknown option", probe.stderr, switch)

    def test_version_and_a_wrong_command_line(self):
        version = run_kestrupload("--version")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout.decode(), r"^kestrupload \S+\n$")
        for args, message in [(("--bogus",), b"unknown option --bogus"),
                              (("--reset", "cts", "--port", "/dev/x", "i"), b"--reset takes dtr or rts, not cts"),
                              (("--no-run", "--port", "/dev/x", "i"), b"--no-run goes with --eeprom"),
                              (("--identify", "--scan"), b"exclude each other"),
                              (("i.binary",), b"no port given")]:
            run = run_kestrupload(*args)
            self.assertEqual(run.returncode, 2, args)
            self.assertEqual(run.stdout, b"", args)
            first = run.stderr.split(b"\n")[0]
            self.assertTrue(first.startswith(b"kestrupload: ") and message in first, run.stderr)
            self.assertIn(b"Usage: kestrupload", run.stderr)

    def test_info_prints_the_header_and_the_verdict(self):
        make_image(self.dir / "good.binary", 2048, seed=41)
        run = run_kestrupload("--info", self.dir / "good.binary")
        self.assertEqual(run.returncode, 0, run.stderr)
        fields = dict(line.split(None, 1) for line in run.stdout.decode().splitlines())
        self.assertEqual(fields["file"], "size   2048 bytes")
        self.assertEqual(fields["clkfreq"], "80000000 Hz")
        self.assertEqual(fields["pbase"], "0x0010")
        self.assertEqual(fields["vbase"], "0x0800 (image length 2048 bytes, 512 longs)")
        self.assertEqual(fields["dbase"], "0x0808")
        self.assertEqual(fields["verdict"], "OK")

        bad = bytearray((self.dir / "good.binary").read_bytes())
        bad[6] = 0x20  # pbase
        (self.dir / "bad.binary").write_bytes(bad)
        run = run_kestrupload("--info", self.dir / "bad.binary")
        self.assertEqual(run.returncode, 1)
        text = run.stdout.decode()
        self.assertIn("pbase       0x0020\n", text)
        self.assertIn("verdict     REFUSED\n", text)
        self.assertIn("  - pbase is 0x0020, not 0x0010: the chip would not start it\n", text)
        self.assertIn("  - the checksum does not hold", text)

        missing = run_kestrupload("--info", self.dir / "none.binary")
        self.assertEqual((missing.returncode, missing.stdout), (2, b""))
        self.assertIn(b"no such file", missing.stderr)


def ports_of_this_machine():
    """What --list should find here: stable names, then ttyUSB and ttyACM devices not behind one."""
    found, behind = [], set()
    for link in sorted(glob.glob("/dev/serial/by-id/*")):
        found.append(link)
        behind.add(os.path.realpath(link))
    for device in sorted(glob.glob("/dev/ttyUSB*") + glob.glob("/dev/ttyACM*"), key=os.path.basename):
        if device not in behind:
            found.append(device)
    return found


class ListAndScan(unittest.TestCase):
    """Pseudo-terminals are not serial ports to --list, so propsim cannot be found this way; what
    can be checked honestly is that both run, agree with the system, and end in time."""

    def test_list_shows_what_the_system_has(self):
        run = run_kestrupload("--list")
        self.assertEqual(run.returncode, 0)
        listed = [line.split("  ", 1)[0] for line in run.stdout.decode().splitlines()]
        expected = ports_of_this_machine()
        self.assertEqual(listed, expected)
        self.assertEqual(run.stderr, b"" if expected else b"kestrupload: no serial ports found\n")

    def test_scan_answers_for_every_port_within_its_deadline(self):
        expected = ports_of_this_machine()
        run = run_kestrupload("--scan", timeout=60)
        # Each port gets 3 s at most, all at once.
        self.assertLess(run.seconds, 5)
        if not expected:
            self.assertEqual((run.returncode, run.stdout), (1, b""))
            self.assertEqual(run.stderr, b"kestrupload: no serial ports found\n")
            return
        lines = run.stdout.decode().splitlines()
        self.assertEqual([line.split(": ", 1)[0] for line in lines], expected)
        for line in lines:
            self.assertRegex(line, r": (Propeller version \d+|no Propeller|cannot be opened|no answer within 3 s)$")


if __name__ == "__main__":
    unittest.main()
