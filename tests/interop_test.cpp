// Reads what the converter writes back with real analysers (tshark and
// capinfos) and checks every frame's time, length and FCS verdict against the
// input records, decoded here independently of the converter; and has tshark
// read the record capture itself, through the project's file reader.

#include "run_process.hpp"
#include "test_support.hpp"
#include "wireshark_release.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;

struct expected_frame {
    std::string time; // as tshark prints frame.time_epoch
    std::size_t length;
    bool fcs_valid;
};

std::uint16_t crc16_itu_t(const std::string& data)
{
    std::uint16_t crc = 0;
    for (const char byte : data) {
        crc = static_cast<std::uint16_t>(crc ^ static_cast<unsigned char>(byte));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
    return crc;
}

std::vector<expected_frame> frames_of(const std::string& capture, std::size_t& skipped)
{
    std::vector<expected_frame> frames;
    for (std::size_t at = 0; at + 151 <= capture.size(); at += 151) {
        const std::string record = capture.substr(at, 151);
        const auto byte = [&record](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(record[i])); };
        std::uint64_t timestamp = 0;
        for (std::size_t i = 0; i < 8; ++i)
            timestamp |= byte(5 + i) << (8 * i);
        const long payload = static_cast<long>(byte(13)) - ((byte(0) & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135) {
            ++skipped;
            continue;
        }
        const std::string frame = record.substr(14, static_cast<std::size_t>(payload) + 2);
        const auto stored_fcs = static_cast<std::uint16_t>(byte(14 + static_cast<std::size_t>(payload)) |
                                                           byte(15 + static_cast<std::size_t>(payload)) << 8);
        char time[40];
        std::snprintf(time, sizeof time, "%u.%06u000", static_cast<unsigned>((timestamp / 1'000'000) & 0xFFFFFFFF),
                      static_cast<unsigned>(timestamp % 1'000'000));
        frames.push_back({time, frame.size(), crc16_itu_t(frame.substr(0, frame.size() - 2)) == stored_fcs});
    }
    return frames;
}

// The analyser's own severity value for an expert warning (error is above it).
constexpr long expert_warning = 0x00600000;

bool tool_available(const std::string& tool, const fs::path& scratch)
{
    return run_process({tool, "--version"}, scratch).status == 0;
}

// A private home whose personal Lua plugin folder holds the file reader, where
// tshark finds it as it finds an installed one; tshark runs there as a user
// who is not root. Against the installed package, the folder stays empty:
// tshark finds the package's reader.
class reader_home {
public:
    explicit reader_home(const fs::path& dir) : dir_(dir), home_(dir / "home")
    {
        const fs::path plugins = home_ / ".local" / "lib" / "wireshark" / "plugins";
        fs::create_directories(plugins);
        if (!testing_installed_package())
            fs::copy_file(WPAN2PCAP_LUA_READER, plugins / "wpan2pcap.lua", fs::copy_options::overwrite_existing);
    }
    // tshark with `arguments`, run with this home (or with `without_reader`,
    // a home without the reader: not for the installed package, whose reader
    // every home has).
    std::vector<std::string> tshark(const std::vector<std::string>& arguments, bool without_reader = false) const
    {
        std::vector<std::string> command = {"env", "-u", "XDG_CONFIG_HOME", "HOME=" + (home_.string() + (without_reader ? "-none" : "")),
                                            "tshark"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return as_plain_user(command, dir_);
    }

private:
    fs::path dir_;
    fs::path home_;
};

// What tshark shows of each packet: packet ID, comments, time, length.
std::vector<std::string> packet_fields(const std::string& capture)
{
    return {"-r", capture, "-T", "fields", "-E", "aggregator=|", "-e", "frame.packet_id", "-e", "frame.comment", "-e", "frame.time_epoch",
            "-e", "frame.len"};
}

struct interop_case {
    const char* name;
    std::vector<std::string> make_input; // make_capture's arguments, or empty for the bundled sample
    // Every frame must decode cleanly down to UDP, as a newcomer's first look
    // at the bundled sample should.
    bool clean_to_udp = false;
    std::string appended = {}; // bytes after the capture make_capture wrote
    // The file reader's packets written as pcapng and read back: a large
    // capture's comments survive the writing.
    bool through_pcapng = false;
};

// Records 5001 to 5020 with no sound length, then a good one: more skipped
// in a row than one packet's notes name.
std::string skipped_run()
{
    std::string run;
    for (std::uint32_t n = 5001; n <= 5020; ++n)
        run += as_string(make_record({.flags = 0x01, .number = n, .length = 1}));
    return run + good_record(5021);
}

void PrintTo(const interop_case& c, std::ostream* os) { *os << c.name; }

class analysers_read : public ::testing::TestWithParam<interop_case> {};

TEST_P(analysers_read, every_frame_as_recorded)
{
    const fs::path dir = fs::temp_directory_path() / ("wpan2pcap-interop-" + std::to_string(getpid()) + GetParam().name);
    fs::create_directories(dir);
    if (!tool_available("tshark", dir / "probe") || !tool_available("capinfos", dir / "probe")) {
        fs::remove_all(dir);
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
            FAIL() << "tshark and capinfos must be installed in CI (Debian package tshark)";
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); analyser interop not checked";
    }
    const wireshark_release release = tshark_release(dir / "probe");

    fs::path input = WPAN2PCAP_SAMPLE;
    if (!GetParam().make_input.empty()) {
        input = dir / "input.bin";
        std::vector<std::string> command = project_program(WPAN2PCAP_MAKE_CAPTURE);
        command.insert(command.end(), GetParam().make_input.begin(), GetParam().make_input.end());
        command.push_back(input.string());
        ASSERT_EQ(run_process(command, dir / "make.out").status, 0);
        if (!GetParam().appended.empty())
            write_file(input, read_file(input) + GetParam().appended);
    }
    std::size_t skipped = 0;
    const std::vector<expected_frame> expected = frames_of(read_file(input), skipped);
    ASSERT_FALSE(expected.empty());

    const fs::path pcap = dir / "out.pcap";
    std::vector<std::string> convert = converter_command(WPAN2PCAP_BUILT_EXE);
    convert.insert(convert.end(), {input.string(), pcap.string()});
    ASSERT_EQ(run_process(convert, dir / "trace").status, 0);

    const std::string info = run_process({"capinfos", "-E", "-c", "-F", "-M", pcap.string()}, dir / "capinfos").output;
    EXPECT_NE(info.find("File encapsulation:  wpan"), std::string::npos) << info;
    EXPECT_NE(info.find("File timestamp precision:  microseconds (6)"), std::string::npos) << info;
    EXPECT_NE(info.find("Number of packets:   " + std::to_string(expected.size())), std::string::npos) << info;

    const std::string fields =
        run_process({"tshark", "-r", pcap.string(), "-o", "udp.check_checksum:TRUE", "-T", "fields", "-E", "separator=;",
                     "-e", "frame.time_epoch", "-e", "frame.len", "-e", "wpan.fcs_ok", "-e", "frame.protocols", "-e",
                     "udp.checksum.status", "-e", "_ws.expert.severity"},
                    dir / "tshark")
            .output;
    std::istringstream lines(fields);
    std::string line;
    std::size_t index = 0;
    std::size_t fcs_checked = 0;
    while (std::getline(lines, line)) {
        ASSERT_LT(index, expected.size()) << "more frames than records";
        const expected_frame& frame = expected[index];
        std::istringstream columns(line);
        std::string time, length, fcs_ok, protocols, udp_checksum, severities;
        for (std::string* column : {&time, &length, &fcs_ok, &protocols, &udp_checksum, &severities})
            std::getline(columns, *column, ';');
        EXPECT_EQ(time, frame.time) << "frame " << index + 1;
        EXPECT_EQ(length, std::to_string(frame.length)) << "frame " << index + 1;
        // The dissector judges the FCS only of frames a radio can send whole.
        if (frame.length >= 5 && frame.length <= 127) {
            EXPECT_EQ(boolean_field(fcs_ok), frame.fcs_valid ? "true" : "false") << "frame " << index + 1;
            ++fcs_checked;
        }
        if (GetParam().clean_to_udp) {
            EXPECT_EQ(protocols, "wpan:6lowpan:ipv6:udp:data") << "frame " << index + 1;
            EXPECT_EQ(udp_checksum, "1") << "frame " << index + 1; // good
            // Notes may come and go with versions; a warning or error is a fault.
            std::istringstream each(severities);
            for (std::string severity; std::getline(each, severity, ',');)
                EXPECT_LT(std::stol(severity), expert_warning) << "frame " << index + 1;
        }
        ++index;
    }
    EXPECT_EQ(index, expected.size());
    EXPECT_GT(fcs_checked, expected.size() / 2);
    const std::string trace = read_file(dir / "trace");
    std::size_t blocks = 0;
    for (std::size_t at = trace.find("Packet\n"); at != std::string::npos; at = trace.find("Packet\n", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, expected.size());

    // Wireshark opens the record capture itself, through the file reader:
    // written as PCAP, the converter's file byte for byte; each packet with
    // the comments the extcap program's pcapng carries.
    const reader_home reader(dir);
    const fs::path read_back = dir / "read-back.pcap";
    const process_result written =
        run_process(reader.tshark({"-r", input.string(), "-w", read_back.string(), "-F", "pcap"}), dir / "reader", console_mode::file_and_errors);
    const std::string converted = read_file(pcap), through_reader = read_file(read_back);
    // A release whose PCAP writer refuses times past 2038 writes the packets
    // before the first such one and says why it stops there (4.2, 4.4), or
    // leaves out each such packet and ends with an error (4.6).
    const pcap_before_2038 fitting =
        release.refuses_pcap_times_past_2038() ? packets_before_2038(read_file(input), converted) : pcap_before_2038{converted};
    if (fitting.first_past == std::string::npos) {
        EXPECT_EQ(written.status, 0) << written.output;
        EXPECT_TRUE(through_reader == converted) << through_reader.size() << " bytes through the file reader, " << converted.size()
                                                 << " from the converter";
    } else if (release.tshark_leaves_out_pcap_times_past_2038()) {
        EXPECT_NE(written.status, 0) << release.line << " wrote a PCAP packet past 2038 and said nothing";
        EXPECT_NE(written.output.find("An error occurred while writing to the file"), std::string::npos)
            << release.line << ": " << written.output;
        EXPECT_TRUE(through_reader == fitting.fitting)
            << through_reader.size() << " bytes through the file reader, " << fitting.fitting.size() << " in the packets before 2038";
    } else {
        EXPECT_NE(written.status, 0) << release.line << " wrote a PCAP packet past 2038";
        EXPECT_NE(written.output.find("We don't support writing that record's time stamp to that file type"), std::string::npos)
            << release.line << ": " << written.output;
        EXPECT_TRUE(through_reader == converted.substr(0, fitting.first_past))
            << through_reader.size() << " bytes through the file reader, " << fitting.first_past << " before the first time past 2038";
    }
    fs::path with_comments = input;
    if (GetParam().through_pcapng) {
        with_comments = dir / "read-back.pcapng";
        const process_result as_pcapng =
            run_process(reader.tshark({"-r", input.string(), "-w", with_comments.string()}), dir / "reader", console_mode::file_and_errors);
        EXPECT_EQ(as_pcapng.status, 0) << as_pcapng.output;
        EXPECT_EQ(as_pcapng.signal, 0) << "tshark crashed writing the file reader's packets as pcapng";
    }
    const std::string shown = run_process(reader.tshark(packet_fields(with_comments.string())), dir / "fields").output;
    const std::string wanted = expected_packet_lines(read_file(input), false);
    EXPECT_TRUE(shown == wanted) << shown.substr(0, 400) << "\nwanted\n" << wanted.substr(0, 400);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(captures, analysers_read,
                         ::testing::Values(interop_case{"bundled_sample", {}, true},
                                           interop_case{"varied_frames", {"--kind", "varied", "--records", "4000"}},
                                           interop_case{.name = "varied_frames_long_runs_skipped_and_a_trailing_partial_record",
                                                        .make_input = {"--kind", "varied", "--records", "300"},
                                                        .appended = skipped_run() + "partial"},
                                           interop_case{.name = "large_capture_through_pcapng",
                                                        .make_input = {"--kind", "varied", "--records", "100000"},
                                                        .through_pcapng = true}),
                         [](const auto& row) { return std::string(row.param.name); });

// The file reader, tried before Wireshark's own readers, takes only record
// captures: tshark with the reader in a private home, in a folder of the
// row's own.
class file_reader : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tool_available("tshark", dir / "probe")) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
                FAIL() << "tshark must be installed in CI (Debian package tshark)";
            GTEST_SKIP() << "tshark is not installed (apt-get install tshark); the file reader not checked";
        }
    }
    void TearDown() override { fs::remove_all(dir); }

    const fs::path dir = fs::temp_directory_path() / ("wpan2pcap-reader-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                                      "-" + std::to_string(getpid()));
    const reader_home reader{dir};
};

