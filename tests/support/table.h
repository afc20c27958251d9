// Test tables kept in data files: tab-separated rows under a header line naming the columns;
// blank lines and lines starting with '#' are skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using TableRow = std::map<std::string, std::string>;

// The rows of tests/<relative>, read from the source tree; a missing file is a test failure.
std::vector<TableRow> read_table(std::string_view relative);

// C escapes of a table cell: \n \r \t \b \\ and \xHH.
std::string unescape(std::string_view text);

// Splits on a separator character, dropping empty pieces.
std::vector<std::string> split(std::string_view text, char separator);

// A number in decimal or 0x hexadecimal, with terms joined by + and -; `names` gives values
// to words such as "B" (a multiplier when written after a number: "3B" is three times B).
std::int64_t number_of(std::string_view text,
                       const std::map<std::string, std::int64_t>& names = {});
