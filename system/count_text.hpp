#pragma once

// Counts as both programs show them to a person.

#include <cstdint>
#include <string>

namespace wpan2pcap {

// 1234567 as 1,234,567.
std::string grouped(std::uint64_t value);

// "1 record converted" or "1,234 records converted", and ", 5 skipped" when
// any were.
std::string records_counted(std::uint64_t converted, std::uint64_t skipped);

} // namespace wpan2pcap
