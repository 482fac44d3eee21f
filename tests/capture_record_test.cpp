#include "formats/capture_record.hpp"
#include "formats/little_endian.hpp"
#include "formats/other_formats.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
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

// Captures Wireshark reads itself, told by their headers; a record capture
// whose first record begins with such a magic number by chance is none.
TEST(other_format_of, tells_other_captures_by_their_headers)
{
    const auto bytes = [](std::initializer_list<int> values) {
        std::vector<std::uint8_t> out;
        for (const int v : values)
            out.push_back(static_cast<std::uint8_t>(v));
        return out;
    };
    // The first 20 bytes of PCAP's header after its magic: version 2.4, zone,
    // sigfigs, a snapshot length; little-endian, then big-endian.
    const auto pcap_le = [&bytes](std::initializer_list<int> magic) {
        std::vector<std::uint8_t> out = bytes(magic);
        for (const int v : {2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 195, 0, 0, 0})
            out.push_back(static_cast<std::uint8_t>(v));
        return out;
    };
    const auto pcap_be = [&bytes](std::initializer_list<int> magic) {
        std::vector<std::uint8_t> out = bytes(magic);
        for (const int v : {0, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 195})
            out.push_back(static_cast<std::uint8_t>(v));
        return out;
    };
    const std::vector<std::uint8_t> pcapng_le = bytes({0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0});
    const std::vector<std::uint8_t> pcapng_be = bytes({0x0A, 0x0D, 0x0D, 0x0A, 0, 0, 0, 28, 0x1A, 0x2B, 0x3C, 0x4D, 0, 1, 0, 0});
    const auto changed = [](std::vector<std::uint8_t> header, std::size_t at, std::uint8_t value) {
        header[at] = value;
        return header;
    };
    const auto with_snaplen = [](std::vector<std::uint8_t> header, std::uint32_t snaplen) {
        store_u32_le(std::span(header).subspan<16, 4>(), snaplen);
        return header;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> first_bytes;
        const char* format; // the row's name, or nullptr for none
    } cases[] = {
        {"pcap_little_endian", pcap_le({0xD4, 0xC3, 0xB2, 0xA1}), "a PCAP file"},
        {"pcap_big_endian", pcap_be({0xA1, 0xB2, 0xC3, 0xD4}), "a PCAP file"},
        {"nanosecond_pcap_little_endian", pcap_le({0x4D, 0x3C, 0xB2, 0xA1}), "a nanosecond PCAP file"},
        {"nanosecond_pcap_big_endian", pcap_be({0xA1, 0xB2, 0x3C, 0x4D}), "a nanosecond PCAP file"},
        {"pcap_snapshot_length_0", with_snaplen(pcap_le({0xD4, 0xC3, 0xB2, 0xA1}), 0), "a PCAP file"},
        {"pcap_largest_snapshot_length", with_snaplen(pcap_le({0xD4, 0xC3, 0xB2, 0xA1}), 0x10000000), "a PCAP file"},
        {"pcap_snapshot_length_past_any_link_type", with_snaplen(pcap_le({0xD4, 0xC3, 0xB2, 0xA1}), 0x10000001), nullptr},
        {"pcap_version_2_3", changed(pcap_le({0xD4, 0xC3, 0xB2, 0xA1}), 6, 3), nullptr},
        {"pcap_big_endian_header_in_little_endian_order", changed(pcap_be({0xD4, 0xC3, 0xB2, 0xA1}), 0, 0xD4), nullptr},
        {"pcap_header_cut_short", bytes({0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0}), nullptr},
        {"pcapng_little_endian", pcapng_le, "a pcapng file"},
        {"pcapng_big_endian", pcapng_be, "a pcapng file"},
        {"pcapng_block_type_without_its_byte_order_magic", changed(pcapng_le, 8, 0), nullptr},
        {"pcapng_section_shorter_than_its_header", changed(pcapng_le, 4, 24), nullptr},
        {"pcapng_section_length_not_a_multiple_of_4", changed(pcapng_le, 4, 30), nullptr},
        {"pcapng_version_2", changed(pcapng_le, 12, 2), nullptr},
        {"pcapng_block_type_cut_short", bytes({0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0}), nullptr},
        {"pcap_magic_cut_short", bytes({0xD4, 0xC3, 0xB2}), nullptr},
        {"nothing", {}, nullptr},
    };
    for (const auto& c : cases) {
        const other_format* found = other_format_of(c.first_bytes);
        EXPECT_EQ(found == nullptr ? "none" : found->name, std::string_view(c.format == nullptr ? "none" : c.format)) << c.name;
    }
    // Records whose first bytes are PCAP's magic: flags 0xD4 and a number
    // whose low three bytes are C3 B2 A1 (10,597,059, as a sniffer gave it),
    // or 0x02A1B2C3 with a time whose low bytes read as version 2.4.
    for (const std::uint32_t number : {0x00A1B2C3u, 0x02A1B2C3u, 0xA1B2C3D4u}) {
        const record_buffer record = make_record(
            {.flags = 0xD4, .number = number, .timestamp = 0x0000'0000'0004'0000 + 1'765'000'000'000'000, .length = 9, .body = {'A'}});
        EXPECT_EQ(other_format_of(record), nullptr) << "a record capture whose first record is numbered " << number;
    }
}

// The file reader for Wireshark keeps its own copy of the rows (it runs in
// Wireshark's Lua): the same magic numbers, checks and byte orders.
TEST(other_format_of, rows_are_the_file_readers_rows)
{
    std::ifstream reader(WPAN2PCAP_LUA_READER);
    ASSERT_TRUE(reader.is_open()) << WPAN2PCAP_LUA_READER;
    // { magic = "\212\195\178\161", check = "pcap", order = "little" },
    const std::regex row(R"lua(\{ magic = "((?:\\[0-9]{1,3}){4})", check = "(\w+)", order = "(\w+)" \})lua");
    std::vector<std::string> lua_rows;
    for (std::string line; std::getline(reader, line);) {
        std::smatch match;
        if (std::regex_search(line, match, row)) {
            // "\212\195..." as "212 195 ... "
            std::string magic = match[1].str().substr(1);
            std::replace(magic.begin(), magic.end(), '\\', ' ');
            magic += " ";
            lua_rows.push_back(magic + match[2].str() + " " + match[3].str());
        }
    }
    std::vector<std::string> rows;
    for (const other_format& format : other_formats) {
        std::string magic;
        for (const std::uint8_t byte : format.magic)
            magic += std::to_string(byte) + " ";
        rows.push_back(magic + (format.check == header_check::pcap ? "pcap" : "pcapng") + " " +
                       (format.order == header_order::little ? "little" : format.order == header_order::big ? "big" : "either"));
    }
    EXPECT_EQ(lua_rows, rows);
}

} // namespace
} // namespace wpan2pcap
