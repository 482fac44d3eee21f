#include "converter/progress_line.hpp"

#include "system/count_text.hpp"

#include <algorithm>
#include <cstdio>

namespace wpan2pcap {

namespace {

constexpr std::chrono::milliseconds redraw_interval{100};

std::string byte_size(std::uint64_t bytes)
{
    if (bytes < 1000)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    for (; value >= 999.95 && unit + 1 < std::size(units); ++unit)
        value /= 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string duration(double seconds, bool precise)
{
    char text[32];
    const auto whole = static_cast<unsigned long>(seconds);
    if (precise && seconds < 60)
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

std::string counted(const run_counts& counts) { return records_counted(counts.converted, counts.skipped); }

} // namespace

progress_line::progress_line(int fd, std::string output_text) : fd_(fd), output_text_(std::move(output_text)) {}

void progress_line::on_input(std::optional<std::uint64_t> size)
{
    input_open_ = true;
    input_size_ = size;
}

void progress_line::on_progress(const run_counts& counts)
{
    counts_ = counts;
    const clock::time_point now = clock::now();
    if (now - drawn_at_ >= redraw_interval && counts_ != drawn_counts_)
        draw(now);
}

void progress_line::on_message(std::string_view text)
{
    messages_ += "wpan2pcap: ";
    messages_ += text;
    messages_ += '\n';
}

std::chrono::milliseconds progress_line::quiet_due_in()
{
    if (counts_ == drawn_counts_)
        return std::chrono::milliseconds(-1);
    const auto due = std::chrono::ceil<std::chrono::milliseconds>(drawn_at_ + redraw_interval - clock::now());
    return std::max(due, std::chrono::milliseconds::zero());
}

void progress_line::on_quiet() { draw(clock::now()); }

void progress_line::draw(clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::string text = "wpan2pcap: " + counted(counts_) + ", " + byte_size(counts_.bytes);
    if (input_size_ && *input_size_ > 0)
        text += " of " + byte_size(*input_size_) + " (" +
                std::to_string(std::min<std::uint64_t>(100, counts_.bytes * 100 / *input_size_)) + "%)";
    const auto rate = static_cast<std::uint64_t>(static_cast<double>(counts_.converted + counts_.skipped) / seconds);
    text += ", " + grouped(rate) + " records/s, " + duration(seconds, false);
    // A line that wraps could not be redrawn in place.
    if (const int columns = terminal_columns(fd_); columns > 1)
        text.resize(std::min(text.size(), static_cast<std::size_t>(columns - 1)));
    show(std::move(text));
    drawn_at_ = now;
    drawn_counts_ = counts_;
}

void progress_line::show(std::string text)
{
    const std::size_t width = text.size();
    if (width < shown_width_)
        text.append(shown_width_ - width, ' ');
    shown_width_ = width;
    write_text(fd_, "\r" + text);
}

void progress_line::finish(bool stopped)
{
    std::string summary;
    if (input_open_) {
        const double seconds = std::chrono::duration<double>(clock::now() - start_).count();
        summary = std::string("wpan2pcap: ") + (stopped ? "stopped; " : "") + counted(counts_) + ", " +
                  byte_size(counts_.bytes) + " read in " + duration(seconds, true) +
                  (output_opened_ ? ", to " + output_text_ : ", no output file");
    }
    if (summary.empty() && shown_width_ == 0) {
        write_text(fd_, messages_);
        return;
    }
    show(std::move(summary));
    write_text(fd_, "\n" + messages_);
}

} // namespace wpan2pcap
