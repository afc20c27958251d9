#include "crypto/crypto_platform.h"

#include <cstdlib>

#include "crypto/status.h"
#include "platform/console_io.h"
#include "platform/platform.h"

using namespace crypto_status;

void* CRYPTO_malloc(std::size_t size) {
    return std::malloc(size);
}
void CRYPTO_free(void* pointer) {
    std::free(pointer);
}

std::FILE* CRYPTO_fopen(const char* path, const char* mode) {
    return platform::os().fopen(path, mode);
}
int CRYPTO_fclose(std::FILE* file) {
    return std::fclose(file);
}
int CRYPTO_fseek(std::FILE* file, long offset, int whence) {
    return std::fseek(file, offset, whence);
}
void CRYPTO_rewind(std::FILE* file) {
    std::rewind(file);
}
long CRYPTO_ftell(std::FILE* file) {
    return std::ftell(file);
}
std::size_t CRYPTO_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* file) {
    return std::fread(buffer, size, count, file);
}
std::size_t CRYPTO_fwrite(const void* buffer, std::size_t size, std::size_t count,
                          std::FILE* file) {
    return std::fwrite(buffer, size, count, file);
}

int CRYPTO_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = out_vprintf(format, args);
    va_end(args);
    return n;
}

std::int32_t CRYPTO_readFile(const char* path, std::uint8_t** data, std::uint32_t* length) {
    if (path == nullptr || data == nullptr || length == nullptr) return ERR_NULL_POINTER;
    *data = nullptr;
    *length = 0;
    std::FILE* file = CRYPTO_fopen(path, "rb");
    if (file == nullptr) return ERR_FILE_OPEN;
    std::int32_t status = OK;
    long size = -1;
    if (CRYPTO_fseek(file, 0, SEEK_END) == 0) size = CRYPTO_ftell(file);
    // An empty or unsizable file counts as one that cannot be opened; a size that does not fit
    // the 32-bit length is refused rather than truncated.
    if (size <= 0 || static_cast<unsigned long>(size) >= 0xFFFFFFFFul) {
        status = ERR_FILE_OPEN;
    } else {
        auto* buffer =
            static_cast<std::uint8_t*>(CRYPTO_malloc(static_cast<std::size_t>(size) + 1));
        if (buffer == nullptr) {
            status = ERR_MEM_ALLOC;
        } else {
            CRYPTO_rewind(file);
            const std::size_t got = CRYPTO_fread(buffer, 1, static_cast<std::size_t>(size), file);
            if (got != static_cast<std::size_t>(size)) {
                CRYPTO_free(buffer);
                status = ERR_FILE_READ;
            } else {
                buffer[size] = 0;
                *data = buffer;
                *length = static_cast<std::uint32_t>(size);
            }
        }
    }
    CRYPTO_fclose(file);
    return status;
}

std::int32_t CRYPTO_freeFile(std::uint8_t** data) {
    if (data == nullptr) return ERR_NULL_POINTER;
    CRYPTO_free(*data);
    *data = nullptr;
    return OK;
}

std::int32_t CRYPTO_writeFile(const char* path, const std::uint8_t* data, std::uint32_t length) {
    if (path == nullptr || (data == nullptr && length != 0)) return ERR_NULL_POINTER;
    std::FILE* file = CRYPTO_fopen(path, "wb");
    if (file == nullptr) return ERR_FILE_OPEN;
    std::int32_t status = OK;
    if (length != 0 && CRYPTO_fwrite(data, 1, length, file) != length) status = ERR_FILE_WRITE;
    // A failed close loses buffered data: that is a short write too.
    if (CRYPTO_fclose(file) != 0 && status == OK) status = ERR_FILE_WRITE;
    return status;
}

std::int32_t CRYPTO_mutexCreate(CryptoMutex*) {
    return OK;
}
std::int32_t CRYPTO_mutexWait(CryptoMutex) {
    return OK;
}
std::int32_t CRYPTO_mutexRelease(CryptoMutex) {
    return OK;
}
std::int32_t CRYPTO_mutexFree(CryptoMutex*) {
    return OK;
}
std::int32_t CRYPTO_threadCreate(void (*)(void*), void*) {
    return ERR_THREAD_CREATE;
}
std::int32_t CRYPTO_startupHook(int which) {
    return which < 3 ? 0 : 1;
}
std::int32_t CRYPTO_clockRead(void*) {
    return 1;
}
std::uint32_t CRYPTO_elapsedMs(const void*) {
    return 0;
}
std::uint32_t CRYPTO_seconds() {
    return 0;
}
void CRYPTO_modExpHook() {}

namespace {
std::uint32_t debug_mask = DEBUG_CONSOLE_DEFAULT_MASK;
}

void DEBUG_CONSOLE_reset() {
    debug_mask = DEBUG_CONSOLE_DEFAULT_MASK;
}
std::uint32_t DEBUG_CONSOLE_mask() {
    return debug_mask;
}
void DEBUG_CONSOLE_setMask(std::uint32_t mask) {
    debug_mask = mask;
}
bool DEBUG_CONSOLE_enabled(std::uint32_t category) {
    return (debug_mask & category) == category;
}

void DEBUG_CONSOLE_printString(std::uint32_t category, const char* text) {
    if (DEBUG_CONSOLE_enabled(category)) CRYPTO_printf("%s", text);
}

void DEBUG_CONSOLE_printInt(std::uint32_t category, std::int32_t value) {
    if (DEBUG_CONSOLE_enabled(category)) CRYPTO_printf("%d", static_cast<int>(value));
}

void DEBUG_CONSOLE_printNewLine(std::uint32_t category) {
    DEBUG_CONSOLE_printString(category, "\r\n");
}

void DEBUG_CONSOLE_hexDump(std::uint32_t category, const std::uint8_t* data, std::uint32_t length) {
    if (!DEBUG_CONSOLE_enabled(category)) return;
    CRYPTO_printf("length = %u\r\n", static_cast<unsigned>(length));
    char line[16 * 3 + 3];
    std::uint32_t fill = 0;
    static constexpr char hex[] = "0123456789abcdef";
    for (std::uint32_t i = 0; i < length; ++i) {
        line[fill++] = hex[data[i] >> 4];
        line[fill++] = hex[data[i] & 15];
        line[fill++] = ' ';
        if ((i & 15) == 15 || i + 1 == length) {
            line[fill++] = '\r';
            line[fill++] = '\n';
            line[fill] = 0;
            CRYPTO_printf("%s", line);
            fill = 0;
        }
    }
}

std::int32_t DEBUG_CONSOLE_start() {
    const std::int32_t status = CRYPTO_threadCreate(nullptr, nullptr);
    if (status < 0)
        CRYPTO_printf("DEBUG_CONSOLE_start: Console debug thread spawn failed (%d).\n",
                      static_cast<int>(status));
    return status;
}
