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
//
// TABLE_TEST(Suite, "tests/x/data/y.tsv") { ... row["input"] ... } makes every row a test of its
// own, SuiteTable.Row/NAME (NAME: the row's name column, else its first, as an identifier), so that
// a failure names its row and the other rows still run. A row fails when it cannot be read, when
// its runner asks for a column the file lacks, when a word or key of a field is not one the runner
// knows (choice(), words()) and when it holds a field that the runner never read.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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
    // The field, which must be one of `choices`.
    std::string choice(std::string_view column,
                       std::initializer_list<std::string_view> choices) const;
    // The field, which must be a key of `map`.
    template <class Map>
    std::string key(std::string_view column, const Map& map) const {
        std::string value = (*this)[column];
        if (!map.contains(value)) fail(column, "\"" + value + "\" names nothing the runner knows");
        return value;
    }
    // The field as blank-separated words KEY or KEY=VALUE, in order; every KEY must be one of
    // `keys`.
    std::vector<std::pair<std::string, std::string>> words(
        std::string_view column, std::span<const std::string_view> keys) const;
    std::vector<std::pair<std::string, std::string>> words(
        std::string_view column, std::initializer_list<std::string_view> keys) const {
        return words(column, std::span(keys.begin(), keys.size()));
    }
    // Where the row stands ("file:line name"), for failure messages.
    const std::string& where() const { return where_; }
    // The row as a test name: an identifier, unique in its file.
    const std::string& name() const { return name_; }
    // Why the row cannot be used (it has the wrong number of fields, the file cannot be read).
    const std::string& error() const { return error_; }
    // The columns whose field is not empty and was never read.
    std::vector<std::string> unread() const;

  private:
    void fail(std::string_view column, const std::string& what) const;
    friend std::vector<TableRow> table_rows(const std::string& relative_path);
    std::shared_ptr<const std::vector<std::string>> columns_;
    std::vector<std::string> fields_;
    std::string where_, name_, error_;
    mutable std::vector<bool> read_;
};

// Every row of a data file, by path relative to the source tree ("tests/boot/data/x.tsv"), rows
// that cannot be used included (with their error()).
std::vector<TableRow> table_rows(const std::string& relative_path);

// The usable rows of a data file; the others are test failures.
std::vector<TableRow> read_table(const std::string& relative_path);

void PrintTo(const TableRow& row, std::ostream* os);

// The fixture of a TABLE_TEST: `row` is the row of the test.
class TableTest : public ::testing::TestWithParam<TableRow> {
  protected:
    const TableRow& row = GetParam();
    void SetUp() override;
    void TearDown() override;
};

std::string table_test_name(const ::testing::TestParamInfo<TableRow>& info);

#define TABLE_TEST(Suite, path)                                                     \
    class Suite##Table : public TableTest {};                                       \
    INSTANTIATE_TEST_SUITE_P(, Suite##Table, ::testing::ValuesIn(table_rows(path)), \
                             table_test_name);                                      \
    TEST_P(Suite##Table, Row)

// C escapes of a field decoded.
std::string unescape(std::string_view text);

// Console input from a field: the bytes, with "{int}" for a read that raises SIGINT and "{none}"
// for a read that finds nothing.
sim::ConsoleScript console_script(std::string_view text);

// Faults from a field: the simulator's --fault texts (sim::parse_fault) separated by blanks, "-"
// for none; a text it refuses is a test failure.
std::vector<sim::Fault> faults_of(std::string_view text);

// Splits on a separator character, dropping empty pieces.
std::vector<std::string> split(std::string_view text, char separator);

// A number in decimal or 0x hexadecimal, with terms joined by + and -; `names` gives values
// to words such as "B" (a multiplier when written after a number: "3B" is three times B).
std::int64_t number_of(std::string_view text,
                       const std::map<std::string, std::int64_t>& names = {});

// "0d 04 ff" or "0d04ff" -> {0x0d, 0x04, 0xff}; "-" -> {}.
std::vector<std::uint8_t> hex_bytes(std::string_view text);
