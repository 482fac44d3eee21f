#include "formats/pcap_writer.hpp"
#include "formats/pcapng_writer.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace wpan2pcap {
namespace {

using test::as_string;
using test::make_record;
using test::visible;

std::string packet_bytes(const record_buffer& raw)
{
    std::ostringstream out;
    const auto record = decode_record(raw);
    if (!record) {
        ADD_FAILURE() << "the record does not decode";
        return {};
    }
    pcap_writer(out).write_packet(*record);
    return out.str();
}

TEST(pcap_writer, global_header_is_version_2_4_microseconds_snaplen_128_link_195)
{
    std::ostringstream out;
    pcap_writer(out).write_global_header();
    EXPECT_EQ(visible(out.str()), visible(as_string({0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                     0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00})));
}

TEST(pcap_writer, packet_record_is_header_payload_then_fcs)
{
    const auto raw = make_record({.flags = 0x01, .number = 9, .timestamp = 1'000'000, .length = 5,
                                  .body = {0x41, 0x42, 0x43, 0x11, 0x22, 0x99, 0x98}, .fill = 0x77});
    EXPECT_EQ(visible(packet_bytes(raw)),
              visible(as_string({0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x05, 0x00,
                                 0x00, 0x00, 0x41, 0x42, 0x43, 0x11, 0x22})));
}

TEST(pcap_writer, timestamp_splits_into_seconds_and_microseconds)
{
    const struct {
        std::uint64_t timestamp;
        std::uint32_t ts_sec;
        std::uint32_t ts_usec;
    } cases[] = {
        {0, 0, 0},
        {999'999, 0, 999'999},
        {1'000'000, 1, 0},
        {1'000'123, 1, 123},
        {1'765'000'000'000'000, 1'765'000'000, 0},
        {4'294'967'295'999'999, 4'294'967'295, 999'999},
        {4'294'967'296'000'000, 0, 0}, // the seconds field keeps the low 32 bits
        {4'294'967'297'000'042, 1, 42},
        {UINT64_MAX, static_cast<std::uint32_t>(UINT64_MAX / 1'000'000), 551'615},
    };
    for (const auto& c : cases) {
        const std::string packet = packet_bytes(make_record({.flags = 0x00, .timestamp = c.timestamp, .length = 0}));
        ASSERT_EQ(packet.size(), 18u);
        const auto field = [&packet](std::size_t offset) {
            std::uint32_t value = 0;
            for (std::size_t i = 0; i < 4; ++i)
                value |= static_cast<std::uint32_t>(static_cast<unsigned char>(packet[offset + i])) << (8 * i);
            return value;
        };
        EXPECT_EQ(field(0), c.ts_sec) << c.timestamp;
        EXPECT_EQ(field(4), c.ts_usec) << c.timestamp;
    }
}

TEST(pcap_writer, frame_length_counts_payload_and_fcs_even_above_snaplen)
{
    const struct {
        std::uint8_t flags;
        std::uint8_t length;
        std::size_t frame_length;
    } cases[] = {{0x01, 2, 2}, {0x00, 0, 2}, {0x01, 128, 128}, {0x00, 127, 129}, {0x01, 137, 137}, {0x00, 135, 137}};
    for (const auto& c : cases) {
        test::bytes body(137);
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<std::uint8_t>(i + 1);
        const std::string packet = packet_bytes(make_record({.flags = c.flags, .length = c.length, .body = body}));
        ASSERT_EQ(packet.size(), 16 + c.frame_length);
        EXPECT_EQ(static_cast<unsigned char>(packet[8]), c.frame_length);
        EXPECT_EQ(packet.substr(8, 4), packet.substr(12, 4)); // incl_len == orig_len
        // The frame is the body's first frame_length bytes, in stored order.
        for (std::size_t i = 0; i < c.frame_length; ++i)
            ASSERT_EQ(static_cast<unsigned char>(packet[16 + i]), i + 1) << "byte " << i;
    }
}

// pcapng blocks, worked out by hand from the format's layout.
TEST(pcapng_writer, header_is_a_section_naming_the_program_and_one_interface)
{
    std::ostringstream out;
    pcapng_writer(out).write_header("wpan2pcap-extcap 9.9", "wpan2pcap", "IEEE 802.15.4 record capture");
    const std::string section = as_string({0x0A, 0x0D, 0x0D, 0x0A, 0x38, 0, 0, 0, // type, total length 56
                                           0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0,     // byte-order magic, version 1.0
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, // section length unknown
                                           4, 0, 20, 0}) +                          // shb_userappl, 20 bytes
                                "wpan2pcap-extcap 9.9" + as_string({0, 0, 0, 0, 0x38, 0, 0, 0});
    const std::string interface = as_string({1, 0, 0, 0, 0x48, 0, 0, 0,      // type, total length 72
                                             0xC3, 0, 0, 0, 0x80, 0, 0, 0,   // link type 195, reserved, snaplen 128
                                             2, 0, 9, 0}) +                  // if_name, 9 bytes, padded
                                  "wpan2pcap" + as_string({0, 0, 0, 3, 0, 28, 0}) + // if_description, 28 bytes
                                  "IEEE 802.15.4 record capture" + as_string({0, 0, 0, 0, 0x48, 0, 0, 0});
    EXPECT_EQ(visible(out.str()), visible(section + interface));
}

TEST(pcapng_writer, packet_block_keeps_all_64_bits_of_time_the_number_and_padded_comments)
{
    // 0x12_3456789A microseconds: past 2^32 seconds, which PCAP cannot hold.
    const auto raw = make_record({.flags = 0x01, .number = 7, .timestamp = 0x123456789A, .length = 5,
                                  .body = {0x41, 0x42, 0x43, 0x11, 0x22, 0x99}, .fill = 0x77});
    const auto record = decode_record(raw);
    ASSERT_TRUE(record.has_value());
    std::ostringstream out;
    const std::vector<std::string_view> comments = {"x", "record 7, flags 0x01"};
    pcapng_writer(out).write_packet(*record, comments);
    const std::string block = as_string({6, 0, 0, 0, 0x58, 0, 0, 0,            // type, total length 88
                                         0, 0, 0, 0,                           // interface 0
                                         0x12, 0, 0, 0, 0x9A, 0x78, 0x56, 0x34, // time, high then low half
                                         5, 0, 0, 0, 5, 0, 0, 0,               // captured and original length
                                         0x41, 0x42, 0x43, 0x11, 0x22, 0, 0, 0, // frame and FCS, padded
                                         1, 0, 1, 0, 'x', 0, 0, 0,             // opt_comment, padded
                                         1, 0, 20, 0}) +
                              "record 7, flags 0x01" +
                              as_string({5, 0, 8, 0, 7, 0, 0, 0, 0, 0, 0, 0,    // epb_packetid 7
                                         0, 0, 0, 0,                           // end of options
                                         0x58, 0, 0, 0});
    EXPECT_EQ(visible(out.str()), visible(block));
}

} // namespace
} // namespace wpan2pcap
