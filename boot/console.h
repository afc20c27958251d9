// Operator input from the serial console: single keys, the line editor and y/N questions.
//
// Ctrl-C is the operator's break whether the terminal makes it SIGINT or passes it on as a byte
// (no ISIG, a piped console): either way the break flag is set. A single-key read then gives no
// key (0), as a read that SIGINT interrupts; the line editor ends the line at the byte with
// " <break>".
#pragma once

#include <cstddef>

unsigned console_get_key();
void console_put_char(int c);
char* console_read_line(char* buf, std::size_t size);
int console_confirm(const char* text);
