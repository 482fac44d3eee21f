// Runs the built converter on real files and checks, for each situation, what
// it printed, its exit status and the files it left behind.

#include "run_process.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;

struct scenario {
    std::vector<std::string> arguments = {};
    std::string console = {};
    int status = 0;
    // Every file named must hold exactly these bytes; nullopt: it must not exist.
    std::vector<std::pair<fs::path, std::optional<std::string>>> files = {};
    std::jthread feeder = {}; // writes a named pipe while the converter reads it
    console_mode console_to = console_mode::file;
    // What standard error must hold, in this order, where the mode keeps it
    // apart; nothing at all when empty.
    std::vector<std::string> errors = {};
    // Standard error is one line redrawn in place until the summary: no line
    // end before the last of `errors`.
    bool errors_redrawn_in_place = false;
    // Checks what the run left where the files above cannot say, and cleans up.
    std::function<void()> check_after = {};
    // Runs this instead of the converter with `arguments`.
    std::vector<std::string> command = {};
    // The console is a Windows console on a pseudo-terminal, where the
    // program's own output is checked (check_after) instead.
    bool console_not_checked = false;
    std::string skip = {}; // why this machine cannot set the scene
};

struct e2e_case {
    const char* name;
    std::function<scenario(const fs::path& dir)> prepare;
    bool posix_only = false; // POSIX descriptors, device files and named pipes
    bool windows_only = false; // Windows named pipes and consoles, under Wine
};

void PrintTo(const e2e_case& c, std::ostream* os) { *os << c.name; }

const std::string usage = "The function requires exactly two arguments, an input and an output file.";

// Where the harness sends the console of the run in `dir`.
fs::path console_file(const fs::path& dir) { return dir.parent_path() / (dir.filename().string() + ".stdout"); }

bool in_ci()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// A frame built to take over a terminal: it retitles the window (OSC), wipes
// the screen, switches to the alternate screen, sends an 8-bit CSI, then tab,
// CR, LF and backspace. Its flags byte is a line feed, its length byte ESC
// and its FCS bytes NUL and 0xFF.
const std::string hostile_payload = "\x1b]2;OWNED\x07\x1b[2J\x1b[?1049h\x9b\t\r\n\x08";

std::string hostile_record()
{
    std::vector<std::uint8_t> body(hostile_payload.begin(), hostile_payload.end());
    body.insert(body.end(), {0x00, 0xFF});
    return as_string(make_record({.flags = 0x0A, .number = 7, .timestamp = 1'000'000,
                                  .length = static_cast<std::uint8_t>(hostile_payload.size()), .body = body}));
}

// A terminal is shown every byte of it as `cat -v` would, tab and line feed
// included, so the block keeps its eight lines.
const std::string hostile_block_on_a_terminal = "Packet\n^J\n7\n1000000\n^[\n"
                                                "<STARTREMAIN>^[]2;OWNED^G^[[2J^[[?1049hM-^[^I^M^J^H<ENDREMAIN>\n"
                                                "<STARTDATA>^[<ENDDATA>\n<STARTFCS>^@M-^?<ENDFCS>\n";

// good_block(n) as a terminal is shown it: the flags and length bytes visibly.
std::string good_block_on_a_terminal(std::uint32_t n)
{
    std::string block = good_block(n);
    block.replace(block.find("\n\x01\n"), 3, "\n^A\n");
    block.replace(block.find("\n\x04\n"), 3, "\n^D\n");
    return block;
}

// Runs a helper to the end, for setting a scene; false when it failed.
bool run_helper(const std::vector<std::string>& command, const fs::path& dir, std::string* output = nullptr)
{
    const process_result result = run_process(command, dir / "helper.out", console_mode::file_and_errors);
    if (output != nullptr)
        *output = result.output;
    return result.status == 0;
}

// A converted run of `count` records from `in` to `out`.
scenario converted(const fs::path& in, const fs::path& out, std::uint32_t count, const std::string& trailing = "")
{
    write_file(in, records(1, count, good_record) + trailing);
    return {{in.string(), out.string()}, paths(in, out) + records(1, count, good_block), 0, {{out, pcap_of(count)}}};
}

// A run whose console is not a file the harness reads: only what `console`
// holds is expected of it, and the output must still be whole.
scenario with_console(scenario s, console_mode mode, std::string console)
{
    s.console_to = mode;
    s.console = std::move(console);
    return s;
}

// Two records whose output cannot be opened: both are traced, the input survives.
scenario output_refused(const fs::path& in, const fs::path& out)
{
    const std::string input = records(1, 2, good_record);
    write_file(in, input);
    return {{in.string(), out.string()},
            paths(in, out) + good_block(1) + "Unable to open output file." + good_block(2),
            2,
            {{in, input}}};
}

// A pipe name of this run's own.
std::string pipe_name(const fs::path& dir) { return "wpan2pcap-" + dir.filename().string(); }
std::string pipe_path(const fs::path& dir) { return "\\\\.\\pipe\\" + pipe_name(dir); }

// Ctrl-C pressed on the converter's console part-way through a large input,
// once `watched` holds `bytes` bytes: the output holds exactly the records
// traced (whole packets, where a stalled reader took fewer), and the
// converter ends as Windows programs that Ctrl-C ended do, within `bound`.
enum class console_event { ctrl_c, ctrl_break, window_closed };

