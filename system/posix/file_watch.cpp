#include "system/file_watch.hpp"

#include "system/stop_signals.hpp"
#include "system/system_files.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace wpan2pcap {

file_watch::~file_watch()
{
    if (handle_ != -1)
        close(static_cast<int>(handle_));
}

void file_watch::watch(const std::filesystem::path& path)
{
    if (handle_ == -1)
        handle_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (handle_ != -1)
        inotify_add_watch(static_cast<int>(handle_), path.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF);
}

bool file_watch::wait()
{
    if (handle_ == -1)
        return pause_unless_stopped(file_look_interval);
    pollfd changed{static_cast<int>(handle_), POLLIN, 0};
    if (poll(&changed, 1, static_cast<int>(file_look_interval.count())) > 0) {
        char events[4096];
        while (read(static_cast<int>(handle_), events, sizeof events) > 0) {
        }
    }
    return !stop_requested();
}

} // namespace wpan2pcap
