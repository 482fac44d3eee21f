// Drives the extcap program as Wireshark does: its answers about the
// interface, a capture of a file into a pipe, a file followed as it grows,
// and, with tshark and a private extcap folder, the whole thing end to end.

#include "run_process.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

#include <poll.h>
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
    if (const char* launcher = std::getenv("WPAN2PCAP_LAUNCHER"); launcher != nullptr && *launcher != '\0')
        command.emplace_back(launcher);
    const char* exe = std::getenv("WPAN2PCAP_EXTCAP_EXE");
    command.emplace_back(exe != nullptr && *exe != '\0' ? exe : WPAN2PCAP_EXTCAP);
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

struct protocol_case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string output; // all of standard output, or the start of it when it ends with "…"
    std::string error;  // a part of standard error
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
    if (c.output.ends_with("…")) { // the interface list: the help link depends on where it is installed
        EXPECT_TRUE(result.output.starts_with(c.output.substr(0, c.output.size() - 3))) << result.output;
        // Wireshark drops an interface without a display name.
        EXPECT_TRUE(result.output.ends_with("}\ninterface {value=wpan2pcap}{display=IEEE 802.15.4 record capture (wpan2pcap)}\n"))
            << result.output;
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
        protocol_case{"interfaces",
                      {"--extcap-interfaces", "--extcap-version=4.0"},
                      0,
                      "extcap {version=" WPAN2PCAP_VERSION "}{help=…",
                      ""},
        protocol_case{"interfaces_version_as_a_separate_word",
                      {"--extcap-version", "4.0", "--extcap-interfaces"},
                      0,
                      "extcap {version=" WPAN2PCAP_VERSION "}{help=…",
                      ""},
        protocol_case{"dlts",
                      {"--extcap-interface", "wpan2pcap", "--extcap-dlts"},
                      0,
                      "dlt {number=195}{name=IEEE802_15_4_WITHFCS}{display=IEEE 802.15.4 frames with FCS}\n",
                      ""},
        protocol_case{"config",
                      {"--extcap-interface=wpan2pcap", "--extcap-config"},
                      0,
                      "arg {number=0}{call=--source}{display=Record capture}{type=fileselect}{mustexist=true}"
                      "{required=true}{tooltip=A capture of 151-byte IEEE 802.15.4 records}\n"
                      "arg {number=1}{call=--follow}{display=Follow the file as it grows}{type=boolflag}"
                      "{tooltip=Go on reading the records appended to the file until the capture is stopped}\n"
                      "arg {number=2}{call=--record-numbers}{display=Record numbers and flags (pcapng)}{type=boolflag}"
                      "{tooltip=Capture as pcapng, each packet carrying its record's number as the packet ID and its number "
                      "and flags as a comment}\n",
                      ""},
        protocol_case{"unknown_interface", {"--extcap-interface", "eth0", "--extcap-dlts"}, 1, "", "unknown interface \"eth0\""},
        protocol_case{"unknown_option", {"--extcap-interfaces", "--channel", "11"}, 1, "", "unknown option \"--channel\""},
        protocol_case{"missing_value", {"--capture", "--extcap-interface", "wpan2pcap", "--source"}, 1, "",
                      "option --source needs a value"},
        protocol_case{"capture_filter_refused",
                      {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "f", "--source", "s",
                       "--extcap-capture-filter", "udp"},
                      1, "", "capture filters are not supported"},
        protocol_case{"nothing_asked", {}, 1, "", "nothing asked"},
        // Wireshark checks the capture filter field as it is typed: nothing
        // means valid, a line means invalid and is shown as the reason.
        protocol_case{"empty_capture_filter_checked_valid",
                      {"--extcap-capture-filter", "", "--extcap-interface", "wpan2pcap"}, 0, "", ""},
        protocol_case{"capture_filter_checked_invalid_with_the_reason",
                      {"--extcap-capture-filter", "udp port 5353", "--extcap-interface", "wpan2pcap"}, 0,
                      "capture filters are not supported: leave the capture filter empty and use a display filter\n", ""},
        // Shown in a dialog or on a terminal: one line, nothing it would obey.
        protocol_case{"hostile_source_name_shown_safely",
                      {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source",
                       "m\xff\x1b[31mRED\x1b[0m\nsecond line"},
                      2, "",
                      // (0xFF reaches the Windows program as U+FFFD, a letter.)
                      "^[[31mRED^[[0m^Jsecond line\": No such file or directory"},
        protocol_case{"source_is_a_folder",
                      {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source", "."}, 2, "",
                      "the source \".\" is a folder, not a record capture"},
        protocol_case{"missing_source_file",
                      {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", "out", "--source", "no-such-file.bin"},
                      2, "", "cannot open the source \"no-such-file.bin\""}),
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
    explicit wireshark_pipe(const fs::path& dir) : copy_(dir / "received")
    {
        if (windows_build()) {
            const std::string name = "wpan2pcap-" + dir.filename().string();
            fifo_ = "\\\\.\\pipe\\" + name;
            peer_ = awaited(start_pipe_peer({"read", name, copy_.string()}, dir), dir);
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

private:
    std::string fifo_;
    int reader_ = -1;
    fs::path copy_;
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
        EXPECT_LT(stop_ms, 25.0);
    }
    EXPECT_TRUE(received == expected) << "whole packets only, and nothing more";

    // Woken by the system when the file changes, not by looking every 50 ms
    // (which gives a median near 50 ms). Wine's wake-up costs a few
    // milliseconds more, and more again on a loaded machine.
    std::sort(latency_ms.begin(), latency_ms.end());
    const double median = latency_ms[latency_ms.size() / 2];
    EXPECT_LE(median, windows_build() ? 25.0 : 10.0);
    EXPECT_LE(latency_ms.back(), 250.0);
    std::cout << "appended record to packet on the pipe, " << latency_ms.size() << " records: median " << median
              << " ms, worst " << latency_ms.back() << " ms; stopped " << stop_ms << " ms after SIGTERM\n";
}

// A new capture written into the followed file: in one go, as one process
// writes a whole file, so the follower never sees it shorter than before;
// or as another file put in its place. It is read from its first record,
// never mixed with the old one.
struct new_capture_case {
    const char* name;
    std::uint32_t records; // the new capture's, after the old one's three
    bool renamed_over = false;
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
    std::string received;
    std::string expected = global_header + records(1000, 1002, good_packet);
    pipe.read_until_size(received, expected.size());
    ASSERT_EQ(visible(received), visible(expected));

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
                         ::testing::Values(new_capture_case{"larger_in_one_go", 5}, new_capture_case{"same_size_in_one_go", 3},
                                           new_capture_case{"smaller_in_one_go", 2},
                                           new_capture_case{"another_file_renamed_over_it", 4, true}),
                         [](const auto& row) { return std::string(row.param.name); });

// Ways a capture must end, and how soon, in scenes Wireshark or a hostile
// environment sets: each row runs the program on POSIX named pipes and files.
struct ending_case {
    const char* name;
    // Sets the scene in `dir`; returns the program's arguments after
    // --capture --extcap-interface wpan2pcap.
    std::function<std::vector<std::string>(const fs::path& dir)> scene;
    // Acts on the running program (and its scene); returns when the clock starts.
    std::function<void(const fs::path& dir, pid_t pid)> act;
    int status;
    std::string error; // a part of standard error, which is one line; or nothing at all
    double within_ms;  // from the act to the program's end
    // What the file `out` in the scene must hold at the end, when given.
    std::optional<std::string> out = std::nullopt;
    // The program's standard output and error on a terminal, where the
    // error is then read; else standard error to a file.
    bool on_a_terminal = false;
    // Undoes what the scene set up beyond its folder.
    std::function<void(const fs::path& dir)> tidy = {};
};

void PrintTo(const ending_case& c, std::ostream* os) { *os << c.name; }

class capture_ending : public ::testing::TestWithParam<ending_case> {};

TEST_P(capture_ending, ends_as_it_should_and_soon)
{
    if (windows_build())
        GTEST_SKIP() << "POSIX named pipes, links and signals";
    const ending_case& c = GetParam();
    scratch_dir dir(c.name);
    std::vector<std::string> arguments = {"--capture", "--extcap-interface", "wpan2pcap"};
    const std::vector<std::string> scene = c.scene(dir.path);
    arguments.insert(arguments.end(), scene.begin(), scene.end());
    if (scene.empty()) { // the scene cannot be set here
        if (in_ci())
            FAIL() << "CI must set every scene: root and losetup";
        GTEST_SKIP() << "needs root and losetup";
    }
    running_process extcap = start_process(extcap_command(arguments), dir.path / "console",
                                           c.on_a_terminal ? console_mode::terminal : console_mode::errors_to_file);
    c.act(dir.path, extcap.pid);
    const auto acted = steady::now();
    const process_result result = finish_process(extcap, dir.path / "console", 20s);
    const double ended_ms = std::chrono::duration<double, std::milli>(steady::now() - acted).count();
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
    EXPECT_LT(ended_ms, c.within_ms);
    if (c.out) {
        EXPECT_EQ(visible(read_file(dir.path / "out")), visible(*c.out));
    }
    std::cout << c.name << ": ended " << ended_ms << " ms after the act\n";
}

// Waits until `path` holds `size` bytes.
void wait_for_size(const fs::path& path, std::size_t size)
{
    std::error_code missing;
    for (const auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms))
        if (fs::file_size(path, missing) >= size && !missing)
            return;
}

INSTANTIATE_TEST_SUITE_P(
    scenes, capture_ending,
    ::testing::Values(
        // Stopped while the source, a named pipe, has no writer yet: a stop, not a failure.
        ending_case{"stop_while_the_source_pipe_waits_for_its_writer",
                    [](const fs::path& d) {
                        mkfifo((d / "source").c_str(), 0600);
                        return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "source").string()};
                    },
                    [](const fs::path&, pid_t pid) {
                        std::this_thread::sleep_for(200ms);
                        kill(pid, SIGTERM);
                    },
                    0, "", 100.0},
        // The reader leaves part-way through a large source (4 GiB, sparse):
        // the program ends at its next packet, not at the end of the source.
        ending_case{"reader_gone_part_way_through_a_large_source",
                    [](const fs::path& d) {
                        const int source = open((d / "source").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                        EXPECT_EQ(ftruncate(source, off_t{4} << 30), 0);
                        close(source);
                        mkfifo((d / "fifo").c_str(), 0600);
                        return std::vector<std::string>{"--fifo", (d / "fifo").string(), "--source", (d / "source").string()};
                    },
                    [](const fs::path& d, pid_t) {
                        const int reader = open((d / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
                        std::string first;
                        read_until(reader, first, [](const std::string& got) { return got.size() >= 1000; });
                        close(reader);
                    },
                    0, "", 100.0},
        // An error with nobody reading the named pipe: the message, then the end.
        ending_case{"error_with_no_reader_on_the_pipe",
                    [](const fs::path& d) {
                        mkfifo((d / "fifo").c_str(), 0600);
                        return std::vector<std::string>{"--fifo", (d / "fifo").string(), "--source", (d / "missing").string()};
                    },
                    [](const fs::path&, pid_t) {}, 2, "cannot open the source", 1000.0},
        // A followed link swapped to point at the output: never read back.
        ending_case{"followed_link_swapped_to_the_output",
                    [](const fs::path& d) {
                        write_file(d / "capture.bin", records(1, 3, good_record));
                        fs::create_symlink(d / "capture.bin", d / "link");
                        return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "link").string(), "--follow"};
                    },
                    [](const fs::path& d, pid_t) {
                        wait_for_size(d / "out", pcap_of(3).size());
                        fs::create_symlink(d / "out", d / "new-link");
                        fs::rename(d / "new-link", d / "link");
                    },
                    2, "the pipe is the source itself", 1000.0, pcap_of(3)},
        // A loop device over the source as the pipe: the same data, refused.
        ending_case{"pipe_is_a_loop_device_over_the_source",
                    [](const fs::path& d) {
                        write_file(d / "out", records(1, 512, good_record));
                        const process_result made = run_process({"losetup", "--find", "--show", (d / "out").string()}, d / "losetup");
                        if (getuid() != 0 || made.status != 0)
                            return std::vector<std::string>{};
                        const std::string device = made.output.substr(0, made.output.find('\n'));
                        write_file(d / "device", device);
                        return std::vector<std::string>{"--fifo", device, "--source", (d / "out").string()};
                    },
                    [](const fs::path&, pid_t) {}, 2, "the pipe is the source itself", 1000.0, records(1, 512, good_record),
                    false, [](const fs::path& d) { run_process({"losetup", "--detach", read_file(d / "device")}, d / "losetup"); }},
        // A terminal never takes a capture: binary PCAP would fill the screen.
        ending_case{"pipe_is_a_terminal",
                    [](const fs::path& d) {
                        write_file(d / "source", records(1, 3, good_record));
                        return std::vector<std::string>{"--fifo", "/dev/tty", "--source", (d / "source").string()};
                    },
                    [](const fs::path&, pid_t) {}, 2, "cannot open the pipe \"/dev/tty\": a terminal never takes a capture",
                    1000.0, std::nullopt, true},
        // The source named as the pipe: refused before anything is written.
        ending_case{"source_is_the_pipe_itself",
                    [](const fs::path& d) {
                        write_file(d / "out", records(1, 3, good_record));
                        return std::vector<std::string>{"--fifo", (d / "out").string(), "--source", (d / "out").string()};
                    },
                    [](const fs::path&, pid_t) {}, 2, "the pipe is the source itself", 1000.0,
                    records(1, 3, good_record)}),
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
        // Wireshark 4.0 looks in ~/.config/wireshark/extcap, later ones in ~/.local/lib/wireshark/extcap.
        for (const fs::path& folder : {home / ".config" / "wireshark" / "extcap", home / ".local" / "lib" / "wireshark" / "extcap"}) {
            fs::create_directories(folder);
            fs::copy_file(WPAN2PCAP_EXTCAP, folder / "wpan2pcap-extcap");
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

    // Whether an extcap process still reads `source`.
    bool extcap_running_on(const fs::path& source)
    {
        return run_process({"pgrep", "-f", "wpan2pcap-extcap.*" + source.string()}, dir.path / "pgrep").status == 0;
    }

    scratch_dir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    fs::path home = dir.path / "home";
    std::optional<std::string> saved_home;
};

TEST_F(with_tshark, lists_the_interface)
{
    const process_result listed = run_process({"tshark", "-D"}, dir.path / "interfaces", console_mode::file_and_errors);
    EXPECT_NE(listed.output.find(". wpan2pcap (IEEE 802.15.4 record capture (wpan2pcap))\n"), std::string::npos) << listed.output;
}

TEST_F(with_tshark, captures_a_whole_file_and_ends_by_itself)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcap", converted = dir.path / "converted.pcap";
    write_file(source, mixed_capture());
    ASSERT_EQ(run_process({WPAN2PCAP_BUILT_EXE, source.string(), converted.string()}, dir.path / "trace").status, 0);
    running_process tshark = start_process(tshark_capture(source, captured, false), dir.path / "tshark", console_mode::file_and_errors);
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
    const process_result result = finish_process(tshark, dir.path / "tshark", 20s);
    EXPECT_NE(result.signal, SIGKILL) << "tshark waited for ever";
    EXPECT_NE(result.output.find("cannot open the source \"" + missing.string() + "\""), std::string::npos) << result.output;
}

