#pragma once

// The operating-system calls made on files and the console, alike on POSIX
// and Windows: descriptors (the C runtime's own on Windows), what a file is,
// and reads and writes that give way to a stop instead of hanging on a
// stalled peer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace wpan2pcap {

// Owns a descriptor and closes it with itself.
class file_descriptor {
public:
    file_descriptor() = default;
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(file_descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    file_descriptor& operator=(file_descriptor&& other) noexcept;
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() { close(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // False when closing reported an error (a write the system had delayed).
    bool close();

private:
    int fd_ = -1;
};

// Which file a descriptor or path names. A device file is identified by the
// device it reaches, so two names of one device are the same file; a loop
// device also by the file behind it, which is the same data.
struct file_identity {
    std::uintmax_t device = 0; // on Windows the volume serial number, 0 when unknown
    std::uintmax_t inode = 0;
    std::uintmax_t inode_high = 0; // Windows file IDs have 128 bits
    // The file a loop device reads and writes (device and inode), or zeros.
    std::uintmax_t backing_device = 0;
    std::uintmax_t backing_inode = 0;
    friend bool operator==(const file_identity&, const file_identity&) = default;
};

std::optional<file_identity> identity_of(int fd);
// Follows links; empty when the path names nothing.
std::optional<file_identity> identity_of(const std::filesystem::path& path);

// True when both are known and name the same file, or one is a loop device
// over the other, except the null device, which any number of readers and
// writers share harmlessly.
bool same_file(const std::optional<file_identity>& a, const std::optional<file_identity>& b);

// True when the file is the null device, which discards whatever it is given.
bool is_null_device(const std::optional<file_identity>& file);

bool is_terminal(int fd);
bool is_regular_file(int fd);
bool is_pipe(int fd);
bool names_a_pipe(const std::filesystem::path& path);
// True when opening `path` may wait: a named pipe waits for its other end, a
// device perhaps for its line. Regular files, folders and new files never do.
bool opening_may_wait(const std::filesystem::path& path);
// The size of a regular file, else empty.
std::optional<std::uint64_t> regular_file_size(int fd);
// The terminal's width in columns, or 0 when unknown.
int terminal_columns(int fd);

// Opening a POSIX named pipe does not wait for its writer: the first read
// does, as any read of a pipe may, giving way to a stop or to the output's
// reader leaving. (On Windows a pipe is opened once its one instance is
// free; a stop interrupts that wait, and then the descriptor is not valid.)
file_descriptor open_for_reading(const std::filesystem::path& path);
// Creates the file if need be, but does not truncate it: the caller first
// checks what it is.
file_descriptor open_for_writing(const std::filesystem::path& path);
bool truncate_file(int fd, std::uint64_t size);
bool seek_to_start(int fd);
// Reads `into` whole from `offset`, leaving the descriptor's own position
// where it was; false when it cannot.
bool read_at(int fd, std::uint64_t offset, std::span<char> into);
// Lets a reader of the named pipe `path` see a writer come and go: opens it
// once a reader has it open, writes `first` (what a reader must see before
// the end; less than a pipe's buffer), and closes it; looking for a reader
// for at most `patience` (or until a stop), and never waiting in the open.
void release_pipe_reader(const std::filesystem::path& path, std::chrono::milliseconds patience, std::span<const char> first = {});

// A named pipe's end that never makes anyone wait, for a side channel that
// must not hold up the capture: the reading end opens at once (its writer
// may come later); the writing end only once a reader has the pipe open
// (else the descriptor is not valid, and the caller may try again later).
file_descriptor open_pipe_without_waiting(const std::filesystem::path& path, bool for_writing);

// The folder of the running program, or empty when the system does not say.
std::filesystem::path program_folder();
// Where the Windows installer put the programs, found in the user's record of
// installed programs; nothing elsewhere.
std::optional<std::filesystem::path> installed_folder();

// Pipes take a write of at most this many bytes whole or not at all.
inline constexpr std::size_t pipe_atomic_write_size = 4096;

enum class io_result {
    done,
    end,         // a read found the end of the input
    reader_gone, // nobody reads the pipe any more
    failed,
    stopped,     // a stop came (for writes: and its grace period ran out)
};

// Writes all of `bytes`, waiting on a descriptor left non-blocking until it
// takes them. `written` tells how many went, whatever the result.
io_result write_all(int fd, std::span<const char> bytes, std::size_t& written);

// On a pipe end opened without waiting: writes what the pipe takes now,
// perhaps nothing; `written` tells how much.
io_result write_without_waiting(int fd, std::span<const char> bytes, std::size_t& written);
// On a pipe end opened without waiting: reads what is there now into `into`
// (done, `count` 0 when nothing is), or tells that no writer has the pipe
// open (end: on POSIX also before the first writer came) or that it failed.
io_result read_without_waiting(int fd, std::span<char> into, std::size_t& count);

// As write_all, but a Windows console gets the UTF-8 bytes as text.
io_result write_text(int fd, std::span<const char> bytes);

// Reads what is there, waiting for at least one byte.
io_result read_some(int fd, std::span<char> into, std::size_t& count);

enum class wait_result {
    ready,
    timed_out,
    stopped,
    reader_gone, // the watched output's reader has gone
};

// Waits for input on `fd` (or, on a pipe with no writer yet, for its first
// writer) for at most `timeout` (forever when negative). While it waits it
// watches `watched_output`, when one is given (not -1): a pipe or socket
// whose reader goes away ends the wait.
wait_result wait_for_input(int fd, std::chrono::milliseconds timeout, int watched_output = -1);

// True once nobody reads `fd` any more (a pipe or socket whose reader has
// gone), as far as the system tells without writing to it.
bool reader_has_gone(int fd);

// Sleeps for `duration` unless a stop comes first; false when one did.
bool pause_unless_stopped(std::chrono::milliseconds duration);

// The same, watching `watched_output` as wait_for_input does: ready after
// `duration`, else stopped or reader_gone.
wait_result pause_watching(std::chrono::milliseconds duration, int watched_output);

} // namespace wpan2pcap
