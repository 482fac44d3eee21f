// The other end of the programs' named pipes on Windows, for the tests run
// under Wine: a pipe made as Wireshark 4 makes an extcap's (one instance,
// duplex, byte mode, 64 KiB buffers), read to a file; a sniffer's pipe,
// written record by record and then closed; both at once, feeding records
// and reading each packet back; and a console on which Ctrl-C is pressed.
//
//   pipe_peer read NAME OUT [BYTES [stall|busy]]
//                                             serve \\.\pipe\NAME, append what arrives to OUT;
//                                             after BYTES, close it (or stall: read nothing for
//                                             two seconds, then the rest); busy: a client of its
//                                             own holds the pipe for 200 ms first
//   pipe_peer write NAME IN [PAUSE_MS [close|hold|two]]
//                                             serve \\.\pipe\NAME, write IN's records one by one,
//                                             then hang up; close: just close the handle, as a
//                                             writer that simply ends does; hold: stay, writing
//                                             nothing more, until the reader has gone; two: offer
//                                             a second instance, as a server may, and say whether
//                                             a client took it
//   pipe_peer relay IN_NAME OUT_NAME RECORDS EXPECTED TRACE [LEAVE_AFTER]
//                                             feed RECORDS through IN_NAME one by one; before the
//                                             next, EXPECTED's next packet must arrive through
//                                             OUT_NAME and TRACE must hold its block; close OUT_NAME
//                                             after LEAVE_AFTER packets
//   pipe_peer control NAME RECEIVED [stall|only-to-program]
//                                             serve Wireshark's two control pipes for the
//                                             interface NAME as Wireshark 4 makes them, wait for the
//                                             program to connect to both (write RECEIVED.connected
//                                             then), say "initialized", and append what the
//                                             program sends to RECEIVED until it hangs up (write
//                                             RECEIVED.end then); stall: read nothing;
//                                             only-to-program: serve only the pipe the program
//                                             reads (it was given something else for the other)
//   pipe_peer ctrl-c TRACE WATCHED BYTES REPORT PROGRAM ARGS...
//                                             run PROGRAM on this console, its standard output into
//                                             TRACE; press Ctrl-C once WATCHED holds BYTES bytes;
//                                             write how it ended into REPORT
//   pipe_peer ctrl-c-slow-console ...         the same, standard output taken in at a console's pace
//   pipe_peer ctrl-break ...                  as ctrl-c-slow-console, pressing Ctrl-Break
//   pipe_peer close-window ...                the same, closing the console's window
//
// It prints "ready" once its pipes exist, and what it saw at the end.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr DWORD pipe_buffer = 64 * 1024;
constexpr std::size_t record_size = 151;

std::wstring wide(const char* text)
{
    std::wstring out(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), static_cast<int>(out.size()));
    out.resize(out.size() - 1);
    return out;
}

std::wstring pipe_path(const char* name) { return L"\\\\.\\pipe\\" + wide(name); }

HANDLE make_pipe(const char* name, DWORD instances = 1)
{
    return CreateNamedPipeW(pipe_path(name).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            instances, pipe_buffer, pipe_buffer, 0, nullptr);
}

// Until the client at the other end of `pipe` has gone (or a minute): the
// server sees it as a broken pipe.
void wait_for_client_to_leave(HANDLE pipe)
{
    for (const auto deadline = steady::now() + std::chrono::seconds(60); steady::now() < deadline; Sleep(1)) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return;
    }
}

bool connect(HANDLE pipe) { return ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }

void hang_up(HANDLE pipe)
{
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

std::string read_whole(const char* path)
{
    std::string data;
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return data;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        data.append(buffer, got);
    CloseHandle(file);
    return data;
}

bool write_whole(HANDLE handle, const char* data, std::size_t size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr))
            return false;
        data += written;
        size -= written;
    }
    return true;
}

void ready()
{
    std::printf("ready\n");
    std::fflush(stdout);
}

