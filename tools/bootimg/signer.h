// The private key that signs images, wherever it lives: a PEM file on the build host (perhaps
// encrypted, its passphrase given as openssl takes it), or a PKCS#11 token (an HSM, a smart card,
// SoftHSM) named by a PKCS#11 URI, reached through OpenSSL's PKCS#11 engine. Every road signs
// with RSA PKCS#1 v1.5 over SHA-256, which is deterministic: the same key gives the same bytes.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "tools/bootimg/bootimg.h"

namespace bootimg {

class SigningKey {
  public:
    SigningKey(EVP_PKEY* key, ENGINE* engine) : key_(key), engine_(engine) {}
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    EVP_PKEY* get() const { return key_; }

  private:
    EVP_PKEY* key_;
    ENGINE* engine_;
};

// A passphrase or PIN as openssl's -passin takes it: "env:VAR", "file:PATH" (its first line) or
// "pass:TEXT". Nothing, with error set, when it cannot be had.
std::optional<std::string> read_passin(const std::string& spec, std::string& error);

// The key named by `name`: a PKCS#11 URI ("pkcs11:token=...;object=...", with an optional
// "?module-path=/usr/lib/.../module.so" to choose the module; without it the engine's default,
// p11-kit's proxy of every registered module) or a PEM file. `secret` is the PEM passphrase or
// the token PIN. Nothing is ever asked on the terminal: a key that needs a secret not given
// fails with a message that says so. On failure the result is null and error says why, naming
// the key.
std::unique_ptr<SigningKey> open_signing_key(const std::string& name,
                                             const std::optional<std::string>& secret,
                                             std::string& error);

// RSA PKCS#1 v1.5 signature over SHA-256 of data; false with error set on failure.
bool sign_sha256(const SigningKey& key, std::span<const std::uint8_t> data, Bytes& signature,
                 std::string& error);

// The last OpenSSL error as text ("" when there is none), and the queue emptied.
std::string openssl_reason();

}  // namespace bootimg
