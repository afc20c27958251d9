"""bootimg sign and bootimg keyfile against an independent implementation (the openssl command),
and the key files a board writes at its first boot against those bootimg makes for it."""
import os
import struct
import subprocess

import pytest

from conftest import BOOTIMG, finish

SRC = os.environ.get("BOOTMGR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
KEYS = os.path.join(SRC, "keys", "test")
PRIVATE = {name: os.path.join(KEYS, f"test_{name}_key.pem") for name in ("production", "development")}
PUBLIC = {name: os.path.join(KEYS, f"test_{name}_key.pub.pem") for name in ("production", "development")}


def bootimg(*args):
    return subprocess.run([BOOTIMG, *map(str, args)], capture_output=True)


def signature_and_payload(image):
    """The signature entry and payload of a version-3 image, read by the header rules."""
    assert image[16:20] == b"HDR3"
    length, = struct.unpack(">I", image[4:8])
    header_len, = struct.unpack(">H", image[22:24])
    assert len(image) == length + 16
    at, signature = 24, None
    while at < header_len:
        kind, size = struct.unpack(">HH", image[at:at + 4])
        if kind == 3:
            s, = struct.unpack(">H", image[at + 4:at + 6])
            signature = image[at + 6:at + 6 + s]
        at += size
    return signature, image[header_len:]


@pytest.mark.parametrize("header_version", [1, 2, 3])
@pytest.mark.parametrize("signer", ["production", "development"])
def test_sign_verifies_with_openssl(tmp_path, header_version, signer):
    payload = tmp_path / "payload"
    payload.write_bytes(os.urandom(5000))
    plain, signed = tmp_path / "plain.img", tmp_path / "signed.img"
    r = bootimg("create", "--kind", "rfs", "--version", "2.0.0.1", "--header-version",
                header_version, "--entry", "7:abcd", payload, "-o", plain) if header_version == 3 else \
        bootimg("create", "--kind", "rfs", "--version", "2.0.0.1", "--header-version",
                header_version, payload, "-o", plain)
    assert r.returncode == 0, r.stderr
    r = bootimg("sign", "--key", PRIVATE[signer], plain, "-o", signed)
    assert r.returncode == 0, r.stderr

    image = signed.read_bytes()
    signature, body = signature_and_payload(image)
    assert body == payload.read_bytes()
    assert struct.unpack(">I", image[8:12])[0] == 0x0473636F  # kind kept, version-2 flag dropped
    sig, data = tmp_path / "sig", tmp_path / "data"
    sig.write_bytes(signature)
    data.write_bytes(body)
    for name, pub in PUBLIC.items():
        v = subprocess.run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature", sig, data],
                           capture_output=True)
        assert (v.returncode == 0) == (name == signer)
    # The CRC (JAMCRC of bytes 4 on) is good: inspect says so.
    r = bootimg("inspect", signed)
    assert r.returncode == 0 and b"crc" in r.stdout and b"good" in r.stdout, r.stdout

    # Signing again replaces the signature entry instead of adding one.
    again = tmp_path / "again.img"
    assert bootimg("sign", "--key", PRIVATE[signer], signed, "-o", again).returncode == 0
    assert again.read_bytes() == image


@pytest.mark.parametrize("case, args, status", [
    ("public key given", ["--key", PUBLIC["production"]], 2),
    ("no key", [], 2),
    ("package of two images", ["--key", PRIVATE["production"], "--package"], 1),
])
def test_sign_refuses(tmp_path, case, args, status):
    payload = tmp_path / "payload"
    payload.write_bytes(b"x" * 100)
    img = tmp_path / "a.img"
    assert bootimg("create", "--kind", "kernel", "--version", "1.0.0.0", payload, "-o",
                   img).returncode == 0
    target = img
    if "--package" in args:
        args = [a for a in args if a != "--package"]
        target = tmp_path / "pkg"
        target.write_bytes(img.read_bytes() * 2)
    r = bootimg("sign", *args, target, "-o", tmp_path / "out")
    assert r.returncode == status, (case, r.stderr)
    assert not (tmp_path / "out").exists()


def decrypt_key_file(data, serial):
    key = (serial + b"\0" * 16)[:16].hex()
    r = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key, "-iv", "0" * 32,
                        "-nopad"], input=data, capture_output=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("serial_args, serial", [
    (["--serial", "SIM000000001"], b"SIM000000001"),
    (["--serial", "AB12"], b"AB12" + b"\0" * 8),
    (["--serial-hex", "0102030405060708090a0b0c"], bytes(range(1, 13))),
])
def test_keyfile_decrypts_with_openssl(tmp_path, serial_args, serial):
    out = tmp_path / "key"
    r = bootimg("keyfile", *serial_args, PUBLIC["development"], "-o", out)
    assert r.returncode == 0, r.stderr
    data = out.read_bytes()
    assert len(data) == 464
    pem = open(PUBLIC["development"], "rb").read()
    assert decrypt_key_file(data, serial) == pem + b"\0" * (464 - len(pem))


@pytest.mark.parametrize("args", [
    ["--serial", "THIRTEENCHARS"],
    ["--serial", ""],
    ["--serial-hex", "00" * 12],
    ["--serial-hex", "xyz"],
    ["--serial", "A", "--serial-hex", "01" * 12],
])
def test_keyfile_refuses_bad_serials(tmp_path, args):
    r = bootimg("keyfile", *args, PUBLIC["production"], "-o", tmp_path / "key")
    assert r.returncode == 2, r.stderr
    assert not (tmp_path / "key").exists()


def test_first_boot_writes_the_key_files_bootimg_makes(board, tmp_path):
    img = board.image(tmp_path, "app", "1.0.0.1")
    board.sim("--write", f"slot1={img}")
    out, status = finish(board.spawn())
    assert "WARNING - problem with security keys" not in out
    for name in ("production", "development"):
        made = tmp_path / f"{name}.key"
        assert bootimg("keyfile", "--serial", "SIM000000001", PUBLIC[name], "-o",
                       made).returncode == 0
        on_board = os.path.join(board.path, "root", "user", f"{name}_key.pub.pem")
        assert open(on_board, "rb").read() == made.read_bytes(), name
