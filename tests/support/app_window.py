"""kestrup.exe under Wine for the window program's tests: a fresh program folder per case, the test
driver app_driver.exe to look at and press its controls, and screenshots of the window."""
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import wine

WORK = Path(os.environ.get("KESTRUP_WORK", wine.SOURCE / "build" / "test-work")) / "app"
TITLE = "Kestrup 01"

# The controls as the user must find them: id, class, x, y, width, height, text.
CONTROLS = [
    (0, "Button", 4, 4, 60, 18, "Compile"),
    (14, "Button", 74, 4, 40, 18, "Save"),
    (2, "Button", 4, 28, 50, 18, "Upload"),
    (3, "Static", 60, 29, 25, 18, "Com"),
    (4, "Edit", 88, 28, 25, 18, ""),
    (5, "Button", 4, 50, 50, 18, "Upload"),
    (6, "Static", 60, 51, 25, 18, "Com"),
    (7, "Edit", 88, 50, 25, 18, ""),
    (8, "Button", 4, 72, 50, 18, "Upload"),
    (9, "Static", 60, 73, 25, 18, "Com"),
    (10, "Edit", 88, 72, 25, 18, ""),
    (11, "Button", 4, 94, 50, 18, "Upload"),
    (12, "Static", 60, 95, 25, 18, "Com"),
    (13, "Edit", 88, 94, 25, 18, ""),
]
UPLOAD_IDS = (2, 5, 8, 11)
FIELD_IDS = (4, 7, 10, 13)

_CONTROL = re.compile(r'control (-?\d+) (\S+) (-?\d+) (-?\d+) (-?\d+) (-?\d+) enabled=(\d) visible=(\d) '
                      r'style=([0-9a-f]+) exstyle=([0-9a-f]+) text="(.*)"$')


def prepare():
    """The prefix, and a wineserver that stays up between the programs of a module."""
    wine.ensure_prefix()
    subprocess.run(["wineserver", "-p"], env=wine.env(), check=True, timeout=60)


def driver(*args, check=True):
    # Output through a file, not a pipe: Wine's system processes, started by whichever program
    # comes first, inherit the pipe and would hold it open long after the driver has ended.
    with tempfile.TemporaryFile() as out_file:
        result = subprocess.run(["wine", str(wine.exe("app_driver.exe")), *map(str, args)], env=wine.env(),
                                stdout=out_file, stderr=subprocess.DEVNULL, timeout=60)
        out_file.seek(0)
        out = out_file.read().decode("latin-1")
    if check and result.returncode != 0:
        raise AssertionError(f"app_driver {' '.join(map(str, args))}: exit {result.returncode}: {out}")
    return out


def parse_description(text):
    info = {"controls": {}}
    for line in text.splitlines():
        m = _CONTROL.match(line)
        if m:
            cid = int(m.group(1))
            info["controls"][cid] = {
                "order": len(info["controls"]), "class": m.group(2),
                "rect": tuple(int(m.group(i)) for i in range(3, 7)),
                "enabled": m.group(7) == "1", "visible": m.group(8) == "1",
                "style": int(m.group(9), 16), "exstyle": int(m.group(10), 16),
                "text": m.group(11).replace('\\"', '"').replace("\\\\", "\\"),
            }
            continue
        key, _, value = line.partition(" ")
        if key in ("window", "client"):
            info[key] = tuple(int(v) for v in value.split())
        elif key in ("style", "exstyle"):
            info[key] = int(value, 16)
        elif key in ("enabled", "visible"):
            info[key] = value == "1"
    return info


class Program:
    """One kestrup.exe in a program folder of its own."""

    def __init__(self, name, settings=None, folder=None):
        self.folder = Path(folder) if folder else WORK / name
        if self.folder.exists():
            shutil.rmtree(self.folder)
        self.folder.mkdir(parents=True)
        self.exe = self.folder / "kestrup.exe"
        shutil.copyfile(wine.exe("kestrup.exe"), self.exe)
        if settings is not None:
            self.settings_path.write_bytes(settings)
        self.process = None

    @property
    def settings_path(self):
        return self.folder / "Kestrup.ini"

    def start(self):
        self.process = wine.start(self.exe, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            driver("wait", TITLE, 20000)
        except BaseException:
            self.kill()
            raise
        return self

    def describe(self):
        return parse_description(driver("describe", TITLE))

    def set_field(self, control_id, text):
        driver("set-text", TITLE, control_id, text)

    def click(self, control_id):
        driver("click", TITLE, control_id)

    def close(self, timeout=30):
        """Presses the close box; the program's exit code."""
        driver("close", TITLE)
        return self.wait(timeout)

    def wait(self, timeout=30):
        try:
            return self.process.wait(timeout=timeout)
        finally:
            self.process = None

    def kill(self):
        """Ends a program that a failed test left running, so the next one is alone on screen."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            driver("gone", TITLE, 10000, check=False)
        self.process = None

    def screenshot(self, path, window_rect, margin=10):
        x, y, w, h = window_rect
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-window", "root", "-crop",
                        f"{w + 2 * margin}x{h + 2 * margin}+{max(0, x - margin)}+{max(0, y - margin)}",
                        "+repage", str(path)], check=True, timeout=30)
        return path


def wait_for(predicate, timeout=5.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
