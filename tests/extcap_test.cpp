// Drives the extcap program as Wireshark does: its answers about the
// interface, a capture of a file into a pipe, a file followed as it grows,
// and, with tshark and a private extcap folder, the whole thing end to end.

#include "run_process.hpp"
#include "test_support.hpp"
#include "wireshark_release.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <chrono>
#include <csignal>
#include <iostream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The extcap program under test: this build's, or the one WPAN2PCAP_EXTCAP_EXE
// names (the Windows build), run through WPAN2PCAP_LAUNCHER if set (wine).
std::vector<std::string> extcap_command(std::vector<std::string> arguments)
{
    std::vector<std::string> command;
    const char* exe = std::getenv("WPAN2PCAP_EXTCAP_EXE");
    if (exe == nullptr || *exe == '\0') {
        command = project_program(WPAN2PCAP_EXTCAP);
    } else {
        if (const char* launcher = std::getenv("WPAN2PCAP_LAUNCHER"); launcher != nullptr && *launcher != '\0')
            command.emplace_back(launcher);
        command.emplace_back(exe);
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

bool windows_build()
{
    const char* exe = std::getenv("WPAN2PCAP_EXTCAP_EXE");
    return exe != nullptr && std::string(exe).ends_with(".exe");
}

bool in_ci()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

struct scratch_dir {
    fs::path path;
    explicit scratch_dir(const std::string& name)
        : path(fs::temp_directory_path() / ("wpan2pcap-extcap-" + std::to_string(getpid()) + "-" + name))
    {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~scratch_dir() { fs::remove_all(path); }
};

// A capture with everything the converter must get right: good records,
// records whose length has no sound reading, and a trailing partial record.
std::string mixed_capture() { return records(1, 3, good_record) + invalid_record() + records(4, 5, good_record) + "partial"; }
std::string mixed_capture_pcap() { return global_header + records(1, 5, good_packet); }

// The file a file URL names, its escapes decoded; under Wine, the Linux
// path of a drive Z: path.
fs::path path_of_file_url(const std::string& url)
{
    std::string path;
    for (std::size_t i = std::string_view("file://").size(); i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            path.push_back(static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(url[i]);
        }
    }
    if (path.starts_with("/Z:/") || path.starts_with("/z:/"))
        path.erase(0, 3);
    return path;
}

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
// extcap's errors: on an error the program opens and closes it.
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
    // A writer came and went.
    pollfd hung_up{reader, POLLIN, 0};
    EXPECT_EQ(poll(&hung_up, 1, 1000), 1);
    EXPECT_TRUE((hung_up.revents & POLLHUP) != 0);
    close(reader);
}

// Wireshark's end of the extcap's pipe: a named pipe read here, or on
// Windows the pipe peer serving one as Wireshark makes it, whose copy of what
// came through is read here.
class wireshark_pipe {
public:
    // A reader that `leaves_after` that many bytes (0: never) closes its end,
    // as Wireshark does when it stops or dies.
    explicit wireshark_pipe(const fs::path& dir, std::size_t leaves_after = 0) : copy_(dir / "received"), leaves_after_(leaves_after)
    {
        if (windows_build()) {
            const std::string name = "wpan2pcap-" + dir.filename().string();
            fifo_ = "\\\\.\\pipe\\" + name;
            std::vector<std::string> arguments = {"read", name, copy_.string()};
            if (leaves_after > 0)
                arguments.push_back(std::to_string(leaves_after));
            peer_ = awaited(start_pipe_peer(arguments, dir), dir);
        } else {
            fifo_ = (dir / "fifo").string();
            if (mkfifo(fifo_.c_str(), 0600) == 0)
                reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~wireshark_pipe()
    {
        if (reader_ != -1)
            close(reader_);
    }

    // What --fifo names.
    const std::string& name() const { return fifo_; }

    // Reads onto `received` until it holds `size` bytes, or none come for `patience`.
    void read_until_size(std::string& received, std::size_t size, std::chrono::milliseconds patience = 10s)
    {
        if (reader_ != -1) {
            read_until(reader_, received, [size](const std::string& got) { return got.size() >= size; }, patience);
            return;
        }
        for (const auto deadline = steady::now() + patience; received.size() < size && steady::now() < deadline;) {
            std::this_thread::sleep_for(200us);
            const std::string copy = read_file(copy_);
            if (copy.size() > received.size())
                received = copy;
        }
    }

    // Reads onto `received` until the writer closes the pipe (on Windows,
    // until nothing comes for half a second).
    void read_to_its_end(std::string& received, std::chrono::milliseconds patience)
    {
        if (reader_ != -1)
            read_until(reader_, received, [](const std::string&) { return false; }, patience);
        else
            read_until_size(received, SIZE_MAX, 500ms);
    }

    // Reads until the reader leaves, and returns what it read once it has
    // left (the Windows peer leaves by itself).
    std::string read_then_leave()
    {
        std::string received;
        read_until_size(received, leaves_after_);
        if (reader_ != -1) {
            close(reader_);
            reader_ = -1;
        }
        return received;
    }

private:
    std::string fifo_;
    int reader_ = -1;
    fs::path copy_;
    std::size_t leaves_after_;
    std::jthread peer_;
};

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

// Appends to the source and reads the pipe as Wireshark would: every record
// arrives, a record written in two pieces too, a shrunk file starts again,
// and a stop ends the program at once, leaving whole packets. Nothing waits
// in the program's buffers meanwhile: Wireshark on Windows ends it with
// TerminateProcess.
TEST(extcap_capture, follows_a_growing_file_live)
{
    scratch_dir dir("follow");
    const fs::path source = dir.path / "source.bin";
    write_file(source, good_record(1));
    wireshark_pipe pipe(dir.path);
    running_process extcap = start_process(
        extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", pipe.name(), "--source", source.string(), "--follow"}),
        dir.path / "console", console_mode::errors_to_file);
    const process_guard guard(extcap);
    std::string received;
    const auto receive = [&](const std::string& expected) {
        pipe.read_until_size(received, expected.size());
        return received == expected;
    };
    ASSERT_TRUE(receive(global_header + good_packet(1))) << visible(received);

    const int appender = open(source.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    std::vector<double> latency_ms;
    std::string expected = global_header + good_packet(1);
    for (std::uint32_t n = 2; n <= 121; ++n) {
        const std::string record = good_record(n);
        if (n == 60) { // a record written in two pieces, with a pause between
            ASSERT_TRUE(write_all(appender, record.substr(0, 70)));
            std::this_thread::sleep_for(120ms);
        }
        const auto written = steady::now();
        ASSERT_TRUE(write_all(appender, n == 60 ? record.substr(70) : record));
        expected += good_packet(n);
        ASSERT_TRUE(receive(expected)) << "packet " << n << ": " << visible(received.substr(expected.size() - 40));
        latency_ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - written).count());
    }
    // A new capture started in the same file.
    ASSERT_EQ(ftruncate(appender, 0), 0);
    ASSERT_TRUE(write_all(appender, records(1, 2, good_record)));
    expected += records(1, 2, good_packet);
    EXPECT_TRUE(receive(expected)) << visible(received.substr(received.size() < 60 ? 0 : received.size() - 60));
    close(appender);

    // Idle, it waits for the system to tell of a change, and looks every
    // 50 ms: its processor time over a quiet second is next to none.
    const auto cpu_ticks = [pid = extcap.pid] {
        std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
        std::string field;
        long ticks = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i) // utime and stime, after a name without spaces
            if (i >= 14)
                ticks += std::stol(field);
        return ticks;
    };
    const long before = cpu_ticks();
    std::this_thread::sleep_for(1s);
    const double idle_cpu_ms = static_cast<double>(cpu_ticks() - before) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    EXPECT_LE(idle_cpu_ms, 100.0) << "processor time over an idle second";

    // Wireshark ends the program with SIGTERM, or on Windows TerminateProcess
    // (which Wine does for a signal), whose status it never looks at. The
    // stop is timed to the pipe's close, the program's own last act (a
    // sanitizer's checks at exit come after it).
    const auto sent = steady::now();
    kill(extcap.pid, SIGTERM);
    pipe.read_to_its_end(received, 10s);
    const double stop_ms = std::chrono::duration<double, std::milli>(steady::now() - sent).count();
    const process_result result = finish_process(extcap, dir.path / "console", 10s);
    if (!windows_build()) {
        EXPECT_EQ(result.status, 0) << result.errors;
        EXPECT_LT(stop_ms, time_bound_ms(25.0));
    }
    EXPECT_TRUE(received == expected) << "whole packets only, and nothing more";

    // Woken by the system when the file changes, not by looking every 50 ms
    // (which gives a median near 50 ms). Wine's wake-up costs a few
    // milliseconds more, and more again on a loaded machine.
    std::sort(latency_ms.begin(), latency_ms.end());
    const double median = latency_ms[latency_ms.size() / 2];
    EXPECT_LE(median, time_bound_ms(windows_build() ? 25.0 : 10.0));
    EXPECT_LE(latency_ms.back(), time_bound_ms(250.0));
    std::cout << "appended record to packet on the pipe, " << latency_ms.size() << " records: median " << median
              << " ms, worst " << latency_ms.back() << " ms; " << idle_cpu_ms << " ms of processor time over an idle second; stopped "
              << stop_ms << " ms after SIGTERM\n";
}

// A followed capture that grows past 4 GiB (a hole, which reads as records
// of zeros, then two good records): the records at its end arrive too, with
// 32-bit file offsets nowhere.
TEST(extcap_capture, follows_a_file_that_grows_past_4_gib)
{
    scratch_dir dir("past-4-gib");
    const fs::path large = large_file_dir(dir.path), source = large / "source.bin", out = large / "out.pcap";
    write_file(source, records(1, 2, good_record));
    running_process extcap = start_process(
        extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", out.string(), "--source", source.string(), "--follow"}),
        dir.path / "console", console_mode::errors_to_file);
    const process_guard extcap_guard(extcap);
    const auto wait_for_size = [&out](std::uintmax_t size) {
        std::error_code missing;
        for (const auto deadline = steady::now() + 120s; steady::now() < deadline; std::this_thread::sleep_for(5ms))
            if (fs::file_size(out, missing) >= size && !missing)
                return true;
        return false;
    };
    EXPECT_TRUE(wait_for_size(pcap_of(2).size()));
    const std::uint64_t hole_end = (large_capture_records - 2) * record_size;
    ASSERT_TRUE(set_file_size(source, hole_end));
    ASSERT_TRUE(write_file_part(source, hole_end, records(3, 4, good_record)));
    const std::uint64_t size = pcap_of(4).size() + (large_capture_records - 4) * zero_packet().size();
    EXPECT_TRUE(wait_for_size(size));
    kill(extcap.pid, SIGTERM); // (Wine ends a Windows program so, as Windows' TerminateProcess does)
    const process_result result = finish_process(extcap, dir.path / "console", 20s);
    if (!windows_build()) {
        EXPECT_EQ(result.status, 0) << result.errors;
    }
    EXPECT_EQ(fs::file_size(out), size);
    EXPECT_EQ(visible(read_file_part(out, 0, pcap_of(2).size() + zero_packet().size())), visible(pcap_of(2) + zero_packet()));
    EXPECT_EQ(visible(read_file_part(out, size - 2 * good_packet(3).size(), 64)), visible(records(3, 4, good_packet)));
    fs::remove_all(large);
}

// A new capture written into the followed file: in one go, as one process
// writes a whole file, so the follower never sees it shorter than before;
// or as another file put in its place. It is read from its first record,
// never mixed with the old one.
struct new_capture_case {
    const char* name;
    std::uint32_t records; // the new capture's, after the old one's three
    bool renamed_over = false;
    // A fourth record appended to the old capture in two pieces first: the
    // bytes kept to recognise it span two reads. (A record's last 81 bytes
    // are its body's zeros, alike in every record here.)
    bool last_in_pieces = false;
};

void PrintTo(const new_capture_case& c, std::ostream* os) { *os << c.name; }

class new_capture_in_the_followed_file : public ::testing::TestWithParam<new_capture_case> {};

TEST_P(new_capture_in_the_followed_file, is_read_from_its_first_record)
{
    const new_capture_case& c = GetParam();
    scratch_dir dir(c.name);
    const fs::path source = dir.path / "source.bin";
    write_file(source, records(1000, 1002, good_record));
    wireshark_pipe pipe(dir.path);
    running_process extcap = start_process(
        extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", pipe.name(), "--source", source.string(), "--follow"}),
        dir.path / "console", console_mode::errors_to_file);
    const process_guard guard(extcap);
    std::string received;
    std::string expected = global_header + records(1000, 1002, good_packet);
    pipe.read_until_size(received, expected.size());
    ASSERT_EQ(visible(received), visible(expected));
    if (c.last_in_pieces) {
        const int appender = open(source.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_TRUE(write_all(appender, good_record(1003).substr(0, 70)));
        std::this_thread::sleep_for(120ms);
        ASSERT_TRUE(write_all(appender, good_record(1003).substr(70)));
        close(appender);
        expected += good_packet(1003);
        pipe.read_until_size(received, expected.size());
        ASSERT_EQ(visible(received), visible(expected));
    }

    const std::string capture = records(1, c.records, good_record);
    if (c.renamed_over) {
        write_file(dir.path / "next.bin", capture);
        fs::rename(dir.path / "next.bin", source);
    } else { // truncated and written by one write call
        const int writer = open(source.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_TRUE(write_all(writer, capture));
        close(writer);
    }
    expected += records(1, c.records, good_packet);
    pipe.read_until_size(received, expected.size());
    pipe.read_until_size(received, expected.size() + 1, 200ms); // and nothing more
    kill(extcap.pid, SIGTERM);
    finish_process(extcap, dir.path / "console", 10s);
    EXPECT_EQ(visible(received), visible(expected));
}

INSTANTIATE_TEST_SUITE_P(rewrites, new_capture_in_the_followed_file,
                         ::testing::Values(new_capture_case{.name = "larger_in_one_go", .records = 5},
                                           new_capture_case{.name = "same_size_in_one_go", .records = 3},
                                           new_capture_case{.name = "smaller_in_one_go", .records = 2},
                                           new_capture_case{.name = "another_file_renamed_over_it", .records = 4, .renamed_over = true},
                                           new_capture_case{.name = "same_size_after_a_record_written_in_pieces", .records = 4,
                                                            .last_in_pieces = true}),
                         [](const auto& row) { return std::string(row.param.name); });

// Wireshark's side of the program's control pipes, played as Wireshark 4.0
// plays it. On Linux a thread of its own opens the pipe from the program
// without waiting; then its window's main thread opens the pipe to the
// program with a blocking open, whenever it gets to it, and stays in that
// open until the program holds the other end: this side never gives that
// open up by itself (the test does, after its verdict). On Windows the pipe
// peer makes both pipes before the program starts and waits for the program
// to connect to each, as Wireshark does. Then it says it is ready
// ("initialized") and reads what comes; a stalled side reads nothing, a
// flooding one sends without end.
struct control_packet {
    int control;
    int command;
    std::string payload;
};

class wireshark_control_side {
public:
    // dies: reads until the file "wireshark-killed" appears in its folder,
    // then closes both its ends at once, as a killed Wireshark leaves them.
    enum class behaviour { reads, stalls, floods, dies };

    explicit wireshark_control_side(const fs::path& dir) : dir_(dir)
    {
        if (windows_build()) {
            const std::string name = "wpan2pcap-" + dir.filename().string();
            from_program_ = "\\\\.\\pipe\\wireshark_control_ext_to_ws_" + name;
            to_program_ = "\\\\.\\pipe\\wireshark_control_ws_to_ext_" + name;
        } else {
            from_program_ = (dir / "control-out").string();
            to_program_ = (dir / "control-in").string();
            mkfifo(from_program_.c_str(), 0600);
            mkfifo(to_program_.c_str(), 0600);
        }
    }
    ~wireshark_control_side()
    {
        if (!side_.joinable())
            return;
        side_.request_stop();
        // An open still waiting is let go of here, once the row has judged it.
        const int release = opened_ ? -1 : open(to_program_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        side_.join();
        if (release >= 0)
            close(release);
    }

    // What Wireshark passes: the pipe it writes is the program's control-in.
    std::vector<std::string> arguments() const { return {"--extcap-control-in", to_program_, "--extcap-control-out", from_program_}; }
    const std::string& to_program() const { return to_program_; }
    const std::string& from_program() const { return from_program_; }

    // `only_to_program`: the program was given something else for the pipe
    // to Wireshark, which Wireshark then does not wait for.
    void start(behaviour how = behaviour::reads, bool only_to_program = false)
    {
        started_ = steady::now();
        if (windows_build()) {
            std::vector<std::string> arguments = {"control", "wpan2pcap-" + dir_.filename().string(), received().string()};
            if (only_to_program)
                arguments.emplace_back("only-to-program");
            else if (how != behaviour::reads)
                arguments.emplace_back("stall");
            side_ = awaited(start_pipe_peer(arguments, dir_), dir_);
            return;
        }
        side_ = std::jthread([this, how](std::stop_token stop) {
            const int from = open(from_program_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            const int to = open(to_program_.c_str(), O_WRONLY | O_CLOEXEC); // the window waits here
            opened_ = true;
            write_all(to, std::string("T\0\0\x02\0\0", 6)); // control 0, initialized
            std::string got;
            const fs::path killed = dir_ / "wireshark-killed";
            while ((how == behaviour::reads || how == behaviour::dies) && !stop.stop_requested()) {
                if (how == behaviour::dies && fs::exists(killed)) {
                    close(from);
                    close(to);
                    return;
                }
                pollfd ready{from, POLLIN, 0};
                if (poll(&ready, 1, 10) > 0) {
                    char buffer[4096];
                    const ssize_t n = read(from, buffer, sizeof buffer);
                    std::lock_guard lock(mutex_);
                    if (n > 0) {
                        got.append(buffer, static_cast<std::size_t>(n));
                        received_ = got;
                    } else {
                        writer_gone_ = true; // and everything it wrote was read
                        std::this_thread::sleep_for(1ms);
                    }
                }
            }
            if (how == behaviour::floods) {
                // Packets without end, as fast as the pipe takes them.
                std::string flood;
                for (int n = 0; n < 10'000; ++n)
                    flood += std::string("T\0\0\x02\0\x01", 6); // control 0, set
                signal(SIGPIPE, SIG_IGN); // the program's end shows as EPIPE
                while (!stop.stop_requested() && write_all(to, flood)) {
                }
            }
            while (!stop.stop_requested()) // stalled: takes nothing
                std::this_thread::sleep_for(1ms);
            close(from);
            close(to);
        });
    }

    // True when Wireshark's open of the pipe to the program (on Windows, its
    // wait for the program to connect) returned within `patience` of its start.
    bool opened_within(std::chrono::milliseconds patience)
    {
        const fs::path connected = received().string() + ".connected";
        while (!(windows_build() ? fs::exists(connected) : opened_.load()) && steady::now() < started_ + patience)
            std::this_thread::sleep_for(1ms);
        return windows_build() ? fs::exists(connected) : opened_.load();
    }

    // The packets received, in order, once the program has closed its end
    // (or a while has passed; or at once, when `now`).
    std::vector<control_packet> packets(bool now = false)
    {
        std::string bytes;
        for (const auto deadline = steady::now() + 5s;; std::this_thread::sleep_for(1ms)) {
            if (windows_build()) {
                const bool ended = fs::exists(received().string() + ".end");
                bytes = read_file(received());
                if (now || ended || steady::now() > deadline)
                    break;
                continue;
            }
            std::lock_guard lock(mutex_);
            bytes = received_;
            if (now || writer_gone_ || steady::now() > deadline)
                break;
        }
        std::vector<control_packet> out;
        for (std::size_t at = 0; at + 6 <= bytes.size();) {
            const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + i])); };
            const std::size_t length = byte(1) << 16 | byte(2) << 8 | byte(3);
            if (bytes[at] != 'T' || length < 2 || at + 4 + length > bytes.size())
                break;
            out.push_back({static_cast<int>(byte(4)), static_cast<int>(byte(5)), bytes.substr(at + 6, length - 2)});
            at += 4 + length;
        }
        return out;
    }

    // The payloads of `command` to control 0, joined (by "|" but for log lines).
    std::string said(int command, bool so_far = false)
    {
        std::string text;
        for (const control_packet& packet : packets(so_far))
            if (packet.control == 0 && packet.command == command)
                text += packet.payload + (command == 2 ? "" : "|");
        return text;
    }

private:
    fs::path received() const { return dir_ / "control-received"; }

    fs::path dir_;
    std::string from_program_, to_program_;
    std::jthread side_;
    std::atomic<bool> opened_{false};
    steady::time_point started_{};
    std::mutex mutex_;
    std::string received_;
    bool writer_gone_ = false;
};

constexpr int log_add = 2, status_bar = 6, information_message = 7, warning_message = 8;

// Ways a capture must end, and how soon, in scenes Wireshark or a hostile
// environment sets, each with Wireshark's side of the control pipes playing
// its part: whatever ends the capture, Wireshark's open of its end must
// return, or its window would wait for ever. Each row lists the platforms
// whose pipes, links and devices it needs; Wireshark's pipe is a POSIX named
// pipe or, on Windows, the pipe peer serving one as Wireshark makes it.
enum class runs_on { both, posix };

void no_act(const fs::path&, pid_t) {}

struct ending_case {
    const char* name;
    // Sets the scene in `dir`; returns the program's arguments after
    // --capture --extcap-interface wpan2pcap (and --fifo, when Wireshark's
    // pipe is given below).
    std::function<std::vector<std::string>(const fs::path& dir)> scene;
    // Acts on the running program (and its scene); returns when the clock starts.
    std::function<void(const fs::path& dir, pid_t pid)> act = no_act;
    int status = 0;
    std::string error = {}; // a part of standard error, which is one line; or nothing at all
    double within_ms = 1000.0; // from the act to the program's end
    // Files in the scene and what each must hold at the end (nothing: it must not exist).
    std::vector<std::pair<std::string, std::optional<std::string>>> files = {};
    // The program's standard output and error on a terminal, where the
    // error is then read; else standard error to a file.
    bool on_a_terminal = false;
    // Undoes what the scene set up beyond its folder.
    std::function<void(const fs::path& dir)> tidy = {};
    runs_on where = runs_on::posix;
    // Wireshark's pipe as --fifo, read this much before its reader leaves
    // (after the act; the clock starts then).
    std::optional<std::size_t> wireshark_reads = std::nullopt;
    // On Windows, where a program is stopped from its console, Ctrl-C is
    // pressed once `out` holds this much (the act stops it on POSIX).
    std::optional<std::size_t> ctrl_c_at = std::nullopt;
    // A peer the scene needs, started before it and stopped at the end.
    std::function<std::jthread(const fs::path& dir)> helper = {};
    // When Wireshark's side opens its control pipes, after the program
    // starts (before it, when negative). On Windows it makes them before,
    // and waits for the program from then on, as Wireshark does.
    std::chrono::milliseconds controls_after = 0ms;
    // Control paths other than Wireshark's own, for a row that tries them.
    std::function<std::vector<std::string>(const fs::path& dir, const wireshark_control_side& side)> controls = {};
    wireshark_control_side::behaviour side = wireshark_control_side::behaviour::reads;
    // A part of the log that must reach Wireshark's side (nothing: not looked at).
    std::string logged = {};
};

void PrintTo(const ending_case& c, std::ostream* os) { *os << c.name; }

class capture_ending : public ::testing::TestWithParam<ending_case> {};

TEST_P(capture_ending, ends_as_it_should_and_soon)
{
    const ending_case& c = GetParam();
    scratch_dir dir(c.name);
    std::jthread helper = c.helper ? c.helper(dir.path) : std::jthread();
    std::optional<wireshark_pipe> pipe;
    std::vector<std::string> arguments = {"--capture", "--extcap-interface", "wpan2pcap"};
    if (c.wireshark_reads) {
        pipe.emplace(dir.path, *c.wireshark_reads);
        arguments.insert(arguments.end(), {"--fifo", pipe->name()});
    }
    const std::vector<std::string> scene = c.scene(dir.path);
    arguments.insert(arguments.end(), scene.begin(), scene.end());
    if (scene.empty()) { // the scene cannot be set here
        if (in_ci())
            FAIL() << "CI must set every scene: root and losetup";
        GTEST_SKIP() << "needs root and losetup";
    }
    wireshark_control_side controls(dir.path);
    const std::vector<std::string> control_arguments = c.controls ? c.controls(dir.path, controls) : controls.arguments();
    arguments.insert(arguments.end(), control_arguments.begin(), control_arguments.end());
    // Wireshark's side plays its part when its own pipe is among them.
    const auto given = [&control_arguments](const std::string& path) {
        return std::find(control_arguments.begin(), control_arguments.end(), path) != control_arguments.end();
    };
    const bool wiresharks_controls = given(controls.to_program());
    const bool only_to_program = !given(controls.from_program());
    std::vector<std::string> command = extcap_command(arguments);
    const bool ctrl_c = windows_build() && c.ctrl_c_at;
    if (ctrl_c) { // the program runs on the peer's console, which presses Ctrl-C
        command.erase(command.begin()); // the peer starts the program itself, not Wine
        const std::vector<std::string> peer = pipe_peer_command({"ctrl-c", (dir.path / "trace").string(), (dir.path / "out").string(),
                                                                 std::to_string(*c.ctrl_c_at), (dir.path / "report").string()});
        command.insert(command.begin(), peer.begin(), peer.end());
    }
    const bool controls_first = windows_build() || c.controls_after < 0ms;
    if (wiresharks_controls && controls_first)
        controls.start(c.side, only_to_program);
    running_process extcap =
        start_process(command, dir.path / "console", c.on_a_terminal || ctrl_c ? console_mode::terminal : console_mode::errors_to_file);
    const process_guard extcap_guard(extcap);
    if (wiresharks_controls && !controls_first) {
        std::this_thread::sleep_for(c.controls_after);
        controls.start(c.side, only_to_program);
    }
    c.act(dir.path, extcap.pid);
    if (pipe && c.wireshark_reads)
        pipe->read_then_leave();
    const auto acted = steady::now();
    process_result result = finish_process(extcap, dir.path / "console", 40s);
    double ended_ms = std::chrono::duration<double, std::milli>(steady::now() - acted).count();
    if (ctrl_c) { // as the peer saw the program end
        const std::string report = read_file(dir.path / "report");
        result.status = report.starts_with("exit 0x00000000, ") ? 0 : -1;
        result.output.clear();
        ended_ms = std::strtod(report.c_str() + std::string_view("exit 0x00000000, ").size(), nullptr);
        EXPECT_TRUE(report.ends_with(" ms after Ctrl-C\n")) << report;
    }
    if (wiresharks_controls) {
        EXPECT_TRUE(controls.opened_within(windows_build() ? 20s : 5s))
            << "Wireshark's window would wait for ever for the program's end of its control pipe";
    }
    if (helper.joinable()) {
        helper.request_stop();
        helper.join();
    }
    if (c.tidy)
        c.tidy(dir.path);
    EXPECT_EQ(result.status, c.status);
    const std::string& errors = c.on_a_terminal ? result.output : result.errors;
    if (c.error.empty()) {
        EXPECT_EQ(visible(errors), "");
    } else { // one line, and nothing before it
        EXPECT_TRUE(errors.starts_with("wpan2pcap-extcap: ") && errors.find(c.error) != std::string::npos &&
                    std::count(errors.begin(), errors.end(), '\n') == 1)
            << visible(errors);
    }
    EXPECT_LT(ended_ms, time_bound_ms(c.within_ms));
    if (!c.logged.empty()) {
        const std::string log = controls.said(log_add);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
    for (const auto& [name, content] : c.files) {
        if (content) {
            EXPECT_EQ(visible(read_file(dir.path / name)), visible(*content)) << name;
        } else {
            EXPECT_FALSE(fs::exists(dir.path / name)) << name << " should not be there";
        }
    }
    std::cout << c.name << ": ended " << ended_ms << " ms after the act\n";
}

// A capture of 512 records in `dir / image` with a loop device over it: the
// device goes to `device_option`, the file to `file_option`. With `second`,
// another device goes to `file_option`: over the same file, or, with
// `over_the_first`, over the first device, whose place the second then takes.
// Nothing when no device can be made here. The devices are listed in
// `dir / "devices"`, the deepest first.
enum class loop_devices { one, two_over_the_file, one_over_the_other };

std::vector<std::string> loop_scene(const fs::path& d, const std::string& image, const std::string& device_option,
                                    const std::string& file_option, loop_devices made = loop_devices::one)
{
    write_file(d / image, records(1, 512, good_record));
    std::vector<std::string> devices;
    for (int count = 0; count < (made == loop_devices::one ? 1 : 2); ++count) {
        const std::string backing = made == loop_devices::one_over_the_other && count == 1 ? devices.front() : (d / image).string();
        const process_result device = run_process({"losetup", "--find", "--show", backing}, d / "losetup");
        if (getuid() != 0 || device.status != 0)
            return {};
        devices.push_back(device.output.substr(0, device.output.find('\n')));
        write_file(d / "devices", devices.front() + "\n" + (devices.size() > 1 ? devices.back() + "\n" : ""));
    }
    if (made == loop_devices::two_over_the_file)
        return {device_option, devices.front(), file_option, devices.back()};
    return {device_option, devices.back(), file_option, (d / image).string()};
}

void detach_loop_devices(const fs::path& d)
{
    std::istringstream listed(read_file(d / "devices"));
    std::vector<std::string> devices;
    for (std::string device; std::getline(listed, device);)
        devices.push_back(device);
    for (auto device = devices.rbegin(); device != devices.rend(); ++device) // the one over the other first
        run_process({"losetup", "--detach", *device}, d / "losetup");
}

// Waits until `path` holds `size` bytes.
void wait_for_size(const fs::path& path, std::size_t size)
{
    std::error_code missing;
    for (const auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms))
        if (fs::file_size(path, missing) >= size && !missing)
            return;
}

// Waits until the process holds `path` open, as the kernel tells: a fixed
// sleep is too short for a program started under an emulator on a busy machine.
void wait_until_open(pid_t pid, const fs::path& path)
{
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms)) {
        std::error_code gone;
        for (fs::directory_iterator fd(fds, gone), end; !gone && fd != end; fd.increment(gone))
            if (fs::read_symlink(fd->path(), gone) == path)
                return;
    }
}

// A named pipe as the source that has a writer who writes nothing: on
// POSIX one without a writer yet, on Windows the pipe peer's, held open.
std::vector<std::string> silent_source_pipe(const fs::path& d)
{
    if (windows_build())
        return {"--source", "\\\\.\\pipe\\wpan2pcap-source-" + d.filename().string()};
    mkfifo((d / "source").c_str(), 0600);
    return {"--source", (d / "source").string()};
}

std::jthread silent_writer(const fs::path& d)
{
    if (!windows_build())
        return {};
    write_file(d / "nothing", "");
    return awaited(start_pipe_peer({"write", "wpan2pcap-source-" + d.filename().string(), (d / "nothing").string(), "0", "hold"}, d), d);
}

// A writer waiting for a reader of the named pipe `d / source` without
// blocking, until the row ends: should anyone open it to read, `d / stolen`
// says so.
std::jthread waiting_source_writer(const fs::path& d)
{
    mkfifo((d / "source").c_str(), 0600);
    return std::jthread([d](std::stop_token stop) {
        while (!stop.stop_requested()) {
            const int fd = open((d / "source").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                write_file(d / "stolen", "someone opened the source to read it");
                close(fd);
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    });
}

// A source file of the sample records, and the plain file the capture goes to.
std::vector<std::string> plain_scene(const fs::path& d, const std::string& source = records(1, 3, good_record))
{
    write_file(d / "source", source);
    return {"--fifo", (d / "out").string(), "--source", (d / "source").string()};
}

// The same, followed.
std::vector<std::string> followed_scene(const fs::path& d)
{
    std::vector<std::string> arguments = plain_scene(d);
    arguments.emplace_back("--follow");
    return arguments;
}

// Stops a program that follows the plain scene once its three packets are
// out and it waits for more: on POSIX by SIGTERM, as Wireshark stops it (on
// Windows the scene's console presses Ctrl-C).
void stop_once_quiet(const fs::path& d, pid_t pid)
{
    if (windows_build())
        return;
    wait_for_size(d / "out", pcap_of(3).size());
    std::this_thread::sleep_for(100ms);
    kill(pid, SIGTERM);
}

const std::string users_notes = "my notes: channel 15, sniffer on the roof\n";

const ending_case ending_cases[] = {
    // Stopped while the source, a named pipe, has no writer yet: a stop, not a failure.
    {.name = "stop_while_the_source_pipe_waits_for_its_writer",
     .scene =
         [](const fs::path& d) {
             mkfifo((d / "source").c_str(), 0600);
             return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "source").string()};
         },
     .act =
         [](const fs::path& d, pid_t pid) {
             wait_until_open(pid, d / "source");
             std::this_thread::sleep_for(100ms);
             kill(pid, SIGTERM);
         },
     .within_ms = 100.0},
    // Stopped while following a quiet file: on POSIX by SIGTERM, as
    // Wireshark stops it; on Windows by Ctrl-C on its console. Status 0, at once.
    {.name = "stop_while_following",
     .scene = followed_scene,
     .act = stop_once_quiet,
     .within_ms = 100.0,
     .files = {{"out", pcap_of(3)}},
     .where = runs_on::both,
     .ctrl_c_at = pcap_of(3).size()},
    // Wireshark opened its control pipes before the program started.
    {.name = "stop_while_following_with_the_control_pipes_opened_first",
     .scene = followed_scene,
     .act = stop_once_quiet,
     .within_ms = 100.0,
     .files = {{"out", pcap_of(3)}},
     .controls_after = -1ms},
    // The whole file, and the end, with Wireshark at once or held back for
    // three seconds, as a busy machine holds its window.
    {.name = "end_of_the_file", .scene = [](const fs::path& d) { return plain_scene(d); }, .files = {{"out", pcap_of(3)}},
     .where = runs_on::both},
    {.name = "end_of_the_file_with_wireshark_slow_to_its_control_pipes",
     .scene = [](const fs::path& d) { return plain_scene(d); },
     .files = {{"out", pcap_of(3)}},
     .controls_after = 3s},
    // The reader leaves part-way through a large source (4 GiB, sparse):
    // the program ends at its next packet, not at the end of the source.
    {.name = "reader_gone_part_way_through_a_large_source",
     .scene =
         [](const fs::path& d) {
             EXPECT_TRUE(set_file_size(d / "source", std::uint64_t{4} << 30));
             return std::vector<std::string>{"--source", (d / "source").string()};
         },
     .within_ms = 100.0,
     .where = runs_on::both,
     .wireshark_reads = 1000},
    // Wireshark gone (or the SSH session that carried the capture) while
    // the followed file is quiet: nobody reads, and the program ends.
    {.name = "reader_gone_while_the_followed_file_is_quiet",
     .scene =
         [](const fs::path& d) {
             write_file(d / "source", records(1, 3, good_record));
             return std::vector<std::string>{"--source", (d / "source").string(), "--follow"};
         },
     .where = runs_on::both,
     .wireshark_reads = pcap_of(3).size()},
    // The same while the source, a named pipe, is silent; the capture's
    // header comes first all the same, so that Wireshark starts its
    // capture (and its stop conditions) at once.
    {.name = "reader_gone_while_the_source_pipe_is_silent",
     .scene = silent_source_pipe,
     .where = runs_on::both,
     .wireshark_reads = global_header.size(),
     .helper = silent_writer},
    // Refusals: the message at once, and the program stays until
    // Wireshark has its control pipes, however late it comes.
    {.name = "error_with_no_reader_on_the_pipe",
     .scene =
         [](const fs::path& d) {
             std::string fifo = "\\\\.\\pipe\\nobody-" + d.filename().string();
             if (!windows_build()) {
                 fifo = (d / "fifo").string();
                 mkfifo(fifo.c_str(), 0600);
             }
             return std::vector<std::string>{"--fifo", fifo, "--source", (d / "missing").string()};
         },
     .status = 2,
     .error = "cannot open the source",
     .where = runs_on::both},
    {.name = "missing_source_with_wireshark_slow_to_its_control_pipes",
     .scene = [](const fs::path& d) { return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "missing").string()}; },
     .status = 2,
     .error = "cannot open the source",
     .files = {{"out", std::nullopt}},
     .controls_after = 3s},
    {.name = "source_is_a_folder",
     .scene = [](const fs::path& d) { return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", d.string()}; },
     .status = 2,
     .error = "is a folder, not a record capture",
     .files = {{"out", std::nullopt}},
     .where = runs_on::both},
    {.name = "capture_filter_given",
     .scene =
         [](const fs::path& d) {
             std::vector<std::string> arguments = plain_scene(d);
             arguments.insert(arguments.end(), {"--extcap-capture-filter", "udp"});
             return arguments;
         },
     .status = 1,
     .error = "capture filters are not supported",
     .files = {{"out", std::nullopt}},
     .where = runs_on::both,
     .logged = "source\" refused: capture filters are not supported: leave the capture filter empty and use a display filter\n"},
    // A capture of a format Wireshark reads itself: refused, the format named.
    {.name = "source_is_a_pcap",
     .scene = [](const fs::path& d) { return plain_scene(d, pcap_of(3)); },
     .status = 2,
     .error = "is a PCAP file, not a record capture: open it in Wireshark directly",
     .files = {{"out", std::nullopt}},
     .where = runs_on::both,
     .logged = "source\" ended: the source \""},
    // A record capture whose first record begins with PCAP's magic number
    // (flags 0xD4 and the number 10,597,059, as a sniffer wrote them) is a
    // record capture all the same.
    {.name = "source_beginning_with_pcaps_magic_by_chance",
     .scene =
         [](const fs::path& d) {
             return plain_scene(d, as_string(make_record({.flags = 0xD4, .number = 10'597'059, .timestamp = 1'000'001, .length = 4,
                                                          .body = {'A', 'B', 'C', 'D'}})) +
                                       records(2, 3, good_record));
         },
     .files = {{"out", global_header + le32(1) + le32(1) + le32(6) + le32(6) + "ABCD" + std::string(2, '\0') +
                           records(2, 3, good_packet)}},
     .where = runs_on::both},
    // A PCAP moved over the followed file: the new capture in the file is
    // checked as a source is, and refused; no packet made of its bytes.
    {.name = "pcap_moved_over_the_followed_file",
     .scene = followed_scene,
     .act =
         [](const fs::path& d, pid_t) {
             wait_for_size(d / "out", pcap_of(3).size());
             write_file(d / "other.pcap", pcap_of(10));
             fs::rename(d / "other.pcap", d / "source");
         },
     .status = 2,
     .error = "is a PCAP file, not a record capture: open it in Wireshark directly",
     .files = {{"out", pcap_of(3)}}},
    // Wireshark killed (or crashed) while the followed file is quiet: the
    // end of the control pipe it wrote is all it leaves (dumpcap, which
    // reads the capture, stays), and the program ends at once.
    {.name = "wireshark_killed_while_the_followed_file_is_quiet",
     .scene = followed_scene,
     .act =
         [](const fs::path& d, pid_t) {
             wait_for_size(d / "out", pcap_of(3).size());
             std::this_thread::sleep_for(200ms);
             write_file(d / "wireshark-killed", "");
         },
     .within_ms = 250.0,
     .files = {{"out", pcap_of(3)}},
     .side = wireshark_control_side::behaviour::dies},
    {.name = "source_is_a_pcapng",
     .scene =
         [](const fs::path& d) {
             // A section header block as a big-endian writer makes it.
             return plain_scene(d, as_string({0x0A, 0x0D, 0x0D, 0x0A, 0, 0, 0, 28, 0x1A, 0x2B, 0x3C, 0x4D, 0, 1, 0, 0, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 28}) +
                                       std::string(200, '\0'));
         },
     .status = 2,
     .error = "is a pcapng file, not a record capture",
     .files = {{"out", std::nullopt}},
     .where = runs_on::both},
    // A followed link swapped to point at the output: never read back.
    {.name = "followed_link_swapped_to_the_output",
     .scene =
         [](const fs::path& d) {
             write_file(d / "capture.bin", records(1, 3, good_record));
             fs::create_symlink(d / "capture.bin", d / "link");
             return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "link").string(), "--follow"};
         },
     .act =
         [](const fs::path& d, pid_t) {
             wait_for_size(d / "out", pcap_of(3).size());
             fs::create_symlink(d / "out", d / "new-link");
             fs::rename(d / "new-link", d / "link");
         },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", pcap_of(3)}}},
    // A loop device over the source as the pipe: the same data, refused;
    // and so a second loop device over the file behind the source one, the
    // file behind the source device (its name holding a line feed), and a
    // loop device over a loop device over the source, either way round.
    {.name = "pipe_is_a_loop_device_over_the_source",
     .scene = [](const fs::path& d) { return loop_scene(d, "out", "--fifo", "--source"); },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", records(1, 512, good_record)}},
     .tidy = detach_loop_devices},
    {.name = "pipe_is_a_second_loop_device_over_the_source_devices_file",
     .scene = [](const fs::path& d) { return loop_scene(d, "out", "--fifo", "--source", loop_devices::two_over_the_file); },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", records(1, 512, good_record)}},
     .tidy = detach_loop_devices},
    {.name = "pipe_is_the_file_named_with_a_line_feed_behind_the_source_device",
     .scene = [](const fs::path& d) { return loop_scene(d, "nl\nname.bin", "--source", "--fifo"); },
     .status = 2,
     .error = "the pipe is the source itself",
     .tidy = detach_loop_devices},
    {.name = "pipe_is_a_loop_device_over_a_loop_device_over_the_source",
     .scene = [](const fs::path& d) { return loop_scene(d, "out", "--fifo", "--source", loop_devices::one_over_the_other); },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", records(1, 512, good_record)}},
     .tidy = detach_loop_devices},
    {.name = "pipe_is_the_file_behind_the_loop_device_over_the_source_device",
     .scene = [](const fs::path& d) { return loop_scene(d, "out", "--source", "--fifo", loop_devices::one_over_the_other); },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", records(1, 512, good_record)}},
     .tidy = detach_loop_devices},
    // A terminal never takes a capture: binary PCAP would fill the screen.
    {.name = "pipe_is_a_terminal",
     .scene =
         [](const fs::path& d) {
             write_file(d / "source", records(1, 3, good_record));
             return std::vector<std::string>{"--fifo", "/dev/tty", "--source", (d / "source").string()};
         },
     .status = 2,
     .error = "cannot open the pipe \"/dev/tty\": a terminal never takes a capture",
     .on_a_terminal = true},
    // The source named as the pipe: refused before anything is written.
    {.name = "source_is_the_pipe_itself",
     .scene =
         [](const fs::path& d) {
             write_file(d / "out", records(1, 3, good_record));
             return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "out").string()};
         },
     .status = 2,
     .error = "the pipe is the source itself",
     .files = {{"out", records(1, 3, good_record)}},
     .where = runs_on::both},
    // Control paths that are not Wireshark's: refused before anything is
    // written, nothing of the user's or the capture's touched; the pipe
    // Wireshark gave is still held for it.
    {.name = "control_out_is_a_file_of_the_users",
     .scene =
         [](const fs::path& d) {
             write_file(d / "notes.txt", users_notes);
             return plain_scene(d);
         },
     .status = 2,
     .error = "is not a named pipe: only Wireshark's own control pipes are taken",
     .files = {{"notes.txt", users_notes}, {"out", std::nullopt}, {"source", records(1, 3, good_record)}},
     .where = runs_on::both,
     .controls = [](const fs::path& d, const wireshark_control_side& side) {
         return std::vector<std::string>{"--extcap-control-in", side.to_program(), "--extcap-control-out", (d / "notes.txt").string()};
     }},
    {.name = "control_out_is_the_source_file",
     .scene = [](const fs::path& d) { return plain_scene(d); },
     .status = 2,
     .error = "is not a named pipe",
     .files = {{"out", std::nullopt}, {"source", records(1, 3, good_record)}},
     .where = runs_on::both,
     .controls = [](const fs::path& d, const wireshark_control_side& side) {
         return std::vector<std::string>{"--extcap-control-in", side.to_program(), "--extcap-control-out", (d / "source").string()};
     }},
    {.name = "control_out_is_the_output_file",
     .scene =
         [](const fs::path& d) {
             write_file(d / "out", users_notes);
             return plain_scene(d);
         },
     .status = 2,
     .error = "is not a named pipe",
     .files = {{"out", users_notes}},
     .where = runs_on::both,
     .controls = [](const fs::path& d, const wireshark_control_side& side) {
         return std::vector<std::string>{"--extcap-control-in", side.to_program(), "--extcap-control-out", (d / "out").string()};
     }},
    {.name = "control_out_is_the_output_not_yet_made",
     .scene = [](const fs::path& d) { return plain_scene(d); },
     .status = 2,
     .error = "is the capture's own pipe",
     .files = {{"out", std::nullopt}},
     .where = runs_on::both,
     .controls = [](const fs::path& d, const wireshark_control_side& side) {
         return std::vector<std::string>{"--extcap-control-in", side.to_program(), "--extcap-control-out", (d / "out").string()};
     }},
    {.name = "control_out_is_the_data_pipe",
     .scene =
         [](const fs::path& d) {
             mkfifo((d / "data").c_str(), 0600);
             write_file(d / "source", records(1, 3, good_record));
             return std::vector<std::string>{"--fifo", (d / "data").string(), "--source", (d / "source").string()};
         },
     .status = 2,
     .error = "is the capture's own pipe",
     .controls = [](const fs::path& d, const wireshark_control_side& side) {
         return std::vector<std::string>{"--extcap-control-in", side.to_program(), "--extcap-control-out", (d / "data").string()};
     }},
    {.name = "control_in_is_the_source_pipe",
     .scene = [](const fs::path& d) { return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "source").string()}; },
     .status = 2,
     .error = "is the source itself",
     .files = {{"out", std::nullopt}, {"stolen", std::nullopt}},
     .helper = waiting_source_writer,
     .controls = [](const fs::path& d, const wireshark_control_side&) {
         return std::vector<std::string>{"--extcap-control-in", (d / "source").string()};
     }},
    {.name = "control_paths_are_one_pipe",
     .scene =
         [](const fs::path& d) {
             mkfifo((d / "both").c_str(), 0600);
             return plain_scene(d);
         },
     .status = 2,
     .error = "the two control pipes are one and the same",
     .files = {{"out", std::nullopt}},
     .controls = [](const fs::path& d, const wireshark_control_side&) {
         return std::vector<std::string>{"--extcap-control-in", (d / "both").string(), "--extcap-control-out", (d / "both").string()};
     }},
};

