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

// The percentage display of long work on the console: a field of blanks, then
// "\b\b\b\b%3.3d%" at each step and "\b\b\b\b100%\n" at the end. Flash writes show every
// step; file writes only a changed percentage.
class ProgressDisplay {
  public:
    // Prints the field unless shown is false (then every call is silent).
    ProgressDisplay(bool shown, const char* field, bool every_step);
    void step(unsigned percent);
    void finish();

  private:
    bool shown_;
    bool every_step_;
    int last_ = 0;
};
