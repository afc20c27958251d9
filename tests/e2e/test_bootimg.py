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


KEYS = os.path.join(os.environ.get("BOOTMGR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../..")),
                    "keys", "test")
PRIVATE = {n: os.path.join(KEYS, f"test_{n}_key.pem") for n in ("production", "development")}
PUBLIC = {n: os.path.join(KEYS, f"test_{n}_key.pub.pem") for n in ("production", "development")}


def signed_image(tmp_path, payload, name, signer, kind="kernel", tamper=False):
    """An image signed by signer (None: unsigned); tamper changes a payload byte afterwards."""
    out = tmp_path / f"{name}.img"
    assert run("create", "--kind", kind, "--version", "1.0.0.0", payload, "-o", out).returncode == 0
    if signer:
        assert run("sign", "--key", PRIVATE[signer], out, "-o", out).returncode == 0
    if tamper:
        data = bytearray(out.read_bytes())
        data[-1] ^= 1
        out.write_bytes(bytes(data))
    return out


@pytest.mark.parametrize("images,keys,verdicts,status", [
    # images: (signer, tampered); keys given; per image the keys that verify it (None: no line)
    ([("production", False)], ["production", "development"], [["production"]], 0),
    ([("development", False)], ["production", "development"], [["development"]], 0),
    ([("development", False)], ["production"], [[]], 0),
    ([(None, False)], ["production"], [[]], 0),
    ([("production", False)], [], [None], 0),
    ([("production", True)], ["production"], [[]], 1),  # payload changed after signing
    ([("production", False), ("development", False), (None, False)], ["development", "production"],
     [["production"], ["development"], []], 0),
], ids=["production", "development", "development-not-given", "unsigned", "no-keys", "tampered",
        "package"])
def test_inspect_lists_the_keys_that_verify(tmp_path, payload, images, keys, verdicts, status):
    files = [signed_image(tmp_path, payload, f"i{n}", signer, tamper=tamper)
             for n, (signer, tamper) in enumerate(images)]
    target = files[0]
    if len(files) > 1:
        target = tmp_path / "pkg"
        assert run("package", "-o", target, *files).returncode == 0
    key_args = [a for k in keys for a in ("--key", PUBLIC[k])]
    r = run("inspect", *key_args, target)
    assert r.returncode == status, r.stdout + r.stderr
    # The verification lines of each image, in the order of the images.
    per_image, lines = [], r.stdout.splitlines()
    for line in lines:
        if line.startswith("["):
            per_image.append([])
        elif line.strip().startswith("verified by"):
            per_image[-1].append(line.strip())
    assert len(per_image) == len(verdicts)
    for got, want in zip(per_image, verdicts):
        if want is None:
            assert got == []
        elif want:
            assert got == [f"verified by {PUBLIC[k]}" for k in keys if k in want]
        else:
            assert got == ["verified by none of the given keys"]


@pytest.mark.parametrize("key,message", [
    ("missing.pem", "cannot open"),
    (PRIVATE["production"], "not an RSA public key"),
    ("garbage.pem", "not an RSA public key"),
])
def test_inspect_refuses_bad_keys_before_any_output(tmp_path, payload, key, message):
    (tmp_path / "garbage.pem").write_text("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
    img = signed_image(tmp_path, payload, "img", "production")
    r = run("inspect", "--key", PUBLIC["production"], "--key", key, img, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr
    assert r.stdout == ""
