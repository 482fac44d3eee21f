#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace wpan2pcap {

// UTF-8 for a string of UTF-16 (or UTF-32) code units. An unpaired surrogate
// or a value beyond U+10FFFF becomes U+FFFD rather than failing: a file name
// is echoed even when it is not valid Unicode.
template <typename Char>
std::string utf8_from_wide(std::basic_string_view<Char> wide);

// A path as echoed on the console: the bytes the platform delivered on POSIX,
// the UTF-8 form of the wide-character argument on Windows.
std::string path_text(const std::filesystem::path& path);

// A file URL for an absolute path (file:///usr/share/doc/x/README.md,
// file:///C:/Users/x/README.md), each byte of the UTF-8 name that is not a
// letter, a digit or one of - . _ ~ / : escaped as %XX.
std::string file_url(const std::filesystem::path& path);

// UTF-8 text as a terminal may be shown it: letters pass, control characters
// (C0, DEL, C1) and bytes that are not UTF-8 are shown as `cat -v` shows
// them, so a file name cannot drive the terminal either.
std::string visible_text(std::string_view utf8);

} // namespace wpan2pcap
