// Operator input from the serial console: single keys, the line editor and y/N questions.
#pragma once

#include <cstddef>

unsigned console_get_key();
void console_put_char(int c);
char* console_read_line(char* buf, std::size_t size);
int console_confirm(const char* text);
