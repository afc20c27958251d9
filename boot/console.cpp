#include "boot/console.h"

#include <termios.h>

#include <cstring>

#include "boot/boot_settings.h"
#include "platform/console_io.h"
#include "platform/platform.h"

namespace {

constexpr unsigned char kBreak = 3;  // Ctrl-C as a byte: a terminal without ISIG, a piped console
constexpr unsigned char kBell = 7;
constexpr unsigned char kBackspace = 8;
constexpr unsigned char kEscape = 27;
constexpr unsigned char kDelete = 127;

enum class Escape { none, after_esc, in_sequence };

// The editor's view of the caller's buffer: text, cursor and the free count, with all echo done
// so that the terminal cursor ends where the edit position is.
class LineEditor {
  public:
    LineEditor(char* buf, std::size_t size) : buf_(buf), free_(size) {}

    void to_start() {
        for (; cursor_ > 0; --cursor_) console_put_char(kBackspace);
    }
    void left() {
        if (cursor_ == 0) return;
        --cursor_;
        console_put_char(kBackspace);
    }
    void right() {
        if (cursor_ == length_) return;
        console_put_char(buf_[cursor_]);
        ++cursor_;
    }
    void delete_under_cursor() {
        if (cursor_ == length_) return;
        std::memmove(buf_ + cursor_, buf_ + cursor_ + 1, length_ - cursor_);  // NUL included
        --length_;
        ++free_;
        for (std::size_t i = cursor_; i < length_; ++i) console_put_char(buf_[i]);
        console_put_char(' ');
        for (std::size_t i = cursor_; i <= length_; ++i) console_put_char(kBackspace);
    }
    void backspace() {
        if (cursor_ == 0) return;
        left();
        delete_under_cursor();
    }
    void insert(unsigned char key) {
        if (free_ < 2) {
            console_put_char(kBell);
            return;
        }
        console_put_char(key);
        for (std::size_t i = cursor_; i < length_; ++i) console_put_char(buf_[i]);
        for (std::size_t i = length_; i > cursor_; --i) {
            buf_[i] = buf_[i - 1];
            console_put_char(kBackspace);
        }
        buf_[cursor_] = static_cast<char>(key);
        ++cursor_;
        ++length_;
        buf_[length_] = '\0';
        --free_;
    }

  private:
    char* buf_;
    std::size_t free_;
    std::size_t cursor_ = 0;
    std::size_t length_ = 0;
};

// One byte from the console without echo or Enter, as it came; 0 when nothing came.
unsigned read_key() {
    auto& os = platform::os();
    struct termios saved {};
    const bool have_settings = os.tcgetattr(0, &saved) == 0;
    if (have_settings) {
        struct termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        os.tcsetattr(0, TCSANOW, &raw);
    }
    unsigned char key = 0;
    if (os.read(0, &key, 1) != 1) key = 0;
    if (have_settings) os.tcsetattr(0, TCSANOW, &saved);
    return key;
}

// Ctrl-C is the operator's break however it arrives: as a byte it sets the flag as SIGINT does.
bool is_break(unsigned key) {
    if (key != kBreak) return false;
    boot_settings.break_flag = 1;
    return true;
}

}  // namespace

unsigned console_get_key() {
    const unsigned key = read_key();
    // The key a break leaves is none, as after SIGINT, so that no caller takes it for an answer.
    return is_break(key) ? 0 : key;
}

void console_put_char(int c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    platform::os().write(1, &byte, 1);
}

char* console_read_line(char* buf, std::size_t size) {
    std::memset(buf, 0, size);
    LineEditor line(buf, size);
    Escape state = Escape::none;
    for (;;) {
        const unsigned key = read_key();
        if (is_break(key)) {
            out_puts(" <break>");
            return buf;
        }
        if (state == Escape::after_esc) {
            if (key == '[') {
                state = Escape::in_sequence;
                continue;
            }
            state = Escape::none;
        } else if (state == Escape::in_sequence) {
            if ((key >= '0' && key <= '9') || key == ';') continue;
            state = Escape::none;
            if (key == 'C') {
                line.right();
            } else if (key == 'D') {
                line.left();
            }
            continue;
        }

        switch (key) {
            case 1:
                line.to_start();
                break;
            case 2:
                line.left();
                break;
            case 4:
                line.delete_under_cursor();
                break;
            case 6:
                line.right();
                break;
            case kBackspace:
            case kDelete:
                line.backspace();
                break;
            case '\n':
            case '\r':
                console_put_char('\n');
                return buf;
            case kEscape:
                state = Escape::after_esc;
                break;
            default:
                if (key >= 32) {
                    line.insert(static_cast<unsigned char>(key));
                } else {
                    console_put_char(kBell);
                }
                break;
        }
    }
}

int console_confirm(const char* text) {
    out_printf("%s y/N? ", text);
    out_flush();
    const unsigned key = console_get_key();
    out_printf("%c\n", static_cast<int>(key));
    if (key == 0) return 0;
    return (key == 'y' || key == 'Y') ? 1 : 0;
}
