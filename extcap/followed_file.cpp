#include "extcap/followed_file.hpp"

#include <algorithm>
#include <cstring>

namespace wpan2pcap {

bool followed_file_buffer::open(const std::filesystem::path& path, bool follow)
{
    path_ = path;
    follow_ = follow;
    restarted_ = false;
    tail_size_ = 0;
    if (follow_)
        watch_.watch(path_);
    return input_file_buffer::open(path);
}

bool followed_file_buffer::begin_again()
{
    restarted_ = false;
    tail_size_ = 0;
    // A file that was replaced is opened anew; one that was rewritten is read again.
    replaced_ = identity_of(path_) != identity_of(descriptor());
    if (replaced_) {
        watch_.watch(path_);
        if (!input_file_buffer::open(path_))
            return false;
        // A name swapped to mean the output would feed the capture to itself.
        if (same_file(identity_of(descriptor()), output_)) {
            names_the_output_ = true;
            return false;
        }
        return true;
    }
    return rewind();
}

bool followed_file_buffer::bytes_arrived(std::span<const char> bytes)
{
    if (!follow_)
        return true;
    // Read after a rewrite, these bytes would belong to the new capture.
    if (!still_holds_what_was_read()) {
        restarted_ = true;
        return false;
    }
    // Keep the last record's worth: what is left of the old tail, then the new bytes.
    const std::size_t kept = std::min(tail_size_, tail_.size() - std::min(bytes.size(), tail_.size()));
    std::memmove(tail_.data(), tail_.data() + tail_size_ - kept, kept);
    const auto fresh = bytes.last(std::min(bytes.size(), tail_.size() - kept));
    std::memcpy(tail_.data() + kept, fresh.data(), fresh.size());
    tail_size_ = kept + fresh.size();
    return true;
}

bool followed_file_buffer::still_holds_what_was_read()
{
    std::array<char, record_size> now;
    const auto span = std::span(now).first(tail_size_);
    return read_at(descriptor(), bytes_read() - tail_size_, span) &&
           std::memcmp(now.data(), tail_.data(), tail_size_) == 0;
}

bool followed_file_buffer::wait_for_more()
{
    if (!follow_)
        return false;
    for (;;) {
        const std::optional<std::uint64_t> size = regular_file_size(descriptor());
        if (!size) // only a regular file grows in place
            return false;
        const std::optional<file_identity> named = identity_of(path_);
        // A file that grew is checked as its new bytes are read.
        if (*size < bytes_read() || (named && named != identity_of(descriptor())) ||
            (*size == bytes_read() && !still_holds_what_was_read())) {
            restarted_ = true;
            return false;
        }
        if (*size > bytes_read())
            return true;
        // Nobody is left to read what would follow once the pipe's reader
        // has gone (Wireshark stopped, or the SSH session that carried the
        // capture ended): that ends the capture as a stop does.
        const wait_result waited = watch_.wait(watched_output());
        if (waited == wait_result::reader_gone)
            note_output_reader_gone();
        if (waited != wait_result::ready)
            return false;
        // Whoever waits for a quiet moment has one now.
        if (quiet_input_hook* hook = quiet_hook(); hook != nullptr && hook->quiet_due_in().count() >= 0) {
            hook->on_quiet();
            if (hook->reader_gone()) {
                note_output_reader_gone();
                return false;
            }
        }
    }
}

} // namespace wpan2pcap
