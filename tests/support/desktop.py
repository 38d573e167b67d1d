"""kestrup.exe and its desktop under Wine, for the Wine suites and scripts/demo: the program in a
folder of its own, app_driver.exe to look at and press its controls, the stand-in IDE and terminal
with their event logs, and the upload console read from outside while an upload runs.

The stand-ins log one line per event, "<milliseconds> <event>", written through at once:
  IDE:      "ready", "active", "inactive", "key down 0x12 sys", "key up 0x42", "char 0x0062 sys", "compiled 1",
            "prompt open", "prompt path <path>", "saved <bytes> <path>", "save refused: ...", "closed"
  terminal: "ready", "size minimized", "size restored", "active", "inactive", "closed"
"""
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import propsim
import wine

TITLE = "Kestrup 01"
IDE_TITLE = "Propeller Tool - Blink.spin"
TERMINAL_TITLE = "Tavlund"
UPLOAD_IDS = (2, 5, 8, 11)
FIELD_IDS = (4, 7, 10, 13)
COMPILE, SAVE = 0, 14
GOOD_LINES = ["Start Upload", "Propeller Version = 1", "Write in RAM Lenght=256", "Verify ..", "..OK -> RUN"]
WORK = propsim.WORK / "desktop"

_CONTROL = re.compile(r'control (-?\d+) (\S+) (-?\d+) (-?\d+) (-?\d+) (-?\d+) enabled=(\d) visible=(\d) '
                      r'style=([0-9a-f]+) exstyle=([0-9a-f]+) text="(.*)"$')


# app_driver ends only with 0, or 2 for a missing window or control, on these, and each may run
# twice: an end with 1 and nothing printed was Wine not starting it (seen once on CI, "enable").
_APP_AGAIN_IF_SILENT = {"describe", "enable", "set-text"}


def app(*args, check=True):
    again = bool(args) and args[0] in _APP_AGAIN_IF_SILENT
    return wine.driver("app_driver", *args, check=check, again_if_silent=again)


def ide(*args):
    """Runs the real IDE automation (ide_driver.exe) as a button would; its output lines. Only
    "close" may end with 1 (no such window). A "terminal" run always prints the terminal's state:
    one that printed nothing never got that far (seen once in many hundred runs under Wine), and
    is run again, which finds the window as the first run left it."""
    ok = (0, 1) if args[:1] == ("close",) else (0,)
    if args[:1] == ("terminal",):
        lines = wine.driver("ide_driver", *args, check=False, encoding="utf-8")
        if lines:
            return lines
    return wine.driver("ide_driver", *args, ok=ok, encoding="utf-8")


def settings(coms, position=(630, 200), fast_load=False):
    """A settings file with the window at `position`, the four COM fields as given and, when asked,
    FastLoad=1."""
    fields = list(coms) + [""] * (4 - len(coms))
    lines = ["/* Kestrup Settings v0.1 */'", "[Config]", f"WinX={position[0]}", f"WinY={position[1]}"]
    lines += [f"ComN{i}={text}" for i, text in enumerate(fields)] + (["FastLoad=1"] if fast_load else [])
    return "".join(line + "\r\n" for line in lines).encode("latin-1")


