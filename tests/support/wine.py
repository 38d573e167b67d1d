"""Running the Windows programs under Wine for the test suites, scripts/bench and scripts/demo.

One prefix for the whole build tree (build/wine-prefix), made once and reused; a display must be
there already (scripts/with-display gives one). COM ports are symlinks in the prefix's dosdevices.
"""
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(os.environ.get("KESTRUP_SOURCE", Path(__file__).resolve().parents[2]))
MINGW_BIN = Path(os.environ.get("KESTRUP_MINGW_BIN", SOURCE / "build" / "mingw" / "bin"))
PREFIX = Path(os.environ.get("KESTRUP_WINEPREFIX", SOURCE / "build" / "wine-prefix"))
# What every Wine command runs under while under() holds: the chip-logic rig's host.sh.
_wrapper = []


def available():
    """Why Wine programs cannot run here, or None when they can."""
    if shutil.which("wine") is None:
        return "wine is not installed (scripts/setup installs it)"
    if not os.environ.get("DISPLAY"):
        return "no X display (run under scripts/with-display)"
    return None


def env():
    return dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def ensure_prefix():
    """Creates the prefix on first use; later callers wait for the first to finish."""
    PREFIX.parent.mkdir(parents=True, exist_ok=True)
    with open(PREFIX.parent / "wine-prefix.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (PREFIX / "system.reg").exists():
            return
        subprocess.run(["wineboot", "--init"], env=env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env(), check=True, timeout=300)


def windows_path(path):
    """The path as Windows programs under Wine name it (drive Z: is the Unix root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def link_com(number, device):
    """Makes COM<number> of the prefix lead to a device (a pty's slave path)."""
    unlink_com(number)
    (PREFIX / "dosdevices").mkdir(parents=True, exist_ok=True)
    (PREFIX / "dosdevices" / f"com{number}").symlink_to(device)


def unlink_com(number):
    (PREFIX / "dosdevices" / f"com{number}").unlink(missing_ok=True)


def exe(name):
    path = MINGW_BIN / name
    if not path.exists():
        sys.exit(f"missing {path}: build the mingw flavour first (scripts/build)")
    return path


def run(program, args=(), timeout=120, **kwargs):
    """Runs a Windows program to its end; the CompletedProcess with what it wrote (bytes). Output
    goes through files, not pipes: Wine's system processes, started by whichever program comes
    first, inherit a pipe and would hold it open long after the program has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        files = {"stdout": kwargs.setdefault("stdout", out), "stderr": kwargs.setdefault("stderr", err)}
        done = subprocess.run([*_wrapper, "wine", str(program), *map(str, args)], env=env(), timeout=timeout,
                              **kwargs)
        for name, file in files.items():
            if file in (out, err):
                file.seek(0)
                setattr(done, name, file.read())
    return done


def start(program, args=(), **kwargs):
    return subprocess.Popen([*_wrapper, "wine", str(program), *map(str, args)], env=env(), **kwargs)


def driver(name, *args, check=True, ok=(0,), encoding="latin-1", timeout=60, again_if_silent=False):
    """Runs one of the test drivers (app_driver, routine_driver, ide_driver) to its end; its output
    lines. again_if_silent, for a command that never ends with 1 by itself and may run twice: an end
    with 1 and nothing printed either way is Wine not starting the program, and it runs once more."""
    done = run(exe(f"{name}.exe"), args, timeout=timeout)
    if again_if_silent and done.returncode == 1 and not done.stdout and not done.stderr:
        done = run(exe(f"{name}.exe"), args, timeout=timeout)
    lines = done.stdout.decode(encoding, errors="replace").splitlines()
    if check and done.returncode not in ok:
        errors = done.stderr.decode(encoding, errors="replace").strip()
        raise AssertionError(f"{name} {' '.join(map(str, args))}: exit {done.returncode}: {lines}; stderr: {errors!r}")
    return lines


def wait_until(predicate, timeout=10.0, step=0.05):
    """Polls until predicate() gives something true or the time is up; its last value."""
    end = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < end:
        time.sleep(step)
    return value


def wait_server():
    """Waits until every Wine process of the prefix has ended."""
    subprocess.run(["wineserver", "-w"], env=env(), timeout=120)


def kill_server():
    subprocess.run(["wineserver", "-k"], env=env(), timeout=60)
    subprocess.run(["wineserver", "-w"], env=env(), timeout=60)


@contextlib.contextmanager
def under(wrapper):
    """A Wine session of its own whose server and programs all run under the wrapper (a command
    list that runs the command after it). The server must start under it too: it keeps the serial
    ports' read timeouts and every program's waits. Ended afterwards, so that no later program
    inherits it."""
    global _wrapper
    kill_server()
    _wrapper = list(wrapper)
    try:
        # Wine's services start with the first program and keep its output: not the caller's,
        # which a service left behind would hold open after the session.
        quiet = {"env": env(), "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "timeout": 120}
        subprocess.run([*_wrapper, "wineserver", "-p"], check=True, **quiet)
        subprocess.run([*_wrapper, "wineboot"], check=True, **quiet)
        yield
    finally:
        _wrapper = []
        kill_server()
