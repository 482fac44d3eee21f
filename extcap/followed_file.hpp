#pragma once

#include "system/file_watch.hpp"
#include "system/input_file.hpp"

#include <filesystem>

namespace wpan2pcap {

// A record capture read to its end and, when followed, on as it grows: at
// the end of the file the reader waits for more (woken by inotify where
// there is one, and looking every 50 ms in any case), so a record written in
// pieces is completed when its rest arrives. A file that shrinks, or whose
// name comes to mean another file, holds a new capture: the reader reports
// the end and restarted() tells it to begin again from the first byte.
class followed_file_buffer : public input_file_buffer {
public:
    followed_file_buffer() = default;

    bool open(const std::filesystem::path& path, bool follow);
    bool restarted() const { return restarted_; }
    // Reads the new capture from its first byte; false when it cannot.
    bool begin_again();

protected:
    bool wait_for_more() override;

private:
    std::filesystem::path path_;
    bool follow_ = false;
    bool restarted_ = false;
    file_watch watch_;
};

} // namespace wpan2pcap
