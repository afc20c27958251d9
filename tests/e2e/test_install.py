"""Installing image packages on a simulated board through the console of `bootmgr-sim --install`:
a package of every installable kind with the slot question answered, an application booted
straight from the download, and a package that breaks off at an image with a bad CRC. The console
text is compared byte for byte, progress displays included; what landed where is read back from
the board's flash, files and EEPROM."""
import io
import os
import subprocess
import tarfile
import zlib

import pexpect
import pytest

from conftest import BOOTIMG, app_archive, finish

SRC = os.environ.get("BOOTMGR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
PRODUCTION_KEY = os.path.join(SRC, "keys", "test", "test_production_key.pem")

ERASE_BLOCK = 0x20000
FILE_PIECE = 0x10000
SLOT_LIMIT = 0xA00000
SLOT_OFFSET = {1: 0x0000000, 2: 0x1100000}
INSTALLED_AT = "13:45:30 on 24-12-2025"  # the board fixture's RTC
EXTRACTING = "\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
VERIFIED = " Image signature verified. "
QORB_FILE = "tmp/nos-image.gz"


def flash_progress(length):
    """The display of a flash write of `length` bytes from the start of an erase block: five
    blanks, the share of blocks done before each block, then 100%."""
    blocks = (length + ERASE_BLOCK - 1) // ERASE_BLOCK
    steps = "".join(f"\b\b\b\b{i * 100 // blocks:03d}%" for i in range(blocks))
    return "     " + steps + "\b\b\b\b100%\r\n"


def file_progress(length):
    """The display of a file written in 64 KiB pieces (length of at least 256 bytes)."""
    text, written, last = "    ", 0, 0
    while written < length:
        written += min(length - written, FILE_PIECE)
        percent = (written >> 8) * 100 // (length >> 8)
        if percent != last:
            text += f"\b\b\b\b{percent:03d}%"
            last = percent
    return text + "\b\b\b\b100%\r\n"


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


class Image:
    """An image made with bootimg (signed where the board checks a signature)."""

    def __init__(self, tmp_path, kind, version, payload, name=None):
        self.kind, self.version = kind, version
        name = name or kind
        src, out = tmp_path / f"{name}.payload", tmp_path / f"{name}.img"
        src.write_bytes(payload)
        run_bootimg("create", "--kind", kind, "--version", version, src, "-o", out)
        if KINDS[kind]["signed"]:
            signed = tmp_path / f"{name}.signed"
            run_bootimg("sign", "--key", PRODUCTION_KEY, out, "-o", signed)
            out = signed
        self.path = out
        self.data = out.read_bytes()
        self.header_len = int.from_bytes(self.data[22:24], "big")
        self.payload = self.data[self.header_len:]  # as stored, boot loader version record included

    def written(self):
        """What the installer puts in place: the payload or the whole image."""
        return self.payload if KINDS[self.kind]["payload_only"] else self.data

    def installed_text(self, slot):
        """The console text of this image installed into `slot` (asked for or given)."""
        k = KINDS[self.kind]
        text = k["title"] + (VERIFIED if k["signed"] else "")
        if self.kind == "application":
            return (text + f"Installing image as image{slot}: " + flash_progress(len(self.data)) +
                    f"\r\nImage{slot} updated succeeded\r\n")
        if self.kind == "qorb":
            return (text + f"Installing image as image{slot}: Preparing image for installation: " +
                    file_progress(len(self.payload)) + f"\r\nImage{slot} updated succeeded\r\n")
        return text + flash_progress(len(self.written()))


# Per kind: console title, name in the CRC message, signature checked, what is written, and
# where it lands (flash offset, or a file under the board's root for the Q-ORB payload).
KINDS = {
    "bootloader": dict(title="Installing Boot Loader: ", crc_name="UBOOT", signed=False,
                       payload_only=True, offset=0x3F00000),
    "kernel": dict(title="Installing Kernel: ", crc_name="KERNEL", signed=True,
                   payload_only=False, offset=0x2300000),
    "rfs": dict(title="Installing Root Filesystem: ", crc_name="RFS", signed=True,
                payload_only=False, offset=0x3000000),
    "application": dict(title="Installing Application: ", crc_name="APPLICATION", signed=True,
                        payload_only=False, offset=None),
    "qorb": dict(title="Installing Q-ORB application: ", crc_name="Q-ORB APPLICATION",
                 signed=False, payload_only=True, offset=None),
}

# Distinct versions and sizes per kind, so that a mix-up of regions or versions shows.
VERSIONS = {"bootloader": "4.1.0.1", "kernel": "4.2.0.2", "rfs": "4.3.0.3",
            "application": "4.4.0.4", "qorb": "4.5.0.5"}
SIZES = {"bootloader": 6000, "kernel": 300000, "rfs": 200000, "qorb": 150000}


def run_bootimg(*args):
    r = subprocess.run([BOOTIMG, *map(str, args)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r


def make_images(tmp_path, app_name="slot-two"):
    images = {}
    for kind, version in VERSIONS.items():
        if kind == "application":
            payload = app_archive_named(app_name)
        else:
            payload = os.urandom(SIZES[kind])
        images[kind] = Image(tmp_path, kind, version, payload)
    return images


def app_archive_named(name):
    return app_archive({
        "home/bin/install.sh": ("#!/bin/sh\necho e2e install script ran\n", 0o755),
        "home/bin/env-setup": (f"E2E_NAME {name}\n", 0o644),
        "home/bin/mp.elf.strip": ("#!/bin/sh\necho app\n", 0o755),
    })


def package(tmp_path, images, name="all.pkg", corrupt=None):
    """Images back to back; `corrupt` inverts one payload byte of that image (CRC then fails)."""
    data = bytearray()
    for image in images:
        body = bytearray(image.data)
        if image is corrupt:
            body[image.header_len + 100] ^= 0xFF
        data += body
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return path


def flash(board, offset, length):
    """Flash bytes as the board reads them (flash.bin holds each byte's complement)."""
    with open(os.path.join(board.path, "flash.bin"), "rb") as f:
        f.seek(offset)
        return bytes(b ^ 0xFF for b in f.read(length))


def landed(board, image, slot):
    """Whether the image's content is in its place on the board."""
    k = KINDS[image.kind]
    want = image.written()
    if image.kind == "qorb":
        path = os.path.join(board.path, "root", QORB_FILE)
        return os.path.exists(path) and open(path, "rb").read() == want
    offset = SLOT_OFFSET[slot] if image.kind == "application" else k["offset"]
    return flash(board, offset, len(want)) == want


def untouched(board, image, slot):
    if image.kind == "qorb":
        return not os.path.exists(os.path.join(board.path, "root", QORB_FILE))
    offset = SLOT_OFFSET[slot] if image.kind == "application" else KINDS[image.kind]["offset"]
    return flash(board, offset, 4096) == b"\xff" * 4096


def install_log(board):
    path = os.path.join(board.path, "root", "user", "install.log")
    return open(path).read() if os.path.exists(path) else None


def status_lines(board):
    return [line.strip() for line in board.sim("--status").stdout.splitlines()]


def test_full_package_with_the_slot_question_answered_2(board, tmp_path):
    images = make_images(tmp_path)
    order = ["bootloader", "kernel", "rfs", "application", "qorb"]
    pkg = package(tmp_path, [images[k] for k in order])

    child = board.spawn("--install", pkg)
    child.expect_exact(SLOT_QUESTION)
    assert child.before + child.after == (
        EXTRACTING + images["bootloader"].installed_text(2) + images["kernel"].installed_text(2) +
        images["rfs"].installed_text(2) + KINDS["application"]["title"] + VERIFIED + SLOT_QUESTION)
    child.sendline("2")
    rest, status = finish(child)
    # One question for the package: the Q-ORB image goes to the slot already named.
    assert rest == ("2\r\n" + images["application"].installed_text(2)[len(
        KINDS["application"]["title"] + VERIFIED):] + images["qorb"].installed_text(2) +
                    f"Updating install log. File all.pkg installed from local file at "
                    f"{INSTALLED_AT}\r\n")
    assert status == 0

    for kind in order:
        assert landed(board, images[kind], 2), kind
    assert untouched(board, images["application"], 1)
    assert install_log(board) == f"File all.pkg installed from local file at {INSTALLED_AT}\n"

    lines = status_lines(board)
    for start, end in [
            (f"slot 2   0x1100000  application version {VERSIONS['application']} ", "crc good"),
            (f"kernel   0x2300000  kernel      version {VERSIONS['kernel']} ", "crc good"),
            (f"rfs      0x3000000  rfs         version {VERSIONS['rfs']} ", "crc good"),
            (f"boot     0x3f00000  bootloader  version {VERSIONS['bootloader']} ",
             "(version record)")]:
        assert any(line.startswith(start) and line.endswith(end) for line in lines), (start, lines)
    for row in ["slot 1   0x0000000  erased", "boot slot byte: 2", "image1 installed: never",
                f"image2 installed: {INSTALLED_AT}"]:
        assert row in lines, (row, lines)

    # The next power-up boots slot 2 and starts the application it holds.
    child = board.spawn()
    for line in ["Booting image '2'", "Running install script", "e2e install script ran",
                 "[board] exec /bin/backtrace"]:
        child.expect_exact(line + "\r\n")
    _, status = finish(child)
    assert status == 0
    assert ("env", "E2E_NAME=slot-two") in board.events()

    # The rescue menu's hidden V shows every new version; Exit then boots slot 2.
    board.sim("--env", "diagnostics=rescue")
    child = board.spawn()
    child.expect_exact("\r\nOption? : ")
    child.send("V")
    child.expect_exact("V\r\nInstalled images versions: \r\n")
    child.expect_exact("Please select one of the following options:")
    assert child.before == (
        f"\tBoot image  : {VERSIONS['bootloader']}\r\n"
        f"\tRFS image   : {VERSIONS['rfs']}\r\n"
        f"\tKernel image: {VERSIONS['kernel']}\r\n"
        "Unknown image type 0x573636f \r\n"
        "\tDFT image   : 0.0.0.0\r\n"
        "\tOS image 1  : 255.255.255.255\r\n"
        f"\tOS image 2  : {VERSIONS['application']}\r\n")
    child.expect_exact("\r\nOption? : ")
    child.send("E")
    child.expect_exact("E\r\nBooting image '2'\r\n")
    child.expect_exact("[board] exec /bin/backtrace\r\n")
    _, status = finish(child)
    assert status == 0


BOOT_CASES = [
    # (name, archive over the slot limit, answer, booted from the download, slot written)
    ("empty answer boots the download", False, "", True, None),
    ("empty answer boots a download over the slot limit", True, "", True, None),
    ("an answer other than 1 or 2 boots the download", False, "3", True, None),
    ("answer 1 writes slot 1", False, "1", False, 1),
    ("answer 2 writes slot 2", False, "2", False, 2),
    ("answer 1 refuses an image over the slot limit", True, "1", False, None),
]


def big_app_archive():
    # Random bytes do not compress: the archive, and so the image, exceed the slot limit.
    blob = os.urandom(SLOT_LIMIT + 65536)
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, data, mode in [
                ("home/bin/install.sh", b"#!/bin/sh\necho e2e install script ran\n", 0o755),
                ("home/bin/env-setup", b"E2E_NAME downloaded\n", 0o644),
                ("home/bin/mp.elf.strip", b"#!/bin/sh\necho app\n", 0o755),
                ("home/big.bin", blob, 0o644)]:
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


@pytest.mark.parametrize("name,oversize,answer,booted,slot", BOOT_CASES,
                         ids=[c[0] for c in BOOT_CASES])
def test_application_slot_answer(board, tmp_path, name, oversize, answer, booted, slot):
    archive = big_app_archive() if oversize else app_archive_named("downloaded")
    app = Image(tmp_path, "application", "5.0.0.1", archive)
    assert (len(app.data) > SLOT_LIMIT) == oversize
    pkg = package(tmp_path, [app], name="app.pkg")
    board.sim("--boot-slot", 0)  # names no slot: only an installed application changes it

    child = board.spawn("--install", pkg, timeout=60)
    child.expect_exact(SLOT_QUESTION)
    assert child.before + child.after == (
        EXTRACTING + KINDS["application"]["title"] + VERIFIED + SLOT_QUESTION)
    child.sendline(answer)
    rest, status = finish(child)

    if booted:
        assert rest.startswith(f"{answer}\r\nBooting downloaded image\r\nImage ready to boot...\r\n"
                               "Running install script\r\n"), rest
        assert rest.endswith("[board] exec /bin/backtrace\r\n"), rest
        assert status == 0
        assert ("env", "E2E_NAME=downloaded") in board.events()
    elif slot:
        assert rest == (f"{answer}\r\nInstalling image as image{slot}: " +
                        flash_progress(len(app.data)) + f"\r\nImage{slot} updated succeeded\r\n"
                        f"Updating install log. File app.pkg installed from local file at "
                        f"{INSTALLED_AT}\r\n")
        assert status == 0
    else:
        assert rest == (f"{answer}\r\nInstalling image as image1: Application image is too big "
                        f"for flash ({len(app.data)} > {SLOT_LIMIT})\r\n")
        assert status == 1
        assert not any(kind == "exec" for kind, _ in board.events())

    for n in (1, 2):
        if n == slot:
            assert landed(board, app, n)
        else:
            assert untouched(board, app, n), n
    assert install_log(board) == (
        f"File app.pkg installed from local file at {INSTALLED_AT}\n" if slot else None)
    lines = status_lines(board)
    assert f"boot slot byte: {slot or 0}" in lines
    for n in (1, 2):
        assert (f"image{n} installed: {INSTALLED_AT}" if n == slot else
                f"image{n} installed: never") in lines


CRC_CASES = [
    # (bad kind, the two installed before it, the image after it that must not be reached)
    ("bootloader", ["application", "qorb"], "kernel"),
    ("kernel", ["qorb", "bootloader"], "rfs"),
    ("rfs", ["bootloader", "kernel"], "application"),
    ("application", ["kernel", "rfs"], "qorb"),
    ("qorb", ["bootloader", "rfs"], "kernel"),
]


@pytest.mark.parametrize("bad,before,after", CRC_CASES, ids=[c[0] for c in CRC_CASES])
def test_third_image_with_a_bad_crc_ends_the_package(board, tmp_path, bad, before, after):
    images = make_images(tmp_path)
    order = [images[k] for k in [*before, bad, after]]
    pkg = package(tmp_path, order, corrupt=images[bad])
    broken = bytearray(images[bad].data)
    broken[images[bad].header_len + 100] ^= 0xFF

    child = board.spawn("--install", pkg, "--slot", 2)
    rest, status = finish(child)
    assert rest == (EXTRACTING + "".join(images[k].installed_text(2) for k in before) +
                    KINDS[bad]["title"] +
                    f"Bad crc for {KINDS[bad]['crc_name']}: 0x{jamcrc(bytes(broken[4:])):08x}, "
                    "voiding download\r\n")
    # The verdict of the whole package is a failure: no log line, although two images went in.
    assert status == 1
    assert install_log(board) is None

    for kind in before:
        assert landed(board, images[kind], 2), kind
    for kind in (bad, after):
        if kind not in before:
            assert untouched(board, images[kind], 2), kind
    lines = status_lines(board)
    moved = any(k in ("application", "qorb") for k in before)
    assert f"boot slot byte: {2 if moved else 1}" in lines


FAULT_CASES = [
    # (name, slot 1 holds a good image, boot slot byte before, package kinds, fault,
    #  console text after the images installed before it, exit status, kinds installed,
    #  boot slot byte after)
    ("slot write fails: the boot slot byte leaves the torn slot", True, 2, ["application"],
     "flash-write@1",
     KINDS["application"]["title"] + VERIFIED + "Installing image as image2:      "
     "Flash Write mtd write failed.\r\n\r\nImage2 update failed\r\n"
     "Boot slot set to image1, which still holds a good image\r\n", 1, [], 1),
    ("kernel erase fails after the boot loader went in", False, 1, ["bootloader", "kernel"],
     "flash-erase@2",
     KINDS["kernel"]["title"] + VERIFIED + "     Flash Write mtd erase failed.\r\n\r\n"
     "kernel image update failed\r\n", 1, ["bootloader"], 1),
    ("power cut in the middle of the root file system", False, 1, ["kernel", "rfs"],
     # The kernel (3 erase blocks) takes 3 erases and 384 writes of 1 KiB; then the rfs's
     # erase and its 41st write, at 40 KiB into the region.
     "power-cut@429",
     KINDS["rfs"]["title"] + VERIFIED + "     "
     "[board] power cut during a flash write at 0x300a000\r\n", 11, ["kernel"], 1),
]


@pytest.mark.parametrize("name,slot1,boot_slot,kinds,fault,tail,status,installed,boot_after",
                         FAULT_CASES, ids=[c[0] for c in FAULT_CASES])
def test_failed_flash_work_is_never_reported_as_installed(board, tmp_path, name, slot1, boot_slot,
                                                          kinds, fault, tail, status, installed,
                                                          boot_after):
    images = make_images(tmp_path)
    if slot1:
        old = Image(tmp_path, "application", "1.0.0.9", app_archive_named("slot-one"), "old")
        board.sim("--write", f"slot1={old.path}")
        assert landed(board, old, 1)
    board.sim("--boot-slot", boot_slot)
    pkg = package(tmp_path, [images[k] for k in kinds])

    rest, exit_status = finish(board.spawn("--fault", fault, "--install", pkg, "--slot", 2))
    assert rest == EXTRACTING + "".join(images[k].installed_text(2) for k in installed) + tail
    assert exit_status == status
    assert install_log(board) is None
    for kind in installed:
        assert landed(board, images[kind], 2), kind
    assert f"boot slot byte: {boot_after}" in status_lines(board)
    if slot1:
        child = board.spawn()
        child.expect_exact("Booting image '1'\r\n")
        _, exit_status = finish(child)
        assert exit_status == 0
        assert ("env", "E2E_NAME=slot-one") in board.events()
