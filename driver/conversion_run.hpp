#pragma once

#include "driver/standard_streams.hpp"

#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>
#include <span>

namespace wpan2pcap {

enum exit_status : int {
    exit_success = 0,
    exit_usage = 1,        // wrong argument count
    exit_file_failure = 2, // a file could not be opened, read or written
};

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
};

// The record loop over streams the caller opened: decodes, traces and converts
// every whole record of the input, reports file failures on the console and
// returns the exit status. Before it waits for more input, everything
// converted so far is flushed to the output, so a live reader never lags the
// trace. The input is left for the caller to close.
int convert_capture(std::istream& input, output_target& output, std::ostream& console);

// One whole conversion as started from the command line: `arguments` are the
// input and output paths (without the program's name). An output path that
// names `console_file`, the file behind the console, is refused like one that
// names the input: the trace and the capture would overwrite each other.
int run_conversion(std::span<const std::filesystem::path> arguments, std::ostream& console,
                   std::optional<file_identity> console_file = std::nullopt);

} // namespace wpan2pcap
