// Test case tables kept in data files, one case per line, read by one table runner per module.
//
//   # comment lines and blank lines are skipped
//   name        input        expect        <- the first other line names the columns
//   plain       hello\r      hello\n
//   empty-case  -            -             <- "-" is the empty field
//
// Fields are separated by one or more tabs, so columns may be aligned. A field may hold C escapes
// (\n \r \t \a \b \e \\ \xHH \0) for console bytes. Columns are found by name, so a file may add
// a column without breaking its runner.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_board.h"

class TableRow {
  public:
    TableRow(std::shared_ptr<const std::vector<std::string>> columns,
             std::vector<std::string> fields, std::string where);
    // The decoded field of the column (a test failure names the column when it does not exist).
    std::string operator[](std::string_view column) const;
    // The field as a number: decimal, 0x hex or a leading minus sign.
    long long num(std::string_view column) const;
    // The field split at `separator`, empty items dropped ("-" gives none).
    std::vector<std::string> list(std::string_view column, char separator = '|') const;
    // Where the row stands ("file:line name"), for failure messages.
    const std::string& where() const { return where_; }

  private:
    std::shared_ptr<const std::vector<std::string>> columns_;
    std::vector<std::string> fields_;
    std::string where_;
};

// The rows of a data file, by path relative to the source tree ("tests/boot/data/x.tsv").
std::vector<TableRow> read_table(const std::string& relative_path);

// C escapes of a field decoded.
std::string unescape(std::string_view text);

// Console input from a field: the bytes, with "{int}" for a read that raises SIGINT and "{none}"
// for a read that finds nothing.
sim::ConsoleScript console_script(std::string_view text);

// Faults from a field: "kind[@N][:ARG][=ERRNO]" separated by blanks, "-" for none. Kinds as the
// simulator's --fault names them (i2c-open, i2c-select, i2c-write, i2c-read, i2c-short, flash-info,
// flash-read, flash-write, flash-erase, create, shell, exec); ARG is the 7-bit device of an I2C
// fault (the bus of i2c-open), the bytes of i2c-short, the path of create and the command prefix of
// shell.
std::vector<sim::Fault> faults_of(std::string_view text);

// Splits on a separator character, dropping empty pieces.
std::vector<std::string> split(std::string_view text, char separator);

// A number in decimal or 0x hexadecimal, with terms joined by + and -; `names` gives values
// to words such as "B" (a multiplier when written after a number: "3B" is three times B).
std::int64_t number_of(std::string_view text,
                       const std::map<std::string, std::int64_t>& names = {});

// "0d 04 ff" or "0d04ff" -> {0x0d, 0x04, 0xff}; "-" -> {}.
std::vector<std::uint8_t> hex_bytes(std::string_view text);