// The rows of the platform under test: a row that cannot run on Windows is
// not listed there.
template <typename Row, std::size_t count>
std::vector<Row> platform_rows(const Row (&table)[count])
{
    std::vector<Row> rows;
    for (const Row& row : table)
        if (!windows_build() || row.where == runs_on::both)
            rows.push_back(row);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(scenes, capture_ending, ::testing::ValuesIn(platform_rows(ending_cases)),
                         [](const auto& row) { return std::string(row.param.name); });

// Whether an extcap process still reads `source`.
bool extcap_reading(const fs::path& source, const fs::path& scratch)
{
    return run_process({"pgrep", "-f", "wpan2pcap-extcap.*" + source.string()}, scratch / "pgrep").status == 0;
}

// What reaches Wireshark's window through the control pipes: each capture's
// beginning and end and what it met, in its log; the counts in its status
// bar; a dialog when something was left out or nothing captured; the
// capture's own bytes unchanged; and never a wait.
struct control_case {
    const char* name;
    std::string source;
    bool follow = false;
    // Acts on the running program and its source; returns when the clock starts.
    std::function<void(const fs::path& source, pid_t)> act = {};
    // Checks what Wireshark's side received, and the capture.
    std::function<void(wireshark_control_side&, const std::string& capture)> check = {};
    wireshark_control_side::behaviour side = wireshark_control_side::behaviour::reads;
    bool paths_exist = true;
    double within_ms = 10'000;
    // Wireshark opens its ends this long after starting the program (4.0
    // does so about a tenth of a second after, later on a busy machine); or
    // before, when negative. (On Windows it makes them before, and waits.)
    std::chrono::milliseconds side_after = 200ms;
    // A log line that must reach Wireshark before the act.
    std::string logged_before_the_act = {};
    runs_on where = runs_on::both;
    // A part of standard error, one line, which Wireshark shows in a dialog
    // of its own; nothing at all, else.
    std::string error = {};
};

void PrintTo(const control_case& c, std::ostream* os) { *os << c.name; }

class control_pipes : public ::testing::TestWithParam<control_case> {};

TEST_P(control_pipes, tell_wireshark_what_the_trace_would_and_never_hold_up_the_capture)
{
    const control_case& c = GetParam();
    scratch_dir dir(c.name);
    const fs::path source = dir.path / "source.bin";
    write_file(source, c.source);
    wireshark_control_side wireshark(dir.path);
    std::vector<std::string> arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", (dir.path / "out").string(),
                                          "--source", source.string()};
    if (c.follow)
        arguments.push_back("--follow");
    if (c.paths_exist) {
        const std::vector<std::string> controls = wireshark.arguments();
        arguments.insert(arguments.end(), controls.begin(), controls.end());
    } else {
        arguments.insert(arguments.end(), {"--extcap-control-in", (dir.path / "none" / "in").string(), "--extcap-control-out",
                                           (dir.path / "none" / "out").string()});
    }
    const bool side_first = windows_build() || c.side_after < 0ms;
    if (c.paths_exist && side_first)
        wireshark.start(c.side);
    running_process extcap = start_process(extcap_command(arguments), dir.path / "console", console_mode::errors_to_file);
    const process_guard extcap_guard(extcap);
    if (c.paths_exist && !side_first) {
        std::this_thread::sleep_for(c.side_after);
        wireshark.start(c.side);
    }
    if (!c.logged_before_the_act.empty()) {
        const auto deadline = steady::now() + 2s;
        while (wireshark.said(log_add, true).find(c.logged_before_the_act) == std::string::npos && steady::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_NE(wireshark.said(log_add, true).find(c.logged_before_the_act), std::string::npos) << "not while the capture waited";
    }
    if (c.act)
        c.act(source, extcap.pid);
    const auto acted = steady::now();
    const process_result result = finish_process(extcap, dir.path / "console", 40s);
    const double ended_ms = std::chrono::duration<double, std::milli>(steady::now() - acted).count();
    if (!windows_build() || !c.act) { // (Wine ends a Windows program that is sent a signal at once)
        EXPECT_EQ(result.status, 0) << result.errors;
    }
    if (c.error.empty()) {
        EXPECT_EQ(result.errors, "");
    } else {
        EXPECT_TRUE(result.errors.starts_with("wpan2pcap-extcap: ") && result.errors.find(c.error) != std::string::npos &&
                    std::count(result.errors.begin(), result.errors.end(), '\n') == 1)
            << visible(result.errors);
    }
    EXPECT_LT(ended_ms, time_bound_ms(c.within_ms));
    if (c.paths_exist) {
        EXPECT_TRUE(wireshark.opened_within(windows_build() ? 20s : 5s))
            << "Wireshark's window would wait for ever for the program's end of its control pipe";
    }
    // The capture is what it is without control pipes.
    const process_result plain =
        run_process(extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", (dir.path / "plain").string(), "--source",
                                    source.string()}),
                    dir.path / "console", console_mode::errors_to_file);
    EXPECT_EQ(plain.status, 0);
    const std::string capture = read_file(dir.path / "out");
    if (!c.follow) {
        EXPECT_TRUE(capture == read_file(dir.path / "plain"));
    }
    if (c.check)
        c.check(wireshark, capture);
    std::cout << c.name << ": ended " << ended_ms << " ms after the act\n";
}

