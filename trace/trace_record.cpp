#include "trace/trace_record.hpp"

#include "trace/visible_bytes.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <span>
#include <string_view>

namespace wpan2pcap {

namespace {

// The widest block: its fixed text, eight line ends, the two decimal lines
// at their longest, and each of its record bytes shown as M-^X.
constexpr std::size_t max_block_size =
    std::string_view("Packet<STARTREMAIN><ENDREMAIN><STARTDATA><ENDDATA><STARTFCS><ENDFCS>").size() + 8 + 10 + 20 +
    (1 + 1 + body_size + 1 + fcs_size) * max_visible_byte_length;

class block_builder {
public:
    explicit block_builder(trace_style style) : visible_(style == trace_style::visible) {}

    block_builder& text(std::string_view s)
    {
        end_ = std::ranges::copy(s, end_).out;
        return *this;
    }

    block_builder& bytes(std::span<const std::uint8_t> record_bytes)
    {
        if (visible_) {
            for (const std::uint8_t byte : record_bytes)
                end_ = put_visible(end_, byte);
        } else if (!record_bytes.empty()) {
            std::memcpy(end_, record_bytes.data(), record_bytes.size());
            end_ += record_bytes.size();
        }
        return *this;
    }

    block_builder& byte(std::uint8_t value) { return bytes(std::span<const std::uint8_t>(&value, 1)); }

    block_builder& decimal(std::uint64_t value)
    {
        end_ = std::to_chars(end_, buffer_.data() + buffer_.size(), value).ptr;
        return *this;
    }

    block_builder& end_line()
    {
        *end_++ = '\n';
        return *this;
    }

    void write_to(std::ostream& console) { console.write(buffer_.data(), end_ - buffer_.data()); }

private:
    bool visible_;
    std::array<char, max_block_size> buffer_;
    char* end_ = buffer_.data();
};

} // namespace

void trace_record(const capture_record& record, std::ostream& console, trace_style style)
{
    block_builder block(style);
    block.text("Packet").end_line();
    block.byte(record.flags).end_line();
    block.decimal(record.number).end_line();
    block.decimal(record.timestamp).end_line();
    block.byte(record.length).end_line();

    // A body without a zero byte is shown whole, and never past the record.
    const auto body = record.raw.subspan<body_offset>();
    const void* zero = std::memchr(body.data(), 0, body.size());
    const std::size_t shown = zero == nullptr ? body.size() : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - body.data());
    block.text("<STARTREMAIN>").bytes(body.first(shown)).text("<ENDREMAIN>").end_line();

    // An empty payload has no first byte; nothing stands between the tags.
    block.text("<STARTDATA>").bytes(record.payload.first(std::min<std::size_t>(record.payload.size(), 1)));
    block.text("<ENDDATA>").end_line();

    block.text("<STARTFCS>").bytes(record.fcs).text("<ENDFCS>").end_line();
    block.write_to(console);
}

} // namespace wpan2pcap
