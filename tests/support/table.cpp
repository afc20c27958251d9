#include "tests/support/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

TableRow::TableRow(std::shared_ptr<const std::vector<std::string>> columns,
                   std::vector<std::string> fields, std::string where)
    : columns_(std::move(columns)), fields_(std::move(fields)), where_(std::move(where)) {}

std::string TableRow::operator[](std::string_view column) const {
    const auto it = std::find(columns_->begin(), columns_->end(), column);
    if (it == columns_->end()) {
        ADD_FAILURE() << where_ << ": no column " << column;
        return {};
    }
    const auto i = static_cast<std::size_t>(it - columns_->begin());
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

std::vector<TableRow> read_table(const std::string& relative_path) {
    std::vector<TableRow> rows;
    std::ifstream file(std::string(BOOTMGR_SOURCE_DIR) + "/" + relative_path);
    if (!file) {
        ADD_FAILURE() << "cannot read " << relative_path;
        return rows;
    }
    std::shared_ptr<std::vector<std::string>> columns;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        auto fields = split(line, '\t');
        if (fields.empty() || line[0] == '#') continue;
        if (!columns) {
            columns = std::make_shared<std::vector<std::string>>(std::move(fields));
            continue;
        }
        const std::string where = relative_path + ":" + std::to_string(number) + " " + fields[0];
        if (fields.size() != columns->size()) {
            ADD_FAILURE() << where << ": " << fields.size() << " fields for " << columns->size()
                          << " columns";
            continue;
        }
        rows.emplace_back(columns, std::move(fields), where);
    }
    EXPECT_FALSE(rows.empty()) << relative_path << " holds no rows";
    return rows;
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
    struct Kind {
        std::string_view name;
        sim::FaultKind kind;
    };
    static constexpr Kind kinds[] = {
        {"i2c-open", sim::FaultKind::i2c_open},
        {"i2c-select", sim::FaultKind::i2c_select},
        {"i2c-write", sim::FaultKind::i2c_write},
        {"i2c-read", sim::FaultKind::i2c_read},
        {"i2c-short", sim::FaultKind::i2c_short_read},
        {"flash-info", sim::FaultKind::flash_info},
        {"flash-read", sim::FaultKind::flash_read},
        {"flash-write", sim::FaultKind::flash_write},
        {"flash-erase", sim::FaultKind::flash_erase},
        {"create", sim::FaultKind::create_path},
        {"shell", sim::FaultKind::shell},
        {"exec", sim::FaultKind::exec},
        {"power-cut-state", sim::FaultKind::state_power_cut},
    };
    std::vector<sim::Fault> faults;
    std::istringstream words{std::string(text)};
    for (std::string spec; words >> spec;) {
        if (spec == "-") continue;
        std::string error;
        if (const auto eq = spec.find('='); eq != std::string::npos) {
            error = spec.substr(eq + 1);
            spec.resize(eq);
        }
        std::string arg;
        if (const auto colon = spec.find(':'); colon != std::string::npos) {
            arg = spec.substr(colon + 1);
            spec.resize(colon);
        }
        unsigned nth = 0;
        if (const auto at = spec.find('@'); at != std::string::npos) {
            nth = static_cast<unsigned>(std::stoul(spec.substr(at + 1)));
            spec.resize(at);
        }
        const auto* kind = std::find_if(std::begin(kinds), std::end(kinds),
                                        [&](const Kind& k) { return k.name == spec; });
        if (kind == std::end(kinds)) {
            ADD_FAILURE() << "unknown fault " << spec;
            continue;
        }
        sim::Fault fault(kind->kind, nth);
        if (kind->kind == sim::FaultKind::create_path || kind->kind == sim::FaultKind::shell) {
            fault.path = arg;
        } else if (kind->kind == sim::FaultKind::i2c_short_read) {
            fault.bytes = arg.empty() ? 0 : static_cast<unsigned>(std::stoul(arg, nullptr, 0));
        } else if (!arg.empty()) {
            fault.device = static_cast<int>(std::stoul(arg, nullptr, 0));
        }
        if (!error.empty()) fault.error = std::stoi(error);
        faults.push_back(fault);
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
