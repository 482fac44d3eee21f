#include "formats/pcap_writer.hpp"

#include "formats/little_endian.hpp"

#include <algorithm>
#include <array>
#include <span>

namespace wpan2pcap {

namespace {

void put(std::ostream& output, std::span<const std::uint8_t> bytes)
{
    output.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

void pcap_writer::write_global_header()
{
    std::array<std::uint8_t, pcap_global_header_size> header{};
    const std::span<std::uint8_t, pcap_global_header_size> out{header};
    store_u32_le(out.subspan<0, 4>(), pcap_magic_number);
    store_u16_le(out.subspan<4, 2>(), pcap_version_major);
    store_u16_le(out.subspan<6, 2>(), pcap_version_minor);
    store_u32_le(out.subspan<8, 4>(), pcap_thiszone);
    store_u32_le(out.subspan<12, 4>(), pcap_sigfigs);
    store_u32_le(out.subspan<16, 4>(), pcap_snaplen);
    store_u32_le(out.subspan<20, 4>(), linktype_ieee802_15_4_withfcs);
    put(output_, header);
}

void pcap_writer::write_packet(const capture_record& record)
{
    // The whole packet record is assembled first and handed over in one write.
    std::array<std::uint8_t, max_packet_record_size> packet;
    const std::span<std::uint8_t, max_packet_record_size> out{packet};
    const auto captured_length = static_cast<std::uint32_t>(record.payload_length + fcs_size);
    // The seconds field is 32 bits wide; later times keep the quotient's low 32 bits.
    store_u32_le(out.subspan<0, 4>(), static_cast<std::uint32_t>(record.timestamp / microseconds_per_second));
    store_u32_le(out.subspan<4, 4>(), static_cast<std::uint32_t>(record.timestamp % microseconds_per_second));
    store_u32_le(out.subspan<8, 4>(), captured_length);
    store_u32_le(out.subspan<12, 4>(), captured_length);
    auto frame = std::ranges::copy(record.payload, packet.begin() + pcap_packet_header_size).out;
    frame = std::ranges::copy(record.fcs, frame).out;
    put(output_, out.first(static_cast<std::size_t>(frame - packet.begin())));
}

} // namespace wpan2pcap
