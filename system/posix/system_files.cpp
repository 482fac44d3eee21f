// Files and the console on POSIX systems: descriptors as the system has them.

#include "system/system_files.hpp"

#include "system/stop_signals.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace wpan2pcap {

namespace {

file_identity identity_from(const struct stat& status)
{
    // The second field tells device numbers from inode numbers apart.
    if (S_ISCHR(status.st_mode))
        return {static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX};
    if (S_ISBLK(status.st_mode)) {
        file_identity device{static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX - 1};
        // A loop device is its backing file's data: the kernel names that file.
        const std::string backing_file = "/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" +
                                         std::to_string(minor(status.st_rdev)) + "/loop/backing_file";
        std::ifstream named(backing_file);
        std::string path;
        struct stat backing {};
        if (std::getline(named, path) && stat(path.c_str(), &backing) == 0 && S_ISREG(backing.st_mode)) {
            device.backing_device = static_cast<std::uintmax_t>(backing.st_dev);
            device.backing_inode = static_cast<std::uintmax_t>(backing.st_ino);
        }
        return device;
    }
    return {static_cast<std::uintmax_t>(status.st_dev), static_cast<std::uintmax_t>(status.st_ino)};
}

bool backed_by(const file_identity& loop, const file_identity& file)
{
    return loop.backing_inode != 0 && loop.backing_device == file.device && loop.backing_inode == file.inode;
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
    return a && b && ((*a == *b && *a != null_device()) || backed_by(*a, *b) || backed_by(*b, *a));
}

bool is_null_device(const std::optional<file_identity>& file) { return file && file == null_device(); }

// Linux releases the descriptor even when close reports EINTR: never retry.
bool release_descriptor(int fd) { return ::close(fd) == 0 || errno == EINTR; }

std::optional<file_identity> identity_of(int fd)
{
    const auto status = status_of(fd);
    return status ? std::optional(identity_from(*status)) : std::nullopt;
}

std::optional<file_identity> identity_of(const std::filesystem::path& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return identity_from(status);
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
    for (;;) {
        const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
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

bool truncate_file(int fd, std::uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }
bool seek_to_start(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

bool read_at(int fd, std::uint64_t offset, std::span<char> into)
{
    // pread leaves the position where the caller's reads expect it.
    for (std::size_t done = 0; done < into.size();) {
        const ssize_t n = pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

void release_pipe_reader(const std::filesystem::path& path, std::chrono::milliseconds patience)
{
    // Without a reader the open fails at once (ENXIO) rather than waiting.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
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

wait_result wait_for_input(int fd, std::chrono::milliseconds timeout)
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
        pollfd ready{fd, POLLIN, 0};
        const int result = poll(&ready, 1, poll_timeout(left));
        if (result > 0)
            return wait_result::ready;
        if (result < 0 && errno != EINTR)
            return wait_result::ready; // let the read itself report the failure
    }
}

bool pause_unless_stopped(std::chrono::milliseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!stop_requested()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        poll(nullptr, 0, poll_timeout(left));
    }
    return false;
}

} // namespace wpan2pcap
