"""Whole power-ups of bootmgr-sim: each road of a boot once (console lines in order, exit status),
the simulator's refusals, what --status makes of a board."""
import os
import subprocess

import pytest

from conftest import (EXIT_BOARD, EXIT_INPUT_ENDED, EXIT_REBOOT, EXIT_USAGE, SIM)

ROADS = [
    # (name, preparing options, power-up options, console lines in order, exit status)
    ("slot 1 fails its CRC, slot 2 boots", ["--corrupt", "slot1"], [],
     ["Booting image '1'", "Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "e2e install script ran", "[board] exec /bin/backtrace"], 0),
    ("bus 0 cannot be opened", [], ["--fault", "i2c-open:0"],
     ["ERROR: driver /dev/i2c-0 couldn't be opened", "Booting image '1'",
      "[board] exec /bin/backtrace"], 0),
    ("nothing bootable (prepared and powered up in one run)", [],
     ["--rtc", "2025-12-24 13:45:30", "--erase", "slot1", "--erase", "slot2", "--boot"],
     ["Booting image '2'", "No valid application image found. Trying rescue image",
      "[board] reboot: the board restarts"], EXIT_REBOOT),
    ("console input ends in rescue mode", ["--env", "diagnostics=rescue"], [],
     ["Option? : ", "[board] console input ended (end of file): the run stops"],
     EXIT_INPUT_ENDED),
]


@pytest.mark.parametrize("name,prepare,args,lines,status", ROADS, ids=[r[0] for r in ROADS])
def test_power_up_roads(board, name, prepare, args, lines, status):
    board.sim("--write", f"slot1={board.image('one', '1.0.0.1')}",
              "--write", f"slot2={board.image('two', '1.0.0.2')}", *prepare)
    out = board.sim(*args, status=status, stdin=subprocess.DEVNULL)
    at = 0
    for line in lines:
        at = out.find(line, at)
        assert at >= 0, f"{name}: {line!r} missing or out of order in\n{out}"
    assert len(out) < 8192, "nothing spins"
    with open(f"{board.path}/events.log") as log:
        assert log.readline().startswith("power-up rtc 2025-12-24 13:45:3"), "a power-up is marked"


def test_simulator_refusals(tmp_path, board):
    for args, status, text in [
            (["--board", tmp_path / "none"], EXIT_BOARD, "no board in"),
            (["--board", board.path, "--bogus"], EXIT_USAGE, "unknown option"),
            (["--board", board.path, "--json"], EXIT_USAGE, "--json requires --status"),
            (["--board", board.path, "--skip-same"], EXIT_USAGE, "--skip-same requires --install"),
            (["--board", board.path, "--new", "--new"], EXIT_USAGE, "--new may be given only once"),
            (["--board", board.path, "--write", f"slot1={tmp_path}"], EXIT_USAGE, "cannot read"),
            (["--board", board.path, "--fault", "flash-read", "--status"], EXIT_USAGE,
             "--fault needs a power-up"),
            (["--board", board.path, "--install", tmp_path / "none"], EXIT_USAGE, "no such file")]:
        r = subprocess.run([SIM, *map(str, args)], capture_output=True, text=True)
        assert (r.returncode, text in r.stderr) == (status, True), r.stderr
    assert "gdbserver=1" not in subprocess.run([SIM, "--help"], capture_output=True).stdout.decode()


def test_status_shows_what_the_boot_path_makes_of_the_board(board):
    v2 = board.image("v2", "2.0.0.2", key=None, hv=2)  # crc good, but never boots
    size = os.path.getsize(v2)
    board.sim("--write", f"slot1={v2}", "--read", f"0+{size + 1}={board.tmp}/back", "--write",
              f"slot2={board.image('two', '1.0.0.2')}",
              "--boot-slot", 7, "--env", "diagnostics=rescue", "--env", "gdbserver=on",
              "--env", "lowsec=authorised")
    with open(board.file("/user/production_key.pub.pem"), "wb") as f:
        f.write(b"k" * 447)  # not whole AES blocks
    with open(board.file("/user/development_key.pub.pem"), "wb") as f:
        f.truncate(10 << 20)  # over the key store's limit, whatever it decrypts to
    with open(v2, "rb") as f:  # the bytes as the board reads them, and the erased byte after
        assert (board.tmp / "back").read_bytes() == f.read() + b"\xff"
    s = board.status()
    assert [(k["present"], k["usable"], k["board_says"]) for k in s["keys"].values()] == [
        (True, False, "Input data is not AES size correct"),
        (True, False, "ERROR loading key as length too long 10485760 > 500")]
    assert s["slot1"]["crc_good"] and s["slot1"]["header"] == 2
    assert s["slot1"]["boot"] == {"accepted": False, "refused": "invalid header 0x8173636f (a "
                                  "version-2 header never boots)"}
    assert (s["slot2"]["boot"]["accepted"], s["eeprom"]["boot_slot_byte"]) == (True, 7)
    assert s["eeprom"]["boots"] == 1
    assert [n for n, on in s["settings"].items() if on is True] == ["rescue", "gdb", "gdbserver",
                                                                   "lowsec"]
    assert s["board"]["serial"] == "SIM000000001" and len(s["led"]["registers"]) == 16

