// The extcap program's answers to Wireshark's questions (the interface, its
// link type and options, a capture filter's check), and a capture into a
// plain file and into Wireshark's pipe.
#include "extcap_support.hpp"

namespace wpan2pcap::test {
namespace {

struct protocol_case {
    const char* name;
    std::vector<std::string> arguments;
    int status = 0;
    std::string output = {}; // all of standard output, or the start of it when it ends with "…"
    std::string error = {};  // a part of standard error
    std::string one_line_beginning = {}; // else: standard output is one line beginning so
};

void PrintTo(const protocol_case& c, std::ostream* os) { *os << c.name; }

class extcap_protocol : public ::testing::TestWithParam<protocol_case> {};

TEST_P(extcap_protocol, answers_as_wireshark_expects)
{
    const protocol_case& c = GetParam();
    scratch_dir dir(c.name);
    const process_result result = run_process(extcap_command(c.arguments), dir.path / "out", console_mode::errors_to_file);
    EXPECT_EQ(result.status, c.status) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), c.error.empty() ? 0 : 1) << result.errors;
    if (!c.one_line_beginning.empty()) {
        EXPECT_TRUE(result.output.starts_with(c.one_line_beginning)) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    } else if (c.output.ends_with("…")) { // the interface list: the help link depends on where it is installed
        EXPECT_TRUE(result.output.starts_with(c.output.substr(0, c.output.size() - 3))) << result.output;
        // Wireshark drops an interface without a display name; the name is
        // said once. The log button makes Wireshark open its control pipes.
        EXPECT_TRUE(result.output.ends_with("}\ninterface {value=wpan2pcap}{display=IEEE 802.15.4 record capture}\n"
                                            "control {number=0}{type=button}{role=logger}{display=Log}{tooltip=What the "
                                            "capture met: records skipped, a new capture in the followed file, the end of "
                                            "the file}\n"))
            << result.output;
        // The Help button opens a file that is there, the build's README
        // named for the program: the URL as a browser reads it.
        const std::string link = "{help=";
        const auto at = result.output.find(link);
        ASSERT_NE(at, std::string::npos) << result.output;
        const fs::path file = path_of_file_url(result.output.substr(at + link.size(), result.output.find('}', at) - at - link.size()));
        EXPECT_EQ(file.filename(), "wpan2pcap-README.md");
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
        EXPECT_NE(read_file(file).find("# wpan2pcap"), std::string::npos) << file;
    } else {
        EXPECT_EQ(result.output, c.output);
    }
    if (c.error.empty())
        EXPECT_EQ(result.errors, "");
    else
        EXPECT_NE(result.errors.find(c.error), std::string::npos) << result.errors;
}

INSTANTIATE_TEST_SUITE_P(
    questions, extcap_protocol,
    ::testing::Values(
        protocol_case{.name = "interfaces",
                      .arguments = {"--extcap-interfaces", "--extcap-version=4.0"},
                      .output = "extcap {version=" WPAN2PCAP_VERSION "}…"},
        protocol_case{.name = "interfaces_version_as_a_separate_word",
                      .arguments = {"--extcap-version", "4.0", "--extcap-interfaces"},
                      .output = "extcap {version=" WPAN2PCAP_VERSION "}…"},
        // Alone, as Wireshark's own extcap programs answer it: the version line.
        protocol_case{.name = "version_alone", .arguments = {"--extcap-version"},
                      .one_line_beginning = "extcap {version=" WPAN2PCAP_VERSION "}{help=file://"},
        protocol_case{.name = "version_alone_with_wiresharks", .arguments = {"--extcap-version=4.6"},
                      .one_line_beginning = "extcap {version=" WPAN2PCAP_VERSION "}{help=file://"},
        protocol_case{.name = "help",
                      .arguments = {"--help"},
                      .output = "wpan2pcap-extcap " WPAN2PCAP_VERSION ": Wireshark's interface to a capture of 151-byte IEEE 802.15.4 "
                                "records\n"
                                "Wireshark runs it; by hand:\n"
                                "  wpan2pcap-extcap --extcap-interfaces\n"
                                "  wpan2pcap-extcap --extcap-interface wpan2pcap --extcap-dlts | --extcap-config\n"
                                "  wpan2pcap-extcap --capture --extcap-interface wpan2pcap --fifo PIPE --source FILE [--follow] "
                                "[--record-numbers]\n"
                                "  wpan2pcap-extcap --extcap-version | --help\n"
                                "The capture goes to PIPE (/dev/stdout for sshdump) as the PCAP wpan2pcap writes, or as pcapng with\n"
                                "--record-numbers; --follow reads on as the file grows, until stopped (SIGINT, SIGTERM).\n"},
        protocol_case{.name = "dlts",
                      .arguments = {"--extcap-interface", "wpan2pcap", "--extcap-dlts"},
                      .output = "dlt {number=195}{name=IEEE802_15_4_WITHFCS}{display=IEEE 802.15.4 frames with FCS}\n"},
        protocol_case{.name = "config",
                      .arguments = {"--extcap-interface=wpan2pcap", "--extcap-config"},
                      .output = "arg {number=0}{call=--source}{display=Record capture}{type=fileselect}{mustexist=true}"
                                "{required=true}{fileext=Record captures (*.bin)}{group=Capture}"
                                "{tooltip=A capture of 151-byte IEEE 802.15.4 records}\n"
                                "arg {number=1}{call=--follow}{display=Follow the file as it grows}{type=boolflag}{group=Capture}"
                                "{tooltip=Go on reading the records appended to the file until the capture is stopped}\n"
                                "arg {number=2}{call=--record-numbers}{display=Record numbers and flags (pcapng)}{type=boolflag}"
                                "{group=Capture}{tooltip=Capture as pcapng, each packet carrying its record's number as the packet ID "
                                "and its number and flags as a comment}\n"},
        protocol_case{.name = "unknown_interface",
                      .arguments = {"--extcap-interface", "eth0", "--extcap-dlts"},
                      .status = 1,
                      .error = "unknown interface \"eth0\""},
        protocol_case{.name = "unknown_option",
                      .arguments = {"--extcap-interfaces", "--channel", "11"},
                      .status = 1,
                      .error = "unknown option \"--channel\""},
        protocol_case{.name = "missing_value",
                      .arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--source"},
                      .status = 1,
                      .error = "option --source needs a value"},
        protocol_case{.name = "capture_filter_refused",
                      .arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "f", "--source", "s",
                                    "--extcap-capture-filter", "udp"},
                      .status = 1,
                      .error = "capture filters are not supported"},
        protocol_case{.name = "nothing_asked", .arguments = {}, .status = 1, .error = "nothing asked"},
        // Wireshark checks the capture filter field as it is typed: nothing
        // means valid, a line means invalid and is shown as the reason.
        protocol_case{.name = "empty_capture_filter_checked_valid",
                      .arguments = {"--extcap-capture-filter", "", "--extcap-interface", "wpan2pcap"}},
        protocol_case{.name = "capture_filter_checked_invalid_with_the_reason",
                      .arguments = {"--extcap-capture-filter", "udp port 5353", "--extcap-interface", "wpan2pcap"},
                      .output = "capture filters are not supported: leave the capture filter empty and use a display filter\n"},
        // Shown in a dialog or on a terminal: one line, nothing it would obey.
        protocol_case{.name = "hostile_source_name_shown_safely",
                      .arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source",
                                    "m\xff\x1b[31mRED\x1b[0m\nsecond line"},
                      .status = 2,
                      // (0xFF reaches the Windows program as U+FFFD, a letter.)
                      .error = "^[[31mRED^[[0m^Jsecond line\": No such file or directory"},
        protocol_case{.name = "source_is_a_folder",
                      .arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source", "."},
                      .status = 2,
                      .error = "the source \".\" is a folder, not a record capture"},
        protocol_case{.name = "missing_source_file",
                      .arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source", "no-such-file.bin"},
                      .status = 2,
                      .error = "cannot open the source \"no-such-file.bin\""}),
    [](const auto& row) { return std::string(row.param.name); });

