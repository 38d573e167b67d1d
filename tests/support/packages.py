"""Packages made by CPack from the build under test, for the suites that install or unpack them.

A suite makes its own (a second or two) rather than trust one in build/packages: that one may
predate a change to a packaged document that left the programs as they were.
"""
import subprocess
from pathlib import Path

from propsim import work_dir


def make(build_dir, generator):
    """Makes the build's package of one CPack generator (DEB, TGZ, ZIP); returns its path."""
    out = work_dir("cpack-" + generator.lower())
    run = subprocess.run(["cpack", "--config", str(Path(build_dir) / "CPackConfig.cmake"), "-G", generator,
                          "-B", str(out)], capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        raise RuntimeError(f"cpack failed:\n{run.stdout}{run.stderr}")
    (made,) = (p for p in out.iterdir() if p.is_file())
    return made
