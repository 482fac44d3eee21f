// Runs the converter live, named pipes in and out and its console a pipe, and
// times each record from being written into the input to its trace block
// read from the console and its packet read from the output.
//   live_latency CONVERTER RECORDS

#include "tests/run_process.hpp"
#include "tests/test_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace wpan2pcap::test;
using steady = std::chrono::steady_clock;

double microseconds_since(steady::time_point start) { return std::chrono::duration<double, std::micro>(steady::now() - start).count(); }

void report(const char* what, std::vector<double> latency)
{
    std::sort(latency.begin(), latency.end());
    std::printf("%s: median %.1f us, worst %.1f us\n", what, latency[latency.size() / 2], latency.back());
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    const auto count = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("wpan2pcap-latency-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path in = dir / "in.fifo", out = dir / "out.fifo";
    mkfifo(in.c_str(), 0600);
    mkfifo(out.c_str(), 0600);
    const int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    running_process converter = start_process({argv[1], in.string(), out.string()}, dir / "trace", console_mode::pipe);
    const int writer = open(in.c_str(), O_WRONLY | O_CLOEXEC);

    std::vector<double> to_block, to_packet;
    std::string trace, packets;
    std::size_t trace_wanted = paths(in, out).size(), packets_wanted = global_header.size();
    for (std::uint32_t n = 1; n <= count; ++n) {
        trace_wanted += good_block(n).size();
        packets_wanted += good_packet(n).size();
        const auto fed = steady::now();
        write_all(writer, good_record(n));
        read_until(converter.console_pipe, trace, [&](const std::string& got) { return got.size() >= trace_wanted; });
        to_block.push_back(microseconds_since(fed));
        read_until(reader, packets, [&](const std::string& got) { return got.size() >= packets_wanted; });
        to_packet.push_back(microseconds_since(fed));
    }
    close(writer);
    finish_process(converter, dir / "trace");
    close(reader);
    std::filesystem::remove_all(dir);
    const bool whole = trace == paths(in, out) + records(1, count, good_block) && packets == pcap_of(count);
    std::printf("%u records live%s\n", count, whole ? "" : " (NOT ALL ARRIVED INTACT)");
    report("record written -> its block read from the console pipe", to_block);
    report("record written -> its packet read from the output pipe", to_packet);
    return whole ? 0 : 1;
}