// The resident memory of a process, in KiB.
long resident_kib(pid_t pid)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

// The log's first line names the source and the options, with the time.
void expect_log_begins(const std::string& log, const std::string& options)
{
    EXPECT_TRUE(log.starts_with("capture of \"") && log.find("source.bin\" began 20") < log.find('\n') &&
                log.find(options + "\n") == log.find('\n') - options.size())
        << log;
}

const control_case control_cases[] = {
    {.name = "skipped_records_and_a_trailing_partial_record",
     .source = records(1, 2, good_record) + as_string(make_record({.flags = 0x01, .number = 3, .length = 1})) +
               as_string(make_record({.flags = 0x00, .number = 4, .length = 200})) + good_record(5) + "seven b",
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, pcap_of(2) + good_packet(5));
             const std::string log = wireshark.said(log_add);
             expect_log_begins(log, "(follow: no, record numbers: no)");
             EXPECT_NE(log.find("record 3 skipped: invalid length 1 with flags 0x01\n"), std::string::npos) << log;
             EXPECT_NE(log.find("record 4 skipped: invalid length 200 with flags 0x00\n"), std::string::npos) << log;
             EXPECT_NE(log.find("the last 7 bytes of \""), std::string::npos) << log;
             EXPECT_NE(log.find("source.bin\" are not a whole record: ignored\n"), std::string::npos) << log;
             EXPECT_TRUE(log.ends_with("source.bin\": 3 records converted, 2 skipped\n")) << log;
             EXPECT_EQ(wireshark.said(status_bar), "3 records converted, 2 skipped|") << wireshark.said(status_bar);
             // The outcome stays on screen: both things left out, and where to read of them.
             const std::string information = wireshark.said(information_message);
             EXPECT_NE(information.find("source.bin\": 3 records converted, 2 skipped for an invalid length, and its last 7 bytes "
                                        "ignored, not a whole record; the interface's Log lists them"),
                       std::string::npos)
                 << information;
             EXPECT_EQ(std::count(information.begin(), information.end(), '|'), 1) << information;
             EXPECT_EQ(wireshark.said(warning_message), "");
         }},
    // Either thing left out alone raises the information too.
    {.name = "trailing_bytes_alone_raise_the_information",
     .source = records(1, 2, good_record) + "seven b",
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, pcap_of(2));
             const std::string information = wireshark.said(information_message);
             EXPECT_NE(information.find("source.bin\": 2 records converted, its last 7 bytes ignored, not a whole record; the "
                                        "interface's Log lists them"),
                       std::string::npos)
                 << information;
             EXPECT_EQ(std::count(information.begin(), information.end(), '|'), 1) << information;
             EXPECT_EQ(wireshark.said(warning_message), "");
         }},
    {.name = "skipped_records_alone_raise_the_information",
     .source = records(1, 2, good_record) + as_string(make_record({.flags = 0x01, .number = 3, .length = 1})),
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, pcap_of(2));
             const std::string information = wireshark.said(information_message);
             EXPECT_NE(information.find("source.bin\": 2 records converted, 1 skipped for an invalid length; the interface's Log "
                                        "lists them"),
                       std::string::npos)
                 << information;
             EXPECT_EQ(std::count(information.begin(), information.end(), '|'), 1) << information;
             EXPECT_EQ(wireshark.said(warning_message), "");
         }},
    {.name = "clean_capture_raises_no_dialog",
     .source = records(1, 3, good_record),
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, pcap_of(3));
             EXPECT_EQ(wireshark.said(status_bar), "3 records converted|");
             EXPECT_EQ(wireshark.said(information_message), "");
             EXPECT_EQ(wireshark.said(warning_message), "");
             EXPECT_TRUE(wireshark.said(log_add).ends_with("source.bin\": 3 records converted\n")) << wireshark.said(log_add);
         }},
    // Nothing captured: the reason goes as an error, which Wireshark shows
    // before its own "No packets captured" (a dialog sent would lie under it).
    {.name = "empty_source_says_why_before_wireshark_does",
     .source = "",
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, global_header);
             EXPECT_EQ(wireshark.said(warning_message), "");
             EXPECT_TRUE(wireshark.said(log_add).ends_with("source.bin\": 0 records converted\n")) << wireshark.said(log_add);
         },
     .error = "source.bin\" holds no whole record of 151 bytes: there is nothing to capture."},
    {.name = "every_record_skipped_says_why_before_wireshark_does",
     .source = records(1, 3, [](std::uint32_t n) { return as_string(make_record({.flags = 0x01, .number = n, .length = 1})); }),
     .check =
         [](wireshark_control_side& wireshark, const std::string& capture) {
             EXPECT_EQ(capture, global_header);
             EXPECT_EQ(wireshark.said(warning_message), "");
             EXPECT_EQ(wireshark.said(information_message), "");
         },
     .error = "source.bin\": 0 records converted, 3 skipped for an invalid length: there is nothing to capture; the interface's Log "
              "lists them"},
    {.name = "rewrite_of_the_followed_file_logged_and_status_once_a_second",
     .source = records(1, 3, good_record),
     .follow = true,
     .act =
         [](const fs::path& source, pid_t pid) {
             // Records for two seconds and more, then a new capture.
             const int appender = open(source.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             for (std::uint32_t n = 4; n <= 50; ++n) {
                 write_all(appender, good_record(n));
                 std::this_thread::sleep_for(50ms);
             }
             close(appender);
             // Emptied, and seen empty, before the new capture's records come.
             write_file(source, "");
             std::this_thread::sleep_for(300ms);
             write_file(source, records(1, 2, good_record));
             std::this_thread::sleep_for(1500ms);
             kill(pid, SIGTERM);
         },
     .check =
         [](wireshark_control_side& wireshark, const std::string&) {
             const std::string log = wireshark.said(log_add);
             expect_log_begins(log, "(follow: yes, record numbers: no)");
             EXPECT_NE(log.find("a new capture in \""), std::string::npos) << log;
             EXPECT_NE(log.find(": read again from its first record (the previous one: 50 records converted)\n"), std::string::npos) << log;
             // A followed capture stopped by the user ends its log too.
             EXPECT_TRUE(log.ends_with("source.bin\" stopped: 2 records converted\n")) << log;
             const std::string status = wireshark.said(status_bar);
             const auto messages = std::count(status.begin(), status.end(), '|');
             EXPECT_GE(messages, 2) << status;
             EXPECT_LE(messages, 5) << "more than one a second: " << status;
             // The status bar says a new capture began, with the counts of
             // the packets of it already shown (never none, as when the
             // file was seen empty, truncated before it was written); what
             // came last is shown once the file is quiet.
             EXPECT_NE(status.find("|new capture in the file: "), std::string::npos) << status;
             EXPECT_EQ(status.find("new capture in the file: 0 records"), std::string::npos) << status;
             EXPECT_TRUE(status.ends_with("|new capture in the file: 2 records converted|") ||
                         status.ends_with("|2 records converted|"))
                 << status;
         },
     .where = runs_on::posix},
    // Wireshark opens its ends after the followed file has gone quiet:
    // what waited reaches it all the same, while the file stays quiet.
    {.name = "log_reaches_wireshark_while_the_followed_file_is_quiet",
     .source = records(1, 2, good_record) + as_string(make_record({.flags = 0x01, .number = 3, .length = 1})),
     .follow = true,
     .act = [](const fs::path&, pid_t pid) { kill(pid, SIGTERM); },
     .within_ms = 100.0,
     .logged_before_the_act = "record 3 skipped: invalid length 1 with flags 0x01\n"},
    {.name = "control_paths_that_do_not_exist",
     .source = records(1, 3, good_record) + invalid_record(),
     .check = [](wireshark_control_side&, const std::string& capture) { EXPECT_EQ(capture, pcap_of(3)); },
     .paths_exist = false,
     .within_ms = 1000.0},
    // Wireshark's side reads nothing: the capture goes on all the same
    // (its packets after more log than a pipe holds), and stops at once.
    {.name = "stop_while_wireshark_reads_no_control_packet",
     .source =
         [] {
             std::string many;
             for (std::uint32_t n = 1; n <= 5000; ++n)
                 many += as_string(make_record({.flags = 0x01, .number = n, .length = 1}));
             return many + records(1, 3, good_record);
         }(),
     .follow = true,
     .act =
         [](const fs::path& source, pid_t pid) {
             wait_for_size(source.parent_path() / "out", pcap_of(3).size());
             kill(pid, SIGTERM);
         },
     .check = [](wireshark_control_side&, const std::string& capture) { EXPECT_EQ(capture, pcap_of(3)); },
     .side = wireshark_control_side::behaviour::stalls,
     .within_ms = 100.0,
     .side_after = -1ms},
    // What Wireshark sends never runs dry: it is read a bounded amount at a
    // time and not kept, memory stays flat, and a stop is obeyed at once.
    {.name = "control_input_that_never_runs_dry",
     .source = records(1, 3, good_record),
     .follow = true,
     .act =
         [](const fs::path& source, pid_t pid) {
             wait_for_size(source.parent_path() / "out", pcap_of(3).size());
             std::this_thread::sleep_for(300ms);
             const long before = resident_kib(pid);
             std::this_thread::sleep_for(2s);
             const long after = resident_kib(pid);
             EXPECT_GT(before, 0);
             EXPECT_LT(after - before, 8 * 1024) << "KiB of memory gained while the control input flooded in";
             kill(pid, SIGTERM);
         },
     .check = [](wireshark_control_side&, const std::string& capture) { EXPECT_EQ(capture, pcap_of(3)); },
     .side = wireshark_control_side::behaviour::floods,
     .within_ms = 100.0,
     .where = runs_on::posix},
};

