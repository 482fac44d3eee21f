// Files and the console on Windows: the C runtime's descriptors over the
// system's handles.

#include "system/system_files.hpp"

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

bool same_file(const std::optional<file_identity>& a, const std::optional<file_identity>& b)
{
    // Some handles (under Wine, those a POSIX parent passed on) come without
    // their volume: the file ID alone then decides. NUL has no identity.
    return a && b && a->inode == b->inode && a->inode_high == b->inode_high &&
           (a->device == b->device || a->device == 0 || b->device == 0);
}

bool is_null_device(const std::optional<file_identity>&)
{
    return false; // NUL has no identity there; it is written to
}

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
