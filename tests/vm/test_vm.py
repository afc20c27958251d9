"""The real boot manager on the emulated board (QEMU e500, Linux, BusyBox): the roads of the
simulated board's end-to-end tests, compared in the same words, one power-up or two per road."""
import os
import subprocess
import time

import pytest

from vmboard import BOARD_TOOL, EXIT_TIME_LIMIT, RUN, VM_BUILD, VmBoard, finish  # noqa: I001
from conftest import BOOTIMG, KEYS, SLOT_QUESTION, app_archive, run  # the e2e helpers, on the path

MENU_PROMPT = "\r\nOption? : "
EXTRACTING = "\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n"
TITLES = {"kernel": "Installing Kernel: ", "rfs": "Installing Root Filesystem: "}
SIZES = {"kernel": 300000, "rfs": 200000}

# Where the simulated board reports in its own words, the emulated board has real ones.
REAL = {"[board] reboot: the board restarts": "reboot: Restarting system"}
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
BOOTS_APP = ["Running install script", "e2e install script ran", "[board] exec /bin/backtrace"]


@pytest.fixture
def board(tmp_path):
    b = VmBoard(tmp_path / "board")
    b.tool("new")
    return b


def image(tmp_path, name, version, kind="application", archive=None):
    """A production-signed image made by bootimg."""
    src, out = tmp_path / f"{name}.pay", tmp_path / f"{name}.img"
    src.write_bytes(archive or (app_archive() if kind == "application" else
                                os.urandom(SIZES[kind])))
    assert run(BOOTIMG, "create", "--kind", kind, "--version", version, src, "-o", out).returncode == 0
    signed = tmp_path / f"{name}.signed"
    assert run(BOOTIMG, "sign", "--key", KEYS["production"], out, "-o", signed).returncode == 0
    return signed


@pytest.fixture
def rescue_board(board, tmp_path):
    board.tool("set", "--env", "diagnostics=rescue", "--boot-slot", "1", "--serial", "VM0000000002",
               "--write", f"slot1={image(tmp_path, 'slot1', '1.0.0.0')}")
    return board


def answer(child, prompt, text):
    child.expect_exact(prompt)
    child.send(text + "\r")


def tftp_install(board, name):
    """A power-up into rescue mode that fetches the package `name` by TFTP, up to its unpacking."""
    child = board.power_up()
    child.expect_exact("Entering Rescue Mode.\r\n")
    child.expect_exact(MENU_PROMPT)
    child.send("T")
    for prompt, text in [("IP addr    :", "10.0.2.15"), ("Netmask    :", "255.255.255.0"),
                         ("Gateway    :", "10.0.2.2"), ("Server addr:", "10.0.2.2"),
                         ("Image Filename: ", name)]:
        answer(child, prompt, text)
    child.expect_exact("\tNetmask    : 255.255.255.0\r\n")
    child.expect_exact("\tGateway    : 10.0.2.2\r\n")
    child.expect_exact("Configuring management port...." + "." * 19 + "\r\n")
    child.expect_exact(f"Installing image {name} from TFTP server 10.0.2.2\r\n")
    child.expect_exact(EXTRACTING)
    return child


def leave_and_boot(child, slot):
    child.expect_exact(MENU_PROMPT)
    child.send("E")
    child.expect_exact(f"Booting image '{slot}'\r\n")
    for line in BOOTS_APP[1:]:
        child.expect_exact(line + "\r\n")
    return finish(child)


INVALID_1 = ["Image has invalid header 0xffffffff. (0x673636f)",
             "Image1 has invalid header... trying Image2."]
