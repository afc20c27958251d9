#include "security/keyfile_crypt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/security_fixture.h"

namespace {

using Buffer = std::unique_ptr<std::uint8_t, decltype(&std::free)>;
const auto* SERIAL = reinterpret_cast<const std::uint8_t*>("SN0123456789");

Buffer run(bool encrypt, const Bytes& data, std::size_t& length, const std::uint8_t* key = SERIAL,
           std::size_t key_length = 12) {
    return {encrypt ? imgsign_encrypt(key, key_length, data.data(), data.size(), &length)
                    : imgsign_decrypt(key, key_length, data.data(), data.size(), &length),
            &std::free};
}

// Zero padding to whole blocks; the text ends at the first zero byte after decryption. The file
// bytes are those of an independent AES-128-CBC (key "SN0123456789" and four zero bytes, zero IV),
// as files written on other machines hold them.
TABLE_TEST(KeyfileCrypt, "tests/security/data/keyfile_crypt.tsv") {
    SecurityBoard board;
    const auto text = static_cast<std::size_t>(row.num("text"));
    Bytes data(static_cast<std::size_t>(row.num("data")), 0);
    for (std::size_t i = 0; i < text; ++i) data[i] = static_cast<std::uint8_t>('A' + i % 26);
    std::size_t cipher_length = 99, text_length = 99;
    const Buffer cipher = run(true, data, cipher_length);
    ASSERT_EQ(cipher_length, static_cast<std::size_t>(row.num("cipher")));
    const Buffer plain = run(false, Bytes(cipher.get(), cipher.get() + cipher_length), text_length);
    ASSERT_EQ(text_length, text);
    EXPECT_EQ(Bytes(plain.get(), plain.get() + text_length),
              Bytes(data.begin(), data.begin() + text));
    EXPECT_EQ(plain.get()[text_length], 0);
}

TEST(KeyfileCrypt, KnownCiphertextAndRefusals) {
    SecurityBoard board;
    const std::string text = "key file text 20 b\n";
    std::size_t length = 0;
    const Buffer cipher = run(true, Bytes(text.c_str(), text.c_str() + 20), length);
    EXPECT_EQ(Bytes(cipher.get(), cipher.get() + length),
              hex_bytes("47c4c141fd0e2c8fa959469c7989e992442732f4fc39a5019a0e734e97dd4751"));
    EXPECT_EQ(board.out(), "");
    // Over-long material and lengths that are no whole blocks fail and leave the length alone;
    // the wrong serial gives bytes that are not the text.
    const Bytes file(cipher.get(), cipher.get() + length);
    EXPECT_EQ(
        run(false, file, length, reinterpret_cast<const std::uint8_t*>("0123456789abcdefX"), 17),
        nullptr);
    EXPECT_EQ(run(false, Bytes(20, 0x5A), length), nullptr);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(board.out(), "Input data is not AES size correct");
    const Buffer other =
        run(false, file, length, reinterpret_cast<const std::uint8_t*>("SN9999999999"));
    EXPECT_NE(Bytes(other.get(), other.get() + std::min<std::size_t>(length, 20)),
              Bytes(text.begin(), text.end()));
}

}  // namespace
