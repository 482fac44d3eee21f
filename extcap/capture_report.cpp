#include "extcap/capture_report.hpp"

#include "formats/capture_record.hpp"
#include "system/count_text.hpp"
#include "system/path_text.hpp"
#include "system/stop_signals.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace wpan2pcap {

namespace {

constexpr char control_sync = 'T';
constexpr std::size_t control_header_size = 6;
// What Wireshark has not taken yet is kept up to this much; later messages
// are dropped whole.
constexpr std::size_t control_pending_limit = 256 * 1024;
constexpr std::chrono::seconds status_interval{1};
// How long a capture's end waits for Wireshark to open its control pipes.
constexpr std::chrono::seconds control_patience{2};
constexpr std::chrono::milliseconds control_look_interval{10};

std::string hex_byte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

} // namespace

std::string in_quotes(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

std::string quoted_name(const std::filesystem::path& path) { return visible_text(in_quotes(path_text(path))); }

void report_error(std::ostream& errors, std::string_view message)
{
    errors << "wpan2pcap-extcap: " << visible_text(message) << std::endl;
}

control_pipes::control_pipes(const std::optional<std::filesystem::path>& from_wireshark,
                             const std::optional<std::filesystem::path>& to_wireshark)
    : to_wireshark_path_(to_wireshark)
{
    // Opened at once: Wireshark's own open of its writing end waits for it.
    if (from_wireshark)
        from_wireshark_ = open_pipe_without_waiting(*from_wireshark, false);
    if (to_wireshark_path_)
        open_to_wireshark();
}

void control_pipes::open_to_wireshark()
{
    to_wireshark_ = open_pipe_without_waiting(*to_wireshark_path_, true);
    // Wireshark reads it later, or never; a name that is not a pipe will
    // never be read.
    if (!to_wireshark_.valid() && !names_a_pipe(*to_wireshark_path_)) {
        gone_ = true;
        pending_.clear();
    }
}

void control_pipes::send(std::uint8_t control, command what, std::string_view payload)
{
    if (!given() || gone_ || pending_size_ + control_header_size + payload.size() > control_pending_limit)
        return;
    const std::size_t length = payload.size() + 2;
    std::string header(control_header_size, '\0');
    header[0] = control_sync;
    header[1] = static_cast<char>(length >> 16 & 0xFF);
    header[2] = static_cast<char>(length >> 8 & 0xFF);
    header[3] = static_cast<char>(length & 0xFF);
    header[4] = static_cast<char>(control);
    header[5] = static_cast<char>(what);
    pending_.push_back(std::move(header));
    if (!payload.empty())
        pending_.emplace_back(payload);
    pending_size_ += control_header_size + payload.size();
    tend();
}

void control_pipes::tend()
{
    if (from_wireshark_.valid()) {
        char received[512];
        for (std::size_t got = 1; got > 0;) {
            got = read_without_waiting(from_wireshark_.get(), received);
            heard_.append(received, got);
        }
        // Only whether Wireshark said it is ready matters here.
        while (heard_.size() >= control_header_size) {
            const auto length = static_cast<std::size_t>(static_cast<unsigned char>(heard_[1])) << 16 |
                                static_cast<std::size_t>(static_cast<unsigned char>(heard_[2])) << 8 |
                                static_cast<unsigned char>(heard_[3]);
            if (heard_.size() < 4 + length)
                break;
            if (heard_[0] == control_sync && heard_[5] == static_cast<char>(initialized))
                initialized_ = true;
            heard_.erase(0, 4 + std::max<std::size_t>(length, 2));
        }
    }
    if (pending_.empty() || gone_ || !to_wireshark_path_)
        return;
    if (!to_wireshark_.valid()) {
        // Looked for now and then, not at every message.
        const auto now = std::chrono::steady_clock::now();
        if (now - opened_at_ < control_look_interval)
            return;
        opened_at_ = now;
        open_to_wireshark();
        if (!to_wireshark_.valid())
            return;
    }
    while (!pending_.empty()) {
        std::size_t written = 0;
        if (write_without_waiting(to_wireshark_.get(), pending_.front(), written) != io_result::done) {
            gone_ = true;
            pending_.clear();
            to_wireshark_.close();
            return;
        }
        pending_size_ -= written;
        if (written < pending_.front().size()) { // the pipe is full: the rest later
            pending_.front().erase(0, written);
            return;
        }
        pending_.pop_front();
    }
}

capture_report::capture_report(std::ostream& errors, const extcap_request& request)
    : errors_(errors), source_(request.source ? quoted_name(*request.source) : ""), following_(request.follow),
      pipes_(request.control_in, request.control_out)
{
}

void capture_report::error(std::string_view message) { report_error(errors_, message); }

void capture_report::log(const std::string& line) { pipes_.send(logger, control_pipes::add, line + "\n"); }

void capture_report::record_skipped(std::uint32_t number, std::uint8_t length, std::uint8_t flags)
{
    if (pipes_.given())
        log("record " + std::to_string(number) + " skipped: invalid length " + std::to_string(length) + " with flags " +
            hex_byte(flags));
}

void capture_report::new_capture(bool replaced)
{
    log(replaced ? source_ + " was replaced by another file: read from its first record"
                 : "a new capture in " + source_ + ": read again from its first record");
}

void capture_report::progress(const capture_counts& counts)
{
    // A capture that does not follow shows its counts once, at its end.
    if (!pipes_.given() || !following_)
        return;
    latest_ = counts;
    show_counts();
}

// Counts held back by the once-a-second limit go out while the file is
// quiet, so the status bar never stays behind the capture.
void capture_report::show_counts()
{
    const auto now = std::chrono::steady_clock::now();
    if (latest_ == shown_ || now - status_at_ < status_interval)
        return;
    status_at_ = now;
    shown_ = latest_;
    // Short: the status bar shows little of a long line.
    pipes_.send(logger, control_pipes::status_bar, records_counted(shown_.converted, shown_.skipped));
}

void capture_report::end_of_file(const capture_counts& counts, std::uint64_t trailing_bytes)
{
    if (!pipes_.given())
        return;
    if (trailing_bytes > 0)
        log("the last " + grouped(trailing_bytes) + (trailing_bytes == 1 ? " byte" : " bytes") + " of " + source_ +
            " are not a whole record: ignored");
    const std::string counted = records_counted(counts.converted, counts.skipped);
    log("end of " + source_ + ": " + counted);
    pipes_.send(logger, control_pipes::status_bar, counted);
    if (counts.converted + counts.skipped == 0)
        pipes_.send(logger, control_pipes::warning, source_ + " holds no whole record of " + std::to_string(record_size) + " bytes: there is nothing to capture.");
}

void capture_report::finish()
{
    if (!pipes_.given())
        return;
    const auto deadline = std::chrono::steady_clock::now() + control_patience;
    for (pipes_.tend(); (pipes_.has_pending() || !pipes_.wireshark_ready()) && std::chrono::steady_clock::now() < deadline;
         pipes_.tend()) {
        if (!pause_unless_stopped(control_look_interval))
            return;
    }
}

std::chrono::milliseconds capture_report::quiet_due_in()
{
    if (pipes_.has_pending())
        return control_look_interval;
    if (latest_ == shown_)
        return std::chrono::milliseconds(-1);
    const auto due = std::chrono::ceil<std::chrono::milliseconds>(status_at_ + status_interval - std::chrono::steady_clock::now());
    return std::max(due, std::chrono::milliseconds(0));
}

void capture_report::on_quiet()
{
    show_counts();
    pipes_.tend();
}

} // namespace wpan2pcap
