// Feeds arbitrary bytes as a whole input capture through the in-memory record
// loop, with the console taking raw bytes and as a terminal does, and checks
// that every whole record is accounted for: traced and converted, or skipped
// with its message; that the output holds exactly the converted frames; and
// that a terminal gets only printable text, each block whole in one flush.

#include "fuzz/fuzz_conversion.hpp"

#include "converter/conversion_run.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// Keeps what each flush sent on.
class flush_recorder : public std::stringbuf {
public:
    std::size_t flushes_with_text = 0;
    bool every_flush_ends_a_line = true;

protected:
    int sync() override
    {
        const std::string all = str();
        if (all.size() > flushed_) {
            ++flushes_with_text;
            every_flush_ends_a_line = every_flush_ends_a_line && all.back() == '\n';
            flushed_ = all.size();
        }
        return 0;
    }

private:
    std::size_t flushed_ = 0;
};

class memory_output final : public wpan2pcap::output_target {
public:
    std::ostream* open() override
    {
        ++opens;
        return &stream;
    }
    bool close() override { return true; }

    int opens = 0;
    std::ostringstream stream;
};

int convert(const std::uint8_t* data, std::size_t size, const wpan2pcap::console_style& style, flush_recorder& console_buffer,
            memory_output& output)
{
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    std::ostream console(&console_buffer);
    return wpan2pcap::convert_capture(input, output, console, style);
}

} // namespace

// The first check that converting `data` fails, named, or nullptr when all
// hold. The replay test reports the name; the fuzzer aborts with it.
const char* failed_fuzz_check(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t record = 151;
    constexpr std::string_view skip_line = "Skipping record with invalid length.\n";
    std::size_t converted = 0;
    std::size_t skipped = 0;
    std::size_t expected_output = 24;
    std::size_t expected_trace = 0;
    for (std::size_t at = 0; at + record <= size; at += record) {
        const std::uint8_t* r = data + at;
        const int payload = r[13] - ((r[0] & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135) {
            ++skipped;
            expected_trace += skip_line.size();
            continue;
        }
        ++converted;
        expected_output += 18 + static_cast<std::size_t>(payload);
        std::uint64_t number = 0, timestamp = 0;
        for (int i = 3; i >= 0; --i)
            number = number << 8 | r[1 + i];
        for (int i = 7; i >= 0; --i)
            timestamp = timestamp << 8 | r[5 + i];
        const std::size_t remain = static_cast<std::size_t>(std::find(r + 14, r + record, 0) - (r + 14));
        // Fixed text, line ends, the flags and length bytes, two FCS bytes
        // and the first payload byte, if any.
        expected_trace += std::string_view("Packet<STARTREMAIN><ENDREMAIN><STARTDATA><ENDDATA><STARTFCS><ENDFCS>").size() +
                          8 + 2 + 2 + (payload > 0 ? 1 : 0) + std::to_string(number).size() +
                          std::to_string(timestamp).size() + remain;
    }

    flush_recorder raw_console;
    memory_output output;
    if (convert(data, size, {}, raw_console, output) != 0)
        return "exit status 0";
    if (raw_console.str().size() != expected_trace)
        return "raw trace: one block of the record's bytes per converted record, one line per skipped one";
    if (output.opens != (converted > 0 ? 1 : 0))
        return "output opened once, and only when a record was converted";
    if (output.stream.str().size() != (converted > 0 ? expected_output : 0))
        return "output holds 24 bytes plus 18 plus the payload per converted record";

    flush_recorder terminal;
    memory_output terminal_output;
    convert(data, size, {.bytes = wpan2pcap::trace_style::visible, .flush_each_block = true}, terminal, terminal_output);
    const std::string shown = terminal.str();
    if (!std::all_of(shown.begin(), shown.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }))
        return "terminal: printable bytes and line ends only";
    if (static_cast<std::size_t>(std::count(shown.begin(), shown.end(), '\n')) != 8 * converted + skipped)
        return "terminal: eight lines per converted record, one per skipped one";
    if (terminal.flushes_with_text != converted + skipped || !terminal.every_flush_ends_a_line)
        return "terminal: every block and skip line whole in a flush of its own";
    if (terminal_output.stream.str() != output.stream.str())
        return "terminal or not, the same output";
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* failed = failed_fuzz_check(data, size)) {
        std::fprintf(stderr, "fuzz check failed: %s\n", failed);
        std::abort();
    }
    return 0;
}
