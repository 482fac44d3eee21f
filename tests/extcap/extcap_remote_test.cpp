// Remote capture: Wireshark's sshdump running the extcap program on another
// machine, here an SSH server of the test's own on the loopback.
#include "extcap_support.hpp"

#include <sstream>

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
            // Wireshark's global extcap folder: "Global Extcap path:" from
            // 4.2 on, after the personal one; 4.0 names only "Extcap path:".
            std::istringstream lines(folders.output);
            for (std::string line; std::getline(lines, line);) {
                const auto colon = line.find(':');
                const std::string label = line.substr(0, colon);
                if (colon == std::string::npos || (label != "Global Extcap path" && label != "Extcap path"))
                    continue;
                std::string folder = line.substr(colon + 1);
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
