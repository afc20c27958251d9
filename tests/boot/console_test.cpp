#include "boot/console.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "tests/support/board_fixture.h"

namespace {

struct LineCase {
    const char* name;
    sim::ConsoleScript keys;
    std::size_t size;
    std::string text;  // what the buffer holds
    std::string echo;  // what the terminal saw
};

TEST(ConsoleReadLine, EditsAsTheKeyTableSays) {
    const LineCase rows[] = {
        {"plain", "hello\r", 32, "hello", "hello\n"},
        {"LF ends too", "hi\n", 32, "hi", "hi\n"},
        {"insert before the cursor",
         "abd\x02"
         "c\r",
         32, "abcd", "abd\bcd\b\n"},
        {"backspace in the middle", "abcd\x02\x02\x08\r", 32, "acd", "abcd\b\b\bcd \b\b\b\n"},
        {"DEL like BS", "ab\x7f\r", 32, "a", "ab\b \b\n"},
        {"BS at the start does nothing",
         "\x08\x7f"
         "a\r",
         32, "a", "a\n"},
        {"Ctrl-A then insert",
         "bc\x01"
         "a\r",
         32, "abc", "bc\b\babc\b\b\n"},
        {"Ctrl-D under the cursor", "abc\x01\x04\r", 32, "bc", "abc\b\b\bbc \b\b\b\n"},
        {"Ctrl-D at the end does nothing", "ab\x04\r", 32, "ab", "ab\n"},
        {"Ctrl-F moves right", "abc\x01\x06\x06X\r", 32, "abXc", "abc\b\b\babXc\b\n"},
        {"Ctrl-F at the end does nothing", "ab\x06\r", 32, "ab", "ab\n"},
        {"ESC [ 1 ; 5 D is left", "ab\x1b[1;5Dc\r", 32, "acb", "ab\bcb\b\n"},
        {"ESC [ C is right", "ab\x01\x1b[Cx\r", 32, "axb", "ab\b\baxb\b\n"},
        {"ESC [ A does nothing", "ab\x1b[Ac\r", 32, "abc", "abc\n"},
        {"ESC x inserts x", "\x1bxy\r", 32, "xy", "xy\n"},
        {"TAB rings", "a\tb\r", 32, "ab",
         "a\x07"
         "b\n"},
        {"other controls ring",
         "\x05\x0b\x1f"
         "a\r",
         32, "a",
         "\x07\x07\x07"
         "a\n"},
        {"Ctrl-C breaks with the text", "ab\x03", 32, "ab", "ab <break>\n"},
        {"size 4 keeps 3", "abcde\r", 4, "abc", "abc\x07\x07\n"},
        {"full buffer still edits",
         "abcd\x08"
         "e\r",
         4, "abe", "abc\x07\b \be\n"},
        {"size 1 takes nothing", "ab\r", 1, "", "\x07\x07\n"},
        {"17 characters fit in 18 bytes", std::string(18, 'k') + "\r", 18, std::string(17, 'k'),
         std::string(17, 'k') + "\x07\n"},
        {"8-bit keys are text", "\xe9\xff\r", 32, "\xe9\xff", "\xe9\xff\n"},
        {"a read with nothing rings", sim::ConsoleScript().keys("a").nothing().keys("b\r"), 32,
         "ab",
         "a\x07"
         "b\n"},
    };
    for (const auto& row : rows) {
        TestBoard board;
        board.input(row.keys);
        std::vector<char> buf(row.size, 'Z');
        char* got = console_read_line(buf.data(), buf.size());
        EXPECT_EQ(got, buf.data()) << row.name;
        EXPECT_EQ(std::string(buf.data()), row.text) << row.name;
        EXPECT_EQ(board.out(), row.echo) << row.name;
        // Everything behind the text stays zero.
        for (std::size_t i = row.text.size(); i < buf.size(); ++i) {
            ASSERT_EQ(buf[i], '\0') << row.name << " at " << i;
        }
    }
}

TEST(ConsoleReadLine, BreakSignalRingsAndTheLineGoesOn) {
    TestBoard board;
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    board.input(sim::ConsoleScript().keys("a").interrupt().keys("b\r"));
    char buf[16];
    console_read_line(buf, sizeof buf);
    EXPECT_EQ(std::string(buf), "ab");
    EXPECT_EQ(board.out(),
              "a\x07"
              "b\n");
    EXPECT_EQ(boot_settings.break_flag, 1);
    boot_settings.break_flag = 0;
}

struct ConfirmCase {
    sim::ConsoleScript key;
    int answer;
    std::string echo;
};

TEST(ConsoleConfirm, OnlyYesIsYes) {
    const ConfirmCase rows[] = {
        {"y", 1, "y\n"},
        {"Y", 1, "Y\n"},
        {"n", 0, "n\n"},
        {"\r", 0, "\r\n"},
        {"yes", 1, "y\n"},  // one key only; the rest stays unread
        {sim::ConsoleScript().nothing(), 0, std::string("\0\n", 2)},
    };
    for (const auto& row : rows) {
        TestBoard board;
        board.input(row.key);
        EXPECT_EQ(console_confirm("Install image anyway?"), row.answer) << row.echo;
        EXPECT_EQ(board.out(), "Install image anyway? y/N? " + row.echo);
    }
}

TEST(ConsoleGetKey, PutsTheTerminalSettingsBack) {
    TestBoard board;
    struct termios before {};
    ASSERT_EQ(board->tcgetattr(0, &before), 0);
    board.input("q");
    EXPECT_EQ(console_get_key(), static_cast<unsigned>('q'));
    struct termios after {};
    ASSERT_EQ(board->tcgetattr(0, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST(ConsolePutChar, WritesTheLowByte) {
    TestBoard board;
    console_put_char(0x141);
    console_put_char('\n');
    EXPECT_EQ(board.out(), "A\n");
}

}  // namespace
