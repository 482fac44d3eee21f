#include "driver/conversion_run.hpp"

#include "driver/path_text.hpp"
#include "driver/stop_signals.hpp"
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

// The input is read in large blocks, and the output buffer holds the packets
// of a whole input block (a packet is at most two bytes longer than its
// record), so on a regular file the output is written once per input block:
// when the loop flushes it before reading the next one.
constexpr std::size_t input_buffer_size = 256 * 1024;
constexpr std::size_t output_buffer_size =
    pcap_global_header_size + (input_buffer_size / record_size + 2) * max_packet_record_size;

// Flushed at once, though it ends no line: a run that is then ended by a
// signal must not lose it in the console's buffer.
void write_message(std::ostream& console, std::string_view text)
{
    console.write(text.data(), static_cast<std::streamsize>(text.size()));
    console.flush();
}

void write_line(std::ostream& console, std::string_view text)
{
    console.write(text.data(), static_cast<std::streamsize>(text.size()));
    console.put('\n');
    console.flush();
}

class file_output final : public output_target {
public:
    file_output(const std::filesystem::path& output_path, const std::filesystem::path& input_path,
                std::optional<file_identity> console_file)
        : output_path_(output_path), input_path_(input_path), console_file_(console_file)
    {
    }

    std::ostream* open() override
    {
        // Truncating the input would destroy the capture being converted, and
        // writing into the console's file would interleave capture and trace.
        std::error_code ignored;
        if (std::filesystem::equivalent(input_path_, output_path_, ignored))
            return nullptr;
        if (console_file_ && file_identity_of(output_path_) == console_file_)
            return nullptr;
        buffer_.resize(output_buffer_size);
        stream_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        // Opening a named pipe waits for its reader, perhaps for ever; with
        // no reader there is nobody to lose a packet, so a stop signal may
        // end the run there.
        std::optional<stop_point> waiting_for_reader;
        if (std::filesystem::is_fifo(output_path_, ignored))
            waiting_for_reader.emplace();
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
    std::optional<file_identity> console_file_;
    std::vector<char> buffer_;
    std::ofstream stream_;
};

} // namespace

int convert_capture(std::istream& input, output_target& output, std::ostream& console)
{
    bool failed = false;
    bool first_record = true;
    std::ostream* output_stream = nullptr;
    std::optional<pcap_writer> writer;
    record_buffer buffer;

    for (;;) {
        // A record boundary. When the next record is not whole in the input
        // buffer, reading it may wait (on a live pipe, for as long as the
        // capture goes quiet), so everything converted goes out first; on a
        // regular file that is once per input block. A stop request is
        // carried out here too: the output is complete at this point.
        if (input.rdbuf()->in_avail() < static_cast<std::streamsize>(record_size) || stop_requested()) {
            if (output_stream != nullptr)
                output_stream->flush();
            const stop_point waiting_for_input;
            if (!read_record(input, buffer))
                break;
        } else if (!read_record(input, buffer)) {
            break;
        }

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
                output_stream = stream;
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

int run_conversion(std::span<const std::filesystem::path> arguments, std::ostream& console,
                   std::optional<file_identity> console_file)
{
    if (arguments.size() != 2) {
        write_message(console, "The function requires exactly two arguments, an input and an output file.");
        return exit_usage;
    }
    const std::filesystem::path& input_path = arguments[0];
    const std::filesystem::path& output_path = arguments[1];
    write_line(console, "Input File: " + path_text(input_path));
    write_line(console, "Output File: " + path_text(output_path));

    std::vector<char> input_buffer(input_buffer_size);
    std::ifstream input;
    input.rdbuf()->pubsetbuf(input_buffer.data(), static_cast<std::streamsize>(input_buffer.size()));
    {
        // A named pipe opens only when its writer does; nothing has been
        // traced yet, so a stop signal may end the run while it waits.
        const stop_point waiting_for_writer;
        input.open(input_path, std::ios::binary);
    }
    if (!input.is_open()) {
        write_message(console, "Unable to open input file.");
        return exit_file_failure;
    }

    file_output output(output_path, input_path, console_file);
    const int status = convert_capture(input, output, console);
    input.close();
    return status;
}

} // namespace wpan2pcap
