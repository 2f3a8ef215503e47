// Both programming jobs against the tq6410-sim daemon in its own process, over the driver
// socket as a host on the bench would use it: blank to running, then running to reprogrammed.
#if __has_include("tqsim/system.h")


#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loric.h"
#include "program_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/sim_daemon.h"
#include "tqsim/driver.h"
#include "tqsim/images.h"

namespace loric::test {
namespace {

const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}


std::vector<uint8_t> BuildFirmware(const char* time, uint32_t seed) {
    tqsim::image::BuildOptions options;
    options.kind = tqsim::image::Kind::Firmware;
    options.length = 40000;
    options.time = time;
    options.seed = seed;
    return tqsim::image::Build(options);
}

TEST_F(ApiTest, DaemonBlankToRunningThenReprogrammed) {
    FakeClock clock;
    const std::string socket = directory_.Path() + "/daemon.sock";
    const std::string state = directory_.Path() + "/state";
    ScopedEnv env("BRENNOCK_SOCKET", socket.c_str());
    SimDaemon daemon({"--state", state}, socket);
    ASSERT_TRUE(daemon.Ready());

    const std::vector<uint8_t> config = ReadAll(kImages + "config.bin");
    const std::vector<uint8_t> first = BuildFirmware("01:00:00", 21);
    const std::vector<uint8_t> second = BuildFirmware("02:00:00", 22);
    WriteFile("loader.bin", ReadAll(kImages + "loader.bin"));
    WriteFile("config.bin", config);
    WriteFile("first.bin", first);
    WriteFile("second.bin", second);

    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    std::vector<FLASH_DEVICE> devices(LORIC_MAX_FLASH_DEVICES);
    uint32_t count = 0;
    ASSERT_EQ(LoadFlashData((kImages + "simchips.dat").c_str(), devices.data(), &count), 0u);
    FLASH_DEVICE* device = &devices[0];
    ASSERT_STREQ(device->deviceName, "29F040B");  // the daemon's default chip

    // Blank: found by its flash port, given the loader, then the firmware and configuration.
    uint16_t node = 0;
    uint32_t blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    ASSERT_EQ(blank, 1u);
    ASSERT_EQ(UploadFirmwareLoader(&node, device, "loader.bin", blank, 0, nullptr, nullptr), 0u);
    ASSERT_EQ(UploadFirmwareAndConfig(node, device, "first.bin", "config.bin", nullptr, nullptr), 0u);

    // Running: listed, and showing the identifier of the configuration it was given.
    blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(blank, 0u);
    NODE_INFO list[4] = {};
    ASSERT_EQ(GetNodeInfo(&count, list, sizeof list), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(list[0].idHigh, 0x0ABCDE01u);
    EXPECT_EQ(list[0].idLow, 0x23456789u);

    // Reprogrammed from the running firmware: force flash, loader, new firmware.
    ASSERT_EQ(UploadFirmwareLoader(&node, device, "loader.bin", 0, 1, nullptr, nullptr), 0u);
    ASSERT_EQ(UploadFirmwareAndConfig(node, device, "second.bin", "config.bin", nullptr, nullptr), 0u);
    blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(blank, 0u);
    ASSERT_EQ(CloseLORIC(), 0u);
    ASSERT_EQ(daemon.Stop(), 0);

    const std::vector<uint8_t> flash = ReadAll(state + "/flash.bin");
    ASSERT_EQ(flash.size(), 512u * 1024);
    std::vector<uint8_t> expected = second;
    const uint32_t parameter = LittleEndian32(second, 20);
    const uint8_t configSector[4] = {0x00, 0x00, 0x01, 0x00};  // parameter 1 = 0x10000
    std::copy(configSector, configSector + 4, expected.begin() + parameter);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
    EXPECT_EQ(LittleEndian32(flash, parameter), device->configByteAddress);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), flash.begin() + device->configByteAddress));
}

}  // namespace
}  // namespace loric::test

#endif
