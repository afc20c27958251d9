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

const std::map<std::string, std::string> kKeys = {
    {"production", PRODUCTION},
    {"development", DEVELOPMENT},
    {"", ""},
    {"NO_SERIAL", "WARNING: Serial # not set on this unit. Built in keys must be used\n"}};

// A key file already in "/user": what loading it gives, and whether it counts at start-up.
TABLE_TEST(KeyStoreExistingKeyFiles, "tests/security/data/key_files.tsv") {
    SecurityBoard board;
    const std::string text = fill(row["text"], kKeys);
    ASSERT_TRUE(board.write_file(
        PRODUCTION_KEY_PATH,
        (row["material"].empty() ? text : crypt(true, text, row["material"].c_str())) +
            std::string(static_cast<std::size_t>(row.num("extra")), 'x')));
    KeyRecord record;
    record.length = 777;
    EXPECT_EQ(imgsign_load_key(&record, PRODUCTION_KEY_PATH), row.num("result"));
    EXPECT_EQ(board.out(), row["output"]);
    const std::string loaded(reinterpret_cast<const char*>(record.data), record.length);
    EXPECT_TRUE(row.num("length") < 0 ? loaded != PRODUCTION : record.length == row.num("length"));
    EXPECT_EQ(loaded == PRODUCTION, row.num("length") == 451);
    EXPECT_EQ(imgsign_keys_present(), row.num("length") == 451 ? 1 : 0);
}

// The unit as it comes, by key path: what loading gives, what is printed, which file appears
// and what it is encrypted under.
TABLE_TEST(KeyStoreUnitStates, "tests/security/data/keystore.tsv") {
    sim::CreateOptions unit;
    unit.serial = row["serial"];
    SecurityBoard board(unit);
    for (const auto& f : faults_of(row["faults"])) board->inject(f);
    KeyRecord record;
    EXPECT_EQ(imgsign_load_key(&record, row["path"].c_str()), row.num("result"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data), record.length),
              kKeys.at(row["key"]));
    EXPECT_EQ(board.out(), fill(row["output"], kKeys));
    EXPECT_EQ(board.exists(row["path"]), !row["material"].empty());
    if (!row["material"].empty()) {
        EXPECT_EQ(crypt(false, board.file(row["path"]), row["material"].c_str()),
                  kKeys.at(row["key"]));
    }
}

TEST(KeyStore, NoRecordLoadsNothing) {
    SecurityBoard board;
    EXPECT_EQ(imgsign_load_key(nullptr, PRODUCTION_KEY_PATH), 0);
}

}  // namespace
