#include "tests/support/table.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

std::vector<TableRow> read_table(std::string_view relative) {
    std::ifstream in(std::string(BOOTMGR_SOURCE_DIR) + "/tests/" + std::string(relative));
    EXPECT_TRUE(in.good()) << "cannot read tests/" << relative;
    std::vector<std::string> columns;
    std::vector<TableRow> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        for (std::size_t at = 0, tab;; at = tab + 1) {
            tab = line.find('\t', at);
            cells.push_back(line.substr(at, tab == std::string::npos ? tab : tab - at));
            if (tab == std::string::npos) break;
        }
        if (columns.empty()) {
            columns = cells;
            continue;
        }
        EXPECT_EQ(cells.size(), columns.size()) << relative << ": " << line;
        TableRow row;
        for (std::size_t i = 0; i < cells.size() && i < columns.size(); ++i)
            row[columns[i]] = cells[i];
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == 'b' ? '\b' : c;
        }
    }
    return out;
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
