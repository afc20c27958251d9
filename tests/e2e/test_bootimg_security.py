"""bootimg sign and keyfile checked against an independent implementation (the openssl command),
and the key files a board writes at its first boot against those bootimg makes for it."""
import os
import subprocess

import pytest

from conftest import BOOTIMG, KEYS as PRIVATE, finish

PUBLIC = {n: key.replace(".pem", ".pub.pem") for n, key in PRIVATE.items()}


def run(*args, **kw):
    r = subprocess.run([*map(str, args)], capture_output=True, **kw)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("header_version", [1, 2, 3])
@pytest.mark.parametrize("signer", ["production", "development"])
def test_sign_verifies_with_openssl(tmp_path, header_version, signer):
    (tmp_path / "payload").write_bytes(os.urandom(5000))
    entry = ["--entry", "7:abcd"] if header_version == 3 else []
    run(BOOTIMG, "create", "--kind", "rfs", "--version", "2.0.0.1", "--header-version", header_version,
        *entry, tmp_path / "payload", "-o", tmp_path / "plain")
    run(BOOTIMG, "sign", "--key", PRIVATE[signer], tmp_path / "plain", "-o", tmp_path / "signed")
    image = (tmp_path / "signed").read_bytes()
    assert image[8:12] == bytes.fromhex("0473636f") and image[16:20] == b"HDR3"
    header_len = int.from_bytes(image[22:24], "big")
    # sign puts its entry last: type 3, size 262, a 256-byte signature
    assert image[header_len - 262:header_len - 256] == bytes.fromhex("000301060100")
    signature = image[header_len - 256:header_len]
    assert image[header_len:] == (tmp_path / "payload").read_bytes()
    (tmp_path / "sig").write_bytes(signature)
    for name, pub in PUBLIC.items():
        v = subprocess.run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature", tmp_path / "sig",
                            tmp_path / "payload"], capture_output=True)
        assert (v.returncode == 0) == (name == signer)
    assert b"good" in run(BOOTIMG, "inspect", tmp_path / "signed")
    run(BOOTIMG, "sign", "--key", PRIVATE[signer], tmp_path / "signed", "-o", tmp_path / "again")
    assert (tmp_path / "again").read_bytes() == image  # the signature entry is replaced, not added


@pytest.mark.parametrize("args, serial", [(["--serial", "SIM000000001"], b"SIM000000001"),
                                          (["--serial", "AB12"], b"AB12" + b"\0" * 8),
                                          (["--serial-hex", "0102030405060708090a0b0c"], bytes(range(1, 13)))])
def test_keyfile_decrypts_with_openssl(tmp_path, args, serial):
    run(BOOTIMG, "keyfile", *args, PUBLIC["development"], "-o", tmp_path / "key")
    plain = run("openssl", "enc", "-d", "-aes-128-cbc", "-K", (serial + b"\0" * 4).hex(), "-iv", "0" * 32,
                "-nopad", input=(tmp_path / "key").read_bytes())
    pem = open(PUBLIC["development"], "rb").read()
    assert plain == pem + b"\0" * (464 - len(pem))


def test_first_boot_writes_the_key_files_bootimg_makes(board, tmp_path):
    board.sim("--write", f"slot1={board.image('app', '1.0.0.1')}")
    assert "WARNING - problem with security keys" not in finish(board.spawn())[0]
    for name in ("production", "development"):
        run(BOOTIMG, "keyfile", "--serial", "SIM000000001", PUBLIC[name], "-o", tmp_path / name)
        on_board = os.path.join(board.path, "root", "user", f"{name}_key.pub.pem")
        assert open(on_board, "rb").read() == (tmp_path / name).read_bytes(), name
