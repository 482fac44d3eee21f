// Replays the fuzzer's seed corpus and every committed finding through the
// fuzz target's own checks, so a fixed finding stays fixed in every build.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(fuzz_replay, corpus_and_findings_pass_the_fuzz_checks)
{
    int replayed = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(WPAN2PCAP_FUZZ_DIR) / folder)) {
            if (!entry.is_regular_file() || entry.path().filename().string().starts_with("."))
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0); // aborts on a failed check
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 5);
}
