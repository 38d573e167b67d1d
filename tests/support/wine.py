"""Running the Windows programs under Wine for the test suites.

One prefix for the whole build tree (build/wine-prefix), made once and reused; a display must be
there already (scripts/with-display gives one). COM ports are symlinks in the prefix's dosdevices.
"""
import fcntl
import os
import shutil
import subprocess
import sys
from pathlib import Path

SOURCE = Path(os.environ.get("KESTRUP_SOURCE", Path(__file__).resolve().parents[2]))
MINGW_BIN = Path(os.environ.get("KESTRUP_MINGW_BIN", SOURCE / "build" / "mingw" / "bin"))
PREFIX = Path(os.environ.get("KESTRUP_WINEPREFIX", SOURCE / "build" / "wine-prefix"))


def available():
    """Why Wine tests cannot run here, or None when they can."""
    if shutil.which("wine") is None:
        return "wine is not installed (scripts/setup installs it)"
    if not os.environ.get("DISPLAY"):
        return "no X display (run under scripts/with-display)"
    return None


def skip_unless_available():
    """Skips the calling test module where Wine cannot run."""
    reason = available()
    if reason:
        import unittest
        raise unittest.SkipTest(reason)


def env(extra=None):
    e = dict(os.environ)
    e.update({
        "WINEPREFIX": str(PREFIX),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    if extra:
        e.update(extra)
    return e


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


def link_com(number, device):
    """Makes COM<number> of the prefix lead to a device (a pty's slave path)."""
    dosdevices = PREFIX / "dosdevices"
    dosdevices.mkdir(parents=True, exist_ok=True)
    link = dosdevices / f"com{number}"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(device)


def unlink_com(number):
    link = PREFIX / "dosdevices" / f"com{number}"
    if link.is_symlink() or link.exists():
        link.unlink()


def exe(name):
    path = MINGW_BIN / name
    if not path.exists():
        sys.exit(f"missing {path}: build the mingw flavour first (scripts/build)")
    return path


def run(program, args=(), timeout=120, **kwargs):
    """Runs a Windows program to its end; returns the CompletedProcess (bytes)."""
    return subprocess.run(["wine", str(program), *map(str, args)], env=env(), timeout=timeout,
                          capture_output=True, **kwargs)


def start(program, args=(), **kwargs):
    return subprocess.Popen(["wine", str(program), *map(str, args)], env=env(), **kwargs)


def wait_server():
    """Waits until every Wine process of the prefix has ended."""
    subprocess.run(["wineserver", "-w"], env=env(), timeout=120)


def kill_server():
    subprocess.run(["wineserver", "-k"], env=env(), timeout=60)
    subprocess.run(["wineserver", "-w"], env=env(), timeout=60)