int serve_read(const char* name, const char* out, std::size_t close_after, bool stall, bool busy)
{
    const HANDLE pipe = make_pipe(name);
    const HANDLE file = CreateFileW(wide(out).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || file == INVALID_HANDLE_VALUE)
        return 1;
    if (busy) {
        // Another client has the pipe's only instance for a while: the
        // program, coming meanwhile, must wait for its turn.
        const HANDLE other = CreateFileW(pipe_path(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (other == INVALID_HANDLE_VALUE || !connect(pipe))
            return 1;
        ready();
        Sleep(200);
        CloseHandle(other);
        DisconnectNamedPipe(pipe);
        std::printf("the other client left\n");
    } else {
        ready();
    }
    if (!connect(pipe))
        return 1;
    std::size_t total = 0;
    char buffer[pipe_buffer];
    for (bool stalled = false;;) {
        std::size_t wanted = sizeof buffer;
        if (close_after > 0 && !stalled)
            wanted = std::min(wanted, close_after - total);
        if (wanted == 0 && stall) {
            Sleep(2000); // a reader that takes nothing for a while
            stalled = true;
            continue;
        }
        DWORD got = 0;
        if (wanted == 0 || !ReadFile(pipe, buffer, static_cast<DWORD>(wanted), &got, nullptr) || got == 0)
            break;
        write_whole(file, buffer, got);
        total += got;
    }
    CloseHandle(file);
    hang_up(pipe);
    std::printf("read %zu bytes\n", total);
    return 0;
}

int serve_write(const char* name, const char* in, DWORD pause_ms, const std::string& end)
{
    const std::string data = read_whole(in);
    const HANDLE pipe = make_pipe(name, end == "two" ? 2 : 1);
    if (pipe == INVALID_HANDLE_VALUE)
        return 1;
    // A second instance, which tells at the end whether a client took it.
    HANDLE second = INVALID_HANDLE_VALUE;
    OVERLAPPED second_client{};
    if (end == "two") {
        second = CreateNamedPipeW(pipe_path(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 2, pipe_buffer, pipe_buffer, 0, nullptr);
        second_client.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (second == INVALID_HANDLE_VALUE || (!ConnectNamedPipe(second, &second_client) && GetLastError() != ERROR_IO_PENDING &&
                                               GetLastError() != ERROR_PIPE_CONNECTED))
            return 1;
    }
    ready();
    if (!connect(pipe))
        return 1;
    for (std::size_t at = 0; at < data.size(); at += record_size) {
        if (!write_whole(pipe, data.data() + at, std::min(record_size, data.size() - at)))
            return 1;
        if (pause_ms > 0)
            Sleep(pause_ms);
    }
    if (end == "close") {
        CloseHandle(pipe);
    } else {
        if (end == "hold")
            wait_for_client_to_leave(pipe);
        hang_up(pipe);
    }
    if (second != INVALID_HANDLE_VALUE && (WaitForSingleObject(second_client.hEvent, 0) == WAIT_OBJECT_0 ||
                                           GetLastError() == ERROR_PIPE_CONNECTED))
        std::printf("a second client connected\n");
    std::printf("wrote %zu bytes\n", data.size());
    return 0;
}

// How long the relay waits for the program at each step: long enough for a
// Wine that another suite keeps busy, and a packet held back until the next
// record would never come within it.
constexpr DWORD relay_patience_ms = 30'000;

// Waits for an overlapped operation begun on `handle`; false when it failed
// or did not end in time (it is then cancelled).
bool finish_overlapped(HANDLE handle, OVERLAPPED& io, BOOL begun, DWORD& transferred)
{
    if (begun)
        return GetOverlappedResult(handle, &io, &transferred, FALSE) != 0;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(io.hEvent, relay_patience_ms) != WAIT_OBJECT_0) {
        CancelIoEx(handle, &io);
        GetOverlappedResult(handle, &io, &transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(handle, &io, &transferred, FALSE) != 0;
}

struct overlapped_event : OVERLAPPED {
    overlapped_event() : OVERLAPPED{} { hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~overlapped_event() { CloseHandle(hEvent); }
};

bool connect_within(HANDLE pipe)
{
    overlapped_event io;
    DWORD unused = 0;
    return ConnectNamedPipe(pipe, &io) || GetLastError() == ERROR_PIPE_CONNECTED || finish_overlapped(pipe, io, FALSE, unused);
}

bool write_within(HANDLE pipe, const char* data, std::size_t size)
{
    while (size > 0) {
        overlapped_event io;
        DWORD written = 0;
        if (!finish_overlapped(pipe, io, WriteFile(pipe, data, static_cast<DWORD>(size), &written, &io), written))
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// The trace file as the program writes it, its blocks counted as they come,
// woken by its folder's change notification (and looking every 10 ms).
class trace_watch {
public:
    explicit trace_watch(const char* path) : path_(wide(path))
    {
        const std::wstring folder = path_.substr(0, path_.find_last_of(L"\\/"));
        change_ = FindFirstChangeNotificationW(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    }
    ~trace_watch()
    {
        if (change_ != INVALID_HANDLE_VALUE)
            FindCloseChangeNotification(change_);
    }

    // True once the trace holds `wanted` blocks; false after relay_patience_ms.
    std::size_t wait_for(std::size_t wanted)
    {
        for (const auto deadline = steady::now() + std::chrono::milliseconds(relay_patience_ms);;) {
            read_new_bytes();
            if (blocks_ >= wanted || steady::now() >= deadline)
                return blocks_;
            if (change_ != INVALID_HANDLE_VALUE && WaitForSingleObject(change_, 10) == WAIT_OBJECT_0)
                FindNextChangeNotification(change_);
            else if (change_ == INVALID_HANDLE_VALUE)
                Sleep(10);
        }
    }

private:
    void read_new_bytes()
    {
        const HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(read_);
        SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            read_ += got;
            // A block begins with "Packet\n" at the start of a line: the
            // last bytes seen are kept, for one that spans two reads.
            std::string seen = tail_ + std::string(buffer, got);
            for (auto found = seen.find("Packet\n"); found != std::string::npos; found = seen.find("Packet\n", found + 1))
                if ((found == 0 && tail_.empty() && read_ == got) || (found > 0 && seen[found - 1] == '\n'))
                    ++blocks_;
            tail_ = seen.substr(seen.size() > 7 ? seen.size() - 7 : 0);
        }
        CloseHandle(file);
    }

    std::wstring path_;
    HANDLE change_ = INVALID_HANDLE_VALUE;
    std::uint64_t read_ = 0;
    std::string tail_;
    std::size_t blocks_ = 0;
};

int relay(const char* in_name, const char* out_name, const char* records_path, const char* expected_path,
          const char* trace_path, std::size_t leave_after)
{
    const std::string records = read_whole(records_path), expected = read_whole(expected_path);
    // Where each packet of the expected capture ends.
    std::vector<std::size_t> ends;
    for (std::size_t at = 24; at + 16 <= expected.size();) {
        const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(expected[i])); };
        at += 16 + (byte(at + 8) | byte(at + 9) << 8);
        ends.push_back(at);
    }
    // Overlapped, so that no wait for the program is without a bound.
    const auto make = [](const char* name) {
        return CreateNamedPipeW(pipe_path(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, pipe_buffer, pipe_buffer, 0, nullptr);
    };
    const HANDLE in = make(in_name), out = make(out_name);
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE)
        return 1;
    trace_watch trace(trace_path);
    ready();
    if (!connect_within(in)) {
        std::printf("FAIL: the program did not open the input pipe\n");
        return 1;
    }
    std::string received;
    std::vector<double> latency_ms;
    bool out_open = false;
    const std::size_t count = records.size() / record_size;
    for (std::size_t n = 0; n < count && (leave_after == 0 || n <= leave_after); ++n) {
        const auto fed = steady::now();
        if (!write_within(in, records.data() + n * record_size, record_size)) {
            std::printf("FAIL: record %zu not taken\n", n + 1);
            return 1;
        }
        if (n >= ends.size() || (leave_after > 0 && n >= leave_after))
            continue;
        if (!out_open && !(out_open = connect_within(out))) {
            std::printf("FAIL: the program did not open the output pipe\n");
            return 1;
        }
        // The packet, before the next record is fed: one held back until
        // then never comes.
        char buffer[4096];
        while (received.size() < ends[n]) {
            overlapped_event io;
            DWORD got = 0;
            const auto wanted = static_cast<DWORD>(std::min(sizeof buffer, ends[n] - received.size()));
            if (!finish_overlapped(out, io, ReadFile(out, buffer, wanted, &got, &io), got) || got == 0)
                break;
            received.append(buffer, got);
        }
        latency_ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - fed).count());
        if (received != expected.substr(0, ends[n])) {
            std::printf("FAIL: packet %zu differs or never came (%zu bytes)\n", n + 1, received.size());
            return 1;
        }
        // The block is written out before the converter waits for the next
        // record (the packet goes first, so it may take a moment).
        if (const std::size_t blocks = trace.wait_for(n + 1); blocks != n + 1) {
            std::printf("FAIL: %zu blocks in the trace when packet %zu came\n", blocks, n + 1);
            return 1;
        }
        if (leave_after > 0 && n + 1 == leave_after) {
            // The reader leaves while the input is quiet: the program must
            // notice by itself, and leave the input too.
            const auto left = steady::now();
            hang_up(out);
            out_open = false;
            wait_for_client_to_leave(in);
            std::printf("the program left %.1f ms after its reader\n",
                        std::chrono::duration<double, std::milli>(steady::now() - left).count());
            break;
        }
    }
    hang_up(in);
    if (out_open)
        hang_up(out);
    std::sort(latency_ms.begin(), latency_ms.end());
    if (!latency_ms.empty())
        std::printf("%zu packets, record to packet median %.3f ms, worst %.3f ms\n", latency_ms.size(),
                    latency_ms[latency_ms.size() / 2], latency_ms.back());
    std::printf("ok\n");
    return 0;
}

void write_file_whole(const std::wstring& path, const std::string& text)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    write_whole(file, text.data(), text.size());
    CloseHandle(file);
}

// Wireshark's control pipes: made before the program starts, overlapped,
// one instance each; Wireshark then waits (up to 30 s, or until the program
// ends) for the program to connect to every one, before it goes on.
int serve_control(const char* name, const char* received, bool stall, bool only_to_program)
{
    const auto make = [name](const wchar_t* prefix) {
        return CreateNamedPipeW((L"\\\\.\\pipe\\" + std::wstring(prefix) + wide(name)).c_str(),
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                pipe_buffer, pipe_buffer, 300, nullptr);
    };
    const HANDLE to_program = make(L"wireshark_control_ws_to_ext_");
    const HANDLE from_program = only_to_program ? nullptr : make(L"wireshark_control_ext_to_ws_");
    const std::wstring received_path = wide(received);
    const HANDLE file = CreateFileW(received_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                                    nullptr);
    if (from_program == INVALID_HANDLE_VALUE || to_program == INVALID_HANDLE_VALUE || file == INVALID_HANDLE_VALUE)
        return 1;
    OVERLAPPED connected[2] = {};
    const HANDLE pipes[2] = {to_program, from_program};
    const DWORD count = only_to_program ? 1 : 2;
    HANDLE events[2];
    for (DWORD i = 0; i < count; ++i) {
        events[i] = connected[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!ConnectNamedPipe(pipes[i], &connected[i]) && GetLastError() == ERROR_PIPE_CONNECTED)
            SetEvent(events[i]);
    }
    ready();
    const auto waited = steady::now();
    if (WaitForMultipleObjects(count, events, TRUE, 20000) != WAIT_OBJECT_0) {
        std::printf("FAIL: the program did not connect to the control pipes\n");
        return 1;
    }
    char line[64];
    std::snprintf(line, sizeof line, "connected after %.1f ms\n",
                  std::chrono::duration<double, std::milli>(steady::now() - waited).count());
    write_file_whole(received_path + L".connected", line);
    // Its window's first act on them: it says it is ready.
    OVERLAPPED io{};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    const char initialized[] = {'T', 0, 0, 2, 0, 0};
    if (!WriteFile(to_program, initialized, sizeof initialized, &done, &io) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(to_program, &io, &done, TRUE);
    std::size_t total = 0;
    if (only_to_program) {
        wait_for_client_to_leave(to_program);
    } else if (stall) {
        wait_for_client_to_leave(from_program);
    } else {
        char buffer[pipe_buffer];
        for (;;) {
            ResetEvent(io.hEvent);
            DWORD got = 0;
            if (!ReadFile(from_program, buffer, sizeof buffer, &got, &io)) {
                if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(from_program, &io, &got, TRUE))
                    break;
            }
            if (got == 0)
                break;
            write_whole(file, buffer, got);
            total += got;
        }
    }
    CloseHandle(file);
    write_file_whole(received_path + L".end", "");
    if (from_program != nullptr)
        hang_up(from_program);
    hang_up(to_program);
    std::printf("%s; read %zu bytes\n", line, total);
    return 0;
}

BOOL WINAPI keep_running(DWORD) { return TRUE; }

int press_ctrl_c(DWORD event, bool slow_console, const char* trace, const char* watched, std::size_t bytes, const char* report,
                 int argc, char** argv)
{
    // This program stays, to tell how the other ended: its handler takes the
    // event. (Ignoring it instead would be inherited.)
    SetConsoleCtrlHandler(keep_running, TRUE);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE trace_file = CreateFileW(wide(trace).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          slow_console ? nullptr : &inherited, CREATE_ALWAYS, 0, nullptr);
    // A console takes text slowly, and so can this one: the program's
    // standard output then reaches TRACE through a pipe read a piece at a
    // time. Without that, a loaded machine could deliver Ctrl-C after the
    // whole input was converted.
    HANDLE console_read = nullptr, console_write = nullptr;
    std::thread console_reader;
    if (slow_console) {
        CreatePipe(&console_read, &console_write, &inherited, 0);
        SetHandleInformation(console_read, HANDLE_FLAG_INHERIT, 0);
        console_reader = std::thread([console_read, trace_file] {
            char piece[4096];
            DWORD got = 0;
            while (ReadFile(console_read, piece, sizeof piece, &got, nullptr) && got > 0) {
                write_whole(trace_file, piece, got);
                Sleep(1);
            }
        });
    }
    const HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    std::wstring command;
    for (int i = 0; i < argc; ++i)
        command += (i > 0 ? L" \"" : L"\"") + wide(argv[i]) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = slow_console ? console_write : trace_file;
    startup.hStdError = nothing;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::printf("FAIL: cannot start the program (%lu)\n", GetLastError());
        std::exit(1);
    }
    if (slow_console)
        CloseHandle(console_write); // the program's end then ends the reader
    const std::wstring watched_path = wide(watched);
    for (;;) {
        WIN32_FILE_ATTRIBUTE_DATA status{};
        const bool there = GetFileAttributesExW(watched_path.c_str(), GetFileExInfoStandard, &status);
        if (there && (static_cast<std::size_t>(status.nFileSizeHigh) << 32 | status.nFileSizeLow) >= bytes)
            break;
        if (WaitForSingleObject(child.hProcess, 1) == WAIT_OBJECT_0) {
            std::printf("FAIL: the program ended before Ctrl-C\n");
            std::exit(1);
        }
    }
    const auto pressed = steady::now();
    if (event == CTRL_C_EVENT) {
        GenerateConsoleCtrlEvent(event, 0);
    } else {
        // Windows delivers Ctrl-Break and the window's closing by starting
        // the console's control routine in the program, and so does this
        // (Wine cannot generate Ctrl-Break).
        const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
        if (routine == nullptr ||
            !CreateRemoteThread(child.hProcess, nullptr, 0, routine, reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr)) {
            std::printf("FAIL: cannot deliver the event (%lu)\n", GetLastError());
            std::exit(1);
        }
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    const double ms = std::chrono::duration<double, std::milli>(steady::now() - pressed).count();
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    if (slow_console)
        console_reader.join();
    CloseHandle(trace_file);
    // The console shows it mixed with its own escape sequences: a file keeps it plain.
    char line[64];
    const int length = std::snprintf(line, sizeof line, "exit 0x%08lX, %.1f ms after %s\n", status, ms,
                                     event == CTRL_C_EVENT ? "Ctrl-C" : event == CTRL_BREAK_EVENT ? "Ctrl-Break" : "closing the window");
    const HANDLE file = CreateFileW(wide(report).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    write_whole(file, line, static_cast<std::size_t>(length));
    CloseHandle(file);
    return 0;
}

} // namespace

// The arguments as Windows holds them, in UTF-8: a narrow argv would come in
// the ANSI code page, where a pipe's name beyond ASCII is lost.
std::vector<std::string> utf8_arguments()
{
    int count = 0;
    wchar_t** wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide_arguments[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide_arguments[i], -1, argument.data(), size, nullptr, nullptr);
        arguments.push_back(argument);
    }
    LocalFree(wide_arguments);
    return arguments;
}

int main()
{
    std::vector<std::string> words = utf8_arguments();
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(word.data());
    const int argc = static_cast<int>(pointers.size());
    char** argv = pointers.data();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "read" && argc >= 4)
        return serve_read(argv[2], argv[3], argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0,
                          argc > 5 && std::string(argv[5]) == "stall", argc > 5 && std::string(argv[5]) == "busy");
    if (mode == "write" && argc >= 4)
        return serve_write(argv[2], argv[3], argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0, argc > 5 ? argv[5] : "");
    if (mode == "control" && argc >= 4)
        return serve_control(argv[2], argv[3], argc > 4 && std::string(argv[4]) == "stall",
                             argc > 4 && std::string(argv[4]) == "only-to-program");
    if (mode == "relay" && argc >= 7)
        return relay(argv[2], argv[3], argv[4], argv[5], argv[6], argc > 7 ? std::strtoul(argv[7], nullptr, 10) : 0);
    if ((mode == "ctrl-c" || mode == "ctrl-c-slow-console" || mode == "ctrl-break" || mode == "close-window") && argc >= 7)
        return press_ctrl_c(mode == "ctrl-break" ? CTRL_BREAK_EVENT : mode == "close-window" ? CTRL_CLOSE_EVENT : CTRL_C_EVENT,
                            mode != "ctrl-c", argv[2], argv[3],
                            std::strtoul(argv[4], nullptr, 10), argv[5], argc - 6, argv + 6);
    std::fprintf(stderr, "usage: see the top of pipe_peer.cpp\n");
    return 2;
}
