#pragma once

// Small helpers shared by the tests: building raw input records and turning
// byte strings into something readable in a failure message.

#include "formats/capture_record.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace wpan2pcap::test {

using bytes = std::vector<std::uint8_t>;

struct record_fields {
    std::uint8_t flags = 0x01;
    std::uint32_t number = 1;
    std::uint64_t timestamp = 0;
    std::uint8_t length = 2;
    bytes body = {};      // written from offset 14; the rest stays zero
    int fill = 0;         // value of the body bytes not given in `body`
};

inline record_buffer make_record(const record_fields& fields)
{
    record_buffer record{};
    record.fill(static_cast<std::uint8_t>(fields.fill));
    record[0] = fields.flags;
    for (int i = 0; i < 4; ++i)
        record[1 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(fields.number >> (8 * i));
    for (int i = 0; i < 8; ++i)
        record[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(fields.timestamp >> (8 * i));
    record[13] = fields.length;
    for (std::size_t i = 0; i < fields.body.size() && 14 + i < record.size(); ++i)
        record[14 + i] = fields.body[i];
    return record;
}

inline std::string as_string(const record_buffer& record)
{
    return {reinterpret_cast<const char*>(record.data()), record.size()};
}

inline std::string as_string(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

inline std::string le32(std::uint32_t value)
{
    return as_string({static_cast<int>(value & 0xFF), static_cast<int>(value >> 8 & 0xFF),
                      static_cast<int>(value >> 16 & 0xFF), static_cast<int>(value >> 24)});
}

// Record n of a fixed pattern: the frame "AB" with FCS "CD", at n seconds and
// n microseconds (for n below a million). Its trace block and packet record
// are spelled out independently below.
inline std::string good_record(std::uint32_t n)
{
    return as_string(make_record(
        {.flags = 0x01, .number = n, .timestamp = std::uint64_t{n} * 1'000'001, .length = 4, .body = {'A', 'B', 'C', 'D'}}));
}

inline std::string good_block(std::uint32_t n)
{
    return "Packet\n\x01\n" + std::to_string(n) + "\n" + std::to_string(std::uint64_t{n} * 1'000'001) +
           "\n\x04\n<STARTREMAIN>ABCD<ENDREMAIN>\n<STARTDATA>A<ENDDATA>\n<STARTFCS>CD<ENDFCS>\n";
}

inline std::string good_packet(std::uint32_t n) { return le32(n) + le32(n) + le32(4) + le32(4) + "ABCD"; }

// A record of zeros is a valid empty frame with the FCS 00 00, at time 0:
// what a hole in a capture file reads as.
inline std::string zero_packet() { return le32(0) + le32(0) + le32(2) + le32(2) + std::string(2, '\0'); }

// A capture past 4 GiB (4.3 GB), of which all but the last two records are a
// hole, so it costs no disk; the last two are good_record(1) and (2).
inline constexpr std::uint64_t large_capture_records = 28'500'000;

// The FCS flag with a length of 1: payload and FCS cannot both fit.
inline std::string invalid_record() { return as_string(make_record({.flags = 0x01, .length = 1, .body = {'A', 'B'}})); }

inline const std::string skip_line = "Skipping record with invalid length.\n";

inline const std::string global_header =
    as_string({0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 0, 0, 0, 195, 0, 0, 0});

// The two path lines every run starts with.
inline std::string paths(const std::filesystem::path& in, const std::filesystem::path& out)
{
    return "Input File: " + in.string() + "\nOutput File: " + out.string() + "\n";
}

// The pieces of records first to last, joined: records, trace blocks or packets.
inline std::string records(std::uint32_t first, std::uint32_t last, std::string (*piece)(std::uint32_t))
{
    std::string out;
    for (std::uint32_t n = first; n <= last; ++n)
        out += piece(n);
    return out;
}

inline std::string pcap_of(std::uint32_t count) { return global_header + records(1, count, good_packet); }

// The blocks a trace holds.
inline std::size_t blocks_in(const std::string& trace)
{
    std::size_t count = 0;
    for (auto at = trace.find("\nPacket\n"); at != std::string::npos; at = trace.find("\nPacket\n", at + 1))
        ++count;
    return count;
}

// The count of whole packets `capture` holds when it is the PCAP of records
// 1 to that count and nothing else; nullopt otherwise.
inline std::optional<std::uint32_t> whole_packets(const std::string& capture)
{
    if (capture.size() < global_header.size() || (capture.size() - global_header.size()) % good_packet(1).size() != 0)
        return std::nullopt;
    const auto count = static_cast<std::uint32_t>((capture.size() - global_header.size()) / good_packet(1).size());
    return capture == pcap_of(count) ? std::optional(count) : std::nullopt;
}

// What tshark shows of each packet of a record capture read with record
// numbers (the extcap program's pcapng, or the file reader): packet ID (none
// from the file reader), comments joined by "|", time and length, a line a
// packet. Worked out from the records: a skipped record's note sits on the
// next packet, and times keep all their bits.
inline std::string expected_packet_lines(const std::string& capture, bool packet_ids = true)
{
    std::string lines, notes;
    std::size_t noted = 0, unnoted = 0; // a run of skips: 16 notes, then a count
    std::uint64_t last_unnoted = 0;
    for (std::size_t at = 0; at + 151 <= capture.size(); at += 151) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(capture[at + i])); };
        std::uint64_t number = 0, timestamp = 0;
        for (std::size_t i = 0; i < 4; ++i)
            number |= byte(1 + i) << (8 * i);
        for (std::size_t i = 0; i < 8; ++i)
            timestamp |= byte(5 + i) << (8 * i);
        const long payload = static_cast<long>(byte(13)) - ((byte(0) & 1) != 0 ? 2 : 0);
        if (payload < 0 || payload > 135) {
            if (noted++ < 16)
                notes += "record " + std::to_string(number) + " skipped: invalid length|";
            else
                ++unnoted, last_unnoted = number;
            continue;
        }
        if (unnoted > 0)
            notes += "and " + std::to_string(unnoted) + " more records skipped: invalid length, the last record " +
                     std::to_string(last_unnoted) + "|";
        char line[2048]; // notes of up to 16 skipped records
        const std::string id = packet_ids ? std::to_string(number) : "";
        std::snprintf(line, sizeof line, "%s\t%srecord %llu, flags 0x%02llx\t%llu.%06llu000\t%ld\n", id.c_str(), notes.c_str(),
                      static_cast<unsigned long long>(number),
                      static_cast<unsigned long long>(byte(0)), static_cast<unsigned long long>(timestamp / 1'000'000),
                      static_cast<unsigned long long>(timestamp % 1'000'000), payload + 2);
        lines += line;
        notes.clear();
        noted = unnoted = 0;
    }
    return lines;
}

// Hex with printable characters shown as themselves, for failure messages.
inline std::string visible(const std::string& data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char byte : data) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0xF]);
        }
    }
    return out;
}

} // namespace wpan2pcap::test
