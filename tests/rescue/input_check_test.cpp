#include "rescue/input_check.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

struct Ipv4Case {
    const char* text;
    bool ok;
    std::array<unsigned, 4> octets;
};

class Ipv4Parse : public testing::TestWithParam<Ipv4Case> {};

TEST_P(Ipv4Parse, AcceptsOnlyPlainDottedDecimal) {
    const Ipv4Case& c = GetParam();
    std::uint32_t address = 0xDEADBEEF;
    ASSERT_EQ(rescue_parse_ipv4(c.text, &address), c.ok) << c.text;
    if (!c.ok) {
        EXPECT_EQ(address, 0xDEADBEEFu) << "a refused text must leave the address alone";
        return;
    }
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address, 4);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bytes[i], c.octets[i]) << c.text << " byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ipv4Parse,
    testing::Values(Ipv4Case{"192.168.1.10", true, {192, 168, 1, 10}},
                    Ipv4Case{"0.0.0.0", true, {0, 0, 0, 0}},
                    Ipv4Case{"255.255.255.255", true, {255, 255, 255, 255}},
                    Ipv4Case{"1.2.3.4", true, {1, 2, 3, 4}},
                    Ipv4Case{"10.0.0.1", true, {10, 0, 0, 1}}, Ipv4Case{"", false, {}},
                    Ipv4Case{"1.2.3", false, {}}, Ipv4Case{"1.2.3.4.5", false, {}},
                    Ipv4Case{"256.1.1.1", false, {}}, Ipv4Case{"1.2.3.999", false, {}},
                    Ipv4Case{"1..3.4", false, {}}, Ipv4Case{"1.2.3.4 ", false, {}},
                    Ipv4Case{" 1.2.3.4", false, {}}, Ipv4Case{"1.2.3.4;reboot", false, {}},
                    Ipv4Case{"0x7f.0.0.1", false, {}}, Ipv4Case{"010.0.0.1", false, {}},
                    Ipv4Case{"1.2.3.0004", false, {}}, Ipv4Case{"2130706433", false, {}},
                    Ipv4Case{"1.2.3.-4", false, {}}, Ipv4Case{"a.b.c.d", false, {}},
                    Ipv4Case{"1.2.3.", false, {}}));

TEST(Ipv4Format, RoundTripsEveryFieldWidth) {
    for (const char* text :
         {"0.0.0.0", "1.2.3.4", "10.20.30.40", "192.168.100.254", "255.255.255.255", "127.0.0.1"}) {
        std::uint32_t address = 0;
        ASSERT_TRUE(rescue_parse_ipv4(text, &address));
        EXPECT_STREQ(rescue_format_ipv4(address).data(), text);
        EXPECT_EQ(rescue_ipv4_first_field(address), std::stoul(text)) << text;
    }
}

struct TextCase {
    const char* text;
    bool ok;
};

class MacText : public testing::TestWithParam<TextCase> {};

TEST_P(MacText, SixHexFieldsAndNothingElse) {
    EXPECT_EQ(rescue_valid_mac(GetParam().text), GetParam().ok) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MacText,
    testing::Values(TextCase{"00:11:22:33:44:55", true}, TextCase{"1:2:3:4:5:6", true},
                    TextCase{"aA:bB:cC:dD:eE:fE", true}, TextCase{"02:00:5e:10:00:01", true},
                    TextCase{"", false}, TextCase{"00:11:22:33:44", false},
                    TextCase{"00:11:22:33:44:55:66", false}, TextCase{"00:11:22:33:44:5g", false},
                    TextCase{"000:11:22:33:44:55", false}, TextCase{"00::22:33:44:55", false},
                    TextCase{"00-11-22-33-44-55", false}, TextCase{"1:2:3:4:5:6;reboo", false},
                    TextCase{"1:2:3:4:5:6 ", false}, TextCase{"1:2:3:4:5:6\n", false}));

class FileName : public testing::TestWithParam<TextCase> {};

TEST_P(FileName, PlainPathCharactersOnly) {
    EXPECT_EQ(rescue_valid_filename(GetParam().text), GetParam().ok) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileName,
    testing::Values(TextCase{"image.pkg", true}, TextCase{"rel/v1.2/switch_fw-3+b.img", true},
                    TextCase{"/srv/tftp/a.b", true}, TextCase{"a..b", true}, TextCase{"ab", true},
                    TextCase{"", false}, TextCase{"-oops", false}, TextCase{"a b", false},
                    TextCase{"a;reboot", false}, TextCase{"$(reboot)", false},
                    TextCase{"`id`", false}, TextCase{"a|b", false}, TextCase{"a&", false},
                    TextCase{"a>b", false}, TextCase{"a'b", false}, TextCase{"a\"b", false},
                    TextCase{"a\\b", false}, TextCase{"a*", false}, TextCase{"a\tb", false},
                    TextCase{"a\x1b[2J", false}, TextCase{"caf\xc3\xa9", false},
                    TextCase{"../etc/passwd", false}, TextCase{"a/../../b", false},
                    TextCase{"a/..", false}));

}  // namespace
