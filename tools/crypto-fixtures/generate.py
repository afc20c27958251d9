#!/usr/bin/python3
"""Regenerates the cryptographic library's test fixtures with independent oracles.

Digests come from Python's hashlib, AES-CBC ciphertexts, RSA keys, signatures and the crafted
PKCS#1 blocks from the OpenSSL command line. Messages are not stored: they are rebuilt in the
tests from a seed with the same xorshift32 generator as below, so the files stay small.

Run from anywhere: /usr/bin/python3 tools/crypto-fixtures/generate.py
The output is committed; the unit tests never run the oracles themselves.
"""
import hashlib
import os
import random
import subprocess
import sys
import tempfile

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "crypto",
                   "fixtures")
rng = random.Random(20240611)


def xorshift_bytes(seed, length):
    """Byte i is the low byte of the (i+1)-th xorshift32 state from seed (non-zero)."""
    x = seed & 0xFFFFFFFF or 1
    out = bytearray(length)
    for i in range(length):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def run(args, data=None):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=True).stdout


def digests():
    lengths = list(range(0, 300)) + [rng.randrange(300, 9000) for _ in range(1700)]
    lengths += [1 << 20, 3 * (1 << 20) + 17]
    with open(os.path.join(OUT, "digest_vectors.txt"), "w") as f:
        f.write("# seed length sha224 sha256 sha384 sha512 (message: xorshift32 bytes)\n")
        for n in lengths:
            seed = rng.randrange(1, 1 << 32)
            m = xorshift_bytes(seed, n)
            f.write("%d %d %s %s %s %s\n" % (seed, n, hashlib.sha224(m).hexdigest(),
                                             hashlib.sha256(m).hexdigest(),
                                             hashlib.sha384(m).hexdigest(),
                                             hashlib.sha512(m).hexdigest()))


