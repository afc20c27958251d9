// The boot manager's own small records under "/user" (beside the EEPROM fields the boot loader
// shares): each is one file of a tag, a length, the body and a CRC-32, replaced whole by a
// rename, so that a power cut at any moment leaves the old record or the new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t STATE_RECORD_MAX_BODY = 256;

enum class RecordRead {
    ok,       // the body was filled from a whole record of this tag and length
    missing,  // no record: the state it keeps has never been set (or was cleared)
    damaged,  // a file that is no whole record of this tag and length: tampering or a bad medium
};

// Fills body, whose size is the record's fixed body length. A record that cannot be read must
// never stop a boot: callers decide what a missing or damaged one means for them.
RecordRead state_record_read(const char* path, std::uint32_t tag, std::span<std::uint8_t> body);

// Writes the record to path + ".new", syncs it, renames it over path and syncs the directory.
// 0 when the record is on the medium, -1 (errno set) when the old record, if any, still holds.
int state_record_write(const char* path, std::uint32_t tag, std::span<const std::uint8_t> body);

// Removes the record; a missing one is no error. 0 or -1 (errno set).
int state_record_remove(const char* path);
