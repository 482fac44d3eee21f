#pragma once

// Capture files of the formats Wireshark reads itself, known by their magic
// numbers: PCAP (either byte order, microsecond or nanosecond times) and
// pcapng (a Section Header Block, in either byte order). A record capture
// has no magic number of its own, so only these are looked for: the first
// record of a record capture would have to hold such numbers by chance.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace wpan2pcap {

inline constexpr std::uint32_t pcap_nanosecond_magic_number = 0xa1b23c4d;
// Enough of a file's first bytes to tell: pcapng's byte-order magic ends here.
inline constexpr std::size_t capture_magic_size = 12;

// "a PCAP", "a nanosecond PCAP" or "a pcapng" when `first_bytes` (a file's
// first bytes, however many: only the first capture_magic_size are looked
// at) begin such a file; nothing otherwise.
std::optional<std::string_view> other_capture_format(std::span<const std::uint8_t> first_bytes);

} // namespace wpan2pcap