// Into a plain file instead of a pipe, as a person may run it: exactly the
// converter's PCAP, and no more than the header for an empty source.
TEST(extcap_capture, writes_the_converters_packets_into_a_plain_file)
{
    scratch_dir dir("plain");
    // A name that is not ASCII reaches the Windows program whole too.
    const fs::path source = dir.path / "\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC.bin";
    for (const auto& [input, expected] : {std::pair(mixed_capture(), mixed_capture_pcap()), std::pair(std::string(), global_header)}) {
        write_file(source, input);
        const process_result result =
            run_process(extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", (dir.path / "out.pcap").string(),
                                        "--source", source.string(), "--extcap-capture-filter", ""}),
                        dir.path / "console", console_mode::errors_to_file);
        EXPECT_EQ(result.status, 0) << result.errors;
        EXPECT_EQ(visible(read_file(dir.path / "out.pcap")), visible(expected));
    }
}

// Some tshark versions wait for the pipe to be opened before they look at an
// extcap's errors: on an error the program opens and closes it; and writes
// the capture's header first, since Wireshark takes a pipe that ends before
// any header for a capture that never began, and then leaves the next
// capture without its control pipes.
TEST(extcap_capture, opens_and_closes_the_pipe_on_an_error)
{
    if (windows_build())
        GTEST_SKIP() << "POSIX named pipes only";
    scratch_dir dir("release");
    const fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const process_result result = run_process(
        extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", fifo.string(), "--source", (dir.path / "missing").string()}),
        dir.path / "console", console_mode::errors_to_file);
    EXPECT_EQ(result.status, 2);
    // A writer came and went, and left the capture's header.
    pollfd hung_up{reader, POLLIN, 0};
    EXPECT_EQ(poll(&hung_up, 1, 1000), 1);
    EXPECT_TRUE((hung_up.revents & POLLHUP) != 0);
    EXPECT_EQ(visible(read_all(reader)), visible(global_header));
    close(reader);
}

// Through Wireshark's own kind of pipe: exactly the converter's packets.
TEST(extcap_capture, writes_the_converters_packets_into_wiresharks_pipe)
{
    scratch_dir dir("wireshark-pipe");
    const fs::path source = dir.path / "source.bin";
    write_file(source, mixed_capture());
    std::string received;
    {
        wireshark_pipe pipe(dir.path);
        const process_result result = run_process(
            extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", pipe.name(), "--source", source.string()}),
            dir.path / "console", console_mode::errors_to_file);
        EXPECT_EQ(result.status, 0) << result.errors;
        pipe.read_until_size(received, mixed_capture_pcap().size(), 2s);
    }
    EXPECT_EQ(visible(received), visible(mixed_capture_pcap()));
}

} // namespace
} // namespace wpan2pcap::test
