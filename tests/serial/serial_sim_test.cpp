// The serial link end to end against the simulated bench: adapter on a pseudo-terminal, bus,
// TQ6410 device and flash chip. Built only where the simulator is.
#if __has_include("tqsim/system.h")
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/context.h"
#include "flash/flash_data.h"
#include "link/registers.h"
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
    void Start() {
        firmware_ = tqsim::image::Build(tqsim::image::BuildOptions{});
        ASSERT_TRUE(sim_.InstallFirmware(firmware_, tqsim::image::BuildConfigImage(0x123456, 0x01, 0x2345)));
        sim_.ResetDevice();
        std::string error;
        path_ = sim_.StartSerialAdapter({}, &error);
        ASSERT_FALSE(path_.empty()) << error;
    }
    ~SerialSimTest() override { CloseLORIC(); }

    FakeClock clock_;
    tqsim::System sim_;
    std::string path_;
    std::vector<uint8_t> firmware_;
};

TEST_F(SerialSimTest, QuadletExportsReadTheRunningDevicesFlash) {
    Start();
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

// Uploads through the UploadFile export over the serial link, on an 8-bit and a 16-bit chip
// of the shipped flash data file.
const std::string kDataFile = std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat";

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

class SerialUploadTest : public ApiTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        tqsim::SystemOptions options;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(kDataFile, GetParam(), &options.chip, &error)) << error;
        sim_ = std::make_unique<tqsim::System>(options);
        path_ = sim_->StartSerialAdapter({}, &error);
        ASSERT_FALSE(path_.empty()) << error;
        ASSERT_EQ(OpenComAPI(path_.c_str(), TRACE_ERROR), 0u);
        devices_.resize(LORIC_MAX_FLASH_DEVICES);
        uint32_t count = 0;
        ASSERT_EQ(LoadFlashData(kDataFile.c_str(), devices_.data(), &count), 0u);
        for (uint32_t i = 0; i < count; ++i)
            if (std::string(devices_[i].deviceName) == GetParam()) device_ = &devices_[i];
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override { CloseLORIC(); }

    std::vector<uint8_t> FlashAt(uint32_t byteAddress, size_t length) {
        const std::vector<uint8_t> flash = sim_->Flash();
        if (byteAddress + length > flash.size()) return {};
        return std::vector<uint8_t>(flash.begin() + byteAddress, flash.begin() + byteAddress + length);
    }

    // A booted loader in upload mode with the chip's command set, as the programming
    // sequences leave it; the device becomes the target. Returns its node ID.
    uint16_t EnterUploadMode() {
        sim_->SetFlash(tqsim::image::Build({tqsim::image::Kind::Loader, 4000}));
        sim_->ResetDevice();
        EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Loader) << sim_->BootNote();
        const uint16_t node = sim_->DeviceNodeId();
        EXPECT_EQ(WriteQuadlet(node, REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, MODE_EDIT), 0u);
        FLASH_COMMAND_SET set{};
        EXPECT_TRUE(DeviceCommandSet(*device_, set));
        for (uint32_t word : set.words)
            EXPECT_EQ(WriteQuadlet(node, REGISTER_OFFSET_HIGH, CSR_UPLOAD_COMMAND_SET_CTRL, word), 0u);
        EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Upload);
        EXPECT_EQ(SetTargetNode(sim_->DeviceNodeId()), 0u);
        return sim_->DeviceNodeId();
    }

    FakeClock clock_;
    std::unique_ptr<tqsim::System> sim_;
    std::string path_;
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
};

TEST_P(SerialUploadTest, FlashPortUploadProgramsTheBlankChip) {
    const uint16_t node = sim_->DeviceNodeId();
    ASSERT_EQ(sim_->Mode(), tqsim::DeviceMode::FlashPort);
    ASSERT_EQ(SetTargetNode(node), 0u);
    ASSERT_EQ(SetFlashDevice(device_), 0u);
    std::vector<uint8_t> file = Pattern(401, 5);
    WriteFile("loader.bin", file);
    ASSERT_EQ(UploadFile(node, "loader.bin", 0, UPLOAD_METHOD_FLASH_PORT, device_, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(FlashAt(0, file.size()), file);
    EXPECT_EQ(FlashAt(404, 4), std::vector<uint8_t>(4, 0xFF));  // nothing beyond the image
}

TEST_P(SerialUploadTest, UploaderUploadIsCheckedByTheDevice) {
    const uint16_t node = EnterUploadMode();
    const std::vector<uint8_t> file = Pattern(3000, 9);
    WriteFile("config.bin", file);
    ASSERT_EQ(UploadFile(node, "config.bin", device_->configSector->start, UPLOAD_METHOD_UPLOADER, device_, nullptr,
                         nullptr, nullptr),
              0u);
    EXPECT_EQ(FlashAt(device_->configByteAddress, file.size()), file);

    sim_->SetChecksumError(0x100);
    EXPECT_EQ(UploadFile(node, "config.bin", device_->configSector->start, UPLOAD_METHOD_UPLOADER, device_, nullptr,
                         nullptr, nullptr),
              18u);
}

INSTANTIATE_TEST_SUITE_P(Chips, SerialUploadTest, ::testing::Values("29F040B", "29LV800T-x16"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace loric::test

#endif
