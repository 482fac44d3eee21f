#include "formats/capture_magic.hpp"

#include "formats/little_endian.hpp"
#include "formats/pcap_writer.hpp"
#include "formats/pcapng_writer.hpp"

namespace wpan2pcap {

namespace {

std::uint32_t byte_swapped(std::uint32_t value)
{
    return (value >> 24) | (value >> 8 & 0xFF00) | (value << 8 & 0xFF0000) | (value << 24);
}

bool either_order(std::uint32_t read, std::uint32_t magic) { return read == magic || read == byte_swapped(magic); }

} // namespace

std::optional<std::string_view> other_capture_format(std::span<const std::uint8_t> first_bytes)
{
    if (first_bytes.size() < 4)
        return std::nullopt;
    const std::uint32_t first = load_u32_le(first_bytes.first<4>());
    if (either_order(first, pcap_magic_number))
        return "a PCAP";
    if (either_order(first, pcap_nanosecond_magic_number))
        return "a nanosecond PCAP";
    // The block type reads the same in both byte orders; the byte-order
    // magic after the block's length tells a section header from chance.
    if (first == pcapng_section_header_type && first_bytes.size() >= capture_magic_size &&
        either_order(load_u32_le(first_bytes.subspan<8, 4>()), pcapng_byte_order_magic))
        return "a pcapng";
    return std::nullopt;
}

} // namespace wpan2pcap
