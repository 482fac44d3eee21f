// File names as the programs echo them: UTF-8 from the wide strings Windows
// holds, and shown on a terminal without a control character.

#include "system/path_text.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>

namespace wpan2pcap {
namespace {

using test::visible;

TEST(utf8_from_wide, encodes_every_plane_and_replaces_broken_surrogates)
{
    const struct {
        std::u16string wide;
        std::string utf8;
    } cases[] = {
        {u"capture.bin", "capture.bin"},
        {u"\u00dcbung-\u65e5\u672c", "\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC"},
        {u"\U0001F4E1", "\xF0\x9F\x93\xA1"},
        {u"a\xD800z", "a\xEF\xBF\xBDz"},
        {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\x7F\x80\x7FF\x800\xFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(visible(utf8_from_wide<char16_t>(c.wide)), visible(c.utf8));
}

// A terminal is shown file names with their letters but no control
// character, whatever bytes the name holds.
TEST(visible_text, keeps_letters_and_shows_controls_and_stray_bytes)
{
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"capture.bin", "capture.bin"},
        {"\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC.bin", "\xC3\x9C" "bung-\xE6\x97\xA5\xE6\x9C\xAC.bin"},
        {"a\x1B]2;x\x07" "b", "a^[]2;x^Gb"},
        {"tab\there\nnew\rline\x7F", "tab^Ihere^Jnew^Mline^?"},
        {"\xC2\x9B" "31m", "M-^[31m"},        // C1 CSI, well-formed
        {"\xC2\x80\xC2\x85\xC2\x9F", "M-^@M-^EM-^_"}, // the first C1, NEL and the last
        {"\xC2\x90" "q\xC2\x9C", "M-^PqM-^\\"},  // DCS and ST, which frame device control strings
        {"\xC2\x9D" "0;x\xC2\x9C", "M-^]0;xM-^\\"}, // OSC, which retitles a window
        {"\x9B" "31m", "M-^[31m"},             // the same as a stray byte
        {"\xC2\xA0nbsp\xF0\x9F\x93\xA1", "\xC2\xA0nbsp\xF0\x9F\x93\xA1"},
        {"\xC0\xAF\xFF", "M-@M-/M-^?"},      // overlong, and never UTF-8
        {"\xED\xA0\x80", "M-mM- M-^@"},      // a surrogate
        {"cut\xE6\x97", "cutM-fM-^W"},        // a sequence cut short
    };
    for (const auto& c : cases)
        EXPECT_EQ(visible(visible_text(c.name)), visible(c.shown)) << visible(c.name);
}

// Wireshark's Help button opens the URL as it is given: every byte that a
// URL gives a meaning of its own is escaped, and every byte beyond ASCII.
TEST(file_url, escapes_what_a_url_would_read_otherwise)
{
    const struct {
        const char* path;
        const char* url;
    } cases[] = {
        {"/usr/share/doc/wpan2pcap/README.md", "file:///usr/share/doc/wpan2pcap/README.md"},
        {"/tmp/with space/README.md", "file:///tmp/with%20space/README.md"},
        {"/tmp/100%/a#b?c/README.md", "file:///tmp/100%25/a%23b%3Fc/README.md"},
        {"/home/j\xC3\xB6rg/\xE6\x97\xA5\xE6\x9C\xAC/README.md", "file:///home/j%C3%B6rg/%E6%97%A5%E6%9C%AC/README.md"},
        {"C:/Users/J\xC3\xB6rg/AppData/Local/Programs/wpan2pcap/README.md",
         "file:///C:/Users/J%C3%B6rg/AppData/Local/Programs/wpan2pcap/README.md"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(file_url(c.path), c.url) << c.path;
}

} // namespace
} // namespace wpan2pcap
