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
#include <thread>

#include <poll.h>
#include <sys/stat.h>

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
        fs::remove_all(dir);
    }

    void start(const fs::path& in, const fs::path& out, console_mode console)
    {
        std::vector<std::string> command = converter_command(WPAN2PCAP_BUILT_EXE);
        command.insert(command.end(), {in.string(), out.string()});
        converter = start_process(command, dir / "trace", console);
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

bool write_all(int fd, const std::string& data)
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
// patience runs out.
template <typename Done>
void read_until(int fd, std::string& into, Done done)
{
    const auto deadline = steady::now() + patience;
    char buffer[4096];
    while (!done(into)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        into.append(buffer, static_cast<std::size_t>(got));
    }
}

std::size_t blocks_in(const std::string& trace)
{
    std::size_t count = 0;
    for (auto at = trace.find("\nPacket\n"); at != std::string::npos; at = trace.find("\nPacket\n", at + 1))
        ++count;
    return count;
}

TEST(live_run, each_packet_reaches_the_output_pipe_before_the_next_record_is_fed)
{
    live_fixture live("pipes");
    const fs::path in = live.dir / "in.fifo", out = live.dir / "out.fifo";
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    // Open before the converter does, as an analyser waiting on the pipe would.
    const int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    live.start(in, out, console_mode::file);
    const int writer = open_writer(in);
    ASSERT_GE(writer, 0) << "the converter never opened its input";

    constexpr std::uint32_t count = 120;
    std::vector<double> latency_us;
    for (std::uint32_t n = 1; n <= count; ++n) {
        const std::string expected = (n == 1 ? global_header : "") + good_packet(n);
        const auto fed = steady::now();
        ASSERT_TRUE(write_all(writer, good_record(n)));
        std::string packet;
        read_until(reader, packet, [&](const std::string& got) { return got.size() >= expected.size(); });
        latency_us.push_back(std::chrono::duration<double, std::micro>(steady::now() - fed).count());
        ASSERT_EQ(visible(packet), visible(expected)) << "packet " << n << " before record " << n + 1 << " was fed";
    }
    close(writer);
    std::string rest;
    read_until(reader, rest, [](const std::string&) { return false; });
    close(reader);
    EXPECT_EQ(visible(rest), "");

    const process_result result = finish_process(live.converter, live.dir / "trace", patience);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output == paths(in, out) + records(1, count, good_block)) << visible(result.output.substr(0, 400));

    std::sort(latency_us.begin(), latency_us.end());
    std::cout << "record fed to packet read, " << count << " records: median " << latency_us[count / 2]
              << " us, worst " << latency_us.back() << " us\n";
}

struct interruption {
    const char* name;
    int signal;
    // Live: this many records fed through a named pipe that then stays
    // silent. Otherwise a regular file of `file_records` records.
    std::uint32_t live_records;
    std::uint32_t file_records;
};

void PrintTo(const interruption& c, std::ostream* os) { *os << c.name; }

class interrupted_run : public ::testing::TestWithParam<interruption> {};

TEST_P(interrupted_run, leaves_a_whole_capture_of_the_records_traced_and_ends_by_the_signal)
{
    const interruption& c = GetParam();
    live_fixture live(c.name);
    const bool from_pipe = c.file_records == 0;
    const fs::path in = live.dir / "in", out = live.dir / "out.pcap";
    if (from_pipe)
        ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    else
        write_file(in, records(1, c.file_records, good_record));
    // The console is a pipe read here, so the converter cannot run far ahead
    // of the test and a large file is surely interrupted part-way.
    live.start(in, out, console_mode::pipe);
    int writer = -1;
    if (from_pipe && c.live_records > 0) {
        writer = open_writer(in);
        ASSERT_GE(writer, 0);
        ASSERT_TRUE(write_all(writer, records(1, c.live_records, good_record)));
    }
    std::string trace;
    const std::string live_prefix = paths(in, out) + records(1, c.live_records, good_block);
    read_until(live.converter.console_pipe, trace, [&](const std::string& got) {
        return from_pipe ? got.size() >= live_prefix.size() : blocks_in(got) >= 1000;
    });

    const auto sent = steady::now();
    ASSERT_EQ(kill(live.converter.pid, c.signal), 0);
    read_until(live.converter.console_pipe, trace, [](const std::string&) { return false; });
    const process_result result = finish_process(live.converter, live.dir / "trace", patience);
    const auto stop_ms = std::chrono::duration<double, std::milli>(steady::now() - sent).count();
    if (writer != -1)
        close(writer);
    trace += result.output;

    EXPECT_EQ(result.signal, c.signal);
    const std::uint32_t traced = from_pipe ? c.live_records : static_cast<std::uint32_t>(blocks_in(trace));
    EXPECT_TRUE(trace == paths(in, out) + records(1, traced, good_block)) << visible(trace.substr(0, 400));
    if (traced == 0) {
        EXPECT_FALSE(fs::exists(out));
    } else {
        const std::string written = read_file(out);
        EXPECT_EQ(written.size(), pcap_of(traced).size());
        EXPECT_TRUE(written == pcap_of(traced)) << traced << " records traced";
    }
    if (from_pipe) // waiting for input that never comes
        EXPECT_LT(stop_ms, 100.0);
    else
        EXPECT_LT(traced, c.file_records) << "the run ended before the signal";
    std::cout << c.name << ": " << traced << " records traced, ended " << stop_ms << " ms after the signal\n";
}

INSTANTIATE_TEST_SUITE_P(
    signals, interrupted_run,
    ::testing::Values(interruption{"sigint_while_waiting_for_live_input", SIGINT, 5, 0},
                      interruption{"sighup_while_waiting_for_live_input", SIGHUP, 1, 0},
                      interruption{"sigint_before_the_input_pipe_has_a_writer", SIGINT, 0, 0},
                      interruption{"sigterm_part_way_through_a_large_file", SIGTERM, 0, 20'000},
                      interruption{"sigint_part_way_through_a_large_file", SIGINT, 0, 20'000}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace wpan2pcap::test
