"""The bootimg host tool: images it creates decode as the board decodes them, inspect reports
every image of a package, and bad input gives a clear message and a distinct exit status."""
import os
import subprocess
import zlib

import pytest

BIN = os.path.abspath(os.environ.get("BOOTMGR_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin")))
BOOTIMG = os.path.join(BIN, "bootimg")


def run(*args, cwd=None):
    return subprocess.run([BOOTIMG, *map(str, args)], capture_output=True, text=True, cwd=cwd)


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


@pytest.fixture
def payload(tmp_path):
    p = tmp_path / "payload"
    p.write_bytes(bytes(range(256)) * 4)
    return p


@pytest.mark.parametrize("header_version,header_len,magic_top,len_field", [
    (1, 16, 0x01, 1024),
    (2, 20, 0x81, 1024),
    (3, 24, 0x01, 1024 + 8),
])
def test_create_layout(tmp_path, payload, header_version, header_len, magic_top, len_field):
    out = tmp_path / "img"
    r = run("create", "--kind", "application", "--version", "1.2.3.4", "--header-version",
            header_version, payload, "-o", out)
    assert r.returncode == 0, r.stderr
    img = out.read_bytes()
    assert len(img) == header_len + 1024
    assert int.from_bytes(img[4:8], "big") == len_field
    assert img[8] == magic_top and img[9:12] == b"\x73\x63\x6f"
    assert img[12:16] == bytes([1, 2, 3, 4])
    assert int.from_bytes(img[0:4], "big") == jamcrc(img[4:])
    assert img[header_len:] == payload.read_bytes()


def test_entries_and_inspect_of_a_padded_package(tmp_path, payload):
    a, b, pkg = tmp_path / "a", tmp_path / "b", tmp_path / "pkg"
    assert run("create", "--kind", "kernel", "--version", "2.0.0.1", "--entry", "3:0004deadbeef",
               "--entry", "9:00", payload, "-o", a).returncode == 0
    assert run("create", "--kind", "bootloader", "--version", "7.7.7.7", "--header-version", "1",
               payload, "-o", b).returncode == 0
    boot = b.read_bytes()
    assert boot[16 + 0xF4:16 + 0x100] == boot[4:16]  # version record in the payload
    assert run("package", "--xmodem-pad", "-o", pkg, a, b).returncode == 0
    assert pkg.stat().st_size % 1024 == 0
    r = run("inspect", pkg)
    assert r.returncode == 0, r.stdout
    for text in ["2 images", "kernel (magic 0x0373636f), version 2.0.0.1, header version 3",
                 "signature entry present (4 bytes)", "bootloader", "version record: version 7.7.7.7",
                 "trailing bytes ignored (XMODEM padding)"]:
        assert text in r.stdout


@pytest.mark.parametrize("mangle,expected", [
    (lambda img: img[:-1], "runs past the end"),
    (lambda img: img[:4] + b"\xff\xff\xff\xff" + img[8:], "runs past the end"),
    (lambda img: bytes([img[0] ^ 1]) + img[1:], "BAD (computed"),
    (lambda img: img[:22] + b"\x00\x10" + img[24:], "header lengths are inconsistent"),
    (lambda img: img[:10], "no image"),
])
def test_inspect_reports_bad_images(tmp_path, payload, mangle, expected):
    good, bad = tmp_path / "good", tmp_path / "bad"
    run("create", "--kind", "rfs", "--version", "1.0.0.0", payload, "-o", good)
    bad.write_bytes(mangle(good.read_bytes()))
    r = run("inspect", bad)
    assert r.returncode == 1
    assert expected in r.stdout


@pytest.mark.parametrize("args,message", [
    (["create", "--version", "1.0.0.0", "P", "-o", "x"], "--kind is required"),
    (["create", "--kind", "toaster", "--version", "1.0.0.0", "P", "-o", "x"], "unknown image kind"),
    (["create", "--kind", "kernel", "--version", "1.0.256.0", "P", "-o", "x"], "version must be"),
    (["create", "--kind", "kernel", "--version", "1.0.0.0", "--header-version", "4", "P", "-o", "x"],
     "header version must be"),
    (["create", "--kind", "kernel", "--version", "1.0.0.0", "--header-version", "1", "--entry",
      "7:00", "P", "-o", "x"], "header entries need header version 3"),
    (["create", "--kind", "kernel", "--version", "1.0.0.0", "missing", "-o", "x"], "cannot open"),
    (["create", "--bogus"], "unknown option"),
    (["inspect"], "no FILE given"),
    (["package", "P"], "-o OUTPUT is required"),
    (["frobnicate"], "unknown subcommand"),
])
def test_usage_errors(tmp_path, payload, args, message):
    args = [str(payload) if a == "P" else a for a in args]
    r = run(*args, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr
    assert not (tmp_path / "x").exists()


def test_package_refuses_a_bad_crc_unless_forced(tmp_path, payload):
    img, pkg = tmp_path / "img", tmp_path / "pkg"
    run("create", "--kind", "kernel", "--version", "1.0.0.0", "--crc", "0x1234", payload, "-o", img)
    assert run("package", "-o", pkg, img).returncode == 1
    assert not pkg.exists()
    assert run("package", "--force", "-o", pkg, img).returncode == 0
    assert pkg.read_bytes() == img.read_bytes()
