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


SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


@pytest.fixture
def token(tmp_path, monkeypatch):
    """A SoftHSM2 token in a scratch directory, holding the test production key."""
    (tmp_path / "tokens").mkdir()
    (tmp_path / "softhsm2.conf").write_text(f"directories.tokendir = {tmp_path}/tokens\n")
    monkeypatch.setenv("SOFTHSM2_CONF", str(tmp_path / "softhsm2.conf"))
    run("softhsm2-util", "--init-token", "--free", "--label", "vendor", "--pin", "1234",
        "--so-pin", "5678")
    run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", PRIVATE["production"], "-out",
        tmp_path / "key8")
    run("softhsm2-util", "--import", tmp_path / "key8", "--token", "vendor", "--label", "prod",
        "--id", "01", "--pin", "1234")
    return f"pkcs11:token=vendor;object=prod;type=private?module-path={SOFTHSM}"


def test_every_signing_road_gives_the_same_image(tmp_path, token, monkeypatch):
    (tmp_path / "pay").write_bytes(os.urandom(7000))
    run(BOOTIMG, "create", "--kind", "kernel", "--version", "3.1.4.1", "--header-version", 1,
        tmp_path / "pay", "-o", tmp_path / "img")
    key = PRIVATE["production"]
    run("openssl", "rsa", "-aes256", "-in", key, "-out", tmp_path / "locked", "-passout", "pass:s3")
    monkeypatch.setenv("KEY_PASS", "s3")
    outside = {  # digest form: how an outside signer signs it
        "sha256": ["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha256"],
        "digestinfo": ["openssl", "pkeyutl", "-sign", "-inkey", key],
        "payload": ["openssl", "dgst", "-sha256", "-sign", key]}
    roads = {"pem": ["--key", key], "passphrase": ["--key", tmp_path / "locked", "--passin",
                                                   "env:KEY_PASS"],
             "token": ["--key", token, "--passin", "pass:1234"],
             "token, PIN in the URI": ["--key", token.replace("?", ";pin-value=1234?")]}
    images = {}
    for name, args in roads.items():
        run(BOOTIMG, "sign", *args, tmp_path / "img", "-o", tmp_path / name)
        images[name] = (tmp_path / name).read_bytes()
    for form, signer in outside.items():
        run(BOOTIMG, "digest", "--form", form, tmp_path / "img", "-o", tmp_path / "tbs")
        (tmp_path / "sig").write_bytes(run(*signer, input=(tmp_path / "tbs").read_bytes()))
        run(BOOTIMG, "attach", "--key", PUBLIC["production"], "--signature", tmp_path / "sig",
            tmp_path / "img", "-o", tmp_path / form)
        images[form] = (tmp_path / form).read_bytes()
    assert len(set(images.values())) == 1, [n for n in images if images[n] != images["pem"]]
    assert len((tmp_path / "tbs").read_bytes()) == 7000


@pytest.mark.parametrize("args, status, text", [
    (["--key", "{locked}"], 2, "{locked}: the key is encrypted; give its passphrase with --passin"),
    (["--key", "{locked}", "--passin", "pass:wrong"], 2, "the passphrase does not decrypt the key"),
    (["--key", "{token}"], 2, "a token that needs a PIN gets it with --passin"),
    (["--key", "{missing}", "--passin", "pass:1234"], 2, "{missing}: no private key there"),
], ids=["encrypted, no passphrase", "wrong passphrase", "token, no PIN", "no such object"])
def test_signing_refusals_name_the_key(tmp_path, token, args, status, text):
    run("openssl", "rsa", "-aes256", "-in", PRIVATE["production"], "-out", tmp_path / "locked",
        "-passout", "pass:s3")
    run(BOOTIMG, "create", "--kind", "rfs", "--version", "1.0.0.0", PRIVATE["production"], "-o",
        tmp_path / "img")
    names = {"locked": tmp_path / "locked", "token": token,
             "missing": token.replace("object=prod", "object=none")}
    r = subprocess.run([BOOTIMG, "sign", *[a.format(**names) for a in args], tmp_path / "img",
                        "-o", tmp_path / "out"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert (r.returncode, text.format(**names) in r.stderr) == (status, True), r.stderr
    assert not (tmp_path / "out").exists()
