// Key files under any key material (mode: its length, 0 to 20; data: material, then file) are
// refused (not whole blocks) or decrypt to a NUL-terminated text within the buffer; a text
// encrypted and decrypted comes back up to its first zero byte.
#include <cstring>

#include "fuzz/support/fuzz_board.h"
#include "security/keyfile_crypt.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto in = fuzz::split(data, size);
    const std::size_t material_len = in.mode % 21;
    if (size == 0 || in.data.size() < material_len) return 0;
    fuzz::board();
    const std::uint8_t* material = in.data.data();
    const auto file = in.data.subspan(material_len);
    const bool material_ok = material_len <= 16;
    std::size_t out_len = 0xDEAD, cipher_len = 0, back_len = 0;
    std::uint8_t* plain =
        imgsign_decrypt(material, material_len, file.data(), file.size(), &out_len);
    check((plain != nullptr) == (material_ok && file.size() % 16 == 0) &&
          (plain == nullptr || (out_len <= file.size() && plain[out_len] == 0 &&
                                std::strlen(reinterpret_cast<char*>(plain)) == out_len)));
    std::free(plain);
    std::uint8_t* cipher =
        imgsign_encrypt(material, material_len, file.data(), file.size(), &cipher_len);
    check((cipher != nullptr) == material_ok);
    if (cipher == nullptr) return 0;
    check(cipher_len % 16 == 0 && cipher_len >= file.size() && cipher_len < file.size() + 16);
    std::uint8_t* back = imgsign_decrypt(material, material_len, cipher, cipher_len, &back_len);
    const std::size_t text_len = strnlen(reinterpret_cast<const char*>(file.data()), file.size());
    check(back != nullptr && back_len == text_len && std::memcmp(back, file.data(), text_len) == 0);
    for (void* buffer : {back, cipher}) std::free(buffer);
    return 0;
}
