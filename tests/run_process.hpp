#pragma once

// Runs a program the way a user's shell would, with its standard output
// captured in a file (or sent where a row asks), and reports what it printed
// and how it ended.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wpan2pcap::test {

struct process_result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    int signal = 0;  // the signal that ended it, if one did
    std::string output;
};

// Where the program's standard output goes. `file` and `pipe` keep all it
// printed (a test may read the pipe as it goes, from `console_pipe`);
// `reader_closes_after_three_lines` keeps those lines, as `| head -3` would.
enum class console_mode { file, file_and_errors, pipe, closed, null_device, full_device, reader_closes_after_three_lines };

struct running_process {
    pid_t pid = -1;
    console_mode console = console_mode::file;
    int console_pipe = -1; // the read end, when standard output is a pipe
};

inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Starts the program with standard input empty and standard output sent to
// `stdout_path` or as `console` says. The signals a converter handles start
// at their defaults whatever this test process does with them, so a test
// cannot pass on a disposition it inherited.
inline running_process start_process(const std::vector<std::string>& command, const std::filesystem::path& stdout_path,
                                     console_mode console = console_mode::file)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    running_process process{.console = console};
    int console_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    switch (console) {
    case console_mode::file:
    case console_mode::file_and_errors:
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (console == console_mode::file_and_errors)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        break;
    case console_mode::closed: // both, so that files opened later could take their numbers
        posix_spawn_file_actions_addclose(&actions, 0);
        posix_spawn_file_actions_addclose(&actions, 1);
        break;
    case console_mode::null_device:
    case console_mode::full_device:
        posix_spawn_file_actions_addopen(&actions, 1, console == console_mode::full_device ? "/dev/full" : "/dev/null",
                                         O_WRONLY, 0);
        break;
    case console_mode::pipe:
    case console_mode::reader_closes_after_three_lines:
        if (pipe2(console_pipe, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&actions, console_pipe[1], 1);
        break;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (const int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&defaults, number);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (posix_spawnp(&process.pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        process.pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (console_pipe[1] != -1)
        close(console_pipe[1]);
    process.console_pipe = console_pipe[0];
    return process;
}

// Waits for the program to end and collects what it printed (from a pipe,
// what the test has not read itself). A program still running after
// `patience` (when given) is killed, and shows as ended by SIGKILL.
inline process_result finish_process(running_process& process, const std::filesystem::path& stdout_path,
                                     std::chrono::milliseconds patience = std::chrono::milliseconds::zero())
{
    if (patience > std::chrono::milliseconds::zero() && process.pid > 0) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        const auto still_running = [&process] { // looks without reaping it
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == 0;
        };
        while (still_running() && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
        if (still_running())
            kill(process.pid, SIGKILL);
    }
    process_result result;
    if (process.console_pipe != -1) {
        const int lines_wanted = process.console == console_mode::pipe ? -1 : 3;
        char byte = 0;
        for (int lines = 0; lines != lines_wanted && read(process.console_pipe, &byte, 1) == 1;) {
            result.output.push_back(byte);
            lines += byte == '\n' ? 1 : 0;
        }
        close(process.console_pipe);
        process.console_pipe = -1;
    }
    int wait_status = 0;
    if (process.pid > 0 && waitpid(process.pid, &wait_status, 0) == process.pid) {
        if (WIFEXITED(wait_status))
            result.status = WEXITSTATUS(wait_status);
        if (WIFSIGNALED(wait_status))
            result.signal = WTERMSIG(wait_status);
        process.pid = -1;
    }
    if (process.console == console_mode::file || process.console == console_mode::file_and_errors)
        result.output = read_file(stdout_path);
    return result;
}

// `stdout_path` receives the program's standard output; standard input is empty.
inline process_result run_process(const std::vector<std::string>& command, const std::filesystem::path& stdout_path,
                                  console_mode console = console_mode::file)
{
    running_process process = start_process(command, stdout_path, console);
    return finish_process(process, stdout_path);
}

// The converter under test: the one this build made, unless WPAN2PCAP_EXE names
// another (the Windows build), run through WPAN2PCAP_LAUNCHER if set (wine).
inline std::vector<std::string> converter_command(const std::string& built)
{
    std::vector<std::string> command;
    if (const char* launcher = std::getenv("WPAN2PCAP_LAUNCHER"); launcher != nullptr && *launcher != '\0')
        command.emplace_back(launcher);
    const char* exe = std::getenv("WPAN2PCAP_EXE");
    command.emplace_back(exe != nullptr && *exe != '\0' ? exe : built);
    return command;
}

inline bool testing_windows_build()
{
    const char* exe = std::getenv("WPAN2PCAP_EXE");
    return exe != nullptr && std::string(exe).ends_with(".exe");
}

} // namespace wpan2pcap::test
