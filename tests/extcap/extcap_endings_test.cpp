// Every way a capture ends, and how soon: stopped, at the end of the file,
// its reader gone, or refused; each with Wireshark's side of the control
// pipes opening its end as Wireshark does, which must never wait for ever.
#include "extcap_support.hpp"

namespace wpan2pcap::test {
namespace {

// Ways a capture must end, and how soon, in scenes Wireshark or a hostile
// environment sets, each with Wireshark's side of the control pipes playing
// its part: whatever ends the capture, Wireshark's open of its end must
// return, or its window would wait for ever. Each row lists the platforms
// whose pipes, links and devices it needs.

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
    // The same when Wireshark said it was ready only once the file was quiet.
    {.name = "wireshark_ready_late_then_killed",
     .scene = followed_scene,
     .act =
         [](const fs::path& d, pid_t) {
             wait_for_size(d / "out", pcap_of(3).size());
             std::this_thread::sleep_for(200ms);
             write_file(d / "wireshark-ready", "");
             std::this_thread::sleep_for(200ms);
             write_file(d / "wireshark-killed", "");
         },
     .within_ms = 250.0,
     .files = {{"out", pcap_of(3)}},
     .side = wireshark_control_side::behaviour::ready_late_then_dies},
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

INSTANTIATE_TEST_SUITE_P(scenes, capture_ending, ::testing::ValuesIn(platform_rows(ending_cases)),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace wpan2pcap::test
