// In-memory costs of the converter's parts and of the whole record loop, with
// the console and the output discarded, so only the converter's own work is
// measured.

#include "converter/conversion_run.hpp"
#include "extcap/capture_writer.hpp"
#include "formats/capture_record.hpp"
#include "formats/pcap_writer.hpp"
#include "tests/discard_streams.hpp"
#include "trace/trace_record.hpp"

#include <benchmark/benchmark.h>

#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using namespace wpan2pcap;

using test::discard_buffer;
using test::discard_output;

// Records like a busy network's: FCS counted, payloads of 10 to 100 bytes,
// timestamps a few milliseconds apart.
std::string make_capture(std::size_t records)
{
    std::mt19937_64 random(802154);
    std::string capture(records * record_size, '\0');
    std::uint64_t timestamp = 1'765'000'000'000'000;
    for (std::size_t r = 0; r < records; ++r) {
        char* record = capture.data() + r * record_size;
        const std::size_t payload = 10 + random() % 91;
        timestamp += 500 + random() % 20'000;
        record[0] = 0x01;
        for (std::size_t i = 0; i < 4; ++i)
            record[1 + i] = static_cast<char>((r + 1) >> (8 * i));
        for (std::size_t i = 0; i < 8; ++i)
            record[5 + i] = static_cast<char>(timestamp >> (8 * i));
        record[13] = static_cast<char>(payload + 2);
        for (std::size_t i = 0; i < payload + 2; ++i)
            record[body_offset + i] = static_cast<char>(1 + random() % 255);
    }
    return capture;
}

record_buffer first_record()
{
    const std::string capture = make_capture(1);
    record_buffer buffer;
    std::copy(capture.begin(), capture.end(), reinterpret_cast<char*>(buffer.data()));
    return buffer;
}

void decode(benchmark::State& state)
{
    const record_buffer buffer = first_record();
    for (auto _ : state)
        benchmark::DoNotOptimize(decode_record(buffer));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(decode);

// One step of the loop applied to the same record again and again, writing
// into a discarding stream.
template <typename Step>
void per_record(benchmark::State& state, Step step)
{
    const record_buffer buffer = first_record();
    const capture_record record = *decode_record(buffer);
    discard_buffer sink;
    std::ostream out(&sink);
    for (auto _ : state)
        step(record, out);
    state.SetItemsProcessed(state.iterations());
}

void trace(benchmark::State& state)
{
    per_record(state, [](const capture_record& record, std::ostream& console) { trace_record(record, console); });
}
BENCHMARK(trace);

void write_packet(benchmark::State& state)
{
    per_record(state, [](const capture_record& record, std::ostream& output) { pcap_writer(output).write_packet(record); });
}
BENCHMARK(write_packet);

// The extcap program's packet, as the converter's PCAP and as pcapng with
// the record's number and flags, on each packet a note of a skipped record.
void extcap_packet(benchmark::State& state, bool record_numbers)
{
    const record_buffer buffer = first_record();
    const capture_record record = *decode_record(buffer);
    discard_buffer sink;
    std::ostream out(&sink);
    capture_writer writer(out, record_numbers);
    writer.write_header();
    for (auto _ : state) {
        writer.note_skipped(record.number - 1);
        writer.write_packet(record);
    }
    state.SetItemsProcessed(state.iterations());
}

void extcap_packet_pcap(benchmark::State& state) { extcap_packet(state, false); }
BENCHMARK(extcap_packet_pcap);

void extcap_packet_pcapng(benchmark::State& state) { extcap_packet(state, true); }
BENCHMARK(extcap_packet_pcapng);

void conversion_run(benchmark::State& state)
{
    const auto records = static_cast<std::size_t>(state.range(0));
    const std::string capture = make_capture(records);
    discard_buffer sink;
    std::ostream console(&sink);
    for (auto _ : state) {
        std::istringstream input(capture);
        discard_output output;
        benchmark::DoNotOptimize(convert_capture(input, output, console));
    }
    // Items are records: items_per_second is the records per second.
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(conversion_run)->Arg(4000);

} // namespace

BENCHMARK_MAIN();
