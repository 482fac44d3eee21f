// The converter with the console it had before the trace was buffered: every
// trace line written and flushed as soon as it ends, one write call per line.
// The benchmark runs it beside the real converter as the reference.

#include "converter/conversion_run.hpp"
#include "system/console.hpp"
#include "system/program_main.hpp"
#include "system/stop_signals.hpp"

#include <cstring>
#include <filesystem>
#include <ostream>
#include <streambuf>
#include <vector>

namespace {

using namespace wpan2pcap;

class line_flushed_buffer : public std::streambuf {
protected:
    std::streamsize xsputn(const char* bytes, std::streamsize size) override
    {
        auto left = static_cast<std::size_t>(size);
        while (left > 0) {
            const void* line_end = std::memchr(bytes, '\n', left);
            const std::size_t line = line_end == nullptr ? left : static_cast<std::size_t>(static_cast<const char*>(line_end) - bytes) + 1;
            write_text(standard_output, {bytes, line});
            bytes += line;
            left -= line;
        }
        return size;
    }

    int_type overflow(int_type byte) override
    {
        const char one = traits_type::to_char_type(byte);
        return traits_type::eq_int_type(byte, traits_type::eof()) || xsputn(&one, 1) == 1 ? traits_type::not_eof(byte)
                                                                                           : traits_type::eof();
    }
};

} // namespace

int run_program(const std::vector<std::filesystem::path>& arguments)
{
    line_flushed_buffer buffer;
    std::ostream console(&buffer);
    const int status = run_conversion(arguments, console, {.style = {}, .console_file = inspect_console().trace_file});
    end_if_stop_requested();
    return status;
}
