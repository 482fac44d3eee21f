#pragma once

// Capture files of other formats that a record capture may be mistaken for,
// known by their first bytes: one row each, with what to tell the person who
// gave one. A record capture has no magic number of its own, so its first
// record could begin with such a magic number by chance: a row asks for more
// of the header than the magic (PCAP's version and a snapshot length a
// capture may have, pcapng's byte-order magic, section length and version),
// so that no record capture is ever taken for one. The file reader for
// Wireshark keeps the same rows; a test compares the two.

#include "formats/pcap_writer.hpp"
#include "formats/pcapng_writer.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace wpan2pcap {

// What of the header must hold besides the magic.
enum class header_check {
    pcap,   // version 2.4, and a snapshot length up to pcap_largest_snaplen
    pcapng, // a section header's byte-order magic, sound length and version 1
};
enum class header_order { little, big, either };

struct other_format {
    std::array<std::uint8_t, 4> magic; // the file's first four bytes
    header_check check;
    header_order order;                // the byte order of the header's fields
    std::string_view name;             // "a PCAP file"
    std::string_view advice;           // what to do with it instead
    std::string_view where;            // where in Wireshark to do it, if there
};

inline constexpr std::array<std::uint8_t, 4> little_endian_bytes(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24)};
}
inline constexpr std::array<std::uint8_t, 4> big_endian_bytes(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value)};
}

inline constexpr std::uint32_t pcap_nanosecond_magic_number = 0xa1b23c4d;
// The largest snapshot length Wireshark gives any link type (256 MiB).
inline constexpr std::uint32_t pcap_largest_snaplen = 0x10000000;
// The smallest section header block: no options.
inline constexpr std::uint32_t pcapng_smallest_section_header = 28;

inline constexpr std::string_view open_in_wireshark = "open it in Wireshark directly";
inline constexpr std::string_view wireshark_open_menu = "File > Open";

inline constexpr other_format other_formats[] = {
    {little_endian_bytes(pcap_magic_number), header_check::pcap, header_order::little, "a PCAP file", open_in_wireshark, wireshark_open_menu},
    {big_endian_bytes(pcap_magic_number), header_check::pcap, header_order::big, "a PCAP file", open_in_wireshark, wireshark_open_menu},
    {little_endian_bytes(pcap_nanosecond_magic_number), header_check::pcap, header_order::little, "a nanosecond PCAP file",
     open_in_wireshark, wireshark_open_menu},
    {big_endian_bytes(pcap_nanosecond_magic_number), header_check::pcap, header_order::big, "a nanosecond PCAP file",
     open_in_wireshark, wireshark_open_menu},
    // The block type reads the same in both byte orders.
    {little_endian_bytes(pcapng_section_header_type), header_check::pcapng, header_order::either, "a pcapng file", open_in_wireshark,
     wireshark_open_menu},
};

// Enough of a file's first bytes to tell them all: PCAP's header.
inline constexpr std::size_t other_format_header_size = 24;

// The row whose header `first_bytes` begin (a file's first bytes, however
// many: a header cut short is none), or nullptr.
const other_format* other_format_of(std::span<const std::uint8_t> first_bytes);

} // namespace wpan2pcap
