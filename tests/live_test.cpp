// Runs the built converter live, as people watch a capture: records arrive
// through a named pipe while an analyser reads the output through another,
// and runs are interrupted part-way. Every packet must reach the reader as
// soon as its record is traced, and an interrupted run must leave a whole
// capture of exactly the records traced, then end by the signal.

#include "run_process.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// How long anything may take before the test calls it lost, even in a
// sanitizer build on a busy machine.
constexpr auto patience = 10s;

// A scratch folder and a converter that must not outlive the test, however
// it ends.
struct live_fixture {
    fs::path dir;
    running_process converter;
    fs::path mounted; // a file system the test mounted, unmounted at the end

    explicit live_fixture(const std::string& name)
        : dir(fs::temp_directory_path() / ("wpan2pcap-live-" + std::to_string(getpid()) + "-" + name))
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    ~live_fixture()
    {
        if (converter.pid > 0) {
            kill(converter.pid, SIGKILL);
            finish_process(converter, dir / "trace");
        }
        if (!mounted.empty())
            run_process({"umount", mounted.string()}, dir / "umount");
        fs::remove_all(dir);
    }

    void start(const fs::path& in, const fs::path& out, console_mode console, bool sigint_ignored = false)
    {
        std::vector<std::string> command = converter_command(WPAN2PCAP_BUILT_EXE);
        command.insert(command.end(), {in.string(), out.string()});
        if (sigint_ignored) // as `trap '' INT` in a script: exec keeps an ignored signal ignored
            command.insert(command.begin(), {"sh", "-c", "trap '' INT; exec \"$0\" \"$@\""});
        converter = start_process(command, dir / "trace", console, sigint_ignored ? std::vector{SIGALRM} : std::vector<int>{});
    }
};

// The writing end of a named pipe, once the converter has opened the other.
int open_writer(const fs::path& pipe)
{
    const auto deadline = steady::now() + patience;
    for (;;) {
        const int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        if (errno != ENXIO || steady::now() > deadline)
            return -1;
        std::this_thread::sleep_for(1ms);
    }
}

// What a file holds once it holds at least `size` bytes, or when patience runs out.
std::string read_file_once(const fs::path& path, std::size_t size)
{
    const auto deadline = steady::now() + patience;
    std::string data = read_file(path);
    while (data.size() < size && steady::now() < deadline) {
        std::this_thread::sleep_for(200us);
        data = read_file(path);
    }
    return data;
}

