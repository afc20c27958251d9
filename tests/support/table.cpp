#include "tests/support/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

TableRow::TableRow(std::shared_ptr<const std::vector<std::string>> columns,
                   std::vector<std::string> fields, std::string where)
    : columns_(std::move(columns)),
      fields_(std::move(fields)),
      where_(std::move(where)),
      read_(columns_->size()) {}

std::string TableRow::operator[](std::string_view column) const {
    const auto it = std::find(columns_->begin(), columns_->end(), column);
    if (it == columns_->end() || fields_.size() != columns_->size()) {
        ADD_FAILURE() << where_ << ": no column " << column;
        return {};
    }
    const auto i = static_cast<std::size_t>(it - columns_->begin());
    read_[i] = true;
    return fields_[i] == "-" ? std::string() : unescape(fields_[i]);
}

long long TableRow::num(std::string_view column) const {
    const std::string text = (*this)[column];
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') ADD_FAILURE() << where_ << ": " << column << " not a number";
    return value;
}

std::vector<std::string> TableRow::list(std::string_view column, char separator) const {
    return split((*this)[column], separator);
}

void TableRow::fail(std::string_view column, const std::string& what) const {
    ADD_FAILURE() << where_ << ": " << column << ": " << what;
}

std::string TableRow::choice(std::string_view column,
                             std::initializer_list<std::string_view> choices) const {
    std::string value = (*this)[column];
    if (std::find(choices.begin(), choices.end(), value) == choices.end()) {
        std::string known;
        for (const auto c : choices) known += (known.empty() ? "" : " | ") + std::string(c);
        fail(column, "\"" + value + "\" is none of " + known);
    }
    return value;
}

std::vector<std::pair<std::string, std::string>> TableRow::words(
    std::string_view column, std::span<const std::string_view> keys) const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& word : list(column, ' ')) {
        const auto eq = word.find('=');
        std::string key = word.substr(0, eq),
                    value = eq == std::string::npos ? "" : word.substr(eq + 1);
        const bool known = std::find(keys.begin(), keys.end(), key) != keys.end();
        if (!known) {
            fail(column, "unknown key " + key);
            continue;
        }
        out.emplace_back(std::move(key), std::move(value));
    }
    return out;
}

std::vector<std::string> TableRow::unread() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < read_.size() && fields_.size() == read_.size(); ++i)
        if (!read_[i] && fields_[i] != "-" && (*columns_)[i] != "name")
            out.push_back((*columns_)[i]);
    return out;
}

namespace {

// Runs of anything but letters and digits become one '_'.
std::string identifier(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out.empty() ? "row" : out;
}

}  // namespace

std::vector<TableRow> table_rows(const std::string& relative_path) {
    std::vector<TableRow> rows;
    auto columns = std::make_shared<std::vector<std::string>>();
    const auto broken = [&](const std::string& name, const std::string& error) {
        rows.emplace_back(columns, std::vector<std::string>{}, relative_path);
        rows.back().name_ = name;
        rows.back().error_ = error;
    };
    std::ifstream file(std::string(BOOTMGR_SOURCE_DIR) + "/" + relative_path);
    if (!file) {
        broken("unreadable", "cannot read " + relative_path);
        return rows;
    }
    std::vector<int> lines;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        auto fields = split(line, '\t');
        if (fields.empty() || line[0] == '#') continue;
        if (columns->empty()) {
            *columns = std::move(fields);
            continue;
        }
        const std::string where = relative_path + ":" + std::to_string(number) + " " + fields[0];
        const std::size_t count = fields.size();
        rows.emplace_back(columns, std::move(fields), where);
        lines.push_back(number);
        if (count != columns->size())
            rows.back().error_ = std::to_string(count) + " fields for " +
                                 std::to_string(columns->size()) + " columns";
    }
    if (rows.empty()) broken("no_rows", relative_path + " holds no rows");
    // A name that several rows share takes each row's line number.
    const auto name_at = std::find(columns->begin(), columns->end(), "name");
    const auto name_column =
        static_cast<std::size_t>(name_at == columns->end() ? 0 : name_at - columns->begin());
    std::map<std::string, int> uses;
    for (auto& row : rows)
        if (row.name_.empty())
            row.name_ =
                identifier(row.fields_.size() > name_column ? row.fields_[name_column] : "");
    for (const auto& row : rows) ++uses[row.name_];
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (uses[rows[i].name_] == 1) continue;
        rows[i].name_ += "_L" + std::to_string(lines[i]);
        while (uses.contains(rows[i].name_)) rows[i].name_ += "_";
    }
    return rows;
}

