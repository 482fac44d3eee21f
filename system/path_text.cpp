#include "system/path_text.hpp"

#include "trace/visible_bytes.hpp"

#include <array>
#include <cstdint>

namespace wpan2pcap {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf8(std::string& out, char32_t code_point)
{
    const auto byte = [&out](std::uint32_t value) { out.push_back(static_cast<char>(value)); };
    if (code_point < 0x80) {
        byte(code_point);
    } else if (code_point < 0x800) {
        byte(0xC0 | code_point >> 6);
        byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        byte(0xE0 | code_point >> 12);
        byte(0x80 | (code_point >> 6 & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    } else {
        byte(0xF0 | code_point >> 18);
        byte(0x80 | (code_point >> 12 & 0x3F));
        byte(0x80 | (code_point >> 6 & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at the start of `text` and the
// code point it encodes; 0 when it is not one (overlong, a surrogate, beyond
// U+10FFFF, cut short).
std::size_t utf8_sequence(std::string_view text, char32_t& code_point)
{
    const auto byte = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || text.size() < length)
        return 0;
    code_point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code_point = code_point << 6 | (byte(i) & 0x3F);
    }
    constexpr std::array<char32_t, 5> shortest = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < shortest[length] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

template <typename Char>
std::string utf8_from_wide(std::basic_string_view<Char> wide)
{
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        auto unit = static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(wide[i]));
        if (is_high_surrogate(unit) && i + 1 < wide.size()) {
            const auto next = static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(wide[i + 1]));
            if (is_low_surrogate(next)) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        if (is_high_surrogate(unit) || is_low_surrogate(unit) || unit > 0x10FFFF)
            unit = replacement_character;
        append_utf8(out, unit);
    }
    return out;
}

template std::string utf8_from_wide<char16_t>(std::u16string_view);
template std::string utf8_from_wide<wchar_t>(std::wstring_view);

std::string path_text(const std::filesystem::path& path)
{
#ifdef _WIN32
    return utf8_from_wide<wchar_t>(path.native());
#else
    return path.native();
#endif
}

std::string file_url(const std::filesystem::path& path)
{
#ifdef _WIN32
    std::string name = utf8_from_wide<wchar_t>(path.generic_wstring());
#else
    std::string name = path.native();
#endif
    std::string url = name.starts_with('/') ? "file://" : "file:///";
    constexpr char digits[] = "0123456789ABCDEF";
    for (const char c : name) {
        const auto byte = static_cast<std::uint8_t>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            std::string_view("-._~/:").find(c) != std::string_view::npos) {
            url += c;
        } else {
            url += '%';
            url += digits[byte >> 4];
            url += digits[byte & 0xF];
        }
    }
    return url;
}

std::string visible_text(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    const auto show = [&out](std::uint8_t byte) {
        char shown[max_visible_byte_length];
        out.append(shown, static_cast<std::size_t>(put_visible(shown, byte) - shown));
    };
    while (!utf8.empty()) {
        const auto lead = static_cast<std::uint8_t>(utf8.front());
        char32_t code_point = 0;
        std::size_t length = lead < 0x80 ? 1 : utf8_sequence(utf8, code_point);
        if (lead < 0x80 && (lead < 0x20 || lead == 0x7F)) {
            show(lead);
        } else if (length == 0 || (code_point >= 0x80 && code_point <= 0x9F)) {
            // A stray byte, or a C1 control: its code unit shown, M-^[ for CSI.
            const auto unit = static_cast<std::uint8_t>(length == 0 ? lead : code_point);
            show(unit);
            length = length == 0 ? 1 : length;
        } else {
            out.append(utf8.substr(0, length));
        }
        utf8.remove_prefix(length);
    }
    return out;
}

} // namespace wpan2pcap
