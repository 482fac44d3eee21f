#pragma once

// The Wireshark that a test's tshark belongs to, and what changed between the
// releases users run (4.0 to 4.6), so that a row takes each release's output
// as that release writes it and checks each one's own behaviour.

#include "run_process.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace wpan2pcap::test {

struct wireshark_release {
    int major = 0;
    int minor = 0;
    std::string line; // tshark --version's first line

    bool at_least(int wanted_major, int wanted_minor) const
    {
        return major > wanted_major || (major == wanted_major && minor >= wanted_minor);
    }
    // From 4.2 the PCAP writers refuse a packet whose seconds do not fit a
    // signed 32-bit number; 4.0 wrote their low 32 bits.
    bool refuses_pcap_times_past_2038() const { return at_least(4, 2); }
    // Where they refuse one, editcap, and tshark up to 4.4, stop there ("We
    // don't support writing that record's time stamp to that file type");
    // tshark from 4.6 leaves out each such packet, writes the others, and
    // ends with "An error occurred while writing to the file ...: Success".
    bool tshark_leaves_out_pcap_times_past_2038() const { return at_least(4, 6); }
};

// The release of the tshark on the PATH; major 0 when there is none.
inline wireshark_release tshark_release(const std::filesystem::path& scratch)
{
    wireshark_release release;
    const process_result version = run_process({"tshark", "--version"}, scratch, console_mode::errors_to_file);
    if (version.status != 0)
        return release;
    release.line = version.output.substr(0, version.output.find('\n'));
    // "TShark (Wireshark) 4.4.19 (...)" or "TShark (Wireshark) 4.4.19."
    const auto at = release.line.find(") ");
    if (at != std::string::npos && std::sscanf(release.line.c_str() + at + 2, "%d.%d", &release.major, &release.minor) != 2)
        release.major = release.minor = 0;
    return release;
}

// `pcap` (the converter's PCAP of the record capture `records`) without the
// packets whose time in whole seconds does not fit 31 bits, and where the
// first of them began (npos when there is none). The PCAP keeps only the
// seconds' low 32 bits: the records tell them all.
struct pcap_before_2038 {
    std::string fitting;
    std::size_t first_past = std::string::npos;
};

inline pcap_before_2038 packets_before_2038(const std::string& records, const std::string& pcap)
{
    pcap_before_2038 result{pcap.substr(0, 24)};
    std::size_t at = 24;
    for (std::size_t record = 0; record + 151 <= records.size() && at + 16 <= pcap.size(); record += 151) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(records[record + i])); };
        const long payload = static_cast<long>(byte(13)) - ((byte(0) & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135)
            continue; // skipped: no packet
        std::uint64_t timestamp = 0;
        for (std::size_t i = 0; i < 8; ++i)
            timestamp |= byte(5 + i) << (8 * i);
        const std::size_t size = 16 + static_cast<std::size_t>(payload) + 2;
        if (timestamp / 1'000'000 <= 0x7FFFFFFF)
            result.fitting += pcap.substr(at, size);
        else if (result.first_past == std::string::npos)
            result.first_past = at;
        at += size;
    }
    return result;
}

// A boolean field as tshark prints it: 4.0 writes 1 and 0, 4.4 and later
// True and False. The value, whatever the spelling; "" when it is neither.
inline std::string boolean_field(const std::string& text)
{
    if (text == "1" || text == "True")
        return "true";
    if (text == "0" || text == "False")
        return "false";
    return text;
}

// Tests run against the installed package (the Wireshark release matrix,
// after `dpkg -i`): Wireshark finds the extcap program and the file reader
// where the package put them, and no private copy is made.
inline bool testing_installed_package()
{
    const char* installed = std::getenv("WPAN2PCAP_INSTALLED");
    return installed != nullptr && std::string(installed) == "1";
}

// `command` run as a user who is not root, when the test runs as root: from
// 4.2 Wireshark loads no Lua plugin of a personal folder (nor -X lua_script)
// for root, and a user's Wireshark is not root. `folder`, where it works,
// is opened to that user.
inline std::vector<std::string> as_plain_user(std::vector<std::string> command, const std::filesystem::path& folder)
{
    if (geteuid() != 0)
        return command;
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    return command;
}

} // namespace wpan2pcap::test