INSTANTIATE_TEST_SUITE_P(log_status_and_warnings, control_pipes, ::testing::ValuesIn(platform_rows(control_cases)),
                         [](const auto& row) { return std::string(row.param.name); });

// tshark with a private home whose extcap folder holds the program, as a
// user's own installation would.
class with_tshark : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (windows_build())
            GTEST_SKIP() << "tshark runs the Linux build";
        if (run_process({"tshark", "--version"}, dir.path / "probe").status != 0) {
            if (in_ci())
                FAIL() << "tshark must be installed in CI (Debian package tshark)";
            GTEST_SKIP() << "tshark is not installed (apt-get install tshark); extcap not checked with it";
        }
        // Wireshark 4.0 looks in ~/.config/wireshark/extcap, later ones in
        // ~/.local/lib/wireshark/extcap; against the installed package, they
        // stay empty and Wireshark finds the package's program.
        for (const fs::path& folder : {home / ".config" / "wireshark" / "extcap", home / ".local" / "lib" / "wireshark" / "extcap"}) {
            fs::create_directories(folder);
            if (testing_installed_package())
                continue;
            if (emulated()) { // tshark starts it through its emulator
                std::string script = "#!/bin/sh\nexec";
                for (const std::string& word : project_program(WPAN2PCAP_EXTCAP))
                    script += " '" + word + "'";
                write_file(folder / "wpan2pcap-extcap", script + " \"$@\"\n");
                fs::permissions(folder / "wpan2pcap-extcap", fs::perms::owner_all);
            } else {
                fs::copy_file(WPAN2PCAP_EXTCAP, folder / "wpan2pcap-extcap");
            }
        }
        if (const char* previous = std::getenv("HOME"))
            saved_home = previous;
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }

    void TearDown() override
    {
        if (saved_home)
            setenv("HOME", saved_home->c_str(), 1);
    }

    // A tshark capture from the extcap interface of `source`, into `pcap`.
    std::vector<std::string> tshark_capture(const fs::path& source, const fs::path& pcap, bool follow)
    {
        std::vector<std::string> command = {"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(),
                                            "-F", "pcap", "-w", pcap.string()};
        if (follow)
            command.insert(command.end(), {"-o", "extcap.wpan2pcap.follow:true"});
        return command;
    }

    bool extcap_running_on(const fs::path& source) { return extcap_reading(source, dir.path); }

    scratch_dir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    fs::path home = dir.path / "home";
    std::optional<std::string> saved_home;
};

