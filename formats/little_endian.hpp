#pragma once

// Both file formats store every multi-byte integer little-endian. These
// helpers spell that out byte by byte, so the code means the same on any host
// and never depends on struct packing or alignment.

#include <cstddef>
#include <cstdint>
#include <span>

namespace wpan2pcap {

inline std::uint32_t load_u32_le(std::span<const std::uint8_t, 4> bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8
         | static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint64_t load_u64_le(std::span<const std::uint8_t, 8> bytes)
{
    return static_cast<std::uint64_t>(load_u32_le(bytes.first<4>()))
         | static_cast<std::uint64_t>(load_u32_le(bytes.last<4>())) << 32;
}

inline void store_u16_le(std::span<std::uint8_t, 2> out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void store_u32_le(std::span<std::uint8_t, 4> out, std::uint32_t value)
{
    store_u16_le(out.first<2>(), static_cast<std::uint16_t>(value));
    store_u16_le(out.last<2>(), static_cast<std::uint16_t>(value >> 16));
}

inline void store_u64_le(std::span<std::uint8_t, 8> out, std::uint64_t value)
{
    store_u32_le(out.first<4>(), static_cast<std::uint32_t>(value));
    store_u32_le(out.last<4>(), static_cast<std::uint32_t>(value >> 32));
}

} // namespace wpan2pcap
