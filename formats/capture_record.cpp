#include "formats/capture_record.hpp"

#include "formats/little_endian.hpp"

namespace wpan2pcap {

bool read_record(std::istream& input, record_buffer& buffer)
{
    input.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    return input.gcount() == static_cast<std::streamsize>(buffer.size());
}

capture_record_header record_header(record_bytes raw)
{
    return {
        .flags = raw[flags_offset],
        .number = load_u32_le(raw.subspan<number_offset, 4>()),
        .timestamp = load_u64_le(raw.subspan<timestamp_offset, 8>()),
        .length = raw[length_offset],
    };
}

std::optional<capture_record> decode_record(record_bytes raw)
{
    const std::uint8_t flags = raw[flags_offset];
    const std::uint8_t length = raw[length_offset];
    // Signed, so that the FCS flag with a length of 0 or 1 cannot wrap around.
    const int payload_length = (flags & flag_fcs_counted) != 0 ? length - static_cast<int>(fcs_size) : length;
    if (payload_length < 0 || payload_length > static_cast<int>(max_payload_length))
        return std::nullopt;

    const std::size_t fcs_offset = body_offset + static_cast<std::size_t>(payload_length);
    return capture_record{
        .raw = raw,
        .flags = flags,
        .number = load_u32_le(raw.subspan<number_offset, 4>()),
        .timestamp = load_u64_le(raw.subspan<timestamp_offset, 8>()),
        .length = length,
        .payload_length = static_cast<std::uint8_t>(payload_length),
        .payload = raw.subspan(body_offset, static_cast<std::size_t>(payload_length)),
        .fcs = {raw[fcs_offset], raw[fcs_offset + 1]},
    };
}

} // namespace wpan2pcap
