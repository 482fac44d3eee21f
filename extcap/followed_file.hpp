#pragma once

#include "formats/capture_record.hpp"
#include "system/file_watch.hpp"
#include "system/input_file.hpp"

#include <array>
#include <filesystem>
#include <optional>

namespace wpan2pcap {

// A record capture read to its end and, when followed, on as it grows: at
// the end of the file the reader waits for more (woken when the system tells
// of a change, and looking every 50 ms in any case), so a record written in
// pieces is completed when its rest arrives. A new capture written into the
// file holds other bytes where the last ones read were, however fast it was
// written and whatever its size: that is looked at whenever the file may
// have changed and after every read, so bytes of the new capture are never
// taken as the old one's continuation. A file that shrinks, or whose name
// comes to mean another file, holds a new capture too. Then the reader
// reports the end, and restarted() tells it to begin again from the first
// byte.
class followed_file_buffer : public input_file_buffer {
public:
    followed_file_buffer() = default;

    bool open(const std::filesystem::path& path, bool follow);
    // The file the capture is written to, which is never to be read.
    void never_read(const std::optional<file_identity>& output) { output_ = output; }
    bool restarted() const { return restarted_; }
    // After begin_again(): true when another file took the name, false when
    // the file itself was written anew.
    bool replaced() const { return replaced_; }
    // True when the name came to mean the capture's own output.
    bool names_the_output() const { return names_the_output_; }
    // Reads the new capture from its first byte; false when it cannot.
    bool begin_again();

protected:
    bool wait_for_more() override;
    bool bytes_arrived(std::span<const char> bytes) override;

private:
    // True when the file still holds the last bytes read where they were read.
    bool still_holds_what_was_read();

    std::filesystem::path path_;
    bool follow_ = false;
    bool restarted_ = false;
    bool replaced_ = false;
    bool names_the_output_ = false;
    std::optional<file_identity> output_;
    file_watch watch_;
    // The last bytes read (up to a record), ending at bytes_read().
    std::array<char, record_size> tail_{};
    std::size_t tail_size_ = 0;
};

} // namespace wpan2pcap
