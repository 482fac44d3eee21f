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

wait_result file_watch::wait(int watched_output)
{
    if (handle_ == -1)
        return pause_watching(file_look_interval, watched_output);
    // A pipe's reader leaving wakes nothing: it is looked for at each wake,
    // at least every look interval.
    if (reader_has_gone(watched_output))
        return wait_result::reader_gone;
    const HANDLE changes = reinterpret_cast<HANDLE>(handle_);
    const HANDLE events[] = {stop_event(), changes};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(file_look_interval.count()));
    if (woken == WAIT_OBJECT_0)
        return wait_result::stopped;
    if (woken == WAIT_OBJECT_0 + 1)
        FindNextChangeNotification(changes);
    return reader_has_gone(watched_output) ? wait_result::reader_gone : wait_result::ready;
}

} // namespace wpan2pcap
