// bootimg sign: signs an image's payload with an RSA private key, from a PEM file or a PKCS#11
// token; and the two halves every signing road shares.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/byte_order.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signer.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

std::optional<ImageSpec> unsigned_spec(std::span<const std::uint8_t> image, std::string& error) {
    const Walk walk = walk_images(image);
    if (walk.items.size() != 1 || !walk.items[0].consistent || walk.trailing != 0) {
        error = walk.items.empty()          ? "no image in the file"
                : !walk.items[0].consistent ? "malformed image: " + walk.items[0].problem
                : walk.items.size() > 1     ? "the file holds more than one image; sign each image "
                                              "before packaging"
                                            : "bytes after the image";
        return std::nullopt;
    }
    const WalkItem& item = walk.items[0];
    const ImageHeader& h = item.header;

    ImageSpec spec;
    spec.kind = image_kind(h.magic);
    spec.id = h.id;
    spec.header_version = 3;
    spec.ext_flag = h.header_version == 3 && (h.magic & IMG_EXT_HEADER) != 0;
    if (h.header_version == 3) {
        // Keep every other entry; stop as the board would at an entry it cannot step over.
        const std::size_t end = std::min<std::size_t>(h.header_len, item.image.size());
        for (std::size_t at = IMG_PROBE_LEN; at < h.header_len;) {
            if (at + 4 > end) {
                error = "damaged header entry at offset " + std::to_string(at);
                return std::nullopt;
            }
            const std::uint16_t type = be::load16(item.image.data() + at);
            const std::uint16_t length = be::load16(item.image.data() + at + 2);
            if (length < 4 || at + length > end) {
                error = "damaged header entry at offset " + std::to_string(at);
                return std::nullopt;
            }
            if (type != IMG_ENTRY_SIGNATURE)
                spec.entries.push_back(
                    {type, Bytes(item.image.begin() + at + 4, item.image.begin() + at + length)});
            at += length;
        }
    }
    const auto payload = item.image.subspan(h.header_len);
    spec.payload.assign(payload.begin(), payload.end());
    return spec;
}

Bytes with_signature(ImageSpec spec, std::span<const std::uint8_t> signature, std::string& error) {
    if (signature.empty() || signature.size() > 0xFFFF - 6) {
        error = "a signature of " + std::to_string(signature.size()) + " bytes cannot be carried";
        return {};
    }
    HeaderEntry entry{IMG_ENTRY_SIGNATURE, Bytes(2)};
    be::store16(entry.body.data(), static_cast<std::uint16_t>(signature.size()));
    entry.body.insert(entry.body.end(), signature.begin(), signature.end());
    spec.entries.push_back(std::move(entry));
    return build_image(spec, error);
}

bool is_rsa_public_key(std::string_view pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    if (!bio) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    return key && EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA;
}

namespace {

struct SignOptions {
    std::string key, passin, image, output;
};

int run_sign(const SignOptions& o) {
    std::string error;
    std::optional<std::string> secret;
    if (!o.passin.empty()) {
        secret = read_passin(o.passin, error);
        if (!secret) return std::fprintf(stderr, "bootimg sign: %s\n", error.c_str()), EXIT_USAGE;
    }
    Bytes image;
    if (!read_file(o.image, image)) return EXIT_USAGE;
    const auto spec = unsigned_spec(image, error);
    if (!spec) return file_error(o.image, error, EXIT_BAD_IMAGE);
    const auto key = open_signing_key(o.key, secret, error);
    if (!key) {
        if (!error.empty()) std::fprintf(stderr, "bootimg: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    Bytes signature;
    if (!sign_sha256(*key, spec->payload, signature, error))
        return std::fprintf(stderr, "bootimg: %s: %s\n", o.key.c_str(), error.c_str()), EXIT_USAGE;
    const Bytes signed_image = with_signature(*spec, signature, error);
    if (signed_image.empty()) return file_error(o.image, error, EXIT_BAD_IMAGE);
    return write_file(o.output, signed_image) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace

void add_sign(CLI::App& app, int& status) {
    auto o = std::make_shared<SignOptions>();
    CLI::App* c = app.add_subcommand("sign", "sign an image's payload with an RSA private key");
    c->footer(
        "Signs the payload of the single image in IMAGE and writes the signed image to OUTPUT:\n"
        "SHA-256 over the payload, RSA PKCS#1 v1.5, carried in a signature entry (type 3) of a\n"
        "version-3 header; the CRC is recomputed. Images of header version 1 or 2 become\n"
        "version 3 (bit 31 of the magic word, the version-2 flag, is dropped); other header\n"
        "entries are kept, an old signature entry is replaced. Sign every image before joining\n"
        "them with 'bootimg package'. A key held elsewhere signs through 'bootimg digest' and\n"
        "'bootimg attach'.");
    c->add_option("--key", o->key,
                  "the private key: a PEM file, or a PKCS#11 URI such as\n"
                  "'pkcs11:token=vendor;object=production?module-path=/usr/lib/softhsm/"
                  "libsofthsm2.so'\n"
                  "(without module-path, p11-kit's proxy of every registered module)")
        ->required()
        ->type_name("KEY");
    c->add_option("--passin", o->passin,
                  "the PEM file's passphrase or the token's PIN, as openssl takes it: env:VAR,\n"
                  "file:PATH (its first line) or pass:TEXT. Nothing is ever asked on the terminal")
        ->type_name("SOURCE");
    input_file(*c, "IMAGE", o->image, "the image to sign")->required();
    c->add_option("-o,--output", o->output, "the signed image to write (may be IMAGE itself)")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_sign(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
