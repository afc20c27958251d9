"""The bootimg host tool, driven by the scenarios of data/bootimg.txt (whose head lists the
line forms): images decode as the board decodes them, package and inspect walk a package as the
board does, and bad input gets a clear message and a distinct exit status."""
import os
import shlex
import subprocess
import zlib

import pytest

from conftest import BOOTIMG, SRC

HERE = os.path.dirname(__file__)


def scenarios():
    with open(os.path.join(HERE, "data", "bootimg.txt"), encoding="utf-8") as f:
        text = f.read().replace("{keys}", os.path.join(SRC, "keys", "test"))
    return {name: [line for line in lines if line.strip() and not line.startswith("#")]
            for name, *lines in (case.splitlines() for case in text.split("\n== ")[1:])}


CASES = scenarios()


@pytest.mark.parametrize("name", list(CASES))
def test_scenario(tmp_path, name):
    (tmp_path / "P").write_bytes(bytes(range(256)) * 4)
    (tmp_path / "E").write_bytes(b"")
    path = lambda f: tmp_path / f  # noqa: E731
    out = ""
    for line in CASES[name]:
        word, _, rest = line.partition(" ")
        args = rest.split()
        if word == "$":
            command, status = rest.rsplit(" => ", 1)
            r = subprocess.run([BOOTIMG, *shlex.split(command)], capture_output=True, text=True,
                               cwd=tmp_path)
            out = r.stdout + r.stderr
            assert r.returncode == int(status), f"{line}\n{out}"
        elif word in (">", "!>"):
            assert (rest in out) == (word == ">"), f"{line}\n{out}"
        elif word == "bytes":
            at, want = int(args[1], 0), "".join(args[2:])
            assert path(args[0]).read_bytes()[at:at + len(want) // 2].hex() == want, line
        elif word == "crc":
            data = path(args[0]).read_bytes()
            assert int.from_bytes(data[:4], "big") == zlib.crc32(data[4:]) ^ 0xFFFFFFFF, line
        elif word == "same":
            assert path(args[0]).read_bytes() == path(args[1]).read_bytes(), line
        elif word == "absent":
            assert not path(args[0]).exists(), line
        elif word == "poke":
            data = bytearray(path(args[0]).read_bytes())
            at, new = int(args[1], 0), bytes.fromhex(args[2])
            data[at:at + len(new)] = new
            path(args[0]).write_bytes(bytes(data))
        elif word == "cut":
            path(args[0]).write_bytes(path(args[0]).read_bytes()[:-int(args[1])])
        elif word == "append":
            byte, count = args[1].split("*")
            with open(path(args[0]), "ab") as f:
                f.write(bytes.fromhex(byte) * int(count))
        elif word == "cat":
            path(args[0]).write_bytes(b"".join(path(a).read_bytes() for a in args[1:]))
        else:
            raise AssertionError(f"unknown scenario line: {line}")
