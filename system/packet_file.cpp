#include "system/packet_file.hpp"

#include <algorithm>
#include <cstring>

namespace wpan2pcap {

namespace {

// Units are at least this long (a packet record with an empty frame), so the
// list of unit ends, reserved once, never grows.
constexpr std::size_t shortest_unit = 16;

} // namespace

packet_file_buffer::packet_file_buffer(file_descriptor file, std::size_t capacity)
    : file_(std::move(file)), pipe_(is_pipe(file_.get())), regular_(is_regular_file(file_.get())), buffer_(capacity)
{
    unit_ends_.reserve(capacity / shortest_unit + 1);
}

std::streamsize packet_file_buffer::xsputn(const char* unit, std::streamsize size)
{
    const auto length = static_cast<std::size_t>(size);
    if (state_ != state::good)
        return 0;
    if (used_ + length > buffer_.size() && !send_buffered())
        return 0;
    if (length > buffer_.size()) { // the capacity holds the largest unit; this is not one
        abandon(io_result::failed, 0);
        return 0;
    }
    std::memcpy(buffer_.data() + used_, unit, length);
    used_ += length;
    unit_ends_.push_back(static_cast<std::uint32_t>(used_));
    return size;
}

packet_file_buffer::int_type packet_file_buffer::overflow(int_type byte)
{
    if (traits_type::eq_int_type(byte, traits_type::eof()))
        return sync() == 0 ? traits_type::not_eof(byte) : traits_type::eof();
    const char unit = traits_type::to_char_type(byte);
    return xsputn(&unit, 1) == 1 ? byte : traits_type::eof();
}

int packet_file_buffer::sync() { return send_buffered() ? 0 : -1; }

bool packet_file_buffer::send_buffered()
{
    if (state_ != state::good)
        return false;
    std::size_t sent = 0;
    while (sent < used_) {
        // A pipe takes as many whole units as fit in one atomic write; any
        // other file takes the whole buffer at once.
        std::size_t end = used_;
        if (pipe_) {
            const auto first = std::upper_bound(unit_ends_.begin(), unit_ends_.end(), sent);
            auto last = std::upper_bound(first, unit_ends_.end(), sent + pipe_atomic_write_size);
            end = last == first ? *first : *(last - 1);
        }
        std::size_t written = 0;
        const io_result result = write_all(file_.get(), {buffer_.data() + sent, end - sent}, written);
        if (result != io_result::done) {
            abandon(result, sent + written);
            return false;
        }
        sent = end;
    }
    committed_ += used_;
    used_ = 0;
    unit_ends_.clear();
    return true;
}

void packet_file_buffer::abandon(io_result result, std::size_t bytes_sent)
{
    state_ = result == io_result::stopped       ? state::stopped
             : result == io_result::reader_gone ? state::reader_gone
                                                : state::failed;
    // Part of a unit may have gone before the write gave up: a file is cut
    // back to the unit before it. (A pipe took its units whole.)
    const auto whole = std::upper_bound(unit_ends_.begin(), unit_ends_.end(), bytes_sent);
    const std::size_t whole_bytes = whole == unit_ends_.begin() ? 0 : *(whole - 1);
    if (regular_ && whole_bytes != bytes_sent)
        truncate_file(file_.get(), committed_ + whole_bytes);
    committed_ += whole_bytes;
    used_ = 0;
    unit_ends_.clear();
}

bool packet_file_buffer::close()
{
    if (!file_.valid())
        return !failed();
    send_buffered();
    const bool closed = file_.close();
    if (!closed && state_ == state::good)
        state_ = state::failed;
    return !failed();
}

} // namespace wpan2pcap
