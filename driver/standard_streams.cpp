#include "driver/standard_streams.hpp"

#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace wpan2pcap {

void prepare_standard_streams() { _setmode(_fileno(stdout), _O_BINARY); }
std::optional<file_identity> standard_output_file() { return std::nullopt; }
std::optional<file_identity> file_identity_of(const std::filesystem::path&) { return std::nullopt; }

} // namespace wpan2pcap

#else

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wpan2pcap {

namespace {

file_identity identity(const struct stat& status)
{
    return {static_cast<std::uintmax_t>(status.st_dev), static_cast<std::uintmax_t>(status.st_ino)};
}

} // namespace

void prepare_standard_streams()
{
    signal(SIGPIPE, SIG_IGN);
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        // open() takes the lowest free number, which is this one.
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

std::optional<file_identity> standard_output_file()
{
    struct stat status {};
    if (fstat(STDOUT_FILENO, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)))
        return std::nullopt;
    return identity(status);
}

std::optional<file_identity> file_identity_of(const std::filesystem::path& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return identity(status);
}

} // namespace wpan2pcap

#endif
