#pragma once

// Wireshark's control pipes, from the program's side: one it reads
// (Wireshark says it is ready, and what its controls are set to), one it
// writes (control packets: the byte 'T', a 3-byte big-endian length of what
// follows, the control's number, the command, the payload).

#include "extcap/extcap_request.hpp"
#include "system/system_files.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wpan2pcap {

// Why a control path given on the command line is not taken: only the
// named pipes Wireshark makes are, never a user's file, nor a file of the
// capture itself.
enum class control_path_problem { none, not_a_pipe, same_as_source, same_as_output, same_as_each_other };

struct control_path_check {
    control_path_problem problem = control_path_problem::none; // the first one found
    std::filesystem::path path;                                // the control path it was found in
    // The control paths that may be taken: a refused one is never opened.
    // The other still is, for Wireshark waits for it.
    std::optional<std::filesystem::path> from_wireshark, to_wireshark;
};

// Looks at the paths only: nothing is opened, nothing written.
control_path_check check_control_paths(const extcap_request& request);

// Both pipes are opened at once: on Linux, Wireshark's window opens its
// writing end of the pipe the program reads with a blocking open from its
// main thread, whenever it gets to it, and stays in that open until the
// program has the other end open; on Windows, Wireshark waits until the
// program has connected to every pipe. Neither pipe ever makes the capture
// wait: what Wireshark does not take at once is kept (up to a limit) and
// sent later; a pipe that cannot be opened, or whose reader has gone, is
// done without; what Wireshark sends is read a bounded amount at a time and
// only the commands that matter are kept. A packet's header and its payload
// are written apart: Wireshark reads the header first.
class control_pipes {
public:
    enum command : std::uint8_t { initialized = 0, set = 1, add = 2, status_bar = 6, information = 7, warning = 8, error = 9 };
    // How often a pipe not yet open is looked for, and Wireshark waited on.
    static constexpr std::chrono::milliseconds look_interval{10};

    control_pipes(const std::optional<std::filesystem::path>& from_wireshark, const std::optional<std::filesystem::path>& to_wireshark);

    bool given() const { return to_wireshark_path_.has_value(); }
    void send(std::uint8_t control, command what, std::string_view payload);
    // Reads what Wireshark sent, opens the pipe to it once it reads, and
    // sends what is waiting; never waits.
    void tend();
    bool has_pending() const { return !pending_.empty() && !gone_; }
    // True once Wireshark said it is ready (or never can: no pipe from it).
    bool wireshark_ready() const { return initialized_ || !from_wireshark_.valid(); }
    // True while the pipe from Wireshark is open: its word that it is ready,
    // and after it its leaving, are looked for (a busy Wireshark may say it
    // only once the capture has gone quiet).
    bool wireshark_listened_to() const { return from_wireshark_.valid(); }
    // True once Wireshark closed that pipe after it was ready: it has gone.
    bool wireshark_gone() const { return wireshark_gone_; }
    // Before the program ends: waits until Wireshark is ready, for at most
    // `ready_patience`, then for what is waiting to go, for at most
    // `drain_patience`; a stop ends the wait at once.
    void wait_for_wireshark(std::chrono::milliseconds ready_patience, std::chrono::milliseconds drain_patience);

private:
    void open_to_wireshark();
    void heard(std::span<const char> bytes);

    static constexpr std::size_t header_size = 6;

    file_descriptor from_wireshark_;
    // What Wireshark sends is taken apart as it comes: a packet's header,
    // then its payload, which is skipped.
    std::array<char, header_size> header_{};
    std::size_t header_got_ = 0;
    std::size_t payload_left_ = 0;
    bool initialized_ = false;
    bool wireshark_gone_ = false;
    std::optional<std::filesystem::path> to_wireshark_path_;
    file_descriptor to_wireshark_;
    std::deque<std::string> pending_; // whole writes, the first perhaps begun
    std::size_t pending_size_ = 0;
    std::chrono::steady_clock::time_point opened_at_{}; // the last look for Wireshark's reader
    bool gone_ = false; // Wireshark's reader has gone: nothing more is sent
};

} // namespace wpan2pcap
