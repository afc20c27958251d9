#!/usr/bin/python3
"""Regenerates the cryptographic library's test fixtures with independent oracles.

Digests come from Python's hashlib, AES-CBC ciphertexts, RSA keys, signatures and the crafted
PKCS#1 blocks from the OpenSSL command line (its raw private-key operation signs any block). Messages are not stored: they are rebuilt in the
tests from a seed with the same xorshift32 generator as below, so the files stay small.

Run from anywhere: /usr/bin/python3 tools/crypto-fixtures/generate.py
The output is committed; the unit tests never run the oracles themselves.
"""
import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "crypto",
                   "fixtures")
rng = random.Random(20240611)
# Statuses are written by their names in crypto/status.h.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "crypto",
                       "status.h")) as _f:
    STATUS = {int(v): n for n, v in re.findall(r"X\((\w+), (-?\d+)\)", _f.read())}


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
    with open(os.path.join(OUT, "digest_vectors.tsv"), "w") as f:
        f.write("# Rows as in digest.tsv, of xorshift32 messages: SHA-224, SHA-256, SHA-384, SHA-512\n"
                "algorithm\tmessage\tlength\tpieces\tstatus\tdigest\n")
        for n in lengths:
            seed = rng.randrange(1, 1 << 32)
            m = xorshift_bytes(seed, n)
            for algorithm, h in ((14, hashlib.sha224), (11, hashlib.sha256), (12, hashlib.sha384),
                                 (13, hashlib.sha512)):
                f.write("%d\txorshift:%d\t%d\t-\tOK\t%s\n" % (algorithm, seed, n,
                                                               h(m).hexdigest()))


def aes():
    with open(os.path.join(OUT, "aes_vectors.tsv"), "w") as f:
        f.write("# Rows as in aes.tsv: CBC encryption of xorshift32 plaintexts, the ciphertext's SHA-256\n"
                "name\tkey\tkeylen\tctxdir\tdir\tlength\tmode\tiv\tinput\tstatus\toutput\n")
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
            f.write("openssl\t%s\t%d\t1\t1\t%d\t-\t%s\txorshift:%d\tOK\tsha256:%s\n"
                    % (key.hex(), len(key), n, iv.hex(), seed, hashlib.sha256(ct).hexdigest()))


def raw_sign(keyfile, em, tmp):
    path = os.path.join(tmp, "em.bin")
    with open(path, "wb") as f:
        f.write(em)
    # The raw private-key operation: an unpadded "decryption" is m^d mod n.
    return run(["openssl", "pkeyutl", "-decrypt", "-inkey", keyfile, "-pkeyopt",
                "rsa_padding_mode:none", "-in", path])


def rsa():
    tmp = tempfile.mkdtemp()
    sigs = open(os.path.join(OUT, "rsa_signatures.tsv"), "w")
    sigs.write("# OpenSSL signatures (RSASSA-PKCS1-v1_5 with SHA-256), as rows of pkcs1_vectors.tsv\n"
               "class\tname\tkey\tdigest\tsignature\tstatus\talgorithm\n")
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
                sigs.write("openssl\t%s\t%s.pub.pem\t%s\t%s\tOK\t11\n"
                           % (name, name, hashlib.sha256(msg).hexdigest(), sig.hex()))


SHA256_OID = bytes.fromhex("608648016503040201")
NULL = "null"  # the parameters as DER encodes them; None: parameters absent


def der_length(n, form):
    assert n < 256
    if form == "zero":  # a long form with a leading zero octet
        return bytes([0x82, 0, n])
    if form == "long" or n >= 128:  # "long": the long form where the short one serves
        return bytes([0x81, n])
    return bytes([n])


def tlv(tag, content, form="der"):
    if form == "indefinite":
        return bytes([tag, 0x80]) + content + b"\x00\x00"
    return bytes([tag]) + der_length(len(content), form) + content


