#include "security/keystore.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "security/builtin_keys.h"
#include "security/keyfile_crypt.h"

namespace {

constexpr std::size_t MATERIAL_LEN = 12;
constexpr std::array<std::uint8_t, MATERIAL_LEN> DEFAULT_MATERIAL = {'p', 'l', 'o', 'v', 'e', 'r',
                                                                     'm', 'a', 'n', 't', 'i', 'c'};
static_assert(std::string_view("plovermantic").size() == MATERIAL_LEN);
constexpr std::uint16_t BUILTIN_KEY_TEXT_LEN = 451;
constexpr long KEY_FILE_MAX = 500;

// The built-in key that stands behind a key file path, or null for any other path.
const char* builtin_key_for(const char* path) {
    const std::string_view p(path);
    if (p == PRODUCTION_KEY_PATH) {
        return builtin_production_key;
    }
    if (p == DEVELOPMENT_KEY_PATH) {
        return builtin_development_key;
    }
    return nullptr;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int imgsign_load_key(KeyRecord* record, const char* path) {
    if (record == nullptr || path == nullptr) {
        return 0;
    }
    // The default stays in place when the serial number cannot be read.
    std::array<std::uint8_t, MATERIAL_LEN> material = DEFAULT_MATERIAL;
    eeprom_read_serial_number(material.data());

    const char* builtin = builtin_key_for(path);
    if (std::all_of(material.begin(), material.end(), [](std::uint8_t b) { return b == 0; })) {
        out_puts("WARNING: Serial # not set on this unit. Built in keys must be used");
        if (builtin == nullptr) {
            return 0;
        }
        std::memcpy(record->data, builtin, sizeof builtin_production_key);
        record->length = BUILTIN_KEY_TEXT_LEN;
        return 1;
    }

    record->length = 0;
    struct stat st {};
    if (platform::os().stat(path, &st) != 0) {
        if (builtin != nullptr) {
            imgsign_write_encrypted_file(reinterpret_cast<const std::uint8_t*>(builtin),
                                         sizeof builtin_production_key, path, material.data(),
                                         material.size());
        }
        if (platform::os().stat(path, &st) != 0) {
            out_puts("ERROR - unable to find system key");
            return 0;
        }
    }
    if (st.st_size > KEY_FILE_MAX) {
        out_printf("ERROR loading key as length too long %d > %d\n", static_cast<int>(st.st_size),
                   static_cast<int>(KEY_FILE_MAX));
        return 0;
    }

    std::size_t got = 0;
    {
        std::unique_ptr<std::FILE, FileCloser> file(platform::os().fopen(path, "rb"));
        if (!file) {
            return 0;
        }
        // The file may have changed since the status call: never read more than was judged.
        got = std::fread(record->data, 1, static_cast<std::size_t>(st.st_size), file.get());
    }

    // Only what was actually read is decrypted; a failed decryption leaves an empty key, which
    // no signature check accepts.
    std::size_t text_length = 0;
    std::uint8_t* text =
        imgsign_decrypt(material.data(), material.size(), record->data, got, &text_length);
    if (text != nullptr) {
        std::memcpy(record->data, text, text_length);
        std::free(text);
    }
    record->length = static_cast<std::uint16_t>(text_length);
    return 1;
}

namespace {

// A key file that decrypts to something other than a key (damaged, or encrypted under another
// unit's serial number) still "loads", but no image would ever verify against it; the start-up
// check reports it like a missing key so the operator hears of it before an install fails.
bool key_usable(const char* path) {
    KeyRecord scratch;
    if (imgsign_load_key(&scratch, path) == 0) {
        return false;
    }
    return scratch.length != 0 &&
           CA_MGMT_convertPublicKey(scratch.data, scratch.length, nullptr) == 0;
}

}  // namespace

int imgsign_keys_present() {
    // The development key is not looked at when the production key already fails.
    return key_usable(PRODUCTION_KEY_PATH) && key_usable(DEVELOPMENT_KEY_PATH) ? 1 : 0;
}
