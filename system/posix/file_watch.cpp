#include "system/file_watch.hpp"

#include "system/stop_signals.hpp"
#include "system/system_files.hpp"

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

wait_result file_watch::wait(int watched_output)
{
    if (handle_ == -1)
        return pause_watching(file_look_interval, watched_output);
    const wait_result waited = wait_for_input(static_cast<int>(handle_), file_look_interval, watched_output);
    if (waited == wait_result::ready) {
        char events[4096];
        while (read(static_cast<int>(handle_), events, sizeof events) > 0) {
        }
    }
    return waited == wait_result::timed_out ? wait_result::ready : waited;
}

} // namespace wpan2pcap
