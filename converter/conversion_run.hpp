#pragma once

#include "system/exit_status.hpp"
#include "system/input_file.hpp"
#include "system/system_files.hpp"
#include "trace/trace_record.hpp"

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>

namespace wpan2pcap {

// Where the PCAP output goes. It is opened only when the first record is
// converted, so an input without one leaves no output file behind.
class output_target {
public:
    virtual ~output_target() = default;
    // Called at most once; nullptr when the output cannot be opened.
    virtual std::ostream* open() = 0;
    // Closes the output if it was opened; false when not every byte written
    // reached it.
    virtual bool close() = 0;
    // True once the output's reader has gone: nothing more can reach anyone.
    virtual bool reader_gone() const { return false; }
    // True when open() may wait (for a named pipe's reader).
    virtual bool opening_may_wait() const { return false; }
};

struct run_counts {
    std::uint64_t converted = 0;
    std::uint64_t skipped = 0;
    std::uint64_t bytes = 0; // input bytes read
    friend bool operator==(const run_counts&, const run_counts&) = default;
};

// Follows a run from outside the console, as a status line does.
class run_observer : public quiet_input_hook {
public:
    // The input is open; `size` is a regular file's.
    virtual void on_input(std::optional<std::uint64_t> size) = 0;
    // The counts so far: every so many records, whenever the run may wait
    // for input, and at its end.
    virtual void on_progress(const run_counts& counts) = 0;
    // Every message the console receives.
    virtual void on_message(std::string_view text) = 0;
    // The output is open: the capture goes somewhere.
    virtual void on_output_opened() = 0;
};

// How the console takes the trace.
struct console_style {
    trace_style bytes = trace_style::raw;
    // For a terminal: every block and message reaches it at once. Otherwise
    // the console is flushed when full, before the run may wait for input,
    // and at its end.
    bool flush_each_block = false;
    // For the null device: no block can ever be read, so none is made.
    bool discarded = false;
};

// The record loop over streams the caller opened: decodes, traces and converts
// every whole record of the input, reports file failures on the console and
// returns the exit status. Before it may wait for more input, everything
// converted and traced so far is flushed to the output and the console, so a
// live reader never lags. A stop request ends the loop at a record boundary;
// an output whose reader has gone ends it too, as a failure. The input is
// left for the caller to close. An input that begins as a capture of another
// format (PCAP, pcapng) is said to be one on `notices`, one line, and is
// otherwise converted as ever: scripts rely on the trace, the output and the
// status.
int convert_capture(std::istream& input, output_target& output, std::ostream& console,
                    const console_style& style = {}, run_observer* observer = nullptr, std::ostream* notices = nullptr);

struct run_setup {
    console_style style;
    // The file behind the console, which neither the input nor the output
    // may be: the run would read its own trace, or write capture and trace
    // over each other.
    std::optional<file_identity> console_file;
    run_observer* observer = nullptr;
    // Standard error, for a word that is not the trace's.
    std::ostream* notices = nullptr;
};

// One whole conversion as started from the command line: `arguments` are the
// input and output paths (without the program's name).
int run_conversion(std::span<const std::filesystem::path> arguments, std::ostream& console, const run_setup& setup = {});

} // namespace wpan2pcap
