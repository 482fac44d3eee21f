#include "system/count_text.hpp"

namespace wpan2pcap {

std::string grouped(std::uint64_t value)
{
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

std::string records_counted(std::uint64_t converted, std::uint64_t skipped)
{
    std::string text = grouped(converted) + (converted == 1 ? " record" : " records") + " converted";
    if (skipped > 0)
        text += ", " + grouped(skipped) + " skipped";
    return text;
}

} // namespace wpan2pcap
