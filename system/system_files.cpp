#include "system/system_files.hpp"

namespace wpan2pcap {

// Closes `fd`; false when closing reported an error. Each platform has its own.
bool release_descriptor(int fd);

bool file_descriptor::close()
{
    if (fd_ < 0)
        return true;
    const int fd = fd_;
    fd_ = -1;
    return release_descriptor(fd);
}

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

} // namespace wpan2pcap
