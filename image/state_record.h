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

// Other files the boot manager keeps under "/user", on the medium when these return.
enum class FileWrite {
    ok,
    not_created,  // path + ".new" could not be created (errno set); the old file holds
    not_written,  // the data could not be written, synced or put in place (errno set)
};
// Replaces path whole by data the way state_record_write does: a file that a power cut tore
// would mislead its reader (a key file that loads as a damaged key) where the old one would not.
FileWrite state_file_replace(const char* path, std::span<const std::uint8_t> data);
// Appends text to a log file (created when missing) and syncs it: a power cut may lose at most
// the line being written, never the lines before it.
FileWrite state_file_append(const char* path, std::span<const std::uint8_t> text);
