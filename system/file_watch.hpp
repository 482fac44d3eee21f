#pragma once

#include "system/system_files.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace wpan2pcap {

// How long a follower waits at most before it looks at a file again, whether
// or not the system told of a change.
inline constexpr std::chrono::milliseconds file_look_interval{50};

// Wakes whoever follows a file as it grows: at once when the system tells of a
// change to it (inotify on Linux), and after file_look_interval in any case.
class file_watch {
public:
    file_watch() = default;
    file_watch(const file_watch&) = delete;
    file_watch& operator=(const file_watch&) = delete;
    ~file_watch();

    // Watches the file `path` names now; again after it was replaced.
    void watch(const std::filesystem::path& path);
    // Waits for a change or the look interval (ready), unless a stop comes
    // first or, when `watched_output` is given, its reader leaves.
    wait_result wait(int watched_output = -1);

private:
    std::intptr_t handle_ = -1; // the system's own watch (a descriptor or a handle), where there is one
};

} // namespace wpan2pcap
