#include "system/console.hpp"

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace wpan2pcap {

void prepare_standard_streams()
{
    signal(SIGPIPE, SIG_IGN);
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        // open() takes the lowest free number, which is this one.
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

} // namespace wpan2pcap
