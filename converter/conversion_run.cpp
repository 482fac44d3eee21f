#include "converter/conversion_run.hpp"

#include "formats/other_formats.hpp"
#include "formats/capture_record.hpp"
#include "formats/pcap_writer.hpp"
#include "system/packet_file.hpp"
#include "system/path_text.hpp"
#include "system/stop_signals.hpp"

#include <optional>
#include <span>
#include <string>

namespace wpan2pcap {

namespace {

constexpr std::size_t output_buffer_size = 256 * 1024;
// Records between two looks at the clock for a status line.
constexpr std::uint64_t progress_interval = 1024;

// Writes the run's lines and messages to the console, and tells the observer
// of every message.
class console_writer {
public:
    console_writer(std::ostream& console, const console_style& style, run_observer* observer)
        : console_(console), style_(style), observer_(observer)
    {
    }

    void message(std::string_view text)
    {
        write(text);
        if (observer_ != nullptr)
            observer_->on_message(text);
    }

    void line(std::string_view text)
    {
        console_.write(text.data(), static_cast<std::streamsize>(text.size()));
        write("\n");
    }

private:
    void write(std::string_view text)
    {
        console_.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (style_.flush_each_block)
            console_.flush();
    }

    std::ostream& console_;
    const console_style& style_;
    run_observer* observer_;
};

class file_output final : public output_target {
public:
    file_output(const std::filesystem::path& output_path, input_file_buffer& input, std::optional<file_identity> input_file,
                std::optional<file_identity> console_file)
        : output_path_(output_path), input_(input), input_file_(input_file), console_file_(console_file)
    {
    }

    std::ostream* open() override
    {
        // Writing into the input would destroy the capture being converted,
        // and writing into the console's file would interleave capture and
        // trace. The path is checked before it is opened, so that the same
        // named pipe is never opened twice, and what was opened is checked
        // again; a terminal (such as /dev/tty) never takes a capture.
        if (refused(identity_of(output_path_)))
            return nullptr;
        file_descriptor file = open_for_writing(output_path_);
        if (!file.valid() || refused(identity_of(file.get())) || is_terminal(file.get()))
            return nullptr;
        if (is_regular_file(file.get()) && !truncate_file(file.get(), 0))
            return nullptr;
        buffer_.emplace(std::move(file), output_buffer_size);
        stream_.rdbuf(&*buffer_);
        // While a live input keeps the run waiting, the output's reader may
        // leave: the input then ends, as a write would have failed.
        input_.watch_output(buffer_->descriptor());
        return &stream_;
    }

    bool close() override
    {
        if (!buffer_)
            return true;
        if (input_.output_reader_gone())
            buffer_->note_reader_gone();
        return buffer_->close();
    }

    bool reader_gone() const override { return buffer_ && (buffer_->reader_gone() || input_.output_reader_gone()); }

    bool opening_may_wait() const override { return wpan2pcap::opening_may_wait(output_path_); }

private:
    bool refused(const std::optional<file_identity>& output_file) const
    {
        return same_file(output_file, input_file_) || same_file(output_file, console_file_);
    }

