"""kestrupload.exe under Wine loads an image into a simulated chip behind a COM port."""
import unittest
from pathlib import Path

import propsim
import wine

COM = 21


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class KestruploadUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = wine.available()
        if reason:
            raise RuntimeError(reason)
        wine.ensure_prefix()
        cls.dir = propsim.work_dir("wine-kestrupload")
        cls.sims = []

    @classmethod
    def tearDownClass(cls):
        wine.unlink_com(COM)
        # The pty's master stays open until Wine has let go of the port.
        wine.wait_server()
        for sim in cls.sims:
            sim.stop()

    def board(self, *args):
        sim = propsim.Propsim(*args, name="wine-propsim")
        self.sims.append(sim)
        wine.link_com(COM, sim.device)
        return sim

    def test_loads_an_image_and_reports_ok(self):
        image = self.dir / "image.binary"
        data = propsim.make_image(image, 2048, seed=4)
        sim = self.board()
        run = wine.run(wine.exe("kestrupload.exe"), ["--fixed", "--port", COM, windows_path(image)])
        self.assertEqual(run.stdout, b"Start Upload\r\nPropeller Version = 1\nWrite in RAM Lenght=2048\n"
                                     b"Verify ..\n..OK -> RUN\n", run.stderr)
        self.assertEqual(run.returncode, 0)
        sim.stop()
        self.assertEqual(sim.received_image(), data)

    def test_dense_load_and_a_rejected_checksum(self):
        image = self.dir / "dense.binary"
        propsim.make_image(image, 4096, seed=9)
        self.board("--reject-checksum", "--faulty-sessions", "1")
        first = wine.run(wine.exe("kestrupload.exe"), ["--port", COM, windows_path(image)])
        self.assertTrue(first.stdout.endswith(b"Verify ..\nCheckSum Error\n"), first.stdout)
        self.assertEqual(first.returncode, 1)
        second = wine.run(wine.exe("kestrupload.exe"), ["--port", COM, windows_path(image)])
        self.assertTrue(second.stdout.endswith(b"..OK -> RUN\n"), second.stdout)
        self.assertEqual(second.returncode, 0)

    def test_missing_port_and_missing_file(self):
        wine.unlink_com(COM + 1)
        run = wine.run(wine.exe("kestrupload.exe"), ["--port", COM + 1, "x.binary"])
        self.assertEqual(run.stdout, b"")
        self.assertIn(b"Com22 not found", run.stderr)
        self.assertEqual(run.returncode, 2)
        self.board()
        run = wine.run(wine.exe("kestrupload.exe"), ["--port", COM, windows_path(self.dir / "none.binary")])
        self.assertEqual(run.stdout, b"Start Upload\r\nNo such file\r\n")
        self.assertEqual(run.returncode, 1)


if __name__ == "__main__":
    unittest.main()
