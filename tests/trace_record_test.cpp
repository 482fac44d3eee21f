#include "trace/trace_record.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace wpan2pcap {
namespace {

using test::make_record;
using test::visible;
using namespace std::string_literals;

struct trace_case {
    const char* name;
    test::record_fields fields;
    std::string expected;
    trace_style style = trace_style::raw;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const trace_case& c, std::ostream* os) { *os << c.name; }

const std::string all_137_body_bytes = std::string(137, 'x');

class trace_block : public ::testing::TestWithParam<trace_case> {};

TEST_P(trace_block, shows_the_record_as_stored)
{
    const trace_case& c = GetParam();
    const record_buffer raw = make_record(c.fields);
    const auto record = decode_record(raw);
    ASSERT_TRUE(record.has_value());
    std::ostringstream console;
    trace_record(*record, console, c.style);
    EXPECT_EQ(visible(console.str()), visible(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    records, trace_block,
    ::testing::Values(
        trace_case{"documented_example",
                   {.flags = 0x01, .number = 7, .timestamp = 1'000'000, .length = 5, .body = {0x41, 0x42, 0x43, 0x11, 0x22, 0x00}},
                   "Packet\n\x01\n7\n1000000\n\x05\n<STARTREMAIN>ABC\x11\x22<ENDREMAIN>\n<STARTDATA>A<ENDDATA>\n"
                   "<STARTFCS>\x11\x22<ENDFCS>\n"},
        trace_case{"body_runs_on_past_the_fcs_to_the_first_zero_byte",
                   {.flags = 0x01, .number = 8, .timestamp = 9, .length = 5, .body = {0x41, 0x42, 0x43, 0x11, 0x22, 'x', 'y', 0x00, 'z'}},
                   "Packet\n\x01\n8\n9\n\x05\n<STARTREMAIN>ABC\x11\x22xy<ENDREMAIN>\n<STARTDATA>A<ENDDATA>\n"
                   "<STARTFCS>\x11\x22<ENDFCS>\n"},
        trace_case{"flags_and_length_as_raw_bytes",
                   {.flags = 0x41, .number = 300, .timestamp = 18'446'744'073'709'551'615u, .length = 0x42,
                    .body = {0x5A, 0x0A, 0x00}},
                   "Packet\nA\n300\n18446744073709551615\nB\n<STARTREMAIN>Z\n<ENDREMAIN>\n<STARTDATA>Z<ENDDATA>\n"
                   "<STARTFCS>\x00\x00<ENDFCS>\n"s},
        trace_case{"line_feed_and_nul_bytes_pass_unchanged",
                   {.flags = 0x0A, .number = 0, .timestamp = 0, .length = 0x0A, .body = {0x0A, 0x00, 0x0A}},
                   "Packet\n\n\n0\n0\n\n\n<STARTREMAIN>\n<ENDREMAIN>\n<STARTDATA>\n<ENDDATA>\n"
                   "<STARTFCS>\x00\x00<ENDFCS>\n"s},
        trace_case{"zero_first_body_byte_gives_empty_remain",
                   {.flags = 0x00, .number = 1, .timestamp = 5, .length = 1, .body = {0x00, 0x31, 0x32}},
                   "Packet\n\x00\n1\n5\n\x01\n<STARTREMAIN><ENDREMAIN>\n<STARTDATA>\x00<ENDDATA>\n<STARTFCS>12<ENDFCS>\n"s},
        trace_case{"empty_payload_shows_nothing_between_data_tags",
                   {.flags = 0x01, .number = 2, .timestamp = 6, .length = 2, .body = {0x33, 0x34, 0x00}},
                   "Packet\n\x01\n2\n6\n\x02\n<STARTREMAIN>34<ENDREMAIN>\n<STARTDATA><ENDDATA>\n<STARTFCS>34<ENDFCS>\n"},
        trace_case{"body_without_zero_byte_stops_at_record_end",
                   {.flags = 0x00, .number = 4'294'967'295u, .timestamp = 7, .length = 135, .fill = 'x'},
                   "Packet\n\x00\n4294967295\n7\n\x87\n<STARTREMAIN>"s + all_137_body_bytes +
                       "<ENDREMAIN>\n<STARTDATA>x<ENDDATA>\n<STARTFCS>xx<ENDFCS>\n"s},
        // On a terminal every record byte is shown as `cat -v` shows it, tab
        // and line feed too, and the fixed text and decimals as they are.
        trace_case{"terminal_sees_record_bytes_as_cat_v_shows_them",
                   {.flags = 0x9B, .number = 10, .timestamp = 13, .length = 17,
                    .body = {0x09, 0x0A, 0x0D, 0x1B, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x9B, 0x9F, 0xA0, 0xFE, 0xFF, 0x41, 0x00, 0x07}},
                   "Packet\nM-^[\n10\n13\n^Q\n<STARTREMAIN>^I^J^M^[^_ ~^?M-^@M-^[M-^_M- M-~M-^?A<ENDREMAIN>\n"
                   "<STARTDATA>^I<ENDDATA>\n<STARTFCS>^@^G<ENDFCS>\n",
                   trace_style::visible},
        trace_case{"terminal_sees_an_empty_payload_as_nothing",
                   {.flags = 0x01, .number = 2, .timestamp = 6, .length = 2, .body = {0x0A, 0x0D, 0x00}},
                   "Packet\n^A\n2\n6\n^B\n<STARTREMAIN>^J^M<ENDREMAIN>\n<STARTDATA><ENDDATA>\n<STARTFCS>^J^M<ENDFCS>\n",
                   trace_style::visible}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace wpan2pcap
