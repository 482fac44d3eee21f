#pragma once

#include "system/system_files.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <span>
#include <streambuf>
#include <vector>

namespace wpan2pcap {

// Something to catch up on while the input is quiet (a status line whose last
// records are not shown yet): the reader calls on_quiet() once quiet_due_in()
// has passed without input.
class quiet_input_hook {
public:
    virtual ~quiet_input_hook() = default;
    // Negative when nothing is due.
    virtual std::chrono::milliseconds quiet_due_in() = 0;
    virtual void on_quiet() = 0;
    // True when, as on_quiet() found, nobody is left to read what would
    // follow: the input ends there, as when the output's reader leaves.
    virtual bool reader_gone() const { return false; }
};

// The input capture, read straight from its descriptor in large blocks. A
// read that waits (a pipe, a device) gives way to a stop and ends the input
// there; a read that fails sets the stream's badbit, as file streams report
// it.
class input_file_buffer : public std::streambuf {
public:
    input_file_buffer();

    // Opens `path`; false when it cannot be opened (or a stop came while a
    // named pipe waited for its writer).
    bool open(const std::filesystem::path& path);
    int descriptor() const { return file_.get(); }
    void set_quiet_hook(quiet_input_hook* hook) { quiet_hook_ = hook; }
    // Whenever the input makes the reader wait, `output` is watched too: its
    // reader leaving ends the input there, as nobody is left to read what
    // would follow. A regular file has no reader and is not watched.
    void watch_output(int output) { watched_output_ = is_regular_file(output) ? -1 : output; }
    // True when the input ended because the output's reader had gone.
    bool output_reader_gone() const { return output_reader_gone_; }
    // The stream whose state reports a failed read.
    void report_to(std::ios& stream) { stream_ = &stream; }
    // Reads again from the first byte, dropping whatever was buffered.
    bool rewind();

protected:
    int_type underflow() override;
    // What can be read without waiting: a regular file's unread bytes, else
    // nothing known.
    std::streamsize showmanyc() override;
    // At the end of the input: true when there is more to read now. The end
    // of a file is its end, unless a follower waits for it to grow.
    virtual bool wait_for_more() { return false; }
    // Each block as it is read, before it counts as read, for a follower
    // that checks what it reads: false drops it and ends the input there.
    virtual bool bytes_arrived(std::span<const char> /*bytes*/) { return true; }
    // Bytes read from the file so far, buffered ones included.
    std::uint64_t bytes_read() const { return bytes_read_; }
    int watched_output() const { return watched_output_; }
    quiet_input_hook* quiet_hook() const { return quiet_hook_; }
    void note_output_reader_gone() { output_reader_gone_ = true; }

private:
    file_descriptor file_;
    bool regular_ = false;
    std::uint64_t bytes_read_ = 0;
    std::vector<char> buffer_;
    quiet_input_hook* quiet_hook_ = nullptr;
    std::ios* stream_ = nullptr;
    int watched_output_ = -1;
    bool output_reader_gone_ = false;
};

// An input stream over such a buffer, or over one derived from it.
template <typename Buffer = input_file_buffer>
class basic_input_file : public std::istream {
public:
    basic_input_file() : std::istream(nullptr)
    {
        rdbuf(&buffer_);
        buffer_.report_to(*this);
    }
    Buffer& buffer() { return buffer_; }

private:
    Buffer buffer_;
};

using input_file = basic_input_file<>;

} // namespace wpan2pcap
