#pragma once

// pcapng output (little-endian), for a capture that keeps what PCAP cannot:
// a Section Header Block naming the program, one Interface Description Block
// (IEEE 802.15.4 frames with FCS, microsecond timestamps, the interface's
// name and description), then per frame an Enhanced Packet Block with the
// full 64-bit timestamp, the record's number as its packet ID and comments.
// Every block is handed to the stream in one write, so a pipe's reader is
// given whole blocks only.
//
//   block:  type (4), total length (4), body, total length again (4)
//   option: code (2), length (2), value padded to 4 bytes; code 0 ends them

#include "formats/capture_record.hpp"
#include "formats/pcap_writer.hpp"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string_view>
#include <vector>

namespace wpan2pcap {

inline constexpr std::uint32_t pcapng_section_header_type = 0x0A0D0D0A;
inline constexpr std::uint32_t pcapng_interface_description_type = 0x00000001;
inline constexpr std::uint32_t pcapng_enhanced_packet_type = 0x00000006;
inline constexpr std::uint32_t pcapng_byte_order_magic = 0x1A2B3C4D;
inline constexpr std::uint16_t pcapng_version_major = 1;
inline constexpr std::uint16_t pcapng_version_minor = 0;
inline constexpr std::uint64_t pcapng_section_length_unknown = 0xFFFFFFFFFFFFFFFF;
inline constexpr std::uint16_t pcapng_opt_endofopt = 0;
inline constexpr std::uint16_t pcapng_opt_comment = 1;
inline constexpr std::uint16_t pcapng_shb_userappl = 4;
inline constexpr std::uint16_t pcapng_if_name = 2;
inline constexpr std::uint16_t pcapng_if_description = 3;
inline constexpr std::uint16_t pcapng_epb_packetid = 5;
inline constexpr std::uint16_t pcapng_linktype_ieee802_15_4_withfcs = 195;
// As the PCAP header's: longer frames are written whole, as PCAP writes them.
inline constexpr std::uint32_t pcapng_snaplen = pcap_snaplen;

class pcapng_writer {
public:
    explicit pcapng_writer(std::ostream& output);

    // The Section Header Block naming `application`, then the one Interface
    // Description Block, with the interface's name and description.
    void write_header(std::string_view application, std::string_view interface_name, std::string_view interface_description);
    // An Enhanced Packet Block for the record: its number as the packet ID,
    // and `comments` (each an opt_comment, in this order).
    void write_packet(const capture_record& record, std::span<const std::string_view> comments);

private:
    void begin_block();
    void put_u16(std::uint16_t value);
    void put_u32(std::uint32_t value);
    void put_u64(std::uint64_t value);
    void put_padded(std::span<const std::uint8_t> bytes);
    void put_option(std::uint16_t code, std::span<const std::uint8_t> value);
    void put_text_option(std::uint16_t code, std::string_view text);
    void put_end_of_options();
    void end_block(std::uint32_t type);

    std::ostream& output_;
    // The block being assembled. It is sized once for a packet block with
    // its usual comments, so a packet costs no allocation.
    std::vector<std::uint8_t> block_;
    std::size_t size_ = 0;
};

} // namespace wpan2pcap
