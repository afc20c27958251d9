"""Whole power-ups of bootmgr-sim: each road of a boot once (console lines in order, exit status),
the simulator's refusals, what --status makes of a board."""
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
            (["--board", board.path, "--fault", "flash-read", "--status"], EXIT_USAGE,
             "--fault needs a power-up"),
            (["--board", board.path, "--install", tmp_path / "none"], EXIT_USAGE, "no such file")]:
        r = subprocess.run([SIM, *map(str, args)], capture_output=True, text=True)
        assert (r.returncode, text in r.stderr) == (status, True), r.stderr
    assert "gdbserver=1" not in subprocess.run([SIM, "--help"], capture_output=True).stdout.decode()


def test_status_shows_what_the_boot_path_makes_of_the_board(board):
    v2 = board.image("v2", "2.0.0.2", key=None, hv=2)  # crc good, but never boots
    board.sim("--write", f"slot1={v2}", "--write", f"slot2={board.image('two', '1.0.0.2')}",
              "--boot-slot", 7, "--env", "diagnostics=rescue", "--env", "gdbserver=on",
              "--env", "lowsec=authorised")
    s = board.status()
    assert s["slot1"]["crc"] == "good"
    assert s["slot1"]["boot"].startswith("refused: invalid header 0x8173636f")
    assert (s["slot2"]["boot"], s["eeprom"]["boot_slot_byte"]) == ("accepted", 7)
    assert s["eeprom"]["boots"].startswith("slot 1 (the byte names no slot")
    assert s["environment"]["settings"] == "rescue gdb gdbserver lowsec gdbport=1234"
    assert s["keys"]["production"].startswith("missing")
    assert s["board"]["serial"] == "SIM000000001" and len(s["led"]["registers"].split()) == 16

