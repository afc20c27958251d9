"""The emulated board for the tests: a board directory made with tools/vm/board.py and one QEMU
run per power-up through tools/vm/run.sh on a pseudo-terminal. Expected console texts come from
the simulated board's end-to-end tests, so the two boards are held to the same words."""
import os
import re
import signal
import subprocess
import sys
import time

import pexpect

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
os.environ.setdefault("BOOTMGR_BIN", os.path.join(SRC, "build", "bin"))
os.environ.setdefault("BOOTMGR_SOURCE_DIR", SRC)
sys.path.insert(0, os.path.join(SRC, "tests", "e2e"))

VM_BUILD = os.environ.get("BOOTMGR_VM_BUILD", os.path.join(SRC, "build-vm"))
RUN = os.path.join(SRC, "tools", "vm", "run.sh")
BOARD_TOOL = os.path.join(SRC, "tools", "vm", "board.py")
BOOT_LIMIT = 240  # seconds one power-up may take before run.sh stops it
EXIT_TIME_LIMIT = 3
EXIT_POWER_CUT = 5


class VmBoard:
    def __init__(self, path):
        self.path = str(path)
        self.trace = os.path.join(self.path, "i2c.trace")
        self.seen = 0  # how far wait_console has read the console log of this power-up

    def tool(self, command, *args):
        r = subprocess.run([BOARD_TOOL, command, self.path, *map(str, args)],
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        return r

    def power_up(self, *args, limit=BOOT_LIMIT):
        """One power-up with a binary-clean console; returns the pexpect child."""
        self.seen = 0
        child = pexpect.spawn(RUN, ["--raw", "--build", VM_BUILD, "--timeout", str(limit),
                                    "--rtc", "2025-12-24T13:45:30", "--i2c-trace", self.trace,
                                    *map(str, args), self.path],
                              timeout=limit, encoding="utf-8", codec_errors="replace")
        child.logfile_read = sys.stdout if os.environ.get("E2E_VERBOSE") else None
        return child

    def console(self, exact=False):
        """Everything the last power-up printed on its console; `exact` keeps every \r."""
        with open(os.path.join(self.path, "console.log"), encoding="utf-8", errors="replace",
                  newline="" if exact else None) as f:
            return f.read()

    def wait_console(self, text, limit=60):
        """Waits until the console log holds `text` after what the last wait found."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            at = self.console(exact=True).find(text, self.seen)
            if at >= 0:
                self.seen = at + len(text)
                return
            time.sleep(0.2)
        raise AssertionError(f"the console never showed {text!r}; it ends:\n{self.console()[-400:]}")

    def user_file(self, name):
        """A file of the board's /user (its ext4 disk, read as the board left it), or None."""
        r = subprocess.run([BOARD_TOOL, "user", self.path, name], capture_output=True)
        return r.stdout if r.returncode == 0 else None

    def cut_power(self, child):
        """Kills QEMU where it stands, as a power cut: nothing more reaches any disk."""
        with open(os.path.join(self.path, "qemu.pid"), encoding="ascii") as f:
            os.kill(int(f.read()), signal.SIGKILL)
        _, status = finish(child)
        assert status == EXIT_POWER_CUT

    def eeprom(self, offset):
        with open(os.path.join(self.path, "eeprom.img"), "rb") as f:
            f.seek(offset)
            return f.read(1)[0]

    def led_blinks(self):
        """LED writes that put the LED field (register 5, bits 5..4) to 00, from the I2C trace."""
        transfers = [[]]
        for line in open(self.trace, encoding="utf-8", errors="replace"):
            if re.search(r"i2c_event start\w*\(addr:0x60\)", line):
                transfers.append([])
            elif (m := re.search(r"i2c_send send\(addr:0x60\) data:0x([0-9a-f]{2})", line)):
                transfers[-1].append(int(m[1], 16))
        return sum(1 for t in transfers if len(t) == 2 and t[0] == 5 and t[1] & 0x30 == 0)


def finish(child):
    """Waits for the end of the run and returns (rest of the output, exit status)."""
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus
