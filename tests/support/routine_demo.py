"""scripts/demo: the whole routine of kestrup.exe on a simulated board, under Wine.

    routine_demo.py auto|interactive DEMO_FOLDER

auto presses Compile and Upload (row 1) itself, prints the upload console's lines as they appear
and saves a screenshot while the console still shows the verdict; interactive leaves the windows
to the user and ends when the window "Kestrup 01" is closed.
"""
import subprocess
import sys
import time
from pathlib import Path

import app_window
import ide_standins as ide
import routine
import wine

COM = 9


def say(text=""):
    print(text, flush=True)


def screenshot(path):
    subprocess.run(["import", "-window", "root", str(path)], check=True, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def auto(program, standin, terminal, board, folder):
    shot = folder / "screenshot.png"
    if shot.exists():
        shot.unlink()

    say("Compile: kestrup.exe minimizes the terminal and has the IDE compile (F8)")
    program.click(0)
    standin.log.wait_for("compiled 1")
    terminal.log.wait_for("size minimized")
    if not routine.wait_upload_buttons(program, True):
        raise SystemExit("demo: the Upload buttons did not come on after Compile")
    say("  the terminal \"Tavlund\" is minimized, the IDE has compiled, the Upload buttons are on")

    say(f"Upload, row 1 (COM{COM}): the IDE saves compiled.binary by Alt+B, the path, Enter, Alt+C;")
    say("  then the console \"Kestrupload\" shows the load:")

    def line(text):
        say(f"  | {text}")
        if text.startswith("..OK") or text.startswith("CheckSum") or text.startswith("Code Error"):
            # The console stays 1.5 s after the verdict: long enough to catch it on screen.
            screenshot(shot)

    watch = routine.ConsoleWatch(echo=line)
    program.click(app_window.UPLOAD_IDS[0])
    watch.wait()
    if routine.GOOD_LINES[-1] not in watch.lines:
        raise SystemExit("demo: the upload did not end in \"..OK -> RUN\"")

    saved = [e for e in standin.log.events() if e.startswith("saved ")]
    say(f"  the IDE {saved[-1] if saved else 'saved nothing'}")
    loads = board.wait_loads(1)
    say(f"  the board received {int(loads[-1]['longs']) * 4} bytes, verdict {loads[-1]['verdict']} "
        f"(accepted), state {loads[-1]['state']}")
    terminal.log.wait_for("size restored")
    state = routine.window_state("Tavlund")
    say(f"  the terminal is back{' and in front' if state['foreground'] else ''}; "
        f"the Upload buttons are off until the next Compile")
    if not shot.exists():
        screenshot(shot)
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
    program.process.wait()
    program.process = None


def main():
    mode, folder = sys.argv[1], Path(sys.argv[2])
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

    board = routine.Board(COM, "--pace")
    standins = []
    program = None
    try:
        terminal = ide.start_terminal(folder / "terminal.log")
        standins.append((terminal, terminal.title))
        standin = ide.start_ide(folder / "ide.log")
        standins.append((standin, standin.title))
        program = app_window.Program("demo", folder=folder / "kestrup",
                                     settings=routine.settings([COM], position=(600, 280)))
        program.start()
        say(f"demo: kestrup.exe runs from {program.folder}, a simulated board on {board.sim.device} is COM{COM}")
        if mode == "auto":
            auto(program, standin, terminal, board, folder)
        else:
            interactive(program)
    except KeyboardInterrupt:
        say()
    finally:
        if program is not None:
            program.kill()
        for standin, title in standins:
            standin.close(title)
        wine.kill_server()
        board.stop()
    say(f"demo: done in {time.monotonic() - started:.0f} s; logs of the stand-ins in {folder}")


if __name__ == "__main__":
    main()
