#pragma once

#include "formats/capture_record.hpp"

#include <ostream>

namespace wpan2pcap {

// Writes the record's eight-line block to the console: "Packet", the flags
// byte, number, timestamp, the length byte, the body up to its first zero
// byte, the first payload byte and the two FCS bytes. Bytes are shown raw, as
// stored, and every line is flushed as soon as it is complete.
void trace_record(const capture_record& record, std::ostream& console);

} // namespace wpan2pcap
