#include "extcap/pipe_capture.hpp"

#include "extcap/capture_report.hpp"
#include "extcap/capture_writer.hpp"
#include "extcap/followed_file.hpp"
#include "formats/other_formats.hpp"
#include "formats/capture_record.hpp"
#include "system/exit_status.hpp"
#include "system/packet_file.hpp"
#include "system/path_text.hpp"
#include "system/stop_signals.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace wpan2pcap {

namespace {

constexpr std::size_t pipe_buffer_size = 64 * 1024;

// A regular file's first bytes, read where they are without moving the
// source on: a file of another format is refused before anything is sent.
const other_format* other_format_of_file(int fd)
{
    const std::optional<std::uint64_t> size = regular_file_size(fd);
    if (!size || *size < other_format_header_size)
        return nullptr;
    std::array<char, other_format_header_size> first{};
    if (!read_at(fd, 0, first))
        return nullptr;
    return other_format_of(std::span(reinterpret_cast<const std::uint8_t*>(first.data()), first.size()));
}

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
    // The capture's header first: Wireshark takes a pipe that ends before
    // any header for a capture that never began, and leaves its interface
    // toolbar as if it still ran, so that the next capture gets neither log
    // nor dialogs; a capture that began and ended is ended in full.
    std::ostringstream header;
    capture_writer(header, request.record_numbers).write_header();
    const std::string bytes = header.str();
    release_pipe_reader(*request.fifo, wiresharks ? std::chrono::seconds(10) : std::chrono::milliseconds(500), bytes);
}

int capture_to_pipe(const extcap_request& request, std::ostream& errors)
{
    // First of all, before anything may refuse the capture: Wireshark's
    // side of its control pipes waits for the program's.
    capture_report report(errors, request);
    // However the capture is refused, the message goes out at once; then
    // Wireshark's reader of the pipe sees a writer come and go, and the
    // program stays until Wireshark has its control pipes.
    const auto refuse = [&request, &report](int status) {
        release_waiting_reader(request);
        report.finish();
        return status;
    };
    const auto fail = [&report, &refuse](capture_refusal why, int system_error = 0, const other_format* format = nullptr) {
        report.refused(why, system_error, format);
        return refuse(exit_file_failure);
    };
    if (report.control_paths().problem != control_path_problem::none) {
        report.control_path_refused();
        return refuse(exit_file_failure);
    }
    if (!request.error.empty()) {
        report.request_refused(request.error);
        return refuse(exit_usage);
    }
    report.began();

    std::error_code ignored;
    if (std::filesystem::is_directory(*request.source, ignored))
        return fail(capture_refusal::source_is_a_folder);
    basic_input_file<followed_file_buffer> source;
    if (!source.buffer().open(*request.source, request.follow)) {
        if (stop_requested()) { // while a named pipe waited for its writer: no failure
            report.ended(capture_end::stopped, {});
            return refuse(exit_success);
        }
        return fail(capture_refusal::source_cannot_be_opened, errno);
    }
    if (const other_format* format = other_format_of_file(source.buffer().descriptor()))
        return fail(capture_refusal::source_is_another_format, 0, format);

    // The reader opens its end when it is ready; a stop may come first.
    if (same_file(identity_of(*request.fifo), identity_of(source.buffer().descriptor())))
        return fail(capture_refusal::pipe_is_the_source);
    file_descriptor pipe = open_for_writing(*request.fifo);
    if (!pipe.valid()) {
        if (stop_requested()) {
            report.ended(capture_end::stopped, {});
            report.finish();
            return exit_success;
        }
        return fail(capture_refusal::pipe_cannot_be_opened);
    }
    if (is_terminal(pipe.get()))
        return fail(capture_refusal::pipe_is_a_terminal);
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
    // A source that is not a regular file (a pipe, a followed file that was
    // empty) is known by its first bytes once they come.
    bool first_read = true;
    const other_format* found_format = nullptr;
    for (;;) {
        // Before a read that may wait, every packet goes out.
        if (source.rdbuf()->in_avail() < static_cast<std::streamsize>(record_size) || stop_requested()) {
            output.flush();
            report.progress(counts);
            report.on_quiet();
            if (stop_requested() || packets.failed() || report.reader_gone())
                break;
        }
        const bool whole = read_record(source, buffer);
        if (first_read) {
            first_read = false;
            const auto got = whole ? record_size : static_cast<std::size_t>(source.gcount());
            if ((found_format = other_format_of(std::span(buffer).first(got))) != nullptr)
                break;
        }
        if (!whole) {
            // A new capture in the same file: what was read of the old is done.
            if (source.buffer().restarted() && !source.bad() && source.buffer().begin_again()) {
                source.clear();
                writer.begin_new_capture();
                report.new_capture(source.buffer().replaced(), counts);
                counts = {};
                // The new capture is checked as a source is: another
                // format put in the file's place is refused, not streamed.
                if ((found_format = other_format_of_file(source.buffer().descriptor())) != nullptr)
                    break;
                first_read = true;
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
            << "wpan2pcap-extcap: " << counts.converted << " packets from " << quoted_name(*request.source) << std::endl;
    }
    if (found_format != nullptr) {
        report.refused(capture_refusal::source_is_another_format, 0, found_format);
        report.finish();
        return exit_file_failure;
    }
    // The reader leaving, or a stop, is how a capture ends: neither is a failure.
    if (source.buffer().names_the_output())
        return fail(capture_refusal::pipe_is_the_source);
    if (source.bad())
        return fail(capture_refusal::source_cannot_be_read);
    if (!closed && !packets.reader_gone())
        return fail(capture_refusal::pipe_cannot_be_written);
    const bool reader_gone = packets.failed() || source.buffer().output_reader_gone() || report.reader_gone();
    const capture_end how = stop_requested() ? capture_end::stopped : reader_gone ? capture_end::reader_gone : capture_end::end_of_file;
    report.ended(how, counts, trailing_bytes);
    report.finish();
    return exit_success;
}

} // namespace wpan2pcap