// The sample written by editcap in every format it writes for IEEE 802.15.4
// (PCAP and pcapng among them) reads as it does without the reader, whatever
// its name.
TEST_F(file_reader, leaves_other_formats_to_wireshark)
{
    const fs::path pcap = dir / "sample.pcap";
    std::vector<std::string> convert = converter_command(WPAN2PCAP_BUILT_EXE);
    convert.insert(convert.end(), {WPAN2PCAP_SAMPLE, pcap.string()});
    ASSERT_EQ(run_process(convert, dir / "trace").status, 0);
    // editcap -F lists "    name - description", a format a line.
    std::vector<std::string> formats;
    std::istringstream listed(run_process({"editcap", "-F"}, dir / "formats", console_mode::file_and_errors).output);
    for (std::string line; std::getline(listed, line);)
        if (line.starts_with("    ") && line.find(" - ") != std::string::npos)
            formats.push_back(line.substr(4, line.find(" - ") - 4));
    std::size_t written = 0;
    for (const std::string& format : formats) {
        const fs::path capture = dir / ("sample." + format);
        if (run_process({"editcap", "-F", format, pcap.string(), capture.string()}, dir / "editcap", console_mode::file_and_errors).status != 0)
            continue; // not a format for this link type
        ++written;
        // Named as a record capture is, which Wireshark tries its reader on first.
        const fs::path as_bin = capture.string() + ".bin";
        fs::copy_file(capture, as_bin);
        const std::string with = run_process(reader.tshark(packet_fields(as_bin.string())), dir / "with").output;
        EXPECT_EQ(std::count(with.begin(), with.end(), '\n'), 100) << as_bin;
        EXPECT_EQ(with.find("record "), std::string::npos) << as_bin << " read through the file reader: " << with.substr(0, 200);
        if (!testing_installed_package()) {
            const std::string without = run_process(reader.tshark(packet_fields(capture.string()), true), dir / "without").output;
            EXPECT_TRUE(with == without) << as_bin << " reads otherwise with the file reader";
        }
    }
    EXPECT_GE(written, 2u) << "editcap wrote neither PCAP nor pcapng";
}

