// Feeds arbitrary bytes as a whole input capture through the in-memory record
// loop and checks that every whole record is accounted for: traced and
// converted, or skipped with its message, and that the output holds exactly
// the converted frames.

#include "fuzz/fuzz_conversion.hpp"

#include "driver/conversion_run.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// Counts flushes: every trace line and every skip line ends with exactly one.
class flush_counter : public std::stringbuf {
public:
    std::size_t flushes = 0;

protected:
    int sync() override
    {
        ++flushes;
        return 0;
    }
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

} // namespace

// The first check that converting `data` fails, named, or nullptr when all
// hold. The replay test reports the name; the fuzzer aborts with it.
const char* failed_fuzz_check(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t record = 151;
    std::size_t converted = 0;
    std::size_t skipped = 0;
    std::size_t expected_output = 24;
    for (std::size_t at = 0; at + record <= size; at += record) {
        const int payload = data[at + 13] - ((data[at] & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135) {
            ++skipped;
        } else {
            ++converted;
            expected_output += 18 + static_cast<std::size_t>(payload);
        }
    }

    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    memory_output output;
    flush_counter console_buffer;
    std::ostream console(&console_buffer);
    const int status = wpan2pcap::convert_capture(input, output, console);

    if (status != 0)
        return "exit status 0";
    if (console_buffer.flushes != 8 * converted + skipped)
        return "console flushed 8 times per converted record and once per skipped one";
    if (output.opens != (converted > 0 ? 1 : 0))
        return "output opened once, and only when a record was converted";
    if (output.stream.str().size() != (converted > 0 ? expected_output : 0))
        return "output holds 24 bytes plus 18 plus the payload per converted record";
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
