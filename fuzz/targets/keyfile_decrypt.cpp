// Key-file decryption of arbitrary files under arbitrary key material.
//
// Input: byte 0 chooses the material length (0 to 20, so the refused lengths past one AES block
// are reached too), then the material, then the file contents. Any contents must either be refused
// (a length that is no whole number of blocks) or decrypt to a NUL-terminated text within the
// returned buffer. Encrypting a text and decrypting it again must give the text back up to its
// first zero byte, for every material.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/support/fuzz_platform.h"
#include "security/keyfile_crypt.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzz::platform().clear_output();
    const std::size_t material_len = data[0] % 21;
    if (size < 1 + material_len) return 0;
    const std::uint8_t* material = data + 1;
    const std::uint8_t* contents = data + 1 + material_len;
    const std::size_t contents_len = size - 1 - material_len;
    const bool material_ok = material_len <= 16;

    std::size_t out_len = 0xDEAD;
    std::uint8_t* plain = imgsign_decrypt(material, material_len, contents, contents_len, &out_len);
    if (plain == nullptr) {
        check(!material_ok || contents_len % 16 != 0);
    } else {
        check(material_ok && contents_len % 16 == 0);
        check(out_len <= contents_len && plain[out_len] == 0);
        check(std::memchr(plain, 0, out_len) == nullptr);
        std::free(plain);
    }

    std::size_t cipher_len = 0;
    std::uint8_t* cipher =
        imgsign_encrypt(material, material_len, contents, contents_len, &cipher_len);
    if (!material_ok) {
        check(cipher == nullptr);
        return 0;
    }
    check(cipher != nullptr && cipher_len % 16 == 0 && cipher_len >= contents_len &&
          cipher_len < contents_len + 16);
    std::size_t back_len = 0;
    std::uint8_t* back = imgsign_decrypt(material, material_len, cipher, cipher_len, &back_len);
    check(back != nullptr);
    const void* zero = std::memchr(contents, 0, contents_len);
    const std::size_t text_len =
        zero == nullptr
            ? contents_len
            : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - contents);
    check(back_len == text_len && std::memcmp(back, contents, text_len) == 0);
    std::free(back);
    std::free(cipher);
    return 0;
}
