"""The stand-in IDE and terminal, and the driver that runs the real IDE automation against them.

The stand-ins log one line per event, "<milliseconds> <event>", written through at once:
  IDE:      "ready", "active", "inactive", "key down 0x12 sys", "key up 0x42", "char 0x0062 sys", "compiled 1",
            "prompt open", "prompt path <path>", "saved <bytes> <path>", "save refused: ...", "closed"
  terminal: "ready", "size minimized", "size restored", "active", "inactive", "closed"
"""
import time
from pathlib import Path

import propsim
import wine

IDE_TITLE = "Propeller Tool - Blink.spin"


def windows_path(path):
    """The path as Windows programs under Wine name it (drive Z: is the Unix root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class LogFile:
    def __init__(self, path):
        self.path = Path(path)

    def entries(self):
        """(milliseconds, event) for every complete line so far."""
        if not self.path.exists():
            return []
        text = self.path.read_bytes().decode("utf-8", "replace")
        out = []
        for line in text.split("\n")[:-1]:
            stamp, _, event = line.partition(" ")
            out.append((int(stamp), event))
        return out

    def events(self):
        return [event for _, event in self.entries()]

    def wait_for(self, predicate, timeout=10.0):
        """Waits until some event satisfies predicate (a string is a prefix); returns that event."""
        if isinstance(predicate, str):
            prefix = predicate
            predicate = lambda event: event.startswith(prefix)
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events():
                if predicate(event):
                    return event
            if time.monotonic() > deadline:
                raise AssertionError(f"no such event in {self.path.name} after {timeout} s; last: {self.events()[-30:]}")
            time.sleep(0.05)


class Standin:
    """One stand-in program, started and waited for until its window is up."""

    def __init__(self, program, log_path, *args):
        self.log = LogFile(log_path)
        if self.log.path.exists():
            self.log.path.unlink()
        self.process = wine.start(wine.exe(program), [windows_path(log_path), *args])
        self.log.wait_for("ready", timeout=60)

    def close(self, title):
        driver("close", title)
        try:
            self.process.wait(timeout=20)
        except Exception:
            self.process.kill()
            self.process.wait(timeout=20)


def start_ide(log_path, title=IDE_TITLE):
    ide = Standin("standin_ide.exe", log_path, title)
    ide.title = title
    return ide


def start_terminal(log_path):
    terminal = Standin("standin_terminal.exe", log_path)
    terminal.title = "Tavlund"
    return terminal


def driver(*args):
    """Runs ide_driver.exe; returns its output lines."""
    done = wine.run(wine.exe("ide_driver.exe"), args, timeout=60)
    if done.returncode not in (0, 1):
        raise AssertionError(f"ide_driver {args} ended with {done.returncode}: {done.stderr!r}")
    return done.stdout.decode("utf-8", "replace").splitlines()


def key_events(events):
    """The key transitions among the events, as ("down"|"up", virtual key), system or not."""
    out = []
    for event in events:
        parts = event.split()
        if parts[0] == "key":
            out.append((parts[1], int(parts[2], 16)))
    return out


def typed_characters(events):
    """The text of the WM_CHAR messages (not the system ones) among the events."""
    return "".join(chr(int(event.split()[1], 16)) for event in events
                   if event.startswith("char ") and not event.endswith(" sys"))


def image_is_valid(data):
    """Whether `kestrupload --info` passes the image: the header and checksum rules of the chip."""
    path = propsim.work_dir("image-check") / "image.binary"
    path.write_bytes(data)
    return propsim.run_kestrupload("--info", path).returncode == 0
