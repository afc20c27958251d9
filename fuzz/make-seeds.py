#!/usr/bin/python3
"""Regenerates the seed corpora in fuzz/corpus/<target>/ from images, packages and keys made by
bootimg and openssl, and the hostile inputs every build replays (hostile-*): lengths that wrap 32
bits, version-3 header lengths below the minimum, header entries of length 0 to 3, a signature
length of 65535, DER nested 41 deep or with lengths near 2^32, Base64 of every bad length. Seeds
are small on purpose: libFuzzer mutates them, and small inputs run fast.
    fuzz/make-seeds.py BOOTIMG"""
import os, struct, subprocess, sys, tempfile, zlib

src = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
corpus, keys, tmp = os.path.join(src, "fuzz", "corpus"), os.path.join(src, "keys", "test"), tempfile.mkdtemp()
run = lambda *args, **kw: subprocess.run(args, check=True, capture_output=True, **kw).stdout
bootimg = lambda *args: run(sys.argv[1], *args)
read = lambda name: open(os.path.join(tmp, name), "rb").read()
t = lambda name: os.path.join(tmp, name)


def seed(target, name, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    open(os.path.join(corpus, target, name), "wb").write(data)


# Images of every header version, and the packages made of them.
open(t("payload"), "wb").write(b"payload of a small application image\n")
open(t("kernel"), "wb").write(b"k" * 300)
for v in (1, 2, 3):
    bootimg("create", "--kind", "application", "--version", "1.2.3.%d" % v, "--header-version", str(v), t("payload"), "-o", t("app%d" % v))
bootimg("create", "--kind", "kernel", "--version", "2.0.0.1", "--header-version", "3", "--entry", "7:0102030405", t("kernel"), "-o", t("kernel3"))
bootimg("create", "--kind", "bootloader", "--version", "3.0.0.1", "--header-version", "1", t("payload"), "-o", t("boot1"))
bootimg("create", "--kind", "qorb", "--version", "4.0.0.1", "--header-version", "2", t("payload"), "-o", t("qorb2"))
bootimg("create", "--kind", "rfs", "--version", "5.0.0.1", "--header-version", "3", "--ext-flag", t("payload"), "-o", t("rfs3"))
bootimg("create", "--kind", "application", "--version", "1.0.0.9", "--header-version", "1", "--crc", "0x12345678", t("payload"), "-o", t("badcrc"))
for i in ("app3", "kernel3", "rfs3"):
    for kind, suffix in (("production", "prod"), ("development", "dev")):
        bootimg("sign", "--key", os.path.join(keys, "test_%s_key.pem" % kind), t(i), "-o", t(i + "." + suffix))
bootimg("package", "-o", t("pkg-all"), t("app3.prod"), t("kernel3.prod"), t("rfs3.prod"), t("boot1"), t("qorb2"))
bootimg("package", "--xmodem-pad", "-o", t("pkg-pad"), t("app1"), t("qorb2"))
bootimg("package", "--force", "-o", t("pkg-bad"), t("app2"), t("badcrc"), t("app1"))
for f in "app1 app2 app3 kernel3 boot1 qorb2 rfs3 badcrc app3.prod pkg-all pkg-pad pkg-bad".split():
    seed("image_package", f, read(f))
# install_image: the mode byte (bit 0 slot 2, bit 1 skip same version, bit 2 low security, bit 3
# mend CRCs, bit 4 answer yes), then the file. hdr3_entries: bit 0 low security mode.
for f in "app3.prod kernel3.prod pkg-all pkg-bad".split():
    seed("install_image", f, b"\0" + read(f))
for f in "app1 app3.dev rfs3.dev pkg-pad".split():
    seed("install_image", f + "-lowsec", b"\x0d" + read(f))
seed("install_image", "twice-skip-same", b"\2" + read("pkg-all") * 2)
seed("install_image", "app1-lowsec-yes", b"\x1d" + read("app1"))
for f in "app1 app2 app3 kernel3 app3.prod app3.dev kernel3.prod rfs3.prod".split():
    seed("hdr3_entries", f, b"\0" + read(f))
seed("hdr3_entries", "kernel3.dev-lowsec", b"\1" + read("kernel3.dev"))

# Boot loader environments: NUL-separated name=value strings.
seed("boot_env", "rescue-gdb", b"bootcmd=run boot\0diagnostics=rescue\0gdb=1\0gdbport=2345\0")
seed("boot_env", "all-flags", b"gdbserver=1\0gdbport=70000\0shell=1\0memchk=1\0lowsec=authorised\0")
seed("boot_env", "odd-values", b"gdbport=\0gdbport=-1\0diagnostics=rescuex\0")
seed("boot_env", "no-nul", b"x" * 1280)

# Keys as PEM text, DER and bare Base64; key files (material length 12, the serial, the file).
for k in ("production", "development"):
    pem = os.path.join(keys, "test_%s_key.pub.pem" % k)
    seed("key_decode", k + ".pem", open(pem, "rb").read())
    seed("key_decode", k + ".der", run("openssl", "pkey", "-pubin", "-in", pem, "-outform", "DER"))
    seed("key_decode", k + ".pkcs1.der", run("openssl", "rsa", "-pubin", "-in", pem, "-RSAPublicKey_out", "-outform", "DER"))
    bootimg("keyfile", "--serial", "SN0123456789", pem, "-o", t(k + ".key"))
    seed("keyfile_decrypt", k, b"\x0cSN0123456789" + read(k + ".key"))
for name, text in (("b64-4", b"TWFu"), ("b64-pad1", b"TWE="), ("b64-pad2", b"TQ==")):
    seed("key_decode", name, text)
aes = run("openssl", "enc", "-aes-128-ctr", "-K", "000102030405060708090a0b0c0d0e0f", "-iv", "0" * 32, input=bytes(500))
seed("keyfile_decrypt", "random-500", b"\x0cSN0123456789" + aes)

# RSA blocks: form 2 a DigestInfo after correct padding (SHA-256, SHA-1), form 1 a whole block,
# form 0 a signature of the right length.
SHA256, SHA1 = bytes.fromhex("3031300d060960864801650304020105000420"), bytes.fromhex("3021300906052b0e03021a05000414")
seed("rsa_digest", "sha256-digestinfo", b"\2" + SHA256 + b"\xaa" * 32)
seed("rsa_digest", "sha1-digestinfo", b"\2" + SHA1 + b"\xbb" * 20)
seed("rsa_digest", "block-sha1", b"\1\0\1" + b"\xff" * 58 + b"\0" + SHA1 + bytes(20))
seed("rsa_digest", "raw-signature", b"\0" + b"\x11" * 96)

# Key streams for the line editor: the mode byte is the buffer size less one.
for name, keys_ in (("insert-middle", b"\x11abd\2c\r"), ("backspace", b"\x11abcd\2\2\x08\r"), ("escapes", b"\x11\x1b[1;5Dx\x1b[A\x1bxy\r"),
                    ("full", b"\1abcdef\tg\r"), ("break", b"\x3fab\3"), ("edit-keys", b"\x3fabc\1\4\4\6\x7f\n")):
    seed("line_editor", name, keys_)


# Hostile images: the stored CRC is the complement of zlib's CRC-32 of bytes 4 onward.
def seal(image):
    return struct.pack(">I", zlib.crc32(image[4:]) ^ 0xFFFFFFFF) + image[4:]


def v3(header_len, entries, length=None, payload=b"hostile payload"):
    body = b"".join(entries) + payload
    return seal(struct.pack(">IIIIIHH", 0, length or 8 + len(body), 0x0373636F, 0x01020304, 0x48445233, 0, header_len) + body)


def entry(kind, body, length=None):
    return struct.pack(">HH", kind, 4 + len(body) if length is None else length) + body


hostile = {"v2-wrap": seal(struct.pack(">IIIIHH", 0, 0xFFFFFFF0, 0x8173636F, 1, 0, 0xFFFF) + b"hostile payload"),
           "v1-len-max": seal(struct.pack(">IIII", 0, 0xFFFFFFFF, 0x0173636F, 1) + bytes(8) + b"hostile payload"),
           "v3-hlen-past-image": v3(0xFFFF, []), "v3-len-below-header": v3(40, [entry(7, bytes(12))], length=4),
           "entry-past-header": v3(32, [entry(7, bytes(4), 200)]), "entry-past-image": v3(32, [entry(7, bytes(4), 0xFFFF)]),
           "sig-65535": v3(32, [entry(3, b"\xff\xff" + bytes(2))]), "sig-no-length": v3(29, [entry(3, b"\xff")]),
           "sig-twice": v3(40, [entry(3, b"\0\2ab"), entry(3, b"\0\2cd")])}
hostile.update({"v3-hlen-%02d" % h: v3(h, []) for h in range(24)})
hostile.update({"entry-len-%d" % n: v3(32, [entry(7, b"", n) + bytes(4)]) for n in range(4)})
for name, image in hostile.items():
    seed("image_package", "hostile-" + name, image)
    seed("hdr3_entries", "hostile-" + name, b"\0" + image)
    seed("hdr3_entries", "hostile-%s-lowsec" % name, b"\1" + image)
    seed("install_image", "hostile-" + name, b"\x0c" + image)
der = b"\x02\x01\x01"
for _ in range(41):  # one level more than the reader allows
    der = b"\x30" + (bytes([len(der)]) if len(der) < 128 else b"\x82" + struct.pack(">H", len(der))) + der
bad_keys = {"der-41-levels": der, "der-len-2^32-1": b"\x30\x84\xff\xff\xff\xff\x02\x01\x01",
            "der-len-2^32-16": b"\x30\x84\xff\xff\xff\xf0" + b"\x02\x01\x01" * 4, "der-inner-len-wrap": b"\x30\x0a\x04\x84\xff\xff\xff\xfc" + bytes(4),
            "der-tag-too-long": b"\x1f\x81\x81\x81\x01\x00", "der-bitstring-wrap": b"\x30\x08\x03\x84\xff\xff\xff\xff\x00\x30",
            "b64-pad-middle": b"QQ==QUJD", "b64-pad-first": b"=QUJ", "pem-armour-only": b"-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n"}
bad_keys.update({"b64-len-%d" % n: b"QUJD" * (n // 4) + b"QUJD"[: n % 4] for n in (1, 2, 3, 5, 6, 7, 9, 10, 11)})
for name, data in bad_keys.items():
    seed("key_decode", "hostile-" + name, data)
print("seeds written to", corpus)
