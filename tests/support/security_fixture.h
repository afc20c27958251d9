// For the image security tests: a board with the process-wide state of a new power-up; and the
// transcript checks of the data files (the install table's too): named messages, ordered parts.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "image/image_format.h"
#include "security/signature_policy.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

using Bytes = std::vector<std::uint8_t>;

// A TestBoard with settings cleared, buses open and the library started; output kept from the
// start.
class SecurityBoard : public TestBoard {
  public:
    explicit SecurityBoard(const sim::CreateOptions& options = {}, sim::ConsoleScript keys = {})
        : TestBoard(options) {
        input(std::move(keys));
        boot_settings = BootSettings{};
        imgsign_developer_images_forget();
        i2c_open_buses();
        CRYPTO_LIB_initialize();
    }
    ~SecurityBoard() { i2c_close_buses(); }
    std::string file(std::string_view system_path) const {
        return read_file(system_path).value_or("");
    }
    // How often the code opened paths starting with prefix through the standard file functions.
    int opens(std::string_view prefix) const {
        int n = 0;
        for (const auto& text : sim::event_texts(events(), "fopen")) n += text.starts_with(prefix);
        return n;
    }
};

// The messages that the data files write as {NAME}.
inline const std::map<std::string, std::string>& texts() {
    static const auto all = [] {
        std::map<std::string, std::string> map;
        for (const auto& row : read_table("tests/security/data/texts.tsv"))
            map[row["name"]] = row["text"];
        return map;
    }();
    return all;
}

// A decoded table field with {NAME} replaced by names.at(NAME).
inline std::string fill(std::string text,
                        const std::map<std::string, std::string>& names = texts()) {
    for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
        const std::size_t end = text.find('}', at);
        if (end == std::string::npos) break;
        text.replace(at, end - at + 1, names.at(text.substr(at + 1, end - at - 1)));
    }
    return text;
}

// Whether the parts appear in the text in this order; parts are escaped fill() pieces with " ; "
// between them, and a part !TEXT must not appear anywhere.
inline void in_order(const std::string& text, std::string_view parts,
                     const std::map<std::string, std::string>& names = texts()) {
    std::size_t at = 0;
    while (!parts.empty()) {
        const std::size_t semi = parts.find(" ; ");
        const std::string part = fill(unescape(parts.substr(0, semi)), names);
        parts = semi == std::string_view::npos ? std::string_view() : parts.substr(semi + 3);
        if (part.starts_with('!')) {
            EXPECT_EQ(text.find(part.substr(1)), std::string::npos) << part << " in " << text;
            continue;
        }
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos)
            << "no \"" << part << "\" after " << at << " in " << text;
        at = found + part.size();
    }
}
