#include "security/keyfile_crypt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/security/security_board.h"

namespace {

using security_test::Board;

struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, Free>;

const std::uint8_t* bytes(const char* text) {
    return reinterpret_cast<const std::uint8_t*>(text);
}

constexpr const char* SERIAL = "SN0123456789";

TEST(KeyfileCrypt, PaddingAndRoundTrip) {
    struct Row {
        std::size_t data_length;
        std::size_t cipher_length;
        std::size_t text_length;  // the data holds text of this length, then zero bytes
    };
    const Row rows[] = {
        {0, 0, 0},       {1, 16, 0},      {16, 16, 15}, {17, 32, 16},
        {452, 464, 451}, {464, 464, 451}, {48, 48, 48},  // no zero byte at all: the length is the
                                                         // whole data
    };
    Board board;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.data_length);
        std::vector<std::uint8_t> data(row.data_length, 0);
        for (std::size_t i = 0; i < row.text_length; ++i)
            data[i] = static_cast<std::uint8_t>('A' + i % 26);
        std::size_t cipher_length = 99;
        Buffer cipher(imgsign_encrypt(bytes(SERIAL), 12, data.data(), data.size(), &cipher_length));
        ASSERT_NE(cipher, nullptr);
        EXPECT_EQ(cipher_length, row.cipher_length);

        std::size_t out_length = 99;
        Buffer plain(imgsign_decrypt(bytes(SERIAL), 12, cipher.get(), cipher_length, &out_length));
        ASSERT_NE(plain, nullptr);
        EXPECT_EQ(out_length, row.text_length);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + row.text_length, plain.get()));
        // The buffer ends in a zero byte of its own, so no reader runs past it.
        EXPECT_EQ(plain.get()[out_length], 0);
    }
    EXPECT_EQ(board.out(), "");
}

// The same bytes as an independent AES-128-CBC implementation gives with the key "SN0123456789"
// followed by four zero bytes and a zero IV: the format of files written on other machines.
TEST(KeyfileCrypt, KnownCiphertext) {
    const std::array<std::uint8_t, 32> expected = {0x47, 0xc4, 0xc1, 0x41, 0xfd, 0x0e, 0x2c, 0x8f,
                                                   0xa9, 0x59, 0x46, 0x9c, 0x79, 0x89, 0xe9, 0x92,
                                                   0x44, 0x27, 0x32, 0xf4, 0xfc, 0x39, 0xa5, 0x01,
                                                   0x9a, 0x0e, 0x73, 0x4e, 0x97, 0xdd, 0x47, 0x51};
    Board board;
    const char text[] = "key file text 20 b\n";  // 19 characters and the NUL
    std::size_t length = 0;
    Buffer cipher(imgsign_encrypt(bytes(SERIAL), 12, bytes(text), sizeof text, &length));
    ASSERT_NE(cipher, nullptr);
    ASSERT_EQ(length, expected.size());
    EXPECT_EQ(std::memcmp(cipher.get(), expected.data(), expected.size()), 0);
    // Fixed IV: the same input always gives the same file.
    Buffer again(imgsign_encrypt(bytes(SERIAL), 12, bytes(text), sizeof text, &length));
    EXPECT_EQ(std::memcmp(again.get(), expected.data(), expected.size()), 0);
}

TEST(KeyfileCrypt, DecryptionFailuresAndForeignMaterial) {
    struct Row {
        const char* name;
        std::size_t length;
        const char* material;
        bool null_result;
        const char* output;
    };
    const Row rows[] = {
        {"20 bytes", 20, SERIAL, true, "Input data is not AES size correct"},
        {"500 bytes", 500, SERIAL, true, "Input data is not AES size correct"},
        {"other serial", 464, "SN9999999999", false, ""},
        {"material over 16 bytes", 464, nullptr, true, ""},
    };
    const std::string text(451, 'k');
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        std::size_t cipher_length = 0;
        Buffer cipher(imgsign_encrypt(bytes(SERIAL), 12, bytes(text.c_str()), text.size() + 1,
                                      &cipher_length));
        std::vector<std::uint8_t> input(row.length, 0x5A);
        std::memcpy(input.data(), cipher.get(), std::min(row.length, cipher_length));
        std::size_t out_length = 12345;
        const char* long_material = "0123456789abcdefX";
        Buffer plain(
            row.material != nullptr
                ? imgsign_decrypt(bytes(row.material), 12, input.data(), input.size(), &out_length)
                : imgsign_decrypt(bytes(long_material), 17, input.data(), input.size(),
                                  &out_length));
        EXPECT_EQ(plain == nullptr, row.null_result);
        EXPECT_EQ(board.out(), row.output);
        if (row.null_result) {
            EXPECT_EQ(out_length, 12345u);  // untouched on failure
        } else {
            // Wrong material gives bytes that are not the text, but never a length past the data.
            ASSERT_NE(plain, nullptr);
            EXPECT_LE(out_length, row.length);
            EXPECT_NE(std::string(reinterpret_cast<char*>(plain.get()), out_length), text);
        }
    }
}

TEST(KeyfileCrypt, WriteEncryptedFile) {
    struct Row {
        const char* name;
        const char* path;
        bool fail_creation;
        int result;
        const char* output;
        std::size_t file_size;  // 0: no file
    };
    const Row rows[] = {
        {"written", "/user/k.pem", false, 1, "", 464},
        {"directory missing", "/user/none/k.pem", false, 0,
         "ERROR creating file /user/none/k.pem\n", 0},
        {"creation fails", "/user/k.pem", true, 0, "ERROR creating file /user/k.pem\n", 0},
    };
    const std::string text(451, 'p');
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        if (row.fail_creation) board.sim().inject(security_test::fail_creating(row.path));
        EXPECT_EQ(imgsign_write_encrypted_file(bytes(text.c_str()), text.size() + 1, row.path,
                                               bytes(SERIAL), 12),
                  row.result);
        EXPECT_EQ(board.out(), row.output);
        EXPECT_EQ(board.exists(row.path), row.file_size != 0);
        if (row.file_size != 0) {
            const std::string file = board.file(row.path);
            ASSERT_EQ(file.size(), row.file_size);
            std::size_t out_length = 0;
            Buffer plain(
                imgsign_decrypt(bytes(SERIAL), 12, bytes(file.data()), file.size(), &out_length));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(plain.get()), out_length), text);
        }
    }
}

}  // namespace
