#include "sim/sim_faults.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

std::optional<unsigned long> number(std::string_view text, unsigned long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return std::nullopt;
    return v;
}

}  // namespace

std::optional<Fault> parse_fault(std::string_view text, std::string* error) {
    struct Kind {
        std::string_view name;
        FaultKind kind;
        unsigned long arg_max;  // 0: no ARG
    };
    static constexpr std::array<Kind, 16> kinds{{
        {"i2c-open", FaultKind::i2c_open, 1},
        {"i2c-select", FaultKind::i2c_select, 0x7F},
        {"i2c-write", FaultKind::i2c_write, 0x7F},
        {"i2c-read", FaultKind::i2c_read, 0x7F},
        {"i2c-short", FaultKind::i2c_short_read, 65535},
        {"flash-info", FaultKind::flash_info, 0},
        {"flash-read", FaultKind::flash_read, 0},
        {"flash-write", FaultKind::flash_write, 0},
        {"flash-erase", FaultKind::flash_erase, 0},
        {"flash-sync", FaultKind::flash_sync, 0},
        {"create", FaultKind::create_path, 1},
        {"sync", FaultKind::file_sync, 1},
        {"shell", FaultKind::shell, 1},
        {"exec", FaultKind::exec, 0},
        {"power-cut", FaultKind::power_cut, 0},
        {"power-cut-state", FaultKind::state_power_cut, 0},
    }};
    const std::string spec(text);
    const auto bad = [&](const char* what) {
        if (error != nullptr) *error = spec + what;
        return std::nullopt;
    };
    std::string_view rest = text;
    int errno_value = 0;  // 0: the kind's own
    if (const std::size_t eq = rest.rfind('='); eq != std::string_view::npos) {
        const auto n = number(rest.substr(eq + 1), 4095);
        if (n && *n != 0) {
            errno_value = static_cast<int>(*n);
            rest = rest.substr(0, eq);
        } else if (rest.find(':') > eq) {
            return bad(": =ERRNO wants an errno number from 1");
        }  // else a part of a path or a command prefix
    }
    const std::size_t colon = rest.find(':');
    const std::string_view head = rest.substr(0, colon);
    const std::string_view arg =
        colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    const std::size_t at = head.find('@');
    unsigned nth = 0;
    if (at != std::string_view::npos) {
        const auto n = number(head.substr(at + 1), 1000000000);
        if (!n || *n == 0) return bad(": @N wants a count from 1");
        nth = static_cast<unsigned>(*n);
    }
    const std::string_view name = head.substr(0, at);
    const auto* k = std::find_if(kinds.begin(), kinds.end(),
                                 [&](const Kind& kind) { return kind.name == name; });
    if (k == kinds.end()) return bad(": unknown fault (see --help)");
    Fault fault(k->kind, nth);
    if (k->arg_max == 0 && colon != std::string_view::npos) return bad(" takes no :ARG");
    if (k->kind == FaultKind::power_cut && nth == 0)
        return bad(": say after which operation, e.g. power-cut@3");
    if (k->kind == FaultKind::create_path || k->kind == FaultKind::file_sync ||
        k->kind == FaultKind::shell) {
        if (k->kind == FaultKind::create_path && arg.empty())
            return bad(": name the path, e.g. create:/tmp/zariximage.tar.gz");
        if (k->kind == FaultKind::file_sync && arg.empty())
            return bad(": name the file, e.g. sync:/user/install.log");
        fault.path = std::string(arg);
        fault.error = k->kind == FaultKind::create_path ? EACCES
                      : k->kind == FaultKind::shell     ? EAGAIN
                                                        : EIO;
    } else if (colon != std::string_view::npos) {
        const auto v = number(arg, k->arg_max);
        if (!v) return bad(": bad number after ':'");
        if (k->kind == FaultKind::i2c_short_read) {
            fault.bytes = static_cast<unsigned>(*v);
        } else {
            fault.device = static_cast<int>(*v);
        }
    }
    if (errno_value != 0) fault.error = errno_value;
    return fault;
}

void FaultPlan::inject(Fault fault) {
    fault.seen = 0;
    faults_.push_back(std::move(fault));
}

const Fault* FaultPlan::hits(FaultKind kind, int device, std::string_view text) {
    const Fault* hit = nullptr;
    for (auto& f : faults_) {
        if (f.kind != kind) continue;
        if (f.device >= 0 && f.device != device) continue;
        if ((kind == FaultKind::create_path || kind == FaultKind::file_sync) && f.path != text)
            continue;
        if (kind == FaultKind::shell && text.substr(0, f.path.size()) != f.path) continue;
        ++f.seen;
        if (hit == nullptr && (f.nth == 0 || f.seen == f.nth)) hit = &f;
    }
    if (hit != nullptr) errno = hit->error;
    return hit;
}

}  // namespace sim
