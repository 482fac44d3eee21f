#include "extcap/capture_writer.hpp"
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

// The comments of each Enhanced Packet Block in a pcapng capture, read back
// block by block.
std::vector<std::vector<std::string>> packet_comments(const std::string& capture)
{
    const auto u16 = [&capture](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(capture[at])) |
                                                         static_cast<std::size_t>(static_cast<unsigned char>(capture[at + 1])) << 8; };
    const auto u32 = [&u16](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::vector<std::string>> packets;
    for (std::size_t at = 0; at + 12 <= capture.size();) {
        const std::size_t type = u32(at), length = u32(at + 4);
        if (length < 12 || at + length > capture.size() || u32(at + length - 4) != length) {
            ADD_FAILURE() << "a block of length " << length << " at " << at;
            break;
        }
        if (type == pcapng_enhanced_packet_type) {
            std::vector<std::string> comments;
            for (std::size_t option = at + 28 + ((u32(at + 20) + 3) & ~std::size_t{3}); option + 4 <= at + length - 4;) {
                const std::size_t code = u16(option), size = u16(option + 2);
                if (code == pcapng_opt_endofopt)
                    break;
                if (code == pcapng_opt_comment)
                    comments.push_back(capture.substr(option + 4, size));
                option += 4 + ((size + 3) & ~std::size_t{3});
            }
            packets.push_back(comments);
        }
        at += length;
    }
    return packets;
}

// What a capture writer is handed: a packet of record n (flags 0x01), a
// record n skipped for its length, or a new capture begun.
struct writer_step {
    enum { packet, skipped, new_capture } what;
    std::uint32_t number = 0;
};

struct notes_case {
    const char* name;
    std::vector<writer_step> steps;
    std::vector<std::vector<std::string>> comments; // each packet's, in order
};

void PrintTo(const notes_case& c, std::ostream* os) { *os << c.name; }

std::vector<writer_step> skips(std::uint32_t first, std::uint32_t last)
{
    std::vector<writer_step> steps;
    for (std::uint32_t n = first; n <= last; ++n)
        steps.push_back({writer_step::skipped, n});
    return steps;
}

std::vector<writer_step> operator+(std::vector<writer_step> a, const std::vector<writer_step>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> notes(std::uint32_t first, std::uint32_t last)
{
    std::vector<std::string> lines;
    for (std::uint32_t n = first; n <= last; ++n)
        lines.push_back("record " + std::to_string(n) + " skipped: invalid length");
    return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class capture_writer_notes : public ::testing::TestWithParam<notes_case> {};

// pcapng: each packet carries its record's number and flags, and the notes
// of the records skipped since the packet before, read back from the blocks.
TEST_P(capture_writer_notes, each_packet_carries_the_notes_since_the_last)
{
    std::ostringstream out;
    capture_writer writer(out, true);
    writer.write_header();
    for (const writer_step& step : GetParam().steps) {
        const auto raw = make_record({.flags = 0x01, .number = step.number, .length = 4, .body = {'A', 'B', 'C', 'D'}});
        if (step.what == writer_step::packet) {
            const auto record = decode_record(raw);
            ASSERT_TRUE(record.has_value());
            writer.write_packet(*record);
        } else if (step.what == writer_step::skipped) {
            writer.note_skipped(step.number);
        } else {
            writer.begin_new_capture();
        }
    }
    EXPECT_EQ(packet_comments(out.str()), GetParam().comments);
}

INSTANTIATE_TEST_SUITE_P(
    pcapng, capture_writer_notes,
    ::testing::Values(
        notes_case{"a_packet_carries_its_number_and_flags", {{writer_step::packet, 7}}, {{"record 7, flags 0x01"}}},
        notes_case{"a_skipped_record_is_noted_on_the_next_packet",
                   {{writer_step::packet, 5}, {writer_step::skipped, 6}, {writer_step::packet, 7}, {writer_step::packet, 8}},
                   {{"record 5, flags 0x01"}, {"record 6 skipped: invalid length", "record 7, flags 0x01"}, {"record 8, flags 0x01"}}},
        // After sixteen notes the rest are counted; the count starts again
        // for the next run.
        notes_case{"two_long_runs_of_skipped_records",
                   skips(1, 17) + std::vector<writer_step>{{writer_step::packet, 18}} + skips(19, 38) +
                       std::vector<writer_step>{{writer_step::packet, 39}},
                   {notes(1, 16) + std::vector<std::string>{"and 1 more records skipped: invalid length, the last record 17",
                                                            "record 18, flags 0x01"},
                    notes(19, 34) + std::vector<std::string>{"and 4 more records skipped: invalid length, the last record 38",
                                                             "record 39, flags 0x01"}}},
        // A new capture in the followed file starts with no note of the old,
        // and its first packet says where it begins; the next says nothing more.
        notes_case{"a_new_capture_forgets_the_old_ones_notes",
                   skips(5, 6) + std::vector<writer_step>{{writer_step::new_capture}, {writer_step::packet, 1}, {writer_step::packet, 2}},
                   {{"a new capture began in the file: read again from its first record", "record 1, flags 0x01"},
                    {"record 2, flags 0x01"}}},
        notes_case{"a_new_capture_whose_first_records_are_skipped",
                   std::vector<writer_step>{{writer_step::packet, 9}, {writer_step::new_capture}, {writer_step::skipped, 1},
                                            {writer_step::packet, 2}},
                   {{"record 9, flags 0x01"},
                    {"a new capture began in the file: read again from its first record", "record 1 skipped: invalid length",
                     "record 2, flags 0x01"}}}),
    [](const auto& row) { return std::string(row.param.name); });

// PCAP keeps no notes: the converter's bytes.
TEST(capture_writer, pcap_is_the_converters)
{
    std::ostringstream out, converter;
    capture_writer writer(out, false);
    writer.write_header();
    writer.note_skipped(1);
    const auto raw = make_record({.flags = 0x01, .number = 2, .timestamp = 3'000'004, .length = 4, .body = {'A', 'B', 'C', 'D'}});
    const auto record = decode_record(raw);
    ASSERT_TRUE(record.has_value());
    writer.write_packet(*record);
    pcap_writer reference(converter);
    reference.write_global_header();
    reference.write_packet(*record);
    EXPECT_EQ(visible(out.str()), visible(converter.str()));
}

} // namespace
} // namespace wpan2pcap
