#include "driver/conversion_run.hpp"

#include "driver/path_text.hpp"
#include "formats/capture_record.hpp"
#include "formats/pcap_writer.hpp"
#include "trace/trace_record.hpp"

#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace wpan2pcap {

namespace {

// Large enough that the files are read and written in big blocks rather than
// a record at a time.
constexpr std::size_t file_buffer_size = 64 * 1024;

void write_message(std::ostream& console, std::string_view text)
{
    console.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void write_line(std::ostream& console, std::string_view text)
{
    write_message(console, text);
    console.put('\n');
    console.flush();
}

class file_output final : public output_target {
public:
    file_output(const std::filesystem::path& output_path, const std::filesystem::path& input_path)
        : output_path_(output_path), input_path_(input_path)
    {
    }

    std::ostream* open() override
    {
        // Truncating the input would destroy the capture being converted.
        std::error_code ignored;
        if (std::filesystem::equivalent(input_path_, output_path_, ignored))
            return nullptr;
        buffer_.resize(file_buffer_size);
        stream_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        stream_.open(output_path_, std::ios::binary | std::ios::trunc);
        return stream_.is_open() ? &stream_ : nullptr;
    }

    bool close() override
    {
        if (!stream_.is_open())
            return true;
        // Buffered bytes are written only now, so a full disk may show only here.
        stream_.close();
        return !stream_.fail();
    }

private:
    const std::filesystem::path& output_path_;
    const std::filesystem::path& input_path_;
    std::vector<char> buffer_;
    std::ofstream stream_;
};

} // namespace

int convert_capture(std::istream& input, output_target& output, std::ostream& console)
{
    bool failed = false;
    bool first_record = true;
    std::optional<pcap_writer> writer;
    record_buffer buffer;

    while (read_record(input, buffer)) {
        const std::optional<capture_record> record = decode_record(buffer);
        if (!record) {
            write_line(console, "Skipping record with invalid length.");
            continue;
        }
        trace_record(*record, console);
        if (first_record) {
            // One attempt only: a failed open is reported once, and every
            // record is still traced.
            first_record = false;
            if (std::ostream* stream = output.open()) {
                writer.emplace(*stream);
                writer->write_global_header();
            } else {
                write_message(console, "Unable to open output file.");
                failed = true;
            }
        }
        if (writer)
            writer->write_packet(*record);
    }

    // A short read at the end of the input only sets eof; bad means the read
    // itself failed.
    if (input.bad()) {
        write_message(console, "Unable to read input file.");
        failed = true;
    }
    if (!output.close()) {
        write_message(console, "Unable to write output file.");
        failed = true;
    }
    return failed ? exit_file_failure : exit_success;
}

int run_conversion(std::span<const std::filesystem::path> arguments, std::ostream& console)
{
    if (arguments.size() != 2) {
        write_message(console, "The function requires exactly two arguments, an input and an output file.");
        return exit_usage;
    }
    const std::filesystem::path& input_path = arguments[0];
    const std::filesystem::path& output_path = arguments[1];
    write_line(console, "Input File: " + path_text(input_path));
    write_line(console, "Output File: " + path_text(output_path));

    std::vector<char> input_buffer(file_buffer_size);
    std::ifstream input;
    input.rdbuf()->pubsetbuf(input_buffer.data(), static_cast<std::streamsize>(input_buffer.size()));
    input.open(input_path, std::ios::binary);
    if (!input.is_open()) {
        write_message(console, "Unable to open input file.");
        return exit_file_failure;
    }

    file_output output(output_path, input_path);
    const int status = convert_capture(input, output, console);
    input.close();
    return status;
}

} // namespace wpan2pcap
