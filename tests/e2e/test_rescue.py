"""Rescue mode on a pseudo-terminal: TFTP from a real server, a break during a transfer, XMODEM-1K
with lrzsz's sender on a pseudo-terminal standing for ttyS0, and X without one."""
import os
import threading
import time

import pytest

from conftest import SLOT_QUESTION, finish
from rescue_servers import TftpServer, send_xmodem

MENU = "\r\nOption? : "


@pytest.fixture
def rescue(board):
    board.sim("--env", "diagnostics=rescue", "--write", f"slot1={board.image('one', '1.0.0.1')}")
    return board


def tftp_dialogue(child, filename):
    for prompt, text in [(MENU, "T"), ("IP addr    :", "192.168.1.20\r"), ("Netmask    :", "\r"),
                         ("Gateway    :", "\r"), ("Server addr:", "127.0.0.1\r"),
                         ("Image Filename: ", filename + "\r")]:
        child.expect_exact(prompt)
        child.send(text)


def leave(child, slot):
    child.expect_exact(MENU)
    child.send("E")
    child.expect_exact(f"Booting image '{slot}'\r\n")
    return finish(child)


def test_tftp_installation_into_slot_2(rescue, tmp_path):
    server = TftpServer(tmp_path)  # serves the image file bootimg makes there
    rescue.image("switch", "2.0.0.0")
    child = rescue.spawn("--tftp-port", server.port)
    tftp_dialogue(child, "switch.signed")
    child.expect_exact(SLOT_QUESTION)
    child.send("2\r")
    _, status = leave(child, 2)
    server.stop()
    assert status == 0
    assert "installed from 127.0.0.1" in open(rescue.file("/user/install.log")).read()


def test_a_break_during_a_transfer_goes_to_the_tftp_command_only(rescue, tmp_path):
    server = TftpServer(tmp_path / "tftproot", silent=True)  # takes the request, never answers
    child = rescue.spawn("--tftp-port", server.port)
    tftp_dialogue(child, "slow.pkg")
    for attempt in (1, 2, 3):
        child.expect_exact("Installing image slow.pkg from TFTP server 127.0.0.1\r\n")
        while len(server.clients) < attempt:
            time.sleep(0.01)
        child.sendintr()  # the tftp client dies of it; the boot manager, as under system(), not
        child.expect_exact(f"Attempt {attempt}/3 of tftp timed out\r\n", timeout=5)
    child.expect_exact("Tftp download failed. Aborting\r\n")
    _, status = leave(child, 1)
    server.stop()
    assert status == 0


def test_xmodem_installation_over_ttys0(rescue, tmp_path):
    link, package = tmp_path / "ttyS0", rescue.image("serial", "3.0.0.0")
    sender = threading.Thread(target=send_xmodem, args=(package, link, 120), daemon=True)
    sender.start()
    while not os.path.lexists(link):
        time.sleep(0.01)
    child = rescue.spawn("--ttyS0", link, timeout=120)
    child.expect_exact(MENU)
    child.send("X")
    child.expect_exact(SLOT_QUESTION)
    child.send("2\r")
    _, status = leave(child, 2)
    sender.join()
    assert status == 0 and "xmodem" in open(rescue.file("/user/install.log")).read()


def test_x_without_a_line_is_refused_at_once(rescue):
    child = rescue.spawn()
    child.expect_exact(MENU)
    child.send("X")
    child.expect_exact("[board] ttyS0 is not connected: the XMODEM download needs --ttyS0 PATH")
    child.expect_exact("Can't open serial port!")
    assert leave(child, 1)[1] == 0 and not os.path.exists(rescue.file("/tmp/image"))
