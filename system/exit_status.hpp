#pragma once

namespace wpan2pcap {

// The exit statuses both programs share.
enum exit_status : int {
    exit_success = 0,
    exit_usage = 1,        // wrong arguments
    exit_file_failure = 2, // a file could not be opened, read or written
};

} // namespace wpan2pcap
