#include "rescue/input_check.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/table.h"

namespace {

TABLE_TEST(InputCheck, "tests/rescue/data/input_check.tsv") {
    const std::string text = row["text"];
    const std::string check = row.choice("check", {"mac", "filename", "ipv4"});
    if (check == "mac") {
        EXPECT_EQ(rescue_valid_mac(text.c_str()), row.num("ok") == 1);
    } else if (check == "filename") {
        EXPECT_EQ(rescue_valid_filename(text.c_str()), row.num("ok") == 1);
    } else {
        std::uint32_t address = 0xDEADBEEF;  // a refused text leaves it alone
        EXPECT_EQ(rescue_parse_ipv4(text.c_str(), &address), row.num("ok") == 1);
        char seen[48] = "";
        const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
        if (address != 0xDEADBEEF)
            std::snprintf(seen, sizeof seen, "%02x%02x%02x%02x %s %u", b[0], b[1], b[2], b[3],
                          rescue_format_ipv4(address).data(), rescue_ipv4_first_field(address));
        EXPECT_EQ(seen, row["value"]);
    }
}

}  // namespace
