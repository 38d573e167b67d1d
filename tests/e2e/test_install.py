"""The Debian package, unpacked into a scratch root: what it holds, and that its programs, man page
and completion work from there."""
import functools
import re
import subprocess
from unittest import mock

import pytest

import packages
import propsim


@functools.cache
def package():
    """(the .deb, the root it is unpacked into)"""
    deb = packages.make(propsim.NATIVE_BIN.parent, "DEB")
    root = propsim.work_dir("install")
    subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True, timeout=60)
    return deb, root


@pytest.fixture(scope="module", autouse=True)
def unpacked():
    """The package is made with the module, so that it lasts as long as the module's tests."""
    package()


def installed(path):
    return package()[1] / "usr" / path


def help_options():
    run = subprocess.run([installed("bin/kestrupload"), "--help"], capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run
    # The help's option lines: "  -p,--port PORT  ..." or "  --eeprom  ...".
    return {o for pair in re.findall(r"^ +(?:(-\w),)?(--[a-z-]+)", run.stdout, re.M) for o in pair if o}


def test_the_package_holds_the_user_programs_and_their_documents_only():
    deb, root = package()
    files = sorted(str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir())
    assert files == ["usr/bin/kestrupload", "usr/bin/propimage", "usr/bin/propsim",
                     "usr/share/bash-completion/completions/kestrupload", "usr/share/doc/kestrup/README.md",
                     "usr/share/man/man1/kestrupload.1"]
    version = subprocess.run(["dpkg-deb", "--field", str(deb), "Version"], capture_output=True, text=True,
                             check=True, timeout=30).stdout.strip()
    run = subprocess.run([installed("bin/kestrupload"), "--version"], capture_output=True, text=True, timeout=30)
    assert (run.stdout, run.returncode) == (f"kestrupload {version}\n", 0)


def test_the_man_page_documents_every_option_and_the_exit_statuses():
    page = installed("share/man/man1/kestrupload.1").read_text()
    options = help_options()
    assert {"--port", "--eeprom", "--version", "-h"} <= options  # the help's layout is still read right
    missing = [o for o in options if o.replace("-", r"\-") not in page]
    assert missing == [], f"not in the man page: {missing}"
    statuses = page.split(".SH EXIT STATUS")[1].split(".SH")[0]
    assert re.findall(r"^\.B (\d)$", statuses, re.M) == ["0", "1", "2"]


def test_the_completion_offers_option_names_and_image_files():
    script = installed("share/bash-completion/completions/kestrupload")
    image_dir = propsim.work_dir("completion")
    (image_dir / "blink.binary").write_bytes(b"")
    asked = subprocess.run(["bash", "-c", f"""
        source {script}
        ask() {{ COMP_WORDS=({installed("bin/kestrupload")} "$@"); COMP_CWORD=$#; _kestrupload; echo "${{COMPREPLY[*]}}"; }}
        ask --ee
        ask --port /dev/null {image_dir}/bl
        ask --reset ''
        """], capture_output=True, text=True, timeout=30)
    assert asked.stdout.splitlines() == ["--eeprom", f"{image_dir}/blink.binary", "dtr rts"], asked


def test_the_installed_kestrupload_loads_an_image_into_the_installed_propsim():
    bin_dir = installed("bin")
    image = propsim.work_dir("install-load") / "image.binary"
    subprocess.run([bin_dir / "propimage", "--size", "1024", image], check=True, timeout=30)
    # A sanitized build is loaded into the plain build's simulator, which keeps the chip's timing.
    sim_bin = bin_dir if propsim.SIM_BIN == propsim.NATIVE_BIN else propsim.SIM_BIN
    with mock.patch.object(propsim, "SIM_BIN", sim_bin), propsim.Propsim(name="install-propsim") as sim:
        run = subprocess.run([bin_dir / "kestrupload", "--port", sim.device, image], capture_output=True,
                             timeout=60)
    assert run.stdout.endswith(b"..OK -> RUN\n") and run.returncode == 0, run
    assert sim.received_image() == image.read_bytes()

