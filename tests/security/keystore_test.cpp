#include "security/keystore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "security/builtin_keys.h"
#include "security/keyfile_crypt.h"
#include "tests/security/security_board.h"

namespace {

using security_test::Board;

constexpr const char* SERIAL = "SIM000000001";  // the simulated board's default serial number

std::string encrypt(const std::string& plain, const char* material = SERIAL) {
    std::size_t length = 0;
    std::uint8_t* cipher =
        imgsign_encrypt(reinterpret_cast<const std::uint8_t*>(material), 12,
                        reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), &length);
    std::string file(reinterpret_cast<char*>(cipher), length);
    std::free(cipher);
    return file;
}

std::string decrypt(const std::string& file, const char* material = SERIAL) {
    std::size_t length = 0;
    std::uint8_t* plain =
        imgsign_decrypt(reinterpret_cast<const std::uint8_t*>(material), 12,
                        reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &length);
    if (plain == nullptr) return "<failed>";
    std::string text(reinterpret_cast<char*>(plain), length);
    std::free(plain);
    return text;
}

const std::string production_text(builtin_production_key, 451);
const std::string development_text(builtin_development_key, 451);

std::string text_of(const KeyRecord& record) {
    return {reinterpret_cast<const char*>(record.data), record.length};
}

// A key file already in "/user": what loading it gives.
TEST(KeyStore, ExistingKeyFiles) {
    struct Row {
        const char* name;
        std::function<std::string()> file;
        int result;
        int length;  // -1: whatever garbage decrypts to, but not the key
        const char* output;
    };
    const Row rows[] = {
        {"0 bytes", [] { return std::string(); }, 1, 0, ""},
        {"16 bytes", [] { return encrypt(std::string("short\0", 6)); }, 1, 5, ""},
        {"464 bytes, the key", [] { return encrypt(production_text + '\0'); }, 1, 451, ""},
        {"500 bytes", [] { return encrypt(production_text + '\0') + std::string(36, 'x'); }, 1, 0,
         "Input data is not AES size correct"},
        {"501 bytes", [] { return std::string(501, 'x'); }, 0, 0,
         "ERROR loading key as length too long 501 > 500\n"},
        {"not a multiple of 16", [] { return std::string(470, 'x'); }, 1, 0,
         "Input data is not AES size correct"},
        {"other serial", [] { return encrypt(production_text + '\0', "SIM000000002"); }, 1, -1, ""},
        {"garbage after decryption", [] { return encrypt(std::string(464, 'z')); }, 1, 464, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        board.write(PRODUCTION_KEY_PATH, row.file());
        KeyRecord record;
        record.length = 777;
        EXPECT_EQ(imgsign_load_key(&record, PRODUCTION_KEY_PATH), row.result);
        EXPECT_EQ(board.out(), row.output);
        if (row.length >= 0) {
            EXPECT_EQ(record.length, row.length);
        } else {
            EXPECT_NE(text_of(record), production_text);
        }
        if (row.length == 451) {
            EXPECT_EQ(text_of(record), production_text);
        }
        // Only a file that holds the key counts as present at start-up.
        EXPECT_EQ(imgsign_keys_present(), row.length == 451 ? 1 : 0);
    }
}

// The unit as it comes: which files appear, what they hold and what is printed.
TEST(KeyStore, UnitStates) {
    struct Row {
        const char* name;
        std::string serial;
        std::function<void(Board&)> setup;
        int present;
        const char* output;
        const char* material;  // what the created files are encrypted under; null: no files
    };
    const char* warning = "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    const Row rows[] = {
        {"fresh board", SERIAL, [](Board&) {}, 1, "", SERIAL},
        {"blank serial", "", [](Board&) {}, 1, "", nullptr},
        {"serial read fails", SERIAL,
         [](Board& b) {
             b.sim().inject(
                 security_test::fail_reading_device(sim::FaultKind::i2c_read, sim::kEepromAddr7));
         },
         1, nullptr, "plovermantic"},
        {"production key cannot be created", SERIAL,
         [](Board& b) { b.sim().inject(security_test::fail_creating(PRODUCTION_KEY_PATH)); }, 0,
         "ERROR creating file /user/production_key.pub.pem\nERROR - unable to find system key\n",
         nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board(security_test::with_serial(row.serial));
        row.setup(board);
        EXPECT_EQ(imgsign_keys_present(), row.present);
        if (row.serial.empty()) {
            EXPECT_EQ(board.out(), std::string(warning) + warning);
        } else if (row.output != nullptr) {
            EXPECT_EQ(board.out(), row.output);
        }
        EXPECT_EQ(board.exists(PRODUCTION_KEY_PATH), row.material != nullptr);
        EXPECT_EQ(board.exists(DEVELOPMENT_KEY_PATH), row.material != nullptr);
        if (row.material != nullptr) {
            EXPECT_EQ(board.file(PRODUCTION_KEY_PATH).size(), 464u);
            EXPECT_EQ(decrypt(board.file(PRODUCTION_KEY_PATH), row.material), production_text);
            EXPECT_EQ(decrypt(board.file(DEVELOPMENT_KEY_PATH), row.material), development_text);
        }
    }
}

TEST(KeyStore, LoadByPath) {
    struct Row {
        const char* name;
        std::string serial;
        const char* path;
        int result;
        std::string text;
        const char* output;
        bool created;
    };
    const Row rows[] = {
        {"production", SERIAL, PRODUCTION_KEY_PATH, 1, production_text, "", true},
        {"development", SERIAL, DEVELOPMENT_KEY_PATH, 1, development_text, "", true},
        {"other path is never created", SERIAL, "/user/other.pem", 0, "",
         "ERROR - unable to find system key\n", false},
        {"blank serial, built-in production key", "", PRODUCTION_KEY_PATH, 1, production_text,
         "WARNING: Serial # not set on this unit. Built in keys must be used\n", false},
        {"blank serial, other path", "", "/user/other.pem", 0, "",
         "WARNING: Serial # not set on this unit. Built in keys must be used\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board(security_test::with_serial(row.serial));
        KeyRecord record;
        EXPECT_EQ(imgsign_load_key(&record, row.path), row.result);
        EXPECT_EQ(board.out(), row.output);
        EXPECT_EQ(text_of(record), row.text);
        EXPECT_EQ(board.exists(row.path), row.created);
    }
    Board board;
    EXPECT_EQ(imgsign_load_key(nullptr, PRODUCTION_KEY_PATH), 0);
}

// A key file deleted while the unit runs comes back at the next load, with the built-in content.
TEST(KeyStore, DeletedKeyFileIsRecreated) {
    Board board;
    ASSERT_EQ(imgsign_keys_present(), 1);
    const std::string before = board.file(DEVELOPMENT_KEY_PATH);
    std::filesystem::remove(board.host(DEVELOPMENT_KEY_PATH));
    ASSERT_FALSE(board.exists(DEVELOPMENT_KEY_PATH));
    EXPECT_EQ(imgsign_keys_present(), 1);
    EXPECT_EQ(board.file(DEVELOPMENT_KEY_PATH).size(), 464u);
    EXPECT_EQ(board.file(DEVELOPMENT_KEY_PATH), before);
}

}  // namespace
