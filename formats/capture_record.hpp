#pragma once

// The input capture: a bare sequence of fixed-size records, no file header.
//
//   offset  width  field
//        0      1  flags      bit 0 set: `length` also counts the two FCS bytes
//        1      4  number     little-endian
//        5      8  timestamp  microseconds, little-endian
//       13      1  length
//       14    137  body       payload, then the two FCS bytes, then unused bytes

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <span>

namespace wpan2pcap {

inline constexpr std::size_t record_size = 151;
inline constexpr std::size_t flags_offset = 0;
inline constexpr std::size_t number_offset = 1;
inline constexpr std::size_t timestamp_offset = 5;
inline constexpr std::size_t length_offset = 13;
inline constexpr std::size_t body_offset = 14;
inline constexpr std::size_t body_size = record_size - body_offset;
inline constexpr std::size_t fcs_size = 2;
inline constexpr std::size_t max_payload_length = body_size - fcs_size;
inline constexpr std::uint8_t flag_fcs_counted = 0x01;

using record_buffer = std::array<std::uint8_t, record_size>;
using record_bytes = std::span<const std::uint8_t, record_size>;

// One decoded record. It views the caller's buffer rather than copying it, so
// decoding costs no allocation; it is valid while that buffer is unchanged.
struct capture_record {
    record_bytes raw;
    std::uint8_t flags;
    std::uint32_t number;
    std::uint64_t timestamp;
    std::uint8_t length;
    std::uint8_t payload_length;
    std::span<const std::uint8_t> payload;
    std::array<std::uint8_t, fcs_size> fcs;
};

// The fields before the body, which every whole record has, sound or not.
struct capture_record_header {
    std::uint8_t flags;
    std::uint32_t number;
    std::uint64_t timestamp;
    std::uint8_t length;
};

capture_record_header record_header(record_bytes raw);

// Reads the next record with one read request. False when fewer than
// record_size bytes arrived: the end of the input, a trailing partial record
// or a read error (the stream's state tells which).
bool read_record(std::istream& input, record_buffer& buffer);

// Decodes a whole record. Empty when its payload and FCS would not fit in the
// body (payload_length + 2 > 137, or the FCS flag with a length below 2): such a
// record has no sound reading.
std::optional<capture_record> decode_record(record_bytes raw);

} // namespace wpan2pcap
