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

TEST(InitConfigRom, KeysAndDefaults) {
    CROM crom;
    std::memset(&crom, 0x5A, sizeof(crom));
    loric::InitConfigRom(&crom, 0);
    const uint32_t expected[28] = {0,          0x31333934, 0,          0,          0,          0,          0x0C000000,
                                   0x03000000, 0x81000000, 0x04000000, 0x81000000, 0xD1000000, 0,          0x12000000,
                                   0x13000000, 0x3C000000, 0x54000000, 0x3A000000, 0x38000000, 0x39000000, 0x3B000000,
                                   0x3D000000, 0x14000000, 0x17000000, 0x81000000, 0,          0,          0};
    for (int i = 0; i < 28; ++i) EXPECT_EQ(crom.rom[i], expected[i]) << i;
    const uint32_t header[26] = {0xAFC924AD, 375, 375, 0x00601504, 0x17};
    for (int i = 0; i < 26; ++i) EXPECT_EQ(crom.ext_config[i], header[i]) << i;
    EXPECT_EQ(loric::PlacedRomStrings(), 0u);

    loric::InitConfigRom(&crom, 1);
    EXPECT_EQ(crom.rom[25], 0x14000000u);
    EXPECT_EQ(crom.rom[26], 0x17000000u);
    EXPECT_EQ(crom.rom[27], 0x81000000u);

    // The defaults touch words 0..4 only.
    uint32_t words[26];
    for (uint32_t& w : words) w = 0xEEEEEEEE;
    loric::SetDefaultExtConfig(words);
    EXPECT_EQ(words[4], 0x17u);
    EXPECT_EQ(words[5], 0xEEEEEEEEu);
    EXPECT_EQ(words[25], 0xEEEEEEEEu);
}

TEST(AddRomString, LeafLayout) {
    struct Case {
        std::string text;
        uint32_t textQuadlets;
    } cases[] = {{"", 0}, {"Hello", 2}, {"four", 1}, {std::string(60, 'z'), 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CROM crom;
        loric::InitConfigRom(&crom, 1);
        ASSERT_EQ(loric::AddRomString(&crom, c.text.c_str()), 1u);
        const loric::ROM_LEAF& leaf = crom.leaves[0];
        const uint32_t n = c.textQuadlets;
        std::vector<uint32_t> words(leaf.quadlets, leaf.quadlets + n + 4);
        EXPECT_EQ(words[0], ((n + 3) << 16) | WordsCrc(words, 1, n + 3));
        EXPECT_EQ(words[1], 0u);
        EXPECT_EQ(words[2], 0u);
        EXPECT_EQ(std::vector<uint32_t>(words.begin() + 3, words.end() - 1), TextQuadlets(c.text));
        EXPECT_EQ(words[n + 3], 0u);
        EXPECT_EQ(leaf.start, 28u);
        EXPECT_EQ((crom.rom[0] >> 16) & 0xFF, 28 + n + 3);
    }
    CROM crom;
    loric::InitConfigRom(&crom, 0);
    loric::AddRomString(&crom, "Hello");
    EXPECT_EQ(crom.leaves[0].quadlets[3], 0x48656C6Cu);  // "Hell"
    EXPECT_EQ(crom.leaves[0].quadlets[4], 0x6F202020u);  // "o   "
}

TEST(AddRomString, LeavesBackToBackAndOffsets) {
    CROM crom;
    loric::InitConfigRom(&crom, 1);
    for (const char* text : {"", "", "", ""}) ASSERT_EQ(loric::AddRomString(&crom, text), 1u);
    EXPECT_EQ(crom.leaves[1].start, 32u);
    EXPECT_EQ(crom.leaves[2].start, 36u);
    EXPECT_EQ(crom.leaves[3].start, 40u);
    EXPECT_EQ((crom.rom[0] >> 16) & 0xFF, 43u);
    EXPECT_EQ(loric::LeafOffset(&crom, 8, 0), 20);
    EXPECT_EQ(loric::LeafOffset(&crom, 10, 1), 22);
    EXPECT_EQ(loric::LeafOffset(&crom, 24, 2), 12);
    EXPECT_EQ(loric::LeafOffset(&crom, 27, 3), 13);
    EXPECT_EQ(loric::LeafOffset(&crom, 40, 0), -12);
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
