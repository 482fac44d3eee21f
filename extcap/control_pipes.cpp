#include "extcap/control_pipes.hpp"

#include "system/stop_signals.hpp"

#include <algorithm>

namespace wpan2pcap {

namespace {

constexpr char control_sync = 'T';
// What Wireshark has not taken yet is kept up to this much; later messages
// are dropped whole.
constexpr std::size_t control_pending_limit = 256 * 1024;
// What is read from Wireshark at one look: a writer that never stops
// writing cannot hold the capture up, nor fill memory.
constexpr std::size_t control_read_budget = 64 * 1024;

// True when `path` names something that is there and is not a named pipe:
// a file of the user's, which is never written to. (A name that is not
// there is no harm: nothing is created, and the pipe is done without.)
bool names_something_else(const std::filesystem::path& path)
{
    return identity_of(path).has_value() && !names_a_pipe(path);
}

// The same file, or, where one is not there yet (the capture's output is
// made later), the same name.
bool same_place(const std::filesystem::path& a, const std::filesystem::path& b)
{
    const std::optional<file_identity> first = identity_of(a), second = identity_of(b);
    if (first && second)
        return same_file(first, second);
    std::error_code unknown;
    return std::filesystem::weakly_canonical(a, unknown) == std::filesystem::weakly_canonical(b, unknown) && !unknown;
}

} // namespace

control_path_check check_control_paths(const extcap_request& request)
{
    control_path_check check;
    const auto problem_of = [&request](const std::filesystem::path& path, const std::optional<std::filesystem::path>& other) {
        if (names_something_else(path))
            return control_path_problem::not_a_pipe;
        if (request.source && same_place(path, *request.source))
            return control_path_problem::same_as_source;
        if (request.fifo && same_place(path, *request.fifo))
            return control_path_problem::same_as_output;
        if (other && same_place(path, *other))
            return control_path_problem::same_as_each_other;
        return control_path_problem::none;
    };
    const auto take = [&](const std::optional<std::filesystem::path>& path, const std::optional<std::filesystem::path>& other,
                          std::optional<std::filesystem::path>& usable) {
        if (!path)
            return;
        const control_path_problem problem = problem_of(*path, other);
        if (problem == control_path_problem::none)
            usable = path;
        else if (check.problem == control_path_problem::none)
            check = {problem, *path, {}, {}};
    };
    std::optional<std::filesystem::path> from_wireshark, to_wireshark;
    take(request.control_in, request.control_out, from_wireshark);
    take(request.control_out, request.control_in, to_wireshark);
    check.from_wireshark = from_wireshark;
    check.to_wireshark = to_wireshark;
    return check;
}

control_pipes::control_pipes(const std::optional<std::filesystem::path>& from_wireshark,
                             const std::optional<std::filesystem::path>& to_wireshark)
    : to_wireshark_path_(to_wireshark)
{
    // Opened at once: Wireshark's own open of its writing end waits for it.
    // What was opened must be a pipe too, whatever the name came to mean.
    if (from_wireshark && names_a_pipe(*from_wireshark)) {
        from_wireshark_ = open_pipe_without_waiting(*from_wireshark, false);
        if (from_wireshark_.valid() && !is_pipe(from_wireshark_.get()))
            from_wireshark_.close();
    }
    if (to_wireshark_path_)
        open_to_wireshark();
}

void control_pipes::open_to_wireshark()
{
    if (names_a_pipe(*to_wireshark_path_)) {
        to_wireshark_ = open_pipe_without_waiting(*to_wireshark_path_, true);
        if (!to_wireshark_.valid() || is_pipe(to_wireshark_.get()))
            return; // open, or Wireshark reads it later
        to_wireshark_.close();
    }
    // Nothing that is not a pipe is ever written to.
    gone_ = true;
    pending_.clear();
}

void control_pipes::send(std::uint8_t control, command what, std::string_view payload)
{
    if (!given() || gone_ || pending_size_ + header_size + payload.size() > control_pending_limit)
        return;
    const std::size_t length = payload.size() + 2;
    std::string header(header_size, '\0');
    header[0] = control_sync;
    header[1] = static_cast<char>(length >> 16 & 0xFF);
    header[2] = static_cast<char>(length >> 8 & 0xFF);
    header[3] = static_cast<char>(length & 0xFF);
    header[4] = static_cast<char>(control);
    header[5] = static_cast<char>(what);
    pending_.push_back(std::move(header));
    if (!payload.empty())
        pending_.emplace_back(payload);
    pending_size_ += header_size + payload.size();
    tend();
}

void control_pipes::heard(std::span<const char> bytes)
{
    // Only whether Wireshark said it is ready matters here: payloads are
    // skipped as they come, and nothing is kept but a header in hand.
    while (!bytes.empty()) {
        if (payload_left_ > 0) {
            const std::size_t skipped = std::min(payload_left_, bytes.size());
            payload_left_ -= skipped;
            bytes = bytes.subspan(skipped);
            continue;
        }
        if (header_got_ == 0 && bytes.front() != control_sync) { // not a packet's start: looked past
            bytes = bytes.subspan(1);
            continue;
        }
        const std::size_t taken = std::min(header_size - header_got_, bytes.size());
        std::copy_n(bytes.begin(), taken, header_.begin() + static_cast<std::ptrdiff_t>(header_got_));
        header_got_ += taken;
        bytes = bytes.subspan(taken);
        if (header_got_ < header_size)
            return;
        header_got_ = 0;
        const auto byte = [this](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(header_[i])); };
        const std::size_t length = byte(1) << 16 | byte(2) << 8 | byte(3);
        if (header_[5] == static_cast<char>(initialized))
            initialized_ = true;
        payload_left_ = length > 2 ? length - 2 : 0;
    }
}