TEST_F(with_tshark, lists_the_interface)
{
    const process_result listed = run_process({"tshark", "-D"}, dir.path / "interfaces", console_mode::file_and_errors);
    EXPECT_NE(listed.output.find(". wpan2pcap (IEEE 802.15.4 record capture)\n"), std::string::npos) << listed.output;
}

TEST_F(with_tshark, captures_a_whole_file_and_ends_by_itself)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcap", converted = dir.path / "converted.pcap";
    write_file(source, mixed_capture());
    ASSERT_EQ(run_process(command_with(converter_command(WPAN2PCAP_BUILT_EXE), {source.string(), converted.string()}), dir.path / "trace").status, 0);
    running_process tshark = start_process(tshark_capture(source, captured, false), dir.path / "tshark", console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    const process_result result = finish_process(tshark, dir.path / "tshark", 20s);
    EXPECT_EQ(result.status, 0) << result.output;
    // dumpcap writes a header of its own: the packets after it must be the converter's.
    const std::string expected = read_file(converted), got = read_file(captured);
    ASSERT_EQ(expected, mixed_capture_pcap());
    EXPECT_EQ(visible(got.substr(std::min(got.size(), global_header.size()))), visible(expected.substr(global_header.size())));
}

TEST_F(with_tshark, follows_a_growing_file_until_stopped)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcap";
    write_file(source, records(1, 2, good_record));
    running_process tshark = start_process(tshark_capture(source, captured, true), dir.path / "tshark", console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    // Waits until the capture file holds `packets` packets; tshark is not
    // signalled before its capture runs.
    const auto captured_size = [&captured](std::size_t packets) {
        const auto size = [&captured] {
            std::error_code missing;
            const std::uintmax_t bytes = fs::file_size(captured, missing);
            return missing ? 0 : bytes;
        };
        const auto deadline = steady::now() + 10s;
        while (size() < global_header.size() + packets * good_packet(1).size() && steady::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return size();
    };
    EXPECT_GE(captured_size(2), global_header.size() + 2 * good_packet(1).size());
    {
        std::ofstream append(source, std::ios::binary | std::ios::app);
        append << good_record(3) << good_record(4).substr(0, 100) << std::flush;
        std::this_thread::sleep_for(300ms);
        append << good_record(4).substr(100) << good_record(5) << std::flush;
    }
    captured_size(5);
    kill(tshark.pid, SIGINT);
    const process_result result = finish_process(tshark, dir.path / "tshark", 20s);
    EXPECT_EQ(result.status, 0) << result.output;
    const std::string got = read_file(captured);
    EXPECT_EQ(visible(got.substr(std::min(got.size(), global_header.size()))), visible(records(1, 5, good_packet)));
    EXPECT_FALSE(extcap_running_on(source)) << "stopping tshark left the extcap program running";
}

TEST_F(with_tshark, shows_why_a_source_cannot_be_read_and_ends)
{
    const fs::path missing = dir.path / "missing.bin";
    running_process tshark = start_process(tshark_capture(missing, dir.path / "captured.pcap", false), dir.path / "tshark",
                                           console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    const process_result result = finish_process(tshark, dir.path / "tshark", 20s);
    EXPECT_NE(result.signal, SIGKILL) << "tshark waited for ever";
    EXPECT_NE(result.output.find("cannot open the source \"" + missing.string() + "\""), std::string::npos) << result.output;
}

// A source pipe with no writer yet: the capture's header is out all the
// same, so tshark's stop conditions work, and the program ends with it.
TEST_F(with_tshark, ends_by_its_duration_while_the_source_pipe_has_no_writer)
{
    const fs::path source = dir.path / "source.fifo";
    ASSERT_EQ(mkfifo(source.c_str(), 0600), 0);
    const auto started = steady::now();
    running_process tshark = start_process({"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(), "-a",
                                            "duration:2", "-w", (dir.path / "captured.pcapng").string()},
                                           dir.path / "tshark", console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    const process_result result = finish_process(tshark, dir.path / "tshark", 20s);
    const double ended_s = std::chrono::duration<double>(steady::now() - started).count();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_LT(ended_s, 10.0) << result.output;
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(extcap_running_on(source)) << "tshark's end left the extcap program waiting for a writer";
}

// What tshark shows of a pcapng capture: packet ID, comments (joined by
// "|"), time and length, a line a packet.
std::string packet_ids_and_comments(const fs::path& capture, const fs::path& scratch)
{
    return run_process({"tshark", "-r", capture.string(), "-T", "fields", "-E", "aggregator=|", "-e", "frame.packet_id", "-e",
                        "frame.comment", "-e", "frame.time_epoch", "-e", "frame.len"},
                       scratch, console_mode::errors_to_file)
        .output;
}

// Through Wireshark's own kind of pipe on either platform, as pcapng: each
// packet's number and notes, as tshark reads them from what came through.
TEST(extcap_capture, writes_record_numbers_into_wiresharks_pipe)
{
    scratch_dir dir("record-numbers-pipe");
    if (run_process({"tshark", "--version"}, dir.path / "probe", console_mode::errors_to_file).status != 0) {
        if (in_ci())
            FAIL() << "tshark must be installed in CI (Debian package tshark)";
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); the pcapng not read back";
    }
    const fs::path source = dir.path / "source.bin", received = dir.path / "received.pcapng";
    const std::string capture = records(1, 3, good_record) + invalid_record() + records(4, 5, good_record);
    write_file(source, capture);
    std::string got;
    {
        wireshark_pipe pipe(dir.path);
        const process_result result = run_process(extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", pipe.name(),
                                                                  "--source", source.string(), "--record-numbers"}),
                                                  dir.path / "console", console_mode::errors_to_file);
        EXPECT_EQ(result.status, 0) << result.errors;
        pipe.read_to_its_end(got, 2s);
    }
    write_file(received, got);
    EXPECT_EQ(packet_ids_and_comments(received, dir.path / "fields"), expected_packet_lines(capture));
}

