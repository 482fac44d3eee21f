#include "formats/pcapng_writer.hpp"

#include "formats/little_endian.hpp"

#include <algorithm>

namespace wpan2pcap {

namespace {

constexpr std::size_t block_header_size = 8; // type and total length
constexpr std::size_t block_trailer_size = 4;
// Room for any packet block with a few kilobytes of comments.
constexpr std::size_t usual_block_capacity = 8192;

std::size_t padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

} // namespace

pcapng_writer::pcapng_writer(std::ostream& output) : output_(output), block_(usual_block_capacity) {}

void pcapng_writer::begin_block() { size_ = block_header_size; }

void pcapng_writer::put_u16(std::uint16_t value)
{
    store_u16_le(std::span(block_).subspan(size_).first<2>(), value);
    size_ += 2;
}

void pcapng_writer::put_u32(std::uint32_t value)
{
    store_u32_le(std::span(block_).subspan(size_).first<4>(), value);
    size_ += 4;
}

void pcapng_writer::put_u64(std::uint64_t value)
{
    store_u64_le(std::span(block_).subspan(size_).first<8>(), value);
    size_ += 8;
}

// The bytes, then zeros up to a multiple of four.
void pcapng_writer::put_padded(std::span<const std::uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), block_.begin() + static_cast<std::ptrdiff_t>(size_));
    const std::size_t end = size_ + padded(bytes.size());
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(size_ + bytes.size()), block_.begin() + static_cast<std::ptrdiff_t>(end), 0);
    size_ = end;
}

void pcapng_writer::put_option(std::uint16_t code, std::span<const std::uint8_t> value)
{
    // Room for this option, the end of options and the trailer; an unusually
    // long one grows the block once.
    const std::size_t needed = size_ + 4 + padded(value.size()) + 4 + block_trailer_size;
    if (needed > block_.size())
        block_.resize(needed);
    put_u16(code);
    put_u16(static_cast<std::uint16_t>(value.size()));
    put_padded(value);
}

void pcapng_writer::put_text_option(std::uint16_t code, std::string_view text)
{
    put_option(code, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void pcapng_writer::put_end_of_options()
{
    put_u16(pcapng_opt_endofopt);
    put_u16(0);
}

void pcapng_writer::end_block(std::uint32_t type)
{
    // The lengths go in now that the body is known.
    const auto total = static_cast<std::uint32_t>(size_ + block_trailer_size);
    store_u32_le(std::span(block_).first<4>(), type);
    store_u32_le(std::span(block_).subspan<4, 4>(), total);
    put_u32(total);
    output_.write(reinterpret_cast<const char*>(block_.data()), static_cast<std::streamsize>(size_));
}

void pcapng_writer::write_header(std::string_view application, std::string_view interface_name,
                                 std::string_view interface_description)
{
    begin_block();
    put_u32(pcapng_byte_order_magic);
    put_u16(pcapng_version_major);
    put_u16(pcapng_version_minor);
    put_u64(pcapng_section_length_unknown);
    put_text_option(pcapng_shb_userappl, application);
    put_end_of_options();
    end_block(pcapng_section_header_type);

    // No if_tsresol: microseconds are the default resolution.
    begin_block();
    put_u16(pcapng_linktype_ieee802_15_4_withfcs);
    put_u16(0); // reserved
    put_u32(pcapng_snaplen);
    put_text_option(pcapng_if_name, interface_name);
    put_text_option(pcapng_if_description, interface_description);
    put_end_of_options();
    end_block(pcapng_interface_description_type);
}

void pcapng_writer::write_packet(const capture_record& record, std::span<const std::string_view> comments)
{
    const auto captured_length = static_cast<std::uint32_t>(record.payload_length + fcs_size);
    begin_block();
    put_u32(0); // the one interface
    put_u32(static_cast<std::uint32_t>(record.timestamp >> 32));
    put_u32(static_cast<std::uint32_t>(record.timestamp));
    put_u32(captured_length);
    put_u32(captured_length);
    // The frame: payload and FCS as stored, padded.
    auto frame = block_.begin() + static_cast<std::ptrdiff_t>(size_);
    frame = std::copy(record.payload.begin(), record.payload.end(), frame);
    std::copy(record.fcs.begin(), record.fcs.end(), frame);
    const std::size_t frame_end = size_ + padded(captured_length);
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(size_ + captured_length),
              block_.begin() + static_cast<std::ptrdiff_t>(frame_end), 0);
    size_ = frame_end;
    for (const std::string_view comment : comments)
        put_text_option(pcapng_opt_comment, comment);
    std::uint8_t packet_id[8];
    store_u64_le(std::span(packet_id), record.number);
    put_option(pcapng_epb_packetid, packet_id);
    put_end_of_options();
    end_block(pcapng_enhanced_packet_type);
}

} // namespace wpan2pcap
