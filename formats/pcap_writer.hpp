#pragma once

// Classic PCAP output (version 2.4, microsecond timestamps, little-endian):
// a 24-byte global header, then per frame a 16-byte packet header followed by
// the payload and its two FCS bytes.

#include "formats/capture_record.hpp"

#include <cstddef>
#include <cstdint>
#include <ostream>

namespace wpan2pcap {

inline constexpr std::uint32_t pcap_magic_number = 0xa1b2c3d4;
inline constexpr std::uint16_t pcap_version_major = 2;
inline constexpr std::uint16_t pcap_version_minor = 4;
inline constexpr std::uint32_t pcap_thiszone = 0;
inline constexpr std::uint32_t pcap_sigfigs = 0;
inline constexpr std::uint32_t pcap_snaplen = 128;
inline constexpr std::uint32_t linktype_ieee802_15_4_withfcs = 195;
inline constexpr std::size_t pcap_global_header_size = 24;
inline constexpr std::size_t pcap_packet_header_size = 16;
inline constexpr std::uint64_t microseconds_per_second = 1'000'000;
inline constexpr std::size_t max_packet_record_size = pcap_packet_header_size + max_payload_length + fcs_size;

// Write results are deliberately not checked here: a failing stream keeps its
// error state, and whoever closes the output looks at it once at the end.
class pcap_writer {
public:
    explicit pcap_writer(std::ostream& output) : output_(output) {}

    void write_global_header();
    void write_packet(const capture_record& record);

private:
    std::ostream& output_;
};

} // namespace wpan2pcap