TEST_F(with_tshark, carries_record_numbers_and_flags_in_pcapng)
{
    const fs::path source = dir.path / "varied.bin", captured = dir.path / "captured.pcapng";
    const fs::path converted = dir.path / "converted.pcap", as_pcap = dir.path / "as.pcap";
    ASSERT_EQ(run_process(command_with(project_program(WPAN2PCAP_MAKE_CAPTURE), {"--kind", "varied", "--records", "4000", source.string()}),
                          dir.path / "make").status, 0);
    // And a run of skipped records longer than one packet's notes.
    std::string run;
    for (std::uint32_t n = 5001; n <= 5020; ++n)
        run += as_string(make_record({.flags = 0x01, .number = n, .length = 1}));
    write_file(source, read_file(source) + run + good_record(5021));
    ASSERT_EQ(run_process(command_with(converter_command(WPAN2PCAP_BUILT_EXE), {source.string(), converted.string()}), dir.path / "trace").status, 0);
    running_process tshark = start_process({"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(), "-o",
                                            "extcap.wpan2pcap.recordnumbers:true", "-w", captured.string()},
                                           dir.path / "tshark", console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    ASSERT_EQ(finish_process(tshark, dir.path / "tshark", 30s).status, 0);

    const std::string expected = expected_packet_lines(read_file(source));
    ASSERT_NE(expected.find("skipped: invalid length|record "), std::string::npos) << "the capture has no skipped record";
    ASSERT_NE(expected.find("\t4294"), std::string::npos) << "the capture has no time past 2^32 seconds";
    ASSERT_NE(expected.find("and 4 more records skipped: invalid length, the last record 5020|record 5021"), std::string::npos);
    EXPECT_EQ(packet_ids_and_comments(captured, dir.path / "fields"), expected);
    // Its one interface is named, and keeps the PCAP header's snapshot length.
    const std::string info = run_process({"capinfos", captured.string()}, dir.path / "capinfos").output;
    for (const char* line : {"Name = wpan2pcap\n", "Description = IEEE 802.15.4 record capture\n", "Capture length = 128\n"})
        EXPECT_NE(info.find(line), std::string::npos) << line << " in " << info;
    const std::string names =
        run_process({"tshark", "-r", captured.string(), "-T", "fields", "-e", "frame.interface_name"}, dir.path / "names").output;
    EXPECT_EQ(std::count(names.begin(), names.end(), '\n'), std::count(expected.begin(), expected.end(), '\n'));
    EXPECT_EQ(names.find_first_not_of("wpan2pcap\n"), std::string::npos) << names.substr(0, 200);
    // The frames are the converter's, byte for byte; as PCAP, the times too
    // (their seconds cut to 32 bits by 4.0; from 4.2 editcap writes the
    // packets before the first time past 2038 and refuses that one).
    const wireshark_release release = tshark_release(dir.path / "version");
    const process_result as_pcap_written =
        run_process({"editcap", "-F", "pcap", captured.string(), as_pcap.string()}, dir.path / "editcap", console_mode::file_and_errors);
    const std::string pcap = read_file(as_pcap), reference = read_file(converted);
    std::size_t compared = reference.size();
    if (release.refuses_pcap_times_past_2038()) {
        compared = first_packet_past_2038(read_file(source), reference);
        ASSERT_NE(compared, std::string::npos) << "the capture has no time past 2038";
        EXPECT_NE(as_pcap_written.status, 0) << release.line;
        EXPECT_NE(as_pcap_written.output.find("We don't support writing that record's time stamp to that file type"), std::string::npos)
            << release.line << ": " << as_pcap_written.output;
    } else {
        EXPECT_EQ(as_pcap_written.status, 0) << as_pcap_written.output;
    }
    EXPECT_TRUE(pcap.size() > 24 && pcap.substr(24) == reference.substr(24, compared - 24))
        << pcap.size() << " bytes written by editcap, " << compared << " of the converter's compared";
}

TEST_F(with_tshark, follows_a_growing_file_with_record_numbers)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcapng";
    write_file(source, records(1, 2, good_record));
    running_process tshark = start_process({"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(), "-o",
                                            "extcap.wpan2pcap.follow:true", "-o", "extcap.wpan2pcap.recordnumbers:true", "-w",
                                            captured.string()},
                                           dir.path / "tshark", console_mode::file_and_errors);
    const process_guard tshark_guard(tshark);
    const auto packets_shown = [&](std::size_t count) {
        std::string shown;
        for (const auto deadline = steady::now() + 15s; steady::now() < deadline; std::this_thread::sleep_for(100ms)) {
            shown = packet_ids_and_comments(captured, dir.path / "fields");
            if (static_cast<std::size_t>(std::count(shown.begin(), shown.end(), '\n')) >= count)
                break;
        }
        return shown;
    };
    EXPECT_EQ(packets_shown(2), expected_packet_lines(records(1, 2, good_record)));
    {
        std::ofstream append(source, std::ios::binary | std::ios::app);
        append << good_record(3) << invalid_record() << good_record(4).substr(0, 100) << std::flush;
        std::this_thread::sleep_for(300ms);
        append << good_record(4).substr(100) << good_record(5) << std::flush;
    }
    const std::string before_restart = packets_shown(5);
    // A record skipped at the end of the old capture, then a new capture in
    // the file: the new capture's first packet carries no note of the old,
    // and says where the new capture begins.
    {
        std::ofstream append(source, std::ios::binary | std::ios::app);
        append << as_string(make_record({.flags = 0x01, .number = 6, .length = 1})) << std::flush;
    }
    std::this_thread::sleep_for(300ms);
    write_file(source, records(1, 2, good_record));
    const std::string shown = packets_shown(7);
    kill(tshark.pid, SIGINT);
    EXPECT_EQ(finish_process(tshark, dir.path / "tshark", 20s).status, 0);
    EXPECT_EQ(before_restart, expected_packet_lines(records(1, 3, good_record) + invalid_record() + records(4, 5, good_record)));
    std::string new_capture = expected_packet_lines(records(1, 2, good_record));
    new_capture.insert(new_capture.find('\t') + 1, "a new capture began in the file: read again from its first record|");
    EXPECT_EQ(shown, before_restart + new_capture);
}

} // namespace
} // namespace wpan2pcap::test

