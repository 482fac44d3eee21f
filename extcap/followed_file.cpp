#include "extcap/followed_file.hpp"

namespace wpan2pcap {

bool followed_file_buffer::open(const std::filesystem::path& path, bool follow)
{
    path_ = path;
    follow_ = follow;
    restarted_ = false;
    if (follow_)
        watch_.watch(path_);
    return input_file_buffer::open(path);
}

bool followed_file_buffer::begin_again()
{
    restarted_ = false;
    // A file that was replaced is opened anew; one that shrank is read again.
    if (identity_of(path_) != identity_of(descriptor())) {
        watch_.watch(path_);
        return input_file_buffer::open(path_);
    }
    return rewind();
}

bool followed_file_buffer::wait_for_more()
{
    if (!follow_)
        return false;
    for (;;) {
        const std::optional<std::uint64_t> size = regular_file_size(descriptor());
        if (!size) // only a regular file grows in place
            return false;
        if (*size > bytes_read())
            return true;
        const std::optional<file_identity> named = identity_of(path_);
        if (*size < bytes_read() || (named && named != identity_of(descriptor()))) {
            restarted_ = true;
            return false;
        }
        if (!watch_.wait())
            return false;
    }
}

} // namespace wpan2pcap
