#pragma once

#include "extcap/extcap_request.hpp"

#include <ostream>

namespace wpan2pcap {

// Streams the record capture `request.source` into `request.fifo` as the
// PCAP the converter writes for it (or as pcapng with record numbers): the
// same global header, then the same packet records, malformed records
// skipped, and no trace. Each packet goes out before the program waits for
// more input. It ends at the end of the file, or, when following, at a stop
// or when the pipe's reader has gone, with status 0; a request that cannot
// be carried out, a refusal or a failure is one line on `errors` and a
// non-zero status. What the trace would have told goes to Wireshark's
// control pipes, when it gave them, and the program never ends before
// Wireshark has them.
int capture_to_pipe(const extcap_request& request, std::ostream& errors);

// Opens and closes the pipe, if one was given and a reader comes: Wireshark
// waits for the pipe to be opened before it looks at an extcap program's
// errors.
void release_waiting_reader(const extcap_request& request);

} // namespace wpan2pcap
