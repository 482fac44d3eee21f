#include "driver/path_text.hpp"

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

} // namespace wpan2pcap
