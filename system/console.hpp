#pragma once

// The console: standard output, which takes the trace and the messages, and
// standard error, which shows a status line when a person watches it.

#include "system/system_files.hpp"

#include <cstddef>
#include <optional>
#include <streambuf>
#include <vector>

namespace wpan2pcap {

inline constexpr int standard_output = 1;
inline constexpr int standard_error = 2;

// Makes the standard streams safe to convert with, whatever state the caller
// left them in: a console that fails (a closed pipe, a full device, a closed
// descriptor) must not stop or corrupt the conversion. On POSIX, SIGPIPE is
// ignored, so a reader that went away is an ordinary write error, and closed
// standard descriptors are opened on /dev/null, so that neither file the
// converter opens can take their numbers: whatever is later written to them
// (a runtime's error report on standard error, say) would land in that file,
// perhaps in the middle of the capture. On Windows, standard output is put in
// binary mode so raw trace bytes pass unchanged.
void prepare_standard_streams();

struct console_facts {
    bool trace_on_terminal = false;  // standard output is a terminal
    bool trace_discarded = false;    // standard output is the null device
    bool errors_on_terminal = false; // standard error is a terminal
    // The file behind standard output, which neither the input nor the
    // output may be.
    std::optional<file_identity> trace_file;
};

console_facts inspect_console();

// Standard output's buffer. Bytes reach the console when it is flushed or
// full, so whoever writes decides how often the console is written to. A
// console that fails, or that a stop gives up on, is written to no more.
class console_buffer : public std::streambuf {
public:
    explicit console_buffer(int fd, std::size_t capacity = 64 * 1024);
    ~console_buffer() override { sync(); }

protected:
    int_type overflow(int_type byte) override;
    int sync() override;

private:
    bool send();

    int fd_;
    std::vector<char> buffer_;
    bool broken_ = false;
};

} // namespace wpan2pcap
