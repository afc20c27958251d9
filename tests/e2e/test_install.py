"""bootmgr-sim --install: a rescue download's installation after the board's own start-up, on
the console of a terminal; each road once, with what it leaves on the board and its exit status."""
import os
import subprocess

import pytest

from conftest import EXIT_INSTALL, EXIT_POWER_CUT, SIM, SLOT_QUESTION, finish
from rescue_servers import wait_reading_console

def package(board, *images, broken=None):
    data = bytearray(b"".join(open(i, "rb").read() for i in images))
    if broken is not None:  # a payload byte of that image: its CRC fails
        data[sum(os.path.getsize(i) for i in images[:broken]) + 4096] ^= 0xFF
    (board.tmp / "pkg.bin").write_bytes(data)
    return board.tmp / "pkg.bin"


def test_every_kind_with_the_slot_question_answered(board):
    images = [board.image(k, "4.0.0.1", kind=k, key=None if k == "qorb" else
                          "production", payload=None if k == "application" else os.urandom(15000))
              for k in ("bootloader", "kernel", "rfs", "application", "qorb")]
    os.makedirs(board.file("/tmp/home"))  # a previous power-up's files
    child = board.spawn("--install", package(board, *images))
    child.expect_exact(SLOT_QUESTION)
    child.sendline("2")
    assert finish(child)[1] == 0
    assert not os.path.exists(board.file("/tmp/home")), "the power-up empties /tmp"
    s = board.status()
    assert [(s[r]["version"], s[r]["crc_good"]) for r in ("slot2", "kernel", "rfs")] == \
        [("4.0.0.1", True)] * 3
    assert (s["slot2"]["boot"]["accepted"], s["eeprom"]["boots"]) == (True, 2)
    assert [s["eeprom"][f"image{n}_installed"] is None for n in (1, 2)] == [True, False]
    assert s["keys"]["development"]["usable"] and s["keys"]["development"]["builtin"]
    assert s["install_log"]["last"][0].startswith("File pkg.bin installed from local file at 13:45:3")


ROADS = [
    # (name, images (kind, signing key), the image whose CRC fails, options, console input,
    #  exit status, console text, boot slot byte after)
    ("Enter boots the download", [("application", "production")], None, [], "\n", 0,
     "Booting downloaded image", 1),
    ("a CRC failure voids the package", [("kernel", "production"), ("rfs", "production")],
     1, ["--slot", 2], "", EXIT_INSTALL, "Bad crc for RFS", 1),
    ("the power goes during a flash write", [("kernel", "production")], None,
     ["--fault", "power-cut@2"], "", EXIT_POWER_CUT, "[board] power cut during a flash write", 1),
    ("lowsec=authorised opens the development key",
     [("rfs", "production"), ("application", "development")], None,
     ["--env", "lowsec=authorised", "--slot", 2], "", 0, "Image2 updated succeeded", 2),
]


@pytest.mark.parametrize("name,images,broken,options,keys,status,text,slot_byte", ROADS,
                         ids=[r[0] for r in ROADS])
def test_install_roads(board, name, images, broken, options, keys, status, text, slot_byte):
    pkg = package(board, *[board.image(f"{k}{i}", "5.0.0.1", kind=k, key=key,
                                       payload=None if k == "application" else os.urandom(9000))
                           for i, (k, key) in enumerate(images)], broken=broken)
    r = subprocess.run([SIM, "--board", board.path, *map(str, options), "--install", pkg],
                       input=keys, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=120)
    assert (r.returncode, text in r.stdout) == (status, True), r.stdout
    assert board.status()["eeprom"]["boot_slot_byte"] == slot_byte
    assert os.path.exists(board.file("/user/install.log")) == (status == 0 and slot_byte == 2)


def test_ctrl_c_at_the_slot_question_leaves_the_installation(board):
    child = board.spawn("--install", package(board, board.image("app", "6.0.0.1")))
    child.expect_exact(SLOT_QUESTION)
    wait_reading_console(child.pid)
    child.sendintr()
    child.send("\r")  # the line editor ends the line; the installer sees the break
    rest, status = finish(child)
    assert status == EXIT_INSTALL, rest
    assert "Booting downloaded image" not in rest and "[board] exec" not in rest
    assert board.status()["slot1"]["erased"]
