// Flash command sets and the flash port words built from them.
#include <gtest/gtest.h>

#include <vector>

#include "link/registers.h"

namespace loric {
namespace {

TEST(CommandWords, ReadAsAsciiOnTheBus) {
    const std::pair<uint32_t, const char*> words[] = {
        {MODE_EDIT, "Edit"}, {MODE_FORCE, "Frce"}, {UPLOADER_READY, "AOk!"}};
    for (const auto& [word, text] : words) {
        char bytes[5] = {static_cast<char>(word >> 24), static_cast<char>(word >> 16),
                         static_cast<char>(word >> 8), static_cast<char>(word), 0};
        EXPECT_STREQ(bytes, text);
    }
}

TEST(CommandSets, CountsOfTheBuiltInSets) {
    struct Counts {
        uint32_t unlock, reset, program, erase;
    } expected[] = {{3, 2, 2, 6}, {0, 1, 4, 6}, {0, 0, 4, 6}, {0, 1, 4, 6}, {0, 1, 4, 6}, {3, 2, 2, 6}, {0, 0, 0, 0}};
    for (uint32_t i = 0; i < kBuiltInCommandSetCount; ++i) {
        FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(i, 8);
        EXPECT_EQ(set.UnlockCount(), expected[i].unlock) << i;
        EXPECT_EQ(set.ResetCount(), expected[i].reset) << i;
        EXPECT_EQ(set.ProgramCount(), expected[i].program) << i;
        EXPECT_EQ(set.EraseCount(), expected[i].erase) << i;
        EXPECT_EQ(set.Is16Bit(), i == 6) << i;
    }
    // The table itself is not changed by building a 16-bit copy.
    FLASH_COMMAND_SET::BuiltIn(0, 16);
    EXPECT_EQ(FLASH_COMMAND_SET::BuiltIn(0, 8).words[0], 0x62230010u);
    EXPECT_EQ(FLASH_COMMAND_SET::BuiltIn(7, 8).words[0], 0u);  // out of range: empty set
}

TEST(FlashPort, SectorEraseWithSetOne) {
    FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(1, 8);
    CommandPair pairs[FLASH_COMMAND_SET::kEraseSlots];
    uint32_t count = CommandGroup(set, FLASH_COMMAND_SET::kEraseFirst, set.EraseCount(),
                                  FLASH_COMMAND_SET::kEraseSlots, pairs);
    ASSERT_EQ(count, 6u);
    pairs[5].data = 0x30;
    uint32_t words[18];
    ASSERT_EQ(FlashPortGroupWords(pairs, count, 0x80000000u | 0x10000u, words), 18u);
    const std::vector<uint32_t> expected = {
        0x64000555, 0x340000AA, 0x240000AA, 0x640002AA, 0x34000055, 0x24000055,
        0x64000555, 0x34000080, 0x24000080, 0x64000555, 0x340000AA, 0x240000AA,
        0x640002AA, 0x34000055, 0x24000055, 0x64010000, 0x34000030, 0x24000030};
    EXPECT_EQ(std::vector<uint32_t>(words, words + 18), expected);
    // The whole-chip erase afterwards still ends with (0x555, 0x10).
    count = CommandGroup(set, FLASH_COMMAND_SET::kEraseFirst, set.EraseCount(), FLASH_COMMAND_SET::kEraseSlots,
                         pairs);
    EXPECT_EQ(pairs[count - 1].address, 0x555u);
    EXPECT_EQ(pairs[count - 1].data, 0x10u);
}

TEST(FlashPort, AddressesAreTwentyBits) {
    uint32_t words[3];
    FlashPortWords({0x123456, 0xABCDEF}, words);
    EXPECT_EQ(words[0], 0x64023456u);
    EXPECT_EQ(words[1], 0x3400CDEFu);
    EXPECT_EQ(words[2], 0x2400CDEFu);
}

}  // namespace
}  // namespace loric
