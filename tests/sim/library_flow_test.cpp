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

namespace loric::test {
namespace {

using tqsim::DeviceMode;

class LibraryFlow : public ApiTest {
protected:
    FakeClock clock_;
};

TEST_F(LibraryFlow, BlankDeviceToRunningFirmware) {
    const std::string dataFile = kSourceDir + "/data/flash_devices.dat";
    const std::pair<const char*, bool> cases[] = {
        {"39SF020A", false}, {"39VF400A", false}, {"29LV800B-x8", false}, {"29LV800T-x16", true}};
    for (const auto& [chip, serial] : cases) {
        SCOPED_TRACE(chip);
        tqsim::SystemOptions o;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(dataFile, chip, &o.chip, &error)) << error;
        tqsim::System sim(o);
        const std::string socket = directory_.Path() + "/sim.sock";
        ScopedEnv env("BRENNOCK_SOCKET", socket.c_str());
        ASSERT_TRUE(serial || sim.StartDriverServer(socket));
        const std::string port = serial ? sim.StartSerialAdapter() : "";
        ASSERT_EQ(serial ? OpenComAPI(port.c_str(), 0) : OpenLORIC(0), 0u);
        FLASH_DEVICE* device = nullptr;
        auto devices = LoadRecords(dataFile, chip, &device);
        ASSERT_NE(device, nullptr);

        uint16_t node = 0;
        uint32_t blank = 0;
        ASSERT_EQ(FindNode(&node, &blank), 0u);
        EXPECT_EQ(std::tie(node, blank), std::make_tuple(uint16_t{0xFFC0}, 1u));
        // Over the serial line every quadlet is a framed transaction, every flash port byte a
        // dozen: small images there.
        std::string loader = kImages + "loader.bin", firmwarePath = kImages + "firmware.bin";
        if (serial) {
            tqsim::image::BuildOptions b;
            b.kind = tqsim::image::Kind::Loader;
            b.length = 512;
            WriteFile(loader = "small-loader.bin", tqsim::image::Build(b));
            b.kind = tqsim::image::Kind::Firmware;
            b.length = 2048;
            WriteFile(firmwarePath = "small-firmware.bin", tqsim::image::Build(b));
        }
        ASSERT_EQ(UploadFirmwareLoader(&node, device, loader.c_str(), blank, 0, nullptr, nullptr), 0u);
        EXPECT_EQ(sim.Mode(), DeviceMode::Loader);
        EXPECT_EQ(node, 0xFFC1);
        ASSERT_EQ(UploadFirmwareAndConfig(node, device, firmwarePath.c_str(), (kImages + "config.bin").c_str(),
                                          nullptr, nullptr), 0u);
        EXPECT_EQ(sim.Mode(), DeviceMode::Firmware) << sim.BootNote();

        // The flash: firmware at 0 with the configuration's byte address in parameter 1, the
        // configuration at the start of its sector, every other byte erased.
        const auto firmware = WithParameter(ReadAll(firmwarePath), 0x48, device->configByteAddress);
        const auto config = ReadAll(kImages + "config.bin");
        std::vector<uint8_t> expect(sim.Chip().TotalBytes(), 0xFF);
        std::copy(firmware.begin(), firmware.end(), expect.begin());
        std::copy(config.begin(), config.end(), expect.begin() + device->configByteAddress);
        EXPECT_TRUE(sim.Flash() == expect);
        CloseLORIC();
    }
}

}  // namespace
}  // namespace loric::test
