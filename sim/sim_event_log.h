// The board's event log: events.log in the board directory, one line per event, "<kind> <text>"
// (line ends inside a text written as \n). Every unit of the board records here what it did, so
// that a test or an engineer can read the road a power-up took after the process is gone.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Event {
    std::string kind;
    std::string text;
    bool operator==(const Event&) const = default;
};

class EventLog {
  public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Opens <dir>/events.log for appending; false with a message in *error when it cannot.
    bool open(const std::filesystem::path& dir, std::string* error);
    // An empty log for a fresh board.
    static bool create(const std::filesystem::path& dir, std::string* error);

    void record(std::string_view kind, std::string_view text) const;
    // The board's own remarks: recorded as "board" events and, unless the console is captured,
    // shown as "[board] TEXT" lines on the real standard error.
    void note(std::string_view text) const;
    void set_echo(bool on) { echo_ = on; }
    bool echo() const { return echo_; }

    std::vector<Event> read() const;
    static std::vector<Event> read(const std::filesystem::path& dir);

  private:
    std::filesystem::path dir_;
    int fd_ = -1;
    bool echo_ = true;
};

// Parses events.log text.
std::vector<Event> parse_events(std::string_view text);
// The texts of the events of one kind, in order.
std::vector<std::string> event_texts(const std::vector<Event>& events, std::string_view kind);

}  // namespace sim