// Whether the process is blocked in a write to `fd`, as the kernel tells.
bool blocked_writing(pid_t pid, int fd)
{
    std::istringstream call(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string first_argument;
    call >> number >> first_argument;
    return number == SYS_write && first_argument == "0x" + std::to_string(fd);
}

// Where a live run's trace goes: both must show each block before the next
// record exists, as `less` on a pipe and `tail -f` on a file would.
class live_run : public ::testing::TestWithParam<console_mode> {};

TEST_P(live_run, each_block_and_packet_arrive_before_the_next_record_is_fed)
{
    const bool console_pipe = GetParam() == console_mode::pipe;
    live_fixture live(console_pipe ? "pipes-console-pipe" : "pipes-console-file");
    const fs::path in = live.dir / "in.fifo", out = live.dir / "out.fifo";
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    // Open before the converter does, as an analyser waiting on the pipe would.
    const int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    live.start(in, out, GetParam());
    const int writer = open_writer(in);
    ASSERT_GE(writer, 0) << "the converter never opened its input";

    constexpr std::uint32_t count = 120;
    std::vector<double> latency_us;
    std::string trace;
    for (std::uint32_t n = 1; n <= count; ++n) {
        const std::string expected = (n == 1 ? global_header : "") + good_packet(n);
        const std::string expected_trace = paths(in, out) + records(1, n, good_block);
        const auto fed = steady::now();
        ASSERT_TRUE(write_all(writer, good_record(n)));
        std::string packet;
        read_until(reader, packet, [&](const std::string& got) { return got.size() >= expected.size(); });
        latency_us.push_back(std::chrono::duration<double, std::micro>(steady::now() - fed).count());
        ASSERT_EQ(visible(packet), visible(expected)) << "packet " << n << " before record " << n + 1 << " was fed";
        if (console_pipe)
            read_until(live.converter.console_pipe, trace, [&](const std::string& got) { return got.size() >= expected_trace.size(); });
        else
            trace = read_file_once(live.dir / "trace", expected_trace.size());
        ASSERT_TRUE(trace == expected_trace) << "block " << n << " before record " << n + 1 << " was fed: "
                                             << visible(trace.substr(trace.size() < 300 ? 0 : trace.size() - 300));
    }
    close(writer);
    std::string rest;
    read_until(reader, rest, [](const std::string&) { return false; });
    close(reader);
    EXPECT_EQ(visible(rest), "");

    const process_result result = finish_process(live.converter, live.dir / "trace", patience);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE((console_pipe ? trace + result.output : result.output) == paths(in, out) + records(1, count, good_block));

    std::sort(latency_us.begin(), latency_us.end());
    std::cout << "record fed to packet read, " << count << " records: median " << latency_us[count / 2]
              << " us, worst " << latency_us.back() << " us\n";
}

INSTANTIATE_TEST_SUITE_P(consoles, live_run, ::testing::Values(console_mode::pipe, console_mode::file),
                         [](const auto& row) { return row.param == console_mode::pipe ? "console_pipe" : "console_file"; });

// Nobody is left to convert for once the analyser reading the output has
// gone: the converter ends by itself at once, with the message, though its
// live input stays open and silent.
TEST(live_output, reader_gone_ends_the_run_while_the_input_is_silent)
{
    live_fixture live("reader-gone");
    const fs::path in = live.dir / "in.fifo", out = live.dir / "out.fifo";
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    live.start(in, out, console_mode::file);
    const int writer = open_writer(in);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(write_all(writer, good_record(1)));
    std::string first;
    read_until(reader, first, [](const std::string& got) { return got.size() >= pcap_of(1).size(); });
    ASSERT_EQ(visible(first), visible(pcap_of(1)));

    const auto left = steady::now();
    close(reader);
    const process_result result = finish_process(live.converter, live.dir / "trace", patience);
    const auto ended_ms = std::chrono::duration<double, std::milli>(steady::now() - left).count();
    close(writer);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(visible(result.output), visible(paths(in, out) + good_block(1) + "Unable to write output file."));
    EXPECT_LT(ended_ms, time_bound_ms(1000.0));
    std::cout << "ended " << ended_ms << " ms after the output's reader left\n";
}

enum class stalled { nothing, output_reader, console_reader };

struct interruption {
    const char* name;
    int signal;
    // Live: this many records fed through a named pipe that then stays
    // silent. Otherwise a regular file of `file_records` records.
    std::uint32_t live_records;
    std::uint32_t file_records;
    console_mode console = console_mode::pipe;
    // A reader that opened its end and then takes nothing more: the output
    // is then a named pipe.
    stalled stall = stalled::nothing;
    bool output_on_a_full_disk = false;
    // Records fed through a named pipe for as long as the run lasts, so the
    // signal always comes part-way.
    bool endless_input = false;
    // Started as scripts start background jobs: SIGINT ignored, and the
    // timer's SIGALRM blocked, as some parents leave it. A SIGINT then changes
    // nothing. (SIGINT itself is not blocked: a blocked signal never arrives,
    // so the row could not tell an ignored SIGINT from a handled one.)
    bool sigint_ignored = false;
};

void PrintTo(const interruption& c, std::ostream* os) { *os << c.name; }

class interrupted_run : public ::testing::TestWithParam<interruption> {};

TEST_P(interrupted_run, leaves_a_whole_capture_and_ends_by_the_signal)
{
    const interruption& c = GetParam();
    if (c.stall == stalled::console_reader && emulated())
        GTEST_SKIP() << "the kernel shows the emulator's own calls, not the converter's: its wait on the console cannot be seen";
    live_fixture live(c.name);
    const bool from_pipe = c.file_records == 0 && !c.endless_input;
    fs::path in = live.dir / "in", out = live.dir / "out.pcap";
    if (c.output_on_a_full_disk) {
        // 64 KiB take some thousands of the packets fed.
        fs::create_directory(live.dir / "small");
        const process_result mounted =
            run_process({"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", (live.dir / "small").string()}, live.dir / "mount");
        if (mounted.status != 0) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
                FAIL() << "CI must be able to mount a small tmpfs";
            GTEST_SKIP() << "mounting a small tmpfs needs root";
        }
        live.mounted = live.dir / "small";
        out = live.dir / "small" / "out.pcap";
    }
    if (from_pipe || c.endless_input)
        ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    else
        write_file(in, records(1, c.file_records, good_record));
    int stalled_reader = -1;
    if (c.stall == stalled::output_reader) {
        out = live.dir / "out.fifo";
        ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
        stalled_reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // A console pipe read here keeps the converter from running far ahead of
    // the test, so a large file is surely interrupted part-way.
    live.start(in, out, c.console, c.sigint_ignored);
    int writer = -1;
    std::jthread feeder;
    if (from_pipe && c.live_records > 0) {
        writer = open_writer(in);
        ASSERT_GE(writer, 0);
        // More than a pipe holds may be fed: the trace is read meanwhile.
        feeder = std::jthread([writer, count = c.live_records] { write_all(writer, records(1, count, good_record)); });
    }
    if (c.endless_input) {
        signal(SIGPIPE, SIG_IGN); // the feeder learns of the converter's end from EPIPE
        writer = open_writer(in);
        ASSERT_GE(writer, 0);
        feeder = std::jthread([writer](std::stop_token stop) {
            for (std::uint32_t first = 1; !stop.stop_requested(); first += 1000)
                if (!write_all(writer, records(first, first + 999, good_record)))
                    return;
        });
    }
    std::string trace;
    const int console = live.converter.console_pipe;
    const std::string live_prefix = paths(in, out) + records(1, c.live_records, good_block);
    if (c.console == console_mode::file) {
        // Past the first flushes of the trace, which come within the first records.
        std::error_code ignored;
        const auto deadline = steady::now() + patience;
        while (fs::file_size(live.dir / "trace", ignored) < 64 * 1024 && steady::now() < deadline)
            std::this_thread::sleep_for(50us);
    } else if (c.stall == stalled::console_reader) {
        read_until(console, trace, [](const std::string& got) { return got.size() >= 1000; });
        // Until the pipe is full and the converter waits on it.
        const auto deadline = steady::now() + patience;
        while (!blocked_writing(live.converter.pid, 1) && steady::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(blocked_writing(live.converter.pid, 1)) << "the converter never waited on its console";
    } else if (c.stall == stalled::output_reader) {
        // Read the trace until, once records have begun, 100 ms pass without
        // any: the converter then waits on the output.
        read_until(console, trace, [](const std::string& got) { return blocks_in(got) >= 1; });
        const auto quiet = std::chrono::milliseconds(static_cast<long>(time_bound_ms(100.0)));
        for (std::size_t before = 0; before != trace.size();) {
            before = trace.size();
            read_until(console, trace, [](const std::string&) { return false; }, quiet);
        }
    } else {
        read_until(console, trace, [&](const std::string& got) {
            return from_pipe ? got.size() >= live_prefix.size() : blocks_in(got) >= 1000;
        });
    }

    if (feeder.joinable() && !c.endless_input)
        feeder.join();
    if (c.sigint_ignored) {
        // Left ignored, SIGINT does nothing: the converter is still there.
        ASSERT_EQ(kill(live.converter.pid, SIGINT), 0);
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(waitpid(live.converter.pid, nullptr, WNOHANG), 0) << "SIGINT ended a converter that had it ignored";
    }
    const auto sent = steady::now();
    ASSERT_EQ(kill(live.converter.pid, c.signal), 0);
    // A stalled console reader takes nothing more until the converter has ended.
    if (c.stall == stalled::console_reader)
        live.converter.console_pipe = -1;
    else if (console != -1)
        read_until(console, trace, [](const std::string&) { return false; });
    const process_result result = finish_process(live.converter, live.dir / "trace", patience);
    if (feeder.joinable()) {
        feeder.request_stop();
        feeder.join();
    }
    if (c.stall == stalled::console_reader) {
        trace += read_all(console);
        close(console);
    }
    const auto stop_ms = std::chrono::duration<double, std::milli>(steady::now() - sent).count();
    if (writer != -1)
        close(writer);
    trace += result.output;
    const std::string written = c.stall == stalled::output_reader ? read_all(stalled_reader) : read_file(out);
    if (stalled_reader != -1)
        close(stalled_reader);

    EXPECT_EQ(result.signal, c.signal);
    const std::uint32_t traced = from_pipe ? c.live_records : static_cast<std::uint32_t>(blocks_in(trace));
    const std::optional<std::uint32_t> packets = whole_packets(written);
    if (c.stall == stalled::nothing) {
        // The output holds exactly the records traced, and nothing is lost.
        const std::string message = c.output_on_a_full_disk ? "Unable to write output file." : "";
        EXPECT_TRUE(trace == paths(in, out) + records(1, traced, good_block) + message) << visible(trace.substr(0, 400));
        if (traced == 0) {
            EXPECT_FALSE(fs::exists(out));
        } else if (c.output_on_a_full_disk) {
            EXPECT_TRUE(packets && *packets > 1000 && *packets < traced) << written.size() << " bytes";
        } else {
            EXPECT_EQ(written.size(), pcap_of(traced).size());
            EXPECT_TRUE(packets == traced) << traced << " records traced";
        }
    } else if (c.stall == stalled::output_reader) {
        // Its reader gets whole packets only, of records traced.
        EXPECT_TRUE(packets && *packets > 0 && *packets <= traced) << written.size() << " bytes, " << traced << " traced";
    } else {
        // The output is flushed; only trace bytes the stalled reader never took are lost.
        EXPECT_TRUE(packets && *packets >= traced) << written.size() << " bytes, " << traced << " traced";
    }
    if (from_pipe || c.stall != stalled::nothing) { // waiting for input, or on a stalled reader
        EXPECT_LT(stop_ms, time_bound_ms(c.stall == stalled::nothing ? 100.0 : 1000.0));
    } else if (!c.endless_input) {
        EXPECT_LT(traced, c.file_records) << "the run ended before the signal";
    }
    std::cout << c.name << ": " << traced << " records traced, " << (packets ? *packets : 0) << " whole packets written, ended "
              << stop_ms << " ms after the signal\n";
}

INSTANTIATE_TEST_SUITE_P(
    signals, interrupted_run,
    ::testing::Values(interruption{"sigint_while_waiting_for_live_input", SIGINT, 5, 0},
                      interruption{"sighup_while_waiting_for_live_input", SIGHUP, 1, 0},
                      interruption{"sigint_before_the_input_pipe_has_a_writer", SIGINT, 0, 0},
                      interruption{"sigterm_part_way_through_a_large_file", SIGTERM, 0, 20'000},
                      interruption{"sigint_part_way_through_a_large_file", SIGINT, 0, 20'000},
                      interruption{"sigterm_part_way_through_an_endless_input_console_on_a_file", SIGTERM, 0, 0,
                                   console_mode::file, stalled::nothing, false, true},
                      interruption{"sigterm_with_the_output_reader_stalled", SIGTERM, 0, 20'000, console_mode::pipe,
                                   stalled::output_reader},
                      interruption{"sigterm_with_the_console_reader_stalled", SIGTERM, 0, 20'000, console_mode::pipe,
                                   stalled::console_reader},
                      interruption{"sigint_after_the_output_disk_filled_live", SIGINT, 5000, 0, console_mode::pipe,
                                   stalled::nothing, true},
                      interruption{"sigterm_with_the_output_reader_stalled_and_sigint_ignored", SIGTERM, 0, 20'000,
                                   console_mode::pipe, stalled::output_reader, false, false, true}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace wpan2pcap::test
