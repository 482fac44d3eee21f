// Files and the console on Windows: the C runtime's descriptors hold the
// system's handles, and every read and write goes to the handle itself, so
// that a pipe's end and a file that grows are seen as the system sees them.

#include "system/system_files.hpp"

#include "system/stop_signals.hpp"
#include "system/windows/stop_events.hpp"

#include <windows.h>
#include <winternl.h>

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

// Marks an identity made from a pipe's name rather than a file ID.
constexpr std::uintmax_t pipe_name_device = UINTMAX_MAX - 2;
constexpr std::chrono::milliseconds busy_pipe_wait{50};

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The pipe's own name in a path that names a pipe in any spelling Windows
// takes (\\.\pipe\, \\?\pipe\ or \??\pipe\, with either slash, "pipe" in any
// case); nothing for any other path.
std::optional<std::wstring_view> pipe_name_in(std::wstring_view path)
{
    const bool device_path = path.size() >= 4 && is_separator(path[0]) &&
                             ((is_separator(path[1]) && (path[2] == L'.' || path[2] == L'?')) ||
                              (path[1] == L'?' && path[2] == L'?')) &&
                             is_separator(path[3]);
    if (!device_path || path.size() < 9 || !is_separator(path[8]))
        return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i)
        if (towlower(path[4 + i]) != L"pipe"[i])
            return std::nullopt;
    return path.substr(9);
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A pipe's state, as the system keeps it for each end (FilePipeLocalInformation).
struct pipe_local_information {
    ULONG NamedPipeType;
    ULONG NamedPipeConfiguration;
    ULONG MaximumInstances;
    ULONG CurrentInstances;
    ULONG InboundQuota;
    ULONG ReadDataAvailable;
    ULONG OutboundQuota;
    ULONG WriteQuotaAvailable;
    ULONG NamedPipeState;
    ULONG NamedPipeEnd;
};
constexpr auto file_pipe_local_information = static_cast<FILE_INFORMATION_CLASS>(24);
constexpr ULONG file_pipe_disconnected_state = 1;
constexpr ULONG file_pipe_closing_state = 4;
constexpr NTSTATUS status_pipe_disconnected = static_cast<NTSTATUS>(0xC00000B0);
constexpr NTSTATUS status_pipe_closing = static_cast<NTSTATUS>(0xC00000B1);
constexpr NTSTATUS status_pipe_broken = static_cast<NTSTATUS>(0xC000014B);

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// A pipe is known by its name, compared as Windows compares pipe names:
// without regard to case in all of Unicode, either slash the same. Opening
// the name to learn more would connect to the pipe, and take its only
// instance from whoever waits for it.
file_identity pipe_identity(std::wstring_view name)
{
    while (!name.empty() && is_separator(name.front()))
        name.remove_prefix(1);
    std::wstring folded(name);
    for (wchar_t& c : folded)
        c = c == L'/' ? L'\\' : c;
    if (!folded.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, folded.data(), static_cast<int>(folded.size()), folded.data(),
                      static_cast<int>(folded.size()), nullptr, nullptr, 0);
    std::uint64_t hash = 0xcbf29ce484222325; // FNV-1a
    for (const wchar_t c : folded) {
        hash ^= static_cast<std::uint64_t>(c);
        hash *= 0x100000001b3;
    }
    return {pipe_name_device, hash, 0};
}

std::optional<file_identity> identity_of_handle(HANDLE handle)
{
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_PIPE) {
        // The name of the pipe, after \\.\pipe; an anonymous pipe has one too.
        alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t)];
        auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
        if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof buffer))
            return std::nullopt;
        return pipe_identity({info->FileName, info->FileNameLength / sizeof(wchar_t)});
    }
    FILE_ID_INFO id{};
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id))
        return std::nullopt;
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    return file_identity{id.VolumeSerialNumber, low, high};
}

// errno for the system's last error, for messages that name the cause.
void set_errno_from_last_error()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    default:
        errno = EIO;
    }
}

file_descriptor descriptor_for(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return {};
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        CloseHandle(handle);
    return file_descriptor(fd);
}

// Connects to a pipe that exists; while its one instance is taken, waits for
// it, as an open of a POSIX named pipe waits for its other end.
HANDLE open_pipe(const std::filesystem::path& path, DWORD access)
{
    for (;;) {
        const HANDLE pipe = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || stop_requested())
            return pipe;
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(busy_pipe_wait.count()));
        if (stop_requested())
            return INVALID_HANDLE_VALUE;
    }
}

bool is_pipe_end(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

} // namespace

