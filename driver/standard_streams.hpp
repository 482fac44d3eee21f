#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace wpan2pcap {

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

// Which file a path or descriptor names, as the file system sees it.
struct file_identity {
    std::uintmax_t device;
    std::uintmax_t inode;
    friend bool operator==(const file_identity&, const file_identity&) = default;
};

// The file behind standard output when it is a regular file or a pipe: one
// that an output path could also name (/dev/stdout, or the file the console
// was redirected to). Empty for a terminal, /dev/null and on Windows.
std::optional<file_identity> standard_output_file();

// The file a path names, following links; empty when there is none.
std::optional<file_identity> file_identity_of(const std::filesystem::path& path);

} // namespace wpan2pcap
