#pragma once

// What Wireshark (or a person) asks of the extcap program, from its command
// line, and the answers to the questions that are not a capture.

#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace wpan2pcap {

// The one interface this program provides, and what Wireshark shows for it.
inline constexpr const char* extcap_interface_name = "wpan2pcap";
inline constexpr const char* extcap_interface_display = "IEEE 802.15.4 record capture";

struct extcap_request {
    // check_filter: Wireshark asks whether a capture filter is valid.
    // version: Wireshark's extcap programs answer --extcap-version alone with
    // their version line; usage: --help.
    enum class action { none, interfaces, dlts, config, check_filter, capture, version, usage };
    action what = action::none;
    std::optional<std::string> interface;
    std::optional<std::filesystem::path> fifo;
    std::optional<std::filesystem::path> source;
    std::optional<std::string> capture_filter;
    bool follow = false;
    bool record_numbers = false; // pcapng with each record's number and flags
    bool debug = false;
    bool version_asked = false; // --extcap-version, with or without Wireshark's version
    std::optional<std::filesystem::path> debug_file;
    // Wireshark's control pipes: the one it writes, the one it reads.
    std::optional<std::filesystem::path> control_in;
    std::optional<std::filesystem::path> control_out;
    // Why the request cannot be carried out, in a line Wireshark shows the
    // user; empty when it can.
    std::string error;
};

extcap_request parse_extcap_request(std::span<const std::filesystem::path> arguments);

// The answers to --extcap-interfaces, --extcap-dlts and --extcap-config, and
// to a capture filter's check: nothing for an empty filter (valid), else one
// line saying why it is not (this source cannot filter). `help` is the file
// Wireshark's Help button opens, if there is one.
void answer_extcap_question(const extcap_request& request, std::ostream& out,
                            const std::optional<std::filesystem::path>& help = std::nullopt);

// A README that only this program's own files are named: a build puts one
// beside the programs, and so may a person who copies the extcap alone.
inline constexpr const char* readme_named_for_the_program = "wpan2pcap-README.md";

// The README for the program that runs, looked for now where this build's
// kind of installation puts it: the Debian package's documentation folder
// (found from the program's own folder), where the Windows installer put it,
// or beside the program under a name that is this program's own.
std::optional<std::filesystem::path> help_file();

} // namespace wpan2pcap