ROADS = [  # (name, slots, boot slot byte, console lines, status, slot booted), as on the simulator
    ("good slot 1", ("good", "good"), 1, ["Booting image '1'", "Running install script",
                                          "e2e install script ran", "[board] exec /bin/backtrace"],
     0, 1),
    ("slot 1 fails its CRC", ("crc-bad", "good"), 1,
     ["Booting image '1'", "Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "Running install script", "[board] exec /bin/backtrace"], 0, 2),
    ("both erased", ("erased", "erased"), 1,
     ["Booting image '1'", *INVALID_1, "Booting image '2'",
      "No valid application image found. Trying rescue image",
      "[board] reboot: the board restarts"], 10, None),
]


@pytest.mark.parametrize("name,slots,boot_slot,lines,status,booted", ROADS,
                         ids=[c[0] for c in ROADS])
def test_power_up(board, tmp_path, name, slots, boot_slot, lines, status, booted):
    args = ["--boot-slot", boot_slot]
    for n, state in enumerate(slots, start=1):
        if state != "erased":
            args += ["--write", f"slot{n}={image(tmp_path, f'slot{n}', f'1.0.0.{n}')}"]
        if state == "crc-bad":
            args += ["--corrupt", f"slot{n}"]
    board.tool("set", *args)
    child = board.power_up()
    child.expect(r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d UTC 20\d\d\r\n")  # date: the RTC set the clock
    for line in lines:
        child.expect_exact(REAL.get(line, line) + "\r\n")
    rest, exit_status = finish(child)
    assert exit_status == 0, rest
    assert "Booting image" not in rest, "no third attempt"
    assert "WARNING - problem with security keys" not in board.console()


def test_key_file_is_recreated_after_removal(board, tmp_path):
    board.tool("set", "--serial", "VM0000000001",
               "--write", f"slot1={image(tmp_path, 'slot1', '1.0.0.1')}")
    for removed in (None, "production_key.pub.pem"):
        before = board.user_file("production_key.pub.pem")
        if removed:
            board.tool("set", "--user-remove", removed)
        child = board.power_up()
        child.expect_exact("[board] exec /bin/backtrace\r\n")
        _, status = finish(child)
        assert status == 0
        assert board.user_file("development_key.pub.pem")
        key = board.user_file("production_key.pub.pem")
        assert key and len(key) % 16 == 0 and (before is None or key == before)


def test_tftp_rescue_install_then_the_new_slot_boots(rescue_board, tmp_path):
    kinds = ("kernel", "rfs", "application")
    images = [image(tmp_path, k, f"4.{n}.0.{n}", kind=k) for n, k in enumerate(kinds, 1)]
    package = tmp_path / "vm.pkg"
    subprocess.run([os.path.join(os.environ["BOOTMGR_BIN"], "bootimg"), "package", "-o",
                    package, *images], check=True)
    rescue_board.tool("set", "--serve", package)
    child = tftp_install(rescue_board, "vm.pkg")
    # Every image is checked (and the slot asked) before the first is written.
    for kind in kinds[:2]:
        child.expect_exact(TITLES[kind] + " Image signature verified. ")
    answer(child, SLOT_QUESTION, "2")
    for kind in kinds:
        child.expect_exact("100%\r\n")
    child.expect_exact("Image2 updated succeeded\r\n")
    child.expect_exact("Updating install log. File vm.pkg installed from 10.0.2.2 at ")
    _, status = leave_and_boot(child, 2)
    assert status == 0 and "Attempt" not in rescue_board.console()
    assert rescue_board.eeprom(0x100) == 2
    assert "File vm.pkg installed from 10.0.2.2" in rescue_board.user_file("install.log").decode()

    rescue_board.tool("set", "--env-clear")  # the next power-up: no rescue, the boot slot byte
    child = rescue_board.power_up()
    child.expect_exact("Booting image '2'\r\n")
    for line in BOOTS_APP:
        child.expect_exact(line + "\r\n")
    assert finish(child)[1] == 0


def test_dhcp_at_boot_for_the_debug_server(board, tmp_path):
    board.tool("set", "--env", "gdbserver=on",
               "--write", f"slot1={image(tmp_path, 'slot1', '1.0.0.1')}")
    child = board.power_up()
    answer(child, DHCP_QUESTION, "y")
    child.expect_exact("dhclient: eth0 has 10.0.2.15, gateway 10.0.2.2\r\n")
    child.expect_exact("Booting image '1'\r\n")
    child.expect_exact("Running install script\r\n")
    child.expect_exact("[board] gdbserver :1234 /tmp/home/bin/mp.elf.strip\r\n")
    child.expect_exact("reboot: Restarting system\r\n")
    assert finish(child)[1] == 0
    assert "Mgmt link not available" not in board.console()


def test_xmodem_1k_download_over_the_console(rescue_board, tmp_path):
    package = image(tmp_path, "serial", "3.0.0.0")
    child = rescue_board.power_up()
    child.expect_exact(MENU_PROMPT)
    child.send("X")
    child.expect_exact("Running xmodem rescue.....\r\n")
    child.expect_exact("       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n")
    child.expect_exact("       before initiating the download.\r\n")
    # The board flushes the line after each message and only then reads it; the first reminder
    # shows the wait has begun. The console log is read, not the pty, so that sx finds every
    # byte the board sent it.
    rescue_board.wait_console("before the download can start...")
    child.send("\r")
    rescue_board.wait_console("C")
    sx = subprocess.run(["sx", "-k", "-vv", str(package)], stdin=child.child_fd,
                        stdout=child.child_fd, stderr=subprocess.PIPE, timeout=60)
    assert sx.returncode == 0, sx.stderr
    # The console is ttyS0 here: the next line goes out while the line still has the download's
    # raw output settings, so it ends in a bare line feed (the simulated board's console is apart).
    rescue_board.wait_console("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
                              "\r\r\n    ... Waiting for the <ENTER> key to be hit...")
    child.send("\r")
    child.expect_exact(" Image signature verified. ")
    answer(child, SLOT_QUESTION, "2")
    child.expect_exact("Image2 updated succeeded\r\n")
    _, status = leave_and_boot(child, 2)
    assert status == 0
    assert "from xmodem" in rescue_board.user_file("install.log").decode()


def test_presence_test_passed_by_counting_led_writes(rescue_board):
    child = rescue_board.power_up()
    child.expect_exact(MENU_PROMPT)
    child.send("P")
    child.expect_exact("Do you wish to continue y/N? ")
    child.send("y")  # single keys, no Enter
    child.expect_exact("Hit a key to start the test. The MB LED will blink a number of times.")
    child.send(" ")
    child.expect_exact("\r\nHow many times did the LED blink? ")
    blinks = rescue_board.led_blinks()
    assert 1 <= blinks <= 14
    child.send(f"{blinks}\r")
    child.expect_exact("Correct. Physical presence established and low security mode enabled\r\n")
    _, status = leave_and_boot(child, 1)
    assert status == 0


def test_ctrl_c_at_rescue_prompts_and_the_time_limit(rescue_board):
    child = rescue_board.power_up(limit=30)
    child.expect_exact(MENU_PROMPT)
    time.sleep(1)
    child.send("\x03")  # SIGINT through the console's line discipline
    child.expect_exact("\r\n" + MENU_PROMPT)
    child.send("T")
    child.expect_exact("IP addr    :")
    child.send("12")
    time.sleep(1)
    child.send("\x03")
    child.send("\r")  # the line editor ends the line; the dialogue sees the break
    child.expect_exact("Please select one of the following options:\r\n")
    child.expect_exact(MENU_PROMPT)
    out, status = finish(child)  # nobody answers: the time limit stops the board
    assert status == EXIT_TIME_LIMIT
    assert "did not reset within 30 s" in out and "|" in out


def boots(board, *lines):
    """A power-up without rescue mode that shows these console lines in order and resets."""
    board.tool("set", "--env", "bootlimit=1")
    child = board.power_up()
    for line in lines:
        child.expect_exact(line + "\r\n")
    assert finish(child)[1] == 0
    assert "[board] exec /bin/backtrace" in board.console()


TRIALS = [  # (name, the new image's program, what its trial boot shows, the next power-up)
    ("a confirmed trial stays", "bootmgr confirm\n",
     "bootmgr confirm: image2 confirmed after 1 trial boots", ["Booting image '2'", "new ran"]),
    ("an unconfirmed trial returns", "echo hangs\n", "hangs",
     ["Image2 was not confirmed after 1 trial boots, returning to image1.", "Booting image '1'",
      "old ran", "bootmgr confirm: image2 was not confirmed in time and the board returned to "
      "image1; nothing confirmed"]),
]


@pytest.mark.parametrize("name,program,trial,after", TRIALS, ids=[c[0] for c in TRIALS])
def test_trial_boot_with_the_real_confirm(board, tmp_path, name, program, trial, after):
    old = image(tmp_path, "old", "1.0.0.1", archive=app_archive("old ran", "bootmgr confirm\n"))
    new = image(tmp_path, "new", "2.0.0.0", archive=app_archive("new ran", program))
    board.tool("set", "--env", "diagnostics=rescue", "--env", "bootlimit=1", "--boot-slot", "1",
               "--serial", "VM0000000003", "--write", f"slot1={old}", "--serve", new)
    child = tftp_install(board, new.name)
    answer(child, SLOT_QUESTION, "2")
    child.expect_exact("Image2 boots on trial: the application must confirm it within 1 boots\r\n")
    child.expect_exact(MENU_PROMPT)
    child.send("E")
    for line in ("Image2 boots on trial: boot 1 of 1 before it must be confirmed",
                 "Booting image '2'", "new ran", "[board] exec /bin/backtrace", trial):
        child.expect_exact(line + "\r\n")
    assert finish(child)[1] == 0
    boots(board, *after)
    assert "boots on trial" not in board.console()
    returned = "Image2 not confirmed after 1 trial boots: returned to image1 at "
    assert (returned in board.user_file("install.log").decode()) == ("returns" in name)


def test_power_cuts_in_a_slot_write_after_its_success_line_and_in_a_trial_boot(board, tmp_path):
    old = image(tmp_path, "old", "1.0.0.1", archive=app_archive("old ran", ""))
    other = image(tmp_path, "other", "1.0.0.2", archive=app_archive("slot 2 ran", ""))
    new = image(tmp_path, "new", "2.0.0.0", archive=app_archive("new ran", "", 3 << 20))
    board.tool("set", "--boot-slot", "1", "--serial", "VM0000000004", "--write", f"slot1={old}",
               "--write", f"slot2={other}", "--serve", new)

    def install_into_boot_slot(until):
        board.tool("set", "--env", "diagnostics=rescue", "--env", "bootlimit=1")
        child = tftp_install(board, new.name)
        answer(child, SLOT_QUESTION, "1")
        child.expect_exact(until)
        return child

    # During the write of the boot slot: a whole image boots, the old one or slot 2's.
    board.cut_power(install_into_boot_slot("Installing image as image1:      \b\b\b\b000%"))
    boots(board)
    assert "new ran" not in board.console()
    assert "old ran" in board.console() or "slot 2 ran" in board.console()
    # Just after the success line: the new image is on the medium and boots.
    board.cut_power(install_into_boot_slot("Image1 updated succeeded\r\n"))
    boots(board, "Booting image '1'", "new ran")
    # During a trial boot, once it was counted: the next power-up returns to slot 2.
    child = install_into_boot_slot("Image1 boots on trial: the application must confirm it")
    child.expect_exact(MENU_PROMPT)
    child.send("E")
    child.expect_exact("Image1 boots on trial: boot 1 of 1 before it must be confirmed\r\n")
    board.cut_power(child)
    boots(board, "Image1 was not confirmed after 1 trial boots, returning to image2.",
          "Booting image '2'", "slot 2 ran")


BAD_BOARDS = [  # (what is wrong, how it is made, words of the refusal)
    ("EEPROM image cut short", lambda b: os.truncate(os.path.join(b.path, "eeprom.img"), 100),
     "eeprom.img: 100 bytes, the board's part has 8192"),
    ("flash image missing", lambda b: os.remove(os.path.join(b.path, "flash.img")),
     "flash.img: missing"),
]


@pytest.mark.parametrize("name,spoil,words", BAD_BOARDS, ids=[c[0] for c in BAD_BOARDS])
def test_bad_board_files_stop_before_qemu(board, name, spoil, words):
    spoil(board)
    r = subprocess.run([RUN, "--build", VM_BUILD, board.path], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 1 and words in r.stderr, r.stderr
    assert not os.path.exists(os.path.join(board.path, "console.log")), "QEMU never started"


def test_malformed_package_is_not_served(board, tmp_path):
    bad = tmp_path / "bad.pkg"
    bad.write_bytes(b"\x00" * 100)
    r = subprocess.run([BOARD_TOOL, "set", board.path, "--serve", bad], capture_output=True,
                       text=True)
    assert r.returncode == 1 and "is not a well-formed image or package" in r.stderr
    assert os.listdir(os.path.join(board.path, "tftp")) == []