def parse_description(lines):
    info = {"controls": {}}
    for line in lines:
        if m := _CONTROL.match(line):
            info["controls"][int(m.group(1))] = {
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
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        self.exe = self.folder / "kestrup.exe"
        self.settings_path = self.folder / "Kestrup.ini"
        shutil.copyfile(wine.exe("kestrup.exe"), self.exe)
        if settings is not None:
            self.settings_path.write_bytes(settings)
        self.process = None

    def start(self):
        self.process = wine.start(self.exe, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            app("wait", TITLE, 20000)
        except BaseException:
            self.kill()
            raise
        return self

    def describe(self):
        return parse_description(app("describe", TITLE))

    def describe_once(self, holds, timeout=15.0):
        """The window's description once `holds` is true of it, or the last one after the time."""
        last = {}

        def check():
            last["info"] = self.describe()
            return holds(last["info"])
        wine.wait_until(check, timeout, step=0.1)
        return last["info"]

    def uploads_enabled(self):
        controls = self.describe()["controls"]
        return [controls[cid]["enabled"] for cid in UPLOAD_IDS]

    def wait_uploads(self, enabled, timeout=10.0):
        """Waits until all four Upload buttons are in that state; whether they came to it."""
        return bool(wine.wait_until(lambda: self.uploads_enabled() == [enabled] * 4, timeout, step=0.1))

    def set_field(self, control_id, text):
        app("set-text", TITLE, control_id, text)

    def click(self, control_id):
        app("click", TITLE, control_id)

    def close(self, timeout=30):
        """Presses the close box; the program's exit code."""
        app("close", TITLE)
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
            app("gone", TITLE, 10000, check=False)
        self.process = None


def screenshot(path, rect=None, margin=10):
    """The screen, or the part around a window's (x, y, width, height), as a PNG."""
    crop = []
    if rect:
        x, y, w, h = rect
        crop = ["-crop", f"{w + 2 * margin}x{h + 2 * margin}+{max(0, x - margin)}+{max(0, y - margin)}", "+repage"]
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", *crop, str(path)], check=True, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return Path(path)


class Standin:
    """The stand-in IDE or terminal, started and waited for until its window is up."""

    def __init__(self, log_path, title=IDE_TITLE, program="standin_ide.exe", image=None):
        """image: a file whose bytes the IDE saves, in place of its own small program."""
        self.path, self.title = Path(log_path), title
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.path.unlink(missing_ok=True)
        own = [title] + ([wine.windows_path(image)] if image else []) if program == "standin_ide.exe" else []
        self.process = wine.start(wine.exe(program), [wine.windows_path(log_path)] + own)
        self.wait_for("ready", timeout=60)

    def entries(self):
        """(milliseconds, event) for every complete line so far."""
        if not self.path.exists():
            return []
        lines = self.path.read_bytes().decode("utf-8", "replace").split("\n")[:-1]
        return [(int(stamp), event) for stamp, _, event in (line.partition(" ") for line in lines)]

    def events(self):
        return [event for _, event in self.entries()]

    def wait_for(self, prefix, timeout=10.0, after=0):
        """Waits until an event from the `after`th on starts with `prefix`; that event."""
        found = wine.wait_until(lambda: next((e for e in self.events()[after:] if e.startswith(prefix)), None), timeout)
        assert found, f"no {prefix!r} in {self.path.name} after {timeout} s; last: {self.events()[-30:]}"
        return found

    def close(self):
        ide("close", self.title)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=20)


def terminal(log_path):
    return Standin(log_path, TERMINAL_TITLE, "standin_terminal.exe")


def key_events(events):
    """The key transitions among the events, as ("down"|"up", virtual key), system or not."""
    return [(parts[1], int(parts[2], 16)) for parts in (e.split() for e in events) if parts[0] == "key"]


def typed_characters(events):
    """The text of the WM_CHAR messages (not the system ones) among the events."""
    return "".join(chr(int(e.split()[1], 16)) for e in events if e.startswith("char ") and not e.endswith(" sys"))


def image_is_valid(data):
    """Whether `kestrupload --info` passes the image: the header and checksum rules of the chip."""
    path = propsim.work_dir("image-check") / "image.binary"
    path.write_bytes(data)
    return propsim.run_kestrupload("--info", path).returncode == 0


def window_state(title):
    """{"showCmd": n, "foreground": bool} of the top-level window with this whole title."""
    facts = dict(line.split(" ", 1) for line in wine.driver("routine_driver", "window", title))
    return {"showCmd": int(facts["showCmd"]), "foreground": facts["foreground"] == "1"}


class ConsoleWatch:
    """Follows the upload console of the running kestrup.exe in the background. Start it before
    the click: the console exists only while the upload runs. With `close_at`, it closes the
    console window as soon as a line holding that text has appeared."""

    def __init__(self, ms=20000, close_at=None, echo=None):
        self.echo, self.said, self.facts = echo, 0, []
        self.out = tempfile.TemporaryFile()
        args = ["console", TITLE, ms] if close_at is None else ["close-console", TITLE, close_at, ms]
        # Output through a file, not a pipe: Wine's system processes may inherit a pipe and hold it.
        self.process = wine.start(wine.exe("routine_driver.exe"), args, stdout=self.out, stderr=subprocess.DEVNULL)

    def poll(self):
        """Takes in what the watch has reported so far; whether it has ended."""
        ended = self.process.poll() is not None
        if self.out.closed:
            return ended
        self.out.seek(0)
        self.facts = self.out.read().decode("latin-1").splitlines()
        if self.echo is not None:
            for line in self.lines[self.said:]:
                self.echo(line)
            self.said = len(self.lines)
        if ended:
            self.out.close()
        return ended

    def wait(self, timeout=60):
        """Waits for the watch to end (the console gone, or closed); every fact it reported."""
        if not wine.wait_until(self.poll, timeout):
            self.stop()
            raise AssertionError(f"console watch still running after {timeout} s: {self.facts}")
        return self.facts

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.out.close()

    @property
    def lines(self):
        return [fact[5:] for fact in self.facts if fact.startswith("line ")]
