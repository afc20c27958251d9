#include "security/keystore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "security/builtin_keys.h"
#include "security/keyfile_crypt.h"
#include "tests/support/security_fixture.h"

namespace {

const std::string PRODUCTION(builtin_production_key, 451),
    DEVELOPMENT(builtin_development_key, 451);

// enc: the key file format under the given material; else its inverse.
std::string crypt(bool enc, const std::string& in, const char* material = "SIM000000001") {
    std::size_t length = 0;
    auto* m = reinterpret_cast<const std::uint8_t*>(material);
    auto* data = reinterpret_cast<const std::uint8_t*>(in.data());
    std::uint8_t* out = enc ? imgsign_encrypt(m, 12, data, in.size(), &length)
                            : imgsign_decrypt(m, 12, data, in.size(), &length);
    std::string text(reinterpret_cast<char*>(out), out != nullptr ? length : 0);
    std::free(out);
    return text;
}

// A key file already in "/user": what loading it gives, and whether it counts at start-up.
TEST(KeyStore, ExistingKeyFiles) {
    const std::string key_file = crypt(true, PRODUCTION + '\0');
    const struct {
        const char* name;
        std::string file;
        int result;
        int length;  // -1: whatever garbage decrypts to, but not the key
        const char* output;
    } rows[] = {
        {"0 bytes", "", 1, 0, ""},
        {"16 bytes", crypt(true, std::string("short\0", 6)), 1, 5, ""},
        {"464 bytes, the key", key_file, 1, 451, ""},
        {"500 bytes", key_file + std::string(36, 'x'), 1, 0, "Input data is not AES size correct"},
        {"501 bytes", std::string(501, 'x'), 0, 0,
         "ERROR loading key as length too long 501 > 500\n"},
        {"other serial", crypt(true, PRODUCTION + '\0', "SIM000000002"), 1, -1, ""},
        {"garbage after decryption", crypt(true, std::string(464, 'z')), 1, 464, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SecurityBoard board;
        ASSERT_TRUE(board.write_file(PRODUCTION_KEY_PATH, row.file));
        KeyRecord record;
        record.length = 777;
        EXPECT_EQ(imgsign_load_key(&record, PRODUCTION_KEY_PATH), row.result);
        EXPECT_EQ(board.out(), row.output);
        const std::string text(reinterpret_cast<const char*>(record.data), record.length);
        EXPECT_TRUE(row.length < 0 ? text != PRODUCTION : record.length == row.length);
        EXPECT_EQ(text == PRODUCTION, row.length == 451);
        EXPECT_EQ(imgsign_keys_present(), row.length == 451 ? 1 : 0);
    }
}

// The unit as it comes, by key path: what loading gives, what is printed, which file appears
// and what it is encrypted under.
TEST(KeyStore, UnitStates) {
    const std::map<std::string, std::string> keys = {
        {"production", PRODUCTION},
        {"development", DEVELOPMENT},
        {"", ""},
        {"NO_SERIAL", "WARNING: Serial # not set on this unit. Built in keys must be used\n"}};
    for (const auto& row : read_table("tests/security/data/keystore.tsv")) {
        SCOPED_TRACE(row.where());
        sim::CreateOptions unit;
        unit.serial = row["serial"];
        SecurityBoard board(unit);
        for (const auto& f : faults_of(row["faults"])) board->inject(f);
        KeyRecord record;
        EXPECT_EQ(imgsign_load_key(&record, row["path"].c_str()), row.num("result"));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data), record.length),
                  keys.at(row["key"]));
        EXPECT_EQ(board.out(), fill(row["output"], keys));
        EXPECT_EQ(board.exists(row["path"]), !row["material"].empty());
        if (!row["material"].empty()) {
            EXPECT_EQ(crypt(false, board.file(row["path"]), row["material"].c_str()),
                      keys.at(row["key"]));
        }
    }
    SecurityBoard board;
    EXPECT_EQ(imgsign_load_key(nullptr, PRODUCTION_KEY_PATH), 0);
}

}  // namespace
