#pragma once

// What a person reads of the extcap program: its errors, one line each on
// standard error, which Wireshark shows in a dialog; and, when Wireshark
// opened its control pipes for the interface's log button, what the trace
// would have told at a terminal: each capture's beginning and end and what
// it met in the interface's log, the counts in the status bar, and at the
// end of a file a dialog when something was left out or nothing captured.
// The capture says what happened; the words are all here.

#include "extcap/control_pipes.hpp"
#include "extcap/extcap_request.hpp"
#include "formats/other_formats.hpp"
#include "system/input_file.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
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

// Why a capture does not begin, or ends before its time.
enum class capture_refusal {
    source_is_a_folder,
    source_cannot_be_opened, // with the system's error number
    source_is_another_format, // with its row of the other formats
    pipe_is_the_source,
    pipe_cannot_be_opened,
    pipe_is_a_terminal,
    source_cannot_be_read,
    pipe_cannot_be_written,
};

struct capture_counts {
    std::uint64_t converted = 0;
    std::uint64_t skipped = 0;
    bool operator==(const capture_counts&) const = default;
};

// How a capture that was not refused ended.
enum class capture_end { end_of_file, stopped, reader_gone };

// The capture's messages. It is also the source's quiet hook, so that what
// waits to be sent to Wireshark goes while the source keeps the capture
// waiting.
class capture_report final : public quiet_input_hook {
public:
    // Opens Wireshark's control pipes when they are given and may be taken:
    // first of all, since Wireshark's side waits for the program's.
    capture_report(std::ostream& errors, const extcap_request& request);

    // Why a control path cannot be taken, if one cannot; it was not opened.
    const control_path_check& control_paths() const { return control_check_; }

    // The request cannot be carried out (`why` is its reason), a control
    // path is refused, or the capture is refused or fails.
    void request_refused(std::string_view why);
    void control_path_refused();
    void refused(capture_refusal what, int system_error = 0, const other_format* format = nullptr);

    // The capture begins: the log's first line names the source and the
    // options, with the local time.
    void began();
    void record_skipped(std::uint32_t number, std::uint8_t length, std::uint8_t flags);
    // A new capture in the followed file, or another file put in its place,
    // after `previous` of the old one: the counts start again.
    void new_capture(bool replaced, const capture_counts& previous);
    // The counts so far, in the status bar at most once a second, while
    // following.
    void progress(const capture_counts& counts);
    // The capture ended, after `counts` (and at the end of a file that is
    // not followed, `trailing_bytes` that are not a whole record).
    void ended(capture_end how, const capture_counts& counts, std::uint64_t trailing_bytes = 0);
    // Before the program ends: Wireshark opens its control pipes some time
    // after starting the program, on a busy machine seconds after, and its
    // window waits in that open until the program holds the other end; the
    // program stays until Wireshark has them (never past a stop, nor a
    // generous bound), and what is still waiting gets a moment to go.
    void finish();

    std::chrono::milliseconds quiet_due_in() override;
    void on_quiet() override;
    // Wireshark closed the pipe it writes after it was ready: it has gone
    // (killed, or crashed), and with it whoever reads the capture.
    bool reader_gone() const override { return pipes_.wireshark_gone(); }

private:
    static constexpr std::uint8_t logger = 0; // the interface's one control

    void error(std::string_view message);
    void refused_before_beginning(std::string_view why);
    void log(const std::string& line);
    bool counts_unshown() const;
    void show_counts();

    std::ostream& errors_;
    const extcap_request& request_;
    std::string source_;
    control_path_check control_check_;
    control_pipes pipes_;
    bool logged_end_ = false;
    std::chrono::steady_clock::time_point status_at_{};
    capture_counts latest_, shown_; // what the status bar should say, and says
    bool new_capture_unshown_ = false;  // the status bar has yet to say a new capture began
};

} // namespace wpan2pcap
