#pragma once

#include "converter/conversion_run.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wpan2pcap {

// A status line on a terminal (standard error, while the trace goes
// elsewhere): records converted and skipped, input bytes read and, for a
// regular file, the share of it, the rate and the elapsed time, redrawn in
// place at most ten times a second. When the run ends, finish() replaces it
// by a summary that stays, with the run's failure messages.
class progress_line final : public run_observer {
public:
    progress_line(int fd, std::string output_text);

    void on_input(std::optional<std::uint64_t> size) override;
    void on_progress(const run_counts& counts) override;
    void on_message(std::string_view text) override;
    void on_output_opened() override { output_opened_ = true; }
    std::chrono::milliseconds quiet_due_in() override;
    void on_quiet() override;

    void finish(bool stopped);

private:
    using clock = std::chrono::steady_clock;

    void draw(clock::time_point now);
    void show(std::string text);

    int fd_;
    std::string output_text_;
    clock::time_point start_ = clock::now();
    clock::time_point drawn_at_ = start_; // quick runs show only the summary
    run_counts counts_;
    run_counts drawn_counts_;
    bool input_open_ = false;
    bool output_opened_ = false;
    std::optional<std::uint64_t> input_size_;
    std::string messages_;
    std::size_t shown_width_ = 0;
};

} // namespace wpan2pcap
