// Uploads against the simulated device: what UploadFile sends must land in the simulated flash
// chip byte for byte, by the flash port (the chip's own command cycles) and by the uploader
// (with the device's checksum compared).
#if __has_include("tqsim/system.h")

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/context.h"
#include "flash/flash_data.h"
#include "link/registers.h"
#include "program/upload.h"
#include "support/api_fixture.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

namespace loric::test {
namespace {

const std::string kDataFile = std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat";

// The chips of the shipped data file whose command sets and widths the library flows on the
// simulator do not program: set 4, set 2 on a 16-bit bus, a top boot block.
const char* const kChips[] = {"29F010", "39VF400A", "29LV800T-x16"};

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}
void WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

class EndToEnd : public ApiTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(kDataFile, GetParam(), &options_.chip, &error)) << error;
        sim_ = std::make_unique<tqsim::System>(options_);
        const std::string socket = directory_.Path() + "/brennock.sock";
        ASSERT_TRUE(sim_->StartDriverServer(socket, &error)) << error;
        env_ = std::make_unique<ScopedEnv>("BRENNOCK_SOCKET", socket.c_str());
        ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);

        devices_.resize(LORIC_MAX_FLASH_DEVICES);
        uint32_t count = 0;
        ASSERT_EQ(LoadFlashData(kDataFile.c_str(), devices_.data(), &count), 0u);
        for (uint32_t i = 0; i < count; ++i)
            if (std::string(devices_[i].deviceName) == GetParam()) device_ = &devices_[i];
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        CloseLORIC();
        if (sim_) sim_->StopDriverServer();
    }

    // Boots a bootstrap loader and puts the device in upload mode with the chip's command set,
    // as the programming sequences do. Returns the device's node ID.
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
        const uint16_t uploadNode = sim_->DeviceNodeId();
        EXPECT_EQ(SetTargetNode(uploadNode), 0u);
        return uploadNode;
    }

    std::vector<uint8_t> FlashAt(uint32_t byteAddress, size_t length) {
        std::vector<uint8_t> flash = sim_->Flash();
        if (byteAddress + length > flash.size()) return {};
        return std::vector<uint8_t>(flash.begin() + byteAddress, flash.begin() + byteAddress + length);
    }

    tqsim::SystemOptions options_;
    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<ScopedEnv> env_;
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
};

TEST_P(EndToEnd, FlashPortProgramsTheBlankChip) {
    const uint16_t node = sim_->DeviceNodeId();
    ASSERT_EQ(sim_->Mode(), tqsim::DeviceMode::FlashPort);
    ASSERT_EQ(SetTargetNode(node), 0u);
    ASSERT_EQ(SetFlashDevice(device_), 0u);

    std::vector<uint8_t> file = PatternBytes(6001, 5);
    WriteImage("loader.bin", file);
    ASSERT_EQ(UploadFile(node, "loader.bin", 0, UPLOAD_METHOD_FLASH_PORT, device_, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->DriverByteProgramDelay(), static_cast<uint32_t>(device_->byteProgramDelay));
    file.resize(6004, 0);
    EXPECT_EQ(FlashAt(0, file.size()), file);
    EXPECT_EQ(FlashAt(6004, 4), std::vector<uint8_t>(4, 0xFF));  // nothing beyond the image
}

TEST_P(EndToEnd, UploaderProgramsTheConfigurationSectorWithAParameter) {
    const uint16_t node = EnterUploadMode();

    // An image with a parameter section, uploaded to the (erased) configuration sector.
    std::vector<uint8_t> file = PatternBytes(5000, 9);
    const std::string section = std::string(kParameterMarker) + "02";
    std::copy(section.begin(), section.end(), file.begin() + 0x101);
    file[0x101 + section.size()] = 0;
    WriteImage("config.bin", file);
    uint32_t parameter = device_->configByteAddress;
    ASSERT_EQ(UploadFile(node, "config.bin", device_->configSector->start, UPLOAD_METHOD_UPLOADER, device_,
                         &parameter, nullptr, nullptr),
              0u);
    for (int i = 0; i < 4; ++i) file[0x114 + i] = static_cast<uint8_t>(parameter >> (8 * i));
    EXPECT_EQ(FlashAt(device_->configByteAddress, file.size()), file);
}

INSTANTIATE_TEST_SUITE_P(ShippedChips, EndToEnd, ::testing::ValuesIn(kChips),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace loric::test

#endif
