"""The simulator's own promises as a program: its device, its switches, how it stops."""
import os
import termios
import subprocess
import time
import unittest

from propsim import Propsim, kestrupload, make_image, program, work_dir


class PropsimProgram(unittest.TestCase):
    def test_serves_a_raw_pty_and_stops_cleanly_on_sigterm(self):
        with Propsim(name="raw") as chip:
            self.assertTrue(os.path.exists(chip.device))
            # Raw before any host touches it: a stray newline would otherwise become CR LF.
            fd = os.open(chip.device, os.O_RDWR | os.O_NOCTTY)
            try:
                attrs = termios.tcgetattr(fd)
                self.assertEqual(attrs[1] & termios.OPOST, 0)
                self.assertEqual(attrs[3] & (termios.ICANON | termios.ECHO), 0)
                self.assertTrue(attrs[2] & termios.CSTOPB)
            finally:
                os.close(fd)
        self.assertEqual(chip.process.returncode, 0)

    def test_sessions_switch_ends_the_program_after_the_host_is_done(self):
        d = work_dir("sessions")
        make_image(d / "image.binary", 512)
        with Propsim("--sessions", "1", "--linger", "200", name="sessions") as chip:
            started = time.monotonic()
            run = kestrupload(chip.device, d / "image.binary")
            self.assertEqual(run.returncode, 0, run.stdout)
            chip.process.wait(timeout=10)
            self.assertEqual(chip.process.returncode, 0)
            self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(len(chip.sessions()), 1)

    def test_refuses_unknown_switches(self):
        run = subprocess.run([str(program("propsim")), "--wrong-bit", "250"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 2)
        self.assertIn(b"--wrong-bit", run.stderr)
        self.assertEqual(run.stdout, b"")

    def test_image_maker_writes_what_was_asked(self):
        d = work_dir("propimage")
        a = make_image(d / "a.binary", 4096, seed=5)
        self.assertEqual(len(a), 4096)
        self.assertEqual(a, make_image(d / "b.binary", 4096, seed=5))
        self.assertNotEqual(a, make_image(d / "c.binary", 4096, seed=6))
        zeros = make_image(d / "z.binary", 64, zeros=True)
        self.assertEqual(zeros[16:], bytes(48))
        bad = subprocess.run([str(program("propimage")), "--size", "1001", str(d / "bad.binary")],
                             capture_output=True, timeout=10)
        self.assertEqual(bad.returncode, 2)
        self.assertFalse((d / "bad.binary").exists())


if __name__ == "__main__":
    unittest.main()
