"""Shared pieces of the end-to-end tests: where the programs are, fresh simulated boards, test
images made with bootimg from a real application archive, and the simulator on a pseudo-terminal."""
import io
import os
import subprocess
import sys
import tarfile

import pexpect
import pytest

BIN = os.path.abspath(os.environ.get("BOOTMGR_BIN",
                                     os.path.join(os.path.dirname(__file__), "../../build/bin")))
SIM = os.path.join(BIN, "bootmgr-sim")
BOOTIMG = os.path.join(BIN, "bootimg")

EXIT_REBOOT = 10
EXIT_POWER_CUT = 11


def app_archive(files=None):
    """A gzip tar application archive; files maps archive paths to (text, mode)."""
    if files is None:
        files = {
            "home/bin/install.sh": ("#!/bin/sh\necho e2e install script ran\n", 0o755),
            "home/bin/env-setup": ("E2E_NAME board\n", 0o644),
            "home/bin/mp.elf.strip": ("#!/bin/sh\necho app\n", 0o755),
        }
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, (text, mode) in files.items():
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


class Board:
    """A simulated board directory driven through bootmgr-sim."""

    def __init__(self, path):
        self.path = str(path)

    def sim(self, *args, check=True):
        r = subprocess.run([SIM, "--board", self.path, *map(str, args)],
                           capture_output=True, text=True)
        if check and r.returncode != 0:
            raise AssertionError(f"bootmgr-sim {args} failed ({r.returncode}): {r.stderr}")
        return r

    def image(self, tmp_path, name, version, payload=None, kind="application", header_version=3):
        """Makes an image file with bootimg and returns its path."""
        src = tmp_path / f"{name}.payload"
        src.write_bytes(app_archive() if payload is None else payload)
        out = tmp_path / f"{name}.img"
        r = subprocess.run([BOOTIMG, "create", "--kind", kind, "--version", version,
                            "--header-version", str(header_version), str(src), "-o", str(out)],
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        return out

    def spawn(self, *args, timeout=30):
        """One power-up on a pseudo-terminal; returns the pexpect child."""
        child = pexpect.spawn(SIM, ["--board", self.path, *map(str, args)], timeout=timeout,
                              encoding="utf-8", codec_errors="replace")
        child.logfile_read = sys.stdout if os.environ.get("E2E_VERBOSE") else None
        return child

    def events(self):
        with open(os.path.join(self.path, "events.log"), encoding="utf-8",
                  errors="replace") as f:
            return [tuple(line.rstrip("\n").split(" ", 1)) + ("",) * (1 - line.count(" "))
                    for line in f]


@pytest.fixture
def board(tmp_path):
    b = Board(tmp_path / "board")
    b.sim("--new", "--rtc", "2025-12-24 13:45:30")
    return b


def finish(child):
    """Waits for the end of the power-up and returns (all output, exit status)."""
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus
