// Replays the fuzzer's seed corpus and every committed finding through the
// fuzz target's own checks, so a fixed finding stays fixed in every build.

#include "fuzz/fuzz_conversion.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

TEST(fuzz_replay, corpus_and_findings_pass_the_fuzz_checks)
{
    int replayed = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(WPAN2PCAP_FUZZ_DIR) / folder)) {
            if (!entry.is_regular_file() || entry.path().filename().string().starts_with("."))
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            const char* failed = failed_fuzz_check(data.data(), data.size());
            EXPECT_TRUE(failed == nullptr) << entry.path().string() << " fails the check: " << failed;
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 5);
}
