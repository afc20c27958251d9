"""Rescue mode end to end: the console of bootmgr-sim on a pseudo-terminal, a real TFTP server on
the loopback address, and lrzsz's XMODEM-1K sender on a pseudo-terminal standing for ttyS0."""
import os
import subprocess
import time

import pexpect
import pytest

from conftest import BOOTIMG, finish
from rescue_servers import SerialLine, TftpServer, wait_reading_console

SRC = os.environ.get("BOOTMGR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
PRODUCTION_KEY = os.path.join(SRC, "keys", "test", "test_production_key.pem")

MENU_PROMPT = "\r\nOption? : "
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "


def signed_image(board, tmp_path, name, version):
    plain = board.image(tmp_path, name + "-plain", version)
    out = tmp_path / f"{name}.img"
    r = subprocess.run([BOOTIMG, "sign", "--key", PRODUCTION_KEY, str(plain), "-o", str(out)],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return out


@pytest.fixture
def rescue_board(board, tmp_path):
    """A board that enters rescue mode, with a good image in slot 1."""
    slot1 = signed_image(board, tmp_path, "slot1", "1.0.0.0")
    board.sim("--env", "diagnostics=rescue", "--write", f"slot1={slot1}", "--boot-slot", "1")
    return board


@pytest.fixture
def tftp(tmp_path):
    server = TftpServer(tmp_path / "tftproot")
    yield server
    server.stop()


@pytest.fixture
def line():
    l = SerialLine()
    yield l
    l.close()


def menu(child):
    child.expect_exact(MENU_PROMPT)


def answer(child, prompt, text):
    child.expect_exact(prompt)
    child.send(text + "\r")


def tftp_dialogue(child, filename, address="192.168.1.20", netmask="", gateway="",
                  server="127.0.0.1"):
    child.send("T")
    child.expect_exact("Performing TFTP rescue. Please answer the following questions "
                       "(enter 'q' to quit):\r\n")
    answer(child, "IP addr    :", address)
    answer(child, "Netmask    :", netmask)
    answer(child, "Gateway    :", gateway)
    answer(child, "Server addr:", server)
    answer(child, "Image Filename: ", filename)


def leave_and_boot(child, slot):
    menu(child)
    child.send("E")
    child.expect_exact(f"Booting image '{slot}'\r\n")
    out, status = finish(child)
    return out, status


def commands(board):
    # events.log writes a line end inside a text as the two characters \n
    return [text.replace("\\n", "\n") for kind, text in board.events() if kind == "system"]


def test_full_rescue_road_installs_into_slot_2_and_boots_it(rescue_board, tmp_path, tftp):
    package = signed_image(rescue_board, tmp_path, "new", "2.0.0.0")
    tftp.put("switch.pkg", package.read_bytes())
    child = rescue_board.spawn("--tftp-port", tftp.port)
    child.expect_exact("Entering Rescue Mode.\r\n")
    menu(child)
    tftp_dialogue(child, "switch.pkg", netmask="255.255.255.0", gateway="192.168.1.1")
    child.expect_exact("\tNetmask    : 255.255.255.0\r\n")
    child.expect_exact("\tGateway    : 192.168.1.1\r\n")
    child.expect_exact("Configuring management port...." + "." * 19 + "\r\n")
    child.expect_exact("Installing image switch.pkg from TFTP server 127.0.0.1\r\n")
    child.expect_exact(" Image signature verified. ")
    answer(child, SLOT_QUESTION, "2")
    child.expect_exact("Image2 updated succeeded\r\n")
    out, status = leave_and_boot(child, 2)
    assert status == 0
    cmds = commands(rescue_board)
    assert "ifconfig eth0 192.168.1.20\n" in cmds
    assert "ifconfig eth0 netmask 255.255.255.0\n" in cmds
    assert "route add default gw 192.168.1.1\n" in cmds
    assert "tftp -g -r switch.pkg -l /tmp/image 127.0.0.1\n" in cmds
    log = open(os.path.join(rescue_board.path, "root", "user", "install.log")).read()
    assert "switch.pkg" in log and "127.0.0.1" in log
    assert "Attempt" not in out


def test_dhcp_road_at_boot_for_the_debug_server(board, tmp_path):
    slot1 = signed_image(board, tmp_path, "slot1", "1.0.0.0")
    board.sim("--env", "gdbserver=on", "--write", f"slot1={slot1}")
    child = board.spawn()
    answer(child, "Confirm: Use DHCP for network configuration? y/N: ", "y")
    child.expect_exact("Booting image '1'\r\n")
    finish(child)  # how the debug server starts is the launch's business
    assert "dhclient -1 eth0" in commands(board)
    assert not any(c.startswith("ifconfig") for c in commands(board))


def test_link_down_then_up_on_the_next_try(rescue_board, tmp_path, tftp):
    child = rescue_board.spawn("--tftp-port", tftp.port, "--link", "down,up")
    menu(child)
    tftp_dialogue(child, "absent.pkg")
    child.expect_exact("Mgmt link not available. Quitting.\r\n")
    child.expect_exact("Please select one of the following options:\r\n")
    menu(child)
    tftp_dialogue(child, "absent.pkg")
    child.expect_exact("Installing image absent.pkg from TFTP server 127.0.0.1\r\n")
    out, status = leave_and_boot(child, 1)
    assert status == 0
    assert sum(c.startswith("tftp ") for c in commands(rescue_board)) == 3


def test_missing_file_three_attempts_then_failure(rescue_board, tftp):
    child = rescue_board.spawn("--tftp-port", tftp.port)
    menu(child)
    tftp_dialogue(child, "missing.pkg")
    for n in (1, 2, 3):
        child.expect_exact("Installing image missing.pkg from TFTP server 127.0.0.1\r\n")
        child.expect_exact(f"Attempt {n}/3 of tftp timed out\r\n")
    child.expect_exact("Tftp download failed. Aborting\r\n")
    out, status = leave_and_boot(child, 1)
    assert status == 0
    assert "Extracting images" not in out
    assert not os.path.exists(os.path.join(rescue_board.path, "root", "tmp", "image"))


def test_bad_typed_values_are_refused_before_any_command(rescue_board):
    child = rescue_board.spawn()
    menu(child)
    child.send("T")
    answer(child, "IP addr    :", "1.2.3.4;reboot")
    child.expect_exact("Invalid IP address. Try again please\r\n")
    answer(child, "IP addr    :", "10.0.0.2")
    answer(child, "Netmask    :", "")
    answer(child, "Gateway    :", "0.0.0.0")
    child.expect_exact("Invalid IP address 0.0.0.0. Try again please\r\n")
    answer(child, "Gateway    :", "")
    answer(child, "Server addr:", "127.0.0.1")
    answer(child, "Image Filename: ", "a;reboot")
    child.expect_exact("Invalid filename. Try again please\r\n")
    answer(child, "Image Filename: ", "$(reboot)")
    child.expect_exact("Invalid filename. Try again please\r\n")
    answer(child, "Image Filename: ", "q")
    menu(child)
    child.send("M")
    answer(child, "MAC address (format nn:nn:nn:nn:nn:nn): ", "1:2:3:4:5:6;rebo")
    child.expect_exact("Invalid MAC address. Try again please\r\n")
    answer(child, "MAC address (format nn:nn:nn:nn:nn:nn): ", "q")
    _, status = leave_and_boot(child, 1)
    assert status == 0
    assert not any(c.startswith(("ifconfig", "tftp", "reboot")) for c in commands(rescue_board))


def xmodem_start(child, line):
    menu(child)
    child.send("X")
    child.expect_exact("Running xmodem rescue.....\r\n")
    child.expect_exact("       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n")
    child.expect_exact("       before initiating the download.\r\n")
    line.wait_raw()
    line.send(b"\r")


def test_xmodem_1k_transfer_of_a_signed_package(rescue_board, tmp_path, line):
    package = signed_image(rescue_board, tmp_path, "serial", "3.0.0.0")
    assert package.stat().st_size % 1024 != 0, "the transfer must pad the last block"
    child = rescue_board.spawn("--ttyS0", line.path, timeout=120)
    xmodem_start(child, line)
    sender = line.sender(package)
    assert sender.wait(timeout=120) == 0, sender.stderr.read()
    child.expect_exact("       Change the baud rate back to 9600 bps, hit the <ENTER> key\r\n")
    line.wait_cooked()
    line.send(b"\n")
    child.expect_exact(" Image signature verified. ")
    answer(child, SLOT_QUESTION, "2")
    child.expect_exact("Image2 updated succeeded\r\n")
    out, status = leave_and_boot(child, 2)
    assert status == 0
    assert "ERROR" not in out
    log = open(os.path.join(rescue_board.path, "root", "user", "install.log")).read()
    assert "xmodem" in log


def test_xmodem_aborted_mid_transfer_installs_nothing(rescue_board, tmp_path, line):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(4 * 1024 * 1024))
    child = rescue_board.spawn("--ttyS0", line.path, timeout=120)
    xmodem_start(child, line)
    sender = line.sender(big)
    time.sleep(0.5)
    assert sender.poll() is None, "the transfer ended before it could be cut"
    sender.kill()
    sender.wait()
    line.send(b"\x18" * 2048)  # CAN: the sender gives up
    child.expect_exact("       Change the baud rate back to 9600 bps, hit the <ENTER> key\r\n")
    line.wait_cooked()
    line.drain()
    line.send(b"\n")
    out, status = leave_and_boot(child, 1)
    assert status == 0
    assert "Extracting images" not in out
    assert not os.path.exists(os.path.join(rescue_board.path, "root", "tmp", "image"))


def test_hidden_options(rescue_board):
    child = rescue_board.spawn()
    menu(child)
    child.send("U")
    child.expect_exact("U\r\nUnknown option 85. Quitting\r\n")
    child.expect_exact("Please select one of the following options:\r\n")
    menu(child)
    child.send("d")
    child.expect_exact("d\r\nUnknown option 68. Quitting\r\n")
    menu(child)
    child.send("V")
    child.expect_exact("Please select one of the following options:\r\n")
    menu(child)
    child.send("m")
    answer(child, "MAC address (format nn:nn:nn:nn:nn:nn): ", "02:11:22:33:44:55")
    menu(child)
    child.send("z")
    child.expect_exact("unknown option \"Z\". Please try again\r\n")
    _, status = leave_and_boot(child, 1)
    assert status == 0
    assert "ifconfig eth0 hw ether 02:11:22:33:44:55\n" in commands(rescue_board)


def interrupt(child):
    wait_reading_console(child.pid)
    child.sendintr()


def test_ctrl_c_in_every_dialogue_brings_the_menu_back(rescue_board, line):
    child = rescue_board.spawn("--ttyS0", line.path)
    menu(child)
    interrupt(child)  # at the option prompt: an empty line, the prompt again
    child.expect_exact("\r\n" + MENU_PROMPT)
    dialogues = [
        ("T", "IP addr    :"),
        ("M", "MAC address (format nn:nn:nn:nn:nn:nn): "),
        ("P", "Do you wish to continue y/N? "),
    ]
    for key, prompt in dialogues:
        child.send(key)
        child.expect_exact(prompt)
        if key != "P":
            child.send("12")
        interrupt(child)
        if key != "P":
            child.send("\r")  # the line editor ends the line; the dialogue sees the break
        child.expect_exact("Please select one of the following options:\r\n")
        menu(child)
    for prompts in (["IP addr    :"], ["IP addr    :", "Netmask    :"],
                    ["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"],
                    ["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:",
                     "Image Filename: "]):
        child.send("T")
        for p in prompts[:-1]:
            answer(child, p, "10.0.0.2" if p != "Netmask    :" else "")
        child.expect_exact(prompts[-1])
        interrupt(child)
        child.send("\r")
        child.expect_exact("Please select one of the following options:\r\n")
        menu(child)
    child.send("X")
    child.expect_exact("       before initiating the download.\r\n")
    line.wait_raw()
    child.sendintr()
    child.expect_exact("       Change the baud rate back to 9600 bps, hit the <ENTER> key\r\n")
    line.wait_cooked()
    line.send(b"\n")
    _, status = leave_and_boot(child, 1)
    assert status == 0
    assert not any(c.startswith(("ifconfig", "tftp", "/usr/bin/rx"))
                   for c in commands(rescue_board))
