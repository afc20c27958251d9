// bootimg attach: a signature made outside this host (bootimg digest told the signer what to
// sign) put into the image, byte for byte as bootimg sign would have made it.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "security/image_signature.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

struct AttachOptions {
    std::string signature, image, output;
    std::vector<std::string> keys;
};

int run_attach(const AttachOptions& o) {
    Bytes image, signature;
    if (!read_file(o.image, image) || !read_file(o.signature, signature)) return EXIT_USAGE;
    std::string error;
    const auto spec = unsigned_spec(image, error);
    if (!spec) return file_error(o.image, error, EXIT_BAD_IMAGE);
    const Bytes signed_image = with_signature(*spec, signature, error);
    if (signed_image.empty()) return file_error(o.signature, error, EXIT_BAD_IMAGE);
    // With the public key, the board's own check first: a wrong key, a signature over something
    // else or a DigestInfo signed as a digest is caught here, not on a unit.
    if (!o.keys.empty()) {
        const ImageSignature found = imgsign_find_signature(signed_image);
        bool verified = false;
        for (const auto& path : o.keys) {
            Bytes key;
            if (!read_file(path, key)) return EXIT_USAGE;
            if (!is_rsa_public_key(
                    std::string_view(reinterpret_cast<const char*>(key.data()), key.size())))
                return file_error(path, "not an RSA public key in PEM form");
            verified = verified || imgsign_check_with_key(found, key) == 0;
        }
        if (!verified)
            return file_error(o.signature,
                              "does not verify the payload of " + o.image +
                                  " with the given key (a signature of another payload, another "
                                  "key, or not RSA PKCS#1 v1.5 with SHA-256?)",
                              EXIT_BAD_IMAGE);
    }
    return write_file(o.output, signed_image) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace

void add_attach(CLI::App& app, int& status) {
    auto o = std::make_shared<AttachOptions>();
    CLI::App* c = app.add_subcommand("attach", "put a signature made elsewhere into an image");
    c->footer(
        "Puts SIG, a raw RSA PKCS#1 v1.5 signature (SHA-256) of the image's payload from any HSM\n"
        "or signing service, into the single image in IMAGE, exactly as 'bootimg sign' places\n"
        "its own: the same key gives the same image bytes either way.");
    input_file(*c, "--signature", o->signature, "the raw signature bytes")->required();
    c->add_option("--key", o->keys,
                  "the signer's RSA public key (PEM; repeatable): the signature must verify with\n"
                  "one of them, by the board's own check, before the image is written")
        ->type_name("PUBLIC.pem")
        ->allow_extra_args(false);
    input_file(*c, "IMAGE", o->image, "the image that was digested")->required();
    c->add_option("-o,--output", o->output, "the signed image to write")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_attach(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
