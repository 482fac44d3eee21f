#pragma once

// Runs a program the way a user's shell would, with its standard output
// captured in a file (or sent where a row asks), and reports what it printed
// and how it ended.

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wpan2pcap::test {

struct process_result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    int signal = 0;  // the signal that ended it, if one did
    std::string output;
    std::string errors; // standard error, where the mode keeps it apart
};

// Where the program's standard output (and error) go. `file` and `pipe` keep
// all it printed (a test may read the pipe as it goes, from `console_pipe`);
// `reader_closes_after_three_lines` keeps those lines, as `| head -3` would.
enum class console_mode {
    file,
    file_and_errors,
    pipe,
    closed,
    // Standard output to the null or the full device; standard error to a
    // file, as errors_to_file keeps it.
    null_device,
    full_device,
    reader_closes_after_three_lines,
    // Both on a pseudo-terminal in raw mode (no line-end translation), which
    // is the program's controlling terminal, as in an interactive shell.
    terminal,
    // Standard output to the file, standard error on a pseudo-terminal.
    errors_on_terminal,
    // Standard output to the null device, standard error on a pseudo-terminal.
    discarded_errors_on_terminal,
    // Standard output to the file, standard error to another (the file's
    // path with ".errors" added).
    errors_to_file,
    // A pipe left non-blocking, as some runtimes hand their children, read
    // a little at a time.
    nonblocking_pipe_read_slowly,
};

struct running_process {
    pid_t pid = -1;
    console_mode console = console_mode::file;
    int console_pipe = -1;    // the read end of a console pipe, or a terminal's master side
    int errors_terminal = -1; // the master side of standard error's terminal
    // This process's own hold on the terminal's slave side, until the
    // program has ended: the program opens it by name, and until it has,
    // the master would read as hung up.
    int terminal_slave = -1;
    std::optional<int> wait_status = std::nullopt; // once the program has been reaped
};

// A pseudo-terminal in raw mode; its slave side is opened by name in the child.
struct pseudo_terminal {
    int master = -1;
    int slave = -1;
    std::string slave_name;
};

inline pseudo_terminal open_pseudo_terminal()
{
    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        return {};
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // The child opens it again by name, to make it its controlling terminal.
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return {master, slave, name};
}

// Everything the descriptor gives until its writers are gone (a terminal
// then reports EIO).
inline std::string read_all(int fd, std::chrono::milliseconds pause = std::chrono::milliseconds::zero(), std::size_t chunk = 65536)
{
    std::string data;
    std::vector<char> buffer(chunk);
    for (;;) {
        if (pause > std::chrono::milliseconds::zero())
            usleep(static_cast<useconds_t>(std::chrono::microseconds(pause).count()));
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got > 0)
            data.append(buffer.data(), static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            return data;
    }
}

inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Makes `path` exactly `size` bytes long; what it gains is a hole, which
// costs no disk and reads as zeros.
inline bool set_file_size(const std::filesystem::path& path, std::uint64_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool resized = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0)
        close(fd);
    return resized;
}

