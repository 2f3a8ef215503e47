// Record layouts shared with hosts must not drift.
#include <cstddef>

#include <gtest/gtest.h>

#include "bus/registers.h"
#include "loric.h"

TEST(Layout, RecordSizes) {
    EXPECT_EQ(sizeof(NODE_INFO), 20u);
    EXPECT_EQ(sizeof(FLASH_SECTOR), 12u);
    EXPECT_EQ(sizeof(CONFIG_FILE_INFO), 400u);
    EXPECT_EQ(offsetof(FLASH_DEVICE, configSector), sizeof(void*) == 4 ? 6268u : 6272u);
}

TEST(CommandSets, BusWidthSixteenAddsBitEight) {
    EXPECT_EQ(loric::FLASH_COMMAND_SET::BuiltIn(1, 16).words[0], 0x64100110u);
    EXPECT_EQ(loric::FLASH_COMMAND_SET::BuiltIn(1, 8).words[0], 0x64100010u);
    EXPECT_EQ(loric::FLASH_COMMAND_SET::BuiltIn(6, 16).words[0], 0x00000301u);
}
