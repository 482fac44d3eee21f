// Files and the console on POSIX systems: descriptors as the system has them.

#include "system/system_files.hpp"

#include "system/stop_signals.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace wpan2pcap {

// Captures pass 2 GiB: file offsets, sizes and identities must be 64 bits
// wide on 32-bit systems too, or such files would not open, grow, truncate
// or compare.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "file offsets must be 64 bits: build with _FILE_OFFSET_BITS=64");

namespace {

// The device number the kernel's loop status gives, as a stat's.
dev_t loop_status_device(std::uint64_t encoded)
{
    const auto major_number = static_cast<unsigned>((encoded & 0xfff00) >> 8);
    const auto minor_number = static_cast<unsigned>((encoded & 0xff) | ((encoded >> 12) & 0xfff00));
    return makedev(major_number, minor_number);
}

// The loop device that backs another, when the kernel's word for the backing
// file (its device and inode) is a loop device's node: found by the name
// sysfs keeps for it and checked against that word, so a name is never
// trusted on its own (it could hold any byte, a line feed included).
std::optional<std::string> backing_loop_device(dev_t device, const loop_info64& info, dev_t backing_device)
{
    const std::string sysfs = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/loop/backing_file";
    const int fd = open(sysfs.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char name[4096];
    const ssize_t got = read(fd, name, sizeof name - 1);
    ::close(fd);
    if (got <= 1)
        return std::nullopt;
    name[got - 1] = '\0'; // the line end sysfs adds
    struct stat node {};
    if (stat(name, &node) != 0 || !S_ISBLK(node.st_mode) || major(node.st_rdev) != LOOP_MAJOR || node.st_dev != backing_device ||
        node.st_ino != info.lo_inode)
        return std::nullopt;
    return std::string(name);
}

// A loop device is the data of the file at the bottom of its chain (a loop
// device over a loop device over a file is that file): the kernel tells
// which file backs each device, by its device and inode, to whoever has the
// device open.
void learn_backing_file(file_identity& device, int device_fd, dev_t device_number)
{
    file_descriptor deeper;
    for (int depth = 0; depth < 8; ++depth) {
        loop_info64 info{};
        if (ioctl(device_fd, LOOP_GET_STATUS64, &info) != 0)
            return;
        const dev_t backing_device = loop_status_device(info.lo_device);
        device.backing_device = static_cast<std::uintmax_t>(backing_device);
        device.backing_inode = static_cast<std::uintmax_t>(info.lo_inode);
        const std::optional<std::string> backing_loop = backing_loop_device(device_number, info, backing_device);
        if (!backing_loop)
            return;
        // What was opened is checked again: the name may have changed meanwhile.
        deeper = file_descriptor(open(backing_loop->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        if (!deeper.valid() || fstat(deeper.get(), &opened) != 0 || opened.st_dev != backing_device ||
            opened.st_ino != info.lo_inode)
            return;
        device_fd = deeper.get();
        device_number = opened.st_rdev;
    }
}

// `fd` is the file opened already, or -1 when only `path` names it.
file_identity identity_from(const struct stat& status, int fd, const char* path)
{
    // The second field tells device numbers from inode numbers apart.
    if (S_ISCHR(status.st_mode))
        return {static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX};
    if (S_ISBLK(status.st_mode)) {
        file_identity device{static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX - 1};
        if (major(status.st_rdev) != LOOP_MAJOR) {
            // Not a loop device: no file behind it.
        } else if (fd >= 0) {
            learn_backing_file(device, fd, status.st_rdev);
        } else if (path != nullptr) {
            const int opened = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (opened >= 0) {
                learn_backing_file(device, opened, status.st_rdev);
                ::close(opened);
            }
        }
        return device;
    }
    return {static_cast<std::uintmax_t>(status.st_dev), static_cast<std::uintmax_t>(status.st_ino)};
}

bool backed_by(const file_identity& loop, const file_identity& file)
{
    return loop.backing_inode != 0 && loop.backing_device == file.device && loop.backing_inode == file.inode;
}

// Two loop devices over one file reach the same data.
bool same_backing(const file_identity& a, const file_identity& b)
{
    return a.backing_inode != 0 && a.backing_device == b.backing_device && a.backing_inode == b.backing_inode;
}

std::optional<struct stat> status_of(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return std::nullopt;
    return status;
}

constexpr std::chrono::milliseconds release_look_interval{5};

int poll_timeout(std::chrono::milliseconds timeout)
{
    return timeout.count() < 0 ? -1 : static_cast<int>(std::min<std::chrono::milliseconds::rep>(timeout.count(), 1 << 30));
}

// Waits until `fd` takes more bytes; false when a stop's grace period ran out first.
bool wait_writable(int fd)
{
    for (;;) {
        if (stop_grace_over())
            return false;
        pollfd ready{fd, POLLOUT, 0};
        const int timeout = stop_requested() ? poll_timeout(stop_grace_left()) : -1;
        if (poll(&ready, 1, timeout) > 0)
            return true;
    }
}

const std::optional<file_identity>& null_device()
{
    static const std::optional<file_identity> identity = identity_of(std::filesystem::path("/dev/null"));
    return identity;
}

} // namespace

bool same_file(const std::optional<file_identity>& a, const std::optional<file_identity>& b)
{
    return a && b &&
           ((*a == *b && *a != null_device()) || backed_by(*a, *b) || backed_by(*b, *a) || same_backing(*a, *b));
}

bool is_null_device(const std::optional<file_identity>& file) { return file && file == null_device(); }

// Linux releases the descriptor even when close reports EINTR: never retry.
bool release_descriptor(int fd) { return ::close(fd) == 0 || errno == EINTR; }

std::optional<file_identity> identity_of(int fd)
{
    const auto status = status_of(fd);
    return status ? std::optional(identity_from(*status, fd, nullptr)) : std::nullopt;
}

std::optional<file_identity> identity_of(const std::filesystem::path& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return identity_from(status, -1, path.c_str());
}

bool is_terminal(int fd) { return isatty(fd) == 1; }

bool is_regular_file(int fd)
{
    const auto status = status_of(fd);
    return status && S_ISREG(status->st_mode);
}

bool is_pipe(int fd)
{
    const auto status = status_of(fd);
    return status && S_ISFIFO(status->st_mode);
}

bool names_a_pipe(const std::filesystem::path& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
}

bool opening_may_wait(const std::filesystem::path& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
}

std::optional<std::uint64_t> regular_file_size(int fd)
{
    const auto status = status_of(fd);
    if (!status || !S_ISREG(status->st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(status->st_size);
}

int terminal_columns(int fd)
{
    winsize size{};
    return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

file_descriptor open_for_reading(const std::filesystem::path& path)
{
    // Opened without waiting for a writer, a named pipe's wait moves to its
    // reads, which can watch for a stop and for the output's reader.
    struct stat status {};
    const int waits_not = stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode) ? O_NONBLOCK : 0;
    for (;;) {
        const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | waits_not);
        if (fd >= 0 || errno != EINTR || stop_requested())
            return file_descriptor(fd);
    }
}

file_descriptor open_for_writing(const std::filesystem::path& path)
{
    for (;;) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EINTR || stop_requested())
            return file_descriptor(fd);
    }
}

bool truncate_file(int fd, std::uint64_t size)
{
    return size <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) && ftruncate(fd, static_cast<off_t>(size)) == 0;
}
bool seek_to_start(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

bool read_at(int fd, std::uint64_t offset, std::span<char> into)
{
    if (offset + into.size() > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    // pread leaves the position where the caller's reads expect it.
    for (std::size_t done = 0; done < into.size();) {
        const ssize_t n = pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

file_descriptor open_pipe_without_waiting(const std::filesystem::path& path, bool for_writing)
{
    // Without a reader, a writing end fails at once (ENXIO).
    return file_descriptor(open(path.c_str(), (for_writing ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

std::filesystem::path program_folder()
{
    std::error_code unknown;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", unknown);
    return unknown ? std::filesystem::path() : program.parent_path();
}

std::optional<std::filesystem::path> installed_folder() { return std::nullopt; }

io_result write_without_waiting(int fd, std::span<const char> bytes, std::size_t& written)
{
    written = 0;
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
        written = static_cast<std::size_t>(n);
        return io_result::done;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return io_result::done;
    return errno == EPIPE ? io_result::reader_gone : io_result::failed;
}

io_result read_without_waiting(int fd, std::span<char> into, std::size_t& count)
{
    count = 0;
    const ssize_t n = read(fd, into.data(), into.size());
    if (n > 0)
        count = static_cast<std::size_t>(n);
    else if (n == 0)
        return io_result::end;
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return io_result::failed;
    return io_result::done;
}

void release_pipe_reader(const std::filesystem::path& path, std::chrono::milliseconds patience, std::span<const char> first)
{
    // Without a reader the open fails at once (ENXIO) rather than waiting.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            // An empty pipe takes so few bytes whole; a reader gone since
            // is no matter.
            if (!first.empty()) {
                [[maybe_unused]] const ssize_t written = write(fd, first.data(), first.size());
            }
            ::close(fd);
            return;
        }
        if (errno != ENXIO || std::chrono::steady_clock::now() >= deadline || !pause_unless_stopped(release_look_interval))
            return;
    }
}

io_result write_all(int fd, std::span<const char> bytes, std::size_t& written)
{
    written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
        } else if (errno == EINTR) {
            // Interrupted by a stop or, after one, by its timer: carry on
            // while the grace period lasts.
            if (stop_grace_over())
                return io_result::stopped;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The descriptor was left non-blocking: wait until it takes more.
            if (!wait_writable(fd))
                return io_result::stopped;
        } else {
            return errno == EPIPE ? io_result::reader_gone : io_result::failed;
        }
    }
    return io_result::done;
}

io_result write_text(int fd, std::span<const char> bytes)
{
    std::size_t written = 0;
    return write_all(fd, bytes, written);
}

io_result read_some(int fd, std::span<char> into, std::size_t& count)
{
    count = 0;
    for (;;) {
        const ssize_t n = read(fd, into.data(), into.size());
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return io_result::done;
        }
        if (n == 0)
            return io_result::end;
        if (errno == EINTR) {
            if (stop_requested())
                return io_result::stopped;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (wait_for_input(fd, std::chrono::milliseconds(-1)) == wait_result::stopped)
                return io_result::stopped;
        } else {
            return io_result::failed;
        }
    }
}

// `fd` may be -1 too: the pauses below wait on nothing but a stop and the
// output's reader.
wait_result wait_for_input(int fd, std::chrono::milliseconds timeout, int watched_output)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (stop_requested())
            return wait_result::stopped;
        auto left = std::chrono::milliseconds(-1);
        if (timeout.count() >= 0) {
            left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return wait_result::timed_out;
        }
        // A pipe's writing end reports POLLERR, a socket POLLHUP, once its
        // reader has gone; both are reported whatever is asked for.
        pollfd ready[2] = {{fd, POLLIN, 0}, {watched_output, 0, 0}};
        const int result = poll(ready, 2, poll_timeout(left));
        // Input that came (or ended) is taken first: the reader leaving
        // matters only while nothing more is to be read.
        if (result > 0 && ready[0].revents != 0)
            return wait_result::ready;
        if (result > 0 && (ready[1].revents & (POLLERR | POLLHUP)) != 0)
            return wait_result::reader_gone;
        if (result < 0 && errno != EINTR)
            return wait_result::ready; // let the read itself report the failure
    }
}

bool reader_has_gone(int fd)
{
    pollfd output{fd, 0, 0};
    return poll(&output, 1, 0) > 0 && (output.revents & (POLLERR | POLLHUP)) != 0;
}

bool pause_unless_stopped(std::chrono::milliseconds duration) { return wait_for_input(-1, duration, -1) == wait_result::timed_out; }

wait_result pause_watching(std::chrono::milliseconds duration, int watched_output)
{
    const wait_result waited = wait_for_input(-1, duration, watched_output);
    return waited == wait_result::timed_out ? wait_result::ready : waited;
}

} // namespace wpan2pcap
