#include <gtest/gtest.h>

#include "flash_test_util.h"
#include "link/driver_link.h"

namespace loric::test {
namespace {

class SetFlashDeviceTest : public FlashDataTest {
protected:
    FLASH_DEVICE Device(int commandSet, uint8_t busWidth) {
        FLASH_DEVICE device{};
        device.commandSetIndex = commandSet;
        device.busWidth = busWidth;
        return device;
    }
    std::vector<uint8_t> SentSet() {
        auto requests = recorder_.RequestsWithCode(IOCTL_SET_FLASH_COMMAND_SET);
        EXPECT_EQ(requests.size(), 1u);
        recorder_.ClearRequests();
        return requests.empty() ? std::vector<uint8_t>{} : requests[0].input;
    }
};

TEST_F(SetFlashDeviceTest, SendsTheBuiltInSetWithTheWidthBit) {
    // Set 1 on a 16-bit bus gets bit 8; the same set chosen later for an 8-bit bus does not.
    FLASH_DEVICE wide = Device(1, 16);
    ASSERT_EQ(SetFlashDevice(&wide), 0u);
    EXPECT_EQ(SentSet(), LittleEndianBytes({0x64100110, 0x00000000, 0x00000000, 0x00000000, 0x00F00000, 0x00000000,
                                            0x00AA0555, 0x005502AA, 0x00A00555, 0x00000000, 0x00AA0555, 0x005502AA,
                                            0x00800555, 0x00AA0555, 0x005502AA, 0x00100555}));
    FLASH_DEVICE narrow = Device(1, 8);
    ASSERT_EQ(SetFlashDevice(&narrow), 0u);
    std::vector<uint8_t> bytes = SentSet();
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(LittleEndianAt(bytes, 0), 0x64100010u);

    // Only the low byte of the index counts; set 6 keeps its own bit 8.
    FLASH_DEVICE high = Device(0x1206, 8);
    ASSERT_EQ(SetFlashDevice(&high), 0u);
    bytes = SentSet();
    EXPECT_EQ(LittleEndianAt(bytes, 0), 0x00000301u);
    EXPECT_EQ(LittleEndianAt(bytes, 24), 0x00100000u);

    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter SetFlashDevice\nAPI_TRACE: Exit SetFlashDevice (ret 0)\n"
                             "API_TRACE: Enter SetFlashDevice\nAPI_TRACE: Exit SetFlashDevice (ret 0)\n"
                             "API_TRACE: Enter SetFlashDevice\nAPI_TRACE: Exit SetFlashDevice (ret 0)\n");
}

TEST_F(SetFlashDeviceTest, Failures) {
    recorder_.FailNext(IOCTL_SET_FLASH_COMMAND_SET, 31);
    FLASH_DEVICE device = Device(2, 8);
    EXPECT_EQ(SetFlashDevice(&device), 4u);
    char text[128];
    ASSERT_EQ(GetErrorText(4, text), 0u);
    EXPECT_STREQ(text, "Internal driver error (GetLastError = 31)");
    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter SetFlashDevice\n"
                             "LORIC ERROR: Internal driver error (GetLastError = 31)\n"
                             "API_TRACE: Exit SetFlashDevice (ret 4)\n");

    // A null record, or an index that names no built-in set, reaches no driver.
    recorder_.ClearRequests();
    EXPECT_EQ(SetFlashDevice(nullptr), 5u);
    FLASH_DEVICE unknown = Device(7, 8);
    EXPECT_EQ(SetFlashDevice(&unknown), 5u);
    EXPECT_TRUE(recorder_.RequestsWithCode(IOCTL_SET_FLASH_COMMAND_SET).empty());

    CloseLORIC();
    EXPECT_EQ(SetFlashDevice(&device), 3u);
}

}  // namespace
}  // namespace loric::test
