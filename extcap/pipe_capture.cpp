#include "extcap/pipe_capture.hpp"

#include "extcap/capture_report.hpp"
#include "extcap/capture_writer.hpp"
#include "extcap/followed_file.hpp"
#include "formats/capture_record.hpp"
#include "system/exit_status.hpp"
#include "system/packet_file.hpp"
#include "system/path_text.hpp"
#include "system/stop_signals.hpp"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <system_error>

namespace wpan2pcap {

namespace {

constexpr std::size_t pipe_buffer_size = 64 * 1024;

} // namespace

void release_waiting_reader(const extcap_request& request)
{
    if (!request.fifo || !names_a_pipe(*request.fifo))
        return;
    // Wireshark opens the pipes it names so a moment after starting the
    // program, and waits until a writer has come and gone: such a pipe's
    // reader is looked for a while. Nobody may ever read a pipe of another
    // name (given by hand), so there the program does not linger.
    const bool wiresharks = path_text(request.fifo->filename()).find("wireshark_extcap") != std::string::npos;
    release_pipe_reader(*request.fifo, wiresharks ? std::chrono::seconds(10) : std::chrono::milliseconds(500));
}

int capture_to_pipe(const extcap_request& request, std::ostream& errors)
{
    // First, as Wireshark's side of its control pipes waits for the program's.
    capture_report report(errors, request);
    const auto fail = [&request, &report](const std::string& message) {
        report.error(message);
        release_waiting_reader(request);
        return exit_file_failure;
    };
    const std::string source_text = in_quotes(path_text(*request.source));
    std::error_code ignored;
    if (std::filesystem::is_directory(*request.source, ignored))
        return fail("the source " + source_text + " is a folder, not a record capture");
    basic_input_file<followed_file_buffer> source;
    if (!source.buffer().open(*request.source, request.follow)) {
        if (stop_requested()) // while a named pipe waited for its writer: no failure
            return exit_success;
        return fail("cannot open the source " + source_text + ": " + std::generic_category().message(errno));
    }

    // The reader opens its end when it is ready; a stop may come first.
    if (same_file(identity_of(*request.fifo), identity_of(source.buffer().descriptor())))
        return fail("the pipe is the source itself");
    file_descriptor pipe = open_for_writing(*request.fifo);
    if (!pipe.valid()) {
        if (stop_requested())
            return exit_success;
        return fail("cannot open the pipe " + in_quotes(path_text(*request.fifo)));
    }
    if (is_terminal(pipe.get()))
        return fail("cannot open the pipe " + in_quotes(path_text(*request.fifo)) + ": a terminal never takes a capture");
    if (is_regular_file(pipe.get()))
        truncate_file(pipe.get(), 0);
    // Should the source's name come to mean the output, it is not read; and
    // while the source keeps the capture waiting, the pipe's reader is
    // watched, and Wireshark's control pipe is tended.
    source.buffer().never_read(identity_of(pipe.get()));
    source.buffer().watch_output(pipe.get());
    source.buffer().set_quiet_hook(&report);
    packet_file_buffer packets(std::move(pipe), pipe_buffer_size);
    std::ostream output(&packets);
    // The header goes out before any read, which may wait (for a source
    // pipe's writer, or a followed file to grow): Wireshark starts its
    // capture, and its stop conditions, at once.
    capture_writer writer(output, request.record_numbers);
    writer.write_header();

    record_buffer buffer;
    capture_counts counts;
    std::uint64_t trailing_bytes = 0;
    for (;;) {
        // Before a read that may wait, every packet goes out.
        if (source.rdbuf()->in_avail() < static_cast<std::streamsize>(record_size) || stop_requested()) {
            output.flush();
            report.progress(counts);
            report.on_quiet();
            if (stop_requested() || packets.failed())
                break;
        }
        if (!read_record(source, buffer)) {
            // A new capture in the same file: what was read of the old is done.
            if (source.buffer().restarted() && !source.bad() && source.buffer().begin_again()) {
                source.clear();
                writer.begin_new_capture();
                report.new_capture(source.buffer().replaced());
                continue;
            }
            trailing_bytes = static_cast<std::uint64_t>(source.gcount());
            break;
        }
        if (const std::optional<capture_record> record = decode_record(buffer)) {
            writer.write_packet(*record);
            ++counts.converted;
            if (!output.good()) // the reader has gone, or the pipe failed
                break;
        } else {
            const capture_record_header header = record_header(buffer);
            writer.note_skipped(header.number);
            report.record_skipped(header.number, header.length, header.flags);
            ++counts.skipped;
        }
    }

    const bool closed = packets.close();
    if (request.debug) {
        // Wireshark shows whatever reaches standard error as an error: debug
        // lines go to the file it names for them, when it names one.
        std::ofstream debug_file;
        if (request.debug_file)
            debug_file.open(*request.debug_file, std::ios::app);
        (debug_file.is_open() ? debug_file : errors)
            << "wpan2pcap-extcap: " << counts.converted << " packets from " << visible_text(source_text) << std::endl;
    }
    // The reader leaving, or a stop, is how a capture ends: neither is a failure.
    if (source.buffer().names_the_output())
        return fail("the pipe is the source itself");
    if (source.bad())
        return fail("cannot read the source " + source_text);
    if (!closed && !packets.reader_gone())
        return fail("cannot write the pipe " + in_quotes(path_text(*request.fifo)));
    if (!request.follow && !stop_requested() && !packets.failed() && !source.buffer().output_reader_gone())
        report.end_of_file(counts, trailing_bytes);
    report.finish();
    return exit_success;
}

} // namespace wpan2pcap