// What tshark shows of a pcapng capture: packet ID, comments (joined by
// "|"), time and length, a line a packet.
std::string packet_ids_and_comments(const fs::path& capture, const fs::path& scratch)
{
    return run_process({"tshark", "-r", capture.string(), "-T", "fields", "-E", "aggregator=|", "-e", "frame.packet_id", "-e",
                        "frame.comment", "-e", "frame.time_epoch", "-e", "frame.len"},
                       scratch)
        .output;
}

// The same, worked out from the records: a skipped record's note sits on the
// next packet, and times keep all their bits.
std::string expected_packet_lines(const std::string& capture)
{
    std::string lines, notes;
    std::size_t noted = 0, unnoted = 0; // a run of skips: 16 notes, then a count
    std::uint64_t last_unnoted = 0;
    for (std::size_t at = 0; at + 151 <= capture.size(); at += 151) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(capture[at + i])); };
        std::uint64_t number = 0, timestamp = 0;
        for (std::size_t i = 0; i < 4; ++i)
            number |= byte(1 + i) << (8 * i);
        for (std::size_t i = 0; i < 8; ++i)
            timestamp |= byte(5 + i) << (8 * i);
        const long payload = static_cast<long>(byte(13)) - ((byte(0) & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135) {
            if (noted++ < 16)
                notes += "after record " + std::to_string(number) + ", skipped: invalid length|";
            else
                ++unnoted, last_unnoted = number;
            continue;
        }
        if (unnoted > 0)
            notes += "and " + std::to_string(unnoted) + " more records skipped: invalid length, the last record " +
                     std::to_string(last_unnoted) + "|";
        char line[2048]; // notes of up to 16 skipped records
        std::snprintf(line, sizeof line, "%llu\t%srecord %llu, flags 0x%02llx\t%llu.%06llu000\t%ld\n",
                      static_cast<unsigned long long>(number), notes.c_str(), static_cast<unsigned long long>(number),
                      static_cast<unsigned long long>(byte(0)), static_cast<unsigned long long>(timestamp / 1'000'000),
                      static_cast<unsigned long long>(timestamp % 1'000'000), payload + 2);
        lines += line;
        notes.clear();
        noted = unnoted = 0;
    }
    return lines;
}

