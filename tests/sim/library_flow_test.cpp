// The library's programming jobs from start to end against the simulated bench on the chips the
// other whole-job runs leave out (command set 2 on both bus widths, set 5 on an 8-bit bus, a 16-bit chip
// over the serial adapter): a blank device gets its loader, then firmware and configuration, and the
// flash is compared whole.
#include <gtest/gtest.h>

#include <memory>

#include "loric.h"
#include "program/program_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "tqsim/system.h"

namespace {

using namespace loric::test;
using tqsim::DeviceMode;

const std::string kDataFile = kSourceDir + "/data/flash_devices.dat";
std::string ImagePath(const char* name) { return kImages + name; }

struct Case {
    const char* chip;
    bool serial;
};

class LibraryFlow : public ApiTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        tqsim::SystemOptions o;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(kDataFile, GetParam().chip, &o.chip, &error)) << error;
        sim_ = std::make_unique<tqsim::System>(o);
        if (GetParam().serial) {
            port_ = sim_->StartSerialAdapter();
            ASSERT_FALSE(port_.empty());
            ASSERT_EQ(OpenComAPI(port_.c_str(), 0), 0u);
        } else {
            const std::string path = directory_.Path() + "/sim.sock";
            ASSERT_TRUE(sim_->StartDriverServer(path));
            env_ = std::make_unique<ScopedEnv>("BRENNOCK_SOCKET", path.c_str());
            ASSERT_EQ(OpenLORIC(0), 0u);
        }
        devices_ = LoadRecords(kDataFile, GetParam().chip, &device_);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override { CloseLORIC(); }

    FakeClock clock_;
    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<ScopedEnv> env_;
    std::string port_;
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
};

TEST_P(LibraryFlow, BlankDeviceToRunningFirmware) {
    uint16_t node = 0;
    uint32_t blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(node, 0xFFC0);
    EXPECT_EQ(blank, 1u);

    // Over the serial line every quadlet is a framed transaction, every flash port byte a dozen:
    // small images there.
    std::string loader = ImagePath("loader.bin"), firmwarePath = ImagePath("firmware.bin");
    if (GetParam().serial) {
        auto write = [&](tqsim::image::Kind kind, uint32_t length, const char* name) {
            tqsim::image::BuildOptions o;
            o.kind = kind;
            o.length = length;
            const std::string path = directory_.Path() + "/" + name;
            WriteFile(path, tqsim::image::Build(o));
            return path;
        };
        loader = write(tqsim::image::Kind::Loader, 512, "small-loader.bin");
        firmwarePath = write(tqsim::image::Kind::Firmware, 2048, "small-firmware.bin");
    }
    ASSERT_EQ(UploadFirmwareLoader(&node, device_, loader.c_str(), blank, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader);
    EXPECT_EQ(node, 0xFFC1);

    ASSERT_EQ(UploadFirmwareAndConfig(node, device_, firmwarePath.c_str(),
                                      ImagePath("config.bin").c_str(), nullptr, nullptr),
              0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Firmware) << sim_->BootNote();

    // The flash: firmware at 0 with the configuration's byte address in parameter 1, the
    // configuration at the start of its sector, every other byte erased.
    auto firmware = ReadAll(firmwarePath);
    const auto config = ReadAll(ImagePath("config.bin"));
    const uint32_t configByte = device_->configByteAddress;
    for (int i = 0; i < 4; ++i) firmware[0x48 + i] = static_cast<uint8_t>(configByte >> (8 * i));
    std::vector<uint8_t> expect(sim_->Chip().TotalBytes(), 0xFF);
    std::copy(firmware.begin(), firmware.end(), expect.begin());
    std::copy(config.begin(), config.end(), expect.begin() + configByte);
    EXPECT_TRUE(sim_->Flash() == expect);
}

INSTANTIATE_TEST_SUITE_P(Benches, LibraryFlow,
                         ::testing::Values(Case{"39SF020A", false}, Case{"39VF400A", false},
                                           Case{"29LV800B-x8", false}, Case{"29LV800T-x16", true}),
                         [](const auto& info) {
                             std::string n = info.param.chip;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n + (info.param.serial ? "_serial" : "_driver");
                         });

}  // namespace
