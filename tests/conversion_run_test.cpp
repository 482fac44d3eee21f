#include "converter/conversion_run.hpp"

#include "discard_streams.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>


#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

// From allocation_counter.cpp: heap allocations made so far.
long allocation_count();

namespace wpan2pcap {
namespace {

using test::global_header;
using test::good_block;
using test::good_packet;
using test::good_record;
using test::invalid_record;
using test::skip_line;
using test::visible;

// Refuses every byte, as a full disk does.
class failing_buffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

// Delivers `data`, then fails the way a device does mid-file.
class truncated_device : public std::stringbuf {
public:
    explicit truncated_device(const std::string& data) : std::stringbuf(data) {}

protected:
    int_type underflow() override
    {
        const int_type next = std::stringbuf::underflow();
        if (traits_type::eq_int_type(next, traits_type::eof()))
            throw std::runtime_error("device error");
        return next;
    }
};

enum class output_kind { memory, refused, write_fails, reader_leaves };

class memory_output final : public output_target {
public:
    explicit memory_output(output_kind kind) : kind_(kind) {}

    std::ostream* open() override
    {
        ++opens;
        if (kind_ == output_kind::refused)
            return nullptr;
        stream_.rdbuf(kind_ == output_kind::memory ? static_cast<std::streambuf*>(&written_) : &failing_);
        return &stream_;
    }

    bool reader_gone() const override { return kind_ == output_kind::reader_leaves && opens > 0; }

    bool close() override
    {
        closed = true;
        return opens == 0 || kind_ == output_kind::refused || !stream_.fail();
    }

    std::string bytes() const { return written_.str(); }

    int opens = 0;
    bool closed = false;

private:
    output_kind kind_;
    std::stringbuf written_;
    failing_buffer failing_;
    std::ostream stream_{nullptr};
};

struct run_case {
    const char* name;
    std::string input;
    bool input_fails_at_end;
    output_kind output;
    std::string console;
    std::string written; // empty when the output must never be opened
    int status;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const run_case& c, std::ostream* os) { *os << c.name; }

class record_loop : public ::testing::TestWithParam<run_case> {};

TEST_P(record_loop, traces_converts_and_reports)
{
    const run_case& c = GetParam();
    truncated_device failing_device(c.input);
    std::stringbuf good_device(c.input);
    std::istream input(c.input_fails_at_end ? static_cast<std::streambuf*>(&failing_device) : &good_device);
    memory_output output(c.output);
    std::ostringstream console;

    const int status = convert_capture(input, output, console);

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(visible(console.str()), visible(c.console));
    EXPECT_EQ(output.opens, c.written.empty() && c.output == output_kind::memory ? 0 : 1);
    EXPECT_EQ(visible(output.bytes()), visible(c.written));
    EXPECT_TRUE(output.closed);
}

INSTANTIATE_TEST_SUITE_P(
    runs, record_loop,
    ::testing::Values(
        run_case{"empty_input", "", false, output_kind::memory, "", "", 0},
        run_case{"partial_record_only", good_record(1).substr(0, 150), false, output_kind::memory, "", "", 0},
        run_case{"three_records", good_record(1) + good_record(2) + good_record(3), false, output_kind::memory,
                 good_block(1) + good_block(2) + good_block(3),
                 global_header + good_packet(1) + good_packet(2) + good_packet(3), 0},
        run_case{"trailing_partial_record_dropped", good_record(1) + good_record(2).substr(0, 149), false,
                 output_kind::memory, good_block(1), global_header + good_packet(1), 0},
        run_case{"invalid_records_skipped", invalid_record() + good_record(1) + invalid_record() + good_record(2), false,
                 output_kind::memory, skip_line + good_block(1) + skip_line + good_block(2),
                 global_header + good_packet(1) + good_packet(2), 0},
        run_case{"only_invalid_records_open_nothing", invalid_record() + invalid_record(), false, output_kind::memory,
                 skip_line + skip_line, "", 0},
        run_case{"output_refused_still_traces_all", good_record(1) + good_record(2), false, output_kind::refused,
                 good_block(1) + "Unable to open output file." + good_block(2), "", 2},
        run_case{"read_error_keeps_what_was_converted", good_record(1) + good_record(2).substr(0, 100), true,
                 output_kind::memory, good_block(1) + "Unable to read input file.", global_header + good_packet(1), 2},
        run_case{"read_error_before_any_record", "", true, output_kind::memory, "Unable to read input file.", "", 2},
        run_case{"write_failure_reported_once_at_the_end", good_record(1) + good_record(2), false,
                 output_kind::write_fails, good_block(1) + good_block(2) + "Unable to write output file.", "", 2},
        // Nobody is left to convert for: the loop ends at that record.
        run_case{"reader_gone_ends_the_loop", good_record(1) + good_record(2) + good_record(3), false,
                 output_kind::reader_leaves, good_block(1) + "Unable to write output file.", "", 2}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(convert_capture, allocates_nothing_per_record)
{
    long counts[2] = {};
    const std::uint32_t sizes[2] = {10, 1000};
    for (int i = 0; i < 2; ++i) {
        std::string capture;
        for (std::uint32_t n = 1; n <= sizes[i]; ++n)
            capture += good_record(n) + invalid_record();
        std::stringbuf input_buffer(capture);
        std::istream input(&input_buffer);
        test::discard_buffer console_buffer;
        std::ostream console(&console_buffer);
        test::discard_output output;

        const long before = allocation_count();
        EXPECT_EQ(convert_capture(input, output, console), 0);
        counts[i] = allocation_count() - before;
    }
    EXPECT_EQ(counts[0], counts[1]);
}

TEST(run_conversion, wrong_argument_count_writes_only_the_usage_message)
{
    const std::vector<std::filesystem::path> arguments = {"a", "b", "c"};
    for (std::size_t count : {0u, 1u, 3u}) {
        std::ostringstream console;
        EXPECT_EQ(run_conversion(std::span(arguments).first(count), console), 1);
        EXPECT_EQ(console.str(), "The function requires exactly two arguments, an input and an output file.");
    }
}

} // namespace
} // namespace wpan2pcap
