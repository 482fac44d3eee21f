#include "formats/other_formats.hpp"

#include <algorithm>

namespace wpan2pcap {

namespace {

std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t at, bool big)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * (big ? 3 - i : i));
    return value;
}

std::uint16_t load_u16(std::span<const std::uint8_t> bytes, std::size_t at, bool big)
{
    return static_cast<std::uint16_t>(big ? bytes[at] << 8 | bytes[at + 1] : bytes[at] | bytes[at + 1] << 8);
}

// PCAP: magic, version major and minor, time zone, sigfigs, snapshot length.
bool pcap_header_holds(std::span<const std::uint8_t> bytes, bool big)
{
    return bytes.size() >= 20 && load_u16(bytes, 4, big) == pcap_version_major && load_u16(bytes, 6, big) == pcap_version_minor &&
           load_u32(bytes, 16, big) <= pcap_largest_snaplen;
}

// pcapng's section header: block type, block length, byte-order magic (which
// tells the order), version major.
bool pcapng_header_holds(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 14)
        return false;
    const bool big = load_u32(bytes, 8, true) == pcapng_byte_order_magic;
    if (!big && load_u32(bytes, 8, false) != pcapng_byte_order_magic)
        return false;
    const std::uint32_t length = load_u32(bytes, 4, big);
    return length >= pcapng_smallest_section_header && length % 4 == 0 && load_u16(bytes, 12, big) == pcapng_version_major;
}

} // namespace

const other_format* other_format_of(std::span<const std::uint8_t> first_bytes)
{
    if (first_bytes.size() < 4)
        return nullptr;
    for (const other_format& format : other_formats) {
        if (!std::equal(format.magic.begin(), format.magic.end(), first_bytes.begin()))
            continue;
        const bool holds = format.check == header_check::pcap ? pcap_header_holds(first_bytes, format.order == header_order::big)
                                                              : pcapng_header_holds(first_bytes);
        if (holds)
            return &format;
    }
    return nullptr;
}

} // namespace wpan2pcap