// A text file and files of random bytes are no capture.
TEST_F(file_reader, takes_no_text_or_random_bytes)
{
    // Text, and random bytes of 8 to 40 records' worth.
    std::vector<fs::path> not_captures = {dir / "readme.bin"};
    fs::copy_file(fs::path(WPAN2PCAP_SAMPLE).parent_path().parent_path() / "README.md", not_captures.front());
    std::uint64_t state = 0x9E3779B97F4A7C15;
    // (Hundreds more, of every size, go through the reader's own rules
    // under both Luas; here, Wireshark's other readers see them too.)
    for (int n = 0; n < 8; ++n) {
        std::string bytes((8 + static_cast<std::size_t>(n) * 32 / 7) * 151, '\0');
        for (char& byte : bytes) {
            state = state * 6364136223846793005 + 1442695040888963407;
            byte = static_cast<char>(state >> 56);
        }
        not_captures.push_back(dir / ("random-" + std::to_string(n) + ".bin"));
        write_file(not_captures.back(), bytes);
    }
    const std::regex reader_packet("record [0-9]+, flags 0x");
    for (const fs::path& file : not_captures) {
        const std::vector<std::string> arguments = {"-r", file.string(), "-c", "1", "-T", "fields", "-e", "frame.comment"};
        const process_result opened = run_process(reader.tshark(arguments), dir / "opened", console_mode::file_and_errors);
        EXPECT_FALSE(std::regex_search(opened.output, reader_packet)) << file << " was taken for a record capture: " << opened.output.substr(0, 300);
        // The README is text that one of Wireshark's own heuristic readers
        // may claim as it changes; what matters is that the reader leaves it
        // to them. Random bytes are the same in every run: nobody takes them.
        if (file == not_captures.front() && !testing_installed_package()) {
            const process_result without = run_process(reader.tshark(arguments, true), dir / "without", console_mode::file_and_errors);
            EXPECT_EQ(opened.output, without.output) << file << " opens otherwise with the file reader";
        } else if (file != not_captures.front()) {
            EXPECT_NE(opened.output.find("isn't a capture file in a format TShark understands"), std::string::npos)
                << file << " was taken: " << opened.output.substr(0, 300);
        }
    }
}

} // namespace
} // namespace wpan2pcap::test
