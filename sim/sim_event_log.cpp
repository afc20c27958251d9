#include "sim/sim_event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

EventLog::~EventLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool EventLog::create(const std::filesystem::path& dir, std::string* error) {
    std::ofstream f(dir / "events.log", std::ios::binary | std::ios::trunc);
    if (!f) {
        *error = "cannot write " + (dir / "events.log").string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool EventLog::open(const std::filesystem::path& dir, std::string* error) {
    dir_ = dir;
    fd_ = ::open((dir / "events.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *error = "cannot open events.log: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

void EventLog::record(std::string_view kind, std::string_view text) const {
    if (fd_ < 0) return;
    std::string line;
    line.reserve(kind.size() + text.size() + 2);
    line += kind;
    line += ' ';
    line += escape(text);
    line += '\n';
    // One write per line keeps lines whole when a child process records as well.
    [[maybe_unused]] const ssize_t n = ::write(fd_, line.data(), line.size());
}

void EventLog::note(std::string_view text) const {
    record("board", text);
    if (echo_) {
        std::string line = "[board] ";
        line += text;
        line += '\n';
        [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
    }
}

std::vector<Event> EventLog::read() const {
    return read(dir_);
}

std::vector<Event> EventLog::read(const std::filesystem::path& dir) {
    std::ifstream f(dir / "events.log", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return parse_events(text);
}

std::vector<Event> parse_events(std::string_view text) {
    std::vector<Event> events;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            events.push_back({std::string(line), {}});
        } else {
            events.push_back(
                {std::string(line.substr(0, blank)), unescape(line.substr(blank + 1))});
        }
        pos = end + 1;
    }
    return events;
}

std::vector<std::string> event_texts(const std::vector<Event>& events, std::string_view kind) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.kind == kind) out.push_back(e.text);
    }
    return out;
}

}  // namespace sim