// `size` bytes of `path` from `offset` (fewer where it ends), read where
// they are: a file of gigabytes need not be read whole.
inline std::string read_file_part(const std::filesystem::path& path, std::uint64_t offset, std::size_t size)
{
    std::string data(size, '\0');
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::size_t got = 0;
    while (fd >= 0 && got < size) {
        const ssize_t n = pread(fd, data.data() + got, size - got, static_cast<off_t>(offset + got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (fd >= 0)
        close(fd);
    data.resize(got);
    return data;
}

// Where a row keeps files of gigabytes: in memory where the system has a
// tmpfs (a hole there reads at once, where a disk's file system first
// fills the page cache with zeros, seconds for each 4 GiB), else in `dir`.
// Such a row writes up to half a gigabyte, and suites run side by side, so
// a small tmpfs (a container's 64 MB) is passed over. The row removes it.
inline std::filesystem::path large_file_dir(const std::filesystem::path& dir)
{
    constexpr std::uintmax_t room_needed = std::uintmax_t{2} << 30;
    std::error_code error;
    const std::filesystem::path memory = std::filesystem::path("/dev/shm") / dir.filename();
    const std::filesystem::space_info room = std::filesystem::space("/dev/shm", error);
    if (!error && room.available >= room_needed && std::filesystem::create_directories(memory, error))
        return memory;
    return dir;
}

// Writes `data` into `path` at `offset`.
inline bool write_file_part(const std::filesystem::path& path, std::uint64_t offset, const std::string& data)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(data.size());
    if (fd >= 0)
        close(fd);
    return written;
}

// Starts the program with standard input empty and standard output sent to
// `stdout_path` or as `console` says. The signals a converter handles start
// at their defaults whatever this test process does with them, so a test
// cannot pass on a disposition it inherited, and unblocked but for `blocked`.
inline running_process start_process(const std::vector<std::string>& command, const std::filesystem::path& stdout_path,
                                     console_mode console = console_mode::file, const std::vector<int>& blocked = {})
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    running_process process{.console = console};
    int console_pipe[2] = {-1, -1};
    pseudo_terminal terminal;
    const std::string errors_path = stdout_path.string() + ".errors";
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    switch (console) {
    case console_mode::file:
    case console_mode::file_and_errors:
    case console_mode::errors_on_terminal:
    case console_mode::discarded_errors_on_terminal:
    case console_mode::errors_to_file:
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1,
                                         console == console_mode::discarded_errors_on_terminal ? "/dev/null" : stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (console == console_mode::file_and_errors)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (console == console_mode::errors_to_file)
            posix_spawn_file_actions_addopen(&actions, 2, errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (console == console_mode::errors_on_terminal || console == console_mode::discarded_errors_on_terminal) {
            terminal = open_pseudo_terminal();
            posix_spawn_file_actions_addopen(&actions, 2, terminal.slave_name.c_str(), O_RDWR, 0);
            process.errors_terminal = terminal.master;
            process.terminal_slave = terminal.slave;
            flags |= POSIX_SPAWN_SETSID;
        }
        break;
    case console_mode::terminal:
        terminal = open_pseudo_terminal();
        // A new session's first terminal becomes its controlling terminal.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, terminal.slave_name.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        process.console_pipe = terminal.master;
        process.terminal_slave = terminal.slave;
        flags |= POSIX_SPAWN_SETSID;
        break;
    case console_mode::closed: // both, so that files opened later could take their numbers
        posix_spawn_file_actions_addclose(&actions, 0);
        posix_spawn_file_actions_addclose(&actions, 1);
        break;
    case console_mode::null_device:
    case console_mode::full_device:
        posix_spawn_file_actions_addopen(&actions, 1, console == console_mode::full_device ? "/dev/full" : "/dev/null",
                                         O_WRONLY, 0);
        // Standard error is kept, as errors_to_file keeps it.
        posix_spawn_file_actions_addopen(&actions, 2, errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        break;
    case console_mode::pipe:
    case console_mode::reader_closes_after_three_lines:
    case console_mode::nonblocking_pipe_read_slowly:
        if (pipe2(console_pipe, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&actions, console_pipe[1], 1);
        if (console == console_mode::nonblocking_pipe_read_slowly)
            fcntl(console_pipe[1], F_SETFL, fcntl(console_pipe[1], F_GETFL) | O_NONBLOCK);
        break;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    for (const int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&defaults, number);
    sigemptyset(&mask);
    for (const int number : blocked)
        sigaddset(&mask, number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, flags);
    if (posix_spawnp(&process.pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        process.pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (console_pipe[1] != -1)
        close(console_pipe[1]);
    if (console_pipe[0] != -1)
        process.console_pipe = console_pipe[0];
    return process;
}

// Everything the program writes on its terminal until it has ended: this
// process lets go of the slave side only once the program is reaped (an
// emulated spawn may return before the program has opened it).
inline std::string read_terminal(running_process& process, int master)
{
    std::string data;
    char buffer[65536];
    for (;;) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, process.terminal_slave != -1 ? 20 : -1) > 0) {
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0)
                data.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                return data;
        } else if (process.terminal_slave != -1) {
            int status = 0;
            if (process.pid <= 0 || waitpid(process.pid, &status, WNOHANG) == process.pid) {
                if (process.pid > 0)
                    process.wait_status = status;
                close(process.terminal_slave);
                process.terminal_slave = -1;
            }
        }
    }
}

// Kills a program and every program under it. A test that gives up on, say,
// tshark would otherwise leave its dumpcap and extcap behind, reparented and
// waiting for ever; they are found before the parent dies and takes the tree.
inline void kill_process_tree(pid_t root)
{
    std::vector<pid_t> tree{root};
    for (std::size_t grown = 0; grown != tree.size();) {
        grown = tree.size();
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::ifstream stat_file(entry.path() / "stat");
            const std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
            const std::size_t after_name = stat.rfind(')'); // the name may hold spaces and parentheses
            pid_t parent = 0;
            char state = 0;
            if (after_name == std::string::npos || std::sscanf(stat.c_str() + after_name + 1, " %c %d", &state, &parent) != 2)
                continue;
            const auto pid = static_cast<pid_t>(std::stol(name));
            if (std::find(tree.begin(), tree.end(), parent) != tree.end() && std::find(tree.begin(), tree.end(), pid) == tree.end())
                tree.push_back(pid);
        }
    }
    // Children first, so none is reparented before it is killed.
    for (auto pid = tree.rbegin(); pid != tree.rend(); ++pid)
        kill(*pid, SIGKILL);
}

// Kills every process whose command line holds `text` (a test's own folder,
// say): a program that a test started through another (sshd, whose session
// may end first and leave it to init) is no descendant of the test's.
inline void kill_processes_naming(const std::string& text)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || std::stol(name) == getpid())
            continue;
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        const std::string words((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (words.find(text) != std::string::npos)
            kill(static_cast<pid_t>(std::stol(name)), SIGKILL);
    }
}

// The emulator a cross build's programs run under on this host (qemu-user),
// word by word; empty where the host runs them itself.
inline std::vector<std::string> emulator()
{
#ifndef WPAN2PCAP_EMULATOR
#define WPAN2PCAP_EMULATOR "" // a program that is not a test: the host runs what it built
#endif
    std::vector<std::string> words;
    std::istringstream joined(WPAN2PCAP_EMULATOR);
    for (std::string word; std::getline(joined, word, '|');)
        if (!word.empty())
            words.push_back(word);
    return words;
}

inline bool emulated() { return !emulator().empty(); }

// A time bound as this host keeps it: an emulator adds its own delays to
// every call, so bounds are looser there; what the row checks is the same.
inline double time_bound_ms(double native_ms) { return emulated() ? native_ms * 10 : native_ms; }

// Waits for the program to end and collects what it printed (from a pipe,
// what the test has not read itself). A program still running after
// `patience` (when given) is killed, and shows as ended by SIGKILL.
inline process_result finish_process(running_process& process, const std::filesystem::path& stdout_path,
                                     std::chrono::milliseconds patience = std::chrono::milliseconds::zero())
{
    // The watchdog kills a program still running at the deadline, while
    // what it prints is read here (a full pipe would otherwise hold it up).
    std::atomic<bool> reaped{false};
    std::jthread watchdog;
    // An emulated program, sharing the cores with others, may take ten
    // times as long to do the same; only a hang should meet the deadline.
    if (emulated())
        patience *= 10;
    if (patience > std::chrono::milliseconds::zero() && process.pid > 0) {
        watchdog = std::jthread([pid = process.pid, &reaped, deadline = std::chrono::steady_clock::now() + patience] {
            while (!reaped && std::chrono::steady_clock::now() < deadline)
                usleep(1000);
            if (!reaped)
                kill_process_tree(pid); // at worst a zombie, not yet reaped
        });
    }
    process_result result;
    if (process.console == console_mode::reader_closes_after_three_lines) {
        char byte = 0;
        for (int lines = 0; lines != 3 && read(process.console_pipe, &byte, 1) == 1;) {
            result.output.push_back(byte);
            lines += byte == '\n' ? 1 : 0;
        }
    } else if (process.console == console_mode::nonblocking_pipe_read_slowly) {
        result.output = read_all(process.console_pipe, std::chrono::milliseconds(1), 4096);
    } else if (process.console_pipe != -1 && process.console == console_mode::terminal) {
        result.output = read_terminal(process, process.console_pipe);
    } else if (process.console_pipe != -1) {
        result.output = read_all(process.console_pipe);
    }
    if (process.console_pipe != -1)
        close(process.console_pipe);
    process.console_pipe = -1;
    if (process.errors_terminal != -1) {
        result.errors = read_terminal(process, process.errors_terminal);
        close(process.errors_terminal);
        process.errors_terminal = -1;
    }
    if (process.terminal_slave != -1) {
        close(process.terminal_slave);
        process.terminal_slave = -1;
    }
    int wait_status = process.wait_status.value_or(0);
    const bool ended = process.wait_status || (process.pid > 0 && waitpid(process.pid, &wait_status, 0) == process.pid);
    process.wait_status.reset();
    reaped = true;
    if (ended) {
        if (WIFEXITED(wait_status))
            result.status = WEXITSTATUS(wait_status);
        if (WIFSIGNALED(wait_status))
            result.signal = WTERMSIG(wait_status);
        process.pid = -1;
    }
    switch (process.console) {
    case console_mode::null_device:
    case console_mode::full_device:
        result.errors = read_file(stdout_path.string() + ".errors");
        std::filesystem::remove(stdout_path.string() + ".errors");
        break;
    case console_mode::errors_to_file:
        result.errors = read_file(stdout_path.string() + ".errors");
        std::filesystem::remove(stdout_path.string() + ".errors");
        [[fallthrough]];
    case console_mode::file:
    case console_mode::file_and_errors:
    case console_mode::errors_on_terminal:
        result.output = read_file(stdout_path);
        break;
    default:
        break;
    }
    return result;
}

// Ends a program a test started if the test ends first (an assertion that
// fails returns at once), so that none outlives its test.
class process_guard {
public:
    explicit process_guard(running_process& process) : process_(process) {}
    process_guard(const process_guard&) = delete;
    process_guard& operator=(const process_guard&) = delete;
    ~process_guard()
    {
        if (process_.pid > 0) {
            kill_process_tree(process_.pid);
            waitpid(process_.pid, nullptr, 0);
            process_.pid = -1;
        }
    }

private:
    running_process& process_;
};

// `stdout_path` receives the program's standard output; standard input is empty.
inline process_result run_process(const std::vector<std::string>& command, const std::filesystem::path& stdout_path,
                                  console_mode console = console_mode::file)
{
    running_process process = start_process(command, stdout_path, console);
    return finish_process(process, stdout_path);
}

inline bool write_all(int fd, const std::string& data)
{
    for (std::size_t at = 0; at < data.size();) {
        const ssize_t written = write(fd, data.data() + at, data.size() - at);
        if (written <= 0)
            return false;
        at += static_cast<std::size_t>(written);
    }
    return true;
}

// Reads from `fd` onto `into` until `done` holds, the writer is gone, or
// `patience` runs out.
template <typename Done>
void read_until(int fd, std::string& into, Done done, std::chrono::milliseconds patience = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    char buffer[4096];
    while (!done(into)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        into.append(buffer, static_cast<std::size_t>(got));
    }
}

// The command that runs one of the project's own programs, built here.
inline std::vector<std::string> project_program(const std::string& path)
{
    std::vector<std::string> command = emulator();
    command.push_back(path);
    return command;
}

// `command` with `arguments` after its own.
inline std::vector<std::string> command_with(std::vector<std::string> command, const std::vector<std::string>& arguments)
{
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// The converter under test: the one this build made, unless WPAN2PCAP_EXE names
// another (the Windows build), run through WPAN2PCAP_LAUNCHER if set (wine).
inline std::vector<std::string> converter_command(const std::string& built)
{
    const char* exe = std::getenv("WPAN2PCAP_EXE");
    if (exe == nullptr || *exe == '\0')
        return project_program(built);
    std::vector<std::string> command;
    if (const char* launcher = std::getenv("WPAN2PCAP_LAUNCHER"); launcher != nullptr && *launcher != '\0')
        command.emplace_back(launcher);
    command.emplace_back(exe);
    return command;
}

inline bool testing_windows_build()
{
    const char* exe = std::getenv("WPAN2PCAP_EXE");
    return exe != nullptr && std::string(exe).ends_with(".exe");
}

// The other end of a Windows named pipe, or a console to press Ctrl-C on,
// under Wine: tests/windows/pipe_peer.cpp. Its pipes exist once it has said
// so; what it prints at its end is kept in `report`.
struct pipe_peer {
    running_process process;
    std::shared_ptr<std::string> report = std::make_shared<std::string>();
};

inline std::vector<std::string> pipe_peer_command(const std::vector<std::string>& arguments)
{
    const char* peer = std::getenv("WPAN2PCAP_PIPE_PEER");
    std::vector<std::string> command = {"wine", peer != nullptr ? peer : "pipe_peer.exe"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

inline pipe_peer start_pipe_peer(const std::vector<std::string>& arguments, const std::filesystem::path& dir)
{
    pipe_peer peer{start_process(pipe_peer_command(arguments), dir / "peer.out", console_mode::pipe)};
    read_until(peer.process.console_pipe, *peer.report, [](const std::string& got) { return got.find("ready") != std::string::npos; },
               std::chrono::seconds(30));
    return peer;
}

// Waits for the peer in the scenario's feeder thread.
inline std::jthread awaited(pipe_peer peer, const std::filesystem::path& dir)
{
    return std::jthread([peer = std::move(peer), dir]() mutable {
        *peer.report += finish_process(peer.process, dir / "peer.out", std::chrono::seconds(60)).output;
    });
}

} // namespace wpan2pcap::test