std::vector<TableRow> read_table(const std::string& relative_path) {
    auto rows = table_rows(relative_path);
    std::erase_if(rows, [](const TableRow& row) {
        if (!row.error().empty()) ADD_FAILURE() << row.where() << ": " << row.error();
        return !row.error().empty();
    });
    return rows;
}

void PrintTo(const TableRow& row, std::ostream* os) {
    *os << row.where();
}

void TableTest::SetUp() {
    if (!row.error().empty()) FAIL() << row.where() << ": " << row.error();
}

void TableTest::TearDown() {
    if (HasFatalFailure() || IsSkipped()) return;
    for (const auto& column : row.unread())
        ADD_FAILURE() << row.where() << ": column " << column
                      << " is never read: a misspelt column, or a check the runner lacks";
}

std::string table_test_name(const ::testing::TestParamInfo<TableRow>& info) {
    return info.param.name();
}

std::string unescape(std::string_view text) {
    static constexpr std::string_view kFrom = "nrtabe0", kTo{"\n\r\t\a\b\x1b\0", 7};
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : '\0';
        if (c == '\0') {
            out += text[i];
        } else if (kFrom.find(c) != std::string_view::npos) {
            out += kTo[kFrom.find(c)];
        } else if (c == 'x' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

sim::ConsoleScript console_script(std::string_view text) {
    sim::ConsoleScript script;
    std::string keys;
    for (std::size_t i = 0; i < text.size();) {
        const bool interrupt = text.substr(i, 5) == "{int}";
        if (interrupt || text.substr(i, 6) == "{none}") {
            if (!keys.empty()) script.keys(keys);
            keys.clear();
            interrupt ? script.interrupt() : script.nothing();
            i += interrupt ? 5 : 6;
        } else {
            keys += text[i++];
        }
    }
    if (!keys.empty()) script.keys(keys);
    return script;
}

std::vector<sim::Fault> faults_of(std::string_view text) {
    std::vector<sim::Fault> faults;
    std::istringstream words{std::string(text)};
    for (std::string spec; words >> spec;) {
        if (spec == "-") continue;
        std::string error;
        if (auto fault = sim::parse_fault(spec, &error))
            faults.push_back(std::move(*fault));
        else
            ADD_FAILURE() << "fault " << error;
    }
    return faults;
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find(separator, at);
        if (end == std::string_view::npos) end = text.size();
        if (end > at) pieces.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

std::int64_t number_of(std::string_view text, const std::map<std::string, std::int64_t>& names) {
    std::int64_t total = 0;
    int sign = 1;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '+' || text[i] == '-') {
            sign = text[i++] == '-' ? -1 : 1;
            continue;
        }
        std::size_t used = 0;
        std::int64_t term = 1;
        if (std::isdigit(static_cast<unsigned char>(text[i])))
            term = std::stoll(std::string(text.substr(i)), &used, 0);
        i += used;
        std::size_t end = i;
        while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
        if (end > i) {
            const auto name = names.find(std::string(text.substr(i, end - i)));
            EXPECT_NE(name, names.end()) << "unknown word in " << text;
            if (name != names.end()) term *= name->second;
            i = end;
        }
        total += sign * term;
    }
    return total;
}

std::vector<std::uint8_t> hex_bytes(std::string_view text) {
    std::vector<std::uint8_t> out;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) {
        if (word == "-") continue;
        // A word of one or two digits is one byte; a longer one is a run of byte pairs.
        const std::size_t step = word.size() <= 2 ? word.size() : 2;
        for (std::size_t at = 0; at + step <= word.size(); at += step)
            out.push_back(
                static_cast<std::uint8_t>(std::stoul(word.substr(at, step), nullptr, 16)));
    }
    return out;
}
