#include "extcap/pipe_capture.hpp"

#include "extcap/followed_file.hpp"
#include "formats/capture_record.hpp"
#include "formats/little_endian.hpp"
#include "formats/pcap_writer.hpp"
#include "formats/pcapng_writer.hpp"
#include "system/exit_status.hpp"
#include "system/packet_file.hpp"
#include "system/path_text.hpp"
#include "system/stop_signals.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace wpan2pcap {

namespace {

constexpr std::size_t pipe_buffer_size = 64 * 1024;

// The capture as the converter writes it (PCAP), or as pcapng carrying each
// record's number and flags, and the records skipped before it. Its header
// goes out first, so the reader starts its capture at once, even on an empty
// file that is followed.
class capture_writer {
public:
    capture_writer(std::ostream& output, bool record_numbers) : pcap_(output)
    {
        if (record_numbers) {
            pcapng_.emplace(output);
            pcapng_->write_header("wpan2pcap-extcap " WPAN2PCAP_VERSION);
        } else {
            pcap_.write_global_header();
        }
    }

    void write_packet(const capture_record& record)
    {
        if (!pcapng_) {
            pcap_.write_packet(record);
            return;
        }
        if (unnoted_skips_ > 0)
            comments_.push_back("and " + std::to_string(unnoted_skips_) + " more records skipped: invalid length, the last record " +
                                std::to_string(last_unnoted_));
        char own[40];
        std::snprintf(own, sizeof own, "record %" PRIu32 ", flags 0x%02x", record.number, record.flags);
        comments_.emplace_back(own);
        pcapng_->write_packet(record, comments_);
        comments_.clear();
        unnoted_skips_ = 0;
    }

    // A record skipped for its length shows, in pcapng, as a comment on the
    // next packet; a long run of them as a few, and a count of the rest.
    void note_skipped(const record_buffer& raw)
    {
        if (!pcapng_)
            return;
        const std::uint32_t number = load_u32_le(std::span(raw).subspan<number_offset, 4>());
        if (comments_.size() < max_skip_notes) {
            comments_.push_back("after record " + std::to_string(number) + ", skipped: invalid length");
        } else {
            ++unnoted_skips_;
            last_unnoted_ = number;
        }
    }

private:
    static constexpr std::size_t max_skip_notes = 16;

    pcap_writer pcap_;
    std::optional<pcapng_writer> pcapng_;
    std::vector<std::string> comments_;
    std::uint64_t unnoted_skips_ = 0;
    std::uint32_t last_unnoted_ = 0;
};

int fail(const extcap_request& request, std::ostream& errors, const std::string& message)
{
    report_error(errors, message);
    release_waiting_reader(request);
    return exit_file_failure;
}

} // namespace

void report_error(std::ostream& errors, const std::string& message)
{
    // One line, and nothing a terminal or Wireshark's dialog would obey,
    // whatever the file names in it hold.
    errors << "wpan2pcap-extcap: " << visible_text(message) << std::endl;
}

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
    const std::string source_text = in_quotes(path_text(*request.source));
    std::error_code ignored;
    if (std::filesystem::is_directory(*request.source, ignored))
        return fail(request, errors, "the source " + source_text + " is a folder, not a record capture");
    basic_input_file<followed_file_buffer> source;
    if (!source.buffer().open(*request.source, request.follow)) {
        if (stop_requested()) // while a named pipe waited for its writer: no failure
            return exit_success;
        return fail(request, errors, "cannot open the source " + source_text + ": " +
                                         std::generic_category().message(errno));
    }

    // The reader opens its end when it is ready; a stop may come first.
    if (same_file(identity_of(*request.fifo), identity_of(source.buffer().descriptor())))
        return fail(request, errors, "the pipe is the source itself");
    file_descriptor pipe = open_for_writing(*request.fifo);
    if (!pipe.valid()) {
        if (stop_requested())
            return exit_success;
        return fail(request, errors, "cannot open the pipe " + in_quotes(path_text(*request.fifo)));
    }
    if (is_terminal(pipe.get()))
        return fail(request, errors, "cannot open the pipe " + in_quotes(path_text(*request.fifo)) +
                                         ": a terminal never takes a capture");
    if (is_regular_file(pipe.get()))
        truncate_file(pipe.get(), 0);
    // Should the source's name come to mean the output, it is not read.
    source.buffer().never_read(identity_of(pipe.get()));
    packet_file_buffer packets(std::move(pipe), pipe_buffer_size);
    std::ostream output(&packets);
    capture_writer writer(output, request.record_numbers);

    record_buffer buffer;
    std::uint64_t written = 0;
    for (;;) {
        // Before a read that may wait, every packet goes out.
        if (source.rdbuf()->in_avail() < static_cast<std::streamsize>(record_size) || stop_requested()) {
            output.flush();
            if (stop_requested() || packets.failed())
                break;
        }
        if (!read_record(source, buffer)) {
            // A new capture in the same file: what was read of the old is done.
            if (source.buffer().restarted() && !source.bad() && source.buffer().begin_again()) {
                source.clear();
                continue;
            }
            break;
        }
        if (const std::optional<capture_record> record = decode_record(buffer)) {
            writer.write_packet(*record);
            ++written;
            if (!output.good()) // the reader has gone, or the pipe failed
                break;
        } else {
            writer.note_skipped(buffer);
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
            << "wpan2pcap-extcap: " << written << " packets from " << visible_text(source_text) << std::endl;
    }
    // The reader leaving, or a stop, is how a capture ends: neither is a failure.
    if (source.buffer().names_the_output())
        return fail(request, errors, "the pipe is the source itself");
    if (source.bad())
        return fail(request, errors, "cannot read the source " + source_text);
    if (!closed && !packets.reader_gone())
        return fail(request, errors, "cannot write the pipe " + in_quotes(path_text(*request.fifo)));
    return exit_success;
}

} // namespace wpan2pcap
