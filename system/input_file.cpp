#include "system/input_file.hpp"

#include "formats/capture_record.hpp"

#include <algorithm>
#include <limits>

namespace wpan2pcap {

namespace {

// Whole records: a regular file's blocks then hold no record cut in two, so
// the record loop sees one waiting at the end of a block only at the end of
// the file.
constexpr std::size_t input_buffer_size = (256 * 1024 / record_size) * record_size;

} // namespace

input_file_buffer::input_file_buffer() : buffer_(input_buffer_size) {}

bool input_file_buffer::open(const std::filesystem::path& path)
{
    file_ = open_for_reading(path);
    regular_ = file_.valid() && is_regular_file(file_.get());
    bytes_read_ = 0;
    setg(buffer_.data(), buffer_.data(), buffer_.data());
    return file_.valid();
}

bool input_file_buffer::rewind()
{
    setg(buffer_.data(), buffer_.data(), buffer_.data());
    bytes_read_ = 0;
    return seek_to_start(file_.get());
}

input_file_buffer::int_type input_file_buffer::underflow()
{
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    for (;;) {
        // A pipe or a device may keep the reader waiting (a named pipe for
        // its first writer too): meanwhile a stop or the output's reader
        // leaving ends the input, and whoever shows progress catches up.
        if (!regular_) {
            for (;;) {
                const auto due = quiet_hook_ != nullptr ? quiet_hook_->quiet_due_in() : std::chrono::milliseconds(-1);
                const wait_result waited = wait_for_input(file_.get(), due, watched_output_);
                if (waited == wait_result::ready)
                    break;
                if (waited == wait_result::timed_out) {
                    quiet_hook_->on_quiet();
                    if (!quiet_hook_->reader_gone())
                        continue;
                    output_reader_gone_ = true;
                    return traits_type::eof();
                }
                if (waited == wait_result::reader_gone)
                    output_reader_gone_ = true;
                return traits_type::eof();
            }
        }
        std::size_t count = 0;
        switch (read_some(file_.get(), buffer_, count)) {
        case io_result::done:
            if (!bytes_arrived({buffer_.data(), count}))
                return traits_type::eof();
            bytes_read_ += count;
            setg(buffer_.data(), buffer_.data(), buffer_.data() + count);
            return traits_type::to_int_type(*gptr());
        case io_result::end:
            if (wait_for_more())
                continue;
            return traits_type::eof();
        case io_result::stopped:
            return traits_type::eof();
        default:
            if (stream_ != nullptr)
                stream_->setstate(std::ios::badbit);
            return traits_type::eof();
        }
    }
}

std::streamsize input_file_buffer::showmanyc()
{
    if (!regular_)
        return 0;
    const std::optional<std::uint64_t> size = regular_file_size(file_.get());
    if (!size || *size <= bytes_read_)
        return 0;
    // A stream's counts are 32 bits wide on 32-bit systems; files are not.
    return static_cast<std::streamsize>(
        std::min<std::uint64_t>(*size - bytes_read_, static_cast<std::uint64_t>(std::numeric_limits<std::streamsize>::max())));
}

} // namespace wpan2pcap
