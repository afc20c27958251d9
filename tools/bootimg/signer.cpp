// Debian 12's PKCS#11 access for OpenSSL 3 is libp11's engine; it has no provider form yet, so
// this file uses the ENGINE interface that OpenSSL 3 marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "tools/bootimg/signer.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ui.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bootimg {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct UiMethodFree {
    void operator()(UI_METHOD* m) const { UI_destroy_method(m); }
};

// A PEM passphrase callback that never prompts: the secret given, or a refusal.
int pem_secret(char* buf, int size, int, void* user) {
    const auto* secret = static_cast<const std::optional<std::string>*>(user);
    if (!secret->has_value() || static_cast<int>((*secret)->size()) >= size) return -1;
    std::memcpy(buf, (*secret)->data(), (*secret)->size() + 1);  // with its NUL
    return static_cast<int>((*secret)->size());
}

// An OpenSSL user interface that answers nothing, so that a token asking for its PIN fails
// instead of reading the terminal (a CI job cannot answer).
int ui_refuse(UI*, UI_STRING*) {
    return 0;
}

std::unique_ptr<SigningKey> open_pem(const std::string& path,
                                     const std::optional<std::string>& secret, std::string& error) {
    Bytes text;
    if (!read_file(path, text)) {
        error.clear();  // read_file said why
        return nullptr;
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    ERR_clear_error();
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, pem_secret,
                                                  const_cast<std::optional<std::string>*>(&secret))
                        : nullptr;
    const std::string reason = openssl_reason();
    const bool encrypted = std::string_view(reinterpret_cast<const char*>(text.data()), text.size())
                               .find("ENCRYPTED") != std::string_view::npos;
    if (key == nullptr) {
        error = path + ": " +
                (encrypted && !secret ? "the key is encrypted; give its passphrase with --passin "
                                        "(env:VAR, file:PATH or pass:TEXT)"
                 : encrypted          ? "the passphrase does not decrypt the key (" + reason + ")"
                                      : "not an RSA private key in PEM form (" + reason + ")");
        return nullptr;
    }
    if (EVP_PKEY_base_id(key) != EVP_PKEY_RSA) {
        EVP_PKEY_free(key);
        error = path + ": not an RSA private key (the board verifies RSA signatures only)";
        return nullptr;
    }
    return std::make_unique<SigningKey>(key, nullptr);
}

// "module-path" of the URI's query, which the engine does not read itself.
std::string module_path(const std::string& uri) {
    const std::size_t query = uri.find('?');
    if (query == std::string::npos) return {};
    std::string_view rest = std::string_view(uri).substr(query + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view attr = rest.substr(0, amp);
        if (attr.starts_with("module-path=")) return std::string(attr.substr(12));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return {};
}

std::unique_ptr<SigningKey> open_pkcs11(const std::string& uri,
                                        const std::optional<std::string>& pin, std::string& error) {
    ERR_clear_error();
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (engine == nullptr) {
        error = uri + ": OpenSSL's PKCS#11 engine cannot be loaded (" + openssl_reason() +
                "); install Debian's libengine-pkcs11-openssl";
        return nullptr;
    }
    const std::string module = module_path(uri);
    if (!module.empty() && ENGINE_ctrl_cmd_string(engine, "MODULE_PATH", module.c_str(), 0) != 1) {
        error =
            uri + ": the PKCS#11 module " + module + " cannot be used (" + openssl_reason() + ")";
        ENGINE_free(engine);
        return nullptr;
    }
    if (ENGINE_init(engine) != 1) {
        error = uri + ": the PKCS#11 engine cannot start" +
                (module.empty() ? std::string() : " with the module " + module) + " (" +
                openssl_reason() + ")";
        ENGINE_free(engine);
        return nullptr;
    }
    if (pin && ENGINE_ctrl_cmd_string(engine, "PIN", pin->c_str(), 0) != 1) {
        error = uri + ": the engine refuses the PIN (" + openssl_reason() + ")";
        ENGINE_finish(engine);
        ENGINE_free(engine);
        return nullptr;
    }
    std::unique_ptr<UI_METHOD, UiMethodFree> refuse(UI_create_method("bootimg: no prompts"));
    UI_method_set_reader(refuse.get(), ui_refuse);
    // The engine takes the path part only; the query was for this tool.
    const std::string path = uri.substr(0, uri.find('?'));
    EVP_PKEY* key = ENGINE_load_private_key(engine, path.c_str(), refuse.get(), nullptr);
    if (key == nullptr) {
        const std::string reason = openssl_reason();
        error = uri + ": no private key there (" + (reason.empty() ? "not found" : reason) + ")" +
                (pin || uri.find("pin-") != std::string::npos
                     ? ""
                     : "; a token that needs a PIN gets it with --passin or pin-value= in the URI");
        ENGINE_finish(engine);
        ENGINE_free(engine);
        return nullptr;
    }
    if (EVP_PKEY_base_id(key) != EVP_PKEY_RSA) {
        EVP_PKEY_free(key);
        ENGINE_finish(engine);
        ENGINE_free(engine);
        error = uri + ": not an RSA private key (the board verifies RSA signatures only)";
        return nullptr;
    }
    return std::make_unique<SigningKey>(key, engine);
}

}  // namespace

SigningKey::~SigningKey() {
    EVP_PKEY_free(key_);
    if (engine_ != nullptr) {
        ENGINE_finish(engine_);
        ENGINE_free(engine_);
    }
}

std::string openssl_reason() {
    std::string reason;
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        reason = text;  // the last one names the cause most plainly
    }
    return reason;
}

std::optional<std::string> read_passin(const std::string& spec, std::string& error) {
    if (spec.starts_with("pass:")) return spec.substr(5);
    if (spec.starts_with("env:")) {
        const char* value = std::getenv(spec.c_str() + 4);
        if (value == nullptr) {
            error =
                "--passin " + spec + ": the environment variable " + spec.substr(4) + " is not set";
            return std::nullopt;
        }
        return std::string(value);
    }
    if (spec.starts_with("file:")) {
        std::ifstream in(spec.substr(5));
        std::string line;
        if (!in || (!std::getline(in, line) && in.bad())) {
            error = spec.substr(5) + ": cannot read the passphrase: " + std::strerror(errno);
            return std::nullopt;
        }
        return line;
    }
    error = "--passin " + spec + ": give env:VAR, file:PATH or pass:TEXT";
    return std::nullopt;
}

std::unique_ptr<SigningKey> open_signing_key(const std::string& name,
                                             const std::optional<std::string>& secret,
                                             std::string& error) {
    return name.starts_with("pkcs11:") ? open_pkcs11(name, secret, error)
                                       : open_pem(name, secret, error);
}

bool sign_sha256(const SigningKey& key, std::span<const std::uint8_t> data, Bytes& signature,
                 std::string& error) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    std::size_t length = 0;
    ERR_clear_error();
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) {
        error = "signing failed (" + openssl_reason() + ")";
        return false;
    }
    signature.resize(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        error = "signing failed (" + openssl_reason() + ")";
        return false;
    }
    signature.resize(length);
    return true;
}

}  // namespace bootimg
