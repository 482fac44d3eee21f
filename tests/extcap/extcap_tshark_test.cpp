// The extcap program as tshark runs it, from a private extcap folder (or,
// against the installed package, from Wireshark's own): listed, capturing a
// whole file, following one, with record numbers as pcapng.
#include "extcap_support.hpp"

namespace wpan2pcap::test {
namespace {

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
        compared = packets_before_2038(read_file(source), reference).first_past;
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
