// The serial link end to end against the simulated bench: adapter on a pseudo-terminal, bus,
// TQ6410 device and flash chip. Built only where the simulator is.
#if __has_include("tqsim/system.h")
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "bus/registers.h"
#include "link/serial_link.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

namespace loric::test {
namespace {

class SerialSimTest : public ApiTest {
protected:
    void Start(bool blank) {
        if (!blank) {
            firmware_ = tqsim::image::Build(tqsim::image::BuildOptions{});
            ASSERT_TRUE(sim_.InstallFirmware(firmware_, tqsim::image::BuildConfigImage(0x123456, 0x01, 0x2345)));
            sim_.ResetDevice();
        }
        std::string error;
        path_ = sim_.StartSerialAdapter({}, &error);
        ASSERT_FALSE(path_.empty()) << error;
    }
    ~SerialSimTest() override { CloseLORIC(); }

    SerialLink& Link() { return *static_cast<SerialLink*>(g_api.link); }

    FakeClock clock_;
    tqsim::System sim_;
    std::string path_;
    std::vector<uint8_t> firmware_;
};

TEST_F(SerialSimTest, QuadletExportsReadTheRunningDevicesFlash) {
    Start(false);
    ASSERT_EQ(OpenComAPI(path_.c_str(), 0), 0u);
    const uint16_t node = sim_.DeviceNodeId();
    ASSERT_EQ(WriteQuadlet(node, 0xFFFF, FLASH_READ_CTRL, 0), 0u);
    const std::vector<uint8_t> flash = sim_.Flash();
    for (uint32_t i = 0; i < 8; ++i) {
        uint32_t value = 0;
        ASSERT_EQ(ReadQuadlet(node, 0xFFFF, FLASH_READ_CTRL, &value), 0u);
        uint32_t expected;
        std::memcpy(&expected, flash.data() + 4 * i, 4);  // little-endian words in flash
        EXPECT_EQ(value, expected) << "quadlet " << i;
    }
    uint32_t ready = 1;
    ASSERT_EQ(ReadQuadlet(node, 0xFFFF, FLASH_UPLOAD_CTRL, &ready), 0u);
    EXPECT_NE(ready, UPLOADER_READY);  // firmware runs, not the loader

    // A register the device does not have: the adapter refuses, the export reports 9.
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(node, 0xFFFF, 0xF00900F0, &value), 9u);
}

TEST_F(SerialSimTest, NodeListMatchesTheBus) {
    Start(false);
    ASSERT_EQ(OpenComAPI(path_.c_str(), 0), 0u);
    const auto expected = sim_.NodeList();
    NODE_INFO records[10];
    const uint32_t count = g_api.link->GetNodeList(records, sizeof records);
    ASSERT_EQ(count, expected.size());
    for (uint32_t k = 0; k < count; ++k) {
        EXPECT_EQ(static_cast<uint16_t>(records[k].busNumber << 6 | records[k].nodeNumber), expected[k].nodeId);
        EXPECT_EQ(records[k].idHigh, expected[k].idHigh);
        EXPECT_EQ(records[k].idLow, expected[k].idLow);
    }
}

TEST_F(SerialSimTest, FlashPortProgramsAndErasesABlankDevice) {
    Start(true);
    ASSERT_EQ(OpenComAPI(path_.c_str(), 0), 0u);
    const tqsim::ChipGeometry chip = sim_.Chip();
    ASSERT_TRUE(Link().SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(chip.commandSet, chip.busWidth)));
    ASSERT_TRUE(Link().SetTargetNode(sim_.DeviceNodeId()));

    const uint8_t data[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    ASSERT_TRUE(Link().UploadBlock(true, {0x10, sizeof data, data, 0}));
    const uint32_t byteAddress = 0x10 * chip.BytesPerWord();
    std::vector<uint8_t> flash = sim_.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + byteAddress, flash.begin() + byteAddress + sizeof data),
              std::vector<uint8_t>(data, data + sizeof data));
    EXPECT_EQ(flash[byteAddress - 1], 0xFF);
    EXPECT_EQ(flash[byteAddress + sizeof data], 0xFF);

    ASSERT_TRUE(Link().EraseSector(0));
    flash = sim_.Flash();
    EXPECT_EQ(flash[byteAddress], 0xFF);
}

}  // namespace
}  // namespace loric::test

#endif
