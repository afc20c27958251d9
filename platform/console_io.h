// Console output of the boot manager: standard output and standard error through the platform.
//
// Output is unbuffered (every call is one write), so the operator sees prompts and echo on the
// serial line at once and nothing needs flushing before a wait for input.
#pragma once

#include <cstdarg>

int out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int out_vprintf(const char* format, std::va_list args) __attribute__((format(printf, 1, 0)));
// Writes the text and a newline, as puts() does.
int out_puts(const char* text);
int err_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Kept for the places where the original flushes standard output; output is unbuffered.
inline void out_flush() {}