namespace wpan2pcap::test {
namespace {

// An SSH server on the loopback, of the test's own (Debian's openssh-server):
// a free port, a throwaway host key and user key in the test's folder, ended
// by its PID. The remote machine is this one.
class ssh_server {
    fs::path dir_; // first, as the members below are made from it

public:
    explicit ssh_server(const fs::path& dir) : dir_(dir)
    {
        if (!fs::exists("/usr/sbin/sshd") || run_process({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir / "host_key").string()},
                                                         dir / "keygen").status != 0) {
            missing = "sshd is not installed (apt-get install openssh-server)";
            return;
        }
        run_process({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", user_key.string()}, dir / "keygen");
        fs::copy_file(user_key.string() + ".pub", dir / "authorized_keys");
        port = free_port();
        write_file(dir / "sshd_config", "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " +
                                            (dir / "host_key").string() + "\nPidFile " + (dir / "sshd.pid").string() +
                                            "\nAuthorizedKeysFile " + (dir / "authorized_keys").string() +
                                            "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                                            "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\nLogLevel ERROR\n");
        if (getuid() == 0) // its privilege separation needs this, which a fresh machine lacks
            fs::create_directories("/run/sshd");
        server_ = start_process({"/usr/sbin/sshd", "-D", "-e", "-f", (dir / "sshd_config").string()}, dir / "sshd.log",
                                console_mode::file_and_errors);
        for (const auto deadline = steady::now() + 10s; !accepting() && steady::now() < deadline;)
            std::this_thread::sleep_for(20ms);
        if (!accepting())
            missing = "sshd did not start: " + read_file(dir / "sshd.log");
    }
    // The server goes with every session it serves, and every program a
    // session started (all of them name the test's folder, where their
    // files are): a row that gives up leaves no remote program behind.
    ~ssh_server()
    {
        if (server_.pid > 0) {
            kill_process_tree(server_.pid);
            finish_process(server_, dir_ / "sshd.log", 10s);
        }
        kill_processes_naming(dir_.string());
    }

    std::string missing; // why there is no server
    int port = 0;
    fs::path user_key = dir_ / "user_key";
    std::string user = user_name();

private:
    // This process's user, who logs in to the server. (A static build finds
    // no password database to ask; root is uid 0 everywhere.)
    static std::string user_name()
    {
        if (const passwd* entry = getpwuid(getuid()))
            return entry->pw_name;
        const char* named = std::getenv("USER");
        return named != nullptr ? named : getuid() == 0 ? "root" : "";
    }

    static int free_port()
    {
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(probe, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
        close(probe);
        return ntohs(address.sin_port);
    }

    bool accepting() const
    {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(client);
        return connected;
    }

    running_process server_;
};

// Wireshark's sshdump, which runs a capture command on another machine over
// SSH, and the extcap program as that command, with the capture on its
// standard output: what a sniffer on a small board sends to Wireshark
// elsewhere.
class with_ssh : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (windows_build())
            GTEST_SKIP() << "the remote machine runs Linux";
        if (const process_result folders = run_process({"tshark", "-G", "folders"}, dir.path / "folders", console_mode::errors_to_file);
            folders.status == 0) {
            // "Global Extcap path:" (4.0 names no other)
            const auto at = folders.output.find("Global Extcap path:");
            if (at != std::string::npos) {
                std::string folder = folders.output.substr(at + 19, folders.output.find('\n', at) - at - 19);
                folder.erase(0, folder.find_first_not_of(" \t"));
                sshdump = fs::path(folder) / "sshdump";
            }
        }
        std::string missing = fs::exists(sshdump) ? server.missing : "sshdump is not installed (apt-get install tshark)";
        if (!missing.empty()) {
            if (in_ci())
                FAIL() << "CI must capture over SSH: " << missing;
            GTEST_SKIP() << missing;
        }
    }

    // sshdump capturing into `out` what the extcap program sends from `source`.
    std::vector<std::string> sshdump_capture(const fs::path& source, const fs::path& out, bool follow)
    {
        std::string remote;
        for (const std::string& word : extcap_command({"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "/dev/stdout", "--source",
                                                       source.string()}))
            remote += (remote.empty() ? "'" : " '") + word + "'";
        if (follow)
            remote += " --follow";
        return {sshdump.string(), "--extcap-interface", "sshdump", "--capture", "--fifo", out.string(), "--remote-host", "127.0.0.1",
                "--remote-port", std::to_string(server.port), "--remote-username", server.user, "--sshkey", server.user_key.string(),
                "--remote-capture-command", remote};
    }

    bool extcap_running_on(const fs::path& source) { return extcap_reading(source, dir.path); }

    scratch_dir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    ssh_server server{dir.path};
    fs::path sshdump = "/usr/lib/wireshark/extcap/sshdump";
};

TEST_F(with_ssh, captures_on_the_remote_machine_exactly_what_the_converter_writes)
{
    const fs::path source = dir.path / "varied.bin", converted = dir.path / "converted.pcap", captured = dir.path / "captured.pcap";
    ASSERT_EQ(run_process(command_with(project_program(WPAN2PCAP_MAKE_CAPTURE), {"--kind", "varied", "--records", "2000", source.string()}),
                          dir.path / "make")
                  .status,
              0);
    ASSERT_EQ(run_process(command_with(converter_command(WPAN2PCAP_BUILT_EXE), {source.string(), converted.string()}), dir.path / "trace")
                  .status,
              0);
    running_process sshdump_run = start_process(sshdump_capture(source, captured, false), dir.path / "sshdump", console_mode::file_and_errors);
    const process_guard sshdump_run_guard(sshdump_run);
    const process_result result = finish_process(sshdump_run, dir.path / "sshdump", 60s);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(read_file(captured) == read_file(converted)) << read_file(captured).size() << " bytes against "
                                                             << read_file(converted).size();
}

// Wireshark's stop button ends sshdump (SIGTERM); the program on the remote
// machine must not wait there for the file to grow.
TEST_F(with_ssh, follows_and_the_remote_program_ends_when_the_capture_stops)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcap";
    write_file(source, records(1, 2, good_record));
    running_process sshdump_run = start_process(sshdump_capture(source, captured, true), dir.path / "sshdump", console_mode::file_and_errors);
    const process_guard sshdump_run_guard(sshdump_run);
    const auto captured_holds = [&captured](const std::string& expected) {
        for (const auto deadline = steady::now() + 30s; steady::now() < deadline; std::this_thread::sleep_for(10ms))
            if (read_file(captured) == expected)
                return true;
        return false;
    };
    EXPECT_TRUE(captured_holds(pcap_of(2))) << visible(read_file(captured));
    {
        std::ofstream append(source, std::ios::binary | std::ios::app);
        append << records(3, 5, good_record) << std::flush;
    }
    EXPECT_TRUE(captured_holds(pcap_of(5))) << visible(read_file(captured));
    ASSERT_TRUE(extcap_running_on(source));

    kill(sshdump_run.pid, SIGTERM);
    const auto stopped = steady::now();
    finish_process(sshdump_run, dir.path / "sshdump", 20s);
    while (extcap_running_on(source) && steady::now() < stopped + 10s)
        std::this_thread::sleep_for(10ms);
    const double gone_ms = std::chrono::duration<double, std::milli>(steady::now() - stopped).count();
    EXPECT_LT(gone_ms, time_bound_ms(1000.0)) << "the remote program outlived the capture";
    std::cout << "the remote program ended " << gone_ms << " ms after sshdump was stopped\n";
}

} // namespace
} // namespace wpan2pcap::test