def digest_info(d, form=None, tag=None, oid=SHA256_OID, params=NULL, algid_front=b"",
                algid_back=b"", outer_front=b"", outer_back=b""):
    """DigestInfo of digest d; form and tag map a level (outer, algid, oid, null, digest) to a
    length form or an identifier octet other than DER's."""
    form, tag = form or {}, tag or {}

    def el(level, default_tag, content):
        return tlv(tag.get(level, default_tag), content, form.get(level, "der"))
    p = el("null", 0x05, b"") if params == NULL else (params or b"")
    algid = el("algid", 0x30, algid_front + el("oid", 0x06, oid) + p + algid_back)
    return el("outer", 0x30, outer_front + algid + el("digest", 0x04, d) + outer_back)


def cube_root(x):
    """The largest r with r**3 <= x."""
    r = 1 << ((x.bit_length() + 2) // 3)
    while True:
        s = (2 * r + x // (r * r)) // 3
        if s >= r:
            break
        r = s
    while r ** 3 > x:
        r -= 1
    while (r + 1) ** 3 <= x:
        r += 1
    return r


def forge_e3(k, head, tail):
    """A signature for public exponent 3 whose cube, taken as an integer with no reduction, is
    head, then any bytes, then tail: the high bits of s fix the head, its low bits the tail."""
    bits = 8 * len(tail)
    want = int.from_bytes(tail, "big")
    assert want & 1, "an odd tail has exactly one cube root modulo 2**bits"
    low = 1
    for i in range(1, bits):
        if pow(low, 3, 1 << (i + 1)) != want % (1 << (i + 1)):
            low |= 1 << i
    top = int.from_bytes(head + b"\xff" * (k - len(head)), "big")
    s = (cube_root(top) >> bits << bits) | low
    while s ** 3 > top:
        s -= 1 << bits
    em = (s ** 3).to_bytes(k, "big")
    assert em.startswith(head) and em.endswith(tail)
    return s.to_bytes(k, "big")


def pkcs1():
    """RSASSA-PKCS1-v1_5 SHA-256 vectors: every malformation class of the signature block, made
    with OpenSSL's raw private-key operation, and a forgery for a key with exponent 3."""
    tmp = tempfile.mkdtemp()
    keys = {}
    for name, exponent in (("pkcs1_e65537", 65537), ("pkcs1_e3", 3)):
        priv = os.path.join(tmp, name + ".pem")
        run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
             "-pkeyopt", "rsa_keygen_pubexp:%d" % exponent, "-out", priv])
        run(["openssl", "pkey", "-in", priv, "-pubout", "-out",
             os.path.join(OUT, name + ".pub.pem")])
        modulus = run(["openssl", "rsa", "-in", priv, "-noout", "-modulus"]).decode()
        keys[name] = (priv, int(modulus.split("=")[1], 16))
    k = 256
    d = hashlib.sha256(b"pkcs1 vectors").digest()
    other = hashlib.sha256(b"x").digest()
    h = bytes.fromhex
    good = digest_info(d)
    null_el = b"\x05\x00"
    garbage = bytes(range(0x41, 0x61))

    def block(info, head=b"\x00\x01", tail=b""):
        body = b"\x00" + info + tail
        return head + b"\xff" * (k - len(head) - len(body)) + body

    def ff_run(count):  # an OCTET STRING of zeros fills the block: DER, but no DigestInfo
        rest = k - 3 - count
        return b"\x00\x01" + b"\xff" * count + b"\x00\x04\x81" + bytes([rest - 3]) + \
            bytes(rest - 3)

    # class, name, block, status of the whole check (or "reject": any failure), algorithm
    # extracted ("-": none)
    rows = [
        ("valid", "null_parameters", block(good), 0, 11),
        ("valid", "absent_parameters", block(digest_info(d, params=None)), 0, 11),
        ("padding", "eight_ff", ff_run(8), -7603, "-"),
        ("padding", "seven_ff", ff_run(7), -7702, "-"),
        ("padding", "block_type_2", block(good, head=b"\x00\x02"), -7702, "-"),
        ("padding", "leading_01_without_00", b"\x01\xff" + block(good)[2:], -7702, "-"),
        ("padding", "no_separator", b"\x00\x01" + b"\xff" * (k - 2), -7702, "-"),
        ("padding", "non_ff_in_padding", block(good)[:20] + b"\xfe" + block(good)[21:], -7702,
         "-"),
        ("structure", "trailing_byte", block(good, tail=b"\x00"), -7603, "-"),
        ("structure", "digest_31_bytes", block(digest_info(d[:31])), -7609, "-"),
        ("structure", "digest_not_at_end",
         block(h("3033300d060960864801650304020105000422") + b"\x04\x20" + d), -7609, "-"),
        ("structure", "wrong_oid_arc", block(digest_info(d, oid=SHA256_OID[:-1] + b"\x09")),
         -7609, "-"),
        ("structure", "wrong_oid_prefix", block(digest_info(d, oid=h("608648016503040301"))),
         -7604, "-"),
        ("algorithm", "sha1_digestinfo", block(digest_info(d[:20], oid=h("2b0e03021a"))), -7711,
         5),
        ("algorithm", "sha1_alt_oid", block(digest_info(d[:20], oid=h("2b0e03021d"))), -7711, 5),
        ("algorithm", "md5_digestinfo", block(digest_info(d[:16], oid=h("2a864886f70d0205"))),
         -7711, 4),
        ("algorithm", "digest_mismatch", block(digest_info(other)), -7711, 11),
        ("algorithm", "digest_mismatch_absent_parameters",
         block(digest_info(other, params=None)), -7711, 11),
    ]
    for level in ("outer", "algid", "oid", "null", "digest"):
        rows.append(("ber_long_form", level, block(digest_info(d, form={level: "long"})),
                     "reject", "-"))
        rows.append(("ber_leading_zero", level, block(digest_info(d, form={level: "zero"})),
                     "reject", "-"))
    for level in ("outer", "algid"):
        rows.append(("ber_indefinite", level, block(digest_info(d, form={level: "indefinite"})),
                     "reject", "-"))
    for level, tag in (("outer", 0x31), ("outer", 0x10), ("outer", 0xA0), ("algid", 0x31),
                       ("algid", 0x10), ("oid", 0x0D), ("oid", 0x26), ("null", 0x04),
                       ("null", 0x25), ("null", 0x85), ("digest", 0x03), ("digest", 0x24),
                       ("digest", 0x0C), ("digest", 0x84)):
        rows.append(("changed_tag", "%s_%02x" % (level, tag),
                     block(digest_info(d, tag={level: tag})), "reject", "-"))
    rows.append(("changed_tag", "digest_high_tag_form",
                 block(tlv(0x30, good[2:-34] + b"\x1f\x04\x20" + d)), "reject", "-"))
    for name, kwargs in (("null_in_algid", {"algid_back": null_el}),
                         ("octets_in_algid", {"algid_back": tlv(0x04, garbage)}),
                         ("null_after_digest", {"outer_back": null_el}),
                         ("empty_octets_after_oid", {"params": None, "algid_back": b"\x04\x00"})):
        rows.append(("appended_element", name, block(digest_info(d, **kwargs)), "reject", "-"))
    rows += [
        ("appended_element", "after_digestinfo", block(good + null_el), "reject", "-"),
        ("appended_element", "arc_on_oid", block(digest_info(d, oid=SHA256_OID + b"\x00")),
         "reject", "-"),
        ("appended_element", "byte_in_digest",
         block(tlv(0x30, good[2:-34] + tlv(0x04, d + b"\x00"))), "reject", "-"),
        ("prepended_element", "before_digestinfo", block(null_el + good), "reject", "-"),
    ]
    for name, kwargs in (("null_before_algid", {"outer_front": null_el}),
                         ("null_before_oid", {"algid_front": null_el}),
                         ("octets_before_oid", {"algid_front": tlv(0x04, garbage)})):
        rows.append(("prepended_element", name, block(digest_info(d, **kwargs)), "reject", "-"))
    for name, params in (("null_with_content", tlv(0x05, b"\x00")),
                         ("octet_string", tlv(0x04, garbage)),
                         ("sequence", tlv(0x30, tlv(0x04, garbage))),
                         ("context_element", tlv(0xA0, garbage)),
                         ("integer", tlv(0x02, b"\x01")),
                         ("long_octet_string", tlv(0x04, garbage * 3))):
        rows.append(("garbage_parameters", name, block(digest_info(d, params=params)), "reject",
                     "-"))
    lengths_kept = bytearray(good)
    del lengths_kept[15:17]  # the NULL goes; the lengths around it still count it
    rows.append(("missing_null", "lengths_kept", block(bytes(lengths_kept) + b"\x00\x00"),
                 "reject", "-"))
    rows.append(("missing_null", "outer_length_kept",
                 block(b"\x30\x31" + digest_info(d, params=None)[2:] + b"\x00\x00"), "reject",
                 "-"))

    priv, n = keys["pkcs1_e65537"]
    key = "pkcs1_e65537.pub.pem"
    out = open(os.path.join(OUT, "pkcs1_vectors.tsv"), "w")
    out.write("# status: of the whole check (OK good; reject: any failure); algorithm: the one the\n"
              "# carried DigestInfo names, when the digest can be extracted at all (- when not)\n"
              "class\tname\tkey\tdigest\tsignature\tstatus\talgorithm\n")
    counts = {}

    def emit(cls, name, keyfile, sig, status, algorithm, digest=d):
        fields = (cls, name, keyfile, digest.hex(), sig.hex(), STATUS.get(status, status),
                  algorithm)
        out.write("\t".join(str(x) for x in fields) + "\n")
        counts[cls] = counts.get(cls, 0) + 1

    for cls, name, em, status, algorithm in rows:
        assert len(em) == k, (name, len(em))
        emit(cls, name, key, raw_sign(priv, em, tmp), status, algorithm)
    emit("range", "equal_to_modulus", key, n.to_bytes(k, "big"), -7702, "-")
    for i in range(1000):  # a good signature small enough that adding n still fits in k bytes
        other = hashlib.sha256(b"above the modulus %d" % i).digest()
        s = int.from_bytes(raw_sign(priv, block(digest_info(other)), tmp), "big")
        if s + n < 1 << (8 * k):
            emit("range", "good_plus_modulus", key, (s + n).to_bytes(k, "big"), -7702, "-", other)
            break
    emit("range", "all_ff", key, b"\xff" * k, -7702, "-")

    priv3, _ = keys["pkcs1_e3"]
    emit("valid", "exponent_3", "pkcs1_e3.pub.pem", raw_sign(priv3, block(good), tmp), 0, 11)
    # The forgery needs no private key: a digest whose last byte is odd (the forger tries
    # payloads until one has it), and about 190 bytes of whatever the cube root gives, hidden
    # in the parameters of the AlgorithmIdentifier.
    counter = 0
    while True:
        forged = hashlib.sha256(b"forged payload %d" % counter).digest()
        if forged[-1] & 1:
            break
        counter += 1
    room = k - 11 - 3 - 3 - 11 - 3 - 34
    info = digest_info(forged, params=tlv(0x04, bytes(room)))
    assert len(info) == k - 11
    head = block(info)[:k - 34 - room]
    emit("e3_forgery", "garbage_in_parameters", "pkcs1_e3.pub.pem",
         forge_e3(k, head, b"\x04\x20" + forged), "reject", "-", forged)
    out.close()
    for cls in sorted(counts):
        print("%-20s %d" % (cls, counts[cls]))


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    what = sys.argv[1:] or ["digests", "aes", "rsa", "pkcs1"]
    for w in what:
        globals()[w]()
