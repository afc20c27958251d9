#!/usr/bin/env bash
# Regenerates the seed corpora in fuzz/corpus/ from images, packages and keys made by bootimg
# and openssl. Seeds are small on purpose: libFuzzer mutates them, and small inputs run fast.
#   fuzz/make-seeds.sh BOOTIMG
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bootimg=${1:?usage: fuzz/make-seeds.sh path/to/bootimg}
corpus=$src/fuzz/corpus
keys=$src/keys/test
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

seed() {  # seed TARGET NAME < bytes
  mkdir -p "$corpus/$1"
  cat >"$corpus/$1/$2"
}

# Images of every header version and the packages made of them.
printf 'payload of a small application image\n' >"$tmp/payload"
head -c 300 /dev/zero | tr '\0' 'k' >"$tmp/kernel"
for v in 1 2 3; do
  "$bootimg" create --kind application --version 1.2.3.$v --header-version $v "$tmp/payload" -o "$tmp/app$v"
done
"$bootimg" create --kind kernel --version 2.0.0.1 --header-version 3 --entry 7:0102030405 "$tmp/kernel" -o "$tmp/kernel3"
"$bootimg" create --kind bootloader --version 3.0.0.1 --header-version 1 "$tmp/payload" -o "$tmp/boot1"
"$bootimg" create --kind qorb --version 4.0.0.1 --header-version 2 "$tmp/payload" -o "$tmp/qorb2"
"$bootimg" create --kind rfs --version 5.0.0.1 --header-version 3 --ext-flag "$tmp/payload" -o "$tmp/rfs3"
"$bootimg" create --kind application --version 1.0.0.9 --header-version 1 --crc 0x12345678 "$tmp/payload" -o "$tmp/badcrc"
for i in app3 kernel3 rfs3; do
  "$bootimg" sign --key "$keys/test_production_key.pem" "$tmp/$i" -o "$tmp/$i.prod"
  "$bootimg" sign --key "$keys/test_development_key.pem" "$tmp/$i" -o "$tmp/$i.dev"
done
"$bootimg" package -o "$tmp/pkg-all" "$tmp/app3.prod" "$tmp/kernel3.prod" "$tmp/rfs3.prod" "$tmp/boot1" "$tmp/qorb2"
"$bootimg" package --xmodem-pad -o "$tmp/pkg-pad" "$tmp/app1" "$tmp/qorb2"
"$bootimg" package --force -o "$tmp/pkg-bad" "$tmp/app2" "$tmp/badcrc" "$tmp/app1"

for f in app1 app2 app3 kernel3 boot1 qorb2 rfs3 badcrc app3.prod pkg-all pkg-pad pkg-bad; do
  seed image_package "$f" <"$tmp/$f"
done
# install_image: a mode byte first (bit 0 slot 2, bit 1 skip same version, bit 2 low security,
# bit 3 mend CRCs), then the file.
for f in app3.prod kernel3.prod pkg-all pkg-bad; do
  { printf '\000'; cat "$tmp/$f"; } | seed install_image "$f"
done
for f in app1 app3.dev rfs3.dev pkg-pad; do
  { printf '\015'; cat "$tmp/$f"; } | seed install_image "$f-lowsec"
done
{ printf '\002'; cat "$tmp/pkg-all" "$tmp/pkg-all"; } | seed install_image twice-skip-same
{ printf '\035'; cat "$tmp/app1"; } | seed install_image app1-lowsec-yes
# hdr3_entries: a state byte first (bit 0 low security mode), then the image.
for f in app1 app2 app3 kernel3 app3.prod app3.dev kernel3.prod rfs3.prod; do
  { printf '\000'; cat "$tmp/$f"; } | seed hdr3_entries "$f"
done
{ printf '\001'; cat "$tmp/kernel3.dev"; } | seed hdr3_entries kernel3.dev-lowsec

# Boot loader environments: NUL-separated name=value strings.
printf 'bootcmd=run boot\0diagnostics=rescue\0gdb=1\0gdbport=2345\0' | seed boot_env rescue-gdb
printf 'gdbserver=1\0gdbport=70000\0shell=1\0memchk=1\0lowsec=authorised\0' | seed boot_env all-flags
printf 'gdbport=\0gdbport=-1\0diagnostics=rescuex\0' | seed boot_env odd-values
head -c 1280 /dev/zero | tr '\0' 'x' | seed boot_env no-nul

# Keys as PEM text, DER, and bare Base64.
for k in production development; do
  seed key_decode "$k.pem" <"$keys/test_${k}_key.pub.pem"
  openssl pkey -pubin -in "$keys/test_${k}_key.pub.pem" -outform DER 2>/dev/null | seed key_decode "$k.der"
  openssl rsa -pubin -in "$keys/test_${k}_key.pub.pem" -RSAPublicKey_out -outform DER 2>/dev/null |
    seed key_decode "$k.pkcs1.der"
done
printf 'TWFu' | seed key_decode b64-4
printf 'TWE=' | seed key_decode b64-pad1
printf 'TQ==' | seed key_decode b64-pad2

# RSA blocks: form 2 (a DigestInfo after correct padding) for SHA-256 and SHA-1, form 1 a whole
# block, form 0 a signature of the right length.
{ printf '\002'; printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20';
  head -c 32 /dev/zero | tr '\0' '\252'; } | seed rsa_digest sha256-digestinfo
{ printf '\002'; printf '\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14';
  head -c 20 /dev/zero | tr '\0' '\273'; } | seed rsa_digest sha1-digestinfo
{ printf '\001\000\001'; head -c 58 /dev/zero | tr '\0' '\377'; printf '\000';
  printf '\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14'; head -c 20 /dev/zero; } |
  seed rsa_digest block-sha1
{ printf '\000'; head -c 96 /dev/zero | tr '\0' '\021'; } | seed rsa_digest raw-signature

# Key files: material length 12, the serial number, then the file as bootimg writes it.
for k in production development; do
  "$bootimg" keyfile --serial SN0123456789 "$keys/test_${k}_key.pub.pem" -o "$tmp/$k.key"
  { printf '\014SN0123456789'; cat "$tmp/$k.key"; } | seed keyfile_decrypt "$k"
done
{ printf '\014SN0123456789'; head -c 500 /dev/zero | openssl enc -aes-128-ctr -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000; } | seed keyfile_decrypt random-500

# Key streams for the line editor: byte 0 is the buffer size less one.
printf '\021abd\002c\r' | seed line_editor insert-middle
printf '\021abcd\002\002\010\r' | seed line_editor backspace
printf '\021\033[1;5Dx\033[A\033xy\r' | seed line_editor escapes
printf '\001abcdef\tg\r' | seed line_editor full
printf '\077ab\003' | seed line_editor break
printf '\077abc\001\004\004\006\177\n' | seed line_editor edit-keys

# Hostile inputs of every target.
/usr/bin/python3 "$src/fuzz/hostile-seeds.py" "$corpus"

echo "seeds written to $corpus"
