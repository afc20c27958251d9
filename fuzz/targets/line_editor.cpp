// The console line editor fed arbitrary keys, then Enter; the mode byte gives the buffer size (1
// to 64), allocated exactly so that any overrun is caught. The text must match a model of the
// editing rules, and the echo replayed on a model terminal must show exactly that text with the
// cursor at the edit position -- the point of all the redrawing.
#include <cstring>
#include <memory>
#include <string>

#include "boot/boot_settings.h"
#include "boot/console.h"
#include "fuzz/support/fuzz_board.h"

using fuzz::check;

namespace {

struct Model {
    std::string text;
    std::size_t cursor = 0, free = 0;
    int escape = 0;  // 1 after ESC, 2 inside ESC [
    bool ended = false, broke = false;

    void erase_under_cursor() {
        if (cursor < text.size()) text.erase(cursor, 1), ++free;
    }
    void key(std::uint8_t k) {
        if (k == 3) {  // a break, whatever came before it
            ended = broke = true;
            return;
        }
        if (escape == 2 && ((k >= '0' && k <= '9') || k == ';')) return;
        if (escape == 2) k = k == 'C' ? 6 : k == 'D' ? 2 : 0;  // only left and right move
        if (escape == 1 && k == '[') {
            escape = 2;
            return;
        }
        escape = 0;
        if (k == 1) cursor = 0;
        if (k == 2 && cursor > 0) --cursor;
        if (k == 4) erase_under_cursor();
        if (k == 6 && cursor < text.size()) ++cursor;
        if ((k == 8 || k == 127) && cursor > 0) --cursor, erase_under_cursor();
        if (k == 10 || k == 13) ended = true;
        if (k == 27) escape = 1;
        if (k >= 32 && k != 127 && free >= 2)
            text.insert(cursor++, 1, static_cast<char>(k)), --free;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto in = fuzz::split(data, size);
    const std::size_t buf_size = 1 + in.mode % 64;
    const std::string keys(in.data.begin(), in.data.end());
    // Past the keys Enter; twice, since the first may end an escape sequence.
    TestBoard& b = fuzz::reset(keys + "\r\r");
    const auto buf = std::make_unique<char[]>(buf_size);
    std::memset(buf.get(), 'Z', buf_size);
    boot_settings.break_flag = 0;
    check(console_read_line(buf.get(), buf_size) == buf.get());

    Model model;
    model.free = buf_size;
    std::size_t used = 0;
    for (; !model.ended; ++used) model.key(used < keys.size() ? keys[used] : '\r');
    // The editor reads no key past the one that ends the line.
    char rest[256];
    for (ssize_t n; (n = b->read(0, rest, sizeof rest)) > 0;) used += static_cast<std::size_t>(n);
    check(used == keys.size() + 2);
    check(model.text.size() < buf_size && buf.get() == model.text);

    const std::string echo = b.out();
    check(boot_settings.break_flag == (model.broke ? 1 : 0));
    if (model.broke) {
        check(echo.find(" <break>\n") != std::string::npos);
        return 0;
    }
    // The echo on a terminal of one line: BS moves left, bell does nothing, a newline ends it.
    std::string cells;
    std::size_t column = 0;
    for (const char c : echo.substr(0, echo.find('\n'))) {
        if (c == '\b') check(column-- > 0);  // the editor never backs over the start of its line
        if (c == '\b' || c == '\a') continue;
        if (column == cells.size()) cells.push_back(c);
        cells[column++] = c;
    }
    check(echo.find('\n') != std::string::npos && column == model.cursor);
    check(cells.starts_with(model.text) &&
          cells.find_first_not_of(' ', model.text.size()) == std::string::npos);
    return 0;
}
