"""scripts/demo: the whole routine of kestrup.exe on a simulated board, under Wine.

    routine_demo.py auto|interactive DEMO_FOLDER

auto presses Compile and Upload (row 1) itself, prints the upload console's lines as they appear
and saves a screenshot while the console still shows the verdict; interactive leaves the windows
to the user and ends when the window "Kestrup 01" is closed.
"""
import signal
import subprocess
import sys
import time
from pathlib import Path

import desktop
import propsim
import wine

COM = 9
# The upload console opens at the top left, about 640 x 420: everything else stands to its right.
MAIN_AT = (700, 40)
IDE_AT = (700, 210)
TERMINAL_AT = (700, 410)
SHOT = (10, 10, 1260, 620)  # the top 1280 x 640 of the screen


def say(text=""):
    print(text, flush=True)


def quietly(step, *args):
    """A step of the cleanup: a failure is told, and the cleanup goes on."""
    try:
        step(*args)
    except BaseException as error:  # noqa: BLE001 - Ctrl+C too must not leave processes behind
        say(f"demo: cleanup: {error}")


def auto(program, standin, terminal, board, folder):
    shot = folder / "screenshot.png"
    if shot.exists():
        shot.unlink()

    say("Compile: kestrup.exe minimizes the terminal and has the IDE compile (F8)")
    program.click(desktop.COMPILE)
    standin.wait_for("compiled 1")
    terminal.wait_for("size minimized")
    if not program.wait_uploads(True):
        raise SystemExit("demo: the Upload buttons did not come on after Compile")
    say("  the terminal \"Tavlund\" is minimized, the IDE has compiled, the Upload buttons are on")

    say(f"Upload, row 1 (COM{COM}): the IDE saves compiled.binary by Alt+B, the path, Enter, Alt+C;")
    say("  then the console \"Kestrupload\" shows the load:")

    def line(text):
        say(f"  | {text}")
        if text.startswith("..OK") or text.startswith("CheckSum") or text.startswith("Code Error"):
            # The console stays 1.5 s after the verdict; it needs a moment to draw the line.
            time.sleep(0.4)
            desktop.screenshot(shot, SHOT)

    watch = desktop.ConsoleWatch(echo=line)
    program.click(desktop.UPLOAD_IDS[0])
    watch.wait()
    if desktop.GOOD_LINES[-1] not in watch.lines:
        raise SystemExit("demo: the upload did not end in \"..OK -> RUN\"")

    saved = [e for e in standin.events() if e.startswith("saved ")]
    say(f"  the IDE {saved[-1] if saved else 'saved nothing'}")
    loads = wine.wait_until(board.loads)
    say(f"  the board received {int(loads[-1]['longs']) * 4} bytes, verdict {loads[-1]['verdict']} "
        f"(accepted), state {loads[-1]['state']}")
    terminal.wait_for("size restored", after=terminal.events().index("size minimized"))
    state = desktop.window_state(desktop.TERMINAL_TITLE)
    say(f"  the terminal is back{' and in front' if state['foreground'] else ''}; "
        f"the Upload buttons are off until the next Compile")
    if not shot.exists():
        desktop.screenshot(shot, SHOT)
    say()
    say(f"Screenshot: {shot}")
    program.close()


def interactive(program):
    say(f"The window \"Kestrup 01\" is on your screen with COM{COM} in row 1; COM{COM} leads to a")
    say("simulated board. Beside it: a stand-in IDE \"Propeller Tool - Blink.spin\" and a terminal \"Tavlund\".")
    say("  1. Press Compile: the terminal is minimized, the IDE compiles (F8), the Upload buttons come on.")
    say("  2. Press Upload in row 1: the IDE saves compiled.binary, the console \"Kestrupload\" shows")
    say("     the load ending in \"..OK -> RUN\", and the terminal comes back.")
    say("Close \"Kestrup 01\" to end the demo (Ctrl+C here works too).")
    # The console's lines here too, upload after upload, until the program ends.
    while program.process.poll() is None:
        watch = desktop.ConsoleWatch(ms=24 * 3600 * 1000, echo=lambda text: say(f"  | {text}"))
        while not watch.poll() and program.process.poll() is None:
            time.sleep(0.2)
        watch.stop()
    program.process = None


def interrupted(*_):
    raise KeyboardInterrupt


def main():
    mode, folder = sys.argv[1], Path(sys.argv[2])
    # Ctrl+C, a closed terminal or a kill end the demo through its cleanup, even when it was
    # started in the background (where Ctrl+C would otherwise be ignored).
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    started = time.monotonic()
    folder.mkdir(parents=True, exist_ok=True)
    if not (wine.PREFIX / "system.reg").exists():
        say(f"demo: making the Wine prefix {wine.PREFIX} (once, about 15 s)")
    wine.ensure_prefix()
    # Our own Wine session, kept up between the programs; ending it at the end must not end
    # anyone else's.
    if subprocess.run(["wineserver", "-p"], env=wine.env(), timeout=60).returncode != 0:
        raise SystemExit(f"demo: another Wine session is using {wine.PREFIX} (the tests?); "
                         "run the demo again when it has ended")

    board = propsim.Propsim("--pace", name=f"demo-com{COM}")
    wine.link_com(COM, board.device)
    standins = []
    program = None
    try:
        terminal = desktop.terminal(folder / "terminal.log")
        standins.append(terminal)
        standin = desktop.Standin(folder / "ide.log")
        standins.append(standin)
        wine.driver("routine_driver", "move", terminal.title, *TERMINAL_AT)
        wine.driver("routine_driver", "move", standin.title, *IDE_AT)
        program = desktop.Program("demo", folder=folder / "kestrup", settings=desktop.settings([COM], MAIN_AT))
        program.start()
        say(f"demo: kestrup.exe runs from {program.folder}, a simulated board on {board.device} is COM{COM}")
        if mode == "auto":
            auto(program, standin, terminal, board, folder)
        else:
            interactive(program)
    except KeyboardInterrupt:
        say()
    finally:
        if program is not None:
            quietly(program.kill)
        for standin in standins:
            quietly(standin.close)
        quietly(wine.kill_server)
        # Only now: Wine holds a pty it has opened until its server has gone.
        quietly(wine.unlink_com, COM)
        quietly(board.stop)
    say(f"demo: done in {time.monotonic() - started:.0f} s; logs of the stand-ins in {folder}")


if __name__ == "__main__":
    main()
