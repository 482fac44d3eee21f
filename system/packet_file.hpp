#pragma once

#include "system/system_files.hpp"

#include <cstdint>
#include <streambuf>
#include <vector>

namespace wpan2pcap {

// A capture output written straight to its descriptor, in whole units: every
// write call it receives is one unit (the global header, or one packet
// record, as the PCAP writer hands them over), and only whole units go to
// the system. A pipe gets them in writes of at most pipe_atomic_write_size
// bytes, which the system takes whole or not at all, so its reader never
// sees part of a packet, even when a stop abandons the rest. A file that a
// write fails on (a full disk) is cut back to its last whole unit, so it
// stays a valid capture of everything that fit, and nothing more is written.
class packet_file_buffer : public std::streambuf {
public:
    packet_file_buffer(file_descriptor file, std::size_t capacity);
    ~packet_file_buffer() override { close(); }

    // True once a write failed, the reader's leaving included.
    bool failed() const { return state_ == state::failed || state_ == state::reader_gone; }
    bool reader_gone() const { return state_ == state::reader_gone; }
    // The reader was seen to leave while nothing was being written: what is
    // still buffered reaches nobody.
    void note_reader_gone()
    {
        if (state_ == state::good)
            state_ = state::reader_gone;
    }
    int descriptor() const { return file_.get(); }
    // Writes what is buffered and closes; false when not every unit reached
    // the file. Units a stop abandoned are not a failure.
    bool close();

protected:
    std::streamsize xsputn(const char* unit, std::streamsize size) override;
    int_type overflow(int_type byte) override;
    int sync() override;

private:
    enum class state { good, stopped, failed, reader_gone };

    bool send_buffered();
    void abandon(io_result result, std::size_t bytes_sent);

    file_descriptor file_;
    bool pipe_;
    bool regular_;
    state state_ = state::good;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::vector<std::uint32_t> unit_ends_; // offsets in buffer_ just past each unit
    std::uint64_t committed_ = 0;          // bytes of the file known to be written
};

} // namespace wpan2pcap
