#include "driver/system_files.hpp"

#include "driver/stop_signals.hpp"

namespace wpan2pcap {

// Closes `fd`; false when closing reported an error.
bool release_descriptor(int fd);

bool file_descriptor::close()
{
    if (fd_ < 0)
        return true;
    const int fd = fd_;
    fd_ = -1;
    return release_descriptor(fd);
}

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

#ifndef _WIN32
namespace {
const std::optional<file_identity>& null_device()
{
    static const std::optional<file_identity> identity = identity_of(std::filesystem::path("/dev/null"));
    return identity;
}
} // namespace
#endif

bool same_file(const std::optional<file_identity>& a, const std::optional<file_identity>& b)
{
    if (!a || !b)
        return false;
#ifdef _WIN32
    // Some handles (under Wine, those a POSIX parent passed on) come without
    // their volume: the file ID alone then decides. NUL has no identity.
    return a->inode == b->inode && a->inode_high == b->inode_high &&
           (a->device == b->device || a->device == 0 || b->device == 0);
#else
    return *a == *b && *a != null_device();
#endif
}

bool is_null_device([[maybe_unused]] const std::optional<file_identity>& file)
{
#ifdef _WIN32
    return false; // NUL has no identity there; it is written to
#else
    return file && file == null_device();
#endif
}

} // namespace wpan2pcap

#ifdef _WIN32

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace wpan2pcap {

namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::optional<file_identity> identity_of_handle(HANDLE handle)
{
    FILE_ID_INFO id{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id))
        return std::nullopt;
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    return file_identity{id.VolumeSerialNumber, low, high};
}

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

} // namespace

bool release_descriptor(int fd) { return _close(fd) == 0; }

std::optional<file_identity> identity_of(int fd) { return identity_of_handle(handle_of(fd)); }

std::optional<file_identity> identity_of(const std::filesystem::path& path)
{
    const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const std::optional<file_identity> identity = identity_of_handle(handle);
    CloseHandle(handle);
    return identity;
}

bool is_terminal(int fd) { return is_console(handle_of(fd)); }
bool is_regular_file(int fd) { return GetFileType(handle_of(fd)) == FILE_TYPE_DISK; }
bool is_pipe(int fd) { return GetFileType(handle_of(fd)) == FILE_TYPE_PIPE; }

bool names_a_pipe(const std::filesystem::path& path)
{
    std::wstring prefix = path.native().substr(0, 9);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), [](wchar_t c) { return c == L'/' ? L'\\' : towlower(c); });
    return prefix == L"\\\\.\\pipe\\";
}

bool opening_may_wait(const std::filesystem::path& path) { return names_a_pipe(path); }

std::optional<std::uint64_t> regular_file_size(int fd)
{
    LARGE_INTEGER size{};
    if (!is_regular_file(fd) || !GetFileSizeEx(handle_of(fd), &size))
        return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

int terminal_columns(int fd)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handle_of(fd), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

file_descriptor open_for_reading(const std::filesystem::path& path)
{
    return file_descriptor(_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
}

file_descriptor open_for_writing(const std::filesystem::path& path)
{
    if (names_a_pipe(path)) {
        // A pipe exists before anyone writes to it; it is never created here.
        const HANDLE pipe = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return {};
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_BINARY);
        if (fd < 0)
            CloseHandle(pipe);
        return file_descriptor(fd);
    }
    return file_descriptor(_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE));
}

bool truncate_file(int fd, std::uint64_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }
bool seek_to_start(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0; }

io_result write_all(int fd, std::span<const char> bytes, std::size_t& written)
{
    written = 0;
    while (written < bytes.size()) {
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(bytes.size() - written, INT_MAX));
        const int n = _write(fd, bytes.data() + written, chunk);
        if (n < 0)
            return errno == EPIPE ? io_result::reader_gone : io_result::failed;
        written += static_cast<std::size_t>(n);
    }
    return io_result::done;
}

io_result write_text(int fd, std::span<const char> bytes)
{
    const HANDLE handle = handle_of(fd);
    if (!is_console(handle)) {
        std::size_t written = 0;
        return write_all(fd, bytes, written);
    }
    // A console shows text, not bytes: UTF-8 is handed over as UTF-16.
    const int size = static_cast<int>(bytes.size());
    std::wstring text(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), static_cast<int>(text.size()));
    for (std::size_t at = 0; at < text.size();) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data() + at, static_cast<DWORD>(text.size() - at), &written, nullptr))
            return io_result::failed;
        at += written;
    }
    return io_result::done;
}

io_result read_some(int fd, std::span<char> into, std::size_t& count)
{
    count = 0;
    const int n = _read(fd, into.data(), static_cast<unsigned>(std::min<std::size_t>(into.size(), INT_MAX)));
    if (n < 0)
        return io_result::failed;
    count = static_cast<std::size_t>(n);
    return n == 0 ? io_result::end : io_result::done;
}

wait_result wait_for_input(int, std::chrono::milliseconds) { return wait_result::ready; }

bool pause_unless_stopped(std::chrono::milliseconds duration)
{
    Sleep(static_cast<DWORD>(duration.count()));
    return true;
}

} // namespace wpan2pcap

#else

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wpan2pcap {

namespace {

file_identity identity_from(const struct stat& status)
{
    // The second field tells device numbers from inode numbers apart.
    if (S_ISCHR(status.st_mode))
        return {static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX};
    if (S_ISBLK(status.st_mode))
        return {static_cast<std::uintmax_t>(status.st_rdev), UINTMAX_MAX - 1};
    return {static_cast<std::uintmax_t>(status.st_dev), static_cast<std::uintmax_t>(status.st_ino)};
}

std::optional<struct stat> status_of(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return std::nullopt;
    return status;
}

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

} // namespace

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

#endif
