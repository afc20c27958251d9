// The cryptographic library's platform layer and its debug console.
//
// The library reaches the operating system only through these calls. Files go through the boot
// manager's platform back end (platform::os()), memory through the system allocator, formatted
// text through the console output of platform/console_io.h. The boot manager runs one thread, so
// the mutex and thread hooks are fixed stubs.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Memory: every allocation and release of the library.
void* CRYPTO_malloc(std::size_t size);
void CRYPTO_free(void* pointer);

// Files, forwarded unchanged.
std::FILE* CRYPTO_fopen(const char* path, const char* mode);
int CRYPTO_fclose(std::FILE* file);
int CRYPTO_fseek(std::FILE* file, long offset, int whence);
void CRYPTO_rewind(std::FILE* file);
long CRYPTO_ftell(std::FILE* file);
std::size_t CRYPTO_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* file);
std::size_t CRYPTO_fwrite(const void* buffer, std::size_t size, std::size_t count, std::FILE* file);
int CRYPTO_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whole-file read into a new buffer of size + 1 bytes (released with CRYPTO_freeFile) and
// whole-file write. Statuses: -7201 cannot open (or empty file), -7202 short read, -7204 short
// write, -6101 out of memory.
std::int32_t CRYPTO_readFile(const char* path, std::uint8_t** data, std::uint32_t* length);
std::int32_t CRYPTO_freeFile(std::uint8_t** data);
std::int32_t CRYPTO_writeFile(const char* path, const std::uint8_t* data, std::uint32_t length);

// Fixed hooks of a single-threaded process.
using CryptoMutex = void*;
std::int32_t CRYPTO_mutexCreate(CryptoMutex* mutex);
std::int32_t CRYPTO_mutexWait(CryptoMutex mutex);
std::int32_t CRYPTO_mutexRelease(CryptoMutex mutex);
std::int32_t CRYPTO_mutexFree(CryptoMutex* mutex);
std::int32_t CRYPTO_threadCreate(void (*entry)(void*), void* argument);
std::int32_t CRYPTO_startupHook(int which);  // 0..2 give 0, 3..4 give 1
std::int32_t CRYPTO_clockRead(void* clock);
std::uint32_t CRYPTO_elapsedMs(const void* start);
std::uint32_t CRYPTO_seconds();
void CRYPTO_modExpHook();

// Debug console: category-masked trace items written with "%s" to standard output. An item is
// written only when all bits of its category are set in the mask; the mask stays 0x00400002 in
// the boot manager, so categories 4 (signing trace) and 32 (cipher failures) are silent.
inline constexpr std::uint32_t DEBUG_CONSOLE_DEFAULT_MASK = 0x00400002u;
inline constexpr std::uint32_t DEBUG_CATEGORY_IMGSIGN = 4;
inline constexpr std::uint32_t DEBUG_CATEGORY_CIPHER = 32;

void DEBUG_CONSOLE_reset();
std::uint32_t DEBUG_CONSOLE_mask();
// Only tests change the mask, to see trace text that the boot manager never prints.
void DEBUG_CONSOLE_setMask(std::uint32_t mask);
bool DEBUG_CONSOLE_enabled(std::uint32_t category);
void DEBUG_CONSOLE_printString(std::uint32_t category, const char* text);
void DEBUG_CONSOLE_printInt(std::uint32_t category, std::int32_t value);
void DEBUG_CONSOLE_printNewLine(std::uint32_t category);
// "length = N\r\n", then the bytes as "xx " sixteen to a line, each line ended by "\r\n".
void DEBUG_CONSOLE_hexDump(std::uint32_t category, const std::uint8_t* data, std::uint32_t length);
std::int32_t DEBUG_CONSOLE_start();
