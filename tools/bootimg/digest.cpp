// bootimg digest: exactly what a signer outside this host must sign, for a key that never
// leaves its HSM or signing service; bootimg attach then puts the signature into the image.
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

// The DER DigestInfo of SHA-256 before the 32 digest bytes: what PKCS#1 v1.5 pads and signs.
constexpr std::array<std::uint8_t, 19> kSha256DigestInfo = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

struct DigestOptions {
    std::string image, output, form = "sha256";
};

int run_digest(const DigestOptions& o) {
    Bytes image;
    if (!read_file(o.image, image)) return EXIT_USAGE;
    std::string error;
    const auto spec = unsigned_spec(image, error);
    if (!spec) return file_error(o.image, error, EXIT_BAD_IMAGE);
    if (o.form == "payload") return write_file(o.output, spec->payload) ? EXIT_OK : EXIT_USAGE;
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    if (EVP_Digest(spec->payload.data(), spec->payload.size(), digest.data(), &length, EVP_sha256(),
                   nullptr) != 1)
        return file_error(o.image, "SHA-256 failed", EXIT_USAGE);
    digest.resize(length);
    if (o.form == "digestinfo")
        digest.insert(digest.begin(), kSha256DigestInfo.begin(), kSha256DigestInfo.end());
    return write_file(o.output, digest) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace

void add_digest(CLI::App& app, int& status) {
    auto o = std::make_shared<DigestOptions>();
    CLI::App* c = app.add_subcommand(
        "digest", "write what an outside signer must sign (then: bootimg attach)");
    c->footer(
        "Writes what the signature of the single image in IMAGE covers, for a signer that holds\n"
        "the key elsewhere (an HSM, a signing service). The signature it returns must be RSA\n"
        "PKCS#1 v1.5 with SHA-256 (the raw signature bytes, as long as the key's modulus);\n"
        "'bootimg attach' puts it into the image. The header is not covered: attach it to the\n"
        "same IMAGE, or to any image with the same payload.");
    c->add_option(
         "--form", o->form,
         "sha256 (default): the 32-byte SHA-256 digest of the payload, for signers that\n"
         "take a digest (openssl pkeyutl -sign -pkeyopt digest:sha256, CKM_SHA256_RSA_PKCS\n"
         "over a digest);\n"
         "digestinfo: the 51-byte DER DigestInfo, for signers that only pad (CKM_RSA_PKCS,\n"
         "openssl pkeyutl -sign without a digest);\n"
         "payload: the payload itself, for signers that hash (openssl dgst -sha256 -sign)")
        ->check(CLI::IsMember({"sha256", "digestinfo", "payload"}));
    input_file(*c, "IMAGE", o->image, "the image to be signed")->required();
    c->add_option("-o,--output", o->output, "where to write it")->required()->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_digest(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
