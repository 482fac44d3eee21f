#pragma once

#include <cstddef>
#include <cstdint>

// Converts `data` as a whole input capture in memory and returns the name of
// the first check it fails, or nullptr when every check holds.
const char* failed_fuzz_check(const std::uint8_t* data, std::size_t size);
