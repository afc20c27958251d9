// bootimg sign: signs an image's payload with an RSA private key.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

#include "platform/byte_order.h"
#include "security/image_signature.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

constexpr OptionSpec kOptions[] = {
    {"key", true}, {"o", true}, {"output", true}, {"help", false}, {"h", false},
};

constexpr const char* kHelp =
    "usage: bootimg sign --key PRIVATE.pem IMAGE -o OUTPUT\n"
    "Signs the payload of the single image in IMAGE with the RSA private key (PEM) and writes the\n"
    "signed image to OUTPUT: SHA-256 over the payload, RSA PKCS#1 v1.5, carried in a signature\n"
    "entry (type 3) of a version-3 header; the CRC is recomputed. Images of header version 1 or\n"
    "2 become version 3 (bit 31 of the magic word, the version-2 flag, is dropped); other header\n"
    "entries are kept, an old signature entry is replaced.\n"
    "Sign every image before joining them with 'bootimg package'.\n";

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey read_key(std::string_view pem, bool private_key) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    Pkey key(private_key ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                         : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) return nullptr;
    return key;
}

bool rsa_sha256_sign(EVP_PKEY* key, std::span<const std::uint8_t> data, Bytes& signature) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return false;
    std::size_t length = 0;
    if (EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) return false;
    signature.resize(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1)
        return false;
    signature.resize(length);
    return true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "bootimg sign: %s\n", message.c_str());
    return EXIT_USAGE;
}

}  // namespace

Bytes sign_image(std::span<const std::uint8_t> image, std::string_view private_key_pem,
                 std::string& error) {
    const Walk walk = walk_images(image);
    if (walk.items.size() != 1 || !walk.items[0].consistent || walk.trailing != 0) {
        error = walk.items.empty()          ? "no image in the file"
                : !walk.items[0].consistent ? "malformed image: " + walk.items[0].problem
                : walk.items.size() > 1     ? "the file holds more than one image; sign each image "
                                              "before packaging"
                                            : "bytes after the image";
        return {};
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
                return {};
            }
            const std::uint16_t type = be::load16(item.image.data() + at);
            const std::uint16_t length = be::load16(item.image.data() + at + 2);
            if (length < 4 || at + length > end) {
                error = "damaged header entry at offset " + std::to_string(at);
                return {};
            }
            if (type != IMG_ENTRY_SIGNATURE)
                spec.entries.push_back(
                    {type, Bytes(item.image.begin() + at + 4, item.image.begin() + at + length)});
            at += length;
        }
    }
    const auto payload = item.image.subspan(h.header_len);
    spec.payload.assign(payload.begin(), payload.end());

    const Pkey key = read_key(private_key_pem, true);
    if (!key) {
        error = "the key is not an RSA private key in PEM form";
        return {};
    }
    Bytes signature;
    if (!rsa_sha256_sign(key.get(), spec.payload, signature) || signature.size() > 0xFFFF - 6) {
        error = "signing failed";
        return {};
    }
    HeaderEntry entry{IMG_ENTRY_SIGNATURE, Bytes(2)};
    be::store16(entry.body.data(), static_cast<std::uint16_t>(signature.size()));
    entry.body.insert(entry.body.end(), signature.begin(), signature.end());
    spec.entries.push_back(std::move(entry));
    return build_image(spec, error);
}

std::optional<bool> key_verifies(std::span<const std::uint8_t> image,
                                 std::string_view public_key_pem) {
    const Pkey key = read_key(public_key_pem, false);
    if (!key) return std::nullopt;
    const ImageSignature found = imgsign_find_signature(image);
    if (!found.found || found.signature_outside || found.payload_outside) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), found.signature.data(), found.signature.size(),
                            found.payload.data(), found.payload.size()) == 1;
}

int cmd_sign(std::span<char* const> argv) {
    const auto args = parse_args("sign", argv, kOptions);
    if (!args) return EXIT_USAGE;
    if (args->has("help") || args->has("h")) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    const auto key_path = args->get("key");
    auto output = args->get("output");
    if (!output) output = args->get("o");
    if (!key_path) return fail("--key PRIVATE.pem is required (see --help)");
    if (!output) return fail("-o OUTPUT is required (see --help)");
    if (args->positional.size() != 1) return fail("exactly one IMAGE file is required");

    Bytes key_text;
    Bytes image;
    if (!read_file(*key_path, key_text) || !read_file(args->positional[0], image))
        return EXIT_USAGE;
    std::string error;
    const Bytes signed_image = sign_image(
        image, std::string_view(reinterpret_cast<const char*>(key_text.data()), key_text.size()),
        error);
    if (signed_image.empty()) {
        std::fprintf(stderr, "bootimg sign: %s: %s\n", args->positional[0].c_str(), error.c_str());
        return error.starts_with("the key") ? EXIT_USAGE : EXIT_BAD_IMAGE;
    }
    if (!write_file(*output, signed_image)) return EXIT_USAGE;
    return EXIT_OK;
}

}  // namespace bootimg
