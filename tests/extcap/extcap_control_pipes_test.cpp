// What reaches Wireshark's window through its control pipes: the log, the
// status bar and the dialogs, and never a wait.
#include "extcap_support.hpp"

namespace wpan2pcap::test {
namespace {

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
    // The case's capture into `output`: as Wireshark runs it, with the
    // control pipes; or plain, without them and not followed, to compare.
    const auto arguments_into = [&](const fs::path& output, bool plain) {
        std::vector<std::string> arguments = {"--capture", "--extcap-interface", "wpan2pcap", "--fifo", output.string(), "--source",
                                              source.string()};
        if (plain)
            return arguments;
        if (c.follow)
            arguments.push_back("--follow");
        const std::vector<std::string> controls =
            c.paths_exist ? wireshark.arguments()
                          : std::vector<std::string>{"--extcap-control-in", (dir.path / "none" / "in").string(), "--extcap-control-out",
                                                     (dir.path / "none" / "out").string()};
        arguments.insert(arguments.end(), controls.begin(), controls.end());
        return arguments;
    };
    const std::vector<std::string> arguments = arguments_into(dir.path / "out", false);
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
    const process_result plain = run_process(extcap_command(arguments_into(dir.path / "plain", true)), dir.path / "console",
                                             console_mode::errors_to_file);
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

} // namespace
} // namespace wpan2pcap::test