void control_pipes::tend()
{
    if (from_wireshark_.valid()) {
        char received[4096];
        for (std::size_t budget = control_read_budget; budget > 0;) {
            std::size_t got = 0;
            const io_result read = read_without_waiting(from_wireshark_.get(), received, got);
            // Once Wireshark said it is ready, the end of its pipe is
            // Wireshark gone (killed, or crashed): nobody is left to read
            // the capture. (Before, no writer yet reads as the end too.)
            if (read != io_result::done && initialized_) {
                wireshark_gone_ = true;
                from_wireshark_.close();
            }
            if (got == 0)
                break;
            heard({received, got});
            budget -= std::min(budget, got);
        }
    }
    if (pending_.empty() || gone_ || !to_wireshark_path_)
        return;
    if (!to_wireshark_.valid()) {
        // Looked for now and then, not at every message.
        const auto now = std::chrono::steady_clock::now();
        if (now - opened_at_ < look_interval)
            return;
        opened_at_ = now;
        open_to_wireshark();
        if (!to_wireshark_.valid())
            return;
    }
    while (!pending_.empty()) {
        std::size_t written = 0;
        if (write_without_waiting(to_wireshark_.get(), pending_.front(), written) != io_result::done) {
            gone_ = true;
            pending_.clear();
            to_wireshark_.close();
            return;
        }
        pending_size_ -= written;
        if (written < pending_.front().size()) { // the pipe is full: the rest later
            pending_.front().erase(0, written);
            return;
        }
        pending_.pop_front();
    }
}

void control_pipes::wait_for_wireshark(std::chrono::milliseconds ready_patience, std::chrono::milliseconds drain_patience)
{
    if (!given() && !from_wireshark_.valid())
        return;
    using clock = std::chrono::steady_clock;
    const clock::time_point started = clock::now();
    std::optional<clock::time_point> ready_at;
    for (tend();; tend()) {
        const clock::time_point now = clock::now();
        if (!wireshark_ready()) {
            if (now - started >= ready_patience)
                return;
        } else {
            if (!ready_at)
                ready_at = now;
            if (!has_pending() || now - *ready_at >= drain_patience)
                return;
        }
        if (!pause_unless_stopped(look_interval))
            return;
    }
}

} // namespace wpan2pcap
