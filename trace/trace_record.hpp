#pragma once

#include "formats/capture_record.hpp"

#include <ostream>

namespace wpan2pcap {

// How the bytes that come from a record are shown.
enum class trace_style {
    raw,     // as stored, byte for byte
    visible, // as `cat -v` shows them, tab and line feed included, so a
             // terminal never receives a control byte from a radio frame
};

// Writes the record's eight-line block to the console in one write: "Packet",
// the flags byte, number, timestamp, the length byte, the body up to its
// first zero byte, the first payload byte and the two FCS bytes. When the
// console is flushed is the caller's choice.
void trace_record(const capture_record& record, std::ostream& console, trace_style style = trace_style::raw);

} // namespace wpan2pcap
