#include "trace/trace_record.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <span>
#include <string_view>

namespace wpan2pcap {

namespace {

// The longest line is the body with its two tags: 13 + 137 + 11 bytes, plus
// the line end.
class trace_line {
public:
    trace_line& text(std::string_view s)
    {
        end_ = std::ranges::copy(s, end_).out;
        return *this;
    }

    trace_line& raw(std::span<const std::uint8_t> bytes)
    {
        end_ = std::ranges::transform(bytes, end_, [](std::uint8_t b) { return static_cast<char>(b); }).out;
        return *this;
    }

    trace_line& raw(std::uint8_t byte) { return raw(std::span<const std::uint8_t>(&byte, 1)); }

    trace_line& decimal(std::uint64_t value)
    {
        end_ = std::to_chars(end_, buffer_.data() + buffer_.size(), value).ptr;
        return *this;
    }

    // One write and one flush per line, so the console sees whole lines.
    void emit(std::ostream& console)
    {
        *end_++ = '\n';
        console.write(buffer_.data(), end_ - buffer_.data());
        console.flush();
        end_ = buffer_.data();
    }

private:
    std::array<char, 13 + body_size + 11 + 1> buffer_;
    char* end_ = buffer_.data();
};

} // namespace

void trace_record(const capture_record& record, std::ostream& console)
{
    trace_line line;
    line.text("Packet").emit(console);
    line.raw(record.flags).emit(console);
    line.decimal(record.number).emit(console);
    line.decimal(record.timestamp).emit(console);
    line.raw(record.length).emit(console);

    // A body without a zero byte is shown whole, and never past the record.
    const auto body = record.raw.subspan<body_offset>();
    const auto body_end = std::ranges::find(body, std::uint8_t{0});
    line.text("<STARTREMAIN>").raw({body.begin(), body_end}).text("<ENDREMAIN>").emit(console);

    // An empty payload has no first byte; nothing stands between the tags.
    line.text("<STARTDATA>").raw(record.payload.first(std::min<std::size_t>(record.payload.size(), 1)));
    line.text("<ENDDATA>").emit(console);

    line.text("<STARTFCS>").raw(record.fcs).text("<ENDFCS>").emit(console);
}

} // namespace wpan2pcap
