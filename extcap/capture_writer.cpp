#include "extcap/capture_writer.hpp"

#include "extcap/extcap_request.hpp"

#include <algorithm>
#include <charconv>
#include <span>

namespace wpan2pcap {

namespace {

// Appends to a comment being made in a fixed buffer.
class comment_text {
public:
    explicit comment_text(std::span<char> space) : space_(space) {}

    comment_text& operator<<(std::string_view text)
    {
        at_ = std::copy(text.begin(), text.end(), at_);
        return *this;
    }
    comment_text& operator<<(std::uint64_t number)
    {
        at_ = std::to_chars(at_, space_.data() + space_.size(), number).ptr;
        return *this;
    }
    // 0x and two lower-case hexadecimal digits.
    comment_text& hex(std::uint8_t byte)
    {
        constexpr char digits[] = "0123456789abcdef";
        *this << "0x";
        *at_++ = digits[byte >> 4];
        *at_++ = digits[byte & 0xF];
        return *this;
    }
    // The text made since `from`.
    std::string_view since(const char* from) const { return {from, static_cast<std::size_t>(at_ - from)}; }
    const char* here() const { return at_; }

private:
    std::span<char> space_;
    char* at_ = space_.data();
};

// Where the packets of a new capture in the followed file begin: their time
// goes back, and their record numbers begin again.
constexpr std::string_view new_capture_note = "a new capture began in the file: read again from its first record";

} // namespace

capture_writer::capture_writer(std::ostream& output, bool record_numbers) : pcap_(output)
{
    if (record_numbers)
        pcapng_.emplace(output);
}

void capture_writer::write_header()
{
    if (pcapng_)
        pcapng_->write_header("wpan2pcap-extcap " WPAN2PCAP_VERSION, extcap_interface_name, extcap_interface_display);
    else
        pcap_.write_global_header();
}

void capture_writer::write_packet(const capture_record& record)
{
    if (!pcapng_) {
        pcap_.write_packet(record);
        return;
    }
    comment_text text(text_);
    std::size_t count = 0;
    if (new_capture_) {
        comments_[count++] = new_capture_note;
        new_capture_ = false;
    }
    for (std::size_t i = 0; i < noted_count_; ++i) {
        const char* from = text.here();
        text << "record " << std::uint64_t{noted_[i]} << " skipped: invalid length";
        comments_[count++] = text.since(from);
    }
    if (unnoted_skips_ > 0) {
        const char* from = text.here();
        text << "and " << unnoted_skips_ << " more records skipped: invalid length, the last record " << std::uint64_t{last_unnoted_};
        comments_[count++] = text.since(from);
    }
    const char* from = text.here();
    text << "record " << std::uint64_t{record.number} << ", flags ";
    text.hex(record.flags);
    comments_[count++] = text.since(from);
    pcapng_->write_packet(record, std::span(comments_).first(count));
    forget_notes();
}

void capture_writer::note_skipped(std::uint32_t number)
{
    if (!pcapng_)
        return;
    if (noted_count_ < max_skip_notes) {
        noted_[noted_count_++] = number;
    } else {
        ++unnoted_skips_;
        last_unnoted_ = number;
    }
}

void capture_writer::begin_new_capture()
{
    forget_notes();
    new_capture_ = pcapng_.has_value();
}

void capture_writer::forget_notes()
{
    noted_count_ = 0;
    unnoted_skips_ = 0;
}

} // namespace wpan2pcap
