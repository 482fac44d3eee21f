#pragma once

// Bytes shown the way `cat -v` shows them, so that a terminal never receives
// a control byte: 0x20 to 0x7E as themselves, the other bytes below 0x20 as
// ^@ to ^_ (tab and line feed included), 0x7F as ^?, and bytes from 0x80 as
// M- followed by the same form of the byte less 0x80.

#include <cstddef>
#include <cstdint>

namespace wpan2pcap {

inline constexpr std::size_t max_visible_byte_length = 4; // M-^X

// Writes the visible form of `byte` at `out`; returns the end of it.
inline char* put_visible(char* out, std::uint8_t byte)
{
    if (byte >= 0x80) {
        *out++ = 'M';
        *out++ = '-';
        byte = static_cast<std::uint8_t>(byte - 0x80);
    }
    if (byte < 0x20 || byte == 0x7F) {
        *out++ = '^';
        *out++ = byte == 0x7F ? '?' : static_cast<char>(byte + 0x40);
    } else {
        *out++ = static_cast<char>(byte);
    }
    return out;
}

} // namespace wpan2pcap
