#pragma once

#include "formats/capture_record.hpp"
#include "formats/pcap_writer.hpp"
#include "formats/pcapng_writer.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>

namespace wpan2pcap {

// The capture as the converter writes it (PCAP), or as pcapng carrying each
// record's number and flags in a comment and its number as the packet ID,
// with notes of the records skipped before each packet. No packet costs an
// allocation: its comments are made in a buffer of the writer's own.
class capture_writer {
public:
    capture_writer(std::ostream& output, bool record_numbers);

    // The capture's header, which goes out first so that the reader starts
    // its capture at once, even before any record exists.
    void write_header();
    void write_packet(const capture_record& record);
    // A record skipped for its length shows, in pcapng, as a note on the next
    // packet: sixteen in a row, then a count of the rest and the last one.
    void note_skipped(std::uint32_t number);
    // A new capture begins (the followed file was rewritten): notes of the
    // old one are dropped, and its first packet says where it begins.
    void begin_new_capture();

private:
    void forget_notes();

    static constexpr std::size_t max_skip_notes = 16;
    // The longest comments: a new capture's note, sixteen notes, the count
    // of the rest, and the packet's own.
    static constexpr std::size_t comment_space = 1024;

    pcap_writer pcap_;
    std::optional<pcapng_writer> pcapng_;
    std::array<std::uint32_t, max_skip_notes> noted_{};
    std::size_t noted_count_ = 0;
    std::uint64_t unnoted_skips_ = 0;
    std::uint32_t last_unnoted_ = 0;
    bool new_capture_ = false;
    std::array<char, comment_space> text_{};
    std::array<std::string_view, max_skip_notes + 3> comments_{};
};

} // namespace wpan2pcap