TEST_F(with_tshark, carries_record_numbers_and_flags_in_pcapng)
{
    const fs::path source = dir.path / "varied.bin", captured = dir.path / "captured.pcapng";
    const fs::path converted = dir.path / "converted.pcap", as_pcap = dir.path / "as.pcap";
    ASSERT_EQ(run_process({WPAN2PCAP_MAKE_CAPTURE, "--kind", "varied", "--records", "4000", source.string()}, dir.path / "make").status, 0);
    // And a run of skipped records longer than one packet's notes.
    std::string run;
    for (std::uint32_t n = 5001; n <= 5020; ++n)
        run += as_string(make_record({.flags = 0x01, .number = n, .length = 1}));
    write_file(source, read_file(source) + run + good_record(5021));
    ASSERT_EQ(run_process({WPAN2PCAP_BUILT_EXE, source.string(), converted.string()}, dir.path / "trace").status, 0);
    running_process tshark = start_process({"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(), "-o",
                                            "extcap.wpan2pcap.recordnumbers:true", "-w", captured.string()},
                                           dir.path / "tshark", console_mode::file_and_errors);
    ASSERT_EQ(finish_process(tshark, dir.path / "tshark", 30s).status, 0);

    const std::string expected = expected_packet_lines(read_file(source));
    ASSERT_NE(expected.find("skipped: invalid length|record "), std::string::npos) << "the capture has no skipped record";
    ASSERT_NE(expected.find("\t4294"), std::string::npos) << "the capture has no time past 2^32 seconds";
    ASSERT_NE(expected.find("and 4 more records skipped: invalid length, the last record 5020|record 5021"), std::string::npos);
    EXPECT_EQ(packet_ids_and_comments(captured, dir.path / "fields"), expected);
    // The frames are the converter's, byte for byte; as PCAP, the times too
    // (their seconds cut to 32 bits).
    ASSERT_EQ(run_process({"editcap", "-F", "pcap", captured.string(), as_pcap.string()}, dir.path / "editcap").status, 0);
    const std::string pcap = read_file(as_pcap), reference = read_file(converted);
    EXPECT_TRUE(pcap.size() > 24 && pcap.substr(24) == reference.substr(24));
}

TEST_F(with_tshark, follows_a_growing_file_with_record_numbers)
{
    const fs::path source = dir.path / "source.bin", captured = dir.path / "captured.pcapng";
    write_file(source, records(1, 2, good_record));
    running_process tshark = start_process({"tshark", "-i", "wpan2pcap", "-o", "extcap.wpan2pcap.source:" + source.string(), "-o",
                                            "extcap.wpan2pcap.follow:true", "-o", "extcap.wpan2pcap.recordnumbers:true", "-w",
                                            captured.string()},
                                           dir.path / "tshark", console_mode::file_and_errors);
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
    const std::string shown = packets_shown(5);
    kill(tshark.pid, SIGINT);
    EXPECT_EQ(finish_process(tshark, dir.path / "tshark", 20s).status, 0);
    EXPECT_EQ(shown, expected_packet_lines(records(1, 3, good_record) + invalid_record() + records(4, 5, good_record)));
}

} // namespace
} // namespace wpan2pcap::test
