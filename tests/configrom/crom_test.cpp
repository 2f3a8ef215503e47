// The image builder: leaves, refusals, CRC, sealing.
#include <gtest/gtest.h>

#include <random>

#include "configrom/crom.h"
#include "configrom_test_util.h"

using namespace cromtest;
using loric::CROM;

namespace {

TEST(ComputeRomCrc, MatchesByteWiseCrc) {
    // The reference itself: CRC-16 polynomial 0x1021, initial 0, of "123456789" is 0x31C3.
    const std::string check = "123456789";
    ASSERT_EQ(ByteCrc(std::vector<uint8_t>(check.begin(), check.end())), 0x31C3);

    std::mt19937 random(1212);
    for (int count : {1, 2, 6, 15, 103}) {
        std::vector<uint32_t> words(count);
        for (uint32_t& w : words) w = random();
        EXPECT_EQ(loric::ComputeRomCrc(words.data(), count), WordsCrc(words, 0, count)) << count;
    }
    const uint32_t word = 0x31333934;
    EXPECT_EQ(loric::ComputeRomCrc(&word, 0), 0u);
    EXPECT_EQ(loric::ComputeRomCrc(&word, -1), 0u);
}

TEST(AddRomString, RefusalsLeaveEverythingUnchanged) {
    const fs::path log = fs::temp_directory_path() / "loric_crom_refusals.log";
    TraceCapture trace(TRACE_ERROR, log);
    CROM crom;
    loric::InitConfigRom(&crom, 1);
    ASSERT_EQ(loric::AddRomString(&crom, "one"), 1u);
    CROM before = crom;
    EXPECT_EQ(loric::AddRomString(&crom, std::string(61, 'x').c_str()), 0u);
    EXPECT_EQ(std::memcmp(&before, &crom, sizeof(crom)), 0);
    EXPECT_EQ(loric::PlacedRomStrings(), 1u);
    for (const char* text : {"two", "three", "four"}) ASSERT_EQ(loric::AddRomString(&crom, text), 1u);
    before = crom;
    EXPECT_EQ(loric::AddRomString(&crom, "five"), 0u);
    EXPECT_EQ(std::memcmp(&before, &crom, sizeof(crom)), 0);
    EXPECT_EQ(loric::PlacedRomStrings(), 4u);
    EXPECT_EQ(trace.Text(),
              "ERROR INFO: Trying to add string longer than 60 chars to config ROM!\n"
              "ERROR INFO: Trying to add more than 4 strings to config ROM!\n");

    // No CROM or no text: refused, and the count starts again.
    EXPECT_EQ(loric::AddRomString(&crom, nullptr), 0u);
    EXPECT_EQ(loric::PlacedRomStrings(), 0u);
    EXPECT_EQ(loric::AddRomString(nullptr, "x"), 0u);
}

TEST(SealConfigRom, WithoutTextsTheFixedPartIsStillWhole) {
    CROM crom;
    loric::InitConfigRom(&crom, 0);
    ASSERT_EQ(loric::RomQuadletCount(&crom), 28u);
    std::vector<uint32_t> rom(28, 0xFFFFFFFF);
    loric::SealConfigRom(&crom, rom.data(), 28);
    EXPECT_EQ(crom.ext_config[25], 112u);
    EXPECT_EQ(rom[0], (4u << 24) | (27u << 16) | WordsCrc(rom, 1, 27));
    EXPECT_EQ(rom[5], (6u << 16) | WordsCrc(rom, 6, 6));
    EXPECT_EQ(rom[12], (15u << 16) | WordsCrc(rom, 13, 15));
    EXPECT_EQ(rom[27], 0u);
}

}  // namespace
