#include "boot/console.h"

#include <gtest/gtest.h>
#include <termios.h>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(Console, "tests/boot/data/console.tsv") {
    TestBoard board;
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    struct termios before {};
    ASSERT_EQ(board->tcgetattr(0, &before), 0);
    board.input(console_script(row["input"]));
    const std::string op = row["op"];
    std::string result;
    if (op.starts_with("line")) {
        std::vector<char> buf(std::stoul(op.substr(5)), 'Z');
        EXPECT_EQ(console_read_line(buf.data(), buf.size()), buf.data());
        result = buf.data();
        EXPECT_EQ(std::count(buf.begin() + static_cast<long>(result.size()), buf.end(), 0),
                  static_cast<long>(buf.size() - result.size()))
            << "everything behind the text is zero";
    } else if (op == "confirm") {
        result = std::to_string(console_confirm("Install image anyway?"));
    } else if (op == "key") {
        result = std::to_string(console_get_key());
    } else {
        EXPECT_EQ(op, "put");
        for (const char c : row["input"]) console_put_char(0x100 | c);
    }
    struct termios after {};
    ASSERT_EQ(board->tcgetattr(0, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "terminal settings put back";
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    EXPECT_EQ(result, row["result"]);
    EXPECT_EQ(boot_settings.break_flag, row.num("break"));
    EXPECT_EQ(board.out(), row["out"]);
    boot_settings.break_flag = 0;
}

}  // namespace