scenario ctrl_c_part_way(const fs::path& d, const std::string& output, const fs::path& watched, std::size_t bytes,
                         double bound_ms, std::optional<pipe_peer> stalled_reader, console_event event = console_event::ctrl_c)
{
    write_file(d / "in", records(1, 300'000, good_record));
    const char* exe = std::getenv("WPAN2PCAP_EXE");
    scenario s{{}, {}, 0, {}};
    // With nothing else to hold it up, the program meets a console's pace,
    // which keeps it converting until Ctrl-C arrives on a loaded machine.
    const char* mode = event == console_event::ctrl_break      ? "ctrl-break"
                       : event == console_event::window_closed ? "close-window"
                       : stalled_reader                        ? "ctrl-c"
                                                               : "ctrl-c-slow-console";
    const char* pressed = event == console_event::ctrl_break      ? " ms after Ctrl-Break\n"
                          : event == console_event::window_closed ? " ms after closing the window\n"
                                                                  : " ms after Ctrl-C\n";
    s.command = pipe_peer_command({mode, (d / "trace").string(), watched.string(), std::to_string(bytes), (d / "report").string(),
                                   exe != nullptr ? exe : "wpan2pcap.exe", (d / "in").string(), output});
    s.console_to = console_mode::terminal; // Wine gives the program a console there
    s.console_not_checked = true;
    if (stalled_reader)
        s.feeder = awaited(std::move(*stalled_reader), d);
    s.check_after = [d, output, watched, stalled = s.feeder.joinable(), bound_ms, pressed] {
        const std::string report = read_file(d / "report");
        EXPECT_TRUE(report.starts_with("exit 0xC000013A, ")) << report;
        EXPECT_TRUE(report.ends_with(pressed)) << report;
        EXPECT_LT(std::strtod(report.c_str() + std::string_view("exit 0xC000013A, ").size(), nullptr), bound_ms) << report;
        const std::string trace = read_file(d / "trace");
        const std::size_t traced = blocks_in(trace);
        EXPECT_TRUE(trace == paths(d / "in", output) + records(1, static_cast<std::uint32_t>(traced), good_block))
            << visible(trace.substr(trace.size() < 300 ? 0 : trace.size() - 300));
        const std::optional<std::uint32_t> packets = whole_packets(read_file(watched));
        EXPECT_GT(traced, 0u);
        EXPECT_LT(traced, 300'000u);
        if (stalled)
            EXPECT_TRUE(packets && *packets > 0 && *packets <= traced) << traced << " traced";
        else
            EXPECT_TRUE(packets == traced) << traced << " traced";
    };
    return s;
}

std::string upper_case(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

// The converter writing 20 packets into the pipe spelled `output`, which the
// pipe peer serves and reads.
scenario converted_into_pipe(const fs::path& d, const std::string& output)
{
    scenario s = converted(d / "in", output, 20);
    s.files.clear(); // the pipe's reader has the packets
    s.feeder = awaited(start_pipe_peer({"read", pipe_name(d), (d / "got").string()}, d), d);
    s.check_after = [d] { EXPECT_EQ(visible(read_file(d / "got")), visible(pcap_of(20))); };
    return s;
}

// The converter reading 20 records (and `trailing`) from the pipe spelled
// `input`, which the pipe peer serves and writes, ending as `peer_options` say.
scenario converted_from_pipe(const fs::path& d, const std::string& input, const std::vector<std::string>& peer_options = {},
                             const std::string& trailing = "")
{
    write_file(d / "records", records(1, 20, good_record) + trailing);
    scenario s{{input, (d / "out").string()}, paths(input, d / "out") + records(1, 20, good_block), 0, {{d / "out", pcap_of(20)}}};
    std::vector<std::string> peer{"write", pipe_name(d), (d / "records").string()};
    peer.insert(peer.end(), peer_options.begin(), peer_options.end());
    s.feeder = awaited(start_pipe_peer(peer, d), d);
    return s;
}

// The Windows pipe \\.\pipe\`name` as the input, and as the output spelled
// `other`: refused after the first block, by its name alone. Its server
// offers a second instance, and tells whether a client took it: an output
// known by its name is never opened.
scenario same_pipe_twice(const fs::path& d, const std::string& name, const std::string& other)
{
    write_file(d / "records", records(1, 2, good_record));
    const std::string in = "\\\\.\\pipe\\" + name;
    scenario s{{in, other}, paths(in, other) + good_block(1) + "Unable to open output file." + good_block(2), 2, {}};
    pipe_peer peer = start_pipe_peer({"write", name, (d / "records").string(), "0", "two"}, d);
    const std::shared_ptr<std::string> report = peer.report;
    s.feeder = awaited(std::move(peer), d);
    s.check_after = [report] {
        EXPECT_NE(report->find("wrote "), std::string::npos) << *report;
        EXPECT_EQ(report->find("a second client connected"), std::string::npos) << "the output was opened to be compared";
    };
    return s;
}

// A loop device over a capture of 512 records (whole sectors, so the device
// shows them all) as the input, the output or both, the capture file itself
// the other, a second loop device over the same file, or a loop device over
// a loop device over the file: one file's data either way, so the output is
// refused. The file's name may hold any byte.
enum class loop_role { both, output, input, two_devices, chain_as_output, chain_as_input };

scenario loop_device_scene(const fs::path& d, loop_role device_is, const std::string& image_name = "image")
{
    const std::string image = records(1, 512, good_record);
    const fs::path image_path = d / image_name;
    write_file(image_path, image);
    const bool chain = device_is == loop_role::chain_as_output || device_is == loop_role::chain_as_input;
    std::vector<std::string> devices;
    for (int made = 0; made < (device_is == loop_role::two_devices || chain ? 2 : 1); ++made) {
        std::string device;
        const std::string backing = chain && made == 1 ? devices.front() : image_path.string();
        if (getuid() != 0 || !run_helper({"losetup", "--find", "--show", backing}, d, &device)) {
            for (auto other = devices.rbegin(); other != devices.rend(); ++other)
                run_helper({"losetup", "--detach", *other}, d);
            return scenario{.skip = in_ci() ? "FAIL: cannot make a loop device, which CI must"
                                            : "making a loop device needs root and losetup"};
        }
        devices.push_back(device.erase(device.find_last_not_of('\n') + 1));
    }
    const bool device_in = device_is != loop_role::output && device_is != loop_role::chain_as_output;
    const bool device_out = device_is != loop_role::input && device_is != loop_role::chain_as_input;
    const std::string in = device_in ? (chain ? devices.back() : devices.front()) : image_path.string();
    const std::string out = device_out ? devices.back() : image_path.string();
    std::string trace = paths(in, out) + good_block(1) + "Unable to open output file." + records(2, 512, good_block);
    scenario s{{in, out}, std::move(trace), 2, {{image_path, image}}};
    s.check_after = [devices, d] { // the device over another first
        for (auto device = devices.rbegin(); device != devices.rend(); ++device)
            run_helper({"losetup", "--detach", *device}, d);
    };
    return s;
}

// A capture past 4 GiB that costs no disk (large_capture_records: a hole,
// then good_record(1) and (2)); false when the file system cannot hold it.
bool make_large_capture(const fs::path& path)
{
    const std::uint64_t hole = (large_capture_records - 2) * record_size;
    return set_file_size(path, hole) && write_file_part(path, hole, records(1, 2, good_record));
}

// What the converter makes of it: the hole's records as empty frames, then
// the two good ones.
void expect_large_capture_converted(const fs::path& pcap)
{
    const std::uint64_t zeros = large_capture_records - 2;
    const std::uint64_t size = global_header.size() + zeros * zero_packet().size() + 2 * good_packet(1).size();
    EXPECT_EQ(fs::file_size(pcap), size);
    EXPECT_EQ(visible(read_file_part(pcap, 0, global_header.size() + zero_packet().size())), visible(global_header + zero_packet()));
    std::string thousand_zeros;
    for (int i = 0; i < 1000; ++i)
        thousand_zeros += zero_packet();
    // Packets of records read past 4 GiB, and the last two.
    EXPECT_TRUE(read_file_part(pcap, size - 2 * good_packet(1).size() - thousand_zeros.size(), thousand_zeros.size()) == thousand_zeros);
    EXPECT_EQ(visible(read_file_part(pcap, size - 2 * good_packet(1).size(), 64)), visible(records(1, 2, good_packet)));
}

const e2e_case cases[] = {
    {"no_arguments", [](const fs::path&) { return scenario{{}, usage, 1, {}}; }},
    {"one_argument", [](const fs::path& d) { return scenario{{(d / "in").string()}, usage, 1, {{d / "in", {}}}}; }},
    {"three_arguments",
     [](const fs::path& d) {
         write_file(d / "in", good_record(1));
         return scenario{{(d / "in").string(), (d / "out").string(), "x"}, usage, 1, {{d / "out", {}}}};
     }},
    {"missing_input",
     [](const fs::path& d) {
         return scenario{{(d / "absent").string(), (d / "out").string()},
                         paths(d / "absent", d / "out") + "Unable to open input file.", 2, {{d / "out", {}}}};
     }},
    {"directory_as_input",
     [](const fs::path& d) {
         fs::create_directory(d / "folder");
         // Windows refuses to open a folder as a file; POSIX opens it and fails the read.
         const char* message = testing_windows_build() ? "Unable to open input file." : "Unable to read input file.";
         return scenario{{(d / "folder").string(), (d / "out").string()}, paths(d / "folder", d / "out") + message, 2,
                         {{d / "out", {}}}};
     }},
    {"empty_input",
     [](const fs::path& d) {
         write_file(d / "in", "");
         return scenario{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out"), 0, {{d / "out", {}}}};
     }},
    {"partial_record_only",
     [](const fs::path& d) {
         write_file(d / "in", good_record(1).substr(0, 150));
         return scenario{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out"), 0, {{d / "out", {}}}};
     }},
    {"records_with_trailing_partial", [](const fs::path& d) { return converted(d / "in", d / "out", 2, std::string(100, 'z')); }},
    {"existing_output_replaced",
     [](const fs::path& d) {
         write_file(d / "out", std::string(5000, 'o'));
         return converted(d / "in", d / "out", 3);
     }},
    {"invalid_records_skipped",
     [](const fs::path& d) {
         write_file(d / "in", invalid_record() + good_record(1) + invalid_record());
         return scenario{{(d / "in").string(), (d / "out").string()},
                         paths(d / "in", d / "out") + skip_line + good_block(1) + skip_line, 0,
                         {{d / "out", global_header + good_packet(1)}}};
     }},
    {"only_invalid_records",
     [](const fs::path& d) {
         write_file(d / "in", invalid_record());
         return scenario{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out") + skip_line, 0,
                         {{d / "out", {}}}};
     }},
    {"existing_output_kept_without_a_valid_record",
     [](const fs::path& d) {
         write_file(d / "in", invalid_record() + good_record(1).substr(0, 100));
         write_file(d / "out", "an earlier capture");
         return scenario{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out") + skip_line, 0,
                         {{d / "out", "an earlier capture"}}};
     }},
    {"output_in_missing_folder",
     [](const fs::path& d) {
         scenario s = output_refused(d / "in", d / "missing" / "out");
         s.files.emplace_back(d / "missing", std::nullopt);
         return s;
     }},
    {"output_is_a_directory",
     [](const fs::path& d) {
         fs::create_directory(d / "folder");
         return output_refused(d / "in", d / "folder");
     }},
    {"output_parent_is_a_file",
     [](const fs::path& d) {
         write_file(d / "plain", "p");
         scenario s = output_refused(d / "in", d / "plain" / "out");
         s.files.emplace_back(d / "plain", "p");
         return s;
     }},
    {"output_is_the_input", [](const fs::path& d) { return output_refused(d / "in", d / "in"); }},
    {"output_is_a_hard_link_to_the_input",
     [](const fs::path& d) {
         scenario s = output_refused(d / "in", d / "link");
         fs::create_hard_link(d / "in", d / "link");
         return s;
     }},
    {"output_is_a_symbolic_link_to_the_input",
     [](const fs::path& d) {
         scenario s = output_refused(d / "in", d / "link");
         fs::create_symlink(d / "in", d / "link");
         return s;
     }},
    {"write_failure_on_full_device",
     [](const fs::path& d) {
         write_file(d / "in", records(1, 3, good_record));
         return scenario{{(d / "in").string(), "/dev/full"},
                         paths(d / "in", "/dev/full") + records(1, 3, good_block) + "Unable to write output file.", 2,
                         {{d / "in", records(1, 3, good_record)}}};
     }},
    {"non_ascii_paths",
     [](const fs::path& d) {
         fs::create_directory(d / "captures");
         return converted(d / "captures" / "\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC.bin",
                          d / "captures" / "\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC.pcap", 4);
     }},
    {"named_pipe_fed_in_small_pieces",
     [](const fs::path& d) {
         const fs::path pipe = d / "pipe";
         mkfifo(pipe.c_str(), 0600);
         scenario s{{pipe.string(), (d / "out").string()},
                    paths(pipe, d / "out") + records(1, 20, good_block),
                    0,
                    {{d / "out", pcap_of(20)}}};
         s.feeder = std::jthread([pipe] {
             const std::string data = records(1, 20, good_record) + "tail";
             std::ofstream writer(pipe, std::ios::binary);
             for (std::size_t at = 0; at < data.size(); at += 7) {
                 writer.write(data.data() + at, static_cast<std::streamsize>(std::min<std::size_t>(7, data.size() - at)));
                 writer.flush();
                 if (at % 70 == 0)
                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
             }
         });
         return s;
     }},
    {"hundred_thousand_records", [](const fs::path& d) { return converted(d / "in", d / "out", 100'000); }},
    // Files past 2 and 4 GiB, whose offsets and sizes 32-bit systems hold
    // only with 64-bit file offsets: read whole, with their size in the
    // status line.
    {"input_over_4_gib_converted_whole",
     [](const fs::path& d) {
         const fs::path large = large_file_dir(d), out = large / "out.pcap";
         if (!make_large_capture(large / "in"))
             return scenario{.skip = "FAIL: this file system holds no file of 4.3 GB"};
         scenario s{{(large / "in").string(), out.string()}, "", 0, {}};
         s.console_to = console_mode::discarded_errors_on_terminal;
         s.errors = {" of 4.3 GB (", "\rwpan2pcap: 28,500,000 records converted, 4.3 GB read in ", " s, to " + out.string()};
         s.check_after = [out, large] {
             expect_large_capture_converted(out);
             fs::remove_all(large);
         };
         return s;
     },
     true},
    // An existing output far longer than the new capture is cut to it.
    {"existing_output_over_3_gib_truncated",
     [](const fs::path& d) {
         if (!set_file_size(d / "out", std::uint64_t{3} << 30))
             return scenario{.skip = "FAIL: this file system holds no file of 3 GiB"};
         scenario s = converted(d / "in", d / "out", 3);
         s.files.clear();
         s.check_after = [out = d / "out"] {
             ASSERT_EQ(fs::file_size(out), pcap_of(3).size());
             EXPECT_EQ(visible(read_file(out)), visible(pcap_of(3)));
         };
         return s;
     }},
    // The same file past 4 GiB as input and output: refused, and left whole.
    {"output_is_the_input_over_4_gib",
     [](const fs::path& d) {
         const fs::path large = large_file_dir(d), in = large / "in";
         if (!make_large_capture(in))
             return scenario{.skip = "FAIL: this file system holds no file of 4.3 GB"};
         scenario s{{in.string(), in.string()}, "", 2, {}};
         s.console_to = console_mode::discarded_errors_on_terminal;
         s.errors = {"\rwpan2pcap: 28,500,000 records converted, 4.3 GB read in ", " s, no output file",
                     "\nwpan2pcap: Unable to open output file.\n"};
         s.check_after = [in, large] {
             EXPECT_EQ(fs::file_size(in), large_capture_records * record_size);
             EXPECT_TRUE(read_file_part(in, (large_capture_records - 2) * record_size, 400) == records(1, 2, good_record));
             fs::remove_all(large);
         };
         return s;
     },
     true},
    // More trace than a pipe holds, so the converter is still writing when its reader goes.
    {"console_reader_closes_after_three_lines",
     [](const fs::path& d) {
         return with_console(converted(d / "in", d / "out", 5000), console_mode::reader_closes_after_three_lines,
                             paths(d / "in", d / "out") + "Packet\n");
     }},
    {"console_on_a_full_device",
     [](const fs::path& d) { return with_console(converted(d / "in", d / "out", 3), console_mode::full_device, ""); }},
    {"console_and_output_both_null_device",
     [](const fs::path& d) {
         write_file(d / "in", records(1, 3, good_record));
         return scenario{{(d / "in").string(), "/dev/null"}, "", 0, {}, {}, console_mode::null_device};
     }},
    {"console_closed",
     [](const fs::path& d) { return with_console(converted(d / "in", d / "out", 3), console_mode::closed, ""); },
     true},
    {"output_is_the_console_file",
     [](const fs::path& d) {
         return output_refused(d / "in", "/dev/stdout"); // the console file gets the trace alone
     },
     true},
    {"output_pipe_reader_gone",
     [](const fs::path& d) {
         const fs::path in = d / "in-pipe", out = d / "out-pipe";
         mkfifo(in.c_str(), 0600);
         mkfifo(out.c_str(), 0600);
         scenario s{{in.string(), out.string()}, paths(in, out) + good_block(1) + "Unable to write output file.", 2, {}};
         // The reader takes the first packet and leaves while the input is
         // silent: nobody is left to convert for. The input's writer stays
         // until the converter has gone.
         s.feeder = std::jthread([in, out] {
             const int writer = open(in.c_str(), O_WRONLY | O_CLOEXEC);
             write_all(writer, good_record(1));
             std::ifstream reader(out, std::ios::binary);
             std::string first(global_header.size() + good_packet(1).size(), '\0');
             reader.read(first.data(), static_cast<std::streamsize>(first.size()));
             reader.close();
             pollfd converter_gone{writer, 0, 0};
             poll(&converter_gone, 1, 30'000);
             close(writer);
         });
         return s;
     },
     true},
    {"console_file_as_input",
     [](const fs::path& d) {
         // Refused before a byte is read, or the run would read its own trace for ever.
         return scenario{{console_file(d).string(), (d / "out").string()},
                         paths(console_file(d), d / "out") + "Unable to open input file.", 2, {{d / "out", {}}}};
     }},
    {"output_is_the_console_file_by_its_path",
     [](const fs::path& d) { return output_refused(d / "in", console_file(d)); }},
    {"same_named_pipe_as_input_and_output",
     [](const fs::path& d) {
         const fs::path pipe = d / "pipe";
         mkfifo(pipe.c_str(), 0600);
         scenario s{{pipe.string(), pipe.string()},
                    paths(pipe, pipe) + good_block(1) + "Unable to open output file." + good_block(2), 2, {}};
         s.feeder = std::jthread([pipe] { std::ofstream(pipe, std::ios::binary) << records(1, 2, good_record); });
         return s;
     },
     true},
    {"same_block_device_as_input_and_output",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::both); }, true},
    {"loop_device_as_output_over_its_backing_input",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::output); }, true},
    {"backing_file_as_output_of_its_loop_device_input",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::input); }, true},
    {"two_loop_devices_over_one_file",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::two_devices); }, true},
    {"loop_device_over_a_loop_device_as_output_over_their_backing_input",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::chain_as_output); }, true},
    {"backing_file_as_output_of_a_loop_device_over_a_loop_device_as_input",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::chain_as_input); }, true},
    {"loop_device_as_output_over_a_backing_file_named_with_a_line_feed",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::output, "nl\nname.bin"); }, true},
    {"backing_file_named_with_a_line_feed_as_output_of_its_loop_device",
     [](const fs::path& d) { return loop_device_scene(d, loop_role::input, "nl\nname.bin"); }, true},
    {"tty_as_output_on_a_terminal",
     [](const fs::path& d) {
         // /dev/tty reaches the terminal by a device of its own: any terminal is refused.
         write_file(d / "in", good_record(1));
         return scenario{{(d / "in").string(), "/dev/tty"},
                         paths(d / "in", "/dev/tty") + good_block_on_a_terminal(1) + "Unable to open output file.", 2, {}, {},
                         console_mode::terminal};
     },
     true},
    {"hostile_record_on_a_terminal",
     [](const fs::path& d) {
         write_file(d / "in", hostile_record() + good_record(2));
         return scenario{{(d / "in").string(), (d / "out").string()},
                         paths(d / "in", d / "out") + hostile_block_on_a_terminal + good_block_on_a_terminal(2), 0, {}, {},
                         console_mode::terminal};
     }},
    {"hostile_record_redirected_as_stored",
     [](const fs::path& d) {
         write_file(d / "in", hostile_record());
         const std::string raw_block = "Packet\n\n\n7\n1000000\n\x1b\n<STARTREMAIN>" + hostile_payload +
                                       "<ENDREMAIN>\n<STARTDATA>\x1b<ENDDATA>\n<STARTFCS>" + std::string("\0\xFF", 2) +
                                       "<ENDFCS>\n";
         return scenario{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out") + raw_block, 0, {}};
     }},
    {"console_pipe_left_non_blocking_read_slowly",
     [](const fs::path& d) {
         return with_console(converted(d / "in", d / "out", 3000), console_mode::nonblocking_pipe_read_slowly,
                             paths(d / "in", d / "out") + records(1, 3000, good_block));
     },
     true},
    {"summary_on_a_terminal_standard_error",
     [](const fs::path& d) {
         scenario s = converted(d / "in", d / "out", 3);
         s.console_to = console_mode::errors_on_terminal;
         s.errors = {"3 records converted"};
         return s;
     },
     true},
    {"status_line_redrawn_in_place_then_a_summary_with_the_failure",
     [](const fs::path& d) {
         // Records a quarter of a second apart, so the line is drawn between them.
         const fs::path pipe = d / "pipe";
         mkfifo(pipe.c_str(), 0600);
         scenario s{{pipe.string(), "/dev/full"},
                    paths(pipe, "/dev/full") + records(1, 3, good_block) + "Unable to write output file.", 2, {}};
         s.console_to = console_mode::errors_on_terminal;
         s.errors = {"\rwpan2pcap: 1 record converted, 151 bytes, ", "\rwpan2pcap: 2 records converted, 302 bytes, ",
                     "\rwpan2pcap: 3 records converted, 453 bytes read in ", "\nwpan2pcap: Unable to write output file.\n"};
         s.errors_redrawn_in_place = true;
         s.feeder = std::jthread([pipe] {
             std::ofstream writer(pipe, std::ios::binary);
             for (std::uint32_t n = 1; n <= 3; ++n) {
                 writer << good_record(n) << std::flush;
                 std::this_thread::sleep_for(std::chrono::milliseconds(250));
             }
         });
         return s;
     },
     true},
    {"summary_names_no_output_that_was_refused",
     [](const fs::path& d) {
         // /dev/tty is standard error's terminal here, and a terminal never takes a capture.
         write_file(d / "in", good_record(1));
         scenario s{{(d / "in").string(), "/dev/tty"}, paths(d / "in", "/dev/tty") + good_block(1) + "Unable to open output file.", 2,
                    {}};
         s.console_to = console_mode::errors_on_terminal;
         s.errors = {"\rwpan2pcap: 1 record converted, 151 bytes read in ", " s, no output file\nwpan2pcap: Unable to open output file.\n"};
         return s;
     },
     true},
    {"standard_error_silent_when_not_a_terminal",
     [](const fs::path& d) {
         scenario s = converted(d / "in", d / "out", 3);
         s.console_to = console_mode::errors_to_file;
         return s;
     },
     true},
    // A capture of another format given by mistake is converted as ever
    // (scripts rely on the trace, the output and the status), and standard
    // error says what it is. Its first 151 bytes read as a record: a PCAP
    // global header, then zeros.
    {"pcap_as_input_converted_as_ever_and_said_on_standard_error",
     [](const fs::path& d) {
         const std::string header_record = as_string(make_record(
             {.flags = 0xD4, .number = 0x02A1B2C3, .timestamp = 1024, .length = 0, .body = {0, 0, 0x80, 0, 0, 0, 0xC3}}));
         if (header_record.substr(0, global_header.size()) != global_header)
             return scenario{.skip = "FAIL: the record is not a PCAP header"};
         write_file(d / "in", header_record + good_record(2));
         const std::string block = std::string("Packet\n\xD4\n44151491\n1024\n") + '\0' +
                                   "\n<STARTREMAIN><ENDREMAIN>\n<STARTDATA><ENDDATA>\n<STARTFCS>" + std::string(2, '\0') + "<ENDFCS>\n";
         const std::string packet = le32(0) + le32(1024) + le32(2) + le32(2) + std::string(2, '\0');
         scenario s{{(d / "in").string(), (d / "out").string()},
                    paths(d / "in", d / "out") + block + good_block(2),
                    0,
                    {{d / "out", global_header + packet + good_packet(2)}}};
         s.console_to = console_mode::errors_to_file;
         s.errors = {"wpan2pcap: the input is a PCAP file, not a capture of 151-byte records: open it in Wireshark directly\n"};
         return s;
     }},
    {"pcapng_shorter_than_a_record_said_on_standard_error",
     [](const fs::path& d) {
         // A section header block alone: no whole record, nothing converted.
         write_file(d / "in", "\x0A\x0D\x0D\x0A" + le32(28) + le32(0x1A2B3C4D) + std::string("\x01\x00\x00\x00", 4) +
                                  std::string(8, '\xFF') + le32(28));
         scenario s{{(d / "in").string(), (d / "out").string()}, paths(d / "in", d / "out"), 0, {{d / "out", {}}}};
         s.console_to = console_mode::errors_to_file;
         s.errors = {"wpan2pcap: the input is a pcapng file, not a capture of 151-byte records: open it in Wireshark directly\n"};
         return s;
     }},
    {"output_file_system_fills_part_way",
     [](const fs::path& d) {
         // A 64 KiB file system takes some thousands of packets of 5000.
         fs::create_directory(d / "small");
         if (!run_helper({"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", (d / "small").string()}, d)) {
             if (in_ci())
                 return scenario{.skip = "FAIL: cannot mount a tmpfs, which CI must"};
             return scenario{.skip = "mounting a small tmpfs needs root"};
         }
         const fs::path out = d / "small" / "out.pcap";
         write_file(d / "in", records(1, 5000, good_record));
         scenario s{{(d / "in").string(), out.string()},
                    paths(d / "in", out) + records(1, 5000, good_block) + "Unable to write output file.", 2, {}};
         s.check_after = [out, d] {
             // Cut back to the last whole packet: a valid capture of every packet that fit.
             const std::string written = read_file(out);
             const std::size_t packets = written.size() < global_header.size()
                                             ? 0
                                             : (written.size() - global_header.size()) / good_packet(1).size();
             EXPECT_GT(packets, 1000u);
             EXPECT_TRUE(written == pcap_of(static_cast<std::uint32_t>(packets)))
                 << written.size() << " bytes are not " << packets << " whole packets";
             run_helper({"umount", (d / "small").string()}, d);
         };
         return s;
     },
     true},
    // Windows named pipes, made as Wireshark and sniffer tools make them: the
    // programs connect to a pipe that exists, never opening its name just to
    // look at it, which would take its only instance.
    {"windows_named_pipe_as_output",
     [](const fs::path& d) { return converted_into_pipe(d, pipe_path(d)); },
     false, true},
    {"windows_named_pipe_as_input_closed_by_its_writer",
     [](const fs::path& d) { return converted_from_pipe(d, pipe_path(d), {"1"}, "part"); },
     false, true},
    // The same pipe, spelled another way, as the output: refused by its name
    // (its server offers a second instance, so only the name can tell).
    {"windows_same_named_pipe_as_input_and_output",
     [](const fs::path& d) { return same_pipe_twice(d, pipe_name(d), "//./PIPE/" + upper_case(pipe_name(d))); }, false, true},
    {"windows_same_named_pipe_in_another_case_beyond_ascii",
     [](const fs::path& d) {
         return same_pipe_twice(d, "\xC3\x9C" "ber-" + pipe_name(d), "\\\\.\\pipe\\\xC3\xBC" "ber-" + pipe_name(d));
     },
     false, true},
    {"windows_same_named_pipe_as_a_win32_path_and_an_nt_path",
     [](const fs::path& d) { return same_pipe_twice(d, pipe_name(d), "\\??\\pipe\\" + pipe_name(d)); }, false, true},
    // Every spelling Windows takes for a pipe reaches it, and none is
    // opened just to be compared.
    {"windows_named_pipe_spelled_with_a_question_mark_as_output",
     [](const fs::path& d) { return converted_into_pipe(d, "\\\\?\\pipe\\" + pipe_name(d)); },
     false, true},
    {"windows_named_pipe_spelled_with_slashes_as_output",
     [](const fs::path& d) { return converted_into_pipe(d, "//./pipe/" + pipe_name(d)); },
     false, true},
    {"windows_named_pipe_spelled_with_a_question_mark_as_input",
     [](const fs::path& d) { return converted_from_pipe(d, "\\\\?\\pipe\\" + pipe_name(d)); },
     false, true},
    {"windows_named_pipe_spelled_as_an_nt_path_as_input",
     [](const fs::path& d) { return converted_from_pipe(d, "\\??\\pipe\\" + pipe_name(d)); },
     false, true},
    // A writer that simply closes its handle, without hanging up first:
    // the end of the input too.
    {"windows_named_pipe_as_input_whose_writer_just_closes",
     [](const fs::path& d) { return converted_from_pipe(d, pipe_path(d), {"1", "close"}); },
     false, true},
    // Another client holds the pipe's one instance for 200 ms: the converter
    // waits its turn.
    {"windows_named_pipe_busy_for_a_moment_as_output",
     [](const fs::path& d) {
         scenario s = converted(d / "in", pipe_path(d), 20);
         s.files.clear();
         pipe_peer peer = start_pipe_peer({"read", pipe_name(d), (d / "got").string(), "0", "busy"}, d);
         const std::shared_ptr<std::string> report = peer.report;
         s.feeder = awaited(std::move(peer), d);
         s.check_after = [d, report] {
             EXPECT_NE(report->find("the other client left"), std::string::npos) << *report;
             EXPECT_EQ(visible(read_file(d / "got")), visible(pcap_of(20)));
         };
         return s;
     },
     false, true},
    {"windows_live_between_named_pipes",
     [](const fs::path& d) {
         // Each packet and block must be out before the next record is fed.
         write_file(d / "records", records(1, 60, good_record));
         write_file(d / "expected", pcap_of(60));
         const std::string in = pipe_path(d) + "-in", out = pipe_path(d) + "-out";
         scenario s{{in, out}, paths(in, out) + records(1, 60, good_block), 0, {}};
         pipe_peer peer = start_pipe_peer({"relay", pipe_name(d) + "-in", pipe_name(d) + "-out", (d / "records").string(),
                                           (d / "expected").string(), console_file(d).string()},
                                          d);
         const std::shared_ptr<std::string> report = peer.report;
         s.feeder = awaited(std::move(peer), d);
         s.check_after = [report] {
             EXPECT_NE(report->find("60 packets, record to packet median "), std::string::npos) << *report;
             EXPECT_NE(report->find("\nok"), std::string::npos) << *report;
             std::cout << *report;
         };
         return s;
     },
     false, true},
    // The output's reader leaves while the input pipe is quiet: the
    // converter notices by itself, at once.
    {"windows_output_pipe_reader_gone",
     [](const fs::path& d) {
         write_file(d / "records", records(1, 2, good_record));
         write_file(d / "expected", pcap_of(2));
         const std::string in = pipe_path(d) + "-in", out = pipe_path(d) + "-out";
         scenario s{{in, out}, paths(in, out) + good_block(1) + "Unable to write output file.", 2, {}};
         pipe_peer peer = start_pipe_peer({"relay", pipe_name(d) + "-in", pipe_name(d) + "-out", (d / "records").string(),
                                           (d / "expected").string(), console_file(d).string(), "1"},
                                          d);
         const std::shared_ptr<std::string> report = peer.report;
         s.feeder = awaited(std::move(peer), d);
         s.check_after = [report] {
             const auto at = report->find("the program left ");
             ASSERT_NE(at, std::string::npos) << *report;
             EXPECT_LT(std::strtod(report->c_str() + at + 17, nullptr), 1000.0) << *report;
             std::cout << *report;
         };
         return s;
     },
     false, true},
    // Ctrl-C while the input pipe is quiet: the run stops at once, with
    // every record fed traced and converted.
    {"windows_ctrl_c_while_the_input_pipe_is_quiet",
     [](const fs::path& d) {
         write_file(d / "records", records(1, 3, good_record));
         scenario s{{}, {}, 0, {}};
         s.feeder = awaited(start_pipe_peer({"write", pipe_name(d), (d / "records").string(), "0", "hold"}, d), d);
         const char* exe = std::getenv("WPAN2PCAP_EXE");
         s.command = pipe_peer_command({"ctrl-c", (d / "trace").string(), (d / "out").string(), std::to_string(pcap_of(3).size()),
                                        (d / "report").string(), exe != nullptr ? exe : "wpan2pcap.exe", pipe_path(d), (d / "out").string()});
         s.console_to = console_mode::terminal;
         s.console_not_checked = true;
         s.check_after = [d] {
             const std::string report = read_file(d / "report");
             EXPECT_TRUE(report.starts_with("exit 0xC000013A, ") && report.ends_with(" ms after Ctrl-C\n")) << report;
             EXPECT_LT(std::strtod(report.c_str() + std::string_view("exit 0xC000013A, ").size(), nullptr), 1000.0) << report;
             EXPECT_EQ(visible(read_file(d / "trace")), visible(paths(pipe_path(d), d / "out") + records(1, 3, good_block)));
             EXPECT_EQ(visible(read_file(d / "out")), visible(pcap_of(3)));
         };
         return s;
     },
     false, true},
    // Ctrl-Break and closing the console's window stop it as Ctrl-C does.
    {"windows_ctrl_break_part_way_through_a_large_file",
     [](const fs::path& d) {
         return ctrl_c_part_way(d, (d / "out").string(), d / "out", 500'000, 1000.0, std::nullopt, console_event::ctrl_break);
     },
     false, true},
    {"windows_console_window_closed_part_way_through_a_large_file",
     [](const fs::path& d) {
         return ctrl_c_part_way(d, (d / "out").string(), d / "out", 500'000, 1000.0, std::nullopt, console_event::window_closed);
     },
     false, true},
    {"windows_ctrl_c_part_way_through_a_large_file",
     [](const fs::path& d) { return ctrl_c_part_way(d, (d / "out").string(), d / "out", 500'000, 1000.0, std::nullopt); },
     false, true},
    {"windows_ctrl_c_with_the_output_pipe_reader_stalled",
     [](const fs::path& d) {
         pipe_peer reader = start_pipe_peer({"read", pipe_name(d), (d / "got").string(), "100000", "stall"}, d);
         return ctrl_c_part_way(d, pipe_path(d), d / "got", 100'000, 1000.0, std::move(reader));
     },
     false, true},
};

class converter_run : public ::testing::TestWithParam<e2e_case> {};

TEST_P(converter_run, prints_exits_and_leaves_files_as_expected)
{
    const fs::path dir = fs::temp_directory_path() /
                         ("wpan2pcap-e2e-" + std::to_string(getpid()) + "-" + GetParam().name);
    fs::remove_all(dir);
    fs::create_directories(dir);

    scenario expected = GetParam().prepare(dir);
    if (!expected.skip.empty()) {
        fs::remove_all(dir);
        if (expected.skip.starts_with("FAIL"))
            FAIL() << expected.skip;
        GTEST_SKIP() << expected.skip;
    }
    std::vector<std::string> command = converter_command(WPAN2PCAP_BUILT_EXE);
    command.insert(command.end(), expected.arguments.begin(), expected.arguments.end());
    if (!expected.command.empty())
        command = expected.command;
    // A run that never ends (a converter reading its own output, say) is
    // killed, and fails as one ended by SIGKILL.
    running_process process = start_process(command, console_file(dir), expected.console_to);
    const process_result result = finish_process(process, console_file(dir), std::chrono::seconds(30));
    if (expected.feeder.joinable())
        expected.feeder.join();
    if (expected.check_after)
        expected.check_after();
    if (expected.errors.empty()) {
        EXPECT_EQ(visible(result.errors), "");
    }
    std::size_t part_at = 0;
    for (const std::string& part : expected.errors) {
        part_at = result.errors.find(part, part_at);
        ASSERT_NE(part_at, std::string::npos) << visible(part) << " in order in " << visible(result.errors);
    }
    if (expected.errors_redrawn_in_place) {
        EXPECT_EQ(result.errors.find('\n'), part_at) << visible(result.errors);
    }

    EXPECT_EQ(result.status, expected.status);
    std::string output = result.output;
    if (testing_windows_build() && expected.console_to == console_mode::terminal) {
        // Wine's console draws with line ends of its own and hides the
        // cursor while it writes: what the program wrote is what is left.
        for (const std::string wine_own : {"\r", "\x1b[?25l", "\x1b[?25h"})
            for (auto at = output.find(wine_own); at != std::string::npos; at = output.find(wine_own, at))
                output.erase(at, wine_own.size());
    }
    if (expected.console_not_checked)
        output = expected.console;
    if (output != expected.console) { // the full dump of a large run helps nobody: show where they part
        const auto parted = std::mismatch(output.begin(), output.end(), expected.console.begin(), expected.console.end());
        const auto at = static_cast<std::size_t>(parted.first - output.begin());
        const std::size_t from = at < 200 ? 0 : at - 200;
        ADD_FAILURE() << "the console differs from byte " << at << " (sizes " << output.size() << " and "
                      << expected.console.size() << ")\n  printed:  " << visible(output.substr(from, 400))
                      << "\n  expected: " << visible(expected.console.substr(from, 400));
    }
    for (const auto& [path, contents] : expected.files) {
        if (!contents) {
            EXPECT_FALSE(fs::exists(path)) << path;
        } else {
            const std::string actual = read_file(path);
            EXPECT_EQ(actual.size(), contents->size()) << path;
            EXPECT_TRUE(actual == *contents) << path << " holds " << visible(actual.substr(0, 200));
        }
    }
    fs::remove_all(dir);
    fs::remove(console_file(dir));
}

// The rows of the platform under test: POSIX descriptors, device files and
// named pipes, or Windows named pipes and consoles (the Windows build under
// Wine, which tools/run_windows_tests.sh runs).
std::vector<e2e_case> platform_cases()
{
    std::vector<e2e_case> rows;
    for (const e2e_case& row : cases)
        if (testing_windows_build() ? !row.posix_only : !row.windows_only)
            rows.push_back(row);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(files, converter_run, ::testing::ValuesIn(platform_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// The capture generator refuses what it cannot honour, says why, and writes
// nothing, rather than an empty file or one that grows until it is killed.
TEST(make_capture, refuses_bad_arguments_and_writes_nothing)
{
    const fs::path dir = fs::temp_directory_path() / ("wpan2pcap-make-capture-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string out = (dir / "out.bin").string();
    // A generator that took -1 for a huge count would fill the disk; with
    // this limit (inherited) it is stopped at a megabyte instead.
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit megabyte = previous;
    megabyte.rlim_cur = 1 << 20;
    setrlimit(RLIMIT_FSIZE, &megabyte);
    const std::vector<std::vector<std::string>> refused = {
        {"--records", "abc", out}, {"--records", "-1", out},  {"--records", "4294967296", out},
        {"--records", "12x", out}, {"--records", "+5", out},  {out, "--records"},
        {"--seed", "-3", out},     {"--kind", "noisy", out},  {"--count", "5", out},
        {},                        {"--records", "5"},        {out, (dir / "second.bin").string()},
    };
    for (const auto& arguments : refused) {
        std::vector<std::string> command = project_program(WPAN2PCAP_MAKE_CAPTURE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        const process_result result = run_process(command, dir / "console", console_mode::file_and_errors);
        SCOPED_TRACE(::testing::PrintToString(arguments));
        EXPECT_NE(result.status, 0);
        EXPECT_TRUE(result.output.starts_with("make_capture: ")) << result.output;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(dir / "second.bin"));
    }
    // A good count writes exactly its records; the README's command makes
    // the bundled sample, byte for byte.
    EXPECT_EQ(run_process(command_with(project_program(WPAN2PCAP_MAKE_CAPTURE), {"--records", "3", out}), dir / "console").status, 0);
    EXPECT_EQ(fs::file_size(out), 3 * 151u);
    EXPECT_EQ(run_process(command_with(project_program(WPAN2PCAP_MAKE_CAPTURE), {"--records", "100", out}), dir / "console").status, 0);
    EXPECT_TRUE(read_file(out) == read_file(WPAN2PCAP_SAMPLE)) << "make_capture --records 100 is not samples/sample.bin";
    setrlimit(RLIMIT_FSIZE, &previous);
    fs::remove_all(dir);
}

} // namespace
} // namespace wpan2pcap::test
