#include "security/keyfile_crypt.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "crypto/aes.h"
#include "image/state_record.h"
#include "platform/console_io.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t AES_BLOCK = 16;
constexpr std::int32_t ENCRYPT = 1;
constexpr std::int32_t DECRYPT = 0;

// The AES-128 key is the material at the start of a zeroed block; material longer than a block
// cannot be expressed and is refused by the callers.
std::array<std::uint8_t, AES_BLOCK> key_block(const std::uint8_t* key, std::size_t key_length) {
    std::array<std::uint8_t, AES_BLOCK> block{};
    std::memcpy(block.data(), key, key_length);
    return block;
}

// Owns a context for the length of one call, whatever way the call ends.
class AesContext {
  public:
    AesContext(const std::array<std::uint8_t, AES_BLOCK>& key, std::int32_t direction)
        : ctx_(CreateAESCtx(key.data(), static_cast<std::int32_t>(key.size()), direction)) {}
    ~AesContext() { DeleteAESCtx(&ctx_); }
    AesContext(const AesContext&) = delete;
    AesContext& operator=(const AesContext&) = delete;
    AESCtx* get() const { return ctx_; }

  private:
    AESCtx* ctx_;
};

bool material_usable(const std::uint8_t* key, std::size_t key_length) {
    return key != nullptr && key_length <= AES_BLOCK;
}

}  // namespace

std::uint8_t* imgsign_encrypt(const std::uint8_t* key, std::size_t key_length,
                              const std::uint8_t* data, std::size_t data_length,
                              std::size_t* out_length) {
    if (!material_usable(key, key_length) || (data == nullptr && data_length != 0) ||
        out_length == nullptr || data_length > INT32_MAX - AES_BLOCK) {
        return nullptr;
    }
    const std::size_t padded = (data_length + AES_BLOCK - 1) / AES_BLOCK * AES_BLOCK;
    const auto block = key_block(key, key_length);
    std::array<std::uint8_t, AES_BLOCK> iv{};

    // One spare byte keeps the allocation non-empty for empty input.
    auto* buffer = static_cast<std::uint8_t*>(std::calloc(padded + 1, 1));
    if (buffer == nullptr) {
        out_puts("Encrypt malloc failed!");
        return nullptr;
    }
    if (data_length != 0) {
        std::memcpy(buffer, data, data_length);
    }

    AesContext ctx(block, ENCRYPT);
    if (ctx.get() == nullptr) {
        out_puts("CreateAESCtx(encrypt) failed!");
        std::free(buffer);
        return nullptr;
    }
    const std::int32_t rc =
        DoAES(ctx.get(), buffer, static_cast<std::int32_t>(padded), ENCRYPT, iv.data());
    if (rc < 0) {
        out_printf("Do aes encryption failed. rc=%d", rc);
        std::free(buffer);
        return nullptr;
    }
    *out_length = padded;
    return buffer;
}

std::uint8_t* imgsign_decrypt(const std::uint8_t* key, std::size_t key_length,
                              const std::uint8_t* data, std::size_t data_length,
                              std::size_t* out_length) {
    if (!material_usable(key, key_length) || (data == nullptr && data_length != 0) ||
        out_length == nullptr || data_length > INT32_MAX) {
        return nullptr;
    }
    if (data_length % AES_BLOCK != 0) {
        out_printf("Input data is not AES size correct");
        return nullptr;
    }
    const auto block = key_block(key, key_length);
    std::array<std::uint8_t, AES_BLOCK> iv{};

    AesContext ctx(block, DECRYPT);
    if (ctx.get() == nullptr) {
        out_printf("%s: CreateAESCtx(decrypt) failed!\n", "imgsign_decrypt");
        return nullptr;
    }
    // A plaintext without any zero byte (wrong material, garbage) must still end somewhere: the
    // spare byte past the data stays zero, so a caller treating the result as text stops there.
    auto* buffer = static_cast<std::uint8_t*>(std::calloc(data_length + 1, 1));
    if (buffer == nullptr) {
        return nullptr;
    }
    if (data_length != 0) {
        std::memcpy(buffer, data, data_length);
    }
    const std::int32_t rc =
        DoAES(ctx.get(), buffer, static_cast<std::int32_t>(data_length), DECRYPT, iv.data());
    if (rc < 0) {
        out_printf("Do aes failed. rc=%d", rc);
        std::free(buffer);
        return nullptr;
    }
    *out_length = static_cast<std::size_t>(std::find(buffer, buffer + data_length, 0) - buffer);
    return buffer;
}

int imgsign_write_encrypted_file(const std::uint8_t* data, std::size_t data_length,
                                 const char* path, const std::uint8_t* key,
                                 std::size_t key_length) {
    if (path == nullptr) {
        return 0;
    }
    std::size_t cipher_length = 0;
    std::uint8_t* cipher = imgsign_encrypt(key, key_length, data, data_length, &cipher_length);
    if (cipher == nullptr) {
        return 0;
    }
    // Replaced whole: a key file that a power cut tore would load as a damaged key at every
    // boot, where the old file (or none, which the next load re-creates) would not.
    const FileWrite written = state_file_replace(path, std::span(cipher, cipher_length));
    const int write_errno = errno;
    std::free(cipher);
    if (written == FileWrite::not_created) {
        out_printf("ERROR creating file %s\n", path);
        return 0;
    }
    if (written != FileWrite::ok) {
        out_printf("ERROR writing file %s: %d\n", path, write_errno);
        return 0;
    }
    return 1;
}
