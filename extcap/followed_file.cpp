#include "extcap/followed_file.hpp"

#include "driver/stop_signals.hpp"

#include <chrono>

#ifdef __linux__
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace wpan2pcap {

namespace {

constexpr std::chrono::milliseconds look_interval{50};

} // namespace

followed_file_buffer::~followed_file_buffer()
{
#ifdef __linux__
    if (watch_ != -1)
        close(watch_);
#endif
}

bool followed_file_buffer::open(const std::filesystem::path& path, bool follow)
{
    path_ = path;
    follow_ = follow;
    restarted_ = false;
    watch();
    return input_file_buffer::open(path);
}

bool followed_file_buffer::begin_again()
{
    restarted_ = false;
    // A file that was replaced is opened anew; one that shrank is read again.
    if (identity_of(path_) != identity_of(descriptor())) {
        watch();
        return input_file_buffer::open(path_);
    }
    return rewind();
}

void followed_file_buffer::watch()
{
#ifdef __linux__
    if (!follow_)
        return;
    if (watch_ == -1)
        watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ != -1)
        inotify_add_watch(watch_, path_.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF);
#endif
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
#ifdef __linux__
        if (watch_ != -1) {
            pollfd changed{watch_, POLLIN, 0};
            if (poll(&changed, 1, static_cast<int>(look_interval.count())) > 0) {
                char events[4096];
                while (read(watch_, events, sizeof events) > 0) {
                }
            }
            if (stop_requested())
                return false;
            continue;
        }
#endif
        if (!pause_unless_stopped(look_interval))
            return false;
    }
}

} // namespace wpan2pcap
