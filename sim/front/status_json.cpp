#include "sim/front/status_json.h"

#include <nlohmann/json.hpp>
#include <string>

namespace sim {

namespace {

nlohmann::ordered_json value_of(const StatusValue& v) {
    using Type = StatusValue::Type;
    switch (v.type) {
        case Type::boolean:
            return v.boolean;
        case Type::number:
            return v.number;
        case Type::string:
            return v.string;
        case Type::numbers:
            return v.numbers;
        case Type::strings:
            return v.strings;
        case Type::null:
            break;
    }
    return nullptr;
}

}  // namespace

void print_status_json(const std::vector<StatusSection>& report, std::FILE* to) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& section : report) {
        nlohmann::ordered_json& s = out[section.name] = nlohmann::ordered_json::object();
        for (const auto& v : section.values) {
            if (v.screen_only) continue;
            // "production.usable" nests: {"production": {"usable": ...}}
            nlohmann::ordered_json* at = &s;
            std::string name = v.name;
            for (std::size_t dot; (dot = name.find('.')) != std::string::npos;) {
                at = &(*at)[name.substr(0, dot)];
                name.erase(0, dot + 1);
            }
            (*at)[name] = value_of(v);
        }
    }
    // Bytes that are not UTF-8 (a damaged install log) become U+FFFD rather than invalid JSON.
    std::fputs(out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str(),
               to);
    std::fputc('\n', to);
}

}  // namespace sim
