"""The end-to-end tests' programs, fresh simulated boards, and images made with bootimg."""
import io
import json
import os
import subprocess
import sys
import tarfile

import pexpect
import pytest

BIN = os.path.abspath(os.environ.get("BOOTMGR_BIN",
                                     os.path.join(os.path.dirname(__file__), "../../build/bin")))
SRC = os.path.abspath(os.environ.get("BOOTMGR_SOURCE_DIR",
                                     os.path.join(os.path.dirname(__file__), "../..")))
SIM, BOOTIMG = os.path.join(BIN, "bootmgr-sim"), os.path.join(BIN, "bootimg")
KEYS = {k: os.path.join(SRC, "keys", "test", f"test_{k}_key.pem")
        for k in ("production", "development")}
# bootmgr-sim's exit statuses
EXIT_BOARD, EXIT_USAGE, EXIT_INSTALL = 1, 2, 3
EXIT_REBOOT, EXIT_POWER_CUT, EXIT_INPUT_ENDED = 10, 11, 12
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "


def app_archive(says="e2e install script ran", program="echo app\n", filler=0):
    """A gzip tar application archive: an install script that says it ran, the program, and
    `filler` random bytes that make the image that long."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for path, data in [("home/bin/install.sh", f"#!/bin/sh\necho {says}\n".encode()),
                           ("home/bin/mp.elf.strip", f"#!/bin/sh\n{program}".encode()),
                           *([("home/filler", os.urandom(filler))] if filler else [])]:
            info = tarfile.TarInfo(path)
            info.size, info.mode = len(data), 0o755
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def run(*args):
    return subprocess.run([*map(str, args)], capture_output=True, text=True)


class Board:  # a simulated board directory driven through bootmgr-sim
    def __init__(self, path, tmp):
        self.path, self.tmp = str(path), tmp

    def sim(self, *args, status=0, stdin=None):
        r = subprocess.run([SIM, "--board", self.path, *map(str, args)], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, stdin=stdin, timeout=120)
        assert r.returncode == status, f"bootmgr-sim {args}: {r.returncode}\n{r.stdout}"
        return r.stdout

    def image(self, name, version, kind="application", payload=None, key="production", hv=3):
        """An image file made (and signed with a test key, unless key is None) by bootimg."""
        src, out = self.tmp / f"{name}.pay", self.tmp / f"{name}.img"
        src.write_bytes(app_archive() if payload is None else payload)
        assert run(BOOTIMG, "create", "--kind", kind, "--version", version, "--header-version",
                   hv, src, "-o", out).returncode == 0
        if key:
            signed = self.tmp / f"{name}.signed"
            assert run(BOOTIMG, "sign", "--key", KEYS[key], out, "-o", signed).returncode == 0
            return signed
        return out

    def spawn(self, *args, timeout=60, job_control=False):  # a run on a pseudo-terminal
        # job_control: as a job of a shell on a desktop terminal, where Ctrl-Z really stops; a
        # session of its own (plain pexpect, and the board's boot manager) has no one to stop for
        argv = ["--board", self.path, *map(str, args)]
        program, argv = (("/bin/sh", ["-mc", '"$@"', "sh", SIM, *argv]) if job_control
                         else (SIM, argv))
        child = pexpect.spawn(program, argv, timeout=timeout, encoding="utf-8",
                              codec_errors="replace")
        child.logfile_read = sys.stdout if os.environ.get("E2E_VERBOSE") else None
        return child

    def status(self):  # standard output alone is one JSON object
        r = subprocess.run([SIM, "--board", self.path, "--status", "--json"], capture_output=True,
                           text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)

    def file(self, path):  # a path of the board's own file system
        return os.path.join(self.path, "root", path.lstrip("/"))


@pytest.fixture
def board(tmp_path):
    b = Board(tmp_path / "board", tmp_path)
    b.sim("--new", "--rtc", "2025-12-24 13:45:30")
    return b


def finish(child):  # (the rest of the output, the exit status) at the end of the run
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus
