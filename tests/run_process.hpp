#pragma once

// Runs a program the way a user's shell would, with its standard output
// captured in a file, and reports what it printed and its exit status.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wpan2pcap::test {

struct process_result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string output;
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

// `stdout_path` receives the program's standard output; standard input is empty.
inline process_result run_process(const std::vector<std::string>& command, const std::filesystem::path& stdout_path)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);

    process_result result;
    int wait_status = 0;
    if (spawned == 0 && waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status))
        result.status = WEXITSTATUS(wait_status);
    result.output = read_file(stdout_path);
    return result;
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
