"""kestrupload.exe under Wine loads an image into a simulated chip behind a COM port."""
import subprocess
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

    def test_list_and_scan_find_a_registered_port(self):
        good = self.board()
        # COM1 would lead to the machine's own /dev/ttyS0: give it a silent board of ours instead.
        silent = propsim.Propsim("--silent", name="wine-propsim-silent")
        self.sims.append(silent)
        # Wine lists a port in the system's serial map once it is registered and the server restarts.
        ports_key = "HKLM\\Software\\Wine\\Ports"
        for name, device in ((f"COM{COM}", good.device), ("COM1", silent.device)):
            subprocess.run(["wine", "reg", "add", ports_key, "/v", name, "/d", device, "/f"], env=wine.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
            self.addCleanup(subprocess.run, ["wine", "reg", "delete", ports_key, "/v", name, "/f"], env=wine.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        wine.kill_server()
        subprocess.run(["wineboot"], env=wine.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        listed = wine.run(wine.exe("kestrupload.exe"), ["--list"])
        self.assertEqual(listed.returncode, 0)
        self.assertIn(f"{COM}  COM{COM} (".encode(), listed.stdout)
        scanned = wine.run(wine.exe("kestrupload.exe"), ["--scan"])
        self.assertIn(f"{COM}: Propeller version 1".encode(), scanned.stdout)
        self.assertIn(b"1: no Propeller", scanned.stdout)
        self.assertEqual(scanned.returncode, 0)

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
