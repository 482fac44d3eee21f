// Writes synthetic input captures of 151-byte records holding IEEE 802.15.4
// MAC data frames whose FCS is the ITU-T CRC-16 that analysers check.
//
//   make_capture [--kind sample|varied] [--records N] [--seed S] OUTPUT
//
// sample: clean frames, one every few milliseconds, FCS counted in the
//         length, each carrying a sensor reading as a UDP datagram in a
//         6LoWPAN-compressed IPv6 packet, so analysers decode every layer.
// varied: also empty and maximal payloads, both flag settings, stray upper
//         flag bits, timestamps on and across second boundaries and past the
//         32-bit seconds wrap, some corrupt FCS values and some records whose
//         length cannot be valid.
//
// The generator is deterministic for a given kind, count and seed.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

constexpr std::size_t record_size = 151;
constexpr std::size_t body_offset = 14;
constexpr std::size_t max_payload = 135;
constexpr std::size_t max_mac_frame = 127 - 2; // PHY limit, less the FCS

// CRC-16/KERMIT: the ITU-T polynomial, bit-reversed, initial value zero; the
// 802.15.4 FCS, sent low byte first.
std::uint16_t crc16_itu_t(const std::uint8_t* data, std::size_t size)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
    return crc;
}

void put_le(std::uint8_t* out, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

class generator {
public:
    generator(std::string_view kind, std::uint64_t seed) : varied_(kind == "varied"), random_(seed) {}

    std::array<std::uint8_t, record_size> next(std::uint32_t number)
    {
        std::array<std::uint8_t, record_size> record{};
        const std::size_t frame_length = varied_ ? varied_frame(record) : mac_frame(record, pick_size(0, 40));
        append_fcs(record, frame_length);

        const bool fcs_counted = !varied_ || pick(0, 3) != 0;
        std::uint8_t flags = fcs_counted ? 0x01 : 0x00;
        if (varied_ && pick(0, 7) == 0)
            flags = static_cast<std::uint8_t>(flags | (pick(1, 127) << 1)); // ignored by the converter
        std::uint64_t length = fcs_counted ? frame_length + 2 : frame_length;
        if (varied_ && pick(0, 49) == 0) // no sound reading: payload and FCS would overrun the record
            length = fcs_counted ? pick(0, 1) : pick(136, 255);

        record[0] = flags;
        put_le(&record[1], number, 4);
        put_le(&record[5], next_timestamp(), 8);
        record[13] = static_cast<std::uint8_t>(length);
        return record;
    }

private:
    std::uint64_t pick(std::uint64_t low, std::uint64_t high) { return low + random_() % (high - low + 1); }
    // A size picked from a range a record holds: it fits any size_t.
    std::size_t pick_size(std::size_t low, std::size_t high) { return static_cast<std::size_t>(pick(low, high)); }

    std::uint64_t next_timestamp()
    {
        if (!varied_) {
            now_ += pick(500, 20'000);
            return now_;
        }
        switch (pick(0, 5)) {
        case 0: now_ = (now_ / 1'000'000 + 1) * 1'000'000; break;        // exactly on a second
        case 1: now_ = (now_ / 1'000'000 + 1) * 1'000'000 - 1; break;    // just before one
        case 2: return pick(0, 999'999);                                  // within the first second
        case 3: return (std::uint64_t{1} << 32) * 1'000'000 + pick(0, 5'000'000'000); // past the wrap
        default: now_ += pick(1, 3'000'000); break;
        }
        return now_;
    }

    // A data frame with short or extended addresses; returns its length
    // without the FCS.
    std::size_t mac_frame(std::array<std::uint8_t, record_size>& record, std::size_t payload_size)
    {
        std::uint8_t* frame = &record[body_offset];
        const bool long_destination = pick(0, 2) == 0;
        const bool long_source = pick(0, 2) == 0;
        const bool pan_compression = pick(0, 3) != 0;
        const std::uint16_t frame_control = static_cast<std::uint16_t>(
            0x0001 | (pick(0, 1) << 5) | (pan_compression ? 0x0040 : 0) | ((long_destination ? 3u : 2u) << 10)
            | ((long_source ? 3u : 2u) << 14));
        std::size_t at = 0;
        put_le(frame + at, frame_control, 2), at += 2;
        frame[at++] = sequence_++;
        put_le(frame + at, pan_id_, 2), at += 2;
        const std::span<const std::uint8_t> destination(frame + at, long_destination ? 8 : 2);
        put_le(frame + at, random_(), static_cast<int>(destination.size())), at += destination.size();
        if (!pan_compression)
            put_le(frame + at, pan_id_ ^ 0x0101, 2), at += 2;
        const std::span<const std::uint8_t> source(frame + at, long_source ? 8 : 2);
        put_le(frame + at, random_(), static_cast<int>(source.size())), at += source.size();
        payload_size = std::min(payload_size, max_mac_frame - at);
        if (!varied_) { // a sensor reading in plain text, easy to spot in the trace
            const std::uint64_t tenths = pick(150, 299);
            const std::string reading = "temp=" + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
                                        "C hum=" + std::to_string(pick(30, 70)) + "%";
            return at + sensor_datagram(frame + at, source, destination, reading);
        }
        for (std::size_t i = 0; i < payload_size; ++i)
            frame[at++] = static_cast<std::uint8_t>(pick(1, 255));
        return at;
    }

    // The interface identifier that 6LoWPAN derives from a MAC address as the
    // frame stores it, least significant byte first (RFC 6282, 3.2.2).
    static std::array<std::uint8_t, 8> interface_id(std::span<const std::uint8_t> mac)
    {
        if (mac.size() == 2)
            return {0, 0, 0, 0xFF, 0xFE, 0, mac[1], mac[0]};
        std::array<std::uint8_t, 8> id{};
        std::reverse_copy(mac.begin(), mac.end(), id.begin());
        id[0] ^= 0x02; // the universal/local bit, inverted
        return id;
    }

    // `reading` as a UDP datagram from port 61617 to 61618 in a compressed
    // IPv6 packet between the link-local addresses of the frame's source and
    // destination, hop limit 64; writes it at `out` and returns its size.
    static std::size_t sensor_datagram(std::uint8_t* out, std::span<const std::uint8_t> source,
                                       std::span<const std::uint8_t> destination, std::string_view reading)
    {
        constexpr std::uint16_t source_port = 0xF0B1;
        constexpr std::uint16_t destination_port = 0xF0B2;
        constexpr std::uint8_t next_header_udp = 17;
        constexpr std::uint8_t hop_limit = 64;
        const auto udp_length = static_cast<std::uint16_t>(8 + reading.size());

        // The checksum covers the IPv6 pseudo-header that the receiver rebuilds.
        std::uint32_t sum = 0;
        const auto add_words = [&sum](std::span<const std::uint8_t> bytes) {
            for (std::size_t i = 0; i < bytes.size(); i += 2)
                sum += static_cast<std::uint32_t>(bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0));
        };
        for (const auto mac : {source, destination}) {
            const std::array<std::uint8_t, 8> prefix = {0xFE, 0x80, 0, 0, 0, 0, 0, 0};
            add_words(prefix);
            add_words(interface_id(mac));
        }
        sum += udp_length + next_header_udp;
        sum += source_port + destination_port + udp_length;
        add_words({reinterpret_cast<const std::uint8_t*>(reading.data()), reading.size()});
        while (sum > 0xFFFF)
            sum = (sum & 0xFFFF) + (sum >> 16);
        auto checksum = static_cast<std::uint16_t>(~sum);
        if (checksum == 0)
            checksum = 0xFFFF;

        std::size_t at = 0;
        // The hop limit goes inline: compressed to 64, it leaves the first
        // byte looking like an RF4CE network header to the heuristic that
        // Wireshark 4.4 and later try first, which would take every frame.
        out[at++] = 0x7C; // IPHC: traffic class and flow label elided, next header compressed, hop limit inline
        out[at++] = 0x33; // stateless link-local addresses, both derived from the MAC header
        out[at++] = hop_limit;
        out[at++] = 0xF3; // UDP header compressed: checksum inline, both ports in 4 bits
        out[at++] = static_cast<std::uint8_t>((source_port & 0x0F) << 4 | (destination_port & 0x0F));
        out[at++] = static_cast<std::uint8_t>(checksum >> 8);
        out[at++] = static_cast<std::uint8_t>(checksum);
        std::copy(reading.begin(), reading.end(), out + at);
        return at + reading.size();
    }

    std::size_t varied_frame(std::array<std::uint8_t, record_size>& record)
    {
        switch (pick(0, 9)) {
        case 0: return 0; // FCS bytes only
        case 1: // as long as a record allows, past what a radio sends
            for (std::size_t i = 0; i < max_payload; ++i)
                record[body_offset + i] = static_cast<std::uint8_t>(pick(0, 255));
            return max_payload;
        case 2: return mac_frame(record, max_mac_frame); // as long as a radio sends
        default: return mac_frame(record, pick_size(0, 60));
        }
    }

    void append_fcs(std::array<std::uint8_t, record_size>& record, std::size_t frame_length)
    {
        std::uint16_t fcs = crc16_itu_t(&record[body_offset], frame_length);
        if (varied_ && pick(0, 9) == 0)
            fcs = static_cast<std::uint16_t>(fcs ^ 0x5A5A); // a frame damaged on the air
        put_le(&record[body_offset + frame_length], fcs, 2);
    }

    bool varied_;
    std::mt19937_64 random_;
    std::uint64_t now_ = 1'765'000'000'000'000; // December 2025, in microseconds
    std::uint8_t sequence_ = 1;
    std::uint16_t pan_id_ = 0x1A2B;
};

constexpr std::string_view usage_text = "usage: make_capture [--kind sample|varied] [--records N] [--seed S] OUTPUT\n";

// A whole decimal number within [0, max]: no sign, no spaces, nothing after.
std::optional<std::uint64_t> whole_number(std::string_view text, std::uint64_t max)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

struct options {
    std::string kind = "sample";
    std::uint64_t records = 100;
    std::uint64_t seed = 802154;
    std::string output;
};

// The options, or the reason they are refused.
std::variant<options, std::string> parse(std::span<char* const> arguments)
{
    options parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view arg = arguments[i];
        if (arg == "--kind" || arg == "--records" || arg == "--seed") {
            if (i + 1 == arguments.size())
                return std::string(arg) + " needs a value";
            const std::string_view value = arguments[++i];
            if (arg == "--kind") {
                if (value != "sample" && value != "varied")
                    return "unknown kind '" + std::string(value) + "' (sample or varied)";
                parsed.kind = value;
            } else if (arg == "--records") {
                // Record numbers are 32 bits wide.
                const auto count = whole_number(value, std::numeric_limits<std::uint32_t>::max());
                if (!count)
                    return "--records wants a whole number from 0 to 4294967295, not '" + std::string(value) + "'";
                parsed.records = *count;
            } else {
                const auto seed = whole_number(value, std::numeric_limits<std::uint64_t>::max());
                if (!seed)
                    return "--seed wants a whole number from 0 to 18446744073709551615, not '" + std::string(value) + "'";
                parsed.seed = *seed;
            }
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return "unknown option '" + std::string(arg) + "'";
        } else if (!parsed.output.empty()) {
            return "one output file only, not '" + parsed.output + "' and '" + std::string(arg) + "'";
        } else if (arg.empty()) {
            return "the output file name is empty";
        } else {
            parsed.output = arg;
        }
    }
    if (parsed.output.empty())
        return "no output file given";
    return parsed;
}

} // namespace

int main(int argc, char* argv[])
{
    const auto parsed = parse(std::span<char* const>(argv + 1, argv + argc));
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        // Refused before the output is opened, so nothing is written.
        std::cerr << "make_capture: " << *reason << '\n' << usage_text;
        return 2;
    }
    const options& chosen = std::get<options>(parsed);

    std::ofstream file(chosen.output, std::ios::binary | std::ios::trunc);
    generator make(chosen.kind, chosen.seed);
    for (std::uint64_t i = 0; i < chosen.records && file; ++i) {
        const auto record = make.next(static_cast<std::uint32_t>(i + 1));
        file.write(reinterpret_cast<const char*>(record.data()), record_size);
    }
    file.close();
    if (!file) {
        std::cerr << "make_capture: cannot write " << chosen.output << '\n';
        return 1;
    }
    return 0;
}
