#pragma once

// What the extcap program's tests share: the program under test, scratch
// folders, and Wireshark's two ends of the pipes it writes, played as
// Wireshark plays them: the capture's pipe, and the control pipes of its
// window. Each table or fixture of the tests is a file of its own beside
// this one.

#include "run_process.hpp"
#include "test_support.hpp"
#include "wireshark_release.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <chrono>
#include <csignal>
#include <iostream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The extcap program under test: this build's, or the one WPAN2PCAP_EXTCAP_EXE
// names (the Windows build), run through WPAN2PCAP_LAUNCHER if set (wine).
inline std::vector<std::string> extcap_command(std::vector<std::string> arguments)
{
    std::vector<std::string> command;
    const char* exe = std::getenv("WPAN2PCAP_EXTCAP_EXE");
    if (exe == nullptr || *exe == '\0') {
        command = project_program(WPAN2PCAP_EXTCAP);
    } else {
        if (const char* launcher = std::getenv("WPAN2PCAP_LAUNCHER"); launcher != nullptr && *launcher != '\0')
            command.emplace_back(launcher);
        command.emplace_back(exe);
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

inline bool windows_build()
{
    const char* exe = std::getenv("WPAN2PCAP_EXTCAP_EXE");
    return exe != nullptr && std::string(exe).ends_with(".exe");
}

inline bool in_ci()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

struct scratch_dir {
    fs::path path;
    explicit scratch_dir(const std::string& name)
        : path(fs::temp_directory_path() / ("wpan2pcap-extcap-" + std::to_string(getpid()) + "-" + name))
    {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~scratch_dir() { fs::remove_all(path); }
};

// A capture with everything the converter must get right: good records,
// records whose length has no sound reading, and a trailing partial record.
inline std::string mixed_capture() { return records(1, 3, good_record) + invalid_record() + records(4, 5, good_record) + "partial"; }
inline std::string mixed_capture_pcap() { return global_header + records(1, 5, good_packet); }

// The file a file URL names, its escapes decoded; under Wine, the Linux
// path of a drive Z: path.
inline fs::path path_of_file_url(const std::string& url)
{
    std::string path;
    for (std::size_t i = std::string_view("file://").size(); i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            path.push_back(static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(url[i]);
        }
    }
    if (path.starts_with("/Z:/") || path.starts_with("/z:/"))
        path.erase(0, 3);
    return path;
}

// Wireshark's end of the extcap's pipe: a named pipe read here, or on
// Windows the pipe peer serving one as Wireshark makes it, whose copy of what
// came through is read here.
class wireshark_pipe {
public:
    // A reader that `leaves_after` that many bytes (0: never) closes its end,
    // as Wireshark does when it stops or dies.
    explicit wireshark_pipe(const fs::path& dir, std::size_t leaves_after = 0) : copy_(dir / "received"), leaves_after_(leaves_after)
    {
        if (windows_build()) {
            const std::string name = "wpan2pcap-" + dir.filename().string();
            fifo_ = "\\\\.\\pipe\\" + name;
            std::vector<std::string> arguments = {"read", name, copy_.string()};
            if (leaves_after > 0)
                arguments.push_back(std::to_string(leaves_after));
            peer_ = awaited(start_pipe_peer(arguments, dir), dir);
        } else {
            fifo_ = (dir / "fifo").string();
            if (mkfifo(fifo_.c_str(), 0600) == 0)
                reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~wireshark_pipe()
    {
        if (reader_ != -1)
            close(reader_);
    }

    // What --fifo names.
    const std::string& name() const { return fifo_; }

    // Reads onto `received` until it holds `size` bytes, or none come for `patience`.
    void read_until_size(std::string& received, std::size_t size, std::chrono::milliseconds patience = 10s)
    {
        if (reader_ != -1) {
            read_until(reader_, received, [size](const std::string& got) { return got.size() >= size; }, patience);
            return;
        }
        for (const auto deadline = steady::now() + patience; received.size() < size && steady::now() < deadline;) {
            std::this_thread::sleep_for(200us);
            const std::string copy = read_file(copy_);
            if (copy.size() > received.size())
                received = copy;
        }
    }

    // Reads onto `received` until the writer closes the pipe (on Windows,
    // until nothing comes for half a second).
    void read_to_its_end(std::string& received, std::chrono::milliseconds patience)
    {
        if (reader_ != -1)
            read_until(reader_, received, [](const std::string&) { return false; }, patience);
        else
            read_until_size(received, SIZE_MAX, 500ms);
    }

    // Reads until the reader leaves, and returns what it read once it has
    // left (the Windows peer leaves by itself).
    std::string read_then_leave()
    {
        std::string received;
        read_until_size(received, leaves_after_);
        if (reader_ != -1) {
            close(reader_);
            reader_ = -1;
        }
        return received;
    }

private:
    std::string fifo_;
    int reader_ = -1;
    fs::path copy_;
    std::size_t leaves_after_;
    std::jthread peer_;
};

// Wireshark's side of the program's control pipes, played as Wireshark 4.0
// plays it. On Linux a thread of its own opens the pipe from the program
// without waiting; then its window's main thread opens the pipe to the
// program with a blocking open, whenever it gets to it, and stays in that
// open until the program holds the other end: this side never gives that
// open up by itself (the test does, after its verdict). On Windows the pipe
// peer makes both pipes before the program starts and waits for the program
// to connect to each, as Wireshark does. Then it says it is ready
// ("initialized") and reads what comes; a stalled side reads nothing, a
// flooding one sends without end.
struct control_packet {
    int control;
    int command;
    std::string payload;
};

class wireshark_control_side {
public:
    // dies: reads until the file "wireshark-killed" appears in its folder,
    // then closes both its ends at once, as a killed Wireshark leaves them;
    // ready_late_then_dies: the same, saying it is ready only when the file
    // "wireshark-ready" appears (a busy Wireshark, after the capture began).
    enum class behaviour { reads, stalls, floods, dies, ready_late_then_dies };

    explicit wireshark_control_side(const fs::path& dir) : dir_(dir)
    {
        if (windows_build()) {
            const std::string name = "wpan2pcap-" + dir.filename().string();
            from_program_ = "\\\\.\\pipe\\wireshark_control_ext_to_ws_" + name;
            to_program_ = "\\\\.\\pipe\\wireshark_control_ws_to_ext_" + name;
        } else {
            from_program_ = (dir / "control-out").string();
            to_program_ = (dir / "control-in").string();
            mkfifo(from_program_.c_str(), 0600);
            mkfifo(to_program_.c_str(), 0600);
        }
    }
    ~wireshark_control_side()
    {
        if (!side_.joinable())
            return;
        side_.request_stop();
        // An open still waiting is let go of here, once the row has judged it.
        const int release = opened_ ? -1 : open(to_program_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        side_.join();
        if (release >= 0)
            close(release);
    }

    // What Wireshark passes: the pipe it writes is the program's control-in.
    std::vector<std::string> arguments() const { return {"--extcap-control-in", to_program_, "--extcap-control-out", from_program_}; }
    const std::string& to_program() const { return to_program_; }
    const std::string& from_program() const { return from_program_; }

    // `only_to_program`: the program was given something else for the pipe
    // to Wireshark, which Wireshark then does not wait for.
    void start(behaviour how = behaviour::reads, bool only_to_program = false)
    {
        started_ = steady::now();
        if (windows_build()) {
            std::vector<std::string> arguments = {"control", "wpan2pcap-" + dir_.filename().string(), received().string()};
            if (only_to_program)
                arguments.emplace_back("only-to-program");
            else if (how != behaviour::reads)
                arguments.emplace_back("stall");
            side_ = awaited(start_pipe_peer(arguments, dir_), dir_);
            return;
        }
        side_ = std::jthread([this, how](std::stop_token stop) {
            const int from = open(from_program_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            const int to = open(to_program_.c_str(), O_WRONLY | O_CLOEXEC); // the window waits here
            opened_ = true;
            const bool dies = how == behaviour::dies || how == behaviour::ready_late_then_dies;
            while (how == behaviour::ready_late_then_dies && !fs::exists(dir_ / "wireshark-ready") && !stop.stop_requested())
                std::this_thread::sleep_for(1ms);
            write_all(to, std::string("T\0\0\x02\0\0", 6)); // control 0, initialized
            std::string got;
            const fs::path killed = dir_ / "wireshark-killed";
            while ((how == behaviour::reads || dies) && !stop.stop_requested()) {
                if (dies && fs::exists(killed)) {
                    close(from);
                    close(to);
                    return;
                }
                pollfd ready{from, POLLIN, 0};
                if (poll(&ready, 1, 10) > 0) {
                    char buffer[4096];
                    const ssize_t n = read(from, buffer, sizeof buffer);
                    std::lock_guard lock(mutex_);
                    if (n > 0) {
                        got.append(buffer, static_cast<std::size_t>(n));
                        received_ = got;
                    } else {
                        writer_gone_ = true; // and everything it wrote was read
                        std::this_thread::sleep_for(1ms);
                    }
                }
            }
            if (how == behaviour::floods) {
                // Packets without end, as fast as the pipe takes them.
                std::string flood;
                for (int n = 0; n < 10'000; ++n)
                    flood += std::string("T\0\0\x02\0\x01", 6); // control 0, set
                signal(SIGPIPE, SIG_IGN); // the program's end shows as EPIPE
                while (!stop.stop_requested() && write_all(to, flood)) {
                }
            }
            while (!stop.stop_requested()) // stalled: takes nothing
                std::this_thread::sleep_for(1ms);
            close(from);
            close(to);
        });
    }

    // True when Wireshark's open of the pipe to the program (on Windows, its
    // wait for the program to connect) returned within `patience` of its start.
    bool opened_within(std::chrono::milliseconds patience)
    {
        const fs::path connected = received().string() + ".connected";
        while (!(windows_build() ? fs::exists(connected) : opened_.load()) && steady::now() < started_ + patience)
            std::this_thread::sleep_for(1ms);
        return windows_build() ? fs::exists(connected) : opened_.load();
    }

    // The packets received, in order, once the program has closed its end
    // (or a while has passed; or at once, when `now`).
    std::vector<control_packet> packets(bool now = false)
    {
        std::string bytes;
        for (const auto deadline = steady::now() + 5s;; std::this_thread::sleep_for(1ms)) {
            if (windows_build()) {
                const bool ended = fs::exists(received().string() + ".end");
                bytes = read_file(received());
                if (now || ended || steady::now() > deadline)
                    break;
                continue;
            }
            std::lock_guard lock(mutex_);
            bytes = received_;
            if (now || writer_gone_ || steady::now() > deadline)
                break;
        }
        std::vector<control_packet> out;
        for (std::size_t at = 0; at + 6 <= bytes.size();) {
            const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + i])); };
            const std::size_t length = byte(1) << 16 | byte(2) << 8 | byte(3);
            if (bytes[at] != 'T' || length < 2 || at + 4 + length > bytes.size())
                break;
            out.push_back({static_cast<int>(byte(4)), static_cast<int>(byte(5)), bytes.substr(at + 6, length - 2)});
            at += 4 + length;
        }
        return out;
    }

    // The payloads of `command` to control 0, joined (by "|" but for log lines).
    std::string said(int command, bool so_far = false)
    {
        std::string text;
        for (const control_packet& packet : packets(so_far))
            if (packet.control == 0 && packet.command == command)
                text += packet.payload + (command == 2 ? "" : "|");
        return text;
    }

private:
    fs::path received() const { return dir_ / "control-received"; }

    fs::path dir_;
    std::string from_program_, to_program_;
    std::jthread side_;
    std::atomic<bool> opened_{false};
    steady::time_point started_{};
    std::mutex mutex_;
    std::string received_;
    bool writer_gone_ = false;
};

constexpr int log_add = 2, status_bar = 6, information_message = 7, warning_message = 8;

// Where a row runs: both platforms, or POSIX only (its pipes, links and
// devices are POSIX's). Wireshark's pipe is a POSIX named pipe or, on
// Windows, the pipe peer serving one as Wireshark makes it.
enum class runs_on { both, posix };

// The rows of the platform under test: a row that cannot run on Windows is
// not listed there.
template <typename Row, std::size_t count>
std::vector<Row> platform_rows(const Row (&table)[count])
{
    std::vector<Row> rows;
    for (const Row& row : table)
        if (!windows_build() || row.where == runs_on::both)
            rows.push_back(row);
    return rows;
}

// Waits until `path` holds `size` bytes.
inline void wait_for_size(const fs::path& path, std::size_t size)
{
    std::error_code missing;
    for (const auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms))
        if (fs::file_size(path, missing) >= size && !missing)
            return;
}

// Waits until the process holds `path` open, as the kernel tells: a fixed
// sleep is too short for a program started under an emulator on a busy machine.
inline void wait_until_open(pid_t pid, const fs::path& path)
{
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms)) {
        std::error_code gone;
        for (fs::directory_iterator fd(fds, gone), end; !gone && fd != end; fd.increment(gone))
            if (fs::read_symlink(fd->path(), gone) == path)
                return;
    }
}

// Whether an extcap process still reads `source`.
inline bool extcap_reading(const fs::path& source, const fs::path& scratch)
{
    return run_process({"pgrep", "-f", "wpan2pcap-extcap.*" + source.string()}, scratch / "pgrep").status == 0;
}

} // namespace
} // namespace wpan2pcap::test
