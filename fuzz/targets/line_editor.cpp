// The console line editor fed arbitrary key streams.
//
// Input: byte 0 chooses the buffer size (1 to 64), the rest are the keys. After the keys, Enter.
// The buffer is allocated at exactly its size, so any write past it is caught. The edited text is
// checked against a model of the editing rules, and the echo is replayed on a model terminal: when
// the line ends, the screen must show exactly the text with the terminal cursor at the edit
// position -- the point of all the redrawing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "boot/console.h"
#include "fuzz/support/fuzz_platform.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Model {
    std::string text;
    std::size_t cursor = 0;
    std::size_t free = 0;
    int escape = 0;
    bool ended = false;
    bool broke = false;

    void erase_under_cursor() {
        if (cursor == text.size()) return;
        text.erase(cursor, 1);
        ++free;
    }

    void key(std::uint8_t k) {
        if (escape == 1) {
            if (k == '[') {
                escape = 2;
                return;
            }
            escape = 0;
        } else if (escape == 2) {
            if ((k >= '0' && k <= '9') || k == ';') return;
            escape = 0;
            if (k == 'C') {
                k = 6;
            } else if (k == 'D') {
                k = 2;
            } else {
                return;
            }
        }
        switch (k) {
            case 1:
                cursor = 0;
                break;
            case 2:
                if (cursor > 0) --cursor;
                break;
            case 3:
                ended = true;
                broke = true;
                break;
            case 4:
                erase_under_cursor();
                break;
            case 6:
                if (cursor < text.size()) ++cursor;
                break;
            case 8:
            case 127:
                if (cursor > 0) {
                    --cursor;
                    erase_under_cursor();
                }
                break;
            case 10:
            case 13:
                ended = true;
                break;
            case 27:
                escape = 1;
                break;
            default:
                if (k >= 32 && free >= 2) {
                    text.insert(cursor, 1, static_cast<char>(k));
                    ++cursor;
                    --free;
                }
                break;
        }
    }
};

// The echo on a terminal of one line: BS moves left, bell does nothing, a newline ends the line.
struct Screen {
    std::string cells;
    std::size_t column = 0;
    bool done = false;

    void feed(const std::string& echo) {
        for (const char c : echo) {
            if (done) return;
            const auto byte = static_cast<unsigned char>(c);
            if (byte == '\n') {
                done = true;
            } else if (byte == 8) {
                check(column > 0);  // the editor never backs over the start of its line
                --column;
            } else if (byte != 7) {
                if (column == cells.size()) cells.push_back(c);
                cells[column] = c;
                ++column;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t buf_size = 1 + data[0] % 64;
    const std::span<const std::uint8_t> keys(data + 1, size - 1);

    auto& os = fuzz::platform();
    os.clear_output();
    os.set_console(keys, '\r');
    const auto buf = std::make_unique<char[]>(buf_size);
    std::memset(buf.get(), 'Z', buf_size);

    char* result = console_read_line(buf.get(), buf_size);
    check(result == buf.get());

    Model model;
    model.free = buf_size;
    std::size_t used = 0;
    while (!model.ended) {
        model.key(used < keys.size() ? keys[used] : '\r');
        ++used;
    }
    // The editor reads no key past the one that ends the line.
    check(os.keys_used() == used);
    check(std::strlen(buf.get()) == model.text.size() && model.text.size() < buf_size);
    check(std::memcmp(buf.get(), model.text.data(), model.text.size()) == 0);

    if (!model.broke) {
        Screen screen;
        screen.feed(os.out());
        check(screen.done);
        check(screen.column == model.cursor);
        check(screen.cells.size() >= model.text.size());
        check(screen.cells.compare(0, model.text.size(), model.text) == 0);
        for (std::size_t i = model.text.size(); i < screen.cells.size(); ++i) {
            check(screen.cells[i] == ' ');
        }
    } else {
        check(os.out().find(" <break>\n") != std::string::npos);
    }
    return 0;
}
