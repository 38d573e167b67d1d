"""The whole compile-and-load routine under Wine, for the routine tests and scripts/demo: simulated
boards behind COM ports, the stand-in IDE and terminal, kestrup.exe in a program folder of its own
with its settings file, and the upload console read from outside while an upload runs."""
import subprocess
import tempfile
import time

import app_window
import propsim
import wine

MAIN_TITLE = app_window.TITLE
CONSOLE_TITLE = "Kestrupload"
GOOD_LINES = ["Start Upload", "Propeller Version = 1", "Write in RAM Lenght=256", "Verify ..", "..OK -> RUN"]


def settings(coms, position=(630, 200)):
    """A settings file with the window at `position` and the four COM fields as given."""
    fields = list(coms) + [""] * (4 - len(coms))
    lines = ["/* Kestrup Settings v0.1 */'", "[Config]", f"WinX={position[0]}", f"WinY={position[1]}"]
    lines += [f"ComN{i}={text}" for i, text in enumerate(fields)]
    return "".join(line + "\r\n" for line in lines).encode("latin-1")


class Board:
    """A simulated chip whose pty is COM<com> of the prefix. Wine keeps the pty once it has opened
    it: stop the board only after the Wine session has ended (wine.kill_server)."""

    def __init__(self, com, *args):
        self.com = com
        self.sim = propsim.Propsim(*args, name=f"routine-com{com}")
        wine.link_com(com, self.sim.device)

    def loads(self):
        """The sessions so far that loaded an image and gave a verdict."""
        return [s for s in self.sim.sessions() if s.get("command") == "1" and "verdict" in s]

    def wait_loads(self, count, timeout=10.0):
        app_window.wait_for(lambda: len(self.loads()) >= count, timeout)
        return self.loads()

    def stop(self):
        wine.unlink_com(self.com)
        return self.sim.stop()


def driver(*args, check=True):
    """Runs routine_driver.exe to its end; its output lines."""
    with tempfile.TemporaryFile() as out:
        done = subprocess.run(["wine", str(wine.exe("routine_driver.exe")), *map(str, args)], env=wine.env(),
                              stdout=out, stderr=subprocess.DEVNULL, timeout=120)
        out.seek(0)
        lines = out.read().decode("latin-1").splitlines()
    if check and done.returncode != 0:
        raise AssertionError(f"routine_driver {' '.join(map(str, args))}: exit {done.returncode}: {lines}")
    return lines


def window_state(title):
    """{"showCmd": n, "foreground": bool} of the top-level window with this whole title, and
    "foreground-title", the title of the window in the foreground."""
    facts = dict(line.split(" ", 1) for line in driver("window", title))
    return {"showCmd": int(facts["showCmd"]), "foreground": facts["foreground"] == "1",
            "foreground-title": facts.get("foreground-title", "")}


class ConsoleWatch:
    """Follows the upload console of the running kestrup.exe in the background. Start it before
    the click: the console exists only while the upload runs. With `close_at`, it closes the
    console window as soon as a line holding that text has appeared."""

    def __init__(self, ms=20000, close_at=None, echo=None):
        self.echo = echo
        self.out = tempfile.TemporaryFile()
        args = ["console", MAIN_TITLE, ms] if close_at is None else ["close-console", MAIN_TITLE, close_at, ms]
        # Output through a file, not a pipe: Wine's system processes may inherit a pipe and hold it.
        self.process = subprocess.Popen(["wine", str(wine.exe("routine_driver.exe")), *map(str, args)],
                                        env=wine.env(), stdout=self.out, stderr=subprocess.DEVNULL)
        self.said = 0
        self.facts_seen = []

    def wait(self, timeout=60):
        """Waits for the watch to end (the console gone, or closed); every fact it reported."""
        end = time.monotonic() + timeout
        while not self.poll() and time.monotonic() < end:
            time.sleep(0.05)
        if not self.poll():
            self.stop()
            raise AssertionError(f"console watch still running after {timeout} s: {self.facts_seen}")
        return self.facts_seen

    def poll(self):
        """Takes in what the watch has reported so far; whether it has ended."""
        ended = self.process.poll() is not None
        if self.out.closed:
            return ended
        self.out.seek(0)
        self.facts_seen = self.out.read().decode("latin-1").splitlines()
        if self.echo is not None:
            for fact in self.facts_seen[self.said:]:
                if fact.startswith("line "):
                    self.echo(fact[5:])
            self.said = len(self.facts_seen)
        if ended:
            self.out.close()
        return ended

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.out.close()

    @property
    def lines(self):
        return [fact[5:] for fact in self.facts_seen if fact.startswith("line ")]


def upload_buttons_enabled(program):
    controls = program.describe()["controls"]
    return [controls[cid]["enabled"] for cid in app_window.UPLOAD_IDS]


def wait_upload_buttons(program, enabled, timeout=10.0):
    """Waits until all four Upload buttons are in that state; whether they came to it."""
    return app_window.wait_for(lambda: upload_buttons_enabled(program) == [enabled] * 4, timeout)
