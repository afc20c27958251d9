#!/usr/bin/env python3
"""Writes the hostile inputs that every build replays (fuzz/corpus/<target>/hostile-*): lengths
that wrap 32 bits, version-3 header lengths below the minimum, header entries of length 0 to 3, a
signature length of 65535, DER nested 41 deep or with lengths near 2^32, Base64 of every bad
length. Run by fuzz/make-seeds.sh."""
import os
import struct
import sys
import zlib

corpus = sys.argv[1]
HDR3 = 0x48445233
APP = 0x0173636F
KERNEL = 0x0373636F


def seed(target, name, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    with open(os.path.join(corpus, target, "hostile-" + name), "wb") as f:
        f.write(data)


def seal(image):
    """Stores the CRC the images carry: the complement of zlib's CRC-32 of bytes 4 onward."""
    crc = zlib.crc32(image[4:]) ^ 0xFFFFFFFF
    return struct.pack(">I", crc) + image[4:]


def v3(magic, header_len, entries, payload, len_field=None):
    area = b"".join(entries)
    body = area + payload
    length = len_field if len_field is not None else 8 + len(body)
    head = struct.pack(">IIIIIHH", 0, length, magic, 0x01020304, HDR3, 0, header_len)
    return seal(head + body)


def entry(kind, body, length=None):
    return struct.pack(">HH", kind, length if length is not None else 4 + len(body)) + body


payload = b"hostile payload"
images = {}
# Version-2 header and len that wrap 32 bits when added; version-1 len near 2^32.
images["v2-wrap"] = seal(struct.pack(">IIIIHH", 0, 0xFFFFFFF0, APP | 0x80000000, 1, 0, 0xFFFF) + payload)
images["v1-len-max"] = seal(struct.pack(">IIII", 0, 0xFFFFFFFF, APP, 1) + bytes(8) + payload)
# Version-3 header lengths 0 to 23, below the 24 bytes of its own fields.
for h in range(24):
    images["v3-hlen-%02d" % h] = v3(KERNEL, h, [], payload)
# Version-3 header length past the image, and len smaller than the header.
images["v3-hlen-past-image"] = v3(KERNEL, 0xFFFF, [], payload)
images["v3-len-below-header"] = v3(KERNEL, 40, [entry(7, bytes(12))], payload, len_field=4)
# Entry lengths 0 to 3: an entry that cannot even hold its own type and length.
for n in range(4):
    e = entry(7, b"", length=n)
    images["entry-len-%d" % n] = v3(KERNEL, 24 + 8, [e + bytes(4)], payload)
# An entry that runs past the header, and one past the whole image.
images["entry-past-header"] = v3(KERNEL, 24 + 8, [entry(7, bytes(4), length=200)], payload)
images["entry-past-image"] = v3(KERNEL, 24 + 8, [entry(7, bytes(4), length=0xFFFF)], payload)
# Signature entries: length 65535 with few bytes behind it, and a body too short for the length.
images["sig-65535"] = v3(KERNEL, 24 + 8, [entry(3, struct.pack(">H", 0xFFFF) + bytes(2))], payload)
images["sig-no-length"] = v3(KERNEL, 24 + 5, [entry(3, b"\xff")], payload)
images["sig-twice"] = v3(KERNEL, 24 + 16, [entry(3, struct.pack(">H", 2) + b"ab"), entry(3, struct.pack(">H", 2) + b"cd")], payload)

for name, image in images.items():
    seed("image_package", name, image)
    seed("hdr3_entries", name, b"\x00" + image)
    seed("hdr3_entries", name + "-lowsec", b"\x01" + image)
    seed("install_image", name, b"\x0c" + image)

# DER: 41 nested SEQUENCEs (one more than the reader allows), and lengths near 2^32.
inner = b"\x02\x01\x01"
for _ in range(41):
    inner = b"\x30" + (bytes([len(inner)]) if len(inner) < 128 else b"\x82" + struct.pack(">H", len(inner))) + inner
seed("key_decode", "der-41-levels", inner)
seed("key_decode", "der-len-2^32-1", b"\x30\x84\xff\xff\xff\xff\x02\x01\x01")
seed("key_decode", "der-len-2^32-16", b"\x30\x84\xff\xff\xff\xf0" + b"\x02\x01\x01" * 4)
seed("key_decode", "der-inner-len-wrap", b"\x30\x0a\x04\x84\xff\xff\xff\xfc\x00\x00\x00\x00")
seed("key_decode", "der-tag-too-long", b"\x1f\x81\x81\x81\x01\x00")
seed("key_decode", "der-bitstring-wrap", b"\x30\x08\x03\x84\xff\xff\xff\xff\x00\x30")
# Base64 of every bad length below 12 and with misplaced padding.
for n in (1, 2, 3, 5, 6, 7, 9, 10, 11):
    seed("key_decode", "b64-len-%d" % n, b"QUJD" * (n // 4) + b"QUJD"[: n % 4])
seed("key_decode", "b64-pad-middle", b"QQ==QUJD")
seed("key_decode", "b64-pad-first", b"=QUJ")
seed("key_decode", "pem-armour-only", b"-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n")