    const std::filesystem::path& output_path_;
    input_file_buffer& input_;
    std::optional<file_identity> input_file_;
    std::optional<file_identity> console_file_;
    std::optional<packet_file_buffer> buffer_;
    std::ostream stream_{nullptr};
};

} // namespace

namespace {

// A capture of another format is converted like any bytes, as ever; the
// person running the converter is told what it is. Kept out of the record
// loop's way: it runs once.
[[gnu::cold]] void notice_other_format(std::span<const std::uint8_t> first_bytes, std::ostream* notices)
{
    const other_format* format = other_format_of(first_bytes);
    if (notices != nullptr && format != nullptr)
        *notices << "wpan2pcap: the input is " << format->name << ", not a capture of 151-byte records: " << format->advice
                 << std::endl;
}

} // namespace

int convert_capture(std::istream& input, output_target& output, std::ostream& console, const console_style& style,
                    run_observer* observer, std::ostream* notices)
{
    console_writer report(console, style, observer);
    bool failed = false;
    bool first_record = true;
    std::ostream* output_stream = nullptr;
    std::optional<pcap_writer> writer;
    record_buffer buffer;
    run_counts counts;
    std::uint64_t until_progress = progress_interval;

    for (;;) {
        // A record boundary. When the next record cannot be read without
        // waiting (on a live pipe, for as long as the capture goes quiet),
        // everything converted and traced goes out first. A stop request is
        // carried out here too: the output is a whole capture at this point.
        if (input.rdbuf()->in_avail() < static_cast<std::streamsize>(record_size) || stop_requested()) {
            if (output_stream != nullptr)
                output_stream->flush();
            console.flush();
            if (observer != nullptr)
                observer->on_progress(counts);
            if (stop_requested() || output.reader_gone())
                break;
        }
        if (!read_record(input, buffer)) {
            if (counts.bytes == 0)
                notice_other_format(std::span(buffer).first(static_cast<std::size_t>(input.gcount())), notices);
            counts.bytes += static_cast<std::uint64_t>(input.gcount());
            break;
        }
        if (counts.bytes == 0) [[unlikely]]
            notice_other_format(buffer, notices);
        counts.bytes += record_size;

        if (const std::optional<capture_record> record = decode_record(buffer)) {
            ++counts.converted;
            if (!style.discarded)
                trace_record(*record, console, style.bytes);
            if (style.flush_each_block)
                console.flush();
            if (first_record) {
                // One attempt only: a failed open is reported once, and every
                // record is still traced. Opening a named pipe waits for its
                // reader, so the block goes out first.
                first_record = false;
                if (output.opening_may_wait())
                    console.flush();
                if (std::ostream* stream = output.open()) {
                    if (observer != nullptr)
                        observer->on_output_opened();
                    output_stream = stream;
                    writer.emplace(*stream);
                    writer->write_global_header();
                } else if (stop_requested()) {
                    break; // stopped while waiting for a reader: nothing failed
                } else {
                    report.message("Unable to open output file.");
                    failed = true;
                }
            }
            if (writer) {
                writer->write_packet(*record);
                // Nobody is left to convert for once the reader has gone.
                if (!output_stream->good() && output.reader_gone())
                    break;
            }
        } else {
            ++counts.skipped;
            report.line("Skipping record with invalid length.");
        }
        if (observer != nullptr && --until_progress == 0) {
            until_progress = progress_interval;
            observer->on_progress(counts);
        }
    }

    // A short read at the end of the input only sets eof; bad means the read
    // itself failed.
    if (input.bad()) {
        report.message("Unable to read input file.");
        failed = true;
    }
    if (!output.close()) {
        report.message("Unable to write output file.");
        failed = true;
    }
    console.flush();
    if (observer != nullptr)
        observer->on_progress(counts);
    return failed ? exit_file_failure : exit_success;
}

int run_conversion(std::span<const std::filesystem::path> arguments, std::ostream& console, const run_setup& setup)
{
    console_writer report(console, setup.style, setup.observer);
    if (arguments.size() != 2) {
        report.message("The function requires exactly two arguments, an input and an output file.");
        return exit_usage;
    }
    const std::filesystem::path& input_path = arguments[0];
    const std::filesystem::path& output_path = arguments[1];
    // A terminal is shown no control character, not even in a file name.
    const auto shown = [&setup](const std::filesystem::path& path) {
        return setup.style.bytes == trace_style::visible ? visible_text(path_text(path)) : path_text(path);
    };
    report.line("Input File: " + shown(input_path));
    report.line("Output File: " + shown(output_path));
    // Opening a named pipe waits for its writer.
    if (opening_may_wait(input_path))
        console.flush();

    // Reading the console's own file would feed the trace back into the
    // input for ever; it is checked before the open and on what was opened.
    input_file input;
    const bool opened = !same_file(identity_of(input_path), setup.console_file) && input.buffer().open(input_path);
    const std::optional<file_identity> input_identity =
        opened ? identity_of(input.buffer().descriptor()) : std::nullopt;
    if (!opened || same_file(input_identity, setup.console_file)) {
        if (stop_requested())
            return exit_success; // stopped while waiting for a writer: nothing failed
        report.message("Unable to open input file.");
        return exit_file_failure;
    }
    if (setup.observer != nullptr) {
        setup.observer->on_input(regular_file_size(input.buffer().descriptor()));
        input.buffer().set_quiet_hook(setup.observer);
    }
    file_output output(output_path, input.buffer(), input_identity, setup.console_file);
    return convert_capture(input, output, console, setup.style, setup.observer, setup.notices);
}

} // namespace wpan2pcap
