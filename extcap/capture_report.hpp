#pragma once

// What a person reads of the extcap program: its errors, one line each on
// standard error, which Wireshark shows in a dialog; and, when Wireshark
// opened its control pipes for the interface's log button, what the trace
// would have told at a terminal: lines in the interface's log, the counts in
// the status bar, and a warning when there was nothing to capture.

#include "extcap/extcap_request.hpp"
#include "system/input_file.hpp"
#include "system/system_files.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace wpan2pcap {

// `text` in double quotes.
std::string in_quotes(std::string_view text);
// A file's name as messages show it: in quotes, as a terminal shows it.
std::string quoted_name(const std::filesystem::path& path);

// Writes `message` to `errors` as one line, with nothing in it that a
// terminal or Wireshark's dialog would obey, whatever the names in it hold.
void report_error(std::ostream& errors, std::string_view message);

// Wireshark's control pipes, from the program's side: one it reads (Wireshark
// says it is ready, and what its controls are set to), one it writes
// (control packets: the byte 'T', a 3-byte big-endian length of what
// follows, the control's number, the command, the payload). Both are opened
// at once, as Wireshark on Windows waits for them to be; a POSIX pipe's
// writing end only opens once Wireshark reads it, which it does a moment
// later. Neither ever makes the capture wait: what Wireshark does not take
// at once is kept (up to a limit) and sent later; a pipe that cannot be
// opened, or whose reader has gone, is done without. A packet's header and
// its payload are written apart: Windows makes these pipes of messages, and
// Wireshark reads the header first.
class control_pipes {
public:
    enum command : std::uint8_t { initialized = 0, set = 1, add = 2, status_bar = 6, information = 7, warning = 8, error = 9 };

    control_pipes(const std::optional<std::filesystem::path>& from_wireshark, const std::optional<std::filesystem::path>& to_wireshark);

    bool given() const { return to_wireshark_path_.has_value(); }
    void send(std::uint8_t control, command what, std::string_view payload);
    // Reads what Wireshark sent, opens the pipe to it once it reads, and
    // sends what is waiting; never waits.
    void tend();
    bool has_pending() const { return !pending_.empty() && !gone_; }
    // True once Wireshark said it is ready (or never can: no pipe from it).
    bool wireshark_ready() const { return initialized_ || !from_wireshark_.valid(); }

private:
    void open_to_wireshark();

    file_descriptor from_wireshark_;
    std::string heard_; // what Wireshark sent, not yet a whole packet
    bool initialized_ = false;
    std::optional<std::filesystem::path> to_wireshark_path_;
    file_descriptor to_wireshark_;
    std::deque<std::string> pending_; // whole writes, the first perhaps begun
    std::size_t pending_size_ = 0;
    std::chrono::steady_clock::time_point opened_at_{}; // the last look for Wireshark's reader
    bool gone_ = false; // Wireshark's reader has gone: nothing more is sent
};

struct capture_counts {
    std::uint64_t converted = 0;
    std::uint64_t skipped = 0;
    bool operator==(const capture_counts&) const = default;
};

// The capture's messages. It is also the source's quiet hook, so that what
// waits to be sent to Wireshark goes while the source keeps the capture
// waiting.
class capture_report final : public quiet_input_hook {
public:
    capture_report(std::ostream& errors, const extcap_request& request);

    void error(std::string_view message);
    void record_skipped(std::uint32_t number, std::uint8_t length, std::uint8_t flags);
    // A new capture in the followed file, or another file put in its place.
    void new_capture(bool replaced);
    // The counts so far, in the status bar at most once a second, while
    // following.
    void progress(const capture_counts& counts);
    // The capture ended at the end of a file that is not followed.
    void end_of_file(const capture_counts& counts, std::uint64_t trailing_bytes);
    // At the capture's end: Wireshark opens its control pipes a moment after
    // starting the program, so what is still waiting gets that moment to go
    // (never past a stop).
    void finish();

    std::chrono::milliseconds quiet_due_in() override;
    void on_quiet() override;

private:
    static constexpr std::uint8_t logger = 0; // the interface's one control

    void log(const std::string& line);
    void show_counts();

    std::ostream& errors_;
    std::string source_;
    bool following_;
    control_pipes pipes_;
    std::chrono::steady_clock::time_point status_at_{};
    capture_counts latest_, shown_; // what the status bar should say, and says
};

} // namespace wpan2pcap
