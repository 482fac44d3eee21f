#include "formats/pcapng_writer.hpp"

#include "formats/little_endian.hpp"

namespace wpan2pcap {

namespace {

constexpr std::size_t block_header_size = 8; // type and total length
constexpr std::size_t block_trailer_size = 4;

std::size_t padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.resize(out.size() + 2);
    store_u16_le(std::span(out).last<2>(), value);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.resize(out.size() + 4);
    store_u32_le(std::span(out).last<4>(), value);
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t value)
{
    out.resize(out.size() + 8);
    store_u64_le(std::span(out).last<8>(), value);
}

// The bytes, then zeros up to a multiple of four.
void put_padded(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(out.size() + padded(bytes.size()) - bytes.size());
}

void put_option(std::vector<std::uint8_t>& out, std::uint16_t code, std::span<const std::uint8_t> value)
{
    put_u16(out, code);
    put_u16(out, static_cast<std::uint16_t>(value.size()));
    put_padded(out, value);
}

void put_text_option(std::vector<std::uint8_t>& out, std::uint16_t code, std::string_view text)
{
    put_option(out, code, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void put_end_of_options(std::vector<std::uint8_t>& out)
{
    put_u16(out, pcapng_opt_endofopt);
    put_u16(out, 0);
}

} // namespace

void pcapng_writer::put_block(std::uint32_t type)
{
    // block_ holds the body after room for the header; the lengths go in now.
    const auto total = static_cast<std::uint32_t>(block_.size() + block_trailer_size);
    store_u32_le(std::span(block_).first<4>(), type);
    store_u32_le(std::span(block_).subspan<4, 4>(), total);
    put_u32(block_, total);
    output_.write(reinterpret_cast<const char*>(block_.data()), static_cast<std::streamsize>(block_.size()));
}

void pcapng_writer::write_header(std::string_view application)
{
    block_.assign(block_header_size, 0);
    put_u32(block_, pcapng_byte_order_magic);
    put_u16(block_, pcapng_version_major);
    put_u16(block_, pcapng_version_minor);
    put_u64(block_, pcapng_section_length_unknown);
    put_text_option(block_, pcapng_shb_userappl, application);
    put_end_of_options(block_);
    put_block(pcapng_section_header_type);

    // No if_tsresol: microseconds are the default resolution.
    block_.assign(block_header_size, 0);
    put_u16(block_, pcapng_linktype_ieee802_15_4_withfcs);
    put_u16(block_, 0); // reserved
    put_u32(block_, pcapng_snaplen);
    put_block(pcapng_interface_description_type);
}

void pcapng_writer::write_packet(const capture_record& record, std::span<const std::string> comments)
{
    const auto captured_length = static_cast<std::uint32_t>(record.payload_length + fcs_size);
    block_.assign(block_header_size, 0);
    put_u32(block_, 0); // the one interface
    put_u32(block_, static_cast<std::uint32_t>(record.timestamp >> 32));
    put_u32(block_, static_cast<std::uint32_t>(record.timestamp));
    put_u32(block_, captured_length);
    put_u32(block_, captured_length);
    const std::size_t data = block_.size();
    block_.insert(block_.end(), record.payload.begin(), record.payload.end());
    block_.insert(block_.end(), record.fcs.begin(), record.fcs.end());
    block_.resize(data + padded(captured_length));
    for (const std::string& comment : comments)
        put_text_option(block_, pcapng_opt_comment, comment);
    std::uint8_t packet_id[8];
    store_u64_le(std::span(packet_id), record.number);
    put_option(block_, pcapng_epb_packetid, packet_id);
    put_end_of_options(block_);
    put_block(pcapng_enhanced_packet_type);
}

} // namespace wpan2pcap