bool same_file(const std::optional<file_identity>& a, const std::optional<file_identity>& b)
{
    // Some handles (under Wine, those a POSIX parent passed on) come without
    // their volume: the file ID alone then decides. NUL has no identity.
    return a && b && a->inode == b->inode && a->inode_high == b->inode_high &&
           (a->device == pipe_name_device) == (b->device == pipe_name_device) &&
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
    if (const std::optional<std::wstring_view> pipe = pipe_name_in(path.native()))
        return pipe_identity(*pipe);
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

bool names_a_pipe(const std::filesystem::path& path) { return pipe_name_in(path.native()).has_value(); }

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
    if (names_a_pipe(path))
        return descriptor_for(open_pipe(path, GENERIC_READ), _O_RDONLY);
    // Shared in every way, so that whoever writes the capture may go on
    // writing, truncate it, or replace it while it is read.
    return descriptor_for(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                          _O_RDONLY);
}

file_descriptor open_for_writing(const std::filesystem::path& path)
{
    // A pipe exists before anyone writes to it; it is never created here. Its
    // state is read too, to learn of its reader leaving.
    if (names_a_pipe(path))
        return descriptor_for(open_pipe(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES), _O_WRONLY);
    return file_descriptor(_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE));
}

bool truncate_file(int fd, std::uint64_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }

bool seek_to_start(int fd)
{
    LARGE_INTEGER start{};
    return SetFilePointerEx(handle_of(fd), start, nullptr, FILE_BEGIN) != 0;
}

bool read_at(int fd, std::uint64_t offset, std::span<char> into)
{
    // On a handle opened for plain reads, a read at an offset also moves the
    // file's position: it is put back.
    const HANDLE handle = handle_of(fd);
    LARGE_INTEGER here{}, none{};
    if (!SetFilePointerEx(handle, none, &here, FILE_CURRENT))
        return false;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const bool read = ReadFile(handle, into.data(), static_cast<DWORD>(into.size()), &n, &at) && n == into.size();
    return SetFilePointerEx(handle, here, nullptr, FILE_BEGIN) && read;
}

file_descriptor open_pipe_without_waiting(const std::filesystem::path& path, bool for_writing)
{
    // A pipe's server exists before its client: an open that finds it busy
    // or missing fails at once. In no-wait mode, reads and writes return at
    // once with what the pipe had or took.
    const HANDLE pipe = CreateFileW(path.c_str(), (for_writing ? GENERIC_WRITE : GENERIC_READ) | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return {};
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return descriptor_for(pipe, for_writing ? _O_WRONLY : _O_RDONLY);
}

std::filesystem::path program_folder()
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return std::filesystem::path(name).parent_path();
        }
        name.resize(name.size() * 2);
    }
}

std::optional<std::filesystem::path> installed_folder()
{
    // What the installer wrote for "Installed apps".
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\wpan2pcap";
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key, L"InstallLocation", RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS || size < 2)
        return std::nullopt;
    std::wstring folder(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, key, L"InstallLocation", RRF_RT_REG_SZ, nullptr, folder.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    folder.resize(wcsnlen(folder.c_str(), folder.size()));
    return std::filesystem::path(folder);
}

io_result write_without_waiting(int fd, std::span<const char> bytes, std::size_t& written)
{
    DWORD n = 0;
    written = 0;
    if (WriteFile(handle_of(fd), bytes.data(), static_cast<DWORD>(std::min<std::size_t>(bytes.size(), INT_MAX)), &n, nullptr)) {
        written = n;
        return io_result::done;
    }
    return is_pipe_end(GetLastError()) ? io_result::reader_gone : io_result::failed;
}

io_result read_without_waiting(int fd, std::span<char> into, std::size_t& count)
{
    count = 0;
    const HANDLE handle = handle_of(fd);
    DWORD available = 0, n = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? io_result::end : io_result::failed;
    if (available == 0)
        return io_result::done;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), available));
    if (!ReadFile(handle, into.data(), wanted, &n, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? io_result::end : io_result::failed;
    count = n;
    return io_result::done;
}

void release_pipe_reader(const std::filesystem::path& path, std::chrono::milliseconds patience, std::span<const char> first)
{
    // The pipe's maker is its reader: it is there once the pipe exists. A
    // busy pipe is not waited for.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const HANDLE pipe = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!first.empty())
                WriteFile(pipe, first.data(), static_cast<DWORD>(first.size()), &written, nullptr);
            CloseHandle(pipe);
            return;
        }
        if (GetLastError() != ERROR_FILE_NOT_FOUND || std::chrono::steady_clock::now() >= deadline ||
            !pause_unless_stopped(std::chrono::milliseconds(5)))
            return;
    }
}