def aes():
    with open(os.path.join(OUT, "aes_cbc_vectors.txt"), "w") as f:
        f.write("# key iv seed length sha256(ciphertext) (plaintext: xorshift32 bytes)\n")
        cases = [(bits, rng.randrange(0, 40) * 16) for bits in (128, 192, 256) for _ in range(300)]
        cases += [(bits, (1 << 20) + 16 * rng.randrange(0, 64)) for bits in (128, 192, 256)]
        for bits, n in cases:
            key = bytes(rng.randrange(256) for _ in range(bits // 8))
            iv = bytes(rng.randrange(256) for _ in range(16))
            seed = rng.randrange(1, 1 << 32)
            plain = xorshift_bytes(seed, n)
            ct = run(["openssl", "enc", "-aes-%d-cbc" % bits, "-K", key.hex(), "-iv", iv.hex(),
                      "-nopad"], plain) if n else b""
            assert len(ct) == n
            f.write("%s %s %d %d %s\n" % (key.hex(), iv.hex(), seed, n,
                                          hashlib.sha256(ct).hexdigest()))


DIGESTINFO_PREFIX = {
    "sha256": bytes.fromhex("3031300d060960864801650304020105000420"),
    "sha1": bytes.fromhex("3021300906052b0e03021a05000414"),
    "md5": bytes.fromhex("3020300c06082a864886f70d020505000410"),
}


def raw_sign(keyfile, em, tmp):
    path = os.path.join(tmp, "em.bin")
    with open(path, "wb") as f:
        f.write(em)
    # The raw private-key operation: an unpadded "decryption" is m^d mod n.
    return run(["openssl", "pkeyutl", "-decrypt", "-inkey", keyfile, "-pkeyopt",
                "rsa_padding_mode:none", "-in", path])


def rsa():
    tmp = tempfile.mkdtemp()
    sigs = open(os.path.join(OUT, "rsa_signatures.txt"), "w")
    sigs.write("# key-file sha256(message) signature (OpenSSL, RSASSA-PKCS1-v1_5 with SHA-256)\n")
    crafted = open(os.path.join(OUT, "pkcs1_crafted.txt"), "w")
    crafted.write("# name key-file digest signature op-status op-length verify-status "
                  "(raw RSA of a crafted block)\n")
    for bits in (1024, 2048, 3072, 4096):
        for index in range(2):
            name = "rsa%d_%d" % (bits, index)
            priv = os.path.join(tmp, name + ".pem")
            run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits,
                 "-out", priv])
            run(["openssl", "pkey", "-in", priv, "-pubout", "-out",
                 os.path.join(OUT, name + ".pub.pem")])
            for _ in range(3):
                msg = os.urandom(rng.randrange(1, 5000))
                mpath = os.path.join(tmp, "msg.bin")
                with open(mpath, "wb") as f:
                    f.write(msg)
                sig = run(["openssl", "dgst", "-sha256", "-sign", priv, mpath])
                sigs.write("%s.pub.pem %s %s\n" % (name, hashlib.sha256(msg).hexdigest(), sig.hex()))
            if bits == 2048 and index == 0:
                crafted_blocks(priv, name + ".pub.pem", bits // 8, tmp, crafted)


def crafted_blocks(priv, pubname, k, tmp, out):
    d = hashlib.sha256(b"crafted").digest()
    info = DIGESTINFO_PREFIX["sha256"] + d

    def block(info, head=b"\x00\x01", tail=b""):
        body = b"\x00" + info + tail
        return head + b"\xff" * (k - len(head) - len(body)) + body

    def ff_run(count):
        # An OCTET STRING of zero bytes fills whatever follows the separator: DER that parses
        # but holds no DigestInfo.
        rest = k - 3 - count
        return b"\x00\x01" + b"\xff" * count + b"\x00" + b"\x04\x81" + bytes([rest - 3]) + \
            bytes(rest - 3)

    h = bytes.fromhex
    # name, block, status of the public operation, bytes after the padding, status of the check
    cases = [
        ("good", block(info), 0, len(info), 0),
        ("eight_ff", ff_run(8), 0, k - 11, -7603),
        ("seven_ff", ff_run(7), -7702, 0, -7702),
        ("block_type_2", block(info, head=b"\x00\x02"), -7702, 0, -7702),
        ("leading_01_without_00", b"\x01\xff" + block(info)[2:], -7702, 0, -7702),
        ("no_separator", b"\x00\x01" + b"\xff" * (k - 2), -7702, 0, -7702),
        ("non_ff_in_padding", block(info)[:20] + b"\xfe" + block(info)[21:], -7702, 0, -7702),
        ("trailing_byte", block(info, tail=b"\x00"), 0, len(info) + 1, -7603),
        ("digest_31_bytes", block(h("3030300d06096086480165030402010500041f") + d[:31]), 0, 50,
         -7609),
        ("sha1_digestinfo", block(DIGESTINFO_PREFIX["sha1"] + d[:20]), 0, 35, -7711),
        ("sha1_alt_oid", block(h("3021300906052b0e03021d05000414") + d[:20]), 0, 35, -7711),
        ("md5_digestinfo", block(DIGESTINFO_PREFIX["md5"] + d[:16]), 0, 34, -7711),
        ("wrong_oid_arc", block(h("3031300d060960864801650304020905000420") + d), 0, 51, -7609),
        ("wrong_oid_prefix", block(h("3031300d060960864801650304030105000420") + d), 0, 51, -7604),
        ("digest_not_at_end", block(h("3033300d060960864801650304020105000422") + b"\x04\x20" + d),
         0, 53, -7609),
        ("digest_mismatch", block(DIGESTINFO_PREFIX["sha256"] + hashlib.sha256(b"x").digest()), 0,
         51, -7711),
    ]
    for name, em, op, oplen, verify in cases:
        assert len(em) == k, (name, len(em))
        sig = raw_sign(priv, em, tmp)
        out.write("%s %s %s %s %d %d %d\n" % (name, pubname, d.hex(), sig.hex(), op, oplen, verify))
    # A signature value above the modulus, still k bytes long, is reduced like any other.
    good = int.from_bytes(raw_sign(priv, block(info), tmp), "big")
    modulus = int(run(["openssl", "rsa", "-in", priv, "-noout", "-modulus"]).decode().split("=")[1],
                  16)
    if good + modulus < 1 << (8 * k):
        sig = (good + modulus).to_bytes(k, "big")
        out.write("above_modulus %s %s %s 0 %d 0\n" % (pubname, d.hex(), sig.hex(), len(info)))


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    what = sys.argv[1:] or ["digests", "aes", "rsa"]
    for w in what:
        globals()[w]()
