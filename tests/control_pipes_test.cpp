// Wireshark's control pipe, from the program's side, in memory of a real
// named pipe: what Wireshark writes is read a bounded amount at one look, so
// that a writer that never stops cannot hold the capture up; and the end of
// that pipe, once Wireshark said it is ready, is Wireshark gone.

#include "extcap/control_pipes.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wpan2pcap {
namespace {

namespace fs = std::filesystem;

struct named_pipe {
    fs::path path = fs::temp_directory_path() / ("wpan2pcap-control-" + std::to_string(getpid()));
    named_pipe() { mkfifo(path.c_str(), 0600); }
    ~named_pipe() { fs::remove(path); }
};

// Wireshark's "initialized" packet: sync byte, length 2, control 0, command 0.
const std::string initialized("T\0\0\x02\0\0", 6);

TEST(control_pipes, read_a_bounded_amount_at_one_look)
{
    named_pipe fifo;
    // Wireshark's end, held before the program starts, with a pipe enlarged
    // to 1 MiB and filled: control packets of 1,000 bytes each.
    const int wireshark = open(fifo.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(wireshark, 0);
    ASSERT_GE(fcntl(wireshark, F_SETPIPE_SZ, 1 << 20), 1 << 20) << "a pipe of 1 MiB (see /proc/sys/fs/pipe-max-size)";
    std::string packet("T\0\x03\xe4\0\x01", 6); // 994 bytes of payload
    packet.resize(1000, 'x');
    std::size_t filled = 0;
    while (write(wireshark, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size()))
        filled += packet.size();
    ASSERT_GT(filled, 900'000u);

    control_pipes pipes(fifo.path, std::nullopt);
    pipes.tend();
    int left = 0;
    ASSERT_EQ(ioctl(wireshark, FIONREAD, &left), 0);
    EXPECT_GT(static_cast<std::size_t>(left), filled / 2) << "one look took " << filled - static_cast<std::size_t>(left) << " of "
                                                          << filled << " bytes";
    EXPECT_FALSE(pipes.wireshark_gone());
    close(wireshark);
}

TEST(control_pipes, take_the_end_of_wiresharks_pipe_for_wireshark_gone_once_it_was_ready)
{
    named_pipe fifo;
    control_pipes pipes(fifo.path, std::nullopt);
    // No writer yet reads as the end of the pipe too: that is no departure.
    pipes.tend();
    EXPECT_FALSE(pipes.wireshark_gone());
    EXPECT_TRUE(pipes.wireshark_listened_to()) << "Wireshark's word that it is ready is looked for";
    const int wireshark = open(fifo.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(wireshark, 0);
    ASSERT_EQ(write(wireshark, initialized.data(), initialized.size()), static_cast<ssize_t>(initialized.size()));
    pipes.tend();
    EXPECT_TRUE(pipes.wireshark_ready());
    EXPECT_TRUE(pipes.wireshark_listened_to());
    EXPECT_FALSE(pipes.wireshark_gone());
    close(wireshark); // killed
    pipes.tend();
    EXPECT_TRUE(pipes.wireshark_gone());
    EXPECT_FALSE(pipes.wireshark_listened_to());
}

} // namespace
} // namespace wpan2pcap