io_result write_all(int fd, std::span<const char> bytes, std::size_t& written)
{
    written = 0;
    const HANDLE handle = handle_of(fd);
    const bool may_block = GetFileType(handle) != FILE_TYPE_DISK;
    while (written < bytes.size()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, INT_MAX));
        DWORD n = 0;
        bool done = false;
        {
            const blocking_call call(may_block ? blocking_call::writing : blocking_call::none);
            done = WriteFile(handle, bytes.data() + written, chunk, &n, nullptr) != 0;
        }
        written += n;
        if (done)
            continue;
        const DWORD error = GetLastError();
        if (is_pipe_end(error))
            return io_result::reader_gone;
        if (error == ERROR_OPERATION_ABORTED && stop_requested()) {
            // Cancelled by a stop whose grace period ran out.
            if (stop_grace_over())
                return io_result::stopped;
            continue;
        }
        return io_result::failed;
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
    const HANDLE handle = handle_of(fd);
    const DWORD type = GetFileType(handle);
    const bool disk = type == FILE_TYPE_DISK;
    const bool pipe = type == FILE_TYPE_PIPE;
    DWORD n = 0;
    bool done = false;
    for (;;) {
        {
            const blocking_call call(disk ? blocking_call::none : blocking_call::reading);
            if (!disk && stop_requested())
                return io_result::stopped;
            done = ReadFile(handle, into.data(), static_cast<DWORD>(std::min<std::size_t>(into.size(), INT_MAX)), &n, nullptr) != 0;
        }
        // A pipe's writer may write nothing (a message of no bytes): that is
        // not its end, which a broken pipe tells. A pipe that cannot say
        // (a POSIX one under Wine) ends so.
        DWORD available = 0;
        if (!done || n > 0 || !pipe || !PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
            break;
    }
    if (done) {
        count = n;
        return n > 0 ? io_result::done : io_result::end;
    }
    const DWORD error = GetLastError();
    // The writer closing its end of a pipe is the end of the input.
    if (is_pipe_end(error) || error == ERROR_HANDLE_EOF)
        return io_result::end;
    if (error == ERROR_OPERATION_ABORTED && stop_requested())
        return io_result::stopped;
    return io_result::failed;
}

wait_result wait_for_input(int fd, std::chrono::milliseconds timeout, int watched_output)
{
    // Only a pipe says whether it holds bytes; anything else is read at once.
    // With nothing to watch and no time limit, the read itself waits (and a
    // stop cancels it).
    const HANDLE handle = handle_of(fd);
    if (GetFileType(handle) != FILE_TYPE_PIPE || (timeout.count() < 0 && watched_output < 0))
        return wait_result::ready;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Input that came (or ended) is taken first: the reader leaving
        // matters only while nothing more is to be read.
        DWORD available = 0;
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available > 0)
            return wait_result::ready; // the read itself tells of an end or a failure
        if (reader_has_gone(watched_output))
            return wait_result::reader_gone;
        auto step = std::chrono::milliseconds(5);
        if (timeout.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return wait_result::timed_out;
            step = std::min(step, left);
        }
        if (!pause_unless_stopped(step))
            return wait_result::stopped;
    }
}

bool reader_has_gone(int fd)
{
    // A writing client cannot peek; the pipe's own state tells whether the
    // server is still there (the handle is opened to read it). Anything but a
    // pipe has no reader to lose.
    const HANDLE handle = handle_of(fd);
    if (fd < 0 || GetFileType(handle) != FILE_TYPE_PIPE)
        return false;
    pipe_local_information state{};
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtQueryInformationFile(handle, &io, &state, sizeof state, file_pipe_local_information);
    if (status == status_pipe_disconnected || status == status_pipe_broken || status == status_pipe_closing)
        return true;
    return status == 0 && (state.NamedPipeState == file_pipe_closing_state || state.NamedPipeState == file_pipe_disconnected_state);
}

bool pause_unless_stopped(std::chrono::milliseconds duration)
{
    return WaitForSingleObject(stop_event(), static_cast<DWORD>(duration.count())) != WAIT_OBJECT_0;
}

wait_result pause_watching(std::chrono::milliseconds duration, int watched_output)
{
    if (reader_has_gone(watched_output))
        return wait_result::reader_gone;
    if (!pause_unless_stopped(duration))
        return wait_result::stopped;
    return reader_has_gone(watched_output) ? wait_result::reader_gone : wait_result::ready;
}

} // namespace wpan2pcap
