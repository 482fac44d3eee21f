#include "formats/capture_record.hpp"
#include "formats/capture_magic.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace wpan2pcap {
namespace {

using test::make_record;

struct decode_case {
    const char* name;
    std::uint8_t flags;
    std::uint8_t length;
    std::size_t payload_length;
    std::size_t fcs_offset;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const decode_case& c, std::ostream* os) { *os << c.name; }

class decode_boundaries : public ::testing::TestWithParam<decode_case> {};

// Every body byte carries its own offset, so the payload and FCS positions
// show in the decoded values.
TEST_P(decode_boundaries, payload_and_fcs_lie_where_the_length_says)
{
    const decode_case& c = GetParam();
    test::bytes body;
    for (std::size_t offset = body_offset; offset < record_size; ++offset)
        body.push_back(static_cast<std::uint8_t>(offset));
    const record_buffer raw = make_record({.flags = c.flags, .length = c.length, .body = body});

    const auto record = decode_record(raw);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->flags, c.flags);
    EXPECT_EQ(record->length, c.length);
    EXPECT_EQ(record->payload_length, c.payload_length);
    ASSERT_EQ(record->payload.size(), c.payload_length);
    if (!record->payload.empty()) {
        EXPECT_EQ(record->payload.front(), body_offset);
        EXPECT_EQ(record->payload.back(), body_offset + c.payload_length - 1);
    }
    EXPECT_EQ(record->fcs[0], c.fcs_offset);
    EXPECT_EQ(record->fcs[1], c.fcs_offset + 1);
    EXPECT_EQ(record->raw.data(), raw.data());
}

INSTANTIATE_TEST_SUITE_P(
    lengths, decode_boundaries,
    ::testing::Values(decode_case{"length_without_fcs", 0x00, 20, 20, 34},
                      decode_case{"length_with_fcs", 0x01, 20, 18, 32},
                      decode_case{"upper_bits_ignored_clear", 0xFE, 20, 20, 34},
                      decode_case{"upper_bits_ignored_set", 0xFF, 20, 18, 32},
                      decode_case{"empty_without_fcs", 0x00, 0, 0, 14},
                      decode_case{"empty_with_fcs", 0x01, 2, 0, 14},
                      decode_case{"largest_without_fcs", 0x00, 135, 135, 149},
                      decode_case{"largest_with_fcs", 0x01, 137, 135, 149}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(decode_record, rejects_lengths_whose_fcs_would_overrun_the_record)
{
    const struct {
        std::uint8_t flags;
        std::uint8_t length;
    } cases[] = {{0x01, 0}, {0x01, 1}, {0xFF, 1}, {0x01, 138}, {0x01, 255}, {0x00, 136}, {0x00, 255}, {0xFE, 136}};
    for (const auto& c : cases) {
        const record_buffer raw = make_record({.flags = c.flags, .length = c.length});
        EXPECT_FALSE(decode_record(raw).has_value()) << "flags " << int{c.flags} << " length " << int{c.length};
    }
}

TEST(decode_record, reads_number_and_timestamp_little_endian)
{
    record_buffer raw = make_record({});
    const std::uint8_t fields[] = {0x01, 0x00, 0x00, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81};
    std::copy(std::begin(fields), std::end(fields), raw.begin() + 1);
    const auto record = decode_record(raw);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->number, 1u);
    EXPECT_EQ(record->timestamp, 0x8102030405060708u);

    raw[4] = 0xF0;
    EXPECT_EQ(decode_record(raw)->number, 0xF0000001u);
}

TEST(read_record, delivers_only_whole_records)
{
    const struct {
        std::size_t input_size;
        int whole_records;
    } cases[] = {{0, 0}, {150, 0}, {151, 1}, {300, 1}, {302, 2}, {151 * 5 + 1, 5}};
    for (const auto& c : cases) {
        std::string data(c.input_size, '\0');
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i / record_size + 1); // each record filled with its position
        std::istringstream input(data);
        record_buffer buffer{};
        int count = 0;
        while (read_record(input, buffer)) {
            ++count;
            EXPECT_EQ(buffer.front(), count);
            EXPECT_EQ(buffer.back(), count);
        }
        EXPECT_EQ(count, c.whole_records) << "input of " << c.input_size << " bytes";
        EXPECT_FALSE(input.bad());
    }
}

// Captures Wireshark reads itself, told by their magic numbers alone; a
// record capture's first record is none of them.
TEST(other_capture_format, is_known_by_its_magic_numbers)
{
    const auto bytes = [](std::initializer_list<int> values) {
        std::vector<std::uint8_t> out;
        for (const int v : values)
            out.push_back(static_cast<std::uint8_t>(v));
        return out;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> first_bytes;
        std::optional<std::string_view> format;
    } cases[] = {
        {"pcap_little_endian", bytes({0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0}), "a PCAP"},
        {"pcap_big_endian", bytes({0xA1, 0xB2, 0xC3, 0xD4, 0, 2, 0, 4}), "a PCAP"},
        {"nanosecond_pcap_little_endian", bytes({0x4D, 0x3C, 0xB2, 0xA1}), "a nanosecond PCAP"},
        {"nanosecond_pcap_big_endian", bytes({0xA1, 0xB2, 0x3C, 0x4D}), "a nanosecond PCAP"},
        {"pcapng_little_endian", bytes({0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 0x4D, 0x3C, 0x2B, 0x1A}), "a pcapng"},
        {"pcapng_big_endian", bytes({0x0A, 0x0D, 0x0D, 0x0A, 0, 0, 0, 28, 0x1A, 0x2B, 0x3C, 0x4D}), "a pcapng"},
        {"pcapng_block_type_without_its_byte_order_magic", bytes({0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 0, 0, 0, 0}), std::nullopt},
        {"pcapng_block_type_cut_short", bytes({0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0}), std::nullopt},
        {"pcap_magic_cut_short", bytes({0xD4, 0xC3, 0xB2}), std::nullopt},
        {"nothing", {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(other_capture_format(c.first_bytes), c.format) << c.name;
    const record_buffer record = make_record({.flags = 0x01, .number = 0xA1B2C3D4, .length = 4, .body = {'A', 'B', 'C', 'D'}});
    EXPECT_EQ(other_capture_format(record), std::nullopt) << "a record capture";
}

} // namespace
} // namespace wpan2pcap
