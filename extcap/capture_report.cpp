#include "extcap/capture_report.hpp"

#include "formats/capture_record.hpp"
#include "system/count_text.hpp"
#include "system/path_text.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace wpan2pcap {

namespace {

constexpr std::chrono::seconds status_interval{1};
// How long a capture's end waits for Wireshark to open its control pipes:
// a busy machine may keep Wireshark's window from it for seconds.
constexpr std::chrono::seconds control_patience{30};
// And then for what is still waiting to reach it.
constexpr std::chrono::seconds drain_patience{2};
// How often, while the capture is quiet, Wireshark's leaving is looked for:
// the end of the pipe it writes is all a killed Wireshark leaves.
constexpr std::chrono::milliseconds departure_look_interval{50};
// Where Wireshark 4.0 shows the log, for the messages that point to it.
constexpr const char* where_the_log_is = "the interface's Log lists them (View > Interface Toolbars > IEEE 802.15.4 record capture, Log)";

std::string hex_byte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

std::string local_time_now()
{
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    // The program has one thread: localtime's shared result is safe here.
    if (const std::tm* local = std::localtime(&now))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

std::string bytes_counted(std::uint64_t bytes) { return grouped(bytes) + (bytes == 1 ? " byte" : " bytes"); }

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

capture_report::capture_report(std::ostream& errors, const extcap_request& request)
    : errors_(errors), request_(request), source_(request.source ? quoted_name(*request.source) : ""),
      control_check_(check_control_paths(request)), pipes_(control_check_.from_wireshark, control_check_.to_wireshark)
{
}

void capture_report::error(std::string_view message)
{
    report_error(errors_, message);
    if (!source_.empty() && !logged_end_) {
        log("capture of " + source_ + " ended: " + visible_text(message));
        logged_end_ = true;
    }
}

// A capture refused before it began: the reason on standard error, and as
// the log's one line for this capture.
void capture_report::refused_before_beginning(std::string_view why)
{
    report_error(errors_, why);
    if (!logged_end_) {
        log((source_.empty() ? std::string("capture") : "capture of " + source_) + " refused: " + visible_text(why));
        logged_end_ = true;
    }
}

void capture_report::request_refused(std::string_view why) { refused_before_beginning(why); }

void capture_report::control_path_refused()
{
    const std::string name = in_quotes(path_text(control_check_.path));
    switch (control_check_.problem) {
    case control_path_problem::none:
        return;
    case control_path_problem::not_a_pipe:
        return refused_before_beginning("the control pipe " + name + " is not a named pipe: only Wireshark's own control pipes are taken");
    case control_path_problem::same_as_source:
        return refused_before_beginning("the control pipe " + name + " is the source itself");
    case control_path_problem::same_as_output:
        return refused_before_beginning("the control pipe " + name + " is the capture's own pipe");
    case control_path_problem::same_as_each_other:
        return refused_before_beginning("the two control pipes are one and the same: " + name);
    }
}

void capture_report::refused(capture_refusal what, int system_error, const other_format* format)
{
    const std::string source = request_.source ? in_quotes(path_text(*request_.source)) : "";
    const std::string pipe = request_.fifo ? in_quotes(path_text(*request_.fifo)) : "";
    switch (what) {
    case capture_refusal::source_is_a_folder:
        return error("the source " + source + " is a folder, not a record capture");
    case capture_refusal::source_cannot_be_opened:
        return error("cannot open the source " + source + ": " + std::generic_category().message(system_error));
    case capture_refusal::source_is_another_format:
        return error("the source " + source + " is " + std::string(format->name) + ", not a record capture: " +
                     std::string(format->advice) + (format->where.empty() ? "" : " (" + std::string(format->where) + ")"));
    case capture_refusal::pipe_is_the_source:
        return error("the pipe is the source itself");
    case capture_refusal::pipe_cannot_be_opened:
        return error("cannot open the pipe " + pipe);
    case capture_refusal::pipe_is_a_terminal:
        return error("cannot open the pipe " + pipe + ": a terminal never takes a capture");
    case capture_refusal::source_cannot_be_read:
        return error("cannot read the source " + source);
    case capture_refusal::pipe_cannot_be_written:
        return error("cannot write the pipe " + pipe);
    }
}

void capture_report::log(const std::string& line) { pipes_.send(logger, control_pipes::add, line + "\n"); }

void capture_report::began()
{
    if (!pipes_.given())
        return;
    log("capture of " + source_ + " began " + local_time_now() + " (follow: " + (request_.follow ? "yes" : "no") +
        ", record numbers: " + (request_.record_numbers ? "yes" : "no") + ")");
}

void capture_report::record_skipped(std::uint32_t number, std::uint8_t length, std::uint8_t flags)
{
    if (pipes_.given())
        log("record " + std::to_string(number) + " skipped: invalid length " + std::to_string(length) + " with flags " +
            hex_byte(flags));
}

void capture_report::new_capture(bool replaced, const capture_counts& previous)
{
    if (!pipes_.given())
        return;
    const std::string before = " (the previous one: " + records_counted(previous.converted, previous.skipped) + ")";
    log(replaced ? source_ + " was replaced by another file: read from its first record" + before
                 : "a new capture in " + source_ + ": read again from its first record" + before);
    // The status bar's next message says so, with the new capture's counts.
    latest_ = shown_ = {};
    new_capture_unshown_ = true;
    status_at_ = {};
}

void capture_report::progress(const capture_counts& counts)
{
    // A capture that does not follow shows its counts once, at its end.
    if (!pipes_.given() || !request_.follow)
        return;
    latest_ = counts;
    show_counts();
}

// Whether the status bar is behind the capture. A new capture in the file is
// told with counts of its own packets, once it has some.
bool capture_report::counts_unshown() const
{
    if (new_capture_unshown_)
        return !(latest_ == capture_counts{});
    return !(latest_ == shown_);
}

// Counts held back by the once-a-second limit go out while the file is
// quiet, so the status bar never stays behind the capture.
void capture_report::show_counts()
{
    const auto now = std::chrono::steady_clock::now();
    if (!counts_unshown() || now - status_at_ < status_interval)
        return;
    status_at_ = now;
    shown_ = latest_;
    // Short: the status bar shows little of a long line.
    const std::string counted = records_counted(shown_.converted, shown_.skipped);
    pipes_.send(logger, control_pipes::status_bar, new_capture_unshown_ ? "new capture in the file: " + counted : counted);
    new_capture_unshown_ = false;
}

void capture_report::ended(capture_end how, const capture_counts& counts, std::uint64_t trailing_bytes)
{
    if (!pipes_.given() || logged_end_)
        return;
    logged_end_ = true;
    const std::string counted = records_counted(counts.converted, counts.skipped);
    if (how == capture_end::stopped) {
        log("capture of " + source_ + " stopped: " + counted);
        return;
    }
    if (how == capture_end::reader_gone) {
        log("capture of " + source_ + " ended, Wireshark no longer reading it: " + counted);
        return;
    }
    if (trailing_bytes > 0)
        log("the last " + bytes_counted(trailing_bytes) + " of " + source_ + " are not a whole record: ignored");
    log("end of " + source_ + ": " + counted);
    pipes_.send(logger, control_pipes::status_bar, counted);
    // When nothing was captured, Wireshark's window says "No packets
    // captured" in a dialog of its own, over any dialog the program sent
    // before; the reason goes the way of an error instead, which Wireshark
    // shows first ("Error from extcap pipe: ...") and its own after it.
    if (counts.converted + counts.skipped == 0) {
        report_error(errors_, source_ + " holds no whole record of " + std::to_string(record_size) + " bytes: there is nothing to capture.");
    } else if (counts.converted == 0) {
        report_error(errors_, source_ + ": " + counted + " for an invalid length: there is nothing to capture; " + where_the_log_is + ".");
    } else if (counts.skipped > 0 || trailing_bytes > 0) {
        std::string left_out = counts.skipped > 0 ? grouped(counts.skipped) + " skipped for an invalid length" : "";
        if (trailing_bytes > 0)
            left_out += (left_out.empty() ? "" : ", and ") + std::string("its last ") + bytes_counted(trailing_bytes) +
                        " ignored, not a whole record";
        pipes_.send(logger, control_pipes::information,
                    source_ + ": " + records_counted(counts.converted, 0) + ", " + left_out + "; " + where_the_log_is + ".");
    }
}

void capture_report::finish() { pipes_.wait_for_wireshark(control_patience, drain_patience); }

std::chrono::milliseconds capture_report::quiet_due_in()
{
    using std::chrono::milliseconds;
    milliseconds due(-1);
    const auto sooner = [&due](milliseconds in) {
        if (due.count() < 0 || in < due)
            due = in;
    };
    if (pipes_.has_pending())
        sooner(control_pipes::look_interval);
    if (pipes_.wireshark_listened_to())
        sooner(departure_look_interval);
    if (counts_unshown())
        sooner(std::max(std::chrono::ceil<milliseconds>(status_at_ + status_interval - std::chrono::steady_clock::now()), milliseconds(0)));
    return due;
}

void capture_report::on_quiet()
{
    show_counts();
    pipes_.tend();
}

} // namespace wpan2pcap
