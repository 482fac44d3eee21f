#include "system/file_watch.hpp"

#include "system/windows/stop_events.hpp"

#include <windows.h>

namespace wpan2pcap {

// The handle is the folder's change notification: Windows tells of changes
// to the files of a folder, not to one file.
file_watch::~file_watch()
{
    if (handle_ != -1)
        FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle_));
}

void file_watch::watch(const std::filesystem::path& path)
{
    if (handle_ != -1)
        FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(L".");
    const HANDLE changes = FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
    if (changes != INVALID_HANDLE_VALUE)
        handle_ = reinterpret_cast<std::intptr_t>(changes);
}

bool file_watch::wait()
{
    const auto interval = static_cast<DWORD>(file_look_interval.count());
    if (handle_ == -1)
        return WaitForSingleObject(stop_event(), interval) != WAIT_OBJECT_0;
    const HANDLE changes = reinterpret_cast<HANDLE>(handle_);
    const HANDLE events[] = {stop_event(), changes};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, interval);
    if (woken == WAIT_OBJECT_0 + 1)
        FindNextChangeNotification(changes);
    return woken != WAIT_OBJECT_0;
}

} // namespace wpan2pcap
