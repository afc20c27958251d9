"""Rescue mode on a pseudo-terminal: the console's break, quit and stop keys at the menu and
during a transfer from a real TFTP server, and X without a line. (The TFTP and XMODEM-1K
installations: README.md's rescue walk-through, which tests/e2e/test_readme.py runs as written.)"""
import os
import signal
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


def test_break_quit_and_stop_keys_end_the_tftp_command_never_the_boot_manager(rescue, tmp_path):
    server = TftpServer(tmp_path / "tftproot", silent=True)  # takes the request, never answers
    child = rescue.spawn("--tftp-port", server.port, job_control=True)
    child.expect_exact(MENU)
    child.send("\x1c\x1a")  # Ctrl-\ and Ctrl-Z: the key read goes on waiting
    for stop in (signal.SIGTTIN, signal.SIGTTOU):  # as job control sends them
        os.killpg(os.tcgetpgrp(child.child_fd), stop)
    child.send("T")
    child.expect_exact("Performing TFTP rescue")
    assert child.before == "T\r\n"
    for prompt, text in [("IP addr    :", "192.168.1.20\r"), ("Netmask    :", "\r"),
                         ("Gateway    :", "\r"), ("Server addr:", "127.0.0.1\r"),
                         ("Image Filename: ", "slow.pkg\r")]:
        child.expect_exact(prompt)
        child.send(text)
    # Ctrl-C, Ctrl-\ and Ctrl-Z with Ctrl-\ end the tftp client (as under system(), the keys go to
    # the command); the stopped one goes on and meets the quit, which it would not while stopped.
    for attempt, keys in [(1, ["\x03"]), (2, ["\x1c"]), (3, ["\x1a", "\x1c"])]:
        child.expect_exact("Installing image slow.pkg from TFTP server 127.0.0.1\r\n")
        while len(server.clients) < attempt:
            time.sleep(0.01)
        for key in keys:
            child.send(key)
            time.sleep(0.2)  # a stop first, not a quit handled before it
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
