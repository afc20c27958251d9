"""Rescue mode on a pseudo-terminal: a break during a transfer from a real TFTP server, and X
without a line. (The TFTP and XMODEM-1K installations: README.md's rescue walk-through, which
tests/e2e/test_readme.py runs as written.)"""
import os
import time

import pytest

from conftest import finish
from rescue_servers import TftpServer

MENU = "\r\nOption? : "


@pytest.fixture
def rescue(board):
    board.sim("--env", "diagnostics=rescue", "--write", f"slot1={board.image('one', '1.0.0.1')}")
    return board


def leave(child):  # E at the menu: status of the run that boots slot 1
    child.expect_exact(MENU)
    child.send("E")
    child.expect_exact("Booting image '1'\r\n")
    return finish(child)[1]


def test_a_break_during_a_transfer_goes_to_the_tftp_command_only(rescue, tmp_path):
    server = TftpServer(tmp_path / "tftproot", silent=True)  # takes the request, never answers
    child = rescue.spawn("--tftp-port", server.port)
    for prompt, text in [(MENU, "T"), ("IP addr    :", "192.168.1.20\r"), ("Netmask    :", "\r"),
                         ("Gateway    :", "\r"), ("Server addr:", "127.0.0.1\r"),
                         ("Image Filename: ", "slow.pkg\r")]:
        child.expect_exact(prompt)
        child.send(text)
    for attempt in (1, 2, 3):
        child.expect_exact("Installing image slow.pkg from TFTP server 127.0.0.1\r\n")
        while len(server.clients) < attempt:
            time.sleep(0.01)
        child.sendintr()  # the tftp client dies of it; the boot manager, as under system(), not
        child.expect_exact(f"Attempt {attempt}/3 of tftp timed out\r\n", timeout=5)
    child.expect_exact("Tftp download failed. Aborting\r\n")
    assert leave(child) == 0
    server.stopped.set()


def test_x_without_a_line_is_refused_at_once(rescue):
    child = rescue.spawn()
    child.expect_exact(MENU)
    child.send("X")
    child.expect_exact("[board] ttyS0 is not connected: the XMODEM download needs --ttyS0 PATH")
    child.expect_exact("Can't open serial port!")
    assert leave(child) == 0 and not os.path.exists(rescue.file("/tmp/image"))
