#!/usr/bin/python3
"""Creates and changes the board directory of the emulated board: the files that persist across
its power-ups.

  flash.img    64 MiB NOR flash, the first virtio disk; "/dev/mtd0" with 128 KiB erase blocks
  eeprom.img   8 KiB board EEPROM (I2C 0x54 on bus 1): serial number, boot slot byte, install
               time stamps, boot loader environment
  user.img     "/user" (key files, install log, the trial record): an ext4 file system on the
               second virtio disk, mounted with synchronous writes, so a power cut keeps what
               was written; `board.py user BOARD NAME` shows a file of it
  tftp/        what QEMU's built-in TFTP server offers at 10.0.2.2

The region map and EEPROM layout are read from the boot manager's own headers, so the board
cannot drift from what the boot manager expects.

Exit status: 0 success, 1 a board or image file is missing or malformed, 2 usage error."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BOOTIMG = os.environ.get("BOOTIMG", os.path.join(SRC, "build", "bin", "bootimg"))
FLASH_SIZE = 64 * 1024 * 1024
ERASE_SIZE = 128 * 1024
EEPROM_SIZE = 8 * 1024
USER_SIZE = 8 * 1024 * 1024


class BoardError(Exception):
    pass


def header_constants(path):
    with open(os.path.join(SRC, path), encoding="utf-8") as f:
        text = f.read()
    return {m[1]: int(m[2], 0) for m in
            re.finditer(r"constexpr\s+[\w:]+\s+(\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+);", text)}


FLASH = header_constants("flash/flash.h")
I2C = header_constants("board/i2c_devices.h")
REGIONS = {name.lower(): (FLASH[f"FLASH_{name}_OFFSET"],
                          FLASH.get(f"FLASH_{name}_ROOM", FLASH_SIZE - FLASH[f"FLASH_{name}_OFFSET"]))
           for name in ("SLOT1", "SLOT2", "KERNEL", "RFS", "BOOTLOADER")}


def region(spec):
    name, _, extra = spec.partition("+")
    if name not in REGIONS:
        raise BoardError(f"unknown flash region '{name}' (one of {', '.join(REGIONS)})")
    try:
        return REGIONS[name], int(extra, 0) if extra else 0
    except ValueError:
        raise BoardError(f"bad offset in '{spec}'") from None


def check_image(path, what):
    """A file to program or serve must hold well-formed images (bootimg inspect says so)."""
    if not os.path.isfile(path):
        raise BoardError(f"{what} {path}: no such file")
    if not os.access(BOOTIMG, os.X_OK):
        raise BoardError(f"{BOOTIMG} missing: build the host tools first (make vm does)")
    r = subprocess.run([BOOTIMG, "inspect", path], capture_output=True, text=True)
    if r.returncode != 0:
        raise BoardError(f"{what} {path} is not a well-formed image or package:\n"
                         + (r.stdout + r.stderr).strip())


class Board:
    def __init__(self, path):
        self.path = path
        self.flash = os.path.join(path, "flash.img")
        self.eeprom = os.path.join(path, "eeprom.img")
        self.user = os.path.join(path, "user.img")
        self.tftp = os.path.join(path, "tftp")

    def create(self):
        os.makedirs(self.path, exist_ok=True)
        with open(self.flash, "wb") as f:
            for _ in range(FLASH_SIZE // ERASE_SIZE):
                f.write(b"\xff" * ERASE_SIZE)
        with open(self.eeprom, "wb") as f:
            f.write(b"\xff" * EEPROM_SIZE)
        self.poke_eeprom(I2C["EEPROM_SERIAL_OFFSET"], bytes(I2C["EEPROM_SERIAL_LEN"]))
        self.poke_eeprom(I2C["EEPROM_BOOT_ENV_OFFSET"], bytes(I2C["EEPROM_BOOT_ENV_LEN"]))
        shutil.rmtree(self.tftp, ignore_errors=True)
        os.makedirs(self.tftp)
        self.make_user()

    def make_user(self, contents=None):
        """A fresh ext4 file system for "/user", holding the files of `contents` when given."""
        with open(self.user, "wb") as f:
            f.truncate(USER_SIZE)
        e2fs("mke2fs", "-q", "-F", "-t", "ext4", "-L", "user",
             *(["-d", contents] if contents else []), self.user)

    def check(self):
        """The board files QEMU needs, with the sizes the board has."""
        for path, size in ((self.flash, FLASH_SIZE), (self.eeprom, EEPROM_SIZE)):
            if not os.path.isfile(path):
                raise BoardError(f"{path}: missing (create the board with tools/vm/board.py new)")
            if os.path.getsize(path) != size:
                raise BoardError(f"{path}: {os.path.getsize(path)} bytes, the board's part has "
                                 f"{size}")
        os.makedirs(self.tftp, exist_ok=True)
        old = os.path.join(self.path, "user")
        if not os.path.exists(self.user):  # a board of the time /user travelled as a directory
            self.make_user(old if os.path.isdir(old) else None)
            shutil.rmtree(old, ignore_errors=True)

    def user_journal(self):
        """A power cut leaves the journal to replay: the host reads what the board would."""
        e2fs("e2fsck", "-y", "-E", "journal_only", self.user, ok=(0, 1))

    def user_file(self, name):
        self.user_journal()
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "file")
            e2fs("debugfs", "-R", f"dump /{name} {out}", self.user)
            if not os.path.exists(out):
                raise BoardError(f"/user/{name}: no such file on the board")
            return open(out, "rb").read()

    def user_remove(self, name):
        self.user_journal()
        self.user_file(name)
        e2fs("debugfs", "-w", "-R", f"rm /{name}", self.user)

    def poke_eeprom(self, offset, data):
        with open(self.eeprom, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def set_env(self, entries):
        raw = b"".join(e.encode() + b"\0" for e in entries)
        room = I2C["EEPROM_BOOT_ENV_LEN"]
        if len(raw) > room:
            raise BoardError(f"the boot environment does not fit in its {room} bytes")
        self.poke_eeprom(I2C["EEPROM_BOOT_ENV_OFFSET"], raw.ljust(room, b"\0"))

    def program(self, spec):
        """Writes an image file into a region as the factory would: touched blocks erased first."""
        name, _, file = spec.partition("=")
        (offset, room), extra = region(name)
        check_image(file, "image")
        data = open(file, "rb").read()
        if extra or len(data) > room:
            raise BoardError(f"{file}: {len(data)} bytes do not fit region {name} ({room} bytes)")
        first = offset // ERASE_SIZE * ERASE_SIZE
        end = -(-(offset + len(data)) // ERASE_SIZE) * ERASE_SIZE
        with open(self.flash, "r+b") as f:
            f.seek(first)
            f.write(b"\xff" * (end - first))
            f.seek(offset)
            f.write(data)
        print(f"board: wrote {len(data)} bytes of {file} at flash 0x{offset:07x} ({name})")

    def erase(self, name):
        (offset, room), _ = region(name)
        with open(self.flash, "r+b") as f:
            f.seek(offset)
            f.write(b"\xff" * room)

    def corrupt(self, spec):
        """Flips one byte (default: byte 64, inside every image) so its CRC check fails."""
        (offset, _), extra = region(spec)
        where = offset + (extra or 64)
        with open(self.flash, "r+b") as f:
            f.seek(where)
            byte = f.read(1)[0]
            f.seek(where)
            f.write(bytes([byte ^ 0xFF]))

    def serve(self, file):
        check_image(file, "package")
        shutil.copy(file, os.path.join(self.tftp, os.path.basename(file)))


def e2fs(*command, ok=(0,)):
    try:
        r = subprocess.run(command, capture_output=True, text=True)
    except FileNotFoundError:
        raise BoardError(f"{command[0]} missing: apt-get install e2fsprogs") from None
    if r.returncode not in ok:
        raise BoardError(f"{' '.join(command)} failed:\n" + (r.stdout + r.stderr).strip())
    return r


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=__doc__.split(
        "\n\n", 1)[1], formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=("new", "set", "check", "user"),
                   help="new: a fresh board (erased flash, blank EEPROM, empty /user); "
                        "set: change an existing one; check: refuse a missing or malformed board; "
                        "user: write the board's file /user/NAME on standard output")
    p.add_argument("board", help="the board directory")
    p.add_argument("name", nargs="?", help="with user: the file's name in /user")
    p.add_argument("--user-remove", action="append", default=[], metavar="NAME",
                   help="remove the file /user/NAME")
    p.add_argument("--serial", help="unit serial number, up to 12 characters")
    p.add_argument("--boot-slot", type=int, help="the boot slot byte, 0..255")
    p.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                   help="boot loader environment entry (repeatable; replaces the environment), "
                        "e.g. diagnostics=rescue, gdbserver=on")
    p.add_argument("--env-clear", action="store_true", help="empty the boot environment")
    p.add_argument("--write", action="append", default=[], metavar="REGION=FILE",
                   help=f"program an image into a region ({', '.join(REGIONS)})")
    p.add_argument("--erase", action="append", default=[], metavar="REGION")
    p.add_argument("--corrupt", action="append", default=[], metavar="REGION[+OFFSET]",
                   help="flip one byte so the image there fails its CRC check")
    p.add_argument("--serve", action="append", default=[], metavar="PACKAGE",
                   help="offer a package over TFTP (it is checked with bootimg inspect)")
    a = p.parse_args()
    board = Board(a.board)
    try:
        if a.command == "new":
            board.create()
        board.check()
        if a.command == "user":
            if not a.name:
                raise BoardError("user: name the file, e.g. install.log")
            sys.stdout.buffer.write(board.user_file(a.name))
            return 0
        for name in a.user_remove:
            board.user_remove(name)
        if a.serial is not None:
            if len(a.serial.encode()) > I2C["EEPROM_SERIAL_LEN"]:
                raise BoardError(f"--serial {a.serial}: at most 12 characters")
            board.poke_eeprom(I2C["EEPROM_SERIAL_OFFSET"], a.serial.encode().ljust(12, b"\0"))
        if a.boot_slot is not None:
            if not 0 <= a.boot_slot <= 255:
                raise BoardError("--boot-slot: give 0..255")
            board.poke_eeprom(I2C["EEPROM_BOOT_SLOT_OFFSET"], bytes([a.boot_slot]))
        if a.env or a.env_clear:
            board.set_env(a.env)
        for name in a.erase:
            board.erase(name)
        for spec in a.write:
            board.program(spec)
        for spec in a.corrupt:
            board.corrupt(spec)
        for file in a.serve:
            board.serve(file)
    except (BoardError, OSError) as e:
        print(f"board: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
