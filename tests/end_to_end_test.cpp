// Runs the built converter on real files and checks, for each situation, what
// it printed, its exit status and the files it left behind.

#include "run_process.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>

namespace wpan2pcap::test {
namespace {

namespace fs = std::filesystem;

struct scenario {
    std::vector<std::string> arguments;
    std::string console;
    int status = 0;
    // Every file named must hold exactly these bytes; nullopt: it must not exist.
    std::vector<std::pair<fs::path, std::optional<std::string>>> files;
    std::jthread feeder = {}; // writes a named pipe while the converter reads it
    console_mode console_to = console_mode::file;
};

struct e2e_case {
    const char* name;
    std::function<scenario(const fs::path& dir)> prepare;
    bool posix_only = false; // POSIX descriptors, device files and named pipes
};

void PrintTo(const e2e_case& c, std::ostream* os) { *os << c.name; }

const std::string usage = "The function requires exactly two arguments, an input and an output file.";

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
         scenario s{{in.string(), out.string()},
                    paths(in, out) + good_block(1) + good_block(2) + "Unable to write output file.", 2, {}};
         // The reader leaves before the second record exists, so that
         // record's packet can only meet a pipe with nobody reading it.
         s.feeder = std::jthread([in, out] {
             std::ofstream writer(in, std::ios::binary);
             writer << good_record(1) << std::flush;
             std::ifstream(out, std::ios::binary).close();
             writer << good_record(2) << std::flush;
         });
         return s;
     },
     true},
};

class converter_run : public ::testing::TestWithParam<e2e_case> {};

TEST_P(converter_run, prints_exits_and_leaves_files_as_expected)
{
    const fs::path dir = fs::temp_directory_path() /
                         ("wpan2pcap-e2e-" + std::to_string(getpid()) + "-" + GetParam().name);
    fs::remove_all(dir);
    fs::create_directories(dir);

    if (GetParam().posix_only && testing_windows_build()) {
        fs::remove_all(dir);
        GTEST_SKIP() << "POSIX descriptors, device files and named pipes only";
    }
    scenario expected = GetParam().prepare(dir);
    std::vector<std::string> command = converter_command(WPAN2PCAP_BUILT_EXE);
    command.insert(command.end(), expected.arguments.begin(), expected.arguments.end());
    const process_result result =
        run_process(command, dir.parent_path() / (dir.filename().string() + ".stdout"), expected.console_to);
    if (expected.feeder.joinable())
        expected.feeder.join();

    EXPECT_EQ(result.status, expected.status);
    if (result.output != expected.console) { // the full dump of a large run helps nobody
        EXPECT_EQ(visible(result.output.substr(0, 4000)), visible(expected.console.substr(0, 4000)))
            << "sizes " << result.output.size() << " and " << expected.console.size();
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
    fs::remove(dir.parent_path() / (dir.filename().string() + ".stdout"));
}

INSTANTIATE_TEST_SUITE_P(files, converter_run, ::testing::ValuesIn(cases),
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
        std::vector<std::string> command = {WPAN2PCAP_MAKE_CAPTURE};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const process_result result = run_process(command, dir / "console", console_mode::file_and_errors);
        SCOPED_TRACE(::testing::PrintToString(arguments));
        EXPECT_NE(result.status, 0);
        EXPECT_TRUE(result.output.starts_with("make_capture: ")) << result.output;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(dir / "second.bin"));
    }
    // A good count writes exactly its records.
    EXPECT_EQ(run_process({WPAN2PCAP_MAKE_CAPTURE, "--records", "3", out}, dir / "console").status, 0);
    EXPECT_EQ(fs::file_size(out), 3 * 151u);
    setrlimit(RLIMIT_FSIZE, &previous);
    fs::remove_all(dir);
}

} // namespace
} // namespace wpan2pcap::test
